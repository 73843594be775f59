// The persisted form of the registry cache: key and value names, the
// "Activate" switch, stored change timestamps and denied-function values,
// and the rules by which each is read. Values of any other shape read as
// absent, never as data.
#ifndef ZVT_CACHE_REGISTRY_LAYOUT_H_
#define ZVT_CACHE_REGISTRY_LAYOUT_H_

#include <string>
#include <string_view>

#include "cache/registry_cache.h"
#include "services/registry.h"

namespace zvt {

inline constexpr char16_t kHostValsKey[] = u"Application_Administration\\HostVals";
inline constexpr char16_t kActivateValue[] = u"Activate";
inline constexpr char16_t kRepTsValue[] = u"##RepTS";
inline constexpr char16_t kHierTsValue[] = u"##HierTS";
inline constexpr char16_t kUserTsValue[] = u"##UserTS";
inline constexpr char16_t kHierarchyKey[] = u"Hierarchy";
// Beside the saved hierarchy, which never reads names beginning with "#":
// how many parents the host's list gave it (REG_DWORD), so that a copy with
// fewer is known to be incomplete and an empty one to be the host's tree.
inline constexpr char16_t kSavedParentsValue[] = u"#HostParents";
inline constexpr char16_t kRegCacheMutexName[] = u"QVYN_XD1_ZENTA_APPADMIN_REGCACHE_MUTEX";

// The path of a system's key below the client registry root.
std::u16string SystemKeyPath(std::u16string_view system_name);

// Exchanges bytes 0 and 1: from the host's form or the stored form to the
// in-memory form, and back.
Timestamp ExchangeFirstBytes(Timestamp t);

// True with `*stored` filled only when the value exists, is REG_BINARY and
// has exactly 8 bytes.
bool ReadStoredTimestamp(RegistryApi* registry, HKEY key, const char16_t* name, Timestamp* stored);
LONG WriteStoredTimestamp(RegistryApi* registry, HKEY key, const char16_t* name,
                          const Timestamp& stored);

// The count of parents beside the saved hierarchy: true with `*count` only
// for a REG_DWORD of 4 bytes.
bool ReadSavedParents(RegistryApi* registry, HKEY hierarchy_key, DWORD* count);
LONG WriteSavedParents(RegistryApi* registry, HKEY hierarchy_key, DWORD count);

// True only for "Activate" as REG_SZ of exactly the one character "2".
bool CacheSwitchedOff(RegistryApi* registry, HKEY top_key);

// Whether a value of a user key names a denied function: a name of 1 to 31
// characters not beginning with "#", REG_BINARY, exactly the byte 0x01.
bool IsDeniedFunctionValue(std::u16string_view name, DWORD type, const BYTE* data, DWORD size);

// The reserved "Hierarchy" subkey of a system key, in any letter case.
bool IsHierarchyKeyName(std::u16string_view name);

}  // namespace zvt

#endif  // ZVT_CACHE_REGISTRY_LAYOUT_H_
