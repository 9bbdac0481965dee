// IRQL, spin locks with ownership and lock-order checks, fast mutexes.
#include <algorithm>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "emu/kernel/bugcheck.h"
#include "emu/kernel/sched_internal.h"

using emu::BugCheck;
namespace rule = emu::rule;

namespace {

// Lock-order graph: an edge (a, b) means b was acquired while a was held. Seeing the reverse
// edge later means two paths take the same pair of locks in opposite orders.
std::mutex g_order_mu;
std::set<std::pair<const void*, const void*>> g_order_edges;
std::set<const void*> g_held;  // spin locks currently owned by some thread

void ForgetLockOrder(const void* lock) {
    std::lock_guard<std::mutex> guard(g_order_mu);
    for (auto it = g_order_edges.begin(); it != g_order_edges.end();) {
        if (it->first == lock || it->second == lock) {
            it = g_order_edges.erase(it);
        } else {
            ++it;
        }
    }
}

// Returns false (after reporting) when taking `lock` now inverts an order seen before.
bool NoteLockOrder(const std::vector<PKSPIN_LOCK>& held, const void* lock) {
    std::lock_guard<std::mutex> guard(g_order_mu);
    for (const void* h : held) {
        if (g_order_edges.count({lock, h})) {
            BugCheck(rule::kLockOrderInversion,
                     "spin lock %p taken while holding %p; elsewhere %p was taken while holding %p",
                     lock, h, h, lock);
            return false;
        }
    }
    for (const void* h : held) {
        g_order_edges.insert({h, lock});
    }
    return true;
}

emu::ThreadRec* SelfOrReport(const char* routine) {
    emu::ThreadRec* self = emu::Self();
    if (!self) {
        BugCheck(rule::kNotEmulatedThread, "%s called on a thread that is not emulated", routine);
    }
    return self;
}

// Takes the lock word, spinning while another thread owns it.
bool AcquireLockWord(emu::ThreadRec* self, PKSPIN_LOCK lock) {
    auto owner = reinterpret_cast<ULONG_PTR>(self);
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == owner) {
        BugCheck(rule::kSpinLockRecursion, "spin lock %p acquired again by its owner '%s'",
                 static_cast<void*>(lock), self->name.c_str());
        return false;
    }
    if (!NoteLockOrder(self->held_locks, lock)) {
        return false;
    }
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, owner, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
            break;
        }
        std::this_thread::yield();
    }
    self->held_locks.push_back(lock);
    std::lock_guard<std::mutex> guard(g_order_mu);
    g_held.insert(lock);
    return true;
}

bool ReleaseLockWord(emu::ThreadRec* self, PKSPIN_LOCK lock) {
    auto owner = reinterpret_cast<ULONG_PTR>(self);
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) != owner) {
        BugCheck(rule::kSpinLockNotOwned, "spin lock %p released by '%s', which does not hold it",
                 static_cast<void*>(lock), self->name.c_str());
        return false;
    }
    auto& held = self->held_locks;
    held.erase(std::find(held.begin(), held.end(), lock));
    {
        std::lock_guard<std::mutex> guard(g_order_mu);
        g_held.erase(lock);
    }
    __atomic_store_n(lock, ULONG_PTR(0), __ATOMIC_RELEASE);
    return true;
}

}  // namespace

KIRQL KeGetCurrentIrql(VOID) {
    return emu::CurrentIrql();
}

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    emu::ThreadRec* self = SelfOrReport("KeRaiseIrql");
    if (!self) {
        return;
    }
    *OldIrql = self->irql;
    if (NewIrql < self->irql) {
        BugCheck(rule::kIrqlMismatch, "KeRaiseIrql to %d from the higher IRQL %d", NewIrql,
                 self->irql);
        return;
    }
    self->irql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql) {
    emu::ThreadRec* self = SelfOrReport("KeLowerIrql");
    if (!self) {
        return;
    }
    if (NewIrql > self->irql) {
        BugCheck(rule::kIrqlMismatch, "KeLowerIrql to %d from the lower IRQL %d", NewIrql,
                 self->irql);
        return;
    }
    if (NewIrql < DISPATCH_LEVEL && !self->held_locks.empty()) {
        BugCheck(rule::kIrqlMismatch, "IRQL lowered to %d while holding %zu spin lock(s)", NewIrql,
                 self->held_locks.size());
        return;
    }
    self->irql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel(VOID) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    {
        std::lock_guard<std::mutex> guard(g_order_mu);
        if (g_held.count(SpinLock)) {
            BugCheck(rule::kSpinLockReinitialized, "spin lock %p initialized while it is held",
                     static_cast<void*>(SpinLock));
            return;
        }
    }
    *SpinLock = 0;
    ForgetLockOrder(SpinLock);
}

VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    emu::ThreadRec* self = SelfOrReport("KeAcquireSpinLock");
    if (!self) {
        return;
    }
    *OldIrql = self->irql;
    if (self->irql > DISPATCH_LEVEL) {
        BugCheck(rule::kIrqlNotLessOrEqual, "KeAcquireSpinLock at IRQL %d", self->irql);
        return;
    }
    KIRQL old = self->irql;
    self->irql = DISPATCH_LEVEL;
    if (!AcquireLockWord(self, SpinLock)) {
        self->irql = old;
    }
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    emu::ThreadRec* self = SelfOrReport("KeReleaseSpinLock");
    if (!self) {
        return;
    }
    if (self->irql != DISPATCH_LEVEL) {
        BugCheck(rule::kSpinLockWrongIrql, "KeReleaseSpinLock of %p at IRQL %d",
                 static_cast<void*>(SpinLock), self->irql);
        return;
    }
    if (!ReleaseLockWord(self, SpinLock)) {
        return;
    }
    KeLowerIrql(NewIrql);
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    emu::ThreadRec* self = SelfOrReport("KeAcquireSpinLockAtDpcLevel");
    if (!self) {
        return;
    }
    if (self->irql != DISPATCH_LEVEL) {
        BugCheck(rule::kIrqlNotLessOrEqual, "KeAcquireSpinLockAtDpcLevel at IRQL %d", self->irql);
        return;
    }
    AcquireLockWord(self, SpinLock);
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    emu::ThreadRec* self = SelfOrReport("KeReleaseSpinLockFromDpcLevel");
    if (!self) {
        return;
    }
    if (self->irql != DISPATCH_LEVEL) {
        BugCheck(rule::kSpinLockWrongIrql, "KeReleaseSpinLockFromDpcLevel of %p at IRQL %d",
                 static_cast<void*>(SpinLock), self->irql);
        return;
    }
    ReleaseLockWord(self, SpinLock);
}

// ---------------------------------------------------------------------------------------------
// Fast mutexes: acquired at APC_LEVEL or below, held at APC_LEVEL.
// ---------------------------------------------------------------------------------------------
VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
    auto lock = emu::DispatcherLock();
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    FastMutex->OldIrql = PASSIVE_LEVEL;
}

namespace {
bool TakeFastMutex(emu::ThreadRec* self, PFAST_MUTEX FastMutex, bool wait) {
    if (self->irql > APC_LEVEL) {
        BugCheck(rule::kIrqlNotLessOrEqual, "fast mutex %p acquired at IRQL %d",
                 static_cast<void*>(FastMutex), self->irql);
        return false;
    }
    auto lock = emu::DispatcherLock();
    if (FastMutex->Owner == self) {
        lock.unlock();
        BugCheck(rule::kSpinLockRecursion, "fast mutex %p acquired again by its owner '%s'",
                 static_cast<void*>(FastMutex), self->name.c_str());
        return false;
    }
    if (FastMutex->Count != 1) {
        if (!wait) {
            return false;
        }
        ++FastMutex->Contention;
        std::function<bool()> free = [FastMutex] { return FastMutex->Count == 1; };
        emu::BlockUntil(lock, "a fast mutex", free);
    }
    FastMutex->Count = 0;
    FastMutex->Owner = self;
    FastMutex->OldIrql = self->irql;
    self->irql = APC_LEVEL;
    return true;
}
}  // namespace

VOID ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
    emu::ThreadRec* self = SelfOrReport("ExAcquireFastMutex");
    if (self) {
        TakeFastMutex(self, FastMutex, true);
    }
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
    emu::ThreadRec* self = SelfOrReport("ExTryToAcquireFastMutex");
    return self && TakeFastMutex(self, FastMutex, false);
}

VOID ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
    emu::ThreadRec* self = SelfOrReport("ExReleaseFastMutex");
    if (!self) {
        return;
    }
    auto lock = emu::DispatcherLock();
    if (FastMutex->Owner != self || FastMutex->Count != 0) {
        lock.unlock();
        BugCheck(rule::kMutexNotOwned, "fast mutex %p released by '%s', which does not own it",
                 static_cast<void*>(FastMutex), self->name.c_str());
        return;
    }
    if (self->irql != APC_LEVEL) {
        lock.unlock();
        BugCheck(rule::kIrqlMismatch, "fast mutex %p released at IRQL %d",
                 static_cast<void*>(FastMutex), self->irql);
        return;
    }
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    self->irql = KIRQL(FastMutex->OldIrql);
    emu::WakeAll();
}

VOID EmuCheckPagedCode(PCSTR File, int Line) {
    KIRQL irql = emu::CurrentIrql();
    if (irql > APC_LEVEL) {
        BugCheck(rule::kPagedCodeAtRaisedIrql, "pageable code at %s:%d ran at IRQL %d", File, Line,
                 irql);
    }
}
