#include "tests/pipes/support/pipe_fixture.h"

namespace quella_test {

using emu::usb::UrbAction;
using emu::usb::UrbRecord;

void PipeTest::TearDown() {
    if (port_ != nullptr) {
        StopAllPipes(port_);
        emu::Settle();
        for (ULONG pipe = 0; pipe < PIPE_COUNT; ++pipe) {
            EXPECT_FALSE(PipeTransferInFlight(port_, pipe)) << "pipe " << pipe;
        }
        EXPECT_TRUE(IsListEmpty(&port_->PipeTransfers));
        EXPECT_EQ(port_->PendingWriteTransfers, 0);
        EXPECT_EQ(port_->PendingControlTransfers, 0);
    }
    ChipTest::TearDown();
}

void PipeTest::PlugOpen(emu::usb::BridgeChipOptions options) {
    Plug(options);
    Configure();
    port_->OpenCount = 1;
}

std::vector<UrbRecord> PipeTest::Transfers(uint8_t endpoint) const {
    std::vector<UrbRecord> picked;
    for (const UrbRecord& record : bus_->Log()) {
        if (record.id > mark_ && record.endpoint == endpoint) {
            picked.push_back(record);
        }
    }
    return picked;
}

void PipeTest::HoldBulkOut() {
    bus_->SetPolicy([](const UrbRecord& record) {
        return record.endpoint == emu::usb::kBridgeBulkOut ? UrbAction::Never() : UrbAction::Now();
    });
}

bool PipeTest::ReleaseBulkOut(size_t which) {
    for (const UrbRecord& record : bus_->Log()) {
        if (record.endpoint != emu::usb::kBridgeBulkOut ||
            record.outcome != emu::usb::UrbOutcome::Pending || which-- > 0) {
            continue;
        }
        const bool delivered = bus_->DeliverNow(record.id);
        emu::Settle();
        return delivered;
    }
    return false;
}

emu::PoolFilter DriverPoolOrIrps() {
    return [](const emu::PoolAllocation& allocation) {
        return allocation.tag == QUELLA_POOL_TAG || allocation.tag == emu::kIrpPoolTag;
    };
}

}  // namespace quella_test
