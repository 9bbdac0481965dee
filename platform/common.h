// Declarations the driver needs on both builds that the platform headers do not supply
// (or supply differently); included after the platform's own headers.
#pragma once

// ---------------------------------------------------------------------------------------------
// The standard serial-port WMI data blocks (wmidata.h on both builds) cross the WMI interface:
// their layouts must be the platform's.
// ---------------------------------------------------------------------------------------------
static_assert(sizeof(SERIAL_WMI_COMM_DATA) == 64, "the WMI comm block is 64 bytes");
static_assert(sizeof(SERIAL_WMI_HW_DATA) == 40, "the WMI hardware block is 40 bytes");
static_assert(sizeof(SERIAL_WMI_PERF_DATA) == 24, "the WMI performance block is 24 bytes");
