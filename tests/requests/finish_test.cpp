// Finishing a current request: every holder of a reference lets go before the one completion,
// timers whose DPC is already queued keep their reference, the immediate character's three
// finishing paths, and the reference helpers' checks.
#include "emu/kernel/bugcheck.h"
#include "emu/kernel/io_manager.h"
#include "emu/kernel/sched.h"
#include "requests/deferred.h"
#include "tests/requests/support/engine_fixture.h"

using namespace quella_test;
using emu::app::Operation;
using emu::app::Result;

namespace {

using FinishTest = EngineTest;

constexpr LONGLONG k100ms = -100 * emu::kMillisecond;

}  // namespace

TEST_F(FinishTest, LastHolderCompletesAndStopsWhatIsLeft) {
    Fakes().read_timeout = k100ms;

    // The transfer side ends first: success, and the total timer is stopped with it.
    Operation read = app_.ReadAsync(4);
    EXPECT_EQ(RequestRefs(read.Irp()), REF_TRANSFER | REF_CANCEL | REF_TOTAL_TIMER);
    EXPECT_EQ(Port->DeferredWorkCount, 2);
    FinishTransfer(Path::Read);
    EXPECT_EQ(read.Wait().status, STATUS_SUCCESS);
    emu::Settle();  // the completing DPC ends its own deferred work after the completion
    EXPECT_EQ(Port->DeferredWorkCount, 1);

    // The timer ends first: the request is taken back from the transfer side.
    read = app_.ReadAsync(4);
    emu::AdvanceTime(-k100ms);
    Result timed_out = read.Wait();
    EXPECT_EQ(timed_out.status, STATUS_TIMEOUT);
    EXPECT_EQ(timed_out.information, 1u);  // what the transfer side had moved
    FinishTransfer(Path::Read);            // the transfer side no longer holds anything

    // Cancel ends first; the read queued behind it becomes current.
    read = app_.ReadAsync(4);
    Operation next = app_.ReadAsync(4);
    ASSERT_TRUE(read.Cancel());
    Result cancelled = read.Wait();
    EXPECT_EQ(cancelled.status, STATUS_CANCELLED);
    EXPECT_EQ(cancelled.information, 0u);
    EXPECT_EQ(Port->CurrentReadRequest, next.Irp());
    EXPECT_EQ(Port->DeferredWorkCount, 2);  // only the new read's timer
    FinishTransfer(Path::Read);
    EXPECT_EQ(next.Wait().status, STATUS_SUCCESS);

    // An empty slot: the call only gives the lock back.
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    TryFinishCurrent(Port, nullptr, irql, STATUS_SUCCESS, &Port->CurrentPurgeRequest, nullptr,
                     nullptr, nullptr, nullptr, nullptr, REF_TRANSFER);
    EXPECT_FALSE(emu::CancelSpinLockHeld());
}

TEST_F(FinishTest, TotalTimerDpcAlreadyQueuedKeepsItsReference) {
    Fakes().read_timeout = k100ms;
    Operation read = app_.ReadAsync(4);
    PIRP irp = read.Irp();

    // With the cancel lock held, the total timer expires: its DPC is queued and waits for the
    // lock. Then the transfer side finishes the read under the same lock hold.
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    LARGE_INTEGER due;
    due.QuadPart = kAlreadyDue;
    EXPECT_TRUE(SetCountedTimer(&Port->ReadTotalTimer, due, &Port->ReadTotalTimeoutDpc, Port));
    EXPECT_FALSE(KeCancelTimer(&Port->ReadTotalTimer));  // expired: too late to stop it
    FinishTransferLocked(Path::Read, irql);

    // The DPC held the last reference: it completed the read, once.
    Result result = read.Wait();
    EXPECT_EQ(result.status, STATUS_TIMEOUT);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(Port->CurrentReadRequest, nullptr);
    EXPECT_FALSE(emu::IrpIsLive(irp) && Port->CurrentReadRequest == irp);
}

TEST_F(FinishTest, ImmediateCharacterEndsOnceByEachPath) {
    UCHAR ch = 'x';
    // Handed to the transfer side: success, its timer stopped.
    Fakes().immediate_timeout = k100ms;
    EXPECT_EQ(app_.DeviceIoControlIn(IOCTL_SERIAL_IMMEDIATE_CHAR, ch).status, STATUS_SUCCESS);
    emu::Settle();
    EXPECT_EQ(Port->DeferredWorkCount, 1);
    EXPECT_EQ(Port->QueuedWriteChars, 0u);

    // Never handed over: the timer ends it.
    Fakes().immediate_sends = false;
    Operation timed = app_.DeviceIoControlAsync(IOCTL_SERIAL_IMMEDIATE_CHAR, &ch, 1);
    EXPECT_EQ(Port->QueuedWriteChars, 1u);
    emu::AdvanceTime(-k100ms);
    EXPECT_EQ(timed.Wait().status, STATUS_TIMEOUT);
    EXPECT_EQ(Port->QueuedWriteChars, 0u);

    // A second one while the first is current is refused; a cancel ends the first.
    Fakes().immediate_timeout = 0;
    Operation pending = app_.DeviceIoControlAsync(IOCTL_SERIAL_IMMEDIATE_CHAR, &ch, 1);
    EXPECT_EQ(app_.DeviceIoControlIn(IOCTL_SERIAL_IMMEDIATE_CHAR, ch).status,
              STATUS_INVALID_PARAMETER);
    ASSERT_TRUE(pending.Cancel());
    Result cancelled = pending.Wait();
    EXPECT_EQ(cancelled.status, STATUS_CANCELLED);
    EXPECT_EQ(cancelled.information, 0u);
}

TEST_F(FinishTest, ReferenceBitsAreCheckedAgainstTheirPreviousState) {
    emu::ExpectBugCheck assertions(QUELLA_ASSERT_RULE);
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetNextIrpStackLocation(irp);
    ResetRefs(irp);
    SetRef(irp, REF_CANCEL);
    SetRef(irp, REF_CANCEL);
    EXPECT_EQ(assertions.Count(), 1);
    EXPECT_FALSE(ClearRef(irp, REF_TRANSFER));
    EXPECT_EQ(assertions.Count(), 2);
    EXPECT_TRUE(ClearRef(irp, REF_CANCEL));
    EXPECT_EQ(RequestRefs(irp), 0u);
    EXPECT_EQ(assertions.Count(), 2);
    IoFreeIrp(irp);

    // A finishing call for a reference the request does not hold leaves the request alone.
    Operation read = app_.ReadAsync(4);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    TryFinishCurrent(Port, nullptr, irql, STATUS_SUCCESS, &Port->CurrentReadRequest,
                     &Port->ReadQueue, nullptr, &Port->ReadTotalTimer, nullptr, AdvanceQueue,
                     REF_INTERVAL_TIMER);
    EXPECT_EQ(assertions.Count(), 3);
    EXPECT_FALSE(emu::CancelSpinLockHeld());
    EXPECT_EQ(Port->CurrentReadRequest, read.Irp());
    EXPECT_EQ(RequestRefs(read.Irp()), REF_TRANSFER | REF_CANCEL);
    FinishTransfer(Path::Read);
    EXPECT_EQ(read.Wait().status, STATUS_SUCCESS);
}
