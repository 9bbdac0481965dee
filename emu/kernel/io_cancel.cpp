// The cancel spin lock and IoCancelIrp.
//
// The cancel spin lock is an ordinary KSPIN_LOCK, so the kernel's ownership, IRQL and
// lock-order checks apply to it like to any of the driver's own locks.
#include <atomic>
#include <thread>

#include "emu/kernel/bugcheck.h"
#include "emu/kernel/io_internal.h"
#include "emu/kernel/sched.h"

namespace {

KSPIN_LOCK g_cancel_lock = 0;
// The thread that holds the cancel spin lock (for CancelSpinLockHeld).
std::atomic<std::thread::id> g_cancel_owner{};

}  // namespace

namespace emu {

bool CancelSpinLockHeld() {
    return g_cancel_owner.load() == std::this_thread::get_id();
}

PKSPIN_LOCK CancelSpinLock() {
    return &g_cancel_lock;
}

namespace io {

void CancelReset() {
    g_cancel_owner.store(std::thread::id());
    KeInitializeSpinLock(&g_cancel_lock);
}

}  // namespace io
}  // namespace emu

VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
    KeAcquireSpinLock(&g_cancel_lock, Irql);
    g_cancel_owner.store(std::this_thread::get_id());
}

VOID IoReleaseCancelSpinLock(KIRQL Irql) {
    if (g_cancel_owner.load() == std::this_thread::get_id()) {
        g_cancel_owner.store(std::thread::id());
    }
    KeReleaseSpinLock(&g_cancel_lock, Irql);
}

// The cancel flag is set and the routine taken under the cancel spin lock, so a driver that
// installs its cancel routine and tests Cancel under the same lock cannot miss a cancel.
BOOLEAN IoCancelIrp(PIRP Irp) {
    KIRQL irql = emu::CurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        emu::BugCheck(emu::rule::kIrqlNotLessOrEqual, "IoCancelIrp called at IRQL %d", irql);
        return FALSE;
    }
    if (!Irp || !emu::io::IrpMayBeCancelled(Irp)) {
        return FALSE;
    }
    KIRQL old_irql;
    IoAcquireCancelSpinLock(&old_irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(old_irql);
        return FALSE;
    }
    Irp->CancelIrql = old_irql;
    PDEVICE_OBJECT device = Irp->CurrentLocation > Irp->StackCount
                                ? nullptr
                                : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
    routine(device, Irp);  // releases the cancel spin lock
    return TRUE;
}
