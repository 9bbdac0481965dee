// The bridge chip's EEPROM: write and two-step read, the busy bit in virtual time, and the
// violations of touching it while it is busy.
#include <gtest/gtest.h>

#include "chip/eeprom_signature.h"
#include "tests/usb/bridge_client.h"

namespace {

using bridge_test::BridgeTest;
using bridge_test::VendorRead;
using bridge_test::VendorWrite;
using emu::kMillisecond;

uint8_t Poll(PDEVICE_OBJECT pdo) {
    bridge_test::Reply reply = VendorRead(pdo, 0x8484);
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    return reply.data.empty() ? 0xEE : reply.data[0];
}

TEST_F(BridgeTest, EepromIsBusyForTheWriteTimeAfterEachWrite) {
    emu::usb::BridgeChipOptions options;
    options.eeprom_write_time = 10 * kMillisecond;
    Plug(options);
    EXPECT_EQ(Poll(Pdo()), 0x00);
    const emu::Time start = emu::Now();
    ASSERT_EQ(VendorWrite(Pdo(), 0x0303, 0xAA10).status, STATUS_SUCCESS);
    EXPECT_EQ(chip_->EepromByte(0x10), 0xAA);
    EXPECT_EQ(Poll(Pdo()), 0x01);

    // A driver's poll: pause 5 ms, then read; the write time is up at the second poll.
    int polls = 0;
    uint8_t status = 0x01;
    while ((status & 0x01) != 0 && polls < 10) {
        LARGE_INTEGER pause;
        pause.QuadPart = -5 * kMillisecond;
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
        status = Poll(Pdo());
        ++polls;
    }
    EXPECT_EQ(polls, 2);
    EXPECT_EQ(emu::Now() - start, 10 * kMillisecond);

    // Each write starts the busy time again.
    ASSERT_EQ(VendorWrite(Pdo(), 0x0303, 0xBB11).status, STATUS_SUCCESS);
    emu::AdvanceTime(9 * kMillisecond);
    EXPECT_TRUE(chip_->EepromBusy());
    emu::AdvanceTime(1 * kMillisecond);
    EXPECT_FALSE(chip_->EepromBusy());
    EXPECT_EQ(chip_->EepromWrites(), 2);
}

TEST_F(BridgeTest, EepromReadsTakeAnAddressThenData) {
    emu::usb::BridgeChipOptions options;
    options.programmed_eeprom = true;
    Plug(options);
    EXPECT_EQ(chip_->EepromByte(0), EepromSignature & 0xFF);
    EXPECT_EQ(chip_->EepromByte(1), EepromSignature >> 8);
    EXPECT_EQ(chip_->EepromByte(2), 0xFF);  // the rest is blank
    chip_->ProgramSignature(0xA0);
    chip_->SetEeprom(0xFF, {0x12, 0x34});  // wraps to address 0

    auto read = [&](uint16_t address) {
        EXPECT_EQ(VendorWrite(Pdo(), 0x0404, address).status, STATUS_SUCCESS);
        return VendorRead(Pdo(), 0x8383).data;
    };
    EXPECT_EQ(read(0x00A0), std::vector<uint8_t>{EepromSignature & 0xFF});
    EXPECT_EQ(read(0x00A1), std::vector<uint8_t>{EepromSignature >> 8});
    EXPECT_EQ(read(0x00FF), std::vector<uint8_t>{0x12});
    EXPECT_EQ(read(0x0100), std::vector<uint8_t>{0x34});  // 256 bytes: the address wraps
    // The data step reads the address last set, as often as it is asked.
    EXPECT_EQ(VendorRead(Pdo(), 0x8383).data, std::vector<uint8_t>{0x34});
}

TEST_F(BridgeTest, EepromStepsWhileBusyAreViolationsAndTheStatusBitIsBitZero) {
    emu::usb::BridgeChipOptions options;
    options.eeprom_status_other_bits = 0xA0;
    Plug(options);
    EXPECT_EQ(Poll(Pdo()), 0xA0);  // idle, other bits set
    ASSERT_EQ(VendorWrite(Pdo(), 0x0303, 0x5500).status, STATUS_SUCCESS);
    EXPECT_EQ(Poll(Pdo()), 0xA1);
    EXPECT_EQ(VendorWrite(Pdo(), 0x0303, 0x6601).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(VendorWrite(Pdo(), 0x0404, 0x0000).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(VendorRead(Pdo(), 0x8383).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(chip_->TakeViolations().size(), 3u);
    EXPECT_EQ(chip_->EepromByte(0x01), 0xFF);  // the refused write changed nothing

    // A chip that never finishes its write stays busy however long it is polled.
    chip_->SetEepromBusyUntil(emu::kSecond * 3600);
    emu::AdvanceTime(emu::kSecond * 60);
    EXPECT_EQ(Poll(Pdo()) & 0x01, 0x01);
}

}  // namespace
