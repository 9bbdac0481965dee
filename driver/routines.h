// The routines the platform calls on the port's behalf: the major-function dispatch routines
// installed at entry and the routines of the port's DPC objects. Each belongs to the
// subsystem that serves it; a subsystem not built yet has a stand-in in placeholders.cpp.
#pragma once

#include "driver/port.h"

// Dispatch routines (PASSIVE_LEVEL, in the caller's thread).
DRIVER_DISPATCH DispatchCreate;
DRIVER_DISPATCH DispatchClose;
DRIVER_DISPATCH DispatchRead;
DRIVER_DISPATCH DispatchWrite;
DRIVER_DISPATCH DispatchQueryInformation;
DRIVER_DISPATCH DispatchSetInformation;
DRIVER_DISPATCH DispatchFlush;
DRIVER_DISPATCH DispatchDeviceControl;
DRIVER_DISPATCH DispatchInternalDeviceControl;
DRIVER_DISPATCH DispatchCleanup;
DRIVER_DISPATCH DispatchPower;
DRIVER_DISPATCH DispatchSystemControl;
DRIVER_DISPATCH DispatchPnp;

// DPC routines (DISPATCH_LEVEL). Each DPC object of the port has the routine of the same
// name and the port extension as its context; every routine ends its deferred work (the
// DeferredWorkCount reference its queuer took) before it returns.
KDEFERRED_ROUTINE WriteDoneDpc;
KDEFERRED_ROUTINE ReadDoneDpc;
KDEFERRED_ROUTINE ReadTotalTimeoutDpc;
KDEFERRED_ROUTINE ReadIntervalTimeoutDpc;
KDEFERRED_ROUTINE WriteTotalTimeoutDpc;
KDEFERRED_ROUTINE LineErrorDpc;
KDEFERRED_ROUTINE ImmediateDoneDpc;
KDEFERRED_ROUTINE ImmediateTimeoutDpc;
KDEFERRED_ROUTINE WaitDoneDpc;
KDEFERRED_ROUTINE XoffCountTimeoutDpc;
KDEFERRED_ROUTINE XoffCountDoneDpc;
KDEFERRED_ROUTINE RtsLowerStartDpc;
KDEFERRED_ROUTINE RtsLowerDpc;

// The chip initialization sequence of a start and an open (PASSIVE_LEVEL). It lives in the
// pageable section whose handle DriverEntry takes.
VOID ResetPort(PSERIAL_PORT_EXTENSION Port);
