// The USB bus stand-in: what the policy makes of each URB (at once, later on a processor, never),
// cancellation, failures, an unplugged device, and the transfer log.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "emu/kernel/io_manager.h"
#include "emu/kernel/kernel.h"
#include "emu/kernel/sched.h"
#include "emu/usb/standard_device.h"
#include "emu/usb/usb_bus.h"
#include "tests/usb/urb_client.h"

namespace {

using emu::kMillisecond;
using emu::kSecond;
using emu::usb::SetupPacket;
using emu::usb::UrbAction;
using emu::usb::UrbOutcome;
using emu::usb::UrbRecord;
using emu::usb::UrbResult;
using usb_test::AsyncUrb;

emu::usb::DescriptorSet BridgeDescriptors() {
    emu::usb::DescriptorSet set;
    set.device = emu::usb::DeviceDescriptor(0xFF, 64, 0xFFFF, 0x5101, 0x0300, 1, 2, 0);
    set.configuration =
        emu::usb::ConfigurationDescriptor({{0,
                                            0,
                                            0xFF,
                                            0xFF,
                                            0xFF,
                                            {{0x81, USB_ENDPOINT_TYPE_INTERRUPT, 10, 1},
                                             {0x02, USB_ENDPOINT_TYPE_BULK, 64, 0},
                                             {0x83, USB_ENDPOINT_TYPE_BULK, 64, 0}}}});
    set.strings[0] = emu::usb::LanguageList({0x0409});
    set.strings[1] = emu::usb::StringDescriptor(u"Quella");
    return set;
}

// A scripted device that counts what reaches it.
struct CountingDevice {
    std::atomic<int> calls{0};
    std::shared_ptr<emu::usb::FunctionDeviceModel> model =
        std::make_shared<emu::usb::FunctionDeviceModel>([this](URB& urb, const auto&) {
            calls.fetch_add(1);
            if (urb.UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
                urb.UrbBulkOrInterruptTransfer.TransferBufferLength = 4;
            }
            return UrbResult::Success();
        });
};

TEST(UsbBusTest, AnImmediateAnswerCompletesInTheDispatchRoutineAndIsLogged) {
    emu::Kernel kernel;
    emu::usb::UsbBus bus("bus");
    auto device = std::make_shared<emu::usb::StandardUsbDevice>(BridgeDescriptors());
    bus.Attach(device);
    emu::AdvanceTime(7 * kMillisecond);

    // The device descriptor: 18 bytes even when 64 are asked for; no pending, no wait.
    UCHAR buffer[64] = {};
    URB urb;
    usb_test::BuildDescriptorRead(urb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, sizeof(buffer));
    NTSTATUS dispatched = 0;
    EXPECT_EQ(usb_test::SendSync(bus.Pdo(), &urb, &dispatched), STATUS_SUCCESS);
    EXPECT_EQ(dispatched, STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 18u);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 18), BridgeDescriptors().device);

    // An absent string stalls, and moves nothing.
    usb_test::BuildDescriptorRead(urb, USB_STRING_DESCRIPTOR_TYPE, 9, 0x0409, buffer, 64);
    EXPECT_EQ(usb_test::SendSync(bus.Pdo(), &urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 0u);

    std::vector<UrbRecord> log = bus.Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].id, 1u);
    EXPECT_EQ(log[0].function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    EXPECT_EQ(*log[0].setup, (SetupPacket{0x80, 6, 0x0100, 0, 64}));
    EXPECT_EQ(log[0].submitted, 7 * kMillisecond);
    EXPECT_EQ(log[0].finished, 7 * kMillisecond);
    EXPECT_EQ(log[0].requested_length, 64u);
    EXPECT_EQ(log[0].actual_length, 18u);
    EXPECT_EQ(log[0].data_in, BridgeDescriptors().device);
    EXPECT_EQ(log[0].outcome, UrbOutcome::Completed);
    EXPECT_EQ(log[1].status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(log[1].usbd_status, USBD_STATUS_STALL_PID);
    EXPECT_TRUE(log[1].data_in.empty());
    EXPECT_NE(log[1].Describe().find("GET_DESCRIPTOR_FROM_DEVICE [80 06 0309 0409 0040]"),
              std::string::npos);
    EXPECT_EQ(bus.PendingCount(), 0u);
    bus.ClearLog();
    EXPECT_TRUE(bus.Log().empty());
}

TEST(UsbBusTest, ADelayedAnswerCompletesOnAProcessorAtDispatchLevelWhenItsTimeComes) {
    emu::Kernel kernel;
    emu::usb::UsbBus bus;
    CountingDevice device;
    bus.Attach(device.model);
    bus.SetPolicy([](const UrbRecord& request) {
        return request.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER
                   ? UrbAction::After(5 * kMillisecond)
                   : UrbAction::Now();
    });

    AsyncUrb async;
    usb_test::BuildBulk(async.urb, nullptr, async.buffer, 10, USBD_TRANSFER_DIRECTION_IN);
    usb_test::SendAsync(bus.Pdo(), async);
    EXPECT_EQ(async.dispatch_status, STATUS_PENDING);
    EXPECT_EQ(bus.PendingCount(), 1u);

    emu::AdvanceTime(4 * kMillisecond);
    EXPECT_EQ(async.completions, 0);
    EXPECT_EQ(device.calls, 0);  // the device sees it only when its time comes
    emu::AdvanceTime(kMillisecond);
    ASSERT_EQ(async.completions, 1);
    EXPECT_EQ(device.calls, 1);
    EXPECT_EQ(async.status, STATUS_SUCCESS);
    EXPECT_TRUE(async.irp->PendingReturned);  // the bus marked it pending
    EXPECT_EQ(async.irql, DISPATCH_LEVEL);
    EXPECT_EQ(async.time, 5 * kMillisecond);
    EXPECT_NE(async.thread, "main");
    EXPECT_EQ(async.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 4u);

    std::vector<UrbRecord> log = bus.Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_FALSE(log[0].IsControl());
    EXPECT_EQ(log[0].transfer_flags, static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN));
    EXPECT_EQ(log[0].finished - log[0].submitted, 5 * kMillisecond);
    EXPECT_EQ(log[0].data_in.size(), 4u);

    // A request the model answers later than the dispatch routine (held, then completed by
    // the test's thread) also reaches its sender at DISPATCH_LEVEL.
    bus.SetPolicy({});
    auto standard = std::make_shared<emu::usb::StandardUsbDevice>(BridgeDescriptors());
    bus.Attach(standard);
    USHORT size = 0;
    std::vector<uint8_t> config = BridgeDescriptors().configuration;
    PURB select = USBD_CreateConfigurationRequest(
        reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data()), &size);
    ASSERT_EQ(usb_test::SendSync(bus.Pdo(), select), STATUS_SUCCESS);
    USBD_PIPE_HANDLE bulk_in = select->UrbSelectConfiguration.Interface.Pipes[2].PipeHandle;
    ExFreePool(select);
    AsyncUrb held;
    usb_test::BuildBulk(held.urb, bulk_in, held.buffer, 384,
                        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    usb_test::SendAsync(bus.Pdo(), held);
    EXPECT_EQ(held.dispatch_status, STATUS_PENDING);
    EXPECT_EQ(standard->HeldCount(0x83), 1u);
    ASSERT_TRUE(standard->CompleteHeldIn(0x83, {'a', 'b', 'c'}));
    ASSERT_EQ(held.completions, 1);
    EXPECT_EQ(held.irql, DISPATCH_LEVEL);
    EXPECT_EQ(held.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(held.buffer), 3), "abc");
    EXPECT_EQ(*bus.Log().back().endpoint, 0x83);
    EXPECT_FALSE(standard->CompleteHeldIn(0x83, {'d'}));
}

TEST(UsbBusTest, ARequestThatIsNeverAnsweredEndsOnlyByCancellation) {
    emu::Kernel kernel;
    emu::usb::UsbBus bus;
    CountingDevice device;
    bus.Attach(device.model);
    bus.SetPolicy([](const UrbRecord&) { return UrbAction::Never(); });

    // What SubmitUrbSync does: wait 3 s, cancel, wait for the cancelled request.
    KEVENT event;
    IO_STATUS_BLOCK status_block{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    URB urb;
    UCHAR buffer[18];
    usb_test::BuildDescriptorRead(urb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, 18);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, bus.Pdo(), nullptr, 0,
                                             nullptr, 0, TRUE, &event, &status_block);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
    ASSERT_EQ(IoCallDriver(bus.Pdo(), irp), STATUS_PENDING);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -3 * kSecond;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
              STATUS_TIMEOUT);
    EXPECT_EQ(emu::Now(), 3 * kSecond);
    EXPECT_EQ(bus.PendingCount(), 1u);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(status_block.Status, STATUS_CANCELLED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 0u);
    EXPECT_EQ(device.calls, 0);
    EXPECT_EQ(bus.PendingCount(), 0u);
    std::vector<UrbRecord> log = bus.Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].outcome, UrbOutcome::Cancelled);
    EXPECT_EQ(log[0].finished, 3 * kSecond);

    // A delayed request cancelled before its time never reaches the device afterwards.
    bus.SetPolicy([](const UrbRecord&) { return UrbAction::After(kSecond); });
    AsyncUrb async;
    usb_test::BuildBulk(async.urb, nullptr, async.buffer, 10, USBD_TRANSFER_DIRECTION_IN);
    usb_test::SendAsync(bus.Pdo(), async);
    emu::AdvanceTime(500 * kMillisecond);
    EXPECT_TRUE(IoCancelIrp(async.irp));
    EXPECT_EQ(async.completions, 1);
    EXPECT_EQ(async.status, STATUS_CANCELLED);
    emu::AdvanceTime(2 * kSecond);
    EXPECT_EQ(async.completions, 1);
    EXPECT_EQ(device.calls, 0);
    EXPECT_FALSE(IoCancelIrp(async.irp));  // nothing left to cancel

    // A held request can be released to the device by the test.
    bus.SetPolicy([](const UrbRecord&) { return UrbAction::Never(); });
    AsyncUrb released;
    usb_test::BuildBulk(released.urb, nullptr, released.buffer, 10, USBD_TRANSFER_DIRECTION_IN);
    usb_test::SendAsync(bus.Pdo(), released);
    EXPECT_FALSE(bus.DeliverNow(12345));
    EXPECT_TRUE(bus.DeliverNow(bus.Log().back().id));
    EXPECT_EQ(released.completions, 1);
    EXPECT_EQ(released.status, STATUS_SUCCESS);
    EXPECT_EQ(device.calls, 1);
    EXPECT_FALSE(bus.DeliverNow(bus.Log().back().id));
}

TEST(UsbBusTest, FailuresAndAnUnpluggedDeviceEndRequestsWithTheirStatus) {
    emu::Kernel kernel;
    emu::usb::UsbBus bus;
    UCHAR buffer[18];
    URB urb;

    // Nothing plugged in.
    usb_test::BuildDescriptorRead(urb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, 18);
    EXPECT_EQ(usb_test::SendSync(bus.Pdo(), &urb), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);

    CountingDevice device;
    bus.Attach(device.model);
    // A failure chosen by the policy never reaches the device: at once, or later.
    bus.SetPolicy([](const UrbRecord& request) {
        return request.IsControl() ? UrbAction::Fail(UrbResult::Stall())
                                   : UrbAction::Fail(UrbResult::DeviceGone(), 2 * kMillisecond);
    });
    usb_test::BuildDescriptorRead(urb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, 18);
    NTSTATUS dispatched = 0;
    EXPECT_EQ(usb_test::SendSync(bus.Pdo(), &urb, &dispatched), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(dispatched, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 0u);
    AsyncUrb late;
    usb_test::BuildBulk(late.urb, nullptr, late.buffer, 10, USBD_TRANSFER_DIRECTION_IN);
    usb_test::SendAsync(bus.Pdo(), late);
    EXPECT_EQ(late.dispatch_status, STATUS_PENDING);
    emu::AdvanceTime(2 * kMillisecond);
    EXPECT_EQ(late.completions, 1);
    EXPECT_EQ(late.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(late.time, 2 * kMillisecond);
    EXPECT_EQ(device.calls, 0);

    // Unplugging ends what the device holds and fails everything after it.
    bus.SetPolicy({});
    auto standard = std::make_shared<emu::usb::StandardUsbDevice>(BridgeDescriptors());
    bus.Attach(standard);
    std::vector<uint8_t> config = BridgeDescriptors().configuration;
    USHORT size;
    PURB select = USBD_CreateConfigurationRequest(
        reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data()), &size);
    ASSERT_EQ(usb_test::SendSync(bus.Pdo(), select), STATUS_SUCCESS);
    USBD_PIPE_HANDLE interrupt_in = select->UrbSelectConfiguration.Interface.Pipes[0].PipeHandle;
    ExFreePool(select);
    AsyncUrb held;
    usb_test::BuildBulk(held.urb, interrupt_in, held.buffer, 10, USBD_TRANSFER_DIRECTION_IN);
    usb_test::SendAsync(bus.Pdo(), held);
    ASSERT_EQ(standard->HeldCount(0x81), 1u);
    bus.Unplug();
    EXPECT_EQ(held.completions, 1);
    EXPECT_EQ(held.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(held.irql, DISPATCH_LEVEL);
    EXPECT_EQ(standard->HeldCount(0x81), 0u);
    EXPECT_EQ(bus.Model(), nullptr);
    usb_test::BuildDescriptorRead(urb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, 18);
    EXPECT_EQ(usb_test::SendSync(bus.Pdo(), &urb), STATUS_DEVICE_NOT_CONNECTED);

    KEVENT event;
    IO_STATUS_BLOCK status_block{};
    ULONG port_status = 0xFFFF;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, bus.Pdo(), nullptr,
                                             0, nullptr, 0, TRUE, &event, &status_block);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &port_status;
    EXPECT_EQ(IoCallDriver(bus.Pdo(), irp), STATUS_SUCCESS);
    EXPECT_EQ(port_status, 0u);
}

TEST(UsbBusTest, ThePdoAnswersPlugAndPlayAsABusDriverAndTheMachineCanStopWithRequestsPending) {
    auto kernel = std::make_unique<emu::Kernel>();
    auto bus = std::make_unique<emu::usb::UsbBus>();
    bus->Attach(std::make_shared<emu::usb::StandardUsbDevice>(BridgeDescriptors()));

    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(caps);
    KEVENT event;
    IO_STATUS_BLOCK status_block{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(bus->Pdo()->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    next->Parameters.DeviceCapabilities.Capabilities = &caps;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; },
        nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(bus->Pdo(), irp), STATUS_SUCCESS);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(caps.DeviceState[PowerSystemHibernate], PowerDeviceD3);
    EXPECT_TRUE(caps.SurpriseRemovalOK);
    IoFreeIrp(irp);

    // A test hook takes Plug and Play requests over.
    int seen = 0;
    bus->SetPnpHandler([&](PIRP request) {
        ++seen;
        return emu::CompleteIrp(request, STATUS_DEVICE_BUSY);
    });
    irp = IoAllocateIrp(bus->Pdo()->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
    IoGetNextIrpStackLocation(irp)->MinorFunction = IRP_MN_START_DEVICE;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; },
        nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(bus->Pdo(), irp), STATUS_DEVICE_BUSY);
    EXPECT_EQ(seen, 1);
    IoFreeIrp(irp);

    // A request left pending when the machine stops is abandoned, not completed into a
    // driver that is going away; the bus outliving the machine is harmless.
    bus->SetPolicy([](const UrbRecord&) { return UrbAction::Never(); });
    auto pending = std::make_unique<AsyncUrb>();
    usb_test::BuildBulk(pending->urb, nullptr, pending->buffer, 10, USBD_TRANSFER_DIRECTION_IN);
    usb_test::SendAsync(bus->Pdo(), *pending);
    ASSERT_EQ(bus->PendingCount(), 1u);
    pending->irp = nullptr;  // the machine takes its IRPs with it
    kernel.reset();
    EXPECT_EQ(pending->completions, 0);
    EXPECT_EQ(bus->PendingCount(), 0u);
    EXPECT_EQ(bus->Log()[0].outcome, UrbOutcome::Abandoned);
    bus.reset();
}

}  // namespace
