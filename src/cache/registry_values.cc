// Reading a user's denied functions back from the user key.
#include <algorithm>

#include "cache/registry_cache.h"
#include "cache/registry_layout.h"
#include "diag/error_records.h"
#include "services/services.h"

namespace zvt {

uint32_t CRegistryCache::getRegistryAIValues(const std::u16string& system_name,
                                             const std::u16string& user_id,
                                             std::unique_ptr<DeniedSet>* denied) {
  if (uint32_t rc = openUserRegKey(system_name, user_id); rc != 0) {
    ZVT_CACHE_ERROR(u"CRegistryCache::getRegistryAIValues -> Open User key failed", 0);
    return rc;
  }
  RegistryApi* registry = CurrentServices().registry;
  auto set = std::make_unique<DeniedSet>();
  // A function ID has at most 30 characters; a name or data that does not
  // fit these buffers cannot be a denied function and is skipped. Only the
  // end of the list ends the enumeration.
  for (DWORD index = 0;; ++index) {
    char16_t name[32];
    DWORD name_chars = 32;
    BYTE data[1] = {};
    DWORD size = sizeof data;
    DWORD type = 0;
    LONG rc =
        registry->RegEnumValueW(userKey(), index, name, &name_chars, nullptr, &type, data, &size);
    if (rc == kErrorMoreData) continue;
    if (rc == kErrorNoMoreItems) break;
    if (rc != kErrorSuccess) {
      // A set read only in part would answer "not denied" for what it
      // missed: the query fails with the registry's code instead.
      ZVT_CACHE_ERROR(u"CRegistryCache::getRegistryAIValues -> Enum User values failed",
                      static_cast<uint32_t>(rc));
      return static_cast<uint32_t>(rc);
    }
    std::u16string_view id(name, std::min<DWORD>(name_chars, 31));
    if (IsDeniedFunctionValue(id, type, data, size)) set->insert(id);
  }
  if (!set->empty()) *denied = std::move(set);
  return 0;
}

}  // namespace zvt
