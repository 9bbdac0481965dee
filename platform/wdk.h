// The one place where the two builds differ: the driver includes this header for every
// platform declaration it uses. The Windows build takes mingw-w64's DDK headers; the Linux
// build takes the emulated platform's declarations, which spell every type, member and
// routine as the WDK does.
#pragma once

#if defined(QUELLA_EMU)
#include "emu/kernel/wdk/wdk.h"
#else
#include "platform/windows/ddk.h"
#endif

#include "platform/common.h"
