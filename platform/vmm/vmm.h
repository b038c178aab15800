// Services of the Windows 98 virtual machine manager and Configuration Manager that the
// virtual-device level code of the simulated PC calls.
#pragma once

#include "platform/kernel/wdm.h"

// ---- time ----------------------------------------------------------------------------------------
// Milliseconds since the machine started, on the virtual clock.
ULONG Get_System_Time();
// Sleeps the calling thread for the given milliseconds of virtual time (below dispatch level).
void Time_Slice_Sleep(ULONG Milliseconds);

// ---- Configuration Manager -----------------------------------------------------------------------
using DEVNODE = ULONG;  // a device node handle; 0 is never a valid node
using CONFIGRET = ULONG;

inline constexpr CONFIGRET CR_SUCCESS = 0x00;
inline constexpr CONFIGRET CR_FAILURE = 0x13;
inline constexpr CONFIGRET CR_INVALID_POINTER = 0x03;
inline constexpr CONFIGRET CR_INVALID_FLAG = 0x04;
inline constexpr CONFIGRET CR_INVALID_DEVNODE = 0x05;
inline constexpr CONFIGRET CR_NO_SUCH_DEVNODE = 0x0D;
inline constexpr CONFIGRET CR_INVALID_LOAD_TYPE = 0x19;
inline constexpr CONFIGRET CR_BUFFER_SMALL = 0x1A;
inline constexpr CONFIGRET CR_REGISTRY_ERROR = 0x1D;
inline constexpr CONFIGRET CR_NO_SUCH_VALUE = 0x25;
inline constexpr CONFIGRET CR_WRONG_TYPE = 0x26;
inline constexpr CONFIGRET CR_NO_SUCH_REGISTRY_KEY = 0x2E;
inline constexpr CONFIGRET CR_DLVXD_NOT_FOUND = 0x0C;

// Device node status flags.
inline constexpr ULONG DN_ROOT_ENUMERATED = 0x00000001;
inline constexpr ULONG DN_DRIVER_LOADED = 0x00000002;
inline constexpr ULONG DN_ENUM_LOADED = 0x00000004;
inline constexpr ULONG DN_STARTED = 0x00000008;
inline constexpr ULONG DN_MANUAL = 0x00000010;
inline constexpr ULONG DN_NEED_TO_ENUM = 0x00000020;
inline constexpr ULONG DN_NOT_FIRST_TIME = 0x00000040;
inline constexpr ULONG DN_HARDWARE_ENUM = 0x00000080;

inline constexpr ULONG CM_REGISTRY_HARDWARE = 0x00000000;
inline constexpr ULONG CM_REGISTRY_SOFTWARE = 0x00000001;
inline constexpr ULONG REG_SZ = 1;
inline constexpr ULONG REG_BINARY = 3;
inline constexpr ULONG REG_DWORD = 4;

inline constexpr ULONG DLVXD_LOAD_ENUMERATOR = 0;
inline constexpr ULONG DLVXD_LOAD_DEVLOADER = 1;
inline constexpr ULONG DLVXD_LOAD_DRIVER = 2;

// Every service answers CR_INVALID_POINTER for a null out pointer, CR_INVALID_DEVNODE for a node
// that does not exist, and CR_INVALID_FLAG for flags it does not know (the tree services take 0).
// A tree service that finds no such node answers CR_NO_SUCH_DEVNODE and sets the out node to 0.
//
// With a null or empty device ID: the root of the device tree; otherwise the node with that
// device ID, compared without regard to case.
CONFIGRET CONFIGMG_Locate_DevNode(DEVNODE* pdnDevNode, const char* pDeviceID, ULONG ulFlags);
CONFIGRET CONFIGMG_Get_Child(DEVNODE* pdnDevNode, DEVNODE dnDevNode, ULONG ulFlags);
CONFIGRET CONFIGMG_Get_Sibling(DEVNODE* pdnDevNode, DEVNODE dnDevNode, ULONG ulFlags);
CONFIGRET CONFIGMG_Get_Parent(DEVNODE* pdnDevNode, DEVNODE dnDevNode, ULONG ulFlags);
// Reads one value of the node's hardware key (ulFlags CM_REGISTRY_HARDWARE) or a subkey of it.
// *pulLength goes in as the buffer size and comes back as the bytes stored (a string's
// terminating zero included).  Fails with CR_NO_SUCH_VALUE for a missing value, CR_WRONG_TYPE for
// another type, CR_BUFFER_SMALL for a value longer than the buffer (the buffer is left alone and
// *pulLength comes back as the size needed).  CM_REGISTRY_SOFTWARE reads the node's driver key
// instead: "System\CurrentControlSet\Services\Class\" + the hardware key's "Driver" value
// (CR_NO_SUCH_REGISTRY_KEY without one).
CONFIGRET CONFIGMG_Read_Registry_Value(DEVNODE dnDevNode, const char* pszSubKey, const char* pszValueName,
                                       ULONG ulExpectedType, PVOID Buffer, ULONG* pulLength, ULONG ulFlags);
CONFIGRET CONFIGMG_Get_DevNode_Status(ULONG* pulStatus, ULONG* pulProblemNumber, DEVNODE dnDevNode, ULONG ulFlags);
// Loads the dynamically loadable virtual devices named (comma-separated) for the node.  The
// loaded components are outside this machine: loading succeeds and does nothing, unless the
// machine was told to make it fail (CR_DLVXD_NOT_FOUND; also for an empty list of names).
CONFIGRET CONFIGMG_Load_DLVxDs(DEVNODE dnDevNode, const char* FileNames, ULONG LoadType, ULONG ulFlags);

// ---- virtual-device description block ------------------------------------------------------------
// A virtual device's control procedure answers a system control message; TRUE reports success
// (the original's clear carry flag).
using PVXD_CONTROL_PROC = BOOLEAN (*)(ULONG Message);

// The block by which a virtual device makes itself known.  Address fields are native pointers;
// DDB_Size is the block's own size.
struct VxD_Desc_Block {
  VxD_Desc_Block* DDB_Next;
  USHORT DDB_SDK_Version;
  USHORT DDB_Req_Device_Number;
  UCHAR DDB_Dev_Major_Version;
  UCHAR DDB_Dev_Minor_Version;
  USHORT DDB_Flags;
  UCHAR DDB_Name[8];  // blank-padded, no terminating zero
  ULONG DDB_Init_Order;
  PVXD_CONTROL_PROC DDB_Control_Proc;
  PVOID DDB_V86_API_Proc;
  PVOID DDB_PM_API_Proc;
  PVOID DDB_V86_API_CSIP;
  PVOID DDB_PM_API_CSIP;
  PVOID DDB_Reference_Data;
  PVOID DDB_Service_Table_Ptr;
  ULONG DDB_Service_Table_Size;
  PVOID DDB_Win32_Service_Table;
  ULONG DDB_Prev;  // marker values, as the VMM checks them
  ULONG DDB_Size;
  ULONG DDB_Reserved1;
  ULONG DDB_Reserved2;
  ULONG DDB_Reserved3;
};
inline constexpr USHORT DDK_VERSION = 0x040A;
inline constexpr ULONG UNDEFINED_INIT_ORDER = 0x80000000;
inline constexpr ULONG VXD_DDB_PREV_MARKER = 0x50726576;  // "Prev"
inline constexpr ULONG VXD_DDB_RESERVED1_MARKER = 0x31767352;
inline constexpr ULONG VXD_DDB_RESERVED2_MARKER = 0x32767352;
inline constexpr ULONG VXD_DDB_RESERVED3_MARKER = 0x33767352;
