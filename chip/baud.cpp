// The standard rate table, the nearest-rate rule and SetBaudRate.
#include "chip/baud.h"

#include "chip/requests.h"
#include "driver/globals.h"

const STANDARD_BAUD_ENTRY StandardBaudTable[STANDARD_BAUD_COUNT] = {
    {6000000, 0x80000040}, {3000000, 0x80000080}, {2457600, 0x8000009C}, {1228800, 0x8000024E},
    {921600, 0x80000268},  {812500, 0x80000276},  {806400, 0x80000277},  {614400, 0x8000029C},
    {460800, 0x800002D0},  {406250, 0x800002EC},  {403200, 0x800002EE},  {268800, 0x80000459},
    {230400, 0x80000468},  {201600, 0x80000477},  {161280, 0x80000494},  {134400, 0x800004B2},
    {128000, 0x800004BB},  {115200, 0x800004D0},  {57600, 0x80000668},   {38400, 0x8000069C},
    {28800, 0x800006D0},   {19200, 0x8000084E},   {14400, 0x80000868},   {9600, 0x8000089C},
    {7200, 0x800008D0},    {4800, 0x80000A4E},    {3600, 0x80000A68},    {2400, 0x80000A9C},
    {1800, 0x80000AD0},    {1200, 0x80000C4E},    {600, 0x80000C9C},     {300, 0x80000E4E},
    {150, 0x80000E9C},     {75, 0x80000F38},      {0, 0x00000000},
};

ULONG NearestStandardBaudIndex(ULONG Rate) {
    for (ULONG i = 0; i < STANDARD_BAUD_COUNT; ++i) {
        if (StandardBaudTable[i].Rate == Rate) {
            return i;
        }
    }
    for (ULONG j = 0; j + 1 < STANDARD_BAUD_COUNT; ++j) {
        ULONG high = StandardBaudTable[j].Rate;
        ULONG low = StandardBaudTable[j + 1].Rate;
        ULONG middle = (high + low) / 2;  // the table's rates are far from overflowing
        if (Rate > middle) {
            return j;
        }
        if (Rate < middle && Rate > low) {
            return j + 1;
        }
        // Exactly halfway, or not between these two: the next pair decides.
    }
    // Only 37, halfway between 75 and the final 0, gets here. It goes to the lower neighbour,
    // as every other halfway rate does, so it becomes 0 like 1 to 36.
    return STANDARD_BAUD_COUNT - 1;
}

namespace {

// The ExtBaudTable entry asking for Rate, or NULL.
const EXT_BAUD_ENTRY* ExtBaudEntryFor(ULONG Rate) {
    LONG count = ExtBaudCount;
    if (count > LONG(EXT_BAUD_TABLE_SIZE)) {
        count = EXT_BAUD_TABLE_SIZE;
    }
    for (LONG i = 0; i < count; ++i) {
        if (ULONG(ExtBaudTable[i].RequestedRate) == Rate) {
            return &ExtBaudTable[i];
        }
    }
    return NULL;
}

}  // namespace

NTSTATUS SetBaudRate(PDEVICE_OBJECT DeviceObject, ULONG Rate) {
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        return STATUS_UNSUCCESSFUL;
    }
    PSERIAL_PORT_EXTENSION Port = PortOf(DeviceObject);
    if (Rate == 0 || Rate == Port->CurrentBaudRate) {
        return STATUS_SUCCESS;
    }

    const BOOLEAN newer = Port->ChipType >= CHIP_TYPE_DIVISOR;
    const EXT_BAUD_ENTRY* substitute = newer ? ExtBaudEntryFor(Rate) : NULL;
    Port->ExtBaudMatched = substitute != NULL ? TRUE : FALSE;

    ULONG wire;
    if (substitute != NULL) {
        wire = ULONG(substitute->ChipRate);  // sent as given: a plain rate or a divisor word
    } else {
        const STANDARD_BAUD_ENTRY& entry = StandardBaudTable[NearestStandardBaudIndex(Rate)];
        Rate = entry.Rate;
        wire = (newer && Rate > PLAIN_RATE_LIMIT) ? entry.DivisorWord : Rate;
    }

    Port->LineCoding.dwDTERate = wire;
    LINE_CODING coding = Port->LineCoding;
    NTSTATUS status = SendLineCoding(DeviceObject, &coding);
    if (status == STATUS_NO_MEMORY || status == STATUS_INSUFFICIENT_RESOURCES) {
        // Nothing reached the chip: the rate in force stays, so asking again sends again.
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    Port->CurrentBaudRate = Rate;
    Port->WmiCommData.BaudRate = Rate;
    Port->WriteChunkLimit =
        (newer && Rate >= LARGE_CHUNK_RATE) ? WRITE_CHUNK_LARGE : WRITE_CHUNK_SMALL;

    LARGE_INTEGER pause;
    pause.QuadPart = BAUD_SETTLE_PAUSE;
    KeDelayExecutionThread(KernelMode, FALSE, &pause);
    return status;
}
