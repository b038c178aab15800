// The kernel interface that kernel-mode drivers of the simulated PC are written against: basic
// types, status codes, driver and device objects, IRPs and their stack locations, events, timers,
// DPCs, work items, pool, strings, power, debug print and assertions.
//
// Records keep the field names and order that drivers know; pointer and handle fields are native
// pointers.  Objects that drivers embed (KEVENT, KTIMER, KDPC, WORK_QUEUE_ITEM) are plain records
// whose bookkeeping the kernel keeps beside them, so a driver may place them anywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

// ---- basic types ---------------------------------------------------------------------------------
using UCHAR = std::uint8_t;
using CHAR = char;
using CCHAR = char;
using USHORT = std::uint16_t;
using CSHORT = std::int16_t;
using SHORT = std::int16_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using ULONG_PTR = std::uintptr_t;
using SIZE_T = std::size_t;
using BOOLEAN = std::uint8_t;
using WCHAR = char16_t;
using PVOID = void*;
using PCHAR = char*;
using PCSTR = const char*;
using PUCHAR = UCHAR*;
using PULONG = ULONG*;
using PWSTR = WCHAR*;
using PCWSTR = const WCHAR*;
using NTSTATUS = LONG;
using KIRQL = UCHAR;
using KPRIORITY = LONG;
using KPROCESSOR_MODE = CCHAR;
using ACCESS_MASK = ULONG;
using DEVICE_TYPE = ULONG;

inline constexpr BOOLEAN TRUE = 1;
inline constexpr BOOLEAN FALSE = 0;

union LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;

struct LIST_ENTRY {
  LIST_ENTRY* Flink;
  LIST_ENTRY* Blink;
};
using PLIST_ENTRY = LIST_ENTRY*;

struct UNICODE_STRING {
  USHORT Length;         // bytes, without a terminating zero
  USHORT MaximumLength;  // bytes
  PWSTR Buffer;
};
using PUNICODE_STRING = UNICODE_STRING*;
using PCUNICODE_STRING = const UNICODE_STRING*;

struct ANSI_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
};
using PANSI_STRING = ANSI_STRING*;

// ---- status codes --------------------------------------------------------------------------------
inline constexpr NTSTATUS STATUS_SUCCESS = 0x00000000;
inline constexpr NTSTATUS STATUS_WAIT_0 = 0x00000000;
inline constexpr NTSTATUS STATUS_TIMEOUT = 0x00000102;
inline constexpr NTSTATUS STATUS_PENDING = 0x00000103;
inline constexpr NTSTATUS STATUS_MORE_PROCESSING_REQUIRED = static_cast<NTSTATUS>(0xC0000016);
inline constexpr NTSTATUS STATUS_UNSUCCESSFUL = static_cast<NTSTATUS>(0xC0000001);
inline constexpr NTSTATUS STATUS_NOT_IMPLEMENTED = static_cast<NTSTATUS>(0xC0000002);
inline constexpr NTSTATUS STATUS_INVALID_HANDLE = static_cast<NTSTATUS>(0xC0000008);
inline constexpr NTSTATUS STATUS_INVALID_PARAMETER = static_cast<NTSTATUS>(0xC000000D);
inline constexpr NTSTATUS STATUS_NO_SUCH_DEVICE = static_cast<NTSTATUS>(0xC000000E);
inline constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = static_cast<NTSTATUS>(0xC0000010);
inline constexpr NTSTATUS STATUS_NO_MEMORY = static_cast<NTSTATUS>(0xC0000017);
inline constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = static_cast<NTSTATUS>(0xC0000023);
inline constexpr NTSTATUS STATUS_OBJECT_NAME_INVALID = static_cast<NTSTATUS>(0xC0000033);
inline constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = static_cast<NTSTATUS>(0xC0000034);
inline constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION = static_cast<NTSTATUS>(0xC0000035);
inline constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = static_cast<NTSTATUS>(0xC000009A);
inline constexpr NTSTATUS STATUS_DEVICE_NOT_CONNECTED = static_cast<NTSTATUS>(0xC000009D);
inline constexpr NTSTATUS STATUS_IO_DEVICE_ERROR = static_cast<NTSTATUS>(0xC0000185);
inline constexpr NTSTATUS STATUS_NOT_SUPPORTED = static_cast<NTSTATUS>(0xC00000BB);
inline constexpr NTSTATUS STATUS_CANCELLED = static_cast<NTSTATUS>(0xC0000120);
inline constexpr NTSTATUS STATUS_DELETE_PENDING = static_cast<NTSTATUS>(0xC0000056);
inline constexpr NTSTATUS STATUS_DEVICE_REMOVED = static_cast<NTSTATUS>(0xC00002B6);

constexpr bool NT_SUCCESS(NTSTATUS s) { return s >= 0; }

// ---- IRQL and processor --------------------------------------------------------------------------
inline constexpr KIRQL PASSIVE_LEVEL = 0;
inline constexpr KIRQL APC_LEVEL = 1;
inline constexpr KIRQL DISPATCH_LEVEL = 2;
inline constexpr KIRQL HIGH_LEVEL = 31;

KIRQL KeGetCurrentIrql();
void KeRaiseIrql(KIRQL NewIrql, KIRQL* OldIrql);
void KeLowerIrql(KIRQL NewIrql);
// The processor's interrupt flag, as the drivers' "save flags, disable, restore" sequences use it.
ULONG_PTR KeSaveFlagsAndDisableInterrupts();
void KeRestoreFlags(ULONG_PTR Flags);
void _disable();
void _enable();

// ---- forward declarations ------------------------------------------------------------------------
struct DRIVER_OBJECT;
struct DEVICE_OBJECT;
struct IRP;
struct IO_STACK_LOCATION;
struct KDPC;
struct MDL;
struct FILE_OBJECT;
using PDRIVER_OBJECT = DRIVER_OBJECT*;
using PDEVICE_OBJECT = DEVICE_OBJECT*;
using PIRP = IRP*;
using PIO_STACK_LOCATION = IO_STACK_LOCATION*;
using PKDPC = KDPC*;
using PMDL = MDL*;
using PFILE_OBJECT = FILE_OBJECT*;

struct MDL {
  MDL* Next;
  PVOID MappedSystemVa;
  ULONG ByteCount;
};

struct FILE_OBJECT {
  PDEVICE_OBJECT DeviceObject;
  PVOID FsContext;
};

struct IO_STATUS_BLOCK {
  NTSTATUS Status;
  ULONG_PTR Information;
};
using PIO_STATUS_BLOCK = IO_STATUS_BLOCK*;

// ---- dispatcher objects --------------------------------------------------------------------------
enum EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 };
enum KWAIT_REASON { Executive = 0, UserRequest = 6 };
enum MODE { KernelMode = 0, UserMode = 1 };

struct KEVENT {
  ULONG Magic;  // set by KeInitializeEvent; the kernel refuses to wait on an uninitialised event
  UCHAR Type;
  BOOLEAN Signaled;
};
using PKEVENT = KEVENT*;

using PKDEFERRED_ROUTINE = void (*)(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                    PVOID SystemArgument2);
struct KDPC {
  ULONG Magic;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
};

struct KTIMER {
  ULONG Magic;
  LARGE_INTEGER DueTime;  // absolute virtual time of the next expiry while armed
  LONG Period;            // milliseconds, 0 for a one-shot timer
  PKDPC Dpc;
};
using PKTIMER = KTIMER*;

void KeInitializeEvent(PKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
void KeClearEvent(PKEVENT Event);
LONG KeResetEvent(PKEVENT Event);
LONG KeReadStateEvent(PKEVENT Event);
// Object: a KEVENT (the only waitable object drivers here use).  Timeout: null = forever;
// negative = relative, positive = absolute, in 100 ns units.  Returns STATUS_SUCCESS or
// STATUS_TIMEOUT.  Waiting with a non-zero time-out requires IRQL below DISPATCH_LEVEL.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);

void KeInitializeDpc(PKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
BOOLEAN KeInsertQueueDpc(PKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
BOOLEAN KeRemoveQueueDpc(PKDPC Dpc);

void KeInitializeTimer(PKTIMER Timer);
void KeInitializeTimerEx(PKTIMER Timer, int Type);
BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
BOOLEAN KeCancelTimer(PKTIMER Timer);
BOOLEAN KeReadStateTimer(PKTIMER Timer);

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);
void KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
ULONGLONG KeQueryInterruptTime();

// ---- work items ----------------------------------------------------------------------------------
using PWORKER_THREAD_ROUTINE = void (*)(PVOID Parameter);
struct WORK_QUEUE_ITEM {
  LIST_ENTRY List;
  PWORKER_THREAD_ROUTINE WorkerRoutine;
  PVOID Parameter;
};
using PWORK_QUEUE_ITEM = WORK_QUEUE_ITEM*;
enum WORK_QUEUE_TYPE { CriticalWorkQueue = 0, DelayedWorkQueue = 1, HyperCriticalWorkQueue = 2 };

inline void ExInitializeWorkItem(PWORK_QUEUE_ITEM Item, PWORKER_THREAD_ROUTINE Routine, PVOID Parameter) {
  Item->List.Flink = nullptr;
  Item->List.Blink = nullptr;
  Item->WorkerRoutine = Routine;
  Item->Parameter = Parameter;
}
void ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType);

// ---- pool ----------------------------------------------------------------------------------------
enum POOL_TYPE { NonPagedPool = 0, PagedPool = 1 };

// Pool blocks are not zeroed: fresh blocks are filled with a pattern so that reliance on zeroed
// memory shows.  The tag is four characters as they read in memory ('Wdm ' is written "Wdm ").
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);  // tag "None"
void ExFreePool(PVOID P);
void ExFreePoolWithTag(PVOID P, ULONG Tag);

// Builds a pool tag from its four characters in reading order: POOL_TAG("Wdm ").
constexpr ULONG POOL_TAG(const char (&s)[5]) {
  return static_cast<ULONG>(static_cast<UCHAR>(s[0])) | static_cast<ULONG>(static_cast<UCHAR>(s[1])) << 8 |
         static_cast<ULONG>(static_cast<UCHAR>(s[2])) << 16 | static_cast<ULONG>(static_cast<UCHAR>(s[3])) << 24;
}

// ---- run-time library ----------------------------------------------------------------------------
void RtlInitUnicodeString(PUNICODE_STRING Destination, PCWSTR Source);
void RtlInitAnsiString(PANSI_STRING Destination, PCSTR Source);
// With AllocateDestinationString the buffer comes from paged pool and is freed by
// RtlFreeUnicodeString.
NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING Destination, const ANSI_STRING* Source,
                                      BOOLEAN AllocateDestinationString);
void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
void RtlCopyUnicodeString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
inline void RtlZeroMemory(PVOID Destination, SIZE_T Length) { __builtin_memset(Destination, 0, Length); }
inline void RtlFillMemory(PVOID Destination, SIZE_T Length, UCHAR Fill) { __builtin_memset(Destination, Fill, Length); }
inline void RtlCopyMemory(PVOID Destination, const void* Source, SIZE_T Length) {
  __builtin_memcpy(Destination, Source, Length);
}
inline void RtlMoveMemory(PVOID Destination, const void* Source, SIZE_T Length) {
  __builtin_memmove(Destination, Source, Length);
}
// The C library's _itoa as the drivers' run-time offers it: value in the given radix, lower case.
char* _itoa(int Value, char* Buffer, int Radix);

// ---- debug output --------------------------------------------------------------------------------
namespace kernel_detail {
// One argument of a debug print, kept with its kind so that the formatter can print pointers as
// stable numbers (the same pointer value gets the same number in every run with the same seed).
struct DbgArg {
  enum class Kind : UCHAR { Signed, Unsigned, Pointer, String, Double } kind;
  LONGLONG s;
  ULONGLONG u;
  const void* p;
  double d;
};
template <class T>
DbgArg make_dbg_arg(T v) {
  if constexpr (std::is_same_v<T, const char*> || std::is_same_v<T, char*> ||
                std::is_same_v<T, const UCHAR*> || std::is_same_v<T, UCHAR*>) {
    return {DbgArg::Kind::String, 0, 0, v, 0};
  } else if constexpr (std::is_pointer_v<T> || std::is_null_pointer_v<T>) {
    return {DbgArg::Kind::Pointer, 0, 0, v, 0};
  } else if constexpr (std::is_floating_point_v<T>) {
    return {DbgArg::Kind::Double, 0, 0, nullptr, static_cast<double>(v)};
  } else if constexpr (std::is_enum_v<T>) {
    return {DbgArg::Kind::Signed, static_cast<LONGLONG>(v), static_cast<ULONGLONG>(v), nullptr, 0};
  } else if constexpr (std::is_signed_v<T>) {
    return {DbgArg::Kind::Signed, static_cast<LONGLONG>(v), static_cast<ULONGLONG>(static_cast<LONGLONG>(v)),
            nullptr, 0};
  } else {
    return {DbgArg::Kind::Unsigned, static_cast<LONGLONG>(v), static_cast<ULONGLONG>(v), nullptr, 0};
  }
}
// Formats like printf (%d %i %u %x %X %o %c %s %p %%, flags - + 0 # space, width, precision,
// the l/ll/h/hh/z length modifiers accepted and ignored) and appends the text to the debug log.
ULONG dbg_print(const char* format, const DbgArg* args, std::size_t count);
}  // namespace kernel_detail

// DbgPrint appends its text to the machine's debug log.  Lines end at "\n" or "\r".
template <class... Args>
ULONG DbgPrint(const char* Format, Args... args) {
  const kernel_detail::DbgArg list[] = {kernel_detail::make_dbg_arg(args)..., kernel_detail::DbgArg{}};
  return kernel_detail::dbg_print(Format, list, sizeof...(Args));
}

// The debug build's assertion routine: logs "*** Assertion failed: EXPR" with file and line and
// reports it to the verifier (a failed invariant fails the test that hit it).
void RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCHAR Message);
#define ASSERT(exp) \
  ((!(exp)) ? (RtlAssert(const_cast<char*>(#exp), const_cast<char*>(__FILE__), __LINE__, nullptr), FALSE) : TRUE)

// ---- driver and device objects -------------------------------------------------------------------
inline constexpr UCHAR IRP_MJ_CREATE = 0x00;
inline constexpr UCHAR IRP_MJ_CLOSE = 0x02;
inline constexpr UCHAR IRP_MJ_READ = 0x03;
inline constexpr UCHAR IRP_MJ_WRITE = 0x04;
inline constexpr UCHAR IRP_MJ_DEVICE_CONTROL = 0x0E;
inline constexpr UCHAR IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0F;
inline constexpr UCHAR IRP_MJ_CLEANUP = 0x12;
inline constexpr UCHAR IRP_MJ_POWER = 0x16;
inline constexpr UCHAR IRP_MJ_SYSTEM_CONTROL = 0x17;
inline constexpr UCHAR IRP_MJ_PNP = 0x1B;
inline constexpr UCHAR IRP_MJ_MAXIMUM_FUNCTION = 0x1B;

inline constexpr UCHAR IRP_MN_START_DEVICE = 0x00;
inline constexpr UCHAR IRP_MN_QUERY_REMOVE_DEVICE = 0x01;
inline constexpr UCHAR IRP_MN_REMOVE_DEVICE = 0x02;
inline constexpr UCHAR IRP_MN_CANCEL_REMOVE_DEVICE = 0x03;
inline constexpr UCHAR IRP_MN_STOP_DEVICE = 0x04;
inline constexpr UCHAR IRP_MN_QUERY_STOP_DEVICE = 0x05;
inline constexpr UCHAR IRP_MN_CANCEL_STOP_DEVICE = 0x06;
inline constexpr UCHAR IRP_MN_QUERY_DEVICE_RELATIONS = 0x07;
inline constexpr UCHAR IRP_MN_QUERY_CAPABILITIES = 0x09;
inline constexpr UCHAR IRP_MN_SURPRISE_REMOVAL = 0x17;

inline constexpr UCHAR IRP_MN_WAIT_WAKE = 0x00;
inline constexpr UCHAR IRP_MN_POWER_SEQUENCE = 0x01;
inline constexpr UCHAR IRP_MN_SET_POWER = 0x02;
inline constexpr UCHAR IRP_MN_QUERY_POWER = 0x03;

inline constexpr DEVICE_TYPE FILE_DEVICE_UNKNOWN = 0x22;
inline constexpr ULONG DO_BUFFERED_IO = 0x00000004;
inline constexpr ULONG DO_DIRECT_IO = 0x00000010;
inline constexpr ULONG DO_DEVICE_INITIALIZING = 0x00000080;
inline constexpr ULONG DO_POWER_PAGABLE = 0x00002000;

inline constexpr ULONG METHOD_BUFFERED = 0;
inline constexpr ULONG METHOD_IN_DIRECT = 1;
inline constexpr ULONG METHOD_OUT_DIRECT = 2;
inline constexpr ULONG METHOD_NEITHER = 3;
inline constexpr ULONG FILE_ANY_ACCESS = 0;
constexpr ULONG CTL_CODE(ULONG DeviceType, ULONG Function, ULONG Method, ULONG Access) {
  return (DeviceType << 16) | (Access << 14) | (Function << 2) | Method;
}

inline constexpr CCHAR IO_NO_INCREMENT = 0;

using PDRIVER_DISPATCH = NTSTATUS (*)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
using PDRIVER_ADD_DEVICE = NTSTATUS (*)(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
using PDRIVER_UNLOAD = void (*)(PDRIVER_OBJECT DriverObject);
using PDRIVER_INITIALIZE = NTSTATUS (*)(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
using PDRIVER_CANCEL = void (*)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
using PIO_COMPLETION_ROUTINE = NTSTATUS (*)(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

struct DRIVER_EXTENSION {
  PDRIVER_OBJECT DriverObject;
  PDRIVER_ADD_DEVICE AddDevice;
};

struct DRIVER_OBJECT {
  CSHORT Type;
  CSHORT Size;
  PDEVICE_OBJECT DeviceObject;  // the driver's device objects, linked by NextDevice
  ULONG Flags;
  DRIVER_EXTENSION* DriverExtension;
  UNICODE_STRING DriverName;
  PDRIVER_INITIALIZE DriverInit;
  PDRIVER_UNLOAD DriverUnload;
  PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};

struct DEVICE_OBJECT {
  CSHORT Type;
  USHORT Size;
  LONG ReferenceCount;
  PDRIVER_OBJECT DriverObject;
  PDEVICE_OBJECT NextDevice;
  PDEVICE_OBJECT AttachedDevice;  // the device object attached above this one, or null
  PIRP CurrentIrp;
  ULONG Flags;
  ULONG Characteristics;
  PVOID DeviceExtension;
  DEVICE_TYPE DeviceType;
  CCHAR StackSize;
  ULONG AlignmentRequirement;
  PVOID KernelObject;  // the kernel's own record of this object; drivers leave it alone
};

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject);
void IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice);
void IoDetachDevice(PDEVICE_OBJECT TargetDevice);
NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName);
NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);
PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject);
void ObDereferenceObject(PVOID Object);
void ObReferenceObject(PVOID Object);

// ---- IRPs ----------------------------------------------------------------------------------------
enum DEVICE_POWER_STATE {
  PowerDeviceUnspecified = 0,
  PowerDeviceD0 = 1,
  PowerDeviceD1 = 2,
  PowerDeviceD2 = 3,
  PowerDeviceD3 = 4,
  PowerDeviceMaximum = 5
};
enum SYSTEM_POWER_STATE {
  PowerSystemUnspecified = 0,
  PowerSystemWorking = 1,
  PowerSystemSleeping1 = 2,
  PowerSystemSleeping2 = 3,
  PowerSystemSleeping3 = 4,
  PowerSystemHibernate = 5,
  PowerSystemShutdown = 6,
  PowerSystemMaximum = 7
};
enum POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState = 1 };
union POWER_STATE {
  SYSTEM_POWER_STATE SystemState;
  DEVICE_POWER_STATE DeviceState;
};
enum POWER_ACTION { PowerActionNone = 0 };

inline constexpr UCHAR SL_PENDING_RETURNED = 0x01;
inline constexpr UCHAR SL_INVOKE_ON_CANCEL = 0x20;
inline constexpr UCHAR SL_INVOKE_ON_SUCCESS = 0x40;
inline constexpr UCHAR SL_INVOKE_ON_ERROR = 0x80;

struct IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;
  union {
    struct {
      ULONG OutputBufferLength;
      ULONG InputBufferLength;
      ULONG IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      ULONG Length;
      ULONG Key;
      LARGE_INTEGER ByteOffset;
    } Read;
    struct {
      ULONG Length;
      ULONG Key;
      LARGE_INTEGER ByteOffset;
    } Write;
    struct {
      ULONG SystemContext;
      POWER_STATE_TYPE Type;
      POWER_STATE State;
      POWER_ACTION ShutdownType;
    } Power;
    struct {
      PVOID Argument1;
      PVOID Argument2;
      PVOID Argument3;
      PVOID Argument4;
    } Others;
  } Parameters;
  PDEVICE_OBJECT DeviceObject;
  PFILE_OBJECT FileObject;
  PIO_COMPLETION_ROUTINE CompletionRoutine;
  PVOID Context;
};

struct IRP {
  CSHORT Type;
  USHORT Size;
  PMDL MdlAddress;
  ULONG Flags;
  union {
    IRP* MasterIrp;
    PVOID SystemBuffer;
  } AssociatedIrp;
  IO_STATUS_BLOCK IoStatus;
  KPROCESSOR_MODE RequestorMode;
  BOOLEAN PendingReturned;
  CCHAR StackCount;
  CCHAR CurrentLocation;  // StackCount + 1 when no driver holds the IRP yet
  BOOLEAN Cancel;
  KIRQL CancelIrql;
  PDRIVER_CANCEL CancelRoutine;
  PIO_STATUS_BLOCK UserIosb;
  PKEVENT UserEvent;
  PVOID UserBuffer;
  struct {
    struct {
      PIO_STACK_LOCATION CurrentStackLocation;
      PVOID DriverContext[4];
    } Overlay;
  } Tail;
  // The stack locations follow the IRP in the same block (StackCount of them).
};

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) { return Irp->Tail.Overlay.CurrentStackLocation; }
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) { return Irp->Tail.Overlay.CurrentStackLocation - 1; }
inline void IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
  PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  __builtin_memcpy(static_cast<void*>(next), current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
  next->Control = 0;
}
inline void IoSkipCurrentIrpStackLocation(PIRP Irp) {
  Irp->CurrentLocation++;
  Irp->Tail.Overlay.CurrentStackLocation++;
}
inline void IoSetNextIrpStackLocation(PIRP Irp) {
  Irp->CurrentLocation--;
  Irp->Tail.Overlay.CurrentStackLocation--;
}
inline void IoMarkIrpPending(PIRP Irp) { IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED; }
inline void IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE Routine, PVOID Context, BOOLEAN InvokeOnSuccess,
                                   BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  next->CompletionRoutine = Routine;
  next->Context = Context;
  next->Control = 0;
  if (InvokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
  if (InvokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
  if (InvokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}
inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL Routine) {
  PDRIVER_CANCEL old = Irp->CancelRoutine;
  Irp->CancelRoutine = Routine;
  return old;
}

USHORT IoSizeOfIrp(CCHAR StackSize);
PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
void IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize);
void IoReuseIrp(PIRP Irp, NTSTATUS Status);
void IoFreeIrp(PIRP Irp);
// A "threaded" request: the I/O manager frees it at completion, after copying the status to
// *IoStatusBlock and signalling Event.  With METHOD_BUFFERED codes a system buffer carries the
// input and receives the output.
PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                   PIO_STATUS_BLOCK IoStatusBlock);
NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
inline NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IofCallDriver(DeviceObject, Irp); }
void IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
inline void IoCompleteRequest(PIRP Irp, CCHAR PriorityBoost) { IofCompleteRequest(Irp, PriorityBoost); }
BOOLEAN IoCancelIrp(PIRP Irp);
void IoAcquireCancelSpinLock(KIRQL* Irql);
void IoReleaseCancelSpinLock(KIRQL Irql);

// ---- power ---------------------------------------------------------------------------------------
using PREQUEST_POWER_COMPLETE = void (*)(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                         PVOID Context, PIO_STATUS_BLOCK IoStatus);
NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void PoStartNextPowerIrp(PIRP Irp);
NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp);
POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State);
