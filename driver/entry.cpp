// DriverEntry and DriverUnload.
#include "driver/entry.h"

#include "driver/add_device.h"
#include "driver/globals.h"
#include "driver/routines.h"

// Installs the unload routine, AddDevice and the thirteen major functions the port serves;
// every other major function keeps the platform's default (invalid request).
static VOID InstallDispatchTable(PDRIVER_OBJECT DriverObject) {
    DriverObject->DriverUnload = DriverUnload;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    DriverObject->MajorFunction[IRP_MJ_QUERY_INFORMATION] = DispatchQueryInformation;
    DriverObject->MajorFunction[IRP_MJ_SET_INFORMATION] = DispatchSetInformation;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchFlush;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
}

// PASSIVE_LEVEL, at load. Fails only when the registry path cannot be copied.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    ResetDriverGlobals();

    // Taking the handle of the section that holds the port initialization also locks it; the
    // lock is dropped again below, the handle stays for open, close and start.
    PagedCodeHandle = MmLockPagableDataSection(reinterpret_cast<PVOID>(&ResetPort));

    PWSTR pathCopy = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, RegistryPath->MaximumLength, QUELLA_POOL_TAG));
    if (pathCopy == NULL) {
        // The load fails, so the section lock taken above must not outlive it.
        MmUnlockPagableImageSection(PagedCodeHandle);
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(pathCopy, RegistryPath->MaximumLength);
    RtlCopyMemory(pathCopy, RegistryPath->Buffer, RegistryPath->Length);
    DriverRegistryPath.Buffer = pathCopy;
    DriverRegistryPath.Length = RegistryPath->Length;
    DriverRegistryPath.MaximumLength = RegistryPath->MaximumLength;

    if (DebugBreakAtEntry != 0) {
        DbgBreakPoint();
    }
    DbgPrint("QUELLA.SYS:\t<Build: %s - %s>\n", __DATE__, __TIME__);

    InstallDispatchTable(DriverObject);

    MmUnlockPagableImageSection(PagedCodeHandle);

    // A missing or malformed value leaves the table empty; it never fails the load.
    (void)ReadExtBaudrate(RegistryPath);
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL, at unload.
VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
    UNREFERENCED_PARAMETER(DriverObject);
    if (DriverRegistryPath.Buffer != NULL) {
        ExFreePoolWithTag(DriverRegistryPath.Buffer, QUELLA_POOL_TAG);
        DriverRegistryPath.Buffer = NULL;
        DriverRegistryPath.Length = 0;
        DriverRegistryPath.MaximumLength = 0;
    }
}
