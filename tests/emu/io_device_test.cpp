// Device objects, the object namespace, device interfaces, and loading drivers.
#include "emu/kernel/bugcheck.h"
#include "emu/kernel/namespace.h"
#include "emu/kernel/pool.h"
#include "tests/emu/io_test_support.h"

namespace {

using io_test::IoTest;

// A counted string over a literal kept alive by the caller.
struct Name {
    explicit Name(const char16_t* text) : text_(text) {
        string_.Length = USHORT(text_.size() * 2);
        string_.MaximumLength = USHORT(string_.Length + 2);
        string_.Buffer = reinterpret_cast<PWSTR>(text_.data());
    }
    PUNICODE_STRING operator&() { return &string_; }
    std::u16string text_;
    UNICODE_STRING string_;
};

TEST_F(IoTest, CreateDeviceNamesZeroesFlagsAndRefusesDuplicateNames) {
    Name name(u"\\Device\\Serial2");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver_, 100, &name, FILE_DEVICE_SERIAL_PORT, FILE_DEVICE_SECURE_OPEN,
                             TRUE, &device),
              STATUS_SUCCESS);
    EXPECT_EQ(device->DriverObject, driver_);
    EXPECT_EQ(driver_->DeviceObject, device);
    EXPECT_EQ(device->DeviceType, ULONG(FILE_DEVICE_SERIAL_PORT));
    EXPECT_EQ(device->Characteristics, ULONG(FILE_DEVICE_SECURE_OPEN));
    EXPECT_EQ(device->StackSize, 1);
    EXPECT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_TRUE(device->Flags & DO_EXCLUSIVE);
    auto* ext = static_cast<uint8_t*>(device->DeviceExtension);
    EXPECT_EQ(std::count(ext, ext + 100, 0), 100);
    EXPECT_EQ(emu::FindNamedDevice("\\device\\SERIAL2"), device);  // names ignore case

    PDEVICE_OBJECT twin = nullptr;
    EXPECT_EQ(IoCreateDevice(driver_, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &twin),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(twin, nullptr);
    EXPECT_EQ(emu::DevicesOf(driver_), std::vector<PDEVICE_OBJECT>{device});

    // Once deleted, the name is free again.
    IoDeleteDevice(device);
    EXPECT_EQ(emu::FindNamedDevice("\\Device\\Serial2"), nullptr);
    EXPECT_TRUE(emu::DevicesOf(driver_).empty());
    EXPECT_EQ(IoCreateDevice(driver_, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &twin),
              STATUS_SUCCESS);
}

TEST_F(IoTest, CreateDeviceFaultHooksFailTheChosenCalls) {
    PDEVICE_OBJECT device = nullptr;
    emu::FailCreateDeviceNth(2, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    EXPECT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);

    emu::FailEveryCreateDevice(STATUS_OBJECT_NAME_COLLISION);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                  STATUS_OBJECT_NAME_COLLISION);
    }
    // The bus driver's own device objects are not the driver under test's.
    EXPECT_NE(Pdo(emu::CompleteLikeBusDriver), nullptr);
    EXPECT_EQ(emu::CreateDeviceCalls(), 6u);
    emu::ClearCreateDeviceFaults();
    EXPECT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
}

TEST_F(IoTest, StacksGrowFromTheTopAndDeletedDevicesWaitForTheirLastReference) {
    PDEVICE_OBJECT pdo = Pdo(emu::CompleteLikeBusDriver);
    PDEVICE_OBJECT fdo = Device(io_test::PassDown, pdo);
    EXPECT_EQ(fdo->StackSize, 2);
    EXPECT_EQ(pdo->AttachedDevice, fdo);
    EXPECT_EQ(emu::LowerDeviceOf(fdo), pdo);
    // A filter attached "to the PDO" lands on top of the whole stack.
    PDEVICE_OBJECT filter = Device(io_test::PassDown, pdo);
    EXPECT_EQ(io_test::LowerOf(filter), fdo);
    EXPECT_EQ(filter->StackSize, 3);
    EXPECT_EQ(IoGetAttachedDevice(pdo), filter);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    EXPECT_EQ(top, filter);

    IoDetachDevice(fdo);
    IoDeleteDevice(filter);
    EXPECT_FALSE(emu::DeviceExists(filter));  // deleted, but its memory stays referenced
    ObDereferenceObject(top);
    {
        // Deleting a device still attached below another is refused.
        emu::ExpectBugCheck expect(emu::rule::kInvalidParameter);
        IoDeleteDevice(fdo);
        EXPECT_EQ(expect.Count(), 1);
        EXPECT_TRUE(emu::DeviceExists(fdo));
    }
    IoDetachDevice(pdo);
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    IoDeleteDevice(fdo);
    emu::DeletePhysicalDevice(pdo);
    EXPECT_EQ(emu::PoolOutstandingCount(emu::kDevicePoolTag), 0u);
}

TEST_F(IoTest, SymbolicLinksResolveApplicationNames) {
    Name device_name(u"\\Device\\Serial2");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver_, 0, &device_name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device),
              STATUS_SUCCESS);
    Name link(u"\\DosDevices\\COM5");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &device_name), STATUS_SUCCESS);
    // \DosDevices\ and \??\ are the same directory.
    EXPECT_EQ(emu::SymbolicLinkTarget("\\??\\COM5"), "\\Device\\Serial2");
    EXPECT_EQ(emu::SymbolicLinks().count("\\??\\COM5"), 1u);
    Name alias(u"\\??\\com5");
    EXPECT_EQ(IoCreateSymbolicLink(&alias, &device_name), STATUS_OBJECT_NAME_COLLISION);
    for (const char* name : {"COM5", "com5", "\\\\.\\COM5", "\\??\\COM5", "\\Device\\Serial2"}) {
        EXPECT_EQ(emu::ResolveApplicationName(name), device) << name;
    }
    EXPECT_EQ(emu::ResolveApplicationName("COM6"), nullptr);

    EXPECT_EQ(IoDeleteSymbolicLink(&alias), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(emu::ResolveApplicationName("COM5"), nullptr);
    EXPECT_EQ(emu::ResolveApplicationName("\\Device\\Serial2"), device);
}

TEST_F(IoTest, DeviceInterfacesRegisterEnableAndDisable) {
    static const GUID kComPort = {
        0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
    PDEVICE_OBJECT pdo = Pdo(emu::CompleteLikeBusDriver);
    PDEVICE_OBJECT fdo = Device(io_test::PassDown, pdo);

    UNICODE_STRING link{};
    EXPECT_EQ(IoRegisterDeviceInterface(fdo, &kComPort, nullptr, &link),
              STATUS_INVALID_DEVICE_REQUEST);  // only a physical device object has interfaces
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kComPort, nullptr, &link), STATUS_SUCCESS);
    std::string name = emu::ToNarrow(emu::FromUnicodeString(&link));
    EXPECT_NE(name.find("{86e0d1e0-8089-11d0-9ce4-08003e301f73}"), std::string::npos) << name;
    ASSERT_EQ(emu::DeviceInterfaces().size(), 1u);
    EXPECT_FALSE(emu::DeviceInterfaces()[0].enabled);
    EXPECT_EQ(emu::ResolveApplicationName(name), nullptr);

    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_TRUE(emu::DeviceInterfaces()[0].enabled);
    EXPECT_EQ(emu::ResolveApplicationName(name), pdo);  // an open goes to the top of its stack
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(emu::ResolveApplicationName(name), nullptr);

    // The name belongs to the caller, who frees it as the platform's strings are freed.
    RtlFreeUnicodeString(&link);
    EXPECT_EQ(emu::PoolOutstandingCount(emu::kRtlStringTag), 0u);
}

// A driver that allocates at entry and frees at unload (or forgets to).
constexpr ULONG kTestTag = emu::PoolTag("Test");
PVOID g_block = nullptr;
bool g_free_at_unload = true;
UNICODE_STRING g_seen_path{};
int g_unloads = 0;

VOID NTAPI TestUnload(PDRIVER_OBJECT) {
    ++g_unloads;
    if (g_free_at_unload) {
        ExFreePoolWithTag(g_block, kTestTag);
    }
}

NTSTATUS NTAPI TestEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    g_seen_path = *path;
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    g_block = ExAllocatePoolWithTag(PagedPool, 16, kTestTag);
    driver->DriverUnload = TestUnload;
    driver->DriverExtension->AddDevice = [](PDRIVER_OBJECT d, PDEVICE_OBJECT pdo) -> NTSTATUS {
        return pdo ? STATUS_SUCCESS : STATUS_NO_MORE_ENTRIES;
    };
    return g_block ? STATUS_SUCCESS : STATUS_NO_MEMORY;
}

TEST_F(IoTest, LoadingAndUnloadingADriverChecksWhatItLeaves) {
    g_unloads = 0;
    g_free_at_unload = true;
    emu::LoadedDriver loaded = emu::LoadDriver(TestEntry, "Quella", kTestTag);
    ASSERT_EQ(loaded.status, STATUS_SUCCESS);
    EXPECT_EQ(emu::ToNarrow(emu::FromUnicodeString(&g_seen_path)),
              "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Quella");
    EXPECT_EQ(emu::ToNarrow(emu::FromUnicodeString(&loaded.driver->DriverName)),
              "\\Driver\\Quella");
    EXPECT_EQ(emu::CallAddDevice(loaded.driver, nullptr), STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(emu::CallAddDevice(loaded.driver, Pdo(emu::CompleteLikeBusDriver)), STATUS_SUCCESS);
    EXPECT_TRUE(emu::UnloadDriver(loaded.driver));
    EXPECT_EQ(g_unloads, 1);

    // A driver that forgets a block is reported at unload.
    g_free_at_unload = false;
    loaded = emu::LoadDriver(TestEntry, "Quella", kTestTag);
    {
        emu::ExpectBugCheck expect(emu::rule::kPoolLeakAtUnload);
        EXPECT_FALSE(emu::UnloadDriver(loaded.driver));
        EXPECT_EQ(expect.Count(), 1);
    }
    ExFreePoolWithTag(g_block, kTestTag);

    // A failing entry leaves no driver object.
    emu::PoolFaultScope no_memory(emu::PoolFault::Every(emu::PoolTagIs(kTestTag)));
    loaded = emu::LoadDriver(TestEntry, "Quella", kTestTag);
    EXPECT_EQ(loaded.status, STATUS_NO_MEMORY);
    EXPECT_EQ(loaded.driver, nullptr);
    EXPECT_EQ(emu::LoadedDrivers().size(), 2u);  // the test driver and the bus driver
    g_seen_path = UNICODE_STRING{};
}

}  // namespace
