#include "tests/chip/support/chip_fixture.h"

#include <algorithm>

#include "usb/configure.h"

namespace quella_test {

using emu::usb::ControlTransfer;

void ChipTest::TearDown() {
    if (port_ != nullptr) {
        FreeInterfaceCopies(port_);  // what removal of the port does
    }
    if (bus_ != nullptr) {
        EXPECT_EQ(bus_->PendingCount(), 0u) << "URBs left pending";
    }
    if (chip_ != nullptr) {
        ExpectNoChipViolations(*chip_);
    }
    DriverTest::TearDown();
    chip_.reset();
    bus_ = nullptr;
    device_ = nullptr;
    port_ = nullptr;
}

void ChipTest::Restart() {
    TearDown();
    SetUp();
}

void ChipTest::Plug(emu::usb::BridgeChipOptions options, std::optional<std::u16string> ext_baudrate,
                    std::optional<LONG> chip_type) {
    Load(ext_baudrate);
    bus_ = &NewBus();
    chip_ = std::make_shared<emu::usb::BridgeChip>(options);
    bus_->Attach(chip_);
    device_ = AddPort(*bus_);
    ASSERT_NE(device_, nullptr);
    port_ = PortOf(device_);
    port_->ChipType = chip_type ? *chip_type : options.generation;
    base_pool_ = DriverPool();
    Mark();
}

void ChipTest::Configure() {
    port_->ChipType = -1;
    ASSERT_EQ(IdentifyChip(device_), STATUS_SUCCESS);
    Mark();
}

std::vector<ControlTransfer> ChipTest::Traffic() const {
    return emu::usb::ControlTransfers(*bus_, emu::usb::Traffic::VendorAndClass, mark_);
}

std::vector<ControlTransfer> ChipTest::AllTraffic() const {
    return emu::usb::ControlTransfers(*bus_, emu::usb::Traffic::All, mark_);
}

void ChipTest::Mark() {
    mark_ = emu::usb::LastUrbId(*bus_);
}

void AtDispatchLevel(const std::function<void()>& body) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    body();
    KeLowerIrql(old);
}

uint64_t CountAllocations(const std::function<void()>& run, emu::PoolFilter filter) {
    emu::PoolFaultScope count(emu::PoolFault::Count(std::move(filter)));
    run();
    return count.Matched();
}

void ForEachAllocationFailure(const std::function<void(uint64_t k)>& run, emu::PoolFilter filter) {
    uint64_t total = CountAllocations([&] { run(0); }, filter);
    ASSERT_GT(total, 0u);
    for (uint64_t k = 1; k <= total; ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k) + " of " + std::to_string(total) + " fails");
        emu::PoolFaultScope fail(emu::PoolFault::Nth(k, filter));
        run(k);
        EXPECT_EQ(fail.Failed(), 1u);
    }
}

std::vector<ControlTransfer> WithValue(const std::vector<ControlTransfer>& all, uint16_t value) {
    std::vector<ControlTransfer> picked;
    std::copy_if(all.begin(), all.end(), std::back_inserter(picked),
                 [&](const ControlTransfer& t) { return t.wValue == value; });
    return picked;
}

std::vector<ControlTransfer> WithoutBusyPolls(const std::vector<ControlTransfer>& all) {
    std::vector<ControlTransfer> picked;
    std::copy_if(all.begin(), all.end(), std::back_inserter(picked),
                 [](const ControlTransfer& t) { return t.wValue != 0x8484; });
    return picked;
}

}  // namespace quella_test
