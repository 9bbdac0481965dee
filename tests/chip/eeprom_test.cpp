// The chip's EEPROM: write and read sequences with their busy polls, the bounds on runs and
// polls, the signature search of each generation, and running out of memory midway.
#include "chip/eeprom_signature.h"
#include "chip/requests.h"
#include "tests/chip/support/chip_fixture.h"

using namespace quella_test;
using emu::usb::ControlFault;
using emu::usb::ControlTransfer;
using emu::usb::RequestFilter;
using emu::usb::VendorIn;
using emu::usb::VendorOut;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class EepromTest : public ChipTest {
  protected:
    NTSTATUS Write(std::vector<UCHAR> buffer) {
        return WriteEeprom(device_, buffer.data(), ULONG(buffer.size()));
    }
    // Reads `count` bytes from `address`; the bytes read, or nullopt on failure.
    std::optional<std::vector<UCHAR>> Read(USHORT address, ULONG count, NTSTATUS* status) {
        std::vector<UCHAR> buffer(count < 2 ? 2 : count, 0xEE);
        buffer[0] = UCHAR(address);
        buffer[1] = UCHAR(address >> 8);
        ULONG read = 99;
        *status = ReadEeprom(device_, buffer.data(), count, &read);
        if (!NT_SUCCESS(*status)) {
            EXPECT_EQ(read, 0u);
            return std::nullopt;
        }
        EXPECT_EQ(read, count);
        buffer.resize(count);
        return buffer;
    }
    // Lets a write finish in the chip, so that every run starts with an idle chip.
    void LetChipSettle() {
        LARGE_INTEGER pause;
        pause.QuadPart = -50 * 10000;  // 50 ms
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
    // Number of EEPROM word reads (address steps for even addresses) since the mark.
    size_t WordReads() const {
        size_t reads = 0;
        for (const ControlTransfer& t : WithValue(Traffic(), 0x0404)) {
            reads += (t.wIndex % 2 == 0) ? 1 : 0;
        }
        return reads;
    }
};

}  // namespace

TEST_F(EepromTest, WriteSequence) {
    Plug();
    // Nothing to write: success without a request; no buffer at all: refused.
    EXPECT_EQ(Write({0x10}), STATUS_SUCCESS);
    EXPECT_EQ(WriteEeprom(device_, NULL, 3), STATUS_INVALID_PARAMETER);
    EXPECT_THAT(Traffic(), IsEmpty());

    EXPECT_EQ(Write({0x10, 0xAA, 0xBB}), STATUS_SUCCESS);
    EXPECT_THAT(WithoutBusyPolls(Traffic()),
                ElementsAre(VendorOut(0x0303, 0xAA10), VendorOut(0x0303, 0xBB11)));
    // Each step waits for an idle answer first (the chip stays busy for a while after each
    // write; a step sent while it is busy would be a protocol violation).
    std::vector<ControlTransfer> all = Traffic();
    ASSERT_GE(all.size(), 4u);
    EXPECT_EQ(all[0], VendorIn(0x8484).WithData({0x00}));
    EXPECT_EQ(chip_->EepromByte(0x10), 0xAA);
    EXPECT_EQ(chip_->EepromByte(0x11), 0xBB);

    // Addresses are 8 bits on the wire: a run wraps from 0xFF to 0x00.
    Mark();
    EXPECT_EQ(Write({0xFF, 0x11, 0x22}), STATUS_SUCCESS);
    EXPECT_THAT(WithoutBusyPolls(Traffic()),
                ElementsAre(VendorOut(0x0303, 0x11FF), VendorOut(0x0303, 0x2200)));

    // 256 data bytes fill the EEPROM once; one more would write an address twice.
    Mark();
    std::vector<UCHAR> tooLong(258, 0x5A);
    tooLong[0] = 0;
    EXPECT_EQ(Write(tooLong), STATUS_INVALID_PARAMETER);
    EXPECT_THAT(Traffic(), IsEmpty());
    std::vector<UCHAR> full(257);
    for (size_t i = 1; i < full.size(); ++i) {
        full[i] = UCHAR(i * 7);
    }
    full[0] = 0x80;
    EXPECT_EQ(Write(full), STATUS_SUCCESS);
    EXPECT_EQ(WithoutBusyPolls(Traffic()).size(), 256u);
    for (int k = 1; k <= 256; ++k) {
        EXPECT_EQ(chip_->EepromByte(UCHAR(0x80 + k - 1)), full[k]);
    }
}

TEST_F(EepromTest, WriteFailuresAreReportedAndStop) {
    Plug();
    // A byte the chip refuses is reported even though later bytes would have gone in; nothing
    // is written after it.
    chip_->InjectFault(ControlFault::Stall(RequestFilter::VendorValue(0x0303)).Skip(1).Times(1));
    EXPECT_EQ(Write({0x00, 1, 2, 3}), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(WithoutBusyPolls(Traffic()).size(), 2u);
    EXPECT_EQ(chip_->EepromByte(0), 1);
    EXPECT_EQ(chip_->EepromByte(1), 0xFF);
    EXPECT_EQ(chip_->EepromByte(2), 0xFF);
}

TEST_F(EepromTest, ReadSequence) {
    Plug();
    chip_->SetEeprom(0x20, {0xAB, 0xCD});
    NTSTATUS status;
    emu::Time start = emu::Now();
    EXPECT_EQ(Read(0x0020, 2, &status), (std::vector<UCHAR>{0xAB, 0xCD}));
    EXPECT_EQ(status, STATUS_SUCCESS);
    // An idle chip: one poll (one 5 ms pause) before each step, no more.
    EXPECT_THAT(Traffic(), ElementsAre(VendorIn(0x8484), VendorOut(0x0404, 0x0020),
                                       VendorIn(0x8484), VendorIn(0x8383).WithData({0xAB}),
                                       VendorIn(0x8484), VendorOut(0x0404, 0x0021),
                                       VendorIn(0x8484), VendorIn(0x8383).WithData({0xCD})));
    EXPECT_EQ(emu::Now() - start, 4 * 5 * emu::kMillisecond);

    // Nothing to read; a run past address 0xFFFF; no buffer: nothing sent.
    Mark();
    EXPECT_EQ(Read(0x0020, 0, &status), std::vector<UCHAR>{});
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(Read(0xFFFF, 2, &status), std::nullopt);
    EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Read(0xFF00, 0x101, &status), std::nullopt);
    EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
    ULONG read = 5;
    EXPECT_EQ(ReadEeprom(device_, NULL, 2, &read), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(read, 0u);
    EXPECT_THAT(Traffic(), IsEmpty());

    // One byte that does not arrive fails the whole read, and the read stops there.
    chip_->InjectFault(ControlFault::Stall(RequestFilter::VendorValue(0x8383)).Times(1));
    EXPECT_EQ(Read(0x0020, 2, &status), std::nullopt);
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(WithoutBusyPolls(Traffic()).size(), 2u);
    // A data step that answers without its byte is no success either.
    Mark();
    chip_->InjectFault(ControlFault::Short(RequestFilter::VendorValue(0x8383), 0).Skip(1).Times(1));
    EXPECT_EQ(Read(0x0020, 2, &status), std::nullopt);
    EXPECT_EQ(status, STATUS_DEVICE_DATA_ERROR);
    // Without its address step the data step would read the wrong address: the read stops.
    Mark();
    chip_->InjectFault(ControlFault::Stall(RequestFilter::VendorValue(0x0404)).Times(1));
    EXPECT_EQ(Read(0x0020, 2, &status), std::nullopt);
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_THAT(WithoutBusyPolls(Traffic()), ElementsAre(VendorOut(0x0404, 0x0020)));
}

TEST_F(EepromTest, BusyPollIsBoundedAndTestsBitZeroOnly) {
    emu::usb::BridgeChipOptions options;
    options.eeprom_status_other_bits = 0xFE;  // only bit 0 means busy
    Plug(options);
    emu::Time start = emu::Now();
    EXPECT_EQ(Write({0x30, 0x42}), STATUS_SUCCESS);
    EXPECT_EQ(emu::Now() - start, 5 * emu::kMillisecond);
    EXPECT_THAT(Traffic(), ElementsAre(VendorIn(0x8484), VendorOut(0x0303, 0x4230)));

    // A chip that never gets idle: after 200 polls (a second) the write gives up and nothing
    // is written.
    chip_->SetEepromBusyUntil(emu::Now() + 3600 * emu::kSecond);
    Mark();
    start = emu::Now();
    EXPECT_EQ(Write({0x31, 0x43}), STATUS_IO_TIMEOUT);
    EXPECT_EQ(emu::Now() - start, EEPROM_BUSY_POLL_LIMIT * 5 * emu::kMillisecond);
    EXPECT_EQ(Traffic().size(), EEPROM_BUSY_POLL_LIMIT);
    EXPECT_THAT(WithoutBusyPolls(Traffic()), IsEmpty());
    NTSTATUS status;
    EXPECT_EQ(Read(0x31, 1, &status), std::nullopt);
    EXPECT_EQ(status, STATUS_IO_TIMEOUT);

    // A poll the chip fails counts as idle.
    chip_->SetEepromBusyUntil(emu::Now());
    chip_->InjectFault(ControlFault::Stall(RequestFilter::VendorValue(0x8484)).Times(1));
    Mark();
    EXPECT_EQ(Write({0x32, 0x44}), STATUS_SUCCESS);
    EXPECT_THAT(Traffic(), ElementsAre(VendorIn(0x8484).WithStatus(STATUS_UNSUCCESSFUL),
                                       VendorOut(0x0303, 0x4432)));
}

TEST_F(EepromTest, SignatureSearchByGeneration) {
    struct Case {
        int generation;
        std::optional<UCHAR> at;  // where the signature is
        bool found;
        size_t reads;  // word reads made
    };
    const Case cases[] = {
        {1, 0x00, true, 1},  {1, 0x20, false, 1},         {2, 0x20, false, 1}, {3, 0xA0, true, 6},
        {3, 0x40, true, 3},  {3, std::nullopt, false, 6}, {3, 0x60, true, 4},  {4, 0x60, true, 2},
        {4, 0xA0, false, 2}, {4, 0x00, true, 1},
    };
    bool first = true;
    for (const Case& c : cases) {
        SCOPED_TRACE("generation " + std::to_string(c.generation) + " signature at " +
                     (c.at ? std::to_string(*c.at) : "none"));
        if (!first) {
            Restart();
        }
        first = false;
        emu::usb::BridgeChipOptions options;
        options.generation = c.generation;
        Plug(options);
        if (c.at) {
            chip_->ProgramSignature(*c.at);
        }
        EXPECT_EQ(EepromSignaturePresent(port_), c.found ? TRUE : FALSE);
        EXPECT_EQ(WordReads(), c.reads);
        // Each word is read low byte first, two address and data steps.
        EXPECT_EQ(WithValue(Traffic(), 0x8383).size(), 2 * c.reads);
    }

    // The signature word itself, low byte first at its address.
    UCHAR buffer[2] = {0x00, 0x00};
    chip_->ProgramSignature(0x00);
    ULONG read = 0;
    ASSERT_EQ(ReadEeprom(device_, buffer, 2, &read), STATUS_SUCCESS);
    EXPECT_EQ(buffer[0] | (buffer[1] << 8), EepromSignature);

    // A read that fails is no match.
    chip_->InjectFault(ControlFault::Stall(RequestFilter::VendorValue(0x8383)));
    EXPECT_FALSE(EepromSignaturePresent(port_));
}

TEST_F(EepromTest, OutOfMemoryMidwayNeverMisplacesAByte) {
    Plug();
    const std::vector<UCHAR> data = {0x40, 0x01, 0x02, 0x03};
    ForEachAllocationFailure([&](uint64_t k) {
        chip_->SetEeprom(0x40, {0xFF, 0xFF, 0xFF});
        LetChipSettle();
        NTSTATUS status = Write(data);
        if (k == 0) {
            EXPECT_EQ(status, STATUS_SUCCESS);
        } else {
            EXPECT_TRUE(status == STATUS_NO_MEMORY || status == STATUS_INSUFFICIENT_RESOURCES)
                << std::hex << status;
        }
        // What was written is a prefix of the data, each byte at its own address.
        bool gap = false;
        for (int i = 0; i < 3; ++i) {
            UCHAR byte = chip_->EepromByte(UCHAR(0x40 + i));
            if (byte == 0xFF) {
                gap = true;
            } else {
                EXPECT_FALSE(gap);
                EXPECT_EQ(byte, data[i + 1]);
            }
        }
        EXPECT_EQ(DriverPool(), base_pool_);
    });

    chip_->SetEeprom(0x40, {0x0A, 0x0B, 0x0C});
    ForEachAllocationFailure([&](uint64_t k) {
        NTSTATUS status;
        std::optional<std::vector<UCHAR>> bytes = Read(0x40, 3, &status);
        if (k == 0) {
            EXPECT_EQ(bytes, (std::vector<UCHAR>{0x0A, 0x0B, 0x0C}));
        } else {
            EXPECT_EQ(bytes, std::nullopt);
            EXPECT_TRUE(status == STATUS_NO_MEMORY || status == STATUS_INSUFFICIENT_RESOURCES)
                << std::hex << status;
        }
        EXPECT_EQ(DriverPool(), base_pool_);
    });
}
