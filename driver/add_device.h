// Creating a port's device object and its per-start objects.
#pragma once

#include "driver/port.h"

// Creates the port for a bus device and attaches it above PhysicalDeviceObject. PASSIVE_LEVEL,
// Plug and Play thread.
DRIVER_ADD_DEVICE AddDevice;

// Creates the device object "\Device\SerialN" (N = NextDeviceNumber, advanced on every
// attempt) with a zeroed, initialized port extension. On success *DeviceObject is the new
// device object; on failure it is NULL and nothing is left behind. PASSIVE_LEVEL.
NTSTATUS CreatePortDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* DeviceObject);

// Upper bound on IoCreateDevice attempts (each with the next number) in CreatePortDevice.
constexpr ULONG PORT_CREATE_ATTEMPTS = 256;

// Initializes the port's spin locks, timers and DPCs and loads the default line settings.
// Called on every start before anything else of the port runs; members it does not list (for
// example Timeouts) keep their values across a stop and restart. PASSIVE_LEVEL.
NTSTATUS InitPortObjects(PDEVICE_OBJECT DeviceObject);
