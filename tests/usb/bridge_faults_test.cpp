// Faults injected into the bridge chip's control traffic, the wire-log helpers tests assert with,
// and the report of violations a chip still holds when it goes away.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "emu/usb/wire_log.h"
#include "tests/usb/bridge_client.h"

namespace {

using bridge_test::BridgeTest;
using bridge_test::ReadDescriptor;
using bridge_test::VendorRead;
using bridge_test::VendorWrite;
using emu::usb::ControlFault;
using emu::usb::ControlTransfers;
using emu::usb::RequestFilter;
using emu::usb::Traffic;
using emu::usb::UrbResult;
using testing::ElementsAre;

TEST_F(BridgeTest, StallsAndErrorsHitTheChosenRequestsOnly) {
    Plug();
    chip_->InjectFault(ControlFault::Stall(RequestFilter::VendorValue(0x8484)).Times(2));
    chip_->InjectFault(
        ControlFault::Fail(RequestFilter::Class(0x22), {STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC})
            .Skip(1)
            .Times(1));
    bridge_test::Reply first = VendorRead(Pdo(), 0x8484);
    EXPECT_EQ(first.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(first.usbd_status, USBD_STATUS_STALL_PID);
    EXPECT_TRUE(first.data.empty());
    EXPECT_EQ(VendorRead(Pdo(), 0x8484).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(VendorRead(Pdo(), 0x8484).status, STATUS_SUCCESS);
    EXPECT_EQ(VendorRead(Pdo(), 0x0080).status, STATUS_SUCCESS);

    EXPECT_EQ(bridge_test::ClassWrite(Pdo(), 0x22, 1).status, STATUS_SUCCESS);  // skipped
    bridge_test::Reply failed = bridge_test::ClassWrite(Pdo(), 0x22, 3);
    EXPECT_EQ(failed.status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(failed.usbd_status, USBD_STATUS_CRC);
    EXPECT_EQ(chip_->ControlLines(), 1);  // the failed request never reached the chip
    EXPECT_EQ(bridge_test::ClassWrite(Pdo(), 0x22, 3).status, STATUS_SUCCESS);

    // A faulted request never reaches the chip, so it is neither acted on nor checked.
    chip_->InjectFault(ControlFault::Stall(RequestFilter::VendorValue(0x0C0C)));
    EXPECT_EQ(VendorWrite(Pdo(), 0x0C0C, 0).status, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(chip_->Violations().empty());
    chip_->ClearFaults();
    EXPECT_EQ(VendorRead(Pdo(), 0x8484).status, STATUS_SUCCESS);
}

TEST_F(BridgeTest, DescriptorFaultsFailTheDeviceReadAndShortenTheSecondConfigurationRead) {
    Plug();
    chip_->InjectFault(ControlFault::Fail(RequestFilter::Descriptor(USB_DEVICE_DESCRIPTOR_TYPE),
                                          UrbResult::DeviceGone())
                           .Times(1));
    chip_->InjectFault(
        ControlFault::Short(RequestFilter::Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE), 12)
            .Skip(1));
    EXPECT_EQ(ReadDescriptor(Pdo(), USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18).status,
              STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(ReadDescriptor(Pdo(), USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18).data.size(), 18u);
    std::vector<uint8_t> head =
        ReadDescriptor(Pdo(), USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 9).data;
    ASSERT_EQ(head.size(), 9u);
    bridge_test::Reply whole =
        ReadDescriptor(Pdo(), USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, head[2] | head[3] << 8);
    EXPECT_EQ(whole.status, STATUS_SUCCESS);
    EXPECT_EQ(whole.data.size(), 12u);
    // Short applies to what comes back; a request that sends data is untouched.
    chip_->InjectFault(ControlFault::Short(RequestFilter::Class(0x20), 2));
    EXPECT_EQ(bridge_test::LineCoding(Pdo(), 9600).status, STATUS_SUCCESS);
    EXPECT_EQ(chip_->LineCoding().baud, 9600);
}

TEST_F(BridgeTest, RequestsThatNeverCompleteEndByCancellation) {
    Plug();
    chip_->InjectFault(ControlFault::NoAnswer(RequestFilter::Class(0x20)).Times(1));
    const emu::Time start = emu::Now();
    EXPECT_EQ(bridge_test::LineCoding(Pdo(), 9600).status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(emu::Now() - start, 3 * emu::kSecond);
    EXPECT_EQ(chip_->UnansweredCount(), 0u);
    EXPECT_EQ(chip_->LineCoding().count, 0);
    EXPECT_EQ(bridge_test::LineCoding(Pdo(), 9600).status, STATUS_SUCCESS);

    // The same through the bus's policy, picked by request.
    bus_.SetPolicy(
        emu::usb::PolicyFor(RequestFilter::VendorValue(0x0303), emu::usb::UrbAction::Never()));
    EXPECT_EQ(VendorWrite(Pdo(), 0x0303, 0x4400).status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(VendorWrite(Pdo(), 0x0001, 0x0044).status, STATUS_SUCCESS);
    EXPECT_EQ(chip_->EepromWrites(), 0);

    std::vector<emu::usb::ControlTransfer> log = ControlTransfers(bus_);
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].outcome, emu::usb::UrbOutcome::Cancelled);
    EXPECT_EQ(log[0].status, STATUS_CANCELLED);
    EXPECT_EQ(log[2].outcome, emu::usb::UrbOutcome::Cancelled);
}

TEST_F(BridgeTest, WireLogListsControlTransfersAsComparableRecords) {
    emu::usb::BridgeChipOptions options;
    options.generation = 3;
    Plug(options);
    ReadDescriptor(Pdo(), USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18);
    const uint64_t mark = emu::usb::LastUrbId(bus_);
    VendorWrite(Pdo(), 0x0001, 0x0060);
    VendorRead(Pdo(), 0x0081);
    bridge_test::ClassWrite(Pdo(), 0x22, 0x0003);
    bridge_test::LineCoding(Pdo(), 0x80000468, 0, 0, 8);
    VendorRead(Pdo(), 0x8E8E, 1);

    EXPECT_THAT(
        ControlTransfers(bus_, Traffic::VendorAndClass),
        ElementsAre(emu::usb::Vendor(0x40, 1, 0x0001, 0x0060),
                    emu::usb::VendorIn(0x0081).WithData({0x60}),
                    emu::usb::SetControlLineStateRequest(0x0003),
                    emu::usb::SetLineCodingRequest(0x80000468, 0, 0, 8).WithStatus(STATUS_SUCCESS),
                    emu::usb::VendorIn(0x8E8E, 1)));
    std::vector<emu::usb::ControlTransfer> all = ControlTransfers(bus_);
    ASSERT_EQ(all.size(), 6u);
    EXPECT_EQ(all[0], emu::usb::GetDescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18));
    EXPECT_EQ(all[0].data.size(), 18u);
    EXPECT_EQ(ControlTransfers(bus_, Traffic::All, mark).size(), 5u);

    // What differs makes the records unequal, and both sides print readably.
    EXPECT_NE(all[1], emu::usb::VendorOut(0x0001, 0x0061));
    EXPECT_NE(all[1], emu::usb::VendorOut(0x0001, 0x0060).WithStatus(STATUS_UNSUCCESSFUL));
    EXPECT_NE(all[2], emu::usb::VendorIn(0x0081).WithData({0x61}));
    std::ostringstream expected;
    expected << emu::usb::VendorIn(0x0081).WithData({0x60});
    EXPECT_EQ(expected.str(), "c0 01 0081 0000 0001 [60]");
    EXPECT_THAT(all[2].Describe(), testing::HasSubstr("c0 01 0081 0000 0001 in[60] 0x00000000"));
    EXPECT_THAT(emu::usb::DescribeControlTransfers(bus_, Traffic::VendorAndClass),
                testing::HasSubstr("21 20 0000 0000 0007 out[68 04 00 80 00 00 08]"));
}

TEST_F(BridgeTest, ViolationsLeftInAChipAreReportedWhenItGoesAway) {
    std::vector<std::string> reported;
    emu::usb::SetViolationReporter(
        [&reported](const std::string& description) { reported.push_back(description); });
    Plug();
    VendorWrite(Pdo(), 0x0A0A, 0);  // recorded
    VendorWrite(Pdo(), 0x0B0C, 0);  // recorded, then taken by the test
    EXPECT_EQ(chip_->Violations().size(), 2u);
    chip_->TakeViolations();
    VendorWrite(Pdo(), 0x0A0A, 1);
    chip_.reset();
    bus_.Attach(nullptr);  // the last reference goes
    emu::usb::SetViolationReporter(bridge_guard::ReportChipViolation);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_THAT(reported[0], testing::HasSubstr("40 01 0a0a 0001 0000: unknown chip code"));
}

}  // namespace
