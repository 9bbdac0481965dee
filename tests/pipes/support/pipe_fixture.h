// The fixture of the pipe-transfer tests: a port above an emulated bridge chip, identified and
// configured as a start leaves it, with its data pipes ready to use.
//
// The tests set OpenCount, AcceptFlags and the write and hold members of the port directly:
// open, removal and the data path that own them are not built yet, and the pipe logic only
// reads them. TearDown stops every pipe, as removal will, and then checks that no transfer, no
// request and no pool block of the driver is left.
#pragma once

#include <functional>
#include <vector>

#include "emu/kernel/io_manager.h"
#include "tests/chip/support/chip_fixture.h"
#include "usb/pipe_transfer.h"

namespace quella_test {

class PipeTest : public ChipTest {
  protected:
    void TearDown() override;

    // Plugs and configures the chip; the port then counts as open (OpenCount 1).
    void PlugOpen(emu::usb::BridgeChipOptions options = {});

    // The bulk and interrupt transfers of one endpoint since the last Mark(), oldest first.
    std::vector<emu::usb::UrbRecord> Transfers(uint8_t endpoint) const;

    // Holds every bulk-out transfer at the bus until ReleaseBulkOut delivers one to the chip
    // (the `which`-th still held, oldest first) and settles. False when there is no such one.
    void HoldBulkOut();
    bool ReleaseBulkOut(size_t which = 0);

    // What a leak check compares: live requests and the driver's pool blocks.
    size_t LiveIrps() const { return emu::LiveIrpCount(); }
};

// The driver's pool and the I/O manager's request allocations (IoAllocateIrp).
emu::PoolFilter DriverPoolOrIrps();

}  // namespace quella_test
