// Line settings: SERIAL_LINE_CONTROL to LineControl and back, validation, the record that
// reaches the chip, and the "same record again" shortcut of the set request.
#include "chip/line_control.h"
#include "chip/requests.h"
#include "tests/chip/support/chip_fixture.h"

using namespace quella_test;
using emu::usb::SetLineCodingRequest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class LineControlTest : public ChipTest {
  protected:
    // What IOCTL_SERIAL_SET_LINE_CONTROL does with a record (the power-up between the two
    // steps belongs to the device-control layer).
    NTSTATUS SetLineControl(UCHAR stop, UCHAR parity, UCHAR length) {
        SERIAL_LINE_CONTROL record = {stop, parity, length};
        if (SameAsLastLineControl(port_, &record)) {
            return STATUS_SUCCESS;
        }
        return ApplySerialLineControl(port_, &record);
    }
};

bool Valid(UCHAR stop, UCHAR parity, UCHAR length) {
    if (length < 5 || length > 8 || parity > SPACE_PARITY) {
        return false;
    }
    return stop == STOP_BIT_1 || (stop == STOP_BITS_1_5 && length == 5) ||
           (stop == STOP_BITS_2 && length != 5);
}

}  // namespace

TEST_F(LineControlTest, EveryRecordValidatedAndMappedBothWays) {
    Plug();
    port_->LineCoding.dwDTERate = 9600;
    for (UCHAR length = 3; length <= 9; ++length) {
        for (UCHAR parity = 0; parity <= 5; ++parity) {
            for (UCHAR stop = 0; stop <= 3; ++stop) {
                SCOPED_TRACE(::testing::Message() << "stop " << int(stop) << " parity "
                                                  << int(parity) << " length " << int(length));
                SERIAL_LINE_CONTROL record = {stop, parity, length};
                port_->LastLineControl = {0xFF, 0xFF, 0xFF};
                port_->LineControl = 0x40;  // a bit every update carries over
                port_->WmiCommData.BitsPerByte = 99;
                Mark();
                NTSTATUS status = ApplySerialLineControl(port_, &record);
                if (!Valid(stop, parity, length)) {
                    // Rejected: nothing changes, WMI's copy included, and nothing is sent.
                    EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
                    EXPECT_EQ(port_->LineControl, 0x40);
                    EXPECT_EQ(port_->WmiCommData.BitsPerByte, 99u);
                    EXPECT_EQ(port_->LastLineControl.StopBits, 0xFF);
                    EXPECT_THAT(Traffic(), IsEmpty());
                    continue;
                }
                EXPECT_EQ(status, STATUS_SUCCESS);
                EXPECT_EQ(port_->LineControl & 0x40, 0x40);
                EXPECT_EQ(port_->LineControl & LINE_CONTROL_LENGTH_MASK, length - 5);
                EXPECT_EQ(port_->ValidDataMask, (1 << length) - 1);
                EXPECT_EQ(port_->WmiCommData.BitsPerByte, length);
                EXPECT_EQ(port_->WmiCommData.StopBits, stop);
                EXPECT_TRUE(SameAsLastLineControl(port_, &record));

                // Read back as the get request reports it: the same record.
                SERIAL_LINE_CONTROL back = {};
                SerialLineControlFromLineControl(port_->LineControl, &back);
                EXPECT_EQ(back.StopBits, stop);
                EXPECT_EQ(back.Parity, parity);
                EXPECT_EQ(back.WordLength, length);

                // And on the wire: the same parity and stop numbering, the rate untouched.
                EXPECT_THAT(Traffic(),
                            ElementsAre(SetLineCodingRequest(9600, stop, parity, length)));
                EXPECT_EQ(chip_->LineCoding().data_bits, length);
            }
        }
    }
}

TEST_F(LineControlTest, MarkSpaceAndOneAndAHalfStopBits) {
    Plug();
    EXPECT_EQ(SetLineControl(STOP_BIT_1, MARK_PARITY, 7), STATUS_SUCCESS);
    EXPECT_EQ(port_->LineControl, 0x2A);
    EXPECT_EQ(port_->ValidDataMask, 0x7F);
    EXPECT_EQ(port_->WmiCommData.Parity, 4u);  // WMI numbers mark 4 and space 3
    EXPECT_EQ(chip_->LineCoding().parity, 3);  // the line coding numbers mark 3

    EXPECT_EQ(SetLineControl(STOP_BIT_1, SPACE_PARITY, 8), STATUS_SUCCESS);
    EXPECT_EQ(port_->LineControl, 0x3B);
    EXPECT_EQ(port_->WmiCommData.Parity, 3u);
    EXPECT_EQ(chip_->LineCoding().parity, 4);

    EXPECT_EQ(SetLineControl(STOP_BITS_1_5, NO_PARITY, 8), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetLineControl(STOP_BITS_1_5, NO_PARITY, 5), STATUS_SUCCESS);
    EXPECT_EQ(port_->LineControl, 0x04);
    EXPECT_EQ(chip_->LineCoding().char_format, 1);
    EXPECT_EQ(SetLineControl(STOP_BITS_2, EVEN_PARITY, 6), STATUS_SUCCESS);
    EXPECT_EQ(port_->LineControl, 0x1D);
    EXPECT_EQ(chip_->LineCoding().char_format, 2);
}

TEST_F(LineControlTest, SameRecordTwice) {
    Plug();
    // Rejected twice: a rejected record is not remembered, so it is checked (and refused)
    // again.
    EXPECT_EQ(SetLineControl(STOP_BITS_2, NO_PARITY, 5), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetLineControl(STOP_BITS_2, NO_PARITY, 5), STATUS_INVALID_PARAMETER);
    EXPECT_THAT(Traffic(), IsEmpty());

    // Applied once: the second request succeeds without a chip request.
    EXPECT_EQ(SetLineControl(STOP_BIT_1, EVEN_PARITY, 7), STATUS_SUCCESS);
    EXPECT_EQ(SetLineControl(STOP_BIT_1, EVEN_PARITY, 7), STATUS_SUCCESS);
    EXPECT_EQ(Traffic().size(), 1u);
    EXPECT_EQ(chip_->LineCoding().count, 1);

    // Before any record was accepted the remembered one is all zero; an all-zero request
    // (word length 0) does not slip through as "the same" but is refused.
    Restart();
    Plug();
    EXPECT_EQ(SetLineControl(0, 0, 0), STATUS_INVALID_PARAMETER);
    EXPECT_THAT(Traffic(), IsEmpty());
}

TEST_F(LineControlTest, SendLineControlLevelAndMemory) {
    Plug();
    port_->LineCoding = {115200, 0, 0, 8};
    port_->LineControl = 0x1A;  // 7 data bits, even parity, 1 stop bit

    // At a raised level: success, nothing sent, the port's record unchanged.
    AtDispatchLevel([&] { EXPECT_EQ(SendLineControl(port_), STATUS_SUCCESS); });
    EXPECT_EQ(port_->LineCoding.bDataBits, 8);
    EXPECT_THAT(Traffic(), IsEmpty());

    // Without memory: INSUFFICIENT_RESOURCES, the port's record already holds the fields.
    ForEachAllocationFailure([&](uint64_t k) {
        port_->LineCoding = {115200, 0, 0, 8};
        NTSTATUS status = SendLineControl(port_);
        EXPECT_EQ(status, k == 0 ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(port_->LineCoding.bDataBits, 7);
        EXPECT_EQ(port_->LineCoding.bParityType, 2);
        EXPECT_EQ(ULONG(port_->LineCoding.dwDTERate), 115200u);
        EXPECT_EQ(DriverPool(), base_pool_);
    });
    EXPECT_EQ(chip_->LineCoding().count, 1);
}
