// The fixture of the lifecycle tests: the driver loaded, emulated bridge chips on USB buses, and
// ports driven through their life by the emulated Plug and Play manager. Tests look at what the
// platform sees (names, registry, WMI registration, requests completing) and, where the state
// has no outside view yet (the admission flags, the request counts), at the port extension.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emu/app/handle.h"
#include "emu/kernel/namespace.h"
#include "emu/kernel/pnp.h"
#include "emu/kernel/registry.h"
#include "emu/usb/bridge_chip.h"
#include "tests/driver/support/driver_harness.h"
#include "tests/usb/bridge_guard.h"

namespace quella_test {

class LifecycleTest : public DriverTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // A bus with a bridge chip behind it and "PortName" = `port_name` in the device key (none
    // for an empty name).
    emu::usb::UsbBus& NewChipBus(const std::u16string& port_name = u"COM5",
                                 emu::usb::BridgeChipOptions options = {});
    // The device hardware key of the bus device.
    static std::u16string DeviceKey(emu::usb::UsbBus& bus);

    // AddDevice, then the start the Plug and Play manager sends with its follow-up queries. The
    // port is tracked, so TearDown removes it if the test does not.
    PDEVICE_OBJECT Plug(emu::usb::UsbBus& bus, NTSTATUS expected_start = STATUS_SUCCESS);
    // For a port the test removed itself: TearDown must not remove it again.
    void Forget(PDEVICE_OBJECT port);

    // An application's file on the port, to send requests on. The open request belongs to a
    // subsystem not built yet, so the file is made directly instead of by opening the COM name.
    std::shared_ptr<emu::app::FileState> FileOn(PDEVICE_OBJECT port);

    std::shared_ptr<emu::usb::BridgeChip> chip_;
};

// The SERIALCOMM device-map key and its value for a device name, if present.
std::u16string SerialCommKey();
std::optional<std::u16string> SerialCommValue(PDEVICE_OBJECT port);
// The device interfaces of the COM-port class registered on a bus device.
std::vector<emu::DeviceInterfaceInfo> ComPortInterfaces(PDEVICE_OBJECT pdo);

}  // namespace quella_test
