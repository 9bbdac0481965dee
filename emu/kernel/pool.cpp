// The emulated pool: tracked allocations, free-time checks, leak reports and fault injection.
#include "emu/kernel/pool.h"

#include <cxxabi.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <unordered_map>

#include "emu/kernel/bugcheck.h"
#include "emu/kernel/kernel.h"
#include "emu/kernel/sched.h"

namespace emu {

struct PoolFaultScope::State {
    PoolFault fault;
    uint64_t matched = 0;
    uint64_t failed = 0;
    std::vector<PoolAllocation> requests;
    PoolFaultId id = 0;
};

namespace {

constexpr ULONG kProtectedTagBit = 0x80000000u;  // the platform ignores it when comparing tags
constexpr ULONG kUntaggedTag = PoolTag("None");  // what ExAllocatePool gives its blocks
constexpr size_t kFreedHistory = 1 << 16;        // freed blocks remembered for double frees
constexpr size_t kCacheLine = 64;

struct FreedBlock {
    PoolAllocation allocation;
    const void* free_site = nullptr;
};

struct TagTotals {
    size_t count = 0;
    size_t bytes = 0;
};

struct Pool {
    std::mutex mu;
    std::unordered_map<const void*, PoolAllocation> live;
    std::unordered_map<ULONG, TagTotals> totals;
    // Addresses of freed blocks, so a second free is told apart from a wild pointer. The
    // address leaves the history when the memory is handed out again or grows old.
    std::unordered_map<const void*, FreedBlock> freed;
    std::deque<std::pair<const void*, uint64_t>> freed_order;  // address, sequence
    uint64_t sequence = 0;
    PoolFaultId next_fault_id = 0;
    std::vector<std::shared_ptr<PoolFaultScope::State>> faults;
};

// Never destroyed: processor threads may still free while the process exits.
Pool& P() {
    static Pool* pool = new Pool;
    return *pool;
}

bool IsPaged(POOL_TYPE type) {
    return (type & 1) != 0;
}

const char* TypeName(POOL_TYPE type) {
    switch (type) {
        case NonPagedPool:
            return "NonPagedPool";
        case PagedPool:
            return "PagedPool";
        case NonPagedPoolMustSucceed:
            return "NonPagedPoolMustSucceed";
        case NonPagedPoolCacheAligned:
            return "NonPagedPoolCacheAligned";
        case PagedPoolCacheAligned:
            return "PagedPoolCacheAligned";
    }
    return IsPaged(type) ? "PagedPool(other)" : "NonPagedPool(other)";
}

bool SameTag(ULONG a, ULONG b) {
    return (a & ~kProtectedTagBit) == (b & ~kProtectedTagBit);
}

void ReleaseAllLocked(Pool& pool) {
    for (auto& [address, allocation] : pool.live) {
        std::free(const_cast<void*>(address));
    }
    pool.live.clear();
    pool.totals.clear();
    pool.freed.clear();
    pool.freed_order.clear();
    pool.faults.clear();
}

// Pool lock held. Runs the request past every armed fault; true when one of them fails it.
bool InjectFaultLocked(Pool& pool, const PoolAllocation& request) {
    bool fail = false;
    for (auto& state : pool.faults) {
        const PoolFault& fault = state->fault;
        if (fault.filter && !fault.filter(request)) {
            continue;
        }
        ++state->matched;
        state->requests.push_back(request);
        bool this_fails = (fault.mode == PoolFault::Mode::FailEvery) ||
                          (fault.mode == PoolFault::Mode::FailNth && state->matched == fault.nth);
        if (this_fails && request.type != NonPagedPoolMustSucceed) {
            ++state->failed;
            fail = true;
        }
    }
    return fail;
}

// Pool lock held. Fills in the address of a granted request in the faults' records.
void RecordAddressLocked(Pool& pool, const PoolAllocation& granted) {
    for (auto& state : pool.faults) {
        if (!state->requests.empty() && state->requests.back().sequence == granted.sequence) {
            state->requests.back().address = granted.address;
        }
    }
}

void ForgetFreedLocked(Pool& pool, const void* address) {
    pool.freed.erase(address);
}

void RememberFreedLocked(Pool& pool, const PoolAllocation& allocation, const void* site) {
    pool.freed[allocation.address] = FreedBlock{allocation, site};
    pool.freed_order.emplace_back(allocation.address, allocation.sequence);
    while (pool.freed_order.size() > kFreedHistory) {
        auto [address, sequence] = pool.freed_order.front();
        pool.freed_order.pop_front();
        auto it = pool.freed.find(address);
        if (it != pool.freed.end() && it->second.allocation.sequence == sequence) {
            pool.freed.erase(it);
        }
    }
}

PVOID Allocate(POOL_TYPE type, SIZE_T size, ULONG tag, const void* site) {
    KIRQL irql = CurrentIrql();
    if (irql > DISPATCH_LEVEL || (IsPaged(type) && irql > APC_LEVEL)) {
        BugCheck(rule::kIrqlNotLessOrEqual,
                 "%s allocation of %zu bytes (tag %s) at IRQL %u from %s", TypeName(type), size,
                 PoolTagName(tag).c_str(), irql, DescribePoolSite(site).c_str());
        return nullptr;
    }
    Pool& pool = P();
    std::lock_guard<std::mutex> lock(pool.mu);
    PoolAllocation request{nullptr, type, size, tag, site, ++pool.sequence};
    if (InjectFaultLocked(pool, request)) {
        return nullptr;
    }
    void* memory;
    if (type == NonPagedPoolCacheAligned || type == PagedPoolCacheAligned) {
        memory = std::aligned_alloc(
            kCacheLine, (std::max<SIZE_T>(size, 1) + kCacheLine - 1) / kCacheLine * kCacheLine);
    } else {
        memory = std::malloc(std::max<SIZE_T>(size, 1));
    }
    if (!memory) {
        return nullptr;
    }
    std::memset(memory, kPoolAllocatedFill, size);
    request.address = memory;
    pool.live[memory] = request;
    TagTotals& totals = pool.totals[tag];
    ++totals.count;
    totals.bytes += size;
    ForgetFreedLocked(pool, memory);
    RecordAddressLocked(pool, request);
    return memory;
}

void Free(PVOID address, const ULONG* tag, const void* site) {
    if (!address) {
        BugCheck(rule::kPoolBadAddress, "freeing a null pointer from %s",
                 DescribePoolSite(site).c_str());
        return;
    }
    KIRQL irql = CurrentIrql();
    Pool& pool = P();
    std::unique_lock<std::mutex> lock(pool.mu);
    auto it = pool.live.find(address);
    if (it == pool.live.end()) {
        auto freed = pool.freed.find(address);
        if (freed != pool.freed.end()) {
            std::string message = "block " + DescribePoolAllocation(freed->second.allocation) +
                                  " freed again from " + DescribePoolSite(site) +
                                  "; first freed from " + DescribePoolSite(freed->second.free_site);
            lock.unlock();
            BugCheck(rule::kPoolDoubleFree, "%s", message.c_str());
            return;
        }
        char head[64];
        std::snprintf(head, sizeof head, "freeing %p from ", address);
        std::string message = head + DescribePoolSite(site) + ": not a pool block";
        for (auto& [start, allocation] : pool.live) {
            auto begin = static_cast<const char*>(start);
            if (address > start && address < static_cast<const void*>(begin + allocation.size)) {
                message += ", but inside " + DescribePoolAllocation(allocation);
                break;
            }
        }
        lock.unlock();
        BugCheck(rule::kPoolBadAddress, "%s", message.c_str());
        return;
    }
    PoolAllocation allocation = it->second;
    if (irql > DISPATCH_LEVEL || (IsPaged(allocation.type) && irql > APC_LEVEL)) {
        lock.unlock();
        BugCheck(rule::kIrqlNotLessOrEqual, "freeing %s at IRQL %u from %s",
                 DescribePoolAllocation(allocation).c_str(), irql, DescribePoolSite(site).c_str());
        return;
    }
    if (tag && !SameTag(*tag, allocation.tag)) {
        lock.unlock();
        BugCheck(rule::kPoolWrongTag, "freeing %s with tag %s from %s",
                 DescribePoolAllocation(allocation).c_str(), PoolTagName(*tag).c_str(),
                 DescribePoolSite(site).c_str());
        return;
    }
    pool.live.erase(it);
    TagTotals& totals = pool.totals[allocation.tag];
    --totals.count;
    totals.bytes -= allocation.size;
    std::memset(address, kPoolFreedFill, allocation.size);
    std::free(address);
    RememberFreedLocked(pool, allocation, site);
}

PoolFaultId Arm(std::shared_ptr<PoolFaultScope::State> state) {
    Pool& pool = P();
    std::lock_guard<std::mutex> lock(pool.mu);
    state->id = ++pool.next_fault_id;
    pool.faults.push_back(std::move(state));
    return pool.next_fault_id;
}

std::shared_ptr<PoolFaultScope::State> NewState(PoolFault fault) {
    if (fault.mode == PoolFault::Mode::FailNth && fault.nth == 0) {
        BugCheck(rule::kInvalidParameter, "PoolFault::Nth counts from 1");
    }
    auto state = std::make_shared<PoolFaultScope::State>();
    state->fault = std::move(fault);
    return state;
}

}  // namespace

PVOID PoolAllocateFrom(POOL_TYPE type, SIZE_T size, ULONG tag, const void* site) {
    return Allocate(type, size, tag, site);
}

VOID PoolFreeFrom(PVOID address, ULONG tag, const void* site) {
    Free(address, &tag, site);
}

// ---------------------------------------------------------------------------------------------
// Descriptions
// ---------------------------------------------------------------------------------------------
std::string PoolTagName(ULONG tag) {
    std::string name;
    for (int i = 0; i < 4; ++i) {
        char c = char((tag >> (8 * i)) & 0xFF);
        name += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return name;
}

// Names a call site: the symbol dladdr finds or, for a program that exports none, the function
// and line addr2line reads from the debug information; otherwise module+offset. Results are
// cached: sites repeat.
std::string DescribePoolSite(const void* site) {
    static std::mutex cache_mu;
    static auto* cache = new std::unordered_map<const void*, std::string>;
    {
        std::lock_guard<std::mutex> lock(cache_mu);
        auto it = cache->find(site);
        if (it != cache->end()) {
            return it->second;
        }
    }
    char text[512];
    Dl_info info{};
    if (site && dladdr(site, &info) && info.dli_sname) {
        int status = 0;
        char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
        std::snprintf(text, sizeof text, "%s+0x%zx", status == 0 ? demangled : info.dli_sname,
                      size_t(static_cast<const char*>(site) - static_cast<char*>(info.dli_saddr)));
        std::free(demangled);
    } else if (site && info.dli_fname) {
        // The return address is the instruction after the call: look up the call itself.
        size_t offset = size_t(static_cast<const char*>(site) - static_cast<char*>(info.dli_fbase));
        const char* file = std::strrchr(info.dli_fname, '/');
        std::snprintf(text, sizeof text, "%s+0x%zx", file ? file + 1 : info.dli_fname, offset);
        char address[32];
        std::snprintf(address, sizeof address, "0x%zx", offset - 1);
        std::string command =
            "addr2line -f -C -e '" + std::string(info.dli_fname) + "' " + address + " 2>/dev/null";
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char function[256] = {};
            char line[256] = {};
            if (std::fgets(function, sizeof function, pipe) &&
                std::fgets(line, sizeof line, pipe) && function[0] != '?') {
                function[std::strcspn(function, "\n")] = 0;
                line[std::strcspn(line, " \n")] = 0;
                const char* short_line = std::strrchr(line, '/');
                std::snprintf(text, sizeof text, "%s (%s)", function,
                              short_line ? short_line + 1 : line);
            }
            pclose(pipe);
        }
    } else {
        std::snprintf(text, sizeof text, "%p", site);
    }
    std::lock_guard<std::mutex> lock(cache_mu);
    return (*cache)[site] = text;
}

std::string DescribePoolAllocation(const PoolAllocation& allocation) {
    char text[160];
    std::snprintf(text, sizeof text, "sequence %llu, %zu bytes of %s tag %s",
                  static_cast<unsigned long long>(allocation.sequence), allocation.size,
                  TypeName(allocation.type), PoolTagName(allocation.tag).c_str());
    return std::string(text) + " from " + DescribePoolSite(allocation.site);
}

// ---------------------------------------------------------------------------------------------
// Inspection and the leak check
// ---------------------------------------------------------------------------------------------
size_t PoolOutstandingCount(ULONG tag) {
    Pool& pool = P();
    std::lock_guard<std::mutex> lock(pool.mu);
    auto it = pool.totals.find(tag);
    return it == pool.totals.end() ? 0 : it->second.count;
}

size_t PoolOutstandingBytes(ULONG tag) {
    Pool& pool = P();
    std::lock_guard<std::mutex> lock(pool.mu);
    auto it = pool.totals.find(tag);
    return it == pool.totals.end() ? 0 : it->second.bytes;
}

std::vector<PoolAllocation> PoolOutstanding(ULONG tag) {
    std::vector<PoolAllocation> blocks;
    {
        Pool& pool = P();
        std::lock_guard<std::mutex> lock(pool.mu);
        for (auto& [address, allocation] : pool.live) {
            if (allocation.tag == tag) {
                blocks.push_back(allocation);
            }
        }
    }
    std::sort(blocks.begin(), blocks.end(), [](const PoolAllocation& a, const PoolAllocation& b) {
        return a.sequence < b.sequence;
    });
    return blocks;
}

std::optional<PoolAllocation> PoolFind(const void* address) {
    Pool& pool = P();
    std::lock_guard<std::mutex> lock(pool.mu);
    auto it = pool.live.find(address);
    if (it == pool.live.end()) {
        return std::nullopt;
    }
    return it->second;
}

uint64_t PoolRequestCount() {
    Pool& pool = P();
    std::lock_guard<std::mutex> lock(pool.mu);
    return pool.sequence;
}

bool PoolCheckNoLeaks(ULONG tag) {
    std::vector<PoolAllocation> leaked = PoolOutstanding(tag);
    if (leaked.empty()) {
        return true;
    }
    size_t bytes = 0;
    std::string list;
    for (const PoolAllocation& allocation : leaked) {
        bytes += allocation.size;
        list += "\n    " + DescribePoolAllocation(allocation);
    }
    BugCheck(rule::kPoolLeakAtUnload, "%zu block(s), %zu bytes of tag %s still allocated:%s",
             leaked.size(), bytes, PoolTagName(tag).c_str(), list.c_str());
    return false;
}

// ---------------------------------------------------------------------------------------------
// Fault injection
// ---------------------------------------------------------------------------------------------
PoolFilter PoolTagIs(ULONG tag) {
    return [tag](const PoolAllocation& request) { return request.tag == tag; };
}
PoolFilter PoolTypeIs(POOL_TYPE type) {
    return [type](const PoolAllocation& request) { return request.type == type; };
}
PoolFilter PoolSiteIs(const void* site) {
    return [site](const PoolAllocation& request) { return request.site == site; };
}
PoolFilter PoolSizeIs(SIZE_T size) {
    return [size](const PoolAllocation& request) { return request.size == size; };
}
PoolFilter PoolAll(PoolFilter a, PoolFilter b) {
    return [a = std::move(a), b = std::move(b)](const PoolAllocation& request) {
        return (!a || a(request)) && (!b || b(request));
    };
}

PoolFault PoolFault::Count(PoolFilter filter) {
    return PoolFault{Mode::CountOnly, 0, std::move(filter)};
}
PoolFault PoolFault::Nth(uint64_t n, PoolFilter filter) {
    return PoolFault{Mode::FailNth, n, std::move(filter)};
}
PoolFault PoolFault::Every(PoolFilter filter) {
    return PoolFault{Mode::FailEvery, 0, std::move(filter)};
}

PoolFaultScope::PoolFaultScope(PoolFault fault) : state_(NewState(std::move(fault))) {
    Arm(state_);
}

PoolFaultScope::~PoolFaultScope() {
    PoolDisarmFault(state_->id);
}

uint64_t PoolFaultScope::Matched() const {
    std::lock_guard<std::mutex> lock(P().mu);
    return state_->matched;
}

uint64_t PoolFaultScope::Failed() const {
    std::lock_guard<std::mutex> lock(P().mu);
    return state_->failed;
}

std::vector<PoolAllocation> PoolFaultScope::MatchedRequests() const {
    std::lock_guard<std::mutex> lock(P().mu);
    return state_->requests;
}

PoolFaultId PoolFailNth(uint64_t n, PoolFilter filter) {
    return Arm(NewState(PoolFault::Nth(n, std::move(filter))));
}

PoolFaultId PoolFailEvery(PoolFilter filter) {
    return Arm(NewState(PoolFault::Every(std::move(filter))));
}

void PoolDisarmFault(PoolFaultId id) {
    Pool& pool = P();
    std::lock_guard<std::mutex> lock(pool.mu);
    auto& faults = pool.faults;
    faults.erase(std::remove_if(faults.begin(), faults.end(),
                                [id](const auto& state) { return state->id == id; }),
                 faults.end());
}

void PoolClearFaults() {
    Pool& pool = P();
    std::lock_guard<std::mutex> lock(pool.mu);
    pool.faults.clear();
}

// ---------------------------------------------------------------------------------------------
// Life cycle
// ---------------------------------------------------------------------------------------------
void PoolReset() {
    Pool& pool = P();
    std::lock_guard<std::mutex> lock(pool.mu);
    ReleaseAllLocked(pool);
    pool.sequence = 0;
}

// Blocks still allocated when the machine goes away are released without a report: leaks are
// reported when a driver unloads (PoolCheckNoLeaks).
void PoolShutdown() {
    Pool& pool = P();
    std::lock_guard<std::mutex> lock(pool.mu);
    ReleaseAllLocked(pool);
}

}  // namespace emu

// ---------------------------------------------------------------------------------------------
// The platform's routines. Each passes its own return address on as the call site.
// ---------------------------------------------------------------------------------------------
DECLSPEC_NOINLINE PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return emu::Allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

DECLSPEC_NOINLINE PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return emu::Allocate(PoolType, NumberOfBytes, emu::kUntaggedTag, __builtin_return_address(0));
}

DECLSPEC_NOINLINE PVOID ExAllocatePoolWithQuotaTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes,
                                                   ULONG Tag) {
    return emu::Allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

DECLSPEC_NOINLINE VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
    emu::Free(P, &Tag, __builtin_return_address(0));
}

DECLSPEC_NOINLINE VOID ExFreePool(PVOID P) {
    emu::Free(P, nullptr, __builtin_return_address(0));
}
