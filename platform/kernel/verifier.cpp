#include "platform/kernel/verifier.h"

#include <cstdio>
#include <cstdlib>

#include "platform/sim/splitmix.h"

namespace kernel {

const char* check_name(Check check) {
  switch (check) {
    case Check::PoolLeak: return "pool leak";
    case Check::IrqlTooHigh: return "IRQL too high";
    case Check::IrpCompletedTwice: return "IRP completed twice";
    case Check::IrpFreedWhileOwned: return "IRP freed while owned";
    case Check::IrpNoStackLocation: return "IRP has no stack location";
    case Check::TimerReinitialised: return "timer reinitialised while set";
    case Check::EventUninitialised: return "event not initialised";
    case Check::BadPoolFree: return "bad pool free";
    case Check::FreeWhileInUse: return "pool block freed while in use";
    case Check::DeviceDeletedBusy: return "device deleted while busy";
    case Check::FreedWhileQueued: return "timer or DPC freed while queued";
    case Check::Assertion: return "assertion";
  }
  return "unknown check";
}

void Verifier::report(Check check, std::string text) {
  violations_.push_back(Violation{check, std::move(text)});
  const Violation& v = violations_.back();
  if (reporter_) reporter_(v);
  if (mode_ == Mode::Abort) {
    std::fprintf(stderr, "verifier: %s: %s\n", check_name(check), v.text.c_str());
    std::fflush(stderr);
    std::_Exit(3);
  }
}

bool Verifier::tripped(Check check) const {
  for (const Violation& v : violations_) {
    if (v.check == check) return true;
  }
  return false;
}

void Verifier::fail_nth_allocation(std::uint64_t n) { countdown_ = n; }

void Verifier::fail_share(std::uint32_t share_per_million, std::uint64_t seed) {
  share_ = share_per_million;
  rng_state_ = seed;
}

void Verifier::stop_failing() {
  countdown_.reset();
  share_ = 0;
}

bool Verifier::should_fail_allocation() {
  if (countdown_) {
    if (--*countdown_ == 0) {
      countdown_.reset();
      return true;
    }
  }
  if (share_ == 0) return false;
  sim::SplitMix64 rng(rng_state_);
  const std::uint64_t draw = rng.next();
  rng_state_ += 0x9E3779B97F4A7C15ULL;
  return draw % 1'000'000 < share_;
}

}  // namespace kernel

