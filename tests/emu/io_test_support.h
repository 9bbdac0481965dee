// Small device stacks for the I/O manager's tests: a physical device object at the bottom and
// any number of function devices of a test driver above it, each answering IRPs through a
// lambda the test supplies.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "emu/kernel/io_manager.h"
#include "emu/kernel/kernel.h"
#include "emu/kernel/sched.h"
#include "emu/kernel/wdk/io.h"

namespace io_test {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

struct LambdaExtension {
    Dispatch* dispatch;
    PDEVICE_OBJECT lower;
};

inline NTSTATUS NTAPI LambdaDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<LambdaExtension*>(device->DeviceExtension);
    return (*ext->dispatch)(device, irp);
}

inline NTSTATUS NTAPI LambdaEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& entry : driver->MajorFunction) {
        entry = LambdaDispatch;
    }
    return STATUS_SUCCESS;
}

inline PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT device) {
    return static_cast<LambdaExtension*>(device->DeviceExtension)->lower;
}

// Passes the IRP down unchanged.
inline NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(LowerOf(device), irp);
}

// Boots a machine and loads the lambda driver.
class IoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kernel_ = std::make_unique<emu::Kernel>();
        emu::LoadedDriver loaded = emu::LoadDriver(LambdaEntry, "IoTest");
        ASSERT_EQ(loaded.status, STATUS_SUCCESS);
        driver_ = loaded.driver;
    }

    void TearDown() override {
        emu::Settle();
        kernel_.reset();
    }

    // A physical device object answering with `handler`.
    PDEVICE_OBJECT Pdo(Dispatch handler) {
        handlers_.push_back(std::make_unique<Dispatch>(std::move(handler)));
        Dispatch* h = handlers_.back().get();
        return emu::CreatePhysicalDevice([h](PDEVICE_OBJECT d, PIRP irp) { return (*h)(d, irp); });
    }

    // A device of the test driver attached on top of `below` (or alone).
    PDEVICE_OBJECT Device(Dispatch dispatch, PDEVICE_OBJECT below = nullptr) {
        handlers_.push_back(std::make_unique<Dispatch>(std::move(dispatch)));
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(IoCreateDevice(driver_, sizeof(LambdaExtension), nullptr, FILE_DEVICE_UNKNOWN, 0,
                                 FALSE, &device),
                  STATUS_SUCCESS);
        auto* ext = static_cast<LambdaExtension*>(device->DeviceExtension);
        ext->dispatch = handlers_.back().get();
        ext->lower = below ? IoAttachDeviceToDeviceStack(device, below) : nullptr;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        return device;
    }

    std::unique_ptr<emu::Kernel> kernel_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<std::unique_ptr<Dispatch>> handlers_;
};

}  // namespace io_test
