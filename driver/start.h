// Bringing a port into service: the start sequence run inside IRP_MN_START_DEVICE after the
// lower drivers have started the USB device, and the chip initialization sequence shared by the
// start and every open.
#pragma once

#include "driver/port.h"

// Starts the port (first start or restart after a stop): power to D0 if needed, the per-start
// objects and defaults (InitPortObjects), ResetPort, RTS and DTR down, on the first start the
// external names, the serial-port count and WMI registration, the WMI blocks. Ends with
// PnpState started, AcceptFlags clear and STATE_STARTED set. The requests held while a stop was
// pending are not replayed here but by the start handler, after the chip is identified. The
// resource lists are not used (a USB port has no resources of its own). Fails only when the device
// cannot be powered up; a failed restart cancels every pending and held request and leaves the port
// removing and not started. PASSIVE_LEVEL, Plug and Play thread.
NTSTATUS StartPort(PDEVICE_OBJECT DeviceObject, PCM_RESOURCE_LIST Resources,
                   PCM_RESOURCE_LIST TranslatedResources);

// The highest rate in a SERIAL_BAUD_* mask (0 for none of the standard bits). 56K is tested
// before 57600, as the mask's bit order has it.
ULONG MaxBaudFromMask(ULONG Mask);

// Fills WmiCommData, WmiHwData and WmiPerfData from the port's present settings (the defaults
// just loaded at start). PASSIVE_LEVEL, Plug and Play thread.
VOID FillWmiBlocks(PSERIAL_PORT_EXTENSION Port);
