// The emulated machine's lifetime.
#include "emu/kernel/kernel.h"

#include <cstdio>
#include <cstdlib>

namespace emu {

void SchedFinalize();  // sched.cpp: detaches "main" and frees the scheduler, last of all

namespace {
Kernel* g_kernel = nullptr;
}

Kernel::Kernel(KernelOptions options) : options_(options) {
    if (g_kernel) {
        std::fprintf(stderr, "emu: only one emu::Kernel may exist at a time\n");
        std::abort();
    }
    g_kernel = this;
    SchedReset(options_);
    PoolReset();
    DebugLogReset();
    RegistryReset();
    NamespaceReset();
    IoReset();
    UsbReset();
}

Kernel::~Kernel() {
    UsbShutdown();
    IoShutdown();
    SchedShutdown();  // processors stop; the calling thread stays attached
    PoolShutdown();
    SchedFinalize();
    g_kernel = nullptr;
}

Kernel* Kernel::Current() {
    return g_kernel;
}

}  // namespace emu
