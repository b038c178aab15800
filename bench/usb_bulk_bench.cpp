// How the simulator's cost grows with USB traffic: a device that sinks bulk OUT and sources bulk IN
// as fast as the bus allows, with one 4096-byte transfer each way always outstanding.  The cost
// should follow the packets moved, not the frames passed: "wall_ns_per_packet" stays flat whatever
// the virtual time, and "virtual_x" shows how much faster than real time the bus runs.
#include <benchmark/benchmark.h>

#include <array>
#include <vector>

#include "platform/sim/scheduler.h"
#include "platform/usb/device.h"
#include "platform/usb/host_controller.h"

namespace {

constexpr std::uint8_t kIn = 0x81;
constexpr std::uint8_t kOut = 0x02;
constexpr std::size_t kTransfer = 4096;

class LoopDevice final : public usb::Device {
 public:
  void attached(usb::DeviceSignals&) override {}
  void detached() override {}
  usb::ControlResult control(const USB_SETUP_PACKET&, std::span<const std::uint8_t>) override { return {}; }
  usb::InResult in(std::uint8_t, std::size_t max_packet) override {
    return {usb::Handshake::Ack, std::vector<std::uint8_t>(max_packet, 0x55)};
  }
  usb::Handshake out(std::uint8_t, std::span<const std::uint8_t>) override { return usb::Handshake::Ack; }
};

USB_ENDPOINT_DESCRIPTOR bulk(std::uint8_t address) {
  return {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, USB_ENDPOINT_TYPE_BULK, 64, 0};
}

class Pump {
 public:
  Pump(usb::HostController& hc, std::uint8_t device, std::uint8_t endpoint)
      : hc_(hc), device_(device), endpoint_(endpoint) {}
  void start() {
    usb::TransferRequest request;
    request.address = device_;
    request.endpoint = endpoint_;
    request.buffer = buffer_;
    request.on_complete = [this](const usb::TransferResult& result) {
      bytes_ += result.actual;
      if (result.status == USBD_STATUS_SUCCESS) start();
    };
    hc_.submit(std::move(request));
  }
  std::uint64_t bytes() const { return bytes_; }

 private:
  usb::HostController& hc_;
  std::uint8_t device_;
  std::uint8_t endpoint_;
  std::array<std::uint8_t, kTransfer> buffer_{};
  std::uint64_t bytes_ = 0;
};

void BulkLoopThroughHostController(benchmark::State& state) {
  sim::Scheduler scheduler(1);
  usb::HostController hc(scheduler);
  LoopDevice device;
  const std::uint8_t address = hc.connect(device);
  hc.open_endpoint(address, bulk(kIn));
  hc.open_endpoint(address, bulk(kOut));
  Pump in(hc, address, kIn);
  Pump out(hc, address, kOut);
  in.start();
  out.start();

  const sim::VTime slice = sim::seconds(1);
  for (auto _ : state) scheduler.run_until(scheduler.now() + slice);

  const double virtual_seconds = static_cast<double>(scheduler.now()) / sim::kTicksPerSecond;
  const double mib = static_cast<double>(in.bytes() + out.bytes()) / (1024.0 * 1024.0);
  state.counters["virtual_x"] = benchmark::Counter(virtual_seconds, benchmark::Counter::kIsRate);
  state.counters["MiB_per_virtual_s"] = mib / virtual_seconds;
  state.counters["wall_ns_per_packet"] = benchmark::Counter(
      static_cast<double>(hc.packets_moved()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["frames"] = static_cast<double>(hc.frames_run());
  hc.disconnect(address);
  scheduler.run_until(scheduler.now() + sim::milliseconds(2));
}
BENCHMARK(BulkLoopThroughHostController)->Unit(benchmark::kMillisecond);

}  // namespace
