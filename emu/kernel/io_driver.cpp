// Driver objects: loading and unloading a driver, AddDevice, and the platform's own bus driver
// whose physical device objects pass their IRPs to a C++ handler.
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "emu/kernel/bugcheck.h"
#include "emu/kernel/io_internal.h"
#include "emu/kernel/namespace.h"
#include "emu/kernel/pool.h"
#include "emu/kernel/sched.h"

namespace emu {
namespace {

struct DriverRec {
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string name;           // "\Driver\<service>"
    std::u16string service;        // "<service>"
    std::u16string registry_path;  // the service key
    std::u16string hardware_database;
    UNICODE_STRING registry_path_string{};
    UNICODE_STRING hardware_database_string{};
    ULONG pool_tag = 0;
};

struct Drivers {
    std::mutex mu;
    std::vector<std::unique_ptr<DriverRec>> list;
    PDRIVER_OBJECT bus = nullptr;
    uint64_t pdo_count = 0;
};

Drivers& R() {
    static Drivers* drivers = new Drivers;
    return *drivers;
}

UNICODE_STRING View(const std::u16string& text) {
    UNICODE_STRING s;
    s.Length = USHORT(text.size() * sizeof(WCHAR));
    s.MaximumLength = USHORT(s.Length + sizeof(WCHAR));
    s.Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t*>(text.c_str()));
    return s;
}

PDRIVER_OBJECT NewDriver(const std::string& service, ULONG pool_tag) {
    auto rec = std::make_unique<DriverRec>();
    rec->service = ToU16(service);
    rec->name = u"\\Driver\\" + rec->service;
    rec->registry_path = ServiceKeyPath(service);
    rec->hardware_database = u"\\Registry\\Machine\\Hardware\\Description\\System";
    rec->registry_path_string = View(rec->registry_path);
    rec->hardware_database_string = View(rec->hardware_database);
    rec->pool_tag = pool_tag;
    DRIVER_OBJECT& d = rec->object;
    d.Type = IO_TYPE_DRIVER;
    d.Size = sizeof(DRIVER_OBJECT);
    d.DriverExtension = &rec->extension;
    d.DriverName = View(rec->name);
    d.HardwareDatabase = &rec->hardware_database_string;
    for (PDRIVER_DISPATCH& entry : d.MajorFunction) {
        entry = io::InvalidDeviceRequest;
    }
    rec->extension.DriverObject = &d;
    rec->extension.ServiceKeyName = View(rec->service);
    PDRIVER_OBJECT object = &rec->object;
    std::lock_guard<std::mutex> lock(R().mu);
    R().list.push_back(std::move(rec));
    return object;
}

DriverRec* FindLocked(PDRIVER_OBJECT driver) {
    for (auto& rec : R().list) {
        if (&rec->object == driver) {
            return rec.get();
        }
    }
    return nullptr;
}

void RemoveDriver(PDRIVER_OBJECT driver) {
    std::unique_ptr<DriverRec> doomed;
    std::lock_guard<std::mutex> lock(R().mu);
    for (auto it = R().list.begin(); it != R().list.end(); ++it) {
        if (&(*it)->object == driver) {
            doomed = std::move(*it);
            R().list.erase(it);
            return;
        }
    }
}

bool CheckCaller(const char* routine) {
    if (!IsEmulatedThread()) {
        BugCheck(rule::kNotEmulatedThread, "%s called on a thread that is not emulated", routine);
        return false;
    }
    if (CurrentIrql() != PASSIVE_LEVEL) {
        BugCheck(rule::kIrqlNotLessOrEqual, "%s called at IRQL %d (PASSIVE_LEVEL only)", routine,
                 CurrentIrql());
        return false;
    }
    return true;
}

void CheckBackAtPassive(const char* routine) {
    if (CurrentIrql() != PASSIVE_LEVEL) {
        BugCheck(rule::kIrqlMismatch, "%s returned at IRQL %d instead of PASSIVE_LEVEL", routine,
                 CurrentIrql());
    }
}

std::string DeviceList(const std::vector<PDEVICE_OBJECT>& devices) {
    std::string text;
    for (PDEVICE_OBJECT d : devices) {
        char item[64];
        std::snprintf(item, sizeof item, "%s%p", text.empty() ? "" : ", ", static_cast<void*>(d));
        text += item;
        std::string name = DeviceNameOf(d);
        if (!name.empty()) {
            text += " " + name;
        }
    }
    return text;
}

NTSTATUS NTAPI BusDispatch(PDEVICE_OBJECT device, PIRP irp) {
    IrpHandler handler = io::PhysicalDeviceHandler(device);
    return handler ? handler(device, irp) : CompleteLikeBusDriver(device, irp);
}

PDRIVER_OBJECT BusDriver() {
    {
        std::lock_guard<std::mutex> lock(R().mu);
        if (R().bus) {
            return R().bus;
        }
    }
    PDRIVER_OBJECT bus = NewDriver("EmuBus", 0);
    for (PDRIVER_DISPATCH& entry : bus->MajorFunction) {
        entry = BusDispatch;
    }
    std::lock_guard<std::mutex> lock(R().mu);
    R().bus = bus;
    return bus;
}

}  // namespace

namespace io {

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp) {
    return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
}

void DriverReset() {
    std::lock_guard<std::mutex> lock(R().mu);
    R().list.clear();
    R().bus = nullptr;
    R().pdo_count = 0;
}

}  // namespace io

std::u16string ServiceKeyPath(const std::string& service_name) {
    return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + ToU16(service_name);
}

LoadedDriver LoadDriver(PDRIVER_INITIALIZE entry, const std::string& service_name, ULONG pool_tag) {
    LoadedDriver result;
    if (!CheckCaller("LoadDriver")) {
        return result;
    }
    PDRIVER_OBJECT driver = NewDriver(service_name, pool_tag);
    DriverRec* rec;
    {
        std::lock_guard<std::mutex> lock(R().mu);
        rec = FindLocked(driver);
    }
    driver->DriverInit = entry;
    result.status = entry(driver, &rec->registry_path_string);
    CheckBackAtPassive("DriverEntry");
    if (NT_SUCCESS(result.status)) {
        result.driver = driver;
        return result;
    }
    // A driver whose entry fails is unloaded without its unload routine: it must have undone
    // everything itself.
    std::vector<PDEVICE_OBJECT> left = DevicesOf(driver);
    if (!left.empty()) {
        BugCheck(rule::kInvalidParameter, "DriverEntry of %s failed (0x%08X) and left devices: %s",
                 service_name.c_str(), unsigned(result.status), DeviceList(left).c_str());
        return result;  // the driver object stays, since the devices point to it
    }
    if (pool_tag) {
        PoolCheckNoLeaks(pool_tag);
    }
    RemoveDriver(driver);
    return result;
}

bool UnloadDriver(PDRIVER_OBJECT driver) {
    if (!CheckCaller("UnloadDriver")) {
        return false;
    }
    ULONG pool_tag;
    std::string service;
    {
        std::lock_guard<std::mutex> lock(R().mu);
        DriverRec* rec = FindLocked(driver);
        if (!rec || driver == R().bus) {
            BugCheck(rule::kInvalidParameter, "UnloadDriver(%p): not a loaded driver",
                     static_cast<void*>(driver));
            return false;
        }
        pool_tag = rec->pool_tag;
        service = ToNarrow(rec->service);
    }
    if (driver->DriverUnload) {
        driver->DriverUnload(driver);
        CheckBackAtPassive("DriverUnload");
    }
    std::vector<PDEVICE_OBJECT> left = DevicesOf(driver);
    if (!left.empty()) {
        BugCheck(rule::kInvalidParameter, "driver %s unloaded with device objects left: %s",
                 service.c_str(), DeviceList(left).c_str());
        return false;  // the driver object stays, since the devices point to it
    }
    bool clean = pool_tag == 0 || PoolCheckNoLeaks(pool_tag);
    RemoveDriver(driver);
    return clean;
}

NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    if (!CheckCaller("CallAddDevice")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    PDRIVER_ADD_DEVICE add_device =
        driver && driver->DriverExtension ? driver->DriverExtension->AddDevice : nullptr;
    if (!add_device) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status = add_device(driver, pdo);
    CheckBackAtPassive("AddDevice");
    return status;
}

std::vector<PDRIVER_OBJECT> LoadedDrivers() {
    std::lock_guard<std::mutex> lock(R().mu);
    std::vector<PDRIVER_OBJECT> drivers;
    for (auto& rec : R().list) {
        drivers.push_back(&rec->object);
    }
    return drivers;
}

PDEVICE_OBJECT CreatePhysicalDevice(IrpHandler handler, ULONG extension_size) {
    if (!CheckCaller("CreatePhysicalDevice")) {
        return nullptr;
    }
    PDRIVER_OBJECT bus = BusDriver();
    uint64_t number;
    {
        std::lock_guard<std::mutex> lock(R().mu);
        number = ++R().pdo_count;
    }
    std::u16string name = u"\\Device\\EmuPdo-" + ToU16(std::to_string(number));
    UNICODE_STRING name_string = View(name);
    // The bus driver's own device objects are not subject to the IoCreateDevice fault hooks,
    // which are meant for the driver under test.
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status;
    {
        io::CreateDeviceFaultsSuspended suspend;
        status = IoCreateDevice(bus, extension_size, &name_string, FILE_DEVICE_UNKNOWN,
                                FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    }
    if (!NT_SUCCESS(status)) {
        return nullptr;
    }
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    io::SetPhysicalDeviceHandler(pdo, std::move(handler));
    return pdo;
}

void DeletePhysicalDevice(PDEVICE_OBJECT pdo) {
    IoDeleteDevice(pdo);
}

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS CompleteLikeBusDriver(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (sp->MajorFunction) {
        case IRP_MJ_PNP:
            switch (sp->MinorFunction) {
                case IRP_MN_START_DEVICE:
                case IRP_MN_QUERY_STOP_DEVICE:
                case IRP_MN_STOP_DEVICE:
                case IRP_MN_CANCEL_STOP_DEVICE:
                case IRP_MN_QUERY_REMOVE_DEVICE:
                case IRP_MN_CANCEL_REMOVE_DEVICE:
                case IRP_MN_REMOVE_DEVICE:
                case IRP_MN_SURPRISE_REMOVAL:
                    status = STATUS_SUCCESS;
                    break;
                default:
                    break;  // the status the sender put in stays
            }
            return CompleteIrp(irp, status, irp->IoStatus.Information);
        case IRP_MJ_POWER:
            PoStartNextPowerIrp(irp);
            status = sp->MinorFunction == IRP_MN_WAIT_WAKE ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
            return CompleteIrp(irp, status);
        case IRP_MJ_SYSTEM_CONTROL:
            return CompleteIrp(irp, status, irp->IoStatus.Information);
        case IRP_MJ_CREATE:
        case IRP_MJ_CLEANUP:
        case IRP_MJ_CLOSE:
            return CompleteIrp(irp, STATUS_SUCCESS);
        default:
            return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

}  // namespace emu
