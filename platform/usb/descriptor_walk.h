// Bounds-checked walk over a block of USB descriptors.  Device descriptors come from devices that
// may be broken, so a walk never trusts a length field: a descriptor shorter than its two header
// bytes or one that would run past the end of the block ends the walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/usb/usb.h"

namespace usb {

class DescriptorWalk {
 public:
  DescriptorWalk(const void* block, std::size_t length)
      : begin_(static_cast<const std::uint8_t*>(block)), end_(begin_ + length) {}

  // The configuration descriptor's own block: wTotalLength bytes, or nothing when the header is
  // not a configuration descriptor.
  static std::optional<DescriptorWalk> of_configuration(const USB_CONFIGURATION_DESCRIPTOR* config) {
    if (config == nullptr || config->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        config->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
      return std::nullopt;
    }
    return DescriptorWalk(config, config->wTotalLength);
  }

  bool contains(const void* position) const {
    const auto* p = static_cast<const std::uint8_t*>(position);
    return p >= begin_ && p < end_;
  }

  // The descriptor at `position` when it lies whole inside the block, else null.
  const USB_COMMON_DESCRIPTOR* at(const std::uint8_t* position) const {
    if (position < begin_ || end_ - position < 2) return nullptr;
    const auto* d = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(position);
    if (d->bLength < 2 || d->bLength > end_ - position) return nullptr;
    return d;
  }

  const USB_COMMON_DESCRIPTOR* next(const USB_COMMON_DESCRIPTOR* d) const {
    return at(reinterpret_cast<const std::uint8_t*>(d) + d->bLength);
  }

  // The first descriptor of `type` at or after `position` (any type when `type` is negative),
  // at least `min_length` long; null at the end of the block or at a malformed descriptor.
  const USB_COMMON_DESCRIPTOR* find(const void* position, long type, std::size_t min_length = 2) const {
    if (!contains(position)) return nullptr;
    for (auto* d = at(static_cast<const std::uint8_t*>(position)); d != nullptr; d = next(d)) {
      if ((type < 0 || d->bDescriptorType == type) && d->bLength >= min_length) return d;
    }
    return nullptr;
  }

  const USB_INTERFACE_DESCRIPTOR* find_interface(const void* position) const {
    return reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(
        find(position, USB_INTERFACE_DESCRIPTOR_TYPE, sizeof(USB_INTERFACE_DESCRIPTOR)));
  }

  const USB_INTERFACE_DESCRIPTOR* next_interface(const USB_INTERFACE_DESCRIPTOR* d) const {
    const auto* after = next(reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(d));
    return after == nullptr ? nullptr : find_interface(after);
  }

  // The endpoint descriptors that belong to interface `d`: those before the next interface
  // descriptor.  Stops early at a malformed descriptor.
  std::vector<USB_ENDPOINT_DESCRIPTOR> endpoints_of(const USB_INTERFACE_DESCRIPTOR* d) const {
    std::vector<USB_ENDPOINT_DESCRIPTOR> endpoints;
    for (auto* e = next(reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(d));
         e != nullptr && e->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE; e = next(e)) {
      if (e->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE && e->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
        endpoints.push_back(*reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(e));
      }
    }
    return endpoints;
  }

 private:
  const std::uint8_t* begin_;
  const std::uint8_t* end_;
};

}  // namespace usb
