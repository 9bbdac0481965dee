// quella-lab: runs the driver on the emulated platform and shows what it does.
//
//   quella-lab                         the built-in demo
//   quella-lab --ext-baudrate "1200,2400 9600,19200"
//   quella-lab --real-time             follow the wall clock instead of virtual time
//
// The demo loads QUELLA.SYS into the emulated kernel, plugs a bridge stand-in into the emulated
// USB bus, lets Plug and Play add the port, sends the chip a few requests and prints every USB
// request with its result, then removes the port and unloads the driver with a pool check.
#include <cstdio>
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
#include "emu/kernel/pool.h"
#include "emu/kernel/registry.h"
#include "emu/kernel/sched.h"
#include "emu/usb/standard_device.h"
#include "emu/usb/usb_bus.h"
#include "usb/sync_request.h"

namespace {

constexpr char kService[] = "quella";
constexpr char kDemoExtBaudrate[] = "1200,2400 9600,19200 250000,3000000";

struct Options {
    std::optional<std::string> ext_baudrate = std::string(kDemoExtBaudrate);
    bool real_time = false;
};

void Usage() {
    std::printf(
        "usage: quella-lab [--ext-baudrate \"REQ,CHIP REQ,CHIP ...\"] [--no-ext-baudrate] "
        "[--real-time]\n");
}

bool ParseArgs(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--ext-baudrate") && i + 1 < argc) {
            options->ext_baudrate = std::string(argv[++i]);
        } else if (!std::strcmp(argv[i], "--no-ext-baudrate")) {
            options->ext_baudrate.reset();
        } else if (!std::strcmp(argv[i], "--real-time")) {
            options->real_time = true;
        } else {
            return false;
        }
    }
    return true;
}

std::u16string Widen(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

std::string Narrow(const UNICODE_STRING& s) {
    std::string out;
    for (USHORT i = 0; i < s.Length / sizeof(WCHAR); ++i) {
        out += char(s.Buffer[i]);
    }
    return out;
}

double Seconds(emu::Time t) {
    return double(t) / double(emu::kSecond);
}

// A bridge stand-in: a vendor-class device with the three data endpoints, which accepts every
// control request.
class StandIn : public emu::usb::StandardUsbDevice {
  public:
    StandIn() : StandardUsbDevice(Descriptors()) {}

  private:
    static emu::usb::DescriptorSet Descriptors() {
        emu::usb::DescriptorSet set;
        set.device = emu::usb::DeviceDescriptor(0xFF, 8, 0xFFFF, 0x5101, 0x0100, 1, 2, 0);
        set.configuration = emu::usb::ConfigurationDescriptor(
            {{0, 0, 0xFF, 0xFF, 0xFF, {{0x81, 3, 10, 1}, {0x02, 2, 64, 0}, {0x83, 2, 64, 0}}}});
        set.strings[0] = emu::usb::LanguageList({0x0409});
        set.strings[1] = emu::usb::StringDescriptor(u"Quella Lab");
        set.strings[2] = emu::usb::StringDescriptor(u"Bridge stand-in");
        return set;
    }
    emu::usb::UrbResult OnControl(const emu::usb::SetupPacket&, UCHAR*, ULONG* length) override {
        *length = 0;
        return emu::usb::UrbResult::Success();
    }
};

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
        emu::RegistrySetString(service_key, u"ExtBaudrate", Widen(*options.ext_baudrate));
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

    std::printf("== plug a bridge stand-in\n");
    emu::usb::UsbBus bus("bridge");
    bus.Attach(std::make_shared<StandIn>());
    NTSTATUS status = emu::CallAddDevice(loaded.driver, bus.Pdo());
    std::printf("  AddDevice -> 0x%08X\n", unsigned(status));
    if (!NT_SUCCESS(status)) {
        return 1;
    }
    PDEVICE_OBJECT port = emu::DevicesOf(loaded.driver).front();
    PSERIAL_PORT_EXTENSION ext = PortOf(port);
    std::printf("  device object %s: type 0x%lX, flags 0x%04lX, stack size %d, attached above %s\n",
                Narrow(ext->DeviceName).c_str(), static_cast<unsigned long>(port->DeviceType),
                static_cast<unsigned long>(port->Flags), int(port->StackSize),
                emu::DeviceNameOf(ext->LowerDeviceObject).c_str());

    std::printf("== USB requests\n");
    size_t shown = 0;
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

    std::printf("== remove the port and unload\n");
    IoDetachDevice(ext->LowerDeviceObject);
    ExFreePoolWithTag(ext->DeviceName.Buffer, QUELLA_POOL_TAG);
    IoDeleteDevice(port);
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
