// The standard part of an emulated USB device: configuration selection with pipe handles, data
// transfers on those pipes, features and status.
#include <gtest/gtest.h>

#include <memory>

#include "emu/kernel/kernel.h"
#include "emu/usb/standard_device.h"
#include "emu/usb/usb_bus.h"
#include "tests/usb/urb_client.h"

namespace {

using emu::usb::SetupPacket;
using emu::usb::UrbRecord;
using emu::usb::UrbResult;
using usb_test::AsyncUrb;

emu::usb::DescriptorSet TwoInterfaceDevice() {
    emu::usb::DescriptorSet set;
    set.device = emu::usb::DeviceDescriptor(0x02, 8, 0xFFFF, 0x5102, 0x0100, 0, 0, 0);
    set.configuration = emu::usb::ConfigurationDescriptor(
        {{0, 0, 0x02, 0x02, 0xFF, {{0x81, USB_ENDPOINT_TYPE_INTERRUPT, 10, 1}}},
         {1,
          0,
          0x0A,
          0x00,
          0x00,
          {{0x02, USB_ENDPOINT_TYPE_BULK, 64, 0}, {0x83, USB_ENDPOINT_TYPE_BULK, 64, 0}}}},
        0xC0 | USB_CONFIG_REMOTE_WAKEUP);
    return set;
}

class StandardDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        device_ = std::make_shared<emu::usb::StandardUsbDevice>(TwoInterfaceDevice());
        bus_.Attach(device_);
        config_ = TwoInterfaceDevice().configuration;
    }

    PUSB_CONFIGURATION_DESCRIPTOR Config() {
        return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config_.data());
    }

    // Selects both interfaces as a two-interface driver does; returns the URB (caller frees).
    PURB SelectBoth(NTSTATUS* status, USBD_INTERFACE_LIST_ENTRY (&list)[3]) {
        list[0] = {USBD_ParseConfigurationDescriptorEx(Config(), Config(), 0, 0, -1, -1, -1),
                   nullptr};
        list[1] = {USBD_ParseConfigurationDescriptorEx(Config(), Config(), 1, 0, -1, -1, -1),
                   nullptr};
        list[2] = {nullptr, nullptr};
        PURB urb = USBD_CreateConfigurationRequestEx(Config(), list);
        *status = usb_test::SendSync(bus_.Pdo(), urb);
        return urb;
    }

    emu::Kernel kernel_;
    emu::usb::UsbBus bus_;
    std::shared_ptr<emu::usb::StandardUsbDevice> device_;
    std::vector<uint8_t> config_;
};

TEST_F(StandardDeviceTest, SelectingTheConfigurationHandsOutAPipeForEveryEndpoint) {
    USBD_INTERFACE_LIST_ENTRY list[3];
    NTSTATUS status;
    PURB urb = SelectBoth(&status, list);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(device_->Configured());
    EXPECT_NE(urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);

    PUSBD_INTERFACE_INFORMATION control = list[0].Interface;
    PUSBD_INTERFACE_INFORMATION data = list[1].Interface;
    EXPECT_EQ(control->Class, 0x02);
    EXPECT_EQ(control->Protocol, 0xFF);
    EXPECT_NE(control->InterfaceHandle, nullptr);
    ASSERT_EQ(control->NumberOfPipes, 1u);
    EXPECT_EQ(control->Pipes[0].EndpointAddress, 0x81);
    EXPECT_EQ(control->Pipes[0].PipeType, UsbdPipeTypeInterrupt);
    EXPECT_EQ(control->Pipes[0].Interval, 1);
    ASSERT_EQ(data->NumberOfPipes, 2u);
    EXPECT_EQ(data->Class, 0x0A);
    EXPECT_EQ(data->Pipes[0].EndpointAddress, 0x02);
    EXPECT_EQ(data->Pipes[1].EndpointAddress, 0x83);
    EXPECT_EQ(data->Pipes[1].PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(data->Pipes[1].MaximumPacketSize, 64);
    EXPECT_EQ(data->Pipes[1].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    USBD_PIPE_HANDLE bulk_out = data->Pipes[0].PipeHandle;
    EXPECT_EQ(device_->PipeOf(0x02), bulk_out);
    EXPECT_EQ(*device_->EndpointOf(data->Pipes[1].PipeHandle), 0x83);
    EXPECT_EQ(*bus_.Log().back().setup, (SetupPacket{0x00, 9, 1, 0, 0}));

    // Bulk-out is taken whole at once and logged with its data and endpoint.
    URB transfer;
    char bytes[] = "hello";
    usb_test::BuildBulk(transfer, bulk_out, bytes, 5, USBD_TRANSFER_DIRECTION_OUT);
    EXPECT_EQ(usb_test::SendSync(bus_.Pdo(), &transfer), STATUS_SUCCESS);
    EXPECT_EQ(transfer.UrbBulkOrInterruptTransfer.TransferBufferLength, 5u);
    UrbRecord record = bus_.Log().back();
    EXPECT_EQ(record.data_out, std::vector<uint8_t>({'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(*record.endpoint, 0x02);
    EXPECT_FALSE(record.to_host);

    // A transfer in the wrong direction for its endpoint is refused.
    usb_test::BuildBulk(transfer, bulk_out, bytes, 5, USBD_TRANSFER_DIRECTION_IN);
    EXPECT_EQ(usb_test::SendSync(bus_.Pdo(), &transfer), STATUS_INVALID_PARAMETER);

    // Selecting again (as the two-interface start does, with the same URB) renews the pipes:
    // the old handles stop working.
    ASSERT_EQ(usb_test::SendSync(bus_.Pdo(), urb), STATUS_SUCCESS);
    EXPECT_NE(list[1].Interface->Pipes[0].PipeHandle, bulk_out);
    usb_test::BuildBulk(transfer, bulk_out, bytes, 5, USBD_TRANSFER_DIRECTION_OUT);
    EXPECT_EQ(usb_test::SendSync(bus_.Pdo(), &transfer), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(transfer.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
    ExFreePool(urb);

    // Deconfiguring drops every pipe.
    URB deconfigure{};
    UsbBuildSelectConfigurationRequest(&deconfigure, sizeof(struct _URB_SELECT_CONFIGURATION),
                                       nullptr);
    EXPECT_EQ(usb_test::SendSync(bus_.Pdo(), &deconfigure), STATUS_SUCCESS);
    EXPECT_FALSE(device_->Configured());
    EXPECT_EQ(device_->PipeOf(0x83), nullptr);
}

TEST_F(StandardDeviceTest, ASelectionWithoutRoomForThePipesOrForAnUnknownInterfaceFails) {
    USBD_INTERFACE_LIST_ENTRY list[3];
    NTSTATUS status;
    PURB urb = SelectBoth(&status, list);
    ASSERT_EQ(status, STATUS_SUCCESS);

    // The data interface's block claims room for one pipe only.
    list[1].Interface->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(1));
    urb->UrbHeader.Length =
        static_cast<USHORT>(urb->UrbHeader.Length - sizeof(USBD_PIPE_INFORMATION));
    EXPECT_EQ(usb_test::SendSync(bus_.Pdo(), urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_BUFFER_TOO_SMALL);

    list[1].Interface->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(2));
    urb->UrbHeader.Length =
        static_cast<USHORT>(urb->UrbHeader.Length + sizeof(USBD_PIPE_INFORMATION));
    list[1].Interface->InterfaceNumber = 5;
    EXPECT_EQ(usb_test::SendSync(bus_.Pdo(), urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_INTERFACE_NOT_FOUND);

    // A block length that runs past the URB is not followed.
    list[1].Interface->InterfaceNumber = 1;
    list[1].Interface->Length = 0x7FFF;
    EXPECT_EQ(usb_test::SendSync(bus_.Pdo(), urb), STATUS_INVALID_PARAMETER);
    ExFreePool(urb);
}

TEST_F(StandardDeviceTest, RemoteWakeupFeatureAndStatusAndCancelledHeldTransfers) {
    URB urb{};
    UsbBuildFeatureRequest(&urb, URB_FUNCTION_SET_FEATURE_TO_DEVICE, USB_FEATURE_REMOTE_WAKEUP, 0,
                           nullptr);
    EXPECT_EQ(usb_test::SendSync(bus_.Pdo(), &urb), STATUS_SUCCESS);
    EXPECT_TRUE(device_->RemoteWakeupEnabled());

    USHORT device_status = 0;
    memset(&urb, 0, sizeof(urb));
    UsbBuildGetStatusRequest(&urb, URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0, &device_status, nullptr,
                             nullptr);
    EXPECT_EQ(usb_test::SendSync(bus_.Pdo(), &urb), STATUS_SUCCESS);
    EXPECT_EQ(device_status, USB_GETSTATUS_SELF_POWERED | USB_GETSTATUS_REMOTE_WAKEUP_ENABLED);

    memset(&urb, 0, sizeof(urb));
    UsbBuildFeatureRequest(&urb, URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, USB_FEATURE_REMOTE_WAKEUP, 0,
                           nullptr);
    EXPECT_EQ(usb_test::SendSync(bus_.Pdo(), &urb), STATUS_SUCCESS);
    EXPECT_FALSE(device_->RemoteWakeupEnabled());

    // Vendor requests stall on a device that defines none.
    memset(&urb, 0, sizeof(urb));
    UCHAR byte = 0;
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE,
                          sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN, 0, 1, 0x8484, 0, &byte, nullptr, 1, nullptr);
    EXPECT_EQ(usb_test::SendSync(bus_.Pdo(), &urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);

    // A held IN transfer that is cancelled is gone from the device too.
    USBD_INTERFACE_LIST_ENTRY list[3];
    NTSTATUS status;
    PURB select = SelectBoth(&status, list);
    ASSERT_EQ(status, STATUS_SUCCESS);
    AsyncUrb held;
    usb_test::BuildBulk(held.urb, list[1].Interface->Pipes[1].PipeHandle, held.buffer, 384,
                        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    usb_test::SendAsync(bus_.Pdo(), held);
    ASSERT_EQ(device_->HeldCount(0x83), 1u);
    EXPECT_TRUE(IoCancelIrp(held.irp));
    EXPECT_EQ(held.status, STATUS_CANCELLED);
    EXPECT_EQ(device_->HeldCount(0x83), 0u);
    EXPECT_FALSE(device_->CompleteHeldIn(0x83, {1, 2, 3}));
    EXPECT_EQ(held.completions, 1);
    ExFreePool(select);
}

}  // namespace
