// Stop and restart: requests arriving between a query-stop and the stop are held and replayed
// at the restart; cancel-stop; refusals while an application has the port open.
//
// The request used is a read: its dispatch routine is not built yet, so once admitted it is
// refused with STATUS_INVALID_DEVICE_REQUEST, which shows it reached the dispatch routine.
#include "requests/engine.h"
#include "tests/lifecycle/lifecycle_fixture.h"

namespace quella_test {
namespace {

using emu::app::Operation;
using emu::app::Request;
using emu::app::Submit;

constexpr NTSTATUS kDispatched = STATUS_INVALID_DEVICE_REQUEST;

class StopTest : public LifecycleTest {
  protected:
    void SetUp() override {
        LifecycleTest::SetUp();
        bus_ = &NewChipBus();
        device_ = Plug(*bus_);
        ASSERT_NE(device_, nullptr);
        // The admission flags and counts have no outside view.
        port_ = PortOf(device_);
        file_ = FileOn(device_);
    }
    NTSTATUS Pnp(UCHAR minor) { return emu::SendPnp(bus_->Pdo(), minor).status; }

    emu::usb::UsbBus* bus_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PSERIAL_PORT_EXTENSION port_ = nullptr;
    std::shared_ptr<emu::app::FileState> file_;
};

TEST_F(StopTest, RequestsHeldWhileStopPendingReplayAtRestart) {
    ASSERT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(port_->PnpState, PNP_STATE_STOP_PENDING);
    Operation first = Submit(file_, Request::Read(4));
    Operation second = Submit(file_, Request::Write("ab", 2));
    EXPECT_EQ(first.DispatchStatus(), STATUS_PENDING);
    EXPECT_FALSE(first.Done());
    EXPECT_FALSE(second.Done());
    // Held requests are not counted: the stop does not wait for them.
    EXPECT_EQ(port_->ActiveRequestCount, 1);

    ASSERT_EQ(Pnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(first.Done());
    // A request arriving after the stop is admitted at once.
    EXPECT_EQ(Submit(file_, Request::Read(1)).Wait().status, kDispatched);

    ASSERT_EQ(emu::PnpStart(bus_->Pdo()), STATUS_SUCCESS);
    ASSERT_TRUE(first.Done());
    ASSERT_TRUE(second.Done());
    EXPECT_EQ(first.Wait().status, kDispatched);
    EXPECT_EQ(second.Wait().status, kDispatched);
    EXPECT_TRUE(IsListEmpty(&port_->HeldRequestQueue));
    EXPECT_EQ(port_->ActiveRequestCount, 1);
    EXPECT_EQ(port_->DeferredWorkCount, 1);
}

TEST_F(StopTest, CancelStopReleasesHeldRequestsAndStartedStateReturns) {
    ASSERT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    Operation held = Submit(file_, Request::Read(4));
    EXPECT_FALSE(held.Done());

    ASSERT_EQ(Pnp(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(port_->PnpState, PNP_STATE_STARTED);
    EXPECT_EQ(port_->AcceptFlags, 0u);
    // No restart follows a cancelled stop; the held request must not wait for one.
    ASSERT_TRUE(held.Done());
    EXPECT_EQ(held.Wait().status, kDispatched);
    EXPECT_EQ(Submit(file_, Request::Read(1)).Wait().status, kDispatched);

    // A cancel-stop without a query before it changes nothing.
    ASSERT_EQ(Pnp(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(port_->PnpState, PNP_STATE_STARTED);
}

TEST_F(StopTest, HeldRequestCancelledByItsIssuerCompletesOnce) {
    ASSERT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    Operation cancelled = Submit(file_, Request::Read(4));
    Operation kept = Submit(file_, Request::Read(2));
    EXPECT_TRUE(cancelled.Cancel());
    ASSERT_TRUE(cancelled.Done());
    EXPECT_EQ(cancelled.Wait().status, STATUS_CANCELLED);
    EXPECT_FALSE(kept.Done());
    // A second cancel finds nothing to cancel.
    EXPECT_FALSE(cancelled.Cancel());

    ASSERT_EQ(Pnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(emu::PnpStart(bus_->Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(kept.Wait().status, kDispatched);
    EXPECT_EQ(cancelled.Wait().status, STATUS_CANCELLED);
}

// A replayed request must find the port as a request arriving after the start would: the chip
// identified again and its pipes selected. The read dispatch is swapped for one that notes
// what it finds.
LONG g_chip_type_at_dispatch = -2;

NTSTATUS NTAPI NotingRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    NTSTATUS status = AdmitRequest(DeviceObject, Irp, TRUE);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    g_chip_type_at_dispatch = PortOf(DeviceObject)->ChipType;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    EndRequest(PortOf(DeviceObject));
    return STATUS_SUCCESS;
}

TEST_F(StopTest, HeldRequestsReplayOnlyOnceTheChipIsIdentifiedAgain) {
    LONG identified = port_->ChipType;
    ASSERT_GE(identified, 0);
    PDRIVER_DISPATCH& read = device_->DriverObject->MajorFunction[IRP_MJ_READ];
    PDRIVER_DISPATCH original = read;
    read = NotingRead;

    ASSERT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    Operation held = Submit(file_, Request::Read(4));
    EXPECT_FALSE(held.Done());
    ASSERT_EQ(Pnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(emu::PnpStart(bus_->Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(held.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(g_chip_type_at_dispatch, identified);

    // A restart that fails (the chip no longer answers its descriptors) replays nothing: the
    // held request waits for the removal that follows, which cancels it.
    ASSERT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    g_chip_type_at_dispatch = -2;
    Operation stranded = Submit(file_, Request::Read(4));
    ASSERT_EQ(Pnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    chip_->InjectFault(emu::usb::ControlFault::Stall(
        emu::usb::RequestFilter::Descriptor(USB_DEVICE_DESCRIPTOR_TYPE)));
    EXPECT_NE(emu::PnpStart(bus_->Pdo()), STATUS_SUCCESS);
    EXPECT_FALSE(stranded.Done());
    EXPECT_EQ(g_chip_type_at_dispatch, -2);
    read = original;
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    Forget(device_);
    EXPECT_EQ(stranded.Wait().status, STATUS_CANCELLED);
}

// The open request is not built yet: PortIsOpen is set as a successful open would.
TEST_F(StopTest, OpenPortRefusesQueryStopAndQueryRemove) {
    port_->PortIsOpen = TRUE;
    EXPECT_EQ(emu::PnpStop(bus_->Pdo()), STATUS_DEVICE_BUSY);
    EXPECT_EQ(port_->PnpState, PNP_STATE_STARTED);
    EXPECT_EQ(emu::PnpRemove(bus_->Pdo()), STATUS_DEVICE_BUSY);
    EXPECT_EQ(port_->PnpState, PNP_STATE_STARTED);
    EXPECT_EQ(port_->AcceptFlags, 0u);
    EXPECT_EQ(port_->ActiveRequestCount, 1);
    EXPECT_EQ(Submit(file_, Request::Read(1)).Wait().status, kDispatched);
    port_->PortIsOpen = FALSE;
}

TEST_F(StopTest, CancelledRemovalReturnsToTheStateBeforeTheQuery) {
    ASSERT_EQ(Pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(port_->PnpState, PNP_STATE_REMOVE_PENDING);
    EXPECT_EQ(Submit(file_, Request::Read(1)).Wait().status, STATUS_DELETE_PENDING);
    ASSERT_EQ(Pnp(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(port_->PnpState, PNP_STATE_STARTED);
    EXPECT_EQ(Submit(file_, Request::Read(1)).Wait().status, kDispatched);

    // A stopped port stays stopped over a cancelled removal.
    ASSERT_EQ(emu::PnpStop(bus_->Pdo()), STATUS_SUCCESS);
    ASSERT_EQ(Pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(Pnp(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(port_->PnpState, PNP_STATE_STOPPED);
    // ... and a query-stop on a port that is not started goes to the bus driver (which
    // answers it) without a change here.
    EXPECT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(port_->PnpState, PNP_STATE_STOPPED);
    EXPECT_EQ(port_->AcceptFlags, ACCEPT_STOPPED);
}

TEST_F(StopTest, NeverStartedPortStaysUnstartedOverACancelledRemoval) {
    emu::usb::UsbBus& bus = NewChipBus(u"COM8");
    PDEVICE_OBJECT device = AddPort(bus);
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(emu::SendPnp(bus.Pdo(), IRP_MN_QUERY_REMOVE_DEVICE).status, STATUS_SUCCESS);
    ASSERT_EQ(emu::SendPnp(bus.Pdo(), IRP_MN_CANCEL_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(PortOf(device)->PnpState, PNP_STATE_NEVER_STARTED);
}

}  // namespace
}  // namespace quella_test
