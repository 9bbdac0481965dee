// StopPipe racing the completion of the very transfer it stops. The chip answers on a processor
// thread while the test thread stops the pipe, so both orders (and everything in between) occur
// over the rounds; whatever the order, every request must be freed exactly once (a second free
// or a free under IoCancelIrp is a bug check) and the pipes must end idle.
#include "tests/pipes/support/pipe_fixture.h"

namespace quella_test {
namespace {

using emu::usb::kLineCts;

class PipeConcurrencyTest : public PipeTest {};

constexpr int kRounds = 3000;

TEST_F(PipeConcurrencyTest, StopPipeRacingTheCompletionFreesEveryRequestOnce) {
    PlugOpen();
    const size_t irps = LiveIrps();
    const size_t pool = DriverPool();
    const UCHAR chunk[16] = {};
    for (int round = 0; round < kRounds; ++round) {
        ArmInputPipes(device_);
        ASSERT_TRUE(NT_SUCCESS(
            StartPipeTransfer(device_, PIPE_BULK_OUT, chunk, sizeof(chunk), CARGO_WRITE)));
        ASSERT_TRUE(NT_SUCCESS(SendCharacter(device_, 0x11)));
        // The chip answers the status read and the bulk-in read from a processor thread...
        chip_->SetModemLines(round % 2 == 0 ? kLineCts : 0);
        chip_->FarEndSend({static_cast<uint8_t>(round)});
        // ...while this thread stops the same transfers.
        StopAllPipes(port_);
        emu::Settle();
        for (ULONG pipe = 0; pipe < PIPE_COUNT; ++pipe) {
            ASSERT_FALSE(PipeTransferInFlight(port_, pipe)) << "round " << round;
        }
        ASSERT_EQ(LiveIrps(), irps) << "round " << round;
        ASSERT_EQ(DriverPool(), pool) << "round " << round;
        ASSERT_EQ(port_->PendingWriteTransfers, 0) << "round " << round;
    }
}

}  // namespace
}  // namespace quella_test
