// Pool: every block is tracked with its tag and the driver it is charged to.
#include <cstdlib>
#include <cstring>

#include "platform/kernel/in_use.h"
#include "platform/kernel/kernel_impl.h"

namespace kernel {

void* Kernel::Impl::pool_allocate(POOL_TYPE, std::size_t size, ULONG tag, bool may_fail) {
  ++allocations;
  if (may_fail && verifier.should_fail_allocation()) return nullptr;
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) return nullptr;
  std::memset(p, kPoolFill, size);
  pool.emplace(p, PoolBlock{size, tag, current_owner()});
  return p;
}

void Kernel::Impl::forget_memory(const void* block, std::size_t size) {
  const auto* begin = static_cast<const std::byte*>(block);
  const auto* end = begin + size;
  auto inside = [&](const auto& entry) {
    const auto* p = reinterpret_cast<const std::byte*>(entry.first);
    return p >= begin && p < end;
  };
  pointer_numbers.erase(pointer_numbers.lower_bound(begin), pointer_numbers.lower_bound(end));
  bool queued = false;
  // Drops the records of objects inside the block; one still pending is stopped and remembered.
  auto forget = [&](auto& records, auto pending) {
    for (auto it = records.begin(); it != records.end();) {
      if (!inside(*it)) {
        ++it;
        continue;
      }
      if (pending(it->second)) {
        scheduler.cancel(it->second.work);
        queued = true;
      }
      it = records.erase(it);
    }
  };
  forget(timers, [](const auto& timer) { return timer.armed; });
  forget(dpcs, [](const auto& dpc) { return dpc.queued; });
  if (queued) verifier.report(Check::FreedWhileQueued, "memory freed while a timer in it is set or a DPC in it is queued");
}

void Kernel::Impl::pool_free(void* p) {
  auto it = pool.find(p);
  if (it == pool.end()) {
    verifier.report(Check::BadPoolFree, "ExFreePool of an address that is not an allocated block");
    return;
  }
  forget_memory(p, it->second.size);
  const auto* begin = static_cast<const std::byte*>(p);
  const auto* end = begin + it->second.size;
  auto used = in_use.lower_bound(begin);
  if (used != in_use.begin()) {
    auto before = std::prev(used);
    if (before->first + before->second > begin) used = before;
  }
  if (used != in_use.end() && used->first < end) {
    verifier.report(Check::FreeWhileInUse, "ExFreePool of a block whose memory a pending transfer still uses");
    quarantine.push_back(p);
    pool.erase(it);
    return;
  }
  pool.erase(it);
  std::free(p);
}

void Kernel::Impl::release_pool() {
  for (auto& [p, block] : pool) std::free(const_cast<void*>(p));
  pool.clear();
  for (void* p : quarantine) std::free(p);
  quarantine.clear();
}

void mark_in_use(const void* address, std::size_t length) {
  kernel_state().in_use[static_cast<const std::byte*>(address)] = length;
}

void unmark_in_use(const void* address) { kernel_state().in_use.erase(static_cast<const std::byte*>(address)); }

}  // namespace kernel

using kernel::kernel_state;

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  auto& k = kernel_state();
  k.scheduler.interrupt_window();
  return k.pool_allocate(PoolType, NumberOfBytes, Tag, true);
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return ExAllocatePoolWithTag(PoolType, NumberOfBytes, POOL_TAG("None"));
}

void ExFreePool(PVOID P) {
  auto& k = kernel_state();
  k.pool_free(P);
  k.scheduler.interrupt_window();
}

void ExFreePoolWithTag(PVOID P, ULONG) { ExFreePool(P); }
