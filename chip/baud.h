// Baud-rate encoding: the table of standard rates with the chip's divisor words, the
// nearest-rate rule, and SetBaudRate, which programs a rate into the chip's line coding.
#pragma once

#include "driver/port.h"

// One standard rate and the divisor word that encodes it: bit 31 set, mantissa m in bits 0-8,
// exponent e in bits 9-11, rate = 384,000,000 / (m * 4^e) within 0.6 percent.
struct STANDARD_BAUD_ENTRY {
    ULONG Rate;
    ULONG DivisorWord;
};

constexpr ULONG STANDARD_BAUD_COUNT = 35;
// Highest rate first; the last entry is (0, 0) and takes part in the nearest-rate search.
extern const STANDARD_BAUD_ENTRY StandardBaudTable[STANDARD_BAUD_COUNT];

// The divisor-word encoding.
constexpr ULONG DIVISOR_WORD_FLAG = 0x80000000;
constexpr ULONG DIVISOR_CLOCK = 384000000;
constexpr ULONG DIVISOR_MANTISSA_MASK = 0x1FF;
constexpr ULONG DIVISOR_EXPONENT_SHIFT = 9;
constexpr ULONG DIVISOR_EXPONENT_MASK = 0x7;

// Above this rate the newer generations take a divisor word instead of the plain rate.
constexpr ULONG PLAIN_RATE_LIMIT = 115200;
// From this rate on the newer generations take larger bulk-out transfers.
constexpr ULONG LARGE_CHUNK_RATE = 115200;
constexpr ULONG WRITE_CHUNK_SMALL = 256;
constexpr ULONG WRITE_CHUNK_LARGE = 4096;
// Generation from which divisor words, ExtBaudTable and large chunks apply.
constexpr LONG CHIP_TYPE_DIVISOR = 2;

// How long SetBaudRate lets the chip settle after a new rate.
constexpr LONGLONG BAUD_SETTLE_PAUSE = -500000;  // relative, 50 ms in 100 ns units

// The index of the standard entry a requested rate is rounded to: an exact rate is kept, any
// other goes to the nearer neighbour, a rate exactly halfway to the lower one. So everything
// above 4,500,000 becomes 6,000,000 and 1 to 37 become 0.
ULONG NearestStandardBaudIndex(ULONG Rate);

// Programs Rate: rounded to the table (unless generation 2+ finds it in ExtBaudTable), encoded
// as a plain rate or (generation 2+, above 115200) a divisor word or the table's ChipRate, sent
// with SET_LINE_CODING, then a 50 ms pause. CurrentBaudRate, WmiCommData.BaudRate and
// WriteChunkLimit follow the rate once the request went out, whatever the device answered; the
// result is the request's status.
//   - above PASSIVE_LEVEL: STATUS_UNSUCCESSFUL, nothing changes;
//   - Rate 0, or the rate already in force: STATUS_SUCCESS, nothing sent;
//   - the request could not be sent (no request block): STATUS_INSUFFICIENT_RESOURCES; the
//     port's LineCoding holds the new dwDTERate, CurrentBaudRate is unchanged.
// PASSIVE_LEVEL, no lock.
NTSTATUS SetBaudRate(PDEVICE_OBJECT DeviceObject, ULONG Rate);
