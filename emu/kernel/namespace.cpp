// The object namespace: device names, symbolic links and device interfaces.
#include "emu/kernel/namespace.h"

#include <cstdio>
#include <mutex>

#include "emu/kernel/kernel.h"

namespace emu {
namespace {

struct DeviceEntry {
    std::u16string name;
    PDEVICE_OBJECT device = nullptr;
};

struct LinkEntry {
    std::u16string name;  // canonical
    std::u16string target;
};

struct InterfaceEntry {
    PDEVICE_OBJECT pdo = nullptr;
    std::u16string pdo_name;
    GUID guid{};
    std::u16string reference;
    std::u16string link_name;
    bool enabled = false;
};

struct Namespace {
    std::mutex mu;
    std::map<std::u16string, DeviceEntry> devices;  // key: upper-case name
    std::map<std::u16string, LinkEntry> links;      // key: upper-case canonical name
    std::vector<InterfaceEntry> interfaces;
};

Namespace& N() {
    static Namespace* n = new Namespace;
    return *n;
}

char16_t Upper(char16_t c) {
    return (c >= u'a' && c <= u'z') ? char16_t(c - u'a' + u'A') : c;
}

std::u16string Key(std::u16string_view name) {
    std::u16string key(name);
    for (char16_t& c : key) {
        c = Upper(c);
    }
    return key;
}

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (Upper(text[i]) != Upper(prefix[i])) {
            return false;
        }
    }
    return true;
}

bool ValidName(std::u16string_view name) {
    return name.size() > 1 && name[0] == u'\\';
}

InterfaceEntry* FindInterfaceLocked(Namespace& n, const std::u16string& link_name) {
    std::u16string key = Key(CanonicalObjectName(link_name));
    for (InterfaceEntry& entry : n.interfaces) {
        if (Key(entry.link_name) == key) {
            return &entry;
        }
    }
    return nullptr;
}

}  // namespace

std::u16string ToU16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (char c : text) {
        out.push_back(char16_t(static_cast<unsigned char>(c)));
    }
    return out;
}

std::string ToNarrow(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text) {
        out.push_back(c < 0x80 ? char(c) : '?');
    }
    return out;
}

std::u16string FromUnicodeString(const UNICODE_STRING* string) {
    if (!string || !string->Buffer) {
        return {};
    }
    return std::u16string(reinterpret_cast<const char16_t*>(string->Buffer),
                          string->Length / sizeof(WCHAR));
}

std::u16string CanonicalObjectName(std::u16string_view name) {
    static const std::u16string_view kAliases[] = {u"\\DosDevices\\", u"\\GLOBAL??\\"};
    for (std::u16string_view alias : kAliases) {
        if (StartsWithNoCase(name, alias)) {
            return u"\\??\\" + std::u16string(name.substr(alias.size()));
        }
    }
    return std::u16string(name);
}

std::u16string ApplicationNameToObjectName(std::u16string_view name) {
    if (StartsWithNoCase(name, u"\\\\.\\") || StartsWithNoCase(name, u"\\\\?\\")) {
        return u"\\??\\" + std::u16string(name.substr(4));
    }
    if (!name.empty() && name[0] == u'\\') {
        return CanonicalObjectName(name);
    }
    return u"\\??\\" + std::u16string(name);
}

NTSTATUS NamespaceInsertDevice(const std::u16string& name, PDEVICE_OBJECT device) {
    if (!ValidName(name)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    Namespace& n = N();
    std::lock_guard<std::mutex> lock(n.mu);
    std::u16string key = Key(CanonicalObjectName(name));
    if (n.devices.count(key) || n.links.count(key)) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    n.devices[key] = DeviceEntry{name, device};
    return STATUS_SUCCESS;
}

void NamespaceRemoveDevice(PDEVICE_OBJECT device) {
    Namespace& n = N();
    std::lock_guard<std::mutex> lock(n.mu);
    for (auto it = n.devices.begin(); it != n.devices.end();) {
        it = it->second.device == device ? n.devices.erase(it) : std::next(it);
    }
}

NTSTATUS NamespaceCreateLink(const std::u16string& link, const std::u16string& target) {
    if (!ValidName(link) || !ValidName(target)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    Namespace& n = N();
    std::lock_guard<std::mutex> lock(n.mu);
    std::u16string canonical = CanonicalObjectName(link);
    std::u16string key = Key(canonical);
    if (n.links.count(key) || n.devices.count(key)) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    n.links[key] = LinkEntry{canonical, target};
    return STATUS_SUCCESS;
}

NTSTATUS NamespaceDeleteLink(const std::u16string& link) {
    Namespace& n = N();
    std::lock_guard<std::mutex> lock(n.mu);
    return n.links.erase(Key(CanonicalObjectName(link))) ? STATUS_SUCCESS
                                                         : STATUS_OBJECT_NAME_NOT_FOUND;
}

PDEVICE_OBJECT NamespaceResolve(std::u16string_view name) {
    Namespace& n = N();
    std::lock_guard<std::mutex> lock(n.mu);
    std::u16string key = Key(CanonicalObjectName(name));
    // Links may lead to links; a loop or a long chain leads nowhere.
    for (int hops = 0; hops < 32; ++hops) {
        auto device = n.devices.find(key);
        if (device != n.devices.end()) {
            return device->second.device;
        }
        auto link = n.links.find(key);
        if (link == n.links.end()) {
            return nullptr;
        }
        key = Key(CanonicalObjectName(link->second.target));
    }
    return nullptr;
}

std::string GuidToString(const GUID& g) {
    char text[64];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  unsigned(g.Data1), unsigned(g.Data2), unsigned(g.Data3), g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

NTSTATUS NamespaceRegisterInterface(PDEVICE_OBJECT pdo, const std::u16string& pdo_name,
                                    const GUID& guid, const std::u16string& reference,
                                    std::u16string* link_name) {
    Namespace& n = N();
    std::lock_guard<std::mutex> lock(n.mu);
    for (const InterfaceEntry& entry : n.interfaces) {
        if (entry.pdo == pdo && RtlEqualMemory(&entry.guid, &guid, sizeof guid) &&
            Key(entry.reference) == Key(reference)) {
            *link_name = entry.link_name;
            return STATUS_SUCCESS;
        }
    }
    // "\??\EMU#EmuPdo-1#{guid}" or "...#{guid}\reference": the device's instance, then the
    // interface class, as the platform composes interface link names.
    std::u16string instance = pdo_name.substr(pdo_name.rfind(u'\\') + 1);
    InterfaceEntry entry;
    entry.pdo = pdo;
    entry.pdo_name = pdo_name;
    entry.guid = guid;
    entry.reference = reference;
    entry.link_name = u"\\??\\EMU#" + instance + u"#" + ToU16(GuidToString(guid));
    if (!reference.empty()) {
        entry.link_name += u"\\" + reference;
    }
    *link_name = entry.link_name;
    n.interfaces.push_back(entry);
    return STATUS_SUCCESS;
}

NTSTATUS NamespaceSetInterfaceState(const std::u16string& link_name, bool enable) {
    Namespace& n = N();
    std::lock_guard<std::mutex> lock(n.mu);
    InterfaceEntry* entry = FindInterfaceLocked(n, link_name);
    if (!entry) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    std::u16string key = Key(entry->link_name);
    if (enable) {
        if (entry->enabled) {
            return STATUS_OBJECT_NAME_EXISTS;
        }
        entry->enabled = true;
        n.links[key] = LinkEntry{entry->link_name, entry->pdo_name};
    } else if (entry->enabled) {
        entry->enabled = false;
        n.links.erase(key);
    }
    return STATUS_SUCCESS;
}

void NamespaceRemoveInterfacesOf(PDEVICE_OBJECT pdo) {
    Namespace& n = N();
    std::lock_guard<std::mutex> lock(n.mu);
    for (auto it = n.interfaces.begin(); it != n.interfaces.end();) {
        if (it->pdo != pdo) {
            ++it;
            continue;
        }
        if (it->enabled) {
            n.links.erase(Key(it->link_name));
        }
        it = n.interfaces.erase(it);
    }
}

PDEVICE_OBJECT FindNamedDevice(std::string_view name) {
    Namespace& n = N();
    std::lock_guard<std::mutex> lock(n.mu);
    auto it = n.devices.find(Key(CanonicalObjectName(ToU16(name))));
    return it == n.devices.end() ? nullptr : it->second.device;
}

std::vector<std::string> NamedDevices() {
    Namespace& n = N();
    std::lock_guard<std::mutex> lock(n.mu);
    std::vector<std::string> names;
    for (const auto& [key, entry] : n.devices) {
        names.push_back(ToNarrow(entry.name));
    }
    return names;
}

std::optional<std::string> SymbolicLinkTarget(std::string_view link) {
    Namespace& n = N();
    std::lock_guard<std::mutex> lock(n.mu);
    auto it = n.links.find(Key(CanonicalObjectName(ToU16(link))));
    if (it == n.links.end()) {
        return std::nullopt;
    }
    return ToNarrow(it->second.target);
}

std::map<std::string, std::string> SymbolicLinks() {
    Namespace& n = N();
    std::lock_guard<std::mutex> lock(n.mu);
    std::map<std::string, std::string> links;
    for (const auto& [key, entry] : n.links) {
        links[ToNarrow(entry.name)] = ToNarrow(entry.target);
    }
    return links;
}

PDEVICE_OBJECT ResolveApplicationName(std::string_view name) {
    return NamespaceResolve(ApplicationNameToObjectName(ToU16(name)));
}

std::vector<DeviceInterfaceInfo> DeviceInterfaces() {
    Namespace& n = N();
    std::lock_guard<std::mutex> lock(n.mu);
    std::vector<DeviceInterfaceInfo> out;
    for (const InterfaceEntry& entry : n.interfaces) {
        out.push_back({entry.pdo, entry.guid, ToNarrow(entry.reference), ToNarrow(entry.link_name),
                       entry.enabled});
    }
    return out;
}

void NamespaceReset() {
    Namespace& n = N();
    std::lock_guard<std::mutex> lock(n.mu);
    n.devices.clear();
    n.links.clear();
    n.interfaces.clear();
}

}  // namespace emu
