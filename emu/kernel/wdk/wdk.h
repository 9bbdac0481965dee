// Every declaration of the emulated platform that the driver may use.
#pragma once

#include "emu/kernel/wdk/ntdef.h"
#include "emu/kernel/wdk/ke.h"
#include "emu/kernel/wdk/rtl.h"
#include "emu/kernel/wdk/io.h"
#include "emu/kernel/wdk/ntddser.h"
#include "emu/kernel/wdk/wmilib.h"
#include "emu/kernel/wdk/wmidata.h"
#include "emu/usb/wdk/usb.h"
