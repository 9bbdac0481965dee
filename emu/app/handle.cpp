// Application handles: open (the name's resolution, the platform's open checks and
// IRP_MJ_CREATE), the request calls, and close (cleanup, then close once nothing of the handle
// is outstanding).
#include "emu/app/handle.h"

#include "emu/kernel/bugcheck.h"
#include "emu/kernel/io_internal.h"
#include "emu/kernel/namespace.h"
#include "emu/kernel/sched.h"

namespace emu::app {

Handle::~Handle() {
    if (file_) {
        Close();
    }
}

Handle::Handle(Handle&& other) noexcept : file_(std::move(other.file_)) {}

Handle& Handle::operator=(Handle&& other) noexcept {
    if (this != &other) {
        if (file_) {
            Close();
        }
        file_ = std::move(other.file_);
    }
    return *this;
}

NTSTATUS Handle::Open(std::string_view name, const OpenOptions& options) {
    if (file_) {
        Close();
    }
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = io::ReferenceDeviceForOpen(ApplicationNameToObjectName(ToU16(name)), &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto file = std::make_shared<FileState>();
    file->name = std::string(name);
    file->device = device;
    file->file_object.Type = IO_TYPE_FILE;
    file->file_object.Size = sizeof(FILE_OBJECT);
    file->file_object.DeviceObject = device;
    file->file_object.ReadAccess = (options.desired_access & (GENERIC_READ | FILE_READ_DATA)) != 0;
    file->file_object.WriteAccess =
        (options.desired_access & (GENERIC_WRITE | FILE_WRITE_DATA)) != 0;
    file->file_object.SharedRead = (options.share_access & FILE_SHARE_READ) != 0;
    file->file_object.SharedWrite = (options.share_access & FILE_SHARE_WRITE) != 0;

    Request create = Request::Major(IRP_MJ_CREATE);
    create.create_options = options.create_options;
    create.desired_access = options.desired_access;
    create.share_access = options.share_access;
    Result result = Submit(file, create).Wait();
    if (!NT_SUCCESS(result.status)) {
        io::DereferenceDeviceAfterClose(device);
        return result.status;
    }
    file_ = std::move(file);
    return result.status;
}

NTSTATUS Handle::Close() {
    if (!file_) {
        return STATUS_INVALID_HANDLE;
    }
    std::shared_ptr<FileState> file = std::move(file_);
    Submit(file, Request::Major(IRP_MJ_CLEANUP)).Wait();
    {
        // The close request goes once no request of the handle is left, as the platform sends
        // it when the last reference to the file object goes. A driver whose cleanup leaves a
        // request pending forever shows up here as a hang.
        auto lock = DispatcherLock();
        BlockUntil(lock, "close of " + file->name + ": requests still pending after cleanup",
                   [file] { return file->outstanding == 0; });
    }
    Result close = Submit(file, Request::Major(IRP_MJ_CLOSE)).Wait();
    io::DereferenceDeviceAfterClose(file->device);
    return close.status;
}

Result Handle::Call(const Request& request) {
    return Start(request).Wait();
}

Operation Handle::Start(const Request& request) {
    return Submit(file_, request);
}

Result Handle::Read(ULONG length) {
    return Call(Request::Read(length));
}

Operation Handle::ReadAsync(ULONG length) {
    return Start(Request::Read(length));
}

Result Handle::Write(const void* data, ULONG length) {
    return Call(Request::Write(data, length));
}

Result Handle::Write(std::string_view text) {
    return Call(Request::Write(text.data(), ULONG(text.size())));
}

Result Handle::Write(const std::vector<uint8_t>& data) {
    return Call(Request::Write(data));
}

Operation Handle::WriteAsync(std::vector<uint8_t> data) {
    return Start(Request::Write(std::move(data)));
}

Operation Handle::WriteAsync(std::string_view text) {
    return Start(Request::Write(text.data(), ULONG(text.size())));
}

namespace {

std::vector<uint8_t> Bytes(const void* data, ULONG length) {
    auto bytes = static_cast<const uint8_t*>(data);
    return data ? std::vector<uint8_t>(bytes, bytes + length) : std::vector<uint8_t>();
}

}  // namespace

Result Handle::DeviceIoControl(ULONG code, const void* input, ULONG input_length,
                               ULONG output_length) {
    return Call(Request::DeviceControl(code, Bytes(input, input_length), output_length));
}

Operation Handle::DeviceIoControlAsync(ULONG code, const void* input, ULONG input_length,
                                       ULONG output_length) {
    return Start(Request::DeviceControl(code, Bytes(input, input_length), output_length));
}

Result Handle::InternalDeviceIoControl(ULONG code, const void* input, ULONG input_length,
                                       ULONG output_length) {
    return Call(Request::InternalDeviceControl(code, Bytes(input, input_length), output_length));
}

Result Handle::QueryInformation(FILE_INFORMATION_CLASS information_class, ULONG length) {
    return Call(Request::QueryInformation(information_class, length));
}

Result Handle::SetInformation(FILE_INFORMATION_CLASS information_class, const void* data,
                              ULONG length) {
    return Call(Request::SetInformation(information_class, Bytes(data, length)));
}

Result Handle::Flush() {
    return Call(Request::Flush());
}

}  // namespace emu::app
