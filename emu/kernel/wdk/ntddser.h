#pragma once
#include "emu/kernel/wdk/ke.h"
