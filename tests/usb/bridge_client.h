// A raw USB client of the emulated bridge chip for the chip model's own tests: a bus with a chip
// behind it, and control requests sent the way a function driver sends them (one URB, a
// device-control request, a 3-second wait, cancellation on time-out).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "emu/kernel/kernel.h"
#include "emu/usb/bridge_chip.h"
#include "emu/usb/usb_bus.h"
#include "tests/usb/bridge_guard.h"
#include "tests/usb/urb_client.h"

namespace bridge_test {

struct Reply {
    NTSTATUS status = STATUS_PENDING;
    USBD_STATUS usbd_status = USBD_STATUS_PENDING;
    std::vector<uint8_t> data;  // what came back (device-to-host)
};

// Sends `urb` and waits up to 3 seconds of virtual time; then cancels it and reports
// STATUS_IO_TIMEOUT once the cancellation has completed.
inline NTSTATUS SendWithTimeout(PDEVICE_OBJECT target, PURB urb) {
    KEVENT event;
    IO_STATUS_BLOCK status_block{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, target, nullptr, 0,
                                             nullptr, 0, TRUE, &event, &status_block);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IoCallDriver(target, irp);
    if (status != STATUS_PENDING) {
        return status;
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = -3 * emu::kSecond;
    if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
        IoCancelIrp(irp);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        return STATUS_IO_TIMEOUT;
    }
    return status_block.Status;
}

// A vendor (bRequest `request`, default 1) or class request as URB_FUNCTION_VENDOR_DEVICE /
// URB_FUNCTION_CLASS_INTERFACE. A device-to-host request reads `length` bytes; a host-to-device
// one sends `out`.
inline Reply Control(PDEVICE_OBJECT target, USHORT function, bool in, UCHAR request, USHORT value,
                     USHORT index, std::vector<uint8_t> out = {}, ULONG length = 0) {
    URB urb{};
    std::vector<uint8_t> buffer = in ? std::vector<uint8_t>(length) : out;
    const ULONG size = static_cast<ULONG>(buffer.size());
    UsbBuildVendorRequest(&urb, function, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          in ? USBD_TRANSFER_DIRECTION_IN : 0, 0, request, value, index,
                          size > 0 ? buffer.data() : nullptr, nullptr, size, nullptr);
    Reply reply;
    reply.status = SendWithTimeout(target, &urb);
    reply.usbd_status = urb.UrbHeader.Status;
    if (in) {
        buffer.resize(std::min<ULONG>(size, urb.UrbControlVendorClassRequest.TransferBufferLength));
        reply.data = buffer;
    }
    return reply;
}

inline Reply VendorWrite(PDEVICE_OBJECT target, USHORT value, USHORT index) {
    return Control(target, URB_FUNCTION_VENDOR_DEVICE, false, 1, value, index);
}
inline Reply VendorRead(PDEVICE_OBJECT target, USHORT value, ULONG length = 1) {
    return Control(target, URB_FUNCTION_VENDOR_DEVICE, true, 1, value, 0, {}, length);
}
inline Reply ClassWrite(PDEVICE_OBJECT target, UCHAR request, USHORT value,
                        std::vector<uint8_t> data = {}) {
    return Control(target, URB_FUNCTION_CLASS_INTERFACE, false, request, value, 0, std::move(data));
}
inline Reply LineCoding(PDEVICE_OBJECT target, uint32_t rate, uint8_t stop = 0, uint8_t parity = 0,
                        uint8_t bits = 8) {
    return ClassWrite(
        target, 0x20, 0,
        {static_cast<uint8_t>(rate), static_cast<uint8_t>(rate >> 8),
         static_cast<uint8_t>(rate >> 16), static_cast<uint8_t>(rate >> 24), stop, parity, bits});
}

inline Reply ReadDescriptor(PDEVICE_OBJECT target, UCHAR type, UCHAR index, USHORT language,
                            ULONG length) {
    URB urb{};
    std::vector<uint8_t> buffer(length);
    usb_test::BuildDescriptorRead(urb, type, index, language, buffer.data(), length);
    Reply reply;
    reply.status = SendWithTimeout(target, &urb);
    reply.usbd_status = urb.UrbHeader.Status;
    buffer.resize(std::min<ULONG>(length, urb.UrbControlDescriptorRequest.TransferBufferLength));
    reply.data = buffer;
    return reply;
}

// A kernel, a bus and a bridge chip plugged into it. Violations a test leaves in the chip fail
// it (bridge_guard.h).
class BridgeTest : public ::testing::Test {
  protected:
    std::shared_ptr<emu::usb::BridgeChip> Plug(emu::usb::BridgeChipOptions options = {}) {
        chip_ = std::make_shared<emu::usb::BridgeChip>(std::move(options));
        bus_.Attach(chip_);
        return chip_;
    }
    PDEVICE_OBJECT Pdo() const { return bus_.Pdo(); }

    emu::Kernel kernel_;
    emu::usb::UsbBus bus_;
    std::shared_ptr<emu::usb::BridgeChip> chip_;
};

}  // namespace bridge_test
