// External names: the COM name, the SERIALCOMM device-map value and the COM-port device
// interface, created at the first start and gone after removal; and the registry reader.
#include "driver/naming.h"

#include "emu/app/handle.h"
#include "emu/kernel/io_manager.h"
#include "emu/kernel/pool.h"
#include "tests/lifecycle/lifecycle_fixture.h"

namespace quella_test {
namespace {

class NamingTest : public LifecycleTest {
  protected:
    // Removes the port through Plug and Play and checks every external name went with it.
    void RemoveAndExpectNoNames(emu::usb::UsbBus& bus, PDEVICE_OBJECT device,
                                const std::string& com_name) {
        std::string deviceName = emu::DeviceNameOf(device);
        ASSERT_EQ(emu::PnpRemove(bus.Pdo()), STATUS_SUCCESS);
        Forget(device);
        EXPECT_FALSE(emu::DeviceExists(device));
        EXPECT_EQ(emu::ResolveApplicationName(com_name), nullptr);
        EXPECT_FALSE(emu::SymbolicLinkTarget("\\DosDevices\\" + com_name).has_value());
        EXPECT_FALSE(emu::RegistryGetValue(SerialCommKey(), emu::ToU16(deviceName)).has_value());
        for (const emu::DeviceInterfaceInfo& info : ComPortInterfaces(bus.Pdo())) {
            EXPECT_FALSE(info.enabled) << info.link_name;
        }
        EXPECT_FALSE(emu::WmiRegistered(device));
        EXPECT_EQ(emu::RegistryOpenHandleCount(), 0u);
        EXPECT_TRUE(Unload());
        EXPECT_EQ(emu::PoolOutstandingCount(emu::kRtlStringTag), 0u) << "interface name kept";
    }
};

TEST_F(NamingTest, FirstStartPublishesTheComNameAndRemovalTakesItAway) {
    emu::usb::UsbBus& bus = NewChipBus(u"COM5");
    PDEVICE_OBJECT device = Plug(bus);
    ASSERT_NE(device, nullptr);

    EXPECT_EQ(emu::ResolveApplicationName("COM5"), device);
    EXPECT_EQ(emu::SymbolicLinkTarget("\\DosDevices\\COM5"), emu::DeviceNameOf(device));
    // The name leads an application's open to this driver (whose open is not built yet and
    // refuses), not to "no such name".
    emu::app::Handle handle;
    EXPECT_EQ(handle.Open("COM5"), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(handle.Open("COM6"), STATUS_OBJECT_NAME_NOT_FOUND);

    EXPECT_EQ(SerialCommValue(device), u"COM5");
    std::vector<emu::DeviceInterfaceInfo> interfaces = ComPortInterfaces(bus.Pdo());
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_TRUE(interfaces[0].enabled);
    // The interface names the bus device; an open through it reaches the stack's top, the port.
    EXPECT_EQ(emu::ResolveApplicationName(interfaces[0].link_name), bus.Pdo());
    // The WMI port-name block reads this copy.
    PSERIAL_PORT_EXTENSION port = PortOf(device);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(port->PortNameCopy.Buffer),
                             port->PortNameCopy.Length / 2),
              u"COM5");

    RemoveAndExpectNoNames(bus, device, "COM5");
}

TEST_F(NamingTest, SkipExternalNamingCreatesNothingAndRemovalTouchesNothing) {
    emu::usb::UsbBus& bus = NewChipBus(u"COM5");
    emu::RegistrySetDword(DeviceKey(bus), u"SerialSkipExternalNaming", 1);
    // Someone else's entry under the same value name stays as it is.
    PDEVICE_OBJECT device = Plug(bus);
    ASSERT_NE(device, nullptr);
    std::u16string deviceName = emu::ToU16(emu::DeviceNameOf(device));
    emu::RegistrySetString(SerialCommKey(), deviceName, u"OTHER");

    EXPECT_EQ(emu::ResolveApplicationName("COM5"), nullptr);
    EXPECT_TRUE(ComPortInterfaces(bus.Pdo()).empty());
    EXPECT_EQ(PortOf(device)->PnpState, PNP_STATE_STARTED);
    EXPECT_EQ(emu::ResolveApplicationName(emu::DeviceNameOf(device)), device);

    ASSERT_EQ(emu::PnpRemove(bus.Pdo()), STATUS_SUCCESS);
    Forget(device);
    EXPECT_EQ(emu::RegistryGetValue(SerialCommKey(), deviceName)->String(), u"OTHER");
}

TEST_F(NamingTest, IdentifierServesWhenPortNameIsMissingOrEmpty) {
    for (const std::u16string& portName : {std::u16string(), std::u16string(u"\0", 1)}) {
        SCOPED_TRACE(portName.empty() ? "no PortName" : "empty PortName");
        emu::usb::UsbBus& bus = NewChipBus(u"");
        if (!portName.empty()) {
            emu::RegistrySetValue(DeviceKey(bus), u"PortName", emu::RegistryString(u""));
        }
        emu::RegistrySetString(DeviceKey(bus), u"Identifier", u"COM7");
        PDEVICE_OBJECT device = Plug(bus);
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(emu::ResolveApplicationName("COM7"), device);
        EXPECT_EQ(SerialCommValue(device), u"COM7");
        ASSERT_EQ(emu::PnpRemove(bus.Pdo()), STATUS_SUCCESS);
        Forget(device);
        EXPECT_EQ(emu::ResolveApplicationName("COM7"), nullptr);
    }
}

TEST_F(NamingTest, NoUsableNameLeavesThePortWorkingWithoutNames) {
    emu::usb::UsbBus& bus = NewChipBus(u"");
    // A name longer than the 256-byte read buffer is no name.
    emu::RegistrySetString(DeviceKey(bus), u"PortName", std::u16string(129, u'C'));
    PDEVICE_OBJECT device = Plug(bus);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(PortOf(device)->PnpState, PNP_STATE_STARTED);
    EXPECT_TRUE(emu::SymbolicLinks().empty());
    EXPECT_FALSE(SerialCommValue(device).has_value());
    EXPECT_TRUE(ComPortInterfaces(bus.Pdo()).empty());
    EXPECT_EQ(PortOf(device)->PortNameCopy.Buffer, nullptr);
}

TEST_F(NamingTest, LongPortNameGivesAnEmptyDeviceMapEntry) {
    std::u16string longName = u"COM" + std::u16string(30, u'9');  // 33 characters
    emu::usb::UsbBus& bus = NewChipBus(longName);
    PDEVICE_OBJECT device = Plug(bus);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(emu::ResolveApplicationName(emu::ToNarrow(longName)), device);
    EXPECT_EQ(SerialCommValue(device), u"");
}

TEST_F(NamingTest, FailingDeviceMapWriteUndoesTheLink) {
    emu::usb::UsbBus& bus = NewChipBus(u"COM5");
    emu::RegistryFailNextWrite(SerialCommKey(), u"", STATUS_ACCESS_DENIED);
    PDEVICE_OBJECT device = Plug(bus);
    ASSERT_NE(device, nullptr);
    emu::RegistryClearFaults();

    PSERIAL_PORT_EXTENSION port = PortOf(device);
    EXPECT_EQ(port->PnpState, PNP_STATE_STARTED);
    EXPECT_EQ(emu::ResolveApplicationName("COM5"), nullptr);
    EXPECT_FALSE(SerialCommValue(device).has_value());
    EXPECT_TRUE(ComPortInterfaces(bus.Pdo()).empty());
    EXPECT_FALSE(port->CreatedSymbolicLink);
    EXPECT_FALSE(port->CreatedSerialCommEntry);
    EXPECT_EQ(port->SymbolicLinkName.Buffer, nullptr);
    EXPECT_EQ(port->DosName.Buffer, nullptr);
    EXPECT_EQ(port->PortNameCopy.Buffer, nullptr);
    RemoveAndExpectNoNames(bus, device, "COM5");
}

// The registry reader on a key of the test's own.
TEST_F(NamingTest, QueryRegistryValueNeverHandsBackWhatDidNotFit) {
    std::u16string keyPath = u"\\Registry\\Machine\\System\\QuellaTest";
    emu::RegistrySetDword(keyPath, u"Small", 0x1234);
    emu::RegistrySetString(keyPath, u"Name", u"COM12");
    emu::RegistrySetString(keyPath, u"Long", std::u16string(3, u'x'));  // 8 bytes with its end

    UNICODE_STRING path;
    static WCHAR pathText[] = L"\\Registry\\Machine\\System\\QuellaTest";
    RtlInitUnicodeString(&path, pathText);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    HANDLE key = NULL;
    ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_SUCCESS);

    ULONG value = 0;
    EXPECT_EQ(QueryRegistryValue(key, L"Small", sizeof(L"Small"), &value, sizeof(value)),
              STATUS_SUCCESS);
    EXPECT_EQ(value, 0x1234u);

    WCHAR name[8] = {};
    EXPECT_EQ(QueryRegistryValue(key, L"Name", sizeof(L"Name"), name, sizeof(name)),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(name)), u"COM12");

    // Longer than the caller's buffer: the buffer keeps its contents and the read fails.
    ULONG preset = 0xA5A5A5A5;
    EXPECT_EQ(QueryRegistryValue(key, L"Long", sizeof(L"Long"), &preset, sizeof(preset)),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(preset, 0xA5A5A5A5u);

    EXPECT_EQ(QueryRegistryValue(key, L"Missing", sizeof(L"Missing"), &value, sizeof(value)),
              STATUS_OBJECT_NAME_NOT_FOUND);
    {
        emu::PoolFaultScope fail(emu::PoolFault::Every(emu::PoolTagIs(QUELLA_POOL_TAG)));
        EXPECT_EQ(QueryRegistryValue(key, L"Small", sizeof(L"Small"), &value, sizeof(value)),
                  STATUS_INSUFFICIENT_RESOURCES);
    }
    ZwClose(key);
}

}  // namespace
}  // namespace quella_test
