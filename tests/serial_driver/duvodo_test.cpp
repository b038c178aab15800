// The shell's lookup of the COM number of the device being started, over device trees built by
// hand below the root.
#include <optional>

#include "platform/vmm/config_manager.h"
#include "tests/serial_driver/driver_fixture.h"

namespace krlusb_test {
namespace {

constexpr ULONG kFresh = DN_NEED_TO_ENUM;
constexpr ULONG kStartedBefore = DN_NEED_TO_ENUM | DN_NOT_FIRST_TIME;

struct NodeSetup {
  std::string hardware_id = "USB\\VID_0C9E&PID_0200";
  std::optional<std::string> port_number = std::nullopt;
  ULONG status = kFresh;
  std::string device_class = "USB";
};

class DuvodoTest : public DriverTest {
 protected:
  DEVNODE add(DEVNODE parent, const NodeSetup& setup) {
    vmm::ConfigManager& cm = m().config_manager();
    const DEVNODE node = cm.add_node(parent, "TEST\\NODE\\" + std::to_string(++nodes_), setup.status);
    const std::string key = cm.hardware_key(node);
    m().registry().set(key, "Class", registry::Value::string(setup.device_class));
    m().registry().set(key, "HardwareID", registry::Value::string(setup.hardware_id));
    if (setup.port_number) m().registry().set(key, "PortNumber", registry::Value::string(*setup.port_number));
    return node;
  }
  ULONG lookup() {
    ULONG result = 0;
    on_thread([&] { result = krlusb::DUVODO_Init_VxD(); });
    return result;
  }
  DEVNODE root() { return m().config_manager().root(); }
  unsigned nodes_ = 0;
};

TEST_F(DuvodoTest, OneNodeGivesItsPortNumberOrNone) {
  struct Case {
    NodeSetup node;
    ULONG expected;
  };
  const Case cases[] = {
      {{.port_number = "5"}, 0x5},
      {{.port_number = "12"}, 0x12},
      {{.port_number = "128"}, 0x128},
      {{.hardware_id = "USB\\VID_0C9E&PID_0210", .port_number = "7"}, 0x7},
      {{.hardware_id = "USB\\VID_0C9E&PID_02FF&REV_0100", .port_number = "8"}, 0x8},
      {{}, 0xFF},                                  // no PortNumber
      {{.port_number = "1234"}, 0xFF},             // does not fit four bytes
      {{.port_number = ""}, 0xFF},                 // empty
      {{.port_number = "1a"}, 0xFF},               // not decimal digits
      {{.port_number = " 5"}, 0xFF},
      {{.hardware_id = "USB\\VID_0C9E&PID_0300", .port_number = "5"}, 0xFF},  // another product
      {{.hardware_id = "USB\\VID_0C9F&PID_0200", .port_number = "5"}, 0xFF},  // another vendor
      {{.hardware_id = "USB\\VID_0C9E&PID_0", .port_number = "5"}, 0xFF},     // too short to tell
      {{.port_number = "5", .device_class = "Ports"}, 0xFF},
      {{.port_number = "5", .status = kStartedBefore}, 0xFF},
      {{.port_number = "5", .status = DN_STARTED}, 0xFF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.node.hardware_id + " " + c.node.port_number.value_or("(none)") + " " + c.node.device_class);
    const DEVNODE node = add(root(), c.node);
    EXPECT_EQ(lookup(), c.expected);
    m().config_manager().remove_node(node);
  }
}

TEST_F(DuvodoTest, AStartedCandidateIsSkippedAndTheWalkGoesOnBelowAndAfterIt) {
  const DEVNODE started = add(root(), {.port_number = "7", .status = kStartedBefore});
  const DEVNODE child = add(started, {.device_class = "Ports"});
  const DEVNODE later = add(root(), {.port_number = "9"});
  EXPECT_EQ(lookup(), 0x9U);
  m().config_manager().remove_node(later);

  add(child, {.port_number = "3"});
  EXPECT_EQ(lookup(), 0x3U);
}

TEST_F(DuvodoTest, TheEnumeratorIsLoadedForTheFoundNodeAndItsFailureGivesNoNumber) {
  const DEVNODE node = add(root(), {.port_number = "5"});
  EXPECT_EQ(lookup(), 0x5U);
  const auto& loads = m().config_manager().dlvxd_loads();
  ASSERT_FALSE(loads.empty());
  EXPECT_EQ(loads.back(), std::make_pair(node, std::string("kelenum.vxd")));

  m().config_manager().fail_dlvxd_loads(true);
  EXPECT_EQ(lookup(), 0xFFU);
  EXPECT_TRUE(logged("KRLUSB.SYS: DUVODO: kelenum.vxd not loaded"));
}

TEST_F(DuvodoTest, ATreeWithoutCandidatesEndsTheWalk) {
  const DEVNODE a = add(root(), {.device_class = "Ports"});
  add(a, {.hardware_id = "USB\\VID_1234&PID_0200"});
  add(root(), {.port_number = "5", .status = kStartedBefore});
  EXPECT_EQ(lookup(), 0xFFU);
  EXPECT_TRUE(logged("KRLUSB.SYS: DUVODO: no USB serial device node to start"));
}

TEST_F(DuvodoTest, TheDescriptionBlockIdentifiesTheShell) {
  const VxD_Desc_Block& ddb = krlusb::DUVODO_DDB;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(ddb.DDB_Name), 8), "DUVODO  ");
  EXPECT_EQ(ddb.DDB_SDK_Version, 0x040A);
  EXPECT_EQ(ddb.DDB_Req_Device_Number, 0x9624);
  EXPECT_EQ(ddb.DDB_Init_Order, 0x80000000U);
  EXPECT_EQ(ddb.DDB_Size, sizeof(VxD_Desc_Block));
  EXPECT_EQ(ddb.DDB_Prev, 0x50726576U);
  EXPECT_EQ(ddb.DDB_Service_Table_Size, 0U);
  ASSERT_NE(ddb.DDB_Control_Proc, nullptr);
  EXPECT_TRUE(ddb.DDB_Control_Proc(0));
}

}  // namespace
}  // namespace krlusb_test
