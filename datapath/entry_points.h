// Where the pipe completions (usb/pipe_transfer.cpp) hand over to the data path: received bytes
// to the receive logic, finished bulk-out transfers to the transmit logic, line-state packets to
// the modem-status logic, and the retry of a write that flow control held.
//
// Stand-ins: the receive, transmit and modem-status logic is not built yet. Until it is, each
// routine here does only what keeps the pipes themselves working (re-arming the bulk-in read,
// chaining the chunks of a write, noting the line state seen); the comment of each says what
// is still to come. They all run at DISPATCH_LEVEL or below, in the completing thread.
#pragma once

#include "driver/port.h"

// The modem-status byte, laid out as a 16550 UART's modem status register: delta bits in the
// low nibble, line levels in the high one.
constexpr UCHAR SERIAL_MSR_DCTS = 0x01;
constexpr UCHAR SERIAL_MSR_DDSR = 0x02;
constexpr UCHAR SERIAL_MSR_TERI = 0x04;
constexpr UCHAR SERIAL_MSR_DDCD = 0x08;
constexpr UCHAR SERIAL_MSR_CTS = 0x10;
constexpr UCHAR SERIAL_MSR_DSR = 0x20;
constexpr UCHAR SERIAL_MSR_RI = 0x40;
constexpr UCHAR SERIAL_MSR_DCD = 0x80;

// Bytes of one successful bulk-in transfer while the port is open (Count may be 0). Starts the
// next bulk-in read unless reception is held (RxHoldReasons has RXHOLD_XOFF or RXHOLD_RTS).
// Still to come: storing the bytes, flow-control characters, events.
VOID ReceiveChunk(PSERIAL_PORT_EXTENSION Port, PUCHAR Bytes, ULONG Count);

// A successful bulk-out transfer of the current write (a chunk or the zero-length kick) has
// moved Count bytes while the port is open: accounts them to WriteNextByte/WriteBytesLeft and
// starts the next chunk while bytes are left. Still to come: the write timeout, finishing the
// write (WriteDoneDpc), statistics and SERIAL_EV_TXEMPTY.
VOID WriteChunkDone(PSERIAL_PORT_EXTENSION Port, ULONG Count);

// A one-byte XON, XOFF or immediate-character transfer has been sent while the port is open.
// It never counts against the current write. Still to come: SERIAL_EV_TXEMPTY when no write is
// being sent.
VOID CharacterSent(PSERIAL_PORT_EXTENSION Port);

// The modem-status update after a new LineStateWord; returns the modem-status levels byte
// (SERIAL_MSR_DCD/DSR/RI/CTS). Remembers the word as PrevLineStateWord. Still to come: deltas,
// transmit holds, escape insertion, DSR sensitivity, events and the line-status update.
UCHAR ModemStatusUpdate(PSERIAL_PORT_EXTENSION Port);

// Retries the start of the current write after flow control held it: while a CTS or XOFF hold
// remains (TXHOLD_CTS, TXHOLD_XOFF, XoffReceived) it stays held; otherwise WriteHeld is cleared
// and the first chunk leaves from WriteNextByte. Still to come: taking the bytes from the
// current request, REF_TRANSFER and transmit-toggle RTS.
VOID SendWriteStart(PSERIAL_PORT_EXTENSION Port);

// The size of the next chunk of the current write: the smallest of WriteBytesLeft,
// RxBufferSize and WriteChunkLimit (a limit of 0 does not limit).
ULONG NextWriteChunk(PSERIAL_PORT_EXTENSION Port);
