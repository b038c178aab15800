// The escapes that reach the adapter: software flow control characters, the modem control lines
// and the break.  The result of each vendor request goes unchecked: the port's shadows already
// hold what the adapter was told.
#include "serial_driver/krlusb_log.h"
#include "serial_driver/vxdif.h"

namespace krlusb {
namespace {

inline constexpr UCHAR XON_CHARACTER = 0x11;
inline constexpr UCHAR XOFF_CHARACTER = 0x13;

// OUT2 stays on whatever the escape does to DTR and RTS.
void SetModemControl(POURPORTDATA pOpd, UCHAR Mcr) {
  pOpd->MCR = static_cast<UCHAR>(Mcr | MCR_OUT2);
  USBKRL_SendByte(pOpd, USBKRL_SET_MODEM_CONTROL, pOpd->MCR);
}

// The break goes out with the port's line control image; the image itself keeps no break, so the
// next change of line settings ends it.
void SendLineControlWithBreak(POURPORTDATA pOpd, bool Break) {
  const UCHAR lcr = Break ? static_cast<UCHAR>(pOpd->LCR | LCR_BREAK) : static_cast<UCHAR>(pOpd->LCR & ~LCR_BREAK);
  USBKRL_SendByte(pOpd, USBKRL_SET_LINE_CONTROL, lcr);
}

}  // namespace

UCHAR SecondaryEscapeFunction(ULONG lFunc, ULONG_PTR /*InData*/, PVOID /*pOutData*/, POURPORTDATA pOpd) {
  KrlPrint("Enter SecondaryEscapeFunction() (EMPTY)\n");
  switch (lFunc) {
    case 0:
    case 7: return TRUE;
    case SETXOFF:
      KrlPrint("+ We are supposed to handle SETXOFF\n");
      pOpd->m_HSFlag |= HS_XOFF_RECEIVED;
      USBKRL_SendByte(pOpd, USBKRL_SEND_CHAR, XOFF_CHARACTER);
      return TRUE;
    case SETXON:
      KrlPrint("+ We are supposed to handle SETXON\n");
      pOpd->m_HSFlag &= static_cast<UCHAR>(~(HS_XOFF_SENT | HS_XON_SENT));
      USBKRL_SendByte(pOpd, USBKRL_SEND_CHAR, XON_CHARACTER);
      return TRUE;
    case SETRTS:
      KrlPrint("+ We are supposed to handle SETRTS\n");
      SetModemControl(pOpd, pOpd->MCR | MCR_RTS);
      return TRUE;
    case CLRRTS:
      KrlPrint("+ We are supposed to handle CLRRTS\n");
      SetModemControl(pOpd, pOpd->MCR & static_cast<UCHAR>(~MCR_RTS));
      return TRUE;
    case SETDTR:
      KrlPrint("+ We are supposed to handle SETDTR\n");
      SetModemControl(pOpd, pOpd->MCR | MCR_DTR);
      return TRUE;
    case CLRDTR:
      KrlPrint("+ We are supposed to handle CLRDTR\n");
      SetModemControl(pOpd, pOpd->MCR & static_cast<UCHAR>(~MCR_DTR));
      return TRUE;
    case GETCOMBASEIRQ:
    case GETCOMBASEIRQ1:
      // The adapter has no I/O base or interrupt line to report.
      KrlPrint("+ We are supposed to handle GETCOMBASEIRQ, GETCOMBASEIRQ1\n");
      return TRUE;
    case SETBREAK:
      KrlPrint("+ We are supposed to handle SETBREAK\n");
      SendLineControlWithBreak(pOpd, true);
      return TRUE;
    case CLEARBREAK:
      KrlPrint("+ We are supposed to handle CLEARBREAK\n");
      SendLineControlWithBreak(pOpd, false);
      return TRUE;
    default:
      KrlPrint("+ Unsupported escape: %8.8x\n", lFunc);
      return FALSE;
  }
}

}  // namespace krlusb
