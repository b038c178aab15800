// COM numbers handed to adapters that started without one, and the queue they wait in.
#include "tests/serial_driver/driver_fixture.h"

namespace krlusb_test {
namespace {

using krlusb::gcCommCount;
using krlusb::gcDeviceCount;
using krlusb::gpDeviceObject;

TEST_F(DriverTest, NumbersGoToWaitingAdaptersInStartOrder) {
  auto& first = plug();
  auto& second = plug();
  EXPECT_EQ(gcDeviceCount, 2);
  set_comm_port(0x5);
  EXPECT_EQ(gcCommCount, 1);
  set_comm_port(0x6);
  EXPECT_STREQ(ext(first)->pPortNumber, "5");
  EXPECT_STREQ(ext(second)->pPortNumber, "6");
  EXPECT_EQ(device_list(), (std::vector<std::string>{"COM5", "COM6"}));
  EXPECT_EQ(gcDeviceCount, 0);
  EXPECT_EQ(gcCommCount, 0);

  // The emptied queue starts from its first entry again.
  auto& third = plug();
  EXPECT_EQ(gpDeviceObject[0], fdo(third));
  set_comm_port(0x12);
  EXPECT_STREQ(ext(third)->pPortNumber, "12");
  EXPECT_EQ(device_list().back(), "COM12");
}

TEST_F(DriverTest, NumbersThatCannotBeUsedAreIgnored) {
  set_comm_port(0x5);  // nobody waits
  EXPECT_TRUE(logged("KRLUSB.SYS: SetCommPort: no device waits for a number, 5 ignored"));
  EXPECT_EQ(gcDeviceCount, 0);
  EXPECT_EQ(gpDeviceObject[0], nullptr);

  auto& adapter = plug();
  for (LONG bad : {0x1A, 0x1000, -1}) {
    set_comm_port(bad);
    EXPECT_STREQ(ext(adapter)->pPortNumber, "");
  }
  EXPECT_EQ(gcDeviceCount, 1);
  set_comm_port(0x999);
  EXPECT_STREQ(ext(adapter)->pPortNumber, "999");
}

TEST_F(DriverTest, AWaitingAdapterThatGoesAwayLeavesTheQueueInOrder) {
  auto& first = plug();
  auto& second = plug();
  auto& third = plug();
  unplug(second.name);
  EXPECT_EQ(gcDeviceCount, 2);
  EXPECT_EQ(gpDeviceObject[0], fdo(first));
  EXPECT_EQ(gpDeviceObject[1], fdo(third));
  set_comm_port(0x5);
  set_comm_port(0x6);
  EXPECT_EQ(device_list(), (std::vector<std::string>{"COM5", "COM6"}));
  EXPECT_STREQ(ext(third)->pPortNumber, "6");

  // A stop takes the adapter out of the queue too: its next start queues it afresh.
  auto& fourth = plug();
  EXPECT_EQ(pnp(fourth.name, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(gcDeviceCount, 0);
}

TEST_F(DriverTest, AFullQueueRefusesTheNextAdapter) {
  // 128 adapters that wait (stand-ins: the queue only keeps their addresses).
  for (auto& entry : gpDeviceObject) entry = reinterpret_cast<PDEVICE_OBJECT>(&entry);
  gcDeviceCount = 128;
  auto& adapter = plug();
  EXPECT_EQ(gcDeviceCount, 128);
  EXPECT_TRUE(logged("COM number queue full"));
  unplug(adapter.name);
  EXPECT_EQ(gcDeviceCount, 128);

  // With entries already numbered, the waiting ones move up to make room.
  gcCommCount = 100;
  PDEVICE_OBJECT oldest_waiting = gpDeviceObject[100];
  auto& queued = plug();
  EXPECT_EQ(gcCommCount, 0);
  EXPECT_EQ(gcDeviceCount, 29);
  EXPECT_EQ(gpDeviceObject[0], oldest_waiting);
  EXPECT_EQ(gpDeviceObject[28], fdo(queued));
  unplug(queued.name);
  gcDeviceCount = 0;
  gcCommCount = 0;
}

}  // namespace
}  // namespace krlusb_test
