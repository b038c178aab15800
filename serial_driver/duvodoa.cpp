// The port-driver shell: the virtual-device description block "DUVODO" and the registry lookup
// of the COM number of the USB serial device that is being started.
#include <cstring>

#include "serial_driver/krlusb.h"
#include "serial_driver/krlusb_log.h"

namespace krlusb {

PVOID DUVODO_Service_Table[1] = {nullptr};

VxD_Desc_Block DUVODO_DDB = {
    nullptr,
    DDK_VERSION,
    0x9624,
    1,
    0,
    0,
    {'D', 'U', 'V', 'O', 'D', 'O', ' ', ' '},
    UNDEFINED_INIT_ORDER,
    DUVODO_Control,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    DUVODO_Service_Table,
    0,
    nullptr,
    VXD_DDB_PREV_MARKER,
    sizeof(VxD_Desc_Block),
    VXD_DDB_RESERVED1_MARKER,
    VXD_DDB_RESERVED2_MARKER,
    VXD_DDB_RESERVED3_MARKER,
};

DEVNODE DUVODO_DevNode = 0;
DEVNODE DUVODO_Child = 0;
DEVNODE DUVODO_Sibling = 0;
DEVNODE DUVODO_Parent = 0;
DEVNODE DUVODO_Root = 0;
char DUVODO_RegBuffer[512] = {};
ULONG DUVODO_RegLength = 0;
ULONG DUVODO_Status = 0;
ULONG DUVODO_Problem = 0;

BOOLEAN DUVODO_Control(ULONG /*Message*/) { return TRUE; }

namespace {

// Where the depth-first walk over the device tree stands.
enum class Walk { Visit, Found, Ended };

bool ReadString(const char* name, ULONG length) {
  DUVODO_RegLength = length;
  return CONFIGMG_Read_Registry_Value(DUVODO_DevNode, nullptr, name, REG_SZ, DUVODO_RegBuffer, &DUVODO_RegLength,
                                      CM_REGISTRY_HARDWARE) == CR_SUCCESS;
}

// A candidate is a USB node whose first hardware ID names vendor 0C9E and a product 02xx, as in
// "USB\VID_0C9E&PID_0200".  The lengths keep the comparisons inside what the reads returned.
bool GetRegistryValue() {
  if (!ReadString("Class", 200) || DUVODO_RegLength < 4 || std::strncmp(DUVODO_RegBuffer, "USB", 3) != 0) {
    return false;
  }
  if (!ReadString("HardwareID", sizeof(DUVODO_RegBuffer)) || DUVODO_RegLength < 20) return false;
  return std::strncmp(DUVODO_RegBuffer + 8, "0C9E", 4) == 0 && std::strncmp(DUVODO_RegBuffer + 17, "02", 2) == 0;
}

// Climbs towards the root until an ancestor has a next sibling.
Walk FindNextClass1() {
  for (;;) {
    if (CONFIGMG_Get_Parent(&DUVODO_Parent, DUVODO_DevNode, 0) != CR_SUCCESS) return Walk::Ended;
    DUVODO_DevNode = DUVODO_Parent;
    if (DUVODO_DevNode == DUVODO_Root) return Walk::Ended;
    if (CONFIGMG_Get_Sibling(&DUVODO_Sibling, DUVODO_DevNode, 0) == CR_SUCCESS) {
      DUVODO_DevNode = DUVODO_Sibling;
      return Walk::Visit;
    }
  }
}

Walk FindNextClass0() {
  if (CONFIGMG_Get_Sibling(&DUVODO_Sibling, DUVODO_DevNode, 0) == CR_SUCCESS) {
    DUVODO_DevNode = DUVODO_Sibling;
    return Walk::Visit;
  }
  return FindNextClass1();
}

Walk KRLUSB_GetChild() {
  if (CONFIGMG_Get_Child(&DUVODO_Child, DUVODO_DevNode, 0) == CR_SUCCESS) {
    DUVODO_DevNode = DUVODO_Child;
    return Walk::Visit;
  }
  return FindNextClass0();
}

// The device being started still needs to be enumerated and has never been started before.
Walk FindNextClass2() {
  if (CONFIGMG_Get_DevNode_Status(&DUVODO_Status, &DUVODO_Problem, DUVODO_DevNode, 0) != CR_SUCCESS) {
    return FindNextClass0();
  }
  if ((DUVODO_Status & DN_NEED_TO_ENUM) != 0 && (DUVODO_Status & DN_NOT_FIRST_TIME) == 0) {
    return Walk::Found;
  }
  return KRLUSB_GetChild();
}

bool KRLUSB_Enumator() {
  return CONFIGMG_Load_DLVxDs(DUVODO_DevNode, "kelenum.vxd", DLVXD_LOAD_DRIVER, 0) == CR_SUCCESS;
}

// "PortNumber": one to three decimal digits and the terminating zero.
bool PortNumber00() {
  if (!ReadString("PortNumber", 4)) return false;
  if (DUVODO_RegLength < 2 || DUVODO_RegLength > 4 || DUVODO_RegBuffer[DUVODO_RegLength - 1] != '\0') return false;
  for (ULONG i = 0; i + 1 < DUVODO_RegLength; i++) {
    if (DUVODO_RegBuffer[i] < '0' || DUVODO_RegBuffer[i] > '9') return false;
  }
  return true;
}

ULONG SendPortNumberBack() {
  ULONG packed = 0;
  for (ULONG i = 0; i + 1 < DUVODO_RegLength; i++) {
    packed = packed << 4 | (static_cast<ULONG>(DUVODO_RegBuffer[i]) & ~0x30U);
  }
  return packed;
}

}  // namespace

ULONG DUVODO_Init_VxD() {
  if (CONFIGMG_Locate_DevNode(&DUVODO_Root, nullptr, 0) != CR_SUCCESS) {
    KrlPrint("DUVODO: no root device node\n");
    return NC_NO_COM_NUMBER;
  }
  DUVODO_DevNode = DUVODO_Root;
  Walk walk = Walk::Visit;
  while (walk == Walk::Visit) {
    walk = GetRegistryValue() ? FindNextClass2() : KRLUSB_GetChild();
  }
  if (walk == Walk::Ended) {
    KrlPrint("DUVODO: no USB serial device node to start\n");
    return NC_NO_COM_NUMBER;
  }
  if (!KRLUSB_Enumator()) {
    KrlPrint("DUVODO: kelenum.vxd not loaded\n");
    return NC_NO_COM_NUMBER;
  }
  if (!PortNumber00()) {
    KrlPrint("DUVODO: no usable PortNumber\n");
    return NC_NO_COM_NUMBER;
  }
  return SendPortNumberBack();
}

}  // namespace krlusb
