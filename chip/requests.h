// The chip's request set: the class requests to interface 0, the vendor requests to the device
// (register file, chip codes, EEPROM), the standard descriptor reads and the synchronous data
// pipe transfers. Each operation allocates one request block, sends it with SubmitUrbSync,
// waits for it and frees it; nothing is cached between calls.
//
// Unless a routine says otherwise it returns the request's status, STATUS_NO_MEMORY when the
// request block cannot be allocated, and STATUS_NOT_SUPPORTED (nothing sent) when the chip's
// generation lacks the request. Every routine here waits for the device, so it must be called
// at PASSIVE_LEVEL; only the four DTR/RTS routines test the level themselves. None takes a
// lock: the callers' dispatch routines serialize what needs serializing.
#pragma once

#include "driver/port.h"

// The chip's class requests (USB communication-device class, to interface 0).
constexpr UCHAR CDC_SET_COMM_FEATURE = 0x02;
constexpr UCHAR CDC_SET_LINE_CODING = 0x20;
constexpr UCHAR CDC_SET_CONTROL_LINE_STATE = 0x22;
constexpr UCHAR CDC_SEND_BREAK = 0x23;
constexpr USHORT CDC_ABSTRACT_STATE = 0x0001;

// Every vendor request of the chip uses this bRequest.
constexpr UCHAR CHIP_VENDOR_REQUEST = 0x01;

// ControlLineState bits.
constexpr USHORT CONTROL_LINE_DTR = 0x0001;
constexpr USHORT CONTROL_LINE_RTS = 0x0002;

// Vendor request wValues.
constexpr USHORT CHIP_READ_REGISTER_BASE = 0x0080;  // + register number
constexpr USHORT CHIP_XON_XOFF_CHARS = 0x0505;
constexpr USHORT CHIP_FLAG_08 = 0x0808;
constexpr USHORT CHIP_FLAG_09 = 0x0909;
constexpr USHORT CHIP_CODE_0B = 0x0B0B;
constexpr USHORT CHIP_EEPROM_WRITE = 0x0303;
constexpr USHORT CHIP_EEPROM_ADDRESS = 0x0404;
constexpr USHORT CHIP_EEPROM_READ = 0x8383;
constexpr USHORT CHIP_EEPROM_STATUS = 0x8484;

// Generations from which the chip codes exist.
constexpr LONG CHIP_TYPE_CODES = 2;       // 0x05, 0x06, 0x07, 0x08/0x09, 0x0B
constexpr LONG CHIP_TYPE_WIDE_CODES = 3;  // 0x0C to 0x0F

// ---------------------------------------------------------------------------------------------
// The one control transfer every operation is built on
// ---------------------------------------------------------------------------------------------
// Sends one vendor (URB_FUNCTION_VENDOR_DEVICE) or class (URB_FUNCTION_CLASS_INTERFACE) request
// on the default pipe: bRequest Request, wValue Value, wIndex Index, with Length bytes of Data
// going to the device, or coming from it when ToHost is set. *Transferred (optional) receives
// the bytes the device moved, never more than Length. STATUS_NO_MEMORY when no request block.
NTSTATUS SendControlRequest(PDEVICE_OBJECT DeviceObject, USHORT UrbFunction, UCHAR Request,
                            USHORT Value, USHORT Index, PVOID Data, ULONG Length, BOOLEAN ToHost,
                            PULONG Transferred);

// ---------------------------------------------------------------------------------------------
// Class requests
// ---------------------------------------------------------------------------------------------
// SET_LINE_CODING with the 7-byte record.
NTSTATUS SendLineCoding(PDEVICE_OBJECT DeviceObject, const LINE_CODING* Coding);

// Raise or lower DTR or RTS: ControlLineState gets the bit changed and the whole word goes out
// with SET_CONTROL_LINE_STATE. TRUE when the device accepted it. Above PASSIVE_LEVEL, or without
// a request block, they return FALSE at once and change nothing. A request the device refuses
// leaves ControlLineState at its new value (it records what was asked for).
BOOLEAN SetDtr(PDEVICE_OBJECT DeviceObject);
BOOLEAN ClearDtr(PDEVICE_OBJECT DeviceObject);
BOOLEAN SetRts(PDEVICE_OBJECT DeviceObject);
BOOLEAN ClearRts(PDEVICE_OBJECT DeviceObject);

// SET_CONTROL_LINE_STATE with the caller's word; ControlLineState is not touched.
NTSTATUS SetControlLines(PDEVICE_OBJECT DeviceObject, USHORT Value);

// SEND_BREAK: wValue 0xFFFF (on) or 0. STATUS_INSUFFICIENT_RESOURCES when no request block.
NTSTATUS SendBreak(PDEVICE_OBJECT DeviceObject, BOOLEAN On);

// SET_COMM_FEATURE (ABSTRACT_STATE) with the 16-bit word, low byte first.
NTSTATUS SetAbstractState(PDEVICE_OBJECT DeviceObject, USHORT State);

// ---------------------------------------------------------------------------------------------
// Vendor requests
// ---------------------------------------------------------------------------------------------
// Reads chip register Register (0 or 1; wValue 0x80 + Register) into ChipRegShadow. The shadow
// changes only when the chip delivered the byte: a failed read leaves the old value. Returns
// the request's status (STATUS_NO_MEMORY without a request block, STATUS_INVALID_PARAMETER for
// another register number).
NTSTATUS ReadRegister(PDEVICE_OBJECT DeviceObject, ULONG Register);

// Writes ChipRegShadow element Register (0 to 2) to chip register Register: wValue Register,
// wIndex the shadow byte.
NTSTATUS WriteRegister(PDEVICE_OBJECT DeviceObject, ULONG Register);

// A raw vendor write (wValue, wIndex, no data) and a raw one-byte vendor read into Buffer[0].
NTSTATUS VendorWrite(PDEVICE_OBJECT DeviceObject, USHORT Value, USHORT Index);
NTSTATUS VendorRead(PDEVICE_OBJECT DeviceObject, USHORT Value, PUCHAR Buffer, PULONG Transferred);

// Chip codes of generation 2 and above.
NTSTATUS SetXonXoffChars(PDEVICE_OBJECT DeviceObject, UCHAR XonChar, UCHAR XoffChar);
NTSTATUS WriteFlag0809(PDEVICE_OBJECT DeviceObject, BOOLEAN On);
NTSTATUS WriteCode0B(PDEVICE_OBJECT DeviceObject, UCHAR Value);

// WriteChipWord: Code 0x06 or 0x07 (generation 2 on) or 0x0C to 0x0F (generation 3 on), sent
// as wValue Code:Code with wIndex Value. ReadChipWord: Code 0x86, 0x87 (generation 2 on), 0x8C
// to 0x8F (generation 3 on); 2 bytes into Buffer, 1 byte for 0x8E and 0x8F. Another code:
// STATUS_INVALID_PARAMETER, nothing sent.
NTSTATUS WriteChipWord(PDEVICE_OBJECT DeviceObject, UCHAR Code, USHORT Value);
NTSTATUS ReadChipWord(PDEVICE_OBJECT DeviceObject, UCHAR Code, PUCHAR Buffer, PULONG Transferred);
// Bytes ReadChipWord moves for a code (0 for a code it does not know).
ULONG ChipWordLength(UCHAR Code);

// ---------------------------------------------------------------------------------------------
// The chip's EEPROM (chip/eeprom.cpp)
// ---------------------------------------------------------------------------------------------
// Longest run of data bytes one WriteEeprom may carry: each 8-bit address at most once.
constexpr ULONG EEPROM_WRITE_MAX_DATA = 256;
// How many busy polls (5 ms each) a write or read step waits for before it gives up.
constexpr ULONG EEPROM_BUSY_POLL_LIMIT = 200;
constexpr LONGLONG EEPROM_BUSY_POLL_PAUSE = -50000;  // relative, 5 ms in 100 ns units

// One busy poll: pauses 5 ms, then reads the status byte (wValue 0x8484). *Busy is set when the
// read succeeded with bit 0 set; a read the chip failed counts as idle. STATUS_NO_MEMORY or
// STATUS_INSUFFICIENT_RESOURCES (and *Busy FALSE) when the read could not be sent, otherwise
// STATUS_SUCCESS.
NTSTATUS EepromBusy(PDEVICE_OBJECT DeviceObject, PBOOLEAN Busy);

// Buffer[0] is the start address, Buffer[1..Length-1] the data; each byte is written (wValue
// 0x0303, wIndex data:address) once the chip is idle, addresses wrapping at 0xFF. Length 0 or 1:
// STATUS_SUCCESS, nothing sent. No buffer, or more than EEPROM_WRITE_MAX_DATA data bytes:
// STATUS_INVALID_PARAMETER, nothing sent. Stops at the first failure and returns it:
// STATUS_NO_MEMORY without a request block, STATUS_IO_TIMEOUT when the chip stays busy for
// EEPROM_BUSY_POLL_LIMIT polls, or the status of a write the device refused.
NTSTATUS WriteEeprom(PDEVICE_OBJECT DeviceObject, PUCHAR Buffer, ULONG Length);

// Reads Count bytes from the EEPROM address held in Buffer[0..1] (low byte first) into Buffer
// from its first byte on (Buffer holds at least 2 and at least Count bytes). For each address:
// wait until idle, address step (0x0404, wIndex address), wait until idle, data step (0x8383,
// one byte). *Transferred is Count on success and 0 on any failure. A run that would pass
// address 0xFFFF, or no buffer: STATUS_INVALID_PARAMETER, nothing sent. Stops at the first
// failure: STATUS_NO_MEMORY, STATUS_IO_TIMEOUT, or the failing status of an address or data
// step (STATUS_DEVICE_DATA_ERROR for a data step that delivered no byte).
NTSTATUS ReadEeprom(PDEVICE_OBJECT DeviceObject, PUCHAR Buffer, ULONG Count, PULONG Transferred);

// TRUE when the EEPROM holds EepromSignature at address 0, or (generation 3) at 0x20, 0x40,
// 0x60, 0x80 or 0xA0, or (generation 4) at 0x60. A failed read is no match.
BOOLEAN EepromSignaturePresent(PSERIAL_PORT_EXTENSION Port);

// ---------------------------------------------------------------------------------------------
// Chip-side flow control (chip/flow.cpp) and default registers (chip/defaults.cpp)
// ---------------------------------------------------------------------------------------------
// Switch the chip's own RTS (receive), CTS and DSR (transmit) flow control through registers 0
// and 1, keeping HwRtsFlowOn/HwCtsFlowOn/HwDsrFlowOn and the CTS/DSR transmit holds in step.
// RTS flow needs generation 2 (else STATUS_NOT_SUPPORTED, nothing sent); DSR flow exists on
// generations 3 and 4 only (others: STATUS_SUCCESS, nothing sent). Every chip request is sent
// and the port state is updated as computed; the result is STATUS_SUCCESS when every request
// succeeded, else the first failure. A request that cannot be sent (STATUS_NO_MEMORY,
// STATUS_INSUFFICIENT_RESOURCES) stops the sequence at once and leaves the flags and holds as
// they were.
NTSTATUS SetHardwareRtsFlow(PSERIAL_PORT_EXTENSION Port, BOOLEAN On);
NTSTATUS SetHardwareCtsFlow(PSERIAL_PORT_EXTENSION Port, BOOLEAN On);
NTSTATUS SetHardwareDsrFlow(PSERIAL_PORT_EXTENSION Port, BOOLEAN On);

// Programs registers 0, 1 and 2 with the defaults of the chip's generation (a chip whose
// EEPROM is blank starts without them). Sends all three and returns STATUS_SUCCESS or the first
// write the device refused; STATUS_INSUFFICIENT_RESOURCES (the writes already sent stay done)
// when a write could not be sent.
NTSTATUS WriteDefaultRegisters(PSERIAL_PORT_EXTENSION Port);

// ---------------------------------------------------------------------------------------------
// Standard descriptor reads (GET_DESCRIPTOR to the device)
// ---------------------------------------------------------------------------------------------
// *Transferred (optional) receives the bytes delivered, at most the buffer length.
NTSTATUS GetDeviceDescriptor(PDEVICE_OBJECT DeviceObject, PUCHAR Buffer /* 18 bytes */,
                             PULONG Transferred);
NTSTATUS GetConfigDescriptor(PDEVICE_OBJECT DeviceObject, PUCHAR Buffer, ULONG Length,
                             PULONG Transferred);
// The string index is Buffer[0] on entry; language 0x0409.
NTSTATUS GetStringDescriptor(PDEVICE_OBJECT DeviceObject, PUCHAR Buffer, ULONG Length,
                             PULONG Transferred);

// ---------------------------------------------------------------------------------------------
// Synchronous data pipe transfers (diagnostics; beside the driver's own transfers)
// ---------------------------------------------------------------------------------------------
// STATUS_INVALID_DEVICE_STATE, nothing sent, when the configuration holds no such pipe.
NTSTATUS ReadInterruptPipeSync(PDEVICE_OBJECT DeviceObject, PUCHAR Buffer, ULONG Length,
                               PULONG Transferred);
NTSTATUS WriteBulkPipeSync(PDEVICE_OBJECT DeviceObject, PUCHAR Data, ULONG Length);
NTSTATUS ReadBulkPipeSync(PDEVICE_OBJECT DeviceObject, PUCHAR Buffer, ULONG Length,
                          PULONG Transferred);
