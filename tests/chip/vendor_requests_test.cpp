// The vendor requests: the register file with its shadow, the chip codes and the generations
// that have them, descriptor reads and the synchronous pipe transfers.
#include "chip/requests.h"
#include "tests/chip/support/chip_fixture.h"
#include "usb/pipes.h"

using namespace quella_test;
using emu::usb::ControlFault;
using emu::usb::GetDescriptorRequest;
using emu::usb::RequestFilter;
using emu::usb::VendorIn;
using emu::usb::VendorOut;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class VendorRequestTest : public ChipTest {};

}  // namespace

TEST_F(VendorRequestTest, RegistersThroughTheShadow) {
    emu::usb::BridgeChipOptions options;
    options.registers = std::array<uint8_t, 3>{0x03, 0x5A, 0x44};
    Plug(options);

    EXPECT_EQ(ReadRegister(device_, 0), STATUS_SUCCESS);
    EXPECT_EQ(ReadRegister(device_, 1), STATUS_SUCCESS);
    EXPECT_EQ(port_->ChipRegShadow[0], 0x03);
    EXPECT_EQ(port_->ChipRegShadow[1], 0x5A);
    port_->ChipRegShadow[0] = 0x43;
    EXPECT_EQ(WriteRegister(device_, 0), STATUS_SUCCESS);
    EXPECT_EQ(chip_->Register(0), 0x43);
    EXPECT_THAT(Traffic(), ElementsAre(VendorIn(0x0080), VendorIn(0x0081), VendorOut(0, 0x43)));

    // A read that fails leaves the shadow as it was, whether the chip refused it, or answered
    // "success" without the byte.
    port_->ChipRegShadow[1] = 0x77;
    chip_->InjectFault(ControlFault::Stall(RequestFilter::VendorValue(0x0081)).Times(1));
    EXPECT_EQ(ReadRegister(device_, 1), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(port_->ChipRegShadow[1], 0x77);
    chip_->InjectFault(ControlFault::Short(RequestFilter::VendorValue(0x0081), 0).Times(1));
    EXPECT_EQ(ReadRegister(device_, 1), STATUS_SUCCESS);
    EXPECT_EQ(port_->ChipRegShadow[1], 0x77);
    EXPECT_EQ(ReadRegister(device_, 1), STATUS_SUCCESS);
    EXPECT_EQ(port_->ChipRegShadow[1], 0x5A);

    // Without a request block nothing is sent and the shadow stays.
    Mark();
    {
        emu::PoolFaultScope noMemory(emu::PoolFault::Every(emu::PoolTagIs(QUELLA_POOL_TAG)));
        EXPECT_EQ(ReadRegister(device_, 0), STATUS_NO_MEMORY);
        EXPECT_EQ(WriteRegister(device_, 0), STATUS_NO_MEMORY);
    }
    EXPECT_EQ(port_->ChipRegShadow[0], 0x43);
    // Register numbers outside the file are refused before anything is sent.
    EXPECT_EQ(ReadRegister(device_, 2), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(WriteRegister(device_, 3), STATUS_INVALID_PARAMETER);
    EXPECT_THAT(Traffic(), IsEmpty());
}

TEST_F(VendorRequestTest, ChipCodesOnlyWhereTheGenerationHasThem) {
    for (int generation = 0; generation <= 4; ++generation) {
        SCOPED_TRACE("generation " + std::to_string(generation));
        if (generation > 0) {
            Restart();
        }
        emu::usb::BridgeChipOptions options;
        options.generation = generation;
        Plug(options);
        chip_->SetChipWord(0x06, 0xBEEF);
        chip_->SetChipWord(0x0E, 0x1234);
        const NTSTATUS codes = generation >= 2 ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
        const NTSTATUS wide = generation >= 3 ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;

        EXPECT_EQ(SetXonXoffChars(device_, 0x11, 0x13), codes);
        EXPECT_EQ(SetXonXoffChars(device_, 0x91, 0x13), codes);
        EXPECT_EQ(WriteFlag0809(device_, TRUE), codes);
        EXPECT_EQ(WriteFlag0809(device_, FALSE), codes);
        EXPECT_EQ(WriteCode0B(device_, 2), codes);
        EXPECT_EQ(WriteChipWord(device_, 0x07, 0x0102), codes);
        EXPECT_EQ(WriteChipWord(device_, 0x0C, 0x0304), wide);
        UCHAR word[2] = {};
        ULONG moved = 99;
        EXPECT_EQ(ReadChipWord(device_, 0x86, word, &moved), codes);
        EXPECT_EQ(moved, generation >= 2 ? 2u : 0u);
        EXPECT_EQ(ReadChipWord(device_, 0x8E, word, &moved), wide);
        EXPECT_EQ(moved, generation >= 3 ? 1u : 0u);

        std::vector<emu::usb::ControlTransfer> expected;
        if (generation >= 2) {
            EXPECT_EQ(chip_->XonXoffChars(), (std::pair<uint8_t, uint8_t>(0x91, 0x13)));
            EXPECT_EQ(chip_->Flag0809(), std::optional<bool>(false));
            EXPECT_EQ(chip_->Code0B(), std::optional<uint8_t>(2));
            EXPECT_EQ(chip_->ChipWord(0x07), 0x0102);
        }
        if (generation >= 3) {
            EXPECT_EQ(chip_->ChipWord(0x0C), 0x0304);
            EXPECT_EQ(word[0], 0x34);  // the low byte of the 0x0E word
        }
        if (generation == 2) {
            EXPECT_THAT(Traffic(), ElementsAre(VendorOut(0x0505, 0x1311), VendorOut(0x0505, 0x1391),
                                               VendorOut(0x0909, 0), VendorOut(0x0808, 0),
                                               VendorOut(0x0B0B, 0x0002), VendorOut(0x0707, 0x0102),
                                               VendorIn(0x8686, 2).WithData({0xEF, 0xBE})));
        } else if (generation < 2) {
            EXPECT_THAT(Traffic(), IsEmpty());
        } else {
            EXPECT_EQ(Traffic().size(), 9u);
        }
    }
}

TEST_F(VendorRequestTest, RawRequestsAndUnknownCodes) {
    emu::usb::BridgeChipOptions options;
    options.generation = 3;
    options.registers = std::array<uint8_t, 3>{0x01, 0x02, 0x03};
    Plug(options);
    EXPECT_EQ(VendorWrite(device_, 0x0002, 0x0055), STATUS_SUCCESS);
    EXPECT_EQ(chip_->Register(2), 0x55);
    UCHAR byte = 0;
    ULONG moved = 0;
    EXPECT_EQ(VendorRead(device_, 0x0081, &byte, &moved), STATUS_SUCCESS);
    EXPECT_EQ(byte, 0x02);
    EXPECT_EQ(moved, 1u);
    Mark();

    // Codes the chip does not have are refused here, not sent to stall.
    UCHAR word[2];
    EXPECT_EQ(WriteChipWord(device_, 0x05, 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(WriteChipWord(device_, 0x86, 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ReadChipWord(device_, 0x06, word, &moved), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ReadChipWord(device_, 0x85, word, &moved), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ChipWordLength(0x8D), 2u);
    EXPECT_EQ(ChipWordLength(0x8F), 1u);
    EXPECT_EQ(ChipWordLength(0x0F), 0u);
    EXPECT_THAT(Traffic(), IsEmpty());

    // Out of memory: STATUS_NO_MEMORY from every vendor request, and nothing is sent.
    {
        emu::PoolFaultScope noMemory(emu::PoolFault::Every(emu::PoolTagIs(QUELLA_POOL_TAG)));
        EXPECT_EQ(VendorWrite(device_, 2, 1), STATUS_NO_MEMORY);
        EXPECT_EQ(VendorRead(device_, 0x80, &byte, &moved), STATUS_NO_MEMORY);
        EXPECT_EQ(moved, 0u);
        EXPECT_EQ(SetXonXoffChars(device_, 1, 2), STATUS_NO_MEMORY);
        EXPECT_EQ(WriteFlag0809(device_, TRUE), STATUS_NO_MEMORY);
        EXPECT_EQ(WriteCode0B(device_, 2), STATUS_NO_MEMORY);
        EXPECT_EQ(WriteChipWord(device_, 0x0F, 2), STATUS_NO_MEMORY);
        EXPECT_EQ(ReadChipWord(device_, 0x8F, word, &moved), STATUS_NO_MEMORY);
    }
    EXPECT_THAT(Traffic(), IsEmpty());
    EXPECT_EQ(DriverPool(), base_pool_);
}

TEST_F(VendorRequestTest, DescriptorReads) {
    emu::usb::BridgeChipOptions options;
    options.generation = 4;
    Plug(options);
    UCHAR device[18] = {};
    ULONG moved = 0;
    EXPECT_EQ(GetDeviceDescriptor(device_, device, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 18u);
    EXPECT_EQ(device[1], USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(device[7], 64);

    UCHAR config[9] = {};
    EXPECT_EQ(GetConfigDescriptor(device_, config, sizeof(config), &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 9u);
    EXPECT_EQ(config[1], USB_CONFIGURATION_DESCRIPTOR_TYPE);

    // The string index is the first byte of the caller's buffer; a short buffer gets the start.
    UCHAR text[8] = {2};
    EXPECT_EQ(GetStringDescriptor(device_, text, sizeof(text), &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 8u);
    EXPECT_EQ(text[1], USB_STRING_DESCRIPTOR_TYPE);
    EXPECT_GT(text[0], 8);  // the descriptor's own length

    EXPECT_THAT(AllTraffic(),
                ElementsAre(GetDescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18),
                            GetDescriptorRequest(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 9),
                            GetDescriptorRequest(USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, 8)));

    chip_->InjectFault(ControlFault::Stall(RequestFilter::Descriptor(USB_DEVICE_DESCRIPTOR_TYPE)));
    EXPECT_EQ(GetDeviceDescriptor(device_, device, &moved), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(moved, 0u);
    {
        emu::PoolFaultScope noMemory(emu::PoolFault::Every(emu::PoolTagIs(QUELLA_POOL_TAG)));
        EXPECT_EQ(GetConfigDescriptor(device_, config, sizeof(config), &moved), STATUS_NO_MEMORY);
        EXPECT_EQ(GetStringDescriptor(device_, text, sizeof(text), &moved), STATUS_NO_MEMORY);
    }
}

TEST_F(VendorRequestTest, SynchronousPipeTransfers) {
    emu::usb::BridgeChipOptions options;
    options.layout = emu::usb::PipeLayout::Single;
    Plug(options);
    UCHAR data[4] = {1, 2, 3, 4};
    ULONG moved = 7;

    // Before a configuration there is no pipe to use.
    EXPECT_EQ(WriteBulkPipeSync(device_, data, sizeof(data)), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(ReadBulkPipeSync(device_, data, sizeof(data), &moved), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(ReadInterruptPipeSync(device_, data, sizeof(data), &moved),
              STATUS_INVALID_DEVICE_STATE);
    EXPECT_TRUE(bus_->Log().size() == 0);

    Configure();
    const uint64_t first = emu::usb::LastUrbId(*bus_);
    EXPECT_EQ(WriteBulkPipeSync(device_, data, sizeof(data)), STATUS_SUCCESS);
    // The input pipes answer with an error here: the status comes back, with no bytes.
    bus_->SetPolicy([](const emu::usb::UrbRecord& record) {
        return record.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && record.to_host
                   ? emu::usb::UrbAction::Fail(emu::usb::UrbResult::Stall())
                   : emu::usb::UrbAction::Now();
    });
    EXPECT_EQ(ReadBulkPipeSync(device_, data, sizeof(data), &moved), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(ReadInterruptPipeSync(device_, data, 10, &moved), STATUS_UNSUCCESSFUL);

    std::vector<emu::usb::UrbRecord> log = bus_->Log();
    std::vector<emu::usb::UrbRecord> transfers(log.begin() + first, log.end());
    ASSERT_EQ(transfers.size(), 3u);
    EXPECT_EQ(transfers[0].endpoint, std::optional<uint8_t>(emu::usb::kBridgeBulkOut));
    EXPECT_EQ(transfers[0].transfer_flags, 0u);
    EXPECT_EQ(transfers[0].data_out, (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(transfers[1].endpoint, std::optional<uint8_t>(emu::usb::kBridgeBulkIn));
    EXPECT_EQ(transfers[1].transfer_flags,
              ULONG(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));
    EXPECT_EQ(transfers[2].endpoint, std::optional<uint8_t>(emu::usb::kBridgeInterruptIn));
    EXPECT_EQ(transfers[2].transfer_flags, ULONG(USBD_TRANSFER_DIRECTION_IN));
    EXPECT_EQ(transfers[2].requested_length, 10u);
    for (const auto& transfer : transfers) {
        EXPECT_EQ(transfer.function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    }

    {
        emu::PoolFaultScope noMemory(emu::PoolFault::Every(emu::PoolTagIs(QUELLA_POOL_TAG)));
        EXPECT_EQ(WriteBulkPipeSync(device_, data, sizeof(data)), STATUS_NO_MEMORY);
    }
    EXPECT_EQ(bus_->Log().size(), log.size());
}
