// Loading and unloading: the banner, the debugger stop, the dispatch table, the service path
// copy, ExtBaudrate from the service key, and every allocation failure of the load.
#include <gtest/gtest.h>

#include <regex>

#include "driver/globals.h"
#include "driver/routines.h"
#include "emu/kernel/debuglog.h"
#include "emu/kernel/io_manager.h"
#include "emu/kernel/namespace.h"
#include "emu/kernel/pool.h"
#include "tests/driver/support/driver_harness.h"

using namespace quella_test;

namespace {

class DriverEntryTest : public DriverTest {};

std::vector<EXT_BAUD_ENTRY> Table() {
    return std::vector<EXT_BAUD_ENTRY>(ExtBaudTable, ExtBaudTable + ExtBaudCount);
}

}  // namespace

TEST_F(DriverEntryTest, BannerTableAndServicePath) {
    Load();

    // The banner is the one line the driver prints: build date and time of the image.
    std::vector<emu::DebugLogEntry> log = emu::DebugLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].kind, emu::DebugLogEntry::Kind::Print);
    EXPECT_TRUE(std::regex_match(
        log[0].text,
        std::regex(
            "QUELLA\\.SYS:\t<Build: [A-Z][a-z]{2} [ 123]\\d \\d{4} - \\d\\d:\\d\\d:\\d\\d>\n")))
        << log[0].text;

    // The thirteen major functions, unload and AddDevice are ours; the rest keep the default.
    const UCHAR served[] = {IRP_MJ_CREATE,
                            IRP_MJ_CLOSE,
                            IRP_MJ_READ,
                            IRP_MJ_WRITE,
                            IRP_MJ_QUERY_INFORMATION,
                            IRP_MJ_SET_INFORMATION,
                            IRP_MJ_FLUSH_BUFFERS,
                            IRP_MJ_DEVICE_CONTROL,
                            IRP_MJ_INTERNAL_DEVICE_CONTROL,
                            IRP_MJ_CLEANUP,
                            IRP_MJ_POWER,
                            IRP_MJ_SYSTEM_CONTROL,
                            IRP_MJ_PNP};
    PDRIVER_DISPATCH fallback = driver_->MajorFunction[IRP_MJ_SHUTDOWN];
    for (UCHAR major : served) {
        EXPECT_NE(driver_->MajorFunction[major], fallback) << int(major);
    }
    EXPECT_EQ(driver_->MajorFunction[IRP_MJ_LOCK_CONTROL], fallback);
    EXPECT_EQ(driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL], &DispatchDeviceControl);
    EXPECT_NE(driver_->DriverUnload, nullptr);
    EXPECT_NE(driver_->DriverExtension->AddDevice, nullptr);

    // The service path is kept in a copy of its own; the section lock taken at entry is
    // released again while its handle stays.
    EXPECT_EQ(emu::FromUnicodeString(&DriverRegistryPath), emu::ServiceKeyPath(kServiceName));
    EXPECT_EQ(emu::PoolOutstandingCount(QUELLA_POOL_TAG), 1u);
    EXPECT_EQ(PagedCodeHandle, emu::PagedSectionHandle());
    EXPECT_EQ(emu::PagedSectionCounts().locks, 1);
    EXPECT_EQ(emu::PagedSectionCounts().Held(), 0);

    EXPECT_TRUE(Unload());
    EXPECT_EQ(DriverRegistryPath.Buffer, nullptr);
}

TEST_F(DriverEntryTest, DebugBreakStopsBeforeTheBanner) {
    DebugBreakAtEntry = 1;
    Load();
    DebugBreakAtEntry = 0;

    std::vector<emu::DebugLogEntry> log = emu::DebugLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].kind, emu::DebugLogEntry::Kind::Breakpoint);
    EXPECT_EQ(log[1].kind, emu::DebugLogEntry::Kind::Print);
    EXPECT_EQ(log[1].text.rfind("QUELLA.SYS:", 0), 0u);
}

TEST_F(DriverEntryTest, ExtBaudrateFromTheServiceKey) {
    Load(u"1200,2400 9600,19200");
    ASSERT_EQ(ExtBaudCount, 2);
    EXPECT_EQ(Table()[0].RequestedRate, 1200);
    EXPECT_EQ(Table()[0].ChipRate, 2400);
    EXPECT_EQ(Table()[1].RequestedRate, 9600);
    EXPECT_EQ(Table()[1].ChipRate, 19200);
    ASSERT_TRUE(Unload());

    // Every load starts afresh: a value removed since the last load leaves the table empty,
    // and numbering starts at 2 again.
    NextDeviceNumber = 40;
    Load();
    EXPECT_EQ(ExtBaudCount, 0);
    EXPECT_EQ(NextDeviceNumber, 2u);
    ASSERT_TRUE(Unload());

    Load(u"1200,2400 ");  // trailing space: the pair before it is kept
    EXPECT_EQ(ExtBaudCount, 1);
    ASSERT_TRUE(Unload());

    Load(u"");
    EXPECT_EQ(ExtBaudCount, 0);
}

// Fails each allocation the load makes, one at a time, on a fresh machine each time. Only a
// failed copy of the service path fails the load (STATUS_NO_MEMORY); any other failure leaves
// the table empty. Nothing of the driver's pool is left either way, and the section lock
// taken at entry is always released.
TEST(DriverEntryFaults, EveryAllocationFailureIsClean) {
    uint64_t requests = 0;
    uint64_t pathCopy = 0;  // the first allocation of the driver's tag
    {
        emu::Kernel kernel;
        SetExtBaudrate(u"1200,2400");
        PDRIVER_OBJECT driver = nullptr;
        std::vector<emu::PoolAllocation> made;
        {
            emu::PoolFaultScope count(emu::PoolFault::Count());
            ASSERT_EQ(LoadQuella(&driver), STATUS_SUCCESS);
            made = count.MatchedRequests();
        }
        requests = made.size();
        for (uint64_t i = 0; i < made.size() && pathCopy == 0; ++i) {
            if (made[i].tag == QUELLA_POOL_TAG) {
                pathCopy = i + 1;
            }
        }
        ASSERT_TRUE(emu::UnloadDriver(driver));
    }
    ASSERT_EQ(pathCopy, 1u);  // the service path copy comes first
    ASSERT_GE(requests, 4u);  // then the terminated path, the value and its 8-bit copy

    for (uint64_t k = 1; k <= requests; ++k) {
        SCOPED_TRACE("failing allocation " + std::to_string(k));
        emu::Kernel kernel;
        SetExtBaudrate(u"1200,2400");
        PDRIVER_OBJECT driver = nullptr;
        NTSTATUS status;
        {
            emu::PoolFaultScope fail(emu::PoolFault::Nth(k));
            status = LoadQuella(&driver);
            ASSERT_EQ(fail.Failed(), 1u);
        }
        EXPECT_EQ(emu::PagedSectionCounts().Held(), 0);
        if (k == pathCopy) {
            EXPECT_EQ(status, STATUS_NO_MEMORY);
            EXPECT_EQ(driver, nullptr);
            EXPECT_EQ(emu::PoolOutstandingCount(QUELLA_POOL_TAG), 0u);
        } else {
            ASSERT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(ExtBaudCount, 0);
            EXPECT_TRUE(emu::UnloadDriver(driver));
        }
    }
}
