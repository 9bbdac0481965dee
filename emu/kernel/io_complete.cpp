// IoCallDriver and IoCompleteRequest: the trip of an IRP down the device stack, the completion
// walk back up through the completion routines, and the I/O manager's final processing at the
// top, with the verifier's checks on pending returns and double completions.
#include "emu/kernel/bugcheck.h"
#include "emu/kernel/io_irp_table.h"
#include "emu/kernel/sched.h"

namespace emu::io {
namespace {

// Checks, after a dispatch routine returned STATUS_PENDING for stack location `location`, that
// the location is (or, once the completion passes it, will be) marked pending.
void CheckPendingReturn(PIRP irp, uint64_t generation, int location, PDEVICE_OBJECT device,
                        UCHAR major) {
    std::lock_guard<std::mutex> lock(I().mu);
    IrpRec* rec = FindLocked(irp);
    if (!rec || rec->generation != generation || rec->kind == Kind::DriverInitialized) {
        return;  // reinitialized meanwhile, or memory the I/O manager does not own
    }
    // The record exists, so the memory is still the IRP's (live or in quarantine).
    if (__atomic_load_n(&irp->EmuPendingMarks, __ATOMIC_SEQ_CST) & Bit(location)) {
        return;
    }
    if (rec->passed & Bit(location)) {
        BugCheck(rule::kPendingNotMarked,
                 "the dispatch routine of device %p (major function 0x%02x) returned "
                 "STATUS_PENDING for IRP %p without IoMarkIrpPending at its stack location %d",
                 static_cast<void*>(device), major, static_cast<void*>(irp), location);
        return;
    }
    rec->returned_pending |= Bit(location);  // decided when the completion passes it
}

// Final processing once the completion has passed every stack location.
void FinishAtTop(PIRP irp) {
    std::function<void(PIRP)> doomed;
    std::function<void(PIRP)> on_complete;
    std::vector<PIRP> evicted;
    Kind kind;
    PVOID user_output = nullptr;
    ULONG output_length = 0;
    bool copy_output = false;
    bool release = false;
    {
        std::lock_guard<std::mutex> lock(I().mu);
        IrpRec* rec = FindLocked(irp);
        if (!rec) {
            return;
        }
        kind = rec->kind;
        switch (kind) {
            case Kind::Allocated:
                // Nobody kept the IRP with STATUS_MORE_PROCESSING_REQUIRED: it goes.
                FreeLocked(irp, *rec, &doomed, &evicted);
                break;
            case Kind::DriverInitialized:
                rec->state = State::Done;
                ++rec->seq;
                break;
            case Kind::BuiltIoctl:
                rec->state = State::Done;
                ++rec->seq;
                user_output = rec->user_output;
                output_length = rec->output_length;
                copy_output = rec->copy_output;
                break;
            case Kind::Application:
                rec->state = State::Done;
                ++rec->seq;
                on_complete = std::move(rec->on_complete);
                rec->on_complete = nullptr;
                release = rec->release_when_done;
                break;
        }
    }
    ReleaseEvicted(evicted);
    if (kind == Kind::BuiltIoctl) {
        NTSTATUS status = irp->IoStatus.Status;
        PVOID system_buffer = irp->AssociatedIrp.SystemBuffer;
        if (copy_output && !NT_ERROR(status)) {
            ULONG_PTR n = irp->IoStatus.Information;
            if (n > output_length) {
                BugCheck(rule::kInvalidParameter,
                         "IRP %p completed with Information %lu, more than its %lu-byte output "
                         "buffer",
                         static_cast<void*>(irp), static_cast<unsigned long>(n),
                         static_cast<unsigned long>(output_length));
                n = output_length;
            }
            if (n) {
                memcpy(user_output, system_buffer, n);
            }
        }
        if (system_buffer) {
            ExFreePoolWithTag(system_buffer, kIoBufferPoolTag);
        }
        PIO_STATUS_BLOCK iosb = irp->UserIosb;
        PKEVENT event = irp->UserEvent;
        if (iosb) {
            iosb->Status = status;
            iosb->Information = irp->IoStatus.Information;
        }
        FreeIrpNow(irp);
        if (event) {
            KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        }
    } else if (kind == Kind::Application) {
        if (on_complete) {
            on_complete(irp);
        }
        on_complete = nullptr;  // may release the IRP (the application's last reference)
        if (release) {
            FreeIrpNow(irp);
        }
    }
}

void ZeroStackLocation(PIO_STACK_LOCATION sp) {
    sp->MinorFunction = 0;
    sp->Flags = 0;
    sp->Control = 0;
    sp->Parameters.Others.Argument1 = nullptr;
    sp->Parameters.Others.Argument2 = nullptr;
    sp->Parameters.Others.Argument3 = nullptr;
    sp->Parameters.Others.Argument4 = nullptr;
    sp->FileObject = nullptr;
}

// Walks the stack locations upward from the current one (see IofCompleteRequest).
void CompletionWalk(PIRP irp, bool tracked) {
    while (irp->CurrentLocation <= irp->StackCount) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        int location = irp->CurrentLocation;
        UCHAR control = sp->Control;
        irp->PendingReturned = (control & SL_PENDING_RETURNED) != 0;
        if (tracked) {
            std::lock_guard<std::mutex> lock(I().mu);
            if (IrpRec* rec = FindLocked(irp)) {
                rec->passed |= Bit(location);
                if ((rec->returned_pending & Bit(location)) && !irp->PendingReturned) {
                    BugCheck(rule::kPendingNotMarked,
                             "the dispatch routine of device %p returned STATUS_PENDING for IRP "
                             "%p without IoMarkIrpPending at its stack location %d",
                             static_cast<void*>(sp->DeviceObject), static_cast<void*>(irp),
                             location);
                }
            }
        }
        irp->CurrentLocation++;
        irp->Tail.Overlay.CurrentStackLocation++;
        NTSTATUS status = irp->IoStatus.Status;
        PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
        PVOID context = sp->Context;
        bool invoke = routine && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                  (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                  (irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        ZeroStackLocation(sp);
        if (!invoke) {
            if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
                IoMarkIrpPending(irp);
            }
            continue;
        }
        // The routine belongs to the driver whose location is now current; for an IRP that
        // driver allocated without a location of its own there is no device.
        PDEVICE_OBJECT device = irp->CurrentLocation > irp->StackCount
                                    ? nullptr
                                    : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
        uint64_t seq = 0;
        if (tracked) {
            std::lock_guard<std::mutex> lock(I().mu);
            if (IrpRec* rec = FindLocked(irp)) {
                rec->state = State::InRoutine;
                seq = ++rec->seq;
            }
        }
        NTSTATUS result = routine(device, irp, context);
        if (result == STATUS_MORE_PROCESSING_REQUIRED) {
            // The IRP belongs to the routine's driver now; it may already be completed again
            // or freed by another thread, so only the record is looked at.
            if (tracked) {
                std::lock_guard<std::mutex> lock(I().mu);
                IrpRec* rec = FindLocked(irp);
                if (rec && rec->seq == seq) {
                    rec->state = State::Stopped;
                    ++rec->seq;
                }
            }
            return;
        }
        if (tracked) {
            std::lock_guard<std::mutex> lock(I().mu);
            IrpRec* rec = FindLocked(irp);
            if (!rec || rec->seq != seq) {
                if (!rec || rec->state == State::Freed) {
                    BugCheck(rule::kIrpFreedInUse,
                             "completion routine %p freed IRP %p but returned 0x%08X instead of "
                             "STATUS_MORE_PROCESSING_REQUIRED",
                             reinterpret_cast<void*>(routine), static_cast<void*>(irp),
                             unsigned(result));
                } else {
                    BugCheck(rule::kIrpCompletedTwice,
                             "completion routine %p returned 0x%08X for IRP %p, which was "
                             "completed or sent again while the routine ran (it is %s)",
                             reinterpret_cast<void*>(routine), unsigned(result),
                             static_cast<void*>(irp), StateName(rec->state));
                }
                return;
            }
            rec->state = State::Completing;
            ++rec->seq;
        }
    }
    if (tracked) {
        FinishAtTop(irp);
    }
}

}  // namespace
}  // namespace emu::io

using emu::BugCheck;
using emu::io::FindLocked;
using emu::io::I;
using emu::io::IrpRec;
using emu::io::State;
namespace rule = emu::rule;

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    KIRQL irql = emu::CurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        BugCheck(rule::kIrqlNotLessOrEqual, "IoCallDriver called at IRQL %d", irql);
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (!DeviceObject || !Irp) {
        BugCheck(rule::kInvalidParameter, "IoCallDriver(%p, %p)", static_cast<void*>(DeviceObject),
                 static_cast<void*>(Irp));
        return STATUS_INVALID_PARAMETER;
    }
    bool tracked = false;
    uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(I().mu);
        IrpRec* rec = FindLocked(Irp);
        if (rec && (rec->state == State::Freed || rec->state == State::Done ||
                    rec->state == State::Completing)) {
            BugCheck(rec->state == State::Freed ? rule::kIrpFreedInUse : rule::kInvalidParameter,
                     "IoCallDriver to device %p with IRP %p, which is %s",
                     static_cast<void*>(DeviceObject), static_cast<void*>(Irp),
                     emu::io::StateName(rec->state));
            return STATUS_INVALID_PARAMETER;
        }
        if (Irp->CurrentLocation <= 1) {
            BugCheck(rule::kIrpStackOverflow,
                     "IoCallDriver to device %p with IRP %p: no stack location left (StackCount "
                     "%d, device StackSize %d)",
                     static_cast<void*>(DeviceObject), static_cast<void*>(Irp), Irp->StackCount,
                     DeviceObject->StackSize);
            return STATUS_INVALID_PARAMETER;
        }
        if (rec) {
            int location = Irp->CurrentLocation - 1;
            rec->state = State::Dispatched;
            ++rec->seq;
            rec->returned_pending &= ~emu::io::Bit(location);
            rec->passed &= ~emu::io::Bit(location);
            generation = rec->generation;
            tracked = true;
        }
    }
    IoSetNextIrpStackLocation(Irp);
    int location = Irp->CurrentLocation;
    __atomic_and_fetch(&Irp->EmuPendingMarks, ~emu::io::Bit(location), __ATOMIC_SEQ_CST);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    sp->DeviceObject = DeviceObject;
    UCHAR major = sp->MajorFunction;
    PDRIVER_DISPATCH dispatch = nullptr;
    if (major <= IRP_MJ_MAXIMUM_FUNCTION && DeviceObject->DriverObject) {
        dispatch = DeviceObject->DriverObject->MajorFunction[major];
    }
    if (!dispatch) {
        dispatch = emu::io::InvalidDeviceRequest;
    }
    NTSTATUS status = dispatch(DeviceObject, Irp);
    KIRQL after = emu::CurrentIrql();
    if (after != irql) {
        BugCheck(rule::kIrqlMismatch,
                 "the dispatch routine of device %p (major function 0x%02x) was entered at IRQL "
                 "%d and returned at %d",
                 static_cast<void*>(DeviceObject), major, irql, after);
    }
    if (status == STATUS_PENDING && tracked) {
        emu::io::CheckPendingReturn(Irp, generation, location, DeviceObject, major);
    }
    return status;
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    if (!emu::io::CheckIrql("IoCompleteRequest", DISPATCH_LEVEL)) {
        return;
    }
    bool tracked = false;
    {
        std::lock_guard<std::mutex> lock(I().mu);
        IrpRec* rec = FindLocked(Irp);
        if (rec && (rec->state == State::Freed || rec->state == State::Done ||
                    rec->state == State::Completing)) {
            BugCheck(rule::kIrpCompletedTwice, "IoCompleteRequest of IRP %p, which is %s",
                     static_cast<void*>(Irp), emu::io::StateName(rec->state));
            return;
        }
        // IoCancelIrp may exchange the routine on another processor at the same time.
        if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST)) {
            BugCheck(rule::kIrpCancelRoutineSet,
                     "IoCompleteRequest of IRP %p with its cancel routine %p still set",
                     static_cast<void*>(Irp), reinterpret_cast<void*>(Irp->CancelRoutine));
            return;
        }
        if (Irp->IoStatus.Status == STATUS_PENDING) {
            BugCheck(rule::kInvalidParameter, "IoCompleteRequest of IRP %p with STATUS_PENDING",
                     static_cast<void*>(Irp));
            return;
        }
        // A request that came back up to its sender has nothing left to complete: whoever
        // completes it there completes it a second time.
        if (Irp->CurrentLocation > Irp->StackCount && !(rec && rec->state == State::Idle)) {
            BugCheck(rule::kIrpCompletedTwice,
                     "IoCompleteRequest of IRP %p, which has already come back to its sender",
                     static_cast<void*>(Irp));
            return;
        }
        if (rec) {
            // In a completion routine the IRP may legitimately be completed again by whoever
            // the routine hands it to; the walk notices if the routine then lets go of it.
            rec->state = State::Completing;
            ++rec->seq;
            tracked = true;
        }
    }
    emu::io::CompletionWalk(Irp, tracked);
}
