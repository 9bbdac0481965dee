// The Plug and Play manager of the emulated platform: it drives a device's life as Windows
// does, by sending IRP_MJ_PNP requests to the top of the device's stack from the calling thread
// (the "PnP thread", PASSIVE_LEVEL) and waiting for each to complete.
//
// The sequences follow the platform:
//   plug:            AddDevice, IRP_MN_START_DEVICE, then the capability, hardware-ID and
//                    device-state queries;
//   stop:            IRP_MN_QUERY_STOP_DEVICE, then IRP_MN_STOP_DEVICE, or
//                    IRP_MN_CANCEL_STOP_DEVICE when a driver refused the query;
//   removal:         IRP_MN_QUERY_REMOVE_DEVICE, then IRP_MN_REMOVE_DEVICE, or
//                    IRP_MN_CANCEL_REMOVE_DEVICE when refused;
//   surprise removal: IRP_MN_SURPRISE_REMOVAL, then IRP_MN_REMOVE_DEVICE once the test says the
//                    last handle is closed.
// Each step can also be sent on its own, for tests of the in-between states.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "emu/kernel/wdk/io.h"

namespace emu {

struct PnpResult {
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    ULONG_PTR information = 0;
};

// Sends one Plug and Play request with the given minor function to the top of `pdo`'s stack and
// waits for it. The request starts with STATUS_NOT_SUPPORTED in its status block, as the
// platform sends it; `prepare` may fill its parameters. Never returns STATUS_PENDING.
PnpResult SendPnp(PDEVICE_OBJECT pdo, UCHAR minor,
                  const std::function<void(PIO_STACK_LOCATION)>& prepare = nullptr);

// The device's capabilities as the stack reports them (the request's status in *status).
DEVICE_CAPABILITIES PnpQueryCapabilities(PDEVICE_OBJECT pdo, NTSTATUS* status = nullptr);
// The hardware (or compatible) IDs the stack reports; the platform frees the list.
std::vector<std::u16string> PnpQueryIds(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type,
                                        NTSTATUS* status = nullptr);

// Plug: AddDevice for `driver`, then start. Returns the first failure or the start's status.
NTSTATUS PnpPlug(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
// IRP_MN_START_DEVICE followed by the queries the platform makes after a start.
NTSTATUS PnpStart(PDEVICE_OBJECT pdo);
// Query-stop then stop; on a refused query, cancel-stop and the query's status.
NTSTATUS PnpStop(PDEVICE_OBJECT pdo);
// Query-remove then remove; on a refused query, cancel-remove and the query's status.
NTSTATUS PnpRemove(PDEVICE_OBJECT pdo);
// Surprise removal, then removal.
NTSTATUS PnpSurpriseRemove(PDEVICE_OBJECT pdo);

}  // namespace emu
