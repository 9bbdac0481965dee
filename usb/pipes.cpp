// The pipe-layout lookup. Any IRQL up to DISPATCH_LEVEL; no lock (see pipes.h).
#include "usb/pipes.h"

namespace {

// Pipe Pipe of an interface copy, or NULL when the copy lacks it.
PUSBD_PIPE_INFORMATION PipeOfInterface(PUSBD_INTERFACE_INFORMATION Interface, ULONG Pipe) {
    if (Interface == NULL || Pipe >= Interface->NumberOfPipes) {
        return NULL;
    }
    return &Interface->Pipes[Pipe];
}

BOOLEAN PipeIs(PUSBD_PIPE_INFORMATION Pipe, USBD_PIPE_TYPE Type, BOOLEAN In) {
    if (Pipe == NULL || Pipe->PipeHandle == NULL || Pipe->PipeType != Type) {
        return FALSE;
    }
    BOOLEAN pipeIn = (Pipe->EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0 ? TRUE : FALSE;
    return pipeIn == In ? TRUE : FALSE;
}

}  // namespace

PUSBD_PIPE_INFORMATION PipeInformationOf(PSERIAL_PORT_EXTENSION Port, ULONG PipeIndex) {
    if (PipeIndex >= PIPE_COUNT) {
        return NULL;
    }
    if (Port->SingleInterface) {
        return PipeOfInterface(Port->InterfaceInfo0, PipeIndex);  // layout A
    }
    if (PipeIndex == PIPE_INTERRUPT_IN) {
        return PipeOfInterface(Port->InterfaceInfo0, 0);  // layout B
    }
    return PipeOfInterface(Port->InterfaceInfo1, PipeIndex - PIPE_BULK_OUT);
}

USBD_PIPE_HANDLE PipeHandleOf(PSERIAL_PORT_EXTENSION Port, ULONG PipeIndex) {
    PUSBD_PIPE_INFORMATION pipe = PipeInformationOf(Port, PipeIndex);
    return pipe != NULL ? pipe->PipeHandle : NULL;
}

BOOLEAN PipeLayoutComplete(PSERIAL_PORT_EXTENSION Port) {
    return PipeIs(PipeInformationOf(Port, PIPE_INTERRUPT_IN), UsbdPipeTypeInterrupt, TRUE) &&
           PipeIs(PipeInformationOf(Port, PIPE_BULK_OUT), UsbdPipeTypeBulk, FALSE) &&
           PipeIs(PipeInformationOf(Port, PIPE_BULK_IN), UsbdPipeTypeBulk, TRUE);
}
