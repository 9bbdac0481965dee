// Descriptor sets of the emulated bridge chip.
#include "emu/usb/bridge_descriptors.h"

#include <algorithm>

namespace emu::usb {

namespace {

// The manufacturer of every generation but 4.
const char16_t kManufacturer[] = u"Loom Works";
// Generation 4's manufacturer: a space as the 25th character (index 24).
//                                   0123456789012345678901234
const char16_t kManufacturer4[] = u"Loom Works Fourth Series Ltd";
const char16_t kManufacturer4Shifted[] = u"Loom Works Fourth Series2 Ltd";
const char16_t kManufacturer4Short[] = u"Loom Works Fourth Series";
// Products: generation 3 (and 4) carry 'C' as the 23rd character (index 22).
//                                  01234567890123456789012
const char16_t kProductOld[] = u"Loom Serial Bridge RevA";
const char16_t kProduct2[] = u"Loom Serial Bridge RevB";
const char16_t kProduct3[] = u"Loom Serial Bridge RevC";
const char16_t kProduct3Shifted[] = u"Loom Serial Bridge Rev C";
const char16_t kProduct3Short[] = u"Loom Serial Bridge Rev";

EndpointLayout InterruptIn() {
    return {kBridgeInterruptIn, USB_ENDPOINT_TYPE_INTERRUPT, 10, 1};
}
EndpointLayout BulkOut() {
    return {kBridgeBulkOut, USB_ENDPOINT_TYPE_BULK, 64, 0};
}
EndpointLayout BulkIn() {
    return {kBridgeBulkIn, USB_ENDPOINT_TYPE_BULK, 64, 0};
}

}  // namespace

InterfaceClass BridgeInterfaceClass(int generation, int interface_number) {
    if (generation == 0) {
        return interface_number == 0 ? InterfaceClass{0x02, 0x02, 0xFF}
                                     : InterfaceClass{0x0A, 0x00, 0x00};
    }
    return {0xFF, 0xFF, 0xFF};
}

std::u16string BridgeManufacturer(const BridgeDescriptorOptions& options) {
    if (options.generation != 4) {
        return kManufacturer;
    }
    switch (options.near_miss) {
        case IdentityNearMiss::Shifted:
            return kManufacturer4Shifted;
        case IdentityNearMiss::Short:
            return kManufacturer4Short;
        case IdentityNearMiss::None:
            break;
    }
    return kManufacturer4;
}

std::u16string BridgeProduct(const BridgeDescriptorOptions& options) {
    switch (options.generation) {
        case 0:
        case 1:
            return kProductOld;
        case 2:
            return kProduct2;
        case 3:
            if (options.near_miss == IdentityNearMiss::Shifted) {
                return kProduct3Shifted;
            }
            if (options.near_miss == IdentityNearMiss::Short) {
                return kProduct3Short;
            }
            return kProduct3;
        default:
            return kProduct3;
    }
}

std::vector<InterfaceLayout> BridgeInterfaces(const BridgeDescriptorOptions& options) {
    const InterfaceClass first = BridgeInterfaceClass(options.generation, 0);
    if (options.layout == PipeLayout::Single) {
        return {{0,
                 0,
                 first.interface_class,
                 first.subclass,
                 first.protocol,
                 {InterruptIn(), BulkOut(), BulkIn()}}};
    }
    const InterfaceClass second = BridgeInterfaceClass(options.generation, 1);
    return {
        {0, 0, first.interface_class, first.subclass, first.protocol, {InterruptIn()}},
        {1, 0, second.interface_class, second.subclass, second.protocol, {BulkOut(), BulkIn()}}};
}

DescriptorSet BridgeDescriptorSet(const BridgeDescriptorOptions& options) {
    const int generation = std::clamp(options.generation, 0, 4);
    uint8_t device_class = 0x00;
    uint8_t max_packet0 = 64;
    if (generation == 0) {
        device_class = USB_DEVICE_CLASS_COMMUNICATIONS;
        max_packet0 = 8;
    } else if (generation == 1) {
        device_class = options.generation1_class;
        max_packet0 = 8;
    }
    device_class = options.device_class.value_or(device_class);
    max_packet0 = options.max_packet0.value_or(max_packet0);

    DescriptorSet set;
    set.device = DeviceDescriptor(device_class, max_packet0, kBridgeVendorId,
                                  static_cast<uint16_t>(kBridgeProductIdBase + generation),
                                  static_cast<uint16_t>(0x0100 * (generation + 1)), 1, 2, 3);
    set.configuration = ConfigurationDescriptor(BridgeInterfaces(options),
                                                USB_CONFIG_BUS_POWERED | USB_CONFIG_REMOTE_WAKEUP);
    set.strings[0] = LanguageList({0x0409});
    set.strings[1] = StringDescriptor(BridgeManufacturer(options));
    set.strings[2] = StringDescriptor(BridgeProduct(options));
    std::u16string serial = u"LW-51000";
    serial.back() = static_cast<char16_t>(u'0' + generation);
    set.strings[3] = StringDescriptor(serial);
    return set;
}

DescriptorSet WithTotalLength(DescriptorSet set, uint16_t total) {
    if (set.configuration.size() >= 4) {
        set.configuration[2] = static_cast<uint8_t>(total & 0xFF);
        set.configuration[3] = static_cast<uint8_t>(total >> 8);
    }
    return set;
}

DescriptorSet TruncatedConfiguration(DescriptorSet set, size_t bytes) {
    if (bytes < set.configuration.size()) {
        set.configuration.resize(bytes);
    }
    return set;
}

DescriptorSet WithoutEndpoint(const BridgeDescriptorOptions& options, uint8_t address) {
    DescriptorSet set = BridgeDescriptorSet(options);
    std::vector<InterfaceLayout> interfaces = BridgeInterfaces(options);
    for (InterfaceLayout& interface : interfaces) {
        auto& endpoints = interface.endpoints;
        endpoints.erase(std::remove_if(endpoints.begin(), endpoints.end(),
                                       [address](const EndpointLayout& endpoint) {
                                           return endpoint.address == address;
                                       }),
                        endpoints.end());
    }
    set.configuration =
        ConfigurationDescriptor(interfaces, USB_CONFIG_BUS_POWERED | USB_CONFIG_REMOTE_WAKEUP);
    return set;
}

}  // namespace emu::usb
