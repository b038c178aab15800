// The PnP manager: one system thread delivers every PnP and power request, in order.
#include <deque>

#include "platform/kernel/kernel_impl.h"

namespace kernel {
namespace {

class PnpThread final : public SystemPnp {
 public:
  explicit PnpThread(Kernel::Impl& k) : k_(k) {
    thread_ = k_.scheduler.spawn("pnp manager", [this] { serve(); });
  }

  NTSTATUS add_and_start(PDEVICE_OBJECT pdo, PDRIVER_OBJECT function_driver) override {
    return post([this, pdo, function_driver] {
      PDRIVER_ADD_DEVICE add = function_driver->DriverExtension->AddDevice;
      if (add == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
      NTSTATUS status;
      {
        OwnerScope owner(function_driver);
        status = add(function_driver, pdo);
      }
      if (!NT_SUCCESS(status)) return status;
      return pnp_request(pdo, IRP_MN_START_DEVICE);
    });
  }

  NTSTATUS send(PDEVICE_OBJECT pdo, UCHAR minor) override {
    return post([this, pdo, minor] { return pnp_request(pdo, minor); });
  }

  NTSTATUS send_power(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) override {
    return post([this, pdo, minor, type, state] {
      PIRP irp = prepare(pdo, IRP_MJ_POWER, minor);
      PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
      next->Parameters.Power.Type = type;
      next->Parameters.Power.State = state;
      return k_.send_and_wait(top_of_stack(pdo), irp).Status;
    });
  }

  NTSTATUS remove(PDEVICE_OBJECT pdo, bool surprise) override {
    return post([this, pdo, surprise] {
      if (surprise) pnp_request(pdo, IRP_MN_SURPRISE_REMOVAL);
      return pnp_request(pdo, IRP_MN_REMOVE_DEVICE);
    });
  }

  PDEVICE_OBJECT top_of_stack(PDEVICE_OBJECT pdo) const override { return k_.top_of_stack(pdo); }

  sim::ThreadId stop() override {
    stopping_ = true;
    k_.scheduler.wake(thread_);
    return thread_;
  }

 private:
  struct Request {
    std::function<NTSTATUS()> operation;
    sim::ThreadId caller;
    NTSTATUS status = STATUS_PENDING;
    bool done = false;
  };

  NTSTATUS post(std::function<NTSTATUS()> operation) {
    sim::Scheduler& s = k_.scheduler;
    if (s.current_thread() == sim::kNoThread) {
      std::fprintf(stderr, "kernel: PnP requests must be made from a simulated thread\n");
      std::abort();
    }
    Request request{std::move(operation), s.current_thread()};
    queue_.push_back(&request);
    s.wake(thread_);
    while (!request.done) s.block();
    return request.status;
  }

  void serve() {
    sim::Scheduler& s = k_.scheduler;
    for (;;) {
      while (queue_.empty()) {
        if (stopping_) return;
        s.block();
      }
      Request* request = queue_.front();
      queue_.pop_front();
      request->status = request->operation();
      request->done = true;
      s.wake(request->caller);
    }
  }

  PIRP prepare(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor) {
    PIRP irp = k_.allocate_irp(top_of_stack(pdo)->StackSize, false);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    return irp;
  }

  NTSTATUS pnp_request(PDEVICE_OBJECT pdo, UCHAR minor) {
    PDEVICE_OBJECT top = top_of_stack(pdo);
    return k_.send_and_wait(top, prepare(pdo, IRP_MJ_PNP, minor)).Status;
  }

  Kernel::Impl& k_;
  sim::ThreadId thread_ = sim::kNoThread;
  std::deque<Request*> queue_;
  bool stopping_ = false;
};

}  // namespace

std::unique_ptr<SystemPnp> make_pnp_manager(Kernel::Impl& kernel) { return std::make_unique<PnpThread>(kernel); }

}  // namespace kernel
