// State of the scheduler shared by sched.cpp and the kernel-object implementations
// (ke_dispatcher.cpp, ke_locks.cpp). Not for use outside emu/kernel.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "emu/kernel/sched.h"

namespace emu {

struct ThreadRec {
    std::string name;
    KIRQL irql = PASSIVE_LEVEL;
    // Wait state, guarded by the dispatcher lock.
    bool blocked = false;
    std::string what;
    const std::function<bool()>* ready = nullptr;
    std::optional<Time> deadline;
    bool processor = false;    // processor threads are never chosen to break a hang
    bool hang_broken = false;  // an expected hang ended this thread's wait
    // Spin locks held, in acquisition order (owner thread only).
    std::vector<PKSPIN_LOCK> held_locks;
};

// One unit of processor work: a queued DPC or a device-model work item.
struct ProcessorItem {
    PKDPC dpc = nullptr;
    WorkId work = 0;
    std::function<void()> fn;
    std::string what;
};

struct Machine {
    std::mutex mu;  // the dispatcher lock
    std::condition_variable cv;
    std::atomic<Time> now{0};
    bool real_time = false;
    std::chrono::steady_clock::time_point real_start;
    std::vector<ThreadRec*> threads;

    // Timer queue: due time -> timer, plus the position of each inserted timer.
    std::multimap<Time, PKTIMER> timers;
    std::unordered_map<PKTIMER, std::multimap<Time, PKTIMER>::iterator> timer_pos;

    // Work not yet due, by due time; and the ready queue the processors drain.
    std::multimap<Time, ProcessorItem> work_pending;
    std::deque<ProcessorItem> ready;
    WorkId next_work_id = 0;

    std::vector<std::thread> processors;
    std::thread clock_thread;                            // real-time mode only
    std::unordered_map<std::thread::id, bool> finished;  // StartThread threads that ended
    bool stopping = false;
    uint64_t dpcs_run = 0;
};

Machine& M();
ThreadRec* Self();  // the calling emulated thread, or null

// Dispatcher lock held. Expires every timer and releases every work item due at `now`.
void FireDueLocked(Time now);
// Dispatcher lock held. Queues a DPC; false if it was already queued.
bool InsertDpcLocked(PKDPC dpc, PVOID arg1, PVOID arg2);
// Dispatcher lock held. Removes a timer from the timer queue; false if it was not in it.
bool RemoveTimerLocked(PKTIMER timer);

}  // namespace emu
