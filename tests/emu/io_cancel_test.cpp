// IoCancelIrp and the cancel spin lock: the cancel routine's calling conditions, cancelling a
// request that has no routine, and cancels racing with completions.
#include <atomic>

#include "emu/kernel/bugcheck.h"
#include "tests/emu/io_test_support.h"

namespace {

using io_test::IoTest;

// A queue guarded by the cancel spin lock, as the serial request model keeps its requests.
struct CancelQueue {
    LIST_ENTRY head;
    // What the cancel routine saw.
    bool lock_held = false;
    KIRQL irql = PASSIVE_LEVEL;
    bool cancel_flag = false;
    KIRQL cancel_irql = 0xFF;
    std::atomic<int> cancelled{0};
};

CancelQueue* g_queue = nullptr;

VOID NTAPI CancelQueued(PDEVICE_OBJECT, PIRP irp) {
    CancelQueue* q = g_queue;
    q->lock_held = emu::CancelSpinLockHeld();
    q->irql = KeGetCurrentIrql();
    q->cancel_flag = irp->Cancel != 0;
    q->cancel_irql = irp->CancelIrql;
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    ++q->cancelled;
    emu::CompleteIrp(irp, STATUS_CANCELLED);
}

NTSTATUS Enqueue(PDEVICE_OBJECT, PIRP irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelQueued);
    InsertTailList(&g_queue->head, &irp->Tail.Overlay.ListEntry);
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
}

// Completes a queued request unless its cancel routine already owns it.
void CompleteQueued(PIRP irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (!IoSetCancelRoutine(irp, nullptr)) {
        IoReleaseCancelSpinLock(irql);
        return;
    }
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    IoReleaseCancelSpinLock(irql);
    emu::CompleteIrp(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI CountArrival(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    static_cast<std::atomic<int>*>(context)->fetch_add(1);
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

PIRP Send(PDEVICE_OBJECT device, std::atomic<int>* arrivals) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, CountArrival, arrivals, TRUE, TRUE, TRUE);
    IoCallDriver(device, irp);
    return irp;
}

class IoCancelTest : public IoTest {
  protected:
    void SetUp() override {
        IoTest::SetUp();
        InitializeListHead(&queue_.head);
        g_queue = &queue_;
    }
    void TearDown() override {
        IoTest::TearDown();
        g_queue = nullptr;
    }
    CancelQueue queue_;
};

TEST_F(IoCancelTest, CancelRoutineRunsWithTheCancelLockAtTheCallersIrql) {
    PDEVICE_OBJECT device = Device(Enqueue);
    std::atomic<int> arrivals{0};

    PIRP irp = Send(device, &arrivals);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_TRUE(queue_.lock_held);
    EXPECT_EQ(queue_.irql, DISPATCH_LEVEL);
    EXPECT_TRUE(queue_.cancel_flag);
    EXPECT_EQ(queue_.cancel_irql, PASSIVE_LEVEL);
    EXPECT_EQ(arrivals, 1);
    EXPECT_FALSE(emu::CancelSpinLockHeld());
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    // From DISPATCH_LEVEL the routine must give the lock back at DISPATCH_LEVEL.
    irp = Send(device, &arrivals);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(queue_.cancel_irql, DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(old);
    EXPECT_EQ(arrivals, 2);
    EXPECT_TRUE(IsListEmpty(&queue_.head));
}

TEST_F(IoCancelTest, RequestWithoutCancelRoutineIsOnlyFlagged) {
    PIRP held = nullptr;
    PDEVICE_OBJECT device = Device([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    std::atomic<int> arrivals{0};
    PIRP irp = Send(device, &arrivals);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    EXPECT_FALSE(emu::CancelSpinLockHeld());
    EXPECT_EQ(arrivals, 0);
    // The owner sees the flag when it next looks, and finishes the request itself.
    ASSERT_EQ(held, irp);
    emu::CompleteIrp(held, held->Cancel ? STATUS_CANCELLED : STATUS_SUCCESS);
    EXPECT_EQ(arrivals, 1);
}

TEST_F(IoCancelTest, CancelSpinLockTakesPartInLockOrderChecks) {
    KSPIN_LOCK port_lock;
    KeInitializeSpinLock(&port_lock);
    KIRQL irql, cancel_irql;
    KeAcquireSpinLock(&port_lock, &irql);
    IoAcquireCancelSpinLock(&cancel_irql);
    IoReleaseCancelSpinLock(cancel_irql);
    KeReleaseSpinLock(&port_lock, irql);

    emu::ExpectBugCheck expect(emu::rule::kLockOrderInversion);
    IoAcquireCancelSpinLock(&cancel_irql);
    KeAcquireSpinLock(&port_lock, &irql);  // reported and not taken
    EXPECT_EQ(expect.Count(), 1);
    IoReleaseCancelSpinLock(cancel_irql);
}

NTSTATUS NTAPI CountAndKeep(PDEVICE_OBJECT, PIRP, PVOID context) {
    static_cast<std::atomic<int>*>(context)->fetch_add(1);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class IoCancelConcurrency : public IoCancelTest {};

// Cancels from this thread race with completions on the processors; each request must come
// back exactly once, whichever wins. The sender keeps each IRP until both are over, as the
// I/O manager keeps an application's request while it may still cancel it.
TEST_F(IoCancelConcurrency, CancelRacingCompletionFinishesEachRequestOnce) {
    PDEVICE_OBJECT device = Device(Enqueue);
    std::atomic<int> arrivals{0};
    constexpr int kRequests = 200;
    for (int i = 0; i < kRequests; ++i) {
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoSetCompletionRoutine(irp, CountAndKeep, &arrivals, TRUE, TRUE, TRUE);
        IoCallDriver(device, irp);
        emu::QueueWork([irp] { CompleteQueued(irp); }, "complete");
        IoCancelIrp(irp);
        emu::Settle();
        ASSERT_EQ(arrivals, i + 1);
        IoFreeIrp(irp);
    }
    EXPECT_TRUE(IsListEmpty(&queue_.head));
    EXPECT_GT(queue_.cancelled, 0);
}

}  // namespace
