// The port: SERIAL_PORT_EXTENSION, the per-port record that lives in the device extension of
// each port's device object, and the flag words and constants that every subsystem of the
// driver shares.
//
// Every member says what guards it:
//   - "cancel lock": the platform's cancel spin lock (IoAcquireCancelSpinLock);
//   - a member lock (ControlLock, AcceptLock, ReceiveLock);
//   - "interlocked": changed only by Interlocked* operations, read without a lock;
//   - "PnP thread": written only by AddDevice, the start sequence or teardown at
//     PASSIVE_LEVEL, when nothing else runs on the port (or before anything else can see it);
//   - "open/close": written by open and close at PASSIVE_LEVEL while no other request is
//     admitted on the port;
//   - "none": read and written without a lock; the owning routine says why that is safe.
// When several locks are held they are taken in the order ControlLock, cancel lock,
// ReceiveLock; AcceptLock is never held together with the cancel lock.
#pragma once

#include "platform/wdk.h"

// Every pool allocation of the driver carries this tag: the bytes 'C' 'O' 'M' 'X' in memory.
constexpr ULONG QUELLA_POOL_TAG = 0x584D4F43;

// ---------------------------------------------------------------------------------------------
// Driver-wide baud-rate substitution table (filled from the ExtBaudrate service value)
// ---------------------------------------------------------------------------------------------
constexpr ULONG EXT_BAUD_TABLE_SIZE = 10;

// An application asking for RequestedRate gets ChipRate programmed into the chip instead.
// ChipRate is sent unchanged, so it may be a plain rate or a divisor word (bit 31 set).
struct EXT_BAUD_ENTRY {
    LONG RequestedRate;
    LONG ChipRate;
};
typedef EXT_BAUD_ENTRY* PEXT_BAUD_ENTRY;

// ---------------------------------------------------------------------------------------------
// Flag words
// ---------------------------------------------------------------------------------------------
// AcceptFlags: what BeginRequest does with a new request.
constexpr ULONG ACCEPT_REMOVING = 0x1;          // reject: removal in progress
constexpr ULONG ACCEPT_STOPPING = 0x2;          // hold: a stop has been queried
constexpr ULONG ACCEPT_STOPPED = 0x4;           // the port is stopped
constexpr ULONG ACCEPT_SURPRISE_REMOVED = 0x8;  // reject: the device is gone

// DeviceStateFlags.
constexpr ULONG STATE_STARTED = 0x1;
constexpr ULONG STATE_STOPPED = 0x2;
constexpr ULONG STATE_HARDWARE_FAILED = 0x4;  // reject requests; reported as a failed device

// PnpState values.
constexpr ULONG PNP_STATE_NEVER_STARTED = 0;
constexpr ULONG PNP_STATE_STARTED = 1;
constexpr ULONG PNP_STATE_STOP_PENDING = 2;
constexpr ULONG PNP_STATE_STOPPED = 3;
constexpr ULONG PNP_STATE_REMOVE_PENDING = 4;
constexpr ULONG PNP_STATE_RESTARTING = 6;

// RequestRefs (the fourth argument word of a current request's stack location): each bit is
// a party that still refers to the request; it is completed only when the word is 0.
constexpr ULONG REF_TRANSFER = 0x1;
constexpr ULONG REF_CANCEL = 0x2;
constexpr ULONG REF_TOTAL_TIMER = 0x4;
constexpr ULONG REF_INTERVAL_TIMER = 0x8;
constexpr ULONG REF_XOFF = 0x10;

// TxHoldReasons: why transmission is held.
constexpr ULONG TXHOLD_CTS = 0x01;    // CTS low with CTS flow control
constexpr ULONG TXHOLD_DSR = 0x02;    // DSR low with DSR flow control
constexpr ULONG TXHOLD_XOFF = 0x08;   // XOFF received (or IOCTL_SERIAL_SET_XOFF)
constexpr ULONG TXHOLD_BREAK = 0x10;  // a break is being sent

// RxHoldReasons: why reception is held.
constexpr ULONG RXHOLD_DTR = 0x01;   // DTR dropped for receive flow control
constexpr ULONG RXHOLD_XOFF = 0x02;  // XOFF sent
constexpr ULONG RXHOLD_RTS = 0x04;   // RTS dropped for receive flow control
constexpr ULONG RXHOLD_DSR = 0x08;   // DSR low with DSR sensitivity

// Pipe indexes.
constexpr ULONG PIPE_INTERRUPT_IN = 0;
constexpr ULONG PIPE_BULK_OUT = 1;
constexpr ULONG PIPE_BULK_IN = 2;
constexpr ULONG PIPE_COUNT = 3;

// ---------------------------------------------------------------------------------------------
// Records that cross the wire
// ---------------------------------------------------------------------------------------------
#pragma pack(push, 1)
// The 7-byte line coding record of SET_LINE_CODING, little-endian on the wire.
struct LINE_CODING {
    ULONG dwDTERate;    // plain baud rate, or a divisor word (bit 31 set)
    UCHAR bCharFormat;  // 0 = 1 stop bit, 1 = 1.5, 2 = 2
    UCHAR bParityType;  // 0 none, 1 odd, 2 even, 3 mark, 4 space
    UCHAR bDataBits;    // 5, 6, 7 or 8
};
#pragma pack(pop)
static_assert(sizeof(LINE_CODING) == 7, "the line coding record is 7 bytes");

// ---------------------------------------------------------------------------------------------
// The port extension
// ---------------------------------------------------------------------------------------------
struct SERIAL_PORT_EXTENSION {
    // --- Identity and stack (PnP thread) ---------------------------------------------------
    PDEVICE_OBJECT DeviceObject;          // the port's own device object
    PDEVICE_OBJECT LowerDeviceObject;     // next device down; every forwarded IRP and URB
    PDEVICE_OBJECT PhysicalDeviceObject;  // the bus driver's device object
    UNICODE_STRING DeviceName;            // "\Device\SerialN", own PagedPool buffer

    // --- External names (PnP thread) -------------------------------------------------------
    UNICODE_STRING SymbolicLinkName;  // "\DosDevices\COMn"
    UNICODE_STRING DosName;           // "COMn", 66-byte buffer, written to the device map
    UNICODE_STRING InterfaceName;     // from the device-interface registration
    UNICODE_STRING PortNameCopy;      // the port name as read from the hardware key
    ULONG SkipExternalNaming;         // nonzero: no external names for this port
    BOOLEAN CreatedSymbolicLink;
    BOOLEAN CreatedSerialCommEntry;

    // --- Plug and Play and admission -------------------------------------------------------
    ULONG PnpState;          // PNP_STATE_*; PnP thread
    ULONG AcceptFlags;       // ACCEPT_*; AcceptLock
    ULONG DeviceStateFlags;  // STATE_*; AcceptLock
    KSPIN_LOCK AcceptLock;
    KEVENT StartEvent;     // the start request's trip down the stack; PnP thread
    FAST_MUTEX OpenMutex;  // orders query-stop/query-remove against PortIsOpen

    // --- Request accounting (interlocked) --------------------------------------------------
    LONG ActiveRequestCount;       // admitted requests + 1 for the port itself
    KEVENT RequestsIdleEvent;      // SynchronizationEvent; set when ActiveRequestCount hits 0
    LONG DeferredWorkCount;        // queued DPCs and armed timers + 1 for the port itself
    KEVENT DeferredWorkIdleEvent;  // SynchronizationEvent; set when DeferredWorkCount hits 0

    // --- Request queues and current requests (cancel lock) ---------------------------------
    LIST_ENTRY ReadQueue;
    LIST_ENTRY WriteQueue;  // writes, flushes and XOFF-counter requests
    LIST_ENTRY MaskQueue;   // set-wait-mask and wait-on-mask requests
    LIST_ENTRY PurgeQueue;
    LIST_ENTRY HeldRequestQueue;  // requests held while a stop is pending
    PIRP CurrentReadRequest;
    PIRP CurrentWriteRequest;
    PIRP CurrentMaskRequest;
    PIRP CurrentPurgeRequest;
    PIRP CurrentWaitRequest;
    PIRP CurrentImmediateRequest;
    PIRP CurrentXoffRequest;
    ULONG QueuedWriteChars;  // queued + current write bytes, +1 per immediate/XOFF request
    ULONG LineErrorBits;     // SERIAL_ERROR_*; none (set by line status, cleared by ioctl)

    // --- Line settings (ControlLock for the readers that take it) --------------------------
    ULONG CurrentBaudRate;  // rate in force after rounding; 0 = not yet set
    ULONG SupportedBauds;   // SERIAL_BAUD_* mask
    SERIAL_TIMEOUTS Timeouts;
    SERIAL_CHARS SpecialChars;
    SERIAL_HANDFLOW HandFlow;
    UCHAR LineControl;                    // word length bits 0-1, extra stop bit 2, parity bits 3-5
    UCHAR ValidDataMask;                  // 0x1F/0x3F/0x7F/0xFF for 5/6/7/8 data bits
    SERIAL_LINE_CONTROL LastLineControl;  // last accepted SERIAL_LINE_CONTROL, zero at first
    LINE_CODING LineCoding;               // record last built for SET_LINE_CODING
    BOOLEAN ExtBaudMatched;               // last SetBaudRate used ExtBaudTable
    ULONG WriteChunkLimit;                // largest bulk-out transfer of a write: 256 or 4096
    UCHAR EscapeChar;                     // LSR/MST insertion escape, 0 = off
    UCHAR ImmediateChar;                  // character of IOCTL_SERIAL_IMMEDIATE_CHAR
    ULONG TxFifo;                         // reported by the basic-settings request only
    UCHAR RxFifo;                         // reported by the basic-settings request only
    KSPIN_LOCK ControlLock;

    // --- Statistics (none: counters, read and cleared by ioctl) ----------------------------
    SERIALPERF_STATS PerfStats;

    // --- Open state ------------------------------------------------------------------------
    LONG OpenCount;      // interlocked; opens in progress or done (only the first admitted)
    BOOLEAN PortIsOpen;  // open/close; device control is refused while 0

    // --- Chip control (PASSIVE_LEVEL callers; serialized by their dispatch routines) -------
    USHORT ControlLineState;  // bit 0 DTR, bit 1 RTS, as last sent
    UCHAR ChipRegShadow[3];   // chip registers 0..2 between a read and a write
    BOOLEAN HwRtsFlowOn;      // chip-side receive (RTS) flow control is on
    BOOLEAN HwCtsFlowOn;      // chip-side transmit (CTS) flow control is on
    BOOLEAN HwDsrFlowOn;      // chip-side transmit (DSR) flow control is on

    // --- USB configuration (PnP thread) ----------------------------------------------------
    LONG ChipType;                               // -1 until identified, then 0..4
    ULONG DeviceIdentified;                      // 1 once identification has run to its end
    BOOLEAN SingleInterface;                     // one-interface layout seen (never cleared)
    PUSBD_INTERFACE_INFORMATION InterfaceInfo0;  // NonPagedPool copy
    PUSBD_INTERFACE_INFORMATION InterfaceInfo1;  // NonPagedPool copy, two-interface layout

    // --- Pipe transfers in flight (PipeLock, a leaf lock; see usb/pipe_transfer.h) ----------
    KSPIN_LOCK PipeLock;              // initialized at AddDevice; never held across a call out
    LIST_ENTRY PipeTransfers;         // PipeLock; every PIPE_TRANSFER in flight, oldest first
    PIRP PipeRequest[PIPE_COUNT];     // PipeLock; request of the pipe's newest transfer, or NULL
    BOOLEAN PipeStopped[PIPE_COUNT];  // PipeLock; input pipe stopped until ArmInputPipes
    LONG PendingWriteTransfers;       // interlocked; bulk-out transfers in flight
    LONG PendingControlTransfers;     // interlocked; SubmitControlAsync requests in flight

    // --- Receive ring (ReceiveLock) --------------------------------------------------------
    PUCHAR RxBuffer;     // RxBufferSize bytes of NonPagedPool, allocated at open
    ULONG RxBufferSize;  // ring size; also the base of the flow-control limits
    PUCHAR RxTarget;     // where stores go: RxBuffer or the current read's buffer
    PUCHAR RxPut;        // next store position inside RxTarget
    PUCHAR RxLast;       // last byte position of RxTarget
    PUCHAR RxTake;       // oldest unread byte of the ring
    ULONG RxCount;       // bytes in the ring
    ULONG RxNearFull;    // 3/4 + 1/16 of RxBufferSize: SERIAL_EV_RX80FULL mark
    KSPIN_LOCK ReceiveLock;

    // --- Read path (cancel lock; ReceiveLock where the receive path shares them) -----------
    ULONG ReadBytesNeeded;              // bytes the current read still needs
    LONG ReadTickMark;                  // progress mark, or -1/-2/-3 completion codes
    ULONG ReadByReceivePath;            // bytes stored by the receive path since the last tick
    LARGE_INTEGER ReadIntervalTime;     // ReadIntervalTimeout in 100 ns units
    LARGE_INTEGER IntervalPollShort;    // -1: poll every 100 ns (relative)
    LARGE_INTEGER IntervalPollLong;     // -10,000,000: poll every second (relative)
    LARGE_INTEGER IntervalPollCutover;  // 200,000,000: intervals from 20 s use the long poll
    PLARGE_INTEGER IntervalPollPeriod;  // IntervalPollShort or IntervalPollLong
    LARGE_INTEGER LastReceiveTime;      // system time of the current read's last progress

    // --- Write path (cancel lock) ----------------------------------------------------------
    LONG WriteBytesLeft;    // bytes of the current write not yet accounted as sent
    PUCHAR WriteNextByte;   // next byte of the current write to send
    ULONG WriteInFlight;    // bytes carried by the bulk-out transfer in flight
    BOOLEAN WriteHeld;      // flow control kept the current write from starting
    BOOLEAN WriteTimedOut;  // WriteTotalTimer expired; next completion ends the write
    ULONG XoffCountLeft;    // bytes to receive before the XOFF-counter request completes

    // --- Modem and line status, flow control (none: DISPATCH_LEVEL status path) ------------
    USHORT LineStateWord;      // line-state word of the last interrupt packet
    USHORT PrevLineStateWord;  // the word at the previous modem-status update
    ULONG TxHoldReasons;       // TXHOLD_*
    ULONG RxHoldReasons;       // RXHOLD_*
    BOOLEAN XoffReceived;      // XOFF received and no XON since
    BOOLEAN TransmitterEmpty;  // THRE of the last line-status update
    LONG RtsLowerAttempts;     // interlocked; pending transmit-toggle attempts
    LONG EventReportBusy;      // interlocked try-lock of event reporting

    // --- Wait-on-mask (cancel lock) --------------------------------------------------------
    ULONG EventWaitMask;        // SERIAL_EV_* asked for; 0 = waits refused
    ULONG EventHistory;         // events of the mask not yet reported
    PULONG WaitResultLocation;  // result word of the pending wait, or NULL

    // --- Power (PnP and power threads) -----------------------------------------------------
    DEVICE_POWER_STATE DevicePowerState;                   // PowerDeviceD0 at creation and start
    DEVICE_POWER_STATE PowerStateMap[PowerSystemMaximum];  // from the device capabilities
    DEVICE_POWER_STATE DeviceWake;   // deepest state from which the device can wake
    PIRP PendingSystemPowerRequest;  // system set-power held during its device request
    BOOLEAN WaitWakeEnabled;         // wake armed by the internal wait-wake request

    // --- WMI (images read without a lock by the WMI callbacks) -----------------------------
    WMILIB_CONTEXT WmiLibContext;
    SERIAL_WMI_COMM_DATA WmiCommData;
    SERIAL_WMI_HW_DATA WmiHwData;
    SERIAL_WMI_PERF_DATA WmiPerfData;
    BOOLEAN WmiRegistered;  // PnP thread; registered at the first start, until teardown

    // --- Timers (armed through the counted-timer helpers; initialized at every start) ------
    KTIMER ReadTotalTimer;
    KTIMER ReadIntervalTimer;
    KTIMER WriteTotalTimer;
    KTIMER ImmediateTimer;
    KTIMER XoffCountTimer;
    KTIMER RtsLowerTimer;

    // --- DPCs (queued through the counted-DPC helpers; initialized at every start) ---------
    KDPC WriteDoneDpc;
    KDPC ReadDoneDpc;
    KDPC ReadTotalTimeoutDpc;
    KDPC ReadIntervalTimeoutDpc;
    KDPC WriteTotalTimeoutDpc;
    KDPC LineErrorDpc;
    KDPC ImmediateDoneDpc;
    KDPC ImmediateTimeoutDpc;
    KDPC WaitDoneDpc;
    KDPC XoffCountTimeoutDpc;
    KDPC XoffCountDoneDpc;
    KDPC RtsLowerStartDpc;
    KDPC RtsLowerDpc;
};
typedef SERIAL_PORT_EXTENSION* PSERIAL_PORT_EXTENSION;

inline PSERIAL_PORT_EXTENSION PortOf(PDEVICE_OBJECT DeviceObject) {
    return static_cast<PSERIAL_PORT_EXTENSION>(DeviceObject->DeviceExtension);
}
