// SubmitUrbSync and SetRemoteWakeupFeature against a bus that answers at once, later, or
// never, and with the request or the URB failing to be allocated.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "emu/kernel/io_manager.h"
#include "emu/kernel/pool.h"
#include "emu/kernel/sched.h"
#include "emu/usb/standard_device.h"
#include "tests/driver/support/driver_harness.h"
#include "usb/sync_request.h"

using namespace quella_test;
using emu::usb::UrbAction;
using emu::usb::UrbOutcome;
using emu::usb::UrbResult;

namespace {

class SyncRequestTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        Load();
        bus_ = &NewBus();
        port_ = AddPort(*bus_);
        ASSERT_NE(port_, nullptr);
    }

    // A standard GET_DESCRIPTOR (device) request into `buffer`.
    static void BuildDescriptorRead(URB* urb, UCHAR* buffer) {
        RtlZeroMemory(urb, sizeof(*urb));
        UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                     USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, NULL, 18, NULL);
    }

    NTSTATUS Submit() {
        BuildDescriptorRead(&urb_, buffer_);
        return SubmitUrbSync(port_, &urb_);
    }

    emu::usb::UsbBus* bus_ = nullptr;
    PDEVICE_OBJECT port_ = nullptr;
    URB urb_;
    UCHAR buffer_[18];
};

class SyncRequestConcurrency : public SyncRequestTest {};

}  // namespace

TEST_F(SyncRequestTest, AnsweredAtOnceOrLater) {
    size_t irps = emu::LiveIrpCount();

    // Answered while the request is still in the bus's hands: no wait at all.
    emu::Time start = emu::Now();
    EXPECT_EQ(Submit(), STATUS_SUCCESS);
    EXPECT_EQ(emu::Now(), start);

    // Answered after a second: the routine waits for it and returns its status.
    bus_->SetPolicy([](const emu::usb::UrbRecord&) { return UrbAction::After(emu::kSecond); });
    start = emu::Now();
    EXPECT_EQ(Submit(), STATUS_SUCCESS);
    EXPECT_EQ(emu::Now() - start, emu::kSecond);

    // A failure from below reaches the caller unchanged, at once or later, with the URB's own
    // status for the caller to read.
    bus_->SetPolicy([](const emu::usb::UrbRecord&) { return UrbAction::Fail(UrbResult::Stall()); });
    EXPECT_EQ(Submit(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(URB_STATUS(&urb_), USBD_STATUS_STALL_PID);
    bus_->SetPolicy([](const emu::usb::UrbRecord&) {
        return UrbAction::Fail(UrbResult::DeviceGone(), 2 * emu::kSecond);
    });
    EXPECT_EQ(Submit(), STATUS_DEVICE_NOT_CONNECTED);

    // Every request went down as an internal URB submission and was freed afterwards.
    std::vector<emu::usb::UrbRecord> log = bus_->Log();
    ASSERT_EQ(log.size(), 4u);
    for (const auto& record : log) {
        EXPECT_EQ(record.function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
        EXPECT_EQ(record.outcome, UrbOutcome::Completed);
    }
    EXPECT_EQ(emu::LiveIrpCount(), irps);
}

TEST_F(SyncRequestTest, NeverAnsweredTimesOutAfterThreeSeconds) {
    size_t irps = emu::LiveIrpCount();
    bus_->SetPolicy([](const emu::usb::UrbRecord&) { return UrbAction::Never(); });

    emu::Time start = emu::Now();
    EXPECT_EQ(Submit(), STATUS_IO_TIMEOUT);
    EXPECT_EQ(emu::Now() - start, 3 * emu::kSecond);

    // By the time the routine returned, the request had been cancelled and had completed, so
    // the URB is free for the caller.
    std::vector<emu::usb::UrbRecord> log = bus_->Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].outcome, UrbOutcome::Cancelled);
    EXPECT_EQ(log[0].status, STATUS_CANCELLED);
    EXPECT_EQ(log[0].finished - start, 3 * emu::kSecond);
    EXPECT_EQ(bus_->PendingCount(), 0u);
    EXPECT_EQ(emu::LiveIrpCount(), irps);
}

TEST_F(SyncRequestTest, RequestOrUrbThatCannotBeAllocated) {
    {
        emu::PoolFaultScope noIrps(emu::PoolFault::Every(emu::PoolTagIs(emu::kIrpPoolTag)));
        EXPECT_EQ(Submit(), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_GE(noIrps.Failed(), 1u);
    }
    {
        emu::PoolFaultScope noUrbs(emu::PoolFault::Every(emu::PoolTagIs(QUELLA_POOL_TAG)));
        EXPECT_EQ(SetRemoteWakeupFeature(port_, TRUE), STATUS_NO_MEMORY);
    }
    {
        emu::PoolFaultScope noIrps(emu::PoolFault::Every(emu::PoolTagIs(emu::kIrpPoolTag)));
        EXPECT_EQ(SetRemoteWakeupFeature(port_, TRUE), STATUS_INSUFFICIENT_RESOURCES);
    }
    // Nothing reached the bus and nothing of the driver's was left.
    EXPECT_TRUE(bus_->Log().empty());
    EXPECT_EQ(emu::PoolOutstandingCount(QUELLA_POOL_TAG), 2u);  // service path, port name
}

TEST_F(SyncRequestTest, RemoteWakeupFeatureOnTheWire) {
    // A device that honours the standard feature requests.
    emu::usb::DescriptorSet descriptors;
    descriptors.device = emu::usb::DeviceDescriptor(0, 64, 0x1234, 0x5678, 0x0100, 0, 0, 0);
    descriptors.configuration = emu::usb::ConfigurationDescriptor(
        {{0, 0, 0xFF, 0xFF, 0xFF, {{0x81, USB_ENDPOINT_TYPE_INTERRUPT, 10, 1}}}}, 0xA0);
    auto device = std::make_shared<emu::usb::StandardUsbDevice>(descriptors);
    bus_->Attach(device);

    EXPECT_EQ(SetRemoteWakeupFeature(port_, TRUE), STATUS_SUCCESS);
    EXPECT_TRUE(device->RemoteWakeupEnabled());
    EXPECT_EQ(SetRemoteWakeupFeature(port_, FALSE), STATUS_SUCCESS);
    EXPECT_FALSE(device->RemoteWakeupEnabled());

    // SET_FEATURE then CLEAR_FEATURE to the device, DEVICE_REMOTE_WAKEUP, no data.
    std::vector<emu::usb::UrbRecord> log = bus_->Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].function, URB_FUNCTION_SET_FEATURE_TO_DEVICE);
    EXPECT_EQ(log[1].function, URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE);
    const uint8_t requests[] = {3, 1};
    for (size_t i = 0; i < 2; ++i) {
        ASSERT_TRUE(log[i].setup.has_value());
        EXPECT_EQ(log[i].setup->bmRequestType, 0x00);
        EXPECT_EQ(log[i].setup->bRequest, requests[i]);
        EXPECT_EQ(log[i].setup->wValue, 1);
        EXPECT_EQ(log[i].setup->wIndex, 0);
        EXPECT_EQ(log[i].setup->wLength, 0);
    }

    // The device's refusal comes back as the request's status; the URB is freed either way.
    bus_->SetPolicy([](const emu::usb::UrbRecord&) { return UrbAction::Fail(UrbResult::Stall()); });
    EXPECT_EQ(SetRemoteWakeupFeature(port_, TRUE), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(emu::PoolOutstandingCount(QUELLA_POOL_TAG), 2u);  // service path, port name
}

// The answer and the time-out fall due at the same virtual instant: whichever wins, the
// routine must not touch the request after it was freed, and it frees it exactly once.
TEST_F(SyncRequestConcurrency, AnswerRacingTheTimeout) {
    size_t irps = emu::LiveIrpCount();
    bus_->SetPolicy([](const emu::usb::UrbRecord&) { return UrbAction::After(3 * emu::kSecond); });
    for (int round = 0; round < 20; ++round) {
        NTSTATUS status = Submit();
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_IO_TIMEOUT) << std::hex << status;
        EXPECT_EQ(bus_->PendingCount(), 0u);
    }
    EXPECT_EQ(emu::LiveIrpCount(), irps);
}

// Several threads share the routine; each gets its own answer.
TEST_F(SyncRequestConcurrency, ManyThreads) {
    bus_->SetPolicy([](const emu::usb::UrbRecord& record) {
        if (record.id % 5 == 0) {
            return UrbAction::Fail(UrbResult::Stall(), emu::kMillisecond);
        }
        return UrbAction::After((record.id % 3) * emu::kMillisecond);
    });
    std::atomic<int> successes{0}, failures{0};
    int finished = 0;  // dispatcher lock
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.push_back(emu::StartThread("submitter" + std::to_string(t), [&] {
            for (int i = 0; i < 25; ++i) {
                URB urb;
                UCHAR buffer[18];
                BuildDescriptorRead(&urb, buffer);
                NTSTATUS status = SubmitUrbSync(port_, &urb);
                if (status == STATUS_SUCCESS) {
                    ++successes;
                } else if (status == STATUS_UNSUCCESSFUL) {
                    ++failures;
                }
            }
            std::unique_lock<std::mutex> lock = emu::DispatcherLock();
            ++finished;
            emu::WakeAll();
        }));
    }
    {
        // The main thread waits as an emulated thread, so that the clock can run.
        std::unique_lock<std::mutex> lock = emu::DispatcherLock();
        emu::BlockUntil(lock, "submitters", [&] { return finished == 4; });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(successes, 80);
    EXPECT_EQ(failures, 20);
}
