// The COM port object and its lifecycle: creation and binding by name, the open entry that hands
// the port-data block to the serial stack, close, destruction, and the pool helpers that every
// buffer of the port comes from.
#include <cstring>

#include "serial_driver/krlusb_log.h"
#include "serial_driver/vxdif.h"

namespace krlusb {

POURPORTDATA pOurPort = nullptr;
UCHAR HaveTimer = 0;
UCHAR HaveRead = 0;
UCHAR HaveInt = 0;
UCHAR HaveInQueue = 0;
UCHAR HaveOutQueue = 0;
ULONG sdwBaudRate = 0;

_PortFunctions VcommFuncList = {
    .pPortSetCommState = SetCommState,
    .pPortGetCommState = GetCommState,
    .pPortSetup = nullptr,
    .pPortTransmitChar = nullptr,
    .pPortClose = Close,
    .pPortGetQueueStatus = nullptr,
    .pPortClearError = nullptr,
    .pPortSetModemStatusShadow = nullptr,
    .pPortGetProperties = nullptr,
    .pPortEscapeFunction = nullptr,
    .pPortPurge = nullptr,
    .pPortSetEventMask = SetEventMask,
    .pPortGetEventMask = GetEventMask,
    .pPortWrite = nullptr,
    .pPortRead = nullptr,
    .pPortEnableNotification = EnableNotification,
    .pPortSetReadCallBack = SetReadCallback,
    .pPortSetWriteCallBack = SetWriteCallback,
    .pPortGetModemStatus = nullptr,
    .pPortGetCommConfig = GetCommConfig,
    .pPortSetCommConfig = SetCommConfig,
    .pPortGetError = nullptr,
    .pPortDeviceIOCtl = nullptr,
};

namespace {

void NC_FreeBuffer(PUCHAR& buffer) {
  NC_Free(buffer);
  buffer = nullptr;
}

// The buffers that Setup made for an open period.  The next open period's Setup makes new ones,
// so whoever forgets the old ones (Open, a re-creation, KRLUSB_DeleteAll) frees them first.
void NC_FreePortBuffers(POURPORTDATA pOpd) {
  if ((pOpd->m_MiscFlags & MF_RXQUEUE_OURS) != 0) NC_FreeBuffer(pOpd->m_pd.QInAddr);
  // The internal ring is mirrored into QOutAddr: it is freed once, as TxQAddr.
  if ((pOpd->m_MiscFlags & MF_TXQUEUE_OURS) != 0 && pOpd->m_pd.QOutAddr != pOpd->TxQAddr) {
    NC_FreeBuffer(pOpd->m_pd.QOutAddr);
  }
  pOpd->m_MiscFlags &= static_cast<USHORT>(~(MF_RXQUEUE_OURS | MF_TXQUEUE_OURS));
  NC_FreeBuffer(pOpd->m_pAuxInBuf);
  NC_FreeBuffer(pOpd->XOnOffBuf);
  NC_FreeBuffer(pOpd->QIntAddr);
  NC_FreeBuffer(pOpd->TxQAddr);
}

// The device keeps a pointer back to its port; a port object that is wiped or freed takes it away.
void NC_ReleaseDevice(POURPORTDATA pOpd) {
  if (pOpd->m_pDeviceObject == nullptr) return;
  PDEVICE_EXTENSION deviceExtension = NC_Extension(pOpd->m_pDeviceObject);
  if (deviceExtension->pOurPortData == pOpd) deviceExtension->pOurPortData = nullptr;
}

}  // namespace

void NC_ResetPortImage() {
  pOurPort = nullptr;
  HaveTimer = 0;
  HaveRead = 0;
  HaveInt = 0;
  HaveInQueue = 0;
  HaveOutQueue = 0;
  sdwBaudRate = 0;
  NC_QueuedCommands = 0;
  RtlZeroMemory(&NC_QueuedCommandsDone, sizeof(NC_QueuedCommandsDone));
  RtlZeroMemory(&TimeoutTimer, sizeof(TimeoutTimer));
  RtlZeroMemory(&TimeoutDpc, sizeof(TimeoutDpc));
  RtlZeroMemory(&OutPipeTimer1, sizeof(OutPipeTimer1));
  RtlZeroMemory(&OutPipeDpc1, sizeof(OutPipeDpc1));
}

POURPORTDATA KRLUSB_CreatePort(const char* name, ULONG iobase, ULONG irq, ULONG devnode) {
  KrlPrint("Enter CreatePort(): name:%s iobase:%4.4x irq:%2.2x devnode:%8.8x\n", name != nullptr ? name : "(null)",
           iobase, irq, devnode);
  KrlPrint("+ Current IRQL:%2.2x\n", KeGetCurrentIrql());
  if (name == nullptr || std::strlen(name) >= sizeof(pOurPort->m_name)) {
    KrlPrint("Exit CreatePort(): port name missing or longer than 7 characters\n");
    return nullptr;
  }

  POURPORTDATA pOpd = pOurPort;
  if (pOpd != nullptr) {
    // The serial stack holds an open port's block: wiping it under the stack would break the port.
    if (pOpd->m_open != 0) {
      KrlPrint("Exit CreatePort(): pOurPort is open\n");
      return nullptr;
    }
    KrlPrint("pOurPort was exist ...\n");
    NC_WaitForQueuedCommands();
    NC_FreePortBuffers(pOpd);
    NC_ReleaseDevice(pOpd);
  } else {
    pOpd = static_cast<POURPORTDATA>(NC_Allocate(sizeof(_OurPortData)));
    if (pOpd == nullptr) {
      KrlPrint("+ ExAllocatePool() failed. CreatePort(): Returning\n");
      return nullptr;
    }
    pOurPort = pOpd;
    KrlPrint("pOurPort : %x\n", pOpd);
  }

  RtlZeroMemory(pOpd, sizeof(_OurPortData));
  pOpd->m_iobase = iobase;
  pOpd->m_irq = irq;
  pOpd->m_devnode = devnode;
  std::strcpy(pOpd->m_name, name);
  pOpd->m_signature = NC_PORT_SIGNATURE;
  pOpd->m_PreOpenProc = PreOpen;

  if (!AttachFreeUsbComPort(pOpd)) {
    KrlPrint("Exit CreatePort(): AttachFreeUsbComPort() failed.\n");
    KrlPrint("Free pOurPort ...\n");
    NC_Free(pOpd);
    pOurPort = nullptr;
    return nullptr;
  }
  KrlPrint("Exit CreatePort() (success) pOurPort:%8.8x\n", pOpd);
  return pOpd;
}

_PORTDATA* PreOpen(const char* name, ULONG hVM, LONG* pError) {
  POURPORTDATA pOpd = pOurPort;
  while (pOpd != nullptr && (name == nullptr || std::strcmp(name, pOpd->m_name) != 0)) pOpd = pOpd->m_next;
  if (pOpd == nullptr) {
    *pError = IE_HARDWARE;
    KrlPrint("Exit PreOpen(): failed IE_HARDWARE\n");
    return nullptr;
  }
  if (pOpd->m_open != 0) {
    *pError = IE_OPEN;
    KrlPrint("Exit PreOpen(): failed IE_OPEN\n");
    return nullptr;
  }
  if (Open(pOpd, hVM, pError) == 0) {
    KrlPrint("Exit PreOpen(): Open() failed!\n");
    return nullptr;
  }
  pOpd->m_open = 1;
  KrlPrint("Exit PreOpen(): success!\n");
  return &pOpd->m_pd;
}

LONG Open(POURPORTDATA pOpd, ULONG /*hVM*/, LONG* /*pError*/) {
  NC_FreePortBuffers(pOpd);
  RtlZeroMemory(&pOpd->m_pd, sizeof(pOpd->m_pd));
  RtlZeroMemory(&pOpd->m_dcb, sizeof(pOpd->m_dcb));

  pOpd->m_pd.PDLength = PORTDATA_LENGTH;
  pOpd->m_pd.PDVersion = PORTDATA_VERSION;
  pOpd->m_pd.PDfunctions = &VcommFuncList;
  pOpd->m_pd.PDNumFunctions = PORT_FUNCTION_COUNT;
  pOpd->m_pd.dwCommError = 0;

  pOpd->m_dcb.BaudRate = sdwBaudRate;
  pOpd->m_dcb.BitMask = fBinary | fDtrEnable;
  pOpd->m_dcb.XonLim = 0xFFFFFFFF;
  pOpd->m_dcb.XoffLim = 0xFFFFFFFF;
  pOpd->m_dcb.XonChar = 0x11;
  pOpd->m_dcb.XoffChar = 0x13;
  pOpd->m_dcb.ByteSize = 8;

  pOpd->m_pRxTime = &pOpd->m_pd.dwLastReceiveTime;
  pOpd->m_pEvent = &pOpd->m_pd.dwDetectedEvents;
  pOpd->m_pMsrShadow = &pOpd->m_pd.bMSRShadow;
  pOpd->m_eventmask = 0;
  pOpd->m_RxTrigger = NC_NO_TRIGGER;
  pOpd->m_TxTrigger = NC_NO_TRIGGER;
  pOpd->m_MiscFlags = 0;
  pOpd->m_NfyFlags = 0;

  pOpd->QueueStatus = 0;
  pOpd->LCR = 3;
  pOpd->MCR = MCR_OUT2;
  pOpd->Int_flag = 0;
  pOpd->InRead = 0;
  pOpd->LowIrpEnable = 0;
  pOpd->InVendorCommand = 0;
  pOpd->PipeStatus = 1;
  pOpd->OutPipeStatus = 1;
  pOpd->OutPipeStop = 1;
  pOpd->IntPipeStatus = 0;
  pOpd->QIntAddr = nullptr;
  return 1;
}

BOOL Close(_PORTDATA* pVpd) {
  POURPORTDATA pOpd = NC_PortFromPortData(pVpd);
  if (pOpd->m_open == 0) return 1;

  pOpd->m_MiscFlags |= MF_CLOSED;
  pOpd->m_pd.QInCount = 0;
  pOpd->m_pd.QOutCount = 0;
  pOpd->TxQCount = 0;
  pOpd->m_pd.dwCommError = 0;
  pOpd->Int_flag = 0;

  KeCancelTimer(&TimeoutTimer);
  KeCancelTimer(&OutPipeTimer1);
  HaveTimer = 0;
  HaveRead = 0;
  HaveInt = 0;
  HaveInQueue = 0;
  HaveOutQueue = 0;

  if (!UnattachUsbComPort(pOpd)) {
    KrlPrint("Exit Close(): Failed\n");
    pOpd->m_pd.dwLastError = IE_OPEN;
    return 0;
  }
  pOpd->m_open = 0;
  pOpd->m_pd.dwLastError = 0;
  KrlPrint("Exit Close()\n");
  return 1;
}

void KRLUSB_DeleteAll() {
  POURPORTDATA pOpd = pOurPort;
  if (pOpd == nullptr) return;
  KrlPrint("+ Deleting %s\n", pOpd->m_name);
  if (pOpd->m_open != 0) Close(&pOpd->m_pd);
  if (HaveTimer) {
    KeCancelTimer(&TimeoutTimer);
    HaveTimer = 0;
  }
  if (HaveRead) {
    KeCancelTimer(&OutPipeTimer1);
    HaveRead = 0;
  }
  HaveInt = 0;

  NC_WaitForQueuedCommands();
  NC_FreePortBuffers(pOpd);
  NC_ReleaseDevice(pOpd);
  KrlPrint("Free pOurPort ...\n");
  NC_Free(pOpd);
  pOurPort = nullptr;
}

PVOID NC_Allocate(ULONG nbytes) { return ExAllocatePoolWithTag(NonPagedPool, nbytes, KRLUSB_POOL_TAG); }

PVOID NC_ReAllocate(PVOID hAddress, ULONG nbytes) {
  if (hAddress != nullptr) ExFreePool(hAddress);
  return NC_Allocate(nbytes);
}

void NC_Free(PVOID hAddress) {
  if (hAddress != nullptr) ExFreePool(hAddress);
}

}  // namespace krlusb
