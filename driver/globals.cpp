// The driver-wide variables and their load-time values.
#include "driver/globals.h"

ULONG NextDeviceNumber = 2;
LONG ExtBaudCount = 0;
EXT_BAUD_ENTRY ExtBaudTable[EXT_BAUD_TABLE_SIZE] = {};
ULONG DebugBreakAtEntry = 0;
PVOID PagedCodeHandle = NULL;
UNICODE_STRING DriverRegistryPath = {0, 0, NULL};

// Every load starts from the load-time values, whatever an earlier load of the same image left
// behind: DriverEntry calls this first. DebugBreakAtEntry is left alone because it is set from
// outside (a debugger) before entry runs.
VOID ResetDriverGlobals() {
    NextDeviceNumber = 2;
    ExtBaudCount = 0;
    RtlZeroMemory(ExtBaudTable, sizeof(ExtBaudTable));
    PagedCodeHandle = NULL;
    DriverRegistryPath.Length = 0;
    DriverRegistryPath.MaximumLength = 0;
    DriverRegistryPath.Buffer = NULL;
}
