// Baud rates: the standard table and its divisor words, the nearest-rate rule, and SetBaudRate
// on the wire for each kind of generation, with ExtBaudTable substitution.
#include <cmath>
#include <random>

#include "chip/baud.h"
#include "chip/requests.h"
#include "driver/globals.h"
#include "tests/chip/support/chip_fixture.h"

using namespace quella_test;
using emu::usb::ControlFault;
using emu::usb::RequestFilter;
using emu::usb::SetLineCodingRequest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class BaudTest : public ChipTest {
  protected:
    // Plugs a chip of `generation` whose line coding is 8N1, as the port start leaves it.
    void PlugGeneration(int generation, std::optional<std::u16string> ext = std::nullopt) {
        emu::usb::BridgeChipOptions options;
        options.generation = generation;
        Plug(options, ext);
        port_->LineCoding = {0, 0, 0, 8};
    }
    // Sets `rate` and returns the dwDTERate that went out (nullopt when nothing did). The
    // record's other fields must go out as they were.
    std::optional<uint32_t> RateOnWire(ULONG rate, NTSTATUS expected = STATUS_SUCCESS) {
        Mark();
        EXPECT_EQ(SetBaudRate(device_, rate), expected);
        std::vector<emu::usb::ControlTransfer> sent = Traffic();
        if (sent.empty()) {
            return std::nullopt;
        }
        EXPECT_EQ(sent.size(), 1u);
        const std::vector<uint8_t>& data = sent[0].data;
        if (data.size() != 7) {
            ADD_FAILURE() << "line coding of " << data.size() << " bytes";
            return std::nullopt;
        }
        uint32_t dte = data[0] | data[1] << 8 | data[2] << 16 | uint32_t(data[3]) << 24;
        EXPECT_EQ(sent[0], SetLineCodingRequest(dte, 0, 0, 8));
        return dte;
    }
};

ULONG Nearest(ULONG rate) {
    return StandardBaudTable[NearestStandardBaudIndex(rate)].Rate;
}

}  // namespace

TEST(StandardBaudTableTest, EveryDivisorWordEncodesItsRate) {
    for (ULONG i = 0; i + 1 < STANDARD_BAUD_COUNT; ++i) {
        const STANDARD_BAUD_ENTRY& entry = StandardBaudTable[i];
        SCOPED_TRACE("rate " + std::to_string(entry.Rate));
        EXPECT_NE(entry.DivisorWord & DIVISOR_WORD_FLAG, 0u);
        ULONG mantissa = entry.DivisorWord & DIVISOR_MANTISSA_MASK;
        ULONG exponent = (entry.DivisorWord >> DIVISOR_EXPONENT_SHIFT) & DIVISOR_EXPONENT_MASK;
        ASSERT_NE(mantissa, 0u);
        double encoded = double(DIVISOR_CLOCK) / (mantissa * std::pow(4.0, exponent));
        EXPECT_LE(std::fabs(encoded - entry.Rate) / entry.Rate, 0.006) << encoded;
        // The chip model decodes it to the same rate.
        EXPECT_DOUBLE_EQ(emu::usb::DecodeBaudRate(entry.DivisorWord), encoded);
        // Highest first, strictly.
        EXPECT_GT(entry.Rate, StandardBaudTable[i + 1].Rate);
    }
    EXPECT_EQ(StandardBaudTable[STANDARD_BAUD_COUNT - 1].Rate, 0u);
    EXPECT_EQ(StandardBaudTable[STANDARD_BAUD_COUNT - 1].DivisorWord, 0u);
}

TEST(StandardBaudTableTest, NearestRate) {
    EXPECT_EQ(Nearest(8400), 7200u);  // exactly halfway: the lower neighbour
    EXPECT_EQ(Nearest(8401), 9600u);
    EXPECT_EQ(Nearest(250000), 268800u);
    EXPECT_EQ(Nearest(249600), 230400u);
    EXPECT_EQ(Nearest(249601), 268800u);
    EXPECT_EQ(Nearest(10000000), 6000000u);
    EXPECT_EQ(Nearest(0xFFFFFFFF), 6000000u);
    EXPECT_EQ(Nearest(4500000), 3000000u);
    EXPECT_EQ(Nearest(4500001), 6000000u);
    EXPECT_EQ(Nearest(56), 75u);
    for (ULONG rate = 1; rate <= 37; ++rate) {
        EXPECT_EQ(Nearest(rate), 0u) << rate;  // 37 too: halfway goes to the lower one
    }
    EXPECT_EQ(Nearest(38), 75u);
    for (ULONG i = 0; i < STANDARD_BAUD_COUNT; ++i) {
        EXPECT_EQ(NearestStandardBaudIndex(StandardBaudTable[i].Rate), i);
    }

    // Any rate ends on a table rate at least as near as every other one.
    std::mt19937 random(7);
    for (int n = 0; n < 2000; ++n) {
        ULONG rate = random() % 7000000;
        ULONG chosen = Nearest(rate);
        for (ULONG i = 0; i < STANDARD_BAUD_COUNT; ++i) {
            ULONG other = StandardBaudTable[i].Rate;
            EXPECT_LE(std::labs(long(rate) - long(chosen)), std::labs(long(rate) - long(other)))
                << rate << " went to " << chosen << ", " << other << " is nearer";
        }
    }
}

TEST_F(BaudTest, RatesOnTheWireByGeneration) {
    struct Case {
        int generation;
        ULONG requested;
        uint32_t wire;
        ULONG inForce;
        ULONG chunk;
    };
    const Case cases[] = {
        {0, 9600, 9600, 9600, 256},
        {1, 230400, 230400, 230400, 256},
        {1, 10000000, 6000000, 6000000, 256},
        {2, 9600, 0x00002580, 9600, 256},
        {2, 250000, 0x80000459, 268800, 4096},
        {2, 10000000, 0x80000040, 6000000, 4096},
        {2, 8400, 7200, 7200, 256},
        {3, 115200, 115200, 115200, 4096},  // plain up to 115200, large chunks from it
        {3, 230400, 0x80000468, 230400, 4096},
        {4, 57601, 57600, 57600, 256},
        {4, 921600, 0x80000268, 921600, 4096},
    };
    int generation = -1;
    for (const Case& c : cases) {
        SCOPED_TRACE("generation " + std::to_string(c.generation) + ", " +
                     std::to_string(c.requested));
        if (c.generation != generation) {
            if (generation >= 0) {
                Restart();
            }
            PlugGeneration(c.generation);
            generation = c.generation;
        }
        emu::Time start = emu::Now();
        EXPECT_EQ(RateOnWire(c.requested), std::optional<uint32_t>(c.wire));
        EXPECT_EQ(port_->CurrentBaudRate, c.inForce);
        EXPECT_EQ(port_->WmiCommData.BaudRate, c.inForce);
        EXPECT_EQ(port_->WriteChunkLimit, c.chunk);
        EXPECT_FALSE(port_->ExtBaudMatched);
        EXPECT_EQ(emu::Now() - start, 50 * emu::kMillisecond);  // the chip settles
        EXPECT_NEAR(chip_->LineCoding().baud, c.inForce, c.inForce * 0.006);
    }
}

TEST_F(BaudTest, NothingSentWhenNothingChanges) {
    PlugGeneration(2);
    ASSERT_TRUE(RateOnWire(19200));
    emu::Time start = emu::Now();
    EXPECT_EQ(RateOnWire(19200), std::nullopt);  // in force already
    EXPECT_EQ(RateOnWire(0), std::nullopt);
    EXPECT_EQ(emu::Now(), start);  // and no pause
    // A rate that rounds to the one in force is sent again (only the request is compared).
    EXPECT_EQ(RateOnWire(19201), std::optional<uint32_t>(19200));

    // The return to full power: 1 rounds to 0, so that the saved rate goes out again.
    EXPECT_EQ(RateOnWire(1), std::optional<uint32_t>(0));
    EXPECT_EQ(port_->CurrentBaudRate, 0u);
    EXPECT_EQ(RateOnWire(19200), std::optional<uint32_t>(19200));

    // At a raised level nothing is sent or changed.
    Mark();
    AtDispatchLevel([&] { EXPECT_EQ(SetBaudRate(device_, 9600), STATUS_UNSUCCESSFUL); });
    EXPECT_EQ(port_->CurrentBaudRate, 19200u);
    EXPECT_THAT(Traffic(), IsEmpty());
}

TEST_F(BaudTest, ExtBaudTableOnNewerGenerationsOnly) {
    // From the service key: 1200 is programmed as 2400.
    PlugGeneration(2, u"1200,2400 9600,19200");
    ASSERT_EQ(ExtBaudCount, 2);
    EXPECT_EQ(RateOnWire(1200), std::optional<uint32_t>(2400));
    EXPECT_EQ(port_->CurrentBaudRate, 1200u);
    EXPECT_TRUE(port_->ExtBaudMatched);
    // A divisor word is sent unchanged.
    ExtBaudTable[0] = {250000, LONG(0x80000458)};
    EXPECT_EQ(RateOnWire(250000), std::optional<uint32_t>(0x80000458));
    EXPECT_EQ(port_->CurrentBaudRate, 250000u);
    EXPECT_TRUE(port_->ExtBaudMatched);
    EXPECT_EQ(port_->WriteChunkLimit, 4096u);
    // No match: the table rule again, and the flag is cleared.
    EXPECT_EQ(RateOnWire(230400), std::optional<uint32_t>(0x80000468));
    EXPECT_FALSE(port_->ExtBaudMatched);
    // Entries past ExtBaudCount are never consulted.
    ExtBaudTable[2] = {300, 600};
    EXPECT_EQ(RateOnWire(300), std::optional<uint32_t>(300));

    // The same table means nothing to generation 1.
    Restart();
    PlugGeneration(1, u"1200,2400");
    ExtBaudTable[0] = {250000, LONG(0x80000458)};
    EXPECT_EQ(RateOnWire(250000), std::optional<uint32_t>(268800));
    EXPECT_EQ(port_->CurrentBaudRate, 268800u);
    EXPECT_FALSE(port_->ExtBaudMatched);
}

TEST_F(BaudTest, FailuresOnTheWay) {
    PlugGeneration(3);
    // The device refuses: the rate is recorded anyway and the refusal returned.
    chip_->InjectFault(ControlFault::Stall(RequestFilter::Class(CDC_SET_LINE_CODING)).Times(1));
    EXPECT_EQ(RateOnWire(38400, STATUS_UNSUCCESSFUL), std::optional<uint32_t>(38400));
    EXPECT_EQ(port_->CurrentBaudRate, 38400u);

    // The request cannot be sent: INSUFFICIENT_RESOURCES, the port's record holds the new rate
    // but the rate in force stays, so asking again sends it.
    ForEachAllocationFailure([&](uint64_t k) {
        port_->CurrentBaudRate = 38400;
        port_->LineCoding.dwDTERate = 38400;
        Mark();
        NTSTATUS status = SetBaudRate(device_, 460800);
        if (k == 0) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(port_->CurrentBaudRate, 460800u);
            return;
        }
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(ULONG(port_->LineCoding.dwDTERate), 0x800002D0u);
        EXPECT_EQ(port_->CurrentBaudRate, 38400u);
        EXPECT_THAT(Traffic(), IsEmpty());
        EXPECT_EQ(DriverPool(), base_pool_);
    });
    EXPECT_EQ(RateOnWire(460800), std::optional<uint32_t>(0x800002D0));
}
