// The process cache: for the life of the process, the denied functions that
// the registry cache gave for each user on each system, so that only the
// first query for a system and user goes below it. At most 50 entries that
// own a denied set are kept, evicted first in, first out; entries without
// one are kept until unload. Callers may hold the process lock.
#ifndef ZVT_CACHE_PROCESS_CACHE_H_
#define ZVT_CACHE_PROCESS_CACHE_H_

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "cache/registry_cache.h"
#include "services/app_adm_mutex.h"
#include "services/client.h"
#include "services/mutex.h"

namespace zvt {

struct CAIUserEntry {
  uint32_t state = 0;  // 1: owns deniedFunctions
  std::unique_ptr<DeniedSet> deniedFunctions;
};

class CAIProcessCache {
 public:
  static constexpr size_t kMaxKeyedEntries = 50;

  // Calls CRegistryCache::startUp within the locked frame.
  CAIProcessCache();
  // Deletes every entry and closes the registry cache's key slot.
  ~CAIProcessCache();
  CAIProcessCache(const CAIProcessCache&) = delete;
  CAIProcessCache& operator=(const CAIProcessCache&) = delete;

  // 0 with `*admin_value` written (1: denied), or a nonzero code with it untouched.
  uint32_t getAIvalue(const SystemHandle* handle, std::u16string_view function_id,
                      uint32_t* admin_value);
  // 0 with `*cache_state` written (0 current, 1 not signed on, 2 stale), or
  // a nonzero code with it untouched.
  uint32_t getCacheState(const SystemHandle* handle, uint32_t* cache_state);

  // The key of a user on a system: the user ID padded with "*" to 10
  // characters, then the system name, upper-cased.
  static std::u16string cacheKey(const std::u16string& user_id, const std::u16string& system_name);
  // The same, written over `*key`.
  static void cacheKey(std::u16string_view user_id, std::u16string_view system_name,
                       std::u16string* key);

  size_t entryCount() const { return entries.size(); }
  size_t keyedCount() const { return keyOrder.size(); }

 private:
  CAppAdmMutex mutex;
  std::unordered_map<std::u16string, std::unique_ptr<CAIUserEntry>> entries;
  std::deque<std::u16string> keyOrder;
  // The key of the last lookup, kept so that a cached answer allocates
  // nothing for it.
  std::u16string lookupKey ZVT_GUARDED_BY(mutex);
  // The last handle answered for, the user its system object was signed on
  // with then, and its entry: asked again for the same handle and user, the
  // entry is taken without building its key. (A handle's system name never
  // changes.) Reset whenever an entry is added or removed.
  SystemHandle lastHandle ZVT_GUARDED_BY(mutex) = 0;
  char16_t lastUser[11] ZVT_GUARDED_BY(mutex) = {};
  const CAIUserEntry* lastEntry ZVT_GUARDED_BY(mutex) = nullptr;
};

// The library's one process cache, constructed when the library is loaded
// (it lives with the exports, so that only the library builds one).
CAIProcessCache& ProcessCache();

}  // namespace zvt

#endif  // ZVT_CACHE_PROCESS_CACHE_H_
