// The emulated bridge chip's control protocol: class requests to interface 0 and the vendor
// requests (register file, EEPROM, chip codes), each accepted only by the generations that
// have it. Everything here runs with the chip lock held, inside a transfer's answer.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "emu/kernel/sched.h"
#include "emu/usb/bridge_chip.h"

namespace emu::usb {

namespace {

constexpr uint8_t kClassOut = 0x21;   // class, interface, host-to-device
constexpr uint8_t kVendorOut = 0x40;  // vendor, device, host-to-device
constexpr uint8_t kVendorIn = 0xC0;   // vendor, device, device-to-host
constexpr uint8_t kVendorRequest = 0x01;

constexpr uint8_t kSetLineCoding = 0x20;
constexpr uint8_t kSetControlLineState = 0x22;
constexpr uint8_t kSendBreak = 0x23;
constexpr uint8_t kSetCommFeature = 0x02;
constexpr uint16_t kAbstractState = 0x0001;

// A vendor request the chip knows: its wValue, direction, answer size (reads) and the first
// generation that has it.
struct VendorCode {
    uint16_t value;
    bool in;
    uint8_t answer;
    int generation;
};

constexpr VendorCode kVendorCodes[] = {
    {0x0000, false, 0, 0}, {0x0001, false, 0, 0}, {0x0002, false, 0, 0},  // register writes
    {0x0080, true, 1, 0},  {0x0081, true, 1, 0},  {0x0082, true, 1, 0},   // register reads
    {0x0303, false, 0, 0},                                                // EEPROM write step
    {0x0404, false, 0, 0},                                                // EEPROM address step
    {0x8383, true, 1, 0},                                                 // EEPROM data step
    {0x8484, true, 1, 0},                                                 // EEPROM busy poll
    {0x0505, false, 0, 2},                                                // XON/XOFF characters
    {0x0808, false, 0, 2}, {0x0909, false, 0, 2},                         // flag off / on
    {0x0B0B, false, 0, 2},                                                // code 0x0B
    {0x0606, false, 0, 2}, {0x0707, false, 0, 2},                         // chip words
    {0x8686, true, 2, 2},  {0x8787, true, 2, 2},  {0x0C0C, false, 0, 3}, {0x0D0D, false, 0, 3},
    {0x0E0E, false, 0, 3}, {0x0F0F, false, 0, 3}, {0x8C8C, true, 2, 3},  {0x8D8D, true, 2, 3},
    {0x8E8E, true, 1, 3},  {0x8F8F, true, 1, 3},
};

const VendorCode* FindCode(uint16_t value) {
    for (const VendorCode& code : kVendorCodes) {
        if (code.value == value) {
            return &code;
        }
    }
    return nullptr;
}

std::string Format(const char* format, unsigned a, unsigned b = 0) {
    char text[128];
    snprintf(text, sizeof(text), format, a, b);
    return text;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Class requests
// ---------------------------------------------------------------------------------------------
UrbResult BridgeChip::ClassRequest(const SetupPacket& setup, UCHAR* data, ULONG* length) {
    if (setup.bmRequestType != kClassOut) {
        return Violation(setup, length, "class requests go host-to-device to an interface (0x21)");
    }
    if (setup.wIndex != 0) {
        return Violation(setup, length,
                         Format("class request to interface %u, not 0", setup.wIndex));
    }
    switch (setup.bRequest) {
        case kSetLineCoding:
            return LineCodingRequest(setup, data, length);
        case kSetControlLineState:
            if (setup.wLength != 0) {
                return Violation(setup, length, "SET_CONTROL_LINE_STATE carries no data");
            }
            control_lines_ = setup.wValue;
            return UrbResult::Success();
        case kSendBreak:
            if (setup.wLength != 0) {
                return Violation(setup, length, "SEND_BREAK carries no data");
            }
            if (setup.wValue != 0xFFFF && setup.wValue != 0) {
                return Violation(setup, length, "SEND_BREAK takes 0xFFFF (on) or 0 (off)");
            }
            break_on_ = setup.wValue == 0xFFFF;
            ++break_requests_;
            return UrbResult::Success();
        case kSetCommFeature:
            if (setup.wValue != kAbstractState) {
                return Violation(setup, length, "the only comm feature is ABSTRACT_STATE (1)");
            }
            if (setup.wLength != 2 || *length != 2 || data == nullptr) {
                return Violation(setup, length, "SET_COMM_FEATURE carries 2 bytes");
            }
            comm_feature_ = static_cast<uint16_t>(data[0] | data[1] << 8);
            return UrbResult::Success();
        default:
            return Violation(setup, length, "class request the chip does not have");
    }
}

UrbResult BridgeChip::LineCodingRequest(const SetupPacket& setup, const UCHAR* data,
                                        ULONG* length) {
    if (setup.wValue != 0) {
        return Violation(setup, length, "SET_LINE_CODING has wValue 0");
    }
    if (setup.wLength != 7 || *length != 7 || data == nullptr) {
        return Violation(setup, length, "SET_LINE_CODING carries exactly 7 bytes");
    }
    LineCodingState coding;
    memcpy(coding.raw.data(), data, 7);
    coding.dte_rate = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                      static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
    coding.char_format = data[4];
    coding.parity = data[5];
    coding.data_bits = data[6];
    if (coding.data_bits < 5 || coding.data_bits > 8) {
        return Violation(setup, length, Format("%u data bits", coding.data_bits));
    }
    if (coding.parity > 4) {
        return Violation(setup, length, Format("parity type %u", coding.parity));
    }
    if (coding.char_format > 2) {
        return Violation(setup, length, Format("stop-bit format %u", coding.char_format));
    }
    if (coding.char_format == 1 && coding.data_bits != 5) {
        return Violation(setup, length, "1.5 stop bits need 5 data bits");
    }
    if (coding.char_format == 2 && coding.data_bits == 5) {
        return Violation(setup, length, "2 stop bits need 6 to 8 data bits");
    }
    if ((coding.dte_rate & 0x80000000u) != 0 && options_.generation < 2) {
        return Violation(setup, length,
                         Format("divisor word 0x%08x on generation %u, which takes plain rates",
                                coding.dte_rate, static_cast<unsigned>(options_.generation)));
    }
    coding.baud = DecodeBaudRate(coding.dte_rate);
    coding.count = line_coding_.count + 1;
    line_coding_ = coding;
    return UrbResult::Success();
}

// ---------------------------------------------------------------------------------------------
// Vendor requests
// ---------------------------------------------------------------------------------------------
UrbResult BridgeChip::VendorRequest(const SetupPacket& setup, UCHAR* data, ULONG* length) {
    if (setup.bmRequestType != kVendorOut && setup.bmRequestType != kVendorIn) {
        return Violation(setup, length, "vendor requests go to the device (0x40 or 0xC0)");
    }
    if (setup.bRequest != kVendorRequest) {
        return Violation(setup, length,
                         Format("vendor request %u (the chip has only 1)", setup.bRequest));
    }
    const VendorCode* code = FindCode(setup.wValue);
    if (code == nullptr) {
        return Violation(setup, length, Format("unknown chip code 0x%04x", setup.wValue));
    }
    if (code->in != setup.DeviceToHost()) {
        return Violation(setup, length,
                         Format(code->in ? "chip code 0x%04x is a read"
                                         : "chip code 0x%04x is a "
                                           "write",
                                setup.wValue));
    }
    if (options_.generation < code->generation) {
        return Violation(setup, length,
                         Format("chip code 0x%04x needs generation %u", setup.wValue,
                                static_cast<unsigned>(code->generation)) +
                             Format(" (this is %u)", static_cast<unsigned>(options_.generation)));
    }
    if (!code->in) {
        return VendorOut(setup, length);
    }
    if (setup.wIndex != 0) {
        return Violation(setup, length, "chip reads have wIndex 0");
    }
    if (setup.wLength == 0 || setup.wLength > code->answer) {
        return Violation(
            setup, length,
            Format("read of %u bytes (the answer has %u)", setup.wLength, code->answer));
    }
    return VendorIn(setup, data, length);
}

UrbResult BridgeChip::VendorOut(const SetupPacket& setup, ULONG* length) {
    if (setup.wLength != 0) {
        return Violation(setup, length, "chip writes carry no data");
    }
    const uint16_t index = setup.wIndex;
    switch (setup.wValue) {
        case 0x0000:
        case 0x0001:
        case 0x0002:
            if (index > 0xFF) {
                return Violation(setup, length, "register values are one byte");
            }
            registers_[setup.wValue] = static_cast<uint8_t>(index);
            register_writes_.emplace_back(setup.wValue, static_cast<uint8_t>(index));
            break;
        case 0x0303:
            if (EepromBusyLocked()) {
                return Violation(setup, length, "EEPROM write while the EEPROM is busy");
            }
            eeprom_[index & 0xFF] = static_cast<uint8_t>(index >> 8);
            eeprom_busy_until_ = Now() + options_.eeprom_write_time;
            ++eeprom_writes_;
            break;
        case 0x0404:
            if (EepromBusyLocked()) {
                return Violation(setup, length, "EEPROM address step while the EEPROM is busy");
            }
            eeprom_address_ = index;
            break;
        case 0x0505:
            xon_xoff_ = std::make_pair(static_cast<uint8_t>(index & 0xFF),
                                       static_cast<uint8_t>(index >> 8));
            break;
        case 0x0808:
        case 0x0909:
            if (index != 0) {
                return Violation(setup, length, "chip codes 0x0808/0x0909 have wIndex 0");
            }
            flag0809_ = setup.wValue == 0x0909;
            break;
        case 0x0B0B:
            if (index > 0xFF) {
                return Violation(setup, length, "chip code 0x0B0B takes one byte");
            }
            code0b_ = static_cast<uint8_t>(index);
            break;
        default:  // chip words 0x0606, 0x0707, 0x0C0C..0x0F0F
            chip_words_[setup.wValue & 0xFF] = index;
            break;
    }
    *length = 0;
    return UrbResult::Success();
}

UrbResult BridgeChip::VendorIn(const SetupPacket& setup, UCHAR* data, ULONG* length) {
    uint8_t answer[2] = {0, 0};
    switch (setup.wValue) {
        case 0x0080:
        case 0x0081:
        case 0x0082:
            answer[0] = registers_[setup.wValue & 0x03];
            break;
        case 0x8383:
            if (EepromBusyLocked()) {
                return Violation(setup, length, "EEPROM data step while the EEPROM is busy");
            }
            answer[0] = eeprom_[eeprom_address_ & 0xFF];
            break;
        case 0x8484:
            answer[0] = static_cast<uint8_t>((options_.eeprom_status_other_bits & 0xFE) |
                                             (EepromBusyLocked() ? 0x01 : 0x00));
            break;
        default: {  // chip-word reads: the word last written with the code without bit 7
            auto it = chip_words_.find(setup.wValue & 0x7F);
            const uint16_t word = it == chip_words_.end() ? 0 : it->second;
            answer[0] = static_cast<uint8_t>(word & 0xFF);
            answer[1] = static_cast<uint8_t>(word >> 8);
            break;
        }
    }
    const ULONG count = std::min<ULONG>(*length, setup.wLength);
    if (count > 0 && data == nullptr) {
        return Violation(setup, length, "read without a buffer");
    }
    if (count > 0) {
        memcpy(data, answer, count);
    }
    *length = count;
    return UrbResult::Success();
}

}  // namespace emu::usb
