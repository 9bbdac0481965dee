// The debug log: what the driver prints with DbgPrint, and the breakpoints it hits with
// DbgBreakPoint, in the order they happened, for tests to read and the lab to show. Also the
// bookkeeping of the pageable-section calls (MmLockPagable*, MmUnlockPagableImageSection).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "emu/kernel/kernel.h"
#include "emu/kernel/wdk/ke.h"

namespace emu {

struct DebugLogEntry {
    enum class Kind { Print, Breakpoint };
    Kind kind = Kind::Print;
    std::string text;    // the formatted output of a print; "breakpoint" for a breakpoint
    Time time = 0;       // virtual time
    std::string thread;  // the emulated thread
};

std::vector<DebugLogEntry> DebugLog();
// Every print in order, concatenated, with each breakpoint shown as "[breakpoint]\n".
std::string DebugLogText();
void DebugLogClear();
// Called with each new entry as it is logged (the lab echoes them); an empty function stops
// the echo. The sink runs on the thread that logged, outside the log's lock.
void SetDebugLogSink(std::function<void(const DebugLogEntry&)> sink);

// Pageable sections. There is one section; MmLockPagableDataSection returns its handle.
struct PagedSectionStats {
    int64_t locks = 0;    // MmLockPagableDataSection and MmLockPagableSectionByHandle calls
    int64_t unlocks = 0;  // MmUnlockPagableImageSection calls
    int64_t Held() const { return locks - unlocks; }
};
PagedSectionStats PagedSectionCounts();
// The handle MmLockPagableDataSection hands out.
PVOID PagedSectionHandle();

}  // namespace emu
