// The DDK headers only declare the GUIDs they name with DEFINE_GUID (the COM-port device
// interface class of ntddser.h, the serial WMI blocks of wmidata.h); with initguid.h ahead of
// them, this one translation unit defines them for the image. The emulated build defines the
// same names in emu/kernel/wdk.
#include <initguid.h>

#include "platform/wdk.h"
