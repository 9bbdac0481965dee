// The USB bus driver stand-in: URB submission, pending, cancellation, completion and the log.
#include "emu/usb/usb_bus.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <set>

#include "emu/kernel/bugcheck.h"
#include "emu/kernel/io_manager.h"
#include "emu/kernel/sched.h"

namespace emu::usb {

namespace {

// Every live bus, so the cancel routine (a plain function) finds its bus and UsbShutdown can
// reach them all.
std::mutex& RegistryMutex() {
    static std::mutex mutex;
    return mutex;
}
std::map<PDEVICE_OBJECT, UsbBus*>& Registry() {
    static std::map<PDEVICE_OBJECT, UsbBus*> registry;
    return registry;
}
std::set<UsbBus*>& AllBuses() {
    static std::set<UsbBus*> buses;
    return buses;
}

// The transfer's id travels in the IRP's first driver-context slot while the bus owns the IRP.
void StoreId(PIRP irp, uint64_t id) {
    irp->Tail.Overlay.DriverContext[0] = reinterpret_cast<PVOID>(static_cast<uintptr_t>(id));
}
uint64_t LoadId(PIRP irp) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(irp->Tail.Overlay.DriverContext[0]));
}

// Sets the moved length of a URB's data stage to 0 (a failed or cancelled transfer moved nothing
// the driver may use).
UrbResult NothingMoved(URB& urb, UrbResult result) {
    DataStage stage = DataStageOf(urb);
    if (stage.length_field != nullptr) {
        *stage.length_field = 0;
    }
    return result;
}

const char* OutcomeName(UrbOutcome outcome) {
    switch (outcome) {
        case UrbOutcome::Pending:
            return "pending";
        case UrbOutcome::Completed:
            return "completed";
        case UrbOutcome::Cancelled:
            return "cancelled";
        case UrbOutcome::Abandoned:
            return "abandoned";
    }
    return "?";
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// UrbRecord
// ---------------------------------------------------------------------------------------------
std::string UrbRecord::Describe() const {
    char head[96];
    snprintf(head, sizeof(head), "#%" PRIu64 " t=%" PRId64 ".%07" PRId64 "s ", id,
             submitted / kSecond, submitted % kSecond);
    std::string text = head + UrbFunctionName(function);
    if (setup) {
        text += " [" + setup->ToString() + "]";
    }
    if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        char where[48];
        if (endpoint) {
            snprintf(where, sizeof(where), " ep %02x", *endpoint);
        } else {
            snprintf(where, sizeof(where), " pipe %p", pipe);
        }
        text += where;
        text += to_host ? " in" : " out";
    }
    char lengths[160];
    snprintf(lengths, sizeof(lengths), " len %u/%u %s status 0x%08x usbd 0x%08x", actual_length,
             requested_length, OutcomeName(outcome), static_cast<uint32_t>(status),
             static_cast<uint32_t>(usbd_status));
    text += lengths;
    if (!data_out.empty()) {
        text += " out[" + HexBytes(data_out, 16) + "]";
    }
    if (!data_in.empty()) {
        text += " in[" + HexBytes(data_in, 16) + "]";
    }
    return text;
}

// ---------------------------------------------------------------------------------------------
// UrbTransfer
// ---------------------------------------------------------------------------------------------
bool UrbTransfer::Complete(const UrbAnswer& answer) {
    std::unique_lock<std::mutex> lock(mutex_);
    switch (state_) {
        case State::Delivering:
            // Inside the bus's dispatch routine (on this thread or raced from another): answer now,
            // the dispatch routine completes the request and returns its status.
            inline_result_ = answer(*urb_);
            state_ = State::Answered;
            return true;
        case State::Pending: {
            // Claim the request against cancellation: whoever takes the cancel routine ends it.
            if (IoSetCancelRoutine(irp_, nullptr) == nullptr) {
                return false;
            }
            state_ = State::Finished;
            UsbBus* bus = bus_;
            lock.unlock();
            UrbResult result = answer(*urb_);
            bus->Finish(*this, result, UrbOutcome::Completed, UsbBus::Completion::AtDispatch);
            return true;
        }
        case State::Answered:
        case State::Finished:
            break;
    }
    return false;
}

bool UrbTransfer::Complete(UrbResult result) {
    return Complete([result](URB&) { return result; });
}

bool UrbTransfer::Finished() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_ == State::Answered || state_ == State::Finished;
}

// ---------------------------------------------------------------------------------------------
// UsbBus
// ---------------------------------------------------------------------------------------------
UsbBus::UsbBus(std::string name) : name_(std::move(name)) {
    pdo_ =
        CreatePhysicalDevice([](PDEVICE_OBJECT device, PIRP irp) { return Dispatch(device, irp); });
    std::lock_guard<std::mutex> lock(RegistryMutex());
    Registry()[pdo_] = this;
    AllBuses().insert(this);
}

UsbBus::~UsbBus() {
    Abandon();
    PDEVICE_OBJECT pdo;
    {
        std::lock_guard<std::mutex> lock(RegistryMutex());
        Registry().erase(pdo_);
        AllBuses().erase(this);
        pdo = pdo_;
    }
    if (pdo != nullptr && Kernel::Current() != nullptr) {
        DeletePhysicalDevice(pdo);
    }
}

UsbBus* UsbBus::FromDevice(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    auto it = Registry().find(device);
    return it == Registry().end() ? nullptr : it->second;
}

void UsbBus::Attach(std::shared_ptr<UsbDeviceModel> model) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_ = std::move(model);
    unplugged_ = model_ == nullptr;
}

std::shared_ptr<UsbDeviceModel> UsbBus::Model() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return model_;
}

void UsbBus::SetPolicy(UrbPolicy policy) {
    std::lock_guard<std::mutex> lock(mutex_);
    policy_ = std::move(policy);
}

void UsbBus::SetPnpHandler(IrpHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    pnp_handler_ = std::move(handler);
}

std::vector<UrbRecord> UsbBus::Log() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

void UsbBus::ClearLog() {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.clear();
}

size_t UsbBus::PendingCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_.size();
}

NTSTATUS NTAPI UsbBus::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    UsbBus* bus = FromDevice(device);
    if (bus == nullptr) {
        return CompleteIrp(irp, STATUS_NO_SUCH_DEVICE);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        return bus->OtherIrp(irp);
    }
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB:
            return bus->SubmitUrb(irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
        case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
            auto* port_status = static_cast<PULONG>(stack->Parameters.Others.Argument1);
            if (port_status == nullptr) {
                return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
            }
            std::lock_guard<std::mutex> lock(bus->mutex_);
            *port_status = bus->unplugged_ ? 0 : (USBD_PORT_ENABLED | USBD_PORT_CONNECTED);
            return CompleteIrp(irp, STATUS_SUCCESS);
        }
        case IOCTL_INTERNAL_USB_RESET_PORT:
        case IOCTL_INTERNAL_USB_CYCLE_PORT:
            return CompleteIrp(irp, bus->Model() ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED);
        default:
            return CompleteIrp(irp, STATUS_NOT_SUPPORTED);
    }
}

NTSTATUS UsbBus::OtherIrp(PIRP irp) {
    IrpHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        handler = pnp_handler_;
    }
    if (handler) {
        return handler(irp);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_QUERY_CAPABILITIES) {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        if (caps != nullptr) {
            DEVICE_CAPABILITIES answer;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                answer = capabilities_;
            }
            answer.Size = caps->Size;
            answer.Version = caps->Version;
            answer.Address = caps->Address;
            answer.UINumber = caps->UINumber;
            *caps = answer;
        }
        return CompleteIrp(irp, STATUS_SUCCESS);
    }
    if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_QUERY_ID &&
        stack->Parameters.QueryId.IdType == BusQueryHardwareIDs) {
        std::vector<std::u16string> ids;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ids = hardware_ids_;
        }
        if (ids.empty()) {
            return CompleteIrp(irp, STATUS_SUCCESS, 0);
        }
        size_t chars = 1;  // the list's final terminator
        for (const std::u16string& id : ids) {
            chars += id.size() + 1;
        }
        // The requester frees the list with ExFreePool, as the platform's bus drivers allocate it.
        auto* list = static_cast<WCHAR*>(
            ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), PoolTag("EBus")));
        if (list == nullptr) {
            return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
        }
        WCHAR* p = list;
        for (const std::u16string& id : ids) {
            for (char16_t c : id) {
                *p++ = WCHAR(c);
            }
            *p++ = 0;
        }
        *p = 0;
        return CompleteIrp(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(list));
    }
    return CompleteLikeBusDriver(pdo_, irp);
}

DEVICE_CAPABILITIES UsbBus::DefaultCapabilities() {
    DEVICE_CAPABILITIES caps;
    RtlZeroMemory(&caps, sizeof caps);
    caps.Removable = 1;
    caps.SurpriseRemovalOK = 1;
    caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int state = PowerSystemSleeping1; state < PowerSystemMaximum; ++state) {
        caps.DeviceState[state] = PowerDeviceD3;
    }
    caps.DeviceWake = PowerDeviceD2;
    caps.SystemWake = PowerSystemSleeping3;
    return caps;
}

void UsbBus::SetCapabilities(const DEVICE_CAPABILITIES& caps) {
    std::lock_guard<std::mutex> lock(mutex_);
    capabilities_ = caps;
}

void UsbBus::SetHardwareIds(std::vector<std::u16string> ids) {
    std::lock_guard<std::mutex> lock(mutex_);
    hardware_ids_ = std::move(ids);
}

NTSTATUS UsbBus::SubmitUrb(PIRP irp, PURB urb) {
    if (urb == nullptr) {
        return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
    }

    std::shared_ptr<UrbTransfer> transfer(new UrbTransfer());
    transfer->bus_ = this;
    transfer->irp_ = irp;
    transfer->urb_ = urb;
    transfer->function_ = urb->UrbHeader.Function;
    transfer->setup_ = SetupPacketOf(*urb);
    DataStage stage = DataStageOf(*urb);
    transfer->to_host_ = stage.to_host;
    transfer->requested_length_ = stage.length;
    if (transfer->function_ == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        transfer->pipe_ = urb->UrbBulkOrInterruptTransfer.PipeHandle;
    }

    UrbRecord record;
    record.submitted = Now();
    record.function = transfer->function_;
    record.setup = transfer->setup_;
    record.pipe = transfer->pipe_;
    record.requested_length = stage.length;
    record.to_host = stage.to_host;
    if (transfer->function_ == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        record.transfer_flags = urb->UrbBulkOrInterruptTransfer.TransferFlags;
    }
    if (!stage.to_host && stage.buffer != nullptr && stage.length > 0) {
        record.data_out.assign(stage.buffer, stage.buffer + stage.length);
    }

    UrbPolicy policy;
    std::shared_ptr<UsbDeviceModel> model;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        record.id = next_id_++;
        policy = policy_;
        model = model_;
    }
    if (model != nullptr && transfer->pipe_ != nullptr) {
        record.endpoint = model->EndpointOf(transfer->pipe_);
    }
    transfer->id_ = record.id;
    StoreId(irp, record.id);

    UrbAction action = policy ? policy(record) : UrbAction::Now();
    if (model == nullptr) {
        action.fail = UrbResult::DeviceGone();
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (unplugged_) {
            action.fail = UrbResult::DeviceGone();
        }
        log_.push_back(record);
        pending_[record.id] = transfer;
    }

    if (action.when == UrbAction::When::Now) {
        Deliver(transfer, action);
    }
    {
        // An answer that came while delivering (from this thread, or from another thread up to
        // this point: the check and the switch to Pending are one step) completes it here.
        std::unique_lock<std::mutex> lock(transfer->mutex_);
        if (transfer->state_ == UrbTransfer::State::Answered) {
            transfer->state_ = UrbTransfer::State::Finished;
            UrbResult result = *transfer->inline_result_;
            lock.unlock();
            // Completed inside the dispatch routine: the caller gets the status directly.
            Finish(*transfer, result, UrbOutcome::Completed, Completion::InCaller);
            return result.status;
        }
        // The request pends: mark it, let it be cancelled, and take care of a cancellation
        // that came before the cancel routine was in place.
        transfer->state_ = UrbTransfer::State::Pending;
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelRoutine);
    }
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        {
            std::lock_guard<std::mutex> lock(transfer->mutex_);
            transfer->state_ = UrbTransfer::State::Finished;
        }
        Finish(*transfer, NothingMoved(*urb, UrbResult::Cancelled()), UrbOutcome::Cancelled,
               Completion::InCaller);
        return STATUS_PENDING;
    }
    if (action.when == UrbAction::When::After) {
        std::lock_guard<std::mutex> lock(transfer->mutex_);
        if (transfer->state_ == UrbTransfer::State::Pending) {
            transfer->work_ = ScheduleWork(
                Now() + action.delay, [this, transfer, action] { Deliver(transfer, action); },
                name_ + ": delayed " + UrbFunctionName(transfer->function_));
        }
    }
    return STATUS_PENDING;
}

void UsbBus::Deliver(const std::shared_ptr<UrbTransfer>& transfer, const UrbAction& action) {
    {
        std::lock_guard<std::mutex> lock(transfer->mutex_);
        if (transfer->state_ != UrbTransfer::State::Delivering &&
            transfer->state_ != UrbTransfer::State::Pending) {
            return;
        }
        if (transfer->delivered_) {
            return;
        }
        transfer->delivered_ = true;
        transfer->work_ = 0;
    }
    if (action.fail) {
        UrbResult fail = *action.fail;
        transfer->Complete([fail](URB& urb) { return NothingMoved(urb, fail); });
        return;
    }
    std::shared_ptr<UsbDeviceModel> model = Model();
    if (model == nullptr) {
        transfer->Complete([](URB& urb) { return NothingMoved(urb, UrbResult::DeviceGone()); });
        return;
    }
    model->Submit(transfer);
}

bool UsbBus::DeliverNow(uint64_t id) {
    std::shared_ptr<UrbTransfer> transfer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = pending_.find(id);
        if (it == pending_.end()) {
            return false;
        }
        transfer = it->second;
    }
    WorkId work;
    {
        std::lock_guard<std::mutex> lock(transfer->mutex_);
        if (transfer->state_ != UrbTransfer::State::Pending || transfer->delivered_) {
            return false;
        }
        work = transfer->work_;
    }
    if (work != 0) {
        CancelWork(work);
    }
    Deliver(transfer, UrbAction::Now());
    return true;
}

VOID NTAPI UsbBus::CancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    UsbBus* bus = FromDevice(device);
    if (bus == nullptr) {
        BugCheck(rule::kInvalidParameter, "USB bus cancel routine for an unknown device %p",
                 static_cast<void*>(device));
        return;
    }
    std::shared_ptr<UrbTransfer> transfer;
    {
        std::lock_guard<std::mutex> lock(bus->mutex_);
        auto it = bus->pending_.find(LoadId(irp));
        if (it != bus->pending_.end()) {
            transfer = it->second;
        }
    }
    if (transfer == nullptr) {
        return;
    }
    WorkId work;
    bool delivered;
    {
        // The cancel routine was taken from the IRP, so no completion can claim it any more.
        std::lock_guard<std::mutex> lock(transfer->mutex_);
        transfer->state_ = UrbTransfer::State::Finished;
        work = transfer->work_;
        delivered = transfer->delivered_;
    }
    if (work != 0) {
        CancelWork(work);
    }
    if (delivered) {
        if (std::shared_ptr<UsbDeviceModel> model = bus->Model()) {
            model->Cancelled(transfer);
        }
    }
    bus->Finish(*transfer, NothingMoved(*transfer->urb_, UrbResult::Cancelled()),
                UrbOutcome::Cancelled, Completion::InCaller);
}

void UsbBus::Finish(UrbTransfer& transfer, UrbResult result, UrbOutcome outcome,
                    Completion completion) {
    URB& urb = *transfer.urb_;
    urb.UrbHeader.Status = result.usbd_status;
    DataStage stage = DataStageOf(urb);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = log_.rbegin(); it != log_.rend(); ++it) {
            if (it->id != transfer.id_) {
                continue;
            }
            it->finished = Now();
            it->status = result.status;
            it->usbd_status = result.usbd_status;
            it->outcome = outcome;
            it->actual_length = stage.length;
            if (stage.to_host && stage.buffer != nullptr && NT_SUCCESS(result.status)) {
                const ULONG moved = std::min(stage.length, transfer.requested_length_);
                it->data_in.assign(stage.buffer, stage.buffer + moved);
            }
            break;
        }
        pending_.erase(transfer.id_);
    }
    PIRP irp = transfer.irp_;
    irp->IoStatus.Status = result.status;
    irp->IoStatus.Information = 0;
    // A host controller completes pended transfers from its DPC, at DISPATCH_LEVEL.
    KIRQL old_irql = KeGetCurrentIrql();
    const bool raise = completion == Completion::AtDispatch && old_irql < DISPATCH_LEVEL;
    if (raise) {
        KeRaiseIrql(DISPATCH_LEVEL, &old_irql);
    }
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    if (raise) {
        KeLowerIrql(old_irql);
    }
}

void UsbBus::Unplug() {
    std::vector<std::shared_ptr<UrbTransfer>> transfers;
    std::shared_ptr<UsbDeviceModel> model;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        unplugged_ = true;
        model = std::move(model_);
        for (auto& [id, transfer] : pending_) {
            transfers.push_back(transfer);
        }
    }
    for (auto& transfer : transfers) {
        WorkId work;
        {
            std::lock_guard<std::mutex> lock(transfer->mutex_);
            if (transfer->state_ != UrbTransfer::State::Pending ||
                IoSetCancelRoutine(transfer->irp_, nullptr) == nullptr) {
                continue;
            }
            transfer->state_ = UrbTransfer::State::Finished;
            work = transfer->work_;
        }
        if (work != 0) {
            CancelWork(work);
        }
        if (model != nullptr) {
            model->Cancelled(transfer);
        }
        Finish(*transfer, NothingMoved(*transfer->urb_, UrbResult::DeviceGone()),
               UrbOutcome::Completed, Completion::AtDispatch);
    }
}

void UsbBus::Abandon() {
    std::vector<std::shared_ptr<UrbTransfer>> transfers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& [id, transfer] : pending_) {
            transfers.push_back(transfer);
        }
    }
    for (auto& transfer : transfers) {
        WorkId work;
        {
            std::lock_guard<std::mutex> lock(transfer->mutex_);
            transfer->state_ = UrbTransfer::State::Finished;
            work = transfer->work_;
            transfer->work_ = 0;
            IoSetCancelRoutine(transfer->irp_, nullptr);
        }
        const bool alive = Kernel::Current() != nullptr;
        if (work != 0 && alive) {
            CancelWork(work);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& record : log_) {
            if (record.id == transfer->id_) {
                record.outcome = UrbOutcome::Abandoned;
                record.finished = alive ? Now() : record.submitted;
            }
        }
        pending_.erase(transfer->id_);
    }
}

void UsbBus::AbandonAll() {
    std::vector<UsbBus*> buses;
    {
        std::lock_guard<std::mutex> lock(RegistryMutex());
        buses.assign(AllBuses().begin(), AllBuses().end());
    }
    for (UsbBus* bus : buses) {
        bus->Abandon();
        // The I/O manager deletes every device object when the machine shuts down.
        std::lock_guard<std::mutex> lock(RegistryMutex());
        Registry().erase(bus->pdo_);
        bus->pdo_ = nullptr;
    }
}

}  // namespace emu::usb

namespace emu {

void UsbReset() {}

void UsbShutdown() {
    usb::UsbBus::AbandonAll();
}

}  // namespace emu
