// The fixture of the chip-protocol tests: the driver loaded, a port added above a bus with an
// emulated bridge chip behind it, and what the tests look at: the chip protocol on the wire
// (vendor and class requests since a mark), the chip's state and the port's. The port is not
// started (its start sequence belongs to another layer), so a test sets the port state a
// routine depends on, ChipType above all, as the start would have.
//
// TearDown fails the test for any protocol violation the chip recorded, any URB still
// pending, and (through the driver unload) any pool of the driver's left behind.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emu/kernel/pool.h"
#include "emu/usb/bridge_chip.h"
#include "emu/usb/wire_log.h"
#include "tests/driver/support/driver_harness.h"
#include "tests/usb/bridge_guard.h"

namespace quella_test {

class ChipTest : public DriverTest {
  protected:
    void TearDown() override;
    // A fresh machine within the same test (for tests that walk the generations).
    void Restart();

    // Loads the driver (with ExtBaudrate), plugs a chip on a new bus and adds the port. The
    // port's ChipType is the chip's generation unless `chip_type` says otherwise.
    void Plug(emu::usb::BridgeChipOptions options = {},
              std::optional<std::u16string> ext_baudrate = std::nullopt,
              std::optional<LONG> chip_type = std::nullopt);

    // Runs identification and configuration as a start would (ChipType -1 first); asserts
    // success.
    void Configure();

    // Vendor and class requests since the last Mark() (or since Plug).
    std::vector<emu::usb::ControlTransfer> Traffic() const;
    // Every control transfer (descriptor reads and selections too) since the last Mark().
    std::vector<emu::usb::ControlTransfer> AllTraffic() const;
    void Mark();

    // The driver's pool blocks right now.
    size_t DriverPool() const { return emu::PoolOutstandingCount(QUELLA_POOL_TAG); }

    emu::usb::UsbBus* bus_ = nullptr;
    std::shared_ptr<emu::usb::BridgeChip> chip_;
    PDEVICE_OBJECT device_ = nullptr;
    PSERIAL_PORT_EXTENSION port_ = nullptr;
    size_t base_pool_ = 0;  // the driver's blocks once the port exists
    uint64_t mark_ = 0;
};

// Runs `body` on the calling thread at DISPATCH_LEVEL.
void AtDispatchLevel(const std::function<void()>& body);

// How many allocations `run` makes that pass `filter`.
uint64_t CountAllocations(const std::function<void()>& run, emu::PoolFilter filter = {});

// Runs `run(k)` once for each allocation it makes (as counted by a first, fault-free run of
// `run(0)`), with the k-th allocation failing. `filter` picks the allocations considered.
void ForEachAllocationFailure(const std::function<void(uint64_t k)>& run,
                              emu::PoolFilter filter = {});

// Only the transfers with this wValue.
std::vector<emu::usb::ControlTransfer> WithValue(const std::vector<emu::usb::ControlTransfer>& all,
                                                 uint16_t value);
// Without the EEPROM busy polls (their number depends on the chip's timing).
std::vector<emu::usb::ControlTransfer> WithoutBusyPolls(
    const std::vector<emu::usb::ControlTransfer>& all);

}  // namespace quella_test
