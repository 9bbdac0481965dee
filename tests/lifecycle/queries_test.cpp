// The queries the Plug and Play manager makes of a started port: capabilities, hardware IDs and
// the device state.
#include "driver/pnp.h"

#include "emu/kernel/io_manager.h"
#include "emu/kernel/pool.h"
#include "requests/engine.h"
#include "tests/lifecycle/lifecycle_fixture.h"

namespace quella_test {
namespace {

using Ids = std::vector<std::u16string>;

class QueriesTest : public LifecycleTest {
  protected:
    void SetUp() override {
        LifecycleTest::SetUp();
        bus_ = &NewChipBus();
        device_ = Plug(*bus_);
        ASSERT_NE(device_, nullptr);
        port_ = PortOf(device_);
    }
    emu::usb::UsbBus* bus_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PSERIAL_PORT_EXTENSION port_ = nullptr;
};

TEST_F(QueriesTest, CapabilitiesAlwaysAllowSurpriseRemovalAndFeedThePowerMap) {
    DEVICE_CAPABILITIES caps = emu::usb::UsbBus::DefaultCapabilities();
    caps.SurpriseRemovalOK = 0;
    caps.DeviceState[PowerSystemSleeping1] = PowerDeviceD1;
    caps.DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
    caps.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    caps.DeviceWake = PowerDeviceD1;
    bus_->SetCapabilities(caps);

    NTSTATUS status = STATUS_UNSUCCESSFUL;
    DEVICE_CAPABILITIES answer = emu::PnpQueryCapabilities(bus_->Pdo(), &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(answer.SurpriseRemovalOK, 1u);
    EXPECT_EQ(answer.Removable, 1u);  // the bus's answer is kept otherwise
    // What the power dispatch will use; no outside view yet.
    EXPECT_EQ(port_->PowerStateMap[PowerSystemUnspecified], PowerDeviceUnspecified);
    EXPECT_EQ(port_->PowerStateMap[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(port_->PowerStateMap[PowerSystemSleeping1], PowerDeviceD1);
    EXPECT_EQ(port_->PowerStateMap[PowerSystemSleeping2], PowerDeviceD2);
    EXPECT_EQ(port_->PowerStateMap[PowerSystemHibernate], PowerDeviceD3);
    EXPECT_EQ(port_->PowerStateMap[PowerSystemShutdown], PowerDeviceD3);
    EXPECT_EQ(port_->DeviceWake, PowerDeviceD1);
    EXPECT_EQ(port_->ActiveRequestCount, 1);

    // A bus that fails the query still gets SurpriseRemovalOK set; its status is kept.
    bus_->SetPnpHandler([](PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction == IRP_MJ_PNP &&
            stack->MinorFunction == IRP_MN_QUERY_CAPABILITIES) {
            return emu::CompleteIrp(irp, STATUS_DEVICE_NOT_READY);
        }
        return emu::CompleteLikeBusDriver(irp->Tail.Overlay.CurrentStackLocation->DeviceObject,
                                          irp);
    });
    answer = emu::PnpQueryCapabilities(bus_->Pdo(), &status);
    EXPECT_EQ(status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(answer.SurpriseRemovalOK, 1u);
    bus_->SetPnpHandler(nullptr);

    // No memory for the wait: the request fails without reaching the bus.
    {
        emu::PoolFaultScope fail(emu::PoolFault::Every(emu::PoolTagIs(QUELLA_POOL_TAG)));
        emu::PnpQueryCapabilities(bus_->Pdo(), &status);
    }
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(port_->ActiveRequestCount, 1);
}

TEST_F(QueriesTest, HardwareIdsGetTheSerialPortIdAppended) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    // No MultiportDevice value at all: a single port.
    EXPECT_EQ(emu::PnpQueryIds(bus_->Pdo(), BusQueryHardwareIDs, &status),
              (Ids{u"USB\\VID_FFFF&PID_5101&REV_0100", u"USB\\VID_FFFF&PID_5101", u"*PNP0501"}));
    EXPECT_EQ(status, STATUS_SUCCESS);

    emu::RegistrySetDword(DeviceKey(*bus_), u"MultiportDevice", 1);
    EXPECT_EQ(emu::PnpQueryIds(bus_->Pdo(), BusQueryHardwareIDs),
              (Ids{u"USB\\VID_FFFF&PID_5101&REV_0100", u"USB\\VID_FFFF&PID_5101", u"*PNP0502"}));

    emu::RegistrySetDword(DeviceKey(*bus_), u"MultiportDevice", 0);
    bus_->SetHardwareIds({});
    EXPECT_EQ(emu::PnpQueryIds(bus_->Pdo(), BusQueryHardwareIDs, &status), (Ids{u"*PNP0501"}));
    EXPECT_EQ(status, STATUS_SUCCESS);

    // Compatible IDs are left to the bus driver.
    EXPECT_TRUE(emu::PnpQueryIds(bus_->Pdo(), BusQueryCompatibleIDs).empty());
    // Every list from below was freed (with the bus driver's tag) and ours by the requester.
    EXPECT_EQ(emu::PoolOutstandingCount(emu::PoolTag("EBus")), 0u);
    EXPECT_EQ(port_->ActiveRequestCount, 1);
}

TEST_F(QueriesTest, HardwareIdQueryFailsCleanlyWithoutMemory) {
    // Fail each of the driver's allocations in the query in turn: the registry read's buffer
    // and the new list.
    for (uint64_t k = 1; k <= 2; ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k));
        size_t before = emu::PoolOutstandingCount(QUELLA_POOL_TAG);
        NTSTATUS status = STATUS_SUCCESS;
        std::vector<std::u16string> ids;
        {
            emu::PoolFaultScope fail(emu::PoolFault::Nth(k, emu::PoolTagIs(QUELLA_POOL_TAG)));
            ids = emu::PnpQueryIds(bus_->Pdo(), BusQueryHardwareIDs, &status);
            EXPECT_EQ(fail.Failed(), 1u);
        }
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_TRUE(ids.empty());
        EXPECT_EQ(emu::PoolOutstandingCount(QUELLA_POOL_TAG), before);
        EXPECT_EQ(emu::PoolOutstandingCount(emu::PoolTag("EBus")), 0u);
    }
    EXPECT_EQ(port_->ActiveRequestCount, 1);
}

TEST_F(QueriesTest, AppendHardwareIdBuildsAProperMultiString) {
    const WCHAR two[] = L"A\0BC\0";
    PWCHAR list = AppendHardwareId(two, L"*PNP0501");
    ASSERT_NE(list, nullptr);
    const WCHAR expected[] = L"A\0BC\0*PNP0501\0";
    EXPECT_EQ(memcmp(list, expected, sizeof(expected)), 0);
    ExFreePoolWithTag(list, QUELLA_POOL_TAG);

    const WCHAR empty[] = L"";
    list = AppendHardwareId(empty, L"*PNP0502");
    ASSERT_NE(list, nullptr);
    const WCHAR alone[] = L"*PNP0502\0";
    EXPECT_EQ(memcmp(list, alone, sizeof(alone)), 0);
    ExFreePoolWithTag(list, QUELLA_POOL_TAG);
}

TEST_F(QueriesTest, DeviceStateReportsAFailedDevice) {
    EXPECT_EQ(emu::SendPnp(bus_->Pdo(), IRP_MN_QUERY_PNP_DEVICE_STATE).information, 0u);
    ChangeFlagsLocked(port_, &port_->DeviceStateFlags, STATE_HARDWARE_FAILED, TRUE);
    emu::PnpResult result = emu::SendPnp(bus_->Pdo(), IRP_MN_QUERY_PNP_DEVICE_STATE);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information & PNP_DEVICE_FAILED, ULONG_PTR(PNP_DEVICE_FAILED));
    ChangeFlagsLocked(port_, &port_->DeviceStateFlags, STATE_HARDWARE_FAILED, FALSE);
}

}  // namespace
}  // namespace quella_test
