// The control transfer under every chip request, the class requests, the DTR/RTS operations and
// the vendor register and chip-code requests. All at PASSIVE_LEVEL (they wait for the device).
#include "chip/requests.h"

#include "usb/pipes.h"
#include "usb/sync_request.h"

namespace {

constexpr USHORT CONTROL_URB_SIZE = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);

PURB AllocateControlUrb() {
    PURB urb =
        static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, CONTROL_URB_SIZE, QUELLA_POOL_TAG));
    if (urb != NULL) {
        RtlZeroMemory(urb, CONTROL_URB_SIZE);
    }
    return urb;
}

// Fills Urb as the control request, sends it and frees it.
NTSTATUS SubmitControlUrb(PDEVICE_OBJECT DeviceObject, PURB Urb, USHORT UrbFunction, UCHAR Request,
                          USHORT Value, USHORT Index, PVOID Data, ULONG Length, BOOLEAN ToHost,
                          PULONG Transferred) {
    UsbBuildVendorRequest(Urb, UrbFunction, CONTROL_URB_SIZE,
                          ToHost ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT, 0,
                          Request, Value, Index, Data, NULL, Length, NULL);
    NTSTATUS status = SubmitUrbSync(DeviceObject, Urb);
    if (Transferred != NULL) {
        ULONG moved =
            NT_SUCCESS(status) ? Urb->UrbControlVendorClassRequest.TransferBufferLength : 0;
        *Transferred = moved < Length ? moved : Length;
    }
    ExFreePoolWithTag(Urb, QUELLA_POOL_TAG);
    return status;
}

NTSTATUS ClassRequest(PDEVICE_OBJECT DeviceObject, UCHAR Request, USHORT Value, PVOID Data,
                      ULONG Length) {
    return SendControlRequest(DeviceObject, URB_FUNCTION_CLASS_INTERFACE, Request, Value, 0, Data,
                              Length, FALSE, NULL);
}

NTSTATUS VendorOut(PDEVICE_OBJECT DeviceObject, USHORT Value, USHORT Index) {
    return SendControlRequest(DeviceObject, URB_FUNCTION_VENDOR_DEVICE, CHIP_VENDOR_REQUEST, Value,
                              Index, NULL, 0, FALSE, NULL);
}

BOOLEAN ChipTypeAtLeast(PDEVICE_OBJECT DeviceObject, LONG Minimum) {
    return PortOf(DeviceObject)->ChipType >= Minimum;
}

// The DTR/RTS operations: the level test, then the request block, then the new word, then the
// request. ControlLineState changes only once the request block exists.
BOOLEAN ChangeControlLine(PDEVICE_OBJECT DeviceObject, USHORT Bit, BOOLEAN Raise) {
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        return FALSE;  // a synchronous request must not wait here
    }
    PURB urb = AllocateControlUrb();
    if (urb == NULL) {
        return FALSE;
    }
    PSERIAL_PORT_EXTENSION Port = PortOf(DeviceObject);
    USHORT state =
        Raise ? USHORT(Port->ControlLineState | Bit) : USHORT(Port->ControlLineState & ~Bit);
    Port->ControlLineState = state;
    NTSTATUS status = SubmitControlUrb(DeviceObject, urb, URB_FUNCTION_CLASS_INTERFACE,
                                       CDC_SET_CONTROL_LINE_STATE, state, 0, NULL, 0, FALSE, NULL);
    return NT_SUCCESS(status) ? TRUE : FALSE;
}

}  // namespace

NTSTATUS SendControlRequest(PDEVICE_OBJECT DeviceObject, USHORT UrbFunction, UCHAR Request,
                            USHORT Value, USHORT Index, PVOID Data, ULONG Length, BOOLEAN ToHost,
                            PULONG Transferred) {
    if (Transferred != NULL) {
        *Transferred = 0;
    }
    PURB urb = AllocateControlUrb();
    if (urb == NULL) {
        return STATUS_NO_MEMORY;
    }
    return SubmitControlUrb(DeviceObject, urb, UrbFunction, Request, Value, Index, Data, Length,
                            ToHost, Transferred);
}

// ---------------------------------------------------------------------------------------------
// Class requests
// ---------------------------------------------------------------------------------------------
NTSTATUS SendLineCoding(PDEVICE_OBJECT DeviceObject, const LINE_CODING* Coding) {
    // The record goes out from a copy: the caller's may change while the request is in flight.
    LINE_CODING copy = *Coding;
    return ClassRequest(DeviceObject, CDC_SET_LINE_CODING, 0, &copy, sizeof(copy));
}

BOOLEAN SetDtr(PDEVICE_OBJECT DeviceObject) {
    return ChangeControlLine(DeviceObject, CONTROL_LINE_DTR, TRUE);
}

BOOLEAN ClearDtr(PDEVICE_OBJECT DeviceObject) {
    return ChangeControlLine(DeviceObject, CONTROL_LINE_DTR, FALSE);
}

BOOLEAN SetRts(PDEVICE_OBJECT DeviceObject) {
    return ChangeControlLine(DeviceObject, CONTROL_LINE_RTS, TRUE);
}

BOOLEAN ClearRts(PDEVICE_OBJECT DeviceObject) {
    return ChangeControlLine(DeviceObject, CONTROL_LINE_RTS, FALSE);
}

NTSTATUS SetControlLines(PDEVICE_OBJECT DeviceObject, USHORT Value) {
    return ClassRequest(DeviceObject, CDC_SET_CONTROL_LINE_STATE, Value, NULL, 0);
}

NTSTATUS SendBreak(PDEVICE_OBJECT DeviceObject, BOOLEAN On) {
    NTSTATUS status = ClassRequest(DeviceObject, CDC_SEND_BREAK, On ? 0xFFFF : 0x0000, NULL, 0);
    return status == STATUS_NO_MEMORY ? STATUS_INSUFFICIENT_RESOURCES : status;
}

NTSTATUS SetAbstractState(PDEVICE_OBJECT DeviceObject, USHORT State) {
    UCHAR data[2] = {UCHAR(State & 0xFF), UCHAR(State >> 8)};
    return ClassRequest(DeviceObject, CDC_SET_COMM_FEATURE, CDC_ABSTRACT_STATE, data, sizeof(data));
}

// ---------------------------------------------------------------------------------------------
// Vendor requests
// ---------------------------------------------------------------------------------------------
NTSTATUS ReadRegister(PDEVICE_OBJECT DeviceObject, ULONG Register) {
    if (Register > 1) {
        return STATUS_INVALID_PARAMETER;
    }
    // Read into a byte of our own: the shadow takes the value only when the chip sent it, so a
    // failed read never leaves a byte of garbage behind for the next read-modify-write.
    UCHAR value = 0;
    ULONG moved = 0;
    NTSTATUS status =
        VendorRead(DeviceObject, USHORT(CHIP_READ_REGISTER_BASE + Register), &value, &moved);
    if (NT_SUCCESS(status) && moved == 1) {
        PortOf(DeviceObject)->ChipRegShadow[Register] = value;
    }
    return status;
}

NTSTATUS WriteRegister(PDEVICE_OBJECT DeviceObject, ULONG Register) {
    if (Register > 2) {
        return STATUS_INVALID_PARAMETER;
    }
    return VendorOut(DeviceObject, USHORT(Register), PortOf(DeviceObject)->ChipRegShadow[Register]);
}

NTSTATUS VendorWrite(PDEVICE_OBJECT DeviceObject, USHORT Value, USHORT Index) {
    return VendorOut(DeviceObject, Value, Index);
}

NTSTATUS VendorRead(PDEVICE_OBJECT DeviceObject, USHORT Value, PUCHAR Buffer, PULONG Transferred) {
    if (Buffer == NULL) {
        if (Transferred != NULL) {
            *Transferred = 0;
        }
        return STATUS_INVALID_PARAMETER;
    }
    return SendControlRequest(DeviceObject, URB_FUNCTION_VENDOR_DEVICE, CHIP_VENDOR_REQUEST, Value,
                              0, Buffer, 1, TRUE, Transferred);
}

NTSTATUS SetXonXoffChars(PDEVICE_OBJECT DeviceObject, UCHAR XonChar, UCHAR XoffChar) {
    if (!ChipTypeAtLeast(DeviceObject, CHIP_TYPE_CODES)) {
        return STATUS_NOT_SUPPORTED;
    }
    return VendorOut(DeviceObject, CHIP_XON_XOFF_CHARS, USHORT(XonChar | (XoffChar << 8)));
}

NTSTATUS WriteFlag0809(PDEVICE_OBJECT DeviceObject, BOOLEAN On) {
    if (!ChipTypeAtLeast(DeviceObject, CHIP_TYPE_CODES)) {
        return STATUS_NOT_SUPPORTED;
    }
    return VendorOut(DeviceObject, On ? CHIP_FLAG_09 : CHIP_FLAG_08, 0);
}

NTSTATUS WriteCode0B(PDEVICE_OBJECT DeviceObject, UCHAR Value) {
    if (!ChipTypeAtLeast(DeviceObject, CHIP_TYPE_CODES)) {
        return STATUS_NOT_SUPPORTED;
    }
    return VendorOut(DeviceObject, CHIP_CODE_0B, Value);
}

namespace {

// The generation from which a write code exists, or -1 for a code the chip does not have.
LONG WriteCodeGeneration(UCHAR Code) {
    switch (Code) {
        case 0x06:
        case 0x07:
            return CHIP_TYPE_CODES;
        case 0x0C:
        case 0x0D:
        case 0x0E:
        case 0x0F:
            return CHIP_TYPE_WIDE_CODES;
        default:
            return -1;
    }
}

// The same for read codes (the write code with bit 7 set).
LONG ReadCodeGeneration(UCHAR Code) {
    return (Code & 0x80) != 0 ? WriteCodeGeneration(UCHAR(Code & 0x7F)) : -1;
}

}  // namespace

ULONG ChipWordLength(UCHAR Code) {
    if (ReadCodeGeneration(Code) < 0) {
        return 0;
    }
    return (Code == 0x8E || Code == 0x8F) ? 1 : 2;
}

NTSTATUS WriteChipWord(PDEVICE_OBJECT DeviceObject, UCHAR Code, USHORT Value) {
    LONG generation = WriteCodeGeneration(Code);
    if (generation < 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!ChipTypeAtLeast(DeviceObject, generation)) {
        return STATUS_NOT_SUPPORTED;
    }
    return VendorOut(DeviceObject, USHORT(Code | (Code << 8)), Value);
}

NTSTATUS ReadChipWord(PDEVICE_OBJECT DeviceObject, UCHAR Code, PUCHAR Buffer, PULONG Transferred) {
    if (Transferred != NULL) {
        *Transferred = 0;
    }
    LONG generation = ReadCodeGeneration(Code);
    if (generation < 0 || Buffer == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!ChipTypeAtLeast(DeviceObject, generation)) {
        return STATUS_NOT_SUPPORTED;
    }
    return SendControlRequest(DeviceObject, URB_FUNCTION_VENDOR_DEVICE, CHIP_VENDOR_REQUEST,
                              USHORT(Code | (Code << 8)), 0, Buffer, ChipWordLength(Code), TRUE,
                              Transferred);
}

// ---------------------------------------------------------------------------------------------
// Standard descriptor reads
// ---------------------------------------------------------------------------------------------
namespace {

constexpr USHORT DESCRIPTOR_URB_SIZE = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
constexpr USHORT STRING_LANGUAGE_US_ENGLISH = 0x0409;

NTSTATUS ReadDescriptor(PDEVICE_OBJECT DeviceObject, UCHAR Type, UCHAR Index, USHORT Language,
                        PUCHAR Buffer, ULONG Length, PULONG Transferred) {
    if (Transferred != NULL) {
        *Transferred = 0;
    }
    if (Buffer == NULL && Length != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    PURB urb = static_cast<PURB>(
        ExAllocatePoolWithTag(NonPagedPool, DESCRIPTOR_URB_SIZE, QUELLA_POOL_TAG));
    if (urb == NULL) {
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(urb, DESCRIPTOR_URB_SIZE);
    UsbBuildGetDescriptorRequest(urb, DESCRIPTOR_URB_SIZE, Type, Index, Language, Buffer, NULL,
                                 Length, NULL);
    NTSTATUS status = SubmitUrbSync(DeviceObject, urb);
    if (Transferred != NULL && NT_SUCCESS(status)) {
        ULONG moved = urb->UrbControlDescriptorRequest.TransferBufferLength;
        *Transferred = moved < Length ? moved : Length;
    }
    ExFreePoolWithTag(urb, QUELLA_POOL_TAG);
    return status;
}

}  // namespace

NTSTATUS GetDeviceDescriptor(PDEVICE_OBJECT DeviceObject, PUCHAR Buffer, PULONG Transferred) {
    return ReadDescriptor(DeviceObject, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, Buffer,
                          sizeof(USB_DEVICE_DESCRIPTOR), Transferred);
}

NTSTATUS GetConfigDescriptor(PDEVICE_OBJECT DeviceObject, PUCHAR Buffer, ULONG Length,
                             PULONG Transferred) {
    return ReadDescriptor(DeviceObject, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, Buffer, Length,
                          Transferred);
}

NTSTATUS GetStringDescriptor(PDEVICE_OBJECT DeviceObject, PUCHAR Buffer, ULONG Length,
                             PULONG Transferred) {
    if (Buffer == NULL || Length == 0) {
        if (Transferred != NULL) {
            *Transferred = 0;
        }
        return STATUS_INVALID_PARAMETER;
    }
    return ReadDescriptor(DeviceObject, USB_STRING_DESCRIPTOR_TYPE, Buffer[0],
                          STRING_LANGUAGE_US_ENGLISH, Buffer, Length, Transferred);
}

// ---------------------------------------------------------------------------------------------
// Synchronous data pipe transfers
// ---------------------------------------------------------------------------------------------
namespace {

constexpr USHORT TRANSFER_URB_SIZE = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);

NTSTATUS PipeTransferSync(PDEVICE_OBJECT DeviceObject, ULONG PipeIndex, ULONG Flags, PUCHAR Buffer,
                          ULONG Length, PULONG Transferred) {
    if (Transferred != NULL) {
        *Transferred = 0;
    }
    if (Buffer == NULL && Length != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    USBD_PIPE_HANDLE pipe = PipeHandleOf(PortOf(DeviceObject), PipeIndex);
    if (pipe == NULL) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    PURB urb =
        static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, TRANSFER_URB_SIZE, QUELLA_POOL_TAG));
    if (urb == NULL) {
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(urb, TRANSFER_URB_SIZE);
    UsbBuildInterruptOrBulkTransferRequest(urb, TRANSFER_URB_SIZE, pipe, Buffer, NULL, Length,
                                           Flags, NULL);
    NTSTATUS status = SubmitUrbSync(DeviceObject, urb);
    if (Transferred != NULL && NT_SUCCESS(status)) {
        ULONG moved = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        *Transferred = moved < Length ? moved : Length;
    }
    ExFreePoolWithTag(urb, QUELLA_POOL_TAG);
    return status;
}

}  // namespace

NTSTATUS ReadInterruptPipeSync(PDEVICE_OBJECT DeviceObject, PUCHAR Buffer, ULONG Length,
                               PULONG Transferred) {
    return PipeTransferSync(DeviceObject, PIPE_INTERRUPT_IN, USBD_TRANSFER_DIRECTION_IN, Buffer,
                            Length, Transferred);
}

NTSTATUS WriteBulkPipeSync(PDEVICE_OBJECT DeviceObject, PUCHAR Data, ULONG Length) {
    return PipeTransferSync(DeviceObject, PIPE_BULK_OUT, USBD_TRANSFER_DIRECTION_OUT, Data, Length,
                            NULL);
}

NTSTATUS ReadBulkPipeSync(PDEVICE_OBJECT DeviceObject, PUCHAR Buffer, ULONG Length,
                          PULONG Transferred) {
    return PipeTransferSync(DeviceObject, PIPE_BULK_IN,
                            USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, Buffer, Length,
                            Transferred);
}
