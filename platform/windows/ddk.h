// The Windows build's platform declarations: mingw-w64's DDK headers, the real ones the image
// is compiled against. They are C headers, so they are wrapped in extern "C" to give every
// platform routine C linkage (undecorated names with the stdcall/fastcall suffixes that the
// import libraries export).
#pragma once

// mingw-w64's DDK headers declare InterlockedBitTestAndSet/Reset a second time when compiled as
// C++, clashing with the compiler intrinsics that its own intrin headers already declared.
// Marking them as defined keeps the DDK's copies out.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

extern "C" {
#include <ntddk.h>
#include <wdm.h>
#include <ntddser.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <wmistr.h>
#include <wmilib.h>
#include <wmidata.h>
}

#include "platform/windows/ddk_extras.h"
