// The start sequence of a port and the chip initialization shared with open.
#include "driver/start.h"

#include "chip/eeprom_signature.h"
#include "chip/line_control.h"
#include "chip/requests.h"
#include "datapath/entry_points.h"
#include "driver/add_device.h"
#include "driver/naming.h"
#include "driver/routines.h"
#include "driver/teardown.h"
#include "requests/engine.h"
#include "usb/sync_request.h"

namespace {

// The value of the 0x0B chip code the chip is initialized with.
constexpr UCHAR CHIP_CODE_0B_INIT = 0x02;

// Waits for a device power request of our own.
struct POWER_WAIT {
    KEVENT Done;
    NTSTATUS Status;
};

VOID NTAPI PowerRequestDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                            POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus) {
    POWER_WAIT* wait = static_cast<POWER_WAIT*>(Context);
    wait->Status = IoStatus->Status;
    KeSetEvent(&wait->Done, IO_NO_INCREMENT, FALSE);
}

// Asks the power manager for D0 on the port's stack and waits for it. PASSIVE_LEVEL.
NTSTATUS PowerUpAndWait(PSERIAL_PORT_EXTENSION Port) {
    POWER_WAIT wait;
    KeInitializeEvent(&wait.Done, NotificationEvent, FALSE);
    wait.Status = STATUS_SUCCESS;
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    NTSTATUS status = PoRequestPowerIrp(Port->PhysicalDeviceObject, IRP_MN_SET_POWER, state,
                                        PowerRequestDone, &wait, NULL);
    if (status != STATUS_PENDING) {
        return status;  // not sent: the completion function never runs
    }
    KeWaitForSingleObject(&wait.Done, Executive, KernelMode, FALSE, NULL);
    return wait.Status;
}

ULONG WmiParityOf(UCHAR LineControl) {
    switch (LineControl & LINE_CONTROL_PARITY_MASK) {
        case LINE_CONTROL_PARITY_ODD:
            return SERIAL_WMI_PARITY_ODD;
        case LINE_CONTROL_PARITY_EVEN:
            return SERIAL_WMI_PARITY_EVEN;
        case LINE_CONTROL_PARITY_MARK:
            return SERIAL_WMI_PARITY_MARK;
        case LINE_CONTROL_PARITY_SPACE:
            return SERIAL_WMI_PARITY_SPACE;
        default:
            return SERIAL_WMI_PARITY_NONE;
    }
}

}  // namespace

ULONG MaxBaudFromMask(ULONG Mask) {
    struct MASK_RATE {
        ULONG Bit;
        ULONG Rate;
    };
    static const MASK_RATE order[] = {
        {SERIAL_BAUD_128K, 131072}, {SERIAL_BAUD_115200, 115200}, {SERIAL_BAUD_56K, 57344},
        {SERIAL_BAUD_57600, 57600}, {SERIAL_BAUD_38400, 38400},   {SERIAL_BAUD_19200, 19200},
        {SERIAL_BAUD_14400, 14400}, {SERIAL_BAUD_9600, 9600},     {SERIAL_BAUD_7200, 7200},
        {SERIAL_BAUD_4800, 4800},   {SERIAL_BAUD_2400, 2400},     {SERIAL_BAUD_1800, 1800},
        {SERIAL_BAUD_1200, 1200},   {SERIAL_BAUD_600, 600},       {SERIAL_BAUD_300, 300},
        {SERIAL_BAUD_150, 150},     {SERIAL_BAUD_134_5, 135},     {SERIAL_BAUD_110, 110},
        {SERIAL_BAUD_075, 75},
    };
    for (ULONG i = 0; i < sizeof(order) / sizeof(order[0]); ++i) {
        if ((Mask & order[i].Bit) != 0) {
            return order[i].Rate;
        }
    }
    return 0;
}

// PASSIVE_LEVEL, Plug and Play thread.
VOID FillWmiBlocks(PSERIAL_PORT_EXTENSION Port) {
    PSERIAL_WMI_COMM_DATA comm = &Port->WmiCommData;
    RtlZeroMemory(comm, sizeof(*comm));
    UCHAR lineControl = Port->LineControl;
    comm->BaudRate = Port->CurrentBaudRate;
    comm->BitsPerByte = (lineControl & LINE_CONTROL_LENGTH_MASK) + 5;
    comm->Parity = WmiParityOf(lineControl);
    comm->ParityCheckEnable = (lineControl & LINE_CONTROL_PARITY_ODD) != 0;
    if ((lineControl & LINE_CONTROL_EXTRA_STOP) == 0) {
        comm->StopBits = SERIAL_WMI_STOP_1;
    } else {
        comm->StopBits = comm->BitsPerByte == 5 ? SERIAL_WMI_STOP_1_5 : SERIAL_WMI_STOP_2;
    }
    comm->XoffCharacter = Port->SpecialChars.XoffChar;
    comm->XonCharacter = Port->SpecialChars.XonChar;
    comm->XoffXmitThreshold = static_cast<ULONG>(Port->HandFlow.XoffLimit);
    comm->XonXmitThreshold = static_cast<ULONG>(Port->HandFlow.XonLimit);
    comm->MaximumBaudRate = MaxBaudFromMask(Port->SupportedBauds);
    comm->MaximumOutputBufferSize = 0xFFFFFFFF;
    comm->MaximumInputBufferSize = 0xFFFFFFFF;
    comm->Support16BitMode = FALSE;
    comm->SupportDTRDSR = TRUE;
    comm->SupportIntervalTimeouts = TRUE;
    comm->SupportParityCheck = TRUE;
    comm->SupportRTSCTS = TRUE;
    comm->SupportXonXoff = TRUE;
    comm->SettableBaudRate = TRUE;
    comm->SettableDataBits = TRUE;
    comm->SettableFlowControl = TRUE;
    comm->SettableParity = TRUE;
    comm->SettableParityCheck = TRUE;
    comm->SettableStopBits = TRUE;
    comm->IsBusy = FALSE;

    RtlZeroMemory(&Port->WmiHwData, sizeof(Port->WmiHwData));
    Port->WmiHwData.InterruptType = SERIAL_WMI_INTTYPE_LEVEL;
    RtlZeroMemory(&Port->WmiPerfData, sizeof(Port->WmiPerfData));
}

// PASSIVE_LEVEL (start or open); each step is a synchronous chip request whose status is not
// examined: a chip that does not answer leaves that setting unapplied, the sequence goes on.
VOID ResetPort(PSERIAL_PORT_EXTENSION Port) {
    PDEVICE_OBJECT device = Port->DeviceObject;
    if (Port->ChipType != -1 && !EepromSignaturePresent(Port)) {
        (void)WriteDefaultRegisters(Port);
    }
    (void)SetRemoteWakeupFeature(device, TRUE);
    (void)SendLineControl(Port);
    // The handshake (HandFlow into the chip and the control lines) joins here once the
    // flow-control logic exists.
    (void)ModemStatusUpdate(Port);
    (void)WriteCode0B(device, CHIP_CODE_0B_INIT);
    Port->TransmitterEmpty = TRUE;
}

// PASSIVE_LEVEL, Plug and Play thread.
NTSTATUS StartPort(PDEVICE_OBJECT DeviceObject, PCM_RESOURCE_LIST Resources,
                   PCM_RESOURCE_LIST TranslatedResources) {
    UNREFERENCED_PARAMETER(Resources);
    UNREFERENCED_PARAMETER(TranslatedResources);
    PSERIAL_PORT_EXTENSION Port = PortOf(DeviceObject);

    if ((Port->DeviceStateFlags & (STATE_STARTED | STATE_STOPPED)) ==
        (STATE_STARTED | STATE_STOPPED)) {
        ChangeFlagsLocked(Port, &Port->DeviceStateFlags, STATE_STOPPED, FALSE);
        Port->PnpState = PNP_STATE_RESTARTING;
    }

    NTSTATUS status = STATUS_SUCCESS;
    if (Port->DevicePowerState != PowerDeviceD0) {
        status = PowerUpAndWait(Port);
    }
    if (!NT_SUCCESS(status)) {
        if (Port->PnpState == PNP_STATE_RESTARTING) {
            CancelPendingRequests(DeviceObject);
            ChangeFlagsLocked(Port, &Port->AcceptFlags, ACCEPT_REMOVING, TRUE);
            ChangeFlagsLocked(Port, &Port->DeviceStateFlags, STATE_STARTED, FALSE);
        }
        return status;
    }

    InitPortObjects(DeviceObject);
    ResetPort(Port);
    Port->PortIsOpen = FALSE;
    ClearRts(DeviceObject);
    ClearDtr(DeviceObject);

    BOOLEAN firstStart = Port->PnpState == PNP_STATE_NEVER_STARTED;
    if (firstStart) {
        // Without external names the port is still reachable by its device name.
        (void)CreateExternalNames(Port);
    }
    FillWmiBlocks(Port);
    if (firstStart) {
        IoGetConfigurationInformation()->SerialCount++;
        Port->WmiRegistered =
            NT_SUCCESS(IoWMIRegistrationControl(DeviceObject, WMIREG_ACTION_REGISTER));
    }

    // Requests held while the stop was pending are replayed by the start handler once the chip
    // has been identified again, not here: the pipes are not selected yet.
    Port->PnpState = PNP_STATE_STARTED;
    ChangeFlagsLocked(Port, &Port->AcceptFlags, 0xFFFFFFFF, FALSE);  // every bit
    ChangeFlagsLocked(Port, &Port->DeviceStateFlags, STATE_STARTED, TRUE);
    return STATUS_SUCCESS;
}
