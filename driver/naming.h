// External naming: the COM name an application opens ("\DosDevices\COMn", a symbolic link to
// the port's device object), the port's entry in the SERIALCOMM device map and the COM-port
// device interface; and the small registry reader every read of a device key uses.
//
// Everything here runs at PASSIVE_LEVEL on the Plug and Play thread (start, surprise removal,
// removal) and shares nothing with the data path, so it takes no lock.
#pragma once

#include "driver/port.h"

// The device hardware key is opened with this access (KEY_READ-like generic read).
constexpr ACCESS_MASK DEVICE_KEY_ACCESS = 0x20000;

// Registry value names of the device hardware key, with their sizes in bytes including the
// terminator, as QueryRegistryValue takes them.
#define SKIP_EXTERNAL_NAMING_VALUE L"SerialSkipExternalNaming"
#define PORT_NAME_VALUE L"PortName"
#define IDENTIFIER_VALUE L"Identifier"
#define MULTIPORT_DEVICE_VALUE L"MultiportDevice"
constexpr ULONG SKIP_EXTERNAL_NAMING_SIZE = sizeof(SKIP_EXTERNAL_NAMING_VALUE);
constexpr ULONG PORT_NAME_SIZE = sizeof(PORT_NAME_VALUE);
constexpr ULONG IDENTIFIER_SIZE = sizeof(IDENTIFIER_VALUE);
constexpr ULONG MULTIPORT_DEVICE_SIZE = sizeof(MULTIPORT_DEVICE_VALUE);
static_assert(SKIP_EXTERNAL_NAMING_SIZE == 50 && PORT_NAME_SIZE == 18 && IDENTIFIER_SIZE == 22 &&
                  MULTIPORT_DEVICE_SIZE == 32,
              "value-name sizes include the terminator");

// The longest port name read from the registry, in bytes (its buffer has room for a terminator
// more), and the longest one the device map takes, in characters (longer names leave the
// device-map entry empty).
constexpr ULONG PORT_NAME_READ_BYTES = 256;
constexpr ULONG DOS_NAME_MAX_CHARS = 32;
constexpr USHORT DOS_NAME_BUFFER_BYTES = 66;

// Reads the data of value ValueName (ValueNameSize bytes with its terminator) from the open key
// into Data (DataSize bytes). The data is copied only when it fits; a value whose data is
// longer than DataSize leaves Data untouched and answers STATUS_BUFFER_OVERFLOW, so a caller
// never mistakes stale buffer contents for the value. Otherwise the status of the query
// (STATUS_OBJECT_NAME_NOT_FOUND for a missing value), or STATUS_INSUFFICIENT_RESOURCES when the
// query buffer cannot be allocated. PASSIVE_LEVEL.
NTSTATUS QueryRegistryValue(HANDLE Key, PCWSTR ValueName, ULONG ValueNameSize, PVOID Data,
                            ULONG DataSize);

// At the first start: reads "SerialSkipExternalNaming" (nonzero: no names at all) and the port
// name ("PortName", else "Identifier") from the device hardware key, then creates the symbolic
// link, the SERIALCOMM value and the enabled device interface. A failure after the name was read
// undoes everything created so far and is returned; the caller carries on without external
// names. PASSIVE_LEVEL.
NTSTATUS CreateExternalNames(PSERIAL_PORT_EXTENSION Port);

// At surprise removal or removal: removes what CreateExternalNames created (interface, link,
// device-map value) and frees the port-name copy. Safe to call when nothing was created and to
// call twice. The buffers of SymbolicLinkName and DosName stay until the device goes.
// PASSIVE_LEVEL.
VOID RemoveExternalNames(PSERIAL_PORT_EXTENSION Port);
