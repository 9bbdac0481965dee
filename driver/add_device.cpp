// AddDevice and the creation of a port's device object.
#include "driver/add_device.h"

#include "driver/globals.h"

namespace {

// The name buffer holds up to 256 bytes of name plus a terminator.
constexpr USHORT PORT_NAME_MAX_BYTES = 256;

// Builds "\Device\Serial<Number>" into Name (MaximumLength PORT_NAME_MAX_BYTES, zeroed).
NTSTATUS BuildPortName(ULONG Number, PUNICODE_STRING Name) {
    WCHAR digits[20];
    UNICODE_STRING numberText = {0, sizeof(digits), digits};
    NTSTATUS status = RtlIntegerToUnicodeString(Number, 10, &numberText);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = RtlAppendUnicodeToString(Name, L"\\Device\\Serial");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return RtlAppendUnicodeStringToString(Name, &numberText);
}

// Zeroes the new port extension and gives it the values it has from creation on. Fails only
// when the copy of the device name cannot be allocated.
NTSTATUS InitPortExtension(PDEVICE_OBJECT DeviceObject, PCUNICODE_STRING Name) {
    PSERIAL_PORT_EXTENSION Port = PortOf(DeviceObject);
    RtlZeroMemory(Port, sizeof(SERIAL_PORT_EXTENSION));

    USHORT nameBytes = static_cast<USHORT>(Name->Length + sizeof(WCHAR));
    PWSTR nameCopy =
        static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, nameBytes, QUELLA_POOL_TAG));
    if (nameCopy == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(nameCopy, nameBytes);
    RtlCopyMemory(nameCopy, Name->Buffer, Name->Length);
    Port->DeviceName.Buffer = nameCopy;
    Port->DeviceName.Length = Name->Length;
    Port->DeviceName.MaximumLength = nameBytes;

    Port->DeviceObject = DeviceObject;
    Port->DeferredWorkCount = 1;
    Port->ActiveRequestCount = 1;
    Port->DevicePowerState = PowerDeviceD0;
    Port->ChipType = -1;  // not identified until the first start has read the descriptors
    Port->PortIsOpen = FALSE;

    InitializeListHead(&Port->ReadQueue);
    InitializeListHead(&Port->WriteQueue);
    InitializeListHead(&Port->MaskQueue);
    InitializeListHead(&Port->PurgeQueue);
    InitializeListHead(&Port->HeldRequestQueue);
    InitializeListHead(&Port->PipeTransfers);
    KeInitializeSpinLock(&Port->PipeLock);
    // Once for the life of the port, never again at a restart (a request may hold one then).
    KeInitializeSpinLock(&Port->ControlLock);
    KeInitializeSpinLock(&Port->AcceptLock);
    KeInitializeSpinLock(&Port->ReceiveLock);

    ExInitializeFastMutex(&Port->OpenMutex);
    KeInitializeEvent(&Port->RequestsIdleEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&Port->DeferredWorkIdleEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&Port->StartEvent, SynchronizationEvent, FALSE);
    return STATUS_SUCCESS;
}

}  // namespace

// PASSIVE_LEVEL, Plug and Play thread.
NTSTATUS CreatePortDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* DeviceObject) {
    *DeviceObject = NULL;

    // A taken name (or any other creation failure) moves on to the next number. The attempts
    // are bounded so that a platform refusing every device object cannot keep us here forever;
    // the last failure is then returned.
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    for (ULONG attempt = 0; attempt < PORT_CREATE_ATTEMPTS; ++attempt) {
        PWSTR nameBuffer = static_cast<PWSTR>(
            ExAllocatePoolWithTag(PagedPool, PORT_NAME_MAX_BYTES + sizeof(WCHAR), QUELLA_POOL_TAG));
        if (nameBuffer == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(nameBuffer, PORT_NAME_MAX_BYTES + sizeof(WCHAR));
        UNICODE_STRING name = {0, PORT_NAME_MAX_BYTES, nameBuffer};

        ULONG number = NextDeviceNumber;
        NextDeviceNumber = number + 1;
        status = BuildPortName(number, &name);

        PDEVICE_OBJECT newDevice = NULL;
        if (NT_SUCCESS(status)) {
            status =
                IoCreateDevice(DriverObject, sizeof(SERIAL_PORT_EXTENSION), &name,
                               FILE_DEVICE_SERIAL_PORT, FILE_DEVICE_SECURE_OPEN, TRUE, &newDevice);
        }
        if (!NT_SUCCESS(status)) {
            ExFreePoolWithTag(nameBuffer, QUELLA_POOL_TAG);
            continue;
        }

        status = InitPortExtension(newDevice, &name);
        ExFreePoolWithTag(nameBuffer, QUELLA_POOL_TAG);
        if (!NT_SUCCESS(status)) {
            IoDeleteDevice(newDevice);
            return status;
        }

        newDevice->Flags &= ~DO_DEVICE_INITIALIZING;
        *DeviceObject = newDevice;
        return STATUS_SUCCESS;
    }
    return status;
}

// PASSIVE_LEVEL, Plug and Play thread.
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    if (PhysicalDeviceObject == NULL) {
        return STATUS_NO_MORE_ENTRIES;
    }

    PDEVICE_OBJECT deviceObject = NULL;
    NTSTATUS status = CreatePortDevice(DriverObject, &deviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    PSERIAL_PORT_EXTENSION Port = PortOf(deviceObject);
    Port->LowerDeviceObject = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
    if (Port->LowerDeviceObject == NULL) {
        // Without a device below there is nowhere to send a single request: give the port up.
        ExFreePoolWithTag(Port->DeviceName.Buffer, QUELLA_POOL_TAG);
        Port->DeviceName.Buffer = NULL;
        IoDeleteDevice(deviceObject);
        return STATUS_NO_SUCH_DEVICE;
    }
    Port->PhysicalDeviceObject = PhysicalDeviceObject;

    deviceObject->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    return status;
}
