// External naming of a port and the registry reader of the device keys.
#include "driver/naming.h"

namespace {

// The directory of the DOS names applications open.
#define DOS_DEVICES_PREFIX L"\\DosDevices\\"
#define SERIALCOMM_KEY L"SERIALCOMM"

// Header of the full-information record that precedes the value's name and data.
constexpr ULONG FULL_INFORMATION_OVERHEAD = 24;

PVOID AllocateZeroed(POOL_TYPE Type, SIZE_T Bytes) {
    PVOID block = ExAllocatePoolWithTag(Type, Bytes, QUELLA_POOL_TAG);
    if (block != NULL) {
        RtlZeroMemory(block, Bytes);
    }
    return block;
}

// Frees a counted string's own buffer and empties it.
VOID FreeString(PUNICODE_STRING String) {
    if (String->Buffer != NULL) {
        ExFreePoolWithTag(String->Buffer, QUELLA_POOL_TAG);
    }
    String->Buffer = NULL;
    String->Length = 0;
    String->MaximumLength = 0;
}

// Allocates Source's length plus a terminator, zeroed, and copies Source in.
NTSTATUS CopyString(PCUNICODE_STRING Source, PUNICODE_STRING Copy) {
    USHORT bytes = static_cast<USHORT>(Source->Length + sizeof(WCHAR));
    PWSTR buffer = static_cast<PWSTR>(AllocateZeroed(PagedPool, bytes));
    if (buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(buffer, Source->Buffer, Source->Length);
    Copy->Buffer = buffer;
    Copy->Length = Source->Length;
    Copy->MaximumLength = bytes;
    return STATUS_SUCCESS;
}

// Gives up the interface name the platform allocated for us (it is not ours to tag).
VOID FreeInterfaceName(PSERIAL_PORT_EXTENSION Port) {
    if (Port->InterfaceName.Buffer != NULL) {
        RtlFreeUnicodeString(&Port->InterfaceName);
    }
    Port->InterfaceName.Buffer = NULL;
    Port->InterfaceName.Length = 0;
    Port->InterfaceName.MaximumLength = 0;
}

VOID DeleteSerialCommValue(PSERIAL_PORT_EXTENSION Port) {
    RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, SERIALCOMM_KEY, Port->DeviceName.Buffer);
    Port->CreatedSerialCommEntry = FALSE;
}

// Reads the port name into PortName (PORT_NAME_READ_BYTES + 2 zeroed bytes): "PortName", else
// "Identifier". An empty name counts as no name.
NTSTATUS ReadPortName(HANDLE Key, PWSTR PortName) {
    NTSTATUS status =
        QueryRegistryValue(Key, PORT_NAME_VALUE, PORT_NAME_SIZE, PortName, PORT_NAME_READ_BYTES);
    if (!NT_SUCCESS(status) || PortName[0] == 0) {
        RtlZeroMemory(PortName, PORT_NAME_READ_BYTES);
        status = QueryRegistryValue(Key, IDENTIFIER_VALUE, IDENTIFIER_SIZE, PortName,
                                    PORT_NAME_READ_BYTES);
    }
    if (NT_SUCCESS(status) && PortName[0] == 0) {
        status = STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return status;
}

// Undoes what CreateExternalNames made so far; returns Status.
NTSTATUS UndoExternalNames(PSERIAL_PORT_EXTENSION Port, NTSTATUS Status) {
    FreeString(&Port->DosName);
    if (Port->CreatedSymbolicLink) {
        IoDeleteSymbolicLink(&Port->SymbolicLinkName);
        Port->CreatedSymbolicLink = FALSE;
    }
    FreeString(&Port->SymbolicLinkName);
    if (Port->CreatedSerialCommEntry) {
        DeleteSerialCommValue(Port);
    }
    if (Port->InterfaceName.Buffer != NULL) {
        IoSetDeviceInterfaceState(&Port->InterfaceName, FALSE);
        FreeInterfaceName(Port);
    }
    FreeString(&Port->PortNameCopy);
    return Status;
}

// Publishes the names built in Port: link, device-map value, interface.
NTSTATUS PublishExternalNames(PSERIAL_PORT_EXTENSION Port) {
    NTSTATUS status = IoCreateSymbolicLink(&Port->SymbolicLinkName, &Port->DeviceName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Port->CreatedSymbolicLink = TRUE;

    status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, SERIALCOMM_KEY, Port->DeviceName.Buffer,
                                   REG_SZ, Port->DosName.Buffer,
                                   static_cast<ULONG>(Port->DosName.Length + sizeof(WCHAR)));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Port->CreatedSerialCommEntry = TRUE;

    status = IoRegisterDeviceInterface(Port->PhysicalDeviceObject, &GUID_DEVINTERFACE_COMPORT, NULL,
                                       &Port->InterfaceName);
    if (!NT_SUCCESS(status)) {
        Port->InterfaceName.Buffer = NULL;
        return status;
    }
    return IoSetDeviceInterfaceState(&Port->InterfaceName, TRUE);
}

// Builds PortNameCopy, SymbolicLinkName and DosName from the port name, then publishes them.
// LinkBuffer is the zeroed working buffer of PORT_NAME_READ_BYTES + 2 bytes.
NTSTATUS BuildAndPublish(PSERIAL_PORT_EXTENSION Port, PWSTR PortName, PWSTR LinkBuffer) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, PortName);
    NTSTATUS status = CopyString(&name, &Port->PortNameCopy);
    if (!NT_SUCCESS(status)) {
        return UndoExternalNames(Port, status);
    }

    UNICODE_STRING link = {0, static_cast<USHORT>(PORT_NAME_READ_BYTES), LinkBuffer};
    status = RtlAppendUnicodeToString(&link, DOS_DEVICES_PREFIX);
    if (NT_SUCCESS(status)) {
        status = RtlAppendUnicodeStringToString(&link, &name);
    }
    if (NT_SUCCESS(status)) {
        status = CopyString(&link, &Port->SymbolicLinkName);
    }
    if (!NT_SUCCESS(status)) {
        return UndoExternalNames(Port, status);
    }

    PWSTR dosBuffer = static_cast<PWSTR>(AllocateZeroed(PagedPool, DOS_NAME_BUFFER_BYTES));
    if (dosBuffer == NULL) {
        return UndoExternalNames(Port, STATUS_INSUFFICIENT_RESOURCES);
    }
    Port->DosName.Buffer = dosBuffer;
    Port->DosName.Length = 0;
    Port->DosName.MaximumLength = DOS_NAME_BUFFER_BYTES;
    if (name.Length / sizeof(WCHAR) <= DOS_NAME_MAX_CHARS) {
        RtlAppendUnicodeStringToString(&Port->DosName, &name);
    }

    status = PublishExternalNames(Port);
    if (!NT_SUCCESS(status)) {
        return UndoExternalNames(Port, status);
    }
    return STATUS_SUCCESS;
}

}  // namespace

// PASSIVE_LEVEL.
NTSTATUS QueryRegistryValue(HANDLE Key, PCWSTR ValueName, ULONG ValueNameSize, PVOID Data,
                            ULONG DataSize) {
    ULONG infoSize = ValueNameSize + DataSize + FULL_INFORMATION_OVERHEAD;
    PKEY_VALUE_FULL_INFORMATION info = static_cast<PKEY_VALUE_FULL_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, infoSize, QUELLA_POOL_TAG));
    if (info == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);
    ULONG returned = 0;
    NTSTATUS status =
        ZwQueryValueKey(Key, &name, KeyValueFullInformation, info, infoSize, &returned);
    if (NT_SUCCESS(status)) {
        if (info->DataLength <= DataSize) {
            RtlCopyMemory(Data, reinterpret_cast<PUCHAR>(info) + info->DataOffset,
                          info->DataLength);
        } else {
            // Reporting success here would leave the caller reading whatever its buffer held.
            status = STATUS_BUFFER_OVERFLOW;
        }
    }
    ExFreePoolWithTag(info, QUELLA_POOL_TAG);
    return status;
}

// PASSIVE_LEVEL, Plug and Play thread (first start).
NTSTATUS CreateExternalNames(PSERIAL_PORT_EXTENSION Port) {
    HANDLE key = NULL;
    NTSTATUS status = IoOpenDeviceRegistryKey(Port->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE,
                                              DEVICE_KEY_ACCESS, &key);
    if (status != STATUS_SUCCESS) {
        return status;
    }

    Port->SkipExternalNaming = 0;
    ULONG skip = 0;
    if (NT_SUCCESS(QueryRegistryValue(key, SKIP_EXTERNAL_NAMING_VALUE, SKIP_EXTERNAL_NAMING_SIZE,
                                      &skip, sizeof(skip)))) {
        Port->SkipExternalNaming = skip;
    }
    if (Port->SkipExternalNaming != 0) {
        ZwClose(key);
        return STATUS_SUCCESS;
    }

    const SIZE_T workBytes = PORT_NAME_READ_BYTES + sizeof(WCHAR);
    PWSTR linkBuffer = static_cast<PWSTR>(AllocateZeroed(PagedPool, workBytes));
    PWSTR portName = static_cast<PWSTR>(AllocateZeroed(PagedPool, workBytes));
    if (linkBuffer == NULL || portName == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        status = ReadPortName(key, portName);
    }
    ZwClose(key);

    if (NT_SUCCESS(status)) {
        status = BuildAndPublish(Port, portName, linkBuffer);
    }
    if (linkBuffer != NULL) {
        ExFreePoolWithTag(linkBuffer, QUELLA_POOL_TAG);
    }
    if (portName != NULL) {
        ExFreePoolWithTag(portName, QUELLA_POOL_TAG);
    }
    return status;
}

// PASSIVE_LEVEL, Plug and Play thread (surprise removal, removal).
VOID RemoveExternalNames(PSERIAL_PORT_EXTENSION Port) {
    if (Port->SkipExternalNaming != 0) {
        return;
    }
    if (Port->SymbolicLinkName.Buffer != NULL && Port->CreatedSymbolicLink) {
        if (Port->InterfaceName.Buffer != NULL) {
            IoSetDeviceInterfaceState(&Port->InterfaceName, FALSE);
            FreeInterfaceName(Port);
        }
        IoDeleteSymbolicLink(&Port->SymbolicLinkName);
        Port->CreatedSymbolicLink = FALSE;
    }
    FreeString(&Port->PortNameCopy);
    if (Port->DeviceName.Buffer != NULL && Port->CreatedSerialCommEntry) {
        DeleteSerialCommValue(Port);
    }
}
