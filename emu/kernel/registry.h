// The emulated registry: keys by full path (\Registry\Machine\...), compared without regard to
// case as the platform does; values with a type and bytes. The platform's Zw* and Rtl*
// registry routines and IoOpenDeviceRegistryKey (emu/kernel/wdk/rtl.h) work on it; tests and
// the lab use the C++ interface below.
//
// A freshly reset registry holds the keys the relative roots of RTL_REGISTRY_* name, the
// Enum key, and nothing else. The platform's routines create a key only when its parent
// exists; the test interface creates missing parents.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "emu/kernel/wdk/rtl.h"

namespace emu {

// The absolute paths of the RTL_REGISTRY_* roots.
extern const char16_t kRegistryServicesPath[];   // ...\CurrentControlSet\Services
extern const char16_t kRegistryControlPath[];    // ...\CurrentControlSet\Control
extern const char16_t kRegistryWindowsNtPath[];  // ...\Software\Microsoft\Windows NT\CurrentVersion
extern const char16_t kRegistryDeviceMapPath[];  // \Registry\Machine\Hardware\DeviceMap
extern const char16_t kRegistryUserPath[];       // \Registry\User\.Default
extern const char16_t kRegistryEnumPath[];       // ...\CurrentControlSet\Enum

// The absolute path of an RTL_REGISTRY_* root (RTL_REGISTRY_ABSOLUTE gives ""); nullopt for a
// value that names no root.
std::optional<std::u16string> RegistryRootPath(ULONG relative_to);

// "\Registry\Machine\Hardware\DeviceMap\SERIALCOMM": the root and the relative path joined.
std::u16string RegistryJoin(const std::u16string& key, const std::u16string& relative);

struct RegistryValue {
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;

    // REG_SZ / REG_EXPAND_SZ data up to the first terminator (or the end of the data).
    std::u16string String() const;
    // REG_DWORD data; 0 when the data is shorter than 4 bytes.
    ULONG Dword() const;
};

// Values of a REG_SZ (with its terminator), REG_DWORD and REG_MULTI_SZ.
RegistryValue RegistryString(const std::u16string& text);
RegistryValue RegistryDword(ULONG value);
RegistryValue RegistryMultiString(const std::vector<std::u16string>& strings);

// ---------------------------------------------------------------------------------------------
// Test interface. Keys are full paths; a missing key (and its parents) is created by the
// setters. Value names compare without regard to case; an empty name is the key's default
// value.
// ---------------------------------------------------------------------------------------------
void RegistryCreateKey(const std::u16string& key);
bool RegistryKeyExists(const std::u16string& key);
// Deletes the key with its subkeys and values; false if it did not exist.
bool RegistryDeleteKey(const std::u16string& key);

void RegistrySetValue(const std::u16string& key, const std::u16string& name, RegistryValue value);
void RegistrySetString(const std::u16string& key, const std::u16string& name,
                       const std::u16string& text);
void RegistrySetDword(const std::u16string& key, const std::u16string& name, ULONG value);
std::optional<RegistryValue> RegistryGetValue(const std::u16string& key,
                                              const std::u16string& name);
bool RegistryDeleteValue(const std::u16string& key, const std::u16string& name);

// The values of a key in the order they were first written, with their names as written.
std::vector<std::pair<std::u16string, RegistryValue>> RegistryListValues(const std::u16string& key);
// The names of the immediate subkeys of a key.
std::vector<std::u16string> RegistryListSubkeys(const std::u16string& key);

// Registry handles the driver has opened and not closed.
size_t RegistryOpenHandleCount();

// Fault injection: the next `times` writes (ZwSetValueKey, RtlWriteRegistryValue) of value
// `name` in `key` fail with `status` and change nothing. An empty name matches every value of
// the key.
void RegistryFailNextWrite(const std::u16string& key, const std::u16string& name, NTSTATUS status,
                           int times = 1);
void RegistryClearFaults();

// ---------------------------------------------------------------------------------------------
// Device keys
// ---------------------------------------------------------------------------------------------
// Gives a physical device object its hardware key path, e.g.
// "\Registry\Machine\System\CurrentControlSet\Enum\USB\VID_xxxx&PID_yyyy\5&1a2b3c&0&1".
// Whoever creates a PDO calls it; a PDO without one gets a path derived from its address.
void SetDeviceKeyPath(const void* pdo, std::u16string path);
// The hardware key path of a PDO.
std::u16string DeviceKeyPath(const void* pdo);
// What IoOpenDeviceRegistryKey opens for PLUGPLAY_REGKEY_DEVICE: "<hardware key>\Device
// Parameters", and for PLUGPLAY_REGKEY_DRIVER: the device's key under the serial-port class.
std::u16string DeviceParametersPath(const void* pdo);
std::u16string DeviceDriverKeyPath(const void* pdo);

}  // namespace emu
