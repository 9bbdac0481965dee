// Plug and start: what a freshly started port looks like from the outside and inside, the
// restart after a stop, and a restart that cannot power the device up.
#include "driver/start.h"

#include "chip/line_control.h"
#include "emu/kernel/io_manager.h"
#include "emu/kernel/namespace.h"
#include "emu/usb/wire_log.h"
#include "tests/lifecycle/lifecycle_fixture.h"
#include "usb/pipes.h"

namespace quella_test {
namespace {

using emu::usb::ControlTransfer;

class StartTest : public LifecycleTest {};

TEST_F(StartTest, PlugStartsAFreshPort) {
    ULONG serialCount = IoGetConfigurationInformation()->SerialCount;
    emu::usb::UsbBus& bus = NewChipBus();
    PDEVICE_OBJECT device = Plug(bus);
    ASSERT_NE(device, nullptr);
    // The admission state and the chip identification have no outside view: read the port.
    PSERIAL_PORT_EXTENSION port = PortOf(device);

    EXPECT_EQ(port->PnpState, PNP_STATE_STARTED);
    EXPECT_EQ(port->AcceptFlags, 0u);
    EXPECT_EQ(port->DeviceStateFlags, STATE_STARTED);
    EXPECT_EQ(port->ChipType, 2);
    EXPECT_EQ(port->DeviceIdentified, 1u);
    EXPECT_TRUE(PipeLayoutComplete(port));
    EXPECT_EQ(port->ActiveRequestCount, 1);
    EXPECT_EQ(port->DeferredWorkCount, 1);
    EXPECT_FALSE(port->PortIsOpen);
    EXPECT_TRUE(port->TransmitterEmpty);

    // Defaults: 7 data bits, even parity, one stop bit; the chip got them, with RTS and DTR low.
    EXPECT_EQ(port->LineControl, 0x1A);
    EXPECT_EQ(chip_->LineCoding().data_bits, 7);
    EXPECT_EQ(chip_->LineCoding().parity, 2);
    EXPECT_EQ(chip_->LineCoding().char_format, 0);
    EXPECT_FALSE(chip_->Dtr());
    EXPECT_FALSE(chip_->Rts());

    // A blank EEPROM: the generation's default registers went in and the shadow holds them.
    EXPECT_EQ(chip_->RegisterWrites().size(), 3u);
    for (int r = 0; r < 3; ++r) {
        EXPECT_EQ(port->ChipRegShadow[r], chip_->Register(r)) << "register " << r;
    }
    std::vector<ControlTransfer> reads;
    for (const ControlTransfer& t : emu::usb::ControlTransfers(bus)) {
        if (t.bmRequestType == 0xC0 && t.wValue >= 0x80 && t.wValue <= 0x82) {
            reads.push_back(t);
        }
    }
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(reads[2].wValue, 0x82);

    // The WMI communication block of a fresh port.
    const SERIAL_WMI_COMM_DATA& comm = port->WmiCommData;
    EXPECT_EQ(comm.MaximumBaudRate, 115200u);
    EXPECT_EQ(comm.BitsPerByte, 7u);
    EXPECT_EQ(comm.Parity, ULONG(SERIAL_WMI_PARITY_EVEN));
    EXPECT_EQ(comm.StopBits, ULONG(SERIAL_WMI_STOP_1));
    EXPECT_TRUE(comm.ParityCheckEnable);
    EXPECT_EQ(comm.XonCharacter, 0x11u);
    EXPECT_EQ(comm.XoffCharacter, 0x13u);
    EXPECT_EQ(comm.MaximumInputBufferSize, 0xFFFFFFFFu);
    EXPECT_TRUE(comm.SettableStopBits);
    EXPECT_FALSE(comm.IsBusy);
    EXPECT_EQ(port->WmiHwData.InterruptType, ULONG(SERIAL_WMI_INTTYPE_LEVEL));
    EXPECT_EQ(port->WmiPerfData.ReceivedCount, 0u);

    EXPECT_TRUE(emu::WmiRegistered(device));
    EXPECT_EQ(IoGetConfigurationInformation()->SerialCount, serialCount + 1);
}

TEST_F(StartTest, WmiBlockFollowsTheLineSettings) {
    // Only the fill itself is looked at here: a port extension of our own, no device.
    SERIAL_PORT_EXTENSION port{};
    port.SupportedBauds = SERIAL_BAUD_9600 | SERIAL_BAUD_57600 | SERIAL_BAUD_56K;
    struct Case {
        UCHAR line_control;
        ULONG bits, parity, stop;
        BOOLEAN check;
    } cases[] = {
        {0x03, 8, SERIAL_WMI_PARITY_NONE, SERIAL_WMI_STOP_1, FALSE},
        {0x0B, 8, SERIAL_WMI_PARITY_ODD, SERIAL_WMI_STOP_1, TRUE},
        {0x2F, 8, SERIAL_WMI_PARITY_MARK, SERIAL_WMI_STOP_2, TRUE},
        {0x38, 5, SERIAL_WMI_PARITY_SPACE, SERIAL_WMI_STOP_1, TRUE},
        {0x04, 5, SERIAL_WMI_PARITY_NONE, SERIAL_WMI_STOP_1_5, FALSE},
    };
    for (const Case& c : cases) {
        port.LineControl = c.line_control;
        FillWmiBlocks(&port);
        EXPECT_EQ(port.WmiCommData.BitsPerByte, c.bits) << int(c.line_control);
        EXPECT_EQ(port.WmiCommData.Parity, c.parity) << int(c.line_control);
        EXPECT_EQ(port.WmiCommData.StopBits, c.stop) << int(c.line_control);
        EXPECT_EQ(port.WmiCommData.ParityCheckEnable, c.check) << int(c.line_control);
    }
    // 56K comes before 57600 in the search.
    EXPECT_EQ(port.WmiCommData.MaximumBaudRate, 57344u);
}

TEST_F(StartTest, MaxBaudFromMaskTakesTheFirstBitInItsOrder) {
    EXPECT_EQ(MaxBaudFromMask(0), 0u);
    EXPECT_EQ(MaxBaudFromMask(SERIAL_BAUD_USER), 0u);
    EXPECT_EQ(MaxBaudFromMask(0x10067FF9), 115200u);  // the port's default mask
    EXPECT_EQ(MaxBaudFromMask(SERIAL_BAUD_128K | SERIAL_BAUD_115200), 131072u);
    EXPECT_EQ(MaxBaudFromMask(SERIAL_BAUD_57600 | SERIAL_BAUD_56K), 57344u);
    EXPECT_EQ(MaxBaudFromMask(SERIAL_BAUD_57600 | SERIAL_BAUD_38400), 57600u);
    EXPECT_EQ(MaxBaudFromMask(SERIAL_BAUD_134_5 | SERIAL_BAUD_110), 135u);
    EXPECT_EQ(MaxBaudFromMask(SERIAL_BAUD_075), 75u);
}

TEST_F(StartTest, RestartKeepsNamesAndRegistrationAndReloadsDefaults) {
    emu::usb::UsbBus& bus = NewChipBus();
    PDEVICE_OBJECT device = Plug(bus);
    ASSERT_NE(device, nullptr);
    PSERIAL_PORT_EXTENSION port = PortOf(device);
    ULONG serialCount = IoGetConfigurationInformation()->SerialCount;
    port->LineControl = 0x03;  // as an application's line-control request would leave it

    ASSERT_EQ(emu::PnpStop(bus.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(port->PnpState, PNP_STATE_STOPPED);
    EXPECT_EQ(port->AcceptFlags, ACCEPT_STOPPED);
    EXPECT_EQ(port->DeviceStateFlags, STATE_STARTED | STATE_STOPPED);
    EXPECT_EQ(port->ActiveRequestCount, 1);
    // A stop keeps the external names.
    EXPECT_EQ(emu::ResolveApplicationName("COM5"), device);

    ASSERT_EQ(emu::PnpStart(bus.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(port->PnpState, PNP_STATE_STARTED);
    EXPECT_EQ(port->AcceptFlags, 0u);
    EXPECT_EQ(port->DeviceStateFlags, STATE_STARTED);
    EXPECT_EQ(port->LineControl, 0x1A);
    EXPECT_EQ(IoGetConfigurationInformation()->SerialCount, serialCount);
    EXPECT_TRUE(emu::WmiRegistered(device));
    EXPECT_EQ(emu::ResolveApplicationName("COM5"), device);
    EXPECT_EQ(SerialCommValue(device), u"COM5");
    EXPECT_EQ(ComPortInterfaces(bus.Pdo()).size(), 1u);
}

// A restart whose power-up fails gives the held requests back cancelled and leaves the port
// refusing requests. The start handler always asks for D0 itself, so the failure is provoked by
// calling StartPort on a port marked powered down (the power dispatch refuses for now).
TEST_F(StartTest, FailedRestartCancelsHeldRequestsAndRefusesNewOnes) {
    emu::usb::UsbBus& bus = NewChipBus();
    PDEVICE_OBJECT device = Plug(bus);
    ASSERT_NE(device, nullptr);
    PSERIAL_PORT_EXTENSION port = PortOf(device);
    auto file = FileOn(device);

    ASSERT_EQ(emu::SendPnp(bus.Pdo(), IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    emu::app::Operation held = emu::app::Submit(file, emu::app::Request::Read(4));
    ASSERT_EQ(emu::SendPnp(bus.Pdo(), IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_FALSE(held.Done());

    port->DevicePowerState = PowerDeviceD3;
    EXPECT_FALSE(NT_SUCCESS(StartPort(device, nullptr, nullptr)));
    ASSERT_TRUE(held.Done());
    EXPECT_EQ(held.Wait().status, STATUS_CANCELLED);
    EXPECT_EQ(port->AcceptFlags & ACCEPT_REMOVING, ACCEPT_REMOVING);
    EXPECT_EQ(port->DeviceStateFlags & STATE_STARTED, 0u);

    emu::app::Result refused = emu::app::Submit(file, emu::app::Request::Read(4)).Wait();
    EXPECT_EQ(refused.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(port->ActiveRequestCount, 1);
}

}  // namespace
}  // namespace quella_test
