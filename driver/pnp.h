// The Plug and Play dispatch (DispatchPnp, declared with the other dispatch routines in
// driver/routines.h) and the helper it uses to let the lower drivers finish a request first.
#pragma once

#include "driver/port.h"

// Copies the current stack location to the next one, sends the request to LowerDeviceObject
// with a completion routine that signals Event and keeps the request with this driver, waits for
// the event when the lower driver pended it, and returns the request's own status. The caller
// completes the request afterwards. PASSIVE_LEVEL.
NTSTATUS ForwardAndWait(PSERIAL_PORT_EXTENSION Port, PIRP Irp, PKEVENT Event);

// The hardware ID appended for the device: a multiport board's, or a single port's.
#define MULTIPORT_HARDWARE_ID L"*PNP0502"
#define SINGLE_PORT_HARDWARE_ID L"*PNP0501"

// Returns a new multi-string list (PagedPool, the driver's tag) holding List's entries (none for
// a NULL or empty List) followed by Id, or NULL when no memory is left. List is not freed.
// Any IRQL up to APC_LEVEL.
PWCHAR AppendHardwareId(const WCHAR* List, PCWSTR Id);
