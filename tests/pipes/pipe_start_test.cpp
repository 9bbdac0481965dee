// Starting transfers: which endpoint each pipe index reaches in both layouts, what a transfer
// carries, how the bulk-out pipe keeps several transfers apart, and every allocation failure.
#include <numeric>

#include "datapath/entry_points.h"
#include "tests/pipes/support/pipe_fixture.h"

namespace quella_test {
namespace {

using emu::usb::BridgeChipOptions;
using emu::usb::kBridgeBulkIn;
using emu::usb::kBridgeBulkOut;
using emu::usb::kBridgeInterruptIn;
using emu::usb::PipeLayout;
using emu::usb::UrbOutcome;
using Bytes = std::vector<uint8_t>;

TEST_F(PipeTest, BothLayoutsMapEachPipeIndexToItsEndpoint) {
    for (PipeLayout layout : {PipeLayout::Single, PipeLayout::Two}) {
        SCOPED_TRACE(layout == PipeLayout::Single ? "one interface" : "two interfaces");
        BridgeChipOptions options;
        options.layout = layout;
        Plug(options);
        // Before a configuration there is no pipe: nothing is allocated or sent.
        EXPECT_EQ(StartPipeTransfer(device_, PIPE_BULK_IN, nullptr, 384, CARGO_INPUT),
                  STATUS_INVALID_DEVICE_STATE);
        EXPECT_TRUE(bus_->Log().empty());
        Configure();

        const UCHAR data[3] = {7, 8, 9};
        EXPECT_EQ(StartPipeTransfer(device_, PIPE_INTERRUPT_IN, nullptr, 10, CARGO_INPUT),
                  STATUS_PENDING);
        // The chip may take bulk-out bytes before the bus has queued the request.
        EXPECT_TRUE(NT_SUCCESS(StartPipeTransfer(device_, PIPE_BULK_OUT, data, 3, CARGO_WRITE)));
        EXPECT_EQ(StartPipeTransfer(device_, PIPE_BULK_IN, nullptr, 384, CARGO_INPUT),
                  STATUS_PENDING);
        EXPECT_EQ(StartPipeTransfer(device_, 3, data, 1, CARGO_WRITE), STATUS_INVALID_PARAMETER);
        emu::Settle();

        std::vector<emu::usb::UrbRecord> in = Transfers(kBridgeInterruptIn);
        std::vector<emu::usb::UrbRecord> out = Transfers(kBridgeBulkOut);
        std::vector<emu::usb::UrbRecord> bulk = Transfers(kBridgeBulkIn);
        ASSERT_EQ(in.size(), 1u);
        ASSERT_EQ(out.size(), 1u);
        ASSERT_EQ(bulk.size(), 1u);
        EXPECT_EQ(in[0].transfer_flags, ULONG(USBD_TRANSFER_DIRECTION_IN));
        EXPECT_EQ(in[0].requested_length, 10u);
        EXPECT_EQ(out[0].transfer_flags, ULONG(USBD_TRANSFER_DIRECTION_OUT));
        EXPECT_EQ(out[0].data_out, Bytes({7, 8, 9}));
        EXPECT_EQ(bulk[0].transfer_flags,
                  ULONG(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));
        EXPECT_EQ(bulk[0].requested_length, 384u);
        EXPECT_EQ(chip_->FarEndReceived(), Bytes({7, 8, 9}));
        Restart();
    }
}

TEST_F(PipeTest, BulkOutCopiesItsBytesAndSendsZeroLengthPackets) {
    PlugOpen();
    HoldBulkOut();
    UCHAR data[4] = {1, 2, 3, 4};
    port_->WriteNextByte = data;
    port_->WriteBytesLeft = 4;
    port_->WriteInFlight = 4;
    EXPECT_EQ(StartPipeTransfer(device_, PIPE_BULK_OUT, data, 4, CARGO_WRITE), STATUS_PENDING);
    data[0] = 0xEE;  // the caller's memory is free again at once
    // The write-timeout kick: no source, a zero-length packet.
    EXPECT_EQ(StartPipeTransfer(device_, PIPE_BULK_OUT, nullptr, 0, CARGO_WRITE), STATUS_PENDING);
    EXPECT_EQ(port_->PendingWriteTransfers, 2);
    EXPECT_TRUE(PipeTransferInFlight(port_, PIPE_BULK_OUT));

    ASSERT_TRUE(ReleaseBulkOut());
    EXPECT_EQ(port_->WriteBytesLeft, 0);
    EXPECT_EQ(port_->WriteNextByte, data + 4);
    port_->WriteInFlight = 1;
    ASSERT_TRUE(ReleaseBulkOut());
    EXPECT_EQ(port_->WriteInFlight, 0u);  // the kick reached the transmit logic with 0 bytes
    EXPECT_EQ(chip_->BulkOutPackets(), std::vector<Bytes>({{1, 2, 3, 4}, {}}));
    EXPECT_EQ(chip_->ZeroLengthPackets(), 1u);
    EXPECT_EQ(port_->PendingWriteTransfers, 0);
    EXPECT_FALSE(PipeTransferInFlight(port_, PIPE_BULK_OUT));
}

// A one-byte XON, XOFF or immediate character beside a write chunk never counts against the
// write, whichever completes first; a failed chunk is not counted at all.
TEST_F(PipeTest, BulkOutCompletionsCountOnlyAgainstWhatTheyCarry) {
    PlugOpen();
    Bytes data(600);
    std::iota(data.begin(), data.end(), 0);
    port_->RxBufferSize = 4096;
    port_->WriteChunkLimit = 256;
    port_->WriteNextByte = data.data();
    port_->WriteBytesLeft = 600;
    HoldBulkOut();
    SendWriteStart(port_);
    EXPECT_EQ(SendCharacter(device_, 0x11), STATUS_PENDING);
    EXPECT_EQ(port_->PendingWriteTransfers, 2);

    ASSERT_TRUE(ReleaseBulkOut(1));  // the XON (the newest) first: the chunk still counts
    EXPECT_TRUE(PipeTransferInFlight(port_, PIPE_BULK_OUT));
    EXPECT_EQ(port_->WriteBytesLeft, 600);
    EXPECT_EQ(port_->WriteNextByte, data.data());
    EXPECT_EQ(port_->WriteInFlight, 256u);
    ASSERT_TRUE(ReleaseBulkOut());  // then the chunk: the next one starts
    EXPECT_EQ(port_->WriteBytesLeft, 344);
    while (ReleaseBulkOut()) {
    }
    EXPECT_EQ(port_->WriteBytesLeft, 0);
    Bytes expected = {0x11};
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(chip_->FarEndReceived(), expected);
    EXPECT_EQ(port_->PendingWriteTransfers, 0);

    bus_->SetPolicy([](const emu::usb::UrbRecord& record) {
        return record.endpoint == kBridgeBulkOut
                   ? emu::usb::UrbAction::Fail(emu::usb::UrbResult::Stall())
                   : emu::usb::UrbAction::Now();
    });
    port_->WriteNextByte = data.data();
    port_->WriteBytesLeft = 10;
    SendWriteStart(port_);
    emu::Settle();
    EXPECT_EQ(port_->WriteBytesLeft, 10);
    EXPECT_EQ(port_->WriteNextByte, data.data());
}

// With the bulk-out slot naming only the newest transfer, the older ones would have no owner.
TEST_F(PipeTest, StoppingBulkOutCancelsAndFreesEveryTransferInFlight) {
    PlugOpen();
    const size_t irps = LiveIrps();
    const size_t pool = DriverPool();
    HoldBulkOut();
    const UCHAR chunk[8] = {};
    ASSERT_EQ(StartPipeTransfer(device_, PIPE_BULK_OUT, chunk, 8, CARGO_WRITE), STATUS_PENDING);
    ASSERT_EQ(SendCharacter(device_, 0x13), STATUS_PENDING);
    ASSERT_EQ(SendCharacter(device_, 0x11), STATUS_PENDING);
    EXPECT_EQ(LiveIrps(), irps + 3);

    StopPipe(port_, PIPE_BULK_OUT);
    emu::Settle();
    std::vector<emu::usb::UrbRecord> out = Transfers(kBridgeBulkOut);
    ASSERT_EQ(out.size(), 3u);
    for (const emu::usb::UrbRecord& record : out) {
        EXPECT_EQ(record.outcome, UrbOutcome::Cancelled);
    }
    EXPECT_EQ(LiveIrps(), irps);
    EXPECT_EQ(DriverPool(), pool);
    EXPECT_EQ(port_->PendingWriteTransfers, 0);
    EXPECT_FALSE(PipeTransferInFlight(port_, PIPE_BULK_OUT));

    // The bulk-out pipe is not stopped for good: the next transfer goes out.
    bus_->SetPolicy({});
    EXPECT_TRUE(NT_SUCCESS(SendCharacter(device_, 0x41)));
    emu::Settle();
    EXPECT_EQ(chip_->FarEndReceived(), Bytes({0x41}));
}

TEST_F(PipeTest, EveryAllocationFailureOfAStartLeavesThePipeIdleAndNothingAllocated) {
    PlugOpen();
    port_->OpenCount = 0;  // completions then start nothing further
    const size_t irps = LiveIrps();
    const size_t pool = DriverPool();
    const UCHAR data[5] = {1, 2, 3, 4, 5};
    for (ULONG pipe : {PIPE_INTERRUPT_IN, PIPE_BULK_OUT, PIPE_BULK_IN}) {
        SCOPED_TRACE("pipe " + std::to_string(pipe));
        const uint8_t endpoint = pipe == PIPE_INTERRUPT_IN ? kBridgeInterruptIn
                                 : pipe == PIPE_BULK_IN    ? kBridgeBulkIn
                                                           : kBridgeBulkOut;
        ForEachAllocationFailure(
            [&](uint64_t k) {
                Mark();
                const NTSTATUS status =
                    StartPipeTransfer(device_, pipe, pipe == PIPE_BULK_OUT ? data : nullptr,
                                      pipe == PIPE_BULK_OUT ? 5 : 10, CARGO_WRITE);
                // Allocations: the record, its buffer, the request.
                const NTSTATUS expected[] = {STATUS_SUCCESS, STATUS_NO_MEMORY, STATUS_NO_MEMORY,
                                             STATUS_INSUFFICIENT_RESOURCES};
                ASSERT_LT(k, 4u);
                EXPECT_EQ(NT_SUCCESS(status) ? STATUS_SUCCESS : status, expected[k]);
                EXPECT_EQ(Transfers(endpoint).size(), k == 0 ? 1u : 0u);
                if (pipe != PIPE_BULK_OUT) {  // a read waits for data the chip does not have
                    EXPECT_EQ(PipeTransferInFlight(port_, pipe), k == 0);
                }
                if (k == 0 && pipe == PIPE_INTERRUPT_IN) {
                    chip_->SendRawStatus({});  // ends the read without a successor
                } else if (k == 0 && pipe == PIPE_BULK_IN) {
                    chip_->SendEmptyBulkIn();
                }
                emu::Settle();
                EXPECT_FALSE(PipeTransferInFlight(port_, pipe));
                EXPECT_EQ(LiveIrps(), irps);
                EXPECT_EQ(DriverPool(), pool);
            },
            DriverPoolOrIrps());
    }
}

}  // namespace
}  // namespace quella_test
