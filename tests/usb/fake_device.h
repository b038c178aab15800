// A scriptable USB device for the bus tests: bulk and interrupt endpoints backed by byte queues,
// control requests answered from a table, and failures injected per endpoint.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "platform/sim/scheduler.h"
#include "platform/usb/device.h"

namespace usb_test {

struct Packet {
  sim::VTime time;
  std::uint8_t endpoint;
  std::size_t size;
};

class FakeDevice : public usb::Device {
 public:
  // IN data waiting on an endpoint; the device NAKs when it is empty.
  std::map<std::uint8_t, std::deque<std::uint8_t>> in_data;
  // OUT endpoints accept at most this many bytes (NAK beyond it) unless unlimited.
  std::map<std::uint8_t, std::size_t> out_room;
  std::map<std::uint8_t, std::vector<std::uint8_t>> out_data;
  // The next answers of an endpoint (0 for control) before normal service resumes.
  std::map<std::uint8_t, std::deque<usb::Handshake>> fail;
  // Control IN answers by request (bRequest); GET_DESCRIPTOR answers by wValue (type and index).
  std::map<std::uint8_t, std::vector<std::uint8_t>> control_answers;
  std::map<std::uint16_t, std::vector<std::uint8_t>> descriptors;

  std::vector<USB_SETUP_PACKET> setups;
  std::vector<std::vector<std::uint8_t>> control_out;
  std::vector<Packet> packets;  // every IN or OUT packet the device was asked for, NAKs included
  std::vector<std::uint8_t> resets;
  std::vector<std::uint8_t> cancelled;  // endpoints whose transfer on the wire the host gave up
  usb::DeviceSignals* signals = nullptr;
  int detaches = 0;

  void attached(usb::DeviceSignals& s) override { signals = &s; }
  void transfer_cancelled(std::uint8_t endpoint) override { cancelled.push_back(endpoint); }
  void detached() override {
    signals = nullptr;
    ++detaches;
  }

  // Adds IN data and tells the host the endpoint can move.
  void push_in(std::uint8_t endpoint, std::span<const std::uint8_t> bytes) {
    in_data[endpoint].insert(in_data[endpoint].end(), bytes.begin(), bytes.end());
    if (signals != nullptr) signals->endpoint_ready(endpoint);
  }

  usb::ControlResult control(const USB_SETUP_PACKET& setup, std::span<const std::uint8_t> out) override {
    if (auto h = next_failure(0)) return {*h, {}};
    setups.push_back(setup);
    control_out.emplace_back(out.begin(), out.end());
    usb::ControlResult result;
    if (setup.bRequest == 6) {
      auto it = descriptors.find(setup.wValue);
      if (it == descriptors.end()) return {usb::Handshake::Stall, {}};
      result.data = it->second;
    } else if (auto it = control_answers.find(setup.bRequest); it != control_answers.end()) {
      result.data = it->second;
    }
    return result;
  }

  usb::InResult in(std::uint8_t endpoint, std::size_t max_packet) override {
    packets.push_back({now(), endpoint, 0});
    if (auto h = next_failure(endpoint)) return {*h, {}};
    auto& queue = in_data[endpoint];
    if (queue.empty()) return {usb::Handshake::Nak, {}};
    const std::size_t n = std::min(max_packet, queue.size());
    std::vector<std::uint8_t> data(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(n));
    queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(n));
    packets.back().size = n;
    return {usb::Handshake::Ack, std::move(data)};
  }

  usb::Handshake out(std::uint8_t endpoint, std::span<const std::uint8_t> packet) override {
    packets.push_back({now(), endpoint, packet.size()});
    if (auto h = next_failure(endpoint)) return *h;
    auto room = out_room.find(endpoint);
    if (room != out_room.end()) {
      if (room->second < packet.size()) return usb::Handshake::Nak;
      room->second -= packet.size();
    }
    out_data[endpoint].insert(out_data[endpoint].end(), packet.begin(), packet.end());
    return usb::Handshake::Ack;
  }

  void reset_endpoint(std::uint8_t endpoint) override { resets.push_back(endpoint); }

 private:
  static sim::VTime now() { return sim::Scheduler::current().now(); }
  std::optional<usb::Handshake> next_failure(std::uint8_t endpoint) {
    auto it = fail.find(endpoint);
    if (it == fail.end() || it->second.empty()) return std::nullopt;
    auto h = it->second.front();
    it->second.pop_front();
    return h;
  }
};

inline USB_ENDPOINT_DESCRIPTOR endpoint_descriptor(std::uint8_t address, UCHAR type, USHORT max_packet,
                                                   UCHAR interval = 0) {
  return {sizeof(USB_ENDPOINT_DESCRIPTOR), USB_ENDPOINT_DESCRIPTOR_TYPE, address, type, max_packet, interval};
}

}  // namespace usb_test
