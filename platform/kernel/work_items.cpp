// The system worker thread that runs queued work items one after another.
#include "platform/kernel/kernel_impl.h"

namespace kernel {

void Kernel::Impl::start_worker() {
  worker = scheduler.spawn("system worker", [this] {
    for (;;) {
      while (work_queue.empty()) {
        if (stopping) return;
        scheduler.block();
      }
      auto [item, owner] = work_queue.front();
      work_queue.pop_front();
      OwnerScope scope(owner);
      item->WorkerRoutine(item->Parameter);
    }
  });
}

void Kernel::Impl::stop_system_threads() {
  stopping = true;
  scheduler.wake(worker);
  sim::ThreadId pnp_thread = pnp->stop();
  scheduler.run_while_not([&] { return scheduler.finished(worker) && scheduler.finished(pnp_thread); },
                          scheduler.now());
}

}  // namespace kernel

void ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE) {
  auto& k = kernel::kernel_state();
  k.work_queue.emplace_back(WorkItem, kernel::current_owner());
  k.scheduler.wake(k.worker);
  k.scheduler.interrupt_window();
}
