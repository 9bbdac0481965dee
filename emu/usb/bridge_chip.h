// The emulated bridge chip: a USB device of one of five generations (ChipType 0..4) that answers
// exactly the control protocol the driver speaks and records every request outside it as a
// protocol violation (which also stalls, as the chip would).
//
// What it answers:
//   - standard requests (StandardUsbDevice): descriptors (partial reads give the first n bytes;
//     strings in language 0x0409), SELECT_CONFIGURATION with pipe handles, remote wake-up;
//   - class requests to interface 0 (bmRequestType 0x21): SET_LINE_CODING 0x20 (7 bytes; a
//     dwDTERate with bit 31 set is a divisor word: rate = 384,000,000 / (m * 4^e), m bits 0-8,
//     e bits 9-11; only generations 2 and above take divisor words), SET_CONTROL_LINE_STATE 0x22
//     (DTR bit 0, RTS bit 1), SEND_BREAK 0x23 (0xFFFF on, 0 off), SET_COMM_FEATURE 0x02
//     (wValue 1, 2 bytes);
//   - vendor requests, bRequest 1 (0x40 out without data, 0xC0 in):
//       register file: write wValue r (0..2) with wIndex the value; read wValue 0x80 + r, 1 byte;
//       EEPROM (256 bytes): write step 0x0303 wIndex = data << 8 | address; read = address step
//         0x0404 wIndex = address, then data step 0x8383 (1 byte); busy poll 0x8484 (1 byte, bit 0
//         set for eeprom_write_time after each write); an EEPROM step while busy is a violation;
//       generation 2 and above: 0x0505 (wIndex = xoff << 8 | xon), 0x0808 / 0x0909 (wIndex 0),
//         0x0B0B (wIndex a byte), chip words 0x0606 / 0x0707 (wIndex the word), reads 0x8686 /
//         0x8787 (2 bytes, the words last written with 0x06 / 0x07);
//       generation 3 and above: chip words 0x0C0C..0x0F0F, reads 0x8C8C / 0x8D8D (2 bytes),
//         0x8E8E / 0x8F8F (1 byte, the low byte of the 0x0E / 0x0F word).
//     A read may ask for fewer bytes than the answer has, never for more.
//   - data pipes (bridge_pipes.cpp), answered as a host controller would, from device-model
//     work on a processor thread at DISPATCH_LEVEL (never inside the submitting call):
//       interrupt-in: a pending read gets the 10-byte status packet (StatusPacket) whenever a
//         modem line or a line error has changed (SetModemLines, InjectLineError); a change
//         while no read is pending goes out when the next read arrives. Line errors are events:
//         the packet that reports them clears them;
//       bulk-in: bytes from the far end (FarEndSend) wait in the chip's receive FIFO and leave
//         in short packets, at most 384 bytes and never more than the read asks;
//       bulk-out: each transfer's bytes go to the far end (SetFarEnd; every packet, zero-length
//         ones included, is also recorded: FarEndReceived, BulkOutPackets).
//     Data pipes need the chip to be owned by a std::shared_ptr (as UsbBus::Attach has it).
//
// Faults a test injects (InjectFault) stall, fail, never answer or cut short the control
// requests a RequestFilter picks. A stalled, failed or unanswered request never reaches the chip:
// it is neither acted on nor checked.
//
// Violations are kept until taken (TakeViolations). A chip destroyed with violations left hands
// each to the reporter installed with SetViolationReporter (tests install one that fails the
// test: include "tests/usb/bridge_guard.h"); without a reporter they go to stderr.
#pragma once

#include <array>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emu/usb/bridge_descriptors.h"
#include "emu/usb/standard_device.h"
#include "emu/usb/wire_log.h"

namespace emu::usb {

struct BridgeChipOptions {
    int generation = 2;  // ChipType 0..4
    PipeLayout layout = PipeLayout::Two;
    IdentityNearMiss near_miss = IdentityNearMiss::None;
    uint8_t generation1_class = 0x00;     // bDeviceClass of generation 1: 0x00 or 0xFF
    std::optional<uint8_t> device_class;  // overrides bDeviceClass
    std::optional<uint8_t> max_packet0;   // overrides bMaxPacketSize0
    // How long the EEPROM stays busy after a write step (virtual time).
    Time eeprom_write_time = 10 * kMillisecond;
    // Bits the busy poll returns besides bit 0 (a driver must test bit 0 only).
    uint8_t eeprom_status_other_bits = 0;
    // The EEPROM holds EepromSignature at address 0 (else it is blank: every byte 0xFF).
    bool programmed_eeprom = false;
    // Registers 0, 1, 2 at power-up; unset: 0, 0, 0, and 0x6C for register 1 of generation 4.
    std::optional<std::array<uint8_t, 3>> registers;

    BridgeDescriptorOptions Descriptors() const;
};

// A control request outside the chip's protocol.
struct ProtocolViolation {
    Time time = 0;
    SetupPacket setup;
    std::string reason;
    // "t=0.0100000s 40 01 0505 1311 0000: chip code 0x0505 needs generation 2 (this is 1)"
    std::string Describe() const;
};

// A fault on the control requests a filter picks.
struct ControlFault {
    enum class Kind {
        Stall,     // USBD_STATUS_STALL_PID / STATUS_UNSUCCESSFUL, nothing moved
        Fail,      // ends with `result`, nothing moved
        NoAnswer,  // kept until cancelled (the driver's time-out)
        Short,     // answered, but at most `short_length` bytes move
    };
    RequestFilter filter;
    Kind kind = Kind::Stall;
    UrbResult result = UrbResult::Stall();
    ULONG short_length = 0;
    int skip = 0;    // matching requests let through before the fault applies
    int times = -1;  // how many matching requests it hits; -1: every one

    static ControlFault Stall(RequestFilter filter);
    static ControlFault Fail(RequestFilter filter, UrbResult result);
    static ControlFault NoAnswer(RequestFilter filter);
    static ControlFault Short(RequestFilter filter, ULONG length);
    ControlFault Skip(int count) const;
    ControlFault Times(int count) const;
};

// The last SET_LINE_CODING the chip took.
struct LineCodingState {
    std::array<uint8_t, 7> raw{};
    uint32_t dte_rate = 0;    // dwDTERate as sent
    double baud = 0;          // the rate it means (divisor words decoded)
    uint8_t char_format = 0;  // 0 one stop bit, 1 one and a half, 2 two
    uint8_t parity = 0;       // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t data_bits = 8;
    int count = 0;  // SET_LINE_CODING requests taken
};

// The rate a dwDTERate means: a plain rate, or for a word with bit 31 set
// 384,000,000 / (m * 4^e) with m = bits 0-8, e = bits 9-11 (0 when m is 0).
double DecodeBaudRate(uint32_t dte_rate);

// Receives the description of each violation a chip still held when it was destroyed.
using ViolationReporter = std::function<void(const std::string& description)>;
void SetViolationReporter(ViolationReporter reporter);

// The line-state word of the status packet (bytes 8-9, low byte first).
constexpr uint16_t kLineDcd = 0x01;
constexpr uint16_t kLineDsr = 0x02;
constexpr uint16_t kLineBreak = 0x04;
constexpr uint16_t kLineRing = 0x08;
constexpr uint16_t kLineFraming = 0x10;
constexpr uint16_t kLineParity = 0x20;
constexpr uint16_t kLineOverrun = 0x40;
constexpr uint16_t kLineCts = 0x80;
constexpr uint16_t kModemLineBits = kLineDcd | kLineDsr | kLineRing | kLineCts;
constexpr uint16_t kLineErrorBits = kLineBreak | kLineFraming | kLineParity | kLineOverrun;

constexpr size_t kStatusPacketLength = 10;
constexpr size_t kBulkInMaxPacket = 384;  // bytes one bulk-in transfer carries at most

// The status packet for a line-state word: a serial-state notification (A1 20 0000 0000 0200)
// followed by the word.
std::vector<uint8_t> StatusPacket(uint16_t line_state);

// What the chip's serial side is wired to: the far end of the cable (a test, a loopback plug,
// another port). The chip hands it every byte it transmits; the far end talks back through the
// chip (FarEndSend, SetModemLines, InjectLineError).
class FarEnd {
  public:
    virtual ~FarEnd() = default;
    // The bytes of one bulk-out transfer, in order (zero-length packets are not passed on).
    // Runs on a processor thread at DISPATCH_LEVEL without the chip's locks; it may call back
    // into the chip but must not block.
    virtual void Receive(const std::vector<uint8_t>& bytes) = 0;
};

class BridgeChip : public StandardUsbDevice, public std::enable_shared_from_this<BridgeChip> {
  public:
    explicit BridgeChip(BridgeChipOptions options = {});
    ~BridgeChip() override;

    void Submit(const std::shared_ptr<UrbTransfer>& transfer) override;
    void Cancelled(const std::shared_ptr<UrbTransfer>& transfer) override;

    int Generation() const { return options_.generation; }
    const BridgeChipOptions& Options() const { return options_; }

    // --- protocol violations ---
    std::vector<ProtocolViolation> Violations() const;
    // Returns the violations and forgets them (a test that provoked them on purpose).
    std::vector<ProtocolViolation> TakeViolations();

    // --- faults ---
    void InjectFault(ControlFault fault);
    void ClearFaults();
    // Control requests held by a NoAnswer fault and not yet cancelled.
    size_t UnansweredCount() const;

    // --- chip state ---
    uint8_t Register(int r) const;  // r = 0..2
    std::array<uint8_t, 3> Registers() const;
    void SetRegister(int r, uint8_t value);
    // Register writes taken, in order (register, value).
    std::vector<std::pair<int, uint8_t>> RegisterWrites() const;

    uint8_t EepromByte(uint8_t address) const;
    std::array<uint8_t, 256> Eeprom() const;
    void SetEeprom(uint8_t address, const std::vector<uint8_t>& bytes);
    // Writes EepromSignature (low byte first) at `address`.
    void ProgramSignature(uint8_t address);
    // EEPROM write steps taken.
    int EepromWrites() const;
    bool EepromBusy() const;
    // Keeps the EEPROM busy until `until` (virtual time): a chip that never finishes a write.
    void SetEepromBusyUntil(Time until);

    LineCodingState LineCoding() const;
    uint16_t ControlLines() const;  // the last SET_CONTROL_LINE_STATE word
    bool Dtr() const { return (ControlLines() & 0x1) != 0; }
    bool Rts() const { return (ControlLines() & 0x2) != 0; }
    bool BreakOn() const;
    int BreakRequests() const;
    std::optional<uint16_t> CommFeature() const;  // the last ABSTRACT_STATE word

    // Chip codes of generations 2 and above.
    std::optional<std::pair<uint8_t, uint8_t>> XonXoffChars() const;  // (xon, xoff)
    std::optional<bool> Flag0809() const;                             // 0x0909 on, 0x0808 off
    std::optional<uint8_t> Code0B() const;
    // The word last written with chip code c (0x06, 0x07, 0x0C..0x0F); a test may preset it.
    uint16_t ChipWord(uint8_t code) const;
    void SetChipWord(uint8_t code, uint16_t value);

    // --- data pipes (bridge_pipes.cpp) ---
    // The far end of the cable; null: bytes are only recorded.
    void SetFarEnd(std::shared_ptr<FarEnd> far_end);
    // Bytes arriving from the far end: kept in the receive FIFO until bulk-in reads take them.
    void FarEndSend(const std::vector<uint8_t>& bytes);
    size_t ReceiveFifoCount() const;
    // Everything the chip transmitted, in order; and each bulk-out transfer's bytes.
    std::vector<uint8_t> FarEndReceived() const;
    std::vector<std::vector<uint8_t>> BulkOutPackets() const;
    size_t ZeroLengthPackets() const;

    // The modem lines the far end drives (kLineCts | kLineDsr | kLineRing | kLineDcd; other bits
    // are ignored). A change sends a status packet.
    void SetModemLines(uint16_t lines);
    // Line errors the chip detected (kLineBreak | kLineFraming | kLineParity | kLineOverrun):
    // reported in the next status packet, together with errors not yet reported.
    void InjectLineError(uint16_t errors);
    // The word the next status packet would carry.
    uint16_t LineState() const;
    // Status packets sent (raw ones included).
    size_t StatusPacketsSent() const;

    // Faults of the data pipes: the next interrupt-in read gets exactly `packet` (cut to the
    // read's length; may be short or empty), before any status change; the next bulk-in read
    // gets a zero-length packet, before any FIFO bytes.
    void SendRawStatus(std::vector<uint8_t> packet);
    void SendEmptyBulkIn();

    // Reads waiting on an input endpoint (kBridgeInterruptIn, kBridgeBulkIn), cancelled ones not
    // counted.
    size_t PendingReads(uint8_t endpoint) const;

  protected:
    UrbResult OnControl(const SetupPacket& setup, UCHAR* data, ULONG* length) override;
    void OnDataTransfer(uint8_t endpoint, const std::shared_ptr<UrbTransfer>& transfer) override;

  private:
    struct ActiveFault {
        ControlFault fault;
        int seen = 0;
        int hit = 0;
    };

    // bridge_chip.cpp
    std::optional<ControlFault> TakeFault(const SetupPacket& setup);
    bool CheckStandard(const SetupPacket& setup);
    UrbResult Violation(const SetupPacket& setup, ULONG* length, std::string reason);
    void RecordViolation(const SetupPacket& setup, std::string reason);

    // bridge_vendor.cpp (chip lock held)
    UrbResult ClassRequest(const SetupPacket& setup, UCHAR* data, ULONG* length);
    UrbResult VendorRequest(const SetupPacket& setup, UCHAR* data, ULONG* length);
    UrbResult VendorOut(const SetupPacket& setup, ULONG* length);
    UrbResult VendorIn(const SetupPacket& setup, UCHAR* data, ULONG* length);
    UrbResult LineCodingRequest(const SetupPacket& setup, const UCHAR* data, ULONG* length);
    bool EepromBusyLocked() const;

    // bridge_pipes.cpp (data_mutex_ not held)
    enum class PumpState { Idle, Queued, Running };
    void SchedulePump();
    void Pump();
    void AnswerBulkOut(const std::shared_ptr<UrbTransfer>& transfer);
    void AnswerStatus(const std::shared_ptr<UrbTransfer>& transfer);
    void AnswerBulkIn(const std::shared_ptr<UrbTransfer>& transfer);
    std::deque<std::shared_ptr<UrbTransfer>>* DataQueue(uint8_t endpoint);
    void DropFinished(uint8_t endpoint);

    const BridgeChipOptions options_;

    // The data pipes. Never held while calling a transfer (answers take it).
    mutable std::mutex data_mutex_;
    PumpState pump_ = PumpState::Idle;
    std::deque<std::shared_ptr<UrbTransfer>> status_reads_;
    std::deque<std::shared_ptr<UrbTransfer>> bulk_in_reads_;
    std::deque<std::shared_ptr<UrbTransfer>> bulk_out_writes_;
    std::deque<uint8_t> receive_fifo_;
    std::deque<std::vector<uint8_t>> raw_status_;
    size_t empty_bulk_in_ = 0;
    uint16_t modem_lines_ = 0;
    uint16_t pending_errors_ = 0;
    bool status_changed_ = false;
    size_t status_packets_ = 0;
    std::shared_ptr<FarEnd> far_end_;
    std::vector<uint8_t> far_end_received_;
    std::vector<std::vector<uint8_t>> bulk_out_packets_;

    mutable std::mutex chip_mutex_;  // everything below; never held while calling a transfer
    std::vector<ProtocolViolation> violations_;
    std::vector<ActiveFault> faults_;
    std::vector<std::shared_ptr<UrbTransfer>> unanswered_;

    std::array<uint8_t, 3> registers_{};
    std::vector<std::pair<int, uint8_t>> register_writes_;
    std::array<uint8_t, 256> eeprom_{};
    uint16_t eeprom_address_ = 0;
    Time eeprom_busy_until_ = 0;
    int eeprom_writes_ = 0;
    LineCodingState line_coding_;
    uint16_t control_lines_ = 0;
    bool break_on_ = false;
    int break_requests_ = 0;
    std::optional<uint16_t> comm_feature_;
    std::optional<std::pair<uint8_t, uint8_t>> xon_xoff_;
    std::optional<bool> flag0809_;
    std::optional<uint8_t> code0b_;
    std::map<uint8_t, uint16_t> chip_words_;
};

}  // namespace emu::usb
