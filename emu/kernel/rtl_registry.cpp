// The run-time library's registry routines: RtlQueryRegistryValues with its query table, and
// the one-value write, delete and key helpers. Built on the store the Zw routines use.
#include <vector>

#include "emu/kernel/bugcheck.h"
#include "emu/kernel/pool.h"
#include "emu/kernel/registry_internal.h"

namespace {

using emu::RegistryValue;

bool IsStringType(ULONG type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// A key handle opened for one Rtl call; a handle the caller passed (RTL_REGISTRY_HANDLE) is
// not closed.
class KeyHandle {
  public:
    KeyHandle() = default;
    ~KeyHandle() { Reset(); }
    KeyHandle(const KeyHandle&) = delete;
    KeyHandle& operator=(const KeyHandle&) = delete;

    void Reset() {
        if (owned_ && handle_) {
            emu::reg::Close(handle_);
        }
        handle_ = nullptr;
        owned_ = false;
    }
    void Adopt(HANDLE handle, bool owned) {
        Reset();
        handle_ = handle;
        owned_ = owned;
    }
    HANDLE Get() const { return handle_; }

  private:
    HANDLE handle_ = nullptr;
    bool owned_ = false;
};

// Opens Path relative to the RTL_REGISTRY_* root in RelativeTo. With RTL_REGISTRY_HANDLE, Path
// is an open key handle. With RTL_REGISTRY_OPTIONAL a relative Path may be null: the root
// itself is meant. `create` creates the last component when its parent exists.
NTSTATUS OpenRelative(ULONG relative_to, PCWSTR path, bool create, KeyHandle* key) {
    if (relative_to & RTL_REGISTRY_HANDLE) {
        if (!emu::reg::PathOf(reinterpret_cast<HANDLE>(const_cast<PWSTR>(path)))) {
            return STATUS_INVALID_HANDLE;
        }
        key->Adopt(reinterpret_cast<HANDLE>(const_cast<PWSTR>(path)), false);
        return STATUS_SUCCESS;
    }
    bool optional = (relative_to & RTL_REGISTRY_OPTIONAL) != 0;
    std::optional<std::u16string> root =
        emu::RegistryRootPath(relative_to & ~RTL_REGISTRY_OPTIONAL);
    if (!root || (!path && (!optional || root->empty()))) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string full = emu::RegistryJoin(*root, emu::reg::FromTerminated(path));
    HANDLE handle;
    NTSTATUS status = emu::reg::Open(full, create, create ? KEY_WRITE : KEY_READ, &handle, nullptr);
    if (NT_SUCCESS(status)) {
        key->Adopt(handle, true);
    }
    return status;
}

// The data of a string value as the query hands it on: whole characters, terminated.
void TerminateString(RegistryValue* value) {
    value->data.resize(value->data.size() & ~size_t(1));
    size_t n = value->data.size();
    if (n == 0 || value->data[n - 1] != 0 || value->data[n - 2] != 0) {
        value->data.insert(value->data.end(), {0, 0});
    }
}

// The default of a query-table entry as a value. A DefaultLength of 0 for a string type
// measures the default data up to its terminator (the double terminator for REG_MULTI_SZ).
RegistryValue DefaultValue(const RTL_QUERY_REGISTRY_TABLE& entry) {
    RegistryValue value{entry.DefaultType, {}};
    auto bytes = static_cast<const uint8_t*>(entry.DefaultData);
    size_t length = entry.DefaultLength;
    if (length == 0 && bytes && IsStringType(entry.DefaultType)) {
        auto text = static_cast<const WCHAR*>(entry.DefaultData);
        size_t n = 0;
        if (entry.DefaultType == REG_MULTI_SZ) {
            while (text[n] || text[n + 1]) {
                ++n;
            }
            n += 2;
        } else {
            while (text[n]) {
                ++n;
            }
            n += 1;
        }
        length = n * sizeof(WCHAR);
    }
    if (bytes) {
        value.data.assign(bytes, bytes + length);
    }
    return value;
}

// RTL_QUERY_REGISTRY_DIRECT: stores the value in the entry's EntryContext.
NTSTATUS StoreDirect(const RTL_QUERY_REGISTRY_TABLE& entry, const RegistryValue& value,
                     const void* site) {
    ULONG length = ULONG(value.data.size());
    if (IsStringType(value.type)) {
        auto* string = static_cast<PUNICODE_STRING>(entry.EntryContext);
        if (length > 0xFFFE) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        if (!string->Buffer) {
            string->Buffer = static_cast<PWSTR>(
                emu::PoolAllocateFrom(PagedPool, length, emu::kRtlStringTag, site));
            if (!string->Buffer) {
                return STATUS_NO_MEMORY;
            }
            string->MaximumLength = USHORT(length);
        } else if (length > string->MaximumLength) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        std::memcpy(string->Buffer, value.data.data(), length);
        string->Length = USHORT(length - sizeof(WCHAR));
        return STATUS_SUCCESS;
    }
    if (length <= sizeof(ULONG)) {
        if (length) {
            std::memcpy(entry.EntryContext, value.data.data(), length);
        }
        return STATUS_SUCCESS;
    }
    auto* sized = static_cast<PLONG>(entry.EntryContext);
    if (*sized < 0) {
        if (ULONG(-int64_t(*sized)) < length) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        std::memcpy(sized, value.data.data(), length);
        return STATUS_SUCCESS;
    }
    if (ULONG(*sized) < length + 2 * sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* header = reinterpret_cast<PULONG>(sized);
    header[0] = length;
    header[1] = value.type;
    std::memcpy(header + 2, value.data.data(), length);
    return STATUS_SUCCESS;
}

NTSTATUS CallRoutine(const RTL_QUERY_REGISTRY_TABLE& entry, std::vector<WCHAR>& name, ULONG type,
                     std::vector<uint8_t>& data, PVOID context) {
    return entry.QueryRoutine(name.empty() ? nullptr : name.data(), type,
                              data.empty() ? nullptr : data.data(), ULONG(data.size()), context,
                              entry.EntryContext);
}

// Hands one value (found or the default) to its entry: stored directly, or passed to the query
// routine. Without RTL_QUERY_REGISTRY_NOEXPAND a REG_MULTI_SZ reaches the routine one string
// at a time as REG_SZ, and a REG_EXPAND_SZ as REG_SZ (this platform has no environment to
// expand from).
NTSTATUS ProcessValue(const RTL_QUERY_REGISTRY_TABLE& entry, const std::u16string& value_name,
                      RegistryValue value, PVOID context, const void* site) {
    if (IsStringType(value.type)) {
        TerminateString(&value);
    }
    if (entry.Flags & RTL_QUERY_REGISTRY_DIRECT) {
        return StoreDirect(entry, value, site);
    }
    std::vector<WCHAR> name(value_name.begin(), value_name.end());
    name.push_back(0);
    bool expand = !(entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND);
    if (value.type == REG_MULTI_SZ && expand) {
        std::u16string text(value.data.size() / 2, u'\0');
        std::memcpy(text.data(), value.data.data(), text.size() * 2);
        size_t start = 0;
        while (start < text.size() && text[start] != 0) {
            size_t end = text.find(u'\0', start);
            auto first = reinterpret_cast<const uint8_t*>(text.data() + start);
            std::vector<uint8_t> one(first, first + (end - start + 1) * 2);
            NTSTATUS status = CallRoutine(entry, name, REG_SZ, one, context);
            if (!NT_SUCCESS(status)) {
                return status;
            }
            start = end + 1;
        }
        return STATUS_SUCCESS;
    }
    ULONG type = (value.type == REG_EXPAND_SZ && expand) ? REG_SZ : value.type;
    return CallRoutine(entry, name, type, value.data, context);
}

// One entry of the query table, against the current key.
NTSTATUS QueryEntry(const RTL_QUERY_REGISTRY_TABLE& entry, HANDLE key, PVOID context,
                    const void* site) {
    if (!entry.Name) {
        if (entry.Flags & RTL_QUERY_REGISTRY_NOVALUE) {
            std::vector<WCHAR> none;
            std::vector<uint8_t> nothing;
            return CallRoutine(entry, none, REG_NONE, nothing, context);
        }
        std::vector<std::pair<std::u16string, RegistryValue>> values;
        NTSTATUS status = emu::reg::Enumerate(key, &values);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (values.empty() && (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED)) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        for (auto& [name, value] : values) {
            status = ProcessValue(entry, name, std::move(value), context, site);
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
        return STATUS_SUCCESS;
    }
    std::u16string name = emu::reg::FromTerminated(entry.Name);
    std::u16string stored_name;
    RegistryValue value;
    NTSTATUS status = emu::reg::Query(key, name, &stored_name, &value);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        if (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) {
            return status;
        }
        if (entry.DefaultType == REG_NONE) {
            return STATUS_SUCCESS;
        }
        return ProcessValue(entry, name, DefaultValue(entry), context, site);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ProcessValue(entry, stored_name, std::move(value), context, site);
    if (NT_SUCCESS(status) && (entry.Flags & RTL_QUERY_REGISTRY_DELETE)) {
        emu::reg::Delete(key, name);
    }
    return status;
}

}  // namespace

DECLSPEC_NOINLINE NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                                  PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                  PVOID Context, PVOID Environment) {
    const void* site = __builtin_return_address(0);
    if (!emu::reg::CheckPassive("RtlQueryRegistryValues")) {
        return STATUS_UNSUCCESSFUL;
    }
    if (!QueryTable) {
        emu::BugCheck(emu::rule::kInvalidParameter, "RtlQueryRegistryValues without a table");
        return STATUS_INVALID_PARAMETER;
    }
    KeyHandle top;
    NTSTATUS status = OpenRelative(RelativeTo, Path, false, &top);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    KeyHandle subkey;
    HANDLE current = top.Get();
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable;
         entry->QueryRoutine ||
         (entry->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_DIRECT));
         ++entry) {
        if ((entry->Flags & RTL_QUERY_REGISTRY_DIRECT) &&
            (!entry->Name || !entry->EntryContext || (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY))) {
            return STATUS_INVALID_PARAMETER;
        }
        if (entry->Flags & (RTL_QUERY_REGISTRY_TOPKEY | RTL_QUERY_REGISTRY_SUBKEY)) {
            subkey.Reset();
            current = top.Get();
        }
        if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
            // A subkey is named relative to the key the query started from.
            std::optional<std::u16string> base = emu::reg::PathOf(top.Get());
            if (!entry->Name || !base) {
                return STATUS_INVALID_PARAMETER;
            }
            HANDLE handle;
            status = emu::reg::Open(emu::RegistryJoin(*base, emu::reg::FromTerminated(entry->Name)),
                                    false, KEY_READ, &handle, nullptr);
            if (!NT_SUCCESS(status)) {
                return status;
            }
            subkey.Adopt(handle, true);
            current = handle;
            if (!entry->QueryRoutine) {
                continue;
            }
        }
        status = QueryEntry(*entry, current, Context, site);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength) {
    if (!emu::reg::CheckPassive("RtlWriteRegistryValue")) {
        return STATUS_UNSUCCESSFUL;
    }
    if (!ValueData && ValueLength) {
        emu::BugCheck(emu::rule::kInvalidParameter, "RtlWriteRegistryValue of %u bytes at null",
                      ValueLength);
        return STATUS_INVALID_PARAMETER;
    }
    KeyHandle key;
    NTSTATUS status = OpenRelative(RelativeTo, Path, true, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto bytes = static_cast<const uint8_t*>(ValueData);
    RegistryValue value{ValueType, std::vector<uint8_t>(bytes, bytes + ValueLength)};
    return emu::reg::Set(key.Get(), emu::reg::FromTerminated(ValueName), std::move(value));
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
    if (!emu::reg::CheckPassive("RtlDeleteRegistryValue")) {
        return STATUS_UNSUCCESSFUL;
    }
    KeyHandle key;
    NTSTATUS status = OpenRelative(RelativeTo, Path, false, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return emu::reg::Delete(key.Get(), emu::reg::FromTerminated(ValueName));
}

NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path) {
    if (!emu::reg::CheckPassive("RtlCheckRegistryKey")) {
        return STATUS_UNSUCCESSFUL;
    }
    KeyHandle key;
    return OpenRelative(RelativeTo, Path, false, &key);
}

NTSTATUS RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path) {
    if (!emu::reg::CheckPassive("RtlCreateRegistryKey")) {
        return STATUS_UNSUCCESSFUL;
    }
    KeyHandle key;
    return OpenRelative(RelativeTo, Path, true, &key);
}
