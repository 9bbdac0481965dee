// The scheduler of the emulated machine: emulated threads, their IRQL and wait states, the
// clock, the DPC queue and the processor threads that drain it, and deferred device-model
// work. Everything a blocked thread can wait for is guarded by one dispatcher lock, so the
// scheduler can tell, under that lock, when every emulated thread is blocked:
//   - if some blocked thread's wait is already satisfied, it simply runs next;
//   - otherwise, in virtual time, the clock jumps to the earliest deadline (a timer, a timed
//     wait, a delay or scheduled device work) and what is due fires;
//   - with nothing due, the machine is hung: the scheduler names every thread and what it
//     waits for, and bug-checks with DEADLOCK instead of hanging the test suite.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "emu/kernel/kernel.h"
#include "emu/kernel/wdk/ke.h"

namespace emu {

// The dispatcher lock. Hold it while reading or changing anything a blocked thread may be
// waiting for, then call WakeAll().
std::unique_lock<std::mutex> DispatcherLock();
void WakeAll();  // dispatcher lock held

// The clock (dispatcher lock not required).
Time Now();
bool RealTime();

// Emulated threads. The calling OS thread becomes an emulated thread at PASSIVE_LEVEL.
void AttachThread(const std::string& name);
void DetachThread();
bool IsEmulatedThread();
std::string CurrentThreadName();
// Starts an OS thread that runs `body` as the emulated thread `name`; it is registered before
// this call returns, so the scheduler never mistakes the start-up for an idle machine.
std::thread StartThread(const std::string& name, std::function<void()> body);
// Joins a thread started by StartThread. The caller waits as an emulated thread, so the
// clock keeps moving while the other thread sleeps (a plain join would look like a running
// thread to the scheduler and stop the clock).
void JoinThread(std::thread& thread);

// Blocks the calling emulated thread (dispatcher lock held through `lock`) until `ready()`
// holds or the clock reaches `deadline`. `ready` is evaluated under the dispatcher lock, also
// by other threads, so it must only read state the dispatcher lock guards and have no side
// effects. `what` describes the wait in hang reports.
enum class WaitOutcome { Ready, TimedOut };
WaitOutcome BlockUntil(std::unique_lock<std::mutex>& lock, const std::string& what,
                       const std::function<bool()>& ready,
                       std::optional<Time> deadline = std::nullopt);

// Device-model work: `fn` runs on a processor thread at DISPATCH_LEVEL once the clock has
// reached `when` (or as soon as possible for QueueWork). Work may be cancelled until it starts.
using WorkId = uint64_t;
WorkId ScheduleWork(Time when, std::function<void()> fn, const std::string& what);
WorkId QueueWork(std::function<void()> fn, const std::string& what);
bool CancelWork(WorkId id);

// Test control (from an emulated thread at PASSIVE_LEVEL, no lock held):
// Settle returns once nothing is queued or running on the processors and every other emulated
// thread is blocked; the clock does not move.
void Settle();
// AdvanceTime lets the clock run forward by `delta`, firing everything that falls due on the
// way in deadline order, then settles.
void AdvanceTime(Time delta);

// Per-thread IRQL bookkeeping shared with the lock checks.
KIRQL CurrentIrql();
void SetCurrentIrql(KIRQL irql);

// Test hook: count of DPC routines run since boot.
uint64_t DpcsRun();

}  // namespace emu
