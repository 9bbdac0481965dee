// Device objects: creation and deletion, device stacks, object references, opens, and the
// IoCreateDevice fault hooks.
//
// A deleted device object leaves the namespace and its driver's list at once; its memory goes
// when nothing refers to it any more (open files, object references, a device still attached
// above it), as on the platform.
#include <algorithm>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "emu/kernel/bugcheck.h"
#include "emu/kernel/io_internal.h"
#include "emu/kernel/namespace.h"
#include "emu/kernel/sched.h"

namespace emu {
namespace {

struct DeviceRec {
    std::u16string name;
    PDEVICE_OBJECT attached_to = nullptr;  // the next lower device of the stack
    bool deleted = false;
    LONG pointer_refs = 0;  // ObReferenceObject
    IrpHandler pdo_handler;
    bool wmi_registered = false;
    DEVICE_POWER_STATE power = PowerDeviceUnspecified;
};

struct Devices {
    std::mutex mu;
    std::unordered_map<PDEVICE_OBJECT, DeviceRec> recs;
    uint64_t create_calls = 0;
    int fail_countdown = 0;
    NTSTATUS fail_nth_status = STATUS_SUCCESS;
    bool fail_every = false;
    NTSTATUS fail_every_status = STATUS_SUCCESS;
};

Devices& D() {
    static Devices* devices = new Devices;
    return *devices;
}

DeviceRec* FindLocked(PDEVICE_OBJECT device) {
    auto it = D().recs.find(device);
    return it == D().recs.end() ? nullptr : &it->second;
}

// Frees a deleted device object once nothing refers to it. Returns the memory to release after
// the lock is dropped, or null.
PDEVICE_OBJECT CollectIfUnusedLocked(PDEVICE_OBJECT device) {
    DeviceRec* rec = FindLocked(device);
    if (!rec || !rec->deleted || rec->pointer_refs != 0 || device->ReferenceCount != 0 ||
        device->AttachedDevice != nullptr) {
        return nullptr;
    }
    D().recs.erase(device);
    return device;
}

void Release(PDEVICE_OBJECT device) {
    if (device) {
        ExFreePoolWithTag(device, kDevicePoolTag);
    }
}

bool AtPassive(const char* routine) {
    KIRQL irql = CurrentIrql();
    if (irql != PASSIVE_LEVEL) {
        BugCheck(rule::kIrqlNotLessOrEqual, "%s called at IRQL %d (PASSIVE_LEVEL only)", routine,
                 irql);
        return false;
    }
    return true;
}

thread_local int t_faults_suspended = 0;

// The fault hooks decide whether this IoCreateDevice fails, and with what.
NTSTATUS InjectedCreateFailure() {
    if (t_faults_suspended) {
        return STATUS_SUCCESS;
    }
    std::lock_guard<std::mutex> lock(D().mu);
    ++D().create_calls;
    if (D().fail_countdown > 0 && --D().fail_countdown == 0) {
        return D().fail_nth_status;
    }
    if (D().fail_every) {
        return D().fail_every_status;
    }
    return STATUS_SUCCESS;
}

}  // namespace

namespace io {

NTSTATUS ReferenceDeviceForOpen(const std::u16string& object_name, PDEVICE_OBJECT* device) {
    std::lock_guard<std::mutex> lock(D().mu);
    PDEVICE_OBJECT found = NamespaceResolve(object_name);
    if (!found) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    DeviceRec* rec = FindLocked(found);
    if (!rec || rec->deleted || (found->Flags & DO_DEVICE_INITIALIZING)) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if ((found->Flags & DO_EXCLUSIVE) && found->ReferenceCount != 0) {
        return STATUS_ACCESS_DENIED;
    }
    ++found->ReferenceCount;
    *device = found;
    return STATUS_SUCCESS;
}

void DereferenceDeviceAfterClose(PDEVICE_OBJECT device) {
    PDEVICE_OBJECT doomed = nullptr;
    {
        std::lock_guard<std::mutex> lock(D().mu);
        if (device->ReferenceCount > 0) {
            --device->ReferenceCount;
        }
        doomed = CollectIfUnusedLocked(device);
    }
    Release(doomed);
}

void SetPhysicalDeviceHandler(PDEVICE_OBJECT pdo, IrpHandler handler) {
    std::lock_guard<std::mutex> lock(D().mu);
    if (DeviceRec* rec = FindLocked(pdo)) {
        rec->pdo_handler = std::move(handler);
    }
}

IrpHandler PhysicalDeviceHandler(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> lock(D().mu);
    DeviceRec* rec = FindLocked(pdo);
    return rec ? rec->pdo_handler : IrpHandler{};
}

std::u16string DeviceName(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> lock(D().mu);
    DeviceRec* rec = FindLocked(device);
    return rec ? rec->name : std::u16string();
}

void ForgetDevicesOf(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> lock(D().mu);
    for (auto it = D().recs.begin(); it != D().recs.end();) {
        it = it->first->DriverObject == driver ? D().recs.erase(it) : std::next(it);
    }
}

bool SetWmiRegistered(PDEVICE_OBJECT device, bool registered) {
    std::lock_guard<std::mutex> lock(D().mu);
    DeviceRec* rec = FindLocked(device);
    if (!rec) {
        return false;
    }
    rec->wmi_registered = registered;
    return true;
}

DEVICE_POWER_STATE ExchangeDevicePowerState(PDEVICE_OBJECT device, DEVICE_POWER_STATE state) {
    std::lock_guard<std::mutex> lock(D().mu);
    DeviceRec* rec = FindLocked(device);
    if (!rec) {
        return PowerDeviceUnspecified;
    }
    DEVICE_POWER_STATE old = rec->power;
    rec->power = state;
    return old;
}

CreateDeviceFaultsSuspended::CreateDeviceFaultsSuspended() {
    ++t_faults_suspended;
}

CreateDeviceFaultsSuspended::~CreateDeviceFaultsSuspended() {
    --t_faults_suspended;
}

void DeviceReset() {
    std::lock_guard<std::mutex> lock(D().mu);
    // Device memory belongs to the pool, which is reset with the machine.
    D().recs.clear();
    D().create_calls = 0;
    D().fail_countdown = 0;
    D().fail_every = false;
}

}  // namespace io

void FailCreateDeviceNth(int n, NTSTATUS status) {
    std::lock_guard<std::mutex> lock(D().mu);
    D().fail_countdown = n;
    D().fail_nth_status = status;
}

void FailEveryCreateDevice(NTSTATUS status) {
    std::lock_guard<std::mutex> lock(D().mu);
    D().fail_every = true;
    D().fail_every_status = status;
}

void ClearCreateDeviceFaults() {
    std::lock_guard<std::mutex> lock(D().mu);
    D().fail_countdown = 0;
    D().fail_every = false;
}

uint64_t CreateDeviceCalls() {
    std::lock_guard<std::mutex> lock(D().mu);
    return D().create_calls;
}

std::vector<PDEVICE_OBJECT> DevicesOf(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> lock(D().mu);
    std::vector<PDEVICE_OBJECT> devices;
    for (PDEVICE_OBJECT d = driver ? driver->DeviceObject : nullptr; d; d = d->NextDevice) {
        devices.push_back(d);
    }
    return devices;
}

PDEVICE_OBJECT LowerDeviceOf(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> lock(D().mu);
    DeviceRec* rec = FindLocked(device);
    return rec ? rec->attached_to : nullptr;
}

std::string DeviceNameOf(PDEVICE_OBJECT device) {
    return ToNarrow(io::DeviceName(device));
}

bool DeviceExists(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> lock(D().mu);
    DeviceRec* rec = FindLocked(device);
    return rec && !rec->deleted;
}

bool WmiRegistered(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> lock(D().mu);
    DeviceRec* rec = FindLocked(device);
    return rec && rec->wmi_registered;
}

DEVICE_POWER_STATE ReportedDevicePowerState(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> lock(D().mu);
    DeviceRec* rec = FindLocked(device);
    return rec ? rec->power : PowerDeviceUnspecified;
}

}  // namespace emu

using emu::BugCheck;
using emu::D;
using emu::DeviceRec;
namespace rule = emu::rule;

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
    *DeviceObject = nullptr;
    if (!emu::AtPassive("IoCreateDevice")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (!DriverObject) {
        BugCheck(rule::kInvalidParameter, "IoCreateDevice without a driver object");
        return STATUS_INVALID_PARAMETER;
    }
    if (NTSTATUS injected = emu::InjectedCreateFailure(); !NT_SUCCESS(injected)) {
        return injected;
    }
    std::u16string name = emu::FromUnicodeString(DeviceName);
    if (DeviceName && name.empty()) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    // The extension follows the device object, aligned as pool allocations are.
    size_t header = (sizeof(DEVICE_OBJECT) + 15) & ~size_t(15);
    size_t total = header + DeviceExtensionSize;
    auto device = static_cast<PDEVICE_OBJECT>(
        ExAllocatePoolWithTag(NonPagedPool, total, emu::kDevicePoolTag));
    if (!device) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memset(device, 0, total);
    device->Type = IO_TYPE_DEVICE;
    device->Size = USHORT(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING;
    if (Exclusive) {
        device->Flags |= DO_EXCLUSIVE;
    }
    if (!name.empty()) {
        device->Flags |= DO_DEVICE_HAS_NAME;
    }
    device->Characteristics = DeviceCharacteristics;
    device->DeviceExtension =
        DeviceExtensionSize ? reinterpret_cast<char*>(device) + header : nullptr;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    InitializeListHead(&device->Queue.ListEntry);
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);

    std::lock_guard<std::mutex> lock(D().mu);
    if (!name.empty()) {
        NTSTATUS status = emu::NamespaceInsertDevice(name, device);
        if (!NT_SUCCESS(status)) {
            ExFreePoolWithTag(device, emu::kDevicePoolTag);
            return status;
        }
    }
    DeviceRec rec;
    rec.name = name;
    D().recs[device] = std::move(rec);
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    if (!emu::AtPassive("IoDeleteDevice")) {
        return;
    }
    PDEVICE_OBJECT doomed = nullptr;
    {
        std::lock_guard<std::mutex> lock(D().mu);
        DeviceRec* rec = emu::FindLocked(DeviceObject);
        if (!rec || rec->deleted) {
            BugCheck(rule::kInvalidParameter,
                     "IoDeleteDevice of %p, which is not a device object or is already deleted",
                     static_cast<void*>(DeviceObject));
            return;
        }
        if (rec->attached_to) {
            BugCheck(rule::kInvalidParameter,
                     "IoDeleteDevice of %p while it is still attached to %p (IoDetachDevice "
                     "comes first)",
                     static_cast<void*>(DeviceObject), static_cast<void*>(rec->attached_to));
            return;
        }
        rec->deleted = true;
        for (PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject; *link;
             link = &(*link)->NextDevice) {
            if (*link == DeviceObject) {
                *link = DeviceObject->NextDevice;
                break;
            }
        }
        DeviceObject->NextDevice = nullptr;
        emu::NamespaceRemoveDevice(DeviceObject);
        emu::NamespaceRemoveInterfacesOf(DeviceObject);
        doomed = emu::CollectIfUnusedLocked(DeviceObject);
    }
    emu::Release(doomed);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                           PDEVICE_OBJECT TargetDevice) {
    std::lock_guard<std::mutex> lock(D().mu);
    DeviceRec* source = emu::FindLocked(SourceDevice);
    if (!source || !emu::FindLocked(TargetDevice)) {
        BugCheck(rule::kInvalidParameter, "IoAttachDeviceToDeviceStack(%p, %p): not device objects",
                 static_cast<void*>(SourceDevice), static_cast<void*>(TargetDevice));
        return nullptr;
    }
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice) {
        top = top->AttachedDevice;
    }
    DeviceRec* top_rec = emu::FindLocked(top);
    if (!top_rec || top_rec->deleted || top == SourceDevice) {
        return nullptr;
    }
    if (top->StackSize + 1 > EMU_IRP_MAX_STACK_SIZE) {
        BugCheck(rule::kIrpStackOverflow, "device stack deeper than %d", EMU_IRP_MAX_STACK_SIZE);
        return nullptr;
    }
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = CCHAR(top->StackSize + 1);
    SourceDevice->AlignmentRequirement =
        std::max(SourceDevice->AlignmentRequirement, top->AlignmentRequirement);
    source->attached_to = top;
    return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    PDEVICE_OBJECT doomed = nullptr;
    {
        std::lock_guard<std::mutex> lock(D().mu);
        PDEVICE_OBJECT upper = TargetDevice ? TargetDevice->AttachedDevice : nullptr;
        if (!upper) {
            BugCheck(rule::kInvalidParameter, "IoDetachDevice(%p): nothing is attached to it",
                     static_cast<void*>(TargetDevice));
            return;
        }
        if (DeviceRec* rec = emu::FindLocked(upper)) {
            rec->attached_to = nullptr;
        }
        TargetDevice->AttachedDevice = nullptr;
        doomed = emu::CollectIfUnusedLocked(TargetDevice);
    }
    emu::Release(doomed);
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
    std::lock_guard<std::mutex> lock(D().mu);
    PDEVICE_OBJECT top = DeviceObject;
    while (top && top->AttachedDevice) {
        top = top->AttachedDevice;
    }
    return top;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    std::lock_guard<std::mutex> lock(D().mu);
    PDEVICE_OBJECT top = DeviceObject;
    while (top && top->AttachedDevice) {
        top = top->AttachedDevice;
    }
    if (DeviceRec* rec = emu::FindLocked(top)) {
        ++rec->pointer_refs;
    }
    return top;
}

// Only device objects are reference-counted on this platform; for other objects the calls
// are accepted and change nothing.
LONG_PTR ObfReferenceObject(PVOID Object) {
    std::lock_guard<std::mutex> lock(D().mu);
    DeviceRec* rec = emu::FindLocked(static_cast<PDEVICE_OBJECT>(Object));
    return rec ? ++rec->pointer_refs : 1;
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
    PDEVICE_OBJECT doomed = nullptr;
    LONG_PTR left = 0;
    {
        std::lock_guard<std::mutex> lock(D().mu);
        auto device = static_cast<PDEVICE_OBJECT>(Object);
        DeviceRec* rec = emu::FindLocked(device);
        if (!rec) {
            return 0;
        }
        if (rec->pointer_refs == 0) {
            BugCheck(rule::kInvalidParameter,
                     "ObDereferenceObject of device %p without a matching reference", Object);
            return 0;
        }
        left = --rec->pointer_refs;
        doomed = emu::CollectIfUnusedLocked(device);
    }
    emu::Release(doomed);
    return left;
}
