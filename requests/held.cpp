// The held-request queue: requests that arrive while a stop is pending.
#include "requests/held.h"

namespace {

inline PIRP IrpOfEntry(PLIST_ENTRY Entry) {
    return CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry);
}

}  // namespace

// IRQL <= DISPATCH_LEVEL; takes the cancel lock.
NTSTATUS HoldRequest(PIRP Irp, PSERIAL_PORT_EXTENSION Port) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (Irp->Cancel) {
        IoReleaseCancelSpinLock(irql);
        Irp->IoStatus.Status = STATUS_CANCELLED;
        Irp->IoStatus.Information = 0;
        return STATUS_CANCELLED;
    }
    Irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(Irp);
    InsertTailList(&Port->HeldRequestQueue, &Irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(Irp, CancelWhileHeld);
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
}

// Cancel routine; DISPATCH_LEVEL, cancel lock held on entry and released here. A held request
// holds no ActiveRequestCount, so there is no EndRequest.
VOID NTAPI CancelWhileHeld(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    // CancelAllHeld unlinks first and leaves the entry pointing at itself.
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    InitializeListHead(&Irp->Tail.Overlay.ListEntry);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

// IRQL <= DISPATCH_LEVEL; takes the cancel lock, which each cancel routine releases.
VOID CancelAllHeld(PDEVICE_OBJECT DeviceObject) {
    PSERIAL_PORT_EXTENSION Port = PortOf(DeviceObject);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    while (!IsListEmpty(&Port->HeldRequestQueue)) {
        PLIST_ENTRY entry = RemoveTailList(&Port->HeldRequestQueue);
        InitializeListHead(entry);
        PIRP irp = IrpOfEntry(entry);
        PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, NULL);
        QUELLA_ASSERT(routine != NULL);
        irp->CancelIrql = irql;
        irp->Cancel = TRUE;
        CancelWhileHeld(DeviceObject, irp);
        IoAcquireCancelSpinLock(&irql);
    }
    IoReleaseCancelSpinLock(irql);
}

// PASSIVE_LEVEL; takes the cancel lock for each request and releases it before dispatching.
VOID ReleaseHeldRequests(PSERIAL_PORT_EXTENSION Port) {
    for (;;) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        if (IsListEmpty(&Port->HeldRequestQueue)) {
            IoReleaseCancelSpinLock(irql);
            return;
        }
        PLIST_ENTRY entry = RemoveHeadList(&Port->HeldRequestQueue);
        InitializeListHead(entry);
        PIRP irp = IrpOfEntry(entry);
        PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, NULL);
        QUELLA_ASSERT(routine != NULL);
        IoReleaseCancelSpinLock(irql);

        // A cancel from now on only sets the Cancel flag, which the dispatch path tests when it
        // queues or starts the request.
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        PDEVICE_OBJECT device =
            stack->DeviceObject != NULL ? stack->DeviceObject : Port->DeviceObject;
        device->DriverObject->MajorFunction[stack->MajorFunction](device, irp);
    }
}
