#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <stdexcept>

#include "devices/serial_adapter/descriptors.h"
#include "tests/serial_adapter/adapter_fixture.h"

namespace devices::testing {
namespace {

const Bytes kConfiguration{
    0x09, 0x02, 0x27, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32,  // configuration, 39 bytes, one interface
    0x09, 0x04, 0x00, 0x00, 0x03, 0xFF, 0x00, 0x00, 0x00,  // interface 0, vendor class, 3 endpoints
    0x07, 0x05, 0x81, 0x02, 0x40, 0x00, 0x00,              // bulk IN
    0x07, 0x05, 0x02, 0x02, 0x40, 0x00, 0x00,              // bulk OUT
    0x07, 0x05, 0x83, 0x03, 0x40, 0x00, 0x01,              // interrupt IN, 1 ms
};

TEST(AdapterDescriptors, DeviceDescriptorIsByteExact) {
  struct Case {
    AdapterOptions options;
    Bytes expected;
  };
  const Case cases[] = {
      {{}, {0x12, 0x01, 0x10, 0x01, 0x00, 0x00, 0x00, 0x08, 0x9E, 0x0C, 0x00, 0x02, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01}},
      {{.product_id = kAdapterProductId0210, .max_packet0 = 64},
       {0x12, 0x01, 0x10, 0x01, 0x00, 0x00, 0x00, 0x40, 0x9E, 0x0C, 0x10, 0x02, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01}},
  };
  for (const auto& c : cases) EXPECT_EQ(device_descriptor(c.options), c.expected);
}

TEST(AdapterDescriptors, ConfigurationIsByteExact) {
  EXPECT_EQ(configuration_descriptor({}), kConfiguration);

  auto slow = kConfiguration;
  slow.back() = 10;
  EXPECT_EQ(configuration_descriptor({.interrupt_interval_ms = 10}), slow);
}

TEST(AdapterDescriptors, LyingConfigurations) {
  // Claims 20 bytes it never sends.
  auto overstated = kConfiguration;
  overstated[2] = 39 + 20;
  EXPECT_EQ(configuration_descriptor({.total_length_overstatement = 20}), overstated);

  // A second interface with its own endpoint after the first.
  auto two_interfaces = kConfiguration;
  two_interfaces[2] = 55;
  two_interfaces[4] = 2;
  two_interfaces.insert(two_interfaces.end(), {0x09, 0x04, 0x01, 0x00, 0x01, 0xFF, 0x00, 0x00, 0x00,  //
                                               0x07, 0x05, 0x84, 0x02, 0x40, 0x00, 0x00});
  EXPECT_EQ(configuration_descriptor({.second_interface = true}), two_interfaces);

  // Fewer endpoints: the interface lists only the first ones.
  auto two_endpoints = Bytes(kConfiguration.begin(), kConfiguration.begin() + 32);
  two_endpoints[2] = 32;
  two_endpoints[13] = 2;
  EXPECT_EQ(configuration_descriptor({.endpoint_count = 2}), two_endpoints);

  auto no_endpoints = Bytes(kConfiguration.begin(), kConfiguration.begin() + 18);
  no_endpoints[2] = 18;
  no_endpoints[13] = 0;
  EXPECT_EQ(configuration_descriptor({.endpoint_count = 0}), no_endpoints);
}

TEST(AdapterDescriptors, ImpossibleOptionsAreRefused) {
  const AdapterOptions bad[] = {{.max_packet0 = 0}, {.max_packet0 = 12}, {.interrupt_interval_ms = 0},
                                {.endpoint_count = 4}};
  for (const auto& options : bad) {
    EXPECT_THROW(validate(options), std::invalid_argument);
    EXPECT_THROW(SerialAdapter{options}, std::invalid_argument);
  }
}

using DescriptorRequests = AdapterTest;

TEST_F(DescriptorRequests, AnswersAtMostWLength) {
  const auto device = device_descriptor({});
  for (const std::uint16_t length : std::initializer_list<std::uint16_t>{0, 8, 18, 64}) {
    const auto result = control(get_descriptor(USB_DEVICE_DESCRIPTOR_TYPE, length));
    ASSERT_EQ(result.handshake, usb::Handshake::Ack) << length;
    EXPECT_EQ(result.data, Bytes(device.begin(), device.begin() + std::min<std::size_t>(length, 18))) << length;
  }
  for (const std::uint16_t length : std::initializer_list<std::uint16_t>{0, 9, 25, 39, 55, 255}) {
    const auto result = control(get_descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, length));
    ASSERT_EQ(result.handshake, usb::Handshake::Ack) << length;
    EXPECT_EQ(result.data, Bytes(kConfiguration.begin(), kConfiguration.begin() + std::min<std::size_t>(length, 39)))
        << length;
  }
}

class OverstatedConfiguration : public AdapterTest {
 protected:
  OverstatedConfiguration() : AdapterTest({.total_length_overstatement = 20}) {}
};

TEST_F(OverstatedConfiguration, SendsOnlyWhatItHasWhateverItClaims) {
  // The driver's reading: 25 bytes first, then the claimed total plus 16.
  const auto first = control(get_descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 25));
  ASSERT_EQ(first.data.size(), 25u);
  const auto claimed = static_cast<std::uint16_t>(first.data[2] | first.data[3] << 8);
  EXPECT_EQ(claimed, 59);
  const auto second = control(get_descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, static_cast<std::uint16_t>(claimed + 16)));
  EXPECT_EQ(second.data.size(), 39u);
}

}  // namespace
}  // namespace devices::testing
