// The chip fixture's sources belong to the chip test program; this program's copy.
#include "tests/chip/support/chip_fixture.cpp"
