// Control transfers that are sent without waiting for them, and the one chip request that needs
// that: switching the chip's own XON/XOFF handling from a caller that may run above
// PASSIVE_LEVEL.
#pragma once

#include "driver/port.h"

// Sends Urb (a control URB in NonPagedPool with QUELLA_POOL_TAG) to LowerDeviceObject without
// waiting. The URB belongs to this routine from the call on: ControlAsyncComplete frees it with
// its request, and when nothing can be submitted it is freed here. Counts the transfer in
// PendingControlTransfers until it completes. Returns IoCallDriver's status (as a rule
// STATUS_PENDING), STATUS_INSUFFICIENT_RESOURCES when IoAllocateIrp fails or STATUS_NO_MEMORY
// when the context cannot be allocated. IRQL <= DISPATCH_LEVEL; no lock.
NTSTATUS SubmitControlAsync(PDEVICE_OBJECT DeviceObject, PURB Urb);

// Completion routine of SubmitControlAsync: frees the request, the URB and the context and
// looks at no result. Returns STATUS_MORE_PROCESSING_REQUIRED. IRQL <= DISPATCH_LEVEL.
IO_COMPLETION_ROUTINE ControlAsyncComplete;

// Switches the chip's automatic XON/XOFF on (bits 0xC0 of register 0 set) or off. ChipType 0
// and 1 have no such switch: STATUS_SUCCESS, nothing sent.
// At PASSIVE_LEVEL: reads register 0 into ChipRegShadow[0], then writes the changed byte back
// and waits for it; returns the write's status.
// Above PASSIVE_LEVEL the read cannot wait, so the change starts from the shadow's present
// content; the write goes out with SubmitControlAsync and STATUS_SUCCESS is returned once it is
// on its way (or that routine's failure status).
// STATUS_NO_MEMORY when no URB can be allocated (the shadow is then unchanged).
NTSTATUS SetChipAutoXonXoff(PSERIAL_PORT_EXTENSION Port, BOOLEAN On);
