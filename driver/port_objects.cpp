// InitPortObjects: the port's per-start timers, DPCs and default settings.
#include "driver/add_device.h"
#include "driver/routines.h"

namespace {

// Read-interval polling (100 ns units): a relative 100 ns poll for intervals under the
// cutover, a relative one-second poll from it on.
constexpr LONGLONG INTERVAL_POLL_SHORT = -1;
constexpr LONGLONG INTERVAL_POLL_LONG = -10000000;
constexpr LONGLONG INTERVAL_POLL_CUTOVER = 200000000;

// SERIAL_BAUD_075 .. SERIAL_BAUD_115200 as the chip offers them, and SERIAL_BAUD_USER.
constexpr ULONG PORT_SUPPORTED_BAUDS =
    SERIAL_BAUD_075 | SERIAL_BAUD_150 | SERIAL_BAUD_300 | SERIAL_BAUD_600 | SERIAL_BAUD_1200 |
    SERIAL_BAUD_1800 | SERIAL_BAUD_2400 | SERIAL_BAUD_4800 | SERIAL_BAUD_7200 | SERIAL_BAUD_9600 |
    SERIAL_BAUD_14400 | SERIAL_BAUD_19200 | SERIAL_BAUD_38400 | SERIAL_BAUD_57600 |
    SERIAL_BAUD_115200 | SERIAL_BAUD_USER;
static_assert(PORT_SUPPORTED_BAUDS == 0x10067FF9, "the port's baud mask");

// 7 data bits, even parity, one stop bit.
constexpr UCHAR DEFAULT_LINE_CONTROL = 0x1A;
constexpr UCHAR DEFAULT_DATA_MASK = 0x7F;
constexpr UCHAR DEFAULT_XON_CHAR = 0x11;
constexpr UCHAR DEFAULT_XOFF_CHAR = 0x13;

VOID InitTimers(PSERIAL_PORT_EXTENSION Port) {
    KeInitializeTimer(&Port->ReadTotalTimer);
    KeInitializeTimer(&Port->ReadIntervalTimer);
    KeInitializeTimer(&Port->WriteTotalTimer);
    KeInitializeTimer(&Port->ImmediateTimer);
    KeInitializeTimer(&Port->XoffCountTimer);
    KeInitializeTimer(&Port->RtsLowerTimer);
}

VOID InitDpcs(PSERIAL_PORT_EXTENSION Port) {
    KeInitializeDpc(&Port->WriteDoneDpc, WriteDoneDpc, Port);
    KeInitializeDpc(&Port->ReadDoneDpc, ReadDoneDpc, Port);
    KeInitializeDpc(&Port->ReadTotalTimeoutDpc, ReadTotalTimeoutDpc, Port);
    KeInitializeDpc(&Port->ReadIntervalTimeoutDpc, ReadIntervalTimeoutDpc, Port);
    KeInitializeDpc(&Port->WriteTotalTimeoutDpc, WriteTotalTimeoutDpc, Port);
    KeInitializeDpc(&Port->LineErrorDpc, LineErrorDpc, Port);
    KeInitializeDpc(&Port->ImmediateDoneDpc, ImmediateDoneDpc, Port);
    KeInitializeDpc(&Port->ImmediateTimeoutDpc, ImmediateTimeoutDpc, Port);
    KeInitializeDpc(&Port->WaitDoneDpc, WaitDoneDpc, Port);
    KeInitializeDpc(&Port->XoffCountTimeoutDpc, XoffCountTimeoutDpc, Port);
    KeInitializeDpc(&Port->XoffCountDoneDpc, XoffCountDoneDpc, Port);
    KeInitializeDpc(&Port->RtsLowerStartDpc, RtsLowerStartDpc, Port);
    KeInitializeDpc(&Port->RtsLowerDpc, RtsLowerDpc, Port);
}

// The defaults every start loads. The flow-control limits follow the current RxBufferSize (0
// before the first open; open and ring resizing recompute them).
VOID LoadDefaults(PSERIAL_PORT_EXTENSION Port) {
    Port->IntervalPollShort.QuadPart = INTERVAL_POLL_SHORT;
    Port->IntervalPollLong.QuadPart = INTERVAL_POLL_LONG;
    Port->IntervalPollCutover.QuadPart = INTERVAL_POLL_CUTOVER;

    Port->TxFifo = 1;
    Port->RxFifo = 0;

    ULONG size = Port->RxBufferSize;
    Port->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    Port->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
    Port->HandFlow.XonLimit = static_cast<LONG>(size / 2);
    Port->HandFlow.XoffLimit = static_cast<LONG>(size / 8);
    Port->RxNearFull = 3 * (size / 4) + size / 16;

    // Only the flow-control characters; the other four keep what an application set.
    Port->SpecialChars.XonChar = DEFAULT_XON_CHAR;
    Port->SpecialChars.XoffChar = DEFAULT_XOFF_CHAR;

    Port->LineControl = DEFAULT_LINE_CONTROL;
    Port->ValidDataMask = DEFAULT_DATA_MASK;
    Port->CurrentBaudRate = 0;
    Port->SupportedBauds = PORT_SUPPORTED_BAUDS;
    Port->PortIsOpen = FALSE;
}

}  // namespace

// PASSIVE_LEVEL, start sequence; nothing else of the port runs yet.
NTSTATUS InitPortObjects(PDEVICE_OBJECT DeviceObject) {
    PSERIAL_PORT_EXTENSION Port = PortOf(DeviceObject);

    // The three spin locks are initialized once, when the port is created: requests are admitted
    // while a stopped port restarts, so one of them may be held right now.
    InitTimers(Port);
    InitDpcs(Port);
    LoadDefaults(Port);
    return STATUS_SUCCESS;
}
