// Stopping pipes above a lower driver that ends a cancelled request only later, as a host
// controller does (it first takes the transfer off its schedule): StopPipe must not return while
// a completion may still come, because its callers go on to free what the completions use (the
// interface copies at a new configuration, the port at removal).
#include "emu/kernel/sched.h"
#include "tests/pipes/support/pipe_fixture.h"
#include "usb/configure.h"

namespace quella_test {
namespace {

using emu::usb::kBridgeInterruptIn;
using emu::usb::kLineCts;

// A lower device that pends every URB; a cancel ends the request 20 ms later on a processor
// thread, with nothing moved.
constexpr emu::Time kCancelDelay = 200000;

VOID NTAPI LateCancel(PDEVICE_OBJECT, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    emu::ScheduleWork(
        emu::Now() + kCancelDelay,
        [Irp] {
            PURB urb =
                static_cast<PURB>(IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1);
            urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
            Irp->IoStatus.Status = STATUS_CANCELLED;
            Irp->IoStatus.Information = 0;
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
        },
        "late cancel");
}

class SlowCancelTest : public PipeTest {
  protected:
    // Puts the slow lower device under the port in place of the bus.
    void UseSlowLowerDevice() {
        slow_ = emu::CreatePhysicalDevice([](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, LateCancel);
            return STATUS_PENDING;
        });
        bus_lower_ = port_->LowerDeviceObject;
        port_->LowerDeviceObject = slow_;
    }
    void TearDown() override {
        if (slow_ != nullptr) {
            StopAllPipes(port_);
            emu::Settle();
            port_->LowerDeviceObject = bus_lower_;
            emu::DeletePhysicalDevice(slow_);
        }
        PipeTest::TearDown();
    }

    PDEVICE_OBJECT slow_ = nullptr;
    PDEVICE_OBJECT bus_lower_ = nullptr;
};

TEST_F(SlowCancelTest, StopPipeReturnsOnlyOnceTheCancelledTransfersHaveCompleted) {
    PlugOpen();
    UseSlowLowerDevice();
    const size_t irps = LiveIrps();
    const size_t pool = DriverPool();
    const UCHAR bytes[2] = {1, 2};
    ArmInputPipes(device_);
    ASSERT_EQ(StartPipeTransfer(device_, PIPE_BULK_OUT, bytes, 2, CARGO_WRITE), STATUS_PENDING);
    ASSERT_EQ(SendCharacter(device_, 0x13), STATUS_PENDING);
    emu::Settle();
    ASSERT_EQ(port_->PendingWriteTransfers, 2);

    // Each pipe on its own: when StopPipe is back, its transfers are gone, freed, and counted.
    const emu::Time before = emu::Now();
    StopPipe(port_, PIPE_INTERRUPT_IN);
    EXPECT_FALSE(PipeTransferInFlight(port_, PIPE_INTERRUPT_IN));
    EXPECT_GE(emu::Now() - before, kCancelDelay);
    StopPipe(port_, PIPE_BULK_OUT);
    EXPECT_FALSE(PipeTransferInFlight(port_, PIPE_BULK_OUT));
    EXPECT_EQ(port_->PendingWriteTransfers, 0);
    StopPipe(port_, PIPE_BULK_IN);
    EXPECT_TRUE(IsListEmpty(&port_->PipeTransfers));
    EXPECT_EQ(LiveIrps(), irps);
    EXPECT_EQ(DriverPool(), pool);

    // Nothing in flight: StopPipe returns at once. At DISPATCH_LEVEL it neither cancels nor
    // waits.
    const emu::Time idle = emu::Now();
    StopAllPipes(port_);
    EXPECT_EQ(emu::Now(), idle);
    ArmInputPipes(device_);
    AtDispatchLevel([&] { StopAllPipes(port_); });
    EXPECT_TRUE(PipeTransferInFlight(port_, PIPE_INTERRUPT_IN));
    EXPECT_TRUE(PipeTransferInFlight(port_, PIPE_BULK_IN));
}

// A new configuration (a restart) while the status read is still polling on the old pipes: the
// read is stopped, and has ended, before the old interface copies go.
TEST_F(PipeTest, ANewConfigurationStopsTransfersOnTheOldPipesFirst) {
    PlugOpen();
    port_->OpenCount = 0;  // closed: the status read goes on polling
    ArmInputPipes(device_);
    emu::Settle();
    ASSERT_TRUE(PipeTransferInFlight(port_, PIPE_INTERRUPT_IN));

    ASSERT_EQ(ConfigureDevice(device_), STATUS_SUCCESS);
    EXPECT_NE(port_->InterfaceInfo0, nullptr);
    for (ULONG pipe = 0; pipe < PIPE_COUNT; ++pipe) {
        EXPECT_FALSE(PipeTransferInFlight(port_, pipe)) << "pipe " << pipe;
    }
    EXPECT_TRUE(IsListEmpty(&port_->PipeTransfers));

    // Arming (open, power-up) starts the input pipes on the new configuration.
    ArmInputPipes(device_);
    chip_->SetModemLines(kLineCts);
    emu::Settle();
    EXPECT_EQ(port_->LineStateWord, kLineCts);
    EXPECT_TRUE(PipeTransferInFlight(port_, PIPE_INTERRUPT_IN));
    EXPECT_EQ(Transfers(kBridgeInterruptIn).size(), 3u);
}

}  // namespace
}  // namespace quella_test
