// SubmitUrbSync and SetRemoteWakeupFeature.
#include "usb/sync_request.h"

namespace {

// Completion routine of a synchronous URB request: wakes the waiter and keeps the request, so
// that it stays valid for the waiter's cancel and is freed only by the waiter. Any IRQL up to
// DISPATCH_LEVEL.
NTSTATUS NTAPI SyncUrbDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

// PASSIVE_LEVEL.
//
// The request is allocated by the driver rather than built as a thread request: a thread
// request is freed by the I/O manager the moment it completes, and one that completes between
// the end of the timed wait and the cancel would be cancelled after it was freed. This request
// is returned to us by its completion routine and freed only here, after the last look at it.
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb) {
    PSERIAL_PORT_EXTENSION Port = PortOf(DeviceObject);
    PDEVICE_OBJECT lower = Port->LowerDeviceObject;

    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);

    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.DeviceIoControl.InputBufferLength = 0;
    next->Parameters.DeviceIoControl.OutputBufferLength = 0;
    next->Parameters.Others.Argument1 = Urb;
    IoSetCompletionRoutine(irp, SyncUrbDone, &done, TRUE, TRUE, TRUE);

    NTSTATUS status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = SYNC_URB_TIMEOUT;
        NTSTATUS wait = KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout);
        if (wait == STATUS_TIMEOUT) {
            IoCancelIrp(irp);
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
            status = STATUS_IO_TIMEOUT;
        } else {
            status = irp->IoStatus.Status;
        }
    }
    // Not pending: the lower driver completed the request before returning, so our completion
    // routine has run and the request is ours again.
    IoFreeIrp(irp);
    return status;
}

// PASSIVE_LEVEL.
NTSTATUS SetRemoteWakeupFeature(PDEVICE_OBJECT DeviceObject, BOOLEAN Enable) {
    const ULONG size = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, QUELLA_POOL_TAG));
    if (urb == NULL) {
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(urb, size);
    UsbBuildFeatureRequest(
        urb, Enable ? URB_FUNCTION_SET_FEATURE_TO_DEVICE : URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE,
        USB_FEATURE_REMOTE_WAKEUP, 0, NULL);

    NTSTATUS status = SubmitUrbSync(DeviceObject, urb);
    ExFreePoolWithTag(urb, QUELLA_POOL_TAG);
    return status;
}
