// The platform's Zw registry routines and IoOpenDeviceRegistryKey over the registry store.
#include <cstddef>

#include "emu/kernel/bugcheck.h"
#include "emu/kernel/registry_internal.h"

namespace {

using emu::RegistryValue;

// The full path an OBJECT_ATTRIBUTES names: ObjectName alone when it is absolute, or relative
// to the key of RootDirectory.
NTSTATUS ResolvePath(POBJECT_ATTRIBUTES attributes, std::u16string* path) {
    if (!attributes) {
        emu::BugCheck(emu::rule::kInvalidParameter, "registry key opened without attributes");
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string name = emu::reg::FromCounted(attributes->ObjectName);
    if (!attributes->RootDirectory) {
        *path = name;
        return STATUS_SUCCESS;
    }
    std::optional<std::u16string> root = emu::reg::PathOf(attributes->RootDirectory);
    if (!root) {
        return STATUS_INVALID_HANDLE;
    }
    if (!name.empty() && name[0] == u'\\') {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    *path = emu::RegistryJoin(*root, name);
    return STATUS_SUCCESS;
}

constexpr ULONG AlignUp4(ULONG offset) {
    return (offset + 3) & ~3u;
}

void CopyName(PUCHAR record, ULONG offset, ULONG length, const std::u16string& name) {
    ULONG bytes = ULONG(name.size() * sizeof(WCHAR));
    ULONG room = length > offset ? length - offset : 0;
    std::memcpy(record + offset, name.data(), bytes < room ? bytes : room);
}

}  // namespace

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                   POBJECT_ATTRIBUTES ObjectAttributes) {
    if (!emu::reg::CheckPassive("ZwOpenKey")) {
        return STATUS_UNSUCCESSFUL;
    }
    std::u16string path;
    NTSTATUS status = ResolvePath(ObjectAttributes, &path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return emu::reg::Open(path, false, DesiredAccess, KeyHandle, nullptr);
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                     POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex, PUNICODE_STRING Class,
                     ULONG CreateOptions, PULONG Disposition) {
    if (!emu::reg::CheckPassive("ZwCreateKey")) {
        return STATUS_UNSUCCESSFUL;
    }
    std::u16string path;
    NTSTATUS status = ResolvePath(ObjectAttributes, &path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return emu::reg::Open(path, true, DesiredAccess, KeyHandle, Disposition);
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    if (!emu::reg::CheckPassive("ZwQueryValueKey")) {
        return STATUS_UNSUCCESSFUL;
    }
    if (!ResultLength || (!KeyValueInformation && Length != 0)) {
        emu::BugCheck(emu::rule::kInvalidParameter,
                      "ZwQueryValueKey without a result length or with a null buffer of %u bytes",
                      Length);
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string name;
    RegistryValue value;
    NTSTATUS status = emu::reg::Query(KeyHandle, emu::reg::FromCounted(ValueName), &name, &value);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto record = static_cast<PUCHAR>(KeyValueInformation);
    ULONG name_bytes = ULONG(name.size() * sizeof(WCHAR));
    ULONG data_bytes = ULONG(value.data.size());
    ULONG fixed;
    ULONG total;
    switch (KeyValueInformationClass) {
        case KeyValueBasicInformation: {
            fixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
            total = fixed + name_bytes;
            *ResultLength = total;
            if (Length < fixed) {
                return STATUS_BUFFER_TOO_SMALL;
            }
            auto* basic = static_cast<PKEY_VALUE_BASIC_INFORMATION>(KeyValueInformation);
            basic->TitleIndex = 0;
            basic->Type = value.type;
            basic->NameLength = name_bytes;
            CopyName(record, fixed, Length, name);
            return Length < total ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
        }
        case KeyValueFullInformation: {
            fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
            ULONG data_offset = AlignUp4(fixed + name_bytes);
            total = data_offset + data_bytes;
            *ResultLength = total;
            if (Length < fixed) {
                return STATUS_BUFFER_TOO_SMALL;
            }
            auto* full = static_cast<PKEY_VALUE_FULL_INFORMATION>(KeyValueInformation);
            full->TitleIndex = 0;
            full->Type = value.type;
            full->DataOffset = data_offset;
            full->DataLength = data_bytes;
            full->NameLength = name_bytes;
            CopyName(record, fixed, Length, name);
            if (Length < total) {
                return STATUS_BUFFER_OVERFLOW;
            }
            std::memcpy(record + data_offset, value.data.data(), data_bytes);
            return STATUS_SUCCESS;
        }
        case KeyValuePartialInformation: {
            fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
            total = fixed + data_bytes;
            *ResultLength = total;
            if (Length < fixed) {
                return STATUS_BUFFER_TOO_SMALL;
            }
            auto* partial = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(KeyValueInformation);
            partial->TitleIndex = 0;
            partial->Type = value.type;
            partial->DataLength = data_bytes;
            if (Length < total) {
                return STATUS_BUFFER_OVERFLOW;
            }
            std::memcpy(partial->Data, value.data.data(), data_bytes);
            return STATUS_SUCCESS;
        }
        default:
            return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                       PVOID Data, ULONG DataSize) {
    if (!emu::reg::CheckPassive("ZwSetValueKey")) {
        return STATUS_UNSUCCESSFUL;
    }
    if (!Data && DataSize != 0) {
        emu::BugCheck(emu::rule::kInvalidParameter, "ZwSetValueKey with %u bytes at null",
                      DataSize);
        return STATUS_INVALID_PARAMETER;
    }
    auto bytes = static_cast<const uint8_t*>(Data);
    RegistryValue value{Type, std::vector<uint8_t>(bytes, bytes + DataSize)};
    return emu::reg::Set(KeyHandle, emu::reg::FromCounted(ValueName), std::move(value));
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    if (!emu::reg::CheckPassive("ZwDeleteValueKey")) {
        return STATUS_UNSUCCESSFUL;
    }
    return emu::reg::Delete(KeyHandle, emu::reg::FromCounted(ValueName));
}

// Closing something that is not an open handle is a bug the platform stops on for kernel
// handles.
NTSTATUS ZwClose(HANDLE Handle) {
    if (!emu::reg::CheckPassive("ZwClose")) {
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status = emu::reg::Close(Handle);
    if (status == STATUS_INVALID_HANDLE) {
        emu::BugCheck(emu::rule::kInvalidParameter, "ZwClose of %p, which is not an open handle",
                      Handle);
    }
    return status;
}

NTSTATUS IoOpenDeviceRegistryKey(struct _DEVICE_OBJECT* DeviceObject, ULONG DevInstKeyType,
                                 ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
    if (!emu::reg::CheckPassive("IoOpenDeviceRegistryKey")) {
        return STATUS_UNSUCCESSFUL;
    }
    if (!DeviceObject || !DevInstRegKey) {
        emu::BugCheck(emu::rule::kInvalidParameter,
                      "IoOpenDeviceRegistryKey without a device object or a handle to fill");
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string path;
    if (DevInstKeyType == PLUGPLAY_REGKEY_DEVICE) {
        path = emu::DeviceParametersPath(DeviceObject);
    } else if (DevInstKeyType == PLUGPLAY_REGKEY_DRIVER) {
        path = emu::DeviceDriverKeyPath(DeviceObject);
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    // The Plug and Play manager owns these keys and creates them on first use.
    emu::RegistryCreateKey(path);
    return emu::reg::Open(path, false, DesiredAccess, DevInstRegKey, nullptr);
}
