// KRLUSB's COM port: the port object that the serial stack knows by its embedded port-data block,
// the port functions, the events and ticks, the binding to a USB serial device, the pumps'
// cancellation and the vendor requests that set the adapter's UART.
#pragma once

#include "platform/vcomm/vcomm.h"
#include "serial_driver/krlusb.h"

namespace krlusb {

inline constexpr ULONG NC_PORT_SIGNATURE = 0x54524F50;  // 'TROP'
inline constexpr ULONG NC_TXQ_SIZE = 4096;               // the internal transmit ring
inline constexpr ULONG NC_AUX_IN_SIZE = 80;              // the auxiliary receive buffer
inline constexpr ULONG NC_NO_TRIGGER = 0xFFFFFFFF;

// m_MiscFlags
inline constexpr USHORT MF_CLIENT_TXQUEUE = 0x01;
inline constexpr USHORT MF_RXQUEUE_OURS = 0x02;
inline constexpr USHORT MF_TXQUEUE_OURS = 0x04;
inline constexpr USHORT MF_TIMER_LOGIC_OFF = 0x08;
inline constexpr USHORT MF_IGNORE_ERRORS = 0x10;
inline constexpr USHORT MF_CLOSED = 0x20;
inline constexpr USHORT MF_STATE_SET = 0x40;

// m_NfyFlags
inline constexpr UCHAR NF_RECEIVE_SENT = 0x01;
inline constexpr UCHAR NF_TRANSMIT_SENT = 0x02;
inline constexpr UCHAR NF_EVENT_SENT = 0x04;
inline constexpr UCHAR NF_EVENT_CALLBACK = 0x40;
inline constexpr UCHAR NF_TIMEOUT_PHASE = 0x80;

// Int_flag
inline constexpr UCHAR IF_STOP_OUT = 0x01;
inline constexpr UCHAR IF_SEND_XOFF = 0x02;
inline constexpr UCHAR IF_SEND_XON = 0x04;
inline constexpr UCHAR IF_START_IN = 0x08;

// m_HSFlag
inline constexpr UCHAR HS_XON_SENT = 0x04;
inline constexpr UCHAR HS_XOFF_RECEIVED = 0x08;
inline constexpr UCHAR HS_XOFF_SENT = 0x10;

// 16550 register images.
inline constexpr UCHAR LCR_WORD_LENGTH = 0x03;
inline constexpr UCHAR LCR_STOP_BITS = 0x04;
inline constexpr UCHAR LCR_PARITY_ENABLE = 0x08;
inline constexpr UCHAR LCR_EVEN_PARITY = 0x10;
inline constexpr UCHAR LCR_STICK_PARITY = 0x20;
inline constexpr UCHAR LCR_BREAK = 0x40;
inline constexpr UCHAR MCR_DTR = 0x01;
inline constexpr UCHAR MCR_RTS = 0x02;
inline constexpr UCHAR MCR_OUT2 = 0x08;

// Vendor requests of the adapter's control protocol.
inline constexpr UCHAR USBKRL_GET_MODEM_STATUS = 2;
inline constexpr UCHAR USBKRL_SET_DIVISOR = 5;
inline constexpr UCHAR USBKRL_SET_LINE_CONTROL = 7;
inline constexpr UCHAR USBKRL_SEND_CHAR = 8;
inline constexpr UCHAR USBKRL_SET_MODEM_CONTROL = 10;

// ---- the port object -----------------------------------------------------------------------------
struct _OurPortData {
  _OurPortData* m_next;
  _OurPortData* m_prev;
  _PORTDATA m_pd;
  _DCB m_dcb;
  char m_name[8];
  ULONG m_iobase;
  ULONG m_irq;
  ULONG m_devnode;
  LONG m_open;
  ULONG m_owner;
  PULONG m_pRxTime;
  PULONG m_pEvent;
  ULONG m_eventmask;
  PUCHAR m_pMsrShadow;
  ULONG m_TxTrigger;
  ULONG m_RxTrigger;
  ULONG m_EvData;
  ULONG m_RxData;
  ULONG m_TxData;
  PortNotifyProc m_EvNotify;
  PortNotifyProc m_RxNotify;
  PortNotifyProc m_TxNotify;
  USHORT m_MiscFlags;
  UCHAR m_NfyFlags;
  PreOpenProc m_PreOpenProc;
  PDEVICE_OBJECT m_pDeviceObject;
  PUCHAR m_pAuxInBuf;
  ULONG m_oldmask;
  ULONG m_TxFifoTrigger;
  ULONG m_QOutMod;
  ULONG m_XOffPoint;
  USHORT m_flags;
  UCHAR m_HSFlag;
  UCHAR m_HHSLines;
  UCHAR m_OutHHSLines;
  UCHAR m_ImmedChar;
  UCHAR m_RxFifoTrigger;
  UCHAR m_LSRShadow;
  UCHAR m_ErrorMask;
  UCHAR m_RxMask;
  UCHAR m_MSRTimeout;
  UCHAR m_MSRInfinite;
  PULONG m_InterruptData;
  ULONG m_signature;
  UCHAR LCR;
  UCHAR MCR;
  UCHAR MSR;
  UCHAR Int_flag;
  UCHAR QueueStatus;
  PUCHAR XOnOffBuf;
  PUCHAR QIntAddr;
  UCHAR OutPipeStop;
  UCHAR IntPipeStatus;
  PUCHAR TxQAddr;
  ULONG TxQSize;
  ULONG TxQCount;
  ULONG TxQGet;
  ULONG TxQPut;
  UCHAR PipeStatus;
  UCHAR InRead;
  UCHAR InVendorCommand;
  UCHAR LowIrpEnable;
  UCHAR OutPipeStatus;
  LONGLONG TimerCount;
  LONGLONG TimerStart;
  LONGLONG TimerStop;
  UCHAR LastPurgeRx;
  UCHAR LastPurgeTx;
  ULONG PreQOutCount;
  ULONG PreQOutGet;
};
using POURPORTDATA = _OurPortData*;

// The port object that contains a port-data block; every port function starts here.
inline POURPORTDATA NC_PortFromPortData(_PORTDATA* pVpd) {
  auto pOpd = reinterpret_cast<POURPORTDATA>(reinterpret_cast<char*>(pVpd) - offsetof(_OurPortData, m_pd));
  ASSERT(pOpd->m_signature == NC_PORT_SIGNATURE);
  return pOpd;
}

// One vendor request made at dispatch level, sent later from a system worker thread.
using PUSBKRL_COMMAND_COMPLETE = void (*)(PVOID DeviceContext, PVOID CommandContext, NTSTATUS Status);
struct _COMMAND_WORK_ITEM {
  PVOID DeviceContext;
  WORK_QUEUE_ITEM WorkItem;
  UCHAR Request;
  USHORT Value;
  USHORT Index;
  PVOID Buffer;
  PULONG BufferLength;
  UCHAR GetData;
  PUSBKRL_COMMAND_COMPLETE CommandComplete;
  PVOID CommandContext;
};

// ---- globals of the port -------------------------------------------------------------------------
extern POURPORTDATA pOurPort;
extern UCHAR HaveTimer;
extern UCHAR HaveRead;
extern UCHAR HaveInt;
extern UCHAR HaveInQueue;
extern UCHAR HaveOutQueue;
extern ULONG sdwBaudRate;
extern const USHORT DivisorFromIndex[17];
extern _PortFunctions VcommFuncList;
extern KTIMER TimeoutTimer;
extern KDPC TimeoutDpc;
extern KTIMER OutPipeTimer1;
extern KDPC OutPipeDpc1;

// Puts the port's globals back to their load-time values (part of KRLUSB_ResetImage).
void NC_ResetPortImage();

// ---- port object and lifecycle -------------------------------------------------------------------
POURPORTDATA KRLUSB_CreatePort(const char* name, ULONG iobase, ULONG irq, ULONG devnode);
void KRLUSB_DeleteAll();
_PORTDATA* PreOpen(const char* name, ULONG hVM, LONG* pError);
LONG Open(POURPORTDATA pOpd, ULONG hVM, LONG* pError);
BOOL Close(_PORTDATA* pVpd);
PVOID NC_Allocate(ULONG nbytes);
PVOID NC_ReAllocate(PVOID hAddress, ULONG nbytes);
void NC_Free(PVOID hAddress);

// ---- line settings -------------------------------------------------------------------------------
BOOL SetCommState(_PORTDATA* pVpd, _DCB* pDCB, ULONG ActionMask);
BOOL GetCommState(_PORTDATA* pVpd, _DCB* pDCB);
BOOL SetCommConfig(_PORTDATA* pVpd, _COMMCONFIG* lpCC, ULONG dwSize);
BOOL GetCommConfig(_PORTDATA* pVpd, _COMMCONFIG* lpCC, PULONG lpSize);
BOOLEAN CheckState(POURPORTDATA pOpd, _DCB* pDCB, ULONG ActionMask);
void EndSetState(POURPORTDATA pOpd, ULONG ChangedMask);

// ---- events and client notification --------------------------------------------------------------
BOOL SetEventMask(_PORTDATA* pVpd, ULONG mask, PULONG pEvents);
BOOL GetEventMask(_PORTDATA* pVpd, ULONG mask, PULONG pEvents);
BOOL EnableNotification(_PORTDATA* pVpd, PortNotifyProc pCallback, ULONG refdata);
BOOL SetReadCallback(_PORTDATA* pVpd, ULONG RxTrigger, PortNotifyProc pCallback, ULONG refdata);
BOOL SetWriteCallback(_PORTDATA* pVpd, ULONG TxTrigger, PortNotifyProc pCallback, ULONG refdata);
void CallNotifyProc(POURPORTDATA pOpd, ULONG code);

// ---- timers --------------------------------------------------------------------------------------
void ManageTimer();
void TimeoutProc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);

// ---- binding to a USB serial device (AddUsbComPort and DeleteUsbComPort are in krlusb.h) ----------
UCHAR AttachFreeUsbComPort(POURPORTDATA pOpd);
UCHAR UnattachUsbComPort(POURPORTDATA pOpd);

// ---- cancellation and modem-control escapes ------------------------------------------------------
UCHAR CancelIrp(_IRPINFO* pIrpInfo);
UCHAR CancelInIrp(POURPORTDATA pOpd);
UCHAR CancelIntIrp(POURPORTDATA pOpd);
UCHAR CancelOutIrp(POURPORTDATA pOpd);
UCHAR SecondaryEscapeFunction(ULONG lFunc, ULONG_PTR InData, PVOID pOutData, POURPORTDATA pOpd);

// ---- vendor requests -----------------------------------------------------------------------------
NTSTATUS USBKRL_ControlVendorCommand(PVOID DeviceContext, UCHAR Request, USHORT Value, USHORT Index, PVOID Buffer,
                                     PULONG BufferLength, UCHAR GetData, PUSBKRL_COMMAND_COMPLETE CommandComplete,
                                     PVOID CommandContext);
NTSTATUS USBKRL_ControlVendorCommandWorker(PVOID DeviceContext, UCHAR Request, USHORT Value, USHORT Index,
                                           PVOID Buffer, PULONG BufferLength, UCHAR GetData);
void USBKRL_CommandWorkItem(PVOID Context);

// Requests queued to the worker thread and not yet sent.  Each holds its port object and the
// caller's buffer (often a field of the port object), so the object may not be freed or wiped
// while any is left; the event is signalled while none is.
extern LONG NC_QueuedCommands;
extern KEVENT NC_QueuedCommandsDone;
// Passive level: returns once every queued request has been sent.
void NC_WaitForQueuedCommands();
// One byte from host to device, sent at once: below dispatch level only.
NTSTATUS USBKRL_SendByte(PVOID DeviceContext, UCHAR Request, UCHAR Byte);

}  // namespace krlusb
