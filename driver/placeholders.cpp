// Stand-ins for routines whose subsystems are not built yet. Each dispatch routine refuses its
// request honestly; each DPC routine only ends the deferred work its queuer counted. A
// subsystem that lands deletes its stand-ins here.
//
// The stand-ins of the request dispatch routines admit their request first, as every dispatch
// routine does, so that what the port's state does to a request is already visible: a request
// is held while a stop is pending (and refused once it is replayed), refused with
// STATUS_DELETE_PENDING during removal, and counted while it is inside the driver.
#include "driver/routines.h"
#include "requests/engine.h"

namespace {

NTSTATUS RefuseRequest(PIRP Irp) {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS AdmitAndRefuse(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    NTSTATUS status = AdmitRequest(DeviceObject, Irp, FALSE);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    status = RefuseRequest(Irp);
    EndRequest(PortOf(DeviceObject));
    return status;
}

// Drops the DeferredWorkCount reference taken when the DPC was queued or its timer set.
VOID EndWork(PVOID DeferredContext) {
    PSERIAL_PORT_EXTENSION Port = static_cast<PSERIAL_PORT_EXTENSION>(DeferredContext);
    if (InterlockedDecrement(&Port->DeferredWorkCount) == 0) {
        KeSetEvent(&Port->DeferredWorkIdleEvent, IO_NO_INCREMENT, FALSE);
    }
}

}  // namespace

#define QUELLA_ADMITTING_DISPATCH(name)                          \
    NTSTATUS NTAPI name(PDEVICE_OBJECT DeviceObject, PIRP Irp) { \
        return AdmitAndRefuse(DeviceObject, Irp);                \
    }

#define QUELLA_REFUSING_DISPATCH(name)                           \
    NTSTATUS NTAPI name(PDEVICE_OBJECT DeviceObject, PIRP Irp) { \
        return RefuseRequest(Irp);                               \
    }

QUELLA_ADMITTING_DISPATCH(DispatchCreate)
QUELLA_ADMITTING_DISPATCH(DispatchClose)
QUELLA_ADMITTING_DISPATCH(DispatchRead)
QUELLA_ADMITTING_DISPATCH(DispatchWrite)
QUELLA_ADMITTING_DISPATCH(DispatchQueryInformation)
QUELLA_ADMITTING_DISPATCH(DispatchSetInformation)
QUELLA_ADMITTING_DISPATCH(DispatchFlush)
QUELLA_ADMITTING_DISPATCH(DispatchDeviceControl)
QUELLA_ADMITTING_DISPATCH(DispatchInternalDeviceControl)
QUELLA_ADMITTING_DISPATCH(DispatchCleanup)
// Power requests have their own passing rules (PoStartNextPowerIrp, PoCallDriver) and WMI
// requests are never counted: both stay plain refusals until their subsystems land.
QUELLA_REFUSING_DISPATCH(DispatchPower)
QUELLA_REFUSING_DISPATCH(DispatchSystemControl)

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
QUELLA_IDLE_DPC(WaitDoneDpc)
QUELLA_IDLE_DPC(XoffCountTimeoutDpc)
QUELLA_IDLE_DPC(XoffCountDoneDpc)
QUELLA_IDLE_DPC(RtsLowerStartDpc)
QUELLA_IDLE_DPC(RtsLowerDpc)
