// A two-level driver stack for the kernel tests: LOWER, a bus driver whose device pends requests
// and completes them from dispatch-level work, and UPPER, a function driver attached above it that
// passes requests down with completion routines.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/kernel/kernel.h"

namespace testdrv {

inline constexpr ULONG kEcho = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);  // 1 ms
inline constexpr ULONG kHold = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);  // until cancelled
inline constexpr ULONG kFail = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);  // at once

struct UpperExtension {
  PDEVICE_OBJECT self;
  PDEVICE_OBJECT lower;
};

struct State {
  std::vector<std::string> trace;
  std::vector<PIRP> held;                 // requests the lower device holds
  bool slow_pnp = false;                  // UPPER waits 10 ms inside each PnP request
  std::function<void()> in_upper_completion;  // runs inside UPPER's completion routine
  bool upper_stops = false;               // UPPER's completion routine keeps the IRP
  PIRP stopped = nullptr;                 // ... here
};
State& state();

NTSTATUS lower_entry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);
NTSTATUS upper_entry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);

inline constexpr const char* kPdoName = "\\Device\\LowerPdo";
inline constexpr const char* kUpperName = "\\Device\\Upper";

}  // namespace testdrv
