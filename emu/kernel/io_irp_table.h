// The table of IRPs the I/O manager has handed out, shared by io_irp.cpp (allocation, freeing,
// built requests) and io_complete.cpp (IoCallDriver and completion).
//
// Every such IRP has a record (kind and state) keyed by its address. A freed IRP is not returned
// to the pool at once: it stays in a quarantine with its record, so a second completion or a
// cancel of a freed IRP is reported instead of touching freed memory, and an address is not
// reused while the record of its former IRP may still be consulted.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "emu/kernel/io_internal.h"

namespace emu::io {

enum class Kind {
    Allocated,          // IoAllocateIrp: freed at the top unless a completion routine keeps it
    BuiltIoctl,         // IoBuildDeviceIoControlRequest: status block, output, event, free
    Application,        // emu/app: on_complete, freed when the application lets go
    DriverInitialized,  // IoInitializeIrp on the driver's own memory: nothing at the top
};

enum class State {
    Idle,        // allocated, not sent (or reinitialized)
    Dispatched,  // sent with IoCallDriver; a driver owns it
    Completing,  // IoCompleteRequest is walking its stack locations
    InRoutine,   // a completion routine is running
    Stopped,     // a completion routine returned STATUS_MORE_PROCESSING_REQUIRED
    Done,        // final processing done (application and driver-initialized IRPs)
    Freed,       // in quarantine
};

struct IrpRec {
    Kind kind = Kind::Allocated;
    State state = State::Idle;
    USHORT size = 0;
    uint64_t seq = 0;         // changes with every change of state
    uint64_t generation = 0;  // changes when the IRP is (re)initialized
    // Stack locations (bit n = location n) whose dispatch routine returned STATUS_PENDING, and
    // those the completion walk has passed.
    ULONGLONG returned_pending = 0;
    ULONGLONG passed = 0;
    // IoBuildDeviceIoControlRequest
    PVOID user_output = nullptr;
    ULONG output_length = 0;
    bool copy_output = false;
    // Application requests
    std::function<void(PIRP)> on_complete;
    bool release_when_done = false;
};

struct Irps {
    std::mutex mu;
    std::unordered_map<PIRP, IrpRec> recs;
    std::deque<PIRP> quarantine;
    uint64_t next_serial = 0;
    size_t live = 0;
};

Irps& I();

inline ULONGLONG Bit(int location) {
    return (location >= 0 && location < 64) ? (1ull << location) : 0;
}

// The table's lock held.
inline IrpRec* FindLocked(PIRP irp) {
    auto it = I().recs.find(irp);
    return it == I().recs.end() ? nullptr : &it->second;
}

const char* StateName(State state);
void InitIrpMemory(PIRP irp, USHORT size, CCHAR stack_size);
// Reports (IRQL_NOT_LESS_OR_EQUAL) and returns false above `limit`.
bool CheckIrql(const char* routine, KIRQL limit);
// Allocates an IRP from the pool and records it. Null when the pool has no memory.
PIRP NewIrp(CCHAR stack_size, Kind kind);
// The table's lock held. Moves an IRP into the quarantine. Its on_complete (if any) is handed
// to `doomed` so that it is destroyed after the lock is released; blocks pushed out of the
// quarantine go to `evicted`, for ReleaseEvicted once the lock is released.
void FreeLocked(PIRP irp, IrpRec& rec, std::function<void(PIRP)>* doomed,
                std::vector<PIRP>* evicted);
void ReleaseEvicted(const std::vector<PIRP>& evicted);
// Frees an IRP the I/O manager owns (lock not held).
void FreeIrpNow(PIRP irp);

}  // namespace emu::io
