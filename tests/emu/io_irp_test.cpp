// IRP semantics the driver relies on: the completion walk (bottom-up, invoke flags,
// STATUS_MORE_PROCESSING_REQUIRED), pending propagation, device-control requests built with
// IoBuildDeviceIoControlRequest, and the end of an IoAllocateIrp request.
#include <string>
#include <vector>

#include "emu/kernel/pool.h"
#include "tests/emu/io_test_support.h"

namespace {

using io_test::IoTest;
using io_test::LowerOf;

struct RoutineLog {
    std::vector<std::string> calls;
    std::vector<PDEVICE_OBJECT> devices;
    std::vector<bool> pending_returned;
    NTSTATUS result = STATUS_SUCCESS;
};

struct Routine {
    RoutineLog* log;
    std::string name;
    NTSTATUS result;
};

// Records its call; propagates the pending mark as drivers must.
NTSTATUS NTAPI LoggingRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* r = static_cast<Routine*>(context);
    r->log->calls.push_back(r->name);
    r->log->devices.push_back(device);
    r->log->pending_returned.push_back(irp->PendingReturned != 0);
    if (irp->PendingReturned && r->result != STATUS_MORE_PROCESSING_REQUIRED) {
        IoMarkIrpPending(irp);
    }
    return r->result;
}

// A driver layer that installs `routine` and passes the request down.
io_test::Dispatch Layer(Routine* routine) {
    return [routine](PDEVICE_OBJECT device, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, LoggingRoutine, routine, TRUE, TRUE, TRUE);
        return IoCallDriver(LowerOf(device), irp);
    };
}

PIRP NewRequest(PDEVICE_OBJECT top, Routine* sender) {
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    if (sender) {
        IoSetCompletionRoutine(irp, LoggingRoutine, sender, TRUE, TRUE, TRUE);
    }
    return irp;
}

TEST_F(IoTest, CompletionRoutinesRunBottomUpAndMoreProcessingStopsTheWalk) {
    PDEVICE_OBJECT pdo =
        Pdo([](PDEVICE_OBJECT, PIRP irp) { return emu::CompleteIrp(irp, STATUS_SUCCESS, 7); });
    RoutineLog log;
    Routine mid_routine{&log, "mid", STATUS_SUCCESS};
    Routine top_routine{&log, "top", STATUS_SUCCESS};
    Routine sender{&log, "sender", STATUS_MORE_PROCESSING_REQUIRED};
    PDEVICE_OBJECT mid = Device(Layer(&mid_routine), pdo);
    PDEVICE_OBJECT top = Device(Layer(&top_routine), mid);
    ASSERT_EQ(top->StackSize, 3);

    PIRP irp = NewRequest(top, &sender);
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_SUCCESS);
    EXPECT_EQ(log.calls, (std::vector<std::string>{"mid", "top", "sender"}));
    // Each routine gets its own driver's device; the sender had no stack location of its own.
    EXPECT_EQ(log.devices, (std::vector<PDEVICE_OBJECT>{mid, top, nullptr}));
    EXPECT_EQ(irp->IoStatus.Information, 7u);
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
    ASSERT_TRUE(emu::IrpIsLive(irp));  // the sender kept it
    IoFreeIrp(irp);
    EXPECT_FALSE(emu::IrpIsLive(irp));

    // The middle layer keeps the request: nothing above it runs until it completes it again.
    log.calls.clear();
    mid_routine.result = STATUS_MORE_PROCESSING_REQUIRED;
    irp = NewRequest(top, &sender);
    IoCallDriver(top, irp);
    EXPECT_EQ(log.calls, (std::vector<std::string>{"mid"}));
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, mid);
    irp->IoStatus.Status = STATUS_DEVICE_DATA_ERROR;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(log.calls, (std::vector<std::string>{"mid", "top", "sender"}));
    EXPECT_EQ(irp->IoStatus.Status, STATUS_DEVICE_DATA_ERROR);
    IoFreeIrp(irp);

    // Invoke flags: a routine for errors only is skipped on success, and an IRP nobody keeps
    // is freed when its completion reaches the top.
    log.calls.clear();
    size_t live = emu::LiveIrpCount();
    irp = IoAllocateIrp(pdo->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, LoggingRoutine, &sender, FALSE, TRUE, FALSE);
    EXPECT_EQ(emu::LiveIrpCount(), live + 1);
    IoCallDriver(pdo, irp);
    EXPECT_TRUE(log.calls.empty());
    EXPECT_EQ(emu::LiveIrpCount(), live);
}

TEST_F(IoTest, PendingReturnedPropagatesThroughEveryLevel) {
    PIRP held = nullptr;
    PDEVICE_OBJECT pdo = Pdo([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    RoutineLog log;
    Routine top_routine{&log, "top", STATUS_SUCCESS};
    Routine sender{&log, "sender", STATUS_MORE_PROCESSING_REQUIRED};
    // A layer that skips its location, under one that returns the lower status without
    // marking the IRP itself: its completion routine marks it, which is the platform's rule.
    PDEVICE_OBJECT mid = Device(io_test::PassDown, pdo);
    PDEVICE_OBJECT top = Device(Layer(&top_routine), mid);

    PIRP irp = NewRequest(top, &sender);
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_PENDING);
    ASSERT_EQ(held, irp);
    // Completed later at DISPATCH_LEVEL on a processor thread, as a bus driver would.
    emu::QueueWork([irp] { emu::CompleteIrp(irp, STATUS_SUCCESS, 3); }, "complete");
    emu::Settle();
    EXPECT_EQ(log.calls, (std::vector<std::string>{"top", "sender"}));
    EXPECT_EQ(log.pending_returned, (std::vector<bool>{true, true}));
    IoFreeIrp(irp);

    // Completed synchronously: nothing was pending anywhere.
    log = RoutineLog{};
    PDEVICE_OBJECT quick_pdo =
        Pdo([](PDEVICE_OBJECT, PIRP irp) { return emu::CompleteIrp(irp, STATUS_SUCCESS); });
    PDEVICE_OBJECT quick = Device(Layer(&top_routine), quick_pdo);
    irp = NewRequest(quick, &sender);
    EXPECT_EQ(IoCallDriver(quick, irp), STATUS_SUCCESS);
    EXPECT_EQ(log.pending_returned, (std::vector<bool>{false, false}));
    IoFreeIrp(irp);
}

constexpr ULONG kEchoCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

// Answers kEchoCode: the output is the input reversed, Information its length.
NTSTATUS Echo(PIRP irp, NTSTATUS status) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    ULONG n = sp->Parameters.DeviceIoControl.InputBufferLength;
    std::vector<uint8_t> input(buffer, buffer + n);
    for (ULONG i = 0; i < n; ++i) {
        buffer[i] = input[n - 1 - i];
    }
    return emu::CompleteIrp(irp, status, n);
}

TEST_F(IoTest, BuiltDeviceControlRequestFillsStatusBlockCopiesOutputAndSignalsEvent) {
    emu::Time delay = 0;  // 0: complete at once; otherwise pend and complete later
    NTSTATUS answer = STATUS_SUCCESS;
    UCHAR major = 0;
    ULONG code = 0, in_length = 0, out_length = 0;
    PDEVICE_OBJECT pdo = Pdo([&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        major = sp->MajorFunction;
        code = sp->Parameters.DeviceIoControl.IoControlCode;
        in_length = sp->Parameters.DeviceIoControl.InputBufferLength;
        out_length = sp->Parameters.DeviceIoControl.OutputBufferLength;
        if (delay == 0) {
            return Echo(irp, answer);
        }
        IoMarkIrpPending(irp);
        NTSTATUS status = answer;
        emu::ScheduleWork(
            emu::Now() + delay, [irp, status] { Echo(irp, status); }, "echo");
        return STATUS_PENDING;
    });

    size_t live = emu::LiveIrpCount();
    auto send = [&](uint8_t(&output)[8], IO_STATUS_BLOCK& iosb, KEVENT& event) {
        uint8_t input[4] = {1, 2, 3, 4};
        memset(output, 0xEE, sizeof output);
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(kEchoCode, pdo, input, sizeof input, output,
                                                 sizeof output, TRUE, &event, &iosb);
        NTSTATUS status = IoCallDriver(pdo, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        }
        return status;
    };

    uint8_t output[8];
    IO_STATUS_BLOCK iosb{};
    KEVENT event;
    EXPECT_EQ(send(output, iosb, event), STATUS_SUCCESS);
    EXPECT_EQ(major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(code, kEchoCode);
    EXPECT_EQ(in_length, 4u);
    EXPECT_EQ(out_length, 8u);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 4u);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(std::vector<uint8_t>(output, output + 5),
              (std::vector<uint8_t>{4, 3, 2, 1, 0xEE}));  // only Information bytes come back

    delay = 20 * emu::kMillisecond;
    emu::Time start = emu::Now();
    EXPECT_EQ(send(output, iosb, event), STATUS_PENDING);
    EXPECT_EQ(emu::Now() - start, delay);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(output[0], 4);

    // A failure status comes back without output.
    answer = STATUS_DEVICE_DATA_ERROR;
    EXPECT_EQ(send(output, iosb, event), STATUS_PENDING);
    EXPECT_EQ(iosb.Status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(output[0], 0xEE);

    // The I/O manager freed every IRP and system buffer.
    EXPECT_EQ(emu::LiveIrpCount(), live);
    EXPECT_EQ(emu::PoolOutstandingCount(emu::kIoBufferPoolTag), 0u);
}

TEST_F(IoTest, ReusedIrpStartsOverAndKeepsItsIdentity) {
    PDEVICE_OBJECT pdo =
        Pdo([](PDEVICE_OBJECT, PIRP irp) { return emu::CompleteIrp(irp, STATUS_SUCCESS, 1); });
    RoutineLog log;
    Routine sender{&log, "sender", STATUS_MORE_PROCESSING_REQUIRED};
    PIRP irp = NewRequest(pdo, &sender);
    IoCallDriver(pdo, irp);
    IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->IoStatus.Information, 0u);
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, LoggingRoutine, &sender, TRUE, TRUE, TRUE);
    IoCallDriver(pdo, irp);
    EXPECT_EQ(log.calls.size(), 2u);
    IoFreeIrp(irp);
}

struct PowerLog {
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    UCHAR minor = 0;
    DEVICE_POWER_STATE state = PowerDeviceUnspecified;
    NTSTATUS status = STATUS_PENDING;
};

VOID NTAPI PowerDone(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                     PIO_STATUS_BLOCK iosb) {
    auto* log = static_cast<PowerLog*>(context);
    ++log->calls;
    log->device = device;
    log->minor = minor;
    log->state = state.DeviceState;
    log->status = iosb->Status;
}

TEST_F(IoTest, PowerRequestsGoToTheTopOfTheStackAndReportToTheRequester) {
    PDEVICE_OBJECT pdo = Pdo(emu::CompleteLikeBusDriver);
    UCHAR seen_minor = 0xFF;
    POWER_STATE_TYPE seen_type = SystemPowerState;
    DEVICE_POWER_STATE seen_state = PowerDeviceUnspecified;
    NTSTATUS initial = STATUS_SUCCESS;
    PDEVICE_OBJECT fdo = Device(
        [&](PDEVICE_OBJECT device, PIRP irp) {
            PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
            EXPECT_EQ(sp->MajorFunction, IRP_MJ_POWER);
            seen_minor = sp->MinorFunction;
            seen_type = sp->Parameters.Power.Type;
            seen_state = sp->Parameters.Power.State.DeviceState;
            initial = irp->IoStatus.Status;
            PoSetPowerState(device, DevicePowerState, sp->Parameters.Power.State);
            PoStartNextPowerIrp(irp);
            IoSkipCurrentIrpStackLocation(irp);
            return PoCallDriver(LowerOf(device), irp);
        },
        pdo);

    size_t live = emu::LiveIrpCount();
    PowerLog log;
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    // Aimed at the physical device object, as the driver does; the stack's top receives it.
    EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, d0, PowerDone, &log, nullptr),
              STATUS_PENDING);
    EXPECT_EQ(seen_minor, IRP_MN_SET_POWER);
    EXPECT_EQ(seen_type, DevicePowerState);
    EXPECT_EQ(seen_state, PowerDeviceD0);
    EXPECT_EQ(initial, STATUS_NOT_SUPPORTED);  // power requests start out unanswered
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(log.device, pdo);
    EXPECT_EQ(log.minor, IRP_MN_SET_POWER);
    EXPECT_EQ(log.state, PowerDeviceD0);
    EXPECT_EQ(log.status, STATUS_SUCCESS);
    EXPECT_EQ(emu::ReportedDevicePowerState(fdo), PowerDeviceD0);
    EXPECT_EQ(emu::StartNextPowerIrpCalls(), 2u);  // the function driver's and the bus driver's
    EXPECT_EQ(emu::LiveIrpCount(), live);
    EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_START_DEVICE + 7, d0, PowerDone, &log, nullptr),
              STATUS_INVALID_PARAMETER_2);

    // The other platform services a function driver registers with.
    EXPECT_EQ(IoWMIRegistrationControl(fdo, WMIREG_ACTION_REGISTER), STATUS_SUCCESS);
    EXPECT_TRUE(emu::WmiRegistered(fdo));
    EXPECT_EQ(IoWMIRegistrationControl(fdo, WMIREG_ACTION_DEREGISTER), STATUS_SUCCESS);
    EXPECT_FALSE(emu::WmiRegistered(fdo));
    EXPECT_EQ(IoGetConfigurationInformation()->SerialCount, 0u);
    IoGetConfigurationInformation()->SerialCount++;
    EXPECT_EQ(IoGetConfigurationInformation()->SerialCount, 1u);
}

}  // namespace
