// Counted deferred work: DPCs and timers that close and removal can wait for.
#include "requests/deferred.h"

// Any IRQL up to DISPATCH_LEVEL.
BOOLEAN QueueCountedDpc(PKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2,
                        PSERIAL_PORT_EXTENSION Port) {
    // Counted before it is queued: the DPC may run (and end its work) before the insert returns.
    InterlockedIncrement(&Port->DeferredWorkCount);
    if (KeInsertQueueDpc(Dpc, SystemArgument1, SystemArgument2)) {
        return TRUE;
    }
    EndDeferredWork(Port);
    return FALSE;
}

// Any IRQL up to DISPATCH_LEVEL.
BOOLEAN SetCountedTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc,
                        PSERIAL_PORT_EXTENSION Port) {
    InterlockedIncrement(&Port->DeferredWorkCount);
    BOOLEAN wasArmed = KeSetTimer(Timer, DueTime, Dpc);
    if (wasArmed) {
        EndDeferredWork(Port);  // the replaced setting's count now stands for this one
    }
    return wasArmed;
}

// Any IRQL up to DISPATCH_LEVEL.
BOOLEAN CancelCountedTimer(PKTIMER Timer, PSERIAL_PORT_EXTENSION Port) {
    if (!KeCancelTimer(Timer)) {
        return FALSE;  // not armed, or expired with its DPC queued or run: the DPC ends the work
    }
    EndDeferredWork(Port);
    return TRUE;
}

// Any IRQL up to DISPATCH_LEVEL.
VOID EndDeferredWork(PSERIAL_PORT_EXTENSION Port) {
    LONG count = InterlockedDecrement(&Port->DeferredWorkCount);
    QUELLA_ASSERT(count >= 0);
    if (count == 0) {
        KeSetEvent(&Port->DeferredWorkIdleEvent, IO_NO_INCREMENT, FALSE);
    }
}
