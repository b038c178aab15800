// The list of USB serial devices whose COM number is known, and each device's transfer blocks
// for its three pipes, which live exactly as long as the device is in the list.
#include <cstdio>

#include "serial_driver/krlusb.h"
#include "serial_driver/krlusb_log.h"

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
  ExFreePool(deviceExtension->InIrpInfo.pUrb);
  ExFreePool(deviceExtension->OutIrpInfo.pUrb);
  ExFreePool(deviceExtension->IntIrpInfo.pUrb);
  deviceExtension->InIrpInfo.pUrb = nullptr;
  deviceExtension->OutIrpInfo.pUrb = nullptr;
  deviceExtension->IntIrpInfo.pUrb = nullptr;

  node->Prev->Next = node->Next;
  if (node->Next != nullptr) node->Next->Prev = node->Prev;
  ExFreePool(node);
  KrlPrint("Exit DeleteUsbComPort()\n");
  return TRUE;
}

}  // namespace krlusb
