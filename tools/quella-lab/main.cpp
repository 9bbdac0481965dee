// quella-lab: runs the driver on the emulated platform and shows what it does.
//
//   quella-lab                         the built-in demo
//   quella-lab --ext-baudrate "1200,2400 9600,19200"
//   quella-lab --generation 3 --layout one
//   quella-lab --real-time             follow the wall clock instead of virtual time
//
// The demo loads QUELLA.SYS into the emulated kernel, plugs a bridge chip of the chosen
// generation and pipe layout into the emulated USB bus, and lets Plug and Play add and start the
// port: it shows what identification and configuration found, the COM name and the other names,
// changes the rate and line settings, stops and restarts the port, and prints every USB request
// with its result; then it plugs every generation in both layouts, removes the port and unloads
// the driver with a pool check.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "driver/entry.h"
#include "driver/globals.h"
#include "driver/port.h"
#include "emu/kernel/debuglog.h"
#include "emu/kernel/io_manager.h"
#include "emu/kernel/kernel.h"
#include "emu/kernel/namespace.h"
#include "emu/kernel/pnp.h"
#include "emu/kernel/pool.h"
#include "emu/kernel/registry.h"
#include "emu/kernel/sched.h"
#include "chip/baud.h"
#include "chip/line_control.h"
#include "driver/add_device.h"
#include "emu/usb/bridge_chip.h"
#include "emu/usb/usb_bus.h"
#include "usb/configure.h"
#include "usb/pipes.h"
#include "usb/sync_request.h"

namespace {

constexpr char kService[] = "quella";
constexpr char kDemoExtBaudrate[] = "1200,2400 9600,19200 250000,3000000";

struct Options {
    std::optional<std::string> ext_baudrate = std::string(kDemoExtBaudrate);
    bool real_time = false;
    int generation = 2;
    emu::usb::PipeLayout layout = emu::usb::PipeLayout::Two;
};

void Usage() {
    std::printf(
        "usage: quella-lab [--ext-baudrate \"REQ,CHIP REQ,CHIP ...\"] [--no-ext-baudrate]\n"
        "                  [--generation 0..4] [--layout one|two] [--real-time]\n");
}

bool ParseArgs(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--ext-baudrate") && i + 1 < argc) {
            options->ext_baudrate = std::string(argv[++i]);
        } else if (!std::strcmp(argv[i], "--no-ext-baudrate")) {
            options->ext_baudrate.reset();
        } else if (!std::strcmp(argv[i], "--real-time")) {
            options->real_time = true;
        } else if (!std::strcmp(argv[i], "--generation") && i + 1 < argc) {
            options->generation = std::atoi(argv[++i]);
            if (options->generation < 0 || options->generation > 4) {
                return false;
            }
        } else if (!std::strcmp(argv[i], "--layout") && i + 1 < argc) {
            std::string layout = argv[++i];
            if (layout != "one" && layout != "two") {
                return false;
            }
            options->layout =
                layout == "one" ? emu::usb::PipeLayout::Single : emu::usb::PipeLayout::Two;
        } else {
            return false;
        }
    }
    return true;
}

double Seconds(emu::Time t) {
    return double(t) / double(emu::kSecond);
}

const char* LayoutName(emu::usb::PipeLayout layout) {
    return layout == emu::usb::PipeLayout::Single ? "one interface" : "two interfaces";
}

const char* PipeTypeName(USBD_PIPE_TYPE type) {
    switch (type) {
        case UsbdPipeTypeControl:
            return "control";
        case UsbdPipeTypeIsochronous:
            return "isochronous";
        case UsbdPipeTypeBulk:
            return "bulk";
        default:
            return "interrupt";
    }
}

std::shared_ptr<emu::usb::BridgeChip> NewChip(int generation, emu::usb::PipeLayout layout) {
    emu::usb::BridgeChipOptions chip_options;
    chip_options.generation = generation;
    chip_options.layout = layout;
    return std::make_shared<emu::usb::BridgeChip>(chip_options);
}

// Plugs the device behind `bus` with "PortName" = `com_name`: AddDevice, start and the queries
// that follow. Returns the port's device object, or null.
PDEVICE_OBJECT Plug(PDRIVER_OBJECT driver, emu::usb::UsbBus& bus, const std::string& com_name,
                    NTSTATUS* status) {
    emu::RegistrySetString(emu::DeviceParametersPath(bus.Pdo()), u"PortName", emu::ToU16(com_name));
    *status = emu::PnpPlug(driver, bus.Pdo());
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(bus.Pdo());
    ObDereferenceObject(top);
    return top == bus.Pdo() ? nullptr : top;
}

void PrintNames(PDEVICE_OBJECT pdo, const std::string& device_name, const std::string& com_name) {
    std::optional<std::string> link = emu::SymbolicLinkTarget("\\DosDevices\\" + com_name);
    std::printf("  %s -> %s\n", com_name.c_str(), link ? link->c_str() : "(no link)");
    std::optional<emu::RegistryValue> serialcomm = emu::RegistryGetValue(
        emu::RegistryJoin(emu::kRegistryDeviceMapPath, u"SERIALCOMM"), emu::ToU16(device_name));
    std::printf("  SERIALCOMM %s = %s\n", device_name.c_str(),
                serialcomm ? emu::ToNarrow(serialcomm->String()).c_str() : "(none)");
    for (const emu::DeviceInterfaceInfo& info : emu::DeviceInterfaces()) {
        if (info.pdo == pdo) {
            std::printf("  interface %s %s\n", info.link_name.c_str(),
                        info.enabled ? "enabled" : "disabled");
        }
    }
}

void PrintNewUsbRequests(emu::usb::UsbBus& bus, size_t* shown) {
    std::vector<emu::usb::UrbRecord> log = bus.Log();
    for (; *shown < log.size(); ++*shown) {
        std::printf("  usb   %s\n", log[*shown].Describe().c_str());
    }
}

int RunDemo(const Options& options) {
    emu::KernelOptions kernel_options;
    kernel_options.real_time = options.real_time;
    emu::Kernel kernel(kernel_options);
    emu::SetDebugLogSink([](const emu::DebugLogEntry& entry) {
        std::string text = entry.text;
        while (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
        std::printf("  debug %s\n", text.c_str());
    });

    std::printf("== load QUELLA.SYS\n");
    std::u16string service_key = emu::ServiceKeyPath(kService);
    emu::RegistryCreateKey(service_key);
    if (options.ext_baudrate) {
        std::printf("  ExtBaudrate = \"%s\"\n", options.ext_baudrate->c_str());
        emu::RegistrySetString(service_key, u"ExtBaudrate", emu::ToU16(*options.ext_baudrate));
    } else {
        std::printf("  no ExtBaudrate value\n");
    }
    emu::LoadedDriver loaded = emu::LoadDriver(DriverEntry, kService, QUELLA_POOL_TAG);
    std::printf("  DriverEntry -> 0x%08X\n", unsigned(loaded.status));
    if (!NT_SUCCESS(loaded.status)) {
        return 1;
    }
    std::printf("  substitution table: %d entr%s\n", int(ExtBaudCount),
                ExtBaudCount == 1 ? "y" : "ies");
    for (LONG i = 0; i < ExtBaudCount; ++i) {
        std::printf("    %lu -> %lu\n", static_cast<unsigned long>(ExtBaudTable[i].RequestedRate),
                    static_cast<unsigned long>(ExtBaudTable[i].ChipRate));
    }

    std::printf("== plug a generation-%d bridge chip with %s\n", options.generation,
                LayoutName(options.layout));
    emu::usb::UsbBus bus("bridge");
    std::shared_ptr<emu::usb::BridgeChip> chip = NewChip(options.generation, options.layout);
    bus.Attach(chip);
    NTSTATUS status;
    PDEVICE_OBJECT port = Plug(loaded.driver, bus, "COM5", &status);
    size_t shown = 0;
    PrintNewUsbRequests(bus, &shown);
    std::printf("  AddDevice and start -> 0x%08X\n", unsigned(status));
    if (port == nullptr || !NT_SUCCESS(status)) {
        return 1;
    }
    PSERIAL_PORT_EXTENSION ext = PortOf(port);
    std::string device_name = emu::ToNarrow(emu::FromUnicodeString(&ext->DeviceName));
    std::printf("  device object %s: type 0x%lX, flags 0x%04lX, stack size %d, attached above %s\n",
                device_name.c_str(), static_cast<unsigned long>(port->DeviceType),
                static_cast<unsigned long>(port->Flags), int(port->StackSize),
                emu::DeviceNameOf(ext->LowerDeviceObject).c_str());
    std::printf("  identified: ChipType %d, layout %s\n", int(ext->ChipType),
                ext->SingleInterface ? "A (one interface)" : "B (two interfaces)");
    static const char* const kPipeNames[] = {"PIPE_INTERRUPT_IN", "PIPE_BULK_OUT", "PIPE_BULK_IN"};
    for (ULONG index = PIPE_INTERRUPT_IN; index <= PIPE_BULK_IN; ++index) {
        PUSBD_PIPE_INFORMATION pipe = PipeInformationOf(ext, index);
        if (pipe == nullptr) {
            std::printf("  %-17s none\n", kPipeNames[index]);
            continue;
        }
        std::printf("  %-17s endpoint 0x%02X %-9s max packet %u\n", kPipeNames[index],
                    pipe->EndpointAddress, PipeTypeName(pipe->PipeType),
                    unsigned(pipe->MaximumPacketSize));
    }
    PrintNames(bus.Pdo(), device_name, "COM5");
    std::printf(
        "  WMI: %s; comm block: MaximumBaudRate %lu, BitsPerByte %lu, Parity %lu, "
        "StopBits %lu\n",
        emu::WmiRegistered(port) ? "registered" : "not registered",
        static_cast<unsigned long>(ext->WmiCommData.MaximumBaudRate),
        static_cast<unsigned long>(ext->WmiCommData.BitsPerByte),
        static_cast<unsigned long>(ext->WmiCommData.Parity),
        static_cast<unsigned long>(ext->WmiCommData.StopBits));

    std::printf("== rate and line settings\n");
    for (ULONG rate : {9600u, 250000u, 9600u}) {
        status = SetBaudRate(port, rate);
        PrintNewUsbRequests(bus, &shown);
        std::printf("  SetBaudRate(%lu) -> 0x%08X: CurrentBaudRate %lu, chip runs at %.0f baud\n",
                    static_cast<unsigned long>(rate), unsigned(status),
                    static_cast<unsigned long>(ext->CurrentBaudRate), chip->LineCoding().baud);
    }
    SERIAL_LINE_CONTROL line = {};
    line.WordLength = 8;
    line.Parity = NO_PARITY;
    line.StopBits = STOP_BIT_1;
    status = ApplySerialLineControl(ext, &line);
    PrintNewUsbRequests(bus, &shown);
    emu::usb::LineCodingState coding = chip->LineCoding();
    std::printf("  line control 8N1 -> 0x%08X: chip has %d data bits, parity %d, stop code %d\n",
                unsigned(status), int(coding.data_bits), int(coding.parity),
                int(coding.char_format));

    std::printf("== remote wake-up\n");
    status = SetRemoteWakeupFeature(port, TRUE);
    PrintNewUsbRequests(bus, &shown);
    std::printf("  SetRemoteWakeupFeature(on) -> 0x%08X\n", unsigned(status));
    if (!options.real_time) {
        std::printf("  the device stops answering:\n");
        bus.SetPolicy([](const emu::usb::UrbRecord&) { return emu::usb::UrbAction::Never(); });
        emu::Time start = emu::Now();
        status = SetRemoteWakeupFeature(port, TRUE);
        PrintNewUsbRequests(bus, &shown);
        std::printf("  SetRemoteWakeupFeature(on) -> 0x%08X after %.3f s (virtual)\n",
                    unsigned(status), Seconds(emu::Now() - start));
        bus.SetPolicy(nullptr);
    }

    std::printf("== stop and restart\n");
    status = emu::PnpStop(bus.Pdo());
    PrintNewUsbRequests(bus, &shown);
    std::printf("  query-stop and stop -> 0x%08X\n", unsigned(status));
    status = emu::PnpStart(bus.Pdo());
    std::printf("  restart -> 0x%08X after %zu USB requests: ChipType %d, rate %lu\n",
                unsigned(status), bus.Log().size() - shown, int(ext->ChipType),
                static_cast<unsigned long>(ext->CurrentBaudRate));
    shown = bus.Log().size();

    std::printf("== every generation in both layouts\n");
    int com = 6;
    for (int generation = 0; generation <= 4; ++generation) {
        for (emu::usb::PipeLayout layout :
             {emu::usb::PipeLayout::Single, emu::usb::PipeLayout::Two}) {
            emu::usb::UsbBus other_bus("bridge");
            other_bus.Attach(NewChip(generation, layout));
            std::string com_name = "COM" + std::to_string(com++);
            PDEVICE_OBJECT other = Plug(loaded.driver, other_bus, com_name, &status);
            if (other == nullptr) {
                return 1;
            }
            PSERIAL_PORT_EXTENSION other_ext = PortOf(other);
            std::printf(
                "  generation %d, %-14s -> 0x%08X %s ChipType %d, layout %s, %zu requests\n",
                generation, LayoutName(layout), unsigned(status), com_name.c_str(),
                int(other_ext->ChipType), other_ext->SingleInterface ? "A" : "B",
                other_bus.Log().size());
            emu::PnpRemove(other_bus.Pdo());
        }
    }

    std::printf("== remove the port and unload\n");
    status = emu::PnpRemove(bus.Pdo());
    std::printf("  query-remove and remove -> 0x%08X\n", unsigned(status));
    PrintNames(bus.Pdo(), device_name, "COM5");
    bool clean = emu::UnloadDriver(loaded.driver);
    std::printf("  unload: %s\n", clean ? "no pool left, no device left" : "LEAKS");
    emu::SetDebugLogSink(nullptr);
    return clean ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseArgs(argc, argv, &options)) {
        Usage();
        return 2;
    }
    return RunDemo(options);
}
