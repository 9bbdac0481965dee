// Completion and cancellation racing on the USB bus: every request ends exactly once, whoever
// gets there first.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "emu/kernel/io_manager.h"
#include "emu/kernel/kernel.h"
#include "emu/kernel/sched.h"
#include "emu/usb/standard_device.h"
#include "emu/usb/usb_bus.h"
#include "tests/usb/urb_client.h"

namespace {

using emu::kMillisecond;
using emu::usb::UrbAction;
using emu::usb::UrbRecord;
using emu::usb::UrbResult;
using usb_test::AsyncUrb;

constexpr int kRequests = 120;

TEST(UsbBusConcurrencyTest, DelayedCompletionsRacingCancellationEndEachRequestOnce) {
    emu::Kernel kernel;
    const size_t live_before = emu::LiveIrpCount();
    {
        emu::usb::UsbBus bus;
        std::atomic<int> delivered{0};
        bus.Attach(std::make_shared<emu::usb::FunctionDeviceModel>([&](URB&, const auto&) {
            delivered.fetch_add(1);
            return UrbResult::Success();
        }));
        bus.SetPolicy([](const UrbRecord& request) {
            return UrbAction::After(static_cast<emu::Time>(request.id % 4) * kMillisecond);
        });

        std::vector<std::unique_ptr<AsyncUrb>> requests;
        for (int i = 0; i < kRequests; ++i) {
            requests.push_back(std::make_unique<AsyncUrb>());
            usb_test::BuildBulk(requests.back()->urb, nullptr, requests.back()->buffer, 8,
                                USBD_TRANSFER_DIRECTION_IN);
            usb_test::SendAsync(bus.Pdo(), *requests.back());
            // Cancel some while processors are completing others that are due now.
            if (i % 3 == 0) {
                IoCancelIrp(requests[i / 2]->irp);
            }
            if (i % 10 == 0) {
                emu::AdvanceTime(kMillisecond);
            }
        }
        emu::AdvanceTime(10 * kMillisecond);

        int succeeded = 0;
        int cancelled = 0;
        for (auto& request : requests) {
            ASSERT_EQ(request->completions, 1);
            if (request->status == STATUS_SUCCESS) {
                EXPECT_EQ(request->irql, DISPATCH_LEVEL);  // a processor's completion
                ++succeeded;
            } else {
                EXPECT_EQ(request->status, STATUS_CANCELLED);
                ++cancelled;
            }
        }
        EXPECT_EQ(succeeded, delivered);
        EXPECT_EQ(succeeded + cancelled, kRequests);
        EXPECT_EQ(bus.PendingCount(), 0u);
    }
    EXPECT_EQ(emu::LiveIrpCount(), live_before);
}

TEST(UsbBusConcurrencyTest, DataArrivingOnAnotherThreadRacesCancellation) {
    emu::Kernel kernel;
    emu::usb::DescriptorSet set;
    set.device = emu::usb::DeviceDescriptor(0xFF, 64, 0xFFFF, 0x5101, 0x0300, 0, 0, 0);
    set.configuration = emu::usb::ConfigurationDescriptor(
        {{0, 0, 0xFF, 0xFF, 0xFF, {{0x83, USB_ENDPOINT_TYPE_BULK, 64, 0}}}});
    std::vector<uint8_t> config = set.configuration;
    auto device = std::make_shared<emu::usb::StandardUsbDevice>(set);
    emu::usb::UsbBus bus;
    bus.Attach(device);
    USHORT size;
    PURB select = USBD_CreateConfigurationRequest(
        reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data()), &size);
    ASSERT_EQ(usb_test::SendSync(bus.Pdo(), select), STATUS_SUCCESS);
    USBD_PIPE_HANDLE pipe = select->UrbSelectConfiguration.Interface.Pipes[0].PipeHandle;
    ExFreePool(select);

    std::vector<std::unique_ptr<AsyncUrb>> requests;
    for (int i = 0; i < kRequests; ++i) {
        requests.push_back(std::make_unique<AsyncUrb>());
        usb_test::BuildBulk(requests.back()->urb, pipe, requests.back()->buffer, 64,
                            USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
        usb_test::SendAsync(bus.Pdo(), *requests.back());
    }
    ASSERT_EQ(device->HeldCount(0x83), static_cast<size_t>(kRequests));

    // The device delivers data from its own thread while the main thread cancels everything.
    std::atomic<int> delivered{0};
    std::thread feeder = emu::StartThread("feeder", [&] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        while (device->CompleteHeldIn(0x83, {0x55, 0x66})) {
            delivered.fetch_add(1);
        }
        KeLowerIrql(old);
    });
    int cancelled_by_us = 0;
    for (auto& request : requests) {
        cancelled_by_us += IoCancelIrp(request->irp) ? 1 : 0;
    }
    emu::JoinThread(feeder);
    emu::Settle();

    int succeeded = 0;
    for (auto& request : requests) {
        ASSERT_EQ(request->completions, 1);
        if (request->status == STATUS_SUCCESS) {
            ++succeeded;
            EXPECT_EQ(request->urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 2u);
            EXPECT_EQ(request->buffer[0], 0x55);
        } else {
            EXPECT_EQ(request->status, STATUS_CANCELLED);
        }
    }
    EXPECT_EQ(succeeded, delivered);
    EXPECT_EQ(succeeded + cancelled_by_us, kRequests);
    EXPECT_EQ(device->HeldCount(0x83), 0u);
    EXPECT_EQ(bus.PendingCount(), 0u);
}

}  // namespace
