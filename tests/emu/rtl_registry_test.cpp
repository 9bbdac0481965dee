// RtlQueryRegistryValues and the one-value Rtl registry routines.
#include <gtest/gtest.h>

#include "emu/kernel/kernel.h"
#include "emu/kernel/pool.h"
#include "emu/kernel/registry.h"
#include "emu/kernel/rtl_strings.h"

namespace {

const std::u16string kService = std::u16string(emu::kRegistryServicesPath) + u"\\quella";
WCHAR kServicePath[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\quella";
WCHAR kEmpty[] = L"";

// The driver's ExtBaudrate query: one DIRECT entry into a string the query allocates, with an
// empty REG_SZ as the default.
NTSTATUS QueryExtBaudrate(UNICODE_STRING* result) {
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = L"ExtBaudrate";
    table[0].EntryContext = result;
    table[0].DefaultType = REG_SZ;
    table[0].DefaultData = kEmpty;
    table[0].DefaultLength = 0;
    return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, kServicePath,
                                  table, nullptr, nullptr);
}

TEST(RtlRegistryTest, DirectStringQueryAllocatesTheBufferOrUsesTheDefault) {
    emu::Kernel kernel;
    emu::RegistryCreateKey(kService);
    UNICODE_STRING value{0, 0, nullptr};
    ASSERT_EQ(QueryExtBaudrate(&value), STATUS_SUCCESS);
    ASSERT_NE(value.Buffer, nullptr);  // the missing value gives the empty default
    EXPECT_EQ(value.Length, 0);
    EXPECT_EQ(value.MaximumLength, 2);
    EXPECT_EQ(value.Buffer[0], 0);
    EXPECT_EQ(emu::PoolFind(value.Buffer)->tag, emu::kRtlStringTag);
    RtlFreeUnicodeString(&value);

    emu::RegistrySetString(kService, u"ExtBaudrate", u"1200,2400 9600,19200");
    ASSERT_EQ(QueryExtBaudrate(&value), STATUS_SUCCESS);
    EXPECT_EQ(emu::ToU16(&value), u"1200,2400 9600,19200");
    EXPECT_EQ(value.MaximumLength, value.Length + 2);
    RtlFreeUnicodeString(&value);

    // A string stored without its terminator still comes back whole and terminated.
    emu::RegistrySetValue(kService, u"ExtBaudrate", emu::RegistryValue{REG_SZ, {'5', 0, '0', 0}});
    ASSERT_EQ(QueryExtBaudrate(&value), STATUS_SUCCESS);
    EXPECT_EQ(emu::ToU16(&value), u"50");
    EXPECT_EQ(value.Buffer[2], 0);
    RtlFreeUnicodeString(&value);

    // A caller's buffer must hold the value and its terminator.
    WCHAR small[4];
    UNICODE_STRING fixed{0, sizeof small, small};
    emu::RegistrySetString(kService, u"ExtBaudrate", u"1200,2400");
    EXPECT_EQ(QueryExtBaudrate(&fixed), STATUS_BUFFER_TOO_SMALL);
    emu::RegistrySetString(kService, u"ExtBaudrate", u"300");
    EXPECT_EQ(QueryExtBaudrate(&fixed), STATUS_SUCCESS);
    EXPECT_EQ(emu::ToU16(&fixed), u"300");

    // Out of memory for the buffer: STATUS_NO_MEMORY and nothing left behind.
    {
        emu::PoolFaultScope fail(emu::PoolFault::Every(emu::PoolTagIs(emu::kRtlStringTag)));
        UNICODE_STRING none{0, 0, nullptr};
        EXPECT_EQ(QueryExtBaudrate(&none), STATUS_NO_MEMORY);
        EXPECT_EQ(none.Buffer, nullptr);
    }
    EXPECT_EQ(emu::PoolOutstandingCount(emu::kRtlStringTag), 0u);
    EXPECT_EQ(emu::RegistryOpenHandleCount(), 0u);

    emu::RegistryDeleteKey(kService);
    UNICODE_STRING gone{0, 0, nullptr};
    EXPECT_EQ(QueryExtBaudrate(&gone), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(gone.Buffer, nullptr);
}

TEST(RtlRegistryTest, DirectQueriesOfNumbersAndBinaryData) {
    emu::Kernel kernel;
    emu::RegistrySetDword(kService, u"MultiportDevice", 1);
    emu::RegistrySetValue(kService, u"Blob", emu::RegistryValue{REG_BINARY, {1, 2, 3, 4, 5, 6}});
    ULONG multiport = 0;
    ULONG missing = 77;
    ULONG fallback = 9;
    LONG sized[4] = {-8, 0, 0, 0};    // negative: the size, data at the start
    ULONG headed[4] = {16, 0, 0, 0};  // positive: length, type, then the data
    RTL_QUERY_REGISTRY_TABLE table[6] = {};
    table[0] = {
        nullptr, RTL_QUERY_REGISTRY_DIRECT, L"MultiportDevice", &multiport, REG_DWORD, &fallback,
        4};
    table[1] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, L"Absent", &missing, REG_NONE, nullptr, 0};
    table[2] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, L"Blob", sized, REG_NONE, nullptr, 0};
    table[3] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, L"Blob", headed, REG_NONE, nullptr, 0};
    table[4] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, L"Default", &fallback, REG_DWORD, &multiport,
                4};
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"quella", table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(multiport, 1u);
    EXPECT_EQ(missing, 77u);  // REG_NONE default: skipped
    EXPECT_EQ(std::memcmp(sized, "\1\2\3\4\5\6", 6), 0);
    EXPECT_EQ(headed[0], 6u);
    EXPECT_EQ(headed[1], ULONG(REG_BINARY));
    EXPECT_EQ(std::memcmp(&headed[2], "\1\2\3\4\5\6", 6), 0);
    EXPECT_EQ(fallback, 1u);  // the default data, copied from `multiport`

    LONG too_small[2] = {-4, 0};
    RTL_QUERY_REGISTRY_TABLE short_table[2] = {};
    short_table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, L"Blob", too_small, REG_NONE, nullptr, 0};
    EXPECT_EQ(
        RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"quella", short_table, nullptr, nullptr),
        STATUS_BUFFER_TOO_SMALL);
    short_table[0] = {nullptr,   RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED,
                      L"Absent", &missing,
                      REG_DWORD, &fallback,
                      4};
    EXPECT_EQ(
        RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"quella", short_table, nullptr, nullptr),
        STATUS_OBJECT_NAME_NOT_FOUND);
    short_table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, nullptr, &missing, REG_NONE, nullptr, 0};
    EXPECT_EQ(
        RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"quella", short_table, nullptr, nullptr),
        STATUS_INVALID_PARAMETER);
    EXPECT_EQ(emu::RegistryOpenHandleCount(), 0u);
}

struct Seen {
    std::vector<std::string> calls;
};

NTSTATUS NTAPI Record(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength,
                      PVOID Context, PVOID EntryContext) {
    auto* seen = static_cast<Seen*>(Context);
    std::string text =
        ValueName ? emu::ToNarrow(std::u16string(reinterpret_cast<const char16_t*>(ValueName)))
                  : "(null)";
    text += ":" + std::to_string(ValueType) + ":" + std::to_string(ValueLength);
    if (ValueType == REG_SZ) {
        text += ":" + emu::ToNarrow(reinterpret_cast<const char16_t*>(ValueData));
    }
    text += ":" + std::to_string(reinterpret_cast<uintptr_t>(EntryContext));
    seen->calls.push_back(text);
    return STATUS_SUCCESS;
}

TEST(RtlRegistryTest, QueryRoutinesSeeValuesSubkeysAndMultiStrings) {
    emu::Kernel kernel;
    emu::RegistrySetValue(kService, u"Ids", emu::RegistryMultiString({u"*PNP0501", u"*PNP0502"}));
    emu::RegistrySetDword(kService, u"Start", 3);
    emu::RegistrySetString(kService + u"\\Parameters", u"Name", u"x");
    emu::RegistrySetDword(kService, u"Gone", 1);
    Seen seen;
    RTL_QUERY_REGISTRY_TABLE table[7] = {};
    table[0] = {Record, 0, L"Ids", reinterpret_cast<PVOID>(1), REG_NONE, nullptr, 0};
    table[1] = {
        Record, RTL_QUERY_REGISTRY_NOEXPAND, L"Ids", reinterpret_cast<PVOID>(2), REG_NONE, nullptr,
        0};
    table[2] = {nullptr, RTL_QUERY_REGISTRY_SUBKEY, L"Parameters", nullptr, REG_NONE, nullptr, 0};
    table[3] = {Record, 0, nullptr, reinterpret_cast<PVOID>(3), REG_NONE, nullptr, 0};
    table[4] = {Record,   RTL_QUERY_REGISTRY_TOPKEY | RTL_QUERY_REGISTRY_DELETE,
                L"Gone",  reinterpret_cast<PVOID>(4),
                REG_NONE, nullptr,
                0};
    table[5] = {
        Record, RTL_QUERY_REGISTRY_NOVALUE, nullptr, reinterpret_cast<PVOID>(5), REG_NONE, nullptr,
        0};
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kServicePath, table, &seen, nullptr),
              STATUS_SUCCESS);
    std::vector<std::string> expected = {
        "Ids:1:18:*PNP0501:1", "Ids:1:18:*PNP0502:1", "Ids:7:38:2",
        "Name:1:4:x:3",        "Gone:4:4:4",          "(null):0:0:5",
    };
    EXPECT_EQ(seen.calls, expected);
    EXPECT_FALSE(emu::RegistryGetValue(kService, u"Gone"));
    EXPECT_TRUE(emu::RegistryGetValue(kService, u"Start"));

    table[0] = {nullptr, RTL_QUERY_REGISTRY_SUBKEY, L"Missing", nullptr, REG_NONE, nullptr, 0};
    table[1] = {};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kServicePath, table, &seen, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(emu::RegistryOpenHandleCount(), 0u);
}

TEST(RtlRegistryTest, WriteDeleteCheckAndCreateRelativeToTheRoots) {
    emu::Kernel kernel;
    const std::u16string serialcomm = std::u16string(emu::kRegistryDeviceMapPath) + u"\\SERIALCOMM";
    WCHAR com5[] = L"COM5";
    // Writing creates the last key of the path, not its parents.
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\Serial2",
                                    REG_SZ, com5, sizeof com5),
              STATUS_SUCCESS);
    EXPECT_EQ(emu::RegistryGetValue(serialcomm, u"\\device\\serial2")->String(), u"COM5");
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"A\\B", L"v", REG_SZ, com5, 10),
              STATUS_OBJECT_PATH_NOT_FOUND);

    WCHAR serialcomm_name[] = L"SERIALCOMM";
    WCHAR nothing_name[] = L"Nothing";
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_DEVICEMAP, serialcomm_name), STATUS_SUCCESS);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_DEVICEMAP, nothing_name),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_DEVICEMAP, nothing_name), STATUS_SUCCESS);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_DEVICEMAP, nothing_name), STATUS_SUCCESS);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_DEVICEMAP | RTL_REGISTRY_OPTIONAL, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_DEVICEMAP, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_MAXIMUM, serialcomm_name), STATUS_INVALID_PARAMETER);

    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\Serial2"),
              STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\Serial2"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"Absent", L"x"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(emu::RegistryKeyExists(std::u16string(emu::kRegistryDeviceMapPath) + u"\\Absent"));

    // RTL_REGISTRY_HANDLE: the path is an open key.
    HANDLE key;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(serialcomm.c_str()));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ASSERT_EQ(ZwOpenKey(&key, KEY_WRITE, &attributes), STATUS_SUCCESS);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), L"h", REG_SZ,
                                    com5, sizeof com5),
              STATUS_SUCCESS);
    EXPECT_EQ(emu::RegistryOpenHandleCount(), 1u);  // the caller's handle stays open
    ZwClose(key);
    EXPECT_EQ(emu::RegistryGetValue(serialcomm, u"h")->String(), u"COM5");
}

}  // namespace
