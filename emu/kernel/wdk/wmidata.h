// The standard serial-port WMI data blocks of the emulated platform, laid out as the platform's
// wmidata.h has them (the Windows build takes mingw-w64's ddk/wmidata.h).
#pragma once

#include "emu/kernel/wdk/ntdef.h"

#define SERIAL_WMI_PARITY_NONE 0
#define SERIAL_WMI_PARITY_ODD 1
#define SERIAL_WMI_PARITY_EVEN 2
#define SERIAL_WMI_PARITY_SPACE 3
#define SERIAL_WMI_PARITY_MARK 4

#define SERIAL_WMI_STOP_1 0
#define SERIAL_WMI_STOP_1_5 1
#define SERIAL_WMI_STOP_2 2

#define SERIAL_WMI_INTTYPE_LATCHED 0
#define SERIAL_WMI_INTTYPE_LEVEL 1

typedef struct _SERIAL_WMI_COMM_DATA {
    ULONG BaudRate;
    ULONG BitsPerByte;
    ULONG Parity;  // SERIAL_WMI_PARITY_*: 0 none, 1 odd, 2 even, 3 space, 4 mark
    BOOLEAN ParityCheckEnable;
    ULONG StopBits;  // SERIAL_WMI_STOP_*: 0 one, 1 one and a half, 2 two
    ULONG XoffCharacter;
    ULONG XoffXmitThreshold;
    ULONG XonCharacter;
    ULONG XonXmitThreshold;
    ULONG MaximumBaudRate;
    ULONG MaximumOutputBufferSize;
    ULONG MaximumInputBufferSize;
    BOOLEAN Support16BitMode;
    BOOLEAN SupportDTRDSR;
    BOOLEAN SupportIntervalTimeouts;
    BOOLEAN SupportParityCheck;
    BOOLEAN SupportRTSCTS;
    BOOLEAN SupportXonXoff;
    BOOLEAN SettableBaudRate;
    BOOLEAN SettableDataBits;
    BOOLEAN SettableFlowControl;
    BOOLEAN SettableParity;
    BOOLEAN SettableParityCheck;
    BOOLEAN SettableStopBits;
    BOOLEAN IsBusy;
} SERIAL_WMI_COMM_DATA, *PSERIAL_WMI_COMM_DATA;

typedef struct _SERIAL_WMI_HW_DATA {
    ULONG IrqNumber;
    ULONG IrqVector;
    ULONG IrqLevel;
    alignas(8) ULONGLONG IrqAffinity;
    ULONG InterruptType;  // SERIAL_WMI_INTTYPE_*: 0 latched, 1 level
    alignas(8) ULONGLONG BaseIOAddress;
} SERIAL_WMI_HW_DATA, *PSERIAL_WMI_HW_DATA;

typedef struct _SERIAL_WMI_PERF_DATA {
    ULONG ReceivedCount;
    ULONG TransmittedCount;
    ULONG FrameErrorCount;
    ULONG SerialOverrunErrorCount;
    ULONG BufferOverrunErrorCount;
    ULONG ParityErrorCount;
} SERIAL_WMI_PERF_DATA, *PSERIAL_WMI_PERF_DATA;
