// The bridge chip's descriptor sets: what each generation shows in each layout, read raw over the
// bus, whether the identification rules pick the right generation (and miss the near misses),
// and the bent sets used for configuration failures.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/usb/bridge_client.h"

namespace {

using bridge_test::BridgeTest;
using bridge_test::ReadDescriptor;
using emu::usb::BridgeChipOptions;
using emu::usb::IdentityNearMiss;
using emu::usb::PipeLayout;

// The identification rules, applied to raw reads exactly as a driver makes them: the 18-byte
// device descriptor, then (only for generation 2) strings 2 and 1 into 64-byte buffers.
int Identify(PDEVICE_OBJECT pdo) {
    bridge_test::Reply device = ReadDescriptor(pdo, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18);
    if (!NT_SUCCESS(device.status) || device.data.size() < 8) {
        return -1;
    }
    int type = -1;
    if (device.data[4] == 0x02) {
        type = 0;
    } else if (device.data[7] == 64) {
        type = 2;
    } else if (device.data[4] == 0x00 || device.data[4] == 0xFF) {
        type = 1;
    }
    if (type == 2) {
        bridge_test::Reply product = ReadDescriptor(pdo, USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, 64);
        if (product.data.size() >= 47 && product.data[46] == 'C') {
            type = 3;
        }
        bridge_test::Reply maker = ReadDescriptor(pdo, USB_STRING_DESCRIPTOR_TYPE, 1, 0x0409, 64);
        if (maker.data.size() >= 51 && maker.data[50] == ' ') {
            type = 4;
        }
    }
    return type;
}

TEST_F(BridgeTest, EachGenerationIsIdentifiedAndNearMissesAreNot) {
    struct Case {
        int generation;
        IdentityNearMiss near_miss;
        uint8_t generation1_class;
        int expected;
    };
    const Case cases[] = {
        {0, IdentityNearMiss::None, 0, 0},    {1, IdentityNearMiss::None, 0x00, 1},
        {1, IdentityNearMiss::None, 0xFF, 1}, {2, IdentityNearMiss::None, 0, 2},
        {3, IdentityNearMiss::None, 0, 3},    {4, IdentityNearMiss::None, 0, 4},
        {3, IdentityNearMiss::Shifted, 0, 2}, {3, IdentityNearMiss::Short, 0, 2},
        {4, IdentityNearMiss::Shifted, 0, 3}, {4, IdentityNearMiss::Short, 0, 3},
    };
    for (const Case& c : cases) {
        for (PipeLayout layout : {PipeLayout::Single, PipeLayout::Two}) {
            BridgeChipOptions options;
            options.generation = c.generation;
            options.near_miss = c.near_miss;
            options.generation1_class = c.generation1_class;
            options.layout = layout;
            Plug(options);
            EXPECT_EQ(Identify(Pdo()), c.expected)
                << "generation " << c.generation << " near miss " << static_cast<int>(c.near_miss);
        }
    }
    // The descriptor-level overrides reach the rules: class 0x02 wins over a 64-byte packet
    // size, and an unknown class with 8 leaves the chip unidentified.
    BridgeChipOptions options;
    options.generation = 2;
    options.device_class = 0x02;
    Plug(options);
    EXPECT_EQ(Identify(Pdo()), 0);
    options.device_class = 0x09;
    options.max_packet0 = 8;
    Plug(options);
    EXPECT_EQ(Identify(Pdo()), -1);
}

TEST_F(BridgeTest, NearMissStringsMissByExactlyOne) {
    BridgeChipOptions options;
    options.generation = 3;
    options.near_miss = IdentityNearMiss::Short;
    Plug(options);
    // One character short: 46 bytes, ending just before the trigger.
    EXPECT_EQ(ReadDescriptor(Pdo(), USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, 64).data.size(), 46u);
    options.near_miss = IdentityNearMiss::Shifted;
    Plug(options);
    std::vector<uint8_t> product =
        ReadDescriptor(Pdo(), USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, 64).data;
    ASSERT_GE(product.size(), 49u);
    EXPECT_EQ(product[48], 'C');
    options.generation = 4;
    options.near_miss = IdentityNearMiss::Short;
    Plug(options);
    EXPECT_EQ(ReadDescriptor(Pdo(), USB_STRING_DESCRIPTOR_TYPE, 1, 0x0409, 64).data.size(), 50u);
    options.near_miss = IdentityNearMiss::Shifted;
    Plug(options);
    std::vector<uint8_t> maker =
        ReadDescriptor(Pdo(), USB_STRING_DESCRIPTOR_TYPE, 1, 0x0409, 64).data;
    ASSERT_GE(maker.size(), 53u);
    EXPECT_EQ(maker[52], ' ');
    EXPECT_NE(maker[50], ' ');
}

TEST_F(BridgeTest, DescriptorReadsArePartialOrWholeAndStringsNeedEnglish) {
    BridgeChipOptions options;
    options.generation = 3;
    Plug(options);
    bridge_test::Reply device = ReadDescriptor(Pdo(), USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18);
    ASSERT_EQ(device.status, STATUS_SUCCESS);
    ASSERT_EQ(device.data.size(), 18u);
    EXPECT_EQ(device.data[8] | device.data[9] << 8, emu::usb::kBridgeVendorId);
    EXPECT_EQ(device.data[10] | device.data[11] << 8, emu::usb::kBridgeProductIdBase + 3);

    bridge_test::Reply head = ReadDescriptor(Pdo(), USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 9);
    ASSERT_EQ(head.data.size(), 9u);
    const unsigned total = head.data[2] | head.data[3] << 8;
    EXPECT_EQ(total, 9u + 9 + 7 + 9 + 7 + 7);  // two interfaces, three endpoints
    EXPECT_EQ(head.data[4], 2);
    EXPECT_NE(head.data[7] & USB_CONFIG_REMOTE_WAKEUP, 0);
    bridge_test::Reply whole = ReadDescriptor(Pdo(), USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 255);
    EXPECT_EQ(whole.data.size(), total);
    EXPECT_TRUE(std::equal(head.data.begin(), head.data.end(), whole.data.begin()));

    EXPECT_EQ(ReadDescriptor(Pdo(), USB_STRING_DESCRIPTOR_TYPE, 0, 0, 4).data,
              (std::vector<uint8_t>{4, 3, 0x09, 0x04}));
    EXPECT_EQ(ReadDescriptor(Pdo(), USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, 2).data,
              (std::vector<uint8_t>{48, 3}));
    // Another language is not the chip's: stalled and recorded.
    bridge_test::Reply german = ReadDescriptor(Pdo(), USB_STRING_DESCRIPTOR_TYPE, 2, 0x0407, 64);
    EXPECT_EQ(german.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(german.usbd_status, USBD_STATUS_STALL_PID);
    ASSERT_EQ(chip_->TakeViolations().size(), 1u);
}

TEST_F(BridgeTest, BothLayoutsCarryTheMatchTableClassesAndPipeOrder) {
    for (int generation = 0; generation <= 4; ++generation) {
        for (PipeLayout layout : {PipeLayout::Single, PipeLayout::Two}) {
            BridgeChipOptions options;
            options.generation = generation;
            options.layout = layout;
            Plug(options);
            std::vector<uint8_t> config =
                ReadDescriptor(Pdo(), USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 255).data;
            auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
            std::vector<USBD_INTERFACE_LIST_ENTRY> list;
            const int interfaces = layout == PipeLayout::Single ? 1 : 2;
            ASSERT_EQ(descriptor->bNumInterfaces, interfaces);
            for (int number = 0; number < interfaces; ++number) {
                // The exact match-table triple of this generation finds the interface.
                emu::usb::InterfaceClass wanted =
                    emu::usb::BridgeInterfaceClass(generation, number);
                PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(
                    descriptor, descriptor, number, 0, wanted.interface_class, wanted.subclass,
                    wanted.protocol);
                ASSERT_NE(found, nullptr) << generation << "/" << number;
                list.push_back({found, nullptr});
            }
            list.push_back({nullptr, nullptr});
            PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list.data());
            ASSERT_EQ(usb_test::SendSync(Pdo(), urb), STATUS_SUCCESS);
            std::vector<UCHAR> endpoints;
            for (int i = 0; i < interfaces; ++i) {
                for (ULONG p = 0; p < list[i].Interface->NumberOfPipes; ++p) {
                    EXPECT_NE(list[i].Interface->Pipes[p].PipeHandle, nullptr);
                    endpoints.push_back(list[i].Interface->Pipes[p].EndpointAddress);
                }
            }
            EXPECT_EQ(endpoints, (std::vector<UCHAR>{0x81, 0x02, 0x83}));
            EXPECT_EQ(list[0].Interface->Pipes[0].PipeType, UsbdPipeTypeInterrupt);
            EXPECT_TRUE(chip_->Configured());
            ExFreePool(urb);
        }
    }
}

TEST_F(BridgeTest, BentDescriptorSetsLieShortenAndLosePipes) {
    BridgeChipOptions options;
    options.layout = PipeLayout::Single;
    Plug(options);
    const emu::usb::DescriptorSet good = emu::usb::BridgeDescriptorSet(options.Descriptors());

    chip_->SetDescriptors(emu::usb::WithTotalLength(good, 4));
    std::vector<uint8_t> head =
        ReadDescriptor(Pdo(), USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 9).data;
    EXPECT_EQ(head[2] | head[3] << 8, 4);

    chip_->SetDescriptors(emu::usb::TruncatedConfiguration(good, 20));
    head = ReadDescriptor(Pdo(), USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 9).data;
    const unsigned total = head[2] | head[3] << 8;
    EXPECT_EQ(total, good.configuration.size());
    EXPECT_EQ(ReadDescriptor(Pdo(), USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, total).data.size(),
              20u);

    chip_->SetDescriptors(
        emu::usb::WithoutEndpoint(options.Descriptors(), emu::usb::kBridgeBulkIn));
    std::vector<uint8_t> config =
        ReadDescriptor(Pdo(), USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 255).data;
    EXPECT_EQ(config.size(), 9u + 9 + 7 + 7);
    EXPECT_EQ(config[2] | config[3] << 8, static_cast<int>(config.size()));
    EXPECT_EQ(config[9 + 4], 2);  // bNumEndpoints of the interface
}

}  // namespace
