// IRPs: the table of IRPs handed out, allocation and freeing, reinitialization, device-control
// requests built for drivers, and the application's requests.
#include <algorithm>

#include "emu/kernel/bugcheck.h"
#include "emu/kernel/io_irp_table.h"
#include "emu/kernel/sched.h"

namespace emu::io {

namespace {

constexpr size_t kQuarantineSize = 1024;
constexpr unsigned char kFreedIrpFill = 0xDD;

}  // namespace

Irps& I() {
    static Irps* irps = new Irps;
    return *irps;
}

const char* StateName(State state) {
    switch (state) {
        case State::Idle:
            return "not sent";
        case State::Dispatched:
            return "owned by a driver";
        case State::Completing:
            return "being completed";
        case State::InRoutine:
            return "in a completion routine";
        case State::Stopped:
            return "held by a completion routine";
        case State::Done:
            return "completed";
        case State::Freed:
            return "freed";
    }
    return "?";
}

void InitIrpMemory(PIRP irp, USHORT size, CCHAR stack_size) {
    memset(irp, 0, size);
    irp->Type = IO_TYPE_IRP;
    irp->Size = size;
    irp->StackCount = stack_size;
    irp->CurrentLocation = CHAR(stack_size + 1);
    InitializeListHead(&irp->ThreadListEntry);
    irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stack_size;
}

bool CheckIrql(const char* routine, KIRQL limit) {
    KIRQL irql = CurrentIrql();
    if (irql > limit) {
        BugCheck(rule::kIrqlNotLessOrEqual, "%s called at IRQL %d (at most %d allowed)", routine,
                 irql, limit);
        return false;
    }
    return true;
}

PIRP NewIrp(CCHAR stack_size, Kind kind) {
    if (stack_size < 1 || stack_size > EMU_IRP_MAX_STACK_SIZE) {
        BugCheck(rule::kInvalidParameter, "IRP with %d stack locations (1 to %d allowed)",
                 stack_size, EMU_IRP_MAX_STACK_SIZE);
        return nullptr;
    }
    USHORT size = IoSizeOfIrp(stack_size);
    auto irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, size, kIrpPoolTag));
    if (!irp) {
        return nullptr;
    }
    InitIrpMemory(irp, size, stack_size);
    std::lock_guard<std::mutex> lock(I().mu);
    irp->EmuSerial = ++I().next_serial;
    IrpRec& rec = I().recs[irp];
    rec = IrpRec{};
    rec.kind = kind;
    rec.size = size;
    ++I().live;
    return irp;
}

void FreeLocked(PIRP irp, IrpRec& rec, std::function<void(PIRP)>* doomed,
                std::vector<PIRP>* evicted) {
    *doomed = std::move(rec.on_complete);
    rec.on_complete = nullptr;
    rec.state = State::Freed;
    ++rec.seq;
    --I().live;
    // Fill everything a driver could read, keeping the platform's own members.
    memset(irp, kFreedIrpFill, offsetof(IRP, EmuPendingMarks));
    memset(reinterpret_cast<unsigned char*>(irp) + sizeof(IRP), kFreedIrpFill,
           rec.size - sizeof(IRP));
    I().quarantine.push_back(irp);
    while (I().quarantine.size() > kQuarantineSize) {
        PIRP old = I().quarantine.front();
        I().quarantine.pop_front();
        I().recs.erase(old);
        evicted->push_back(old);
    }
}

void ReleaseEvicted(const std::vector<PIRP>& evicted) {
    for (PIRP irp : evicted) {
        ExFreePoolWithTag(irp, kIrpPoolTag);
    }
}

void FreeIrpNow(PIRP irp) {
    std::function<void(PIRP)> doomed;
    std::vector<PIRP> evicted;
    {
        std::lock_guard<std::mutex> lock(I().mu);
        if (IrpRec* rec = FindLocked(irp); rec && rec->state != State::Freed) {
            FreeLocked(irp, *rec, &doomed, &evicted);
        }
    }
    ReleaseEvicted(evicted);
}

PIRP AllocateApplicationIrp(CCHAR stack_size, std::function<void(PIRP)> on_complete) {
    PIRP irp = NewIrp(stack_size, Kind::Application);
    if (irp) {
        std::lock_guard<std::mutex> lock(I().mu);
        FindLocked(irp)->on_complete = std::move(on_complete);
    }
    return irp;
}

void ReleaseApplicationIrp(PIRP irp) {
    std::function<void(PIRP)> doomed;
    std::vector<PIRP> evicted;
    {
        std::lock_guard<std::mutex> lock(I().mu);
        IrpRec* rec = FindLocked(irp);
        if (!rec || rec->state == State::Freed) {
            return;
        }
        if (rec->state == State::Idle || rec->state == State::Done) {
            FreeLocked(irp, *rec, &doomed, &evicted);
        } else {
            rec->release_when_done = true;
        }
    }
    ReleaseEvicted(evicted);
}

// Reports a cancel of a freed IRP; true when the IRP may be cancelled.
bool IrpMayBeCancelled(PIRP irp) {
    std::lock_guard<std::mutex> lock(I().mu);
    IrpRec* rec = FindLocked(irp);
    if (rec && rec->state == State::Freed) {
        BugCheck(rule::kIrpFreedInUse, "IoCancelIrp of IRP %p, which has been freed",
                 static_cast<void*>(irp));
        return false;
    }
    return true;
}

void IrpReset() {
    // The pool is reset with the machine and takes the memory back. The records go after the
    // lock is released: dropping an application's completion callback may call back in here.
    std::unordered_map<PIRP, IrpRec> doomed;
    std::lock_guard<std::mutex> lock(I().mu);
    doomed.swap(I().recs);
    I().quarantine.clear();
    I().live = 0;
}

void IrpShutdown() {
    IrpReset();
}

}  // namespace emu::io

namespace emu {

size_t LiveIrpCount() {
    std::lock_guard<std::mutex> lock(io::I().mu);
    return io::I().live;
}

bool IrpIsLive(PIRP irp) {
    std::lock_guard<std::mutex> lock(io::I().mu);
    io::IrpRec* rec = io::FindLocked(irp);
    return rec && rec->state != io::State::Freed;
}

}  // namespace emu

using emu::BugCheck;
using emu::io::FindLocked;
using emu::io::I;
using emu::io::IrpRec;
using emu::io::Kind;
using emu::io::State;
namespace rule = emu::rule;

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    if (!emu::io::CheckIrql("IoAllocateIrp", DISPATCH_LEVEL)) {
        return nullptr;
    }
    return emu::io::NewIrp(StackSize, Kind::Allocated);
}

VOID IoFreeIrp(PIRP Irp) {
    if (!Irp) {
        return;
    }
    std::function<void(PIRP)> doomed;
    std::vector<PIRP> evicted;
    {
        std::lock_guard<std::mutex> lock(I().mu);
        IrpRec* rec = FindLocked(Irp);
        if (!rec) {
            BugCheck(rule::kInvalidParameter, "IoFreeIrp of %p, which IoAllocateIrp did not return",
                     static_cast<void*>(Irp));
            return;
        }
        if (rec->state == State::Freed) {
            BugCheck(rule::kIrpFreedInUse, "IoFreeIrp of IRP %p, which is already freed",
                     static_cast<void*>(Irp));
            return;
        }
        if (rec->kind != Kind::Allocated) {
            BugCheck(rule::kInvalidParameter,
                     "IoFreeIrp of IRP %p, which the I/O manager frees itself or which was not "
                     "allocated with IoAllocateIrp",
                     static_cast<void*>(Irp));
            return;
        }
        if (rec->state == State::Dispatched || rec->state == State::Completing) {
            BugCheck(rule::kIrpFreedInUse,
                     "IoFreeIrp of IRP %p while it is %s (sent with IoCallDriver and not yet back)",
                     static_cast<void*>(Irp), emu::io::StateName(rec->state));
            return;
        }
        emu::io::FreeLocked(Irp, *rec, &doomed, &evicted);
    }
    emu::io::ReleaseEvicted(evicted);
}

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    if (StackSize < 1 || StackSize > EMU_IRP_MAX_STACK_SIZE ||
        PacketSize < IoSizeOfIrp(StackSize)) {
        BugCheck(rule::kInvalidParameter, "IoInitializeIrp of %p: %u bytes for %d stack locations",
                 static_cast<void*>(Irp), PacketSize, StackSize);
        return;
    }
    std::lock_guard<std::mutex> lock(I().mu);
    IrpRec* rec = FindLocked(Irp);
    if (rec && rec->kind != Kind::DriverInitialized) {
        if (rec->state != State::Idle && rec->state != State::Stopped) {
            BugCheck(rule::kIrpFreedInUse, "IoInitializeIrp of IRP %p while it is %s",
                     static_cast<void*>(Irp), emu::io::StateName(rec->state));
            return;
        }
    } else {
        // The driver's own memory: any earlier record of this address is stale.
        rec = &I().recs[Irp];
        *rec = IrpRec{};
        rec->kind = Kind::DriverInitialized;
    }
    emu::io::InitIrpMemory(Irp, PacketSize, StackSize);
    Irp->EmuSerial = ++I().next_serial;
    rec->size = PacketSize;
    rec->state = State::Idle;
    ++rec->seq;
    ++rec->generation;
    rec->returned_pending = rec->passed = 0;
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    std::lock_guard<std::mutex> lock(I().mu);
    IrpRec* rec = FindLocked(Irp);
    if (rec && (rec->kind == Kind::BuiltIoctl || rec->kind == Kind::Application ||
                rec->state == State::Freed || rec->state == State::Dispatched ||
                rec->state == State::Completing)) {
        BugCheck(rule::kIrpFreedInUse, "IoReuseIrp of IRP %p, which is %s", static_cast<void*>(Irp),
                 emu::io::StateName(rec->state));
        return;
    }
    if (Irp->CancelRoutine) {
        BugCheck(rule::kIrpCancelRoutineSet, "IoReuseIrp of IRP %p with a cancel routine set",
                 static_cast<void*>(Irp));
        return;
    }
    UCHAR allocation_flags = Irp->AllocationFlags;
    ULONGLONG serial = Irp->EmuSerial;
    emu::io::InitIrpMemory(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = allocation_flags;
    Irp->EmuSerial = serial;
    Irp->IoStatus.Status = Iostatus;
    if (rec) {
        rec->state = State::Idle;
        ++rec->seq;
        ++rec->generation;
        rec->returned_pending = rec->passed = 0;
    }
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                   ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                   PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    if (!emu::io::CheckIrql("IoBuildDeviceIoControlRequest", APC_LEVEL)) {
        return nullptr;
    }
    ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
    // Without memory descriptor lists on this platform, the direct methods are served like
    // METHOD_BUFFERED.
    bool buffered = method != METHOD_NEITHER;
    ULONG buffer_length = buffered ? std::max(InputBufferLength, OutputBufferLength) : 0;
    PVOID system_buffer = nullptr;
    if (buffer_length) {
        system_buffer = ExAllocatePoolWithTag(NonPagedPool, buffer_length, emu::kIoBufferPoolTag);
        if (!system_buffer) {
            return nullptr;
        }
        memset(system_buffer, 0, buffer_length);
        if (InputBuffer && InputBufferLength) {
            memcpy(system_buffer, InputBuffer, InputBufferLength);
        }
    }
    PIRP irp = emu::io::NewIrp(DeviceObject->StackSize, Kind::BuiltIoctl);
    if (!irp) {
        if (system_buffer) {
            ExFreePoolWithTag(system_buffer, emu::kIoBufferPoolTag);
        }
        return nullptr;
    }
    irp->RequestorMode = KernelMode;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->AssociatedIrp.SystemBuffer = system_buffer;
    irp->UserBuffer = OutputBuffer;
    if (system_buffer) {
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        if (OutputBufferLength) {
            irp->Flags |= IRP_INPUT_OPERATION;
        }
    }
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    sp->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    sp->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    sp->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    if (method == METHOD_NEITHER) {
        sp->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    }
    std::lock_guard<std::mutex> lock(I().mu);
    IrpRec* rec = FindLocked(irp);
    rec->user_output = OutputBuffer;
    rec->output_length = OutputBufferLength;
    rec->copy_output = buffered && OutputBuffer && OutputBufferLength;
    return irp;
}
