// The power manager's calls a function driver makes, WMI registration, the system's
// configuration counts, and the I/O manager's life cycle.
#include <atomic>

#include "emu/kernel/bugcheck.h"
#include "emu/kernel/io_internal.h"
#include "emu/kernel/kernel.h"
#include "emu/kernel/namespace.h"
#include "emu/kernel/sched.h"

namespace {

CONFIGURATION_INFORMATION g_configuration{};
std::atomic<uint64_t> g_start_next_power_irp{0};

// What PoRequestPowerIrp keeps for the completion of the IRP it sent.
struct PowerRequest {
    PDEVICE_OBJECT target;
    UCHAR minor;
    POWER_STATE state;
    PREQUEST_POWER_COMPLETE completion;
    PVOID context;
};

NTSTATUS NTAPI PowerRequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* request = static_cast<PowerRequest*>(context);
    if (request->completion) {
        request->completion(request->target, request->minor, request->state, request->context,
                            &irp->IoStatus);
    }
    delete request;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

namespace emu {

uint64_t StartNextPowerIrpCalls() {
    return g_start_next_power_irp.load();
}

namespace io {

void PowerReset() {
    g_configuration = CONFIGURATION_INFORMATION{};
    g_start_next_power_irp = 0;
}

}  // namespace io

void IoReset() {
    io::IrpReset();
    io::CancelReset();
    io::DeviceReset();
    io::DriverReset();
    io::PowerReset();
}

void IoShutdown() {
    // IRPs and device objects are pool memory, which the pool takes back after this.
    io::IrpShutdown();
    io::DeviceReset();
    io::DriverReset();
}

}  // namespace emu

PCONFIGURATION_INFORMATION IoGetConfigurationInformation(VOID) {
    return &g_configuration;
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return IofCallDriver(DeviceObject, Irp);
}

VOID PoStartNextPowerIrp(PIRP Irp) {
    ++g_start_next_power_irp;
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE) {
        return STATUS_INVALID_PARAMETER_2;
    }
    KIRQL irql = emu::CurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        emu::BugCheck(emu::rule::kIrqlNotLessOrEqual, "PoRequestPowerIrp called at IRQL %d", irql);
        return STATUS_INVALID_DEVICE_STATE;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
    // One stack location more than the stack needs: the power manager's own, whose completion
    // routine reports to the requester.
    PIRP irp = IoAllocateIrp(CCHAR(top->StackSize + 1), FALSE);
    if (!irp) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = DeviceObject;
    auto* request =
        new PowerRequest{DeviceObject, MinorFunction, PowerState, CompletionFunction, Context};
    IoSetCompletionRoutine(irp, PowerRequestDone, request, TRUE, TRUE, TRUE);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_POWER;
    sp->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        sp->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        sp->Parameters.Power.Type = DevicePowerState;
        sp->Parameters.Power.State = PowerState;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    if (Irp) {
        *Irp = irp;
    }
    PoCallDriver(top, irp);
    ObDereferenceObject(top);
    return STATUS_PENDING;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    POWER_STATE old = State;
    if (Type == DevicePowerState) {
        old.DeviceState = emu::io::ExchangeDevicePowerState(DeviceObject, State.DeviceState);
    }
    return old;
}

NTSTATUS IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action) {
    bool known = true;
    switch (Action) {
        case WMIREG_ACTION_REGISTER:
            known = emu::io::SetWmiRegistered(DeviceObject, true);
            break;
        case WMIREG_ACTION_DEREGISTER:
            known = emu::io::SetWmiRegistered(DeviceObject, false);
            break;
        default:
            break;
    }
    return known ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}
