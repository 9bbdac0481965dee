// The default register values a chip with a blank EEPROM is programmed with. PASSIVE_LEVEL;
// called by the start, open and power-up sequences after EepromSignaturePresent said FALSE.
#include "chip/requests.h"

namespace {

constexpr UCHAR DEFAULT_REG0 = 0x01;
constexpr UCHAR DEFAULT_REG1 = 0x00;
constexpr UCHAR DEFAULT_REG2_OLDER = 0x24;  // generations 0 and 1, and a chip not identified
constexpr UCHAR DEFAULT_REG2_NEWER = 0x44;  // generation 2 on

// Generation 4 keeps the upper half of its register 1 as the chip reports it.
constexpr UCHAR REG1_KEPT_BITS_GEN4 = 0xF0;

}  // namespace

NTSTATUS WriteDefaultRegisters(PSERIAL_PORT_EXTENSION Port) {
    PDEVICE_OBJECT device = Port->DeviceObject;
    Port->ChipRegShadow[0] = DEFAULT_REG0;
    Port->ChipRegShadow[1] = DEFAULT_REG1;
    Port->ChipRegShadow[2] = Port->ChipType >= 2 ? DEFAULT_REG2_NEWER : DEFAULT_REG2_OLDER;

    if (Port->ChipType == 4) {
        // wValue 0x81. A failed read leaves the default in the shadow.
        ReadRegister(device, 1);
        Port->ChipRegShadow[1] &= REG1_KEPT_BITS_GEN4;
    }

    // Every register gets its default even when an earlier one was refused; the first refusal
    // is what the caller hears.
    NTSTATUS result = STATUS_SUCCESS;
    for (ULONG reg = 0; reg <= 2; ++reg) {
        NTSTATUS status = WriteRegister(device, reg);
        if (status == STATUS_NO_MEMORY || status == STATUS_INSUFFICIENT_RESOURCES) {
            return STATUS_INSUFFICIENT_RESOURCES;  // not sent; the writes before it stay done
        }
        if (!NT_SUCCESS(status) && NT_SUCCESS(result)) {
            result = status;
        }
    }
    return result;
}
