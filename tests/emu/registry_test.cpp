// The emulated registry: the store and its test interface, the Zw routines (keys, handles and
// the result sizes of ZwQueryValueKey), write faults and the device keys.
#include <gtest/gtest.h>

#include <cstddef>

#include "emu/kernel/bugcheck.h"
#include "emu/kernel/kernel.h"
#include "emu/kernel/registry.h"

namespace {

const std::u16string kService = std::u16string(emu::kRegistryServicesPath) + u"\\quella";

// An OBJECT_ATTRIBUTES over a path held by the caller.
struct Attributes {
    explicit Attributes(const std::u16string& path, HANDLE root = nullptr) : text(path) {
        name.Buffer = reinterpret_cast<PWSTR>(text.data());
        name.Length = name.MaximumLength = USHORT(text.size() * 2);
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                                   root, nullptr);
    }
    std::u16string text;
    UNICODE_STRING name{};
    OBJECT_ATTRIBUTES attributes{};
};

UNICODE_STRING Name(const WCHAR* text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

TEST(RegistryTest, StoreIsCaseInsensitiveAndKeepsNamesAsWritten) {
    emu::Kernel kernel;
    EXPECT_TRUE(emu::RegistryKeyExists(emu::kRegistryDeviceMapPath));
    EXPECT_TRUE(emu::RegistryKeyExists(u"\\REGISTRY\\MACHINE\\SYSTEM"));
    EXPECT_EQ(emu::RegistryRootPath(RTL_REGISTRY_DEVICEMAP), emu::kRegistryDeviceMapPath);
    EXPECT_FALSE(emu::RegistryRootPath(RTL_REGISTRY_MAXIMUM));

    emu::RegistrySetString(kService, u"ExtBaudrate", u"1200,2400");
    emu::RegistrySetDword(kService + u"\\Parameters", u"Count", 7);
    emu::RegistrySetDword(kService, u"EXTBAUDRATE", 5);  // replaces, keeps the first spelling
    auto values = emu::RegistryListValues(
        u"\\registry\\machine\\system\\currentcontrolset"
        u"\\services\\QUELLA");
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].first, u"ExtBaudrate");
    EXPECT_EQ(values[0].second.type, ULONG(REG_DWORD));
    EXPECT_EQ(values[0].second.Dword(), 5u);
    EXPECT_EQ(emu::RegistryGetValue(kService + u"\\parameters", u"count")->Dword(), 7u);
    EXPECT_EQ(emu::RegistryListSubkeys(kService), std::vector<std::u16string>{u"Parameters"});
    EXPECT_EQ(emu::RegistryMultiString({u"a", u"bc"}).data.size(), 12u);

    EXPECT_TRUE(emu::RegistryDeleteValue(kService, u"extbaudrate"));
    EXPECT_FALSE(emu::RegistryDeleteValue(kService, u"extbaudrate"));
    EXPECT_TRUE(emu::RegistryDeleteKey(kService));
    EXPECT_FALSE(emu::RegistryKeyExists(kService + u"\\Parameters"));
    EXPECT_TRUE(emu::RegistryKeyExists(emu::kRegistryServicesPath));
}

TEST(RegistryTest, KeysOpenCreateAndCloseThroughHandles) {
    emu::Kernel kernel;
    HANDLE services;
    Attributes services_path(emu::kRegistryServicesPath);
    ASSERT_EQ(ZwOpenKey(&services, KEY_READ, &services_path.attributes), STATUS_SUCCESS);

    HANDLE created;
    ULONG disposition = 0;
    Attributes relative(u"Quella", services);
    ASSERT_EQ(ZwCreateKey(&created, KEY_ALL_ACCESS, &relative.attributes, 0, nullptr,
                          REG_OPTION_NON_VOLATILE, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    EXPECT_TRUE(emu::RegistryKeyExists(kService));
    HANDLE again;
    ASSERT_EQ(ZwCreateKey(&again, KEY_READ, &relative.attributes, 0, nullptr, 0, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
    EXPECT_NE(again, created);
    EXPECT_EQ(emu::RegistryOpenHandleCount(), 3u);

    HANDLE h;
    Attributes missing(kService + u"\\Nope");
    EXPECT_EQ(ZwOpenKey(&h, KEY_READ, &missing.attributes), STATUS_OBJECT_NAME_NOT_FOUND);
    Attributes orphan(kService + u"\\A\\B");  // the platform creates no missing parents
    EXPECT_EQ(ZwCreateKey(&h, KEY_WRITE, &orphan.attributes, 0, nullptr, 0, nullptr),
              STATUS_OBJECT_PATH_NOT_FOUND);
    Attributes trailing(kService + u"\\");
    EXPECT_EQ(ZwOpenKey(&h, KEY_READ, &trailing.attributes), STATUS_OBJECT_NAME_INVALID);
    Attributes absolute_under_root(u"\\Registry", services);
    EXPECT_NE(ZwOpenKey(&h, KEY_READ, &absolute_under_root.attributes), STATUS_SUCCESS);

    UNICODE_STRING value = Name(L"Start");
    ULONG three = 3;
    EXPECT_EQ(ZwSetValueKey(created, &value, 0, REG_DWORD, &three, 4), STATUS_SUCCESS);
    EXPECT_EQ(emu::RegistryGetValue(kService, u"START")->Dword(), 3u);
    EXPECT_EQ(ZwDeleteValueKey(again, &value), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(again, &value), STATUS_OBJECT_NAME_NOT_FOUND);

    EXPECT_EQ(ZwClose(again), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(created), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(services), STATUS_SUCCESS);
    EXPECT_EQ(emu::RegistryOpenHandleCount(), 0u);
    {
        emu::ExpectBugCheck closed_twice(emu::rule::kInvalidParameter);
        EXPECT_EQ(ZwClose(services), STATUS_INVALID_HANDLE);
        EXPECT_EQ(closed_twice.Count(), 1);
    }
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    {
        emu::ExpectBugCheck raised(emu::rule::kIrqlNotLessOrEqual);
        EXPECT_NE(ZwOpenKey(&h, KEY_READ, &services_path.attributes), STATUS_SUCCESS);
        EXPECT_EQ(raised.Count(), 1);
    }
    KeLowerIrql(old);
}

TEST(RegistryTest, QueryValueKeyReportsSizesAsThePlatformDoes) {
    emu::Kernel kernel;
    emu::RegistrySetString(kService, u"PortName", u"COM5");  // 10 bytes of data
    HANDLE key;
    Attributes path(kService);
    ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &path.attributes), STATUS_SUCCESS);
    UNICODE_STRING name = Name(L"portname");
    alignas(8) UCHAR buffer[128];
    ULONG length = 0;

    // Partial: 12 bytes of header, then the data.
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, nullptr, 0, &length),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 22u);
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, 12, &length),
              STATUS_BUFFER_OVERFLOW);
    auto* partial = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    EXPECT_EQ(partial->Type, ULONG(REG_SZ));
    EXPECT_EQ(partial->DataLength, 10u);
    EXPECT_EQ(partial->Data[0], 0xEE);  // no data copied
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, 22, &length),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(partial->Data), 4), u"COM5");

    // Full: 20 bytes of header, the name as stored, the data at a 4-byte aligned offset.
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, 19, &length),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 20u + 16u + 10u);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, 30, &length),
              STATUS_BUFFER_OVERFLOW);
    auto* full = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
    EXPECT_EQ(full->DataOffset, 36u);
    EXPECT_EQ(full->NameLength, 16u);
    // The driver's reader: name size 18 + output 256 + 24 bytes is plenty.
    std::vector<UCHAR> big(18 + 256 + 24);
    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, big.data(), ULONG(big.size()),
                              &length),
              STATUS_SUCCESS);
    full = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(big.data());
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(full->Name), 8), u"PortName");
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(big.data() + full->DataOffset)), u"COM5");
    EXPECT_EQ(full->DataOffset % 4, 0u);

    // An odd-length name pushes the data to the next 4-byte boundary.
    emu::RegistrySetDword(kService, u"Odd", 1);
    UNICODE_STRING odd = Name(L"Odd");
    ASSERT_EQ(ZwQueryValueKey(key, &odd, KeyValueFullInformation, buffer, sizeof buffer, &length),
              STATUS_SUCCESS);
    full = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
    EXPECT_EQ(full->DataOffset, 28u);
    EXPECT_EQ(length, 32u);

    // Basic: header and name only.
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueBasicInformation, buffer, sizeof buffer, &length),
              STATUS_SUCCESS);
    EXPECT_EQ(length, 12u + 16u);

    UNICODE_STRING absent = Name(L"Identifier");
    EXPECT_EQ(
        ZwQueryValueKey(key, &absent, KeyValueFullInformation, buffer, sizeof buffer, &length),
        STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwQueryValueKey(key, &name, MaxKeyValueInfoClass, buffer, sizeof buffer, &length),
              STATUS_INVALID_PARAMETER);
    // A key deleted behind an open handle.
    emu::RegistryDeleteKey(kService);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, sizeof buffer, &length),
              NTSTATUS(0xC000017C));
    ZwClose(key);
}

TEST(RegistryTest, WriteFaultsFailTheChosenWriteOnly) {
    emu::Kernel kernel;
    const std::u16string serialcomm = std::u16string(emu::kRegistryDeviceMapPath) + u"\\SERIALCOMM";
    emu::RegistryCreateKey(serialcomm);
    emu::RegistryFailNextWrite(serialcomm, u"\\Device\\Serial2", STATUS_ACCESS_DENIED);
    WCHAR com5[] = L"COM5";
    WCHAR com6[] = L"COM6";
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\Serial3",
                                    REG_SZ, com6, sizeof com6),
              STATUS_SUCCESS);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\Serial2",
                                    REG_SZ, com5, sizeof com5),
              STATUS_ACCESS_DENIED);
    EXPECT_FALSE(emu::RegistryGetValue(serialcomm, u"\\Device\\Serial2"));
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\Serial2",
                                    REG_SZ, com5, sizeof com5),
              STATUS_SUCCESS);
    EXPECT_EQ(emu::RegistryGetValue(serialcomm, u"\\Device\\Serial2")->String(), u"COM5");

    // Any value of the key, twice.
    emu::RegistryFailNextWrite(serialcomm, u"", STATUS_INSUFFICIENT_RESOURCES, 2);
    EXPECT_NE(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"x", REG_SZ, com5, 10),
              STATUS_SUCCESS);
    EXPECT_NE(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"y", REG_SZ, com5, 10),
              STATUS_SUCCESS);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"z", REG_SZ, com5, 10),
              STATUS_SUCCESS);
    EXPECT_EQ(emu::RegistryOpenHandleCount(), 0u);
}

TEST(RegistryTest, DeviceKeysLiveUnderTheDevicesHardwareKey) {
    emu::Kernel kernel;
    int pdo_storage[2];
    auto* pdo = reinterpret_cast<struct _DEVICE_OBJECT*>(&pdo_storage[0]);
    auto* other = reinterpret_cast<struct _DEVICE_OBJECT*>(&pdo_storage[1]);
    const std::u16string instance =
        std::u16string(emu::kRegistryEnumPath) + u"\\USB\\VID_1&PID_2\\5";
    emu::SetDeviceKeyPath(pdo, instance);
    emu::RegistrySetString(instance + u"\\Device Parameters", u"PortName", u"COM7");

    HANDLE key;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key),
              STATUS_SUCCESS);
    UNICODE_STRING name = Name(L"PortName");
    UCHAR buffer[64];
    ULONG length;
    ASSERT_EQ(
        ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &length),
        STATUS_SUCCESS);
    ULONG one = 1;
    UNICODE_STRING skip = Name(L"SerialSkipExternalNaming");
    EXPECT_EQ(ZwSetValueKey(key, &skip, 0, REG_DWORD, &one, 4), STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_EQ(
        emu::RegistryGetValue(emu::DeviceParametersPath(pdo), u"serialskipexternalnaming")->Dword(),
        1u);

    // A device object nobody gave a path gets one of its own, created on first open.
    ASSERT_EQ(IoOpenDeviceRegistryKey(other, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
              STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_NE(emu::DeviceKeyPath(other), emu::DeviceKeyPath(pdo));
    EXPECT_TRUE(emu::RegistryKeyExists(emu::DeviceParametersPath(other)));
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key), STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_NE(emu::DeviceDriverKeyPath(pdo), emu::DeviceDriverKeyPath(other));
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, 3, KEY_READ, &key), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(emu::RegistryOpenHandleCount(), 0u);
}

}  // namespace
