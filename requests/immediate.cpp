// The finishing paths of the immediate-character request.
#include "requests/immediate.h"

#include "driver/routines.h"
#include "requests/deferred.h"
#include "requests/engine.h"

namespace {

// Cancel lock held on entry (taken at OldIrql), released inside.
VOID FinishImmediateHolder(PSERIAL_PORT_EXTENSION Port, KIRQL OldIrql, NTSTATUS Status,
                           ULONG RefToDrop) {
    TryFinishCurrent(Port, NULL, OldIrql, Status, &Port->CurrentImmediateRequest, NULL, NULL,
                     &Port->ImmediateTimer, NULL, FinishImmediate, RefToDrop);
}

}  // namespace

// DPC routine, DISPATCH_LEVEL: the character has been handed to the bulk-out pipe.
VOID NTAPI ImmediateDoneDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                            PVOID SystemArgument2) {
    PSERIAL_PORT_EXTENSION Port = static_cast<PSERIAL_PORT_EXTENSION>(DeferredContext);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    FinishImmediateHolder(Port, irql, STATUS_SUCCESS, REF_TRANSFER);
    EndDeferredWork(Port);
}

// DPC routine of ImmediateTimer, DISPATCH_LEVEL.
VOID NTAPI ImmediateTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2) {
    PSERIAL_PORT_EXTENSION Port = static_cast<PSERIAL_PORT_EXTENSION>(DeferredContext);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    FinishImmediateHolder(Port, irql, STATUS_TIMEOUT, REF_TOTAL_TIMER);
    EndDeferredWork(Port);
}

// Cancel routine; DISPATCH_LEVEL, cancel lock held on entry and released inside.
VOID NTAPI CancelImmediate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    FinishImmediateHolder(PortOf(DeviceObject), Irp->CancelIrql, STATUS_CANCELLED, REF_CANCEL);
}

// Advance routine of the immediate slot; IRQL <= DISPATCH_LEVEL, takes the cancel lock.
VOID FinishImmediate(PIRP* CurrentSlot, PLIST_ENTRY Queue, PIRP* NewRequest,
                     BOOLEAN CompleteCurrent, PSERIAL_PORT_EXTENSION Port) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP old = *CurrentSlot;
    *CurrentSlot = NULL;
    if (old != NULL) {
        Port->QueuedWriteChars -= 1;
    }
    IoReleaseCancelSpinLock(irql);
    if (NewRequest != NULL) {
        *NewRequest = NULL;
    }
    if (old != NULL) {
        IoCompleteRequest(old, IO_SERIAL_INCREMENT);
        EndRequest(Port);
    }
}
