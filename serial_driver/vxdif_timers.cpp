// The receive time-out tick: while received bytes wait unread, it calls the client's receive
// callback again every other 100 ms tick, so that a client that missed the pump's notification
// still learns of the data.
#include "serial_driver/krlusb_log.h"
#include "serial_driver/vxdif.h"

namespace krlusb {

KTIMER TimeoutTimer;
KDPC TimeoutDpc;
KTIMER OutPipeTimer1;
KDPC OutPipeDpc1;

namespace {

constexpr LONG NC_TICK_MS = 100;
constexpr LONGLONG NC_TICK_DUE = -1'000'000;  // 100 ms from now, in 100 ns units

bool NC_NeedsTimeoutTick(POURPORTDATA pOpd) {
  return (pOpd->m_MiscFlags & MF_TIMER_LOGIC_OFF) == 0 && pOpd->m_RxTrigger != NC_NO_TRIGGER;
}

}  // namespace

void ManageTimer() {
  KrlPrint("Enter ManageTimer()\n");
  for (POURPORTDATA pOpd = pOurPort; pOpd != nullptr; pOpd = pOpd->m_next) {
    if (!NC_NeedsTimeoutTick(pOpd)) continue;
    if (HaveTimer == 0) {
      KeInitializeTimer(&TimeoutTimer);
      KeInitializeDpc(&TimeoutDpc, TimeoutProc, nullptr);
      LARGE_INTEGER due;
      due.QuadPart = NC_TICK_DUE;
      KeSetTimerEx(&TimeoutTimer, due, NC_TICK_MS, &TimeoutDpc);
      HaveTimer = 1;
      KrlPrint("Exit ManageTimer() Timer set up\n");
    }
    KrlPrint("Exit ManageTimer() Already have a timer\n");
    return;
  }
  if (HaveTimer == 0) {
    KrlPrint("Exit ManageTimer() No timer to cancel\n");
    return;
  }
  KrlPrint("+ Canceling timer\n");
  KeCancelTimer(&TimeoutTimer);
  HaveTimer = 0;
  KrlPrint("Exit ManageTimer()\n");
}

void TimeoutProc(PKDPC /*Dpc*/, PVOID /*DeferredContext*/, PVOID /*SystemArgument1*/, PVOID /*SystemArgument2*/) {
  KrlPrint("TimeoutProc() *Tick*...\n");
  for (POURPORTDATA pOpd = pOurPort; pOpd != nullptr; pOpd = pOpd->m_next) {
    // A port whose device has gone has nobody left to report data for.
    if (pOpd->m_pDeviceObject == nullptr) continue;
    if (!NC_NeedsTimeoutTick(pOpd) || pOpd->m_pd.QInCount == 0 || (pOpd->m_NfyFlags & NF_RECEIVE_SENT) != 0) continue;
    pOpd->m_NfyFlags ^= NF_TIMEOUT_PHASE;
    if ((pOpd->m_NfyFlags & NF_TIMEOUT_PHASE) == 0) CallNotifyProc(pOpd, CN_RECEIVE);
  }
}

}  // namespace krlusb
