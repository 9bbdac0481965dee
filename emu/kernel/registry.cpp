// The registry store: keys, values, handles, write faults and device key paths.
#include "emu/kernel/registry.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <unordered_map>

#include "emu/kernel/bugcheck.h"
#include "emu/kernel/kernel.h"
#include "emu/kernel/registry_internal.h"
#include "emu/kernel/sched.h"

namespace emu {

const char16_t kRegistryServicesPath[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
const char16_t kRegistryControlPath[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
const char16_t kRegistryWindowsNtPath[] =
    u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
const char16_t kRegistryDeviceMapPath[] = u"\\Registry\\Machine\\Hardware\\DeviceMap";
const char16_t kRegistryUserPath[] = u"\\Registry\\User\\.Default";
const char16_t kRegistryEnumPath[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum";

namespace {

// The class key of serial ports, under which device software keys live.
constexpr char16_t kPortsClassPath[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
    u"{4D36E978-E325-11CE-BFC1-08002BE10318}";

struct Key {
    std::u16string path;  // as first created
    std::vector<std::pair<std::u16string, RegistryValue>> values;
};

struct Handle {
    std::u16string path;  // folded
    ACCESS_MASK access = 0;
};

struct WriteFault {
    std::u16string key;   // folded
    std::u16string name;  // folded; empty matches every value
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    int times = 0;
};

struct Store {
    std::mutex mu;
    std::map<std::u16string, Key> keys;  // by folded path
    std::map<uintptr_t, Handle> handles;
    uintptr_t next_handle = 0;
    std::vector<WriteFault> faults;
    std::unordered_map<const void*, std::u16string> device_paths;
    std::unordered_map<const void*, std::u16string> driver_paths;
    unsigned next_driver_key = 0;
};

Store& S() {
    static Store* store = new Store;
    return *store;
}

std::u16string Fold(const std::u16string& text) {
    std::u16string folded(text);
    for (char16_t& c : folded) {
        c = RtlUpcaseUnicodeChar(c);
    }
    return folded;
}

std::u16string ParentOf(const std::u16string& path) {
    size_t cut = path.rfind(u'\\');
    return cut == 0 || cut == std::u16string::npos ? std::u16string() : path.substr(0, cut);
}

// Store lock held. Creates `path` and every missing parent.
Key& CreateWithParentsLocked(Store& store, const std::u16string& path) {
    std::u16string parent = ParentOf(path);
    if (!parent.empty() && !store.keys.count(Fold(parent))) {
        CreateWithParentsLocked(store, parent);
    }
    Key& key = store.keys[Fold(path)];
    if (key.path.empty()) {
        key.path = path;
    }
    return key;
}

std::pair<std::u16string, RegistryValue>* FindValue(Key& key, const std::u16string& name) {
    std::u16string folded = Fold(name);
    for (auto& entry : key.values) {
        if (Fold(entry.first) == folded) {
            return &entry;
        }
    }
    return nullptr;
}

// Store lock held. The write fault that applies to a write, consumed; STATUS_SUCCESS if none.
NTSTATUS TakeWriteFaultLocked(Store& store, const std::u16string& folded_key,
                              const std::u16string& name) {
    std::u16string folded_name = Fold(name);
    for (auto it = store.faults.begin(); it != store.faults.end(); ++it) {
        if (it->key == folded_key && (it->name.empty() || it->name == folded_name)) {
            NTSTATUS status = it->status;
            if (--it->times <= 0) {
                store.faults.erase(it);
            }
            return status;
        }
    }
    return STATUS_SUCCESS;
}

std::u16string RequireKeyPath(const std::u16string& key) {
    std::optional<std::u16string> path = reg::NormalizePath(key);
    if (!path) {
        std::string narrow(key.begin(), key.end());
        BugCheck(rule::kInvalidParameter, "malformed registry path '%s'", narrow.c_str());
        return std::u16string(u"\\Registry");
    }
    return *path;
}

Key* FindKeyLocked(Store& store, const std::u16string& path) {
    auto it = store.keys.find(Fold(path));
    return it == store.keys.end() ? nullptr : &it->second;
}

Key* KeyOfHandleLocked(Store& store, HANDLE handle, NTSTATUS* status) {
    auto it = store.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == store.handles.end()) {
        *status = STATUS_INVALID_HANDLE;
        return nullptr;
    }
    auto key = store.keys.find(it->second.path);
    if (key == store.keys.end()) {
        *status = STATUS_KEY_DELETED;
        return nullptr;
    }
    *status = STATUS_SUCCESS;
    return &key->second;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Values and paths
// ---------------------------------------------------------------------------------------------
std::u16string RegistryValue::String() const {
    std::u16string text;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        char16_t c = char16_t(data[i] | data[i + 1] << 8);
        if (c == 0) {
            break;
        }
        text += c;
    }
    return text;
}

ULONG RegistryValue::Dword() const {
    if (data.size() < 4) {
        return 0;
    }
    return ULONG(data[0]) | ULONG(data[1]) << 8 | ULONG(data[2]) << 16 | ULONG(data[3]) << 24;
}

RegistryValue RegistryString(const std::u16string& text) {
    RegistryValue value{REG_SZ, {}};
    for (char16_t c : text) {
        value.data.push_back(uint8_t(c));
        value.data.push_back(uint8_t(c >> 8));
    }
    value.data.insert(value.data.end(), {0, 0});
    return value;
}

RegistryValue RegistryDword(ULONG number) {
    return RegistryValue{
        REG_DWORD,
        {uint8_t(number), uint8_t(number >> 8), uint8_t(number >> 16), uint8_t(number >> 24)}};
}

RegistryValue RegistryMultiString(const std::vector<std::u16string>& strings) {
    RegistryValue value{REG_MULTI_SZ, {}};
    for (const std::u16string& text : strings) {
        RegistryValue one = RegistryString(text);
        value.data.insert(value.data.end(), one.data.begin(), one.data.end());
    }
    value.data.insert(value.data.end(), {0, 0});
    return value;
}

std::optional<std::u16string> RegistryRootPath(ULONG relative_to) {
    switch (relative_to) {
        case RTL_REGISTRY_ABSOLUTE:
            return std::u16string();
        case RTL_REGISTRY_SERVICES:
            return std::u16string(kRegistryServicesPath);
        case RTL_REGISTRY_CONTROL:
            return std::u16string(kRegistryControlPath);
        case RTL_REGISTRY_WINDOWS_NT:
            return std::u16string(kRegistryWindowsNtPath);
        case RTL_REGISTRY_DEVICEMAP:
            return std::u16string(kRegistryDeviceMapPath);
        case RTL_REGISTRY_USER:
            return std::u16string(kRegistryUserPath);
    }
    return std::nullopt;
}

std::u16string RegistryJoin(const std::u16string& key, const std::u16string& relative) {
    if (relative.empty()) {
        return key;
    }
    if (key.empty()) {
        return relative;
    }
    return key + u"\\" + relative;
}

// ---------------------------------------------------------------------------------------------
// Test interface
// ---------------------------------------------------------------------------------------------
void RegistryCreateKey(const std::u16string& key) {
    std::u16string path = RequireKeyPath(key);
    std::lock_guard<std::mutex> lock(S().mu);
    CreateWithParentsLocked(S(), path);
}

bool RegistryKeyExists(const std::u16string& key) {
    std::optional<std::u16string> path = reg::NormalizePath(key);
    std::lock_guard<std::mutex> lock(S().mu);
    return path && FindKeyLocked(S(), *path);
}

bool RegistryDeleteKey(const std::u16string& key) {
    std::u16string folded = Fold(RequireKeyPath(key));
    Store& store = S();
    std::lock_guard<std::mutex> lock(store.mu);
    bool found = false;
    for (auto it = store.keys.begin(); it != store.keys.end();) {
        const std::u16string& path = it->first;
        bool inside = path == folded ||
                      (path.size() > folded.size() && path.compare(0, folded.size(), folded) == 0 &&
                       path[folded.size()] == u'\\');
        if (inside) {
            found = true;
            it = store.keys.erase(it);
        } else {
            ++it;
        }
    }
    return found;
}

void RegistrySetValue(const std::u16string& key, const std::u16string& name, RegistryValue value) {
    std::u16string path = RequireKeyPath(key);
    std::lock_guard<std::mutex> lock(S().mu);
    Key& stored = CreateWithParentsLocked(S(), path);
    if (auto* entry = FindValue(stored, name)) {
        entry->second = std::move(value);
    } else {
        stored.values.emplace_back(name, std::move(value));
    }
}

void RegistrySetString(const std::u16string& key, const std::u16string& name,
                       const std::u16string& text) {
    RegistrySetValue(key, name, RegistryString(text));
}

void RegistrySetDword(const std::u16string& key, const std::u16string& name, ULONG value) {
    RegistrySetValue(key, name, RegistryDword(value));
}

std::optional<RegistryValue> RegistryGetValue(const std::u16string& key,
                                              const std::u16string& name) {
    std::optional<std::u16string> path = reg::NormalizePath(key);
    std::lock_guard<std::mutex> lock(S().mu);
    Key* stored = path ? FindKeyLocked(S(), *path) : nullptr;
    auto* entry = stored ? FindValue(*stored, name) : nullptr;
    if (!entry) {
        return std::nullopt;
    }
    return entry->second;
}

bool RegistryDeleteValue(const std::u16string& key, const std::u16string& name) {
    std::optional<std::u16string> path = reg::NormalizePath(key);
    std::lock_guard<std::mutex> lock(S().mu);
    Key* stored = path ? FindKeyLocked(S(), *path) : nullptr;
    auto* entry = stored ? FindValue(*stored, name) : nullptr;
    if (!entry) {
        return false;
    }
    stored->values.erase(stored->values.begin() + (entry - stored->values.data()));
    return true;
}

std::vector<std::pair<std::u16string, RegistryValue>> RegistryListValues(
    const std::u16string& key) {
    std::optional<std::u16string> path = reg::NormalizePath(key);
    std::lock_guard<std::mutex> lock(S().mu);
    Key* stored = path ? FindKeyLocked(S(), *path) : nullptr;
    return stored ? stored->values : std::vector<std::pair<std::u16string, RegistryValue>>();
}

std::vector<std::u16string> RegistryListSubkeys(const std::u16string& key) {
    std::vector<std::u16string> names;
    std::optional<std::u16string> path = reg::NormalizePath(key);
    if (!path) {
        return names;
    }
    std::u16string folded = Fold(*path);
    std::lock_guard<std::mutex> lock(S().mu);
    for (auto& [candidate, stored] : S().keys) {
        if (ParentOf(candidate) == folded) {
            names.push_back(stored.path.substr(stored.path.rfind(u'\\') + 1));
        }
    }
    return names;
}

size_t RegistryOpenHandleCount() {
    std::lock_guard<std::mutex> lock(S().mu);
    return S().handles.size();
}

void RegistryFailNextWrite(const std::u16string& key, const std::u16string& name, NTSTATUS status,
                           int times) {
    std::u16string path = RequireKeyPath(key);
    std::lock_guard<std::mutex> lock(S().mu);
    S().faults.push_back(WriteFault{Fold(path), Fold(name), status, times});
}

void RegistryClearFaults() {
    std::lock_guard<std::mutex> lock(S().mu);
    S().faults.clear();
}

// ---------------------------------------------------------------------------------------------
// Device keys
// ---------------------------------------------------------------------------------------------
void SetDeviceKeyPath(const void* pdo, std::u16string path) {
    path = RequireKeyPath(path);
    std::lock_guard<std::mutex> lock(S().mu);
    S().device_paths[pdo] = std::move(path);
}

std::u16string DeviceKeyPath(const void* pdo) {
    std::lock_guard<std::mutex> lock(S().mu);
    auto it = S().device_paths.find(pdo);
    if (it != S().device_paths.end()) {
        return it->second;
    }
    char name[64];
    std::snprintf(name, sizeof name, "\\EMU\\DEVICE\\%llX",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(pdo)));
    std::u16string path = kRegistryEnumPath + std::u16string(name, name + std::strlen(name));
    S().device_paths[pdo] = path;
    return path;
}

std::u16string DeviceParametersPath(const void* pdo) {
    return DeviceKeyPath(pdo) + u"\\Device Parameters";
}

std::u16string DeviceDriverKeyPath(const void* pdo) {
    std::lock_guard<std::mutex> lock(S().mu);
    auto it = S().driver_paths.find(pdo);
    if (it != S().driver_paths.end()) {
        return it->second;
    }
    char number[8];
    std::snprintf(number, sizeof number, "\\%04u", S().next_driver_key++ % 10000);
    std::u16string path = kPortsClassPath + std::u16string(number, number + std::strlen(number));
    S().driver_paths[pdo] = path;
    return path;
}

void RegistryReset() {
    Store& store = S();
    std::lock_guard<std::mutex> lock(store.mu);
    store.keys.clear();
    store.handles.clear();
    store.faults.clear();
    store.device_paths.clear();
    store.driver_paths.clear();
    store.next_driver_key = 0;
    for (const char16_t* root :
         {kRegistryServicesPath, kRegistryControlPath, kRegistryWindowsNtPath,
          kRegistryDeviceMapPath, kRegistryUserPath, kRegistryEnumPath}) {
        CreateWithParentsLocked(store, root);
    }
}

// ---------------------------------------------------------------------------------------------
// The store as the platform's routines see it
// ---------------------------------------------------------------------------------------------
namespace reg {

std::optional<std::u16string> NormalizePath(const std::u16string& path) {
    static const std::u16string kRoot = u"\\REGISTRY";
    if (path.size() < kRoot.size() || Fold(path.substr(0, kRoot.size())) != kRoot) {
        return std::nullopt;
    }
    if (path.size() > kRoot.size() && path[kRoot.size()] != u'\\') {
        return std::nullopt;
    }
    // No empty component (a doubled or trailing separator).
    for (size_t i = 1; i < path.size(); ++i) {
        if (path[i] == u'\\' && (path[i - 1] == u'\\' || i + 1 == path.size())) {
            return std::nullopt;
        }
    }
    return path;
}

NTSTATUS Open(const std::u16string& path, bool create, ACCESS_MASK access, HANDLE* handle,
              ULONG* disposition) {
    std::optional<std::u16string> normalized = NormalizePath(path);
    if (!normalized) {
        return path.empty() || path[0] != u'\\' ? STATUS_OBJECT_PATH_SYNTAX_BAD
                                                : STATUS_OBJECT_NAME_INVALID;
    }
    Store& store = S();
    std::lock_guard<std::mutex> lock(store.mu);
    ULONG result = REG_OPENED_EXISTING_KEY;
    if (!FindKeyLocked(store, *normalized)) {
        if (!create) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        std::u16string parent = ParentOf(*normalized);
        if (parent.empty() || !FindKeyLocked(store, parent)) {
            return STATUS_OBJECT_PATH_NOT_FOUND;
        }
        store.keys[Fold(*normalized)].path = *normalized;
        result = REG_CREATED_NEW_KEY;
    }
    store.next_handle += 4;
    uintptr_t value = 0x80000000u + store.next_handle;
    store.handles[value] = Handle{Fold(*normalized), access};
    *handle = reinterpret_cast<HANDLE>(value);
    if (disposition) {
        *disposition = result;
    }
    return STATUS_SUCCESS;
}

std::optional<std::u16string> PathOf(HANDLE handle) {
    Store& store = S();
    std::lock_guard<std::mutex> lock(store.mu);
    NTSTATUS status;
    Key* key = KeyOfHandleLocked(store, handle, &status);
    if (key) {
        return key->path;
    }
    auto it = store.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it != store.handles.end()) {
        return it->second.path;  // the key is gone; its (folded) path still names it
    }
    return std::nullopt;
}

NTSTATUS Close(HANDLE handle) {
    std::lock_guard<std::mutex> lock(S().mu);
    return S().handles.erase(reinterpret_cast<uintptr_t>(handle)) ? STATUS_SUCCESS
                                                                  : STATUS_INVALID_HANDLE;
}

NTSTATUS Query(HANDLE handle, const std::u16string& name, std::u16string* stored_name,
               RegistryValue* value) {
    std::lock_guard<std::mutex> lock(S().mu);
    NTSTATUS status;
    Key* key = KeyOfHandleLocked(S(), handle, &status);
    if (!key) {
        return status;
    }
    auto* entry = FindValue(*key, name);
    if (!entry) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *stored_name = entry->first;
    *value = entry->second;
    return STATUS_SUCCESS;
}

NTSTATUS Enumerate(HANDLE handle, std::vector<std::pair<std::u16string, RegistryValue>>* values) {
    std::lock_guard<std::mutex> lock(S().mu);
    NTSTATUS status;
    Key* key = KeyOfHandleLocked(S(), handle, &status);
    if (key) {
        *values = key->values;
    }
    return status;
}

NTSTATUS Set(HANDLE handle, const std::u16string& name, RegistryValue value) {
    Store& store = S();
    std::lock_guard<std::mutex> lock(store.mu);
    NTSTATUS status;
    Key* key = KeyOfHandleLocked(store, handle, &status);
    if (!key) {
        return status;
    }
    status = TakeWriteFaultLocked(store, Fold(key->path), name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (auto* entry = FindValue(*key, name)) {
        entry->second = std::move(value);
    } else {
        key->values.emplace_back(name, std::move(value));
    }
    return STATUS_SUCCESS;
}

NTSTATUS Delete(HANDLE handle, const std::u16string& name) {
    std::lock_guard<std::mutex> lock(S().mu);
    NTSTATUS status;
    Key* key = KeyOfHandleLocked(S(), handle, &status);
    if (!key) {
        return status;
    }
    auto* entry = FindValue(*key, name);
    if (!entry) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    key->values.erase(key->values.begin() + (entry - key->values.data()));
    return STATUS_SUCCESS;
}

std::u16string FromCounted(const UNICODE_STRING* string) {
    if (!string || !string->Buffer) {
        return std::u16string();
    }
    auto begin = reinterpret_cast<const char16_t*>(string->Buffer);
    return std::u16string(begin, begin + string->Length / sizeof(WCHAR));
}

std::u16string FromTerminated(const WCHAR* string) {
    return string ? std::u16string(reinterpret_cast<const char16_t*>(string)) : std::u16string();
}

bool CheckPassive(const char* routine) {
    KIRQL irql = CurrentIrql();
    if (irql != PASSIVE_LEVEL) {
        BugCheck(rule::kIrqlNotLessOrEqual, "%s called at IRQL %u; it runs at PASSIVE_LEVEL",
                 routine, irql);
        return false;
    }
    return true;
}

}  // namespace reg
}  // namespace emu
