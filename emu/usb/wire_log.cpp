// Control transfers of the bus log, expected requests and request filters.
#include "emu/usb/wire_log.h"

#include <cinttypes>
#include <cstdio>

namespace emu::usb {

namespace {

std::string Hex(const char* format, unsigned value) {
    char text[16];
    snprintf(text, sizeof(text), format, value);
    return text;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// ControlTransfer
// ---------------------------------------------------------------------------------------------
std::string ControlTransfer::Describe() const {
    char head[64];
    snprintf(head, sizeof(head), "#%" PRIu64 " t=%" PRId64 ".%07" PRId64 "s ", id, time / kSecond,
             time % kSecond);
    std::string text = head + Setup().ToString();
    if (!data.empty()) {
        text += (bmRequestType & 0x80) != 0 ? " in[" : " out[";
        text += HexBytes(data, 16) + "]";
    }
    text += " " + Hex("0x%08x", static_cast<uint32_t>(status));
    if (outcome == UrbOutcome::Pending) {
        text += " (pending)";
    } else if (outcome == UrbOutcome::Cancelled) {
        text += " (cancelled)";
    }
    return text;
}

std::ostream& operator<<(std::ostream& out, const ControlTransfer& transfer) {
    return out << transfer.Describe();
}

std::vector<ControlTransfer> ControlTransfers(const UsbBus& bus, Traffic which, uint64_t after_id) {
    std::vector<ControlTransfer> transfers;
    for (const UrbRecord& record : bus.Log()) {
        if (!record.setup || record.id <= after_id) {
            continue;
        }
        const SetupPacket& setup = *record.setup;
        if (which == Traffic::VendorAndClass && setup.Type() != BMREQUEST_VENDOR &&
            setup.Type() != BMREQUEST_CLASS) {
            continue;
        }
        ControlTransfer transfer;
        transfer.id = record.id;
        transfer.time = record.submitted;
        transfer.function = record.function;
        transfer.bmRequestType = setup.bmRequestType;
        transfer.bRequest = setup.bRequest;
        transfer.wValue = setup.wValue;
        transfer.wIndex = setup.wIndex;
        transfer.wLength = setup.wLength;
        transfer.data = setup.DeviceToHost() ? record.data_in : record.data_out;
        transfer.status = record.status;
        transfer.usbd_status = record.usbd_status;
        transfer.outcome = record.outcome;
        transfers.push_back(std::move(transfer));
    }
    return transfers;
}

uint64_t LastUrbId(const UsbBus& bus) {
    std::vector<UrbRecord> log = bus.Log();
    return log.empty() ? 0 : log.back().id;
}

std::string DescribeControlTransfers(const UsbBus& bus, Traffic which) {
    std::string text;
    for (const ControlTransfer& transfer : ControlTransfers(bus, which)) {
        text += transfer.Describe() + "\n";
    }
    return text;
}

// ---------------------------------------------------------------------------------------------
// ExpectedControl
// ---------------------------------------------------------------------------------------------
ExpectedControl ExpectedControl::WithLength(uint16_t length) const {
    ExpectedControl copy = *this;
    copy.wLength = length;
    return copy;
}

ExpectedControl ExpectedControl::WithData(std::vector<uint8_t> bytes) const {
    ExpectedControl copy = *this;
    copy.data = std::move(bytes);
    return copy;
}

ExpectedControl ExpectedControl::WithStatus(NTSTATUS expected) const {
    ExpectedControl copy = *this;
    copy.status = expected;
    return copy;
}

bool operator==(const ControlTransfer& actual, const ExpectedControl& expected) {
    return actual.bmRequestType == expected.bmRequestType && actual.bRequest == expected.bRequest &&
           actual.wValue == expected.wValue && actual.wIndex == expected.wIndex &&
           (!expected.wLength || actual.wLength == *expected.wLength) &&
           (!expected.data || actual.data == *expected.data) &&
           (!expected.status || actual.status == *expected.status);
}

std::ostream& operator<<(std::ostream& out, const ExpectedControl& expected) {
    out << Hex("%02x ", expected.bmRequestType) << Hex("%02x ", expected.bRequest)
        << Hex("%04x ", expected.wValue) << Hex("%04x", expected.wIndex);
    if (expected.wLength) {
        out << Hex(" %04x", *expected.wLength);
    } else {
        out << " ****";
    }
    if (expected.data) {
        out << " [" << HexBytes(*expected.data, 16) << "]";
    }
    if (expected.status) {
        out << Hex(" 0x%08x", static_cast<uint32_t>(*expected.status));
    }
    return out;
}

ExpectedControl Vendor(uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue, uint16_t wIndex) {
    return {bmRequestType, bRequest, wValue, wIndex, std::nullopt, std::nullopt, std::nullopt};
}

ExpectedControl VendorOut(uint16_t wValue, uint16_t wIndex) {
    return Vendor(0x40, 0x01, wValue, wIndex).WithLength(0);
}

ExpectedControl VendorIn(uint16_t wValue, uint16_t length) {
    return Vendor(0xC0, 0x01, wValue, 0).WithLength(length);
}

ExpectedControl ClassOut(uint8_t bRequest, uint16_t wValue, std::vector<uint8_t> data) {
    const auto length = static_cast<uint16_t>(data.size());
    return Vendor(0x21, bRequest, wValue, 0).WithLength(length).WithData(std::move(data));
}

ExpectedControl SetLineCodingRequest(uint32_t dte_rate, uint8_t char_format, uint8_t parity,
                                     uint8_t data_bits) {
    return ClassOut(0x20, 0,
                    {static_cast<uint8_t>(dte_rate), static_cast<uint8_t>(dte_rate >> 8),
                     static_cast<uint8_t>(dte_rate >> 16), static_cast<uint8_t>(dte_rate >> 24),
                     char_format, parity, data_bits});
}

ExpectedControl SetControlLineStateRequest(uint16_t lines) {
    return ClassOut(0x22, lines);
}

ExpectedControl SendBreakRequest(uint16_t value) {
    return ClassOut(0x23, value);
}

ExpectedControl SetCommFeatureRequest(uint16_t state) {
    return ClassOut(0x02, 0x0001,
                    {static_cast<uint8_t>(state & 0xFF), static_cast<uint8_t>(state >> 8)});
}

ExpectedControl GetDescriptorRequest(uint8_t type, uint8_t index, uint16_t language,
                                     uint16_t length) {
    return Vendor(0x80, USB_REQUEST_GET_DESCRIPTOR, static_cast<uint16_t>(type << 8 | index),
                  language)
        .WithLength(length);
}

// ---------------------------------------------------------------------------------------------
// RequestFilter
// ---------------------------------------------------------------------------------------------
bool RequestFilter::Matches(const SetupPacket& setup) const {
    return (!bmRequestType || setup.bmRequestType == *bmRequestType) &&
           (!bRequest || setup.bRequest == *bRequest) && (!wValue || setup.wValue == *wValue) &&
           (!wIndex || setup.wIndex == *wIndex) && (!wLength || setup.wLength == *wLength) &&
           (!predicate || predicate(setup));
}

RequestFilter RequestFilter::Any() {
    return {};
}

RequestFilter RequestFilter::VendorValue(uint16_t value) {
    RequestFilter filter;
    filter.bRequest = 0x01;
    filter.wValue = value;
    filter.predicate = [](const SetupPacket& setup) { return setup.Type() == BMREQUEST_VENDOR; };
    return filter;
}

RequestFilter RequestFilter::Class(uint8_t request) {
    RequestFilter filter;
    filter.bmRequestType = 0x21;
    filter.bRequest = request;
    return filter;
}

RequestFilter RequestFilter::Descriptor(uint8_t type, std::optional<uint8_t> index) {
    RequestFilter filter;
    filter.bmRequestType = 0x80;
    filter.bRequest = USB_REQUEST_GET_DESCRIPTOR;
    filter.predicate = [type, index](const SetupPacket& setup) {
        return (setup.wValue >> 8) == type && (!index || (setup.wValue & 0xFF) == *index);
    };
    return filter;
}

RequestFilter RequestFilter::SelectConfiguration() {
    RequestFilter filter;
    filter.bmRequestType = 0x00;
    filter.bRequest = USB_REQUEST_SET_CONFIGURATION;
    return filter;
}

UrbPolicy PolicyFor(RequestFilter filter, UrbAction action) {
    return [filter = std::move(filter), action](const UrbRecord& record) {
        if (record.setup && filter.Matches(*record.setup)) {
            return action;
        }
        return UrbAction::Now();
    };
}

}  // namespace emu::usb
