// A device model that answers a URB from a processor thread while the bus is still delivering
// it (as a host controller's completion may come before the submitting call has returned):
// every answer must reach the request, whichever moment it lands in.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "emu/kernel/io_manager.h"
#include "emu/kernel/kernel.h"
#include "emu/kernel/sched.h"
#include "emu/usb/usb_bus.h"
#include "tests/usb/urb_client.h"

namespace {

using emu::usb::UrbResult;
using emu::usb::UrbTransfer;

// Answers each URB from a processor thread that is already waiting for it, so the answer lands
// as close as possible after delivery, while the bus is still inside its dispatch routine.
class AnswerFromProcessor : public emu::usb::UsbDeviceModel {
  public:
    void Submit(const std::shared_ptr<UrbTransfer>& transfer) override {
        std::atomic_store(&delivered_, transfer);
    }
    // Queues the work that waits for the next delivery and answers it.
    void AnswerNext() {
        emu::QueueWork(
            [this] {
                std::shared_ptr<UrbTransfer> transfer;
                while ((transfer = std::atomic_exchange(&delivered_, {})) == nullptr) {
                    std::this_thread::yield();
                }
                transfer->Complete(UrbResult::Success());
            },
            "answer");
    }

  private:
    std::shared_ptr<UrbTransfer> delivered_;
};

constexpr int kRequests = 5000;

TEST(UsbBusConcurrencyTest, AnAnswerFromAnotherThreadDuringDeliveryIsNeverLost) {
    emu::Kernel kernel;
    const size_t live_before = emu::LiveIrpCount();
    {
        emu::usb::UsbBus bus;
        auto device = std::make_shared<AnswerFromProcessor>();
        bus.Attach(device);
        for (int i = 0; i < kRequests; ++i) {
            device->AnswerNext();
            usb_test::AsyncUrb request;
            usb_test::BuildBulk(request.urb, nullptr, request.buffer, 8,
                                USBD_TRANSFER_DIRECTION_IN);
            usb_test::SendAsync(bus.Pdo(), request);
            emu::Settle();
            ASSERT_EQ(request.completions, 1) << "request " << i;
            ASSERT_EQ(request.status, STATUS_SUCCESS) << "request " << i;
        }
        EXPECT_EQ(bus.PendingCount(), 0u);
    }
    EXPECT_EQ(emu::LiveIrpCount(), live_before);
}

}  // namespace
