// Line settings: the serial stack's device control block checked, kept in the port and turned
// into the UART's register images, which go to the adapter as vendor requests.
#include <cstring>

#include "serial_driver/krlusb_log.h"
#include "serial_driver/vxdif.h"

namespace krlusb {

// Divisors of the 115200 baud clock for the index codes CBR_110 .. CBR_115200; 0 marks a rate
// the adapter cannot run at.
const USHORT DivisorFromIndex[17] = {1047, 384, 192, 96, 48, 24, 12, 8, 6, 0, 0, 3, 0, 0, 0, 2, 1};

namespace {

inline constexpr ULONG NC_BAUD_BASE = 115200;
inline constexpr ULONG NC_MIN_BAUD = 2;
// The caller's record always comes back with these limits.
inline constexpr ULONG NC_XON_LIMIT = 0x100;
inline constexpr ULONG NC_XOFF_LIMIT = 0x900;
// The modem status is read only after the line has had this long to settle, in slices.
inline constexpr ULONG NC_SETTLE_MS = 100;
inline constexpr ULONG NC_SETTLE_SLICE_MS = 50;
// m_HHSLines
inline constexpr UCHAR HHS_DTR = 0x01;
inline constexpr UCHAR HHS_RTS = 0x02;

enum class FieldKind { Long, Byte, Char };

// The fields of the control block in the order of their bits in the action mask.
struct DcbField {
  ULONG bit;
  const char* name;
  std::size_t offset;
  FieldKind kind;
};

constexpr DcbField kDcbFields[] = {
    {fBaudRate, "BaudRate", offsetof(_DCB, BaudRate), FieldKind::Long},
    {fBitMask, "BitMask", offsetof(_DCB, BitMask), FieldKind::Long},
    {fXonLim, "XonLim", offsetof(_DCB, XonLim), FieldKind::Long},
    {fXoffLim, "XoffLim", offsetof(_DCB, XoffLim), FieldKind::Long},
    {fByteSize, "ByteSize", offsetof(_DCB, ByteSize), FieldKind::Byte},
    {fbParity, "Parity", offsetof(_DCB, Parity), FieldKind::Byte},
    {fStopBits, "StopBits", offsetof(_DCB, StopBits), FieldKind::Byte},
    {fXonChar, "XonChar", offsetof(_DCB, XonChar), FieldKind::Char},
    {fXoffChar, "XoffChar", offsetof(_DCB, XoffChar), FieldKind::Char},
    {fErrorChar, "ErrorChar", offsetof(_DCB, ErrorChar), FieldKind::Char},
    {fEofChar, "EofChar", offsetof(_DCB, EofChar), FieldKind::Char},
    {fEvtChar1, "EvtChar1", offsetof(_DCB, EvtChar1), FieldKind::Char},
    {fEvtChar2, "EvtChar2", offsetof(_DCB, EvtChar2), FieldKind::Char},
    {fRlsTimeout, "RlsTimeout", offsetof(_DCB, RlsTimeout), FieldKind::Long},
    {fCtsTimeout, "CtsTimeout", offsetof(_DCB, CtsTimeout), FieldKind::Long},
    {fDsrTimeout, "DsrTimeout", offsetof(_DCB, DsrTimeout), FieldKind::Long},
    {fTxDelay, "TxDelay", offsetof(_DCB, TxDelay), FieldKind::Long},
};

std::size_t FieldSize(FieldKind kind) { return kind == FieldKind::Long ? sizeof(ULONG) : sizeof(UCHAR); }

// A field's value as the change log shows it: characters sign-extended.
ULONG FieldValue(const _DCB& dcb, const DcbField& field) {
  const auto* at = reinterpret_cast<const UCHAR*>(&dcb) + field.offset;
  switch (field.kind) {
    case FieldKind::Long: {
      ULONG value;
      std::memcpy(&value, at, sizeof(value));
      return value;
    }
    case FieldKind::Byte: return *at;
    case FieldKind::Char: return static_cast<ULONG>(static_cast<LONG>(static_cast<signed char>(*at)));
  }
  return 0;
}

void CopyField(_DCB& to, const _DCB& from, const DcbField& field) {
  std::memcpy(reinterpret_cast<UCHAR*>(&to) + field.offset, reinterpret_cast<const UCHAR*>(&from) + field.offset,
              FieldSize(field.kind));
}

bool IsIndexCode(ULONG BaudRate) { return BaudRate >= CBR_110 && BaudRate <= CBR_115200; }

ULONG DivisorOf(ULONG BaudRate) {
  return IsIndexCode(BaudRate) ? DivisorFromIndex[BaudRate - CBR_110] : NC_BAUD_BASE / BaudRate;
}

UCHAR ParityBits(UCHAR Parity) {
  switch (Parity) {
    case 1: return LCR_PARITY_ENABLE;                                        // odd
    case 2: return LCR_PARITY_ENABLE | LCR_EVEN_PARITY;                      // even
    case 3: return LCR_PARITY_ENABLE | LCR_STICK_PARITY;                     // mark
    case 4: return LCR_PARITY_ENABLE | LCR_EVEN_PARITY | LCR_STICK_PARITY;  // space
    default: return 0;                                                      // none
  }
}

UCHAR WordLengthBits(UCHAR ByteSize) {
  return ByteSize >= 5 && ByteSize <= 8 ? static_cast<UCHAR>(ByteSize - 5) : LCR_WORD_LENGTH;
}

// DTR and RTS each follow their own disable and enable bits; OUT2 is always on.  The lines the
// port could use for input flow control are noted beside.
UCHAR ModemControlFor(POURPORTDATA pOpd) {
  const ULONG bitMask = pOpd->m_dcb.BitMask;
  UCHAR mcr = MCR_OUT2;
  if (!(bitMask & fDTRDisable) || (bitMask & fDtrEnable)) mcr |= MCR_DTR;
  if ((bitMask & fDtrEnable) && (bitMask & fDTRFlow)) pOpd->m_HHSLines |= HHS_DTR;
  if (!(bitMask & fRTSDisable) || (bitMask & fRtsEnable)) {
    mcr |= MCR_RTS;
    if (bitMask & fRTSFlow) pOpd->m_HHSLines |= HHS_RTS;
  }
  return mcr;
}

// Gives the line time to settle after a change of rate, then reads where the modem lines stand.
void ReadModemStatusAfterSettling(POURPORTDATA pOpd) {
  const ULONG start = Get_System_Time();
  do {
    Time_Slice_Sleep(NC_SETTLE_SLICE_MS);
  } while (Get_System_Time() - start < NC_SETTLE_MS);
  ULONG length = 1;
  USBKRL_ControlVendorCommand(pOpd, USBKRL_GET_MODEM_STATUS, 0, 0, &pOpd->m_pd.bMSRShadow, &length, 1, nullptr,
                              nullptr);
  pOpd->m_HSFlag = 0;
}

}  // namespace

BOOLEAN CheckState(POURPORTDATA pOpd, _DCB* pDCB, ULONG ActionMask) {
  LONG error = 0;
  if ((ActionMask & fStopBits) && pDCB->StopBits > 2) {
    error = IE_DEFAULT;
  } else if ((ActionMask & fbParity) && pDCB->Parity > 4) {
    error = IE_DEFAULT;
  } else if ((ActionMask & fByteSize) && (pDCB->ByteSize < 5 || pDCB->ByteSize > 8)) {
    error = IE_BYTESIZE;
  } else if (ActionMask & fBaudRate) {
    const ULONG baud = pDCB->BaudRate;
    const bool supported = IsIndexCode(baud) ? DivisorFromIndex[baud - CBR_110] != 0
                                             : baud >= NC_MIN_BAUD && baud <= NC_BAUD_BASE;
    if (!supported) error = IE_BAUDRATE;
  }
  if (error == 0) return TRUE;
  pOpd->m_pd.dwLastError = error;
  return FALSE;
}

void EndSetState(POURPORTDATA pOpd, ULONG ChangedMask) {
  KrlPrint("EndSetState() (Under construction)\n");
  const _DCB& dcb = pOpd->m_dcb;
  if (ChangedMask & fbParity) {
    // No parity only turns parity off: the even and stick bits keep what they were.
    const UCHAR cleared = dcb.Parity == 0 ? LCR_PARITY_ENABLE : LCR_PARITY_ENABLE | LCR_EVEN_PARITY | LCR_STICK_PARITY;
    pOpd->LCR = static_cast<UCHAR>((pOpd->LCR & ~cleared) | ParityBits(dcb.Parity));
  }
  if (ChangedMask & fByteSize) {
    pOpd->LCR = static_cast<UCHAR>((pOpd->LCR & ~LCR_WORD_LENGTH) | WordLengthBits(dcb.ByteSize));
    KrlPrint("+ Byte size changed to %x\n", dcb.ByteSize);
  }
  if (ChangedMask & fStopBits) {
    if (dcb.StopBits == 0) {
      pOpd->LCR &= static_cast<UCHAR>(~LCR_STOP_BITS);
    } else {
      pOpd->LCR |= LCR_STOP_BITS;
    }
    KrlPrint("+ Stop bits changed to %x\n", dcb.StopBits);
  }
  if (ChangedMask & (fbParity | fByteSize | fStopBits)) USBKRL_SendByte(pOpd, USBKRL_SET_LINE_CONTROL, pOpd->LCR);

  if (ChangedMask & fBaudRate) {
    const ULONG divisor = DivisorOf(dcb.BaudRate);
    KrlPrint("+ Baud rate (divisor) changed to %4.4x\n", dcb.BaudRate);
    UCHAR data[4] = {static_cast<UCHAR>(divisor), static_cast<UCHAR>(divisor >> 8),
                     static_cast<UCHAR>(divisor >> 16), static_cast<UCHAR>(divisor >> 24)};
    ULONG length = sizeof(data);
    USBKRL_ControlVendorCommand(pOpd, USBKRL_SET_DIVISOR, 0, 0, data, &length, 0, nullptr, nullptr);
  }

  // A receive queue smaller than the limit wraps the point out of reach: the receive side then
  // never asks the peer to stop.
  pOpd->m_XOffPoint = pOpd->m_pd.QInSize - dcb.XoffLim;
  pOpd->m_HHSLines = 0;
  pOpd->m_OutHHSLines = 0;

  pOpd->MCR = ModemControlFor(pOpd);
  USBKRL_SendByte(pOpd, USBKRL_SET_MODEM_CONTROL, pOpd->MCR);

  // CTS and DSR output flow control, in the bits of the modem status they watch.
  pOpd->m_OutHHSLines = static_cast<UCHAR>((dcb.BitMask & (fOutXCTSFlow | fOutXDSRFlow)) << 1);

  if (!(pOpd->m_MiscFlags & MF_STATE_SET) || (ChangedMask & fBaudRate)) ReadModemStatusAfterSettling(pOpd);
}

BOOL SetCommState(_PORTDATA* pVpd, _DCB* pDCB, ULONG ActionMask) {
  POURPORTDATA pOpd = NC_PortFromPortData(pVpd);
  KrlPrint("SetCommState( ActionMask : %x)\n", ActionMask);
  if (!CheckState(pOpd, pDCB, ActionMask)) return 0;

  pDCB->XonLim = NC_XON_LIMIT;
  pDCB->XoffLim = NC_XOFF_LIMIT;
  ULONG changedMask = 0;
  for (const DcbField& field : kDcbFields) {
    if (!(ActionMask & field.bit)) continue;
    const ULONG oldValue = FieldValue(pOpd->m_dcb, field);
    const ULONG newValue = FieldValue(*pDCB, field);
    if (oldValue != newValue) {
      changedMask |= field.bit;
      KrlPrint("+ Changed %15.15s from %8.8x to %8.8x\n", field.name, oldValue, newValue);
    }
    CopyField(pOpd->m_dcb, *pDCB, field);
  }
  EndSetState(pOpd, changedMask);

  pOpd->m_MiscFlags |= MF_STATE_SET;
  pOpd->m_pd.dwLastError = 0;
  KrlPrint("Exit SetCommState()\n");
  return 1;
}

BOOL GetCommState(_PORTDATA* pVpd, _DCB* pDCB) {
  POURPORTDATA pOpd = NC_PortFromPortData(pVpd);
  KrlPrint("Enter GetCommState(WIN32 and WIN16)\n");
  *pDCB = pOpd->m_dcb;
  pOpd->m_pd.dwLastError = 0;
  return 1;
}

// The application's flag word is not translated: the port keeps its own mode bits.
BOOL SetCommConfig(_PORTDATA* pVpd, _COMMCONFIG* lpCC, ULONG dwSize) {
  POURPORTDATA pOpd = NC_PortFromPortData(pVpd);
  KrlPrint("Enter SetCommConfig() (ALMOST EMPTY)\n");
  if (dwSize < sizeof(_COMMCONFIG) || lpCC == nullptr) {
    pOpd->m_pd.dwLastError = IE_INVALIDSIZE;
    return 0;
  }
  const _WIN32DCB& from = lpCC->dcb;
  _DCB dcb{};
  dcb.DCBLength = from.DCBlength;
  dcb.BaudRate = from.BaudRate;
  dcb.XonLim = from.XonLim;
  dcb.XoffLim = from.XoffLim;
  dcb.ByteSize = from.ByteSize;
  dcb.Parity = from.Parity;
  dcb.StopBits = from.StopBits;
  dcb.XonChar = from.XonChar;
  dcb.XoffChar = from.XoffChar;
  dcb.ErrorChar = from.ErrorChar;
  dcb.EofChar = from.EofChar;
  dcb.EvtChar1 = from.EvtChar;
  KrlPrint("Exit SetCommConfig()\n");
  return SetCommState(pVpd, &dcb, 0xFFFFFFFF);
}

BOOL GetCommConfig(_PORTDATA* pVpd, _COMMCONFIG* lpCC, PULONG lpSize) {
  POURPORTDATA pOpd = NC_PortFromPortData(pVpd);
  KrlPrint("Enter GetCommConfig(WIN32)\n");
  // Without a size word the caller cannot even learn the size.
  if (lpSize == nullptr) {
    pOpd->m_pd.dwLastError = IE_INVALIDSIZE;
    return 0;
  }
  const ULONG callerSize = *lpSize;
  *lpSize = sizeof(_COMMCONFIG);
  // A caller without room only learns the size.
  if (callerSize < sizeof(_COMMCONFIG) || lpCC == nullptr) return 1;

  const _DCB& dcb = pOpd->m_dcb;
  lpCC->dwSize = sizeof(_COMMCONFIG);
  lpCC->wVersion = 0x0100;
  lpCC->dwProviderSubType = PST_RS232;
  lpCC->dwProviderOffset = 0;
  lpCC->dwProviderSize = 0;
  _WIN32DCB& to = lpCC->dcb;
  to.DCBlength = sizeof(_DCB);
  to.BaudRate = dcb.BaudRate;
  to.XonLim = static_cast<USHORT>(dcb.XonLim);
  to.XoffLim = static_cast<USHORT>(dcb.XoffLim);
  to.ByteSize = dcb.ByteSize;
  to.Parity = dcb.Parity;
  to.StopBits = dcb.StopBits;
  to.XonChar = dcb.XonChar;
  to.XoffChar = dcb.XoffChar;
  to.ErrorChar = dcb.ErrorChar;
  to.EofChar = dcb.EofChar;
  to.EvtChar = dcb.EvtChar1;
  KrlPrint("Exit GetCommConfig()\n");
  return 1;
}

}  // namespace krlusb
