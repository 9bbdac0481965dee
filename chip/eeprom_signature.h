// The word a programmed chip EEPROM holds at its signature address (low byte first in the
// EEPROM). The value is this project's own choice; the driver looks for it to tell a programmed
// EEPROM from a blank one, and the emulated chip writes it when a test asks for a programmed
// EEPROM.
#pragma once

#include "platform/wdk.h"

constexpr USHORT EepromSignature = 0x5151;
