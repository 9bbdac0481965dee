// What an application sees, against a tiny port driver written here: opening through the COM
// name, synchronous and asynchronous requests, waiting in virtual time, cancelling, and close
// cancelling what is left through cleanup.
#include <string>
#include <vector>

#include "emu/app/handle.h"
#include "emu/kernel/bugcheck.h"
#include "emu/kernel/namespace.h"
#include "tests/emu/io_test_support.h"

namespace {

constexpr ULONG kReverse =
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kOverrun =
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr emu::Time kReadTimeout = 50 * emu::kMillisecond;

// The echo port: writes fill a buffer that reads drain; a read finding nothing waits (cancel-
// safe, under the cancel spin lock) for the next write or for its time-out.
struct EchoPort {
    PDEVICE_OBJECT lower;
    LIST_ENTRY reads;  // cancel spin lock
    UCHAR data[64];    // cancel spin lock
    ULONG count;
    KTIMER timer;
    KDPC timeout_dpc;
    // What the port saw.
    std::vector<UCHAR>* majors;
    ULONG create_options;
    PFILE_OBJECT create_file;
};

std::vector<UCHAR> g_majors;

EchoPort* PortOf(PDEVICE_OBJECT device) {
    return static_cast<EchoPort*>(device->DeviceExtension);
}

NTSTATUS Finish(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    return emu::CompleteIrp(irp, status, information);
}

// Cancel spin lock held. Moves bytes into the oldest waiting read; returns it if one was served.
PIRP ServeWaitingReadLocked(EchoPort* port) {
    if (IsListEmpty(&port->reads) || port->count == 0) {
        return nullptr;
    }
    PIRP irp = CONTAINING_RECORD(port->reads.Flink, IRP, Tail.Overlay.ListEntry);
    IoSetCancelRoutine(irp, nullptr);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    ULONG n = std::min(IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length, port->count);
    memcpy(irp->AssociatedIrp.SystemBuffer, port->data, n);
    memmove(port->data, port->data + n, port->count - n);
    port->count -= n;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = n;
    return irp;
}

VOID NTAPI CancelRead(PDEVICE_OBJECT, PIRP irp) {
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Finish(irp, STATUS_CANCELLED);
}

VOID NTAPI ReadTimeout(PKDPC, PVOID context, PVOID, PVOID) {
    auto* port = static_cast<EchoPort*>(context);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (IsListEmpty(&port->reads)) {
        IoReleaseCancelSpinLock(irql);
        return;
    }
    PIRP irp = CONTAINING_RECORD(port->reads.Flink, IRP, Tail.Overlay.ListEntry);
    if (!IoSetCancelRoutine(irp, nullptr)) {
        IoReleaseCancelSpinLock(irql);  // being cancelled
        return;
    }
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    IoReleaseCancelSpinLock(irql);
    Finish(irp, STATUS_TIMEOUT);
}

NTSTATUS NTAPI EchoDispatch(PDEVICE_OBJECT device, PIRP irp) {
    EchoPort* port = PortOf(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    g_majors.push_back(sp->MajorFunction);
    KIRQL irql;
    switch (sp->MajorFunction) {
        case IRP_MJ_CREATE:
            port->create_options = sp->Parameters.Create.Options & 0xFFFFFF;
            port->create_file = sp->FileObject;
            if (port->create_options & FILE_DIRECTORY_FILE) {
                return Finish(irp, STATUS_INVALID_PARAMETER);
            }
            return Finish(irp, STATUS_SUCCESS);
        case IRP_MJ_WRITE: {
            ULONG n = sp->Parameters.Write.Length;
            IoAcquireCancelSpinLock(&irql);
            memcpy(port->data + port->count, irp->AssociatedIrp.SystemBuffer, n);
            port->count += n;
            PIRP served = ServeWaitingReadLocked(port);
            IoReleaseCancelSpinLock(irql);
            if (served) {
                IoCompleteRequest(served, IO_NO_INCREMENT);
            }
            return Finish(irp, STATUS_SUCCESS, n);
        }
        case IRP_MJ_READ: {
            IoAcquireCancelSpinLock(&irql);
            if (irp->Cancel) {
                IoReleaseCancelSpinLock(irql);
                return Finish(irp, STATUS_CANCELLED);
            }
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, CancelRead);
            InsertTailList(&port->reads, &irp->Tail.Overlay.ListEntry);
            PIRP served = ServeWaitingReadLocked(port);
            IoReleaseCancelSpinLock(irql);
            if (served) {
                IoCompleteRequest(served, IO_NO_INCREMENT);
            } else {
                LARGE_INTEGER due;
                due.QuadPart = -kReadTimeout;
                KeSetTimer(&port->timer, due, &port->timeout_dpc);
            }
            return STATUS_PENDING;
        }
        case IRP_MJ_DEVICE_CONTROL: {
            auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
            ULONG n = sp->Parameters.DeviceIoControl.InputBufferLength;
            if (sp->Parameters.DeviceIoControl.IoControlCode == kOverrun) {
                return Finish(irp, STATUS_SUCCESS, 100);  // more than the output buffer holds
            }
            std::reverse(buffer, buffer + n);
            return Finish(irp, STATUS_SUCCESS, n);
        }
        case IRP_MJ_CLEANUP:
            // Everything still waiting goes back cancelled.
            for (;;) {
                IoAcquireCancelSpinLock(&irql);
                if (IsListEmpty(&port->reads)) {
                    IoReleaseCancelSpinLock(irql);
                    break;
                }
                PIRP read = CONTAINING_RECORD(port->reads.Flink, IRP, Tail.Overlay.ListEntry);
                IoSetCancelRoutine(read, nullptr);
                RemoveEntryList(&read->Tail.Overlay.ListEntry);
                IoReleaseCancelSpinLock(irql);
                Finish(read, STATUS_CANCELLED);
            }
            return Finish(irp, STATUS_SUCCESS);
        case IRP_MJ_CLOSE:
            return Finish(irp, STATUS_SUCCESS);
        default:
            return Finish(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS NTAPI EchoAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    static WCHAR name_text[] = L"\\Device\\EchoPort0";
    static WCHAR link_text[] = L"\\DosDevices\\COM5";
    UNICODE_STRING name = RTL_CONSTANT_STRING(name_text);
    UNICODE_STRING link = RTL_CONSTANT_STRING(link_text);
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(EchoPort), &name, FILE_DEVICE_SERIAL_PORT,
                                     FILE_DEVICE_SECURE_OPEN, TRUE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    EchoPort* port = PortOf(device);
    InitializeListHead(&port->reads);
    KeInitializeTimer(&port->timer);
    KeInitializeDpc(&port->timeout_dpc, ReadTimeout, port);
    port->lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return IoCreateSymbolicLink(&link, &name);
}

NTSTATUS NTAPI EchoEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& entry : driver->MajorFunction) {
        entry = EchoDispatch;
    }
    driver->DriverExtension->AddDevice = EchoAddDevice;
    return STATUS_SUCCESS;
}

class AppTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_majors.clear();
        kernel_ = std::make_unique<emu::Kernel>();
        driver_ = emu::LoadDriver(EchoEntry, "EchoPort").driver;
        ASSERT_NE(driver_, nullptr);
        ASSERT_EQ(
            emu::CallAddDevice(driver_, emu::CreatePhysicalDevice(emu::CompleteLikeBusDriver)),
            STATUS_SUCCESS);
        port_ = emu::FindNamedDevice("\\Device\\EchoPort0");
        ASSERT_NE(port_, nullptr);
    }
    void TearDown() override {
        emu::Settle();
        kernel_.reset();
    }

    std::unique_ptr<emu::Kernel> kernel_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT port_ = nullptr;
};

TEST_F(AppTest, SynchronousRequestsReachTheDriverThroughTheComName) {
    emu::app::Handle com;
    ASSERT_EQ(com.Open("COM5"), STATUS_SUCCESS);
    EXPECT_EQ(com.Device(), port_);
    EXPECT_EQ(PortOf(port_)->create_file, com.FileObject());
    EXPECT_EQ(com.FileObject()->DeviceObject, port_);

    emu::app::Result written = com.Write("hello");
    EXPECT_EQ(written.status, STATUS_SUCCESS);
    EXPECT_EQ(written.information, 5u);
    emu::app::Result read = com.Read(16);
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(read.text(), "hello");
    EXPECT_EQ(read.dispatch_status, STATUS_PENDING);  // served while the driver queued it

    // METHOD_BUFFERED: one system buffer for input and output; Information bytes come back.
    emu::app::Result reversed = com.DeviceIoControl(kReverse, "abc", 3, 8);
    EXPECT_EQ(reversed.status, STATUS_SUCCESS);
    EXPECT_EQ(reversed.text(), "cba");
    {
        emu::ExpectBugCheck expect(emu::rule::kInvalidParameter);
        emu::app::Result overrun = com.DeviceIoControl(kOverrun, nullptr, 0, 8);
        EXPECT_EQ(expect.Count(), 1);
        EXPECT_EQ(overrun.output.size(), 8u);  // no more than the caller's buffer
    }

    // The device is exclusive: a second open fails before the driver sees it.
    emu::app::Handle second;
    EXPECT_EQ(second.Open("\\\\.\\com5"), STATUS_ACCESS_DENIED);
    EXPECT_EQ(second.Open("COM9"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(second.IsOpen());

    EXPECT_EQ(com.Close(), STATUS_SUCCESS);
    EXPECT_EQ(g_majors,
              (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_WRITE, IRP_MJ_READ, IRP_MJ_DEVICE_CONTROL,
                                  IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(com.Read(1).status, STATUS_INVALID_HANDLE);

    // A failed open holds nothing: the create options reached the driver, which refused them,
    // and the device can be opened again.
    emu::app::OpenOptions directory;
    directory.create_options = FILE_DIRECTORY_FILE;
    EXPECT_EQ(second.Open("COM5", directory), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(PortOf(port_)->create_options, ULONG(FILE_DIRECTORY_FILE));
    EXPECT_EQ(second.Open("\\Device\\EchoPort0"), STATUS_SUCCESS);
    EXPECT_EQ(port_->ReferenceCount, 1);
    second.Close();
    EXPECT_EQ(port_->ReferenceCount, 0);
}

TEST_F(AppTest, AsynchronousRequestsWaitInVirtualTimeAndCanBeCancelled) {
    emu::app::Handle com;
    ASSERT_EQ(com.Open("COM5"), STATUS_SUCCESS);
    size_t live = emu::LiveIrpCount();
    {
        emu::app::Operation read = com.ReadAsync(4);
        EXPECT_FALSE(read.Done());
        EXPECT_EQ(read.DispatchStatus(), STATUS_PENDING);
        emu::Time start = emu::Now();
        EXPECT_FALSE(read.WaitFor(10 * emu::kMillisecond).has_value());
        EXPECT_EQ(emu::Now() - start, 10 * emu::kMillisecond);
        com.Write("xy");
        ASSERT_TRUE(read.Done());
        EXPECT_EQ(read.Wait().text(), "xy");
        EXPECT_FALSE(read.Cancel());  // already complete

        // Nothing arrives: the driver's timer ends the read, in virtual time.
        start = emu::Now();
        emu::app::Result timed_out = com.ReadAsync(4).Wait();
        EXPECT_EQ(timed_out.status, STATUS_TIMEOUT);
        EXPECT_EQ(emu::Now() - start, kReadTimeout);

        emu::app::Operation cancelled = com.ReadAsync(4);
        EXPECT_TRUE(cancelled.Cancel());
        EXPECT_EQ(cancelled.Wait().status, STATUS_CANCELLED);
        EXPECT_EQ(cancelled.Wait().information, 0u);

        // Close: cleanup cancels what is still waiting before the close goes out.
        emu::app::Operation left = com.ReadAsync(4);
        EXPECT_EQ(com.Close(), STATUS_SUCCESS);
        EXPECT_TRUE(left.Done());
        EXPECT_EQ(left.Wait().status, STATUS_CANCELLED);
        EXPECT_EQ(g_majors.back(), IRP_MJ_CLOSE);
    }
    emu::Settle();                         // the timer of the last reads fires into an empty queue
    EXPECT_EQ(emu::LiveIrpCount(), live);  // every request of the handle is gone
}

}  // namespace
