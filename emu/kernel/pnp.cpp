// The Plug and Play manager: requests to device stacks and the sequences built from them.
#include "emu/kernel/pnp.h"

#include "emu/kernel/bugcheck.h"
#include "emu/kernel/io_manager.h"
#include "emu/kernel/sched.h"

namespace emu {
namespace {

struct Completion {
    KEVENT done;
};

NTSTATUS NTAPI PnpRequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    KeSetEvent(&static_cast<Completion*>(context)->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;  // the manager frees the request itself
}

}  // namespace

PnpResult SendPnp(PDEVICE_OBJECT pdo, UCHAR minor,
                  const std::function<void(PIO_STACK_LOCATION)>& prepare) {
    PnpResult result;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        BugCheck(rule::kIrqlNotLessOrEqual, "Plug and Play request sent at IRQL %d",
                 KeGetCurrentIrql());
        return result;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        result.status = STATUS_INSUFFICIENT_RESOURCES;
        return result;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = minor;
    if (prepare) {
        prepare(stack);
    }
    Completion completion;
    KeInitializeEvent(&completion.done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, PnpRequestDone, &completion, TRUE, TRUE, TRUE);
    if (IoCallDriver(top, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&completion.done, Executive, KernelMode, FALSE, nullptr);
    }
    result.status = irp->IoStatus.Status;
    result.information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    ObDereferenceObject(top);
    return result;
}

DEVICE_CAPABILITIES PnpQueryCapabilities(PDEVICE_OBJECT pdo, NTSTATUS* status) {
    DEVICE_CAPABILITIES caps;
    RtlZeroMemory(&caps, sizeof caps);
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.Address = ULONG(-1);
    caps.UINumber = ULONG(-1);
    PnpResult result = SendPnp(pdo, IRP_MN_QUERY_CAPABILITIES, [&caps](PIO_STACK_LOCATION s) {
        s->Parameters.DeviceCapabilities.Capabilities = &caps;
    });
    if (status) {
        *status = result.status;
    }
    return caps;
}

std::vector<std::u16string> PnpQueryIds(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type,
                                        NTSTATUS* status) {
    PnpResult result = SendPnp(pdo, IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION s) {
        s->Parameters.QueryId.IdType = type;
    });
    if (status) {
        *status = result.status;
    }
    std::vector<std::u16string> ids;
    auto* list = reinterpret_cast<const WCHAR*>(result.information);
    if (list == nullptr) {
        return ids;
    }
    if (NT_SUCCESS(result.status)) {
        // A multi-string: entries each ended by a terminator, the list by an empty entry.
        const WCHAR* p = list;
        while (*p != 0) {
            std::u16string id;
            for (; *p != 0; ++p) {
                id += char16_t(*p);
            }
            ids.push_back(id);
            ++p;
        }
    }
    ExFreePool(const_cast<WCHAR*>(list));
    return ids;
}

NTSTATUS PnpStart(PDEVICE_OBJECT pdo) {
    NTSTATUS status = SendPnp(pdo, IRP_MN_START_DEVICE).status;
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PnpQueryCapabilities(pdo);
    PnpQueryIds(pdo, BusQueryHardwareIDs);
    SendPnp(pdo, IRP_MN_QUERY_PNP_DEVICE_STATE);
    return status;
}

NTSTATUS PnpPlug(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    NTSTATUS status = CallAddDevice(driver, pdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return PnpStart(pdo);
}

NTSTATUS PnpStop(PDEVICE_OBJECT pdo) {
    NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE).status;
    if (!NT_SUCCESS(status)) {
        SendPnp(pdo, IRP_MN_CANCEL_STOP_DEVICE);
        return status;
    }
    return SendPnp(pdo, IRP_MN_STOP_DEVICE).status;
}

NTSTATUS PnpRemove(PDEVICE_OBJECT pdo) {
    NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE).status;
    if (!NT_SUCCESS(status)) {
        SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
        return status;
    }
    return SendPnp(pdo, IRP_MN_REMOVE_DEVICE).status;
}

NTSTATUS PnpSurpriseRemove(PDEVICE_OBJECT pdo) {
    SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL);
    return SendPnp(pdo, IRP_MN_REMOVE_DEVICE).status;
}

}  // namespace emu
