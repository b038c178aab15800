#include "tests/serial_driver/port_fixture.h"

namespace krlusb_test {

void PortTest::TearDown() {
  if (krlusb::pOurPort != nullptr) in_driver([] { krlusb::KRLUSB_DeleteAll(); });
}

void PortTest::in_driver(const std::function<void()>& fn) {
  on_thread([&] { k().call_into(m().serial_driver(), fn); });
}

krlusb::POURPORTDATA PortTest::create_port(const std::string& name) {
  krlusb::POURPORTDATA result = nullptr;
  in_driver([&] { result = krlusb::KRLUSB_CreatePort(name.c_str(), 0x3F8, 4, 0x1234); });
  return result;
}

machine::PluggedSerialAdapter& PortTest::plug_with_port(const std::string& number) {
  auto& adapter = plug_numbered(number);
  EXPECT_NE(create_port("COM" + number), nullptr);
  return adapter;
}

_PORTDATA* PortTest::open_port(const std::string& name, LONG* error) {
  _PORTDATA* result = nullptr;
  LONG ignored = 0;
  LONG* out = error != nullptr ? error : &ignored;
  in_driver([&] { result = krlusb::pOurPort->m_PreOpenProc(name.c_str(), 1, out); });
  return result;
}

machine::PluggedSerialAdapter& PortTest::plug_and_open(const std::string& number) {
  auto& adapter = plug_with_port(number);
  EXPECT_NE(krlusb::pOurPort, nullptr);
  if (krlusb::pOurPort != nullptr) {
    EXPECT_NE(open_port("COM" + number), nullptr);
  }
  return adapter;
}

}  // namespace krlusb_test
