// The serial stack's port-driver contract: the records a port driver shares with the stack, the
// table of port functions it hands over at open, the client callbacks, and the codes of errors,
// notifications, events and escapes.
//
// Records without pointers keep their exact byte layout; the port-data block holds pointers and so
// keeps only its fields' names, order and widths.
#pragma once

#include <cstddef>

#include "platform/kernel/wdm.h"

using BOOL = int;  // a port function's 32-bit truth value: nonzero = success

struct _PORTDATA;
struct _PortFunctions;

// ---- ring-0 line settings ------------------------------------------------------------------------
struct _DCB {
  ULONG DCBLength;
  ULONG BaudRate;  // bits per second, or an index code CBR_110 .. CBR_115200
  ULONG BitMask;
  ULONG XonLim;
  ULONG XoffLim;
  USHORT wReserved;
  UCHAR ByteSize;
  UCHAR Parity;
  UCHAR StopBits;
  CHAR XonChar;
  CHAR XoffChar;
  CHAR ErrorChar;
  CHAR EofChar;
  CHAR EvtChar1;
  CHAR EvtChar2;
  UCHAR bReserved;
  ULONG RlsTimeout;
  ULONG CtsTimeout;
  ULONG DsrTimeout;
  ULONG TxDelay;
};
static_assert(sizeof(_DCB) == 48 && offsetof(_DCB, ByteSize) == 22 && offsetof(_DCB, RlsTimeout) == 32);

// Field-selection bits of SetCommState's action mask, one per _DCB field.
inline constexpr ULONG fBaudRate = 0x00000001;
inline constexpr ULONG fBitMask = 0x00000002;
inline constexpr ULONG fXonLim = 0x00000004;
inline constexpr ULONG fXoffLim = 0x00000008;
inline constexpr ULONG fByteSize = 0x00000010;
inline constexpr ULONG fbParity = 0x00000020;
inline constexpr ULONG fStopBits = 0x00000040;
inline constexpr ULONG fXonChar = 0x00000080;
inline constexpr ULONG fXoffChar = 0x00000100;
inline constexpr ULONG fErrorChar = 0x00000200;
inline constexpr ULONG fEofChar = 0x00000400;
inline constexpr ULONG fEvtChar1 = 0x00000800;
inline constexpr ULONG fEvtChar2 = 0x00001000;
inline constexpr ULONG fRlsTimeout = 0x00002000;
inline constexpr ULONG fCtsTimeout = 0x00004000;
inline constexpr ULONG fDsrTimeout = 0x00008000;
inline constexpr ULONG fTxDelay = 0x00010000;

// _DCB.BitMask flags.
inline constexpr ULONG fBinary = 0x00000001;
inline constexpr ULONG fRTSDisable = 0x00000002;
inline constexpr ULONG fOutXCTSFlow = 0x00000008;
inline constexpr ULONG fOutXDSRFlow = 0x00000010;
inline constexpr ULONG fDTRDisable = 0x00000080;
inline constexpr ULONG fDTRFlow = 0x00002000;
inline constexpr ULONG fRTSFlow = 0x00004000;
inline constexpr ULONG fDtrEnable = 0x00040000;
inline constexpr ULONG fRtsEnable = 0x00200000;

// Baud-rate index codes.
inline constexpr ULONG CBR_110 = 0xFF10;
inline constexpr ULONG CBR_115200 = 0xFF20;

// ---- application-level (Win32) settings ----------------------------------------------------------
struct _WIN32DCB {
  ULONG DCBlength;
  ULONG BaudRate;
  ULONG ffBinary : 1;
  ULONG ffParity : 1;
  ULONG ffOutxCtsFlow : 1;
  ULONG ffOutxDsrFlow : 1;
  ULONG ffDtrControl : 2;
  ULONG ffDsrSensitivity : 1;
  ULONG ffTXContinueOnXoff : 1;
  ULONG ffOutX : 1;
  ULONG ffInX : 1;
  ULONG ffErrorChar : 1;
  ULONG ffNull : 1;
  ULONG ffRtsControl : 2;
  ULONG ffAbortOnError : 1;
  ULONG ffDummy2 : 17;
  USHORT wReserved;
  USHORT XonLim;
  USHORT XoffLim;
  UCHAR ByteSize;
  UCHAR Parity;
  UCHAR StopBits;
  CHAR XonChar;
  CHAR XoffChar;
  CHAR ErrorChar;
  CHAR EofChar;
  CHAR EvtChar;
  USHORT wReserved1;
};
static_assert(sizeof(_WIN32DCB) == 28 && offsetof(_WIN32DCB, XonLim) == 14 && offsetof(_WIN32DCB, EvtChar) == 25);

struct _COMMCONFIG {
  ULONG dwSize;
  USHORT wVersion;
  USHORT wReserved;
  _WIN32DCB dcb;
  ULONG dwProviderSubType;
  ULONG dwProviderOffset;
  ULONG dwProviderSize;
  WCHAR wcProviderData[1];
};
static_assert(sizeof(_COMMCONFIG) == 52 && offsetof(_COMMCONFIG, dcb) == 8 &&
              offsetof(_COMMCONFIG, dwProviderSubType) == 36 && offsetof(_COMMCONFIG, wcProviderData) == 48);

inline constexpr ULONG PST_RS232 = 1;

// ---- time-outs, queue status, properties ---------------------------------------------------------
struct _COMMTIMEOUTS {
  ULONG ReadIntervalTimeout;
  ULONG ReadTotalTimeoutMultiplier;
  ULONG ReadTotalTimeoutConstant;
  ULONG WriteTotalTimeoutMultiplier;
  ULONG WriteTotalTimeoutConstant;
};
static_assert(sizeof(_COMMTIMEOUTS) == 20);

struct _COMSTAT {
  ULONG BitMask;
  ULONG cbInque;
  ULONG cbOutque;
};
static_assert(sizeof(_COMSTAT) == 12);

struct _COMMPROP {
  USHORT wPacketLength;
  USHORT wPacketVersion;
  ULONG dwServiceMask;
  ULONG dwReserved1;
  ULONG dwMaxTxQueue;
  ULONG dwMaxRxQueue;
  ULONG dwMaxBaud;
  ULONG dwProvSubType;
  ULONG dwProvCapabilities;
  ULONG dwSettableParams;
  ULONG dwSettableBaud;
  USHORT wSettableData;
  USHORT wSettableStopParity;
  ULONG dwCurrentTxQueue;
  ULONG dwCurrentRxQueue;
  ULONG dwProvSpec1;
  ULONG dwProvSpec2;
  WCHAR wcProvChar[1];
  USHORT filler;
};
static_assert(sizeof(_COMMPROP) == 64 && offsetof(_COMMPROP, wSettableData) == 40 && offsetof(_COMMPROP, wcProvChar) == 60);

// ---- the port-data block -------------------------------------------------------------------------
// A client callback: the port's block, the client's reference value, the notification code and
// the port's event word at the time of the call.
using PortNotifyProc = void (*)(_PORTDATA* pPortData, ULONG RefData, ULONG Code, ULONG Events);

struct _PORTDATA {
  USHORT PDLength;
  USHORT PDVersion;
  _PortFunctions* PDfunctions;
  ULONG PDNumFunctions;
  LONG dwLastError;
  ULONG dwClientEventMask;
  PortNotifyProc lpClientEventNotify;
  PortNotifyProc lpClientReadNotify;
  PortNotifyProc lpClientWriteNotify;
  ULONG dwClientRefData;
  ULONG dwWin31Req;
  ULONG dwClientEvent;
  ULONG dwCallerVMId;
  ULONG dwDetectedEvents;
  ULONG dwCommError;
  UCHAR bMSRShadow;
  USHORT wFlags;
  UCHAR LossByte;
  PUCHAR QInAddr;
  ULONG QInSize;
  PUCHAR QOutAddr;
  ULONG QOutSize;
  ULONG QInCount;
  ULONG QInGet;
  ULONG QInPut;
  ULONG QOutCount;
  ULONG QOutGet;
  ULONG QOutPut;
  ULONG ValidPortData;
  PVOID lpLoadHandle;
  _COMMTIMEOUTS COMMTO;
  PVOID lpReadRequestQueue;
  PVOID lpWriteRequestQueue;
  ULONG dwLastReceiveTime;
  ULONG dwReserved1;
  ULONG dwReserved2;
};

// The length and version a port driver writes into the block at open.  The length is the block's
// size in the original 32-bit layout, which clients compare against.
inline constexpr USHORT PORTDATA_LENGTH = 148;
inline constexpr USHORT PORTDATA_VERSION = 0x010A;

// ---- the port function table ---------------------------------------------------------------------
struct _PortFunctions {
  BOOL (*pPortSetCommState)(_PORTDATA*, _DCB* pDCB, ULONG ActionMask);
  BOOL (*pPortGetCommState)(_PORTDATA*, _DCB* pDCB);
  BOOL (*pPortSetup)(_PORTDATA*, PUCHAR RxQueue, ULONG RxLength, PUCHAR TxQueue, ULONG TxLength);
  BOOL (*pPortTransmitChar)(_PORTDATA*, CHAR Char);
  BOOL (*pPortClose)(_PORTDATA*);
  BOOL (*pPortGetQueueStatus)(_PORTDATA*, _COMSTAT* pComstat);
  BOOL (*pPortClearError)(_PORTDATA*, _COMSTAT* pComstat, LONG* pError);
  BOOL (*pPortSetModemStatusShadow)(_PORTDATA*, PUCHAR pShadow);
  BOOL (*pPortGetProperties)(_PORTDATA*, _COMMPROP* pCommProp);
  BOOL (*pPortEscapeFunction)(_PORTDATA*, ULONG lFunc, ULONG_PTR InData, PVOID pOutData);
  BOOL (*pPortPurge)(_PORTDATA*, ULONG qType);
  BOOL (*pPortSetEventMask)(_PORTDATA*, ULONG Mask, PULONG pEvents);
  BOOL (*pPortGetEventMask)(_PORTDATA*, ULONG Mask, PULONG pEvents);
  BOOL (*pPortWrite)(_PORTDATA*, PUCHAR Buffer, ULONG cbRequest, PULONG pTxCount);
  BOOL (*pPortRead)(_PORTDATA*, PUCHAR Buffer, ULONG cbRequest, PULONG pRxCount);
  BOOL (*pPortEnableNotification)(_PORTDATA*, PortNotifyProc pCallback, ULONG RefData);
  BOOL (*pPortSetReadCallBack)(_PORTDATA*, ULONG RxTrigger, PortNotifyProc pCallback, ULONG RefData);
  BOOL (*pPortSetWriteCallBack)(_PORTDATA*, ULONG TxTrigger, PortNotifyProc pCallback, ULONG RefData);
  BOOL (*pPortGetModemStatus)(_PORTDATA*, PULONG pModemStatus);
  BOOL (*pPortGetCommConfig)(_PORTDATA*, _COMMCONFIG* lpCC, PULONG lpSize);
  BOOL (*pPortSetCommConfig)(_PORTDATA*, _COMMCONFIG* lpCC, ULONG dwSize);
  BOOL (*pPortGetError)(_PORTDATA*, LONG* pError);
  BOOL (*pPortDeviceIOCtl)(_PORTDATA*, ULONG IoControlCode, PVOID InBuffer, ULONG InSize, PVOID OutBuffer,
                           ULONG OutSize, PULONG pReturned);
};
inline constexpr ULONG PORT_FUNCTION_COUNT = 23;
static_assert(sizeof(_PortFunctions) == PORT_FUNCTION_COUNT * sizeof(void*));

// A port's open entry: the port name, the calling virtual machine and where to leave an error.
using PreOpenProc = _PORTDATA* (*)(const char* Name, ULONG hVM, LONG* pError);

// ---- error codes (dwLastError and error out-values) ----------------------------------------------
inline constexpr LONG IE_OPEN = -2;        // the port is already open (also: a close that failed)
inline constexpr LONG IE_DEFAULT = -5;     // bad parity or stop-bit value
inline constexpr LONG IE_HARDWARE = -10;   // no port of that name
inline constexpr LONG IE_BYTESIZE = -11;
inline constexpr LONG IE_BAUDRATE = -12;
inline constexpr LONG IE_EXTINVALID = -20;     // escape code not supported
inline constexpr LONG IE_INVALIDSIZE = -21;    // configuration record too small

// Communication errors accumulated in dwCommError.
inline constexpr ULONG CE_RXOVER = 0x0001;
inline constexpr ULONG CE_OVERRUN = 0x0002;
inline constexpr ULONG CE_TXFULL = 0x0100;

// ---- notifications and events --------------------------------------------------------------------
inline constexpr ULONG CN_RECEIVE = 1;
inline constexpr ULONG CN_TRANSMIT = 2;
inline constexpr ULONG CN_EVENT = 4;

inline constexpr ULONG EV_RXCHAR = 0x0001;
inline constexpr ULONG EV_TXEMPTY = 0x0004;
inline constexpr ULONG EV_CTS = 0x0008;
inline constexpr ULONG EV_DSR = 0x0010;
inline constexpr ULONG EV_RLSD = 0x0020;
inline constexpr ULONG EV_RING = 0x0100;
inline constexpr ULONG EV_CTSS = 0x0400;
inline constexpr ULONG EV_DSRS = 0x0800;
inline constexpr ULONG EV_RLSDS = 0x1000;
inline constexpr ULONG EV_RingTe = 0x2000;
inline constexpr ULONG EV_TXCHAR = 0x4000;

// ---- escape codes --------------------------------------------------------------------------------
inline constexpr ULONG SETXOFF = 1;
inline constexpr ULONG SETXON = 2;
inline constexpr ULONG SETRTS = 3;
inline constexpr ULONG CLRRTS = 4;
inline constexpr ULONG SETDTR = 5;
inline constexpr ULONG CLRDTR = 6;
inline constexpr ULONG GETCOMBASEIRQ = 10;
inline constexpr ULONG GETCOMBASEIRQ1 = 11;
inline constexpr ULONG SETBREAK = 12;
inline constexpr ULONG CLEARBREAK = 13;
inline constexpr ULONG IGNOREERRORONREADS = 20;
inline constexpr ULONG ENABLETIMERLOGIC = 21;
inline constexpr ULONG DISABLETIMERLOGIC = 16;
inline constexpr ULONG SETUPDATETIMEADDR = 19;
inline constexpr ULONG PEEKCHAR = 200;

// Purge queue types.
inline constexpr ULONG PURGE_TRANSMIT = 0;
inline constexpr ULONG PURGE_RECEIVE = 1;
