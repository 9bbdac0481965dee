// Synchronous USB requests: sending one URB down the stack and waiting for it.
#pragma once

#include "driver/port.h"

// How long SubmitUrbSync waits for the lower driver before it cancels the request.
constexpr LONGLONG SYNC_URB_TIMEOUT = -30000000;  // relative, 3 s in 100 ns units

// Sends Urb to the port's LowerDeviceObject (IOCTL_INTERNAL_USB_SUBMIT_URB) and waits for it.
// Returns the request's status; STATUS_IO_TIMEOUT when the lower driver did not complete it
// within 3 seconds (it is then cancelled, and this returns only once it has completed, so the
// caller may free the URB at once); STATUS_INSUFFICIENT_RESOURCES when no request could be
// built. The URB's own status and lengths are the caller's to read. PASSIVE_LEVEL; keeps all
// its state on the caller's stack and takes no lock, so any number of threads may call it.
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb);

// Sends the standard SET_FEATURE (Enable nonzero) or CLEAR_FEATURE request for
// DEVICE_REMOTE_WAKEUP to the device. STATUS_NO_MEMORY when no URB could be allocated.
// PASSIVE_LEVEL.
NTSTATUS SetRemoteWakeupFeature(PDEVICE_OBJECT DeviceObject, BOOLEAN Enable);
