// Building, sending and finishing an application's request, as the I/O manager does for a
// system service: buffered I/O through a system buffer, direct and neither I/O through the
// caller's memory, the final status block and the copy-back of buffered output.
#include <algorithm>
#include <string>

#include "emu/app/handle.h"
#include "emu/kernel/bugcheck.h"
#include "emu/kernel/io_internal.h"
#include "emu/kernel/sched.h"

namespace emu::app {

struct Operation::State {
    std::shared_ptr<FileState> file;
    Request request;
    std::string what;  // for hang reports
    PIRP irp = nullptr;
    std::vector<uint8_t> input;   // the caller's input (neither I/O reads it in place)
    std::vector<uint8_t> output;  // the caller's output buffer
    ULONG output_length = 0;
    bool buffered_output = false;  // copy the system buffer back at completion
    IO_STATUS_BLOCK iosb{};
    // Guarded by the dispatcher lock.
    bool done = false;
    Result result;

    ~State() {
        if (irp) {
            io::ReleaseApplicationIrp(irp);
        }
    }
};

namespace {

const char* MajorName(UCHAR major) {
    switch (major) {
        case IRP_MJ_CREATE:
            return "create";
        case IRP_MJ_CLOSE:
            return "close";
        case IRP_MJ_READ:
            return "read";
        case IRP_MJ_WRITE:
            return "write";
        case IRP_MJ_QUERY_INFORMATION:
            return "query-information";
        case IRP_MJ_SET_INFORMATION:
            return "set-information";
        case IRP_MJ_FLUSH_BUFFERS:
            return "flush";
        case IRP_MJ_DEVICE_CONTROL:
            return "device-control";
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            return "internal device-control";
        case IRP_MJ_CLEANUP:
            return "cleanup";
        default:
            return "request";
    }
}

void Finish(const std::shared_ptr<Operation::State>& st, Result result) {
    auto lock = DispatcherLock();
    result.dispatch_status = st->result.dispatch_status;
    st->result = std::move(result);
    st->done = true;
    if (st->irp && st->file) {
        --st->file->outstanding;
    }
    WakeAll();
}

// The I/O manager's final processing of the request (completing thread, its IRQL).
void Complete(const std::shared_ptr<Operation::State>& st, PIRP irp) {
    Result result;
    result.status = irp->IoStatus.Status;
    result.information = irp->IoStatus.Information;
    auto system_buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    if (!NT_ERROR(result.status) && st->output_length) {
        ULONG_PTR n = result.information;
        if (n > st->output_length) {
            BugCheck(rule::kInvalidParameter,
                     "%s IRP %p completed with Information %lu, more than its %lu-byte output "
                     "buffer",
                     MajorName(st->request.major), static_cast<void*>(irp),
                     static_cast<unsigned long>(n), static_cast<unsigned long>(st->output_length));
            n = st->output_length;
        }
        const uint8_t* from = st->buffered_output ? system_buffer : st->output.data();
        if (from && n) {
            result.output.assign(from, from + n);
        }
    }
    if (system_buffer && (irp->Flags & IRP_DEALLOCATE_BUFFER)) {
        ExFreePoolWithTag(system_buffer, kIoBufferPoolTag);
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    st->iosb.Status = result.status;
    st->iosb.Information = result.information;
    Finish(st, std::move(result));
}

Result Failed(NTSTATUS status) {
    Result result;
    result.status = status;
    result.dispatch_status = status;
    return result;
}

}  // namespace

Request Request::Read(ULONG length) {
    Request r;
    r.major = IRP_MJ_READ;
    r.length = length;
    return r;
}

Request Request::Write(std::vector<uint8_t> data) {
    Request r;
    r.major = IRP_MJ_WRITE;
    r.length = ULONG(data.size());
    r.input = std::move(data);
    return r;
}

Request Request::Write(const void* data, ULONG length) {
    auto bytes = static_cast<const uint8_t*>(data);
    return Write(std::vector<uint8_t>(bytes, bytes + length));
}

Request Request::DeviceControl(ULONG code, std::vector<uint8_t> input, ULONG output_length) {
    Request r;
    r.major = IRP_MJ_DEVICE_CONTROL;
    r.io_control_code = code;
    r.input = std::move(input);
    r.output_length = output_length;
    return r;
}

Request Request::InternalDeviceControl(ULONG code, std::vector<uint8_t> input,
                                       ULONG output_length) {
    Request r = DeviceControl(code, std::move(input), output_length);
    r.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    return r;
}

Request Request::QueryInformation(FILE_INFORMATION_CLASS information_class, ULONG length) {
    Request r;
    r.major = IRP_MJ_QUERY_INFORMATION;
    r.information_class = information_class;
    r.length = length;
    return r;
}

Request Request::SetInformation(FILE_INFORMATION_CLASS information_class,
                                std::vector<uint8_t> data) {
    Request r;
    r.major = IRP_MJ_SET_INFORMATION;
    r.information_class = information_class;
    r.length = ULONG(data.size());
    r.input = std::move(data);
    return r;
}

Request Request::Flush() {
    return Major(IRP_MJ_FLUSH_BUFFERS);
}

Request Request::Major(UCHAR major) {
    Request r;
    r.major = major;
    return r;
}

Operation::Operation(std::shared_ptr<State> state) : state_(std::move(state)) {}

bool Operation::Done() const {
    auto lock = DispatcherLock();
    return state_->done;
}

Result Operation::Wait() {
    auto lock = DispatcherLock();
    auto st = state_;
    BlockUntil(lock, st->what, [st] { return st->done; });
    return st->result;
}

std::optional<Result> Operation::WaitFor(Time timeout) {
    auto lock = DispatcherLock();
    auto st = state_;
    if (BlockUntil(
            lock, st->what, [st] { return st->done; }, Now() + timeout) == WaitOutcome::TimedOut) {
        return std::nullopt;
    }
    return st->result;
}

bool Operation::Cancel() {
    // The IRP stays allocated while this operation lives, so it can be cancelled even when it
    // has just completed (then there is no cancel routine and nothing happens).
    if (!state_->irp || Done()) {
        return false;
    }
    return IoCancelIrp(state_->irp) != FALSE;
}

NTSTATUS Operation::DispatchStatus() const {
    auto lock = DispatcherLock();
    return state_->result.dispatch_status;
}

PIRP Operation::Irp() const {
    return state_->irp;
}

Operation Submit(const std::shared_ptr<FileState>& file, const Request& request) {
    auto st = std::make_shared<Operation::State>();
    st->file = file;
    st->request = request;
    if (!file) {
        Finish(st, Failed(STATUS_INVALID_HANDLE));
        return Operation(st);
    }
    st->what = std::string("application ") + MajorName(request.major) + " on " + file->name;
    if (!IsEmulatedThread() || CurrentIrql() != PASSIVE_LEVEL) {
        BugCheck(IsEmulatedThread() ? rule::kIrqlNotLessOrEqual : rule::kNotEmulatedThread,
                 "an application request must come from an emulated thread at PASSIVE_LEVEL");
        Finish(st, Failed(STATUS_INVALID_DEVICE_STATE));
        return Operation(st);
    }

    // What the request needs: a system buffer (buffered I/O) and the caller's buffers.
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->device);
    // Without memory descriptor lists on this platform, direct I/O is served as buffered I/O.
    bool device_buffered = (top->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO)) != 0;
    ULONG code = request.io_control_code;
    bool control =
        request.major == IRP_MJ_DEVICE_CONTROL || request.major == IRP_MJ_INTERNAL_DEVICE_CONTROL;
    bool buffered = false;
    ULONG system_length = 0;
    st->input = request.input;
    switch (request.major) {
        case IRP_MJ_READ:
            st->output_length = request.length;
            buffered = device_buffered;
            system_length = request.length;
            break;
        case IRP_MJ_WRITE:
            buffered = device_buffered;
            system_length = ULONG(request.input.size());
            break;
        case IRP_MJ_QUERY_INFORMATION:
            st->output_length = request.length;
            buffered = true;
            system_length = request.length;
            break;
        case IRP_MJ_SET_INFORMATION:
            buffered = true;
            system_length = ULONG(request.input.size());
            break;
        case IRP_MJ_DEVICE_CONTROL:
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            st->output_length = request.output_length;
            buffered = METHOD_FROM_CTL_CODE(code) != METHOD_NEITHER;
            system_length = std::max(ULONG(request.input.size()), request.output_length);
            break;
        default:
            break;
    }
    st->output.assign(st->output_length, 0);
    st->buffered_output = buffered && st->output_length;
    void* system_buffer = nullptr;
    if (buffered && system_length) {
        system_buffer = ExAllocatePoolWithTag(NonPagedPool, system_length, kIoBufferPoolTag);
        if (!system_buffer) {
            ObDereferenceObject(top);
            Finish(st, Failed(STATUS_INSUFFICIENT_RESOURCES));
            return Operation(st);
        }
        memset(system_buffer, 0, system_length);
        if (!st->input.empty()) {
            memcpy(system_buffer, st->input.data(), st->input.size());
        }
    }
    PIRP irp = io::AllocateApplicationIrp(top->StackSize, [st](PIRP done) { Complete(st, done); });
    if (!irp) {
        if (system_buffer) {
            ExFreePoolWithTag(system_buffer, kIoBufferPoolTag);
        }
        ObDereferenceObject(top);
        Finish(st, Failed(STATUS_INSUFFICIENT_RESOURCES));
        return Operation(st);
    }
    st->irp = irp;

    irp->RequestorMode = UserMode;
    irp->UserIosb = &st->iosb;
    irp->Tail.Overlay.OriginalFileObject = &file->file_object;
    irp->AssociatedIrp.SystemBuffer = system_buffer;
    irp->UserBuffer = st->output_length ? st->output.data() : nullptr;
    if (system_buffer) {
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        if (st->output_length) {
            irp->Flags |= IRP_INPUT_OPERATION;
        }
    }
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = request.major;
    sp->FileObject = &file->file_object;
    switch (request.major) {
        case IRP_MJ_CREATE:
            file->security.DesiredAccess = request.desired_access;
            file->security.FullCreateOptions = request.create_options;
            sp->Parameters.Create.SecurityContext = &file->security;
            sp->Parameters.Create.Options = (FILE_OPEN << 24) | (request.create_options & 0xFFFFFF);
            sp->Parameters.Create.ShareAccess = request.share_access;
            break;
        case IRP_MJ_READ:
            sp->Parameters.Read.Length = request.length;
            break;
        case IRP_MJ_WRITE:
            sp->Parameters.Write.Length = ULONG(request.input.size());
            if (!system_buffer) {
                irp->UserBuffer = st->input.empty() ? nullptr : st->input.data();
            }
            break;
        case IRP_MJ_QUERY_INFORMATION:
            sp->Parameters.QueryFile.Length = request.length;
            sp->Parameters.QueryFile.FileInformationClass = request.information_class;
            break;
        case IRP_MJ_SET_INFORMATION:
            sp->Parameters.SetFile.Length = ULONG(request.input.size());
            sp->Parameters.SetFile.FileInformationClass = request.information_class;
            break;
        default:
            break;
    }
    if (control) {
        sp->Parameters.DeviceIoControl.IoControlCode = code;
        sp->Parameters.DeviceIoControl.InputBufferLength = ULONG(request.input.size());
        sp->Parameters.DeviceIoControl.OutputBufferLength = request.output_length;
        if (!buffered) {
            sp->Parameters.DeviceIoControl.Type3InputBuffer =
                st->input.empty() ? nullptr : st->input.data();
        }
    }
    {
        auto lock = DispatcherLock();
        ++file->outstanding;
    }
    NTSTATUS dispatch_status = IoCallDriver(top, irp);
    ObDereferenceObject(top);
    {
        auto lock = DispatcherLock();
        st->result.dispatch_status = dispatch_status;
    }
    return Operation(st);
}

}  // namespace emu::app
