// The USB driver interface that kernel-mode drivers of the simulated PC are written against:
// descriptors, USB request blocks (URBs), and the USB driver library routines.
//
// Descriptors and setup packets keep their exact byte layout.  URBs keep their field order with
// native pointers, so their sizes are those of sizeof, never the 32-bit numbers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/kernel/wdm.h"

// ---- descriptors ---------------------------------------------------------------------------------
inline constexpr UCHAR USB_DEVICE_DESCRIPTOR_TYPE = 0x01;
inline constexpr UCHAR USB_CONFIGURATION_DESCRIPTOR_TYPE = 0x02;
inline constexpr UCHAR USB_STRING_DESCRIPTOR_TYPE = 0x03;
inline constexpr UCHAR USB_INTERFACE_DESCRIPTOR_TYPE = 0x04;
inline constexpr UCHAR USB_ENDPOINT_DESCRIPTOR_TYPE = 0x05;

inline constexpr UCHAR USB_ENDPOINT_DIRECTION_MASK = 0x80;
inline constexpr UCHAR USB_ENDPOINT_TYPE_MASK = 0x03;
inline constexpr UCHAR USB_ENDPOINT_TYPE_CONTROL = 0x00;
inline constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS = 0x01;
inline constexpr UCHAR USB_ENDPOINT_TYPE_BULK = 0x02;
inline constexpr UCHAR USB_ENDPOINT_TYPE_INTERRUPT = 0x03;

#pragma pack(push, 1)
struct USB_DEVICE_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  USHORT bcdUSB;
  UCHAR bDeviceClass;
  UCHAR bDeviceSubClass;
  UCHAR bDeviceProtocol;
  UCHAR bMaxPacketSize0;
  USHORT idVendor;
  USHORT idProduct;
  USHORT bcdDevice;
  UCHAR iManufacturer;
  UCHAR iProduct;
  UCHAR iSerialNumber;
  UCHAR bNumConfigurations;
};
struct USB_CONFIGURATION_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  USHORT wTotalLength;
  UCHAR bNumInterfaces;
  UCHAR bConfigurationValue;
  UCHAR iConfiguration;
  UCHAR bmAttributes;
  UCHAR MaxPower;
};
struct USB_INTERFACE_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  UCHAR bInterfaceNumber;
  UCHAR bAlternateSetting;
  UCHAR bNumEndpoints;
  UCHAR bInterfaceClass;
  UCHAR bInterfaceSubClass;
  UCHAR bInterfaceProtocol;
  UCHAR iInterface;
};
struct USB_ENDPOINT_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  UCHAR bEndpointAddress;
  UCHAR bmAttributes;
  USHORT wMaxPacketSize;
  UCHAR bInterval;
};
struct USB_COMMON_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
};
// The eight bytes of a control transfer's setup stage.
struct USB_SETUP_PACKET {
  UCHAR bmRequestType;
  UCHAR bRequest;
  USHORT wValue;
  USHORT wIndex;
  USHORT wLength;
};
#pragma pack(pop)
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);
static_assert(sizeof(USB_SETUP_PACKET) == 8);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, idVendor) == 8);
static_assert(offsetof(USB_CONFIGURATION_DESCRIPTOR, wTotalLength) == 2);
static_assert(offsetof(USB_ENDPOINT_DESCRIPTOR, wMaxPacketSize) == 4);

using PUSB_DEVICE_DESCRIPTOR = USB_DEVICE_DESCRIPTOR*;
using PUSB_CONFIGURATION_DESCRIPTOR = USB_CONFIGURATION_DESCRIPTOR*;
using PUSB_INTERFACE_DESCRIPTOR = USB_INTERFACE_DESCRIPTOR*;
using PUSB_ENDPOINT_DESCRIPTOR = USB_ENDPOINT_DESCRIPTOR*;
using PUSB_COMMON_DESCRIPTOR = USB_COMMON_DESCRIPTOR*;

// ---- control requests ----------------------------------------------------------------------------
// bmRequestType: direction (bit 7), type (bits 5-6) and recipient (bits 0-4).
inline constexpr UCHAR USB_REQUEST_DIRECTION_IN = 0x80;
inline constexpr UCHAR USB_REQUEST_TYPE_MASK = 0x60;
inline constexpr UCHAR USB_REQUEST_TYPE_STANDARD = 0x00;
inline constexpr UCHAR USB_REQUEST_TYPE_CLASS = 0x20;
inline constexpr UCHAR USB_REQUEST_TYPE_VENDOR = 0x40;
inline constexpr UCHAR USB_REQUEST_RECIPIENT_MASK = 0x1F;
inline constexpr UCHAR USB_REQUEST_RECIPIENT_DEVICE = 0x00;
inline constexpr UCHAR USB_REQUEST_RECIPIENT_INTERFACE = 0x01;
inline constexpr UCHAR USB_REQUEST_RECIPIENT_ENDPOINT = 0x02;

// Standard requests (bRequest).
inline constexpr UCHAR USB_REQUEST_GET_STATUS = 0x00;
inline constexpr UCHAR USB_REQUEST_CLEAR_FEATURE = 0x01;
inline constexpr UCHAR USB_REQUEST_SET_FEATURE = 0x03;
inline constexpr UCHAR USB_REQUEST_SET_ADDRESS = 0x05;
inline constexpr UCHAR USB_REQUEST_GET_DESCRIPTOR = 0x06;
inline constexpr UCHAR USB_REQUEST_GET_CONFIGURATION = 0x08;
inline constexpr UCHAR USB_REQUEST_SET_CONFIGURATION = 0x09;
inline constexpr UCHAR USB_REQUEST_GET_INTERFACE = 0x0A;
inline constexpr UCHAR USB_REQUEST_SET_INTERFACE = 0x0B;
inline constexpr USHORT USB_FEATURE_ENDPOINT_HALT = 0x0000;

// ---- USBD status ---------------------------------------------------------------------------------
using USBD_STATUS = LONG;
inline constexpr USBD_STATUS USBD_STATUS_SUCCESS = 0x00000000;
inline constexpr USBD_STATUS USBD_STATUS_PENDING = 0x40000000;
inline constexpr USBD_STATUS USBD_STATUS_CRC = static_cast<USBD_STATUS>(0xC0000001);
inline constexpr USBD_STATUS USBD_STATUS_STALL_PID = static_cast<USBD_STATUS>(0xC0000004);
inline constexpr USBD_STATUS USBD_STATUS_DEV_NOT_RESPONDING = static_cast<USBD_STATUS>(0xC0000005);
inline constexpr USBD_STATUS USBD_STATUS_DATA_OVERRUN = static_cast<USBD_STATUS>(0xC0000008);
inline constexpr USBD_STATUS USBD_STATUS_ENDPOINT_HALTED = static_cast<USBD_STATUS>(0xC0000030);
inline constexpr USBD_STATUS USBD_STATUS_INVALID_URB_FUNCTION = static_cast<USBD_STATUS>(0x80000200);
inline constexpr USBD_STATUS USBD_STATUS_INVALID_PARAMETER = static_cast<USBD_STATUS>(0x80000300);
inline constexpr USBD_STATUS USBD_STATUS_INVALID_PIPE_HANDLE = static_cast<USBD_STATUS>(0x80000600);
inline constexpr USBD_STATUS USBD_STATUS_CANCELED = static_cast<USBD_STATUS>(0xC0010000);
inline constexpr USBD_STATUS USBD_STATUS_DEVICE_GONE = static_cast<USBD_STATUS>(0xC0007000);
constexpr bool USBD_SUCCESS(USBD_STATUS s) { return s >= 0; }

// ---- internal I/O control ------------------------------------------------------------------------
inline constexpr ULONG IOCTL_INTERNAL_USB_SUBMIT_URB = 0x00220003;
inline constexpr ULONG IOCTL_INTERNAL_USB_RESET_PORT = 0x00220007;

// ---- URBs ----------------------------------------------------------------------------------------
inline constexpr USHORT URB_FUNCTION_SELECT_CONFIGURATION = 0x0000;
inline constexpr USHORT URB_FUNCTION_SELECT_INTERFACE = 0x0001;
inline constexpr USHORT URB_FUNCTION_ABORT_PIPE = 0x0002;
inline constexpr USHORT URB_FUNCTION_CONTROL_TRANSFER = 0x0008;
inline constexpr USHORT URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER = 0x0009;
inline constexpr USHORT URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE = 0x000B;
inline constexpr USHORT URB_FUNCTION_CLASS_DEVICE = 0x001A;
inline constexpr USHORT URB_FUNCTION_CLASS_INTERFACE = 0x001B;
inline constexpr USHORT URB_FUNCTION_CLASS_ENDPOINT = 0x001C;
inline constexpr USHORT URB_FUNCTION_VENDOR_DEVICE = 0x0017;
inline constexpr USHORT URB_FUNCTION_VENDOR_INTERFACE = 0x0018;
inline constexpr USHORT URB_FUNCTION_VENDOR_ENDPOINT = 0x0019;
inline constexpr USHORT URB_FUNCTION_RESET_PIPE = 0x001E;
inline constexpr USHORT URB_FUNCTION_GET_CONFIGURATION = 0x0026;

inline constexpr ULONG USBD_TRANSFER_DIRECTION_OUT = 0;
inline constexpr ULONG USBD_TRANSFER_DIRECTION_IN = 1;
inline constexpr ULONG USBD_SHORT_TRANSFER_OK = 2;
inline constexpr ULONG USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE = 4096;

using USBD_PIPE_HANDLE = PVOID;
using USBD_CONFIGURATION_HANDLE = PVOID;
using USBD_INTERFACE_HANDLE = PVOID;

enum USBD_PIPE_TYPE { UsbdPipeTypeControl = 0, UsbdPipeTypeIsochronous = 1, UsbdPipeTypeBulk = 2, UsbdPipeTypeInterrupt = 3 };

struct USBD_PIPE_INFORMATION {
  USHORT MaximumPacketSize;
  UCHAR EndpointAddress;
  UCHAR Interval;
  USBD_PIPE_TYPE PipeType;
  USBD_PIPE_HANDLE PipeHandle;
  ULONG MaximumTransferSize;
  ULONG PipeFlags;
};
using PUSBD_PIPE_INFORMATION = USBD_PIPE_INFORMATION*;

// An interface with its pipes; `Length` covers the record and all `NumberOfPipes` pipe records.
struct USBD_INTERFACE_INFORMATION {
  USHORT Length;
  UCHAR InterfaceNumber;
  UCHAR AlternateSetting;
  UCHAR Class;
  UCHAR SubClass;
  UCHAR Protocol;
  UCHAR Reserved;
  USBD_INTERFACE_HANDLE InterfaceHandle;
  ULONG NumberOfPipes;
  USBD_PIPE_INFORMATION Pipes[1];
};
using PUSBD_INTERFACE_INFORMATION = USBD_INTERFACE_INFORMATION*;

// Size of an interface record with `pipes` pipe records (at least one record's room is kept).
constexpr USHORT USBD_INTERFACE_INFORMATION_SIZE(ULONG pipes) {
  return static_cast<USHORT>(sizeof(USBD_INTERFACE_INFORMATION) +
                             (pipes > 1 ? pipes - 1 : 0) * sizeof(USBD_PIPE_INFORMATION));
}

struct USBD_INTERFACE_LIST_ENTRY {
  PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
  PUSBD_INTERFACE_INFORMATION Interface;
};
using PUSBD_INTERFACE_LIST_ENTRY = USBD_INTERFACE_LIST_ENTRY*;

struct _URB_HEADER {
  USHORT Length;
  USHORT Function;
  USBD_STATUS Status;
  PVOID UsbdDeviceHandle;
  ULONG UsbdFlags;
};

// Scratch space the host controller keeps per request.
struct _URB_HCD_AREA {
  PVOID Reserved8[8];
};

struct _URB_SELECT_CONFIGURATION {
  _URB_HEADER Hdr;
  PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;  // null: deconfigure the device
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;
  USBD_INTERFACE_INFORMATION Interface;  // first of the interfaces, each `Length` bytes
};

struct _URB_SELECT_INTERFACE {
  _URB_HEADER Hdr;
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;
  USBD_INTERFACE_INFORMATION Interface;
};

struct _URB_PIPE_REQUEST {
  _URB_HEADER Hdr;
  USBD_PIPE_HANDLE PipeHandle;
  ULONG Reserved;
};

struct _URB_BULK_OR_INTERRUPT_TRANSFER {
  _URB_HEADER Hdr;
  USBD_PIPE_HANDLE PipeHandle;
  ULONG TransferFlags;
  ULONG TransferBufferLength;  // in: bytes to move; out: bytes moved
  PVOID TransferBuffer;
  PMDL TransferBufferMDL;
  union URB* UrbLink;
  _URB_HCD_AREA hca;
};

struct _URB_CONTROL_DESCRIPTOR_REQUEST {
  _URB_HEADER Hdr;
  PVOID Reserved;
  ULONG Reserved0;
  ULONG TransferBufferLength;
  PVOID TransferBuffer;
  PMDL TransferBufferMDL;
  union URB* UrbLink;
  _URB_HCD_AREA hca;
  USHORT Reserved1;
  UCHAR Index;
  UCHAR DescriptorType;
  USHORT LanguageId;
  USHORT Reserved2;
};

struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST {
  _URB_HEADER Hdr;
  PVOID Reserved;
  ULONG TransferFlags;
  ULONG TransferBufferLength;
  PVOID TransferBuffer;
  PMDL TransferBufferMDL;
  union URB* UrbLink;
  _URB_HCD_AREA hca;
  UCHAR RequestTypeReservedBits;
  UCHAR Request;
  USHORT Value;
  USHORT Index;
  USHORT Reserved1;
};

struct _URB_CONTROL_TRANSFER {
  _URB_HEADER Hdr;
  USBD_PIPE_HANDLE PipeHandle;  // null: the default control pipe
  ULONG TransferFlags;
  ULONG TransferBufferLength;
  PVOID TransferBuffer;
  PMDL TransferBufferMDL;
  union URB* UrbLink;
  _URB_HCD_AREA hca;
  UCHAR SetupPacket[8];
};

union URB {
  _URB_HEADER UrbHeader;
  _URB_SELECT_CONFIGURATION UrbSelectConfiguration;
  _URB_SELECT_INTERFACE UrbSelectInterface;
  _URB_PIPE_REQUEST UrbPipeRequest;
  _URB_BULK_OR_INTERRUPT_TRANSFER UrbBulkOrInterruptTransfer;
  _URB_CONTROL_DESCRIPTOR_REQUEST UrbControlDescriptorRequest;
  _URB_CONTROL_VENDOR_OR_CLASS_REQUEST UrbControlVendorClassRequest;
  _URB_CONTROL_TRANSFER UrbControlTransfer;
};
using PURB = URB*;

// ---- the USB driver library ----------------------------------------------------------------------
// Finds the first interface descriptor at or after StartPosition inside the configuration whose
// fields match every criterion that is not -1; null when there is none.
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol);
// Builds a select-configuration URB (from non-paged pool, freed with ExFreePool) for the
// interfaces of the null-terminated list, and points each entry's `Interface` at its record
// inside the URB, with `Length` and `NumberOfPipes` filled in.  Null when memory is short.
PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList);
// Finds the next descriptor of the given type at or after StartPosition; null at the end.
PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType);
