// Out of memory anywhere in a port's life: plug, stop, restart and removal with each of the
// driver's allocations (and the interface name the platform allocates for it) failing in turn.
// Whatever fails, the port is removed without leaving pool, names, registry values or open
// registry handles behind, and nothing hangs.
#include <optional>

#include "emu/kernel/io_manager.h"
#include "emu/kernel/pool.h"
#include "tests/lifecycle/lifecycle_fixture.h"

namespace quella_test {
namespace {

class FaultsTest : public LifecycleTest {
  protected:
    // One whole life; returns the port's device object name ("" when AddDevice failed).
    std::string Life(emu::usb::UsbBus& bus) {
        PDEVICE_OBJECT device = AddPort(bus);
        if (device == nullptr) {
            return "";
        }
        std::string name = emu::DeviceNameOf(device);
        std::optional<emu::app::Operation> held;
        if (NT_SUCCESS(emu::PnpStart(bus.Pdo()))) {
            emu::SendPnp(bus.Pdo(), IRP_MN_QUERY_STOP_DEVICE);
            auto file = FileOn(device);
            held = emu::app::Submit(file, emu::app::Request::Read(1));
            emu::SendPnp(bus.Pdo(), IRP_MN_STOP_DEVICE);
            // A restart replays the held read; a failed one leaves it to the removal.
            if (NT_SUCCESS(emu::PnpStart(bus.Pdo()))) {
                EXPECT_TRUE(held->Done());
            }
        }
        RemovePort(device);
        if (held) {
            EXPECT_TRUE(held->Done());
        }
        return name;
    }

    static emu::PoolFilter DriversOwn() {
        return [](const emu::PoolAllocation& a) {
            return a.tag == QUELLA_POOL_TAG || a.tag == emu::kRtlStringTag;
        };
    }
};

TEST_F(FaultsTest, EveryAllocationFailureOfALifeIsClean) {
    size_t base = emu::PoolOutstandingCount(QUELLA_POOL_TAG);  // the service key path
    uint64_t total = 0;
    {
        emu::PoolFaultScope count(emu::PoolFault::Count(DriversOwn()));
        EXPECT_NE(Life(NewChipBus(u"COM5")), "");
        total = count.Matched();
    }
    ASSERT_GT(total, 10u);

    for (uint64_t k = 1; k <= total; ++k) {
        SCOPED_TRACE("failing allocation " + std::to_string(k) + " of " + std::to_string(total));
        emu::usb::UsbBus& bus = NewChipBus(u"COM5");
        {
            emu::PoolFaultScope fail(emu::PoolFault::Nth(k, DriversOwn()));
            Life(bus);
        }
        ExpectNoChipViolations(*chip_);
        EXPECT_EQ(emu::PoolOutstandingCount(QUELLA_POOL_TAG), base);
        EXPECT_EQ(emu::PoolOutstandingCount(emu::kRtlStringTag), 0u);
        EXPECT_TRUE(emu::SymbolicLinks().empty());
        EXPECT_TRUE(emu::RegistryListValues(SerialCommKey()).empty());
        for (const emu::DeviceInterfaceInfo& info : ComPortInterfaces(bus.Pdo())) {
            EXPECT_FALSE(info.enabled);
        }
        EXPECT_EQ(emu::RegistryOpenHandleCount(), 0u);
        EXPECT_TRUE(emu::DevicesOf(driver_).empty());
        EXPECT_EQ(emu::LiveIrpCount(), 0u);
        EXPECT_EQ(bus.PendingCount(), 0u);
    }
    EXPECT_TRUE(Unload());
}

}  // namespace
}  // namespace quella_test
