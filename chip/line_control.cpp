// LineControl <-> SERIAL_LINE_CONTROL and SendLineControl.
#include "chip/line_control.h"

#include "chip/requests.h"

namespace {

// Line coding values.
constexpr UCHAR CHAR_FORMAT_1_STOP = 0;
constexpr UCHAR CHAR_FORMAT_1_5_STOP = 1;
constexpr UCHAR CHAR_FORMAT_2_STOP = 2;

// WmiCommData.Parity and StopBits values (that block numbers space 3 and mark 4).
constexpr ULONG WMI_PARITY_NONE = 0;
constexpr ULONG WMI_PARITY_ODD = 1;
constexpr ULONG WMI_PARITY_EVEN = 2;
constexpr ULONG WMI_PARITY_SPACE = 3;
constexpr ULONG WMI_PARITY_MARK = 4;
constexpr ULONG WMI_STOP_1 = 0;
constexpr ULONG WMI_STOP_1_5 = 1;
constexpr ULONG WMI_STOP_2 = 2;

UCHAR WordLength(UCHAR LineControl) {
    return UCHAR((LineControl & LINE_CONTROL_LENGTH_MASK) + 5);
}

// The line coding's (and SERIAL_LINE_CONTROL's) parity number of LineControl's parity bits:
// 0 none, 1 odd, 2 even, 3 mark, 4 space.
UCHAR ParityNumber(UCHAR LineControl) {
    switch (LineControl & LINE_CONTROL_PARITY_MASK) {
        case LINE_CONTROL_PARITY_ODD:
            return 1;
        case LINE_CONTROL_PARITY_EVEN:
            return 2;
        case LINE_CONTROL_PARITY_MARK:
            return 3;
        case LINE_CONTROL_PARITY_SPACE:
            return 4;
        default:
            return 0;
    }
}

}  // namespace

VOID LineCodingFromLineControl(UCHAR LineControl, LINE_CODING* Coding) {
    UCHAR bits = WordLength(LineControl);
    Coding->bDataBits = bits;
    if ((LineControl & LINE_CONTROL_EXTRA_STOP) == 0) {
        Coding->bCharFormat = CHAR_FORMAT_1_STOP;
    } else {
        Coding->bCharFormat = bits == 5 ? CHAR_FORMAT_1_5_STOP : CHAR_FORMAT_2_STOP;
    }
    Coding->bParityType = ParityNumber(LineControl);
}

VOID SerialLineControlFromLineControl(UCHAR LineControl, PSERIAL_LINE_CONTROL Record) {
    Record->WordLength = WordLength(LineControl);
    Record->Parity = ParityNumber(LineControl);  // NO_PARITY .. SPACE_PARITY number the same way
    if ((LineControl & LINE_CONTROL_EXTRA_STOP) == 0) {
        Record->StopBits = STOP_BIT_1;
    } else {
        Record->StopBits = Record->WordLength == 5 ? STOP_BITS_1_5 : STOP_BITS_2;
    }
}

BOOLEAN SameAsLastLineControl(PSERIAL_PORT_EXTENSION Port, const SERIAL_LINE_CONTROL* Record) {
    const SERIAL_LINE_CONTROL& last = Port->LastLineControl;
    // All zero until a record is accepted; that is no valid record (word length 0), so an
    // all-zero request must be validated, and refused, rather than match it.
    if (last.WordLength == 0) {
        return FALSE;
    }
    return (last.StopBits == Record->StopBits && last.Parity == Record->Parity &&
            last.WordLength == Record->WordLength)
               ? TRUE
               : FALSE;
}

// The whole record is validated before anything is stored, so a rejected record leaves every
// setting, WMI's copy included, as it was.
NTSTATUS ApplySerialLineControl(PSERIAL_PORT_EXTENSION Port, const SERIAL_LINE_CONTROL* Record) {
    // Parity bits and WMI parity number, indexed by NO_PARITY .. SPACE_PARITY.
    static constexpr UCHAR kParityBits[] = {LINE_CONTROL_PARITY_NONE, LINE_CONTROL_PARITY_ODD,
                                            LINE_CONTROL_PARITY_EVEN, LINE_CONTROL_PARITY_MARK,
                                            LINE_CONTROL_PARITY_SPACE};
    static constexpr ULONG kWmiParity[] = {WMI_PARITY_NONE, WMI_PARITY_ODD, WMI_PARITY_EVEN,
                                           WMI_PARITY_MARK, WMI_PARITY_SPACE};

    const UCHAR bits = Record->WordLength;
    if (bits < 5 || bits > 8) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Record->Parity > SPACE_PARITY) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR stopBit;
    ULONG wmiStop;
    switch (Record->StopBits) {
        case STOP_BIT_1:
            stopBit = 0;
            wmiStop = WMI_STOP_1;
            break;
        case STOP_BITS_1_5:  // only with 5 data bits
            if (bits != 5) {
                return STATUS_INVALID_PARAMETER;
            }
            stopBit = LINE_CONTROL_EXTRA_STOP;
            wmiStop = WMI_STOP_1_5;
            break;
        case STOP_BITS_2:  // only with 6 to 8 data bits
            if (bits == 5) {
                return STATUS_INVALID_PARAMETER;
            }
            stopBit = LINE_CONTROL_EXTRA_STOP;
            wmiStop = WMI_STOP_2;
            break;
        default:
            return STATUS_INVALID_PARAMETER;
    }
    const UCHAR lengthCode = UCHAR(bits - 5);
    const UCHAR parityBits = kParityBits[Record->Parity];

    Port->WmiCommData.BitsPerByte = Record->WordLength;
    Port->WmiCommData.Parity = kWmiParity[Record->Parity];
    Port->WmiCommData.StopBits = wmiStop;
    Port->LineControl =
        UCHAR(stopBit | (Port->LineControl & LINE_CONTROL_KEPT) | parityBits | lengthCode);
    Port->ValidDataMask = UCHAR(0xFF >> (8 - bits));
    Port->LastLineControl = *Record;
    SendLineControl(Port);
    return STATUS_SUCCESS;
}

NTSTATUS SendLineControl(PSERIAL_PORT_EXTENSION Port) {
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        return STATUS_SUCCESS;  // a synchronous request must not wait here
    }
    LineCodingFromLineControl(Port->LineControl, &Port->LineCoding);
    LINE_CODING coding = Port->LineCoding;
    NTSTATUS status = SendLineCoding(Port->DeviceObject, &coding);
    return status == STATUS_NO_MEMORY ? STATUS_INSUFFICIENT_RESOURCES : status;
}
