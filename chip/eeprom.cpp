// The chip's EEPROM: the busy poll, byte writes, two-step byte reads and the signature test.
// PASSIVE_LEVEL (every step waits for the device, and the busy poll pauses the thread).
#include "chip/eeprom_signature.h"
#include "chip/requests.h"

namespace {

constexpr UCHAR EEPROM_STATUS_BUSY = 0x01;

// Polls until the chip reports idle: STATUS_SUCCESS, STATUS_NO_MEMORY, or STATUS_IO_TIMEOUT
// once EEPROM_BUSY_POLL_LIMIT polls (about a second) all answered busy. An idle chip costs one
// poll, that is one 5 ms pause.
NTSTATUS WaitForEepromIdle(PDEVICE_OBJECT DeviceObject) {
    for (ULONG poll = 0; poll < EEPROM_BUSY_POLL_LIMIT; ++poll) {
        BOOLEAN busy = FALSE;
        NTSTATUS status = EepromBusy(DeviceObject, &busy);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (!busy) {
            return STATUS_SUCCESS;
        }
    }
    return STATUS_IO_TIMEOUT;
}

// Reads the little-endian word at Address; FALSE when the read failed.
BOOLEAN ReadEepromWord(PDEVICE_OBJECT DeviceObject, USHORT Address, PUSHORT Word) {
    UCHAR buffer[2] = {UCHAR(Address & 0xFF), UCHAR(Address >> 8)};
    ULONG read = 0;
    NTSTATUS status = ReadEeprom(DeviceObject, buffer, sizeof(buffer), &read);
    if (!NT_SUCCESS(status) || read != sizeof(buffer)) {
        return FALSE;
    }
    *Word = USHORT(buffer[0] | (buffer[1] << 8));
    return TRUE;
}

BOOLEAN SignatureAt(PDEVICE_OBJECT DeviceObject, USHORT Address) {
    USHORT word = 0;
    return ReadEepromWord(DeviceObject, Address, &word) && word == EepromSignature;
}

}  // namespace

NTSTATUS EepromBusy(PDEVICE_OBJECT DeviceObject, PBOOLEAN Busy) {
    *Busy = FALSE;
    LARGE_INTEGER pause;
    pause.QuadPart = EEPROM_BUSY_POLL_PAUSE;
    KeDelayExecutionThread(KernelMode, FALSE, &pause);

    UCHAR state = 0;
    ULONG moved = 0;
    NTSTATUS status = VendorRead(DeviceObject, CHIP_EEPROM_STATUS, &state, &moved);
    if (status == STATUS_NO_MEMORY || status == STATUS_INSUFFICIENT_RESOURCES) {
        return status;  // the poll never reached the chip: nothing is known about it
    }
    // A read the chip failed counts as idle: the step that follows reports the trouble.
    if (NT_SUCCESS(status) && moved == 1 && (state & EEPROM_STATUS_BUSY) != 0) {
        *Busy = TRUE;
    }
    return STATUS_SUCCESS;
}

NTSTATUS WriteEeprom(PDEVICE_OBJECT DeviceObject, PUCHAR Buffer, ULONG Length) {
    if (Buffer == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Length <= 1) {
        return STATUS_SUCCESS;
    }
    // Addresses are 8 bits on the wire: a longer run would write some addresses twice.
    if (Length - 1 > EEPROM_WRITE_MAX_DATA) {
        return STATUS_INVALID_PARAMETER;
    }
    const UCHAR start = Buffer[0];
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG k = 1; k < Length; ++k) {
        status = WaitForEepromIdle(DeviceObject);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        UCHAR address = UCHAR(start + (k - 1));  // wraps past 0xFF to 0x00
        status = VendorWrite(DeviceObject, CHIP_EEPROM_WRITE, USHORT((Buffer[k] << 8) | address));
        // A byte the chip did not take is reported, not hidden behind later successes.
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return status;
}

NTSTATUS ReadEeprom(PDEVICE_OBJECT DeviceObject, PUCHAR Buffer, ULONG Count, PULONG Transferred) {
    *Transferred = 0;
    if (Buffer == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Count == 0) {
        return STATUS_SUCCESS;
    }
    const ULONG start = Buffer[0] | (Buffer[1] << 8);
    // Addresses are 16 bits on the wire: a run past 0xFFFF would read from the wrong place.
    if (Count - 1 > 0xFFFF - start) {
        return STATUS_INVALID_PARAMETER;
    }
    for (ULONG k = 0; k < Count; ++k) {
        NTSTATUS status = WaitForEepromIdle(DeviceObject);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        // Without the address the data step would read whatever address the chip last had.
        status = VendorWrite(DeviceObject, CHIP_EEPROM_ADDRESS, USHORT(start + k));
        if (!NT_SUCCESS(status)) {
            return status;
        }
        status = WaitForEepromIdle(DeviceObject);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        UCHAR value = 0;
        ULONG moved = 0;
        status = VendorRead(DeviceObject, CHIP_EEPROM_READ, &value, &moved);
        if (NT_SUCCESS(status) && moved != 1) {
            status = STATUS_DEVICE_DATA_ERROR;  // "success" without the byte
        }
        // One failed byte fails the whole read: no byte is reported that did not arrive.
        if (!NT_SUCCESS(status)) {
            return status;
        }
        Buffer[k] = value;
    }
    *Transferred = Count;
    return STATUS_SUCCESS;
}

BOOLEAN EepromSignaturePresent(PSERIAL_PORT_EXTENSION Port) {
    PDEVICE_OBJECT device = Port->DeviceObject;
    if (SignatureAt(device, 0x00)) {
        return TRUE;
    }
    if (Port->ChipType == 3) {
        constexpr USHORT kAddresses[] = {0x20, 0x40, 0x60, 0x80, 0xA0};
        for (USHORT address : kAddresses) {
            if (SignatureAt(device, address)) {
                return TRUE;
            }
        }
    } else if (Port->ChipType == 4) {
        return SignatureAt(device, 0x60);
    }
    return FALSE;
}
