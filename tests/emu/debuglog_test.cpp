// The debug log and the pageable-section bookkeeping.
#include <gtest/gtest.h>

#include "emu/kernel/bugcheck.h"
#include "emu/kernel/debuglog.h"
#include "emu/kernel/kernel.h"
#include "emu/kernel/sched.h"

namespace {

TEST(DebugLogTest, PrintsAndBreakpointsAreLoggedInOrder) {
    emu::Kernel kernel;
    std::vector<std::string> echoed;
    emu::SetDebugLogSink([&](const emu::DebugLogEntry& entry) { echoed.push_back(entry.text); });
    DbgBreakPoint();
    emu::AdvanceTime(5 * emu::kMillisecond);
    EXPECT_EQ(DbgPrint("QUELLA.SYS:\t<Build: %s - %s>\n", "Jul  2 2008", "16:55:29"),
              ULONG(STATUS_SUCCESS));
    std::string long_line(3000, 'x');
    DbgPrint("%s", long_line.c_str());
    emu::SetDebugLogSink({});

    std::vector<emu::DebugLogEntry> log = emu::DebugLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].kind, emu::DebugLogEntry::Kind::Breakpoint);
    EXPECT_EQ(log[1].kind, emu::DebugLogEntry::Kind::Print);
    EXPECT_EQ(log[1].text, "QUELLA.SYS:\t<Build: Jul  2 2008 - 16:55:29>\n");
    EXPECT_EQ(log[1].thread, "main");
    EXPECT_EQ(log[1].time - log[0].time, 5 * emu::kMillisecond);
    EXPECT_EQ(log[2].text.size(), 3000u);  // nothing cut
    EXPECT_EQ(emu::DebugLogText().substr(0, 24), "[breakpoint]\nQUELLA.SYS:");
    EXPECT_EQ(echoed.size(), 3u);
    emu::DebugLogClear();
    EXPECT_TRUE(emu::DebugLog().empty());
}

TEST(DebugLogTest, PageableSectionLocksAreCountedAndBalanced) {
    emu::Kernel kernel;
    PVOID handle = MmLockPagableDataSection(reinterpret_cast<PVOID>(&DbgPrint));
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle, emu::PagedSectionHandle());
    MmUnlockPagableImageSection(handle);
    MmLockPagableSectionByHandle(handle);
    MmLockPagableSectionByHandle(handle);
    MmUnlockPagableImageSection(handle);
    emu::PagedSectionStats stats = emu::PagedSectionCounts();
    EXPECT_EQ(stats.locks, 3);
    EXPECT_EQ(stats.unlocks, 2);
    EXPECT_EQ(stats.Held(), 1);
    MmUnlockPagableImageSection(handle);
    {
        emu::ExpectBugCheck misuse(emu::rule::kInvalidParameter);
        MmUnlockPagableImageSection(handle);  // more unlocks than locks
        int other;
        MmLockPagableSectionByHandle(&other);
        EXPECT_EQ(misuse.Count(), 2);
    }
    EXPECT_EQ(emu::PagedSectionCounts().Held(), 0);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    {
        emu::ExpectBugCheck raised(emu::rule::kIrqlNotLessOrEqual);
        MmLockPagableSectionByHandle(handle);
        EXPECT_EQ(raised.Count(), 1);
    }
    KeLowerIrql(old);
}

}  // namespace
