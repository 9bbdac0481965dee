#include "tests/lifecycle/lifecycle_fixture.h"

#include <algorithm>
#include <cstring>

#include "emu/kernel/io_manager.h"
#include "emu/kernel/namespace.h"

namespace quella_test {

void LifecycleTest::SetUp() {
    DriverTest::SetUp();
    Load();
}

void LifecycleTest::TearDown() {
    if (chip_ != nullptr) {
        ExpectNoChipViolations(*chip_);
    }
    DriverTest::TearDown();
    chip_.reset();
}

emu::usb::UsbBus& LifecycleTest::NewChipBus(const std::u16string& port_name,
                                            emu::usb::BridgeChipOptions options) {
    emu::usb::UsbBus& bus = NewBus();
    chip_ = std::make_shared<emu::usb::BridgeChip>(options);
    bus.Attach(chip_);
    emu::RegistryCreateKey(DeviceKey(bus));
    if (!port_name.empty()) {
        emu::RegistrySetString(DeviceKey(bus), u"PortName", port_name);
    }
    return bus;
}

std::u16string LifecycleTest::DeviceKey(emu::usb::UsbBus& bus) {
    return emu::DeviceParametersPath(bus.Pdo());
}

PDEVICE_OBJECT LifecycleTest::Plug(emu::usb::UsbBus& bus, NTSTATUS expected_start) {
    PDEVICE_OBJECT port = AddPort(bus);
    EXPECT_NE(port, nullptr);
    if (port != nullptr) {
        EXPECT_EQ(emu::PnpStart(bus.Pdo()), expected_start);
    }
    return port;
}

void LifecycleTest::Forget(PDEVICE_OBJECT port) {
    ports_.erase(std::remove(ports_.begin(), ports_.end(), port), ports_.end());
}

std::shared_ptr<emu::app::FileState> LifecycleTest::FileOn(PDEVICE_OBJECT port) {
    auto file = std::make_shared<emu::app::FileState>();
    file->name = emu::DeviceNameOf(port);
    file->device = port;
    file->file_object.Type = IO_TYPE_FILE;
    file->file_object.Size = sizeof(FILE_OBJECT);
    file->file_object.DeviceObject = port;
    return file;
}

std::u16string SerialCommKey() {
    return emu::RegistryJoin(emu::kRegistryDeviceMapPath, u"SERIALCOMM");
}

std::optional<std::u16string> SerialCommValue(PDEVICE_OBJECT port) {
    std::optional<emu::RegistryValue> value =
        emu::RegistryGetValue(SerialCommKey(), emu::ToU16(emu::DeviceNameOf(port)));
    if (!value) {
        return std::nullopt;
    }
    EXPECT_EQ(value->type, ULONG(REG_SZ));
    return value->String();
}

std::vector<emu::DeviceInterfaceInfo> ComPortInterfaces(PDEVICE_OBJECT pdo) {
    std::vector<emu::DeviceInterfaceInfo> found;
    for (const emu::DeviceInterfaceInfo& info : emu::DeviceInterfaces()) {
        if (info.pdo == pdo &&
            memcmp(&info.class_guid, &GUID_DEVINTERFACE_COMPORT, sizeof(GUID)) == 0) {
            found.push_back(info);
        }
    }
    return found;
}

}  // namespace quella_test
