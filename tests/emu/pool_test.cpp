// The emulated pool: tracking, the free-time and IRQL checks, the leak report and fault
// injection as the driver tests use it.
#include <gtest/gtest.h>

#include <thread>

#include "emu/kernel/bugcheck.h"
#include "emu/kernel/kernel.h"
#include "emu/kernel/pool.h"
#include "emu/kernel/sched.h"

namespace {

constexpr ULONG kTag = emu::PoolTag("COMX");
constexpr ULONG kOtherTag = emu::PoolTag("Abcd");

TEST(PoolTest, TracksEachBlockByTagWithTypeSizeSiteAndSequence) {
    emu::Kernel kernel;
    EXPECT_EQ(kTag, 0x584D4F43u);
    EXPECT_EQ(emu::PoolTagName(kTag), "COMX");

    auto* a = static_cast<uint8_t*>(ExAllocatePoolWithTag(PagedPool, 40, kTag));
    auto* b = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 8, kTag));
    void* c = ExAllocatePoolWithTag(NonPagedPool, 100, kOtherTag);
    void* untagged = ExAllocatePool(NonPagedPool, 4);
    ASSERT_TRUE(a && b && c && untagged);
    EXPECT_EQ(emu::PoolOutstandingCount(kTag), 2u);
    EXPECT_EQ(emu::PoolOutstandingBytes(kTag), 48u);
    EXPECT_EQ(emu::PoolOutstandingCount(kOtherTag), 1u);
    EXPECT_EQ(emu::PoolRequestCount(), 4u);

    std::optional<emu::PoolAllocation> info = emu::PoolFind(a);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->type, PagedPool);
    EXPECT_EQ(info->size, 40u);
    EXPECT_EQ(info->tag, kTag);
    EXPECT_EQ(info->sequence, 1u);
    EXPECT_NE(info->site, nullptr);
    EXPECT_EQ(emu::PoolFind(untagged)->tag, emu::PoolTag("None"));
    EXPECT_FALSE(emu::PoolFind(a + 1));

    // Fresh blocks are not zero, so code that forgets to clear them shows it.
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(a[i], emu::kPoolAllocatedFill);
    }
    std::vector<emu::PoolAllocation> outstanding = emu::PoolOutstanding(kTag);
    ASSERT_EQ(outstanding.size(), 2u);
    EXPECT_EQ(outstanding[0].address, a);
    EXPECT_EQ(outstanding[1].address, b);

    ExFreePoolWithTag(a, kTag);
    ExFreePool(b);  // an untagged free accepts any tag
    ExFreePoolWithTag(c, kOtherTag);
    ExFreePool(untagged);
    EXPECT_EQ(emu::PoolOutstandingCount(kTag), 0u);
    EXPECT_EQ(emu::PoolOutstandingBytes(kTag), 0u);
    EXPECT_TRUE(emu::PoolCheckNoLeaks(kTag));
}

TEST(PoolTest, BadFreesAreBugChecksAndLeaveTheBlockAlone) {
    emu::Kernel kernel;
    void* block = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    {
        emu::ExpectBugCheck wrong_tag(emu::rule::kPoolWrongTag);
        ExFreePoolWithTag(block, kOtherTag);
        EXPECT_EQ(wrong_tag.Count(), 1);
        EXPECT_NE(wrong_tag.LastMessage().find("Abcd"), std::string::npos);
    }
    EXPECT_TRUE(emu::PoolFind(block));  // still allocated: the bad free did nothing

    // The platform ignores the protected-tag bit when it compares tags.
    ExFreePoolWithTag(block, kTag | 0x80000000u);
    {
        emu::ExpectBugCheck double_free(emu::rule::kPoolDoubleFree);
        ExFreePoolWithTag(block, kTag);
        EXPECT_EQ(double_free.Count(), 1);
        EXPECT_NE(double_free.LastMessage().find("16 bytes"), std::string::npos);
    }
    auto* other = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 32, kTag));
    int local = 0;
    {
        emu::ExpectBugCheck bad(emu::rule::kPoolBadAddress);
        ExFreePool(other + 8);
        EXPECT_NE(bad.LastMessage().find("inside"), std::string::npos);
        ExFreePool(&local);
        ExFreePool(nullptr);
        EXPECT_EQ(bad.Count(), 3);
    }
    ExFreePoolWithTag(other, kTag);
}

TEST(PoolTest, PagedPoolAboveApcLevelIsABugCheck) {
    emu::Kernel kernel;
    void* paged = ExAllocatePoolWithTag(PagedPool, 8, kTag);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    void* nonpaged = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    {
        emu::ExpectBugCheck irql(emu::rule::kIrqlNotLessOrEqual);
        EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, kTag), nullptr);
        EXPECT_EQ(ExAllocatePoolWithTag(PagedPoolCacheAligned, 8, kTag), nullptr);
        ExFreePoolWithTag(paged, kTag);
        EXPECT_EQ(irql.Count(), 3);
    }
    ExFreePoolWithTag(nonpaged, kTag);  // non-paged pool may be freed at DISPATCH_LEVEL
    KeLowerIrql(old);
    ExFreePoolWithTag(paged, kTag);
    EXPECT_EQ(emu::PoolOutstandingCount(kTag), 0u);
}

TEST(PoolTest, LeakCheckListsEveryBlockLeftAndKeepsThem) {
    emu::Kernel kernel;
    void* keep = ExAllocatePoolWithTag(PagedPool, 24, kTag);
    void* other = ExAllocatePoolWithTag(PagedPool, 7, kOtherTag);
    void* leaked = ExAllocatePoolWithTag(NonPagedPool, 1000, kTag);
    {
        emu::ExpectBugCheck leak(emu::rule::kPoolLeakAtUnload);
        EXPECT_FALSE(emu::PoolCheckNoLeaks(kTag));
        ASSERT_EQ(leak.Count(), 1);
        std::string message = leak.LastMessage();
        EXPECT_NE(message.find("2 block(s), 1024 bytes"), std::string::npos) << message;
        EXPECT_NE(message.find("sequence 1, 24 bytes of PagedPool"), std::string::npos);
        EXPECT_NE(message.find("sequence 3, 1000 bytes of NonPagedPool"), std::string::npos);
        EXPECT_EQ(message.find("7 bytes"), std::string::npos);  // another tag is not listed
    }
    EXPECT_EQ(emu::PoolOutstandingCount(kTag), 2u);
    ExFreePoolWithTag(keep, kTag);
    ExFreePoolWithTag(leaked, kTag);
    EXPECT_TRUE(emu::PoolCheckNoLeaks(kTag));
    ExFreePoolWithTag(other, kOtherTag);
}

TEST(PoolTest, FaultsFailTheNthOrEveryMatchingRequestWhileArmed) {
    emu::Kernel kernel;
    std::vector<void*> blocks;
    {
        emu::PoolFaultScope second(emu::PoolFault::Nth(2, emu::PoolTagIs(kTag)));
        blocks.push_back(ExAllocatePoolWithTag(PagedPool, 8, kOtherTag));  // not counted
        blocks.push_back(ExAllocatePoolWithTag(PagedPool, 8, kTag));
        EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, kTag), nullptr);
        blocks.push_back(ExAllocatePoolWithTag(PagedPool, 8, kTag));
        EXPECT_EQ(second.Matched(), 3u);
        EXPECT_EQ(second.Failed(), 1u);
        std::vector<emu::PoolAllocation> seen = second.MatchedRequests();
        ASSERT_EQ(seen.size(), 3u);
        EXPECT_EQ(seen[0].address, blocks[1]);
        EXPECT_EQ(seen[1].address, nullptr);
    }
    {
        emu::PoolFaultScope big(emu::PoolFault::Every(
            emu::PoolAll(emu::PoolTypeIs(NonPagedPool), emu::PoolSizeIs(384))));
        EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 384, kTag), nullptr);
        EXPECT_EQ(ExAllocatePoolWithQuotaTag(NonPagedPool, 384, kTag), nullptr);
        blocks.push_back(ExAllocatePoolWithTag(PagedPool, 384, kTag));
        blocks.push_back(ExAllocatePoolWithTag(NonPagedPoolMustSucceed, 384, kTag));
        EXPECT_EQ(big.Failed(), 2u);
    }
    blocks.push_back(ExAllocatePoolWithTag(NonPagedPool, 384, kTag));  // disarmed

    // Unscoped faults, e.g. every request of one call site learned from a counting pass.
    const void* site;
    {
        emu::PoolFaultScope count(emu::PoolFault::Count());
        blocks.push_back(ExAllocatePoolWithTag(NonPagedPool, 1, kTag));
        site = count.MatchedRequests().at(0).site;
    }
    emu::PoolFaultId id = emu::PoolFailEvery(emu::PoolSiteIs(site));
    blocks.push_back(ExAllocatePoolWithTag(NonPagedPool, 2, kTag));  // another site
    EXPECT_EQ(emu::PoolFind(blocks.back())->size, 2u);
    emu::PoolDisarmFault(id);
    emu::PoolFailNth(1);
    EXPECT_EQ(ExAllocatePool(NonPagedPool, 1), nullptr);
    emu::PoolClearFaults();

    for (void* block : blocks) {
        ASSERT_NE(block, nullptr);
        ExFreePool(block);
    }
    EXPECT_TRUE(emu::PoolCheckNoLeaks(kTag));
}

// A scenario with three allocations that must unwind cleanly when any of them fails.
NTSTATUS BuildThree(void** out) {
    void* a = ExAllocatePoolWithTag(PagedPool, 10, kTag);
    if (!a) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    void* b = ExAllocatePoolWithTag(NonPagedPool, 20, kTag);
    if (!b) {
        ExFreePoolWithTag(a, kTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    void* c = ExAllocatePoolWithTag(NonPagedPool, 30, kTag);
    ExFreePoolWithTag(b, kTag);
    if (!c) {
        ExFreePoolWithTag(a, kTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    out[0] = a;
    out[1] = c;
    return STATUS_SUCCESS;
}

TEST(PoolTest, CountingThenFailingEachAllocationInTurn) {
    emu::Kernel kernel;
    void* blocks[2];
    uint64_t n;
    {
        emu::PoolFaultScope count(emu::PoolFault::Count(emu::PoolTagIs(kTag)));
        ASSERT_EQ(BuildThree(blocks), STATUS_SUCCESS);
        n = count.Matched();
        EXPECT_EQ(count.Failed(), 0u);
    }
    ASSERT_EQ(n, 3u);
    ExFreePoolWithTag(blocks[0], kTag);
    ExFreePoolWithTag(blocks[1], kTag);
    for (uint64_t k = 1; k <= n; ++k) {
        emu::PoolFaultScope fail(emu::PoolFault::Nth(k, emu::PoolTagIs(kTag)));
        EXPECT_EQ(BuildThree(blocks), STATUS_INSUFFICIENT_RESOURCES) << "failing allocation " << k;
        EXPECT_EQ(fail.Failed(), 1u);
        EXPECT_TRUE(emu::PoolCheckNoLeaks(kTag)) << "failing allocation " << k;
    }
}

TEST(PoolConcurrencyTest, ThreadsAllocateAndFreeSideBySide) {
    emu::Kernel kernel;
    auto body = [] {
        for (int i = 0; i < 2000; ++i) {
            void* p = ExAllocatePoolWithTag(i % 2 ? PagedPool : NonPagedPool, 16 + i % 64, kTag);
            ExFreePoolWithTag(p, kTag);
        }
    };
    std::thread one = emu::StartThread("pool-1", body);
    std::thread two = emu::StartThread("pool-2", body);
    one.join();
    two.join();
    EXPECT_EQ(emu::PoolRequestCount(), 4000u);
    EXPECT_TRUE(emu::PoolCheckNoLeaks(kTag));
}

}  // namespace
