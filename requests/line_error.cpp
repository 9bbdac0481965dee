// LineErrorDpc: after an aborting line error, every write and read of the port ends.
#include "driver/routines.h"
#include "requests/deferred.h"
#include "requests/engine.h"

// DPC routine, DISPATCH_LEVEL. Queued with QueueCountedDpc by the line-status processing when
// a line error arrives while SERIAL_ERROR_ABORT is on. Writes go first, then reads; within each
// kind the queued requests go newest first and the current one last.
VOID NTAPI LineErrorDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                        PVOID SystemArgument2) {
    PSERIAL_PORT_EXTENSION Port = static_cast<PSERIAL_PORT_EXTENSION>(DeferredContext);
    CancelQueueAndCurrent(Port->DeviceObject, &Port->WriteQueue, &Port->CurrentWriteRequest);
    CancelQueueAndCurrent(Port->DeviceObject, &Port->ReadQueue, &Port->CurrentReadRequest);
    EndDeferredWork(Port);
}
