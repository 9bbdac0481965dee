// Stress of the kernel services from several emulated threads and both processors at once;
// the thread sanitizer build runs these.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "emu/kernel/kernel.h"
#include "emu/kernel/sched.h"
#include "emu/kernel/wdk/ke.h"

namespace {

TEST(KeConcurrency, SpinLockExcludesAcrossThreadsAndProcessors) {
    emu::Kernel kernel;
    struct Shared {
        KSPIN_LOCK lock;
        long counter = 0;  // guarded by lock
        KDPC dpc;
    } shared;
    KeInitializeSpinLock(&shared.lock);
    KeInitializeDpc(
        &shared.dpc,
        [](PKDPC, PVOID context, PVOID, PVOID) {
            auto* s = static_cast<Shared*>(context);
            KeAcquireSpinLockAtDpcLevel(&s->lock);
            ++s->counter;
            KeReleaseSpinLockFromDpcLevel(&s->lock);
        },
        &shared);

    constexpr int kThreads = 3;
    constexpr int kRounds = 2000;
    std::atomic<long> dpcs_queued{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.push_back(emu::StartThread("worker", [&] {
            for (int i = 0; i < kRounds; ++i) {
                KIRQL old;
                KeAcquireSpinLock(&shared.lock, &old);
                ++shared.counter;
                KeReleaseSpinLock(&shared.lock, old);
                if (KeInsertQueueDpc(&shared.dpc, nullptr, nullptr)) {
                    ++dpcs_queued;
                }
            }
        }));
    }
    for (auto& t : threads) {
        emu::JoinThread(t);
    }
    emu::Settle();
    KIRQL old;
    KeAcquireSpinLock(&shared.lock, &old);
    long counter = shared.counter;
    KeReleaseSpinLock(&shared.lock, old);
    EXPECT_EQ(counter, kThreads * kRounds + dpcs_queued.load())
        << "every successful insert ran exactly once and no increment was lost";
}

TEST(KeConcurrency, EventPingPongAdvancesNoTime) {
    emu::Kernel kernel;
    KEVENT ping, pong;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    constexpr int kRounds = 1000;
    std::thread partner = emu::StartThread("partner", [&] {
        for (int i = 0; i < kRounds; ++i) {
            KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
            KeSetEvent(&pong, IO_NO_INCREMENT, FALSE);
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
        LARGE_INTEGER timeout;
        timeout.QuadPart = -emu::kSecond;
        ASSERT_EQ(KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, &timeout),
                  STATUS_SUCCESS)
            << "round " << i;
    }
    emu::JoinThread(partner);
    EXPECT_EQ(emu::Now(), 0) << "no wait timed out, so the clock never had to move";
}

TEST(KeConcurrency, TimersSetAndCancelledFromSeveralThreads) {
    emu::Kernel kernel;
    struct Slot {
        KTIMER timer;
        KDPC dpc;
        std::atomic<int> runs{0};
    };
    constexpr int kSlots = 4;
    Slot slots[kSlots];
    for (Slot& s : slots) {
        KeInitializeTimer(&s.timer);
        KeInitializeDpc(
            &s.dpc, [](PKDPC, PVOID c, PVOID, PVOID) { ++static_cast<Slot*>(c)->runs; }, &s);
    }
    std::atomic<int> expected_runs{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kSlots; ++t) {
        threads.push_back(emu::StartThread("timer user", [&, t] {
            Slot& s = slots[t];
            for (int i = 0; i < 200; ++i) {
                LARGE_INTEGER due;
                due.QuadPart = -emu::Time(1 + i % 3) * emu::kMillisecond;
                KeSetTimer(&s.timer, due, &s.dpc);
                if (i % 2 == 0 && KeCancelTimer(&s.timer)) {
                    continue;  // stopped before it expired: its DPC never runs
                }
                LARGE_INTEGER pause;
                pause.QuadPart = -5 * emu::kMillisecond;
                KeDelayExecutionThread(KernelMode, FALSE, &pause);  // let it expire and run
                ++expected_runs;
            }
        }));
    }
    for (auto& t : threads) {
        emu::JoinThread(t);
    }
    emu::Settle();
    int runs = 0;
    for (Slot& s : slots) {
        runs += s.runs;
    }
    EXPECT_EQ(runs, expected_runs.load());
}

}  // namespace
