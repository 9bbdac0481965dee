// The registry store as the platform's routines see it (registry.cpp), shared by the Zw
// routines (registry_zw.cpp) and the Rtl routines (rtl_registry.cpp). Each call takes the
// store's lock itself and never calls out while holding it. Not for use outside emu/kernel.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "emu/kernel/registry.h"

#define STATUS_OBJECT_PATH_SYNTAX_BAD ((NTSTATUS)0xC000003BL)
#define STATUS_KEY_DELETED ((NTSTATUS)0xC000017CL)

namespace emu::reg {

// A full path with its components checked (it starts with \Registry, no empty component, no
// trailing separator); nullopt when malformed.
std::optional<std::u16string> NormalizePath(const std::u16string& path);

// Opens a key by full path, creating it when `create` is set and its parent exists. Statuses:
// STATUS_OBJECT_PATH_SYNTAX_BAD / STATUS_OBJECT_NAME_INVALID for a malformed path,
// STATUS_OBJECT_NAME_NOT_FOUND for a missing key, STATUS_OBJECT_PATH_NOT_FOUND for a missing
// parent. `disposition` (optional) receives REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY.
NTSTATUS Open(const std::u16string& path, bool create, ACCESS_MASK access, HANDLE* handle,
              ULONG* disposition);
// The full path a handle refers to; nullopt for something that is not a registry handle.
std::optional<std::u16string> PathOf(HANDLE handle);
NTSTATUS Close(HANDLE handle);

// Value access through a handle. Missing value: STATUS_OBJECT_NAME_NOT_FOUND; the key deleted
// meanwhile: STATUS_KEY_DELETED; not a handle: STATUS_INVALID_HANDLE.
NTSTATUS Query(HANDLE handle, const std::u16string& name, std::u16string* stored_name,
               RegistryValue* value);
NTSTATUS Enumerate(HANDLE handle, std::vector<std::pair<std::u16string, RegistryValue>>* values);
NTSTATUS Set(HANDLE handle, const std::u16string& name, RegistryValue value);
NTSTATUS Delete(HANDLE handle, const std::u16string& name);

// Counted and terminated 16-bit strings as std::u16string.
std::u16string FromCounted(const UNICODE_STRING* string);
std::u16string FromTerminated(const WCHAR* string);

// Bug-checks (and returns false) when the caller is not at PASSIVE_LEVEL.
bool CheckPassive(const char* routine);

}  // namespace emu::reg
