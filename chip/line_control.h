// Line settings: the port's LineControl byte, its mapping to and from the platform's
// SERIAL_LINE_CONTROL record, and SendLineControl, which puts it into the chip's line coding.
#pragma once

#include "driver/port.h"

// LineControl bits.
constexpr UCHAR LINE_CONTROL_LENGTH_MASK = 0x03;  // word length - 5
constexpr UCHAR LINE_CONTROL_EXTRA_STOP = 0x04;   // 2 stop bits, or 1.5 with 5 data bits
constexpr UCHAR LINE_CONTROL_PARITY_MASK = 0x38;
constexpr UCHAR LINE_CONTROL_PARITY_NONE = 0x00;
constexpr UCHAR LINE_CONTROL_PARITY_ODD = 0x08;
constexpr UCHAR LINE_CONTROL_PARITY_EVEN = 0x18;
constexpr UCHAR LINE_CONTROL_PARITY_MARK = 0x28;
constexpr UCHAR LINE_CONTROL_PARITY_SPACE = 0x38;
constexpr UCHAR LINE_CONTROL_KEPT = 0x40;  // never set here; carried over by every update

// The line coding fields (bCharFormat, bParityType, bDataBits) LineControl stands for; the
// rate is left alone.
VOID LineCodingFromLineControl(UCHAR LineControl, LINE_CODING* Coding);

// SERIAL_LINE_CONTROL as IOCTL_SERIAL_GET_LINE_CONTROL reports LineControl.
VOID SerialLineControlFromLineControl(UCHAR LineControl, PSERIAL_LINE_CONTROL Record);

// TRUE when Record equals the last accepted one (IOCTL_SERIAL_SET_LINE_CONTROL then succeeds
// without doing anything, not even powering the device up). Before any record was accepted
// nothing matches.
BOOLEAN SameAsLastLineControl(PSERIAL_PORT_EXTENSION Port, const SERIAL_LINE_CONTROL* Record);

// Validates Record and, when every field is acceptable, applies it: LineControl (keeping its
// 0x40 bit), ValidDataMask, WmiCommData's BitsPerByte/Parity/StopBits, LastLineControl, then
// SendLineControl (its result is not the request's). STATUS_INVALID_PARAMETER for a word
// length outside 5..8, an unknown parity or stop-bit value, 1.5 stop bits with 6 to 8 data
// bits or 2 stop bits with 5: then nothing changes and nothing is sent. PASSIVE_LEVEL.
NTSTATUS ApplySerialLineControl(PSERIAL_PORT_EXTENSION Port, const SERIAL_LINE_CONTROL* Record);

// Puts LineControl into the port's LineCoding and sends the whole record with
// SET_LINE_CODING. Above PASSIVE_LEVEL: STATUS_SUCCESS, nothing sent or changed. No request
// block: STATUS_INSUFFICIENT_RESOURCES (LineCoding already holds the new fields). PASSIVE_LEVEL
// callers, no lock.
NTSTATUS SendLineControl(PSERIAL_PORT_EXTENSION Port);
