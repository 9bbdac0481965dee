// The object namespace of the emulated machine: named device objects, symbolic links and
// device interfaces. Names compare without regard to case, as on the platform; the link
// directories "\DosDevices\", "\GLOBAL??\" and "\??\" are one and the same, so
// "\DosDevices\COM5" and "\??\COM5" name the same link.
//
// The I/O manager fills it (IoCreateDevice, IoCreateSymbolicLink, IoRegisterDeviceInterface,
// ...); tests read it through the inspection functions below.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "emu/kernel/wdk/io.h"

namespace emu {

// Conversions for names (names are ASCII in practice; other characters become '?').
std::u16string ToU16(std::string_view text);
std::string ToNarrow(std::u16string_view text);
std::u16string FromUnicodeString(const UNICODE_STRING* string);

// "\DosDevices\COM5" and "\GLOBAL??\COM5" become "\??\COM5"; other names are returned as given.
std::u16string CanonicalObjectName(std::u16string_view name);
// What an application's name means: "COM5" and "\\.\COM5" are "\??\COM5"; a name that starts
// with a single backslash is already a full object name.
std::u16string ApplicationNameToObjectName(std::u16string_view name);

// ---------------------------------------------------------------------------------------------
// Used by the I/O manager (each takes the namespace's own lock)
// ---------------------------------------------------------------------------------------------
// STATUS_OBJECT_NAME_INVALID for a name that does not start with a backslash,
// STATUS_OBJECT_NAME_COLLISION when a device or link of that name exists.
NTSTATUS NamespaceInsertDevice(const std::u16string& name, PDEVICE_OBJECT device);
void NamespaceRemoveDevice(PDEVICE_OBJECT device);
NTSTATUS NamespaceCreateLink(const std::u16string& link, const std::u16string& target);
NTSTATUS NamespaceDeleteLink(const std::u16string& link);
// Follows symbolic links from `name` to a device object; null when the name leads nowhere.
PDEVICE_OBJECT NamespaceResolve(std::u16string_view name);

// Device interfaces. Register returns the interface's link name (the same one for the same
// device, class and reference string); enabling creates that link to the device's name.
NTSTATUS NamespaceRegisterInterface(PDEVICE_OBJECT pdo, const std::u16string& pdo_name,
                                    const GUID& guid, const std::u16string& reference,
                                    std::u16string* link_name);
NTSTATUS NamespaceSetInterfaceState(const std::u16string& link_name, bool enable);
// Forgets every interface of a device object that goes away (its links too).
void NamespaceRemoveInterfacesOf(PDEVICE_OBJECT pdo);

// ---------------------------------------------------------------------------------------------
// Inspection
// ---------------------------------------------------------------------------------------------
// The device object of that exact name (no link followed), or null.
PDEVICE_OBJECT FindNamedDevice(std::string_view name);
// Every device name, sorted.
std::vector<std::string> NamedDevices();
// The target of a symbolic link ("\DosDevices\COM5" or "\??\COM5"), if it exists.
std::optional<std::string> SymbolicLinkTarget(std::string_view link);
// Every symbolic link (canonical "\??\" names) and its target.
std::map<std::string, std::string> SymbolicLinks();
// The device object an application name such as "COM5" or "\Device\Serial2" reaches.
PDEVICE_OBJECT ResolveApplicationName(std::string_view name);

struct DeviceInterfaceInfo {
    PDEVICE_OBJECT pdo = nullptr;
    GUID class_guid{};
    std::string reference;
    std::string link_name;  // "\??\EMU#...#{guid}"
    bool enabled = false;
};
std::vector<DeviceInterfaceInfo> DeviceInterfaces();
// "{86e0d1e0-8089-11d0-9ce4-08003e301f73}"
std::string GuidToString(const GUID& guid);

}  // namespace emu
