// What the driver needs from the Windows platform that mingw-w64's DDK headers lack or spell
// differently. Included by platform/windows/ddk.h after the DDK headers; the emulated build
// declares the same names in emu/kernel/wdk and emu/usb/wdk.
#pragma once
