// Setup packets, data stages and names of URBs.
#include "emu/usb/urb_trace.h"

#include <cstdio>

namespace emu::usb {

namespace {

constexpr uint8_t kIn = 0x80;

uint8_t RequestType(bool to_host, uint8_t type, uint8_t recipient) {
    return static_cast<uint8_t>((to_host ? kIn : 0) | (type << 5) | recipient);
}

SetupPacket Make(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint32_t length) {
    SetupPacket setup;
    setup.bmRequestType = type;
    setup.bRequest = request;
    setup.wValue = value;
    setup.wIndex = index;
    setup.wLength = static_cast<uint16_t>(length > 0xFFFF ? 0xFFFF : length);
    return setup;
}

// Recipient of the *_DEVICE, *_INTERFACE, *_ENDPOINT and *_OTHER variants of a function family.
uint8_t RecipientOf(USHORT function) {
    switch (function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
        case URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE:
        case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
        case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
        case URB_FUNCTION_VENDOR_INTERFACE:
        case URB_FUNCTION_CLASS_INTERFACE:
            return BMREQUEST_TO_INTERFACE;
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
        case URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT:
        case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
        case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
        case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
        case URB_FUNCTION_VENDOR_ENDPOINT:
        case URB_FUNCTION_CLASS_ENDPOINT:
            return BMREQUEST_TO_ENDPOINT;
        case URB_FUNCTION_SET_FEATURE_TO_OTHER:
        case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER:
        case URB_FUNCTION_GET_STATUS_FROM_OTHER:
        case URB_FUNCTION_VENDOR_OTHER:
        case URB_FUNCTION_CLASS_OTHER:
            return BMREQUEST_TO_OTHER;
        default:
            return BMREQUEST_TO_DEVICE;
    }
}

}  // namespace

std::array<uint8_t, 8> SetupPacket::Bytes() const {
    return {bmRequestType,
            bRequest,
            static_cast<uint8_t>(wValue & 0xFF),
            static_cast<uint8_t>(wValue >> 8),
            static_cast<uint8_t>(wIndex & 0xFF),
            static_cast<uint8_t>(wIndex >> 8),
            static_cast<uint8_t>(wLength & 0xFF),
            static_cast<uint8_t>(wLength >> 8)};
}

SetupPacket SetupPacket::FromBytes(const UCHAR bytes[8]) {
    SetupPacket setup;
    setup.bmRequestType = bytes[0];
    setup.bRequest = bytes[1];
    setup.wValue = static_cast<uint16_t>(bytes[2] | bytes[3] << 8);
    setup.wIndex = static_cast<uint16_t>(bytes[4] | bytes[5] << 8);
    setup.wLength = static_cast<uint16_t>(bytes[6] | bytes[7] << 8);
    return setup;
}

std::string SetupPacket::ToString() const {
    char text[32];
    snprintf(text, sizeof(text), "%02x %02x %04x %04x %04x", bmRequestType, bRequest, wValue,
             wIndex, wLength);
    return text;
}

std::optional<SetupPacket> SetupPacketOf(const URB& urb) {
    const USHORT function = urb.UrbHeader.Function;
    const uint8_t recipient = RecipientOf(function);
    switch (function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
        case URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE:
        case URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE:
        case URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT: {
            const auto& request = urb.UrbControlDescriptorRequest;
            const bool get = function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ||
                             function == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE ||
                             function == URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT;
            return Make(RequestType(get, BMREQUEST_STANDARD, recipient),
                        get ? USB_REQUEST_GET_DESCRIPTOR : USB_REQUEST_SET_DESCRIPTOR,
                        USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(request.DescriptorType, request.Index),
                        request.LanguageId, request.TransferBufferLength);
        }
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
        case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
        case URB_FUNCTION_SET_FEATURE_TO_OTHER:
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
        case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER: {
            const auto& request = urb.UrbControlFeatureRequest;
            const bool set = function == URB_FUNCTION_SET_FEATURE_TO_DEVICE ||
                             function == URB_FUNCTION_SET_FEATURE_TO_INTERFACE ||
                             function == URB_FUNCTION_SET_FEATURE_TO_ENDPOINT ||
                             function == URB_FUNCTION_SET_FEATURE_TO_OTHER;
            return Make(RequestType(false, BMREQUEST_STANDARD, recipient),
                        set ? USB_REQUEST_SET_FEATURE : USB_REQUEST_CLEAR_FEATURE,
                        request.FeatureSelector, request.Index, 0);
        }
        case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
        case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
        case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
        case URB_FUNCTION_GET_STATUS_FROM_OTHER: {
            const auto& request = urb.UrbControlGetStatusRequest;
            return Make(RequestType(true, BMREQUEST_STANDARD, recipient), USB_REQUEST_GET_STATUS, 0,
                        request.Index, request.TransferBufferLength);
        }
        case URB_FUNCTION_GET_CONFIGURATION:
            return Make(RequestType(true, BMREQUEST_STANDARD, BMREQUEST_TO_DEVICE),
                        USB_REQUEST_GET_CONFIGURATION, 0, 0,
                        urb.UrbControlGetConfigurationRequest.TransferBufferLength);
        case URB_FUNCTION_GET_INTERFACE:
            return Make(RequestType(true, BMREQUEST_STANDARD, BMREQUEST_TO_INTERFACE),
                        USB_REQUEST_GET_INTERFACE, 0, urb.UrbControlGetInterfaceRequest.Interface,
                        urb.UrbControlGetInterfaceRequest.TransferBufferLength);
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_VENDOR_INTERFACE:
        case URB_FUNCTION_VENDOR_ENDPOINT:
        case URB_FUNCTION_VENDOR_OTHER:
        case URB_FUNCTION_CLASS_DEVICE:
        case URB_FUNCTION_CLASS_INTERFACE:
        case URB_FUNCTION_CLASS_ENDPOINT:
        case URB_FUNCTION_CLASS_OTHER: {
            const auto& request = urb.UrbControlVendorClassRequest;
            const bool vendor = function == URB_FUNCTION_VENDOR_DEVICE ||
                                function == URB_FUNCTION_VENDOR_INTERFACE ||
                                function == URB_FUNCTION_VENDOR_ENDPOINT ||
                                function == URB_FUNCTION_VENDOR_OTHER;
            const bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
            uint8_t type = RequestType(in, vendor ? BMREQUEST_VENDOR : BMREQUEST_CLASS, recipient);
            type |= request.RequestTypeReservedBits;
            return Make(type, request.Request, request.Value, request.Index,
                        request.TransferBufferLength);
        }
        case URB_FUNCTION_CONTROL_TRANSFER: {
            SetupPacket setup = SetupPacket::FromBytes(urb.UrbControlTransfer.SetupPacket);
            return setup;
        }
        case URB_FUNCTION_SELECT_CONFIGURATION: {
            const PUSB_CONFIGURATION_DESCRIPTOR configuration =
                urb.UrbSelectConfiguration.ConfigurationDescriptor;
            const uint16_t value = configuration ? configuration->bConfigurationValue : 0;
            return Make(RequestType(false, BMREQUEST_STANDARD, BMREQUEST_TO_DEVICE),
                        USB_REQUEST_SET_CONFIGURATION, value, 0, 0);
        }
        case URB_FUNCTION_SELECT_INTERFACE: {
            const auto& info = urb.UrbSelectInterface.Interface;
            return Make(RequestType(false, BMREQUEST_STANDARD, BMREQUEST_TO_INTERFACE),
                        USB_REQUEST_SET_INTERFACE, info.AlternateSetting, info.InterfaceNumber, 0);
        }
        default:
            return std::nullopt;
    }
}

DataStage DataStageOf(URB& urb) {
    DataStage stage;
    const USHORT function = urb.UrbHeader.Function;
    switch (function) {
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
            auto& transfer = urb.UrbBulkOrInterruptTransfer;
            stage.buffer = static_cast<UCHAR*>(transfer.TransferBuffer);
            stage.length = transfer.TransferBufferLength;
            stage.to_host = (transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
            stage.length_field = &transfer.TransferBufferLength;
            return stage;
        }
        case URB_FUNCTION_CONTROL_TRANSFER: {
            auto& transfer = urb.UrbControlTransfer;
            stage.buffer = static_cast<UCHAR*>(transfer.TransferBuffer);
            stage.length = transfer.TransferBufferLength;
            stage.to_host = (transfer.SetupPacket[0] & 0x80) != 0;
            stage.length_field = &transfer.TransferBufferLength;
            return stage;
        }
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
        case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
        case URB_FUNCTION_SET_FEATURE_TO_OTHER:
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
        case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER:
            return stage;  // no data stage
        default:
            break;
    }
    std::optional<SetupPacket> setup = SetupPacketOf(urb);
    if (!setup || function == URB_FUNCTION_SELECT_CONFIGURATION ||
        function == URB_FUNCTION_SELECT_INTERFACE) {
        return stage;
    }
    // Every other control URB shares the layout of the descriptor request up to the data
    // stage: TransferBufferLength, TransferBuffer, TransferBufferMDL at the same places.
    auto& request = urb.UrbControlDescriptorRequest;
    stage.buffer = static_cast<UCHAR*>(request.TransferBuffer);
    stage.length = request.TransferBufferLength;
    stage.to_host = setup->DeviceToHost();
    stage.length_field = &request.TransferBufferLength;
    return stage;
}

std::string UrbFunctionName(USHORT function) {
    switch (function) {
#define QUELLA_URB_NAME(name) \
    case URB_FUNCTION_##name: \
        return #name;
        QUELLA_URB_NAME(SELECT_CONFIGURATION)
        QUELLA_URB_NAME(SELECT_INTERFACE)
        QUELLA_URB_NAME(ABORT_PIPE)
        QUELLA_URB_NAME(GET_CURRENT_FRAME_NUMBER)
        QUELLA_URB_NAME(CONTROL_TRANSFER)
        QUELLA_URB_NAME(BULK_OR_INTERRUPT_TRANSFER)
        QUELLA_URB_NAME(ISOCH_TRANSFER)
        QUELLA_URB_NAME(GET_DESCRIPTOR_FROM_DEVICE)
        QUELLA_URB_NAME(SET_DESCRIPTOR_TO_DEVICE)
        QUELLA_URB_NAME(SET_FEATURE_TO_DEVICE)
        QUELLA_URB_NAME(SET_FEATURE_TO_INTERFACE)
        QUELLA_URB_NAME(SET_FEATURE_TO_ENDPOINT)
        QUELLA_URB_NAME(CLEAR_FEATURE_TO_DEVICE)
        QUELLA_URB_NAME(CLEAR_FEATURE_TO_INTERFACE)
        QUELLA_URB_NAME(CLEAR_FEATURE_TO_ENDPOINT)
        QUELLA_URB_NAME(GET_STATUS_FROM_DEVICE)
        QUELLA_URB_NAME(GET_STATUS_FROM_INTERFACE)
        QUELLA_URB_NAME(GET_STATUS_FROM_ENDPOINT)
        QUELLA_URB_NAME(VENDOR_DEVICE)
        QUELLA_URB_NAME(VENDOR_INTERFACE)
        QUELLA_URB_NAME(VENDOR_ENDPOINT)
        QUELLA_URB_NAME(CLASS_DEVICE)
        QUELLA_URB_NAME(CLASS_INTERFACE)
        QUELLA_URB_NAME(CLASS_ENDPOINT)
        QUELLA_URB_NAME(SYNC_RESET_PIPE_AND_CLEAR_STALL)
        QUELLA_URB_NAME(CLASS_OTHER)
        QUELLA_URB_NAME(VENDOR_OTHER)
        QUELLA_URB_NAME(GET_STATUS_FROM_OTHER)
        QUELLA_URB_NAME(CLEAR_FEATURE_TO_OTHER)
        QUELLA_URB_NAME(SET_FEATURE_TO_OTHER)
        QUELLA_URB_NAME(GET_DESCRIPTOR_FROM_ENDPOINT)
        QUELLA_URB_NAME(SET_DESCRIPTOR_TO_ENDPOINT)
        QUELLA_URB_NAME(GET_CONFIGURATION)
        QUELLA_URB_NAME(GET_INTERFACE)
        QUELLA_URB_NAME(GET_DESCRIPTOR_FROM_INTERFACE)
        QUELLA_URB_NAME(SET_DESCRIPTOR_TO_INTERFACE)
        QUELLA_URB_NAME(SYNC_RESET_PIPE)
        QUELLA_URB_NAME(SYNC_CLEAR_STALL)
#undef QUELLA_URB_NAME
        default: {
            char text[16];
            snprintf(text, sizeof(text), "0x%04x", function);
            return text;
        }
    }
}

bool IsControlFunction(USHORT function) {
    URB probe{};
    probe.UrbHeader.Function = function;
    return function != URB_FUNCTION_SELECT_CONFIGURATION &&
           function != URB_FUNCTION_SELECT_INTERFACE && SetupPacketOf(probe).has_value();
}

std::string HexBytes(const std::vector<uint8_t>& bytes, size_t limit) {
    std::string text;
    char hex[4];
    for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
        snprintf(hex, sizeof(hex), i ? " %02x" : "%02x", bytes[i]);
        text += hex;
    }
    if (bytes.size() > limit) {
        text += " ...";
    }
    return text;
}

}  // namespace emu::usb
