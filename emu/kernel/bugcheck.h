// The emulated platform's checks. A violated rule stops the test with a bug-check message
// that names the rule and the place, unless the test has said it expects that rule (the
// platform's own tests of the checks do): then the report is recorded, the call that broke
// the rule returns without doing the offending operation, and the test goes on.
#pragma once

#include <string>

namespace emu {

// Rule names, used in messages and by tests that expect a check to fire.
namespace rule {
constexpr const char* kIrqlNotLessOrEqual = "IRQL_NOT_LESS_OR_EQUAL";  // call at too high IRQL
constexpr const char* kWaitAtRaisedIrql = "WAIT_AT_RAISED_IRQL";
constexpr const char* kIrqlMismatch = "IRQL_MISMATCH";  // KeLowerIrql to a higher level, etc.
constexpr const char* kSpinLockNotOwned = "SPIN_LOCK_NOT_OWNED";
constexpr const char* kSpinLockWrongIrql = "SPIN_LOCK_RELEASED_AT_WRONG_IRQL";
constexpr const char* kSpinLockRecursion = "SPIN_LOCK_ALREADY_OWNED";
constexpr const char* kSpinLockReinitialized = "SPIN_LOCK_INITIALIZED_WHILE_HELD";
constexpr const char* kLockOrderInversion = "LOCK_ORDER_INVERSION";
constexpr const char* kMutexNotOwned = "FAST_MUTEX_NOT_OWNED";
constexpr const char* kIrpCompletedTwice = "IRP_COMPLETED_TWICE";
constexpr const char* kIrpCancelRoutineSet = "IRP_COMPLETED_WITH_CANCEL_ROUTINE";
constexpr const char* kPendingNotMarked = "PENDING_RETURNED_NOT_MARKED";
constexpr const char* kIrpStackOverflow = "NO_MORE_IRP_STACK_LOCATIONS";
constexpr const char* kIrpFreedInUse = "IRP_FREED_WHILE_IN_USE";
constexpr const char* kPoolDoubleFree = "POOL_DOUBLE_FREE";
constexpr const char* kPoolWrongTag = "POOL_FREED_WITH_WRONG_TAG";
constexpr const char* kPoolBadAddress = "POOL_BAD_ADDRESS";
constexpr const char* kPoolLeakAtUnload = "POOL_LEAK_AT_UNLOAD";
constexpr const char* kPagedCodeAtRaisedIrql = "PAGED_CODE_AT_RAISED_IRQL";
constexpr const char* kDpcQueueMisuse = "DPC_MISUSE";
constexpr const char* kDeadlock = "DEADLOCK";  // every thread blocked and nothing due
constexpr const char* kNotEmulatedThread = "NOT_AN_EMULATED_THREAD";
constexpr const char* kInvalidParameter = "INVALID_PARAMETER";  // a platform call misused
}  // namespace rule

// Reports a violation of `rule`. Returns only when a test expects the rule.
void BugCheck(const char* rule, const char* format, ...) __attribute__((format(printf, 2, 3)));

// While alive, bug checks of `rule` are recorded instead of stopping the test.
class ExpectBugCheck {
  public:
    explicit ExpectBugCheck(std::string rule);
    ~ExpectBugCheck();
    ExpectBugCheck(const ExpectBugCheck&) = delete;
    ExpectBugCheck& operator=(const ExpectBugCheck&) = delete;

    int Count() const;
    std::string LastMessage() const;

  private:
    std::string rule_;
};

}  // namespace emu
