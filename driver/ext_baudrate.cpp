// The ExtBaudrate service value: a list of "requested,chip" baud-rate pairs separated by single
// spaces, e.g. "1200,2400 9600,19200", read once per load into ExtBaudTable.
#include "driver/entry.h"
#include "driver/globals.h"

namespace {

// Each number of a pair, with what ends it, fits in this many characters.
constexpr ULONG EXT_BAUD_FIELD_LIMIT = 22;

bool IsSpace(CHAR c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Converts [Begin, End) as atol does: optional white space and sign, then decimal digits up to
// the first other character. Overflow wraps, as it does in 32-bit arithmetic.
LONG ToLong(const CHAR* Begin, const CHAR* End) {
    const CHAR* p = Begin;
    while (p < End && IsSpace(*p)) {
        ++p;
    }
    bool negative = false;
    if (p < End && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    ULONG value = 0;
    while (p < End && *p >= '0' && *p <= '9') {
        value = value * 10 + static_cast<ULONG>(*p - '0');
        ++p;
    }
    return static_cast<LONG>(negative ? 0u - value : value);
}

}  // namespace

LONG ParseExtBaudrate(const CHAR* Text, ULONG Length, PEXT_BAUD_ENTRY Table) {
    // The value ends at its length or at a zero inside it, whichever comes first.
    ULONG end = 0;
    while (end < Length && Text[end] != '\0') {
        ++end;
    }

    ULONG pos = 0;
    ULONG index = 0;
    while (index < EXT_BAUD_TABLE_SIZE) {
        // First number: its comma lies within the field limit. A search that reaches the end of
        // the value first (a trailing space, or a last word without a comma) ends the list and
        // keeps the pairs before it; a field that runs past the limit spoils the whole value.
        ULONG comma = pos;
        while (comma < end && comma - pos < EXT_BAUD_FIELD_LIMIT && Text[comma] != ',') {
            ++comma;
        }
        if (comma - pos >= EXT_BAUD_FIELD_LIMIT) {
            return 0;
        }
        if (comma == end) {
            return static_cast<LONG>(index);
        }
        Table[index].RequestedRate = ToLong(Text + pos, Text + comma);

        // Second number: ends at a space or at the end of the value within the field limit.
        ULONG second = comma + 1;
        ULONG stop = second;
        while (stop < end && stop - second < EXT_BAUD_FIELD_LIMIT && Text[stop] != ' ') {
            ++stop;
        }
        if (stop - second >= EXT_BAUD_FIELD_LIMIT) {
            return 0;
        }
        Table[index].ChipRate = ToLong(Text + second, Text + stop);
        ++index;
        if (stop == end) {
            return static_cast<LONG>(index);
        }
        pos = stop + 1;  // past the space
    }
    return static_cast<LONG>(EXT_BAUD_TABLE_SIZE);
}

// PASSIVE_LEVEL, from DriverEntry.
NTSTATUS ReadExtBaudrate(PCUNICODE_STRING RegistryPath) {
    ExtBaudCount = 0;

    // RtlQueryRegistryValues takes a zero-terminated path.
    ULONG pathBytes = RegistryPath->Length + sizeof(WCHAR);
    PWSTR path = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, pathBytes, QUELLA_POOL_TAG));
    if (path == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(path, pathBytes);
    RtlCopyMemory(path, RegistryPath->Buffer, RegistryPath->Length);

    // A missing value reads as the empty default; the query allocates the string's buffer.
    static WCHAR valueName[] = L"ExtBaudrate";
    static WCHAR emptyDefault[] = L"";
    UNICODE_STRING value = {0, 0, NULL};
    RTL_QUERY_REGISTRY_TABLE query[2];
    RtlZeroMemory(query, sizeof(query));
    query[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    query[0].Name = valueName;
    query[0].EntryContext = &value;
    query[0].DefaultType = REG_SZ;
    query[0].DefaultData = emptyDefault;
    query[0].DefaultLength = 0;

    NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, path,
                                             query, NULL, NULL);
    ExFreePoolWithTag(path, QUELLA_POOL_TAG);

    ANSI_STRING text = {0, 0, NULL};
    if (NT_SUCCESS(status) && value.Buffer != NULL &&
        NT_SUCCESS(RtlUnicodeStringToAnsiString(&text, &value, TRUE))) {
        ExtBaudCount = ParseExtBaudrate(text.Buffer, text.Length, ExtBaudTable);
    }

    if (text.Buffer != NULL) {
        RtlFreeAnsiString(&text);
    }
    if (value.Buffer != NULL) {
        RtlFreeUnicodeString(&value);
    }
    return status;
}
