// The pipe layout: how a pipe index (PIPE_INTERRUPT_IN, PIPE_BULK_OUT, PIPE_BULK_IN) becomes a
// pipe of the selected configuration.
//
//   layout A (SingleInterface): pipes 0, 1, 2 of InterfaceInfo0;
//   layout B (two interfaces):  pipe 0 of InterfaceInfo0, pipes 0 and 1 of InterfaceInfo1.
//
// The lookups read InterfaceInfo0/1, which only the start sequence writes while no transfer
// runs, so they take no lock and may be called at any IRQL up to DISPATCH_LEVEL.
#pragma once

#include "driver/port.h"

// The pipe information behind a pipe index, or NULL when the configuration holds no such pipe
// (no interface copy, too few pipes, or an index past PIPE_BULK_IN).
PUSBD_PIPE_INFORMATION PipeInformationOf(PSERIAL_PORT_EXTENSION Port, ULONG PipeIndex);

// Its handle, or NULL.
USBD_PIPE_HANDLE PipeHandleOf(PSERIAL_PORT_EXTENSION Port, ULONG PipeIndex);

// TRUE when all three pipes exist, each with a handle and of its kind: an interrupt pipe from
// the device, a bulk pipe to the device, a bulk pipe from the device.
BOOLEAN PipeLayoutComplete(PSERIAL_PORT_EXTENSION Port);
