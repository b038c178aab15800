#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "platform/kernel/kernel.h"
#include "platform/usb/usb.h"
#include "tests/usb/descriptors.h"

namespace {

// The descriptor bytes in a block of exactly their size, so that the sanitizer sees any read
// past the end.
struct Block {
  explicit Block(const std::vector<std::uint8_t>& bytes) : size(bytes.size()), data(new std::uint8_t[bytes.size()]) {
    std::memcpy(data.get(), bytes.data(), bytes.size());
  }
  PUSB_CONFIGURATION_DESCRIPTOR config() { return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(data.get()); }
  std::uint8_t* at(std::size_t offset) { return data.get() + offset; }
  std::size_t size;
  std::unique_ptr<std::uint8_t[]> data;
};

constexpr std::size_t kIf0Alt0 = 9, kIf0Alt1 = 39, kIf1 = 62;

TEST(UsbdParse, FindsInterfacesByEachCriterion) {
  Block b(usb_test::configuration_descriptor());
  auto* c = b.config();
  struct Case {
    LONG number, alternate, cls, subclass, protocol;
    void* start;
    std::uint8_t* expected;
  };
  const Case cases[] = {
      {-1, -1, -1, -1, -1, c, b.at(kIf0Alt0)},
      {0, 1, -1, -1, -1, c, b.at(kIf0Alt1)},
      {-1, -1, 7, -1, -1, c, b.at(kIf1)},
      {-1, -1, 0xFF, 1, 2, c, b.at(kIf0Alt1)},
      {-1, -1, -1, -1, -1, b.at(kIf0Alt0 + 9), b.at(kIf0Alt1)},  // from after the first
      {1, 1, -1, -1, -1, c, nullptr},
      {-1, -1, -1, -1, -1, b.at(b.size), nullptr},  // start outside the configuration
  };
  for (const Case& t : cases) {
    EXPECT_EQ(reinterpret_cast<std::uint8_t*>(USBD_ParseConfigurationDescriptorEx(c, t.start, t.number, t.alternate,
                                                                                  t.cls, t.subclass, t.protocol)),
              t.expected);
  }
  auto* endpoint = USBD_ParseDescriptors(c, c->wTotalLength, b.at(kIf1), USB_ENDPOINT_DESCRIPTOR_TYPE);
  EXPECT_EQ(reinterpret_cast<std::uint8_t*>(endpoint), b.at(kIf1 + 9));
  EXPECT_EQ(USBD_ParseDescriptors(c, c->wTotalLength, b.at(kIf1 + 9), USB_INTERFACE_DESCRIPTOR_TYPE), nullptr);
  EXPECT_EQ(USBD_ParseDescriptors(c, c->wTotalLength, c, USB_STRING_DESCRIPTOR_TYPE), nullptr);
}

TEST(UsbdParse, MalformedDescriptorsEndTheWalkInsideTheBuffer) {
  struct Case {
    const char* what;
    std::size_t offset;  // byte to change
    std::uint8_t value;
    bool first_found;  // whether interface 0 alt 0 is still found
    bool last_found;   // whether interface 1 is still found
  };
  const Case cases[] = {
      {"zero length endpoint", kIf0Alt0 + 9, 0, true, false},
      {"one-byte descriptor", kIf0Alt0 + 9, 1, true, false},
      {"endpoint running past the end", kIf0Alt0 + 9, 250, true, false},
      {"zero length interface", kIf0Alt0, 0, false, false},
      {"short interface descriptor", kIf0Alt0, 5, false, false},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.what);
    auto bytes = usb_test::configuration_descriptor();
    bytes[t.offset] = t.value;
    Block b(bytes);
    auto* c = b.config();
    auto* first = USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, -1, -1, -1);
    auto* last = USBD_ParseConfigurationDescriptorEx(c, c, 1, -1, -1, -1, -1);
    EXPECT_EQ(first != nullptr, t.first_found);
    EXPECT_EQ(last != nullptr, t.last_found);
    EXPECT_EQ(USBD_ParseDescriptors(c, static_cast<ULONG>(b.size), c, 0x42), nullptr);
  }

  // wTotalLength bounds the walk: a configuration that claims less than it holds hides the rest,
  // and one too short for its own header is refused.
  auto bytes = usb_test::configuration_descriptor();
  bytes[2] = static_cast<std::uint8_t>(kIf1 + 5);  // cuts interface 1 in half
  Block cut(bytes);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cut.config(), cut.config(), 1, -1, -1, -1, -1), nullptr);
  EXPECT_NE(USBD_ParseConfigurationDescriptorEx(cut.config(), cut.config(), 0, 1, -1, -1, -1), nullptr);
  std::vector<std::uint8_t> tiny = {9, 2, 4, 0, 0, 1, 0, 0x80, 50};
  Block t(tiny);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(t.config(), t.config(), -1, -1, -1, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(nullptr, nullptr, -1, -1, -1, -1, -1), nullptr);
  // A total length shorter than a descriptor's own length.
  EXPECT_EQ(USBD_ParseDescriptors(t.config(), 5, t.config(), USB_CONFIGURATION_DESCRIPTOR_TYPE), nullptr);
}

class UsbdRequestTest : public ::testing::Test {
 protected:
  sim::Scheduler s{1};
  kernel::Kernel k{s};
};

TEST_F(UsbdRequestTest, CreateConfigurationRequestSizesRecordsFromTheDescriptors) {
  Block b(usb_test::configuration_descriptor());
  auto* c = b.config();
  USBD_INTERFACE_LIST_ENTRY list[] = {
      {reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(b.at(kIf0Alt0)), nullptr},
      {reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(b.at(kIf1)), nullptr},
      {nullptr, nullptr},
  };
  PURB urb = USBD_CreateConfigurationRequestEx(c, list);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(k.pool_stats(POOL_TAG("USBD")).blocks, 1u);
  const std::size_t expected = offsetof(_URB_SELECT_CONFIGURATION, Interface) + USBD_INTERFACE_INFORMATION_SIZE(3) +
                               USBD_INTERFACE_INFORMATION_SIZE(1);
  EXPECT_EQ(urb->UrbHeader.Length, expected);
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, c);
  EXPECT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
  EXPECT_EQ(reinterpret_cast<std::uint8_t*>(list[1].Interface),
            reinterpret_cast<std::uint8_t*>(list[0].Interface) + USBD_INTERFACE_INFORMATION_SIZE(3));
  EXPECT_EQ(list[0].Interface->Length, USBD_INTERFACE_INFORMATION_SIZE(3));
  EXPECT_EQ(list[0].Interface->NumberOfPipes, 3u);
  EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
  EXPECT_EQ(list[1].Interface->NumberOfPipes, 1u);
  PUSBD_PIPE_INFORMATION pipes = list[0].Interface->Pipes;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(pipes[i].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    EXPECT_EQ(pipes[i].PipeHandle, nullptr);
  }
  ExFreePool(urb);
  EXPECT_EQ(k.pool_stats(POOL_TAG("USBD")).blocks, 0u);
}

TEST_F(UsbdRequestTest, CreateConfigurationRequestRefusesWhatItCannotBuild) {
  Block b(usb_test::configuration_descriptor());
  Block other(usb_test::configuration_descriptor());
  USBD_INTERFACE_LIST_ENTRY foreign[] = {{reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(other.at(kIf0Alt0)), nullptr},
                                         {nullptr, nullptr}};
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(b.config(), foreign), nullptr);
  USBD_INTERFACE_LIST_ENTRY list[] = {{reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(b.at(kIf0Alt0)), nullptr},
                                      {nullptr, nullptr}};
  k.verifier().fail_nth_allocation(1);
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(b.config(), list), nullptr);
  EXPECT_EQ(k.pool_stats().blocks, 0u);
}

}  // namespace
