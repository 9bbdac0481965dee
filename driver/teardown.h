// Taking a port out of service: cancelling what is pending, releasing the per-start timers and
// DPCs, deregistering and removing the external names, and at removal giving the device object
// up. All of it runs at PASSIVE_LEVEL on the Plug and Play thread (cleanup also cancels).
#pragma once

#include "driver/port.h"

// Cancels every queued and current request of the write, read, purge and mask queues (in that
// order), the pending wait-on-mask and every held request. No lock held; PASSIVE_LEVEL.
VOID CancelPendingRequests(PDEVICE_OBJECT DeviceObject);

// Stops the six timers and takes the thirteen DPCs out of the DPC queue, giving back the
// DeferredWorkCount reference of each one that was still armed or queued. A DPC already running
// finishes by itself. Any IRQL up to DISPATCH_LEVEL.
VOID ReleasePortObjects(PSERIAL_PORT_EXTENSION Port);

// For a started port: ReleasePortObjects (unless it is stopped, when the stop did it already).
// WMI deregistration if the port is registered (also after a failed restart, which leaves the
// port not started). In every case: the external names are removed. PASSIVE_LEVEL.
VOID TeardownPort(PDEVICE_OBJECT DeviceObject);

// Ends the port: TeardownPort unless surprise removal did it, detach from the device below,
// free the names and the interface copies, delete the device object. STATUS_SUCCESS.
// PASSIVE_LEVEL; the extension is gone on return.
NTSTATUS RemovePort(PDEVICE_OBJECT DeviceObject);

// Gives up Drop references of ActiveRequestCount (the calling Plug and Play request's own and
// the port's base reference) and waits until every request still inside the driver has ended
// (the count reaches 0). A signal left over from an earlier idle moment does not end the wait
// early: the count itself is checked after every wake. PASSIVE_LEVEL.
VOID WaitForRequestsToEnd(PSERIAL_PORT_EXTENSION Port, LONG Drop);

// Waits until no asynchronous control transfer of the port is in flight (their completion
// routine uses the port), pausing 10 ms between looks and giving up after 3 s so a lower driver
// that never answers cannot hang removal. PASSIVE_LEVEL.
VOID WaitForControlTransfers(PSERIAL_PORT_EXTENSION Port);
