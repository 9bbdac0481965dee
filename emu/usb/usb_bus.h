// The USB bus driver stand-in: the physical device object below the port, answering
// IRP_MJ_INTERNAL_DEVICE_CONTROL / IOCTL_INTERNAL_USB_SUBMIT_URB as a host controller would.
//
// Each URB is logged (function, setup packet, pipe, lengths, data, status, virtual times) and
// then, as the test's policy decides for that URB:
//   - Now:   delivered to the device model at once; if the model answers while the dispatch
//            routine runs, the request completes there and the dispatch returns its status;
//            otherwise it pends until the model answers;
//   - After: pends, and is delivered after a virtual delay on a processor thread at
//            DISPATCH_LEVEL (emu::ScheduleWork);
//   - Never: pends with a cancel routine and is never delivered; only cancellation ends it
//            (STATUS_CANCELLED, USBD_STATUS_CANCELED);
//   - a failure: ends with the given status instead of reaching the model (at once or later).
// Every pending request carries a cancel routine, whatever the policy.
//
// Without a device model the bus behaves as an empty port: every URB fails at once with
// STATUS_DEVICE_NOT_CONNECTED. Unplug() ends every pending URB that way too.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emu/kernel/kernel.h"
#include "emu/usb/device_model.h"

namespace emu::usb {

// What the bus does with one URB.
struct UrbAction {
    enum class When { Now, After, Never };
    When when = When::Now;
    Time delay = 0;                 // After
    std::optional<UrbResult> fail;  // end with this instead of delivering to the model

    static UrbAction Now() { return {}; }
    static UrbAction After(Time delay) { return {When::After, delay, std::nullopt}; }
    static UrbAction Never() { return {When::Never, 0, std::nullopt}; }
    static UrbAction Fail(UrbResult result, Time delay = 0) {
        return {delay > 0 ? When::After : When::Now, delay, result};
    }
};

// How a logged URB ended.
enum class UrbOutcome { Pending, Completed, Cancelled, Abandoned };

// One URB as it crossed the bus.
struct UrbRecord {
    uint64_t id = 0;  // 1 for the first URB since the bus was created
    Time submitted = 0;
    Time finished = -1;
    USHORT function = 0;
    std::optional<SetupPacket> setup;  // control requests
    USBD_PIPE_HANDLE pipe = nullptr;   // bulk and interrupt transfers
    std::optional<uint8_t> endpoint;   // the pipe's endpoint, when the model knows it
    ULONG transfer_flags = 0;          // bulk and interrupt transfers
    ULONG requested_length = 0;        // TransferBufferLength as submitted
    ULONG actual_length = 0;           // TransferBufferLength on completion
    bool to_host = false;
    std::vector<uint8_t> data_out;  // host-to-device data as submitted
    std::vector<uint8_t> data_in;   // device-to-host data as delivered
    NTSTATUS status = STATUS_PENDING;
    USBD_STATUS usbd_status = USBD_STATUS_PENDING;
    UrbOutcome outcome = UrbOutcome::Pending;

    bool IsControl() const { return setup.has_value(); }
    // "#3 t=0.000s VENDOR_DEVICE c0 01 0080 0000 0001 -> 1 byte [08] STATUS 0x00000000"
    std::string Describe() const;
};

// Decides what the bus does with each URB (called on the submitting thread, no lock held).
using UrbPolicy = std::function<UrbAction(const UrbRecord& request)>;

class UsbBus {
  public:
    // Creates the bus driver's device object (a PDO). `name` appears in hang reports and logs.
    explicit UsbBus(std::string name = "usb");
    // Ends what is still pending without completing it (the model and the bus go away with the
    // test) and deletes the device object.
    ~UsbBus();
    UsbBus(const UsbBus&) = delete;
    UsbBus& operator=(const UsbBus&) = delete;

    // The physical device object a function driver attaches above.
    PDEVICE_OBJECT Pdo() const { return pdo_; }
    // The bus of a device object created by UsbBus, or null.
    static UsbBus* FromDevice(PDEVICE_OBJECT device);

    // The device behind the bus (shared with the test); null unplugs it.
    void Attach(std::shared_ptr<UsbDeviceModel> model);
    std::shared_ptr<UsbDeviceModel> Model() const;
    // Ends every pending URB with STATUS_DEVICE_NOT_CONNECTED / USBD_STATUS_DEVICE_GONE and
    // detaches the model: from now on every URB fails that way. At PASSIVE_LEVEL.
    void Unplug();

    // The policy for URBs submitted from now on; an empty policy means Now for every URB.
    void SetPolicy(UrbPolicy policy);

    // The transfer log, oldest first.
    std::vector<UrbRecord> Log() const;
    void ClearLog();
    // URBs submitted and not yet ended.
    size_t PendingCount() const;
    // Delivers a URB held by the Never policy (or waiting for its delay) to the model now, on
    // the calling thread. False if it is not pending or already delivered.
    bool DeliverNow(uint64_t id);

    // Test hook: IRP_MJ_PNP, IRP_MJ_POWER and IRP_MJ_SYSTEM_CONTROL requests to the PDO. The
    // handler completes the IRP and returns its status; without one the PDO answers as a bus
    // driver does (start, stop, remove and their queries succeed; capabilities report D0/D3;
    // power requests succeed; anything else completes with its status unchanged).
    using IrpHandler = std::function<NTSTATUS(PIRP irp)>;
    void SetPnpHandler(IrpHandler handler);

    // What the PDO reports for IRP_MN_QUERY_CAPABILITIES (the fields the bus fills in: every
    // field of `caps` except Size, Version, Address and UINumber is copied into the request).
    // The default: removable, surprise removal allowed, D0 when working, D3 when sleeping, wake
    // from D2.
    void SetCapabilities(const DEVICE_CAPABILITIES& caps);
    static DEVICE_CAPABILITIES DefaultCapabilities();
    // What the PDO reports for IRP_MN_QUERY_ID with BusQueryHardwareIDs; an empty list makes it
    // answer with no list at all. The default: "USB\VID_FFFF&PID_5101&REV_0100" and
    // "USB\VID_FFFF&PID_5101" (this project's placeholder IDs).
    void SetHardwareIds(std::vector<std::u16string> ids);

    // Called by UsbShutdown: ends every bus's pending URBs without completing them.
    static void AbandonAll();

  private:
    friend class UrbTransfer;
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp);
    static VOID NTAPI CancelRoutine(PDEVICE_OBJECT device, PIRP irp);

    NTSTATUS SubmitUrb(PIRP irp, PURB urb);
    NTSTATUS OtherIrp(PIRP irp);
    // Runs the transfer's delivery (policy failure or the model); the transfer is pending or
    // being delivered.
    void Deliver(const std::shared_ptr<UrbTransfer>& transfer, const UrbAction& action);
    // Writes the result into the URB and the log and completes the request: in the caller's
    // context (inside the dispatch routine, or cancellation), or raised to DISPATCH_LEVEL as a
    // host controller's completion is.
    enum class Completion { InCaller, AtDispatch };
    void Finish(UrbTransfer& transfer, UrbResult result, UrbOutcome outcome, Completion completion);
    void Abandon();

    std::string name_;
    PDEVICE_OBJECT pdo_ = nullptr;
    mutable std::mutex mutex_;
    std::shared_ptr<UsbDeviceModel> model_;
    bool unplugged_ = false;
    UrbPolicy policy_;
    IrpHandler pnp_handler_;
    DEVICE_CAPABILITIES capabilities_ = DefaultCapabilities();
    std::vector<std::u16string> hardware_ids_{u"USB\\VID_FFFF&PID_5101&REV_0100",
                                              u"USB\\VID_FFFF&PID_5101"};
    uint64_t next_id_ = 1;
    std::vector<UrbRecord> log_;
    std::map<uint64_t, std::shared_ptr<UrbTransfer>> pending_;
};

}  // namespace emu::usb
