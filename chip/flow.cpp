// Chip-side flow control: the chip's own RTS (receive), CTS and DSR (transmit) handshakes,
// switched through bits of registers 0 and 1 by read-modify-write sequences on ChipRegShadow.
// PASSIVE_LEVEL; the handshake, open/close and power paths that call these are serialized by
// their dispatch routines.
//
// Register 0 bits 0x01 and 0x02 belong to the chip and are kept by every mask here.
#include "chip/requests.h"

namespace {

// Line-state word bits of the interrupt packet that these operations look at.
constexpr USHORT LINE_STATE_CTS = 0x80;
constexpr USHORT LINE_STATE_DSR = 0x02;

// Register 1's low three bits: the chip's DSR/CTS handshake selection (generations 3 and 4).
constexpr UCHAR REG1_HANDSHAKE_MASK = 0x07;
constexpr UCHAR REG1_DSR_ONLY = 0x05;
// Register 0 value (with bits 0x01 and 0x02 kept) when CTS and DSR flow are both on.
constexpr UCHAR REG0_CTS_AND_DSR = 0x58;

BOOLEAN HasRegister1Handshake(PSERIAL_PORT_EXTENSION Port) {
    return Port->ChipType == 3 || Port->ChipType == 4;
}

// The outcome of a register sequence: the first failure, and whether it must stop (a request
// that could not be sent: nothing further is sent and the port's flags stay as they were).
struct SEQUENCE {
    NTSTATUS FirstFailure;
    BOOLEAN Stopped;
};

// Records one request's status; FALSE when the sequence must stop.
BOOLEAN Step(SEQUENCE* Sequence, NTSTATUS Status) {
    if (Status == STATUS_NO_MEMORY || Status == STATUS_INSUFFICIENT_RESOURCES) {
        Sequence->FirstFailure = Status;
        Sequence->Stopped = TRUE;
        return FALSE;
    }
    if (!NT_SUCCESS(Status) && NT_SUCCESS(Sequence->FirstFailure)) {
        Sequence->FirstFailure = Status;
    }
    return TRUE;
}

// Register 1's handshake bits set (Mask) or cleared (Mask 0) after a fresh read.
BOOLEAN UpdateRegister1(SEQUENCE* Sequence, PSERIAL_PORT_EXTENSION Port, UCHAR Mask) {
    PDEVICE_OBJECT device = Port->DeviceObject;
    if (!Step(Sequence, ReadRegister(device, 1))) {
        return FALSE;
    }
    Port->ChipRegShadow[1] = UCHAR((Port->ChipRegShadow[1] & ~REG1_HANDSHAKE_MASK) | Mask);
    return Step(Sequence, WriteRegister(device, 1));
}

}  // namespace

NTSTATUS SetHardwareRtsFlow(PSERIAL_PORT_EXTENSION Port, BOOLEAN On) {
    if (Port->ChipType < CHIP_TYPE_CODES) {
        return STATUS_NOT_SUPPORTED;
    }
    PDEVICE_OBJECT device = Port->DeviceObject;
    SEQUENCE sequence = {STATUS_SUCCESS, FALSE};
    if (!Step(&sequence, ReadRegister(device, 0))) {
        return sequence.FirstFailure;
    }
    if (On) {
        if (HasRegister1Handshake(Port) &&
            !UpdateRegister1(&sequence, Port, Port->HwDsrFlowOn ? REG1_HANDSHAKE_MASK : 0)) {
            return sequence.FirstFailure;
        }
        Port->ChipRegShadow[0] = UCHAR((Port->ChipRegShadow[0] & 0xEF) | 0x20);
    } else {
        Port->ChipRegShadow[0] &= 0xCF;
    }
    if (!Step(&sequence, WriteRegister(device, 0))) {
        return sequence.FirstFailure;
    }
    Port->HwRtsFlowOn = On ? TRUE : FALSE;
    return sequence.FirstFailure;
}

NTSTATUS SetHardwareCtsFlow(PSERIAL_PORT_EXTENSION Port, BOOLEAN On) {
    PDEVICE_OBJECT device = Port->DeviceObject;
    SEQUENCE sequence = {STATUS_SUCCESS, FALSE};
    if (!Step(&sequence, ReadRegister(device, 0))) {
        return sequence.FirstFailure;
    }
    if (On) {
        BOOLEAN both = FALSE;
        if (HasRegister1Handshake(Port)) {
            both = Port->HwDsrFlowOn;
            if (!UpdateRegister1(&sequence, Port, both ? REG1_HANDSHAKE_MASK : 0)) {
                return sequence.FirstFailure;
            }
        }
        UCHAR reg0 = UCHAR((Port->ChipRegShadow[0] & 0x3F) | 0x40);
        if (both) {
            reg0 = UCHAR((reg0 & 0x03) | REG0_CTS_AND_DSR);
        }
        Port->ChipRegShadow[0] = reg0;
    } else {
        Port->ChipRegShadow[0] &= 0x3F;
    }
    if (!Step(&sequence, WriteRegister(device, 0))) {
        return sequence.FirstFailure;
    }
    if (On) {
        // Transmission waits for CTS unless the last status packet already showed it.
        Port->TxHoldReasons |= TXHOLD_CTS;
        if ((Port->LineStateWord & LINE_STATE_CTS) != 0) {
            Port->TxHoldReasons &= ~TXHOLD_CTS;
        }
        Port->HwCtsFlowOn = TRUE;
    } else {
        Port->TxHoldReasons &= ~TXHOLD_CTS;
        Port->HwCtsFlowOn = FALSE;
    }
    return sequence.FirstFailure;
}

NTSTATUS SetHardwareDsrFlow(PSERIAL_PORT_EXTENSION Port, BOOLEAN On) {
    if (!HasRegister1Handshake(Port)) {
        return STATUS_SUCCESS;  // the older generations have no DSR handshake
    }
    PDEVICE_OBJECT device = Port->DeviceObject;
    SEQUENCE sequence = {STATUS_SUCCESS, FALSE};
    if (!UpdateRegister1(&sequence, Port, 0)) {
        return sequence.FirstFailure;
    }
    if (!Step(&sequence, ReadRegister(device, 0))) {
        return sequence.FirstFailure;
    }
    if (On) {
        BOOLEAN both = Port->HwCtsFlowOn;
        Port->ChipRegShadow[1] |= both ? REG1_HANDSHAKE_MASK : REG1_DSR_ONLY;
        if (!Step(&sequence, WriteRegister(device, 1))) {
            return sequence.FirstFailure;
        }
        UCHAR reg0 = UCHAR((Port->ChipRegShadow[0] & 0x33) | 0x48);
        if (both) {
            reg0 = UCHAR((reg0 & 0x03) | REG0_CTS_AND_DSR);
        }
        Port->ChipRegShadow[0] = reg0;
    } else {
        Port->ChipRegShadow[0] &= 0xF3;
    }
    if (!Step(&sequence, WriteRegister(device, 0))) {
        return sequence.FirstFailure;
    }
    if (On) {
        // Transmission waits for DSR unless the last status packet already showed it.
        Port->TxHoldReasons |= TXHOLD_DSR;
        if ((Port->LineStateWord & LINE_STATE_DSR) != 0) {
            Port->TxHoldReasons &= ~TXHOLD_DSR;
        }
        Port->HwDsrFlowOn = TRUE;
    } else {
        Port->TxHoldReasons &= ~TXHOLD_DSR;
        Port->HwDsrFlowOn = FALSE;
    }
    return sequence.FirstFailure;
}
