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

// ---------------------------------------------------------------------------------------------
// QUELLA_ASSERT(condition): an invariant of the driver, checked in every build. A violated one
// stops the machine. On Windows that is a bug check with code QUELLA_ASSERT_BUGCHECK and the
// line, file and condition as its parameters. On the emulated platform it is a check report
// under the rule QUELLA_ASSERT_RULE; a test that expects the rule sees the report and the
// caller goes on, so code after an assertion must survive the case it excludes.
// ---------------------------------------------------------------------------------------------
constexpr ULONG QUELLA_ASSERT_BUGCHECK = 0xE0000002u;

#if defined(QUELLA_EMU)
namespace emu {
void BugCheck(const char* rule, const char* format, ...);
}
constexpr const char QUELLA_ASSERT_RULE[] = "DRIVER_ASSERTION_FAILED";
inline void QuellaAssertionFailed(const char* condition, const char* file, int line) {
    emu::BugCheck(QUELLA_ASSERT_RULE, "assertion '%s' failed at %s:%d", condition, file, line);
}
#else
inline void QuellaAssertionFailed(const char* condition, const char* file, int line) {
    KeBugCheckEx(QUELLA_ASSERT_BUGCHECK, static_cast<ULONG_PTR>(line),
                 reinterpret_cast<ULONG_PTR>(file), reinterpret_cast<ULONG_PTR>(condition), 0);
}
#endif

#define QUELLA_ASSERT(condition) \
    ((condition) ? static_cast<void>(0) : QuellaAssertionFailed(#condition, __FILE__, __LINE__))
