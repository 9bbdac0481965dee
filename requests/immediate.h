// Finishing the immediate-character request (IOCTL_SERIAL_IMMEDIATE_CHAR). Its device-control
// handler makes it CurrentImmediateRequest (adding 1 to QueuedWriteChars), installs
// CancelImmediate with REF_CANCEL, arms ImmediateTimer (DPC ImmediateTimeoutDpc) with
// REF_TOTAL_TIMER when a write total timeout applies, hands the character to the bulk-out pipe
// with REF_TRANSFER and queues ImmediateDoneDpc. The last of the three holders to let go
// completes the request: STATUS_SUCCESS from ImmediateDoneDpc, STATUS_TIMEOUT from
// ImmediateTimeoutDpc, STATUS_CANCELLED from CancelImmediate. ImmediateDoneDpc and
// ImmediateTimeoutDpc are the port's DPC routines (driver/routines.h).
#pragma once

#include "driver/port.h"

// Cancel routine of the current immediate-character request: entered with the cancel lock
// held, releases it.
DRIVER_CANCEL CancelImmediate;

// The advance routine of the immediate slot: empties it, takes the character back from
// QueuedWriteChars and completes the request that left it. Queue and CompleteCurrent are not
// used; *NewRequest is always none. Takes the cancel lock; no lock held on entry.
VOID FinishImmediate(PIRP* CurrentSlot, PLIST_ENTRY Queue, PIRP* NewRequest,
                     BOOLEAN CompleteCurrent, PSERIAL_PORT_EXTENSION Port);
