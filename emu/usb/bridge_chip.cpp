// The emulated bridge chip: construction, URB intake with injected faults, standard-request
// checks, violations and the state a test reads.
#include "emu/usb/bridge_chip.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "chip/eeprom_signature.h"
#include "emu/kernel/sched.h"

namespace emu::usb {

namespace {

std::mutex& ReporterMutex() {
    static std::mutex mutex;
    return mutex;
}
ViolationReporter& Reporter() {
    static ViolationReporter reporter;
    return reporter;
}

// A failed or stalled request moves nothing.
UrbResult NothingMoved(URB& urb, UrbResult result) {
    DataStage stage = DataStageOf(urb);
    if (stage.length_field != nullptr) {
        *stage.length_field = 0;
    }
    return result;
}

bool IsSelection(USHORT function) {
    return function == URB_FUNCTION_SELECT_CONFIGURATION ||
           function == URB_FUNCTION_SELECT_INTERFACE;
}

}  // namespace

double DecodeBaudRate(uint32_t dte_rate) {
    if ((dte_rate & 0x80000000u) == 0) {
        return dte_rate;
    }
    const uint32_t mantissa = dte_rate & 0x1FF;
    const uint32_t exponent = (dte_rate >> 9) & 0x7;
    if (mantissa == 0) {
        return 0;
    }
    return 384'000'000.0 / (static_cast<double>(mantissa) * std::pow(4.0, exponent));
}

void SetViolationReporter(ViolationReporter reporter) {
    std::lock_guard<std::mutex> lock(ReporterMutex());
    Reporter() = std::move(reporter);
}

std::string ProtocolViolation::Describe() const {
    char head[48];
    snprintf(head, sizeof(head), "t=%" PRId64 ".%07" PRId64 "s ", time / kSecond, time % kSecond);
    return head + setup.ToString() + ": " + reason;
}

// ---------------------------------------------------------------------------------------------
// Options and faults
// ---------------------------------------------------------------------------------------------
BridgeDescriptorOptions BridgeChipOptions::Descriptors() const {
    BridgeDescriptorOptions descriptors;
    descriptors.generation = generation;
    descriptors.layout = layout;
    descriptors.near_miss = near_miss;
    descriptors.generation1_class = generation1_class;
    descriptors.device_class = device_class;
    descriptors.max_packet0 = max_packet0;
    return descriptors;
}

ControlFault ControlFault::Stall(RequestFilter filter) {
    ControlFault fault;
    fault.filter = std::move(filter);
    fault.kind = Kind::Stall;
    fault.result = UrbResult::Stall();
    return fault;
}

ControlFault ControlFault::Fail(RequestFilter filter, UrbResult result) {
    ControlFault fault;
    fault.filter = std::move(filter);
    fault.kind = Kind::Fail;
    fault.result = result;
    return fault;
}

ControlFault ControlFault::NoAnswer(RequestFilter filter) {
    ControlFault fault;
    fault.filter = std::move(filter);
    fault.kind = Kind::NoAnswer;
    return fault;
}

ControlFault ControlFault::Short(RequestFilter filter, ULONG length) {
    ControlFault fault;
    fault.filter = std::move(filter);
    fault.kind = Kind::Short;
    fault.short_length = length;
    return fault;
}

ControlFault ControlFault::Skip(int count) const {
    ControlFault copy = *this;
    copy.skip = count;
    return copy;
}

ControlFault ControlFault::Times(int count) const {
    ControlFault copy = *this;
    copy.times = count;
    return copy;
}

// ---------------------------------------------------------------------------------------------
// BridgeChip
// ---------------------------------------------------------------------------------------------
BridgeChip::BridgeChip(BridgeChipOptions options)
    : StandardUsbDevice(BridgeDescriptorSet(options.Descriptors())), options_(std::move(options)) {
    if (options_.registers) {
        registers_ = *options_.registers;
    } else {
        registers_ = {0x00, static_cast<uint8_t>(options_.generation == 4 ? 0x6C : 0x00), 0x00};
    }
    eeprom_.fill(0xFF);
    if (options_.programmed_eeprom) {
        ProgramSignature(0);
    }
}

BridgeChip::~BridgeChip() {
    std::vector<ProtocolViolation> left = TakeViolations();
    if (left.empty()) {
        return;
    }
    ViolationReporter reporter;
    {
        std::lock_guard<std::mutex> lock(ReporterMutex());
        reporter = Reporter();
    }
    for (const ProtocolViolation& violation : left) {
        if (reporter) {
            reporter(violation.Describe());
        } else {
            fprintf(stderr, "bridge chip protocol violation: %s\n", violation.Describe().c_str());
        }
    }
}

void BridgeChip::Submit(const std::shared_ptr<UrbTransfer>& transfer) {
    if (!transfer->Setup()) {
        StandardUsbDevice::Submit(transfer);
        return;
    }
    const SetupPacket setup = *transfer->Setup();
    const bool selection = IsSelection(transfer->Function());
    if (setup.Type() == BMREQUEST_STANDARD && !selection && !CheckStandard(setup)) {
        transfer->Complete([](URB& urb) { return NothingMoved(urb, UrbResult::Stall()); });
        return;
    }
    std::optional<ControlFault> fault = TakeFault(setup);
    if (!fault) {
        StandardUsbDevice::Submit(transfer);
        return;
    }
    switch (fault->kind) {
        case ControlFault::Kind::Stall:
        case ControlFault::Kind::Fail: {
            const UrbResult result = fault->result;
            transfer->Complete([result](URB& urb) { return NothingMoved(urb, result); });
            return;
        }
        case ControlFault::Kind::NoAnswer: {
            std::lock_guard<std::mutex> lock(chip_mutex_);
            unanswered_.push_back(transfer);
        }
            // A cancellation that came before the transfer was kept found nothing to drop.
            if (transfer->Finished()) {
                Cancelled(transfer);
            }
            return;
        case ControlFault::Kind::Short:
            break;
    }
    // Short: only a device-to-host data stage can come back short.
    if (selection || !setup.DeviceToHost()) {
        StandardUsbDevice::Submit(transfer);
        return;
    }
    const ULONG limit = fault->short_length;
    transfer->Complete([this, setup, limit](URB& urb) {
        DataStage stage = DataStageOf(urb);
        ULONG scratch = 0;
        ULONG* length = stage.length_field != nullptr ? stage.length_field : &scratch;
        *length = std::min(*length, limit);
        if (setup.Type() == BMREQUEST_STANDARD) {
            return Standard(setup, stage.buffer, length);
        }
        return OnControl(setup, stage.buffer, length);
    });
}

void BridgeChip::Cancelled(const std::shared_ptr<UrbTransfer>& transfer) {
    {
        std::lock_guard<std::mutex> lock(chip_mutex_);
        unanswered_.erase(std::remove(unanswered_.begin(), unanswered_.end(), transfer),
                          unanswered_.end());
    }
    StandardUsbDevice::Cancelled(transfer);
}

std::optional<ControlFault> BridgeChip::TakeFault(const SetupPacket& setup) {
    std::lock_guard<std::mutex> lock(chip_mutex_);
    for (ActiveFault& active : faults_) {
        if (!active.fault.filter.Matches(setup)) {
            continue;
        }
        if (active.seen++ < active.fault.skip) {
            continue;
        }
        if (active.fault.times >= 0 && active.hit >= active.fault.times) {
            continue;
        }
        ++active.hit;
        return active.fault;
    }
    return std::nullopt;
}

// The standard requests the driver has any business sending. Others are recorded (and stalled
// by the caller): false.
bool BridgeChip::CheckStandard(const SetupPacket& setup) {
    const uint8_t type = setup.wValue >> 8;
    const uint8_t index = setup.wValue & 0xFF;
    std::string problem;
    switch (setup.bRequest) {
        case USB_REQUEST_GET_DESCRIPTOR:
            if (setup.bmRequestType != 0x80) {
                problem = "GET_DESCRIPTOR not addressed device-to-host to the device";
            } else if (type == USB_DEVICE_DESCRIPTOR_TYPE ||
                       type == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
                if (index != 0 || setup.wIndex != 0) {
                    problem = "device and configuration descriptors have index 0 and language 0";
                }
            } else if (type == USB_STRING_DESCRIPTOR_TYPE) {
                if (index == 0 ? setup.wIndex != 0 : setup.wIndex != 0x0409) {
                    problem = index == 0 ? "the language list is read with language 0"
                                         : "strings are read in language 0x0409";
                }
            } else {
                problem = "descriptor type the chip does not have";
            }
            break;
        case USB_REQUEST_SET_FEATURE:
        case USB_REQUEST_CLEAR_FEATURE:
            if (setup.Recipient() == BMREQUEST_TO_DEVICE) {
                if (setup.wValue != USB_FEATURE_REMOTE_WAKEUP || setup.wIndex != 0 ||
                    setup.wLength != 0) {
                    problem = "the only device feature is remote wake-up (wValue 1, wIndex 0)";
                }
            } else if (setup.Recipient() != BMREQUEST_TO_ENDPOINT ||
                       setup.wValue != USB_FEATURE_ENDPOINT_STALL) {
                problem = "feature request to neither the device nor an endpoint's halt";
            }
            break;
        case USB_REQUEST_GET_STATUS:
        case USB_REQUEST_GET_CONFIGURATION:
        case USB_REQUEST_GET_INTERFACE:
        case USB_REQUEST_SET_CONFIGURATION:
        case USB_REQUEST_SET_INTERFACE:
            break;
        default:
            problem = "standard request the chip does not answer";
            break;
    }
    if (problem.empty()) {
        return true;
    }
    std::lock_guard<std::mutex> lock(chip_mutex_);
    RecordViolation(setup, std::move(problem));
    return false;
}

UrbResult BridgeChip::OnControl(const SetupPacket& setup, UCHAR* data, ULONG* length) {
    std::lock_guard<std::mutex> lock(chip_mutex_);
    switch (setup.Type()) {
        case BMREQUEST_CLASS:
            return ClassRequest(setup, data, length);
        case BMREQUEST_VENDOR:
            return VendorRequest(setup, data, length);
        default:
            return Violation(setup, length, "reserved request type");
    }
}

UrbResult BridgeChip::Violation(const SetupPacket& setup, ULONG* length, std::string reason) {
    RecordViolation(setup, std::move(reason));
    *length = 0;
    return UrbResult::Stall();
}

void BridgeChip::RecordViolation(const SetupPacket& setup, std::string reason) {
    violations_.push_back({Now(), setup, std::move(reason)});
}

std::vector<ProtocolViolation> BridgeChip::Violations() const {
    std::lock_guard<std::mutex> lock(chip_mutex_);
    return violations_;
}

std::vector<ProtocolViolation> BridgeChip::TakeViolations() {
    std::lock_guard<std::mutex> lock(chip_mutex_);
    std::vector<ProtocolViolation> taken;
    taken.swap(violations_);
    return taken;
}

void BridgeChip::InjectFault(ControlFault fault) {
    std::lock_guard<std::mutex> lock(chip_mutex_);
    faults_.push_back({std::move(fault), 0, 0});
}

void BridgeChip::ClearFaults() {
    std::lock_guard<std::mutex> lock(chip_mutex_);
    faults_.clear();
}

size_t BridgeChip::UnansweredCount() const {
    std::lock_guard<std::mutex> lock(chip_mutex_);
    return unanswered_.size();
}

// ---------------------------------------------------------------------------------------------
// State
// ---------------------------------------------------------------------------------------------
uint8_t BridgeChip::Register(int r) const {
    std::lock_guard<std::mutex> lock(chip_mutex_);
    return r >= 0 && r < 3 ? registers_[r] : 0;
}

std::array<uint8_t, 3> BridgeChip::Registers() const {
    std::lock_guard<std::mutex> lock(chip_mutex_);
    return registers_;
}

void BridgeChip::SetRegister(int r, uint8_t value) {
    std::lock_guard<std::mutex> lock(chip_mutex_);
    if (r >= 0 && r < 3) {
        registers_[r] = value;
    }
}

std::vector<std::pair<int, uint8_t>> BridgeChip::RegisterWrites() const {
    std::lock_guard<std::mutex> lock(chip_mutex_);
    return register_writes_;
}

uint8_t BridgeChip::EepromByte(uint8_t address) const {
    std::lock_guard<std::mutex> lock(chip_mutex_);
    return eeprom_[address];
}

std::array<uint8_t, 256> BridgeChip::Eeprom() const {
    std::lock_guard<std::mutex> lock(chip_mutex_);
    return eeprom_;
}

void BridgeChip::SetEeprom(uint8_t address, const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(chip_mutex_);
    for (size_t i = 0; i < bytes.size(); ++i) {
        eeprom_[(address + i) & 0xFF] = bytes[i];
    }
}

void BridgeChip::ProgramSignature(uint8_t address) {
    SetEeprom(address, {static_cast<uint8_t>(EepromSignature & 0xFF),
                        static_cast<uint8_t>(EepromSignature >> 8)});
}

int BridgeChip::EepromWrites() const {
    std::lock_guard<std::mutex> lock(chip_mutex_);
    return eeprom_writes_;
}

bool BridgeChip::EepromBusy() const {
    std::lock_guard<std::mutex> lock(chip_mutex_);
    return EepromBusyLocked();
}

bool BridgeChip::EepromBusyLocked() const {
    return Now() < eeprom_busy_until_;
}

void BridgeChip::SetEepromBusyUntil(Time until) {
    std::lock_guard<std::mutex> lock(chip_mutex_);
    eeprom_busy_until_ = until;
}

LineCodingState BridgeChip::LineCoding() const {
    std::lock_guard<std::mutex> lock(chip_mutex_);
    return line_coding_;
}

uint16_t BridgeChip::ControlLines() const {
    std::lock_guard<std::mutex> lock(chip_mutex_);
    return control_lines_;
}

bool BridgeChip::BreakOn() const {
    std::lock_guard<std::mutex> lock(chip_mutex_);
    return break_on_;
}

int BridgeChip::BreakRequests() const {
    std::lock_guard<std::mutex> lock(chip_mutex_);
    return break_requests_;
}

std::optional<uint16_t> BridgeChip::CommFeature() const {
    std::lock_guard<std::mutex> lock(chip_mutex_);
    return comm_feature_;
}

std::optional<std::pair<uint8_t, uint8_t>> BridgeChip::XonXoffChars() const {
    std::lock_guard<std::mutex> lock(chip_mutex_);
    return xon_xoff_;
}

std::optional<bool> BridgeChip::Flag0809() const {
    std::lock_guard<std::mutex> lock(chip_mutex_);
    return flag0809_;
}

std::optional<uint8_t> BridgeChip::Code0B() const {
    std::lock_guard<std::mutex> lock(chip_mutex_);
    return code0b_;
}

uint16_t BridgeChip::ChipWord(uint8_t code) const {
    std::lock_guard<std::mutex> lock(chip_mutex_);
    auto it = chip_words_.find(code);
    return it == chip_words_.end() ? 0 : it->second;
}

void BridgeChip::SetChipWord(uint8_t code, uint16_t value) {
    std::lock_guard<std::mutex> lock(chip_mutex_);
    chip_words_[code] = value;
}

}  // namespace emu::usb
