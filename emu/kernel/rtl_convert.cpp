// Conversions between 16-bit and 8-bit counted strings through the platform's ANSI code page,
// the release of strings the run-time library allocated, and the emu-side string helpers.
#include "emu/kernel/bugcheck.h"
#include "emu/kernel/pool.h"
#include "emu/kernel/rtl_strings.h"

namespace {

// Bytes 0x80..0x9F of the Western European code page. The five bytes it leaves undefined map
// to the control characters of the same value, as the platform's table does.
constexpr char16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

constexpr ULONG kMaxUnicodeBytes = 0xFFFE;

}  // namespace

namespace emu {

char16_t AnsiToUnicodeChar(uint8_t c) {
    return c >= 0x80 && c < 0xA0 ? kHighControls[c - 0x80] : char16_t(c);
}

int UnicodeToAnsiChar(char16_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
        return c;
    }
    for (int i = 0; i < 32; ++i) {
        if (kHighControls[i] == c) {
            return 0x80 + i;
        }
    }
    return -1;
}

std::u16string ToU16(const UNICODE_STRING* string) {
    if (!string || !string->Buffer) {
        return std::u16string();
    }
    auto begin = reinterpret_cast<const char16_t*>(string->Buffer);
    return std::u16string(begin, begin + string->Length / sizeof(WCHAR));
}

std::u16string ToU16(const char* text) {
    std::u16string result;
    for (; text && *text; ++text) {
        result += AnsiToUnicodeChar(uint8_t(*text));
    }
    return result;
}

std::string ToNarrow(const std::u16string& text) {
    std::string result;
    for (char16_t c : text) {
        int ansi = UnicodeToAnsiChar(c);
        result += ansi < 0 ? '?' : char(ansi);
    }
    return result;
}

std::string ToNarrow(const UNICODE_STRING* string) {
    return ToNarrow(ToU16(string));
}

NTSTATUS AllocatePlatformString(const std::u16string& text, UNICODE_STRING* string) {
    size_t bytes = text.size() * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > kMaxUnicodeBytes) {
        return STATUS_INVALID_PARAMETER;
    }
    auto buffer = static_cast<PWSTR>(PoolAllocateFrom(PagedPool, bytes + sizeof(WCHAR),
                                                      kRtlStringTag, __builtin_return_address(0)));
    if (!buffer) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(buffer, text.data(), bytes);
    buffer[text.size()] = 0;
    string->Buffer = buffer;
    string->Length = USHORT(bytes);
    string->MaximumLength = USHORT(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

}  // namespace emu

// Characters the code page lacks (anything beyond it, including each half of a surrogate pair)
// become '?'. Without AllocateDestinationString, a result too long for the buffer is cut to
// MaximumLength - 1 characters and STATUS_BUFFER_OVERFLOW returned, as the platform does.
DECLSPEC_NOINLINE NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                                        PCUNICODE_STRING SourceString,
                                                        BOOLEAN AllocateDestinationString) {
    if (!DestinationString || !SourceString) {
        emu::BugCheck(emu::rule::kInvalidParameter, "RtlUnicodeStringToAnsiString given null");
        return STATUS_INVALID_PARAMETER;
    }
    size_t chars = SourceString->Length / sizeof(WCHAR);
    size_t count = chars;
    NTSTATUS status = STATUS_SUCCESS;
    if (AllocateDestinationString) {
        auto buffer = static_cast<PCHAR>(emu::PoolAllocateFrom(
            PagedPool, chars + 1, emu::kRtlStringTag, __builtin_return_address(0)));
        if (!buffer) {
            return STATUS_NO_MEMORY;
        }
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = USHORT(chars + 1);
    } else if (chars >= DestinationString->MaximumLength) {
        status = STATUS_BUFFER_OVERFLOW;
        if (DestinationString->MaximumLength == 0) {
            DestinationString->Length = 0;
            return status;
        }
        count = DestinationString->MaximumLength - 1u;
    }
    for (size_t i = 0; i < count; ++i) {
        int ansi = emu::UnicodeToAnsiChar(SourceString->Buffer[i]);
        DestinationString->Buffer[i] = ansi < 0 ? '?' : CHAR(ansi);
    }
    DestinationString->Buffer[count] = 0;
    DestinationString->Length = USHORT(count);
    return status;
}

// Without AllocateDestinationString the result and its terminator must fit in MaximumLength;
// otherwise STATUS_BUFFER_OVERFLOW and the destination is left as it was.
DECLSPEC_NOINLINE NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                                        PCANSI_STRING SourceString,
                                                        BOOLEAN AllocateDestinationString) {
    if (!DestinationString || !SourceString) {
        emu::BugCheck(emu::rule::kInvalidParameter, "RtlAnsiStringToUnicodeString given null");
        return STATUS_INVALID_PARAMETER;
    }
    size_t chars = SourceString->Length;
    ULONG bytes = ULONG((chars + 1) * sizeof(WCHAR));
    if (bytes > kMaxUnicodeBytes) {
        return STATUS_INVALID_PARAMETER_2;
    }
    if (AllocateDestinationString) {
        auto buffer = static_cast<PWSTR>(emu::PoolAllocateFrom(PagedPool, bytes, emu::kRtlStringTag,
                                                               __builtin_return_address(0)));
        if (!buffer) {
            return STATUS_NO_MEMORY;
        }
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = USHORT(bytes);
    } else if (bytes > DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < chars; ++i) {
        DestinationString->Buffer[i] = emu::AnsiToUnicodeChar(uint8_t(SourceString->Buffer[i]));
    }
    DestinationString->Buffer[chars] = 0;
    DestinationString->Length = USHORT(chars * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

// Both release a buffer the run-time library allocated (tag kRtlStringTag) and clear the
// string; a string without a buffer is left alone.
DECLSPEC_NOINLINE VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString && UnicodeString->Buffer) {
        emu::PoolFreeFrom(UnicodeString->Buffer, emu::kRtlStringTag, __builtin_return_address(0));
        UnicodeString->Buffer = nullptr;
        UnicodeString->Length = UnicodeString->MaximumLength = 0;
    }
}

DECLSPEC_NOINLINE VOID RtlFreeAnsiString(PANSI_STRING AnsiString) {
    if (AnsiString && AnsiString->Buffer) {
        emu::PoolFreeFrom(AnsiString->Buffer, emu::kRtlStringTag, __builtin_return_address(0));
        AnsiString->Buffer = nullptr;
        AnsiString->Length = AnsiString->MaximumLength = 0;
    }
}
