// The emulated bridge chip's data pipes: the status packets of the interrupt-in pipe, the
// receive FIFO behind the bulk-in pipe and the bulk-out pipe's delivery to the far end.
//
// Every data transfer is queued on its endpoint and answered by one pump at a time, running as
// device-model work on a processor thread (DISPATCH_LEVEL), as a host controller's completion
// would. The pump answers a transfer, which runs the driver's completion routine, which may
// submit the next transfer; that one is only queued, so nothing recurses and bulk-out packets
// reach the far end in the order they were sent.
#include <algorithm>
#include <cstring>

#include "emu/kernel/sched.h"
#include "emu/usb/bridge_chip.h"

namespace emu::usb {

std::vector<uint8_t> StatusPacket(uint16_t line_state) {
    return {0xA1,
            0x20,
            0x00,
            0x00,
            0x00,
            0x00,
            0x02,
            0x00,
            static_cast<uint8_t>(line_state & 0xFF),
            static_cast<uint8_t>(line_state >> 8)};
}

// ---------------------------------------------------------------------------------------------
// Intake
// ---------------------------------------------------------------------------------------------
std::deque<std::shared_ptr<UrbTransfer>>* BridgeChip::DataQueue(uint8_t endpoint) {
    switch (endpoint) {
        case kBridgeInterruptIn:
            return &status_reads_;
        case kBridgeBulkIn:
            return &bulk_in_reads_;
        case kBridgeBulkOut:
            return &bulk_out_writes_;
        default:
            return nullptr;
    }
}

void BridgeChip::OnDataTransfer(uint8_t endpoint, const std::shared_ptr<UrbTransfer>& transfer) {
    bool queued = false;
    {
        std::lock_guard<std::mutex> lock(data_mutex_);
        if (std::deque<std::shared_ptr<UrbTransfer>>* queue = DataQueue(endpoint)) {
            queue->push_back(transfer);
            queued = true;
        }
    }
    if (!queued) {
        // Not one of the chip's data endpoints (a test's own descriptor set).
        StandardUsbDevice::OnDataTransfer(endpoint, transfer);
        return;
    }
    DropFinished(endpoint);
    SchedulePump();
}

// Cancelled reads stay queued until the pump meets them; this drops them earlier, so a driver
// that cancels and re-submits many times does not grow the queue. (Finished() takes the
// transfer's lock, which is never taken under data_mutex_.)
void BridgeChip::DropFinished(uint8_t endpoint) {
    std::deque<std::shared_ptr<UrbTransfer>> snapshot;
    {
        std::lock_guard<std::mutex> lock(data_mutex_);
        snapshot = *DataQueue(endpoint);
    }
    std::vector<std::shared_ptr<UrbTransfer>> finished;
    for (const auto& transfer : snapshot) {
        if (transfer->Finished()) {
            finished.push_back(transfer);
        }
    }
    if (finished.empty()) {
        return;
    }
    std::lock_guard<std::mutex> lock(data_mutex_);
    std::deque<std::shared_ptr<UrbTransfer>>& queue = *DataQueue(endpoint);
    for (const auto& transfer : finished) {
        queue.erase(std::remove(queue.begin(), queue.end(), transfer), queue.end());
    }
}

void BridgeChip::SchedulePump() {
    {
        std::lock_guard<std::mutex> lock(data_mutex_);
        if (pump_ != PumpState::Idle) {
            return;  // a pump is queued or running; it looks at the queues before it stops
        }
        pump_ = PumpState::Queued;
    }
    std::weak_ptr<BridgeChip> self = weak_from_this();
    QueueWork(
        [self] {
            if (std::shared_ptr<BridgeChip> chip = self.lock()) {
                chip->Pump();
            }
        },
        "bridge chip data pipes");
}

// ---------------------------------------------------------------------------------------------
// The pump
// ---------------------------------------------------------------------------------------------
void BridgeChip::Pump() {
    for (;;) {
        std::shared_ptr<UrbTransfer> transfer;
        void (BridgeChip::*answer)(const std::shared_ptr<UrbTransfer>&) = nullptr;
        {
            std::lock_guard<std::mutex> lock(data_mutex_);
            pump_ = PumpState::Running;
            if (!bulk_out_writes_.empty()) {
                transfer = bulk_out_writes_.front();
                bulk_out_writes_.pop_front();
                answer = &BridgeChip::AnswerBulkOut;
            } else if (!status_reads_.empty() && (status_changed_ || !raw_status_.empty())) {
                transfer = status_reads_.front();
                status_reads_.pop_front();
                answer = &BridgeChip::AnswerStatus;
            } else if (!bulk_in_reads_.empty() && (!receive_fifo_.empty() || empty_bulk_in_ > 0)) {
                transfer = bulk_in_reads_.front();
                bulk_in_reads_.pop_front();
                answer = &BridgeChip::AnswerBulkIn;
            } else {
                pump_ = PumpState::Idle;
                return;
            }
        }
        // A transfer cancelled meanwhile is not answered; what it would have taken stays.
        (this->*answer)(transfer);
    }
}

void BridgeChip::AnswerBulkOut(const std::shared_ptr<UrbTransfer>& transfer) {
    std::vector<uint8_t> bytes;
    const bool done = transfer->Complete([&](URB& urb) {
        auto& bulk = urb.UrbBulkOrInterruptTransfer;
        if (bulk.TransferBuffer != nullptr && bulk.TransferBufferLength > 0) {
            const auto* data = static_cast<const uint8_t*>(bulk.TransferBuffer);
            bytes.assign(data, data + bulk.TransferBufferLength);
        }
        bulk.TransferBufferLength = static_cast<ULONG>(bytes.size());
        return UrbResult::Success();
    });
    if (!done) {
        return;
    }
    std::shared_ptr<FarEnd> far_end;
    {
        std::lock_guard<std::mutex> lock(data_mutex_);
        bulk_out_packets_.push_back(bytes);
        far_end_received_.insert(far_end_received_.end(), bytes.begin(), bytes.end());
        far_end = far_end_;
    }
    if (far_end != nullptr && !bytes.empty()) {
        far_end->Receive(bytes);
    }
}

void BridgeChip::AnswerStatus(const std::shared_ptr<UrbTransfer>& transfer) {
    transfer->Complete([this](URB& urb) {
        std::vector<uint8_t> packet;
        {
            std::lock_guard<std::mutex> lock(data_mutex_);
            if (!raw_status_.empty()) {
                packet = std::move(raw_status_.front());
                raw_status_.pop_front();
            } else {
                packet = StatusPacket(modem_lines_ | pending_errors_);
                pending_errors_ = 0;
                status_changed_ = false;
            }
            ++status_packets_;
        }
        auto& bulk = urb.UrbBulkOrInterruptTransfer;
        ULONG count = std::min<ULONG>(bulk.TransferBufferLength, static_cast<ULONG>(packet.size()));
        if (bulk.TransferBuffer == nullptr) {
            count = 0;
        }
        if (count > 0) {
            memcpy(bulk.TransferBuffer, packet.data(), count);
        }
        bulk.TransferBufferLength = count;
        return UrbResult::Success();
    });
}

void BridgeChip::AnswerBulkIn(const std::shared_ptr<UrbTransfer>& transfer) {
    transfer->Complete([this](URB& urb) {
        auto& bulk = urb.UrbBulkOrInterruptTransfer;
        ULONG count = 0;
        std::lock_guard<std::mutex> lock(data_mutex_);
        if (empty_bulk_in_ > 0) {
            --empty_bulk_in_;
        } else if (bulk.TransferBuffer != nullptr) {
            count =
                std::min<ULONG>({bulk.TransferBufferLength, static_cast<ULONG>(kBulkInMaxPacket),
                                 static_cast<ULONG>(receive_fifo_.size())});
            auto* data = static_cast<uint8_t*>(bulk.TransferBuffer);
            std::copy(receive_fifo_.begin(), receive_fifo_.begin() + count, data);
            receive_fifo_.erase(receive_fifo_.begin(), receive_fifo_.begin() + count);
        }
        bulk.TransferBufferLength = count;
        return UrbResult::Success();
    });
}

// ---------------------------------------------------------------------------------------------
// Test API
// ---------------------------------------------------------------------------------------------
void BridgeChip::SetFarEnd(std::shared_ptr<FarEnd> far_end) {
    std::lock_guard<std::mutex> lock(data_mutex_);
    far_end_ = std::move(far_end);
}

void BridgeChip::FarEndSend(const std::vector<uint8_t>& bytes) {
    {
        std::lock_guard<std::mutex> lock(data_mutex_);
        receive_fifo_.insert(receive_fifo_.end(), bytes.begin(), bytes.end());
    }
    SchedulePump();
}

size_t BridgeChip::ReceiveFifoCount() const {
    std::lock_guard<std::mutex> lock(data_mutex_);
    return receive_fifo_.size();
}

std::vector<uint8_t> BridgeChip::FarEndReceived() const {
    std::lock_guard<std::mutex> lock(data_mutex_);
    return far_end_received_;
}

std::vector<std::vector<uint8_t>> BridgeChip::BulkOutPackets() const {
    std::lock_guard<std::mutex> lock(data_mutex_);
    return bulk_out_packets_;
}

size_t BridgeChip::ZeroLengthPackets() const {
    std::lock_guard<std::mutex> lock(data_mutex_);
    return std::count_if(bulk_out_packets_.begin(), bulk_out_packets_.end(),
                         [](const std::vector<uint8_t>& packet) { return packet.empty(); });
}

void BridgeChip::SetModemLines(uint16_t lines) {
    {
        std::lock_guard<std::mutex> lock(data_mutex_);
        lines &= kModemLineBits;
        if (lines == modem_lines_) {
            return;
        }
        modem_lines_ = lines;
        status_changed_ = true;
    }
    SchedulePump();
}

void BridgeChip::InjectLineError(uint16_t errors) {
    {
        std::lock_guard<std::mutex> lock(data_mutex_);
        errors &= kLineErrorBits;
        if (errors == 0) {
            return;
        }
        pending_errors_ |= errors;
        status_changed_ = true;
    }
    SchedulePump();
}

uint16_t BridgeChip::LineState() const {
    std::lock_guard<std::mutex> lock(data_mutex_);
    return modem_lines_ | pending_errors_;
}

size_t BridgeChip::StatusPacketsSent() const {
    std::lock_guard<std::mutex> lock(data_mutex_);
    return status_packets_;
}

void BridgeChip::SendRawStatus(std::vector<uint8_t> packet) {
    {
        std::lock_guard<std::mutex> lock(data_mutex_);
        raw_status_.push_back(std::move(packet));
    }
    SchedulePump();
}

void BridgeChip::SendEmptyBulkIn() {
    {
        std::lock_guard<std::mutex> lock(data_mutex_);
        ++empty_bulk_in_;
    }
    SchedulePump();
}

size_t BridgeChip::PendingReads(uint8_t endpoint) const {
    std::deque<std::shared_ptr<UrbTransfer>> snapshot;
    {
        std::lock_guard<std::mutex> lock(data_mutex_);
        switch (endpoint) {
            case kBridgeInterruptIn:
                snapshot = status_reads_;
                break;
            case kBridgeBulkIn:
                snapshot = bulk_in_reads_;
                break;
            default:
                return 0;
        }
    }
    return std::count_if(snapshot.begin(), snapshot.end(),
                         [](const auto& transfer) { return !transfer->Finished(); });
}

}  // namespace emu::usb
