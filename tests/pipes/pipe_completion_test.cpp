// Completing transfers: what the input pipes deliver, when they keep polling and when they
// stop, what a completion during removal does, and stopping a pipe.
#include <numeric>

#include "datapath/entry_points.h"
#include "tests/pipes/support/pipe_fixture.h"

namespace quella_test {
namespace {

using emu::usb::kBridgeBulkIn;
using emu::usb::kBridgeInterruptIn;
using emu::usb::kLineCts;
using emu::usb::kLineDcd;
using emu::usb::kLineDsr;
using emu::usb::kLineParity;
using emu::usb::UrbOutcome;
using Bytes = std::vector<uint8_t>;

TEST_F(PipeTest, StatusPacketsSetTheLineStateAndKeepThePipePolling) {
    PlugOpen();
    ArmInputPipes(device_);
    ArmInputPipes(device_);  // both pipes are polling already: nothing more starts
    emu::Settle();
    EXPECT_EQ(Transfers(kBridgeInterruptIn).size(), 1u);
    EXPECT_EQ(Transfers(kBridgeBulkIn).size(), 1u);

    chip_->SetModemLines(kLineCts | kLineDsr);
    emu::Settle();
    EXPECT_EQ(port_->LineStateWord, 0x82);
    EXPECT_EQ(port_->PrevLineStateWord, 0x82);  // the modem-status update ran
    EXPECT_EQ(chip_->PendingReads(kBridgeInterruptIn), 1u);

    // Closed: the word is kept, no modem-status update, polling goes on.
    port_->OpenCount = 0;
    chip_->InjectLineError(kLineParity);
    emu::Settle();
    EXPECT_EQ(port_->LineStateWord, 0xA2);
    EXPECT_EQ(port_->PrevLineStateWord, 0x82);
    EXPECT_EQ(chip_->PendingReads(kBridgeInterruptIn), 1u);

    // A packet of 1 to 9 bytes has no line state in it: the old one stays, polling goes on.
    port_->OpenCount = 1;
    const Bytes packet = emu::usb::StatusPacket(kLineDcd);
    for (size_t length : {1u, 9u}) {
        chip_->SendRawStatus(Bytes(packet.begin(), packet.begin() + length));
        emu::Settle();
        EXPECT_EQ(port_->LineStateWord, 0xA2) << length << " bytes";
        EXPECT_EQ(chip_->PendingReads(kBridgeInterruptIn), 1u) << length << " bytes";
    }

    // A held write is retried after each packet; it leaves once its hold is gone.
    UCHAR data[3] = {1, 2, 3};
    port_->WriteNextByte = data;
    port_->WriteBytesLeft = 3;
    port_->RxBufferSize = 128;
    port_->WriteChunkLimit = 256;
    port_->TxHoldReasons = TXHOLD_CTS;
    SendWriteStart(port_);
    EXPECT_TRUE(port_->WriteHeld);
    chip_->SetModemLines(kLineDsr);
    emu::Settle();
    EXPECT_TRUE(port_->WriteHeld);
    port_->TxHoldReasons = 0;  // what the modem-status logic will do when CTS rises
    chip_->SetModemLines(kLineCts | kLineDsr);
    emu::Settle();
    EXPECT_FALSE(port_->WriteHeld);
    EXPECT_EQ(chip_->FarEndReceived(), Bytes({1, 2, 3}));
}

TEST_F(PipeTest, EmptyBulkInReadsRearmEmptyStatusReadsAndFailuresStopPolling) {
    PlugOpen();
    ArmInputPipes(device_);
    emu::Settle();
    chip_->SendEmptyBulkIn();
    chip_->SendRawStatus({});
    emu::Settle();
    std::vector<emu::usb::UrbRecord> bulk = Transfers(kBridgeBulkIn);
    ASSERT_EQ(bulk.size(), 2u);
    EXPECT_EQ(bulk[0].status, STATUS_SUCCESS);
    EXPECT_EQ(bulk[0].actual_length, 0u);
    EXPECT_EQ(bulk[1].outcome, UrbOutcome::Pending);
    EXPECT_EQ(Transfers(kBridgeInterruptIn).size(), 1u);
    EXPECT_FALSE(PipeTransferInFlight(port_, PIPE_INTERRUPT_IN));

    // A change now waits in the chip until the pipe is armed again.
    chip_->SetModemLines(kLineDcd);
    emu::Settle();
    EXPECT_EQ(port_->LineStateWord, 0);
    ArmInputPipes(device_);
    emu::Settle();
    EXPECT_EQ(port_->LineStateWord, kLineDcd);

    // A failed read is not followed by another, on either input pipe.
    StopAllPipes(port_);
    emu::Settle();
    bus_->SetPolicy([](const emu::usb::UrbRecord& record) {
        return record.to_host && record.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER
                   ? emu::usb::UrbAction::Fail(emu::usb::UrbResult::Stall())
                   : emu::usb::UrbAction::Now();
    });
    Mark();
    ArmInputPipes(device_);
    emu::Settle();
    EXPECT_EQ(Transfers(kBridgeInterruptIn).size(), 1u);
    EXPECT_EQ(Transfers(kBridgeBulkIn).size(), 1u);
    EXPECT_FALSE(PipeTransferInFlight(port_, PIPE_INTERRUPT_IN));
    EXPECT_FALSE(PipeTransferInFlight(port_, PIPE_BULK_IN));
}

TEST_F(PipeTest, BulkInDeliversShortPacketsAndPausesWhileReceptionIsHeldOrThePortClosed) {
    PlugOpen();
    ArmInputPipes(device_);
    emu::Settle();
    Bytes sent(1000);
    std::iota(sent.begin(), sent.end(), 0);
    chip_->FarEndSend(sent);
    emu::Settle();
    std::vector<emu::usb::UrbRecord> bulk = Transfers(kBridgeBulkIn);
    ASSERT_EQ(bulk.size(), 4u);
    Bytes received;
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(bulk[i].actual_length, i < 2 ? 384u : 232u);
        received.insert(received.end(), bulk[i].data_in.begin(), bulk[i].data_in.end());
    }
    EXPECT_EQ(received, sent);
    EXPECT_EQ(bulk[3].outcome, UrbOutcome::Pending);

    // Held reception: the chunk in flight arrives, no read follows, the chip keeps the rest.
    port_->RxHoldReasons = RXHOLD_XOFF;
    chip_->FarEndSend(Bytes(500, 0x55));
    emu::Settle();
    EXPECT_FALSE(PipeTransferInFlight(port_, PIPE_BULK_IN));
    EXPECT_EQ(chip_->ReceiveFifoCount(), 116u);
    port_->RxHoldReasons = 0;
    ArmInputPipes(device_);
    emu::Settle();
    EXPECT_EQ(chip_->ReceiveFifoCount(), 0u);
    EXPECT_TRUE(PipeTransferInFlight(port_, PIPE_BULK_IN));

    // A far end wired back to the chip (a loopback plug) hears each bulk-out packet and may
    // answer from inside the chip's delivery.
    struct Loopback : emu::usb::FarEnd {
        emu::usb::BridgeChip* chip;
        void Receive(const Bytes& bytes) override { chip->FarEndSend(bytes); }
    };
    auto loopback = std::make_shared<Loopback>();
    loopback->chip = chip_.get();
    chip_->SetFarEnd(loopback);
    ASSERT_TRUE(NT_SUCCESS(SendCharacter(device_, 0x42)));
    emu::Settle();
    bulk = Transfers(kBridgeBulkIn);
    ASSERT_GE(bulk.size(), 2u);
    EXPECT_EQ(bulk[bulk.size() - 2].data_in, Bytes({0x42}));
    EXPECT_EQ(bulk.back().outcome, UrbOutcome::Pending);
    chip_->SetFarEnd(nullptr);

    // Closed: the read in flight completes and nothing follows.
    port_->OpenCount = 0;
    chip_->FarEndSend({1});
    emu::Settle();
    EXPECT_FALSE(PipeTransferInFlight(port_, PIPE_BULK_IN));
}

TEST_F(PipeTest, ACompletionDuringRemovalStartsNothingAndReportsNothing) {
    for (ULONG flag : {ACCEPT_REMOVING, ACCEPT_SURPRISE_REMOVED}) {
        SCOPED_TRACE("AcceptFlags " + std::to_string(flag));
        PlugOpen();
        const size_t irps = LiveIrps();
        const size_t pool = DriverPool();
        ArmInputPipes(device_);
        UCHAR data[4] = {1, 2, 3, 4};
        port_->WriteNextByte = data;
        port_->WriteBytesLeft = 4;
        HoldBulkOut();
        ASSERT_EQ(StartPipeTransfer(device_, PIPE_BULK_OUT, data, 4, CARGO_WRITE), STATUS_PENDING);
        emu::Settle();

        port_->AcceptFlags = flag;  // as removal sets it
        chip_->SetModemLines(kLineCts);
        chip_->FarEndSend({9, 9});
        ASSERT_TRUE(ReleaseBulkOut());
        emu::Settle();
        EXPECT_EQ(port_->LineStateWord, 0);
        EXPECT_EQ(port_->WriteBytesLeft, 4);
        EXPECT_EQ(Transfers(kBridgeInterruptIn).size(), 1u);
        EXPECT_EQ(Transfers(kBridgeBulkIn).size(), 1u);
        for (ULONG pipe = 0; pipe < PIPE_COUNT; ++pipe) {
            EXPECT_FALSE(PipeTransferInFlight(port_, pipe)) << "pipe " << pipe;
        }
        EXPECT_EQ(LiveIrps(), irps);
        EXPECT_EQ(DriverPool(), pool);
        Restart();
    }
}

TEST_F(PipeTest, StopPipeActsOnlyAtPassiveLevelAndAStoppedPipeStaysIdleUntilArmed) {
    PlugOpen();
    ArmInputPipes(device_);
    emu::Settle();
    AtDispatchLevel([&] { StopAllPipes(port_); });
    emu::Settle();
    EXPECT_EQ(chip_->PendingReads(kBridgeInterruptIn), 1u);
    EXPECT_EQ(chip_->PendingReads(kBridgeBulkIn), 1u);
    chip_->SetModemLines(kLineCts);
    emu::Settle();
    EXPECT_EQ(port_->LineStateWord, kLineCts);
    EXPECT_TRUE(PipeTransferInFlight(port_, PIPE_INTERRUPT_IN));

    StopPipe(port_, PIPE_INTERRUPT_IN);
    StopPipe(port_, PIPE_BULK_IN);
    StopPipe(port_, 7);  // no such pipe: nothing
    emu::Settle();
    EXPECT_EQ(Transfers(kBridgeInterruptIn).back().outcome, UrbOutcome::Cancelled);
    EXPECT_EQ(Transfers(kBridgeBulkIn).back().outcome, UrbOutcome::Cancelled);
    // Only ArmInputPipes starts a stopped pipe again.
    EXPECT_EQ(StartPipeTransfer(device_, PIPE_BULK_IN, nullptr, 384, CARGO_INPUT),
              STATUS_INVALID_DEVICE_STATE);
    chip_->SetModemLines(0);
    chip_->FarEndSend({5});
    emu::Settle();
    EXPECT_EQ(port_->LineStateWord, kLineCts);
    EXPECT_EQ(chip_->ReceiveFifoCount(), 1u);
    ArmInputPipes(device_);
    emu::Settle();
    EXPECT_EQ(port_->LineStateWord, 0);
    EXPECT_EQ(chip_->ReceiveFifoCount(), 0u);
    EXPECT_TRUE(PipeTransferInFlight(port_, PIPE_INTERRUPT_IN));
    EXPECT_TRUE(PipeTransferInFlight(port_, PIPE_BULK_IN));
}

TEST_F(PipeTest, AFailedRearmStopsPollingWithoutLeakingOrHanging) {
    PlugOpen();
    const size_t irps = LiveIrps();
    const size_t pool = DriverPool();
    ArmInputPipes(device_);
    emu::Settle();
    {
        emu::PoolFaultScope noMemory(emu::PoolFault::Every(DriverPoolOrIrps()));
        chip_->SetModemLines(kLineCts);
        chip_->FarEndSend({1});
        emu::Settle();
    }
    EXPECT_EQ(port_->LineStateWord, kLineCts);
    EXPECT_FALSE(PipeTransferInFlight(port_, PIPE_INTERRUPT_IN));
    EXPECT_FALSE(PipeTransferInFlight(port_, PIPE_BULK_IN));
    EXPECT_EQ(LiveIrps(), irps);
    EXPECT_EQ(DriverPool(), pool);
    ArmInputPipes(device_);
    emu::Settle();
    EXPECT_TRUE(PipeTransferInFlight(port_, PIPE_INTERRUPT_IN));
    EXPECT_TRUE(PipeTransferInFlight(port_, PIPE_BULK_IN));
}

}  // namespace
}  // namespace quella_test
