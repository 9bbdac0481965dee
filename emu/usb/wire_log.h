// What crossed the wire, in a form tests can assert on: the control transfers of a bus's URB log
// as compact records, expected-request values that compare equal to them (so a test writes
// `EXPECT_THAT(ControlTransfers(bus), ElementsAre(VendorOut(0x0001, 0x44), ...))` with plain
// gmock), and request filters that pick control requests by their setup packet, for fault
// injection and for bus policies. Nothing here depends on a test framework.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "emu/usb/usb_bus.h"

namespace emu::usb {

// One control transfer as the bus logged it.
struct ControlTransfer {
    uint64_t id = 0;  // the URB's id in the bus log
    Time time = 0;    // virtual time of submission
    USHORT function = 0;
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
    std::vector<uint8_t> data;  // host-to-device data as sent, or device-to-host data received
    NTSTATUS status = STATUS_PENDING;
    USBD_STATUS usbd_status = USBD_STATUS_PENDING;
    UrbOutcome outcome = UrbOutcome::Pending;

    SetupPacket Setup() const { return {bmRequestType, bRequest, wValue, wIndex, wLength}; }
    // "#4 t=0.0050000s c0 01 8484 0000 0001 in[01] 0x00000000"
    std::string Describe() const;
};
std::ostream& operator<<(std::ostream& out, const ControlTransfer& transfer);

// Which control transfers to list.
enum class Traffic {
    All,             // every URB with a setup packet (descriptor reads, selections, features...)
    VendorAndClass,  // only vendor and class requests: the chip protocol proper
};

// The control transfers of the bus log, oldest first, with an id above `after_id` (see LastUrbId
// for a mark taken before the part of a test that is checked).
std::vector<ControlTransfer> ControlTransfers(const UsbBus& bus, Traffic which = Traffic::All,
                                              uint64_t after_id = 0);
// The id of the newest URB in the log (0 when empty).
uint64_t LastUrbId(const UsbBus& bus);
// Every control transfer described one per line, for failure messages and the lab.
std::string DescribeControlTransfers(const UsbBus& bus, Traffic which = Traffic::All);

// An expected control request. Compares equal to a ControlTransfer whose setup fields match and,
// when given, whose wLength, data and status match.
struct ExpectedControl {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    std::optional<uint16_t> wLength;
    std::optional<std::vector<uint8_t>> data;
    std::optional<NTSTATUS> status;

    ExpectedControl WithLength(uint16_t length) const;
    ExpectedControl WithData(std::vector<uint8_t> bytes) const;
    ExpectedControl WithStatus(NTSTATUS expected) const;
};
bool operator==(const ControlTransfer& actual, const ExpectedControl& expected);
inline bool operator==(const ExpectedControl& expected, const ControlTransfer& actual) {
    return actual == expected;
}
inline bool operator!=(const ControlTransfer& actual, const ExpectedControl& expected) {
    return !(actual == expected);
}
std::ostream& operator<<(std::ostream& out, const ExpectedControl& expected);

// Any control request by its four setup fields (wLength, data and status not checked).
ExpectedControl Vendor(uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue, uint16_t wIndex);
// The chip's vendor requests (bRequest 1): host-to-device without data, and device-to-host
// reads of `length` bytes with wIndex 0.
ExpectedControl VendorOut(uint16_t wValue, uint16_t wIndex = 0);
ExpectedControl VendorIn(uint16_t wValue, uint16_t length = 1);
// Class requests to interface 0 (bmRequestType 0x21).
ExpectedControl ClassOut(uint8_t bRequest, uint16_t wValue, std::vector<uint8_t> data = {});
ExpectedControl SetLineCodingRequest(uint32_t dte_rate, uint8_t char_format, uint8_t parity,
                                     uint8_t data_bits);
ExpectedControl SetControlLineStateRequest(uint16_t lines);
ExpectedControl SendBreakRequest(uint16_t value);
ExpectedControl SetCommFeatureRequest(uint16_t state);
// Standard GET_DESCRIPTOR (bmRequestType 0x80, bRequest 6).
ExpectedControl GetDescriptorRequest(uint8_t type, uint8_t index, uint16_t language,
                                     uint16_t length);

// Picks control requests by their setup packet. Unset fields match anything.
struct RequestFilter {
    std::optional<uint8_t> bmRequestType;
    std::optional<uint8_t> bRequest;
    std::optional<uint16_t> wValue;
    std::optional<uint16_t> wIndex;
    std::optional<uint16_t> wLength;
    std::function<bool(const SetupPacket&)> predicate;  // also required when set

    bool Matches(const SetupPacket& setup) const;

    static RequestFilter Any();
    // A vendor request of the chip (bRequest 1) with this wValue, either direction.
    static RequestFilter VendorValue(uint16_t wValue);
    // A class request to interface 0 with this bRequest.
    static RequestFilter Class(uint8_t bRequest);
    // GET_DESCRIPTOR of a type (and index when given).
    static RequestFilter Descriptor(uint8_t type, std::optional<uint8_t> index = std::nullopt);
    // SELECT_CONFIGURATION (SET_CONFIGURATION on the wire).
    static RequestFilter SelectConfiguration();
};

// A bus policy that applies `action` to the control URBs `filter` picks and lets every other
// URB through at once: `bus.SetPolicy(PolicyFor(RequestFilter::VendorValue(0x8484),
// UrbAction::Never()))` makes the EEPROM busy poll never complete.
UrbPolicy PolicyFor(RequestFilter filter, UrbAction action);

}  // namespace emu::usb
