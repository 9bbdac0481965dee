// What a function driver does to send URBs down to the bus, for the bus's tests: synchronous
// (a device-control request with an event, as SubmitUrbSync does) and asynchronous (its own
// IRP with a completion routine, as the pipe transfers do).
#pragma once

#include <atomic>
#include <string>

#include "emu/kernel/sched.h"
#include "emu/kernel/wdk/wdk.h"

namespace usb_test {

// One asynchronous URB and what its completion routine saw.
struct AsyncUrb {
    URB urb{};
    UCHAR buffer[512] = {};
    PIRP irp = nullptr;
    NTSTATUS dispatch_status = 0;
    std::atomic<int> completions{0};
    std::atomic<NTSTATUS> status{0};
    std::atomic<int> irql{-1};
    std::atomic<emu::Time> time{-1};
    std::string thread;  // written before `completions`, read after it

    ~AsyncUrb() {
        if (irp != nullptr) {
            IoFreeIrp(irp);
        }
    }
};

inline NTSTATUS NTAPI AsyncUrbDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* async = static_cast<AsyncUrb*>(context);
    async->status = irp->IoStatus.Status;
    async->irql = KeGetCurrentIrql();
    async->time = emu::Now();
    async->thread = emu::CurrentThreadName();
    async->completions.fetch_add(1);
    return STATUS_MORE_PROCESSING_REQUIRED;  // the IRP is the sender's; AsyncUrb frees it
}

// Sends `async.urb` to `target` in a new IRP with a completion routine for every outcome.
inline void SendAsync(PDEVICE_OBJECT target, AsyncUrb& async) {
    async.irp = IoAllocateIrp(target->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(async.irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &async.urb;
    IoSetCompletionRoutine(async.irp, AsyncUrbDone, &async, TRUE, TRUE, TRUE);
    async.dispatch_status = IoCallDriver(target, async.irp);
}

// Sends a URB and waits for it, at PASSIVE_LEVEL; returns the request's final status.
// `dispatch_status` receives what IoCallDriver returned.
inline NTSTATUS SendSync(PDEVICE_OBJECT target, PURB urb, NTSTATUS* dispatch_status = nullptr) {
    KEVENT event;
    IO_STATUS_BLOCK status_block{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, target, nullptr, 0,
                                             nullptr, 0, TRUE, &event, &status_block);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IoCallDriver(target, irp);
    if (dispatch_status != nullptr) {
        *dispatch_status = status;
    }
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = status_block.Status;
    }
    return status;
}

inline void BuildDescriptorRead(URB& urb, UCHAR type, UCHAR index, USHORT language, PVOID buffer,
                                ULONG length) {
    memset(&urb, 0, sizeof(urb));
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index,
                                 language, buffer, nullptr, length, nullptr);
}

inline void BuildBulk(URB& urb, USBD_PIPE_HANDLE pipe, PVOID buffer, ULONG length, ULONG flags) {
    memset(&urb, 0, sizeof(urb));
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           pipe, buffer, nullptr, length, flags, nullptr);
}

}  // namespace usb_test
