// What a URB means on the wire: the setup packet a control URB becomes, its data stage, and
// printable names, shared by the bus (for its transfer log) and the device models (which answer
// control requests by their setup packet, as a device would).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "emu/kernel/wdk/wdk.h"

namespace emu::usb {

// The 8-byte setup packet of a control transfer.
struct SetupPacket {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;

    bool DeviceToHost() const { return (bmRequestType & 0x80) != 0; }
    uint8_t Type() const { return (bmRequestType >> 5) & 0x03; }  // BMREQUEST_STANDARD/CLASS/VENDOR
    uint8_t Recipient() const { return bmRequestType & 0x1F; }    // BMREQUEST_TO_*
    std::array<uint8_t, 8> Bytes() const;
    static SetupPacket FromBytes(const UCHAR bytes[8]);
    // "80 06 0100 0000 0012"
    std::string ToString() const;

    bool operator==(const SetupPacket& other) const {
        return bmRequestType == other.bmRequestType && bRequest == other.bRequest &&
               wValue == other.wValue && wIndex == other.wIndex && wLength == other.wLength;
    }
    bool operator!=(const SetupPacket& other) const { return !(*this == other); }
};

// The setup packet the host controller sends for a control URB (descriptor, feature, status,
// configuration, interface, vendor, class and raw control transfers, and SELECT_CONFIGURATION /
// SELECT_INTERFACE as SET_CONFIGURATION / SET_INTERFACE); none for other functions. For
// SELECT_CONFIGURATION the configuration descriptor must be readable.
std::optional<SetupPacket> SetupPacketOf(const URB& urb);

// The data stage of a URB: its buffer, length and direction. Functions without a data buffer
// give a null buffer and length 0. Buffers described only by an MDL are not visible here.
struct DataStage {
    UCHAR* buffer = nullptr;
    ULONG length = 0;               // TransferBufferLength
    bool to_host = false;           // device-to-host (IN)
    ULONG* length_field = nullptr;  // the URB member that carries the length
};
DataStage DataStageOf(URB& urb);

// "GET_DESCRIPTOR_FROM_DEVICE", "BULK_OR_INTERRUPT_TRANSFER", ... ("0x00NN" if unknown).
std::string UrbFunctionName(USHORT function);

// Whether the function is a control request (goes to the default pipe with a setup packet).
bool IsControlFunction(USHORT function);

// Hex bytes "01 02 ff".
std::string HexBytes(const std::vector<uint8_t>& bytes, size_t limit = 64);

}  // namespace emu::usb
