// The serial stack: which entry a name reaches, what open and close leave behind, and calls
// through the port's function table.
#include <gtest/gtest.h>

#include "fake_port_driver.h"
#include "platform/vcomm/serial_stack.h"

namespace {

using Strings = std::vector<std::string>;

class SerialStackTest : public ::testing::Test {
 protected:
  SerialStackTest() { fake::reset(); }

  // The fake's port object exists under NAME and is registered with the stack.
  void register_com(const std::string& name) {
    fake::driver().object_name = name;
    stack_.register_port(name, &fake::PreOpen, fake::driver().driver_call());
  }

  vcomm::SerialStack stack_;
};

TEST_F(SerialStackTest, OpenReturnsTheBlockOnceAndCloseEndsTheOpenPeriod) {
  register_com("COM3");
  const vcomm::SerialStack::OpenResult opened = stack_.open("COM3");
  ASSERT_NE(opened.port, nullptr);
  EXPECT_EQ(opened.error, 0);
  EXPECT_EQ(opened.port->block(), &fake::driver().block);
  EXPECT_EQ(opened.port->name(), "COM3");
  EXPECT_EQ(fake::driver().last_vm, vcomm::kSystemVM);
  EXPECT_TRUE(stack_.is_open("COM3"));
  EXPECT_EQ(stack_.open_port("COM3"), opened.port);

  // The driver, not the stack, turns down a second open.
  const vcomm::SerialStack::OpenResult again = stack_.open("COM3");
  EXPECT_EQ(again.port, nullptr);
  EXPECT_EQ(again.error, IE_OPEN);
  EXPECT_EQ(stack_.open_port("COM3"), opened.port);

  EXPECT_EQ(stack_.close(*opened.port), 1);
  EXPECT_FALSE(stack_.is_open("COM3"));
  EXPECT_EQ(stack_.open_port("COM3"), nullptr);
  EXPECT_EQ(fake::driver().call_names(), (Strings{"PreOpen COM3", "PreOpen COM3", "Close"}));
  EXPECT_TRUE(fake::driver().all_calls_inside());
}

TEST_F(SerialStackTest, NamesNobodyRegisteredFailWithHardwareError) {
  // Nothing registered: no entry to ask.
  EXPECT_EQ(stack_.open("COM3").error, IE_HARDWARE);
  EXPECT_TRUE(fake::driver().calls.empty());

  // One port registered: an unknown name goes to its entry, which refuses what is not its own.
  register_com("COM3");
  const vcomm::SerialStack::OpenResult wrong_case = stack_.open("com3");
  EXPECT_EQ(wrong_case.port, nullptr);
  EXPECT_EQ(wrong_case.error, IE_HARDWARE);
  EXPECT_EQ(fake::driver().call_names(), (Strings{"PreOpen com3"}));
  EXPECT_FALSE(stack_.is_open("com3"));
  EXPECT_FALSE(stack_.is_open("COM3"));
}

TEST_F(SerialStackTest, AFailedCloseKeepsThePortOpen) {
  register_com("COM3");
  vcomm::OpenPort* port = stack_.open("COM3").port;
  ASSERT_NE(port, nullptr);
  fake::driver().close_fails = true;
  EXPECT_EQ(stack_.close(*port), 0);
  EXPECT_EQ(port->block()->dwLastError, IE_OPEN);
  EXPECT_EQ(stack_.open_port("COM3"), port);

  fake::driver().close_fails = false;
  EXPECT_EQ(stack_.close(*port), 1);
  EXPECT_FALSE(stack_.is_open("COM3"));
}

TEST_F(SerialStackTest, PortFunctionsRunInsideTheDriverAndAMissingOneThrows) {
  register_com("COM3");
  vcomm::OpenPort* port = stack_.open("COM3").port;
  ASSERT_NE(port, nullptr);
  _DCB dcb{};
  dcb.BaudRate = 9600;
  EXPECT_EQ(port->call(&_PortFunctions::pPortSetCommState, &dcb, fBaudRate), 1);
  EXPECT_EQ(fake::driver().last_baud, 9600U);
  EXPECT_EQ(fake::driver().calls.back(), (fake::Call{"SetCommState", true}));

  ULONG events = 0;
  try {
    port->call(&_PortFunctions::pPortGetEventMask, 0U, &events);
    FAIL() << "no exception";
  } catch (const vcomm::PortFunctionMissing& e) {
    EXPECT_STREQ(e.what(), "the port has no pPortGetEventMask function");
  }
  // The last slot too: the name comes from the slot's place in the table.
  EXPECT_THROW(port->call(&_PortFunctions::pPortDeviceIOCtl, 1U, nullptr, 0U, nullptr, 0U, nullptr),
               vcomm::PortFunctionMissing);
  EXPECT_EQ(fake::driver().calls.size(), 2U);  // PreOpen and SetCommState: nothing called the missing slots
}

TEST_F(SerialStackTest, UnregisteringForgetsTheNameAndItsOpenPort) {
  register_com("COM3");
  ASSERT_NE(stack_.open("COM3").port, nullptr);
  stack_.unregister_port("COM3");
  EXPECT_FALSE(stack_.registered("COM3"));
  EXPECT_FALSE(stack_.is_open("COM3"));
  EXPECT_EQ(stack_.open("COM3").error, IE_HARDWARE);
  EXPECT_EQ(fake::driver().calls.size(), 1U);  // the last open asked no entry
}

}  // namespace
