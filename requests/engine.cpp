// The request engine: admission, counting, queues, cancellation and completion.
#include "requests/engine.h"

#include "requests/deferred.h"
#include "requests/held.h"

namespace {

inline PIRP IrpOfEntry(PLIST_ENTRY Entry) {
    return CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry);
}

// The characters a request adds to QueuedWriteChars while it is queued or current.
ULONG QueuedCharsOf(PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction == IRP_MJ_WRITE) {
        return stack->Parameters.Write.Length;
    }
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
        if (code == IOCTL_SERIAL_IMMEDIATE_CHAR || code == IOCTL_SERIAL_XOFF_COUNTER) {
            return 1;
        }
    }
    return 0;
}

// A queue-size request carries its new ring, allocated by the device-control handler, in
// Type3InputBuffer until the read start routine installs it. Takes the buffer out of a request
// that will never run (cancel lock held); the caller frees it once the lock is released.
PVOID TakeParkedBuffer(PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL ||
        stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_SERIAL_SET_QUEUE_SIZE) {
        return NULL;
    }
    PVOID buffer = stack->Parameters.DeviceIoControl.Type3InputBuffer;
    stack->Parameters.DeviceIoControl.Type3InputBuffer = NULL;
    return buffer;
}

VOID FreeParkedBuffer(PVOID Buffer) {
    if (Buffer != NULL) {
        ExFreePoolWithTag(Buffer, QUELLA_POOL_TAG);
    }
}

VOID CompleteCancelled(PIRP Irp, CCHAR Boost) {
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, Boost);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Admission and counting
// ---------------------------------------------------------------------------------------------
// IRQL <= DISPATCH_LEVEL; takes AcceptLock, then (after releasing it) the cancel lock.
NTSTATUS BeginRequest(PIRP Irp, PSERIAL_PORT_EXTENSION Port) {
    InterlockedIncrement(&Port->ActiveRequestCount);

    KIRQL irql;
    KeAcquireSpinLock(&Port->AcceptLock, &irql);
    ULONG accept = Port->AcceptFlags;
    ULONG state = Port->DeviceStateFlags;
    KeReleaseSpinLock(&Port->AcceptLock, irql);

    if (accept == 0 && (state & STATE_HARDWARE_FAILED) == 0) {
        return STATUS_SUCCESS;
    }
    BOOLEAN pnp = IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_PNP;
    if ((accept & (ACCEPT_REMOVING | ACCEPT_SURPRISE_REMOVED)) != 0 ||
        (state & STATE_HARDWARE_FAILED) != 0) {
        if (pnp) {
            return STATUS_SUCCESS;
        }
        Irp->IoStatus.Status = STATUS_DELETE_PENDING;
        Irp->IoStatus.Information = 0;
        return STATUS_DELETE_PENDING;
    }
    if ((accept & ACCEPT_STOPPING) != 0) {
        return pnp ? STATUS_SUCCESS : HoldRequest(Irp, Port);
    }
    return STATUS_SUCCESS;  // only ACCEPT_STOPPED: a stopped port still takes requests
}

// Any IRQL up to DISPATCH_LEVEL; no lock.
VOID EndRequest(PSERIAL_PORT_EXTENSION Port) {
    LONG count = InterlockedDecrement(&Port->ActiveRequestCount);
    QUELLA_ASSERT(count >= 0);
    if (count == 0) {
        KeSetEvent(&Port->RequestsIdleEvent, IO_NO_INCREMENT, FALSE);
    }
}

// IRQL <= DISPATCH_LEVEL; no lock. LineErrorBits is written by the line-status path and by
// IOCTL_SERIAL_GET_COMMSTATUS without a common lock; a stale read only moves the moment at
// which requests start or stop failing.
NTSTATUS FailIfLineError(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PSERIAL_PORT_EXTENSION Port = PortOf(DeviceObject);
    if ((Port->HandFlow.ControlHandShake & SERIAL_ERROR_ABORT) == 0 ||
        *static_cast<volatile ULONG*>(&Port->LineErrorBits) == 0) {
        return STATUS_SUCCESS;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
        stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_GET_COMMSTATUS) {
        return STATUS_SUCCESS;  // the request that reads (and clears) the errors
    }
    CompleteCancelled(Irp, IO_NO_INCREMENT);
    EndRequest(Port);
    return STATUS_CANCELLED;
}

// PASSIVE_LEVEL, no lock.
NTSTATUS AdmitRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN DataRequest) {
    PSERIAL_PORT_EXTENSION Port = PortOf(DeviceObject);
    NTSTATUS status = BeginRequest(Irp, Port);
    if (status == STATUS_PENDING) {
        EndRequest(Port);  // the held request belongs to HeldRequestQueue now
        return STATUS_PENDING;
    }
    if (status != STATUS_SUCCESS) {
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        EndRequest(Port);
        return status;
    }
    return DataRequest ? FailIfLineError(DeviceObject, Irp) : STATUS_SUCCESS;
}

// IRQL <= DISPATCH_LEVEL; takes AcceptLock.
VOID ChangeFlagsLocked(PSERIAL_PORT_EXTENSION Port, PULONG Word, ULONG Bits, BOOLEAN Set) {
    KIRQL irql;
    KeAcquireSpinLock(&Port->AcceptLock, &irql);
    if (Set) {
        *Word |= Bits;
    } else {
        *Word &= ~Bits;
    }
    KeReleaseSpinLock(&Port->AcceptLock, irql);
}

// ---------------------------------------------------------------------------------------------
// Queues and current requests
// ---------------------------------------------------------------------------------------------
// IRQL <= DISPATCH_LEVEL; takes the cancel lock.
NTSTATUS QueueOrStart(PSERIAL_PORT_EXTENSION Port, PIRP Irp, PLIST_ENTRY Queue, PIRP* CurrentSlot,
                      PORT_START_ROUTINE Start) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    ULONG chars = QueuedCharsOf(Irp);
    Port->QueuedWriteChars += chars;

    if (IsListEmpty(Queue) && *CurrentSlot == NULL) {
        // The start routine tests the Cancel flag itself.
        *CurrentSlot = Irp;
        IoReleaseCancelSpinLock(irql);
        return Start(Port);
    }

    if (Irp->Cancel) {
        Port->QueuedWriteChars -= chars;
        PVOID parked = TakeParkedBuffer(Irp);
        IoReleaseCancelSpinLock(irql);
        FreeParkedBuffer(parked);
        CompleteCancelled(Irp, IO_NO_INCREMENT);
        EndRequest(Port);
        return STATUS_CANCELLED;
    }

    Irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(Irp);
    InsertTailList(Queue, &Irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(Irp, CancelWhileQueued);
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
}

// Cancel routine; DISPATCH_LEVEL, cancel lock held on entry and released here.
VOID NTAPI CancelWhileQueued(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PSERIAL_PORT_EXTENSION Port = PortOf(DeviceObject);
    // CancelQueueAndCurrent unlinks before it calls us and leaves the entry pointing at
    // itself, so this unlink is harmless then.
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    InitializeListHead(&Irp->Tail.Overlay.ListEntry);
    Port->QueuedWriteChars -= QueuedCharsOf(Irp);
    PVOID parked = TakeParkedBuffer(Irp);
    IoReleaseCancelSpinLock(Irp->CancelIrql);

    FreeParkedBuffer(parked);
    CompleteCancelled(Irp, IO_SERIAL_INCREMENT);
    EndRequest(Port);
}

// Cancel lock held on entry (taken at OldIrql), released here.
VOID AdvanceQueueLocked(PIRP* CurrentSlot, PLIST_ENTRY Queue, PIRP* NewRequest,
                        BOOLEAN CompleteCurrent, PSERIAL_PORT_EXTENSION Port, KIRQL OldIrql) {
    PIRP old = *CurrentSlot;
    PIRP next = NULL;
    if (Queue != NULL && !IsListEmpty(Queue)) {
        PLIST_ENTRY entry = RemoveHeadList(Queue);
        InitializeListHead(entry);
        next = IrpOfEntry(entry);
        // Under the cancel lock a queued request always still has CancelWhileQueued: a cancel
        // that took it would have unlinked the request first.
        PDRIVER_CANCEL routine = IoSetCancelRoutine(next, NULL);
        QUELLA_ASSERT(routine != NULL);
    }
    *CurrentSlot = next;
    if (NewRequest != NULL) {
        *NewRequest = next;
    }
    IoReleaseCancelSpinLock(OldIrql);

    if (CompleteCurrent && old != NULL) {
        IoCompleteRequest(old, IO_SERIAL_INCREMENT);
        EndRequest(Port);
    }
}

// IRQL <= DISPATCH_LEVEL; takes the cancel lock.
VOID AdvanceQueue(PIRP* CurrentSlot, PLIST_ENTRY Queue, PIRP* NewRequest, BOOLEAN CompleteCurrent,
                  PSERIAL_PORT_EXTENSION Port) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    AdvanceQueueLocked(CurrentSlot, Queue, NewRequest, CompleteCurrent, Port, irql);
}

// Cancel lock held.
VOID StripReferences(PIRP* CurrentSlot, PKTIMER IntervalTimer, PKTIMER TotalTimer,
                     PSERIAL_PORT_EXTENSION Port) {
    PIRP irp = *CurrentSlot;
    if (IoSetCancelRoutine(irp, NULL) != NULL) {
        ClearRef(irp, REF_CANCEL);
    }
    if (IntervalTimer != NULL && CancelCountedTimer(IntervalTimer, Port)) {
        ClearRef(irp, REF_INTERVAL_TIMER);
    }
    if (TotalTimer != NULL && CancelCountedTimer(TotalTimer, Port)) {
        ClearRef(irp, REF_TOTAL_TIMER);
    }
}

// Cancel lock held on entry (taken at OldIrql), released here.
VOID TryFinishCurrent(PSERIAL_PORT_EXTENSION Port, PORT_SYNC_STEP SyncStep, KIRQL OldIrql,
                      NTSTATUS Status, PIRP* CurrentSlot, PLIST_ENTRY Queue, PKTIMER IntervalTimer,
                      PKTIMER TotalTimer, PORT_START_ROUTINE Start, PORT_ADVANCE_ROUTINE Advance,
                      ULONG RefToDrop) {
    PIRP irp = *CurrentSlot;
    if (irp == NULL) {
        IoReleaseCancelSpinLock(OldIrql);
        return;
    }
    // A caller that held no reference must not decide anything about the request.
    if (!ClearRef(irp, RefToDrop)) {
        IoReleaseCancelSpinLock(OldIrql);
        return;
    }
    if (SyncStep != NULL) {
        SyncStep(Port);
    }
    StripReferences(CurrentSlot, IntervalTimer, TotalTimer, Port);
    if (RequestRefs(irp) != 0) {
        IoReleaseCancelSpinLock(OldIrql);
        return;  // the remaining holder finishes it
    }

    irp->IoStatus.Status = Status;
    if (Status == STATUS_CANCELLED) {
        irp->IoStatus.Information = 0;
    }
    if (Advance != NULL) {
        // Nobody refers to the request any more, so it stays in its slot untouched until the
        // advance routine takes it out and completes it.
        IoReleaseCancelSpinLock(OldIrql);
        PIRP next = NULL;
        Advance(CurrentSlot, Queue, &next, TRUE, Port);
        if (next != NULL && Start != NULL) {
            Start(Port);
        }
        return;
    }
    *CurrentSlot = NULL;
    IoReleaseCancelSpinLock(OldIrql);
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
    EndRequest(Port);
}

// IRQL <= DISPATCH_LEVEL; takes the cancel lock, which every cancel routine called here
// releases.
VOID CancelQueueAndCurrent(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue, PIRP* CurrentSlot) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    while (Queue != NULL && !IsListEmpty(Queue)) {
        PLIST_ENTRY entry = RemoveTailList(Queue);
        InitializeListHead(entry);
        PIRP irp = IrpOfEntry(entry);
        PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, NULL);
        QUELLA_ASSERT(routine != NULL);
        if (routine == NULL) {
            routine = CancelWhileQueued;  // every queue is filled by QueueOrStart
        }
        irp->CancelIrql = irql;
        irp->Cancel = TRUE;
        routine(DeviceObject, irp);
        IoAcquireCancelSpinLock(&irql);
    }

    PIRP current = (CurrentSlot != NULL) ? *CurrentSlot : NULL;
    if (current != NULL) {
        current->Cancel = TRUE;
        PDRIVER_CANCEL routine = IoSetCancelRoutine(current, NULL);
        if (routine != NULL) {
            current->CancelIrql = irql;
            routine(DeviceObject, current);
            return;
        }
    }
    IoReleaseCancelSpinLock(irql);
}

// ---------------------------------------------------------------------------------------------
// Passing requests down
// ---------------------------------------------------------------------------------------------
// IRQL <= DISPATCH_LEVEL, no lock.
NTSTATUS ForwardAndEndRequest(PSERIAL_PORT_EXTENSION Port, PDEVICE_OBJECT LowerDevice, PIRP Irp) {
    NTSTATUS status = IofCallDriver(LowerDevice, Irp);
    EndRequest(Port);
    return status;
}

// IRQL <= DISPATCH_LEVEL, no lock.
NTSTATUS ForwardPowerAndEndRequest(PSERIAL_PORT_EXTENSION Port, PDEVICE_OBJECT LowerDevice,
                                   PIRP Irp) {
    NTSTATUS status = PoCallDriver(LowerDevice, Irp);
    EndRequest(Port);
    return status;
}
