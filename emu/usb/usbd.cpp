// The USBD library routines of the emulated platform: walking a configuration descriptor and
// building select-configuration URBs, with the platform's documented semantics. Unlike a
// trusting implementation, every walk stays inside the buffer it was given: a descriptor whose
// bLength is 0 or runs past the end stops the walk instead of looping or reading beyond it.
#include <cstring>

#include "emu/kernel/wdk/ke.h"
#include "emu/usb/wdk/usb.h"

namespace {

// The descriptor at `position` if a whole one (at least its 2-byte header and all bLength bytes)
// lies inside [begin, end); null otherwise.
PUSB_COMMON_DESCRIPTOR DescriptorAt(const UCHAR* begin, const UCHAR* end, const UCHAR* position) {
    if (position < begin || position >= end || end - position < 2) {
        return nullptr;
    }
    auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(const_cast<UCHAR*>(position));
    if (common->bLength < 2 || common->bLength > end - position) {
        return nullptr;
    }
    return common;
}

bool Matches(LONG criterion, UCHAR value) {
    return criterion == -1 || criterion == value;
}

}  // namespace

VOID NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
    if (VersionInformation != nullptr) {
        VersionInformation->USBDI_Version = USBDI_VERSION;
        VersionInformation->Supported_USB_Version = 0x0200;
    }
}

PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                   PVOID StartPosition, LONG DescriptorType) {
    if (DescriptorBuffer == nullptr) {
        return nullptr;
    }
    const UCHAR* begin = static_cast<const UCHAR*>(DescriptorBuffer);
    const UCHAR* end = begin + TotalLength;
    const UCHAR* position = static_cast<const UCHAR*>(StartPosition);
    while (PUSB_COMMON_DESCRIPTOR descriptor = DescriptorAt(begin, end, position)) {
        if (descriptor->bDescriptorType == DescriptorType) {
            return descriptor;
        }
        position += descriptor->bLength;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
    if (ConfigurationDescriptor == nullptr) {
        return nullptr;
    }
    const UCHAR* begin = reinterpret_cast<const UCHAR*>(ConfigurationDescriptor);
    const ULONG total = ConfigurationDescriptor->wTotalLength;
    const UCHAR* position = static_cast<const UCHAR*>(StartPosition);
    for (;;) {
        auto* found = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(
            USBD_ParseDescriptors(ConfigurationDescriptor, total, const_cast<UCHAR*>(position),
                                  USB_INTERFACE_DESCRIPTOR_TYPE));
        if (found == nullptr) {
            return nullptr;
        }
        // A short interface descriptor cannot be matched on the fields it lacks.
        if (found->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
            Matches(InterfaceNumber, found->bInterfaceNumber) &&
            Matches(AlternateSetting, found->bAlternateSetting) &&
            Matches(InterfaceClass, found->bInterfaceClass) &&
            Matches(InterfaceSubClass, found->bInterfaceSubClass) &&
            Matches(InterfaceProtocol, found->bInterfaceProtocol)) {
            return found;
        }
        position = reinterpret_cast<const UCHAR*>(found) + found->bLength;
        if (position >= begin + total) {
            return nullptr;
        }
    }
}

PUSB_INTERFACE_DESCRIPTOR NTAPI
USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                  UCHAR InterfaceNumber, UCHAR AlternateSetting) {
    return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor,
                                               InterfaceNumber, AlternateSetting, -1, -1, -1);
}

ULONG NTAPI USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor,
                                    PUCHAR BufferEnd) {
    const UCHAR* begin = reinterpret_cast<const UCHAR*>(InterfaceDescriptor);
    const UCHAR* end = BufferEnd;
    PUSB_COMMON_DESCRIPTOR first = DescriptorAt(begin, end, begin);
    if (first == nullptr) {
        return 0;
    }
    const UCHAR* position = begin + first->bLength;
    while (PUSB_COMMON_DESCRIPTOR next = DescriptorAt(begin, end, position)) {
        if (next->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) {
            break;
        }
        position += next->bLength;
    }
    return static_cast<ULONG>(position - begin);
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) {
        return nullptr;
    }
    // One information block per listed interface, each with room for all its endpoints (at
    // least one pipe entry, as the block's declaration has).
    size_t interfaces = 0;
    size_t size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr;
         ++entry) {
        const ULONG pipes = entry->InterfaceDescriptor->bNumEndpoints;
        size += GET_USBD_INTERFACE_SIZE(pipes > 0 ? pipes : 1);
        ++interfaces;
    }
    if (interfaces == 0) {
        size += sizeof(USBD_INTERFACE_INFORMATION);
    }
    if (size > 0xFFFF) {
        return nullptr;  // UrbHeader.Length is 16 bits
    }

    auto* urb = static_cast<PURB>(ExAllocatePool(NonPagedPool, size));
    if (urb == nullptr) {
        return nullptr;
    }
    memset(urb, 0, size);

    UCHAR* position = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr;
         ++entry) {
        PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(position);
        const ULONG pipes = descriptor->bNumEndpoints;
        const size_t length = GET_USBD_INTERFACE_SIZE(pipes > 0 ? pipes : 1);
        info->Length = static_cast<USHORT>(length);
        info->InterfaceNumber = descriptor->bInterfaceNumber;
        info->AlternateSetting = descriptor->bAlternateSetting;
        info->NumberOfPipes = pipes;
        for (ULONG i = 0; i < pipes; ++i) {
            info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            info->Pipes[i].PipeFlags = 0;
        }
        entry->Interface = info;
        position += length;
    }

    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
    return urb;
}

PURB NTAPI USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                           PUSHORT Siz) {
    if (Siz != nullptr) {
        *Siz = 0;
    }
    PUSB_INTERFACE_DESCRIPTOR first = USBD_ParseConfigurationDescriptorEx(
        ConfigurationDescriptor, ConfigurationDescriptor, -1, 0, -1, -1, -1);
    if (first == nullptr) {
        return nullptr;
    }
    USBD_INTERFACE_LIST_ENTRY list[2] = {{first, nullptr}, {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list);
    if (urb != nullptr && Siz != nullptr) {
        *Siz = urb->UrbHeader.Length;
    }
    return urb;
}
