// Every pool allocation on an adapter's way in and out fails once, each on a fresh machine: the
// driver must come through every one of those paths without a crash, a leak or a verifier report.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "serial_driver/krlusb.h"

namespace {

struct Outcome {
  bool finished = false;
  bool failure_came = false;  // the cycle reached the allocation that was made to fail
  std::vector<std::string> violations;
};

// Plug a numbered adapter, read its device descriptor, unplug it, shut the machine down; the
// `n`th allocation after boot fails.
Outcome cycle(const std::filesystem::path& folder, std::uint64_t n) {
  Outcome outcome;
  {
    machine::MachineOptions options;
    options.folder = folder;
    machine::Machine m(options);
    kernel::Verifier& verifier = m.kernel().verifier();
    verifier.set_mode(kernel::Verifier::Mode::Record);
    verifier.set_reporter([&](const kernel::Violation& v) { outcome.violations.push_back(v.text); });
    verifier.fail_nth_allocation(n);
    outcome.finished = m.run("sweep", [&] {
      machine::SerialAdapterOptions adapter;
      adapter.port_number = "5";
      auto& plugged = m.plug_serial(adapter);
      if (plugged.pdo != nullptr && plugged.pdo->AttachedDevice != nullptr) {
        m.kernel().device_io_control(m.kernel().device_name(plugged.pdo->AttachedDevice),
                                     krlusb::IOCTL_NC_GET_DEVICE_DESCRIPTOR, {}, 18);
      }
      m.unplug(plugged.name);
    });
    outcome.failure_came = !verifier.failure_pending();
  }
  std::filesystem::remove_all(folder);
  return outcome;
}

TEST(AllocationSweep, EveryFailedAllocationOnTheWayInAndOutIsSurvived) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("krlusb-sweep-" + std::to_string(::getpid()));
  std::uint64_t n = 1;
  for (; n < 500; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
    const Outcome o = cycle(folder, n);
    EXPECT_TRUE(o.finished);
    EXPECT_EQ(o.violations, std::vector<std::string>{});
    if (!o.failure_came) break;
  }
  EXPECT_GT(n, 10U) << "the cycle makes allocations";
  EXPECT_LT(n, 500U) << "the sweep reached the end of the cycle";
}

}  // namespace
