// Internals of the I/O manager shared by its source files and the application layer
// (emu/app). Not for drivers or device models.
#pragma once

#include <functional>
#include <string>

#include "emu/kernel/io_manager.h"

namespace emu::io {

// ---------------------------------------------------------------------------------------------
// IRPs (io_irp.cpp)
// ---------------------------------------------------------------------------------------------
// An application request. When its completion reaches the top of the stack, the I/O manager
// calls `on_complete` (in the completing thread, at its IRQL) and then drops it; the IRP itself
// stays allocated until ReleaseApplicationIrp, so the application may still cancel it.
// Null when no memory is left.
PIRP AllocateApplicationIrp(CCHAR stack_size, std::function<void(PIRP)> on_complete);
// Frees an application request that has completed or was never sent; one still in a driver is
// freed when it completes.
void ReleaseApplicationIrp(PIRP irp);

// False (after reporting IRP_FREED_WHILE_IN_USE) when `irp` has been freed.
bool IrpMayBeCancelled(PIRP irp);

void IrpReset();
void IrpShutdown();

// ---------------------------------------------------------------------------------------------
// Cancel spin lock (io_cancel.cpp)
// ---------------------------------------------------------------------------------------------
void CancelReset();

// ---------------------------------------------------------------------------------------------
// Devices (io_device.cpp)
// ---------------------------------------------------------------------------------------------
// Finds the device an application name leads to and counts one more open file on it
// (DEVICE_OBJECT::ReferenceCount), applying the platform's checks: a device still initializing
// or being deleted cannot be opened (STATUS_NO_SUCH_DEVICE), an exclusive device only once
// (STATUS_ACCESS_DENIED).
NTSTATUS ReferenceDeviceForOpen(const std::u16string& object_name, PDEVICE_OBJECT* device);
// Drops the count taken by ReferenceDeviceForOpen (after IRP_MJ_CLOSE, or a failed create).
void DereferenceDeviceAfterClose(PDEVICE_OBJECT device);
// Marks a device object as a physical device object with its bus driver's handler.
void SetPhysicalDeviceHandler(PDEVICE_OBJECT pdo, IrpHandler handler);
// The handler of a physical device object (empty if none).
IrpHandler PhysicalDeviceHandler(PDEVICE_OBJECT pdo);
// The name a device object was created with.
std::u16string DeviceName(PDEVICE_OBJECT device);
// Clears the records of the devices of a driver that is going away (their memory stays with
// the pool, which reclaims it when the machine stops).
void ForgetDevicesOf(PDRIVER_OBJECT driver);

// Per-device state kept for IoWMIRegistrationControl and PoSetPowerState.
bool SetWmiRegistered(PDEVICE_OBJECT device, bool registered);
DEVICE_POWER_STATE ExchangeDevicePowerState(PDEVICE_OBJECT device, DEVICE_POWER_STATE state);

// While one exists, IoCreateDevice calls of the calling thread neither count nor fail by the
// fault hooks (the platform's own device objects).
class CreateDeviceFaultsSuspended {
  public:
    CreateDeviceFaultsSuspended();
    ~CreateDeviceFaultsSuspended();
    CreateDeviceFaultsSuspended(const CreateDeviceFaultsSuspended&) = delete;
    CreateDeviceFaultsSuspended& operator=(const CreateDeviceFaultsSuspended&) = delete;
};

void DeviceReset();

// ---------------------------------------------------------------------------------------------
// Drivers (io_driver.cpp)
// ---------------------------------------------------------------------------------------------
// The default dispatch routine: completes with STATUS_INVALID_DEVICE_REQUEST.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);
void DriverReset();

// ---------------------------------------------------------------------------------------------
// Power and WMI (io_power.cpp)
// ---------------------------------------------------------------------------------------------
void PowerReset();

}  // namespace emu::io
