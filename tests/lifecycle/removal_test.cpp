// Removal: orderly removal, surprise removal followed by removal, and removal waiting for the
// requests still inside the driver.
#include <mutex>
#include <vector>

#include "emu/kernel/io_manager.h"
#include "emu/kernel/pool.h"
#include "emu/kernel/sched.h"
#include "requests/engine.h"
#include "usb/control_async.h"
#include "tests/lifecycle/lifecycle_fixture.h"

namespace quella_test {
namespace {

using emu::app::Operation;
using emu::app::Request;
using emu::app::Submit;

// Requests the test puts into the port's current-request slots, as the data path will once it
// exists. Each is admitted (counted) like a real request; its cancel routine records the order
// and ends its count.
std::mutex g_mutex;
std::vector<PIRP> g_cancelled;

VOID NTAPI RecordCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_cancelled.push_back(Irp);
    }
    EndRequest(PortOf(DeviceObject));
}

class RemovalTest : public LifecycleTest {
  protected:
    void SetUp() override {
        LifecycleTest::SetUp();
        g_cancelled.clear();
        bus_ = &NewChipBus();
        device_ = Plug(*bus_);
        ASSERT_NE(device_, nullptr);
        // The slots, flags and counts have no outside view.
        port_ = PortOf(device_);
        file_ = FileOn(device_);
    }
    void TearDown() override {
        for (PIRP irp : made_) {
            IoFreeIrp(irp);
        }
        LifecycleTest::TearDown();
    }

    // An admitted request standing in a slot with RecordCancel as its cancel routine.
    PIRP Current(PIRP* slot) {
        PIRP irp = IoAllocateIrp(device_->StackSize, FALSE);
        made_.push_back(irp);
        IoSetNextIrpStackLocation(irp);
        IoGetCurrentIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoGetCurrentIrpStackLocation(irp)->DeviceObject = device_;
        EXPECT_EQ(BeginRequest(irp, port_), STATUS_SUCCESS);
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        *slot = irp;
        IoSetCancelRoutine(irp, RecordCancel);
        IoReleaseCancelSpinLock(irql);
        return irp;
    }

    emu::usb::UsbBus* bus_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PSERIAL_PORT_EXTENSION port_ = nullptr;
    std::shared_ptr<emu::app::FileState> file_;
    std::vector<PIRP> made_;
};

TEST_F(RemovalTest, SurpriseRemovalCancelsEverythingAndRemovalDoesNotTearDownTwice) {
    PIRP write = Current(&port_->CurrentWriteRequest);
    PIRP read = Current(&port_->CurrentReadRequest);
    PIRP purge = Current(&port_->CurrentPurgeRequest);
    PIRP mask = Current(&port_->CurrentMaskRequest);
    PIRP wait = Current(&port_->CurrentWaitRequest);
    EXPECT_EQ(port_->ActiveRequestCount, 6);
    ASSERT_EQ(emu::SendPnp(bus_->Pdo(), IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    Operation held = Submit(file_, Request::Read(4));
    EXPECT_FALSE(held.Done());
    // A receive ring, as an open leaves it.
    port_->RxBuffer =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 128, QUELLA_POOL_TAG));
    port_->RxBufferSize = 128;

    ASSERT_EQ(emu::SendPnp(bus_->Pdo(), IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
    std::vector<PIRP> expected = {write, read, purge, mask, wait};
    EXPECT_EQ(g_cancelled, expected);
    ASSERT_TRUE(held.Done());
    EXPECT_EQ(held.Wait().status, STATUS_CANCELLED);
    EXPECT_TRUE(wait->Cancel);
    EXPECT_EQ(port_->RxBuffer, nullptr);
    EXPECT_EQ(port_->RxBufferSize, 0u);
    EXPECT_EQ(port_->ActiveRequestCount, 1);
    EXPECT_EQ(port_->DeferredWorkCount, 1);
    EXPECT_TRUE(port_->AcceptFlags & ACCEPT_SURPRISE_REMOVED);
    // Torn down: no names, no WMI registration; the device object stays until removal.
    EXPECT_EQ(emu::ResolveApplicationName("COM5"), nullptr);
    EXPECT_FALSE(SerialCommValue(device_).has_value());
    EXPECT_FALSE(emu::WmiRegistered(device_));
    EXPECT_TRUE(emu::DeviceExists(device_));
    EXPECT_EQ(Submit(file_, Request::Read(1)).Wait().status, STATUS_DELETE_PENDING);

    // A name that shows up again under the same link (another device took COM5 meanwhile)
    // must survive this port's removal.
    static WCHAR linkText[] = L"\\DosDevices\\COM5";
    static WCHAR targetText[] = L"\\Device\\Elsewhere";
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, linkText);
    RtlInitUnicodeString(&target, targetText);
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);

    ASSERT_EQ(emu::SendPnp(bus_->Pdo(), IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    Forget(device_);
    EXPECT_FALSE(emu::DeviceExists(device_));
    EXPECT_EQ(g_cancelled.size(), 5u);
    EXPECT_EQ(emu::SymbolicLinkTarget("\\DosDevices\\COM5"), "\\Device\\Elsewhere");
    IoDeleteSymbolicLink(&link);
    EXPECT_TRUE(Unload());
}

TEST_F(RemovalTest, RemovalWaitsForRequestsStillInsideTheDriver) {
    // A request inside the driver: admitted and not yet ended.
    PIRP inside = IoAllocateIrp(device_->StackSize, FALSE);
    made_.push_back(inside);
    IoSetNextIrpStackLocation(inside);
    IoGetCurrentIrpStackLocation(inside)->MajorFunction = IRP_MJ_READ;
    ASSERT_EQ(BeginRequest(inside, port_), STATUS_SUCCESS);

    NTSTATUS removal = STATUS_PENDING;
    PDEVICE_OBJECT pdo = bus_->Pdo();
    std::thread pnp = emu::StartThread("pnp", [&] { removal = emu::PnpRemove(pdo); });
    emu::AdvanceTime(emu::kSecond);
    EXPECT_TRUE(emu::DeviceExists(device_)) << "removal went on with a request inside";
    EXPECT_TRUE(port_->AcceptFlags & ACCEPT_REMOVING);
    // New requests are refused meanwhile and do not disturb the wait.
    EXPECT_EQ(Submit(file_, Request::Read(1)).Wait().status, STATUS_DELETE_PENDING);
    emu::AdvanceTime(emu::kSecond);
    EXPECT_TRUE(emu::DeviceExists(device_));

    EndRequest(port_);
    emu::JoinThread(pnp);
    EXPECT_EQ(removal, STATUS_SUCCESS);
    EXPECT_FALSE(emu::DeviceExists(device_));
    Forget(device_);
    EXPECT_TRUE(Unload());
}

// A wake left over from an earlier idle moment (a stop, then a request admitted after it) must
// not end a later wait early.
TEST_F(RemovalTest, StaleIdleSignalDoesNotCutTheWaitShort) {
    ASSERT_EQ(emu::PnpStop(bus_->Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(Submit(file_, Request::Read(1)).Wait().status, STATUS_INVALID_DEVICE_REQUEST);
    PIRP inside = IoAllocateIrp(device_->StackSize, FALSE);
    made_.push_back(inside);
    IoSetNextIrpStackLocation(inside);
    IoGetCurrentIrpStackLocation(inside)->MajorFunction = IRP_MJ_READ;
    ASSERT_EQ(BeginRequest(inside, port_), STATUS_SUCCESS);
    // Leave a stray signal behind, as an earlier transition through zero would.
    KeSetEvent(&port_->RequestsIdleEvent, IO_NO_INCREMENT, FALSE);

    PDEVICE_OBJECT pdo = bus_->Pdo();
    std::thread pnp = emu::StartThread("pnp", [&] { emu::PnpSurpriseRemove(pdo); });
    emu::AdvanceTime(emu::kSecond);
    EXPECT_TRUE(emu::DeviceExists(device_));
    EXPECT_TRUE(emu::WmiRegistered(device_)) << "teardown ran with a request inside";
    EndRequest(port_);
    emu::JoinThread(pnp);
    EXPECT_FALSE(emu::DeviceExists(device_));
    Forget(device_);
}

// A register write sent from raised IRQL goes out asynchronously and its completion routine
// uses the port; removal must wait for it before the port goes away.
TEST_F(RemovalTest, RemovalWaitsForAnAsynchronousRegisterWrite) {
    bus_->SetPolicy(emu::usb::PolicyFor(emu::usb::RequestFilter::VendorValue(0x0000),
                                        emu::usb::UrbAction::After(200 * emu::kMillisecond)));
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(SetChipAutoXonXoff(port_, TRUE), STATUS_SUCCESS);
    KeLowerIrql(old);
    ASSERT_EQ(port_->PendingControlTransfers, 1);

    emu::Time start = emu::Now();
    EXPECT_EQ(emu::PnpRemove(bus_->Pdo()), STATUS_SUCCESS);
    EXPECT_GE(emu::Now() - start, 200 * emu::kMillisecond) << "removal waited for the write";
    EXPECT_FALSE(emu::DeviceExists(device_));
    EXPECT_EQ(bus_->PendingCount(), 0u);
    Forget(device_);
}

}  // namespace
}  // namespace quella_test
