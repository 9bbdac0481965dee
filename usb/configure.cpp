// IdentifyChip, ConfigureDevice and the two configuration selections. PASSIVE_LEVEL, Plug and
// Play thread (start), nothing else using the pipes; no lock.
//
// Everything read from the device is checked before it is used: a descriptor is interpreted
// only within the bytes that arrived, and the configuration handed to the USBD routines has a
// descriptor chain that stays inside its buffer.
#include "usb/configure.h"

#include "chip/requests.h"
#include "usb/pipe_transfer.h"
#include "usb/pipes.h"
#include "usb/sync_request.h"

namespace {

// Device descriptor bytes the identification looks at.
constexpr ULONG DEVICE_DESCRIPTOR_CLASS = 4;
constexpr ULONG DEVICE_DESCRIPTOR_MAX_PACKET0 = 7;
constexpr UCHAR DEVICE_CLASS_COMMUNICATIONS = 0x02;
constexpr UCHAR DEVICE_CLASS_PER_INTERFACE = 0x00;
constexpr UCHAR DEVICE_CLASS_VENDOR = 0xFF;
constexpr UCHAR MAX_PACKET0_LARGE = 64;

// The string refinements of generation 2: a "C" at byte 46 of string 2 makes it 3, then a
// space at byte 50 of string 1 makes it 4.
constexpr ULONG STRING_BUFFER_BYTES = 64;
constexpr UCHAR GEN3_STRING_INDEX = 2;
constexpr ULONG GEN3_MARK_OFFSET = 46;
constexpr UCHAR GEN3_MARK = 'C';
constexpr UCHAR GEN4_STRING_INDEX = 1;
constexpr ULONG GEN4_MARK_OFFSET = 50;
constexpr UCHAR GEN4_MARK = ' ';

constexpr ULONG CONFIG_HEADER_BYTES = sizeof(USB_CONFIGURATION_DESCRIPTOR);  // 9

// The interface match table of the two-interface layout: class, subclass, protocol.
struct INTERFACE_MATCH {
    LONG Class;
    LONG SubClass;
    LONG Protocol;
};
struct LAYOUT_B_ROW {
    INTERFACE_MATCH Interface0;
    INTERFACE_MATCH Interface1;
};
constexpr LAYOUT_B_ROW LAYOUT_B_GEN0 = {{0x02, 0x02, 0xFF}, {0x0A, 0x00, 0x00}};
constexpr LAYOUT_B_ROW LAYOUT_B_NEWER = {{0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF}};

PVOID AllocateNonPaged(SIZE_T Bytes) {
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, Bytes, QUELLA_POOL_TAG);
    if (block != NULL) {
        RtlZeroMemory(block, Bytes);
    }
    return block;
}

// Reads string descriptor Index into Buffer and tells whether the descriptor that arrived
// reaches byte Offset and holds Mark there. A failed read is no match.
BOOLEAN StringHasMark(PDEVICE_OBJECT DeviceObject, PUCHAR Buffer, UCHAR Index, ULONG Offset,
                      UCHAR Mark, PNTSTATUS Status) {
    RtlZeroMemory(Buffer, STRING_BUFFER_BYTES);
    Buffer[0] = Index;
    ULONG moved = 0;
    *Status = GetStringDescriptor(DeviceObject, Buffer, STRING_BUFFER_BYTES, &moved);
    if (!NT_SUCCESS(*Status)) {
        return FALSE;
    }
    // The descriptor is as long as the smaller of what arrived and what it says it is.
    ULONG length = Buffer[0] < moved ? Buffer[0] : moved;
    return (length > Offset && Buffer[Offset] == Mark) ? TRUE : FALSE;
}

// TRUE when a read failed for want of memory here (a request block or the request that
// carries it), not because of anything the device did.
BOOLEAN OutOfMemory(NTSTATUS Status) {
    return (Status == STATUS_NO_MEMORY || Status == STATUS_INSUFFICIENT_RESOURCES) ? TRUE : FALSE;
}

// Generation 2 becomes 3 or 4 by its strings. A read the device fails only means "no
// refinement"; a read that could not be sent fails the identification (STATUS_NO_MEMORY or
// STATUS_INSUFFICIENT_RESOURCES) rather than settle on a generation it did not check.
NTSTATUS RefineNewerChip(PDEVICE_OBJECT DeviceObject, PLONG ChipType) {
    PUCHAR buffer = static_cast<PUCHAR>(AllocateNonPaged(STRING_BUFFER_BYTES));
    if (buffer == NULL) {
        return STATUS_NO_MEMORY;
    }
    NTSTATUS status;
    LONG type = *ChipType;
    if (StringHasMark(DeviceObject, buffer, GEN3_STRING_INDEX, GEN3_MARK_OFFSET, GEN3_MARK,
                      &status)) {
        type = 3;
    }
    if (!OutOfMemory(status) && StringHasMark(DeviceObject, buffer, GEN4_STRING_INDEX,
                                              GEN4_MARK_OFFSET, GEN4_MARK, &status)) {
        type = 4;
    }
    ExFreePoolWithTag(buffer, QUELLA_POOL_TAG);
    if (OutOfMemory(status)) {
        return status;
    }
    *ChipType = type;
    return STATUS_SUCCESS;
}

LONG ChipTypeOfDevice(const UCHAR* Descriptor) {
    const UCHAR deviceClass = Descriptor[DEVICE_DESCRIPTOR_CLASS];
    if (deviceClass == DEVICE_CLASS_COMMUNICATIONS) {
        return 0;
    }
    if (Descriptor[DEVICE_DESCRIPTOR_MAX_PACKET0] == MAX_PACKET0_LARGE) {
        return 2;
    }
    if (deviceClass == DEVICE_CLASS_PER_INTERFACE || deviceClass == DEVICE_CLASS_VENDOR) {
        return 1;
    }
    return -1;
}

// TRUE when Buffer holds a configuration descriptor of exactly Total bytes (as its
// wTotalLength says) whose descriptors each lie wholly inside it, with interface and endpoint
// descriptors long enough for their fields. The USBD routines walk the chain by bLength; this
// keeps them inside the buffer.
BOOLEAN ConfigurationWellFormed(const UCHAR* Buffer, ULONG Total) {
    if (Total < CONFIG_HEADER_BYTES) {
        return FALSE;
    }
    auto configuration = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(Buffer);
    if (configuration->bLength < CONFIG_HEADER_BYTES ||
        configuration->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        configuration->wTotalLength != Total) {
        return FALSE;
    }
    ULONG offset = 0;
    while (offset < Total) {
        if (Total - offset < 2) {
            return FALSE;
        }
        const UCHAR length = Buffer[offset];
        const UCHAR type = Buffer[offset + 1];
        if (length < 2 || length > Total - offset) {
            return FALSE;
        }
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length < sizeof(USB_INTERFACE_DESCRIPTOR)) {
            return FALSE;
        }
        if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length < sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            return FALSE;
        }
        offset += length;
    }
    return TRUE;
}

// Copies the interface information block at Info, which has Room bytes of the URB behind it,
// into a new NonPagedPool block. STATUS_DEVICE_DATA_ERROR when the block's Length or pipe
// count does not fit; STATUS_INSUFFICIENT_RESOURCES when no copy could be allocated.
NTSTATUS CopyInterfaceInformation(PUSBD_INTERFACE_INFORMATION Info, SIZE_T Room,
                                  PUSBD_INTERFACE_INFORMATION* Copy) {
    *Copy = NULL;
    const SIZE_T header = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
    if (Room < header) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    const SIZE_T length = Info->Length;
    if (length < header || length > Room ||
        Info->NumberOfPipes > (length - header) / sizeof(USBD_PIPE_INFORMATION)) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    // At least a whole declared block, so that the copy is a complete structure.
    SIZE_T bytes =
        length < sizeof(USBD_INTERFACE_INFORMATION) ? sizeof(USBD_INTERFACE_INFORMATION) : length;
    PUSBD_INTERFACE_INFORMATION copy =
        static_cast<PUSBD_INTERFACE_INFORMATION>(AllocateNonPaged(bytes));
    if (copy == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(copy, Info, length);
    *Copy = copy;
    return STATUS_SUCCESS;
}

// Bytes of the URB from Info to its end.
SIZE_T RoomAfter(PURB Urb, USHORT UrbLength, PVOID Info) {
    PUCHAR end = reinterpret_cast<PUCHAR>(Urb) + UrbLength;
    PUCHAR at = static_cast<PUCHAR>(Info);
    return (at >= reinterpret_cast<PUCHAR>(Urb) && at < end) ? SIZE_T(end - at) : 0;
}

// Reads the whole configuration descriptor into a new NonPagedPool buffer (*Buffer, *Total).
NTSTATUS ReadConfiguration(PDEVICE_OBJECT DeviceObject, PUCHAR* Buffer, PULONG Total) {
    *Buffer = NULL;
    *Total = 0;
    PUCHAR header = static_cast<PUCHAR>(AllocateNonPaged(CONFIG_HEADER_BYTES));
    if (header == NULL) {
        return STATUS_NO_MEMORY;
    }
    ULONG moved = 0;
    NTSTATUS status = GetConfigDescriptor(DeviceObject, header, CONFIG_HEADER_BYTES, &moved);
    ULONG total = header[2] | (header[3] << 8);
    ExFreePoolWithTag(header, QUELLA_POOL_TAG);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (moved < CONFIG_HEADER_BYTES || total < CONFIG_HEADER_BYTES) {
        return STATUS_DEVICE_DATA_ERROR;
    }

    PUCHAR whole = static_cast<PUCHAR>(AllocateNonPaged(total));
    if (whole == NULL) {
        return STATUS_NO_MEMORY;
    }
    status = GetConfigDescriptor(DeviceObject, whole, total, &moved);
    if (NT_SUCCESS(status) && (moved < total || !ConfigurationWellFormed(whole, total))) {
        status = STATUS_DEVICE_DATA_ERROR;
    }
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(whole, QUELLA_POOL_TAG);
        return status;
    }
    *Buffer = whole;
    *Total = total;
    return STATUS_SUCCESS;
}

}  // namespace

VOID FreeInterfaceCopies(PSERIAL_PORT_EXTENSION Port) {
    if (Port->InterfaceInfo0 != NULL) {
        ExFreePoolWithTag(Port->InterfaceInfo0, QUELLA_POOL_TAG);
        Port->InterfaceInfo0 = NULL;
    }
    if (Port->InterfaceInfo1 != NULL) {
        ExFreePoolWithTag(Port->InterfaceInfo1, QUELLA_POOL_TAG);
        Port->InterfaceInfo1 = NULL;
    }
}

NTSTATUS IdentifyChip(PDEVICE_OBJECT DeviceObject) {
    PSERIAL_PORT_EXTENSION Port = PortOf(DeviceObject);
    const ULONG descriptorBytes = sizeof(USB_DEVICE_DESCRIPTOR);
    PUCHAR descriptor = static_cast<PUCHAR>(AllocateNonPaged(descriptorBytes));
    if (descriptor == NULL) {
        return STATUS_NO_MEMORY;
    }
    ULONG moved = 0;
    NTSTATUS status = GetDeviceDescriptor(DeviceObject, descriptor, &moved);
    if (NT_SUCCESS(status) && moved <= DEVICE_DESCRIPTOR_MAX_PACKET0) {
        status = STATUS_DEVICE_DATA_ERROR;  // too short to tell the generation by
    }
    LONG type = NT_SUCCESS(status) ? ChipTypeOfDevice(descriptor) : -1;
    ExFreePoolWithTag(descriptor, QUELLA_POOL_TAG);
    if (status == STATUS_NO_MEMORY) {
        return status;
    }

    if (type == 2) {
        NTSTATUS refined = RefineNewerChip(DeviceObject, &type);
        if (!NT_SUCCESS(refined)) {
            Port->ChipType = -1;
            return refined;
        }
    }
    Port->ChipType = type;

    if (NT_SUCCESS(status)) {
        status = ConfigureDevice(DeviceObject);
    }
    Port->DeviceIdentified = 1;
    return status;
}

NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject) {
    PSERIAL_PORT_EXTENSION Port = PortOf(DeviceObject);
    // A new configuration makes every pipe of the old one invalid. A transfer still in flight
    // on one of them (the status read goes on polling while the port is closed) is stopped
    // first: its completion would re-arm through the interface copies freed here, and the bus
    // cannot close a pipe that still has a transfer queued.
    // The pipes of the new configuration take transfers as soon as it is selected.
    StopAllPipes(Port);
    FreeInterfaceCopies(Port);
    AllowInputPipes(Port);

    PUCHAR buffer = NULL;
    ULONG total = 0;
    NTSTATUS status = ReadConfiguration(DeviceObject, &buffer, &total);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto configuration = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer);
    if (configuration->bNumInterfaces == 1) {
        Port->SingleInterface = TRUE;
    }
    status = Port->SingleInterface ? SelectSingleInterface(DeviceObject, configuration)
                                   : SelectTwoInterfaces(DeviceObject, configuration);
    if (NT_SUCCESS(status) && !PipeLayoutComplete(Port)) {
        status = STATUS_DEVICE_DATA_ERROR;
    }
    if (!NT_SUCCESS(status)) {
        FreeInterfaceCopies(Port);
    }
    ExFreePoolWithTag(buffer, QUELLA_POOL_TAG);
    return status;
}

NTSTATUS SelectSingleInterface(PDEVICE_OBJECT DeviceObject,
                               PUSB_CONFIGURATION_DESCRIPTOR Configuration) {
    PSERIAL_PORT_EXTENSION Port = PortOf(DeviceObject);
    if (USBD_ParseConfigurationDescriptorEx(Configuration, Configuration, -1, -1, -1, -1, -1) ==
        NULL) {
        return STATUS_DEVICE_DATA_ERROR;  // no interface at all
    }
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(Configuration, &size);
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UsbBuildSelectConfigurationRequest(urb, size, Configuration);
    NTSTATUS status = SubmitUrbSync(DeviceObject, urb);
    if (NT_SUCCESS(status)) {
        PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectConfiguration.Interface;
        PUSBD_INTERFACE_INFORMATION copy = NULL;
        status = CopyInterfaceInformation(info, RoomAfter(urb, size, info), &copy);
        FreeInterfaceCopies(Port);
        Port->InterfaceInfo0 = copy;
    }
    ExFreePool(urb);
    return status;
}

NTSTATUS SelectTwoInterfaces(PDEVICE_OBJECT DeviceObject,
                             PUSB_CONFIGURATION_DESCRIPTOR Configuration) {
    PSERIAL_PORT_EXTENSION Port = PortOf(DeviceObject);
    // A chip not identified (-1) is matched like the newer generations: their row asks for
    // vendor-specific interfaces, which is what an unknown bridge most likely has.
    const LAYOUT_B_ROW& row = Port->ChipType == 0 ? LAYOUT_B_GEN0 : LAYOUT_B_NEWER;

    const SIZE_T listBytes = 3 * sizeof(USBD_INTERFACE_LIST_ENTRY);
    PUSBD_INTERFACE_LIST_ENTRY list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
        ExAllocatePoolWithTag(PagedPool, listBytes, QUELLA_POOL_TAG));
    if (list == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(list, listBytes);
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(
        Configuration, Configuration, 0, 0, row.Interface0.Class, row.Interface0.SubClass,
        row.Interface0.Protocol);
    list[1].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(
        Configuration, Configuration, 1, 0, row.Interface1.Class, row.Interface1.SubClass,
        row.Interface1.Protocol);
    if (list[0].InterfaceDescriptor == NULL || list[1].InterfaceDescriptor == NULL) {
        ExFreePoolWithTag(list, QUELLA_POOL_TAG);
        return STATUS_DEVICE_DATA_ERROR;  // the layout's interfaces are not there
    }

    PURB urb = USBD_CreateConfigurationRequestEx(Configuration, list);
    if (urb == NULL) {
        ExFreePoolWithTag(list, QUELLA_POOL_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // One selection yields the pipes of both interfaces. (Selecting a second time would make
    // the handles of the first selection invalid.)
    const USHORT size = urb->UrbHeader.Length;
    NTSTATUS status = SubmitUrbSync(DeviceObject, urb);
    if (NT_SUCCESS(status)) {
        PUSBD_INTERFACE_INFORMATION copy0 = NULL;
        PUSBD_INTERFACE_INFORMATION copy1 = NULL;
        status = CopyInterfaceInformation(list[0].Interface,
                                          RoomAfter(urb, size, list[0].Interface), &copy0);
        if (NT_SUCCESS(status)) {
            status = CopyInterfaceInformation(list[1].Interface,
                                              RoomAfter(urb, size, list[1].Interface), &copy1);
        }
        FreeInterfaceCopies(Port);
        if (NT_SUCCESS(status)) {
            Port->InterfaceInfo0 = copy0;
            Port->InterfaceInfo1 = copy1;
        } else if (copy0 != NULL) {
            ExFreePoolWithTag(copy0, QUELLA_POOL_TAG);
        }
    }
    ExFreePool(urb);
    ExFreePoolWithTag(list, QUELLA_POOL_TAG);
    return status;
}
