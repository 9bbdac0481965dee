// The driver-wide variables: one instance for the whole driver, shared by every port.
#pragma once

#include "driver/port.h"

// Number of the next "\Device\SerialN" name. Read and advanced only by CreatePortDevice, whose
// calls arrive one at a time from Plug and Play; numbers are never reused while loaded.
extern ULONG NextDeviceNumber;

// The ExtBaudrate substitution table and its count of valid entries, written once at entry.
extern LONG ExtBaudCount;
extern EXT_BAUD_ENTRY ExtBaudTable[EXT_BAUD_TABLE_SIZE];

// Nonzero: DriverEntry stops in the debugger before it prints the banner. Nothing in the
// driver sets it; a debugger does, before entry.
extern ULONG DebugBreakAtEntry;

// Handle of the pageable code section that holds the port initialization; taken at entry,
// locked by open and by the start handler, unlocked by close.
extern PVOID PagedCodeHandle;

// Copy of the service key path given to DriverEntry (PagedPool); handed to WMI registration.
extern UNICODE_STRING DriverRegistryPath;

// Puts every driver-wide variable except DebugBreakAtEntry back to its load-time value.
VOID ResetDriverGlobals();
