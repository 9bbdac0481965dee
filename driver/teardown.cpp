// Teardown of a port at stop, surprise removal and removal.
#include "driver/teardown.h"

#include "driver/naming.h"
#include "requests/deferred.h"
#include "requests/engine.h"
#include "requests/held.h"
#include "usb/configure.h"

namespace {

// Looks at the count of asynchronous control transfers every 10 ms, for at most 3 s.
constexpr LONGLONG CONTROL_TRANSFER_POLL = -100000;
constexpr ULONG CONTROL_TRANSFER_POLLS = 300;

VOID FreeName(PUNICODE_STRING Name) {
    if (Name->Buffer != NULL) {
        ExFreePoolWithTag(Name->Buffer, QUELLA_POOL_TAG);
    }
    Name->Buffer = NULL;
    Name->Length = 0;
    Name->MaximumLength = 0;
}

// Cancels the pending wait-on-mask request, whose cancel routine completes it. Takes the cancel
// lock, which the cancel routine releases.
VOID CancelCurrentWait(PSERIAL_PORT_EXTENSION Port) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP wait = Port->CurrentWaitRequest;
    if (wait == NULL) {
        IoReleaseCancelSpinLock(irql);
        return;
    }
    wait->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(wait, NULL);
    if (routine == NULL) {
        // Its owner is finishing it and sees the Cancel flag.
        IoReleaseCancelSpinLock(irql);
        return;
    }
    wait->CancelIrql = irql;
    routine(Port->DeviceObject, wait);
}

}  // namespace

// PASSIVE_LEVEL (also DISPATCH_LEVEL-safe: only the cancel lock is taken).
VOID CancelPendingRequests(PDEVICE_OBJECT DeviceObject) {
    PSERIAL_PORT_EXTENSION Port = PortOf(DeviceObject);
    CancelQueueAndCurrent(DeviceObject, &Port->WriteQueue, &Port->CurrentWriteRequest);
    CancelQueueAndCurrent(DeviceObject, &Port->ReadQueue, &Port->CurrentReadRequest);
    CancelQueueAndCurrent(DeviceObject, &Port->PurgeQueue, &Port->CurrentPurgeRequest);
    CancelQueueAndCurrent(DeviceObject, &Port->MaskQueue, &Port->CurrentMaskRequest);
    CancelCurrentWait(Port);
    CancelAllHeld(DeviceObject);
}

// Any IRQL up to DISPATCH_LEVEL.
VOID ReleasePortObjects(PSERIAL_PORT_EXTENSION Port) {
    PKTIMER timers[] = {&Port->ReadTotalTimer, &Port->ReadIntervalTimer, &Port->WriteTotalTimer,
                        &Port->ImmediateTimer, &Port->XoffCountTimer,    &Port->RtsLowerTimer};
    for (ULONG i = 0; i < sizeof(timers) / sizeof(timers[0]); ++i) {
        (void)CancelCountedTimer(timers[i], Port);
    }
    PKDPC dpcs[] = {&Port->WriteDoneDpc,         &Port->ReadDoneDpc,
                    &Port->ReadTotalTimeoutDpc,  &Port->ReadIntervalTimeoutDpc,
                    &Port->WriteTotalTimeoutDpc, &Port->LineErrorDpc,
                    &Port->ImmediateDoneDpc,     &Port->ImmediateTimeoutDpc,
                    &Port->WaitDoneDpc,          &Port->XoffCountTimeoutDpc,
                    &Port->XoffCountDoneDpc,     &Port->RtsLowerStartDpc,
                    &Port->RtsLowerDpc};
    for (ULONG i = 0; i < sizeof(dpcs) / sizeof(dpcs[0]); ++i) {
        if (KeRemoveQueueDpc(dpcs[i])) {
            EndDeferredWork(Port);
        }
    }
}

// PASSIVE_LEVEL, Plug and Play thread.
VOID TeardownPort(PDEVICE_OBJECT DeviceObject) {
    PSERIAL_PORT_EXTENSION Port = PortOf(DeviceObject);
    if ((Port->DeviceStateFlags & (STATE_STARTED | STATE_STOPPED)) == STATE_STARTED) {
        ReleasePortObjects(Port);
    }
    // A restart that failed leaves the port not started but still registered.
    if (Port->WmiRegistered) {
        (void)IoWMIRegistrationControl(DeviceObject, WMIREG_ACTION_DEREGISTER);
        Port->WmiRegistered = FALSE;
    }
    RemoveExternalNames(Port);
}

// PASSIVE_LEVEL, Plug and Play thread.
NTSTATUS RemovePort(PDEVICE_OBJECT DeviceObject) {
    PSERIAL_PORT_EXTENSION Port = PortOf(DeviceObject);
    if ((Port->AcceptFlags & ACCEPT_SURPRISE_REMOVED) == 0) {
        TeardownPort(DeviceObject);
    }
    if (Port->LowerDeviceObject != NULL) {
        IoDetachDevice(Port->LowerDeviceObject);
    }
    FreeName(&Port->DeviceName);
    FreeName(&Port->SymbolicLinkName);
    FreeName(&Port->DosName);
    FreeInterfaceCopies(Port);
    IoDeleteDevice(DeviceObject);
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL.
VOID WaitForRequestsToEnd(PSERIAL_PORT_EXTENSION Port, LONG Drop) {
    KeClearEvent(&Port->RequestsIdleEvent);
    LONG count = InterlockedExchangeAdd(&Port->ActiveRequestCount, -Drop) - Drop;
    QUELLA_ASSERT(count >= 0);
    while (count > 0) {
        KeWaitForSingleObject(&Port->RequestsIdleEvent, Executive, KernelMode, FALSE, NULL);
        count = InterlockedCompareExchange(&Port->ActiveRequestCount, 0, 0);
    }
}

VOID WaitForControlTransfers(PSERIAL_PORT_EXTENSION Port) {
    LARGE_INTEGER pause;
    pause.QuadPart = CONTROL_TRANSFER_POLL;
    for (ULONG polls = 0; polls < CONTROL_TRANSFER_POLLS; ++polls) {
        if (InterlockedCompareExchange(&Port->PendingControlTransfers, 0, 0) <= 0) {
            return;
        }
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
}
