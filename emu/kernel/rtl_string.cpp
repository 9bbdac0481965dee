// Counted-string routines of the run-time library: initialization, copy, append, comparison,
// case mapping and integer conversion.
#include "emu/kernel/bugcheck.h"
#include "emu/kernel/rtl_strings.h"

namespace {

constexpr USHORT kMaxUnicodeBytes = 0xFFFC;  // the longest counted 16-bit string with room to end
constexpr USHORT kMaxAnsiBytes = 0xFFFE;

size_t WideLength(PCWSTR text) {
    size_t n = 0;
    while (text[n]) {
        ++n;
    }
    return n;
}

// Terminates a 16-bit string after its Length when a whole character still fits.
void TerminateIfRoom(PUNICODE_STRING string) {
    if (ULONG(string->Length) + sizeof(WCHAR) <= string->MaximumLength) {
        string->Buffer[string->Length / sizeof(WCHAR)] = 0;
    }
}

bool IsNull(const void* pointer, const char* routine) {
    if (!pointer) {
        emu::BugCheck(emu::rule::kInvalidParameter, "%s given a null string", routine);
        return true;
    }
    return false;
}

// The digit value of `c`, or 99 for a character that is no digit.
ULONG DigitValue(ULONG c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return 99;
}

// The platform's integer parser, shared by the 8- and 16-bit forms: leading characters up to
// and including the space are skipped, then an optional sign, then (with Base 0) an optional
// 0x/0o/0b prefix. Digits are taken until the first character that is not a digit of the base;
// a string without digits gives 0. Like the platform, the result wraps modulo 2^32.
template <typename Char>
NTSTATUS ParseInteger(const Char* text, size_t length, ULONG base, PULONG value) {
    if (!value) {
        return STATUS_ACCESS_VIOLATION;
    }
    size_t i = 0;
    while (i < length && ULONG(text[i]) <= ' ') {
        ++i;
    }
    bool negative = false;
    if (i < length && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (base == 0) {
        base = 10;
        if (i + 1 < length && text[i] == '0') {
            switch (text[i + 1]) {
                case 'x':
                    base = 16;
                    i += 2;
                    break;
                case 'o':
                    base = 8;
                    i += 2;
                    break;
                case 'b':
                    base = 2;
                    i += 2;
                    break;
                default:
                    break;
            }
        }
    } else if (base != 2 && base != 8 && base != 10 && base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG total = 0;
    for (; i < length; ++i) {
        ULONG digit = DigitValue(ULONG(text[i]));
        if (digit >= base) {
            break;
        }
        total = total * base + digit;
    }
    *value = negative ? 0u - total : total;
    return STATUS_SUCCESS;
}

}  // namespace

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (IsNull(DestinationString, "RtlInitUnicodeString")) {
        return;
    }
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
    if (bytes > kMaxUnicodeBytes) {
        bytes = kMaxUnicodeBytes;
    }
    DestinationString->Length = USHORT(bytes);
    DestinationString->MaximumLength = USHORT(bytes + sizeof(WCHAR));
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
    RtlInitString(DestinationString, SourceString);
}

VOID RtlInitString(PSTRING DestinationString, PCSZ SourceString) {
    if (IsNull(DestinationString, "RtlInitString")) {
        return;
    }
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = std::strlen(SourceString);
    if (bytes > kMaxAnsiBytes) {
        bytes = kMaxAnsiBytes;
    }
    DestinationString->Length = USHORT(bytes);
    DestinationString->MaximumLength = USHORT(bytes + 1);
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (IsNull(DestinationString, "RtlCopyUnicodeString")) {
        return;
    }
    if (!SourceString) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length < DestinationString->MaximumLength
                       ? SourceString->Length
                       : DestinationString->MaximumLength;
    bytes &= ~USHORT(1);
    if (bytes) {
        std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    }
    DestinationString->Length = bytes;
    TerminateIfRoom(DestinationString);
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    if (IsNull(Destination, "RtlAppendUnicodeStringToString") ||
        IsNull(Source, "RtlAppendUnicodeStringToString")) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG total = ULONG(Destination->Length) + Source->Length;
    if (total > Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (Source->Length) {
        std::memmove(reinterpret_cast<PUCHAR>(Destination->Buffer) + Destination->Length,
                     Source->Buffer, Source->Length);
    }
    Destination->Length = USHORT(total);
    TerminateIfRoom(Destination);
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (IsNull(Destination, "RtlAppendUnicodeToString")) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!Source) {
        return STATUS_SUCCESS;
    }
    size_t bytes = WideLength(Source) * sizeof(WCHAR);
    if (Destination->Length + bytes > Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (bytes) {
        std::memmove(reinterpret_cast<PUCHAR>(Destination->Buffer) + Destination->Length, Source,
                     bytes);
    }
    Destination->Length = USHORT(Destination->Length + bytes);
    TerminateIfRoom(Destination);
    return STATUS_SUCCESS;
}

// Digits in upper case, as the platform writes them. The result must fit with its terminator,
// else STATUS_BUFFER_OVERFLOW and the string is left unchanged.
NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    if (IsNull(String, "RtlIntegerToUnicodeString")) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Base == 0) {
        Base = 10;
    }
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    WCHAR digits[33];
    size_t count = 0;
    do {
        digits[count++] = WCHAR("0123456789ABCDEF"[Value % Base]);
        Value /= Base;
    } while (Value);
    if ((count + 1) * sizeof(WCHAR) > String->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < count; ++i) {
        String->Buffer[i] = digits[count - 1 - i];
    }
    String->Buffer[count] = 0;
    String->Length = USHORT(count * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
    if (IsNull(String, "RtlUnicodeStringToInteger")) {
        return STATUS_INVALID_PARAMETER;
    }
    return ParseInteger(String->Buffer, String->Buffer ? String->Length / sizeof(WCHAR) : 0, Base,
                        Value);
}

NTSTATUS RtlCharToInteger(PCSZ String, ULONG Base, PULONG Value) {
    if (IsNull(String, "RtlCharToInteger")) {
        return STATUS_INVALID_PARAMETER;
    }
    return ParseInteger(String, std::strlen(String), Base, Value);
}

// Upper case for the scripts a port or device name may plausibly use: Latin (with Latin-1 and
// Latin Extended-A), Greek, Cyrillic and the full-width forms. Other characters are unchanged.
WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter) {
    unsigned c = SourceCharacter;
    if (c < 'a') {
        return WCHAR(c);
    }
    if (c <= 'z') {
        return WCHAR(c - 0x20);
    }
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) {
        return WCHAR(c - 0x20);
    }
    if (c == 0xFF) {
        return 0x178;
    }
    if (c == 0x131) {
        return 'I';
    }
    if ((c >= 0x101 && c <= 0x137 && (c & 1)) || (c >= 0x13A && c <= 0x148 && !(c & 1)) ||
        (c >= 0x14B && c <= 0x177 && (c & 1)) || (c >= 0x17A && c <= 0x17E && !(c & 1))) {
        return WCHAR(c - 1);
    }
    if ((c >= 0x3B1 && c <= 0x3C1) || (c >= 0x3C3 && c <= 0x3CB)) {
        return WCHAR(c - 0x20);
    }
    if (c == 0x3C2) {
        return 0x3A3;  // final sigma
    }
    if (c == 0x3AC) {
        return 0x386;
    }
    if (c >= 0x3AD && c <= 0x3AF) {
        return WCHAR(c - 0x25);
    }
    if (c == 0x3CC) {
        return 0x38C;
    }
    if (c == 0x3CD || c == 0x3CE) {
        return WCHAR(c - 0x3F);
    }
    if (c >= 0x430 && c <= 0x44F) {
        return WCHAR(c - 0x20);
    }
    if (c >= 0x450 && c <= 0x45F) {
        return WCHAR(c - 0x50);
    }
    if (c >= 0xFF41 && c <= 0xFF5A) {
        return WCHAR(c - 0x20);
    }
    return WCHAR(c);
}

// Negative, zero or positive as String1 sorts before, with or after String2: the difference of
// the first differing characters, else of the lengths.
LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive) {
    if (IsNull(String1, "RtlCompareUnicodeString") || IsNull(String2, "RtlCompareUnicodeString")) {
        return 0;
    }
    size_t n1 = String1->Length / sizeof(WCHAR);
    size_t n2 = String2->Length / sizeof(WCHAR);
    for (size_t i = 0; i < n1 && i < n2; ++i) {
        WCHAR c1 = String1->Buffer[i];
        WCHAR c2 = String2->Buffer[i];
        if (CaseInSensitive) {
            c1 = RtlUpcaseUnicodeChar(c1);
            c2 = RtlUpcaseUnicodeChar(c2);
        }
        if (c1 != c2) {
            return LONG(c1) - LONG(c2);
        }
    }
    return LONG(String1->Length) - LONG(String2->Length);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive) {
    if (IsNull(String1, "RtlEqualUnicodeString") || IsNull(String2, "RtlEqualUnicodeString")) {
        return FALSE;
    }
    if (String1->Length != String2->Length) {
        return FALSE;
    }
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    auto a = static_cast<const UCHAR*>(Source1);
    auto b = static_cast<const UCHAR*>(Source2);
    SIZE_T same = 0;
    while (same < Length && a[same] == b[same]) {
        ++same;
    }
    return same;
}
