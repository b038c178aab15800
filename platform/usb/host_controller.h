// The simulated PC's USB host controller: one full-speed bus with 1 ms frames on the virtual
// clock.  Devices are connected to ports and get an address at once; the bus driver configures
// their endpoints and submits transfers, which move packet by packet within each frame's budget
// and complete on frame boundaries as dispatch-level work.
//
// Work is done only for transfers that can make progress: an endpoint that answers NAK is parked
// until its device calls endpoint_ready(), and an idle bus schedules no frames at all, so the cost
// of a simulation is bounded by the packets it moves, not by the frames it waits through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "platform/sim/scheduler.h"
#include "platform/usb/device.h"
#include "platform/usb/transfer.h"

namespace usb {

class HostController {
 public:
  static constexpr sim::VTime kFrame = sim::milliseconds(1);
  // Full-speed bytes per frame, counting each packet's payload plus kPacketOverhead (token,
  // handshake, CRC, gaps): 19 packets of 64 bytes fit.
  static constexpr std::size_t kFrameBudget = 1500;
  static constexpr std::size_t kPacketOverhead = 13;
  static constexpr std::uint8_t kMaxAddress = 127;

  explicit HostController(sim::Scheduler& scheduler);
  // Devices still connected are not told: destroy the controller before its devices, or
  // disconnect them first.
  ~HostController();
  HostController(const HostController&) = delete;
  HostController& operator=(const HostController&) = delete;

  // ---- ports ---------------------------------------------------------------------------------
  // Plugs `device` into a free port and gives it the lowest free address (its port number too);
  // 0 when all addresses are taken.  The default control pipe works at once (maximum packet
  // 64 until the device's descriptor says otherwise).
  std::uint8_t connect(Device& device);
  // Unplugs the device: everything pending on it completes with USBD_STATUS_DEVICE_GONE at the
  // next frame, and the device is told detached().  Unknown addresses are ignored.
  void disconnect(std::uint8_t address);
  bool connected(std::uint8_t address) const;

  // ---- endpoints -----------------------------------------------------------------------------
  // Opens (or reopens with new properties) a bulk or interrupt endpoint of a connected device.
  void open_endpoint(std::uint8_t address, const USB_ENDPOINT_DESCRIPTOR& descriptor);
  // Closes an endpoint; its pending transfers complete with USBD_STATUS_CANCELED.
  void close_endpoint(std::uint8_t address, std::uint8_t endpoint);
  // Completes every transfer pending on the endpoint with USBD_STATUS_CANCELED (at the next frame).
  void abort_endpoint(std::uint8_t address, std::uint8_t endpoint);
  bool halted(std::uint8_t address, std::uint8_t endpoint) const;

  // ---- transfers -----------------------------------------------------------------------------
  // Queues a transfer on its endpoint; it always completes later, at a frame boundary.  Transfers
  // to a device that is gone complete with USBD_STATUS_DEVICE_GONE, to an endpoint that is not
  // open with USBD_STATUS_INVALID_PIPE_HANDLE, to a halted endpoint with
  // USBD_STATUS_ENDPOINT_HALTED.  The buffer must stay valid until completion.
  TransferId submit(TransferRequest request);
  // Completes a pending transfer with USBD_STATUS_CANCELED at the next frame; false when it is
  // not pending (unknown, or already finished and waiting for its frame).
  bool cancel(TransferId id);
  // Delivers the transfer's completion now instead of at the next frame (cancelled if it was
  // still pending).  For a removal that must not leave completions behind.
  void complete_now(TransferId id);
  // Runs `work` at the next frame boundary, after the completions due then.
  void at_next_frame(std::function<void()> work);

  // ---- tracing -------------------------------------------------------------------------------
  void add_observer(TransferObserver& observer);
  void remove_observer(TransferObserver& observer);

  // ---- statistics ----------------------------------------------------------------------------
  std::uint64_t frames_run() const { return frames_run_; }
  std::uint64_t packets_moved() const { return packets_moved_; }

 private:
  struct Transfer;
  struct Endpoint;
  struct Port;
  class Signals;
  struct Delivery {
    TransferId id = 0;  // 0: plain work
    std::function<void()> work;
  };

  Port* port(std::uint8_t address) const;
  Endpoint* endpoint(std::uint8_t address, std::uint8_t endpoint) const;
  void endpoint_ready(std::uint8_t address, std::uint8_t endpoint);
  void finish(Transfer& transfer, USBD_STATUS status);
  void finish_all(Endpoint& ep, USBD_STATUS status);
  void notify_submitted(const Transfer& transfer);
  void deliver(TransferId id);
  void run_frame();
  void service(Port& port, Endpoint& ep, std::size_t& budget);
  void move_packet(Port& port, Endpoint& ep, Transfer& t, std::size_t& budget);
  void run_control(Port& port, Endpoint& ep, Transfer& t, std::size_t& budget);
  bool handled_by_controller(Port& port, const USB_SETUP_PACKET& setup);
  void schedule();
  std::int64_t next_frame() const;

  sim::Scheduler& scheduler_;
  std::map<std::uint8_t, std::unique_ptr<Port>> ports_;
  std::map<TransferId, std::unique_ptr<Transfer>> transfers_;
  std::deque<Delivery> deliveries_;
  std::vector<TransferObserver*> observers_;
  TransferId next_id_ = 1;
  bool in_frame_ = false;
  std::size_t after_periodic_ = kFrameBudget;  // the running frame's budget left after periodic traffic
  std::vector<std::uint8_t> disconnect_after_frame_;
  std::optional<sim::WorkId> frame_work_;
  sim::VTime frame_work_time_ = 0;
  std::uint64_t frames_run_ = 0;
  std::uint64_t packets_moved_ = 0;
};

}  // namespace usb
