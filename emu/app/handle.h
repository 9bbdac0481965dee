// A handle to a device, as an application holds one: open a name such as "COM5" or
// "\Device\Serial2", send reads, writes and device-control requests (synchronously or as
// operations that can be waited for and cancelled), close.
//
// Every call comes from an emulated thread at PASSIVE_LEVEL and sends the IRP in that thread,
// as the platform does. Synchronous calls block in virtual time until the request completes.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "emu/app/operation.h"

namespace emu::app {

struct OpenOptions {
    ACCESS_MASK desired_access = GENERIC_READ | GENERIC_WRITE;
    USHORT share_access = 0;
    ULONG create_options = 0;  // FILE_* create options (FILE_DIRECTORY_FILE, ...)
};

// The file object of an open handle and the requests still outstanding on it.
struct FileState {
    std::string name;
    PDEVICE_OBJECT device = nullptr;  // the device the name led to
    FILE_OBJECT file_object{};
    IO_SECURITY_CONTEXT security{};
    int outstanding = 0;  // dispatcher lock
};

class Handle {
  public:
    Handle() = default;
    // Closes the handle if it is open.
    ~Handle();
    Handle(Handle&& other) noexcept;
    Handle& operator=(Handle&& other) noexcept;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    // Opens `name` (IRP_MJ_CREATE). A handle already open is closed first.
    NTSTATUS Open(std::string_view name, const OpenOptions& options = {});
    bool IsOpen() const { return file_ != nullptr; }
    // IRP_MJ_CLEANUP, then (once every request of the handle has completed) IRP_MJ_CLOSE.
    // Returns the status of the close request; STATUS_INVALID_HANDLE if not open.
    NTSTATUS Close();

    Result Read(ULONG length);
    Operation ReadAsync(ULONG length);
    Result Write(const void* data, ULONG length);
    Result Write(std::string_view text);
    Result Write(const std::vector<uint8_t>& data);
    Operation WriteAsync(std::vector<uint8_t> data);
    Operation WriteAsync(std::string_view text);

    Result DeviceIoControl(ULONG code, const void* input = nullptr, ULONG input_length = 0,
                           ULONG output_length = 0);
    Operation DeviceIoControlAsync(ULONG code, const void* input = nullptr, ULONG input_length = 0,
                                   ULONG output_length = 0);
    Result InternalDeviceIoControl(ULONG code, const void* input = nullptr, ULONG input_length = 0,
                                   ULONG output_length = 0);
    // Typed convenience: the input is the bytes of `input`.
    template <typename T>
    Result DeviceIoControlIn(ULONG code, const T& input, ULONG output_length = 0) {
        return DeviceIoControl(code, &input, sizeof input, output_length);
    }

    Result QueryInformation(FILE_INFORMATION_CLASS information_class, ULONG length);
    Result SetInformation(FILE_INFORMATION_CLASS information_class, const void* data, ULONG length);
    Result Flush();

    // Any request, synchronously or not.
    Result Call(const Request& request);
    Operation Start(const Request& request);

    PFILE_OBJECT FileObject() const { return file_ ? &file_->file_object : nullptr; }
    PDEVICE_OBJECT Device() const { return file_ ? file_->device : nullptr; }

  private:
    std::shared_ptr<FileState> file_;
};

}  // namespace emu::app
