// The port's event word and mask, the client's three callbacks with their triggers, and the one
// routine through which every notification reaches the client.
#include "serial_driver/krlusb_log.h"
#include "serial_driver/vxdif.h"

namespace krlusb {

void CallNotifyProc(POURPORTDATA pOpd, ULONG code) {
  KrlPrint("Enter CallNotifyProc(): code:%8.8x\n", code);
  ASSERT((code & 0xFF00) == 0);
  // Marked even without a callback: the notification counts as delivered until it is re-armed.
  pOpd->m_NfyFlags = static_cast<UCHAR>(pOpd->m_NfyFlags | code);
  const ULONG events = *pOpd->m_pEvent;
  KrlPrint("+ &m_pd:%x events:%8.8x\n", &pOpd->m_pd, events);
  switch (code) {
    case CN_EVENT:
      KrlPrint("Calling Client EVENTNotify()\n");
      if (pOpd->m_EvNotify == nullptr) break;
      KrlPrint("EvNotify ==> %x\n", reinterpret_cast<PVOID>(pOpd->m_EvNotify));
      pOpd->m_EvNotify(&pOpd->m_pd, pOpd->m_EvData, CN_EVENT, events);
      break;
    case CN_RECEIVE:
      KrlPrint("Calling Client RECEIVENotify()\n");
      KrlPrint("R\n");
      if (pOpd->m_RxNotify == nullptr) break;
      pOpd->m_RxNotify(&pOpd->m_pd, pOpd->m_RxData, CN_RECEIVE, events);
      break;
    case CN_TRANSMIT:
      KrlPrint("Calling Client TRANSMITNotify():  m_TxData:%x\n", pOpd->m_TxData);
      KrlPrint("T\n");
      if (pOpd->m_TxNotify == nullptr) break;
      pOpd->m_TxNotify(&pOpd->m_pd, pOpd->m_TxData, CN_TRANSMIT, events);
      break;
    default:
      break;
  }
  KrlPrint("Exit CallNotifyProc()\n");
}

BOOL SetEventMask(_PORTDATA* pVpd, ULONG mask, PULONG pEvents) {
  POURPORTDATA pOpd = NC_PortFromPortData(pVpd);
  KrlPrint("Enter SetEventMask()\n");
  pOpd->m_eventmask = mask;
  // Bits already recorded stay in the old word: the client asked for a fresh one.
  if (pEvents != nullptr) pOpd->m_pEvent = pEvents;
  pOpd->m_pd.dwLastError = 0;
  KrlPrint("Exit SetEventMask()\n");
  return 1;
}

BOOL GetEventMask(_PORTDATA* pVpd, ULONG mask, PULONG pEvents) {
  POURPORTDATA pOpd = NC_PortFromPortData(pVpd);
  KrlPrint("Enter GetEventMask()\n");
  pOpd->m_pd.dwLastError = 0;
  const ULONG_PTR flags = KeSaveFlagsAndDisableInterrupts();
  *pEvents = *pOpd->m_pEvent;
  *pOpd->m_pEvent &= ~mask;
  KeRestoreFlags(flags);
  KrlPrint("Exit GetEventMask()\n");
  return 1;
}

BOOL EnableNotification(_PORTDATA* pVpd, PortNotifyProc pCallback, ULONG refdata) {
  POURPORTDATA pOpd = NC_PortFromPortData(pVpd);
  KrlPrint("Enter EnableNotification()\n");
  ULONG pending = 0;
  const ULONG_PTR flags = KeSaveFlagsAndDisableInterrupts();
  pOpd->m_NfyFlags = static_cast<UCHAR>(pOpd->m_NfyFlags & ~NF_EVENT_CALLBACK);
  pOpd->m_EvNotify = pCallback;
  pOpd->m_EvData = refdata;
  if (pCallback != nullptr) {
    pOpd->m_NfyFlags = static_cast<UCHAR>(pOpd->m_NfyFlags | NF_EVENT_CALLBACK);
    pending = pOpd->m_eventmask & *pOpd->m_pEvent;
  }
  KeRestoreFlags(flags);
  if (pending != 0) CallNotifyProc(pOpd, CN_EVENT);
  pOpd->m_pd.dwLastError = 0;
  KrlPrint("Exit EnableNotification()\n");
  return 1;
}

BOOL SetReadCallback(_PORTDATA* pVpd, ULONG RxTrigger, PortNotifyProc pCallback, ULONG refdata) {
  POURPORTDATA pOpd = NC_PortFromPortData(pVpd);
  KrlPrint("Enter SetReadCallback()\n");
  if (RxTrigger != NC_NO_TRIGGER && RxTrigger > pOpd->m_pd.QInSize) RxTrigger = pOpd->m_pd.QInSize;
  if (pCallback == nullptr) RxTrigger = NC_NO_TRIGGER;
  KrlPrint("+ pOpd->m_RxTrigger:%8.8x\n", pOpd->m_RxTrigger);
  const ULONG_PTR flags = KeSaveFlagsAndDisableInterrupts();
  pOpd->m_RxNotify = pCallback;
  pOpd->m_RxData = refdata;
  pOpd->m_RxTrigger = RxTrigger;
  KeRestoreFlags(flags);
  if (pOpd->m_pd.QInCount == 0) *pOpd->m_pRxTime = 0;
  ManageTimer();
  KrlPrint("Exit SetReadCallback()\n");
  return 1;
}

BOOL SetWriteCallback(_PORTDATA* pVpd, ULONG TxTrigger, PortNotifyProc pCallback, ULONG refdata) {
  POURPORTDATA pOpd = NC_PortFromPortData(pVpd);
  KrlPrint("Enter SetWriteCallback()\n");
  if (TxTrigger == NC_NO_TRIGGER) TxTrigger = 0;
  if ((pOpd->m_MiscFlags & MF_CLIENT_TXQUEUE) != 0 && TxTrigger > pOpd->m_pd.QOutSize) TxTrigger = pOpd->m_pd.QOutSize;
  if (pCallback == nullptr) TxTrigger = 0;
  const ULONG_PTR flags = KeSaveFlagsAndDisableInterrupts();
  pOpd->m_TxNotify = pCallback;
  pOpd->m_TxData = refdata;
  pOpd->m_TxTrigger = TxTrigger;
  KeRestoreFlags(flags);
  KrlPrint("+ TxTrigger:%8.8x\n", TxTrigger);
  KrlPrint("Exit SetWriteCallback()\n");
  return 1;
}

}  // namespace krlusb
