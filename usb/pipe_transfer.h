// Asynchronous transfers on the three data pipes: the interrupt-in pipe that delivers the
// 10-byte line-state packet, the bulk-in pipe that delivers received bytes and the bulk-out pipe
// that carries transmitted bytes. Each transfer is one URB in one IRP of our own, sent to
// LowerDeviceObject without waiting; PipeTransferComplete hands what it moved to the data path
// (datapath/entry_points.h) and keeps the input pipes polling, one transfer at a time.
//
// Tracking. Every transfer in flight is a PIPE_TRANSFER record on the port's PipeTransfers
// list, under PipeLock, until its completion routine has finished with the port. A record holds one
// reference for the transfer itself, one for its starter while IoCallDriver runs, and one for each
// StopPipe that is cancelling it; whoever drops the last reference frees the request, the buffer
// and the record, so every request is freed exactly once and never while IoCancelIrp or
// IoCallDriver still uses it. This holds for the bulk-out pipe too, which may carry several
// transfers at once (a write chunk beside one-byte XON/XOFF/immediate transfers or the zero-length
// write-timeout kick).
//
// PipeLock is a leaf: it is held only for list and slot updates, never across IoCallDriver,
// IoCancelIrp, pool calls or the data path, so callers may hold any other port lock.
#pragma once

#include "driver/port.h"

// What a transfer carries; decides where its completion goes.
constexpr ULONG CARGO_INPUT = 0;      // an interrupt-in or bulk-in read
constexpr ULONG CARGO_WRITE = 1;      // a chunk of the current write, or its zero-length kick
constexpr ULONG CARGO_CHARACTER = 2;  // one XON, XOFF or immediate character

// Lengths of the input reads.
constexpr ULONG INTERRUPT_PACKET_LENGTH = 10;  // the line-state packet; bytes 8-9 the word
constexpr ULONG BULK_IN_READ_LENGTH = 384;

// One transfer in flight (NonPagedPool, QUELLA_POOL_TAG), from StartPipeTransfer until the last
// reference is dropped.
struct PIPE_TRANSFER {
    struct _URB_BULK_OR_INTERRUPT_TRANSFER Urb;
    PDEVICE_OBJECT DeviceObject;  // the port's; the completion finds the port through it
    PUCHAR Buffer;                // separate NonPagedPool block of max(Length, 1) bytes
    PIRP Irp;                     // from IoAllocateIrp; freed with the record
    LIST_ENTRY Link;              // PipeLock; on Port->PipeTransfers while in flight
    ULONG Pipe;                   // PIPE_*
    ULONG Cargo;                  // CARGO_*
    ULONG Length;                 // bytes asked for (input) or sent (bulk-out)
    LONG References;              // interlocked; see the tracking note above
    BOOLEAN Submitted;            // PipeLock; IoCallDriver has returned for it
    BOOLEAN Stopping;             // PipeLock; a StopPipe wants it cancelled
    BOOLEAN Completing;           // PipeLock; PipeTransferComplete runs for it (still listed)
};
typedef PIPE_TRANSFER* PPIPE_TRANSFER;

// Starts one transfer on a pipe. Bulk-out: Length bytes are copied from Source into the
// transfer's own buffer first, so the caller's memory is free again on return; Length 0 sends
// a zero-length packet (Source may then be NULL). Input pipes: Source is NULL and the read asks
// for Length bytes. Cargo tags a bulk-out transfer (CARGO_WRITE or CARGO_CHARACTER); input
// transfers are CARGO_INPUT whatever is passed.
// Returns IoCallDriver's status (as a rule STATUS_PENDING; a failure reported there has reached
// PipeTransferComplete, which cleaned up), or, with nothing submitted and nothing left
// allocated:
//   STATUS_NO_MEMORY               the record or the buffer could not be allocated;
//   STATUS_INSUFFICIENT_RESOURCES  IoAllocateIrp failed;
//   STATUS_DEVICE_BUSY             an input pipe that already has its transfer in flight;
//   STATUS_INVALID_DEVICE_STATE    an input pipe stopped by StopPipe, or no such pipe in the
//                                  selected configuration;
//   STATUS_INVALID_PARAMETER       a pipe index past PIPE_BULK_IN, or bulk-out bytes without
//                                  a source.
// IRQL <= DISPATCH_LEVEL; takes PipeLock briefly.
NTSTATUS StartPipeTransfer(PDEVICE_OBJECT DeviceObject, ULONG PipeIndex, const UCHAR* Source,
                           ULONG Length, ULONG Cargo);

// One byte on the bulk-out pipe, tagged CARGO_CHARACTER: an XON, an XOFF or the immediate
// character. Its completion never counts against the current write.
NTSTATUS SendCharacter(PDEVICE_OBJECT DeviceObject, UCHAR Character);

// The completion routine of every pipe transfer: routes the data (unless removal is in
// progress), re-arms the input pipes, drops the transfer's reference. Always returns
// STATUS_MORE_PROCESSING_REQUIRED. IRQL <= DISPATCH_LEVEL, any thread.
IO_COMPLETION_ROUTINE PipeTransferComplete;

// Cancels what is in flight on a pipe: the input pipe's transfer (and the pipe stays stopped,
// refusing new transfers, until ArmInputPipes), or every bulk-out transfer (new bulk-out
// transfers may start at once). A transfer still on its way down (its starter inside
// IoCallDriver) is cancelled by its starter as soon as IoCallDriver returns, so a request is
// never cancelled while the lower driver is still taking it in. The cancelled transfers
// complete through PipeTransferComplete with a failure status; StopPipe returns once they have
// (lower drivers may end a cancelled request later), so the caller may then free what the
// completions use. It gives up waiting after about 3 seconds. Only at PASSIVE_LEVEL: at a raised
// IRQL it does nothing (the transfer runs to its end). Pipe indexes past PIPE_BULK_IN do
// nothing.
VOID StopPipe(PSERIAL_PORT_EXTENSION Port, ULONG PipeIndex);
// StopPipe on pipes 0, 1 and 2, in this order.
VOID StopAllPipes(PSERIAL_PORT_EXTENSION Port);

// Lets the input pipes take transfers again after StopPipe, starting none. IRQL <=
// DISPATCH_LEVEL.
VOID AllowInputPipes(PSERIAL_PORT_EXTENSION Port);

// Lets the input pipes run again after StopPipe and starts the interrupt-in read (10 bytes) and
// the bulk-in read (384 bytes) unless the pipe already has one in flight. Failures leave that
// pipe idle until the next arming. IRQL <= DISPATCH_LEVEL.
VOID ArmInputPipes(PDEVICE_OBJECT DeviceObject);

// TRUE while a transfer of the pipe is in flight. IRQL <= DISPATCH_LEVEL.
BOOLEAN PipeTransferInFlight(PSERIAL_PORT_EXTENSION Port, ULONG PipeIndex);
