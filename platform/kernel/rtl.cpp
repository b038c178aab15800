// The run-time library: counted strings and number formatting.
#include <algorithm>
#include <cctype>

#include "platform/kernel/kernel_impl.h"

void RtlInitUnicodeString(PUNICODE_STRING Destination, PCWSTR Source) {
  std::size_t n = 0;
  if (Source != nullptr) {
    while (Source[n] != 0) ++n;
  }
  Destination->Buffer = const_cast<PWSTR>(Source);
  Destination->Length = static_cast<USHORT>(n * 2);
  Destination->MaximumLength = Source == nullptr ? 0 : static_cast<USHORT>(n * 2 + 2);
}

void RtlInitAnsiString(PANSI_STRING Destination, PCSTR Source) {
  std::size_t n = Source == nullptr ? 0 : __builtin_strlen(Source);
  Destination->Buffer = const_cast<PCHAR>(Source);
  Destination->Length = static_cast<USHORT>(n);
  Destination->MaximumLength = Source == nullptr ? 0 : static_cast<USHORT>(n + 1);
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING Destination, const ANSI_STRING* Source,
                                      BOOLEAN AllocateDestinationString) {
  const std::size_t chars = Source->Length;
  if (chars * 2 + 2 > 0xFFFE) return STATUS_INVALID_PARAMETER;
  const auto bytes = static_cast<USHORT>(chars * 2);
  if (AllocateDestinationString) {
    auto& k = kernel::kernel_state();
    auto* buffer = static_cast<PWSTR>(k.pool_allocate(PagedPool, bytes + 2u, POOL_TAG("Strg"), true));
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    Destination->Buffer = buffer;
    Destination->MaximumLength = static_cast<USHORT>(bytes + 2);
  } else if (Destination->MaximumLength < bytes) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  for (std::size_t i = 0; i < chars; ++i) Destination->Buffer[i] = static_cast<UCHAR>(Source->Buffer[i]);
  if (Destination->MaximumLength >= bytes + 2) Destination->Buffer[chars] = 0;
  Destination->Length = bytes;
  return STATUS_SUCCESS;
}

void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = 0;
  UnicodeString->MaximumLength = 0;
}

void RtlCopyUnicodeString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  if (Source == nullptr) {
    Destination->Length = 0;
    return;
  }
  const USHORT bytes = std::min(Source->Length, Destination->MaximumLength);
  RtlMoveMemory(Destination->Buffer, Source->Buffer, bytes);
  Destination->Length = bytes;
  if (bytes + 2 <= Destination->MaximumLength) Destination->Buffer[bytes / 2] = 0;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  const std::size_t n1 = String1->Length / 2;
  const std::size_t n2 = String2->Length / 2;
  auto fold = [CaseInSensitive](WCHAR c) -> LONG {
    if (CaseInSensitive && c >= u'a' && c <= u'z') return c - u'a' + u'A';
    return c;
  };
  for (std::size_t i = 0; i < std::min(n1, n2); ++i) {
    LONG d = fold(String1->Buffer[i]) - fold(String2->Buffer[i]);
    if (d != 0) return d;
  }
  return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

char* _itoa(int Value, char* Buffer, int Radix) {
  if (Radix < 2 || Radix > 36) {
    Buffer[0] = 0;
    return Buffer;
  }
  // Base 10 shows the sign; other bases show the bits of the value as unsigned.
  const bool negative = Radix == 10 && Value < 0;
  unsigned int magnitude = negative ? 0u - static_cast<unsigned int>(Value) : static_cast<unsigned int>(Value);
  char digits[40];
  int n = 0;
  do {
    const unsigned int d = magnitude % static_cast<unsigned int>(Radix);
    digits[n++] = static_cast<char>(d < 10 ? '0' + d : 'a' + d - 10);
    magnitude /= static_cast<unsigned int>(Radix);
  } while (magnitude != 0);
  char* out = Buffer;
  if (negative) *out++ = '-';
  while (n > 0) *out++ = digits[--n];
  *out = 0;
  return Buffer;
}
