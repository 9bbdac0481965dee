// Dispatcher objects (events, timers), waits and delays, DPCs and the time queries.
#include <algorithm>

#include "emu/kernel/bugcheck.h"
#include "emu/kernel/sched_internal.h"

using emu::BugCheck;
using emu::Time;
namespace rule = emu::rule;

namespace {

// System time is the machine's clock offset by a fixed boot date (1 December 2026, in the
// platform's 100 ns units since 1601), so absolute due times behave as on the platform.
constexpr LONGLONG kBootSystemTime = 134091648000000000LL;

bool IsSynchronizationObject(const DISPATCHER_HEADER& header) {
    return header.Type == EventSynchronizationObject || header.Type == TimerSynchronizationObject;
}

// Converts a due time as the platform takes it (negative: relative; positive: absolute system
// time) into machine time.
Time ToMachineTime(LONGLONG due) {
    return due < 0 ? emu::Now() - due : due - kBootSystemTime;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Events
// ---------------------------------------------------------------------------------------------
VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    auto lock = emu::DispatcherLock();
    Event->Header.Type =
        Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    if (emu::CurrentIrql() > DISPATCH_LEVEL) {
        BugCheck(rule::kIrqlNotLessOrEqual, "KeSetEvent above DISPATCH_LEVEL");
        return 0;
    }
    auto lock = emu::DispatcherLock();
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    emu::WakeAll();
    return previous;
}

VOID KeClearEvent(PRKEVENT Event) {
    auto lock = emu::DispatcherLock();
    Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event) {
    auto lock = emu::DispatcherLock();
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) {
    auto lock = emu::DispatcherLock();
    return Event->Header.SignalState;
}

// ---------------------------------------------------------------------------------------------
// Waits
// ---------------------------------------------------------------------------------------------
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    KIRQL irql = emu::CurrentIrql();
    bool polls = Timeout && Timeout->QuadPart == 0;
    if (irql > DISPATCH_LEVEL || (!polls && irql > APC_LEVEL)) {
        BugCheck(rule::kWaitAtRaisedIrql, "KeWaitForSingleObject(%p) at IRQL %d", Object, irql);
        return STATUS_TIMEOUT;
    }
    auto* header = static_cast<DISPATCHER_HEADER*>(Object);
    auto lock = emu::DispatcherLock();
    std::function<bool()> signalled = [header] { return header->SignalState > 0; };
    std::optional<Time> deadline;
    if (Timeout) {
        deadline = ToMachineTime(Timeout->QuadPart);
    }
    char what[64];
    std::snprintf(what, sizeof what, "dispatcher object %p", Object);
    if (emu::BlockUntil(lock, what, signalled, deadline) == emu::WaitOutcome::TimedOut) {
        return STATUS_TIMEOUT;
    }
    if (IsSynchronizationObject(*header)) {
        header->SignalState = 0;  // a synchronization object releases one waiter
    }
    return STATUS_SUCCESS;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval) {
    KIRQL irql = emu::CurrentIrql();
    if (irql > APC_LEVEL) {
        BugCheck(rule::kWaitAtRaisedIrql, "KeDelayExecutionThread at IRQL %d", irql);
        return STATUS_SUCCESS;
    }
    auto lock = emu::DispatcherLock();
    std::function<bool()> never = [] { return false; };
    emu::BlockUntil(lock, "a delay", never, ToMachineTime(Interval->QuadPart));
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// DPCs
// ---------------------------------------------------------------------------------------------
namespace emu {

bool InsertDpcLocked(PKDPC dpc, PVOID arg1, PVOID arg2) {
    Machine& m = M();
    if (dpc->DpcData) {
        return false;  // already queued: a DPC object is queued at most once
    }
    if (!dpc->DeferredRoutine) {
        BugCheck(rule::kDpcQueueMisuse, "DPC %p queued before it was initialized",
                 static_cast<void*>(dpc));
        return false;
    }
    dpc->SystemArgument1 = arg1;
    dpc->SystemArgument2 = arg2;
    dpc->DpcData = dpc;
    ProcessorItem item;
    item.dpc = dpc;
    item.what = "DPC";
    m.ready.push_back(std::move(item));
    m.cv.notify_all();
    return true;
}

bool RemoveTimerLocked(PKTIMER timer) {
    Machine& m = M();
    auto pos = m.timer_pos.find(timer);
    if (pos == m.timer_pos.end()) {
        return false;
    }
    m.timers.erase(pos->second);
    m.timer_pos.erase(pos);
    timer->Header.Inserted = FALSE;
    return true;
}

}  // namespace emu

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    auto lock = emu::DispatcherLock();
    if (Dpc->DpcData && Dpc->DeferredRoutine) {
        // Re-initializing a queued DPC would corrupt the queue.
        auto& ready = emu::M().ready;
        bool queued = std::any_of(ready.begin(), ready.end(),
                                  [Dpc](const emu::ProcessorItem& i) { return i.dpc == Dpc; });
        if (queued) {
            lock.unlock();
            BugCheck(rule::kDpcQueueMisuse, "DPC %p initialized while queued",
                     static_cast<void*>(Dpc));
            return;
        }
    }
    Dpc->Type = 0x13;
    Dpc->Importance = 1;
    Dpc->Number = 0;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = nullptr;
    Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    auto lock = emu::DispatcherLock();
    return emu::InsertDpcLocked(Dpc, SystemArgument1, SystemArgument2) ? TRUE : FALSE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
    auto lock = emu::DispatcherLock();
    if (!Dpc->DpcData) {
        return FALSE;
    }
    auto& ready = emu::M().ready;
    ready.erase(std::remove_if(ready.begin(), ready.end(),
                               [Dpc](const emu::ProcessorItem& i) { return i.dpc == Dpc; }),
                ready.end());
    Dpc->DpcData = nullptr;
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Timers
// ---------------------------------------------------------------------------------------------
VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    auto lock = emu::DispatcherLock();
    if (Timer->Header.Inserted) {
        emu::RemoveTimerLocked(Timer);  // tolerate re-initialization of a stale timer
    }
    Timer->Header.Type =
        Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject;
    Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
    Timer->Header.SignalState = 0;
    Timer->Header.Inserted = FALSE;
    InitializeListHead(&Timer->Header.WaitListHead);
    Timer->DueTime.QuadPart = 0;
    Timer->Dpc = nullptr;
    Timer->Period = 0;
}

VOID KeInitializeTimer(PKTIMER Timer) {
    KeInitializeTimerEx(Timer, NotificationTimer);
}

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    if (emu::CurrentIrql() > DISPATCH_LEVEL) {
        BugCheck(rule::kIrqlNotLessOrEqual, "KeSetTimer above DISPATCH_LEVEL");
        return FALSE;
    }
    Time due = ToMachineTime(DueTime.QuadPart);
    auto lock = emu::DispatcherLock();
    emu::Machine& m = emu::M();
    bool was_inserted = emu::RemoveTimerLocked(Timer);
    Timer->Header.SignalState = 0;
    Timer->Dpc = Dpc;
    Timer->Period = Period;
    Timer->DueTime.QuadPart = ULONGLONG(due);
    Timer->Header.Inserted = TRUE;
    m.timer_pos[Timer] = m.timers.emplace(due, Timer);
    if (due <= emu::Now()) {
        emu::FireDueLocked(emu::Now());  // already due: it expires at once
    }
    return was_inserted ? TRUE : FALSE;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN KeCancelTimer(PKTIMER Timer) {
    auto lock = emu::DispatcherLock();
    return emu::RemoveTimerLocked(Timer) ? TRUE : FALSE;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
    auto lock = emu::DispatcherLock();
    return Timer->Header.SignalState > 0 ? TRUE : FALSE;
}

// ---------------------------------------------------------------------------------------------
// Time
// ---------------------------------------------------------------------------------------------
namespace {
constexpr ULONG kTimeIncrement = 156250;  // 15.625 ms clock tick, in 100 ns
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = kBootSystemTime + emu::Now();
}

ULONGLONG KeQueryInterruptTime(VOID) {
    return ULONGLONG(emu::Now());
}

VOID KeQueryTickCount(PLARGE_INTEGER TickCount) {
    TickCount->QuadPart = emu::Now() / kTimeIncrement;
}

ULONG KeQueryTimeIncrement(VOID) {
    return kTimeIncrement;
}

// The emulated machine reports itself as a large system (it has plenty of memory).
MM_SYSTEMSIZE MmQuerySystemSize(VOID) {
    return MmLargeSystem;
}
