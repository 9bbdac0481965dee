// InitPortObjects: the defaults of every start, what survives a restart, and that every DPC
// and timer object is ready and ends its deferred work.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "driver/add_device.h"
#include "emu/kernel/sched.h"
#include "tests/driver/support/driver_harness.h"

using namespace quella_test;

namespace {

class PortObjectsTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        Load();
        port_ = AddPort(NewBus());
        ASSERT_NE(port_, nullptr);
        Port = PortOf(port_);
        ASSERT_EQ(InitPortObjects(port_), STATUS_SUCCESS);
    }

    PDEVICE_OBJECT port_ = nullptr;
    PSERIAL_PORT_EXTENSION Port = nullptr;
};

}  // namespace

TEST_F(PortObjectsTest, DefaultsOfAStart) {
    EXPECT_EQ(Port->IntervalPollShort.QuadPart, -1);
    EXPECT_EQ(Port->IntervalPollLong.QuadPart, -10000000);
    EXPECT_EQ(Port->IntervalPollCutover.QuadPart, 200000000);
    EXPECT_EQ(Port->TxFifo, 1u);
    EXPECT_EQ(Port->RxFifo, 0);
    EXPECT_EQ(Port->HandFlow.ControlHandShake, ULONG(SERIAL_DTR_CONTROL));
    EXPECT_EQ(Port->HandFlow.FlowReplace, ULONG(SERIAL_RTS_CONTROL));
    EXPECT_EQ(Port->SpecialChars.XonChar, 0x11);
    EXPECT_EQ(Port->SpecialChars.XoffChar, 0x13);
    EXPECT_EQ(Port->LineControl, 0x1A);  // 7 data bits, even parity, one stop bit
    EXPECT_EQ(Port->ValidDataMask, 0x7F);
    EXPECT_EQ(Port->CurrentBaudRate, 0u);
    EXPECT_EQ(Port->SupportedBauds, 0x10067FF9u);
    EXPECT_EQ(Port->PortIsOpen, 0);

    // Before the first open the ring has no size, so the limits derived from it are 0.
    EXPECT_EQ(Port->HandFlow.XonLimit, 0);
    EXPECT_EQ(Port->HandFlow.XoffLimit, 0);
    EXPECT_EQ(Port->RxNearFull, 0u);

    // Later starts derive them from the ring size in force (integer divisions).
    struct {
        ULONG size;
        LONG xon, xoff;
        ULONG nearFull;
    } const rings[] = {
        {4096, 2048, 512, 3328}, {1024, 512, 128, 832}, {128, 64, 16, 104}, {1000, 500, 125, 812}};
    for (const auto& ring : rings) {
        Port->RxBufferSize = ring.size;
        ASSERT_EQ(InitPortObjects(port_), STATUS_SUCCESS);
        EXPECT_EQ(Port->HandFlow.XonLimit, ring.xon) << ring.size;
        EXPECT_EQ(Port->HandFlow.XoffLimit, ring.xoff) << ring.size;
        EXPECT_EQ(Port->RxNearFull, ring.nearFull) << ring.size;
    }
    Port->RxBufferSize = 0;
}

TEST_F(PortObjectsTest, RestartReloadsDefaultsButKeepsTimeouts) {
    // What an application might have set before a stop.
    SERIAL_TIMEOUTS timeouts = {10, 20, 30, 40, 50};
    Port->Timeouts = timeouts;
    Port->SpecialChars = {0x1A, 0x3F, 0x00, 0x7E, 0x01, 0x02};
    Port->HandFlow = {SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 7, 9};
    Port->LineControl = 0x03;
    Port->ValidDataMask = 0xFF;
    Port->CurrentBaudRate = 115200;
    Port->PortIsOpen = TRUE;

    ASSERT_EQ(InitPortObjects(port_), STATUS_SUCCESS);

    EXPECT_EQ(Port->Timeouts.ReadIntervalTimeout, 10u);
    EXPECT_EQ(Port->Timeouts.WriteTotalTimeoutConstant, 50u);
    EXPECT_EQ(Port->SpecialChars.EofChar, 0x1A);
    EXPECT_EQ(Port->SpecialChars.ErrorChar, 0x3F);
    EXPECT_EQ(Port->SpecialChars.EventChar, 0x7E);
    EXPECT_EQ(Port->SpecialChars.XonChar, 0x11);
    EXPECT_EQ(Port->SpecialChars.XoffChar, 0x13);
    EXPECT_EQ(Port->HandFlow.ControlHandShake, ULONG(SERIAL_DTR_CONTROL));
    EXPECT_EQ(Port->HandFlow.FlowReplace, ULONG(SERIAL_RTS_CONTROL));
    EXPECT_EQ(Port->LineControl, 0x1A);
    EXPECT_EQ(Port->ValidDataMask, 0x7F);
    EXPECT_EQ(Port->CurrentBaudRate, 0u);
    EXPECT_EQ(Port->PortIsOpen, 0);
}

// Each of the thirteen DPC objects runs with the port as context, and its routine gives back
// the deferred-work reference its queuer took; the last one signals the idle event. The six
// timers are ready too: each fires the DPC it is set with.
TEST_F(PortObjectsTest, EveryDpcEndsItsDeferredWork) {
    PKDPC dpcs[] = {&Port->WriteDoneDpc,         &Port->ReadDoneDpc,
                    &Port->ReadTotalTimeoutDpc,  &Port->ReadIntervalTimeoutDpc,
                    &Port->WriteTotalTimeoutDpc, &Port->LineErrorDpc,
                    &Port->ImmediateDoneDpc,     &Port->ImmediateTimeoutDpc,
                    &Port->WaitDoneDpc,          &Port->XoffCountTimeoutDpc,
                    &Port->XoffCountDoneDpc,     &Port->RtsLowerStartDpc,
                    &Port->RtsLowerDpc};
    uint64_t ranBefore = emu::DpcsRun();
    for (PKDPC dpc : dpcs) {
        EXPECT_EQ(dpc->DeferredContext, Port);
        InterlockedIncrement(&Port->DeferredWorkCount);
        EXPECT_TRUE(KeInsertQueueDpc(dpc, nullptr, nullptr));
    }
    emu::Settle();
    EXPECT_EQ(emu::DpcsRun() - ranBefore, 13u);
    EXPECT_EQ(Port->DeferredWorkCount, 1);
    EXPECT_EQ(KeReadStateEvent(&Port->DeferredWorkIdleEvent), 0);

    PKTIMER timers[] = {&Port->ReadTotalTimer, &Port->ReadIntervalTimer, &Port->WriteTotalTimer,
                        &Port->ImmediateTimer, &Port->XoffCountTimer,    &Port->RtsLowerTimer};
    for (size_t i = 0; i < 6; ++i) {
        LARGE_INTEGER due;
        due.QuadPart = -LONGLONG(i + 1) * 10000;  // 1 ms, 2 ms, ...
        InterlockedIncrement(&Port->DeferredWorkCount);
        EXPECT_FALSE(KeSetTimer(timers[i], due, dpcs[i]));
    }
    // The port lets go of its own reference, as close does; the last DPC then signals.
    InterlockedDecrement(&Port->DeferredWorkCount);
    emu::AdvanceTime(6 * emu::kMillisecond);
    EXPECT_EQ(Port->DeferredWorkCount, 0);
    EXPECT_EQ(KeReadStateEvent(&Port->DeferredWorkIdleEvent), 1);
}

// A restart runs InitPortObjects while requests are still admitted, so another thread may hold
// one of the port's spin locks at that moment; the restart must leave the locks alone (the
// platform reports re-initializing a held lock).
TEST_F(PortObjectsTest, RestartLeavesLocksThatAreHeldAlone) {
    std::atomic<bool> holding{false}, release{false};
    std::thread holder = emu::StartThread("holder", [&] {
        KIRQL old;
        KeAcquireSpinLock(&Port->AcceptLock, &old);
        holding = true;
        while (!release) {
            std::this_thread::yield();
        }
        KeReleaseSpinLock(&Port->AcceptLock, old);
    });
    while (!holding) {
        std::this_thread::yield();
    }
    EXPECT_EQ(InitPortObjects(port_), STATUS_SUCCESS);
    release = true;
    emu::JoinThread(holder);
}
