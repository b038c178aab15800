// A machine with a kernel and, on request, the LOWER/UPPER test stack plugged in.
#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "platform/kernel/kernel.h"
#include "tests/kernel/test_drivers.h"

class KernelTest : public ::testing::Test {
 protected:
  sim::Scheduler s{42};
  kernel::Kernel k{s};
  PDRIVER_OBJECT lower = nullptr;
  PDRIVER_OBJECT upper = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT fdo = nullptr;

  // Runs `body` on a simulated passive-level thread until it finishes.
  void run(const std::function<void()>& body, sim::VTime limit = sim::seconds(60)) {
    ASSERT_TRUE(s.run_thread("test", body, s.now() + limit)) << "test thread still blocked";
  }

  void plug() {
    run([&] {
      lower = k.load_driver("LOWER", &testdrv::lower_entry);
      upper = k.load_driver("UPPER", &testdrv::upper_entry);
      pdo = k.find_device(testdrv::kPdoName);
      ASSERT_NE(pdo, nullptr);
      EXPECT_EQ(k.pnp().add_and_start(pdo, upper), STATUS_SUCCESS);
      fdo = k.find_device(testdrv::kUpperName);
    });
    testdrv::state().trace.clear();
  }

  std::vector<std::string>& trace() { return testdrv::state().trace; }
};
