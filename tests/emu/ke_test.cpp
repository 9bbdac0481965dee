// The kernel services the driver relies on: DPCs, timers, events, waits, the virtual clock,
// fast mutexes, and the checks that guard their use.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "emu/kernel/bugcheck.h"
#include "emu/kernel/kernel.h"
#include "emu/kernel/sched.h"
#include "emu/kernel/wdk/ke.h"

namespace {

using emu::kMillisecond;
using emu::kSecond;

LARGE_INTEGER Relative(emu::Time t) {
    LARGE_INTEGER li;
    li.QuadPart = -t;
    return li;
}

struct DpcLog {
    std::atomic<int> runs{0};
    std::atomic<emu::Time> last_time{0};
    std::atomic<KIRQL> irql{PASSIVE_LEVEL};
};

VOID NTAPI CountingDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* log = static_cast<DpcLog*>(context);
    log->irql = KeGetCurrentIrql();
    log->last_time = emu::Now();
    ++log->runs;
}

// Occupies every processor with a DPC that spins until released, so that DPCs queued
// meanwhile stay queued.
class ProcessorsHeld {
  public:
    ProcessorsHeld() {
        for (KDPC& dpc : blockers_) {
            KeInitializeDpc(&dpc, Spin, this);
            KeInsertQueueDpc(&dpc, nullptr, nullptr);
        }
        while (entered_ < 2) {
            std::this_thread::yield();
        }
    }
    ~ProcessorsHeld() {
        released_ = true;
        while (exited_ < 2) {
            std::this_thread::yield();
        }
    }

  private:
    static VOID NTAPI Spin(PKDPC, PVOID context, PVOID, PVOID) {
        auto* self = static_cast<ProcessorsHeld*>(context);
        ++self->entered_;
        while (!self->released_) {
            std::this_thread::yield();
        }
        ++self->exited_;
    }
    KDPC blockers_[2];
    std::atomic<int> entered_{0};
    std::atomic<bool> released_{false};
    std::atomic<int> exited_{0};
};

TEST(KeDpc, QueuedTwiceRunsOnceAtDispatchLevel) {
    emu::Kernel kernel;
    DpcLog log;
    KDPC dpc;
    KeInitializeDpc(&dpc, CountingDpc, &log);

    {
        ProcessorsHeld held;
        EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
        EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr)) << "already queued";
    }
    emu::Settle();
    EXPECT_EQ(log.runs, 1);
    EXPECT_EQ(log.irql, DISPATCH_LEVEL);

    // Once it has run it can be queued again; a DPC removed from the queue does not run.
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    emu::Settle();
    EXPECT_EQ(log.runs, 2);
    {
        ProcessorsHeld held;
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
        EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
    }
    emu::Settle();
    EXPECT_EQ(log.runs, 2);
}

TEST(KeTimer, SetOnRunningTimerReportsAndReplacesIt) {
    emu::Kernel kernel;
    DpcLog log;
    KDPC dpc;
    KTIMER timer;
    KeInitializeDpc(&dpc, CountingDpc, &log);
    KeInitializeTimer(&timer);

    EXPECT_FALSE(KeSetTimer(&timer, Relative(100 * kMillisecond), &dpc));
    EXPECT_TRUE(KeSetTimer(&timer, Relative(300 * kMillisecond), &dpc));

    emu::AdvanceTime(200 * kMillisecond);
    EXPECT_EQ(log.runs, 0) << "the replaced due time must not fire";
    emu::AdvanceTime(100 * kMillisecond);
    EXPECT_EQ(log.runs, 1);
    EXPECT_EQ(log.last_time, 300 * kMillisecond);
    EXPECT_TRUE(KeReadStateTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer)) << "an expired timer is no longer in the queue";
}

TEST(KeTimer, CancelBeforeExpiryStopsItCancelAfterDpcQueuedReportsFalse) {
    emu::Kernel kernel;
    DpcLog log;
    KDPC dpc;
    KTIMER timer;
    KeInitializeDpc(&dpc, CountingDpc, &log);
    KeInitializeTimer(&timer);

    KeSetTimer(&timer, Relative(10 * kMillisecond), &dpc);
    EXPECT_TRUE(KeCancelTimer(&timer));
    emu::AdvanceTime(50 * kMillisecond);
    EXPECT_EQ(log.runs, 0);

    // A due time in the past expires the timer at once: its DPC is queued and the timer has
    // left the timer queue, so a cancel no longer stops anything.
    LARGE_INTEGER past;
    past.QuadPart = 0;
    KeSetTimer(&timer, past, &dpc);
    EXPECT_FALSE(KeCancelTimer(&timer));
    emu::Settle();
    EXPECT_EQ(log.runs, 1) << "cancelling after expiry does not dequeue the DPC";
}

TEST(KeTimer, PeriodicTimerFiresEveryPeriod) {
    emu::Kernel kernel;
    DpcLog log;
    KDPC dpc;
    KTIMER timer;
    KeInitializeDpc(&dpc, CountingDpc, &log);
    KeInitializeTimer(&timer);
    KeSetTimerEx(&timer, Relative(10 * kMillisecond), 10, &dpc);
    emu::AdvanceTime(55 * kMillisecond);
    EXPECT_EQ(log.runs, 5);
    EXPECT_TRUE(KeCancelTimer(&timer));
}

TEST(KeWait, ThreeSecondTimeoutPassesInVirtualTime) {
    emu::Kernel kernel;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    auto wall_start = std::chrono::steady_clock::now();
    emu::Time start = emu::Now();

    LARGE_INTEGER timeout = Relative(3 * kSecond);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
              STATUS_TIMEOUT);

    EXPECT_EQ(emu::Now() - start, 3 * kSecond);
    EXPECT_LT(std::chrono::steady_clock::now() - wall_start, std::chrono::seconds(2))
        << "the clock must jump, not wait";

    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1) << "a notification event stays signalled";
}

TEST(KeWait, SynchronizationEventReleasesOneWaiterAtATime) {
    emu::Kernel kernel;
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.push_back(emu::StartThread("waiter", [&] {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            ++woken;
        }));
    }
    emu::Settle();
    EXPECT_EQ(woken, 0);
    for (int expected = 1; expected <= 3; ++expected) {
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        emu::Settle();
        EXPECT_EQ(woken, expected);
        EXPECT_EQ(KeReadStateEvent(&event), 0) << "the wait consumed the signal";
    }
    for (auto& t : waiters) {
        emu::JoinThread(t);
    }
}

TEST(KeWait, DelaysWakeInDeadlineOrderAndTheClockFollows) {
    emu::Kernel kernel;
    std::mutex mu;
    std::vector<std::pair<int, emu::Time>> order;
    std::vector<std::thread> threads;
    for (int ms : {30, 10, 20}) {
        threads.push_back(emu::StartThread("sleeper", [&, ms] {
            LARGE_INTEGER interval = Relative(ms * kMillisecond);
            KeDelayExecutionThread(KernelMode, FALSE, &interval);
            std::lock_guard<std::mutex> lock(mu);
            order.emplace_back(ms, emu::Now());
        }));
    }
    for (auto& t : threads) {
        emu::JoinThread(t);
    }
    ASSERT_EQ(order.size(), 3u);
    EXPECT_EQ(order[0], std::make_pair(10, 10 * kMillisecond));
    EXPECT_EQ(order[1], std::make_pair(20, 20 * kMillisecond));
    EXPECT_EQ(order[2], std::make_pair(30, 30 * kMillisecond));
}

TEST(KeFastMutex, ExcludesAndRaisesToApcLevel) {
    emu::Kernel kernel;
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);

    std::atomic<bool> other_has_it{false};
    std::thread other = emu::StartThread("other", [&] {
        ExAcquireFastMutex(&mutex);
        other_has_it = true;
        ExReleaseFastMutex(&mutex);
    });
    emu::Settle();
    EXPECT_FALSE(other_has_it);
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    emu::Settle();
    EXPECT_TRUE(other_has_it);
    emu::JoinThread(other);
}

// ---------------------------------------------------------------------------------------------
// The checks fire on the violations they claim.
// ---------------------------------------------------------------------------------------------
TEST(KeChecks, WaitAtDispatchLevelIsCaught) {
    emu::Kernel kernel;
    emu::ExpectBugCheck expect(emu::rule::kWaitAtRaisedIrql);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER timeout = Relative(kSecond);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero);  // polling is allowed
    KeLowerIrql(old);
    EXPECT_EQ(expect.Count(), 1);
    EXPECT_EQ(emu::Now(), 0) << "the refused wait did not run";
}

TEST(KeChecks, SpinLockMisuseIsCaught) {
    emu::Kernel kernel;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    {
        emu::ExpectBugCheck expect(emu::rule::kSpinLockNotOwned);
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeReleaseSpinLockFromDpcLevel(&lock);  // never acquired
        KeLowerIrql(old);
        EXPECT_EQ(expect.Count(), 1);
    }
    {
        emu::ExpectBugCheck expect(emu::rule::kIrqlNotLessOrEqual);
        KeAcquireSpinLockAtDpcLevel(&lock);  // at PASSIVE_LEVEL
        EXPECT_EQ(expect.Count(), 1);
        EXPECT_EQ(lock, 0u) << "the refused acquire left the lock free";
    }
    {
        emu::ExpectBugCheck expect(emu::rule::kIrqlMismatch);
        KeAcquireSpinLock(&lock, &old);
        KeLowerIrql(PASSIVE_LEVEL);  // a spin lock is held
        EXPECT_EQ(expect.Count(), 1);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        KeReleaseSpinLock(&lock, old);
    }
    {
        emu::ExpectBugCheck expect(emu::rule::kSpinLockWrongIrql);
        KeAcquireSpinLock(&lock, &old);
        KIRQL dispatch;
        KeRaiseIrql(HIGH_LEVEL, &dispatch);
        KeReleaseSpinLock(&lock, old);  // released at HIGH_LEVEL
        EXPECT_EQ(expect.Count(), 1);
        KeLowerIrql(dispatch);
        KeReleaseSpinLock(&lock, old);
    }
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(lock, 0u);
}

TEST(KeChecks, InitializingAHeldSpinLockIsCaught) {
    emu::Kernel kernel;
    emu::ExpectBugCheck expect(emu::rule::kSpinLockReinitialized);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeInitializeSpinLock(&lock);  // refused: the lock stays owned
    EXPECT_EQ(expect.Count(), 1);
    KeReleaseSpinLock(&lock, old);
    KeInitializeSpinLock(&lock);
    EXPECT_EQ(expect.Count(), 1);
}

TEST(KeChecks, LockOrderInversionIsCaught) {
    emu::Kernel kernel;
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KIRQL old;
    KeAcquireSpinLock(&a, &old);
    KeAcquireSpinLockAtDpcLevel(&b);
    KeReleaseSpinLockFromDpcLevel(&b);
    KeReleaseSpinLock(&a, old);

    emu::ExpectBugCheck expect(emu::rule::kLockOrderInversion);
    KeAcquireSpinLock(&b, &old);
    KeAcquireSpinLockAtDpcLevel(&a);  // refused: a is not taken
    EXPECT_EQ(expect.Count(), 1);
    KeReleaseSpinLock(&b, old);
}

TEST(KeChecks, HangIsReportedInsteadOfHanging) {
    emu::Kernel kernel;
    emu::ExpectBugCheck expect(emu::rule::kDeadlock);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_TIMEOUT);
    EXPECT_EQ(expect.Count(), 1);
    EXPECT_NE(expect.LastMessage().find("thread 'main' waits for dispatcher object"),
              std::string::npos)
        << expect.LastMessage();
}

TEST(KeChecks, DpcReturningAtWrongIrqlIsCaught) {
    emu::Kernel kernel;
    emu::ExpectBugCheck expect(emu::rule::kIrqlMismatch);
    KDPC dpc;
    KeInitializeDpc(
        &dpc,
        [](PKDPC, PVOID, PVOID, PVOID) {
            KIRQL old;
            KeRaiseIrql(HIGH_LEVEL, &old);
        },
        nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    emu::Settle();
    EXPECT_EQ(expect.Count(), 1);
}

}  // namespace
