// What an application sees of one I/O request: the request it makes, its result, and, for an
// asynchronous request, the operation it can wait for, poll and cancel.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "emu/kernel/kernel.h"
#include "emu/kernel/wdk/io.h"

namespace emu::app {

// The outcome of a request: its final status block and the bytes it returned (what a read
// delivered, a device-control request's output, a query's answer).
struct Result {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::vector<uint8_t> output;
    // What the driver's dispatch routine returned (STATUS_PENDING when it pended the request).
    NTSTATUS dispatch_status = STATUS_PENDING;

    bool ok() const { return NT_SUCCESS(status); }
    std::string text() const { return std::string(output.begin(), output.end()); }
};

// One request to send on a handle. The factory functions fill what each kind needs.
struct Request {
    UCHAR major = IRP_MJ_READ;
    ULONG length = 0;  // read length; query-information buffer length
    ULONG io_control_code = 0;
    std::vector<uint8_t> input;  // write data; device-control input; set-information data
    ULONG output_length = 0;     // device-control output buffer length
    FILE_INFORMATION_CLASS information_class = FileStandardInformation;
    // Create only.
    ULONG create_options = 0;
    ACCESS_MASK desired_access = 0;
    USHORT share_access = 0;

    static Request Read(ULONG length);
    static Request Write(std::vector<uint8_t> data);
    static Request Write(const void* data, ULONG length);
    static Request DeviceControl(ULONG code, std::vector<uint8_t> input, ULONG output_length);
    static Request InternalDeviceControl(ULONG code, std::vector<uint8_t> input,
                                         ULONG output_length);
    static Request QueryInformation(FILE_INFORMATION_CLASS information_class, ULONG length);
    static Request SetInformation(FILE_INFORMATION_CLASS information_class,
                                  std::vector<uint8_t> data);
    static Request Flush();
    // IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE and other requests without parameters.
    static Request Major(UCHAR major);
};

struct FileState;

// An asynchronous request. Copies refer to the same request.
class Operation {
  public:
    struct State;
    explicit Operation(std::shared_ptr<State> state);

    // True once the request has completed.
    bool Done() const;
    // Blocks (in virtual time) until the request completes, and returns its result.
    Result Wait();
    // Blocks until the request completes or `timeout` has passed.
    std::optional<Result> WaitFor(Time timeout);
    // Cancels the request (IoCancelIrp); true when a cancel routine was called.
    bool Cancel();
    // What the dispatch routine returned.
    NTSTATUS DispatchStatus() const;
    // The IRP carrying the request (for tests that look at it; valid while this lives).
    PIRP Irp() const;

  private:
    std::shared_ptr<State> state_;
};

// Sends `request` on an open file: builds the IRP, dispatches it in the calling thread at
// PASSIVE_LEVEL, and returns without waiting.
Operation Submit(const std::shared_ptr<FileState>& file, const Request& request);

}  // namespace emu::app
