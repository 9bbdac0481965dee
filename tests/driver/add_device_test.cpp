// AddDevice and CreatePortDevice: names and numbering, the new device object and its port
// extension, bounded retries, and every allocation failure.
#include <gtest/gtest.h>

#include "driver/add_device.h"
#include "driver/globals.h"
#include "emu/kernel/io_manager.h"
#include "emu/kernel/namespace.h"
#include "emu/kernel/pool.h"
#include "tests/driver/support/driver_harness.h"

using namespace quella_test;

namespace {

class AddDeviceTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        Load();
    }
};

std::string NameOf(PDEVICE_OBJECT port) {
    return emu::ToNarrow(emu::FromUnicodeString(&PortOf(port)->DeviceName));
}

}  // namespace

TEST_F(AddDeviceTest, NewPortDeviceAndExtension) {
    emu::usb::UsbBus& bus = NewBus();
    PDEVICE_OBJECT port = AddPort(bus);
    ASSERT_NE(port, nullptr);
    PSERIAL_PORT_EXTENSION Port = PortOf(port);

    EXPECT_EQ(emu::DeviceNameOf(port), "\\Device\\Serial2");
    EXPECT_EQ(port->DeviceType, ULONG(FILE_DEVICE_SERIAL_PORT));
    EXPECT_EQ(port->Characteristics & FILE_DEVICE_SECURE_OPEN, ULONG(FILE_DEVICE_SECURE_OPEN));
    EXPECT_EQ(port->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING),
              ULONG(DO_BUFFERED_IO | DO_POWER_PAGABLE));

    // Attached above the bus device, which it knows as both its lower and physical device.
    EXPECT_EQ(Port->DeviceObject, port);
    EXPECT_EQ(Port->LowerDeviceObject, bus.Pdo());
    EXPECT_EQ(Port->PhysicalDeviceObject, bus.Pdo());
    EXPECT_EQ(emu::LowerDeviceOf(port), bus.Pdo());
    EXPECT_EQ(port->StackSize, bus.Pdo()->StackSize + 1);

    // The name copy has exactly the name's length plus a terminator.
    EXPECT_EQ(NameOf(port), "\\Device\\Serial2");
    EXPECT_EQ(Port->DeviceName.MaximumLength, Port->DeviceName.Length + 2);
    EXPECT_EQ(Port->DeviceName.Buffer[Port->DeviceName.Length / 2], 0);

    // The values a port has from creation on; everything else starts zeroed (the pool fills
    // new blocks with a pattern, so zeros here were written).
    EXPECT_EQ(Port->ActiveRequestCount, 1);
    EXPECT_EQ(Port->DeferredWorkCount, 1);
    EXPECT_EQ(Port->DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(Port->ChipType, -1);
    EXPECT_EQ(Port->PortIsOpen, 0);
    EXPECT_EQ(Port->PnpState, PNP_STATE_NEVER_STARTED);
    EXPECT_EQ(Port->AcceptFlags, 0u);
    EXPECT_EQ(Port->CurrentReadRequest, nullptr);
    EXPECT_EQ(Port->OpenCount, 0);
    EXPECT_EQ(Port->RxBufferSize, 0u);
    for (PLIST_ENTRY queue : {&Port->ReadQueue, &Port->WriteQueue, &Port->MaskQueue,
                              &Port->PurgeQueue, &Port->HeldRequestQueue}) {
        EXPECT_TRUE(IsListEmpty(queue));
    }
    for (PKEVENT event :
         {&Port->RequestsIdleEvent, &Port->DeferredWorkIdleEvent, &Port->StartEvent}) {
        EXPECT_EQ(event->Header.Type, EventSynchronizationObject);
        EXPECT_EQ(KeReadStateEvent(event), 0);
    }
    EXPECT_TRUE(ExTryToAcquireFastMutex(&Port->OpenMutex));
    ExReleaseFastMutex(&Port->OpenMutex);

    // Requests whose subsystems are not built yet are refused and completed properly.
    KEVENT done;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_SERIAL_GET_BAUD_RATE, port, nullptr, 0, nullptr,
                                             0, FALSE, &done, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(port, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(iosb.Status, STATUS_INVALID_DEVICE_REQUEST);

    // A bus device that is missing gets no port.
    EXPECT_EQ(emu::CallAddDevice(driver_, nullptr), STATUS_NO_MORE_ENTRIES);
}

TEST_F(AddDeviceTest, NumbersGrowAndSkipTakenNames) {
    PDEVICE_OBJECT first = AddPort(NewBus());
    PDEVICE_OBJECT second = AddPort(NewBus());
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(NameOf(first), "\\Device\\Serial2");
    EXPECT_EQ(NameOf(second), "\\Device\\Serial3");

    // Numbers are not reused while the driver stays loaded.
    RemovePort(first);
    PDEVICE_OBJECT third = AddPort(NewBus());
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(NameOf(third), "\\Device\\Serial4");
}

TEST_F(AddDeviceTest, TakenSerial2GivesSerial3ThenSerial4) {
    // Someone else already owns \Device\Serial2.
    emu::usb::UsbBus& bus = NewBus();
    static WCHAR takenName[] = L"\\Device\\Serial2";
    UNICODE_STRING taken;
    RtlInitUnicodeString(&taken, takenName);
    PDEVICE_OBJECT other = nullptr;
    ASSERT_EQ(
        IoCreateDevice(bus.Pdo()->DriverObject, 0, &taken, FILE_DEVICE_UNKNOWN, 0, FALSE, &other),
        STATUS_SUCCESS);

    PDEVICE_OBJECT first = AddPort(bus);
    PDEVICE_OBJECT second = AddPort(NewBus());
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(NameOf(first), "\\Device\\Serial3");
    EXPECT_EQ(NameOf(second), "\\Device\\Serial4");
    EXPECT_EQ(emu::FindNamedDevice("\\Device\\Serial2"), other);
    IoDeleteDevice(other);
}

// A bus device already deleted (still referenced, so its object lingers) takes no new device:
// the port is given up rather than left without a device below it.
TEST_F(AddDeviceTest, DeletedBusDeviceGetsNoPort) {
    PDEVICE_OBJECT pdo = emu::CreatePhysicalDevice(emu::CompleteLikeBusDriver);
    ObReferenceObject(pdo);
    emu::DeletePhysicalDevice(pdo);

    EXPECT_EQ(emu::CallAddDevice(driver_, pdo), STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(emu::DevicesOf(driver_).empty());
    EXPECT_EQ(emu::PoolOutstandingCount(QUELLA_POOL_TAG), 1u);  // the service path only
    ObDereferenceObject(pdo);
}

TEST_F(AddDeviceTest, CreationFailingForeverGivesUpAfterBoundedAttempts) {
    uint64_t callsBefore = emu::CreateDeviceCalls();
    emu::FailEveryCreateDevice(STATUS_INSUFFICIENT_RESOURCES);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(AddPort(NewBus(), &status), nullptr);
    emu::ClearCreateDeviceFaults();

    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(emu::CreateDeviceCalls() - callsBefore, PORT_CREATE_ATTEMPTS);
    EXPECT_EQ(NextDeviceNumber, 2 + PORT_CREATE_ATTEMPTS);
    EXPECT_EQ(emu::PoolOutstandingCount(QUELLA_POOL_TAG), 1u);  // the service path only
    EXPECT_TRUE(emu::DevicesOf(driver_).empty());

    // The platform recovers; numbering goes on from where the attempts left it.
    PDEVICE_OBJECT port = AddPort(NewBus());
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(NameOf(port), "\\Device\\Serial" + std::to_string(2 + PORT_CREATE_ATTEMPTS));
}

// Fails each allocation AddDevice makes, one at a time. A failure of the driver's own
// allocations fails AddDevice with STATUS_INSUFFICIENT_RESOURCES and leaves nothing behind; a
// failed device object is retried with the next number.
TEST_F(AddDeviceTest, EveryAllocationFailureIsClean) {
    std::vector<emu::PoolAllocation> made;
    emu::usb::UsbBus& counted = NewBus();
    {
        emu::PoolFaultScope count(emu::PoolFault::Count());
        PDEVICE_OBJECT port = AddPort(counted);
        ASSERT_NE(port, nullptr);
        made = count.MatchedRequests();
        RemovePort(port);
    }
    ASSERT_GE(made.size(), 2u);  // the name buffer and the name copy at least

    for (uint64_t k = 1; k <= made.size(); ++k) {
        SCOPED_TRACE("failing allocation " + std::to_string(k) + " of " +
                     std::to_string(made.size()));
        emu::usb::UsbBus& bus = NewBus();
        NTSTATUS status = STATUS_SUCCESS;
        PDEVICE_OBJECT port;
        {
            emu::PoolFaultScope fail(emu::PoolFault::Nth(k));
            port = AddPort(bus, &status);
            EXPECT_EQ(fail.Failed(), 1u);
        }
        if (made[k - 1].tag == QUELLA_POOL_TAG) {
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_EQ(port, nullptr);
            EXPECT_TRUE(emu::DevicesOf(driver_).empty());
            EXPECT_EQ(emu::PoolOutstandingCount(QUELLA_POOL_TAG), 1u);  // the service path
        } else if (port != nullptr) {
            RemovePort(port);
        }
    }
}
