// The list of USB serial devices and the transfer blocks each device owns while it is listed.
#include <cstdio>

#include "tests/serial_driver/driver_fixture.h"

namespace krlusb_test {
namespace {

using krlusb::_UsbComDevice;
using krlusb::pUsbCom;

TEST_F(DriverTest, DevicesJoinAtTheTailAndLeaveWithTheirLinksMended) {
  auto& a = plug_numbered("5");
  auto& b = plug_numbered("6");
  auto& c = plug_numbered("7");
  EXPECT_EQ(device_list(), (std::vector<std::string>{"COM5", "COM6", "COM7"}));
  ASSERT_NE(pUsbCom, nullptr);
  EXPECT_EQ(pUsbCom->pDeviceObject, nullptr);
  EXPECT_EQ(pUsbCom->Prev, nullptr);
  for (auto* adapter : {&a, &b, &c}) {
    EXPECT_NE(ext(*adapter)->InIrpInfo.pUrb, nullptr);
    EXPECT_NE(ext(*adapter)->OutIrpInfo.pUrb, nullptr);
    EXPECT_NE(ext(*adapter)->IntIrpInfo.pUrb, nullptr);
  }

  unplug(b.name);
  EXPECT_EQ(device_list(), (std::vector<std::string>{"COM5", "COM7"}));
  _UsbComDevice* first = pUsbCom->Next;
  _UsbComDevice* last = first->Next;
  EXPECT_EQ(first->pDeviceObject, fdo(a));
  EXPECT_EQ(last->pDeviceObject, fdo(c));
  EXPECT_EQ(last->Prev, first);
  EXPECT_EQ(first->Prev, pUsbCom);
  EXPECT_EQ(last->Next, nullptr);

  unplug(c.name);
  EXPECT_EQ(first->Next, nullptr);
}

TEST_F(DriverTest, DeletingADeviceThatIsNotListedChangesNothing) {
  auto& listed = plug_numbered("5");
  auto& waiting = plug();
  UCHAR result = TRUE;
  on_thread([&] { result = krlusb::DeleteUsbComPort(fdo(waiting)); });
  EXPECT_EQ(result, FALSE);
  EXPECT_TRUE(logged("KRLUSB.SYS: + ERROR! Could not find matching pDeviceObject"));
  EXPECT_EQ(device_list(), std::vector<std::string>{"COM5"});
  EXPECT_NE(ext(listed)->InIrpInfo.pUrb, nullptr);
}

// Each allocation of AddUsbComPort in turn fails: whatever the call took is given back and the
// device stays out of the list.
TEST_F(DriverTest, AllocationFailuresInAddUsbComPortFreeWhatWasTaken) {
  struct Case {
    std::uint64_t failing;
    const char* line;
    std::size_t head_made;  // the call made the head node, which stays
  };
  auto& adapter = plug();
  ASSERT_EQ(pUsbCom, nullptr);
  const Case cases[] = {
      {1, "Exit AddUsbComPort(): ExAllocatePool( head ) FAILED!!", 0},
      {2, "Exit AddUsbComPort(): ExAllocatePool( pUsbCom ) FAILED!!", 1},
      {2, "Exit AddUsbComPort(): ExAllocatePool(IN) FAILED!!", 0},
      {3, "Exit AddUsbComPort(): ExAllocatePool(OUT) FAILED!!", 0},
      {4, "Exit AddUsbComPort(): ExAllocatePool(INT) FAILED!!", 0},
  };
  std::snprintf(ext(adapter)->pPortNumber, sizeof(ext(adapter)->pPortNumber), "9");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const std::size_t blocks = k().pool_stats(krlusb::KRLUSB_POOL_TAG).blocks;
    UCHAR result = TRUE;
    on_thread([&] {
      k().call_into(m().serial_driver(), [&] {
        k().verifier().fail_nth_allocation(c.failing);
        result = krlusb::AddUsbComPort(fdo(adapter));
      });
    });
    EXPECT_EQ(result, FALSE);
    EXPECT_TRUE(logged(std::string("KRLUSB.SYS: ") + c.line));
    EXPECT_TRUE(device_list().empty());
    EXPECT_EQ(ext(adapter)->InIrpInfo.pUrb, nullptr);
    EXPECT_EQ(ext(adapter)->OutIrpInfo.pUrb, nullptr);
    EXPECT_EQ(ext(adapter)->IntIrpInfo.pUrb, nullptr);
    EXPECT_EQ(k().pool_stats(krlusb::KRLUSB_POOL_TAG).blocks, blocks + c.head_made);
  }
}

}  // namespace
}  // namespace krlusb_test
