// Symbolic links and device interfaces: the names by which applications reach a device.
#include "emu/kernel/bugcheck.h"
#include "emu/kernel/io_internal.h"
#include "emu/kernel/namespace.h"
#include "emu/kernel/pool.h"
#include "emu/kernel/sched.h"

namespace {

bool AtPassive(const char* routine) {
    KIRQL irql = emu::CurrentIrql();
    if (irql != PASSIVE_LEVEL) {
        emu::BugCheck(emu::rule::kIrqlNotLessOrEqual, "%s called at IRQL %d (PASSIVE_LEVEL only)",
                      routine, irql);
        return false;
    }
    return true;
}

}  // namespace

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    if (!AtPassive("IoCreateSymbolicLink")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    return emu::NamespaceCreateLink(emu::FromUnicodeString(SymbolicLinkName),
                                    emu::FromUnicodeString(DeviceName));
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    if (!AtPassive("IoDeleteSymbolicLink")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    return emu::NamespaceDeleteLink(emu::FromUnicodeString(SymbolicLinkName));
}

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                   const GUID* InterfaceClassGuid, PUNICODE_STRING ReferenceString,
                                   PUNICODE_STRING SymbolicLinkName) {
    if (!AtPassive("IoRegisterDeviceInterface")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    // Interfaces belong to physical device objects, which the bus driver created.
    if (!PhysicalDeviceObject || !(PhysicalDeviceObject->Flags & DO_BUS_ENUMERATED_DEVICE) ||
        !InterfaceClassGuid) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::u16string link;
    NTSTATUS status = emu::NamespaceRegisterInterface(
        PhysicalDeviceObject, emu::io::DeviceName(PhysicalDeviceObject), *InterfaceClassGuid,
        emu::FromUnicodeString(ReferenceString), &link);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The caller releases the name with RtlFreeUnicodeString.
    USHORT bytes = USHORT(link.size() * sizeof(WCHAR));
    auto buffer = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), emu::kRtlStringTag));
    if (!buffer) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memcpy(buffer, link.c_str(), bytes + sizeof(WCHAR));
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = bytes;
    SymbolicLinkName->MaximumLength = USHORT(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    if (!AtPassive("IoSetDeviceInterfaceState")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    return emu::NamespaceSetInterfaceState(emu::FromUnicodeString(SymbolicLinkName), Enable != 0);
}
