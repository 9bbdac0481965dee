// The scheduler: emulated threads, blocking, the clock, processor threads and device work.
#include "emu/kernel/sched.h"

#include <algorithm>
#include <cstdio>

#include "emu/kernel/bugcheck.h"
#include "emu/kernel/sched_internal.h"

namespace emu {
namespace {

Machine* g_machine = nullptr;
thread_local ThreadRec* t_self = nullptr;

Time RealNow(const Machine& m) {
    auto elapsed = std::chrono::steady_clock::now() - m.real_start;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}

std::chrono::steady_clock::time_point RealOf(const Machine& m, Time t) {
    return m.real_start + std::chrono::nanoseconds(t * 100);
}

// Earliest deadline of anything the clock can run into, if any.
std::optional<Time> NextDeadlineLocked(Machine& m) {
    std::optional<Time> next;
    auto take = [&next](Time t) { next = next ? std::min(*next, t) : t; };
    if (!m.timers.empty()) {
        take(m.timers.begin()->first);
    }
    if (!m.work_pending.empty()) {
        take(m.work_pending.begin()->first);
    }
    for (ThreadRec* t : m.threads) {
        if (t->blocked && t->deadline) {
            take(*t->deadline);
        }
    }
    return next;
}

std::string HangReportLocked(Machine& m) {
    std::string report = "every emulated thread is blocked and nothing is due:";
    for (ThreadRec* t : m.threads) {
        report += "\n  thread '" + t->name + "' waits for " + t->what;
    }
    return report;
}

enum class Advance { Advanced, Waiting, Hung };

// Called by a thread about to wait (dispatcher lock held, the thread marked blocked). In
// virtual time, when no emulated thread can run, moves the clock to the earliest deadline and
// fires what is due there.
Advance MaybeAdvanceLocked(Machine& m) {
    for (ThreadRec* t : m.threads) {
        if (!t->blocked) {
            return Advance::Waiting;
        }
    }
    Time now = m.now.load();
    for (ThreadRec* t : m.threads) {
        if (t->hang_broken || (t->ready && (*t->ready)()) || (t->deadline && *t->deadline <= now)) {
            m.cv.notify_all();
            return Advance::Waiting;
        }
    }
    std::optional<Time> next = NextDeadlineLocked(m);
    if (!next) {
        return Advance::Hung;
    }
    if (*next > now) {
        m.now.store(*next);
    }
    FireDueLocked(m.now.load());
    m.cv.notify_all();
    return Advance::Advanced;
}

void ProcessorLoop(Machine& m, int index) {
    std::function<bool()> has_work = [&m] { return m.stopping || !m.ready.empty(); };
    for (;;) {
        std::unique_lock<std::mutex> lock(m.mu);
        BlockUntil(lock, "work (idle processor)", has_work);
        if (m.ready.empty()) {
            if (m.stopping) {
                break;  // the queue is drained
            }
            continue;
        }
        ProcessorItem item = std::move(m.ready.front());
        m.ready.pop_front();
        PKDEFERRED_ROUTINE routine = nullptr;
        PVOID context = nullptr, arg1 = nullptr, arg2 = nullptr;
        if (item.dpc) {
            routine = item.dpc->DeferredRoutine;
            context = item.dpc->DeferredContext;
            arg1 = item.dpc->SystemArgument1;
            arg2 = item.dpc->SystemArgument2;
            item.dpc->DpcData = nullptr;  // dequeued: it may be queued again from now on
        }
        lock.unlock();

        ThreadRec* self = Self();
        self->irql = DISPATCH_LEVEL;
        if (item.dpc) {
            routine(item.dpc, context, arg1, arg2);
        } else {
            item.fn();
        }
        if (self->irql != DISPATCH_LEVEL) {
            BugCheck(rule::kIrqlMismatch, "%s returned at IRQL %d on processor %d",
                     item.dpc ? "DPC routine" : item.what.c_str(), self->irql, index);
        }
        if (!self->held_locks.empty()) {
            BugCheck(rule::kSpinLockNotOwned, "%s returned holding %zu spin lock(s)",
                     item.dpc ? "DPC routine" : item.what.c_str(), self->held_locks.size());
            self->held_locks.clear();
        }
        self->irql = PASSIVE_LEVEL;

        lock.lock();
        if (item.dpc) {
            ++m.dpcs_run;
        }
        m.cv.notify_all();
    }
}

void ClockLoop(Machine& m) {
    std::unique_lock<std::mutex> lock(m.mu);
    while (!m.stopping) {
        std::optional<Time> next;
        if (!m.timers.empty()) {
            next = m.timers.begin()->first;
        }
        if (!m.work_pending.empty()) {
            Time w = m.work_pending.begin()->first;
            next = next ? std::min(*next, w) : w;
        }
        if (next) {
            m.cv.wait_until(lock, RealOf(m, *next));
        } else {
            m.cv.wait_for(lock, std::chrono::milliseconds(50));
        }
        m.now.store(RealNow(m));
        FireDueLocked(m.now.load());
    }
}

}  // namespace

Machine& M() {
    if (!g_machine) {
        std::fprintf(stderr, "emu: kernel routine called with no emu::Kernel alive\n");
        std::abort();
    }
    return *g_machine;
}

ThreadRec* Self() {
    return t_self;
}

void FireDueLocked(Time now) {
    Machine& m = M();
    while (!m.timers.empty() && m.timers.begin()->first <= now) {
        auto it = m.timers.begin();
        PKTIMER timer = it->second;
        Time due = it->first;
        m.timer_pos.erase(timer);
        m.timers.erase(it);
        timer->Header.Inserted = FALSE;
        timer->Header.SignalState = 1;
        if (timer->Period > 0) {
            Time again = due + Time(timer->Period) * kMillisecond;
            timer->DueTime.QuadPart = again;
            timer->Header.Inserted = TRUE;
            m.timer_pos[timer] = m.timers.emplace(again, timer);
        }
        if (timer->Dpc) {
            LARGE_INTEGER system_time;
            system_time.QuadPart = now;
            InsertDpcLocked(timer->Dpc, reinterpret_cast<PVOID>(ULONG_PTR(system_time.LowPart)),
                            reinterpret_cast<PVOID>(ULONG_PTR(ULONG(system_time.HighPart))));
        }
    }
    while (!m.work_pending.empty() && m.work_pending.begin()->first <= now) {
        m.ready.push_back(std::move(m.work_pending.begin()->second));
        m.work_pending.erase(m.work_pending.begin());
    }
    m.cv.notify_all();
}

std::unique_lock<std::mutex> DispatcherLock() {
    return std::unique_lock<std::mutex>(M().mu);
}

void WakeAll() {
    M().cv.notify_all();
}

Time Now() {
    Machine& m = M();
    return m.real_time ? RealNow(m) : m.now.load();
}

bool RealTime() {
    return M().real_time;
}

void AttachThread(const std::string& name) {
    Machine& m = M();
    auto* rec = new ThreadRec;
    rec->name = name;
    std::lock_guard<std::mutex> lock(m.mu);
    m.threads.push_back(rec);
    t_self = rec;
}

void DetachThread() {
    ThreadRec* self = t_self;
    if (!self || !g_machine) {
        return;
    }
    Machine& m = *g_machine;
    {
        std::lock_guard<std::mutex> lock(m.mu);
        m.threads.erase(std::remove(m.threads.begin(), m.threads.end(), self), m.threads.end());
        m.cv.notify_all();
    }
    t_self = nullptr;
    delete self;
}

bool IsEmulatedThread() {
    return t_self != nullptr;
}

std::string CurrentThreadName() {
    return t_self ? t_self->name : std::string("(not emulated)");
}

std::thread StartThread(const std::string& name, std::function<void()> body) {
    Machine& m = M();
    auto* rec = new ThreadRec;
    rec->name = name;
    {
        std::lock_guard<std::mutex> lock(m.mu);
        m.threads.push_back(rec);
    }
    return std::thread([rec, body = std::move(body)] {
        t_self = rec;
        body();
        {
            std::lock_guard<std::mutex> lock(M().mu);
            M().finished[std::this_thread::get_id()] = true;
        }
        DetachThread();
    });
}

void JoinThread(std::thread& thread) {
    Machine& m = M();
    std::thread::id id = thread.get_id();
    {
        auto lock = DispatcherLock();
        std::function<bool()> done = [&m, id] { return m.finished.count(id) != 0; };
        BlockUntil(lock, "a thread to finish", done);
        m.finished.erase(id);
    }
    thread.join();
}

WaitOutcome BlockUntil(std::unique_lock<std::mutex>& lock, const std::string& what,
                       const std::function<bool()>& ready, std::optional<Time> deadline) {
    Machine& m = M();
    ThreadRec* self = t_self;
    if (!self) {
        BugCheck(rule::kNotEmulatedThread, "a thread that is not an emulated thread waits for %s",
                 what.c_str());
        return WaitOutcome::TimedOut;
    }
    if (ready()) {
        return WaitOutcome::Ready;
    }
    if (deadline && Now() >= *deadline) {
        return WaitOutcome::TimedOut;
    }
    self->blocked = true;
    self->what = what;
    self->ready = &ready;
    self->deadline = deadline;
    WaitOutcome outcome;
    for (;;) {
        if (ready()) {
            outcome = WaitOutcome::Ready;
            break;
        }
        if (deadline && Now() >= *deadline) {
            outcome = WaitOutcome::TimedOut;
            break;
        }
        if (m.real_time) {
            if (deadline) {
                m.cv.wait_until(lock, RealOf(m, *deadline));
            } else {
                m.cv.wait(lock);
            }
            continue;
        }
        Advance advance = MaybeAdvanceLocked(m);
        if (advance == Advance::Advanced) {
            continue;
        }
        if (advance == Advance::Hung) {
            // Returns only when a test expects the hang: then every waiting thread other than
            // the idle processors is released with a timed-out wait.
            BugCheck(rule::kDeadlock, "%s", HangReportLocked(m).c_str());
            for (ThreadRec* t : m.threads) {
                t->hang_broken = !t->processor;
            }
            m.cv.notify_all();
        }
        if (self->hang_broken) {
            self->hang_broken = false;
            outcome = WaitOutcome::TimedOut;
            break;
        }
        m.cv.wait(lock);
    }
    self->blocked = false;
    self->ready = nullptr;
    self->deadline.reset();
    self->what.clear();
    return outcome;
}

WorkId ScheduleWork(Time when, std::function<void()> fn, const std::string& what) {
    Machine& m = M();
    std::lock_guard<std::mutex> lock(m.mu);
    ProcessorItem item;
    item.work = ++m.next_work_id;
    item.fn = std::move(fn);
    item.what = what;
    WorkId id = item.work;
    if (when <= Now()) {
        m.ready.push_back(std::move(item));
    } else {
        m.work_pending.emplace(when, std::move(item));
    }
    m.cv.notify_all();
    return id;
}

WorkId QueueWork(std::function<void()> fn, const std::string& what) {
    return ScheduleWork(Now(), std::move(fn), what);
}

bool CancelWork(WorkId id) {
    Machine& m = M();
    std::lock_guard<std::mutex> lock(m.mu);
    for (auto it = m.work_pending.begin(); it != m.work_pending.end(); ++it) {
        if (it->second.work == id) {
            m.work_pending.erase(it);
            return true;
        }
    }
    for (auto it = m.ready.begin(); it != m.ready.end(); ++it) {
        if (it->work == id) {
            m.ready.erase(it);
            return true;
        }
    }
    return false;
}

void Settle() {
    Machine& m = M();
    ThreadRec* self = t_self;
    std::function<bool()> settled = [&m, self] {
        if (!m.ready.empty()) {
            return false;
        }
        Time now = m.now.load();
        for (ThreadRec* t : m.threads) {
            if (t == self) {
                continue;
            }
            if (!t->blocked || (t->ready && (*t->ready)()) ||
                (t->deadline && *t->deadline <= now)) {
                return false;
            }
        }
        return true;
    };
    auto lock = DispatcherLock();
    if (m.real_time) {
        // Real time never stands still; settling means the processors have drained.
        while (!settled()) {
            m.cv.wait_for(lock, std::chrono::milliseconds(1));
        }
        return;
    }
    BlockUntil(lock, "the machine to settle", settled);
}

void AdvanceTime(Time delta) {
    {
        Time target = Now() + delta;
        auto lock = DispatcherLock();
        std::function<bool()> never = [] { return false; };
        BlockUntil(lock, "the clock to advance", never, target);
    }
    Settle();
}

KIRQL CurrentIrql() {
    if (!t_self) {
        BugCheck(rule::kNotEmulatedThread, "IRQL asked for on a thread that is not emulated");
        return PASSIVE_LEVEL;
    }
    return t_self->irql;
}

void SetCurrentIrql(KIRQL irql) {
    if (t_self) {
        t_self->irql = irql;
    }
}

uint64_t DpcsRun() {
    auto lock = DispatcherLock();
    return M().dpcs_run;
}

void SchedReset(const KernelOptions& options) {
    g_machine = new Machine;
    Machine& m = *g_machine;
    m.real_time = options.real_time;
    m.real_start = std::chrono::steady_clock::now();
    AttachThread("main");
    for (int i = 0; i < options.processors; ++i) {
        m.processors.push_back(StartThread("processor " + std::to_string(i), [&m, i] {
            {
                std::lock_guard<std::mutex> lock(m.mu);
                Self()->processor = true;
            }
            ProcessorLoop(m, i);
        }));
    }
    if (m.real_time) {
        m.clock_thread = std::thread([&m] { ClockLoop(m); });
    }
}

void SchedShutdown() {
    Machine& m = M();
    {
        std::lock_guard<std::mutex> lock(m.mu);
        m.stopping = true;
        m.cv.notify_all();
    }
    for (std::thread& t : m.processors) {
        t.join();
    }
    m.processors.clear();
    if (m.clock_thread.joinable()) {
        m.clock_thread.join();
    }
    std::lock_guard<std::mutex> lock(m.mu);
    for (auto& entry : m.timers) {
        entry.second->Header.Inserted = FALSE;
    }
    m.timers.clear();
    m.timer_pos.clear();
    m.work_pending.clear();
}

// Called last, after every other subsystem has shut down.
void SchedFinalize() {
    DetachThread();
    Machine* m = g_machine;
    g_machine = nullptr;
    for (ThreadRec* t : m->threads) {
        delete t;
    }
    delete m;
}

}  // namespace emu
