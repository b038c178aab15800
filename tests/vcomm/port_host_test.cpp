// The port host: COM numbers for waiting adapters, and the one port object's creation, opening
// and deletion.
#include <gtest/gtest.h>

#include <algorithm>

#include "fake_port_driver.h"
#include "platform/vcomm/port_host.h"

namespace {

using Strings = std::vector<std::string>;
using Numbers = std::vector<unsigned>;

constexpr const char* k0200 = "Enum\\USB\\VID_0C9E&PID_0200\\";
constexpr const char* k0210 = "Enum\\USB\\VID_0C9E&PID_0210\\";

class PortHostTest : public ::testing::Test {
 protected:
  PortHostTest() : host_(registry_, stack_, fake::driver().exports()) {}

  // An adapter's device key, with a "PortNumber" when one is given.
  std::string adapter_key(const std::string& parent, const std::string& instance,
                          std::optional<registry::Value> number = std::nullopt) {
    const std::string key = parent + instance;
    registry_.set("HKEY_LOCAL_MACHINE\\" + key, "Class", registry::Value::string("USB"));
    if (number) registry_.set("HKEY_LOCAL_MACHINE\\" + key, "PortNumber", *number);
    return key;
  }
  std::string adapter_key(const std::string& parent, const std::string& instance, const char* number) {
    return adapter_key(parent, instance, registry::Value::string(number));
  }
  std::optional<registry::Value> port_number(const std::string& key) const {
    return registry_.get("HKEY_LOCAL_MACHINE\\" + key, "PortNumber");
  }

  struct FreshDriver {
    FreshDriver() { fake::reset(); }
  } fresh_driver_;
  registry::Registry registry_;
  vcomm::SerialStack stack_;
  vcomm::PortHost host_;
};

TEST(ComNumberTest, PackedDecimalAndParsing) {
  EXPECT_EQ(vcomm::packed_decimal(3), 0x3);
  EXPECT_EQ(vcomm::packed_decimal(12), 0x12);
  EXPECT_EQ(vcomm::packed_decimal(100), 0x100);
  EXPECT_EQ(vcomm::packed_decimal(999), 0x999);
  EXPECT_EQ(vcomm::parse_com_number("12"), 12U);
  EXPECT_EQ(vcomm::parse_com_number("007"), 7U);
  for (const char* bad : {"", "0", "000", "1234", "1a", " 5", "-3", "+3"}) {
    EXPECT_EQ(vcomm::parse_com_number(bad), std::nullopt) << '"' << bad << '"';
  }
}

TEST_F(PortHostTest, AWaitingAdapterGetsTheLowestNumberNoAdapterKeyHolds) {
  // Plugged or not, product 0200 or 0210: every adapter key's number is taken; other keys are not.
  adapter_key(k0200, "A", "3");
  adapter_key(k0210, "B", "4");
  adapter_key(k0200, "C", "6");
  adapter_key(k0200, "NONUMBER");
  adapter_key("Enum\\USB\\VID_0C9E&PID_0300\\", "OTHER", "5");
  const std::string waiting = adapter_key(k0200, "W");

  EXPECT_EQ(host_.number_waiting({waiting}), (Numbers{5}));
  EXPECT_EQ(port_number(waiting), registry::Value::string("5"));
  EXPECT_EQ(fake::driver().call_names(), (Strings{"set_comm_port 0x5"}));
  EXPECT_TRUE(fake::driver().all_calls_inside());
}

TEST_F(PortHostTest, AnAdapterKeepsItsOwnNumberOnlyWhenItIsValidAndItsAlone) {
  struct Case {
    const char* what;
    std::optional<registry::Value> own;
    unsigned expected;
  };
  const Case cases[] = {
      {"valid, kept", registry::Value::string("7"), 7},
      {"leading zero, kept as its number", registry::Value::string("012"), 12},
      {"held by an unplugged adapter", registry::Value::string("3"), 4},
      {"held by a 0210 adapter", registry::Value::string("5"), 4},
      {"zero", registry::Value::string("0"), 4},
      {"four digits", registry::Value::string("1234"), 4},
      {"not a number", registry::Value::string("COM7"), 4},
      {"empty", registry::Value::string(""), 4},
      {"a DWORD", registry::Value::dword(7), 4},
      {"none", std::nullopt, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fake::reset();
    registry::Registry registry;
    vcomm::SerialStack stack;
    vcomm::PortHost host(registry, stack, fake::driver().exports());
    registry.set(std::string("HKEY_LOCAL_MACHINE\\") + k0200 + "OLD", "PortNumber", registry::Value::string("3"));
    registry.set(std::string("HKEY_LOCAL_MACHINE\\") + k0210 + "BAY", "PortNumber", registry::Value::string("5"));
    const std::string key = std::string(k0200) + "W";
    registry.create_key("HKEY_LOCAL_MACHINE\\" + key);
    if (c.own) registry.set("HKEY_LOCAL_MACHINE\\" + key, "PortNumber", *c.own);

    EXPECT_EQ(host.number_waiting({key}), (Numbers{c.expected}));
    EXPECT_EQ(registry.get("HKEY_LOCAL_MACHINE\\" + key, "PortNumber"),
              registry::Value::string(std::to_string(c.expected)));
    EXPECT_EQ(fake::driver().calls.size(), 1U);
  }
}

TEST_F(PortHostTest, SeveralWaitingAreNumberedInTheirOrderInPackedDecimal) {
  for (unsigned n = 3; n <= 11; ++n) adapter_key(k0200, "P" + std::to_string(n), std::to_string(n).c_str());
  const std::string first = adapter_key(k0210, "FIRST");
  const std::string second = adapter_key(k0200, "SECOND");
  const std::string third = adapter_key(k0200, "THIRD", "3");  // taken: moves too

  EXPECT_EQ(host_.number_waiting({first, second, third}), (Numbers{12, 13, 14}));
  EXPECT_EQ(port_number(first), registry::Value::string("12"));
  EXPECT_EQ(port_number(second), registry::Value::string("13"));
  EXPECT_EQ(port_number(third), registry::Value::string("14"));
  EXPECT_EQ(fake::driver().call_names(), (Strings{"set_comm_port 0x12", "set_comm_port 0x13", "set_comm_port 0x14"}));
}

TEST_F(PortHostTest, BetweenWaitingAdaptersWithOneNumberTheEarlierKeepsIt) {
  const std::string earlier = adapter_key(k0200, "E", "8");
  const std::string later = adapter_key(k0200, "L", "8");
  const std::string third = adapter_key(k0200, "T", "3");  // later in the list: 3 stays its own
  EXPECT_EQ(host_.number_waiting({earlier, later, third}), (Numbers{8, 4, 3}));
}

TEST_F(PortHostTest, BadKeysAreRefusedBeforeAnythingIsNumbered) {
  const std::string good = adapter_key(k0200, "A");
  EXPECT_THROW(host_.number_waiting({good, std::string(k0200) + "MISSING"}), std::invalid_argument);
  EXPECT_THROW(host_.number_waiting({good, std::string(k0200) + "a"}), std::invalid_argument);  // the same key
  EXPECT_FALSE(port_number(good).has_value());
  EXPECT_TRUE(fake::driver().calls.empty());
}

TEST_F(PortHostTest, CreatingRegistersTheOpenEntryUnderTheNewName) {
  fake::driver().adapters = {"COM3", "COM5"};
  ASSERT_TRUE(host_.create_port("COM3"));
  EXPECT_TRUE(host_.has_port());
  EXPECT_EQ(host_.port_name(), "COM3");
  EXPECT_TRUE(stack_.registered("COM3"));

  // Re-created for another adapter: the old name goes.
  ASSERT_TRUE(host_.create_port("COM5"));
  EXPECT_FALSE(stack_.registered("COM3"));
  EXPECT_TRUE(stack_.registered("COM5"));

  // Not while it is open: the stack holds its block.
  vcomm::OpenPort* port = stack_.open("COM5").port;
  ASSERT_NE(port, nullptr);
  EXPECT_THROW(host_.create_port("COM3"), std::logic_error);
  EXPECT_TRUE(stack_.is_open("COM5"));
  ASSERT_EQ(stack_.close(*port), 1);

  // A name the driver could not hold never reaches it, and the port stays.
  EXPECT_FALSE(host_.create_port("COM12345"));
  EXPECT_FALSE(host_.create_port(""));
  EXPECT_EQ(host_.port_name(), "COM5");
  EXPECT_TRUE(stack_.registered("COM5"));

  // A name without an adapter: the driver frees its one object, and nothing stays registered.
  EXPECT_FALSE(host_.create_port("COM9"));
  EXPECT_FALSE(host_.has_port());
  EXPECT_EQ(host_.port_name(), "");
  EXPECT_FALSE(stack_.registered("COM5"));
  EXPECT_FALSE(stack_.registered("COM9"));
  EXPECT_EQ(fake::driver().call_names(),
            (Strings{"create_port COM3", "create_port COM5", "PreOpen COM5", "Close", "create_port COM9"}));
  EXPECT_TRUE(fake::driver().all_calls_inside());
}

TEST_F(PortHostTest, OpenCreatesThePortForTheNameAsked) {
  fake::driver().adapters = {"COM3", "COM4"};
  const vcomm::SerialStack::OpenResult com3 = host_.open("COM3");
  ASSERT_NE(com3.port, nullptr);
  EXPECT_EQ(host_.port_name(), "COM3");

  // Another name while the one port is open: refused without touching the driver.
  const std::size_t calls = fake::driver().calls.size();
  const vcomm::SerialStack::OpenResult com4 = host_.open("COM4");
  EXPECT_EQ(com4.port, nullptr);
  EXPECT_EQ(com4.error, IE_OPEN);
  EXPECT_EQ(fake::driver().calls.size(), calls);
  EXPECT_EQ(host_.open("COM3").error, IE_OPEN);  // the driver's own answer
  ASSERT_EQ(stack_.close(*com3.port), 1);

  // An absent adapter's name: hardware error, and no port left registered.
  const vcomm::SerialStack::OpenResult absent = host_.open("COM9");
  EXPECT_EQ(absent.port, nullptr);
  EXPECT_EQ(absent.error, IE_HARDWARE);
  EXPECT_FALSE(host_.has_port());
  EXPECT_FALSE(stack_.registered("COM3"));
  EXPECT_FALSE(stack_.registered("COM9"));

  ASSERT_NE(host_.open("COM4").port, nullptr);
  EXPECT_EQ(host_.port_name(), "COM4");
  EXPECT_EQ(fake::driver().call_names(), (Strings{"create_port COM3", "PreOpen COM3", "PreOpen COM3", "Close",
                                                  "create_port COM9", "create_port COM4", "PreOpen COM4"}));
}

TEST_F(PortHostTest, DeleteAllAndShutDownRemoveThePort) {
  fake::driver().adapters = {"COM3"};
  EXPECT_THROW(host_.delete_all(), std::logic_error);
  host_.shut_down();  // nothing to delete
  EXPECT_TRUE(fake::driver().calls.empty());

  ASSERT_TRUE(host_.create_port("COM3"));
  host_.delete_all();
  EXPECT_FALSE(host_.has_port());
  EXPECT_FALSE(stack_.registered("COM3"));
  EXPECT_FALSE(fake::driver().object_name.has_value());

  // Shutting down with the port open: the driver closes and frees it, the stack forgets it.
  ASSERT_NE(host_.open("COM3").port, nullptr);
  host_.shut_down();
  EXPECT_FALSE(host_.has_port());
  EXPECT_FALSE(stack_.is_open("COM3"));
  EXPECT_FALSE(stack_.registered("COM3"));
  EXPECT_EQ(fake::driver().calls.back(), (fake::Call{"delete_all", true}));
  host_.shut_down();
  const Strings names = fake::driver().call_names();
  EXPECT_EQ(std::count(names.begin(), names.end(), "delete_all"), 2);
}

}  // namespace
