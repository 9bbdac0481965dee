// The bridge chip's control protocol: class requests (line coding with divisor words, control
// lines, break, comm feature), the register file, and which generations take which chip codes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/usb/bridge_client.h"

namespace {

using bridge_test::BridgeTest;
using bridge_test::ClassWrite;
using bridge_test::LineCoding;
using bridge_test::VendorRead;
using bridge_test::VendorWrite;
using emu::usb::BridgeChipOptions;

BridgeChipOptions Generation(int generation) {
    BridgeChipOptions options;
    options.generation = generation;
    return options;
}

// The driver's standard rate table: (rate, divisor word) for every entry with a rate.
constexpr std::pair<uint32_t, uint32_t> kRateTable[] = {
    {6000000, 0x80000040}, {3000000, 0x80000080}, {2457600, 0x8000009C}, {1228800, 0x8000024E},
    {921600, 0x80000268},  {812500, 0x80000276},  {806400, 0x80000277},  {614400, 0x8000029C},
    {460800, 0x800002D0},  {406250, 0x800002EC},  {403200, 0x800002EE},  {268800, 0x80000459},
    {230400, 0x80000468},  {201600, 0x80000477},  {161280, 0x80000494},  {134400, 0x800004B2},
    {128000, 0x800004BB},  {115200, 0x800004D0},  {57600, 0x80000668},   {38400, 0x8000069C},
    {28800, 0x800006D0},   {19200, 0x8000084E},   {14400, 0x80000868},   {9600, 0x8000089C},
    {7200, 0x800008D0},    {4800, 0x80000A4E},    {3600, 0x80000A68},    {2400, 0x80000A9C},
    {1800, 0x80000AD0},    {1200, 0x80000C4E},    {600, 0x80000C9C},     {300, 0x80000E4E},
    {150, 0x80000E9C},     {75, 0x80000F38},
};

TEST_F(BridgeTest, EveryDivisorWordOfTheRateTableDecodesWithinSixPerMille) {
    Plug(Generation(2));
    for (const auto& [rate, word] : kRateTable) {
        const double decoded = emu::usb::DecodeBaudRate(word);
        EXPECT_NEAR(decoded, rate, rate * 0.006) << std::hex << word;
        ASSERT_EQ(LineCoding(Pdo(), word).status, STATUS_SUCCESS);
        EXPECT_EQ(chip_->LineCoding().dte_rate, word);
        EXPECT_DOUBLE_EQ(chip_->LineCoding().baud, decoded);
    }
    EXPECT_NEAR(emu::usb::DecodeBaudRate(0x800004D0), 115384.6, 0.1);  // m 208, e 2
    EXPECT_EQ(emu::usb::DecodeBaudRate(9600), 9600);
    EXPECT_EQ(emu::usb::DecodeBaudRate(0x80000E00), 0);  // no mantissa
    EXPECT_EQ(chip_->LineCoding().count, static_cast<int>(std::size(kRateTable)));
}

TEST_F(BridgeTest, LineCodingIsDecodedAndMalformedRecordsAreViolations) {
    Plug(Generation(1));
    ASSERT_EQ(LineCoding(Pdo(), 9600, 2, 2, 7).status, STATUS_SUCCESS);
    emu::usb::LineCodingState coding = chip_->LineCoding();
    EXPECT_EQ(coding.baud, 9600);
    EXPECT_EQ(coding.char_format, 2);
    EXPECT_EQ(coding.parity, 2);
    EXPECT_EQ(coding.data_bits, 7);
    EXPECT_EQ(coding.raw, (std::array<uint8_t, 7>{0x80, 0x25, 0, 0, 2, 2, 7}));
    // A power-up sequence sends rate 0; the chip takes it.
    EXPECT_EQ(LineCoding(Pdo(), 0, 0, 0, 8).status, STATUS_SUCCESS);
    EXPECT_EQ(LineCoding(Pdo(), 300, 1, 0, 5).status, STATUS_SUCCESS);

    // Each of these stalls and is recorded; the coding in force stays.
    EXPECT_EQ(LineCoding(Pdo(), 0x80000468).status, STATUS_UNSUCCESSFUL);  // divisor on gen 1
    EXPECT_EQ(LineCoding(Pdo(), 9600, 0, 0, 9).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LineCoding(Pdo(), 9600, 0, 5, 8).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LineCoding(Pdo(), 9600, 3, 0, 8).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LineCoding(Pdo(), 9600, 1, 0, 8).status, STATUS_UNSUCCESSFUL);  // 1.5 with 8 bits
    EXPECT_EQ(LineCoding(Pdo(), 9600, 2, 0, 5).status, STATUS_UNSUCCESSFUL);  // 2 with 5 bits
    EXPECT_EQ(ClassWrite(Pdo(), 0x20, 0, {0x80, 0x25, 0, 0, 0, 0}).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(chip_->TakeViolations().size(), 7u);
    EXPECT_EQ(chip_->LineCoding().baud, 300);
    EXPECT_EQ(chip_->LineCoding().count, 3);
}

TEST_F(BridgeTest, ControlLinesBreakAndCommFeature) {
    Plug(Generation(0));
    EXPECT_EQ(ClassWrite(Pdo(), 0x22, 0x0001).status, STATUS_SUCCESS);
    EXPECT_TRUE(chip_->Dtr());
    EXPECT_FALSE(chip_->Rts());
    EXPECT_EQ(ClassWrite(Pdo(), 0x22, 0x0003).status, STATUS_SUCCESS);
    EXPECT_TRUE(chip_->Rts());
    EXPECT_EQ(ClassWrite(Pdo(), 0x22, 0x0002).status, STATUS_SUCCESS);
    EXPECT_FALSE(chip_->Dtr());
    EXPECT_EQ(chip_->ControlLines(), 0x0002);

    EXPECT_EQ(ClassWrite(Pdo(), 0x23, 0xFFFF).status, STATUS_SUCCESS);
    EXPECT_TRUE(chip_->BreakOn());
    EXPECT_EQ(ClassWrite(Pdo(), 0x23, 0x0000).status, STATUS_SUCCESS);
    EXPECT_FALSE(chip_->BreakOn());
    EXPECT_EQ(ClassWrite(Pdo(), 0x23, 250).status, STATUS_UNSUCCESSFUL);  // a timed break
    EXPECT_EQ(chip_->BreakRequests(), 2);

    EXPECT_FALSE(chip_->CommFeature());
    EXPECT_EQ(ClassWrite(Pdo(), 0x02, 0x0001, {0x02, 0x01}).status, STATUS_SUCCESS);
    EXPECT_EQ(chip_->CommFeature(), 0x0102);
    EXPECT_EQ(ClassWrite(Pdo(), 0x02, 0x0002, {0x02, 0x01}).status, STATUS_UNSUCCESSFUL);
    // GET_LINE_CODING (device-to-host) and a request to interface 1 are not the chip's.
    EXPECT_EQ(
        bridge_test::Control(Pdo(), URB_FUNCTION_CLASS_INTERFACE, true, 0x21, 0, 0, {}, 7).status,
        STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bridge_test::Control(Pdo(), URB_FUNCTION_CLASS_INTERFACE, false, 0x22, 1, 1).status,
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(chip_->TakeViolations().size(), 4u);
    EXPECT_EQ(chip_->ControlLines(), 0x0002);
}

TEST_F(BridgeTest, RegisterFileReadsWhatWasWritten) {
    Plug(Generation(4));
    EXPECT_EQ(VendorRead(Pdo(), 0x0081).data, std::vector<uint8_t>{0x6C});  // generation 4 power-up
    EXPECT_EQ(VendorWrite(Pdo(), 0x0000, 0x0001).status, STATUS_SUCCESS);
    EXPECT_EQ(VendorWrite(Pdo(), 0x0001, 0x0060).status, STATUS_SUCCESS);
    EXPECT_EQ(VendorWrite(Pdo(), 0x0002, 0x0044).status, STATUS_SUCCESS);
    EXPECT_EQ(chip_->Registers(), (std::array<uint8_t, 3>{0x01, 0x60, 0x44}));
    EXPECT_EQ(VendorRead(Pdo(), 0x0080).data, std::vector<uint8_t>{0x01});
    EXPECT_EQ(VendorRead(Pdo(), 0x0082).data, std::vector<uint8_t>{0x44});
    EXPECT_EQ(chip_->RegisterWrites(),
              (std::vector<std::pair<int, uint8_t>>{{0, 0x01}, {1, 0x60}, {2, 0x44}}));

    // Out-of-protocol register traffic: a value wider than a byte, a read with a wIndex, a read
    // of two bytes, a write with a data stage, a register that does not exist, another bRequest.
    EXPECT_EQ(VendorWrite(Pdo(), 0x0001, 0x0160).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(
        bridge_test::Control(Pdo(), URB_FUNCTION_VENDOR_DEVICE, true, 1, 0x80, 1, {}, 1).status,
        STATUS_UNSUCCESSFUL);
    EXPECT_EQ(VendorRead(Pdo(), 0x0080, 2).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(
        bridge_test::Control(Pdo(), URB_FUNCTION_VENDOR_DEVICE, false, 1, 0, 1, {0x01}).status,
        STATUS_UNSUCCESSFUL);
    EXPECT_EQ(VendorRead(Pdo(), 0x0083).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bridge_test::Control(Pdo(), URB_FUNCTION_VENDOR_DEVICE, false, 2, 0, 1).status,
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(chip_->TakeViolations().size(), 6u);
    EXPECT_EQ(chip_->Register(1), 0x60);
}

TEST_F(BridgeTest, ChipCodesAreAcceptedOnlyFromTheirGeneration) {
    struct Code {
        uint16_t value;
        bool in;
        ULONG length;
        int generation;
    };
    const Code codes[] = {
        {0x0505, false, 0, 2}, {0x0808, false, 0, 2}, {0x0909, false, 0, 2}, {0x0B0B, false, 0, 2},
        {0x0606, false, 0, 2}, {0x0707, false, 0, 2}, {0x8686, true, 2, 2},  {0x8787, true, 2, 2},
        {0x0C0C, false, 0, 3}, {0x0D0D, false, 0, 3}, {0x0E0E, false, 0, 3}, {0x0F0F, false, 0, 3},
        {0x8C8C, true, 2, 3},  {0x8D8D, true, 2, 3},  {0x8E8E, true, 1, 3},  {0x8F8F, true, 1, 3},
        {0x8484, true, 1, 0},  {0x0080, true, 1, 0},
    };
    for (int generation = 0; generation <= 4; ++generation) {
        Plug(Generation(generation));
        for (const Code& code : codes) {
            const uint16_t index = code.value == 0x0808 || code.value == 0x0909 ? 0 : 0x0011;
            bridge_test::Reply reply = code.in ? VendorRead(Pdo(), code.value, code.length)
                                               : VendorWrite(Pdo(), code.value, index);
            const bool accepted = generation >= code.generation;
            EXPECT_EQ(NT_SUCCESS(reply.status), accepted)
                << std::hex << code.value << " on generation " << generation;
            if (accepted) {
                EXPECT_EQ(reply.data.size(), code.length);
            } else {
                EXPECT_EQ(reply.usbd_status, USBD_STATUS_STALL_PID);
            }
        }
        const size_t refused = generation >= 3 ? 0 : generation == 2 ? 8 : 16;
        EXPECT_EQ(chip_->TakeViolations().size(), refused) << "generation " << generation;
    }
    // What the codes leave behind (generation 4, the last one plugged).
    EXPECT_EQ(chip_->XonXoffChars(), std::make_pair(uint8_t{0x11}, uint8_t{0x00}));
    EXPECT_EQ(chip_->Flag0809(), true);  // 0x0808 then 0x0909
    EXPECT_EQ(chip_->Code0B(), 0x11);
    EXPECT_EQ(VendorWrite(Pdo(), 0x0505, 0x1391).status, STATUS_SUCCESS);
    EXPECT_EQ(chip_->XonXoffChars(), std::make_pair(uint8_t{0x91}, uint8_t{0x13}));
    EXPECT_EQ(VendorWrite(Pdo(), 0x0D0D, 0xBEEF).status, STATUS_SUCCESS);
    EXPECT_EQ(VendorRead(Pdo(), 0x8D8D, 2).data, (std::vector<uint8_t>{0xEF, 0xBE}));
    chip_->SetChipWord(0x0E, 0x1234);
    EXPECT_EQ(VendorRead(Pdo(), 0x8E8E, 1).data, std::vector<uint8_t>{0x34});
    // Read only the first byte of a word (a one-byte diagnostic read).
    EXPECT_EQ(VendorRead(Pdo(), 0x8D8D, 1).data, std::vector<uint8_t>{0xEF});
    // Wrong direction, flag with an index, code 0x0B wider than a byte, an unknown code.
    EXPECT_EQ(VendorRead(Pdo(), 0x0505, 1).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(VendorWrite(Pdo(), 0x0909, 1).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(VendorWrite(Pdo(), 0x0B0B, 0x100).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(VendorWrite(Pdo(), 0x0A0A, 0).status, STATUS_UNSUCCESSFUL);
    std::vector<emu::usb::ProtocolViolation> violations = chip_->TakeViolations();
    ASSERT_EQ(violations.size(), 4u);
    EXPECT_EQ(violations[3].setup.wValue, 0x0A0A);
    EXPECT_THAT(violations[3].Describe(), testing::HasSubstr("unknown chip code 0x0a0a"));
}

TEST_F(BridgeTest, RemoteWakeupIsRecordedAndOtherStandardRequestsAreChecked) {
    Plug(Generation(2));
    URB urb{};
    UsbBuildFeatureRequest(&urb, URB_FUNCTION_SET_FEATURE_TO_DEVICE, USB_FEATURE_REMOTE_WAKEUP, 0,
                           nullptr);
    EXPECT_EQ(usb_test::SendSync(Pdo(), &urb), STATUS_SUCCESS);
    EXPECT_TRUE(chip_->RemoteWakeupEnabled());
    UsbBuildFeatureRequest(&urb, URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, USB_FEATURE_REMOTE_WAKEUP, 0,
                           nullptr);
    EXPECT_EQ(usb_test::SendSync(Pdo(), &urb), STATUS_SUCCESS);
    EXPECT_FALSE(chip_->RemoteWakeupEnabled());
    UsbBuildFeatureRequest(&urb, URB_FUNCTION_SET_FEATURE_TO_DEVICE, USB_FEATURE_TEST_MODE, 0,
                           nullptr);
    EXPECT_EQ(usb_test::SendSync(Pdo(), &urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bridge_test::ReadDescriptor(Pdo(), USB_DEVICE_DESCRIPTOR_TYPE, 0, 0x0409, 18).status,
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(
        bridge_test::ReadDescriptor(Pdo(), USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE, 0, 0, 10).status,
        STATUS_UNSUCCESSFUL);
    EXPECT_EQ(chip_->TakeViolations().size(), 3u);
    EXPECT_FALSE(chip_->RemoteWakeupEnabled());
}

}  // namespace
