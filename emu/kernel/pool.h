// The emulated pool: ExAllocatePool* / ExFreePool* with every block tracked (type, size, tag,
// call site, sequence number), the checks a driver verifier makes on frees, a leak report for
// unload, and fault injection so tests can drive every out-of-memory path.
//
// Checks (emu::BugCheck; with the rule expected, the offending call does nothing):
//   POOL_DOUBLE_FREE           a block freed a second time
//   POOL_FREED_WITH_WRONG_TAG  ExFreePoolWithTag with a tag other than the allocation's
//   POOL_BAD_ADDRESS           freeing an address that is not the start of a block
//   IRQL_NOT_LESS_OR_EQUAL     paged pool allocated or freed above APC_LEVEL, nonpaged pool
//                              above DISPATCH_LEVEL
//   POOL_LEAK_AT_UNLOAD        PoolCheckNoLeaks found blocks of the tag still allocated
//
// New blocks are filled with kPoolAllocatedFill (code that forgets to zero sees garbage, not
// zeros) and freed blocks with kPoolFreedFill before their memory is released.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emu/kernel/wdk/ke.h"

namespace emu {

constexpr uint8_t kPoolAllocatedFill = 0xC5;
constexpr uint8_t kPoolFreedFill = 0xDF;

// A tag as the platform writes it: four characters in memory order, so PoolTag("COMX") is
// 0x584D4F43 ('XMOC' as a multi-character constant).
constexpr ULONG PoolTag(const char (&name)[5]) {
    return ULONG(uint8_t(name[0])) | ULONG(uint8_t(name[1])) << 8 | ULONG(uint8_t(name[2])) << 16 |
           ULONG(uint8_t(name[3])) << 24;
}
// "COMX" for 0x584D4F43; unprintable bytes are shown as '.'.
std::string PoolTagName(ULONG tag);

// The platform's own tag for buffers the run-time library allocates (RtlAnsiStringToUnicodeString
// and friends, RtlQueryRegistryValues filling a UNICODE_STRING); RtlFreeUnicodeString and
// RtlFreeAnsiString free with it.
constexpr ULONG kRtlStringTag = PoolTag("Strg");

// One allocation request (made or attempted).
struct PoolAllocation {
    const void* address = nullptr;  // null for a request that failed
    POOL_TYPE type = NonPagedPool;
    SIZE_T size = 0;
    ULONG tag = 0;
    const void* site = nullptr;  // return address in the caller of ExAllocatePool*
    uint64_t sequence = 0;       // 1 for the first request since the pool was reset
};

// "sequence 12, 40 bytes of PagedPool tag COMX from <site>".
std::string DescribePoolAllocation(const PoolAllocation& allocation);
// The symbol holding a call site when it can be found, else its address.
std::string DescribePoolSite(const void* site);

// For platform routines that allocate or free on their caller's behalf (the Rtl string
// routines): the block is recorded, and faults see it, as made from `site`, the return address
// in the driver.
PVOID PoolAllocateFrom(POOL_TYPE type, SIZE_T size, ULONG tag, const void* site);
VOID PoolFreeFrom(PVOID address, ULONG tag, const void* site);

// ---------------------------------------------------------------------------------------------
// Inspection
// ---------------------------------------------------------------------------------------------
size_t PoolOutstandingCount(ULONG tag);
size_t PoolOutstandingBytes(ULONG tag);
// The blocks of `tag` still allocated, oldest first.
std::vector<PoolAllocation> PoolOutstanding(ULONG tag);
// The block that starts at `address`, if it is allocated.
std::optional<PoolAllocation> PoolFind(const void* address);
// Number of allocation requests since the pool was reset (failed ones included).
uint64_t PoolRequestCount();

// True when no block of `tag` is allocated. Otherwise bug-checks POOL_LEAK_AT_UNLOAD with one
// line per leaked block (size, type, site, sequence) and, when the rule is expected, returns
// false; the blocks stay allocated.
bool PoolCheckNoLeaks(ULONG tag);

// ---------------------------------------------------------------------------------------------
// Fault injection
// ---------------------------------------------------------------------------------------------
// Decides whether a request is one a fault applies to. Called with the pool's lock held: it
// must not allocate from or free to the emulated pool.
using PoolFilter = std::function<bool(const PoolAllocation&)>;

PoolFilter PoolTagIs(ULONG tag);
PoolFilter PoolTypeIs(POOL_TYPE type);
PoolFilter PoolSiteIs(const void* site);
PoolFilter PoolSizeIs(SIZE_T size);
PoolFilter PoolAll(PoolFilter a, PoolFilter b);  // both hold

// What an armed fault does with the requests that pass its filter (an empty filter passes
// every request). Requests for NonPagedPoolMustSucceed never fail.
struct PoolFault {
    enum class Mode { CountOnly, FailNth, FailEvery };
    Mode mode = Mode::CountOnly;
    uint64_t nth = 0;  // FailNth: 1 fails the first matching request from when it is armed
    PoolFilter filter;

    // Fails nothing; counts and records the matching requests, so a test can learn how many
    // allocations a scenario makes and then fail each in turn.
    static PoolFault Count(PoolFilter filter = {});
    // Fails the n-th matching request (n >= 1) and only that one.
    static PoolFault Nth(uint64_t n, PoolFilter filter = {});
    // Fails every matching request while armed.
    static PoolFault Every(PoolFilter filter = {});
};

// Arms a fault for its lifetime. Several may be armed at once: a request fails when any of
// them fails it, and every armed fault counts the requests that pass its filter.
//
//   uint64_t n;
//   { emu::PoolFaultScope count(emu::PoolFault::Count(emu::PoolTagIs(tag))); Run(); n =
//   count.Matched(); } for (uint64_t k = 1; k <= n; ++k) {
//       emu::PoolFaultScope fail(emu::PoolFault::Nth(k, emu::PoolTagIs(tag)));
//       Run();  // expect a clean failure, then no leak
//   }
class PoolFaultScope {
  public:
    explicit PoolFaultScope(PoolFault fault);
    ~PoolFaultScope();
    PoolFaultScope(const PoolFaultScope&) = delete;
    PoolFaultScope& operator=(const PoolFaultScope&) = delete;

    uint64_t Matched() const;  // requests that passed the filter so far
    uint64_t Failed() const;   // requests this fault failed
    // Every request that passed the filter, in order (address null for the failed ones).
    std::vector<PoolAllocation> MatchedRequests() const;

    struct State;

  private:
    std::shared_ptr<State> state_;
};

// The same without a scope, for the lab and for tests that arm a fault in one place and clear
// it in another. Each returns an id for PoolDisarmFault; PoolClearFaults disarms all.
using PoolFaultId = uint64_t;
PoolFaultId PoolFailNth(uint64_t n, PoolFilter filter = {});
PoolFaultId PoolFailEvery(PoolFilter filter = {});
void PoolDisarmFault(PoolFaultId id);
void PoolClearFaults();

}  // namespace emu
