// Asynchronous control transfers and SetChipAutoXonXoff (see control_async.h).
#include "usb/control_async.h"

#include "chip/requests.h"
#include "usb/sync_request.h"

namespace {

constexpr USHORT VENDOR_URB_SIZE = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
// Register 0 bits of the chip's automatic XON/XOFF.
constexpr UCHAR REGISTER0_AUTO_XON_XOFF = 0xC0;

// What ControlAsyncComplete needs to clean up (NonPagedPool, QUELLA_POOL_TAG).
struct CONTROL_ASYNC_CONTEXT {
    PURB Urb;
    PDEVICE_OBJECT DeviceObject;
    PIRP Irp;
};
typedef CONTROL_ASYNC_CONTEXT* PCONTROL_ASYNC_CONTEXT;

}  // namespace

NTSTATUS SubmitControlAsync(PDEVICE_OBJECT DeviceObject, PURB Urb) {
    PSERIAL_PORT_EXTENSION Port = PortOf(DeviceObject);
    PIRP irp = IoAllocateIrp(Port->LowerDeviceObject->StackSize, FALSE);
    if (irp == NULL) {
        ExFreePoolWithTag(Urb, QUELLA_POOL_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PCONTROL_ASYNC_CONTEXT context = static_cast<PCONTROL_ASYNC_CONTEXT>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(CONTROL_ASYNC_CONTEXT), QUELLA_POOL_TAG));
    if (context == NULL) {
        IoFreeIrp(irp);
        ExFreePoolWithTag(Urb, QUELLA_POOL_TAG);
        return STATUS_NO_MEMORY;
    }
    context->Urb = Urb;
    context->DeviceObject = DeviceObject;
    context->Irp = irp;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
    IoSetCompletionRoutine(irp, ControlAsyncComplete, context, TRUE, TRUE, TRUE);

    InterlockedIncrement(&Port->PendingControlTransfers);
    return IoCallDriver(Port->LowerDeviceObject, irp);
}

NTSTATUS NTAPI ControlAsyncComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    PCONTROL_ASYNC_CONTEXT context = static_cast<PCONTROL_ASYNC_CONTEXT>(Context);
    PSERIAL_PORT_EXTENSION Port = PortOf(context->DeviceObject);
    InterlockedDecrement(&Port->PendingControlTransfers);
    IoFreeIrp(Irp);
    ExFreePoolWithTag(context->Urb, QUELLA_POOL_TAG);
    ExFreePoolWithTag(context, QUELLA_POOL_TAG);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SetChipAutoXonXoff(PSERIAL_PORT_EXTENSION Port, BOOLEAN On) {
    if (Port->ChipType < CHIP_TYPE_CODES) {
        return STATUS_SUCCESS;
    }
    PDEVICE_OBJECT device = Port->DeviceObject;
    const BOOLEAN canWait = KeGetCurrentIrql() == PASSIVE_LEVEL ? TRUE : FALSE;
    if (canWait) {
        // A failed read leaves the shadow as it was; the change then starts from that.
        ReadRegister(device, 0);
    }

    PURB urb =
        static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, VENDOR_URB_SIZE, QUELLA_POOL_TAG));
    if (urb == NULL) {
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(urb, VENDOR_URB_SIZE);
    if (On) {
        Port->ChipRegShadow[0] |= REGISTER0_AUTO_XON_XOFF;
    } else {
        Port->ChipRegShadow[0] &= static_cast<UCHAR>(~REGISTER0_AUTO_XON_XOFF);
    }
    // The register write of register 0: wValue 0, wIndex the new byte.
    UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE, VENDOR_URB_SIZE,
                          USBD_TRANSFER_DIRECTION_OUT, 0, CHIP_VENDOR_REQUEST, 0,
                          static_cast<USHORT>(Port->ChipRegShadow[0]), NULL, NULL, 0, NULL);

    if (canWait) {
        NTSTATUS status = SubmitUrbSync(device, urb);
        ExFreePoolWithTag(urb, QUELLA_POOL_TAG);
        return status;
    }
    NTSTATUS status = SubmitControlAsync(device, urb);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;  // STATUS_PENDING included
}
