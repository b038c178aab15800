// The list of USB serial devices whose COM number is known, each device's transfer blocks for its
// three pipes, which live exactly as long as the device is in the list, and the binding of the
// COM port to the device of its name.
#include <cstdio>
#include <cstring>

#include "serial_driver/krlusb_log.h"
#include "serial_driver/vxdif.h"

namespace krlusb {

_UsbComDevice* pUsbCom = nullptr;

namespace {

PURB NC_AllocateTransferBlock() {
  return static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), KRLUSB_POOL_TAG));
}

}  // namespace

UCHAR AddUsbComPort(PDEVICE_OBJECT pDeviceObject) {
  KrlPrint("Enter AddUsbComPort()\n");
  if (pUsbCom == nullptr) {
    pUsbCom = static_cast<_UsbComDevice*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(_UsbComDevice), KRLUSB_POOL_TAG));
    // Without a head there is no list: the next add tries again.
    if (pUsbCom == nullptr) {
      KrlPrint("Exit AddUsbComPort(): ExAllocatePool( head ) FAILED!!\n");
      return FALSE;
    }
    RtlZeroMemory(pUsbCom, sizeof(_UsbComDevice));
  }
  if (pDeviceObject == nullptr) return FALSE;
  PDEVICE_EXTENSION deviceExtension = NC_Extension(pDeviceObject);

  auto* node = static_cast<_UsbComDevice*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(_UsbComDevice), KRLUSB_POOL_TAG));
  if (node == nullptr) {
    KrlPrint("Exit AddUsbComPort(): ExAllocatePool( pUsbCom ) FAILED!!\n");
    return FALSE;
  }
  deviceExtension->InIrpInfo.pUrb = NC_AllocateTransferBlock();
  if (deviceExtension->InIrpInfo.pUrb == nullptr) {
    ExFreePool(node);
    KrlPrint("Exit AddUsbComPort(): ExAllocatePool(IN) FAILED!!\n");
    return FALSE;
  }
  deviceExtension->OutIrpInfo.pUrb = NC_AllocateTransferBlock();
  if (deviceExtension->OutIrpInfo.pUrb == nullptr) {
    ExFreePool(node);
    ExFreePool(deviceExtension->InIrpInfo.pUrb);
    deviceExtension->InIrpInfo.pUrb = nullptr;
    KrlPrint("Exit AddUsbComPort(): ExAllocatePool(OUT) FAILED!!\n");
    return FALSE;
  }
  deviceExtension->IntIrpInfo.pUrb = NC_AllocateTransferBlock();
  if (deviceExtension->IntIrpInfo.pUrb == nullptr) {
    ExFreePool(node);
    ExFreePool(deviceExtension->InIrpInfo.pUrb);
    ExFreePool(deviceExtension->OutIrpInfo.pUrb);
    deviceExtension->InIrpInfo.pUrb = nullptr;
    deviceExtension->OutIrpInfo.pUrb = nullptr;
    KrlPrint("Exit AddUsbComPort(): ExAllocatePool(INT) FAILED!!\n");
    return FALSE;
  }

  RtlZeroMemory(node, sizeof(_UsbComDevice));
  node->pDeviceObject = pDeviceObject;
  RtlZeroMemory(deviceExtension->InIrpInfo.pUrb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
  RtlZeroMemory(deviceExtension->OutIrpInfo.pUrb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
  RtlZeroMemory(deviceExtension->IntIrpInfo.pUrb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
  deviceExtension->pOurPortData = nullptr;
  std::snprintf(node->cpPortName, sizeof(node->cpPortName), "COM%s", deviceExtension->pPortNumber);

  _UsbComDevice* last = pUsbCom;
  while (last->Next != nullptr) last = last->Next;
  last->Next = node;
  node->Prev = last;
  KrlPrint("Exit AddUsbComPort(): Success\n");
  return TRUE;
}

UCHAR DeleteUsbComPort(PDEVICE_OBJECT pDeviceObject) {
  KrlPrint("Enter DeleteUsbComPort()\n");
  if (pUsbCom == nullptr) {
    KrlPrint("+ ERROR! pUsbCom list empty\n");
    return FALSE;
  }
  _UsbComDevice* node = pUsbCom;
  while (node->pDeviceObject != pDeviceObject && node->Next != nullptr) node = node->Next;
  if (node->pDeviceObject != pDeviceObject || pDeviceObject == nullptr) {
    KrlPrint("+ ERROR! Could not find matching pDeviceObject\n");
    return FALSE;
  }
  PDEVICE_EXTENSION deviceExtension = NC_Extension(pDeviceObject);
  // The device leaves its port first, so that nothing starts a pump on it from here on.
  if (deviceExtension->pOurPortData != nullptr) {
    KrlPrint("+ Removing USB COM device from %s\n", deviceExtension->pOurPortData->m_name);
    deviceExtension->pOurPortData = nullptr;
  }
  // A late completion would write into a freed transfer block: every pump request goes first.
  // The completions still find the device through the port, which names it until they are done.
  _IRPINFO* const pipes[] = {&deviceExtension->InIrpInfo, &deviceExtension->OutIrpInfo,
                             &deviceExtension->IntIrpInfo};
  BOOLEAN quiet[NC_PIPE_COUNT];
  for (ULONG pipe = 0; pipe < NC_PIPE_COUNT; pipe++) quiet[pipe] = CancelIrp(pipes[pipe]);
  // A closed port still names its device: it must not keep the name of one that is gone.
  if (pOurPort != nullptr && pOurPort->m_pDeviceObject == pDeviceObject) pOurPort->m_pDeviceObject = nullptr;

  for (ULONG pipe = 0; pipe < NC_PIPE_COUNT; pipe++) {
    if (quiet[pipe]) {
      ExFreePool(pipes[pipe]->pUrb);
    } else {
      KrlPrint("+ Request of pipe %d could not be cancelled: its transfer block is left to it\n", pipe);
    }
    pipes[pipe]->pUrb = nullptr;
  }

  node->Prev->Next = node->Next;
  if (node->Next != nullptr) node->Next->Prev = node->Prev;
  ExFreePool(node);
  KrlPrint("Exit DeleteUsbComPort()\n");
  return TRUE;
}

UCHAR AttachFreeUsbComPort(POURPORTDATA pOpd) {
  KrlPrint("Enter AttachFreeUsbComPort():\n");
  if (pUsbCom == nullptr) {
    KrlPrint("Exit AttachFreeUsbComPort(): error: pUsbCom empty\n");
    return FALSE;
  }
  for (_UsbComDevice* node = pUsbCom->Next; node != nullptr; node = node->Next) {
    if (std::strcmp(node->cpPortName, pOpd->m_name) != 0) continue;
    // GetPortPosition: the port and the device point at each other.
    pOpd->m_pDeviceObject = node->pDeviceObject;
    NC_Extension(node->pDeviceObject)->pOurPortData = pOpd;
    KrlPrint("Exit AttachFreeUsbComPort(): Success!\n");
    return TRUE;
  }
  KrlPrint("Exit AttachFreeUsbComPort(): No free USB COM devices\n");
  return FALSE;
}

UCHAR UnattachUsbComPort(POURPORTDATA pOpd) {
  KrlPrint("Enter UnattachUsbComPort()\n");
  if (pOpd->m_pDeviceObject == nullptr) {
    KrlPrint("+ Failed: No USB COM device attached\n");
    return FALSE;
  }
  CancelIntIrp(pOpd);
  CancelInIrp(pOpd);
  // A transmit purge marks the pipe idle (OutPipeStatus 1) while a transfer may still be out;
  // OutPipeStop 0 tells that one is.
  if (pOpd->OutPipeStatus == 0 || pOpd->OutPipeStop == 0) CancelOutIrp(pOpd);
  NC_Extension(pOpd->m_pDeviceObject)->pOurPortData = nullptr;
  KrlPrint("Exit UnattachUsbComPort\n");
  return TRUE;
}

}  // namespace krlusb
