// Stand-ins for routines whose subsystems are not built yet. Each dispatch routine refuses its
// request honestly; each DPC routine only ends the deferred work its queuer counted. A
// subsystem that lands deletes its stand-ins here.
#include "driver/routines.h"

namespace {

NTSTATUS RefuseRequest(PIRP Irp) {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

// Drops the DeferredWorkCount reference taken when the DPC was queued or its timer set.
VOID EndWork(PVOID DeferredContext) {
    PSERIAL_PORT_EXTENSION Port = static_cast<PSERIAL_PORT_EXTENSION>(DeferredContext);
    if (InterlockedDecrement(&Port->DeferredWorkCount) == 0) {
        KeSetEvent(&Port->DeferredWorkIdleEvent, IO_NO_INCREMENT, FALSE);
    }
}

}  // namespace

#define QUELLA_REFUSING_DISPATCH(name)                           \
    NTSTATUS NTAPI name(PDEVICE_OBJECT DeviceObject, PIRP Irp) { \
        return RefuseRequest(Irp);                               \
    }

QUELLA_REFUSING_DISPATCH(DispatchCreate)
QUELLA_REFUSING_DISPATCH(DispatchClose)
QUELLA_REFUSING_DISPATCH(DispatchRead)
QUELLA_REFUSING_DISPATCH(DispatchWrite)
QUELLA_REFUSING_DISPATCH(DispatchQueryInformation)
QUELLA_REFUSING_DISPATCH(DispatchSetInformation)
QUELLA_REFUSING_DISPATCH(DispatchFlush)
QUELLA_REFUSING_DISPATCH(DispatchDeviceControl)
QUELLA_REFUSING_DISPATCH(DispatchInternalDeviceControl)
QUELLA_REFUSING_DISPATCH(DispatchCleanup)
QUELLA_REFUSING_DISPATCH(DispatchPower)
QUELLA_REFUSING_DISPATCH(DispatchSystemControl)
QUELLA_REFUSING_DISPATCH(DispatchPnp)

#define QUELLA_IDLE_DPC(name)                                                \
    VOID NTAPI name(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, \
                    PVOID SystemArgument2) {                                 \
        EndWork(DeferredContext);                                            \
    }

QUELLA_IDLE_DPC(WriteDoneDpc)
QUELLA_IDLE_DPC(ReadDoneDpc)
QUELLA_IDLE_DPC(ReadTotalTimeoutDpc)
QUELLA_IDLE_DPC(ReadIntervalTimeoutDpc)
QUELLA_IDLE_DPC(WriteTotalTimeoutDpc)
QUELLA_IDLE_DPC(LineErrorDpc)
QUELLA_IDLE_DPC(ImmediateDoneDpc)
QUELLA_IDLE_DPC(ImmediateTimeoutDpc)
QUELLA_IDLE_DPC(WaitDoneDpc)
QUELLA_IDLE_DPC(XoffCountTimeoutDpc)
QUELLA_IDLE_DPC(XoffCountDoneDpc)
QUELLA_IDLE_DPC(RtsLowerStartDpc)
QUELLA_IDLE_DPC(RtsLowerDpc)

// The port start sequence has no chip initialization yet.
VOID ResetPort(PSERIAL_PORT_EXTENSION Port) {}
