// The I/O manager's checks: each violation is reported under its rule and the offending call
// does nothing, so the request can still be finished properly afterwards.
#include "emu/kernel/bugcheck.h"
#include "tests/emu/io_test_support.h"

namespace {

using io_test::IoTest;

NTSTATUS NTAPI KeepIt(PDEVICE_OBJECT, PIRP, PVOID context) {
    ++*static_cast<int*>(context);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID NTAPI NeverCalled(PDEVICE_OBJECT, PIRP) {}

// A request the test keeps at the top (its routine counts completions that reach it).
PIRP Kept(PDEVICE_OBJECT target, int* arrivals) {
    PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, KeepIt, arrivals, TRUE, TRUE, TRUE);
    return irp;
}

TEST_F(IoTest, CompletingTwiceIsReportedAndDoesNothing) {
    PDEVICE_OBJECT twice = Device([](PDEVICE_OBJECT, PIRP irp) {
        emu::CompleteIrp(irp, STATUS_SUCCESS);
        return emu::CompleteIrp(irp, STATUS_UNSUCCESSFUL);
    });
    emu::ExpectBugCheck expect(emu::rule::kIrpCompletedTwice);
    int arrivals = 0;
    PIRP irp = Kept(twice, &arrivals);
    IoCallDriver(twice, irp);
    EXPECT_EQ(expect.Count(), 1);
    EXPECT_EQ(arrivals, 1);
    EXPECT_TRUE(emu::IrpIsLive(irp));  // the second completion did not free it
    IoFreeIrp(irp);

    // Completing an IRP that has been freed is caught from the quarantine, not a use after free.
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(expect.Count(), 2);

    // A completion routine that lets the walk go on after completing the IRP again itself.
    PDEVICE_OBJECT pdo =
        Pdo([](PDEVICE_OBJECT, PIRP irp) { return emu::CompleteIrp(irp, STATUS_SUCCESS); });
    irp = IoAllocateIrp(pdo->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP irp, PVOID) -> NTSTATUS {
            IoCompleteRequest(irp, IO_NO_INCREMENT);  // walks on to the top and frees it
            return STATUS_SUCCESS;
        },
        nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(pdo, irp);
    EXPECT_EQ(expect.Count(), 3);
}

TEST_F(IoTest, CompletingWithCancelRoutineSetIsReportedAndDoesNothing) {
    PIRP held = nullptr;
    PDEVICE_OBJECT device = Device([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, NeverCalled);
        held = irp;
        return STATUS_PENDING;
    });
    int arrivals = 0;
    PIRP irp = Kept(device, &arrivals);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
    {
        emu::ExpectBugCheck expect(emu::rule::kIrpCancelRoutineSet);
        emu::CompleteIrp(held, STATUS_SUCCESS);
        EXPECT_EQ(expect.Count(), 1);
        EXPECT_EQ(arrivals, 0);
    }
    IoSetCancelRoutine(held, nullptr);
    emu::CompleteIrp(held, STATUS_SUCCESS);
    EXPECT_EQ(arrivals, 1);
    IoFreeIrp(irp);
}

TEST_F(IoTest, PendingWithoutMarkIsReportedWhicheverComesFirst) {
    emu::ExpectBugCheck expect(emu::rule::kPendingNotMarked);
    // Pended without a mark, completed later: reported when the completion passes the location.
    PIRP held = nullptr;
    PDEVICE_OBJECT later = Device([&](PDEVICE_OBJECT, PIRP irp) {
        held = irp;
        return STATUS_PENDING;
    });
    int arrivals = 0;
    PIRP irp = Kept(later, &arrivals);
    EXPECT_EQ(IoCallDriver(later, irp), STATUS_PENDING);
    EXPECT_EQ(expect.Count(), 0);
    emu::CompleteIrp(held, STATUS_SUCCESS);
    EXPECT_EQ(expect.Count(), 1);
    IoFreeIrp(irp);

    // Completed and then STATUS_PENDING returned: reported when the dispatch routine returns.
    PDEVICE_OBJECT first = Device([](PDEVICE_OBJECT, PIRP irp) {
        emu::CompleteIrp(irp, STATUS_SUCCESS);
        return STATUS_PENDING;
    });
    irp = Kept(first, &arrivals);
    IoCallDriver(first, irp);
    EXPECT_EQ(expect.Count(), 2);
    IoFreeIrp(irp);

    // Marked, queued and completed on another thread before the routine returns: no report.
    PDEVICE_OBJECT proper = Device([](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        emu::QueueWork([irp] { emu::CompleteIrp(irp, STATUS_SUCCESS); }, "complete");
        emu::Settle();
        return STATUS_PENDING;
    });
    irp = Kept(proper, &arrivals);
    EXPECT_EQ(IoCallDriver(proper, irp), STATUS_PENDING);
    EXPECT_EQ(expect.Count(), 2);
    EXPECT_TRUE(irp->PendingReturned);
    IoFreeIrp(irp);
}

TEST_F(IoTest, StackIrqlAndFreeingMisuseAreReported) {
    PIRP held = nullptr;
    PDEVICE_OBJECT pdo = Pdo([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    PDEVICE_OBJECT top = Device(io_test::PassDown, pdo);
    int arrivals = 0;
    {
        // An IRP sized for one device has no location left for the device below.
        emu::ExpectBugCheck expect(emu::rule::kIrpStackOverflow);
        PDEVICE_OBJECT forward =
            Device([](PDEVICE_OBJECT device,
                      PIRP irp) { return IoCallDriver(io_test::LowerOf(device), irp); },
                   pdo);
        PIRP small = IoAllocateIrp(1, FALSE);
        IoGetNextIrpStackLocation(small)->MajorFunction = IRP_MJ_READ;
        EXPECT_NE(IoCallDriver(forward, small), STATUS_PENDING);
        EXPECT_EQ(expect.Count(), 1);
        EXPECT_EQ(held, nullptr);
        emu::CompleteIrp(small, STATUS_INVALID_PARAMETER);  // the forwarding driver's duty
        EXPECT_FALSE(emu::IrpIsLive(small));
    }
    {
        emu::ExpectBugCheck expect(emu::rule::kIrqlNotLessOrEqual);
        PIRP irp = Kept(top, &arrivals);
        KIRQL old;
        KeRaiseIrql(HIGH_LEVEL, &old);
        IoCallDriver(top, irp);
        KeLowerIrql(old);
        EXPECT_EQ(expect.Count(), 1);
        EXPECT_EQ(held, nullptr);
        IoFreeIrp(irp);
    }
    PIRP irp = Kept(top, &arrivals);
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_PENDING);
    {
        emu::ExpectBugCheck expect(emu::rule::kIrpFreedInUse);
        IoFreeIrp(irp);  // the bus driver still has it
        EXPECT_EQ(expect.Count(), 1);
        EXPECT_TRUE(emu::IrpIsLive(irp));
        emu::CompleteIrp(held, STATUS_SUCCESS);
        EXPECT_EQ(arrivals, 1);
        IoFreeIrp(irp);
        IoFreeIrp(irp);
        EXPECT_FALSE(IoCancelIrp(irp));
        EXPECT_EQ(expect.Count(), 3);
    }
}

}  // namespace
