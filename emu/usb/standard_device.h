// A USB device as far as USB's standard device framework goes: it answers the standard
// requests from a descriptor set (device, configuration with its interfaces and endpoints,
// strings), carries out SELECT_CONFIGURATION / SELECT_INTERFACE by handing out pipe handles for
// its endpoints, and routes everything device-specific to two hooks: control requests that are
// not standard (vendor and class) and data transfers on its endpoints. A device model (the
// bridge chip) derives from it and fills in the hooks.
#pragma once

#include <deque>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "emu/usb/device_model.h"

namespace emu::usb {

struct DescriptorSet {
    std::vector<uint8_t> device;                      // the 18-byte device descriptor
    std::vector<uint8_t> configuration;               // configuration, interfaces, endpoints
    std::map<uint8_t, std::vector<uint8_t>> strings;  // by index; 0 is the language list
};

// Descriptor builders, little-endian as on the wire.
std::vector<uint8_t> DeviceDescriptor(uint8_t device_class, uint8_t max_packet0, uint16_t vendor,
                                      uint16_t product, uint16_t release, uint8_t manufacturer,
                                      uint8_t product_string, uint8_t serial);
struct EndpointLayout {
    uint8_t address;     // bit 7 set for IN
    uint8_t attributes;  // USB_ENDPOINT_TYPE_*
    uint16_t max_packet;
    uint8_t interval;
};
struct InterfaceLayout {
    uint8_t number;
    uint8_t alternate;
    uint8_t interface_class, subclass, protocol;
    std::vector<EndpointLayout> endpoints;
};
// A whole configuration (wTotalLength and bNumInterfaces computed) with value 1.
std::vector<uint8_t> ConfigurationDescriptor(const std::vector<InterfaceLayout>& interfaces,
                                             uint8_t attributes = 0x80, uint8_t max_power = 50);
std::vector<uint8_t> StringDescriptor(const std::u16string& text);
std::vector<uint8_t> LanguageList(const std::vector<uint16_t>& languages);

class StandardUsbDevice : public UsbDeviceModel {
  public:
    explicit StandardUsbDevice(DescriptorSet descriptors);

    void Submit(const std::shared_ptr<UrbTransfer>& transfer) override;
    void Cancelled(const std::shared_ptr<UrbTransfer>& transfer) override;
    std::optional<uint8_t> EndpointOf(USBD_PIPE_HANDLE pipe) const override;

    // Replaces the descriptors (a device that reports malformed ones, a different generation).
    void SetDescriptors(DescriptorSet descriptors);

    bool Configured() const;
    bool RemoteWakeupEnabled() const;
    // The pipe handle of an endpoint of the selected configuration, or null.
    USBD_PIPE_HANDLE PipeOf(uint8_t endpoint) const;

    // IN transfers held for data on `endpoint`.
    size_t HeldCount(uint8_t endpoint) const;
    // Ends the oldest held IN transfer of `endpoint` with `data` (cut to the transfer's length;
    // a short transfer is fine). False when none is held.
    bool CompleteHeldIn(uint8_t endpoint, const std::vector<uint8_t>& data,
                        UrbResult result = UrbResult::Success());

  protected:
    // A control request that is not a standard one (vendor, class). `data` is the data stage
    // (`*length` bytes; for a device-to-host request set `*length` to the bytes returned).
    // Default: stall.
    virtual UrbResult OnControl(const SetupPacket& setup, UCHAR* data, ULONG* length);
    // A bulk or interrupt transfer on an endpoint of the selected configuration. Default: an OUT
    // transfer is taken whole at once; an IN transfer is held until CompleteHeldIn or
    // cancellation.
    virtual void OnDataTransfer(uint8_t endpoint, const std::shared_ptr<UrbTransfer>& transfer);
    // Keeps an IN transfer until data comes (CompleteHeldIn) or it is cancelled.
    void Hold(uint8_t endpoint, const std::shared_ptr<UrbTransfer>& transfer);
    // Answers a standard request from the descriptor set (the device's own answer, for a model
    // that answers a control URB itself, for example with a fault applied).
    UrbResult Standard(const SetupPacket& setup, UCHAR* data, ULONG* length);

  private:
    struct Interface {
        USB_INTERFACE_DESCRIPTOR descriptor;
        std::vector<USB_ENDPOINT_DESCRIPTOR> endpoints;
    };
    struct Pipe {
        uint8_t endpoint;
        uint8_t attributes;
    };

    UrbResult SelectConfiguration(URB& urb);
    UrbResult SelectInterface(URB& urb);
    // Fills one interface information block; false if it does not fit or is unknown.
    UrbResult FillInterface(PUSBD_INTERFACE_INFORMATION info, size_t room);
    void Parse();
    void AbortPipe(USBD_PIPE_HANDLE pipe);

    mutable std::mutex mutex_;
    DescriptorSet descriptors_;
    std::vector<Interface> interfaces_;  // parsed from descriptors_.configuration
    bool configured_ = false;
    bool remote_wakeup_ = false;
    std::list<Pipe> pipe_storage_;               // handles are addresses of these; never reused
    std::map<USBD_PIPE_HANDLE, uint8_t> pipes_;  // active handles -> endpoint
    std::list<int> handle_storage_;              // configuration and interface handles
    std::map<uint8_t, std::deque<std::shared_ptr<UrbTransfer>>> held_;
};

}  // namespace emu::usb
