// Opening, listing and deleting the registry cache's keys, and the
// process-wide key slots they fill.
#include <algorithm>

#include "cache/registry_cache.h"
#include "cache/registry_layout.h"
#include "cache/registry_slots.h"
#include "diag/error_records.h"
#include "services/scoped_key.h"
#include "services/services.h"

namespace zvt {
namespace {

// Key names are at most 255 characters; the buffer leaves room to spare.
constexpr DWORD kKeyNameChars = 257;

RegistryApi* Registry() { return CurrentServices().registry; }

// Appends the subkey names of `key` in enumeration order. Names that do not
// fit are skipped, and so are names that cannot be opened by name again
// (empty, or holding a NUL, which would open a different key). Returns 0 at
// the end of the list, else the code of the failure that cut it short.
LONG ListSubkeys(HKEY key, NameList* names) {
  for (DWORD index = 0;; ++index) {
    char16_t name[kKeyNameChars];
    DWORD chars = kKeyNameChars;
    LONG rc =
        Registry()->RegEnumKeyExW(key, index, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (rc == kErrorMoreData) continue;
    if (rc == kErrorNoMoreItems) return kErrorSuccess;
    if (rc != kErrorSuccess) return rc;
    std::u16string_view found(name, std::min<DWORD>(chars, kKeyNameChars - 1));
    if (found.empty() || found.find(u'\0') != std::u16string_view::npos) continue;
    names->emplace_back(found);
  }
}

// Fills `slot` unless it is filled; a failure is recorded with `failure` and
// the line of the open function that asked.
uint32_t OpenSlot(HKEY* slot, const std::u16string& path, const char16_t* failure, uint32_t line) {
  if (*slot != nullptr) return 0;
  uint32_t rc = CRegistryCache::openRegKey(path, slot);
  if (rc != 0) {
    *slot = nullptr;
    writeErrorRecord(ErrorUnit::kCache, failure, line, 0);
  }
  return rc;
}

}  // namespace

RegistryCacheState& RegistryCacheGlobals() {
  static RegistryCacheState state;
  return state;
}

void CloseSlot(HKEY* slot) {
  if (*slot != nullptr) {
    Registry()->RegCloseKey(*slot);
    *slot = nullptr;
  }
}

uint32_t CRegistryCache::openRegKey(const std::u16string& path, HKEY* key) {
  DWORD disposition = 0;
  LONG rc = CurrentServices().registry_service->CreateRegKeyEx(
      kHKeyCurrentUser, path.c_str(), 0, nullptr, 0, kKeyAllAccess, nullptr, key, &disposition);
  if (rc != kErrorSuccess) {
    ZVT_CACHE_ERROR(u"CRegistryCache::openRegKey -> CRegistrySPI::CreateRegKeyEx failed ", 0);
    return static_cast<uint32_t>(rc);
  }
  return 0;
}

uint32_t CRegistryCache::openCacheRegKey() {
  return OpenSlot(&RegistryCacheGlobals().cache_key, kHostValsKey,
                  u"CRegistryCache::openCacheRegKey -> openRegKey failed ", __LINE__);
}

uint32_t CRegistryCache::openSysRegKey(const std::u16string& system_name) {
  return OpenSlot(&RegistryCacheGlobals().system_key, SystemKeyPath(system_name),
                  u"CRegistryCache::openSysRegKey -> openRegKey failed ", __LINE__);
}

uint32_t CRegistryCache::openUserRegKey(const std::u16string& system_name,
                                        const std::u16string& user_id) {
  return OpenSlot(&RegistryCacheGlobals().user_key, SystemKeyPath(system_name) + u"\\" + user_id,
                  u"CRegistryCache::openUserRegKey -> openRegKey failed ", __LINE__);
}

uint32_t CRegistryCache::openHierRegKey(const std::u16string& system_name) {
  return OpenSlot(&RegistryCacheGlobals().hierarchy_key,
                  SystemKeyPath(system_name) + u"\\" + kHierarchyKey,
                  u"CRegistryCache::openHierRegKey -> openRegKey failed ", __LINE__);
}

HKEY CRegistryCache::cacheKey() { return RegistryCacheGlobals().cache_key; }
HKEY CRegistryCache::systemKey() { return RegistryCacheGlobals().system_key; }
HKEY CRegistryCache::userKey() { return RegistryCacheGlobals().user_key; }
HKEY CRegistryCache::hierarchyKey() { return RegistryCacheGlobals().hierarchy_key; }
bool CRegistryCache::cacheSwitchOn() { return RegistryCacheGlobals().cache_on; }

void CRegistryCache::noteLostWrite() { RegistryCacheGlobals().writes_lost = true; }

void CRegistryCache::closeCacheKeySlot() { CloseSlot(&RegistryCacheGlobals().cache_key); }
void CRegistryCache::closeUserKeySlot() { CloseSlot(&RegistryCacheGlobals().user_key); }

void closeRegKeys() {
  RegistryCacheState& s = RegistryCacheGlobals();
  CloseSlot(&s.system_key);
  CloseSlot(&s.user_key);
  CloseSlot(&s.hierarchy_key);
}

bool deleteRegTree(HKEY parent, const std::u16string& name) {
  if (parent == nullptr) return false;
  RegistryApi* registry = Registry();
  RegistryServiceApi* service = CurrentServices().registry_service;
  ScopedKey opened(registry);
  HKEY key = parent;
  if (!name.empty()) {
    LONG rc = service->OpenRegKeyEx(parent, name.c_str(), 0, kKeyAllAccess, opened.Receive());
    if (rc != kErrorSuccess) return rc == kErrorFileNotFound;  // nothing there is gone
    key = opened.get();
  }
  NameList children;
  bool whole = true;
  if (LONG rc = ListSubkeys(key, &children); rc != kErrorSuccess) {
    ZVT_CACHE_ERROR(u"deleteRegTree -> Enum subkeys failed", static_cast<uint32_t>(rc));
    whole = false;
  }
  for (const std::u16string& child : children) whole &= deleteRegTree(key, child);
  LONG rc =
      !name.empty() ? service->DeleteRegKey(parent, name.c_str()) : service->DeleteRegKey(key, u"");
  return whole && rc == kErrorSuccess;
}

uint32_t CRegistryCache::getSystemList(NameList* names) {
  if (uint32_t rc = openCacheRegKey(); rc != 0) {
    ZVT_CACHE_ERROR(u"CRegistryCache::getSystemList -> Open Cache key failed ", 0);
    return rc;
  }
  names->clear();
  if (LONG rc = ListSubkeys(RegistryCacheGlobals().cache_key, names); rc != kErrorSuccess)
    ZVT_CACHE_ERROR(u"CRegistryCache::getSystemList -> Enum Cache key failed",
                    static_cast<uint32_t>(rc));
  return 0;
}

uint32_t CRegistryCache::getUserList(const std::u16string& system_name, NameList* names) {
  if (uint32_t rc = openSysRegKey(system_name); rc != 0) {
    ZVT_CACHE_ERROR(u"CRegistryCache::getUserList -> openSysRegKey failed ", 0);
    return rc;
  }
  NameList all;
  if (LONG rc = ListSubkeys(RegistryCacheGlobals().system_key, &all); rc != kErrorSuccess)
    ZVT_CACHE_ERROR(u"CRegistryCache::getUserList -> Enum Sys key failed",
                    static_cast<uint32_t>(rc));
  names->clear();
  for (std::u16string& name : all)
    if (!IsHierarchyKeyName(name)) names->push_back(std::move(name));
  return 0;
}

}  // namespace zvt
