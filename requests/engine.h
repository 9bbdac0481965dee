// The request engine: admission and counting of requests, the per-kind queues with their
// current-request slots, cancellation of waiting and running requests, and completion of a
// running request once every party that refers to it has let go.
//
// One model serves every path that has to wait (read, write and flush, wait-on-mask, purge,
// queue size, XOFF counter, immediate character): a queue of waiting requests, a slot for the
// request being served, and a start routine that serves whatever is in the slot. The cancel
// spin lock guards every queue, every slot, every RequestRefs word (requests/refs.h) and
// QueuedWriteChars. Requests are always completed after that lock has been released.
//
// The dispatch-routine contract, followed by every dispatch routine but the WMI one:
//   - BeginRequest answers STATUS_SUCCESS: go on.
//   - STATUS_PENDING: the request has been held (a stop is pending). Call EndRequest and return
//     STATUS_PENDING without touching the request again.
//   - Any other status (already in the request): complete it with IO_NO_INCREMENT, call
//     EndRequest, return the status.
//   - Data requests then call FailIfLineError and return STATUS_CANCELLED at once if it does.
//   - Every completion of an admitted request is followed by exactly one EndRequest.
// AdmitRequest does all of this in one call.
#pragma once

#include "driver/port.h"
#include "requests/refs.h"

// Serves the request in a queue's current slot; returns the first request's status, or
// STATUS_PENDING when it stays current. Called without locks.
typedef NTSTATUS (*PORT_START_ROUTINE)(PSERIAL_PORT_EXTENSION Port);
// Makes the next request current (the signature of AdvanceQueue). Called without locks.
typedef VOID (*PORT_ADVANCE_ROUTINE)(PIRP* CurrentSlot, PLIST_ENTRY Queue, PIRP* NewRequest,
                                     BOOLEAN CompleteCurrent, PSERIAL_PORT_EXTENSION Port);
// Withdraws the current request from the side that transfers its data, dropping REF_TRANSFER
// when it did. Called with the cancel lock held.
typedef VOID (*PORT_SYNC_STEP)(PSERIAL_PORT_EXTENSION Port);

// ---------------------------------------------------------------------------------------------
// Admission and counting
// ---------------------------------------------------------------------------------------------
// Counts the request in ActiveRequestCount and decides on it from AcceptFlags and
// DeviceStateFlags: STATUS_SUCCESS (admitted), STATUS_PENDING (held until the port restarts),
// STATUS_DELETE_PENDING (removing, surprise-removed or failed; written into the request) or
// STATUS_CANCELLED (held while already cancelled; written into the request). Plug and Play
// requests are always admitted. Takes AcceptLock, then the cancel lock (never together).
// IRQL <= DISPATCH_LEVEL.
NTSTATUS BeginRequest(PIRP Irp, PSERIAL_PORT_EXTENSION Port);

// Ends one admitted request's count; the count reaching 0 signals RequestsIdleEvent. Any IRQL
// up to DISPATCH_LEVEL.
VOID EndRequest(PSERIAL_PORT_EXTENSION Port);

// With SERIAL_ERROR_ABORT on and a line error recorded, completes the request with
// STATUS_CANCELLED (and EndRequest) unless it is the IOCTL_SERIAL_GET_COMMSTATUS that reads
// the errors, and answers STATUS_CANCELLED; otherwise STATUS_SUCCESS. No lock held on entry.
NTSTATUS FailIfLineError(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// BeginRequest and the dispatch-routine contract above; FailIfLineError as well for a data
// request. STATUS_SUCCESS: the dispatch routine goes on with an admitted request. Any other
// status: the request has been held, refused or cancelled and its count ended; the dispatch
// routine returns that status and leaves the request alone. PASSIVE_LEVEL.
NTSTATUS AdmitRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN DataRequest);

// Sets (Set TRUE) or clears the bits in *Word, one of AcceptFlags or DeviceStateFlags, under
// AcceptLock. IRQL <= DISPATCH_LEVEL.
VOID ChangeFlagsLocked(PSERIAL_PORT_EXTENSION Port, PULONG Word, ULONG Bits, BOOLEAN Set);

// ---------------------------------------------------------------------------------------------
// Queues and current requests
// ---------------------------------------------------------------------------------------------
// Counts the request's characters in QueuedWriteChars (a write's length, 1 for an immediate
// character or XOFF counter), then: makes it current and runs Start when both the queue and
// the slot are empty; completes it with STATUS_CANCELLED when it is already cancelled; else
// queues it pending with CancelWhileQueued. Returns Start's status, STATUS_CANCELLED or
// STATUS_PENDING. No lock held on entry; IRQL <= DISPATCH_LEVEL.
NTSTATUS QueueOrStart(PSERIAL_PORT_EXTENSION Port, PIRP Irp, PLIST_ENTRY Queue, PIRP* CurrentSlot,
                      PORT_START_ROUTINE Start);

// Cancel routine of a queued request: entered with the cancel lock held, releases it.
DRIVER_CANCEL CancelWhileQueued;

// Cancel lock held on entry (acquired at OldIrql), released inside. Moves the oldest queued
// request (none for an empty or absent Queue) into the slot and reports it in *NewRequest;
// with CompleteCurrent, completes the request that left the slot with the status already
// written into it, then EndRequest.
VOID AdvanceQueueLocked(PIRP* CurrentSlot, PLIST_ENTRY Queue, PIRP* NewRequest,
                        BOOLEAN CompleteCurrent, PSERIAL_PORT_EXTENSION Port, KIRQL OldIrql);
// The same, taking the cancel lock itself.
VOID AdvanceQueue(PIRP* CurrentSlot, PLIST_ENTRY Queue, PIRP* NewRequest, BOOLEAN CompleteCurrent,
                  PSERIAL_PORT_EXTENSION Port);

// One holder of the current request lets go. Cancel lock held on entry (acquired at OldIrql),
// released inside. Drops RefToDrop, runs SyncStep, strips the cancel routine and the timers it
// can stop (StripReferences); if nothing refers to the request any more, writes Status into it
// (information 0 for STATUS_CANCELLED) and either hands it to Advance, starting the next
// request with Start, or empties the slot and completes it. An empty slot does nothing.
VOID TryFinishCurrent(PSERIAL_PORT_EXTENSION Port, PORT_SYNC_STEP SyncStep, KIRQL OldIrql,
                      NTSTATUS Status, PIRP* CurrentSlot, PLIST_ENTRY Queue, PKTIMER IntervalTimer,
                      PKTIMER TotalTimer, PORT_START_ROUTINE Start, PORT_ADVANCE_ROUTINE Advance,
                      ULONG RefToDrop);

// Cancel lock held. Takes back the references of the current request that can be taken back
// now: its cancel routine (REF_CANCEL) and each given timer that has not expired yet
// (REF_INTERVAL_TIMER, REF_TOTAL_TIMER). A timer whose DPC is already queued keeps its bit; that
// DPC finishes the request.
VOID StripReferences(PIRP* CurrentSlot, PKTIMER IntervalTimer, PKTIMER TotalTimer,
                     PSERIAL_PORT_EXTENSION Port);

// Cancels every queued request, newest first, then the current one (its cancel routine runs,
// or, without one, its Cancel flag tells its owner). Takes the cancel lock; no lock held on
// entry; IRQL <= DISPATCH_LEVEL.
VOID CancelQueueAndCurrent(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue, PIRP* CurrentSlot);

// ---------------------------------------------------------------------------------------------
// Passing requests down
// ---------------------------------------------------------------------------------------------
// Sends the request (stack location already prepared) to LowerDevice and ends its count.
NTSTATUS ForwardAndEndRequest(PSERIAL_PORT_EXTENSION Port, PDEVICE_OBJECT LowerDevice, PIRP Irp);
// The same for a power request (PoCallDriver).
NTSTATUS ForwardPowerAndEndRequest(PSERIAL_PORT_EXTENSION Port, PDEVICE_OBJECT LowerDevice,
                                   PIRP Irp);
