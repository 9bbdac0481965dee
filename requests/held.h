// Requests held while a stop is pending. Between a successful query-stop and the stop (or its
// cancellation) BeginRequest puts every new request other than a Plug and Play one into
// HeldRequestQueue, pending and cancellable; a restart of the port dispatches them again in
// arrival order, removal cancels them. A held request holds no ActiveRequestCount: its dispatch
// routine ended the count when BeginRequest answered STATUS_PENDING.
#pragma once

#include "driver/port.h"

// Holds an admitted-for-later request (BeginRequest's step while ACCEPT_STOPPING is set):
// STATUS_PENDING once it is in HeldRequestQueue, or STATUS_CANCELLED (written into the
// request, which stays with the caller) if it was cancelled already. Takes the cancel lock.
NTSTATUS HoldRequest(PIRP Irp, PSERIAL_PORT_EXTENSION Port);

// Cancel routine of a held request: completes it with STATUS_CANCELLED. Entered with the
// cancel lock held, releases it.
DRIVER_CANCEL CancelWhileHeld;

// Cancels every held request, newest first. No lock held on entry; IRQL <= DISPATCH_LEVEL.
VOID CancelAllHeld(PDEVICE_OBJECT DeviceObject);

// Dispatches every held request again, oldest first, through this driver's dispatch routine
// for its major function. PASSIVE_LEVEL (the dispatch routines may wait), no lock held.
VOID ReleaseHeldRequests(PSERIAL_PORT_EXTENSION Port);
