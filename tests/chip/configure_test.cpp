// Identification and configuration: the generation from the descriptors and strings, both pipe
// layouts and their pipe mapping, every way a configuration can be unusable, running out of
// memory at each step, and a few hundred malformed descriptor sets.
#include <random>

#include "tests/chip/support/chip_fixture.h"
#include "usb/configure.h"
#include "usb/pipes.h"

using namespace quella_test;
using emu::usb::BridgeChipOptions;
using emu::usb::ControlFault;
using emu::usb::GetDescriptorRequest;
using emu::usb::IdentityNearMiss;
using emu::usb::PipeLayout;
using emu::usb::RequestFilter;
using ::testing::ElementsAre;

namespace {

class ConfigureTest : public ChipTest {
  protected:
    // Plugs the chip with ChipType -1, as a start finds it, and identifies it.
    NTSTATUS Identify(BridgeChipOptions options) {
        Plug(options, std::nullopt, -1);
        return IdentifyChip(device_);
    }
    // GET_DESCRIPTOR requests of a type since the mark.
    size_t DescriptorReads(uint8_t type) const {
        size_t reads = 0;
        for (const auto& t : AllTraffic()) {
            reads += (t.bRequest == USB_REQUEST_GET_DESCRIPTOR && (t.wValue >> 8) == type) ? 1 : 0;
        }
        return reads;
    }
    size_t Selections() const {
        size_t selections = 0;
        for (const auto& t : AllTraffic()) {
            selections += t.function == URB_FUNCTION_SELECT_CONFIGURATION ? 1 : 0;
        }
        return selections;
    }
    // The port may use no pipe at all.
    void ExpectNoPipes() {
        EXPECT_EQ(port_->InterfaceInfo0, nullptr);
        EXPECT_EQ(port_->InterfaceInfo1, nullptr);
        for (ULONG pipe = 0; pipe < PIPE_COUNT; ++pipe) {
            EXPECT_EQ(PipeHandleOf(port_, pipe), nullptr);
        }
        EXPECT_EQ(DriverPool(), base_pool_);
    }
    emu::usb::DescriptorSet ChipDescriptors(const BridgeChipOptions& options) {
        return emu::usb::BridgeDescriptorSet(options.Descriptors());
    }
};

BridgeChipOptions Generation(int generation, PipeLayout layout = PipeLayout::Two) {
    BridgeChipOptions options;
    options.generation = generation;
    options.layout = layout;
    return options;
}

}  // namespace

TEST_F(ConfigureTest, GenerationFromDescriptors) {
    struct Case {
        const char* what;
        BridgeChipOptions options;
        LONG expected;
    };
    auto with = [](int generation, std::optional<uint8_t> device_class,
                   std::optional<uint8_t> max_packet0, IdentityNearMiss miss) {
        BridgeChipOptions options = Generation(generation);
        options.device_class = device_class;
        options.max_packet0 = max_packet0;
        options.near_miss = miss;
        return options;
    };
    const auto none = IdentityNearMiss::None;
    const Case cases[] = {
        {"communications class", with(0, std::nullopt, std::nullopt, none), 0},
        {"communications class wins over 64", with(0, std::nullopt, 64, none), 0},
        {"vendor class with 64: the packet size first", with(1, 0xFF, 64, none), 2},
        {"vendor class with 8", with(1, 0xFF, 8, none), 1},
        {"class per interface", with(1, 0x00, 8, none), 1},
        {"unknown class: not identified", with(1, 0x09, 8, none), -1},
        {"generation 2", with(2, std::nullopt, std::nullopt, none), 2},
        {"generation 3", with(3, std::nullopt, std::nullopt, none), 3},
        {"generation 4", with(4, std::nullopt, std::nullopt, none), 4},
        {"generation 3, mark one place later",
         with(3, std::nullopt, std::nullopt, IdentityNearMiss::Shifted), 2},
        {"generation 3, string one short",
         with(3, std::nullopt, std::nullopt, IdentityNearMiss::Short), 2},
        {"generation 4, mark one place later",
         with(4, std::nullopt, std::nullopt, IdentityNearMiss::Shifted), 3},
        {"generation 4, string one short",
         with(4, std::nullopt, std::nullopt, IdentityNearMiss::Short), 3},
    };
    bool first = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (!first) {
            Restart();
        }
        first = false;
        // The configuration succeeds for each (a chip not identified is matched with the row
        // of the newer generations, whose interfaces these chips have).
        EXPECT_EQ(Identify(c.options), STATUS_SUCCESS);
        EXPECT_EQ(port_->ChipType, c.expected);
        EXPECT_EQ(port_->DeviceIdentified, 1u);

        std::vector<emu::usb::ControlTransfer> reads = AllTraffic();
        ASSERT_GE(reads.size(), 1u);
        EXPECT_EQ(reads[0], GetDescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18));
        // Only a chip that looks like generation 2 has its strings read: string 2, then 1.
        bool newer = c.expected >= 2;
        EXPECT_EQ(DescriptorReads(USB_STRING_DESCRIPTOR_TYPE), newer ? 2u : 0u);
        if (newer) {
            EXPECT_EQ(reads[1], GetDescriptorRequest(USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, 64));
            EXPECT_EQ(reads[2], GetDescriptorRequest(USB_STRING_DESCRIPTOR_TYPE, 1, 0x0409, 64));
        }
        EXPECT_EQ(DescriptorReads(USB_CONFIGURATION_DESCRIPTOR_TYPE), 2u);
        EXPECT_EQ(Selections(), 1u);
    }
}

TEST_F(ConfigureTest, BothLayoutsMapThePipes) {
    bool first = true;
    for (int generation = 0; generation <= 4; ++generation) {
        for (PipeLayout layout : {PipeLayout::Single, PipeLayout::Two}) {
            const bool single = layout == PipeLayout::Single;
            SCOPED_TRACE("generation " + std::to_string(generation) +
                         (single ? ", one interface" : ", two interfaces"));
            if (!first) {
                Restart();
            }
            first = false;
            ASSERT_EQ(Identify(Generation(generation, layout)), STATUS_SUCCESS);
            EXPECT_EQ(port_->SingleInterface, single ? TRUE : FALSE);
            EXPECT_EQ(port_->InterfaceInfo1 == nullptr, single);
            EXPECT_TRUE(PipeLayoutComplete(port_));
            EXPECT_EQ(PipeHandleOf(port_, PIPE_INTERRUPT_IN),
                      chip_->PipeOf(emu::usb::kBridgeInterruptIn));
            EXPECT_EQ(PipeHandleOf(port_, PIPE_BULK_OUT), chip_->PipeOf(emu::usb::kBridgeBulkOut));
            EXPECT_EQ(PipeHandleOf(port_, PIPE_BULK_IN), chip_->PipeOf(emu::usb::kBridgeBulkIn));
            EXPECT_NE(PipeHandleOf(port_, PIPE_BULK_IN), nullptr);
            EXPECT_EQ(PipeInformationOf(port_, PIPE_COUNT), nullptr);
            if (single) {
                EXPECT_EQ(PipeInformationOf(port_, PIPE_BULK_IN), &port_->InterfaceInfo0->Pipes[2]);
            } else {
                EXPECT_EQ(PipeInformationOf(port_, PIPE_INTERRUPT_IN),
                          &port_->InterfaceInfo0->Pipes[0]);
                EXPECT_EQ(PipeInformationOf(port_, PIPE_BULK_OUT),
                          &port_->InterfaceInfo1->Pipes[0]);
                EXPECT_EQ(PipeInformationOf(port_, PIPE_BULK_IN), &port_->InterfaceInfo1->Pipes[1]);
            }
            // One selection for both interfaces: every handle kept is one the device honours.
            EXPECT_EQ(Selections(), 1u);
        }
    }

    // A new configuration replaces the copies (the old ones are freed) and the handles.
    const size_t pool = DriverPool();
    USBD_PIPE_HANDLE old = PipeHandleOf(port_, PIPE_BULK_OUT);
    ASSERT_EQ(ConfigureDevice(device_), STATUS_SUCCESS);
    EXPECT_EQ(DriverPool(), pool);
    EXPECT_NE(PipeHandleOf(port_, PIPE_BULK_OUT), old);
    EXPECT_EQ(PipeHandleOf(port_, PIPE_BULK_OUT), chip_->PipeOf(emu::usb::kBridgeBulkOut));
}

TEST_F(ConfigureTest, UnusableDescriptorsFailClearly) {
    struct Case {
        const char* what;
        std::function<void()> bend;
        NTSTATUS status;
        size_t configReads;  // configuration descriptor reads made
        size_t selections;
    };
    using Bend = std::function<emu::usb::DescriptorSet(emu::usb::DescriptorSet)>;
    auto setDescriptors = [this](Bend f) -> std::function<void()> {
        return [this, f] { chip_->SetDescriptors(f(ChipDescriptors(chip_->Options()))); };
    };
    auto fault = [this](ControlFault f) -> std::function<void()> {
        return [this, f] { chip_->InjectFault(f); };
    };
    auto without = [this](uint8_t endpoint) -> std::function<void()> {
        return [this, endpoint] {
            chip_->SetDescriptors(
                emu::usb::WithoutEndpoint(chip_->Options().Descriptors(), endpoint));
        };
    };
    const auto config = RequestFilter::Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE);
    const Case cases[] = {
        {"first read refused", fault(ControlFault::Stall(config).Times(1)), STATUS_UNSUCCESSFUL, 1,
         0},
        {"first read short", fault(ControlFault::Short(config, 8).Times(1)),
         STATUS_DEVICE_DATA_ERROR, 1, 0},
        {"wTotalLength below 9", setDescriptors([](emu::usb::DescriptorSet set) {
             return emu::usb::WithTotalLength(set, 5);
         }),
         STATUS_DEVICE_DATA_ERROR, 1, 0},
        {"wTotalLength longer than the configuration",
         setDescriptors([](emu::usb::DescriptorSet set) {
             return emu::usb::WithTotalLength(set, uint16_t(set.configuration.size() + 10));
         }),
         STATUS_DEVICE_DATA_ERROR, 2, 0},
        {"configuration cut short", setDescriptors([](emu::usb::DescriptorSet set) {
             return emu::usb::TruncatedConfiguration(set, set.configuration.size() - 5);
         }),
         STATUS_DEVICE_DATA_ERROR, 2, 0},
        {"second read refused", fault(ControlFault::Stall(config).Skip(1).Times(1)),
         STATUS_UNSUCCESSFUL, 2, 0},
        {"second read short", fault(ControlFault::Short(config, 20).Skip(1).Times(1)),
         STATUS_DEVICE_DATA_ERROR, 2, 0},
        {"an endpoint with bLength 0", setDescriptors([](emu::usb::DescriptorSet set) {
             set.configuration[9 + 9] = 0;  // the first endpoint after the first interface
             return set;
         }),
         STATUS_DEVICE_DATA_ERROR, 2, 0},
        {"no bulk-in pipe", without(emu::usb::kBridgeBulkIn), STATUS_DEVICE_DATA_ERROR, 2, 1},
        {"no interrupt-in pipe", without(emu::usb::kBridgeInterruptIn), STATUS_DEVICE_DATA_ERROR, 2,
         1},
        {"selection refused", fault(ControlFault::Stall(RequestFilter::SelectConfiguration())),
         STATUS_UNSUCCESSFUL, 2, 1},
    };
    bool first = true;
    for (PipeLayout layout : {PipeLayout::Single, PipeLayout::Two}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) +
                         (layout == PipeLayout::Single ? ", one interface" : ", two interfaces"));
            if (!first) {
                Restart();
            }
            first = false;
            Plug(Generation(3, layout), std::nullopt, -1);
            c.bend();
            EXPECT_EQ(IdentifyChip(device_), c.status);
            EXPECT_EQ(port_->ChipType, 3);
            EXPECT_EQ(port_->DeviceIdentified, 1u);
            EXPECT_EQ(DescriptorReads(USB_CONFIGURATION_DESCRIPTOR_TYPE), c.configReads);
            EXPECT_EQ(Selections(), c.selections);
            ExpectNoPipes();
        }
    }
}

TEST_F(ConfigureTest, UnusableDeviceDescriptorOrInterfaces) {
    // The device descriptor read fails: nothing else is read; the start fails with its status.
    Plug(Generation(2), std::nullopt, -1);
    chip_->InjectFault(ControlFault::Stall(RequestFilter::Descriptor(USB_DEVICE_DESCRIPTOR_TYPE)));
    EXPECT_EQ(IdentifyChip(device_), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(port_->ChipType, -1);
    EXPECT_EQ(port_->DeviceIdentified, 1u);
    EXPECT_EQ(AllTraffic().size(), 1u);
    ExpectNoPipes();

    // Too short to tell the generation by (bMaxPacketSize0 is byte 7).
    Restart();
    Plug(Generation(2), std::nullopt, -1);
    chip_->InjectFault(
        ControlFault::Short(RequestFilter::Descriptor(USB_DEVICE_DESCRIPTOR_TYPE), 7));
    EXPECT_EQ(IdentifyChip(device_), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(port_->ChipType, -1);
    EXPECT_EQ(AllTraffic().size(), 1u);
    ExpectNoPipes();

    // A generation-0 device whose interfaces are not those of its match-table row: nothing is
    // selected.
    Restart();
    BridgeChipOptions options = Generation(1);
    options.device_class = 0x02;
    Plug(options, std::nullopt, -1);
    EXPECT_EQ(IdentifyChip(device_), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(port_->ChipType, 0);
    EXPECT_EQ(Selections(), 0u);
    ExpectNoPipes();

    // A string read the device refuses only means no refinement.
    Restart();
    Plug(Generation(4), std::nullopt, -1);
    chip_->InjectFault(ControlFault::Stall(RequestFilter::Descriptor(USB_STRING_DESCRIPTOR_TYPE)));
    EXPECT_EQ(IdentifyChip(device_), STATUS_SUCCESS);
    EXPECT_EQ(port_->ChipType, 2);
}

TEST_F(ConfigureTest, OutOfMemoryAtEveryStep) {
    const ULONG untagged = emu::PoolTag("None");  // what the USBD routines allocate
    for (PipeLayout layout : {PipeLayout::Single, PipeLayout::Two}) {
        SCOPED_TRACE(layout == PipeLayout::Single ? "one interface" : "two interfaces");
        if (layout == PipeLayout::Two) {
            Restart();
        }
        Plug(Generation(4, layout), std::nullopt, -1);
        const size_t usbd = emu::PoolOutstandingCount(untagged);
        ForEachAllocationFailure([&](uint64_t k) {
            port_->ChipType = -1;
            port_->DeviceIdentified = 0;
            NTSTATUS status = IdentifyChip(device_);
            if (k == 0) {
                EXPECT_EQ(status, STATUS_SUCCESS);
                EXPECT_EQ(port_->ChipType, 4);
                FreeInterfaceCopies(port_);
            } else {
                EXPECT_TRUE(status == STATUS_NO_MEMORY || status == STATUS_INSUFFICIENT_RESOURCES)
                    << std::hex << status;
                // Never a generation that was not checked to the end.
                EXPECT_TRUE(port_->ChipType == -1 || port_->ChipType == 4) << port_->ChipType;
                ExpectNoPipes();
            }
            EXPECT_EQ(emu::PoolOutstandingCount(untagged), usbd);
        });
    }
}

// Identification and configuration of a few hundred malformed descriptor sets: each ends in
// success with a complete pipe layout or in a failure status, without reading past a buffer
// (AddressSanitizer watches) and without hanging.
TEST_F(ConfigureTest, MalformedDescriptorSets) {
    std::mt19937 random(2024);
    auto byte = [&] { return uint8_t(random() & 0xFF); };
    int successes = 0;
    int failures = 0;
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        if (round > 0) {
            Restart();
        }
        const int generation = int(random() % 5);
        const PipeLayout layout = random() % 2 ? PipeLayout::Single : PipeLayout::Two;
        BridgeChipOptions options = Generation(generation, layout);
        Plug(options, std::nullopt, -1);
        emu::usb::DescriptorSet set = ChipDescriptors(options);
        switch (random() % 6) {
            case 0:  // a few bytes of the configuration changed
                for (int n = int(random() % 4) + 1; n > 0; --n) {
                    set.configuration[random() % set.configuration.size()] = byte();
                }
                break;
            case 1:  // lengths and counts changed
                set.configuration[random() % 2 ? 0 : 9 * (1 + random() % 2)] =
                    uint8_t(random() % 12);
                set.configuration[4] = uint8_t(random() % 4);
                break;
            case 2:  // cut anywhere
                set = emu::usb::TruncatedConfiguration(set, random() % set.configuration.size());
                break;
            case 3:  // a lying wTotalLength
                set = emu::usb::WithTotalLength(set, uint16_t(random() % 80));
                break;
            case 4:  // device descriptor and strings of any shape
                set.device.resize(random() % 19);
                for (auto& b : set.device) {
                    b = random() % 3 ? b : byte();
                }
                for (auto& [index, text] : set.strings) {
                    text.resize(random() % 70);
                    for (auto& b : text) {
                        b = byte();
                    }
                }
                break;
            default:  // a configuration of random bytes
                set.configuration.resize(random() % 64);
                for (auto& b : set.configuration) {
                    b = byte();
                }
                break;
        }
        chip_->SetDescriptors(set);
        NTSTATUS status = IdentifyChip(device_);
        if (NT_SUCCESS(status)) {
            ++successes;
            EXPECT_TRUE(PipeLayoutComplete(port_));
        } else {
            ++failures;
            ExpectNoPipes();
        }
        EXPECT_EQ(port_->DeviceIdentified, 1u);
    }
    // Both outcomes occur.
    EXPECT_GT(successes, 0);
    EXPECT_GT(failures, 0);
}
