// A small harness for the driver's tests: an emulated machine with the driver loaded (with a
// chosen ExtBaudrate in its service key), USB buses to put ports on, and the removal of a port
// through the Plug and Play manager.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/port.h"
#include "emu/kernel/kernel.h"
#include "emu/usb/usb_bus.h"

namespace quella_test {

constexpr char kServiceName[] = "quella";

// Sets ExtBaudrate in the driver's service key (REG_SZ), or removes it for nullopt.
void SetExtBaudrate(const std::optional<std::u16string>& value);

// Loads the driver; the loader checks that a failed entry leaves none of the driver's pool.
NTSTATUS LoadQuella(PDRIVER_OBJECT* driver);

// Removes a port as Plug and Play does (query-remove and remove; surprise removal and remove
// when the query is refused); the port's device object is gone afterwards. A port whose Plug and
// Play dispatch a test replaced is detached, freed and deleted by hand instead.
void RemovePortDevice(PDEVICE_OBJECT port);

// A USB device model that answers every URB with success and moves no data.
std::shared_ptr<emu::usb::UsbDeviceModel> AcceptingDevice();

// Test fixture: a machine with the driver loaded. TearDown removes the ports the test left and
// unloads the driver, which fails the test if any pool of the driver's tag is left.
class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Loads the driver (once per test) with the given ExtBaudrate value.
    void Load(std::optional<std::u16string> ext_baudrate = std::nullopt);
    // Unloads the driver after removing every port; true when nothing was left behind.
    bool Unload();

    // A new USB bus with a device that accepts every request.
    emu::usb::UsbBus& NewBus();
    // AddDevice for the bus device; the port's device object, or null with *status set.
    PDEVICE_OBJECT AddPort(emu::usb::UsbBus& bus, NTSTATUS* status = nullptr);
    void RemovePort(PDEVICE_OBJECT port);

    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<PDEVICE_OBJECT> ports_;
    std::unique_ptr<emu::Kernel> kernel_;
    std::vector<std::unique_ptr<emu::usb::UsbBus>> buses_;
};

}  // namespace quella_test
