// The device side of the emulated USB bus: a device model answers the URBs the bus delivers to
// it, at once or later, through the UrbTransfer handle of each. The bus owns the I/O request
// that carries the URB, its cancellation and its completion; the model only writes the answer
// (data, lengths, pipe information) into the URB and names the status.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "emu/kernel/sched.h"
#include "emu/usb/urb_trace.h"

namespace emu::usb {

class UsbBus;

// How a URB ends: the status of the I/O request and the USBD status in the URB header.
struct UrbResult {
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS usbd_status = USBD_STATUS_SUCCESS;

    static UrbResult Success() { return {}; }
    // A stalled control or data pipe, as the host controller reports it.
    static UrbResult Stall() { return {STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID}; }
    static UrbResult Cancelled() { return {STATUS_CANCELLED, USBD_STATUS_CANCELED}; }
    static UrbResult DeviceGone() { return {STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE}; }
    static UrbResult Invalid() { return {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER}; }
};

// Writes the device's answer into the URB (data into the transfer buffer, the moved length into
// TransferBufferLength, pipe information for a selection) and names the result.
using UrbAnswer = std::function<UrbResult(URB& urb)>;

// One URB on its way through the bus. Shared between the bus and the model that holds it.
class UrbTransfer {
  public:
    uint64_t Id() const { return id_; }
    USHORT Function() const { return function_; }
    // The setup packet for control URBs.
    const std::optional<SetupPacket>& Setup() const { return setup_; }
    // The pipe of a bulk or interrupt transfer (null for others).
    USBD_PIPE_HANDLE Pipe() const { return pipe_; }
    // For bulk and interrupt transfers: device-to-host.
    bool ToHost() const { return to_host_; }
    ULONG RequestedLength() const { return requested_length_; }

    // Ends the transfer with the device's answer: `answer` runs once, with the URB still valid,
    // and the request completes with its result. Returns false (and does not run `answer`)
    // when the transfer has already ended (cancelled, completed, or the bus went away).
    // Any thread; at DISPATCH_LEVEL or below. `answer` may run with the transfer's lock held:
    // it may take the model's own lock, so a model must never call into a transfer (Complete,
    // Finished) while holding its own lock.
    bool Complete(const UrbAnswer& answer);
    bool Complete(UrbResult result);
    // True once the transfer has ended or is ending.
    bool Finished() const;

    UrbTransfer(const UrbTransfer&) = delete;
    UrbTransfer& operator=(const UrbTransfer&) = delete;

  private:
    friend class UsbBus;
    UrbTransfer() = default;

    enum class State {
        Delivering,  // in the bus's dispatch routine, not yet pending
        Answered,    // answered while Delivering; the dispatch routine completes it
        Pending,     // marked pending with a cancel routine; whoever claims it completes it
        Finished,
    };

    mutable std::mutex mutex_;
    State state_ = State::Delivering;
    std::optional<UrbResult> inline_result_;
    bool delivered_ = false;  // handed to the model
    WorkId work_ = 0;         // scheduled delivery, 0 if none
    UsbBus* bus_ = nullptr;   // the bus ends every transfer it still has before it goes away
    PIRP irp_ = nullptr;
    PURB urb_ = nullptr;
    uint64_t id_ = 0;
    USHORT function_ = 0;
    std::optional<SetupPacket> setup_;
    USBD_PIPE_HANDLE pipe_ = nullptr;
    bool to_host_ = false;
    ULONG requested_length_ = 0;
};

// What sits behind the bus: a USB device (the next issue's bridge chip model implements this).
class UsbDeviceModel {
  public:
    virtual ~UsbDeviceModel() = default;

    // A URB reaches the device. The model answers it now or later with transfer->Complete, or
    // keeps it (an IN transfer waiting for data) until it can. Runs on the submitting thread or
    // on a processor thread, at PASSIVE_LEVEL or DISPATCH_LEVEL; it must not block.
    virtual void Submit(const std::shared_ptr<UrbTransfer>& transfer) = 0;

    // A transfer the model was given was cancelled (the bus has completed it with
    // STATUS_CANCELLED); drop any reference to it. May run before Submit has returned.
    virtual void Cancelled(const std::shared_ptr<UrbTransfer>& transfer) {}

    // The endpoint address behind a pipe handle this model handed out, for the transfer log.
    virtual std::optional<uint8_t> EndpointOf(USBD_PIPE_HANDLE pipe) const { return std::nullopt; }
};

// A model that answers every URB at once with a function: for tests that script the device.
class FunctionDeviceModel : public UsbDeviceModel {
  public:
    using Handler = std::function<UrbResult(URB& urb, const UrbTransfer& transfer)>;
    explicit FunctionDeviceModel(Handler handler) : handler_(std::move(handler)) {}

    void Submit(const std::shared_ptr<UrbTransfer>& transfer) override {
        transfer->Complete([&](URB& urb) { return handler_(urb, *transfer); });
    }

  private:
    Handler handler_;
};

}  // namespace emu::usb
