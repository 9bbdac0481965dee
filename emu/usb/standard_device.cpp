// Standard requests, configuration selection and pipes of an emulated USB device.
#include "emu/usb/standard_device.h"

#include <algorithm>
#include <cstring>

namespace emu::usb {

namespace {

void Put16(std::vector<uint8_t>& bytes, uint16_t value) {
    bytes.push_back(static_cast<uint8_t>(value & 0xFF));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
}

// Copies up to `*length` bytes of `source` into `data`; `*length` becomes what was copied.
UrbResult Return(const std::vector<uint8_t>& source, UCHAR* data, ULONG* length) {
    const ULONG count = std::min<ULONG>(*length, static_cast<ULONG>(source.size()));
    if (count > 0 && data == nullptr) {
        *length = 0;
        return UrbResult::Invalid();
    }
    if (count > 0) {
        memcpy(data, source.data(), count);
    }
    *length = count;
    return UrbResult::Success();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Descriptor builders
// ---------------------------------------------------------------------------------------------
std::vector<uint8_t> DeviceDescriptor(uint8_t device_class, uint8_t max_packet0, uint16_t vendor,
                                      uint16_t product, uint16_t release, uint8_t manufacturer,
                                      uint8_t product_string, uint8_t serial) {
    std::vector<uint8_t> bytes = {18, USB_DEVICE_DESCRIPTOR_TYPE};
    Put16(bytes, 0x0110);
    bytes.insert(bytes.end(), {device_class, 0, 0, max_packet0});
    Put16(bytes, vendor);
    Put16(bytes, product);
    Put16(bytes, release);
    bytes.insert(bytes.end(), {manufacturer, product_string, serial, 1});
    return bytes;
}

std::vector<uint8_t> ConfigurationDescriptor(const std::vector<InterfaceLayout>& interfaces,
                                             uint8_t attributes, uint8_t max_power) {
    std::vector<uint8_t> body;
    uint8_t count = 0;
    uint8_t last = 0xFF;
    for (const InterfaceLayout& layout : interfaces) {
        if (layout.number != last) {
            ++count;
            last = layout.number;
        }
        body.insert(body.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, layout.number, layout.alternate,
                                 static_cast<uint8_t>(layout.endpoints.size()),
                                 layout.interface_class, layout.subclass, layout.protocol, 0});
        for (const EndpointLayout& endpoint : layout.endpoints) {
            body.insert(body.end(),
                        {7, USB_ENDPOINT_DESCRIPTOR_TYPE, endpoint.address, endpoint.attributes});
            Put16(body, endpoint.max_packet);
            body.push_back(endpoint.interval);
        }
    }
    std::vector<uint8_t> bytes = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE};
    Put16(bytes, static_cast<uint16_t>(9 + body.size()));
    bytes.insert(bytes.end(), {count, 1, 0, attributes, max_power});
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

std::vector<uint8_t> StringDescriptor(const std::u16string& text) {
    const size_t characters = std::min<size_t>(text.size(), 126);
    std::vector<uint8_t> bytes = {static_cast<uint8_t>(2 + 2 * characters),
                                  USB_STRING_DESCRIPTOR_TYPE};
    for (size_t i = 0; i < characters; ++i) {
        Put16(bytes, static_cast<uint16_t>(text[i]));
    }
    return bytes;
}

std::vector<uint8_t> LanguageList(const std::vector<uint16_t>& languages) {
    std::vector<uint8_t> bytes = {static_cast<uint8_t>(2 + 2 * languages.size()),
                                  USB_STRING_DESCRIPTOR_TYPE};
    for (uint16_t language : languages) {
        Put16(bytes, language);
    }
    return bytes;
}

// ---------------------------------------------------------------------------------------------
// StandardUsbDevice
// ---------------------------------------------------------------------------------------------
StandardUsbDevice::StandardUsbDevice(DescriptorSet descriptors)
    : descriptors_(std::move(descriptors)) {
    Parse();
}

void StandardUsbDevice::SetDescriptors(DescriptorSet descriptors) {
    std::lock_guard<std::mutex> lock(mutex_);
    descriptors_ = std::move(descriptors);
    Parse();
}

// Splits the configuration into interfaces and their endpoints. A malformed descriptor (length
// below 2 or past the end) ends the walk: the device has what was read up to there.
void StandardUsbDevice::Parse() {
    interfaces_.clear();
    const std::vector<uint8_t>& bytes = descriptors_.configuration;
    size_t position = 0;
    while (position + 2 <= bytes.size()) {
        const uint8_t length = bytes[position];
        const uint8_t type = bytes[position + 1];
        if (length < 2 || position + length > bytes.size()) {
            break;
        }
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            Interface interface {};
            memcpy(&interface.descriptor, &bytes[position], sizeof(USB_INTERFACE_DESCRIPTOR));
            interfaces_.push_back(interface);
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE &&
                   length >= sizeof(USB_ENDPOINT_DESCRIPTOR) && !interfaces_.empty()) {
            USB_ENDPOINT_DESCRIPTOR endpoint;
            memcpy(&endpoint, &bytes[position], sizeof(endpoint));
            interfaces_.back().endpoints.push_back(endpoint);
        }
        position += length;
    }
}

bool StandardUsbDevice::Configured() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return configured_;
}

bool StandardUsbDevice::RemoteWakeupEnabled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return remote_wakeup_;
}

USBD_PIPE_HANDLE StandardUsbDevice::PipeOf(uint8_t endpoint) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [handle, address] : pipes_) {
        if (address == endpoint) {
            return handle;
        }
    }
    return nullptr;
}

std::optional<uint8_t> StandardUsbDevice::EndpointOf(USBD_PIPE_HANDLE pipe) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = pipes_.find(pipe);
    if (it == pipes_.end()) {
        return std::nullopt;
    }
    return it->second;
}

void StandardUsbDevice::Submit(const std::shared_ptr<UrbTransfer>& transfer) {
    const USHORT function = transfer->Function();
    switch (function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
            transfer->Complete([this](URB& urb) { return SelectConfiguration(urb); });
            return;
        case URB_FUNCTION_SELECT_INTERFACE:
            transfer->Complete([this](URB& urb) { return SelectInterface(urb); });
            return;
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        case URB_FUNCTION_SYNC_RESET_PIPE:
        case URB_FUNCTION_SYNC_CLEAR_STALL: {
            USBD_PIPE_HANDLE pipe = nullptr;
            transfer->Complete([&](URB& urb) {
                pipe = urb.UrbPipeRequest.PipeHandle;
                return EndpointOf(pipe)
                           ? UrbResult::Success()
                           : UrbResult{STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE};
            });
            if (function == URB_FUNCTION_ABORT_PIPE && pipe != nullptr) {
                AbortPipe(pipe);
            }
            return;
        }
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
            std::optional<uint8_t> endpoint = EndpointOf(transfer->Pipe());
            if (!endpoint) {
                transfer->Complete([](URB& urb) {
                    urb.UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
                    return UrbResult{STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE};
                });
                return;
            }
            if (transfer->ToHost() != ((*endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0)) {
                transfer->Complete([](URB& urb) {
                    urb.UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
                    return UrbResult::Invalid();
                });
                return;
            }
            OnDataTransfer(*endpoint, transfer);
            return;
        }
        default:
            break;
    }
    if (!transfer->Setup()) {
        transfer->Complete(UrbResult{STATUS_NOT_SUPPORTED, USBD_STATUS_INVALID_URB_FUNCTION});
        return;
    }
    const SetupPacket setup = *transfer->Setup();
    transfer->Complete([this, setup](URB& urb) {
        DataStage stage = DataStageOf(urb);
        ULONG scratch = 0;
        ULONG* length = stage.length_field != nullptr ? stage.length_field : &scratch;
        if (setup.Type() == BMREQUEST_STANDARD) {
            return Standard(setup, stage.buffer, length);
        }
        return OnControl(setup, stage.buffer, length);
    });
}

UrbResult StandardUsbDevice::Standard(const SetupPacket& setup, UCHAR* data, ULONG* length) {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint8_t recipient = setup.Recipient();
    switch (setup.bRequest) {
        case USB_REQUEST_GET_DESCRIPTOR: {
            const uint8_t type = setup.wValue >> 8;
            const uint8_t index = setup.wValue & 0xFF;
            *length = std::min<ULONG>(*length, setup.wLength);
            if (type == USB_DEVICE_DESCRIPTOR_TYPE && !descriptors_.device.empty()) {
                return Return(descriptors_.device, data, length);
            }
            if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0 &&
                !descriptors_.configuration.empty()) {
                return Return(descriptors_.configuration, data, length);
            }
            if (type == USB_STRING_DESCRIPTOR_TYPE) {
                auto it = descriptors_.strings.find(index);
                if (it != descriptors_.strings.end()) {
                    return Return(it->second, data, length);
                }
            }
            *length = 0;
            return UrbResult::Stall();
        }
        case USB_REQUEST_SET_FEATURE:
        case USB_REQUEST_CLEAR_FEATURE:
            *length = 0;
            if (recipient == BMREQUEST_TO_DEVICE && setup.wValue == USB_FEATURE_REMOTE_WAKEUP) {
                remote_wakeup_ = setup.bRequest == USB_REQUEST_SET_FEATURE;
                return UrbResult::Success();
            }
            if (recipient == BMREQUEST_TO_ENDPOINT && setup.wValue == USB_FEATURE_ENDPOINT_STALL) {
                return UrbResult::Success();
            }
            return UrbResult::Stall();
        case USB_REQUEST_GET_STATUS: {
            uint16_t status = 0;
            if (recipient == BMREQUEST_TO_DEVICE) {
                if (descriptors_.configuration.size() > 7 &&
                    (descriptors_.configuration[7] & USB_CONFIG_SELF_POWERED) != 0) {
                    status |= USB_GETSTATUS_SELF_POWERED;
                }
                if (remote_wakeup_) {
                    status |= USB_GETSTATUS_REMOTE_WAKEUP_ENABLED;
                }
            }
            return Return({static_cast<uint8_t>(status), static_cast<uint8_t>(status >> 8)}, data,
                          length);
        }
        case USB_REQUEST_GET_CONFIGURATION:
            return Return({static_cast<uint8_t>(configured_ ? 1 : 0)}, data, length);
        case USB_REQUEST_GET_INTERFACE:
            return Return({0}, data, length);
        default:
            *length = 0;
            return UrbResult::Stall();
    }
}

UrbResult StandardUsbDevice::FillInterface(PUSBD_INTERFACE_INFORMATION info, size_t room) {
    const size_t header = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    if (room < header || info->Length < header || info->Length > room) {
        return {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
    }
    const Interface* found = nullptr;
    for (const Interface& interface : interfaces_) {
        if (interface.descriptor.bInterfaceNumber == info->InterfaceNumber &&
            interface.descriptor.bAlternateSetting == info->AlternateSetting) {
            found = &interface;
            break;
        }
    }
    if (found == nullptr) {
        return {STATUS_INVALID_PARAMETER, USBD_STATUS_INTERFACE_NOT_FOUND};
    }
    const size_t pipes = found->endpoints.size();
    if (info->Length < header + pipes * sizeof(USBD_PIPE_INFORMATION)) {
        return {STATUS_INVALID_PARAMETER, USBD_STATUS_BUFFER_TOO_SMALL};
    }
    handle_storage_.push_back(0);
    info->InterfaceHandle = &handle_storage_.back();
    info->Class = found->descriptor.bInterfaceClass;
    info->SubClass = found->descriptor.bInterfaceSubClass;
    info->Protocol = found->descriptor.bInterfaceProtocol;
    info->NumberOfPipes = static_cast<ULONG>(pipes);
    for (size_t i = 0; i < pipes; ++i) {
        const USB_ENDPOINT_DESCRIPTOR& endpoint = found->endpoints[i];
        USBD_PIPE_INFORMATION& pipe = info->Pipes[i];
        pipe.MaximumPacketSize = endpoint.wMaxPacketSize;
        pipe.EndpointAddress = endpoint.bEndpointAddress;
        pipe.Interval = endpoint.bInterval;
        switch (endpoint.bmAttributes & USB_ENDPOINT_TYPE_MASK) {
            case USB_ENDPOINT_TYPE_CONTROL:
                pipe.PipeType = UsbdPipeTypeControl;
                break;
            case USB_ENDPOINT_TYPE_ISOCHRONOUS:
                pipe.PipeType = UsbdPipeTypeIsochronous;
                break;
            case USB_ENDPOINT_TYPE_BULK:
                pipe.PipeType = UsbdPipeTypeBulk;
                break;
            default:
                pipe.PipeType = UsbdPipeTypeInterrupt;
                break;
        }
        pipe_storage_.push_back({endpoint.bEndpointAddress, endpoint.bmAttributes});
        pipe.PipeHandle = &pipe_storage_.back();
        // Pipes of the same endpoint selected earlier stop working.
        for (auto it = pipes_.begin(); it != pipes_.end();) {
            it = it->second == endpoint.bEndpointAddress ? pipes_.erase(it) : std::next(it);
        }
        pipes_[pipe.PipeHandle] = endpoint.bEndpointAddress;
    }
    return UrbResult::Success();
}

UrbResult StandardUsbDevice::SelectConfiguration(URB& urb) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& select = urb.UrbSelectConfiguration;
    if (select.ConfigurationDescriptor == nullptr) {
        configured_ = false;
        pipes_.clear();
        return UrbResult::Success();
    }
    const size_t total = urb.UrbHeader.Length;
    const size_t first = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    if (total < first + offsetof(USBD_INTERFACE_INFORMATION, Pipes)) {
        return {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
    }
    UCHAR* base = reinterpret_cast<UCHAR*>(&urb);
    size_t position = first;
    while (position + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= total) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(base + position);
        UrbResult result = FillInterface(info, total - position);
        if (!NT_SUCCESS(result.status)) {
            return result;
        }
        position += info->Length;
    }
    handle_storage_.push_back(1);
    select.ConfigurationHandle = &handle_storage_.back();
    configured_ = true;
    return UrbResult::Success();
}

UrbResult StandardUsbDevice::SelectInterface(URB& urb) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!configured_) {
        return {STATUS_INVALID_DEVICE_STATE, USBD_STATUS_INVALID_PARAMETER};
    }
    const size_t first = offsetof(struct _URB_SELECT_INTERFACE, Interface);
    if (urb.UrbHeader.Length < first) {
        return {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
    }
    return FillInterface(&urb.UrbSelectInterface.Interface, urb.UrbHeader.Length - first);
}

UrbResult StandardUsbDevice::OnControl(const SetupPacket& setup, UCHAR* data, ULONG* length) {
    *length = 0;
    return UrbResult::Stall();
}

void StandardUsbDevice::OnDataTransfer(uint8_t endpoint,
                                       const std::shared_ptr<UrbTransfer>& transfer) {
    if (transfer->ToHost()) {
        Hold(endpoint, transfer);
        return;
    }
    transfer->Complete(UrbResult::Success());
}

void StandardUsbDevice::Hold(uint8_t endpoint, const std::shared_ptr<UrbTransfer>& transfer) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        held_[endpoint].push_back(transfer);
    }
    // A cancellation that came before the transfer was held found nothing to remove. (The
    // transfer's own lock is never taken under the model's: answers run under the former and
    // may take the latter.)
    if (transfer->Finished()) {
        Cancelled(transfer);
    }
}

void StandardUsbDevice::Cancelled(const std::shared_ptr<UrbTransfer>& transfer) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [endpoint, queue] : held_) {
        queue.erase(std::remove(queue.begin(), queue.end(), transfer), queue.end());
    }
}

size_t StandardUsbDevice::HeldCount(uint8_t endpoint) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = held_.find(endpoint);
    return it == held_.end() ? 0 : it->second.size();
}

bool StandardUsbDevice::CompleteHeldIn(uint8_t endpoint, const std::vector<uint8_t>& data,
                                       UrbResult result) {
    for (;;) {
        std::shared_ptr<UrbTransfer> transfer;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = held_.find(endpoint);
            if (it == held_.end() || it->second.empty()) {
                return false;
            }
            transfer = it->second.front();
            it->second.pop_front();
        }
        const bool done = transfer->Complete([&](URB& urb) {
            auto& bulk = urb.UrbBulkOrInterruptTransfer;
            const ULONG count =
                std::min<ULONG>(bulk.TransferBufferLength, static_cast<ULONG>(data.size()));
            if (count > 0 && bulk.TransferBuffer != nullptr) {
                memcpy(bulk.TransferBuffer, data.data(), count);
            }
            bulk.TransferBufferLength = bulk.TransferBuffer != nullptr ? count : 0;
            return result;
        });
        if (done) {
            return true;
        }
    }
}

void StandardUsbDevice::AbortPipe(USBD_PIPE_HANDLE pipe) {
    std::deque<std::shared_ptr<UrbTransfer>> aborted;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = pipes_.find(pipe);
        if (it == pipes_.end()) {
            return;
        }
        auto held = held_.find(it->second);
        if (held != held_.end()) {
            aborted.swap(held->second);
        }
    }
    for (auto& transfer : aborted) {
        transfer->Complete([](URB& urb) {
            urb.UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
            return UrbResult::Cancelled();
        });
    }
}

}  // namespace emu::usb
