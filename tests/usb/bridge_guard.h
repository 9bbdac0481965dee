// Makes every protocol violation of the emulated bridge chip fail the test that caused it.
// Include this header in any test file of a test program that uses BridgeChip: a chip destroyed
// with violations it still holds (not taken with TakeViolations) reports each one as a test
// failure of the running test. ExpectNoChipViolations checks at a point of the test's choosing.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "emu/usb/bridge_chip.h"

namespace bridge_guard {

inline void ReportChipViolation(const std::string& description) {
    ADD_FAILURE() << "bridge chip protocol violation: " << description;
}

// Installed once per test program, before main, by whichever file includes this header first.
inline const bool kInstalled = [] {
    emu::usb::SetViolationReporter(ReportChipViolation);
    return true;
}();

}  // namespace bridge_guard

// Fails the current test (without stopping it) for each violation the chip holds, and forgets
// them.
inline void ExpectNoChipViolations(emu::usb::BridgeChip& chip) {
    for (const emu::usb::ProtocolViolation& violation : chip.TakeViolations()) {
        ADD_FAILURE() << "bridge chip protocol violation: " << violation.Describe();
    }
}
