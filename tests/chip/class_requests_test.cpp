// The class requests to interface 0: control lines (with the DTR/RTS level test and the
// ControlLineState bookkeeping), break, the communication feature, line coding.
#include "chip/requests.h"
#include "tests/chip/support/chip_fixture.h"

using namespace quella_test;
using emu::usb::ControlFault;
using emu::usb::RequestFilter;
using emu::usb::SendBreakRequest;
using emu::usb::SetCommFeatureRequest;
using emu::usb::SetControlLineStateRequest;
using emu::usb::SetLineCodingRequest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class ClassRequestTest : public ChipTest {};

}  // namespace

TEST_F(ClassRequestTest, ControlLinesCarryTheWholeWord) {
    Plug();
    EXPECT_TRUE(SetDtr(device_));
    EXPECT_TRUE(SetRts(device_));
    EXPECT_TRUE(ClearDtr(device_));
    EXPECT_EQ(port_->ControlLineState, 0x0002);
    EXPECT_FALSE(chip_->Dtr());
    EXPECT_TRUE(chip_->Rts());
    EXPECT_TRUE(ClearRts(device_));
    EXPECT_TRUE(SetRts(device_));

    // A raw line word goes out as given and is not taken into ControlLineState.
    EXPECT_EQ(SetControlLines(device_, 0x0001), STATUS_SUCCESS);
    EXPECT_EQ(port_->ControlLineState, 0x0002);
    EXPECT_TRUE(chip_->Dtr());

    EXPECT_THAT(
        Traffic(),
        ElementsAre(SetControlLineStateRequest(0x0001), SetControlLineStateRequest(0x0003),
                    SetControlLineStateRequest(0x0002), SetControlLineStateRequest(0x0000),
                    SetControlLineStateRequest(0x0002), SetControlLineStateRequest(0x0001)));
}

TEST_F(ClassRequestTest, ControlLinesAtRaisedLevelOrWithoutMemory) {
    Plug();
    ASSERT_TRUE(SetRts(device_));
    Mark();

    // At DISPATCH_LEVEL a synchronous request must not wait: nothing is sent or changed.
    AtDispatchLevel([&] {
        EXPECT_FALSE(SetDtr(device_));
        EXPECT_FALSE(ClearDtr(device_));
        EXPECT_FALSE(SetRts(device_));
        EXPECT_FALSE(ClearRts(device_));
    });
    EXPECT_EQ(port_->ControlLineState, CONTROL_LINE_RTS);

    // Without a request block: FALSE, nothing sent, nothing changed.
    {
        emu::PoolFaultScope noMemory(emu::PoolFault::Every(emu::PoolTagIs(QUELLA_POOL_TAG)));
        EXPECT_FALSE(SetDtr(device_));
        EXPECT_FALSE(ClearRts(device_));
        EXPECT_EQ(SetControlLines(device_, 3), STATUS_NO_MEMORY);
    }
    EXPECT_EQ(port_->ControlLineState, CONTROL_LINE_RTS);
    EXPECT_THAT(Traffic(), IsEmpty());

    // A refused request reports FALSE; the word keeps what was asked for, and the next
    // request carries it.
    chip_->InjectFault(
        ControlFault::Stall(RequestFilter::Class(CDC_SET_CONTROL_LINE_STATE)).Times(1));
    EXPECT_FALSE(SetDtr(device_));
    EXPECT_EQ(port_->ControlLineState, CONTROL_LINE_RTS | CONTROL_LINE_DTR);
    EXPECT_TRUE(ClearRts(device_));
    EXPECT_TRUE(chip_->Dtr());
    EXPECT_FALSE(chip_->Rts());
    EXPECT_EQ(DriverPool(), base_pool_);
}

TEST_F(ClassRequestTest, BreakAndCommunicationFeature) {
    Plug();
    EXPECT_EQ(SendBreak(device_, TRUE), STATUS_SUCCESS);
    EXPECT_TRUE(chip_->BreakOn());
    EXPECT_EQ(SendBreak(device_, FALSE), STATUS_SUCCESS);
    EXPECT_FALSE(chip_->BreakOn());
    EXPECT_EQ(SetAbstractState(device_, 0x1234), STATUS_SUCCESS);
    EXPECT_EQ(chip_->CommFeature(), std::optional<uint16_t>(0x1234));
    EXPECT_THAT(Traffic(), ElementsAre(SendBreakRequest(0xFFFF), SendBreakRequest(0x0000),
                                       SetCommFeatureRequest(0x1234).WithData({0x34, 0x12})));

    // Out of memory: the break request says so in its own way, the others with NO_MEMORY.
    Mark();
    {
        emu::PoolFaultScope noMemory(emu::PoolFault::Every(emu::PoolTagIs(QUELLA_POOL_TAG)));
        EXPECT_EQ(SendBreak(device_, TRUE), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(SetAbstractState(device_, 1), STATUS_NO_MEMORY);
    }
    EXPECT_THAT(Traffic(), IsEmpty());

    // The device's refusal comes back unchanged.
    chip_->InjectFault(ControlFault::Stall(RequestFilter::Class(CDC_SEND_BREAK)));
    EXPECT_EQ(SendBreak(device_, TRUE), STATUS_UNSUCCESSFUL);
}

TEST_F(ClassRequestTest, LineCodingGoesOutAsSevenBytes) {
    Plug();
    LINE_CODING coding = {0x80000459, 2, 1, 7};
    EXPECT_EQ(SendLineCoding(device_, &coding), STATUS_SUCCESS);
    EXPECT_THAT(Traffic(), ElementsAre(SetLineCodingRequest(0x80000459, 2, 1, 7)
                                           .WithData({0x59, 0x04, 0x00, 0x80, 0x02, 0x01, 0x07})
                                           .WithLength(7)));
    EXPECT_EQ(chip_->LineCoding().data_bits, 7);
}
