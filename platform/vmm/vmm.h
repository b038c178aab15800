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
inline constexpr CONFIGRET CR_INVALID_DEVNODE = 0x05;
inline constexpr CONFIGRET CR_NO_SUCH_DEVNODE = 0x0D;
inline constexpr CONFIGRET CR_BUFFER_SMALL = 0x1A;
inline constexpr CONFIGRET CR_REGISTRY_ERROR = 0x1F;
inline constexpr CONFIGRET CR_NO_SUCH_VALUE = 0x25;
inline constexpr CONFIGRET CR_WRONG_TYPE = 0x26;
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

inline constexpr ULONG DLVXD_LOAD_ENUMERATOR = 1;
inline constexpr ULONG DLVXD_LOAD_DEVLOADER = 2;
inline constexpr ULONG DLVXD_LOAD_DRIVER = 3;

// With a null or empty device ID: the root of the device tree.
CONFIGRET CONFIGMG_Locate_DevNode(DEVNODE* pdnDevNode, const char* pDeviceID, ULONG ulFlags);
CONFIGRET CONFIGMG_Get_Child(DEVNODE* pdnDevNode, DEVNODE dnDevNode, ULONG ulFlags);
CONFIGRET CONFIGMG_Get_Sibling(DEVNODE* pdnDevNode, DEVNODE dnDevNode, ULONG ulFlags);
CONFIGRET CONFIGMG_Get_Parent(DEVNODE* pdnDevNode, DEVNODE dnDevNode, ULONG ulFlags);
// Reads one value of the node's hardware key (ulFlags CM_REGISTRY_HARDWARE) or a subkey of it.
// *pulLength goes in as the buffer size and comes back as the bytes stored (a string's
// terminating zero included).  Fails with CR_NO_SUCH_VALUE for a missing value, CR_WRONG_TYPE for
// another type, CR_BUFFER_SMALL for a value longer than the buffer (the buffer is left alone).
CONFIGRET CONFIGMG_Read_Registry_Value(DEVNODE dnDevNode, const char* pszSubKey, const char* pszValueName,
                                       ULONG ulExpectedType, PVOID Buffer, ULONG* pulLength, ULONG ulFlags);
CONFIGRET CONFIGMG_Get_DevNode_Status(ULONG* pulStatus, ULONG* pulProblemNumber, DEVNODE dnDevNode, ULONG ulFlags);
// Loads the dynamically loadable virtual devices named (comma-separated) for the node.  The
// loaded components are outside this machine: loading succeeds and does nothing, unless the
// machine was told to make it fail.
CONFIGRET CONFIGMG_Load_DLVxDs(DEVNODE dnDevNode, const char* FileNames, ULONG LoadType, ULONG ulFlags);
