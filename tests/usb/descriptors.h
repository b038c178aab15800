// Descriptor blocks for the bus tests: a serial-adapter-like configuration with one interface
// (bulk IN, bulk OUT, interrupt IN), an alternate setting, and a second interface.
#pragma once

#include <cstdint>
#include <vector>

namespace usb_test {

inline std::vector<std::uint8_t> device_descriptor() {
  return {18, 1, 0x10, 0x01, 0, 0, 0, 64, 0x9E, 0x0C, 0x00, 0x02, 0x00, 0x01, 1, 2, 0, 1};
}

// wTotalLength 78: configuration, interface 0 alt 0 (3 endpoints), interface 0 alt 1
// (2 endpoints), interface 1 (1 endpoint).
inline std::vector<std::uint8_t> configuration_descriptor() {
  return {
      9, 2, 78, 0, 2, 1, 0, 0x80, 50,           // configuration 1, two interfaces
      9, 4, 0, 0, 3, 0xFF, 0, 0, 0,              // interface 0 alt 0, vendor class
      7, 5, 0x81, 2, 64, 0, 0,                   // bulk IN 64
      7, 5, 0x02, 2, 64, 0, 0,                   // bulk OUT 64
      7, 5, 0x83, 3, 8, 0, 10,                   // interrupt IN 8, every 10 ms
      9, 4, 0, 1, 2, 0xFF, 1, 2, 0,              // interface 0 alt 1
      7, 5, 0x84, 2, 32, 0, 0,                   // bulk IN 32
      7, 5, 0x05, 2, 32, 0, 0,                   // bulk OUT 32
      9, 4, 1, 0, 1, 7, 1, 2, 0,                 // interface 1, printer class
      7, 5, 0x86, 2, 16, 0, 0,                   // bulk IN 16
  };
}

}  // namespace usb_test
