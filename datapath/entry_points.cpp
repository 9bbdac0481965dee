// Stand-ins for the data path's entry points from the pipe completions (see entry_points.h).
// DISPATCH_LEVEL or below; no lock taken here.
#include "datapath/entry_points.h"

#include "usb/pipe_transfer.h"

namespace {

// Line-state word bits of the modem lines (byte 8 of the status packet).
constexpr USHORT LINE_STATE_DCD = 0x01;
constexpr USHORT LINE_STATE_DSR = 0x02;
constexpr USHORT LINE_STATE_RING = 0x08;
constexpr USHORT LINE_STATE_CTS = 0x80;

ULONG Smaller(ULONG a, ULONG limit) {
    return limit != 0 && limit < a ? limit : a;
}

}  // namespace

ULONG NextWriteChunk(PSERIAL_PORT_EXTENSION Port) {
    ULONG left = Port->WriteBytesLeft > 0 ? static_cast<ULONG>(Port->WriteBytesLeft) : 0;
    return Smaller(Smaller(left, Port->RxBufferSize), Port->WriteChunkLimit);
}

VOID ReceiveChunk(PSERIAL_PORT_EXTENSION Port, PUCHAR Bytes, ULONG Count) {
    // A chunk of 0 bytes re-arms like any other: the chip may send empty packets.
    if ((Port->RxHoldReasons & (RXHOLD_XOFF | RXHOLD_RTS)) != 0) {
        return;  // the flow-control logic re-arms when the hold ends
    }
    StartPipeTransfer(Port->DeviceObject, PIPE_BULK_IN, NULL, BULK_IN_READ_LENGTH, CARGO_INPUT);
}

VOID WriteChunkDone(PSERIAL_PORT_EXTENSION Port, ULONG Count) {
    Port->WriteInFlight = 0;
    if (Count == 0) {
        return;  // nothing moved (the zero-length kick): nothing to account, nothing to chain
    }
    Port->WriteNextByte += Count;
    Port->WriteBytesLeft -= static_cast<LONG>(Count);
    if (Port->WriteBytesLeft <= 0) {
        Port->WriteBytesLeft = 0;
        return;
    }
    ULONG chunk = NextWriteChunk(Port);
    Port->WriteInFlight = chunk;
    StartPipeTransfer(Port->DeviceObject, PIPE_BULK_OUT, Port->WriteNextByte, chunk, CARGO_WRITE);
}

VOID CharacterSent(PSERIAL_PORT_EXTENSION Port) {}

UCHAR ModemStatusUpdate(PSERIAL_PORT_EXTENSION Port) {
    USHORT current = Port->LineStateWord;
    Port->PrevLineStateWord = current;
    UCHAR levels = 0;
    if ((current & LINE_STATE_DCD) != 0) {
        levels |= SERIAL_MSR_DCD;
    }
    if ((current & LINE_STATE_DSR) != 0) {
        levels |= SERIAL_MSR_DSR;
    }
    if ((current & LINE_STATE_RING) != 0) {
        levels |= SERIAL_MSR_RI;
    }
    if ((current & LINE_STATE_CTS) != 0) {
        levels |= SERIAL_MSR_CTS;
    }
    return levels;
}

VOID SendWriteStart(PSERIAL_PORT_EXTENSION Port) {
    if ((Port->TxHoldReasons & (TXHOLD_CTS | TXHOLD_XOFF)) != 0 || Port->XoffReceived) {
        Port->WriteHeld = TRUE;
        return;
    }
    Port->WriteHeld = FALSE;
    ULONG chunk = NextWriteChunk(Port);
    if (chunk == 0) {
        return;
    }
    Port->WriteInFlight = chunk;
    StartPipeTransfer(Port->DeviceObject, PIPE_BULK_OUT, Port->WriteNextByte, chunk, CARGO_WRITE);
}
