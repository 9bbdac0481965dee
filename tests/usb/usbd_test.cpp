// The USBD library routines (configuration parsing, select-configuration URBs) and the setup
// packets the bus derives from URBs.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "emu/kernel/kernel.h"
#include "emu/kernel/pool.h"
#include "emu/usb/standard_device.h"
#include "emu/usb/urb_trace.h"

namespace {

// The internal USB control codes are the platform's CTL_CODE values.
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB ==
              CTL_CODE(FILE_DEVICE_UNKNOWN, 0, METHOD_NEITHER, FILE_ANY_ACCESS));
static_assert(IOCTL_INTERNAL_USB_GET_PORT_STATUS ==
              CTL_CODE(FILE_DEVICE_UNKNOWN, 4, METHOD_NEITHER, FILE_ANY_ACCESS));
static_assert(IOCTL_INTERNAL_USB_CYCLE_PORT ==
              CTL_CODE(FILE_DEVICE_UNKNOWN, 7, METHOD_NEITHER, FILE_ANY_ACCESS));
static_assert(IOCTL_INTERNAL_USB_GET_HUB_NAME ==
              CTL_CODE(FILE_DEVICE_UNKNOWN, 8, METHOD_BUFFERED, FILE_ANY_ACCESS));
static_assert(IOCTL_INTERNAL_USB_GET_DEVICE_HANDLE ==
              CTL_CODE(FILE_DEVICE_UNKNOWN, 268, METHOD_NEITHER, FILE_ANY_ACCESS));

using emu::usb::ConfigurationDescriptor;
using emu::usb::EndpointLayout;
using emu::usb::InterfaceLayout;
using emu::usb::SetupPacket;

// Two interfaces as a CDC-style bridge lays them out: interrupt-in on 0, bulk-out and bulk-in
// on 1; plus an alternate setting of interface 1 with a single endpoint.
std::vector<uint8_t> TwoInterfaceConfiguration() {
    return ConfigurationDescriptor({
        {0, 0, 0x02, 0x02, 0xFF, {{0x81, USB_ENDPOINT_TYPE_INTERRUPT, 10, 1}}},
        {1,
         0,
         0x0A,
         0x00,
         0x00,
         {{0x02, USB_ENDPOINT_TYPE_BULK, 64, 0}, {0x83, USB_ENDPOINT_TYPE_BULK, 64, 0}}},
        {1, 1, 0x0A, 0x00, 0x00, {{0x02, USB_ENDPOINT_TYPE_BULK, 64, 0}}},
    });
}

PUSB_CONFIGURATION_DESCRIPTOR AsConfiguration(std::vector<uint8_t>& bytes) {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
}

TEST(UsbdTest, ParseConfigurationDescriptorExMatchesEveryCriterionThatIsNotAWildcard) {
    std::vector<uint8_t> bytes = TwoInterfaceConfiguration();
    PUSB_CONFIGURATION_DESCRIPTOR config = AsConfiguration(bytes);
    ASSERT_EQ(config->wTotalLength, bytes.size());
    ASSERT_EQ(config->bNumInterfaces, 2);

    PUSB_INTERFACE_DESCRIPTOR any =
        USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
    ASSERT_NE(any, nullptr);
    EXPECT_EQ(any->bInterfaceNumber, 0);

    PUSB_INTERFACE_DESCRIPTOR data =
        USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, 0x0A, 0x00, 0x00);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->bNumEndpoints, 2);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 1, 1, -1, -1, -1)->bNumEndpoints,
              1);
    // 0xFF is a value, not a wildcard: a class of 0xFF matches only 0xFF.
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, 0xFF, 0xFF, 0xFF), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, 0x02, 0x02, 0xFF), any);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 2, -1, -1, -1, -1), nullptr);

    // The search starts at StartPosition: past the first interface it finds the second.
    PUSB_INTERFACE_DESCRIPTOR next = USBD_ParseConfigurationDescriptorEx(
        config, reinterpret_cast<PUCHAR>(any) + any->bLength, -1, -1, -1, -1, -1);
    EXPECT_EQ(next, data);
    EXPECT_EQ(USBD_ParseConfigurationDescriptor(config, 1, 1)->bAlternateSetting, 1);

    // Endpoints are found by type from a position, and the interface length spans them.
    auto* endpoint = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(
        USBD_ParseDescriptors(config, config->wTotalLength, data, USB_ENDPOINT_DESCRIPTOR_TYPE));
    ASSERT_NE(endpoint, nullptr);
    EXPECT_EQ(endpoint->bEndpointAddress, 0x02);
    EXPECT_EQ(USBD_GetInterfaceLength(data, bytes.data() + bytes.size()), 9u + 7 + 7);
}

TEST(UsbdTest, MalformedDescriptorsEndTheWalkInsideTheBuffer) {
    std::vector<uint8_t> bytes = TwoInterfaceConfiguration();
    // A descriptor of length 0 would make a trusting walk loop forever.
    std::vector<uint8_t> zero = bytes;
    zero[9] = 0;
    EXPECT_EQ(
        USBD_ParseConfigurationDescriptorEx(AsConfiguration(zero), zero.data(), -1, -1, -1, -1, -1),
        nullptr);

    // A descriptor running past wTotalLength is not used, and nothing past it is read: the
    // interface after an overlong endpoint is out of reach.
    std::vector<uint8_t> overlong = bytes;
    overlong[9 + 9] = 200;
    PUSB_CONFIGURATION_DESCRIPTOR config = AsConfiguration(overlong);
    EXPECT_NE(USBD_ParseConfigurationDescriptorEx(config, config, 0, -1, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 1, -1, -1, -1, -1), nullptr);

    // wTotalLength bounds the walk even when the buffer holds more.
    std::vector<uint8_t> truncated = bytes;
    truncated[2] = 9 + 9 + 7;
    truncated[3] = 0;
    config = AsConfiguration(truncated);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 1, -1, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseDescriptors(truncated.data(), 4, truncated.data(),
                                    USB_CONFIGURATION_DESCRIPTOR_TYPE),
              nullptr);
    EXPECT_EQ(USBD_ParseDescriptors(nullptr, 100, nullptr, USB_INTERFACE_DESCRIPTOR_TYPE), nullptr);
}

TEST(UsbdTest, CreateConfigurationRequestExSizesOneBlockPerInterfaceForItsEndpoints) {
    emu::Kernel kernel;
    std::vector<uint8_t> bytes = TwoInterfaceConfiguration();
    PUSB_CONFIGURATION_DESCRIPTOR config = AsConfiguration(bytes);
    USBD_INTERFACE_LIST_ENTRY list[3] = {
        {USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1), nullptr},
        {USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, -1, -1, -1), nullptr},
        {nullptr, nullptr}};

    PURB urb = USBD_CreateConfigurationRequestEx(config, list);
    ASSERT_NE(urb, nullptr);
    const size_t expected = sizeof(struct _URB_SELECT_CONFIGURATION) +
                            sizeof(USBD_INTERFACE_INFORMATION) + sizeof(USBD_PIPE_INFORMATION);
    EXPECT_EQ(expected, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 3));
    EXPECT_EQ(urb->UrbHeader.Length, expected);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, config);
    EXPECT_EQ(emu::PoolFind(urb)->type, NonPagedPool);

    PUSBD_INTERFACE_INFORMATION first = list[0].Interface;
    PUSBD_INTERFACE_INFORMATION second = list[1].Interface;
    EXPECT_EQ(first, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(first->Length, GET_USBD_INTERFACE_SIZE(1));
    EXPECT_EQ(first->NumberOfPipes, 1u);
    EXPECT_EQ(reinterpret_cast<PUCHAR>(second), reinterpret_cast<PUCHAR>(first) + first->Length);
    EXPECT_EQ(second->Length, GET_USBD_INTERFACE_SIZE(2));
    EXPECT_EQ(second->InterfaceNumber, 1);
    EXPECT_EQ(second->AlternateSetting, 0);
    EXPECT_EQ(second->NumberOfPipes, 2u);
    EXPECT_EQ(second->Pipes[1].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    EXPECT_EQ(reinterpret_cast<PUCHAR>(second) + second->Length,
              reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length);
    ExFreePool(urb);

    // The single-interface form covers the first interface and reports the size.
    USHORT size = 0;
    urb = USBD_CreateConfigurationRequest(config, &size);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(size, urb->UrbHeader.Length);
    EXPECT_EQ(size, GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 1));
    EXPECT_EQ(urb->UrbSelectConfiguration.Interface.InterfaceNumber, 0);
    ExFreePool(urb);

    // No interface to select, or no pool: no URB.
    std::vector<uint8_t> empty = ConfigurationDescriptor({});
    EXPECT_EQ(USBD_CreateConfigurationRequest(AsConfiguration(empty), &size), nullptr);
    EXPECT_EQ(size, 0);
    {
        emu::PoolFaultScope no_pool(emu::PoolFault::Every());
        EXPECT_EQ(USBD_CreateConfigurationRequestEx(config, list), nullptr);
    }
    EXPECT_EQ(emu::PoolOutstandingCount(emu::PoolTag("None")), 0u);
}

TEST(UrbTraceTest, ControlUrbsBecomeTheSetupPacketsOnTheWire) {
    URB urb{};
    UCHAR buffer[64] = {};

    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, buffer, nullptr, 64,
                                 nullptr);
    EXPECT_EQ(*emu::usb::SetupPacketOf(urb), (SetupPacket{0x80, 6, 0x0302, 0x0409, 64}));
    EXPECT_TRUE(emu::usb::DataStageOf(urb).to_host);

    memset(&urb, 0, sizeof(urb));
    UsbBuildFeatureRequest(&urb, URB_FUNCTION_SET_FEATURE_TO_DEVICE, USB_FEATURE_REMOTE_WAKEUP, 0,
                           nullptr);
    EXPECT_EQ(*emu::usb::SetupPacketOf(urb), (SetupPacket{0x00, 3, 1, 0, 0}));
    urb.UrbHeader.Function = URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE;
    EXPECT_EQ(*emu::usb::SetupPacketOf(urb), (SetupPacket{0x00, 1, 1, 0, 0}));
    EXPECT_EQ(emu::usb::DataStageOf(urb).length_field, nullptr);

    // Vendor requests to the device: 0xC0 in, 0x40 out; class requests to an interface: 0x21.
    memset(&urb, 0, sizeof(urb));
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE,
                          sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN, 0, 1, 0x8484, 0, buffer, nullptr, 1, nullptr);
    EXPECT_EQ(*emu::usb::SetupPacketOf(urb), (SetupPacket{0xC0, 1, 0x8484, 0, 1}));
    urb.UrbControlVendorClassRequest.TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
    urb.UrbControlVendorClassRequest.TransferBufferLength = 0;
    EXPECT_EQ(emu::usb::SetupPacketOf(urb)->bmRequestType, 0x40);
    EXPECT_FALSE(emu::usb::DataStageOf(urb).to_host);
    urb.UrbHeader.Function = URB_FUNCTION_CLASS_INTERFACE;
    urb.UrbControlVendorClassRequest.Request = 0x22;
    urb.UrbControlVendorClassRequest.Value = 3;
    EXPECT_EQ(*emu::usb::SetupPacketOf(urb), (SetupPacket{0x21, 0x22, 3, 0, 0}));
    EXPECT_EQ(emu::usb::SetupPacketOf(urb)->ToString(), "21 22 0003 0000 0000");

    // Bulk transfers and pipe requests have no setup packet.
    memset(&urb, 0, sizeof(urb));
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           nullptr, buffer, nullptr, 10, USBD_TRANSFER_DIRECTION_IN,
                                           nullptr);
    EXPECT_FALSE(emu::usb::SetupPacketOf(urb));
    EXPECT_EQ(emu::usb::DataStageOf(urb).length, 10u);
    EXPECT_FALSE(emu::usb::IsControlFunction(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER));
    EXPECT_TRUE(emu::usb::IsControlFunction(URB_FUNCTION_VENDOR_DEVICE));
    EXPECT_EQ(emu::usb::UrbFunctionName(URB_FUNCTION_CLASS_INTERFACE), "CLASS_INTERFACE");
    EXPECT_EQ(emu::usb::UrbFunctionName(0x7777), "0x7777");
}

}  // namespace
