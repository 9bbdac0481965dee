#include "tests/requests/support/engine_fixture.h"

#include <algorithm>

#include "driver/add_device.h"
#include "emu/kernel/io_manager.h"
#include "emu/kernel/sched.h"
#include "requests/deferred.h"
#include "requests/immediate.h"

namespace quella_test {
namespace {

// One synthetic data path: its queue, slot, total timer and DPCs, and whether the transfer
// side still holds its current request (cancel lock).
struct FakePath {
    PIRP SERIAL_PORT_EXTENSION::*slot;
    LIST_ENTRY SERIAL_PORT_EXTENSION::*queue;
    KTIMER SERIAL_PORT_EXTENSION::*timer;
    KDPC SERIAL_PORT_EXTENSION::*timeout_dpc;
    KDPC SERIAL_PORT_EXTENSION::*done_dpc;
    LONGLONG FakeOptions::*timeout;
    PORT_START_ROUTINE start;
    PORT_ADVANCE_ROUTINE advance;
    PORT_SYNC_STEP reclaim;
    PDRIVER_CANCEL cancel;
    bool transfer;
};

FakeOptions* g_fakes = nullptr;
FakePath g_read;
FakePath g_write;

FakePath& Of(Path path) {
    return path == Path::Read ? g_read : g_write;
}

// Cancel lock held on entry, released inside.
void FinishFake(PSERIAL_PORT_EXTENSION Port, FakePath& p, KIRQL irql, PORT_SYNC_STEP sync,
                NTSTATUS status, ULONG ref) {
    TryFinishCurrent(Port, sync, irql, status, &(Port->*p.slot), &(Port->*p.queue), nullptr,
                     &(Port->*p.timer), p.start, p.advance, ref);
}

// The start routine of both paths, one pass per request that becomes current.
NTSTATUS StartFake(PSERIAL_PORT_EXTENSION Port, FakePath& p) {
    NTSTATUS first = STATUS_PENDING;
    bool is_first = true;
    PIRP irp = Port->*p.slot;
    while (irp != nullptr) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
            // A queue-size request: install the parked buffer (here: free it) and complete.
            ExFreePoolWithTag(stack->Parameters.DeviceIoControl.Type3InputBuffer, QUELLA_POOL_TAG);
            stack->Parameters.DeviceIoControl.Type3InputBuffer = nullptr;
            irp->IoStatus.Status = STATUS_SUCCESS;
        } else {
            ResetRefs(irp);
            KIRQL irql;
            IoAcquireCancelSpinLock(&irql);
            if (irp->Cancel) {
                IoReleaseCancelSpinLock(irql);
                irp->IoStatus.Status = STATUS_CANCELLED;
                irp->IoStatus.Information = 0;
            } else {
                IoMarkIrpPending(irp);
                IoSetCancelRoutine(irp, p.cancel);
                SetRef(irp, REF_CANCEL);
                if (g_fakes->*p.timeout != 0) {
                    SetRef(irp, REF_TOTAL_TIMER);
                    LARGE_INTEGER due;
                    due.QuadPart = g_fakes->*p.timeout;
                    SetCountedTimer(&(Port->*p.timer), due, &(Port->*p.timeout_dpc), Port);
                }
                SetRef(irp, REF_TRANSFER);
                p.transfer = true;
                IoReleaseCancelSpinLock(irql);
                return first;
            }
        }
        if (is_first) {
            first = irp->IoStatus.Status;
            is_first = false;
        }
        p.advance(&(Port->*p.slot), &(Port->*p.queue), &irp, TRUE, Port);
    }
    return first;
}

NTSTATUS StartFakeRead(PSERIAL_PORT_EXTENSION Port) {
    return StartFake(Port, g_read);
}
NTSTATUS StartFakeWrite(PSERIAL_PORT_EXTENSION Port) {
    return StartFake(Port, g_write);
}

// Synchronisation steps (cancel lock held): take the request back from the transfer side,
// which has moved one byte of it by then.
void Reclaim(PSERIAL_PORT_EXTENSION Port, FakePath& p) {
    if (p.transfer) {
        p.transfer = false;
        (Port->*p.slot)->IoStatus.Information = 1;
        ClearRef(Port->*p.slot, REF_TRANSFER);
    }
}
VOID ReclaimRead(PSERIAL_PORT_EXTENSION Port) {
    Reclaim(Port, g_read);
}
VOID ReclaimWrite(PSERIAL_PORT_EXTENSION Port) {
    Reclaim(Port, g_write);
}

// Advance routine of the write path: the write leaving the slot takes its characters back.
VOID NextFakeWrite(PIRP* slot, PLIST_ENTRY queue, PIRP* next, BOOLEAN complete,
                   PSERIAL_PORT_EXTENSION Port) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Port->QueuedWriteChars -= IoGetCurrentIrpStackLocation(*slot)->Parameters.Write.Length;
    IoReleaseCancelSpinLock(irql);
    AdvanceQueue(slot, queue, next, complete, Port);
}

VOID NTAPI CancelFakeRead(PDEVICE_OBJECT device, PIRP irp) {
    FinishFake(PortOf(device), g_read, irp->CancelIrql, ReclaimRead, STATUS_CANCELLED, REF_CANCEL);
}
VOID NTAPI CancelFakeWrite(PDEVICE_OBJECT device, PIRP irp) {
    FinishFake(PortOf(device), g_write, irp->CancelIrql, ReclaimWrite, STATUS_CANCELLED,
               REF_CANCEL);
}

void DoneDpc(PVOID context, FakePath& p) {
    auto Port = static_cast<PSERIAL_PORT_EXTENSION>(context);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    FinishFake(Port, p, irql, nullptr, STATUS_SUCCESS, REF_TRANSFER);
    EndDeferredWork(Port);
}
void TimeoutDpc(PVOID context, FakePath& p) {
    auto Port = static_cast<PSERIAL_PORT_EXTENSION>(context);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    FinishFake(Port, p, irql, p.reclaim, STATUS_TIMEOUT, REF_TOTAL_TIMER);
    EndDeferredWork(Port);
}
VOID NTAPI FakeReadDone(PKDPC, PVOID context, PVOID, PVOID) {
    DoneDpc(context, g_read);
}
VOID NTAPI FakeWriteDone(PKDPC, PVOID context, PVOID, PVOID) {
    DoneDpc(context, g_write);
}
VOID NTAPI FakeReadTimeout(PKDPC, PVOID context, PVOID, PVOID) {
    TimeoutDpc(context, g_read);
}
VOID NTAPI FakeWriteTimeout(PKDPC, PVOID context, PVOID, PVOID) {
    TimeoutDpc(context, g_write);
}

NTSTATUS CompleteNow(PSERIAL_PORT_EXTENSION Port, PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EndRequest(Port);
    return status;
}

// The immediate character's start as its device-control handler does it.
NTSTATUS StartFakeImmediate(PSERIAL_PORT_EXTENSION Port, PIRP irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (Port->CurrentImmediateRequest != nullptr) {
        IoReleaseCancelSpinLock(irql);
        return CompleteNow(Port, irp, STATUS_INVALID_PARAMETER);
    }
    Port->CurrentImmediateRequest = irp;
    Port->QueuedWriteChars += 1;
    irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(irp);
    ResetRefs(irp);
    IoSetCancelRoutine(irp, CancelImmediate);
    SetRef(irp, REF_CANCEL);
    if (g_fakes->immediate_timeout != 0) {
        SetRef(irp, REF_TOTAL_TIMER);
        LARGE_INTEGER due;
        due.QuadPart = g_fakes->immediate_timeout;
        SetCountedTimer(&Port->ImmediateTimer, due, &Port->ImmediateTimeoutDpc, Port);
    }
    if (g_fakes->immediate_sends) {
        SetRef(irp, REF_TRANSFER);
        QueueCountedDpc(&Port->ImmediateDoneDpc, nullptr, nullptr, Port);
    }
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
}

NTSTATUS NTAPI FakeDispatch(PDEVICE_OBJECT device, PIRP irp) {
    PSERIAL_PORT_EXTENSION Port = PortOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    UCHAR major = stack->MajorFunction;
    BOOLEAN data = major == IRP_MJ_READ || major == IRP_MJ_WRITE ||
                   major == IRP_MJ_DEVICE_CONTROL || major == IRP_MJ_FLUSH_BUFFERS;
    NTSTATUS status = AdmitRequest(device, irp, data);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    switch (major) {
        case IRP_MJ_READ:
            return QueueOrStart(Port, irp, &Port->ReadQueue, &Port->CurrentReadRequest,
                                StartFakeRead);
        case IRP_MJ_WRITE:
            return QueueOrStart(Port, irp, &Port->WriteQueue, &Port->CurrentWriteRequest,
                                StartFakeWrite);
        case IRP_MJ_PNP:
            IoSkipCurrentIrpStackLocation(irp);
            return ForwardAndEndRequest(Port, Port->LowerDeviceObject, irp);
        case IRP_MJ_POWER:
            PoStartNextPowerIrp(irp);
            IoSkipCurrentIrpStackLocation(irp);
            return ForwardPowerAndEndRequest(Port, Port->LowerDeviceObject, irp);
        case IRP_MJ_DEVICE_CONTROL:
            switch (stack->Parameters.DeviceIoControl.IoControlCode) {
                case IOCTL_SERIAL_SET_QUEUE_SIZE:
                    stack->Parameters.DeviceIoControl.Type3InputBuffer =
                        ExAllocatePoolWithTag(NonPagedPool, 64, QUELLA_POOL_TAG);
                    return QueueOrStart(Port, irp, &Port->ReadQueue, &Port->CurrentReadRequest,
                                        StartFakeRead);
                case IOCTL_SERIAL_IMMEDIATE_CHAR:
                    return StartFakeImmediate(Port, irp);
                case IOCTL_SERIAL_GET_COMMSTATUS:
                    Port->LineErrorBits = 0;
                    break;
                case kRecordIoctl: {
                    std::lock_guard<std::mutex> lock(g_fakes->mutex);
                    g_fakes->recorded.push_back(
                        *static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer));
                    break;
                }
            }
            break;
    }
    return CompleteNow(Port, irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI RecordCompletion(PDEVICE_OBJECT, PIRP irp, PVOID) {
    std::lock_guard<std::mutex> lock(g_fakes->mutex);
    g_fakes->completed.push_back(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;  // the test frees the request
}

}  // namespace

FakeOptions& Fakes() {
    return *g_fakes;
}

void EngineTest::SetUp() {
    DriverTest::SetUp();
    g_fakes = new FakeOptions;
    g_read = {&SERIAL_PORT_EXTENSION::CurrentReadRequest,
              &SERIAL_PORT_EXTENSION::ReadQueue,
              &SERIAL_PORT_EXTENSION::ReadTotalTimer,
              &SERIAL_PORT_EXTENSION::ReadTotalTimeoutDpc,
              &SERIAL_PORT_EXTENSION::ReadDoneDpc,
              &FakeOptions::read_timeout,
              StartFakeRead,
              AdvanceQueue,
              ReclaimRead,
              CancelFakeRead,
              false};
    g_write = {&SERIAL_PORT_EXTENSION::CurrentWriteRequest,
               &SERIAL_PORT_EXTENSION::WriteQueue,
               &SERIAL_PORT_EXTENSION::WriteTotalTimer,
               &SERIAL_PORT_EXTENSION::WriteTotalTimeoutDpc,
               &SERIAL_PORT_EXTENSION::WriteDoneDpc,
               &FakeOptions::write_timeout,
               StartFakeWrite,
               NextFakeWrite,
               ReclaimWrite,
               CancelFakeWrite,
               false};

    Load();
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_READ, IRP_MJ_WRITE,
                        IRP_MJ_DEVICE_CONTROL, IRP_MJ_FLUSH_BUFFERS, IRP_MJ_PNP, IRP_MJ_POWER}) {
        driver_->MajorFunction[major] = FakeDispatch;
    }
    port_ = AddPort(NewBus());
    ASSERT_NE(port_, nullptr);
    Port = PortOf(port_);
    ASSERT_EQ(InitPortObjects(port_), STATUS_SUCCESS);
    KeInitializeDpc(&Port->ReadDoneDpc, FakeReadDone, Port);
    KeInitializeDpc(&Port->WriteDoneDpc, FakeWriteDone, Port);
    KeInitializeDpc(&Port->ReadTotalTimeoutDpc, FakeReadTimeout, Port);
    KeInitializeDpc(&Port->WriteTotalTimeoutDpc, FakeWriteTimeout, Port);
    ASSERT_EQ(app_.Open(emu::DeviceNameOf(port_)), STATUS_SUCCESS);
}

void EngineTest::TearDown() {
    emu::Settle();
    for (PIRP irp : sent_) {
        auto& done = g_fakes->completed;
        EXPECT_EQ(std::count(done.begin(), done.end(), irp), 1) << "request completed once";
    }
    app_.Close();
    ExpectIdle();
    for (PIRP irp : sent_) {
        IoFreeIrp(irp);
    }
    DriverTest::TearDown();
    delete g_fakes;
    g_fakes = nullptr;
}

void EngineTest::FinishTransfer(Path path) {
    FakePath& p = Of(path);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (p.transfer) {
        p.transfer = false;
        QueueCountedDpc(&(Port->*p.done_dpc), nullptr, nullptr, Port);
    }
    IoReleaseCancelSpinLock(irql);
}

void EngineTest::FinishTransferLocked(Path path, KIRQL irql) {
    FakePath& p = Of(path);
    p.transfer = false;
    FinishFake(Port, p, irql, nullptr, STATUS_SUCCESS, REF_TRANSFER);
}

PIRP EngineTest::Send(UCHAR major, ULONG value, bool cancelled, ULONG input) {
    PIRP irp = IoAllocateIrp(port_->StackSize, FALSE);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    buffers_.emplace_back(sizeof(ULONG));
    *reinterpret_cast<ULONG*>(buffers_.back().data()) = input;
    irp->AssociatedIrp.SystemBuffer = buffers_.back().data();
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    switch (major) {
        case IRP_MJ_READ:
            sp->Parameters.Read.Length = value;
            break;
        case IRP_MJ_WRITE:
            sp->Parameters.Write.Length = value;
            break;
        case IRP_MJ_DEVICE_CONTROL:
            sp->Parameters.DeviceIoControl.IoControlCode = value;
            sp->Parameters.DeviceIoControl.InputBufferLength = sizeof(ULONG);
            break;
        default:
            sp->MinorFunction = UCHAR(value);
            break;
    }
    irp->Cancel = cancelled;
    IoSetCompletionRoutine(irp, RecordCompletion, nullptr, TRUE, TRUE, TRUE);
    sent_.push_back(irp);
    IoCallDriver(port_, irp);
    return irp;
}

std::vector<PIRP> EngineTest::Completions() {
    emu::Settle();
    std::lock_guard<std::mutex> lock(g_fakes->mutex);
    return g_fakes->completed;
}

void EngineTest::ExpectIdle() {
    emu::Settle();
    EXPECT_EQ(Port->ActiveRequestCount, 1);
    EXPECT_EQ(Port->DeferredWorkCount, 1);
    EXPECT_EQ(Port->QueuedWriteChars, 0u);
    for (PLIST_ENTRY queue : {&Port->ReadQueue, &Port->WriteQueue, &Port->HeldRequestQueue}) {
        EXPECT_TRUE(IsListEmpty(queue));
    }
    for (PIRP current :
         {Port->CurrentReadRequest, Port->CurrentWriteRequest, Port->CurrentImmediateRequest}) {
        EXPECT_EQ(current, nullptr);
    }
}

}  // namespace quella_test
