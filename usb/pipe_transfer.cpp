// Asynchronous pipe transfers: start, completion, stop and arming (see pipe_transfer.h).
#include "usb/pipe_transfer.h"

#include "datapath/entry_points.h"
#include "usb/pipes.h"

namespace {

constexpr USHORT TRANSFER_URB_SIZE = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);

// How StopPipe waits for the cancelled transfers to end: 10 ms pauses, at most 3 seconds.
constexpr LONGLONG STOP_PIPE_WAIT_PAUSE = -100000;
constexpr ULONG STOP_PIPE_WAIT_LIMIT = 300;

BOOLEAN IsInputPipe(ULONG PipeIndex) {
    return PipeIndex == PIPE_INTERRUPT_IN || PipeIndex == PIPE_BULK_IN ? TRUE : FALSE;
}

ULONG TransferFlagsOf(ULONG PipeIndex) {
    switch (PipeIndex) {
        case PIPE_INTERRUPT_IN:
            return USBD_TRANSFER_DIRECTION_IN;
        case PIPE_BULK_IN:
            return USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
        default:
            return USBD_TRANSFER_DIRECTION_OUT;
    }
}

// Frees what a record holds. The request is freed only once no one can use it any more.
VOID FreeTransfer(PPIPE_TRANSFER Transfer) {
    if (Transfer->Irp != NULL) {
        IoFreeIrp(Transfer->Irp);
    }
    if (Transfer->Buffer != NULL) {
        ExFreePoolWithTag(Transfer->Buffer, QUELLA_POOL_TAG);
    }
    ExFreePoolWithTag(Transfer, QUELLA_POOL_TAG);
}

// Drops one reference; the last one frees the request, the buffer and the record.
VOID ReleaseTransfer(PPIPE_TRANSFER Transfer) {
    if (InterlockedDecrement(&Transfer->References) == 0) {
        FreeTransfer(Transfer);
    }
}

// Why the pipe takes no new transfer now (an input pipe with one in flight, or stopped), or
// STATUS_SUCCESS. PipeLock held.
NTSTATUS RefusalLocked(PSERIAL_PORT_EXTENSION Port, ULONG PipeIndex) {
    if (!IsInputPipe(PipeIndex)) {
        return STATUS_SUCCESS;
    }
    if (Port->PipeStopped[PipeIndex]) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    return Port->PipeRequest[PipeIndex] != NULL ? STATUS_DEVICE_BUSY : STATUS_SUCCESS;
}

// The request of the newest transfer of a pipe still in flight (on the list and not completing),
// or NULL. PipeLock held.
PIRP NewestRequestLocked(PSERIAL_PORT_EXTENSION Port, ULONG PipeIndex) {
    for (PLIST_ENTRY entry = Port->PipeTransfers.Blink; entry != &Port->PipeTransfers;
         entry = entry->Blink) {
        PPIPE_TRANSFER transfer = CONTAINING_RECORD(entry, PIPE_TRANSFER, Link);
        if (transfer->Pipe == PipeIndex && !transfer->Completing) {
            return transfer->Irp;
        }
    }
    return NULL;
}

// Allocates a record with its buffer and request and fills them; NULL with *Status set when an
// allocation fails (nothing stays allocated).
PPIPE_TRANSFER BuildTransfer(PDEVICE_OBJECT DeviceObject, ULONG PipeIndex, USBD_PIPE_HANDLE Pipe,
                             const UCHAR* Source, ULONG Length, ULONG Cargo, NTSTATUS* Status) {
    PSERIAL_PORT_EXTENSION Port = PortOf(DeviceObject);
    PPIPE_TRANSFER transfer = static_cast<PPIPE_TRANSFER>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(PIPE_TRANSFER), QUELLA_POOL_TAG));
    if (transfer == NULL) {
        *Status = STATUS_NO_MEMORY;
        return NULL;
    }
    RtlZeroMemory(transfer, sizeof(PIPE_TRANSFER));
    transfer->Buffer = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPool, Length != 0 ? Length : 1, QUELLA_POOL_TAG));
    if (transfer->Buffer == NULL) {
        FreeTransfer(transfer);
        *Status = STATUS_NO_MEMORY;
        return NULL;
    }
    if (PipeIndex == PIPE_BULK_OUT && Length != 0) {
        RtlCopyMemory(transfer->Buffer, Source, Length);
    } else {
        transfer->Buffer[0] = 0;
    }
    transfer->Irp = IoAllocateIrp(Port->LowerDeviceObject->StackSize, FALSE);
    if (transfer->Irp == NULL) {
        FreeTransfer(transfer);
        *Status = STATUS_INSUFFICIENT_RESOURCES;
        return NULL;
    }
    transfer->DeviceObject = DeviceObject;
    transfer->Pipe = PipeIndex;
    transfer->Cargo = IsInputPipe(PipeIndex) ? CARGO_INPUT : Cargo;
    transfer->Length = Length;
    PURB urb = reinterpret_cast<PURB>(&transfer->Urb);
    UsbBuildInterruptOrBulkTransferRequest(urb, TRANSFER_URB_SIZE, Pipe, transfer->Buffer, NULL,
                                           Length, TransferFlagsOf(PipeIndex), NULL);

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(transfer->Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(transfer->Irp, PipeTransferComplete, transfer, TRUE, TRUE, TRUE);
    return transfer;
}

// Marks every transfer of a pipe for cancelling and cancels, one at a time outside the lock,
// those already submitted (a transfer not yet submitted is cancelled by its starter; one already
// marked, by whoever marked it). TRUE while a transfer of the pipe is still on the list.
// PASSIVE_LEVEL.
BOOLEAN CancelPipeTransfers(PSERIAL_PORT_EXTENSION Port, ULONG PipeIndex) {
    for (;;) {
        PPIPE_TRANSFER found = NULL;
        BOOLEAN left = FALSE;
        KIRQL irql;
        KeAcquireSpinLock(&Port->PipeLock, &irql);
        for (PLIST_ENTRY entry = Port->PipeTransfers.Flink; entry != &Port->PipeTransfers;
             entry = entry->Flink) {
            PPIPE_TRANSFER transfer = CONTAINING_RECORD(entry, PIPE_TRANSFER, Link);
            if (transfer->Pipe != PipeIndex) {
                continue;
            }
            left = TRUE;
            if (transfer->Stopping || transfer->Completing) {
                continue;
            }
            transfer->Stopping = TRUE;
            if (transfer->Submitted) {
                InterlockedIncrement(&transfer->References);
                found = transfer;
                break;
            }
        }
        KeReleaseSpinLock(&Port->PipeLock, irql);
        if (found == NULL) {
            return left;
        }
        IoCancelIrp(found->Irp);
        ReleaseTransfer(found);
    }
}

// The line-state word from bytes 8 and 9 of a status packet, low byte first.
USHORT LineStateOf(const UCHAR* Packet) {
    return static_cast<USHORT>(Packet[8] | (Packet[9] << 8));
}

// Hands a completed transfer's outcome to the data path and re-arms the input pipes.
VOID RouteCompletion(PSERIAL_PORT_EXTENSION Port, PPIPE_TRANSFER Transfer, NTSTATUS Status,
                     ULONG Moved) {
    switch (Transfer->Pipe) {
        case PIPE_INTERRUPT_IN:
            if (!NT_SUCCESS(Status) || Moved == 0) {
                return;  // failed, cancelled or empty: status polling stops here
            }
            if (Moved < INTERRUPT_PACKET_LENGTH) {
                // A short packet: bytes 8 and 9 were not written, so the line state stays as it
                // was. Polling goes on.
                StartPipeTransfer(Port->DeviceObject, PIPE_INTERRUPT_IN, NULL,
                                  INTERRUPT_PACKET_LENGTH, CARGO_INPUT);
                return;
            }
            Port->LineStateWord = LineStateOf(Transfer->Buffer);
            if (Port->OpenCount != 0) {
                ModemStatusUpdate(Port);
            }
            StartPipeTransfer(Port->DeviceObject, PIPE_INTERRUPT_IN, NULL, INTERRUPT_PACKET_LENGTH,
                              CARGO_INPUT);
            if (Port->WriteHeld) {
                SendWriteStart(Port);
            }
            return;

        case PIPE_BULK_OUT:
            if (!NT_SUCCESS(Status) || Port->OpenCount == 0) {
                if (InterlockedCompareExchange(&Port->ActiveRequestCount, 0, 0) == 0) {
                    KeSetEvent(&Port->RequestsIdleEvent, IO_NO_INCREMENT, FALSE);
                }
                return;
            }
            if (Transfer->Cargo == CARGO_CHARACTER) {
                CharacterSent(Port);
            } else {
                WriteChunkDone(Port, Moved);
            }
            return;

        case PIPE_BULK_IN:
            if (NT_SUCCESS(Status) && Port->OpenCount != 0) {
                ReceiveChunk(Port, Transfer->Buffer, Moved);
            }
            return;

        default:
            return;
    }
}

}  // namespace

NTSTATUS StartPipeTransfer(PDEVICE_OBJECT DeviceObject, ULONG PipeIndex, const UCHAR* Source,
                           ULONG Length, ULONG Cargo) {
    PSERIAL_PORT_EXTENSION Port = PortOf(DeviceObject);
    if (PipeIndex >= PIPE_COUNT || (PipeIndex == PIPE_BULK_OUT && Length != 0 && Source == NULL)) {
        return STATUS_INVALID_PARAMETER;
    }
    USBD_PIPE_HANDLE pipe = PipeHandleOf(Port, PipeIndex);
    if (pipe == NULL) {
        return STATUS_INVALID_DEVICE_STATE;
    }

    // A busy or stopped input pipe is refused before anything is allocated, and again, for
    // good, when the transfer is put on the list.
    KIRQL irql;
    KeAcquireSpinLock(&Port->PipeLock, &irql);
    NTSTATUS status = RefusalLocked(Port, PipeIndex);
    KeReleaseSpinLock(&Port->PipeLock, irql);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    PPIPE_TRANSFER transfer =
        BuildTransfer(DeviceObject, PipeIndex, pipe, Source, Length, Cargo, &status);
    if (transfer == NULL) {
        return status;
    }
    transfer->References = 2;  // the transfer, and this starter until IoCallDriver is back

    KeAcquireSpinLock(&Port->PipeLock, &irql);
    status = RefusalLocked(Port, PipeIndex);
    if (NT_SUCCESS(status)) {
        InsertTailList(&Port->PipeTransfers, &transfer->Link);
        Port->PipeRequest[PipeIndex] = transfer->Irp;
    }
    KeReleaseSpinLock(&Port->PipeLock, irql);
    if (!NT_SUCCESS(status)) {
        FreeTransfer(transfer);
        return status;
    }
    if (PipeIndex == PIPE_BULK_OUT) {
        InterlockedIncrement(&Port->PendingWriteTransfers);
    }

    status = IoCallDriver(Port->LowerDeviceObject, transfer->Irp);

    // A StopPipe that came while the request was on its way down left its cancel to us.
    KeAcquireSpinLock(&Port->PipeLock, &irql);
    transfer->Submitted = TRUE;
    BOOLEAN stopping = transfer->Stopping;
    KeReleaseSpinLock(&Port->PipeLock, irql);
    if (stopping) {
        IoCancelIrp(transfer->Irp);
    }
    ReleaseTransfer(transfer);
    return status;
}

NTSTATUS SendCharacter(PDEVICE_OBJECT DeviceObject, UCHAR Character) {
    return StartPipeTransfer(DeviceObject, PIPE_BULK_OUT, &Character, 1, CARGO_CHARACTER);
}

NTSTATUS NTAPI PipeTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    PPIPE_TRANSFER transfer = static_cast<PPIPE_TRANSFER>(Context);
    PSERIAL_PORT_EXTENSION Port = PortOf(transfer->DeviceObject);
    NTSTATUS status = Irp->IoStatus.Status;
    ULONG moved = transfer->Urb.TransferBufferLength;
    if (moved > transfer->Length) {
        moved = transfer->Length;  // never more than the buffer holds
    }
    Irp->IoStatus.Information = moved;

    // The pipe's slot is freed now, so that the re-arm below may start the next transfer; the
    // record leaves the list only once this routine is done with the port, so that a StopPipe
    // that waits for the list to empty also waits for this routine.
    KIRQL irql;
    KeAcquireSpinLock(&Port->PipeLock, &irql);
    transfer->Completing = TRUE;
    if (Port->PipeRequest[transfer->Pipe] == Irp) {
        Port->PipeRequest[transfer->Pipe] = NewestRequestLocked(Port, transfer->Pipe);
    }
    KeReleaseSpinLock(&Port->PipeLock, irql);

    if (transfer->Pipe == PIPE_BULK_OUT) {
        InterlockedDecrement(&Port->PendingWriteTransfers);
    }
    // While the port is being removed (or is gone) the data goes nowhere and nothing restarts.
    if ((Port->AcceptFlags & (ACCEPT_REMOVING | ACCEPT_SURPRISE_REMOVED)) == 0) {
        RouteCompletion(Port, transfer, status, moved);
    }
    KeAcquireSpinLock(&Port->PipeLock, &irql);
    RemoveEntryList(&transfer->Link);
    KeReleaseSpinLock(&Port->PipeLock, irql);
    ReleaseTransfer(transfer);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID StopPipe(PSERIAL_PORT_EXTENSION Port, ULONG PipeIndex) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL || PipeIndex >= PIPE_COUNT) {
        return;
    }
    KIRQL irql;
    KeAcquireSpinLock(&Port->PipeLock, &irql);
    if (IsInputPipe(PipeIndex)) {
        Port->PipeStopped[PipeIndex] = TRUE;
    }
    KeReleaseSpinLock(&Port->PipeLock, irql);

    // A lower driver may end a cancelled request only later (a host controller first takes the
    // transfer off its schedule). The callers go on to free what the completions use (the
    // interface copies, the port itself), so wait, pausing between looks, until none of the
    // pipe's transfers is left, cancelling any that started meanwhile. Bounded, so that a lower
    // driver that never ends a cancelled request cannot hang a removal.
    for (ULONG waits = 0;; ++waits) {
        if (!CancelPipeTransfers(Port, PipeIndex) || waits == STOP_PIPE_WAIT_LIMIT) {
            return;
        }
        LARGE_INTEGER pause;
        pause.QuadPart = STOP_PIPE_WAIT_PAUSE;
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
}

VOID StopAllPipes(PSERIAL_PORT_EXTENSION Port) {
    StopPipe(Port, PIPE_INTERRUPT_IN);
    StopPipe(Port, PIPE_BULK_OUT);
    StopPipe(Port, PIPE_BULK_IN);
}

VOID AllowInputPipes(PSERIAL_PORT_EXTENSION Port) {
    KIRQL irql;
    KeAcquireSpinLock(&Port->PipeLock, &irql);
    Port->PipeStopped[PIPE_INTERRUPT_IN] = FALSE;
    Port->PipeStopped[PIPE_BULK_IN] = FALSE;
    KeReleaseSpinLock(&Port->PipeLock, irql);
}

VOID ArmInputPipes(PDEVICE_OBJECT DeviceObject) {
    PSERIAL_PORT_EXTENSION Port = PortOf(DeviceObject);
    AllowInputPipes(Port);
    // A pipe that is still polling refuses the second read (STATUS_DEVICE_BUSY).
    StartPipeTransfer(DeviceObject, PIPE_INTERRUPT_IN, NULL, INTERRUPT_PACKET_LENGTH, CARGO_INPUT);
    StartPipeTransfer(DeviceObject, PIPE_BULK_IN, NULL, BULK_IN_READ_LENGTH, CARGO_INPUT);
}

BOOLEAN PipeTransferInFlight(PSERIAL_PORT_EXTENSION Port, ULONG PipeIndex) {
    if (PipeIndex >= PIPE_COUNT) {
        return FALSE;
    }
    KIRQL irql;
    KeAcquireSpinLock(&Port->PipeLock, &irql);
    BOOLEAN busy = Port->PipeRequest[PipeIndex] != NULL ? TRUE : FALSE;
    KeReleaseSpinLock(&Port->PipeLock, irql);
    return busy;
}
