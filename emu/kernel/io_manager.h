// The I/O manager's C++ interface for the rest of the emulated platform and for tests: loading
// drivers, creating the bus driver's physical device objects, calling AddDevice, fault hooks
// for IoCreateDevice, and inspection of IRPs and device objects. Drivers use the WDK routines
// of emu/kernel/wdk/io.h instead.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "emu/kernel/pool.h"
#include "emu/kernel/wdk/io.h"

namespace emu {

// Pool tags of the I/O manager's own allocations (never the driver's tag).
constexpr ULONG kIrpPoolTag = PoolTag("Irp ");
constexpr ULONG kIoBufferPoolTag = PoolTag("IoBf");  // system buffers of buffered I/O
constexpr ULONG kDevicePoolTag = PoolTag("Devi");    // device objects with their extensions

// ---------------------------------------------------------------------------------------------
// Drivers
// ---------------------------------------------------------------------------------------------
struct LoadedDriver {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = nullptr;  // null when DriverEntry failed
};

// "\Registry\Machine\System\CurrentControlSet\Services\<service_name>".
std::u16string ServiceKeyPath(const std::string& service_name);

// Creates the driver object "\Driver\<service_name>" (every major function answers
// STATUS_INVALID_DEVICE_REQUEST until DriverEntry installs its own) and calls `entry` at
// PASSIVE_LEVEL with the service key path. When DriverEntry fails the driver object is deleted
// and, if `pool_tag` is not 0, the pool must hold no block of that tag.
// From an emulated thread at PASSIVE_LEVEL.
LoadedDriver LoadDriver(PDRIVER_INITIALIZE entry, const std::string& service_name,
                        ULONG pool_tag = 0);

// Calls DriverUnload, checks that the driver left no device object behind and, if the driver
// was loaded with a pool tag, that no pool block of that tag is left (POOL_LEAK_AT_UNLOAD).
// Deletes the driver object. True when nothing was left behind.
bool UnloadDriver(PDRIVER_OBJECT driver);

// Runs DriverExtension->AddDevice for `pdo` at PASSIVE_LEVEL and returns its status.
NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);

// The driver objects currently loaded (bus driver included).
std::vector<PDRIVER_OBJECT> LoadedDrivers();

// ---------------------------------------------------------------------------------------------
// Physical device objects
// ---------------------------------------------------------------------------------------------
// Answers every IRP sent to one physical device object, as its bus driver's dispatch routine
// would: it completes the IRP (or pends it) and returns the dispatch status.
using IrpHandler = std::function<NTSTATUS(PDEVICE_OBJECT device, PIRP irp)>;

// Creates a physical device object ("\Device\EmuPdo-<n>", DO_BUS_ENUMERATED_DEVICE, initialized)
// owned by the platform's bus driver "\Driver\EmuBus", whose dispatch routines pass every IRP
// to `handler`. From an emulated thread at PASSIVE_LEVEL.
PDEVICE_OBJECT CreatePhysicalDevice(IrpHandler handler, ULONG extension_size = 0);
// Deletes it (IoDeleteDevice); its memory goes once nothing refers to it any more.
void DeletePhysicalDevice(PDEVICE_OBJECT pdo);

// What a bus driver does with a request it has nothing to add to: Plug and Play requests are
// completed with the status already in the IRP (STATUS_SUCCESS for the state changes a bus
// driver must accept), power requests with STATUS_SUCCESS, everything else with
// STATUS_INVALID_DEVICE_REQUEST. A handler can fall back on it.
NTSTATUS CompleteLikeBusDriver(PDEVICE_OBJECT device, PIRP irp);

// Sets the IRP's status block and completes it; returns `status`.
NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

// ---------------------------------------------------------------------------------------------
// IoCreateDevice fault injection
// ---------------------------------------------------------------------------------------------
// The n-th IoCreateDevice from now (1 = the next one) fails with `status`.
void FailCreateDeviceNth(int n, NTSTATUS status);
// Every IoCreateDevice fails with `status` until the faults are cleared.
void FailEveryCreateDevice(NTSTATUS status);
void ClearCreateDeviceFaults();
// IoCreateDevice calls since the machine started (failed ones included).
uint64_t CreateDeviceCalls();

// ---------------------------------------------------------------------------------------------
// Inspection
// ---------------------------------------------------------------------------------------------
// IRPs allocated and not yet freed (IoAllocateIrp, IoBuildDeviceIoControlRequest and
// application requests).
size_t LiveIrpCount();
// True while `irp` is allocated and not freed.
bool IrpIsLive(PIRP irp);
// True when the calling thread holds the cancel spin lock.
bool CancelSpinLockHeld();
// The cancel spin lock itself (for lock-order tests).
PKSPIN_LOCK CancelSpinLock();

// The device objects of a driver, newest first (the driver object's DeviceObject list).
std::vector<PDEVICE_OBJECT> DevicesOf(PDRIVER_OBJECT driver);
// The device `device` is attached to (the next lower device of its stack), or null.
PDEVICE_OBJECT LowerDeviceOf(PDEVICE_OBJECT device);
// The name a device was created with ("" when unnamed).
std::string DeviceNameOf(PDEVICE_OBJECT device);
// True while a device object exists and has not been deleted.
bool DeviceExists(PDEVICE_OBJECT device);
// WMI registration state set by IoWMIRegistrationControl.
bool WmiRegistered(PDEVICE_OBJECT device);
// The device power state last reported with PoSetPowerState (PowerDeviceUnspecified if none).
DEVICE_POWER_STATE ReportedDevicePowerState(PDEVICE_OBJECT device);
// PoStartNextPowerIrp calls since the machine started.
uint64_t StartNextPowerIrpCalls();

}  // namespace emu
