// The debug log (DbgPrint, DbgBreakPoint) and the pageable-section calls.
#include "emu/kernel/debuglog.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "emu/kernel/bugcheck.h"
#include "emu/kernel/sched.h"

namespace emu {
namespace {

struct Log {
    std::mutex mu;
    std::vector<DebugLogEntry> entries;
    std::function<void(const DebugLogEntry&)> sink;
    PagedSectionStats sections;
};

Log& L() {
    static Log* log = new Log;
    return *log;
}

// The one pageable section's handle: any non-null address of our own will do.
char g_section;

void Append(DebugLogEntry entry) {
    entry.time = Now();
    entry.thread = IsEmulatedThread() ? CurrentThreadName() : "(not emulated)";
    std::function<void(const DebugLogEntry&)> sink;
    {
        std::lock_guard<std::mutex> lock(L().mu);
        L().entries.push_back(entry);
        sink = L().sink;
    }
    if (sink) {
        sink(entry);
    }
}

bool CheckSectionIrql(const char* routine, KIRQL highest) {
    KIRQL irql = CurrentIrql();
    if (irql > highest) {
        BugCheck(rule::kIrqlNotLessOrEqual, "%s called at IRQL %u (at most %u)", routine, irql,
                 highest);
        return false;
    }
    return true;
}

bool CheckSectionHandle(const char* routine, PVOID handle) {
    if (handle != &g_section) {
        BugCheck(rule::kInvalidParameter, "%s with %p, which is not a section handle", routine,
                 handle);
        return false;
    }
    return true;
}

}  // namespace

std::vector<DebugLogEntry> DebugLog() {
    std::lock_guard<std::mutex> lock(L().mu);
    return L().entries;
}

std::string DebugLogText() {
    std::string text;
    for (const DebugLogEntry& entry : DebugLog()) {
        text += entry.kind == DebugLogEntry::Kind::Breakpoint ? "[breakpoint]\n" : entry.text;
    }
    return text;
}

void DebugLogClear() {
    std::lock_guard<std::mutex> lock(L().mu);
    L().entries.clear();
}

void SetDebugLogSink(std::function<void(const DebugLogEntry&)> sink) {
    std::lock_guard<std::mutex> lock(L().mu);
    L().sink = std::move(sink);
}

PagedSectionStats PagedSectionCounts() {
    std::lock_guard<std::mutex> lock(L().mu);
    return L().sections;
}

PVOID PagedSectionHandle() {
    return &g_section;
}

// The sink stays: it belongs to the program (the lab), not to one machine.
void DebugLogReset() {
    std::lock_guard<std::mutex> lock(L().mu);
    L().entries.clear();
    L().sections = PagedSectionStats{};
}

}  // namespace emu

ULONG DbgPrint(PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    va_list measure;
    va_copy(measure, args);
    int length = std::vsnprintf(nullptr, 0, Format, measure);
    va_end(measure);
    std::string text(length > 0 ? size_t(length) : 0, '\0');
    if (length > 0) {
        std::vsnprintf(text.data(), text.size() + 1, Format, args);
    }
    va_end(args);
    emu::DebugLogEntry entry;
    entry.kind = emu::DebugLogEntry::Kind::Print;
    entry.text = std::move(text);
    emu::Append(std::move(entry));
    return STATUS_SUCCESS;
}

VOID DbgBreakPoint(VOID) {
    emu::DebugLogEntry entry;
    entry.kind = emu::DebugLogEntry::Kind::Breakpoint;
    entry.text = "breakpoint";
    emu::Append(std::move(entry));
}

// Locks the section that holds the address and returns its handle (PASSIVE_LEVEL or
// APC_LEVEL).
PVOID MmLockPagableDataSection(PVOID AddressWithinSection) {
    if (!emu::CheckSectionIrql("MmLockPagableDataSection", APC_LEVEL)) {
        return emu::PagedSectionHandle();
    }
    std::lock_guard<std::mutex> lock(emu::L().mu);
    ++emu::L().sections.locks;
    return emu::PagedSectionHandle();
}

VOID MmLockPagableSectionByHandle(PVOID ImageSectionHandle) {
    if (!emu::CheckSectionIrql("MmLockPagableSectionByHandle", APC_LEVEL) ||
        !emu::CheckSectionHandle("MmLockPagableSectionByHandle", ImageSectionHandle)) {
        return;
    }
    std::lock_guard<std::mutex> lock(emu::L().mu);
    ++emu::L().sections.locks;
}

// Releasing a section more often than it was locked is a bug the platform stops on.
VOID MmUnlockPagableImageSection(PVOID ImageSectionHandle) {
    if (!emu::CheckSectionIrql("MmUnlockPagableImageSection", DISPATCH_LEVEL) ||
        !emu::CheckSectionHandle("MmUnlockPagableImageSection", ImageSectionHandle)) {
        return;
    }
    std::unique_lock<std::mutex> lock(emu::L().mu);
    if (emu::L().sections.Held() <= 0) {
        lock.unlock();
        emu::BugCheck(emu::rule::kInvalidParameter,
                      "MmUnlockPagableImageSection of a section that is not locked");
        return;
    }
    ++emu::L().sections.unlocks;
}
