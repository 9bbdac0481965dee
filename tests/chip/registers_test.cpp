// The register sequences: chip-side flow control on each generation (register values, flags
// and transmit holds) and the default registers of a chip with a blank EEPROM.
#include "chip/requests.h"
#include "tests/chip/support/chip_fixture.h"

using namespace quella_test;
using emu::usb::ControlFault;
using emu::usb::RequestFilter;
using emu::usb::VendorIn;
using emu::usb::VendorOut;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class RegisterTest : public ChipTest {
  protected:
    void PlugWithRegisters(int generation, uint8_t reg0, uint8_t reg1) {
        emu::usb::BridgeChipOptions options;
        options.generation = generation;
        options.registers = std::array<uint8_t, 3>{reg0, reg1, 0x44};
        Plug(options);
    }
};

}  // namespace

// Register 0 starts as 0x03 (the chip's own bits, which every mask keeps) and register 1 as
// 0xA2 (upper bits that only the private controls change). The same six steps on each
// generation: RTS on, CTS on, DSR on, CTS off, DSR off, RTS off.
TEST_F(RegisterTest, FlowControlRegistersOnEachGeneration) {
    struct Expected {
        uint8_t reg0[6];
        uint8_t reg1[6];
    };
    const Expected byGeneration[] = {
        /* 1 */ {{0x03, 0x43, 0x43, 0x03, 0x03, 0x03}, {0xA2, 0xA2, 0xA2, 0xA2, 0xA2, 0xA2}},
        /* 2 */ {{0x23, 0x63, 0x63, 0x23, 0x23, 0x03}, {0xA2, 0xA2, 0xA2, 0xA2, 0xA2, 0xA2}},
        /* 3 */ {{0x23, 0x63, 0x5B, 0x1B, 0x13, 0x03}, {0xA0, 0xA0, 0xA7, 0xA7, 0xA0, 0xA0}},
        /* 4 */ {{0x23, 0x63, 0x5B, 0x1B, 0x13, 0x03}, {0xA0, 0xA0, 0xA7, 0xA7, 0xA0, 0xA0}},
    };
    for (int generation = 1; generation <= 4; ++generation) {
        SCOPED_TRACE("generation " + std::to_string(generation));
        if (generation > 1) {
            Restart();
        }
        PlugWithRegisters(generation, 0x03, 0xA2);
        const Expected& expected = byGeneration[generation - 1];
        const bool rts = generation >= 2;
        const bool dsr = generation >= 3;

        auto check = [&](int step) {
            SCOPED_TRACE("step " + std::to_string(step));
            EXPECT_EQ(chip_->Register(0), expected.reg0[step]);
            EXPECT_EQ(chip_->Register(1), expected.reg1[step]);
        };
        EXPECT_EQ(SetHardwareRtsFlow(port_, TRUE), rts ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED);
        EXPECT_EQ(port_->HwRtsFlowOn, rts ? TRUE : FALSE);
        check(0);

        EXPECT_EQ(SetHardwareCtsFlow(port_, TRUE), STATUS_SUCCESS);
        EXPECT_TRUE(port_->HwCtsFlowOn);
        EXPECT_EQ(port_->TxHoldReasons, TXHOLD_CTS);  // CTS has not been seen yet
        check(1);

        Mark();
        EXPECT_EQ(SetHardwareDsrFlow(port_, TRUE), STATUS_SUCCESS);
        EXPECT_EQ(port_->HwDsrFlowOn, dsr ? TRUE : FALSE);
        EXPECT_EQ(port_->TxHoldReasons, dsr ? TXHOLD_CTS | TXHOLD_DSR : TXHOLD_CTS);
        check(2);
        if (dsr) {
            // Register 1 cleared, register 0 read, then both flows' values written.
            EXPECT_THAT(Traffic(),
                        ElementsAre(VendorIn(0x0081), VendorOut(1, 0xA0), VendorIn(0x0080),
                                    VendorOut(1, 0xA7), VendorOut(0, 0x5B)));
        } else {
            EXPECT_THAT(Traffic(), IsEmpty());
        }

        EXPECT_EQ(SetHardwareCtsFlow(port_, FALSE), STATUS_SUCCESS);
        EXPECT_FALSE(port_->HwCtsFlowOn);
        EXPECT_EQ(port_->TxHoldReasons, dsr ? TXHOLD_DSR : 0u);
        check(3);

        EXPECT_EQ(SetHardwareDsrFlow(port_, FALSE), STATUS_SUCCESS);
        EXPECT_FALSE(port_->HwDsrFlowOn);
        EXPECT_EQ(port_->TxHoldReasons, 0u);
        check(4);

        Mark();
        EXPECT_EQ(SetHardwareRtsFlow(port_, FALSE), rts ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED);
        EXPECT_FALSE(port_->HwRtsFlowOn);
        check(5);
        if (!rts) {
            EXPECT_THAT(Traffic(), IsEmpty());
        }
    }
}

TEST_F(RegisterTest, CtsFlowJoiningDsrFlowAndLinesAlreadyUp) {
    PlugWithRegisters(3, 0x03, 0xA2);
    // DSR flow alone: register 1 gets 0x05, register 0 (0x03 AND 0x33) OR 0x48.
    EXPECT_EQ(SetHardwareDsrFlow(port_, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(chip_->Register(1), 0xA5);
    EXPECT_EQ(chip_->Register(0), 0x4B);
    // CTS flow joining it: register 1's low three bits all set, register 0 becomes
    // (old register 0 AND 0x03) OR 0x58.
    EXPECT_EQ(SetHardwareCtsFlow(port_, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(chip_->Register(1), 0xA7);
    EXPECT_EQ(chip_->Register(0), (0x4B & 0x03) | 0x58);

    // Lines that the last status packet showed up: no transmit hold is left behind.
    port_->LineStateWord = 0x80 | 0x02;  // CTS and DSR asserted
    port_->TxHoldReasons = 0;
    EXPECT_EQ(SetHardwareCtsFlow(port_, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(SetHardwareDsrFlow(port_, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(port_->TxHoldReasons, 0u);
}

TEST_F(RegisterTest, FlowControlWhenRequestsFail) {
    PlugWithRegisters(3, 0x03, 0x00);
    // A register read the chip refuses: the shadow keeps its value, the write still goes out,
    // the flag follows the request and the refusal is reported.
    port_->ChipRegShadow[0] = 0x03;
    chip_->InjectFault(ControlFault::Stall(RequestFilter::VendorValue(0x0080)).Times(1));
    EXPECT_EQ(SetHardwareCtsFlow(port_, TRUE), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(port_->HwCtsFlowOn);
    EXPECT_EQ(chip_->Register(0), 0x43);

    // A request that cannot be sent stops the sequence: flags and holds stay as they were.
    auto reset = [&] {
        port_->HwCtsFlowOn = FALSE;
        port_->HwDsrFlowOn = TRUE;
        port_->HwRtsFlowOn = FALSE;
        port_->TxHoldReasons = 0;
    };
    struct Operation {
        const char* name;
        std::function<NTSTATUS()> run;
    };
    const Operation operations[] = {
        {"cts", [&] { return SetHardwareCtsFlow(port_, TRUE); }},
        {"dsr", [&] { return SetHardwareDsrFlow(port_, FALSE); }},
        {"rts", [&] { return SetHardwareRtsFlow(port_, TRUE); }},
    };
    for (const Operation& operation : operations) {
        SCOPED_TRACE(operation.name);
        ForEachAllocationFailure([&](uint64_t k) {
            reset();
            NTSTATUS status = operation.run();
            if (k == 0) {
                EXPECT_EQ(status, STATUS_SUCCESS);
                return;
            }
            EXPECT_TRUE(status == STATUS_NO_MEMORY || status == STATUS_INSUFFICIENT_RESOURCES)
                << std::hex << status;
            EXPECT_FALSE(port_->HwCtsFlowOn);
            EXPECT_TRUE(port_->HwDsrFlowOn);
            EXPECT_FALSE(port_->HwRtsFlowOn);
            EXPECT_EQ(port_->TxHoldReasons, 0u);
            EXPECT_EQ(DriverPool(), base_pool_);
        });
    }
}

TEST_F(RegisterTest, DefaultRegistersOfABlankChip) {
    // Generation 4 keeps the upper half of its register 1 (0x6C at power-up).
    emu::usb::BridgeChipOptions options;
    options.generation = 4;
    Plug(options);
    EXPECT_EQ(WriteDefaultRegisters(port_), STATUS_SUCCESS);
    EXPECT_THAT(Traffic(), ElementsAre(VendorIn(0x0081), VendorOut(0, 0x01), VendorOut(1, 0x60),
                                       VendorOut(2, 0x44)));
    EXPECT_EQ(chip_->Registers(), (std::array<uint8_t, 3>{0x01, 0x60, 0x44}));
    EXPECT_EQ(port_->ChipRegShadow[1], 0x60);

    // A refused write does not keep the others from their defaults, and is reported.
    Mark();
    chip_->InjectFault(ControlFault::Stall(RequestFilter::VendorValue(0x0000)).Times(1));
    EXPECT_EQ(WriteDefaultRegisters(port_), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(WithoutBusyPolls(Traffic()).size(), 4u);

    // The older generations, and a chip not identified yet, take 0x24 for register 2.
    for (LONG type : {2, 1, 0, -1}) {
        SCOPED_TRACE("ChipType " + std::to_string(type));
        Restart();
        emu::usb::BridgeChipOptions older;
        older.generation = type < 0 ? 1 : type;
        Plug(older, std::nullopt, type);
        EXPECT_EQ(WriteDefaultRegisters(port_), STATUS_SUCCESS);
        const uint8_t reg2 = type >= 2 ? 0x44 : 0x24;
        EXPECT_THAT(Traffic(),
                    ElementsAre(VendorOut(0, 0x01), VendorOut(1, 0x00), VendorOut(2, reg2)));
    }

    // Out of memory: INSUFFICIENT_RESOURCES, and what went out is a prefix of the sequence.
    ForEachAllocationFailure([&](uint64_t k) {
        Mark();
        NTSTATUS status = WriteDefaultRegisters(port_);
        EXPECT_EQ(status, k == 0 ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES);
        std::vector<emu::usb::ControlTransfer> sent = Traffic();
        for (size_t i = 0; i < sent.size(); ++i) {
            EXPECT_EQ(sent[i].wValue, i);
        }
        EXPECT_EQ(DriverPool(), base_pool_);
    });
}
