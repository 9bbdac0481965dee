// The emulated machine as a whole: one Kernel object owns every subsystem of the emulated
// platform for its lifetime. Exactly one exists at a time; a test creates one (usually
// through a lab) and everything is torn down and reset when it goes away.
#pragma once

#include <cstdint>

namespace emu {

// Time in 100-nanosecond units since the machine started, as the platform counts it.
using Time = int64_t;
constexpr Time kMicrosecond = 10;
constexpr Time kMillisecond = 10'000;
constexpr Time kSecond = 10'000'000;

struct KernelOptions {
    // Virtual time (the default) jumps to the next deadline when every emulated thread is
    // blocked; real time follows the wall clock, for interactive use of the lab.
    bool real_time = false;
    // Number of "processor" threads that run DPCs, timer DPCs and device-model work.
    int processors = 2;
};

class Kernel {
  public:
    // Creates the machine and attaches the calling thread as the emulated thread "main"
    // at PASSIVE_LEVEL.
    explicit Kernel(KernelOptions options = {});
    // Stops the processors, detaches the calling thread and resets every subsystem.
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    static Kernel* Current();
    const KernelOptions& Options() const { return options_; }

  private:
    KernelOptions options_;
};

// Subsystem life cycle. Kernel's constructor calls the Reset functions in this order and
// its destructor calls the Shutdown functions in reverse order; each returns its subsystem
// to the state of a freshly booted machine.
void SchedReset(const KernelOptions& options);  // clock, threads, processors, DPCs, timers
void SchedShutdown();
void PoolReset();
void PoolShutdown();
void DebugLogReset();
void RegistryReset();
void NamespaceReset();  // object namespace: device names, symbolic links, device interfaces
void IoReset();         // I/O manager: drivers, devices, IRP tracking, application handles
void IoShutdown();
void UsbReset();
void UsbShutdown();

}  // namespace emu
