// Chip identification and USB configuration: which generation of the bridge chip this is
// (ChipType), which configuration layout it has (SingleInterface) and which pipes the selected
// configuration gave us (InterfaceInfo0/1). All at PASSIVE_LEVEL on the Plug and Play thread,
// during a start, while nothing else uses the pipes.
#pragma once

#include "driver/port.h"

// Reads the device descriptor and decides ChipType from it (bDeviceClass 0x02: 0; else
// bMaxPacketSize0 64: 2; else class 0x00 or 0xFF: 1; else -1), refines 2 into 3 or 4 from the
// string descriptors, then configures the device. Returns the configuration's status, or the
// device-descriptor read's when that failed (STATUS_DEVICE_DATA_ERROR when it delivered too
// few bytes to decide on; the configuration is then skipped). Sets DeviceIdentified at the
// end. STATUS_NO_MEMORY, or a string read that could not be sent for want of memory: ChipType
// stays -1 and DeviceIdentified is not set. A string read the device refuses only leaves the
// generation at 2. PASSIVE_LEVEL.
NTSTATUS IdentifyChip(PDEVICE_OBJECT DeviceObject);

// Reads the configuration descriptor (its first 9 bytes, then wTotalLength bytes), checks that
// every descriptor in it lies inside what arrived, and selects it with one interface (layout A)
// or two (layout B). The result is STATUS_SUCCESS with all three pipes recorded; a failed
// read's status; STATUS_DEVICE_DATA_ERROR for a descriptor that is short, inconsistent or
// malformed, or a configuration that lacks the interfaces or pipes of its layout; STATUS_NO_MEMORY
// or STATUS_INSUFFICIENT_RESOURCES when memory ran out. After a failure the port holds no
// interface copy, so no pipe can be used. Transfers still in flight on the old configuration's
// pipes are stopped (StopAllPipes) before its interface copies go; nothing is restarted, and
// the new configuration's pipes take transfers at once.
NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject);

// Select the configuration with its first interface (layout A) or with interfaces 0 and 1 of
// the match-table row of ChipType (layout B), and keep copies of their interface information.
NTSTATUS SelectSingleInterface(PDEVICE_OBJECT DeviceObject,
                               PUSB_CONFIGURATION_DESCRIPTOR Configuration);
NTSTATUS SelectTwoInterfaces(PDEVICE_OBJECT DeviceObject,
                             PUSB_CONFIGURATION_DESCRIPTOR Configuration);

// Frees the interface copies (at a new configuration and when the port goes away).
VOID FreeInterfaceCopies(PSERIAL_PORT_EXTENSION Port);
