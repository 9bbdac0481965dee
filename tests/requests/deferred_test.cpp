// Counted deferred work and the two idle events that close, stop and removal wait on.
#include <atomic>

#include "emu/kernel/sched.h"
#include "requests/deferred.h"
#include "tests/requests/support/engine_fixture.h"

using namespace quella_test;

namespace {

std::atomic<int> g_runs{0};

VOID NTAPI CountingDpc(PKDPC, PVOID context, PVOID, PVOID) {
    ++g_runs;
    EndDeferredWork(static_cast<PSERIAL_PORT_EXTENSION>(context));
}

class DeferredWorkTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        g_runs = 0;
        KeInitializeDpc(&dpc_, CountingDpc, Port);
        KeInitializeTimer(&timer_);
    }
    LARGE_INTEGER Due(LONGLONG relative) {
        LARGE_INTEGER due;
        due.QuadPart = relative;
        return due;
    }
    KDPC dpc_;
    KTIMER timer_;
};

}  // namespace

TEST_F(DeferredWorkTest, EveryQueuedDpcAndArmedTimerHoldsOneCount) {
    // A DPC queued twice runs once per successful queueing; the count follows either way.
    int queued = QueueCountedDpc(&dpc_, nullptr, nullptr, Port) ? 1 : 0;
    queued += QueueCountedDpc(&dpc_, nullptr, nullptr, Port) ? 1 : 0;
    emu::Settle();
    EXPECT_GE(queued, 1);
    EXPECT_EQ(g_runs, queued);
    EXPECT_EQ(Port->DeferredWorkCount, 1);

    // A timer re-armed while armed keeps one count; stopping it gives the count back once.
    EXPECT_FALSE(SetCountedTimer(&timer_, Due(-10 * emu::kMillisecond), &dpc_, Port));
    EXPECT_TRUE(SetCountedTimer(&timer_, Due(-20 * emu::kMillisecond), &dpc_, Port));
    EXPECT_EQ(Port->DeferredWorkCount, 2);
    EXPECT_TRUE(CancelCountedTimer(&timer_, Port));
    EXPECT_FALSE(CancelCountedTimer(&timer_, Port));
    EXPECT_EQ(Port->DeferredWorkCount, 1);

    // One that expires ends its count in its DPC.
    g_runs = 0;
    SetCountedTimer(&timer_, Due(-10 * emu::kMillisecond), &dpc_, Port);
    emu::AdvanceTime(10 * emu::kMillisecond);
    EXPECT_EQ(g_runs, 1);
    EXPECT_FALSE(CancelCountedTimer(&timer_, Port));
    EXPECT_EQ(Port->DeferredWorkCount, 1);
}

TEST_F(DeferredWorkTest, IdleEventsWakeWhoeverDroppedTheBaseCount) {
    // Close: drop the port's own deferred-work count and wait until the armed timer has run.
    SetCountedTimer(&timer_, Due(-30 * emu::kMillisecond), &dpc_, Port);
    emu::Time start = emu::Now();
    EndDeferredWork(Port);
    ASSERT_EQ(
        KeWaitForSingleObject(&Port->DeferredWorkIdleEvent, Executive, KernelMode, FALSE, nullptr),
        STATUS_SUCCESS);
    EXPECT_GE(emu::Now() - start, 30 * emu::kMillisecond);
    EXPECT_EQ(g_runs, 1);
    InterlockedIncrement(&Port->DeferredWorkCount);

    // Stop: drop the port's own request count and wait for the request still inside.
    Fakes().read_timeout = -20 * emu::kMillisecond;
    emu::app::Operation read = app_.ReadAsync(4);
    EndRequest(Port);
    ASSERT_EQ(
        KeWaitForSingleObject(&Port->RequestsIdleEvent, Executive, KernelMode, FALSE, nullptr),
        STATUS_SUCCESS);
    EXPECT_TRUE(read.Done());
    EXPECT_EQ(read.Wait().status, STATUS_TIMEOUT);
    InterlockedIncrement(&Port->ActiveRequestCount);
}
