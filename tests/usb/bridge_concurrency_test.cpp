// The bridge chip answering from several threads at once: requests delivered on processor
// threads, unanswered requests cancelled while others are answered, and the chip's state and
// violation list staying whole.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "emu/kernel/sched.h"
#include "tests/usb/bridge_client.h"

namespace {

using emu::kMillisecond;
using emu::usb::ControlFault;
using emu::usb::RequestFilter;

constexpr int kThreads = 3;
constexpr int kRounds = 30;

TEST(BridgeChipConcurrencyTest, ThreadsSharingTheChipEachGetTheirOwnAnswers) {
    emu::Kernel kernel;
    emu::usb::UsbBus bus;
    emu::usb::BridgeChipOptions options;
    options.generation = 3;
    auto chip = std::make_shared<emu::usb::BridgeChip>(options);
    bus.Attach(chip);
    // Every other request is delivered later, on a processor thread.
    bus.SetPolicy([](const emu::usb::UrbRecord& request) {
        return request.id % 2 == 0 ? emu::usb::UrbAction::After(kMillisecond)
                                   : emu::usb::UrbAction::Now();
    });
    // Break requests are never answered: each ends by its 3-second time-out.
    chip->InjectFault(ControlFault::NoAnswer(RequestFilter::Class(0x23)));

    std::atomic<int> wrong{0};
    std::atomic<int> timed_out{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.push_back(emu::StartThread("client" + std::to_string(t), [&, t] {
            const auto code = static_cast<uint16_t>(0x0C0C + 0x0101 * t);  // 0x0C, 0x0D, 0x0E
            for (int round = 0; round < kRounds; ++round) {
                const auto word = static_cast<uint16_t>(t << 8 | round);
                if (!NT_SUCCESS(bridge_test::VendorWrite(bus.Pdo(), code, word).status)) {
                    wrong.fetch_add(1);
                }
                std::vector<uint8_t> back =
                    bridge_test::VendorRead(bus.Pdo(), code | 0x8080, t == 2 ? 1 : 2).data;
                // Only this thread writes its code, so it reads back its own word.
                if (back.empty() || back[0] != (word & 0xFF)) {
                    wrong.fetch_add(1);
                }
                bridge_test::LineCoding(bus.Pdo(), 9600 * (t + 1));
                if (round % 10 == 0 &&
                    bridge_test::ClassWrite(bus.Pdo(), 0x23, 0xFFFF).status == STATUS_IO_TIMEOUT) {
                    timed_out.fetch_add(1);
                }
            }
        }));
    }
    for (std::thread& thread : threads) {
        emu::JoinThread(thread);
    }
    emu::Settle();

    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(timed_out, kThreads * (kRounds / 10));
    EXPECT_EQ(chip->UnansweredCount(), 0u);
    EXPECT_EQ(chip->LineCoding().count, kThreads * kRounds);
    EXPECT_EQ(chip->BreakRequests(), 0);
    EXPECT_EQ(chip->ChipWord(0x0D), 1 << 8 | (kRounds - 1));
    EXPECT_EQ(bus.PendingCount(), 0u);
    ExpectNoChipViolations(*chip);
}

}  // namespace
