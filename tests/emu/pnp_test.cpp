// The Plug and Play manager drives a device stack through its life, with the bus answering
// capabilities and hardware IDs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emu/kernel/io_manager.h"
#include "emu/kernel/kernel.h"
#include "emu/kernel/pnp.h"
#include "emu/usb/usb_bus.h"

namespace {

// A minimal function driver: it records every Plug and Play minor function it sees, refuses
// query-stop while `busy` is set, and otherwise passes everything down.
struct Recorder {
    std::vector<UCHAR> minors;
    bool busy = false;
};
Recorder* g_recorder = nullptr;

struct Ext {
    PDEVICE_OBJECT lower;
};

NTSTATUS NTAPI RecorderPnp(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<Ext*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    g_recorder->minors.push_back(stack->MinorFunction);
    PDEVICE_OBJECT lower = ext->lower;
    if (stack->MinorFunction == IRP_MN_QUERY_STOP_DEVICE && g_recorder->busy) {
        irp->IoStatus.Status = STATUS_DEVICE_BUSY;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_DEVICE_BUSY;
    }
    if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

NTSTATUS NTAPI RecorderAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device;
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(Ext), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    static_cast<Ext*>(device->DeviceExtension)->lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RecorderEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverExtension->AddDevice = RecorderAddDevice;
    driver->MajorFunction[IRP_MJ_PNP] = RecorderPnp;
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    return STATUS_SUCCESS;
}

class PnpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_recorder = &recorder_;
        bus_ = std::make_unique<emu::usb::UsbBus>("pnp");
        driver_ = emu::LoadDriver(RecorderEntry, "recorder").driver;
        ASSERT_NE(driver_, nullptr);
    }
    void TearDown() override {
        EXPECT_TRUE(emu::UnloadDriver(driver_));
        bus_.reset();
        g_recorder = nullptr;
    }
    emu::Kernel kernel_;
    Recorder recorder_;
    std::unique_ptr<emu::usb::UsbBus> bus_;
    PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(PnpTest, LifeOfADeviceInPlatformOrder) {
    ASSERT_EQ(emu::PnpPlug(driver_, bus_->Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(recorder_.minors,
              (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_ID,
                                  IRP_MN_QUERY_PNP_DEVICE_STATE}));

    recorder_.minors.clear();
    recorder_.busy = true;
    EXPECT_EQ(emu::PnpStop(bus_->Pdo()), STATUS_DEVICE_BUSY);
    recorder_.busy = false;
    EXPECT_EQ(emu::PnpStop(bus_->Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(recorder_.minors,
              (std::vector<UCHAR>{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE,
                                  IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE}));

    recorder_.minors.clear();
    EXPECT_EQ(emu::PnpStart(bus_->Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(emu::PnpSurpriseRemove(bus_->Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(recorder_.minors.back(), IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(recorder_.minors[recorder_.minors.size() - 2], IRP_MN_SURPRISE_REMOVAL);
    EXPECT_TRUE(emu::DevicesOf(driver_).empty()) << "removal deleted the function device";
}

TEST_F(PnpTest, BusAnswersCapabilitiesAndHardwareIdsAsSet) {
    ASSERT_EQ(emu::PnpPlug(driver_, bus_->Pdo()), STATUS_SUCCESS);

    NTSTATUS status;
    DEVICE_CAPABILITIES caps = emu::PnpQueryCapabilities(bus_->Pdo(), &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(caps.Version, 1);

    DEVICE_CAPABILITIES custom = emu::usb::UsbBus::DefaultCapabilities();
    custom.SurpriseRemovalOK = 0;
    custom.DeviceWake = PowerDeviceD3;
    custom.DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
    bus_->SetCapabilities(custom);
    caps = emu::PnpQueryCapabilities(bus_->Pdo());
    EXPECT_EQ(caps.SurpriseRemovalOK, 0u);
    EXPECT_EQ(caps.DeviceWake, PowerDeviceD3);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping2], PowerDeviceD2);
    EXPECT_EQ(caps.Size, sizeof(DEVICE_CAPABILITIES)) << "the requester's header is kept";

    EXPECT_EQ(emu::PnpQueryIds(bus_->Pdo(), BusQueryHardwareIDs),
              (std::vector<std::u16string>{u"USB\\VID_FFFF&PID_5101&REV_0100",
                                           u"USB\\VID_FFFF&PID_5101"}));
    bus_->SetHardwareIds({});
    EXPECT_TRUE(emu::PnpQueryIds(bus_->Pdo(), BusQueryHardwareIDs, &status).empty());
    EXPECT_EQ(status, STATUS_SUCCESS);

    EXPECT_EQ(emu::PnpRemove(bus_->Pdo()), STATUS_SUCCESS);
}

}  // namespace
