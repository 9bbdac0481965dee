// The engine tests' port: the driver loaded, a port added with its objects initialized, its
// dispatch routines replaced by small synthetic ones built on the request engine, and an
// application handle open on it. The synthetic paths stand in for the data path, which uses
// the engine but is not what these tests are about:
//   - read: becomes current and pends with a transfer reference, a cancel routine and (when
//     FakeOptions::read_timeout is set) ReadTotalTimer; FinishTransfer, the timer or a cancel
//     finishes it;
//   - write: the same on WriteQueue with WriteTotalTimer; it counts in QueuedWriteChars;
//   - IOCTL_SERIAL_SET_QUEUE_SIZE: parks a buffer in Type3InputBuffer and waits in ReadQueue;
//   - IOCTL_SERIAL_IMMEDIATE_CHAR: the immediate-character start, finished by the engine;
//   - IOCTL_SERIAL_GET_COMMSTATUS: clears LineErrorBits;
//   - kRecordIoctl: records its input word, in dispatch order;
//   - Plug and Play and power: passed to the bus device below.
// The tests look into the port extension: the engine's counts, queues and flags are what they
// are about, and an application cannot see them.
#pragma once

#include <mutex>
#include <vector>

#include "emu/app/handle.h"
#include "requests/engine.h"
#include "tests/driver/support/driver_harness.h"

namespace quella_test {

constexpr ULONG kRecordIoctl =
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x7F0, METHOD_BUFFERED, FILE_ANY_ACCESS);

enum class Path { Read, Write };

// A due time long past (absolute, 100 ns after the epoch): a timer set to it expires at once.
constexpr LONGLONG kAlreadyDue = 1;

// How the synthetic paths behave; set by a test between requests.
struct FakeOptions {
    LONGLONG read_timeout = 0;       // relative due time (100 ns, negative) of a read; 0: none
    LONGLONG write_timeout = 0;      // the same for a write
    LONGLONG immediate_timeout = 0;  // the same for the immediate character
    bool immediate_sends = true;     // the immediate character is handed to the transfer side
    std::mutex mutex;
    std::vector<ULONG> recorded;  // kRecordIoctl inputs in dispatch order (mutex)
    std::vector<PIRP> completed;  // EngineTest::Send requests in completion order (mutex)
};
FakeOptions& Fakes();

class EngineTest : public DriverTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // The transfer side lets go of the current read or write (its data arrived or was sent):
    // queues the path's done DPC. Any thread, IRQL <= DISPATCH_LEVEL.
    void FinishTransfer(Path path);
    // The same, with its done path run at once by the caller, who holds the cancel lock
    // (taken at `irql`); the lock is released inside.
    void FinishTransferLocked(Path path, KIRQL irql);

    // A request sent straight to the port, outside the application, so that the order in which
    // requests complete can be seen. `value` is the length of a read or write, the control
    // code of a device-control request, the minor function of a Plug and Play or power one.
    PIRP Send(UCHAR major, ULONG value, bool cancelled = false, ULONG input = 0);
    NTSTATUS SentStatus(PIRP irp) const { return irp->IoStatus.Status; }
    std::vector<PIRP> Completions();

    // Every count back at its base, nothing queued, current or held.
    void ExpectIdle();

    PDEVICE_OBJECT port_ = nullptr;
    PSERIAL_PORT_EXTENSION Port = nullptr;
    emu::app::Handle app_;

  private:
    std::vector<PIRP> sent_;
    std::vector<std::vector<uint8_t>> buffers_;
};

}  // namespace quella_test
