#include "tests/driver/support/driver_harness.h"

#include <algorithm>

#include "driver/entry.h"
#include "driver/routines.h"
#include "emu/kernel/io_manager.h"
#include "emu/kernel/pnp.h"
#include "emu/kernel/registry.h"
#include "usb/configure.h"

namespace quella_test {

void SetExtBaudrate(const std::optional<std::u16string>& value) {
    std::u16string key = emu::ServiceKeyPath(kServiceName);
    if (value) {
        emu::RegistrySetString(key, u"ExtBaudrate", *value);
    } else {
        emu::RegistryCreateKey(key);
        emu::RegistryDeleteValue(key, u"ExtBaudrate");
    }
}

NTSTATUS LoadQuella(PDRIVER_OBJECT* driver) {
    emu::LoadedDriver loaded = emu::LoadDriver(DriverEntry, kServiceName, QUELLA_POOL_TAG);
    *driver = loaded.driver;
    return loaded.status;
}

namespace {

// What removal does for a port whose Plug and Play dispatch a test replaced: detach the port
// from the bus device, free the port's own allocations and delete the device object.
void RemoveByHand(PDEVICE_OBJECT port) {
    PSERIAL_PORT_EXTENSION Port = PortOf(port);
    if (Port->LowerDeviceObject != nullptr) {
        IoDetachDevice(Port->LowerDeviceObject);
    }
    if (Port->DeviceName.Buffer != nullptr) {
        ExFreePoolWithTag(Port->DeviceName.Buffer, QUELLA_POOL_TAG);
    }
    FreeInterfaceCopies(Port);
    IoDeleteDevice(port);
}

}  // namespace

void RemovePortDevice(PDEVICE_OBJECT port) {
    if (port->DriverObject->MajorFunction[IRP_MJ_PNP] != DispatchPnp) {
        RemoveByHand(port);
        return;
    }
    PDEVICE_OBJECT pdo = emu::LowerDeviceOf(port);
    ASSERT_NE(pdo, nullptr) << "a port without a bus device below it";
    // An orderly removal; a port that refuses it (an application still has it open) goes the
    // way of an unplugged device.
    if (!NT_SUCCESS(emu::PnpRemove(pdo))) {
        EXPECT_EQ(emu::PnpSurpriseRemove(pdo), STATUS_SUCCESS);
    }
    EXPECT_FALSE(emu::DeviceExists(port)) << "Plug and Play removal left the port behind";
}

std::shared_ptr<emu::usb::UsbDeviceModel> AcceptingDevice() {
    return std::make_shared<emu::usb::FunctionDeviceModel>(
        [](URB&, const emu::usb::UrbTransfer&) { return emu::usb::UrbResult::Success(); });
}

void DriverTest::SetUp() {
    kernel_ = std::make_unique<emu::Kernel>();
}

void DriverTest::TearDown() {
    if (driver_ != nullptr) {
        EXPECT_TRUE(Unload());
    }
    buses_.clear();
    kernel_.reset();
}

void DriverTest::Load(std::optional<std::u16string> ext_baudrate) {
    SetExtBaudrate(ext_baudrate);
    ASSERT_EQ(LoadQuella(&driver_), STATUS_SUCCESS);
}

bool DriverTest::Unload() {
    for (PDEVICE_OBJECT port : ports_) {
        RemovePortDevice(port);
    }
    ports_.clear();
    bool clean = emu::UnloadDriver(driver_);
    driver_ = nullptr;
    return clean;
}

emu::usb::UsbBus& DriverTest::NewBus() {
    buses_.push_back(std::make_unique<emu::usb::UsbBus>("usb" + std::to_string(buses_.size())));
    buses_.back()->Attach(AcceptingDevice());
    return *buses_.back();
}

PDEVICE_OBJECT DriverTest::AddPort(emu::usb::UsbBus& bus, NTSTATUS* status) {
    std::vector<PDEVICE_OBJECT> before = emu::DevicesOf(driver_);
    NTSTATUS result = emu::CallAddDevice(driver_, bus.Pdo());
    if (status != nullptr) {
        *status = result;
    }
    if (!NT_SUCCESS(result)) {
        return nullptr;
    }
    for (PDEVICE_OBJECT device : emu::DevicesOf(driver_)) {
        if (std::find(before.begin(), before.end(), device) == before.end()) {
            ports_.push_back(device);
            return device;
        }
    }
    ADD_FAILURE() << "AddDevice succeeded without creating a device object";
    return nullptr;
}

void DriverTest::RemovePort(PDEVICE_OBJECT port) {
    RemovePortDevice(port);
    ports_.erase(std::remove(ports_.begin(), ports_.end(), port), ports_.end());
}

}  // namespace quella_test
