// The descriptor sets of the emulated bridge chip's five generations, in either pipe layout, and
// the ways a test bends them (a lying wTotalLength, a configuration cut short, an interface
// without its pipes).
//
// How the generations show themselves in their descriptors:
//   generation 0: bDeviceClass 0x02 (communications), bMaxPacketSize0 8;
//   generation 1: bDeviceClass 0x00 (or 0xFF), bMaxPacketSize0 8;
//   generation 2: bMaxPacketSize0 64;
//   generation 3: as 2, and its product string (index 2) has 'C' as the 23rd character (byte 46
//                 of the descriptor);
//   generation 4: as 2, and its manufacturer string (index 1) has a space as the 25th character
//                 (byte 50 of the descriptor); its product string is generation 3's.
// The strings and the vendor/product IDs are this project's own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "emu/usb/standard_device.h"

namespace emu::usb {

// Made-up IDs of the emulated chip: vendor 0xFFFF, product 0x5100 + generation.
constexpr uint16_t kBridgeVendorId = 0xFFFF;
constexpr uint16_t kBridgeProductIdBase = 0x5100;

// Endpoint addresses of the three data pipes.
constexpr uint8_t kBridgeInterruptIn = 0x81;
constexpr uint8_t kBridgeBulkOut = 0x02;
constexpr uint8_t kBridgeBulkIn = 0x83;

enum class PipeLayout {
    Single,  // one interface: interrupt-in, bulk-out, bulk-in
    Two,     // interface 0: interrupt-in; interface 1: bulk-out, bulk-in
};

// Strings that come close to the generation 3 / 4 triggers without meeting them.
enum class IdentityNearMiss {
    None,
    // The trigger character sits one position later ('C' as the 24th character of string 2 on
    // generation 3, the space as the 26th character of string 1 on generation 4).
    Shifted,
    // The string ends one character before the trigger (string 2 of 22 characters, 46 bytes,
    // on generation 3; string 1 of 24 characters, 50 bytes, on generation 4).
    Short,
};

struct BridgeDescriptorOptions {
    int generation = 2;  // ChipType 0..4
    PipeLayout layout = PipeLayout::Two;
    IdentityNearMiss near_miss = IdentityNearMiss::None;
    uint8_t generation1_class = 0x00;     // bDeviceClass of generation 1: 0x00 or 0xFF
    std::optional<uint8_t> device_class;  // overrides bDeviceClass
    std::optional<uint8_t> max_packet0;   // overrides bMaxPacketSize0
};

// The interface/subclass/protocol triple of an interface of the two-interface layout.
struct InterfaceClass {
    uint8_t interface_class, subclass, protocol;
};
// Interface 0 and interface 1 of the two-interface layout for a generation (generation 0:
// 02/02/FF and 0A/00/00; generations 1 and above: FF/FF/FF for both).
InterfaceClass BridgeInterfaceClass(int generation, int interface_number);

// The manufacturer (1) and product (2) strings of a generation, near miss applied.
std::u16string BridgeManufacturer(const BridgeDescriptorOptions& options);
std::u16string BridgeProduct(const BridgeDescriptorOptions& options);

// The interfaces and endpoints of a layout, for tests that build a variant with
// ConfigurationDescriptor().
std::vector<InterfaceLayout> BridgeInterfaces(const BridgeDescriptorOptions& options);
// The whole descriptor set: device descriptor, configuration (attributes: bus powered, remote
// wake-up), strings 0 (English, 0x0409), 1 (manufacturer), 2 (product), 3 (serial number).
DescriptorSet BridgeDescriptorSet(const BridgeDescriptorOptions& options);

// Bent descriptor sets, for configuration failures.
// wTotalLength says `total` whatever the configuration really holds.
DescriptorSet WithTotalLength(DescriptorSet set, uint16_t total);
// The device delivers only the first `bytes` bytes of the configuration (wTotalLength unchanged),
// so a full read comes back short.
DescriptorSet TruncatedConfiguration(DescriptorSet set, size_t bytes);
// The configuration without the endpoint `address` (counts and wTotalLength adjusted).
DescriptorSet WithoutEndpoint(const BridgeDescriptorOptions& options, uint8_t address);

}  // namespace emu::usb
