// SetChipAutoXonXoff and the asynchronous control transfer it uses above PASSIVE_LEVEL.
#include <gmock/gmock.h>

#include "tests/pipes/support/pipe_fixture.h"
#include "usb/control_async.h"

namespace quella_test {
namespace {

using emu::usb::BridgeChipOptions;
using emu::usb::ControlFault;
using emu::usb::RequestFilter;
using emu::usb::VendorIn;
using emu::usb::VendorOut;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST_F(PipeTest, ChipAutoXonXoffSendsNothingToGenerationsZeroAndOne) {
    for (int generation : {0, 1}) {
        SCOPED_TRACE("generation " + std::to_string(generation));
        BridgeChipOptions options;
        options.generation = generation;
        PlugOpen(options);
        ASSERT_EQ(port_->ChipType, generation);
        EXPECT_EQ(SetChipAutoXonXoff(port_, TRUE), STATUS_SUCCESS);
        AtDispatchLevel([&] { EXPECT_EQ(SetChipAutoXonXoff(port_, FALSE), STATUS_SUCCESS); });
        emu::Settle();
        EXPECT_THAT(Traffic(), IsEmpty());
        EXPECT_EQ(port_->ChipRegShadow[0], 0);
        Restart();
    }
}

TEST_F(PipeTest, ChipAutoXonXoffReadsRegisterZeroAtPassiveLevelAndStartsFromTheShadowAbove) {
    BridgeChipOptions options;
    options.registers = {{0x05, 0x00, 0x00}};
    PlugOpen(options);
    EXPECT_EQ(SetChipAutoXonXoff(port_, TRUE), STATUS_SUCCESS);
    EXPECT_THAT(Traffic(), ElementsAre(VendorIn(0x0080), VendorOut(0x0000, 0xC5)));
    EXPECT_EQ(chip_->Register(0), 0xC5);

    // Above PASSIVE_LEVEL the read cannot wait: the shadow's present content is the base.
    Mark();
    port_->ChipRegShadow[0] = 0x11;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    AtDispatchLevel([&] { status = SetChipAutoXonXoff(port_, TRUE); });
    emu::Settle();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_THAT(Traffic(), ElementsAre(VendorOut(0x0000, 0xD1)));
    EXPECT_EQ(chip_->Register(0), 0xD1);

    // A write the chip refuses still frees its request and URB.
    Mark();
    const size_t pool = DriverPool();
    chip_->InjectFault(ControlFault::Stall(RequestFilter::VendorValue(0x0000)));
    AtDispatchLevel([&] { status = SetChipAutoXonXoff(port_, FALSE); });
    emu::Settle();
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(port_->ChipRegShadow[0], 0x11);
    EXPECT_EQ(chip_->Register(0), 0xD1);
    EXPECT_EQ(DriverPool(), pool);
}

TEST_F(PipeTest, ChipAutoXonXoffAllocationFailuresLeaveNothingBehind) {
    PlugOpen();
    const size_t irps = LiveIrps();
    const size_t pool = DriverPool();
    // Above PASSIVE_LEVEL: the URB, the request, the completion context.
    ForEachAllocationFailure(
        [&](uint64_t k) {
            Mark();
            port_->ChipRegShadow[0] = 0x01;
            NTSTATUS status = STATUS_PENDING;
            AtDispatchLevel([&] { status = SetChipAutoXonXoff(port_, TRUE); });
            emu::Settle();
            const NTSTATUS expected[] = {STATUS_SUCCESS, STATUS_NO_MEMORY,
                                         STATUS_INSUFFICIENT_RESOURCES, STATUS_NO_MEMORY};
            ASSERT_LT(k, 4u);
            EXPECT_EQ(status, expected[k]);
            EXPECT_EQ(Traffic().size(), k == 0 ? 1u : 0u);
            EXPECT_EQ(port_->ChipRegShadow[0], k == 1 ? 0x01 : 0xC1);
            EXPECT_EQ(LiveIrps(), irps);
            EXPECT_EQ(DriverPool(), pool);
            EXPECT_EQ(port_->PendingControlTransfers, 0);
        },
        DriverPoolOrIrps());

    // At PASSIVE_LEVEL: a register read that cannot be sent leaves the shadow as the base; any
    // other failure is reported.
    ForEachAllocationFailure(
        [&](uint64_t k) {
            port_->ChipRegShadow[0] = 0x01;
            chip_->SetRegister(0, 0x02);
            const NTSTATUS status = SetChipAutoXonXoff(port_, TRUE);
            if (status == STATUS_SUCCESS) {
                EXPECT_EQ(chip_->Register(0) & 0xC0, 0xC0);
            } else {
                EXPECT_TRUE(status == STATUS_NO_MEMORY || status == STATUS_INSUFFICIENT_RESOURCES)
                    << std::hex << status;
            }
            EXPECT_EQ(LiveIrps(), irps);
            EXPECT_EQ(DriverPool(), pool);
        },
        DriverPoolOrIrps());
}

}  // namespace
}  // namespace quella_test
