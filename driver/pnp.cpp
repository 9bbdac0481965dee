// The Plug and Play dispatch: start, stop and removal of the port, and the capability,
// identifier and device-state queries.
#include "driver/pnp.h"

#include "chip/requests.h"
#include "driver/globals.h"
#include "driver/naming.h"
#include "driver/routines.h"
#include "driver/start.h"
#include "driver/teardown.h"
#include "requests/engine.h"
#include "requests/held.h"
#include "usb/configure.h"
#include "usb/pipe_transfer.h"

namespace {

// How long removal lets the lower stack settle before the device object goes.
constexpr LONGLONG REMOVAL_PAUSE = -50000;  // relative, 5 ms in 100 ns units

NTSTATUS NTAPI SignalEvent(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CompleteAndEnd(PSERIAL_PORT_EXTENSION Port, PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    EndRequest(Port);
    return Status;
}

NTSTATUS PassDownCopying(PSERIAL_PORT_EXTENSION Port, PIRP Irp) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return ForwardAndEndRequest(Port, Port->LowerDeviceObject, Irp);
}

NTSTATUS PassDownSkipping(PSERIAL_PORT_EXTENSION Port, PIRP Irp) {
    IoSkipCurrentIrpStackLocation(Irp);
    return ForwardAndEndRequest(Port, Port->LowerDeviceObject, Irp);
}

// Frees the receive ring (the device is gone, nothing will be received into it again).
VOID FreeReceiveBuffer(PSERIAL_PORT_EXTENSION Port) {
    KIRQL irql;
    KeAcquireSpinLock(&Port->ReceiveLock, &irql);
    PUCHAR ring = Port->RxBuffer;
    if (ring != NULL && Port->RxTarget == ring) {
        Port->RxTarget = NULL;
        Port->RxPut = NULL;
        Port->RxLast = NULL;
    }
    Port->RxBuffer = NULL;
    Port->RxTake = NULL;
    Port->RxBufferSize = 0;
    Port->RxCount = 0;
    KeReleaseSpinLock(&Port->ReceiveLock, irql);
    if (ring != NULL) {
        ExFreePoolWithTag(ring, QUELLA_POOL_TAG);
    }
}

// After the lower drivers started the device: the port start, chip identification, the
// default registers for a blank EEPROM and the register shadow.
NTSTATUS StartHandler(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PSERIAL_PORT_EXTENSION Port = PortOf(DeviceObject);
    KeInitializeEvent(&Port->StartEvent, SynchronizationEvent, FALSE);
    NTSTATUS status = ForwardAndWait(Port, Irp, &Port->StartEvent);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    status = StartPort(DeviceObject, stack->Parameters.StartDevice.AllocatedResources,
                       stack->Parameters.StartDevice.AllocatedResourcesTranslated);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = IdentifyChip(DeviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!EepromSignaturePresent(Port)) {
        (void)WriteDefaultRegisters(Port);
    }
    (void)ReadRegister(DeviceObject, 0);
    (void)ReadRegister(DeviceObject, 1);
    UCHAR value = 0;
    ULONG moved = 0;
    if (NT_SUCCESS(VendorRead(DeviceObject, static_cast<USHORT>(CHIP_READ_REGISTER_BASE + 2),
                              &value, &moved)) &&
        moved == 1) {
        Port->ChipRegShadow[2] = value;
    }
    return status;
}

NTSTATUS OnStart(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PSERIAL_PORT_EXTENSION Port = PortOf(DeviceObject);
    MmLockPagableSectionByHandle(PagedCodeHandle);
    Port->ChipType = -1;
    Port->DevicePowerState = PowerDeviceD0;
    NTSTATUS status = StartHandler(DeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        // Requests held while a stop was pending (none at a first start) run now, when the port
        // is started, the chip identified and its pipes selected, as for a request arriving
        // now. After a failed start they stay held; the removal that follows cancels them.
        ReleaseHeldRequests(Port);
    }
    MmUnlockPagableImageSection(PagedCodeHandle);
    return CompleteAndEnd(Port, Irp, status);
}

NTSTATUS OnQueryRemove(PSERIAL_PORT_EXTENSION Port, PIRP Irp) {
    ExAcquireFastMutex(&Port->OpenMutex);
    if (Port->PortIsOpen) {
        ExReleaseFastMutex(&Port->OpenMutex);
        return CompleteAndEnd(Port, Irp, STATUS_DEVICE_BUSY);
    }
    Port->PnpState = PNP_STATE_REMOVE_PENDING;
    ChangeFlagsLocked(Port, &Port->AcceptFlags, ACCEPT_REMOVING, TRUE);
    ExReleaseFastMutex(&Port->OpenMutex);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDownCopying(Port, Irp);
}

// The state a cancelled removal returns to: what the port was before the query, as its device
// state tells (a port that never started must not look started).
ULONG StateBeforeRemoveQuery(PSERIAL_PORT_EXTENSION Port) {
    ULONG flags = Port->DeviceStateFlags;
    if ((flags & STATE_STARTED) == 0) {
        return PNP_STATE_NEVER_STARTED;
    }
    return (flags & STATE_STOPPED) != 0 ? PNP_STATE_STOPPED : PNP_STATE_STARTED;
}

NTSTATUS OnCancelRemove(PSERIAL_PORT_EXTENSION Port, PIRP Irp) {
    if (Port->PnpState == PNP_STATE_REMOVE_PENDING) {
        Port->PnpState = StateBeforeRemoveQuery(Port);
    }
    ChangeFlagsLocked(Port, &Port->AcceptFlags, ACCEPT_REMOVING, FALSE);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDownCopying(Port, Irp);
}

NTSTATUS OnRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PSERIAL_PORT_EXTENSION Port = PortOf(DeviceObject);
    ChangeFlagsLocked(Port, &Port->AcceptFlags, ACCEPT_REMOVING, TRUE);
    CancelPendingRequests(DeviceObject);
    StopAllPipes(Port);
    WaitForRequestsToEnd(Port, 2);  // this request's count and the port's own
    // A register write sent from raised IRQL may still be in flight; its completion routine
    // touches the port, which is about to go.
    WaitForControlTransfers(Port);

    LARGE_INTEGER pause;
    pause.QuadPart = REMOVAL_PAUSE;
    KeDelayExecutionThread(KernelMode, FALSE, &pause);

    PDEVICE_OBJECT lower = Port->LowerDeviceObject;
    RemovePort(DeviceObject);  // the extension is gone from here on
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return IoCallDriver(lower, Irp);
}

NTSTATUS OnStop(PSERIAL_PORT_EXTENSION Port, PIRP Irp) {
    ChangeFlagsLocked(Port, &Port->DeviceStateFlags, STATE_STOPPED, TRUE);
    ChangeFlagsLocked(Port, &Port->AcceptFlags, ACCEPT_STOPPED, TRUE);
    ChangeFlagsLocked(Port, &Port->AcceptFlags, ACCEPT_STOPPING, FALSE);
    Port->PnpState = PNP_STATE_STOPPED;

    WaitForRequestsToEnd(Port, 2);
    InterlockedIncrement(&Port->ActiveRequestCount);  // the port's own count comes back

    if ((Port->DeviceStateFlags & STATE_STARTED) != 0) {
        ReleasePortObjects(Port);
    }
    // This request's count ended above, so it goes down without ForwardAndEndRequest.
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Port->LowerDeviceObject, Irp);
}

NTSTATUS OnQueryStop(PSERIAL_PORT_EXTENSION Port, PIRP Irp) {
    if (Port->PnpState != PNP_STATE_STARTED) {
        return PassDownSkipping(Port, Irp);
    }
    ExAcquireFastMutex(&Port->OpenMutex);
    if (Port->PortIsOpen) {
        ExReleaseFastMutex(&Port->OpenMutex);
        return CompleteAndEnd(Port, Irp, STATUS_DEVICE_BUSY);
    }
    Port->PnpState = PNP_STATE_STOP_PENDING;
    ChangeFlagsLocked(Port, &Port->AcceptFlags, ACCEPT_STOPPING, TRUE);
    ExReleaseFastMutex(&Port->OpenMutex);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDownCopying(Port, Irp);
}

// The stop will not come: requests held since the query are dispatched now rather than left
// waiting for a restart that may never happen.
NTSTATUS OnCancelStop(PSERIAL_PORT_EXTENSION Port, PIRP Irp) {
    if (Port->PnpState == PNP_STATE_STOP_PENDING) {
        Port->PnpState = PNP_STATE_STARTED;
        ChangeFlagsLocked(Port, &Port->AcceptFlags, ACCEPT_STOPPING, FALSE);
        ReleaseHeldRequests(Port);
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDownCopying(Port, Irp);
}

NTSTATUS OnQueryCapabilities(PSERIAL_PORT_EXTENSION Port, PIRP Irp) {
    PKEVENT event =
        static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), QUELLA_POOL_TAG));
    if (event == NULL) {
        return CompleteAndEnd(Port, Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    KeInitializeEvent(event, NotificationEvent, FALSE);
    NTSTATUS status = ForwardAndWait(Port, Irp, event);
    ExFreePoolWithTag(event, QUELLA_POOL_TAG);

    PDEVICE_CAPABILITIES caps =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    if (caps != NULL) {
        caps->SurpriseRemovalOK = 1;
        for (int state = PowerSystemSleeping1; state <= PowerSystemShutdown; ++state) {
            Port->PowerStateMap[state] = caps->DeviceState[state];
        }
        Port->PowerStateMap[PowerSystemUnspecified] = PowerDeviceUnspecified;
        Port->PowerStateMap[PowerSystemWorking] = PowerDeviceD0;
        Port->DeviceWake = caps->DeviceWake;
    }
    return CompleteAndEnd(Port, Irp, status);
}

// Reads MultiportDevice from the device hardware key into *Multiport. A device key without the
// value describes a single port.
NTSTATUS ReadMultiport(PSERIAL_PORT_EXTENSION Port, PULONG Multiport) {
    *Multiport = 0;
    HANDLE key = NULL;
    NTSTATUS status = IoOpenDeviceRegistryKey(Port->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE,
                                              DEVICE_KEY_ACCESS, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = QueryRegistryValue(key, MULTIPORT_DEVICE_VALUE, MULTIPORT_DEVICE_SIZE, Multiport,
                                sizeof(*Multiport));
    ZwClose(key);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        *Multiport = 0;
        status = STATUS_SUCCESS;
    }
    return status;
}

// Hardware IDs: the lower drivers answer first, then the serial-port ID goes on the end of
// their list. The list from below was allocated by the bus driver with its own tag.
NTSTATUS OnQueryHardwareIds(PSERIAL_PORT_EXTENSION Port, PIRP Irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    NTSTATUS status = ForwardAndWait(Port, Irp, &event);
    if (!NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED) {
        return CompleteAndEnd(Port, Irp, status);  // the list, if any, stays the caller's
    }
    PWCHAR below = NT_SUCCESS(status) ? reinterpret_cast<PWCHAR>(Irp->IoStatus.Information) : NULL;

    ULONG multiport = 0;
    status = ReadMultiport(Port, &multiport);
    PWCHAR list = NULL;
    if (NT_SUCCESS(status)) {
        list = AppendHardwareId(below,
                                multiport != 0 ? MULTIPORT_HARDWARE_ID : SINGLE_PORT_HARDWARE_ID);
        if (list == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    if (below != NULL) {
        ExFreePool(below);
    }
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(list);
    return CompleteAndEnd(Port, Irp, status);
}

NTSTATUS OnQueryId(PSERIAL_PORT_EXTENSION Port, PIRP Irp) {
    switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryId.IdType) {
        case BusQueryHardwareIDs:
            return OnQueryHardwareIds(Port, Irp);
        case BusQueryCompatibleIDs:
            Irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDownSkipping(Port, Irp);
        default:
            return PassDownSkipping(Port, Irp);
    }
}

NTSTATUS OnQueryDeviceState(PSERIAL_PORT_EXTENSION Port, PIRP Irp) {
    if ((Port->DeviceStateFlags & STATE_HARDWARE_FAILED) != 0) {
        Irp->IoStatus.Information |= PNP_DEVICE_FAILED;
        Irp->IoStatus.Status = STATUS_SUCCESS;
    }
    return PassDownCopying(Port, Irp);
}

NTSTATUS OnSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PSERIAL_PORT_EXTENSION Port = PortOf(DeviceObject);
    ChangeFlagsLocked(Port, &Port->AcceptFlags, ACCEPT_SURPRISE_REMOVED, TRUE);
    CancelPendingRequests(DeviceObject);
    StopAllPipes(Port);
    FreeReceiveBuffer(Port);

    WaitForRequestsToEnd(Port, 2);
    InterlockedIncrement(&Port->ActiveRequestCount);  // the port's own count comes back

    TeardownPort(DeviceObject);
    // This request's count ended above, so it goes down without ForwardAndEndRequest; the
    // removal that follows finds the count at the port's own 1.
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Port->LowerDeviceObject, Irp);
}

}  // namespace

// PASSIVE_LEVEL.
NTSTATUS ForwardAndWait(PSERIAL_PORT_EXTENSION Port, PIRP Irp, PKEVENT Event) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalEvent, Event, TRUE, TRUE, TRUE);
    if (IoCallDriver(Port->LowerDeviceObject, Irp) == STATUS_PENDING) {
        KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, NULL);
    }
    return Irp->IoStatus.Status;
}

// Any IRQL up to APC_LEVEL.
PWCHAR AppendHardwareId(const WCHAR* List, PCWSTR Id) {
    // Characters of the list up to (not including) its final terminator.
    SIZE_T used = 0;
    if (List != NULL) {
        while (List[used] != 0) {
            while (List[used] != 0) {
                ++used;
            }
            ++used;  // the entry's terminator
        }
    }
    SIZE_T idChars = 0;
    while (Id[idChars] != 0) {
        ++idChars;
    }
    // The old list, the ID with its terminator, the list's final terminator.
    SIZE_T bytes = (used + idChars + 2) * sizeof(WCHAR);
    PWCHAR list = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, QUELLA_POOL_TAG));
    if (list == NULL) {
        return NULL;
    }
    RtlZeroMemory(list, bytes);
    if (used != 0) {
        RtlCopyMemory(list, List, used * sizeof(WCHAR));
    }
    RtlCopyMemory(list + used, Id, idChars * sizeof(WCHAR));
    return list;
}

// PASSIVE_LEVEL, Plug and Play thread.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PSERIAL_PORT_EXTENSION Port = PortOf(DeviceObject);
    NTSTATUS status = BeginRequest(Irp, Port);
    if (status != STATUS_SUCCESS) {
        return CompleteAndEnd(Port, Irp, status);
    }
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
        case IRP_MN_START_DEVICE:
            return OnStart(DeviceObject, Irp);
        case IRP_MN_QUERY_REMOVE_DEVICE:
            return OnQueryRemove(Port, Irp);
        case IRP_MN_REMOVE_DEVICE:
            return OnRemove(DeviceObject, Irp);
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            return OnCancelRemove(Port, Irp);
        case IRP_MN_STOP_DEVICE:
            return OnStop(Port, Irp);
        case IRP_MN_QUERY_STOP_DEVICE:
            return OnQueryStop(Port, Irp);
        case IRP_MN_CANCEL_STOP_DEVICE:
            return OnCancelStop(Port, Irp);
        case IRP_MN_QUERY_CAPABILITIES:
            return OnQueryCapabilities(Port, Irp);
        case IRP_MN_QUERY_ID:
            return OnQueryId(Port, Irp);
        case IRP_MN_QUERY_PNP_DEVICE_STATE:
            return OnQueryDeviceState(Port, Irp);
        case IRP_MN_SURPRISE_REMOVAL:
            return OnSurpriseRemoval(DeviceObject, Irp);
        default:
            return PassDownSkipping(Port, Irp);
    }
}
