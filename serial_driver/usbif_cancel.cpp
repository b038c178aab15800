// Cancelling a pump's outstanding request and waiting until its completion routine has let it go.
#include "serial_driver/krlusb_log.h"
#include "serial_driver/vxdif.h"

namespace krlusb {
namespace {

constexpr LONGLONG NC_CANCEL_WAIT = -50'000'000;  // 5 seconds, relative, in 100 ns units

UCHAR NC_CancelPortPipe(POURPORTDATA pOpd, _IRPINFO _DEVICE_EXTENSION::*pipe, const char* success,
                        const char* failure) {
  // Requests of a device that has gone were completed by the bus: nothing is left to cancel.
  if (pOpd->m_pDeviceObject == nullptr) return TRUE;
  const UCHAR result = CancelIrp(&(NC_Extension(pOpd->m_pDeviceObject)->*pipe));
  KrlPrint(result ? success : failure);
  return result;
}

}  // namespace

UCHAR CancelIrp(_IRPINFO* pIrpInfo) {
  // At dispatch level the completion cannot run, and free the request, between reading the
  // pointer and asking for the cancellation.
  KIRQL oldIrql;
  KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
  PIRP irp = pIrpInfo->pIrp;
  KrlPrint("Enter CancelIrp() pIrp:%x\n", irp);
  if (irp == nullptr) {
    KeLowerIrql(oldIrql);
    KrlPrint("Exit CancelIrp(): No IRP to cancel\n");
    return TRUE;
  }
  KeClearEvent(&pIrpInfo->CancelEvent);
  const BOOLEAN cancelled = IoCancelIrp(irp);
  KeLowerIrql(oldIrql);
  if (!cancelled) {
    KrlPrint("Exit CancelIrp(): IRP is not cancellable!!??\n");
    return TRUE;
  }

  LARGE_INTEGER timeout;
  timeout.QuadPart = NC_CANCEL_WAIT;
  if (KeWaitForSingleObject(&pIrpInfo->CancelEvent, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
    // The request may still be out: it and its transfer block stay as they are.
    KrlPrint("Exit CancelIrp(): Failed: Timeout\n");
    return FALSE;
  }
  KrlPrint("Exit CancelIrp(): Success\n");
  return TRUE;
}

UCHAR CancelInIrp(POURPORTDATA pOpd) {
  KrlPrint("Enter CancelInIrp()\n");
  return NC_CancelPortPipe(pOpd, &_DEVICE_EXTENSION::InIrpInfo, "Exit CancelInIrp() Success\n",
                           "Exit CancelInIrp(): CancelIrp(): failed\n");
}

UCHAR CancelIntIrp(POURPORTDATA pOpd) {
  KrlPrint("Enter CancelInIrp()\n");
  return NC_CancelPortPipe(pOpd, &_DEVICE_EXTENSION::IntIrpInfo, "Exit CancelIntIrp() Success\n",
                           "Exit CancelIntIrp(): CancelIrp(): failed\n");
}

UCHAR CancelOutIrp(POURPORTDATA pOpd) {
  KrlPrint("Enter CancelOutIrp()\n");
  return NC_CancelPortPipe(pOpd, &_DEVICE_EXTENSION::OutIrpInfo, "Exit CancelOutIrp() Success\n",
                           "Exit CancelOutIrp(): CancelIrp(): failed\n");
}

}  // namespace krlusb
