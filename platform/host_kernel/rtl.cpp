// Run-time library: counted strings, conversions between UTF-16 and the
// 8-bit code page (Latin-1 here: one byte per character, '?' for what it
// cannot hold), memory comparison and 16-bit wide C string functions.
#include "internal.h"

namespace hostk {
namespace {

constexpr ULONG kStringTag = MakeTag("Strg");

WCHAR FoldAscii(WCHAR c) { return (c >= 'a' && c <= 'z') ? static_cast<WCHAR>(c - 'a' + 'A') : c; }

char NarrowChar(WCHAR c) { return c < 0x100 ? static_cast<char>(c) : '?'; }

}  // namespace

namespace internal {

std::string NarrowFromWide(const WCHAR* text, size_t count) {
  std::string narrow;
  narrow.reserve(count);
  for (size_t i = 0; i < count; ++i) narrow.push_back(NarrowChar(text[i]));
  return narrow;
}

std::string NarrowFromUnicode(const UNICODE_STRING* text) {
  if (text == nullptr || text->Buffer == nullptr) return {};
  return NarrowFromWide(text->Buffer, text->Length / sizeof(WCHAR));
}

std::vector<WCHAR> WideFromNarrow(std::string_view text) {
  std::vector<WCHAR> wide;
  wide.reserve(text.size() + 1);
  for (char c : text) wide.push_back(static_cast<WCHAR>(static_cast<unsigned char>(c)));
  wide.push_back(0);
  return wide;
}

std::string UpperAscii(std::string_view text) {
  std::string upper(text);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return upper;
}

}  // namespace internal
}  // namespace hostk

// --- Wide C strings

extern "C" SIZE_T hostk_wcslen(const WCHAR* s) {
  SIZE_T n = 0;
  while (s[n] != 0) ++n;
  return n;
}

extern "C" int hostk_wcsncmp(const WCHAR* a, const WCHAR* b, SIZE_T n) {
  for (SIZE_T i = 0; i < n; ++i) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    if (a[i] == 0) return 0;
  }
  return 0;
}

extern "C" int hostk_wcscmp(const WCHAR* a, const WCHAR* b) { return hostk_wcsncmp(a, b, SIZE_MAX); }

extern "C" int _wcsnicmp(const WCHAR* a, const WCHAR* b, SIZE_T n) {
  for (SIZE_T i = 0; i < n; ++i) {
    WCHAR ca = hostk::FoldAscii(a[i]);
    WCHAR cb = hostk::FoldAscii(b[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
  return 0;
}

extern "C" int _wcsicmp(const WCHAR* a, const WCHAR* b) { return _wcsnicmp(a, b, SIZE_MAX); }

// --- Counted strings

extern "C" VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  if (SourceString == nullptr) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    return;
  }
  SIZE_T bytes = hostk_wcslen(SourceString) * sizeof(WCHAR);
  if (bytes > 0xfffc) bytes = 0xfffc;
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

extern "C" VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
  if (SourceString == nullptr) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    return;
  }
  SIZE_T bytes = strlen(SourceString);
  if (bytes > 0xfffe) bytes = 0xfffe;
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
}

extern "C" VOID NTAPI RtlInitString(PSTRING DestinationString, PCSTR SourceString) {
  RtlInitAnsiString(DestinationString, SourceString);
}

extern "C" VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString,
                                           PCUNICODE_STRING SourceString) {
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  USHORT bytes = SourceString->Length < DestinationString->MaximumLength
                     ? SourceString->Length
                     : DestinationString->MaximumLength;
  bytes &= static_cast<USHORT>(~1u);
  if (bytes > 0) memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  // The NUL goes in only when a whole character fits after the text.
  if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength)
    DestinationString->Buffer[bytes / sizeof(WCHAR)] = UNICODE_NULL;
}

extern "C" NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                                         PCUNICODE_STRING Source) {
  if (Source == nullptr || Source->Length == 0) return STATUS_SUCCESS;
  if (Destination->Length + Source->Length > Destination->MaximumLength)
    return STATUS_BUFFER_TOO_SMALL;
  memmove(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source->Buffer,
          Source->Length);
  Destination->Length = static_cast<USHORT>(Destination->Length + Source->Length);
  if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
    Destination->Buffer[Destination->Length / sizeof(WCHAR)] = UNICODE_NULL;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  UNICODE_STRING source;
  RtlInitUnicodeString(&source, Source);
  return RtlAppendUnicodeStringToString(Destination, &source);
}

extern "C" VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

extern "C" VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString) {
  if (AnsiString->Buffer != nullptr) ExFreePool(AnsiString->Buffer);
  AnsiString->Buffer = nullptr;
  AnsiString->Length = AnsiString->MaximumLength = 0;
}

extern "C" NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                                       PCUNICODE_STRING SourceString,
                                                       BOOLEAN AllocateDestinationString) {
  ULONG characters = SourceString->Length / sizeof(WCHAR);
  ULONG ansiSize = characters + 1;
  if (ansiSize > MAXUSHORT) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = STATUS_SUCCESS;
  ULONG count = characters;
  if (AllocateDestinationString) {
    auto* buffer = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, ansiSize, hostk::kStringTag));
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = static_cast<USHORT>(ansiSize);
  } else if (count >= DestinationString->MaximumLength) {
    // Too long: convert what fits, keep the NUL, and say so.
    status = STATUS_BUFFER_OVERFLOW;
    if (DestinationString->MaximumLength == 0) {
      DestinationString->Length = 0;
      return status;
    }
    count = DestinationString->MaximumLength - 1u;
  }
  for (ULONG i = 0; i < count; ++i)
    DestinationString->Buffer[i] = hostk::NarrowChar(SourceString->Buffer[i]);
  DestinationString->Buffer[count] = ANSI_NULL;
  DestinationString->Length = static_cast<USHORT>(count);
  return status;
}

extern "C" NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                                       PCANSI_STRING SourceString,
                                                       BOOLEAN AllocateDestinationString) {
  ULONG bytes = SourceString->Length * sizeof(WCHAR);
  if (bytes + sizeof(WCHAR) > MAXUSHORT) return STATUS_INVALID_PARAMETER;
  if (AllocateDestinationString) {
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), hostk::kStringTag));
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  } else if (bytes > DestinationString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (ULONG i = 0; i < SourceString->Length; ++i)
    DestinationString->Buffer[i] = static_cast<WCHAR>(static_cast<unsigned char>(SourceString->Buffer[i]));
  DestinationString->Length = static_cast<USHORT>(bytes);
  if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength)
    DestinationString->Buffer[SourceString->Length] = UNICODE_NULL;
  return STATUS_SUCCESS;
}

extern "C" WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter) {
  return hostk::FoldAscii(SourceCharacter);
}

extern "C" LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                              BOOLEAN CaseInSensitive) {
  ULONG n1 = String1->Length / sizeof(WCHAR);
  ULONG n2 = String2->Length / sizeof(WCHAR);
  ULONG n = n1 < n2 ? n1 : n2;
  for (ULONG i = 0; i < n; ++i) {
    WCHAR c1 = String1->Buffer[i];
    WCHAR c2 = String2->Buffer[i];
    if (CaseInSensitive) {
      c1 = hostk::FoldAscii(c1);
      c2 = hostk::FoldAscii(c2);
    }
    if (c1 != c2) return static_cast<LONG>(c1) - static_cast<LONG>(c2);
  }
  return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

extern "C" BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                               BOOLEAN CaseInSensitive) {
  if (String1->Length != String2->Length) return FALSE;
  return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

extern "C" SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
  const auto* a = static_cast<const unsigned char*>(Source1);
  const auto* b = static_cast<const unsigned char*>(Source2);
  SIZE_T i = 0;
  while (i < Length && a[i] == b[i]) ++i;
  return i;
}
