// Helpers for emu code that deals in the platform's counted strings: conversions to and from
// std::u16string / std::string and platform-owned string buffers (the kind the driver later
// releases with RtlFreeUnicodeString, e.g. the symbolic name IoRegisterDeviceInterface returns).
#pragma once

#include <string>

#include "emu/kernel/wdk/rtl.h"

namespace emu {

std::u16string ToU16(const UNICODE_STRING* string);  // null or no buffer: ""
std::u16string ToU16(const char* text);              // each byte through the 8-bit code page
std::string ToNarrow(const std::u16string& text);    // unmappable characters become '?'
std::string ToNarrow(const UNICODE_STRING* string);

// The 8-bit code page the platform uses for ANSI strings (Western European).
char16_t AnsiToUnicodeChar(uint8_t c);
// The 8-bit character for `c`, or -1 when the code page has none.
int UnicodeToAnsiChar(char16_t c);

// Fills `string` with a paged-pool copy of `text` (terminated, MaximumLength = Length + 2) under
// the platform's string tag, as the platform's own routines hand out strings. Returns
// STATUS_INSUFFICIENT_RESOURCES when the pool refuses.
NTSTATUS AllocatePlatformString(const std::u16string& text, UNICODE_STRING* string);

}  // namespace emu
