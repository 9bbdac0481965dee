// Races between the parties that finish a request: the issuer's cancel (main thread), the
// transfer side (a processor), and timers that expire at once (their DPCs on the processors).
// The outcome of each race varies; every request must still complete exactly once with a
// status one of the parties chose, and the counts must come back to their base.
#include <random>

#include "emu/kernel/sched.h"
#include "tests/requests/support/engine_fixture.h"

using namespace quella_test;
using emu::app::Operation;
using emu::app::Result;

namespace {

using EngineConcurrencyTest = EngineTest;

void ExpectFinished(const Result& result) {
    EXPECT_TRUE(result.status == STATUS_SUCCESS || result.status == STATUS_CANCELLED ||
                result.status == STATUS_TIMEOUT)
        << std::hex << result.status;
    if (result.status == STATUS_CANCELLED) {
        EXPECT_EQ(result.information, 0u);
    }
}

}  // namespace

TEST_F(EngineConcurrencyTest, CancelRacesTransferAndTimer) {
    std::mt19937 rng(20240611);
    const LONGLONG timeouts[] = {0, kAlreadyDue, -emu::kMillisecond};
    for (int i = 0; i < 1500; ++i) {
        unsigned pick = rng();
        Fakes().read_timeout = timeouts[pick % 3];
        Fakes().write_timeout = timeouts[(pick / 3) % 3];
        Operation read = app_.ReadAsync(4);
        Operation queued = app_.ReadAsync(4);
        Operation write = app_.WriteAsync("abcd");
        emu::QueueWork([this] { FinishTransfer(Path::Read); }, "read transfer done");
        emu::QueueWork([this] { FinishTransfer(Path::Write); }, "write transfer done");
        if (pick & 0x100) {
            read.Cancel();
        }
        if (pick & 0x200) {
            queued.Cancel();
        }
        if (pick & 0x400) {
            write.Cancel();
        }
        Result first = read.Wait();
        ExpectFinished(first);
        // The queued read became current (or was cancelled): end it the same racy way.
        emu::QueueWork([this] { FinishTransfer(Path::Read); }, "queued transfer done");
        queued.Cancel();
        ExpectFinished(queued.Wait());
        ExpectFinished(write.Wait());
        if (HasFailure()) {
            break;
        }
    }
    ExpectIdle();
}

TEST_F(EngineConcurrencyTest, SweepRacesCompletionOfTheCurrentRequest) {
    for (int i = 0; i < 1000; ++i) {
        std::vector<Operation> writes;
        for (int n = 0; n < 3; ++n) {
            writes.push_back(app_.WriteAsync("xy"));
        }
        emu::QueueWork([this] { FinishTransfer(Path::Write); }, "write transfer done");
        CancelQueueAndCurrent(port_, &Port->WriteQueue, &Port->CurrentWriteRequest);
        // A write that was started by the finished one after the sweep is ended here.
        emu::QueueWork([this] { FinishTransfer(Path::Write); }, "late write transfer done");
        CancelQueueAndCurrent(port_, &Port->WriteQueue, &Port->CurrentWriteRequest);
        for (Operation& write : writes) {
            ExpectFinished(write.Wait());
        }
        if (HasFailure()) {
            break;
        }
    }
    ExpectIdle();
}
