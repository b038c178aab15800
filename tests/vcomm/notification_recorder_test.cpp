// Recording client callbacks: each recorder gets what was sent under its own reference.
#include <gtest/gtest.h>

#include <memory>

#include "fake_port_driver.h"
#include "platform/vcomm/notification_recorder.h"

namespace {

using vcomm::Notification;
using vcomm::NotificationRecorder;

TEST(NotificationRecorderTest, EachRecorderTakesItsOwnCallbacksInOrder) {
  NotificationRecorder first;
  auto second = std::make_unique<NotificationRecorder>();
  const ULONG second_reference = second->reference();
  ASSERT_NE(first.reference(), second_reference);

  NotificationRecorder::callback(nullptr, first.reference(), CN_RECEIVE, 0x1);
  NotificationRecorder::callback(nullptr, second_reference, CN_EVENT, 0x8);
  NotificationRecorder::callback(nullptr, first.reference(), CN_TRANSMIT, 0x4);
  EXPECT_EQ(first.take(), (std::vector<Notification>{{CN_RECEIVE, 0x1}, {CN_TRANSMIT, 0x4}}));
  EXPECT_TRUE(first.take().empty());
  EXPECT_EQ(second->take(), (std::vector<Notification>{{CN_EVENT, 0x8}}));

  // A callback for a recorder that is gone (or never was) reaches nobody.
  second.reset();
  NotificationRecorder::callback(nullptr, second_reference, CN_EVENT, 0x8);
  NotificationRecorder::callback(nullptr, 0, CN_EVENT, 0x8);
  EXPECT_TRUE(first.take().empty());
  NotificationRecorder replacement;
  EXPECT_NE(replacement.reference(), second_reference);  // numbers are not reused
  EXPECT_TRUE(replacement.take().empty());
}

TEST(NotificationRecorderTest, APortDeliversThroughTheRegisteredCallback) {
  fake::reset();
  fake::driver().object_name = "COM3";
  vcomm::SerialStack stack;
  stack.register_port("COM3", &fake::PreOpen, fake::driver().driver_call());
  vcomm::OpenPort* port = stack.open("COM3").port;
  ASSERT_NE(port, nullptr);
  NotificationRecorder recorder;
  EXPECT_EQ(port->call(&_PortFunctions::pPortEnableNotification, &NotificationRecorder::callback, recorder.reference()),
            1);
  EXPECT_EQ(recorder.take(), (std::vector<Notification>{{CN_EVENT, EV_RXCHAR}}));
}

}  // namespace
