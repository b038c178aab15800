#include "platform/usb/host_controller.h"

#include <algorithm>
#include <set>
#include <utility>

namespace usb {

namespace {

bool is_in(std::uint8_t endpoint) { return (endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0; }

}  // namespace

struct HostController::Transfer {
  TransferId id = 0;
  TransferRequest request;
  TransferType type = TransferType::Bulk;
  std::uint8_t trace_endpoint = 0;
  std::size_t length = 0;  // data bytes asked for
  std::size_t actual = 0;
  bool finished = false;
  USBD_STATUS status = USBD_STATUS_PENDING;
};

struct HostController::Endpoint {
  std::uint8_t address = 0;
  TransferType type = TransferType::Control;
  std::size_t max_packet = 64;
  std::int64_t interval = 1;  // frames between polls of an interrupt endpoint
  bool halted = false;
  bool parked = false;          // answered NAK; waits for endpoint_ready()
  bool ready_signalled = false;  // endpoint_ready() came while a packet was in flight
  std::int64_t next_poll = 0;
  std::deque<TransferId> queue;  // the head is the transfer on the wire
};

class HostController::Signals : public DeviceSignals {
 public:
  Signals(HostController& controller, std::uint8_t address) : controller_(controller), address_(address) {}
  void endpoint_ready(std::uint8_t endpoint) override { controller_.endpoint_ready(address_, endpoint); }

 private:
  HostController& controller_;
  std::uint8_t address_;
};

struct HostController::Port {
  Device* device = nullptr;
  std::uint8_t address = 0;
  bool leaving = false;  // disconnected while a frame was running
  std::unique_ptr<Signals> signals;
  std::map<std::uint8_t, Endpoint> endpoints;
  std::set<std::uint8_t> active;  // endpoints with transfers that can move now or at their poll
};

HostController::HostController(sim::Scheduler& scheduler) : scheduler_(scheduler) {}

HostController::~HostController() {
  if (frame_work_ && sim::Scheduler::exists()) scheduler_.cancel(*frame_work_);
}

// ---- ports ---------------------------------------------------------------------------------------

std::uint8_t HostController::connect(Device& device) {
  std::uint8_t address = 1;
  while (address <= kMaxAddress && ports_.count(address) != 0) ++address;
  if (address > kMaxAddress) return 0;
  auto p = std::make_unique<Port>();
  p->device = &device;
  p->address = address;
  p->signals = std::make_unique<Signals>(*this, address);
  Endpoint control;
  control.type = TransferType::Control;
  p->endpoints.emplace(0, std::move(control));
  Port& port = *ports_.emplace(address, std::move(p)).first->second;
  device.attached(*port.signals);
  return address;
}

void HostController::disconnect(std::uint8_t address) {
  Port* p = port(address);
  if (p == nullptr || p->leaving) return;
  if (in_frame_) {
    p->leaving = true;
    disconnect_after_frame_.push_back(address);
    return;
  }
  for (auto& [number, ep] : p->endpoints) finish_all(ep, USBD_STATUS_DEVICE_GONE);
  p->device->detached();
  ports_.erase(address);
  schedule();
}

bool HostController::connected(std::uint8_t address) const {
  const Port* p = port(address);
  return p != nullptr && !p->leaving;
}

HostController::Port* HostController::port(std::uint8_t address) const {
  auto it = ports_.find(address);
  return it == ports_.end() ? nullptr : it->second.get();
}

HostController::Endpoint* HostController::endpoint(std::uint8_t address, std::uint8_t number) const {
  Port* p = port(address);
  if (p == nullptr) return nullptr;
  auto it = p->endpoints.find(number);
  return it == p->endpoints.end() ? nullptr : &it->second;
}

// ---- endpoints -----------------------------------------------------------------------------------

void HostController::open_endpoint(std::uint8_t address, const USB_ENDPOINT_DESCRIPTOR& descriptor) {
  Port* p = port(address);
  if (p == nullptr || (descriptor.bEndpointAddress & 0x0F) == 0) return;
  Endpoint& ep = p->endpoints[descriptor.bEndpointAddress];
  ep.address = descriptor.bEndpointAddress;
  ep.type = static_cast<TransferType>(descriptor.bmAttributes & USB_ENDPOINT_TYPE_MASK);
  // A zero maximum packet would never move a byte; such a device gets one-byte packets.
  ep.max_packet = std::max<std::size_t>(1, descriptor.wMaxPacketSize & 0x7FF);
  ep.interval = std::max<std::int64_t>(1, descriptor.bInterval);
}

void HostController::close_endpoint(std::uint8_t address, std::uint8_t number) {
  Port* p = port(address);
  if (p == nullptr || number == 0) return;
  auto it = p->endpoints.find(number);
  if (it == p->endpoints.end()) return;
  finish_all(it->second, USBD_STATUS_CANCELED);
  p->endpoints.erase(it);
  p->active.erase(number);
  schedule();
}

void HostController::abort_endpoint(std::uint8_t address, std::uint8_t number) {
  if (Endpoint* ep = endpoint(address, number)) {
    finish_all(*ep, USBD_STATUS_CANCELED);
    schedule();
  }
}

bool HostController::halted(std::uint8_t address, std::uint8_t number) const {
  const Endpoint* ep = endpoint(address, number);
  return ep != nullptr && ep->halted;
}

void HostController::endpoint_ready(std::uint8_t address, std::uint8_t number) {
  Endpoint* ep = endpoint(address, number);
  if (ep == nullptr) return;
  ep->ready_signalled = true;
  if (!ep->parked) return;
  ep->parked = false;
  port(address)->active.insert(number);
  schedule();
}

// ---- transfers -----------------------------------------------------------------------------------

TransferId HostController::submit(TransferRequest request) {
  auto owned = std::make_unique<Transfer>();
  Transfer& t = *owned;
  t.id = next_id_++;
  Port* p = port(request.address);
  const bool control = request.endpoint == 0;
  Endpoint* ep = (p == nullptr || p->leaving) ? nullptr : endpoint(request.address, request.endpoint);
  if (control) {
    t.type = TransferType::Control;
    t.length = std::min<std::size_t>(request.setup.wLength, request.buffer.size());
    t.trace_endpoint = request.setup.bmRequestType & USB_ENDPOINT_DIRECTION_MASK;
  } else {
    t.type = ep != nullptr ? ep->type : TransferType::Bulk;
    t.length = request.buffer.size();
    t.trace_endpoint = request.endpoint;
  }
  t.request = std::move(request);
  transfers_.emplace(t.id, std::move(owned));
  notify_submitted(t);

  if (p == nullptr || p->leaving) {
    finish(t, USBD_STATUS_DEVICE_GONE);
  } else if (ep == nullptr) {
    finish(t, USBD_STATUS_INVALID_PIPE_HANDLE);
  } else if (ep->halted) {
    finish(t, USBD_STATUS_ENDPOINT_HALTED);
  } else {
    ep->queue.push_back(t.id);
    if (!ep->parked) p->active.insert(ep->address);
  }
  schedule();
  return t.id;
}

bool HostController::cancel(TransferId id) {
  auto it = transfers_.find(id);
  if (it == transfers_.end() || it->second->finished) return false;
  finish(*it->second, USBD_STATUS_CANCELED);
  schedule();
  return true;
}

void HostController::complete_now(TransferId id) {
  auto it = transfers_.find(id);
  if (it == transfers_.end()) return;
  if (!it->second->finished) finish(*it->second, USBD_STATUS_CANCELED);
  std::erase_if(deliveries_, [id](const Delivery& d) { return d.id == id; });
  const bool raise = scheduler_.irql() < sim::Irql::Dispatch;
  const sim::Irql previous = raise ? scheduler_.set_irql(sim::Irql::Dispatch) : sim::Irql::Dispatch;
  deliver(id);
  if (raise) scheduler_.set_irql(previous);
}

void HostController::at_next_frame(std::function<void()> work) {
  deliveries_.push_back({0, std::move(work)});
  schedule();
}

// Marks the transfer done, takes it off its endpoint's queue and queues its completion for the
// next frame boundary.
void HostController::finish(Transfer& t, USBD_STATUS status) {
  t.finished = true;
  t.status = status;
  const std::uint8_t number = t.type == TransferType::Control ? 0 : t.request.endpoint;
  bool was_on_the_wire = false;
  if (Endpoint* ep = endpoint(t.request.address, number)) {
    auto pos = std::find(ep->queue.begin(), ep->queue.end(), t.id);
    was_on_the_wire = pos == ep->queue.begin() && pos != ep->queue.end();
    if (pos != ep->queue.end()) ep->queue.erase(pos);
    if (ep->queue.empty()) {
      ep->parked = false;
      port(t.request.address)->active.erase(number);
    } else if (was_on_the_wire && ep->parked) {
      // The transfer behind it is a new one: the device gets its own chance to answer it.
      ep->parked = false;
      port(t.request.address)->active.insert(number);
    }
  }
  deliveries_.push_back({t.id, nullptr});
  // A device that holds a transfer back (answers NAK) must learn that the host gave up on it, or
  // it would keep holding back the next one.
  Port* p = port(t.request.address);
  if (status == USBD_STATUS_CANCELED && was_on_the_wire && number != 0 && p != nullptr && !p->leaving) {
    p->device->transfer_cancelled(number);
  }
}

void HostController::finish_all(Endpoint& ep, USBD_STATUS status) {
  while (!ep.queue.empty()) finish(*transfers_.at(ep.queue.front()), status);
}

void HostController::notify_submitted(const Transfer& t) {
  if (observers_.empty()) return;
  TransferEvent event;
  event.time = scheduler_.now();
  event.id = t.id;
  event.address = t.request.address;
  event.endpoint = t.trace_endpoint;
  event.type = t.type;
  event.urb_function = t.request.urb_function;
  if (t.type == TransferType::Control) event.setup = t.request.setup;
  event.requested = t.length;
  if (!is_in(t.trace_endpoint)) event.data = t.request.buffer.first(t.length);
  for (TransferObserver* observer : std::vector(observers_)) observer->transfer_submitted(event);
}

void HostController::deliver(TransferId id) {
  auto it = transfers_.find(id);
  if (it == transfers_.end()) return;  // already delivered by complete_now()
  std::unique_ptr<Transfer> t = std::move(it->second);
  transfers_.erase(it);
  if (!observers_.empty()) {
    TransferEvent event;
    event.time = scheduler_.now();
    event.id = t->id;
    event.completion = true;
    event.address = t->request.address;
    event.endpoint = t->trace_endpoint;
    event.type = t->type;
    event.urb_function = t->request.urb_function;
    if (t->type == TransferType::Control) event.setup = t->request.setup;
    event.requested = t->length;
    event.data = t->request.buffer.first(t->actual);
    event.status = t->status;
    for (TransferObserver* observer : std::vector(observers_)) observer->transfer_completed(event);
  }
  if (t->request.on_complete) t->request.on_complete(TransferResult{t->status, t->actual});
}

// ---- frames --------------------------------------------------------------------------------------

std::int64_t HostController::next_frame() const { return scheduler_.now() / kFrame + 1; }

void HostController::schedule() {
  if (in_frame_) return;  // the running frame schedules its successor
  std::optional<std::int64_t> wanted;
  const std::int64_t soonest = next_frame();
  if (!deliveries_.empty()) wanted = soonest;
  for (auto& [address, p] : ports_) {
    for (std::uint8_t number : p->active) {
      const Endpoint& ep = p->endpoints.at(number);
      const std::int64_t frame = ep.type == TransferType::Interrupt ? std::max(soonest, ep.next_poll) : soonest;
      wanted = std::min(wanted.value_or(frame), frame);
    }
  }
  if (!wanted) return;
  const sim::VTime when = *wanted * kFrame;
  if (frame_work_ && frame_work_time_ <= when) return;
  if (frame_work_) scheduler_.cancel(*frame_work_);
  frame_work_time_ = when;
  frame_work_ = scheduler_.at(when, [this] { run_frame(); });
}

void HostController::run_frame() {
  frame_work_.reset();
  ++frames_run_;
  const std::int64_t frame = scheduler_.now() / kFrame;
  std::size_t budget = kFrameBudget;

  // Periodic endpoints first, then control, then bulk endpoints sharing what is left packet by
  // packet.
  std::vector<std::pair<Port*, Endpoint*>> periodic, control, bulk;
  for (auto& [address, p] : ports_) {
    for (std::uint8_t number : p->active) {
      Endpoint& ep = p->endpoints.at(number);
      if (ep.type == TransferType::Interrupt) {
        if (ep.next_poll <= frame) periodic.emplace_back(p.get(), &ep);
      } else {
        (ep.type == TransferType::Control ? control : bulk).emplace_back(p.get(), &ep);
      }
    }
  }
  in_frame_ = true;
  for (auto [p, ep] : periodic) {
    ep->next_poll = frame + ep->interval;
    service(*p, *ep, budget);
  }
  after_periodic_ = budget;
  for (auto [p, ep] : control) service(*p, *ep, budget);
  for (bool moved = true; moved;) {
    moved = false;
    for (auto [p, ep] : bulk) {
      if (budget < ep->max_packet + kPacketOverhead) continue;
      const std::size_t before = budget;
      service(*p, *ep, budget);
      moved = moved || budget != before;
    }
  }
  in_frame_ = false;

  for (std::uint8_t address : std::exchange(disconnect_after_frame_, {})) {
    if (Port* p = port(address)) {
      p->leaving = false;
      disconnect(address);
    }
  }
  for (Delivery& d : std::exchange(deliveries_, {})) {
    if (d.id != 0) {
      deliver(d.id);
    } else {
      d.work();
    }
  }
  schedule();
}

// One step of the transfer at the head of an endpoint's queue: one packet for bulk and interrupt
// endpoints, the whole transfer for the control pipe.
void HostController::service(Port& p, Endpoint& ep, std::size_t& budget) {
  if (p.leaving || ep.parked || ep.queue.empty()) return;
  Transfer& t = *transfers_.at(ep.queue.front());
  if (ep.type == TransferType::Control) {
    run_control(p, ep, t, budget);
  } else {
    move_packet(p, ep, t, budget);
  }
}

void HostController::move_packet(Port& p, Endpoint& ep, Transfer& t, std::size_t& budget) {
  ++packets_moved_;
  ep.ready_signalled = false;
  const std::size_t remaining = t.length - t.actual;
  Handshake handshake;
  if (is_in(ep.address)) {
    InResult answer = p.device->in(ep.address, ep.max_packet);
    handshake = answer.handshake;
    if (handshake == Handshake::Ack) {
      const std::size_t taken = std::min({answer.data.size(), ep.max_packet, remaining});
      std::copy_n(answer.data.begin(), taken, t.request.buffer.begin() + static_cast<std::ptrdiff_t>(t.actual));
      t.actual += taken;
      budget -= std::min(budget, answer.data.size() + kPacketOverhead);
      if (answer.data.size() > taken) {
        finish(t, USBD_STATUS_DATA_OVERRUN);  // babble: more than the packet or the buffer holds
      } else if (taken < ep.max_packet || t.actual == t.length) {
        finish(t, USBD_STATUS_SUCCESS);  // a short packet ends an IN transfer
      }
      return;
    }
  } else {
    const auto packet = t.request.buffer.subspan(t.actual, std::min(ep.max_packet, remaining));
    handshake = p.device->out(ep.address, packet);
    if (handshake == Handshake::Ack) {
      t.actual += packet.size();
      budget -= std::min(budget, packet.size() + kPacketOverhead);
      if (t.actual == t.length) finish(t, USBD_STATUS_SUCCESS);
      return;
    }
  }
  budget -= std::min(budget, kPacketOverhead);
  switch (handshake) {
    case Handshake::Nak:
      if (!ep.ready_signalled) {
        ep.parked = true;
        p.active.erase(ep.address);
      }
      return;
    case Handshake::Stall:
      finish(t, USBD_STATUS_STALL_PID);
      ep.halted = true;
      finish_all(ep, USBD_STATUS_ENDPOINT_HALTED);
      return;
    case Handshake::Error:
      finish(t, USBD_STATUS_DEV_NOT_RESPONDING);
      return;
    case Handshake::Ack:
      return;
  }
}

void HostController::run_control(Port& p, Endpoint& ep, Transfer& t, std::size_t& budget) {
  const std::size_t packets = (t.length + ep.max_packet - 1) / ep.max_packet;
  const std::size_t cost = sizeof(USB_SETUP_PACKET) + t.length + (packets + 2) * kPacketOverhead;
  // A transfer too big for what is left waits for a frame where only periodic traffic went first.
  if (cost > budget && budget < after_periodic_) return;
  ++packets_moved_;
  ep.ready_signalled = false;
  const USB_SETUP_PACKET& setup = t.request.setup;
  if (handled_by_controller(p, setup)) {
    budget -= std::min(budget, cost);
    finish(t, USBD_STATUS_SUCCESS);
    return;
  }
  const bool in = is_in(setup.bmRequestType);
  const auto out_data = in ? std::span<const std::uint8_t>{} : std::span<const std::uint8_t>(t.request.buffer.first(t.length));
  ControlResult answer = p.device->control(setup, out_data);
  switch (answer.handshake) {
    case Handshake::Ack: {
      budget -= std::min(budget, cost);
      if (in) {
        t.actual = std::min(answer.data.size(), t.length);
        std::copy_n(answer.data.begin(), t.actual, t.request.buffer.begin());
        const bool device_descriptor = setup.bRequest == USB_REQUEST_GET_DESCRIPTOR && (setup.wValue >> 8) == USB_DEVICE_DESCRIPTOR_TYPE;
        if (device_descriptor && t.actual >= 8 && answer.data[7] != 0) ep.max_packet = answer.data[7];
      } else {
        t.actual = t.length;
      }
      finish(t, USBD_STATUS_SUCCESS);
      return;
    }
    case Handshake::Nak:
      budget -= std::min(budget, sizeof(USB_SETUP_PACKET) + 2 * kPacketOverhead);
      if (!ep.ready_signalled) {
        ep.parked = true;
        p.active.erase(0);
      }
      return;
    case Handshake::Stall:  // a protocol stall: the control pipe does not stay halted
      finish(t, USBD_STATUS_STALL_PID);
      return;
    case Handshake::Error:
      finish(t, USBD_STATUS_DEV_NOT_RESPONDING);
      return;
  }
}

// Requests that are the controller's business rather than the device model's: addressing, and
// clearing an endpoint's halt (the device hears about it through reset_endpoint()).
bool HostController::handled_by_controller(Port& p, const USB_SETUP_PACKET& setup) {
  if (setup.bmRequestType == 0x00 && setup.bRequest == USB_REQUEST_SET_ADDRESS) return true;
  if (setup.bmRequestType == 0x02 && setup.bRequest == USB_REQUEST_CLEAR_FEATURE && setup.wValue == USB_FEATURE_ENDPOINT_HALT) {
    const auto number = static_cast<std::uint8_t>(setup.wIndex & 0xFF);
    if (Endpoint* ep = endpoint(p.address, number)) ep->halted = false;
    p.device->reset_endpoint(number);
    return true;
  }
  return false;
}

// ---- tracing -------------------------------------------------------------------------------------

void HostController::add_observer(TransferObserver& observer) { observers_.push_back(&observer); }

void HostController::remove_observer(TransferObserver& observer) {
  std::erase(observers_, &observer);
}

}  // namespace usb
