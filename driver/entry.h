// Loading and unloading the driver, and the ExtBaudrate service value.
#pragma once

#include "driver/port.h"

// Keeps the service key path, prints the build banner, installs the dispatch routines and
// AddDevice, and reads ExtBaudrate. PASSIVE_LEVEL.
extern "C" DRIVER_INITIALIZE DriverEntry;

// Releases the copy of the service key path; ports are gone by then (Plug and Play removed
// them). PASSIVE_LEVEL.
DRIVER_UNLOAD DriverUnload;

// Reads the ExtBaudrate value of the service key into ExtBaudTable/ExtBaudCount. Whatever goes
// wrong leaves ExtBaudCount at 0; returns the status of the registry query (or
// STATUS_INSUFFICIENT_RESOURCES). PASSIVE_LEVEL.
NTSTATUS ReadExtBaudrate(PCUNICODE_STRING RegistryPath);

// Parses the 8-bit text of ExtBaudrate ("requested,chip" pairs separated by single spaces) into
// Table (EXT_BAUD_TABLE_SIZE entries) and returns the number of valid entries. Reads no
// character at or beyond Text + Length (nor beyond a terminating zero inside that range).
LONG ParseExtBaudrate(const CHAR* Text, ULONG Length, PEXT_BAUD_ENTRY Table);
