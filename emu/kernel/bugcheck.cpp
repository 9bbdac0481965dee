// Reporting of violated rules.
#include "emu/kernel/bugcheck.h"

#include <execinfo.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "emu/kernel/sched.h"

extern "C" void __sanitizer_print_stack_trace() __attribute__((weak));

namespace emu {
namespace {

struct Expectation {
    std::string rule;
    int count = 0;
    std::string last;
};

std::mutex g_mu;
std::vector<Expectation*> g_expected;

Expectation* FindLocked(const std::string& rule) {
    for (Expectation* e : g_expected) {
        if (e->rule == rule) {
            return e;
        }
    }
    return nullptr;
}

void PrintStack() {
    if (__sanitizer_print_stack_trace) {
        __sanitizer_print_stack_trace();
        return;
    }
    void* frames[64];
    int n = backtrace(frames, 64);
    backtrace_symbols_fd(frames, n, STDERR_FILENO);
}

}  // namespace

void BugCheck(const char* rule, const char* format, ...) {
    char message[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    {
        std::lock_guard<std::mutex> lock(g_mu);
        if (Expectation* e = FindLocked(rule)) {
            ++e->count;
            e->last = message;
            return;
        }
    }
    std::string thread = IsEmulatedThread() ? CurrentThreadName() : "(not emulated)";
    std::fprintf(stderr, "\n*** BUGCHECK %s on thread '%s'\n*** %s\n", rule, thread.c_str(),
                 message);
    PrintStack();
    std::fflush(stderr);
    std::abort();
}

ExpectBugCheck::ExpectBugCheck(std::string rule) : rule_(std::move(rule)) {
    std::lock_guard<std::mutex> lock(g_mu);
    auto* e = new Expectation;
    e->rule = rule_;
    g_expected.push_back(e);
}

ExpectBugCheck::~ExpectBugCheck() {
    std::lock_guard<std::mutex> lock(g_mu);
    for (auto it = g_expected.begin(); it != g_expected.end(); ++it) {
        if ((*it)->rule == rule_) {
            delete *it;
            g_expected.erase(it);
            return;
        }
    }
}

int ExpectBugCheck::Count() const {
    std::lock_guard<std::mutex> lock(g_mu);
    Expectation* e = FindLocked(rule_);
    return e ? e->count : 0;
}

std::string ExpectBugCheck::LastMessage() const {
    std::lock_guard<std::mutex> lock(g_mu);
    Expectation* e = FindLocked(rule_);
    return e ? e->last : std::string();
}

}  // namespace emu
