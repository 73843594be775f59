// The persistent registry cache: per host system and user, the change
// timestamps the cached values reflect and the user's denied functions,
// shared by every process of the OS user under a named mutex. Its state is
// process-wide: the cache switch and four open-key slots (cache, system,
// user, hierarchy). The slots are valid only while the registry-cache mutex
// is held; every operation that fills the system, user or hierarchy slot
// empties them before it releases the mutex. Callers hold the process lock.
#ifndef ZVT_CACHE_REGISTRY_CACHE_H_
#define ZVT_CACHE_REGISTRY_CACHE_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cache/denied_set.h"
#include "cache/hierarchy_groups.h"
#include "services/client.h"
#include "services/win_types.h"

namespace zvt {

using Timestamp = std::array<uint8_t, 8>;
// Key names in the order the registry enumerates them; empty means none.
using NameList = std::vector<std::u16string>;
// The function IDs a hierarchy build has placed, compared exactly.
using KnownSet = DeniedSet;

struct ClientFunctionList;

class CRegistryCache {
 public:
  // Reads the "Activate" switch and deletes the cached systems that match no
  // configured system; run once at load, under the registry-cache mutex.
  static uint32_t startUp();

  // The user's denied set, newly allocated, or none when nothing is denied.
  // Upper-cases `user_id` in place. Validates the stored timestamps against
  // the host's, deletes what is stale and reloads it.
  static uint32_t getUserValues(const SystemHandle* handle, const std::u16string& system_name,
                                std::u16string& user_id, std::unique_ptr<DeniedSet>* denied);

  // The stored "##RepTS" and "##HierTS" (all zero when not stored) and
  // "##UserTS" (`*user_ts` reset when not stored), in the stored form. Null
  // pointers (or a null `*user_ts`) skip that value. With `take_mutex` it
  // takes the registry-cache mutex itself and empties the slots before
  // releasing it.
  static uint32_t getCacheTS(const std::u16string& system_name, const std::u16string& user_id,
                             Timestamp* rep_ts, Timestamp* hier_ts,
                             std::unique_ptr<Timestamp>* user_ts, bool take_mutex);
  // Writes the given timestamps (stored form) in the order rep, hier, user,
  // stopping at the first failure.
  static uint32_t setCacheTS(const std::u16string& system_name, const std::u16string& user_id,
                             const Timestamp* rep_ts, const Timestamp* hier_ts,
                             const Timestamp* user_ts);

  static uint32_t getSystemList(NameList* names);
  // The user keys of a system, without its "Hierarchy" key.
  static uint32_t getUserList(const std::u16string& system_name, NameList* names);

  // Opens (creating) `path` below the client registry root of the current user.
  static uint32_t openRegKey(const std::u16string& path, HKEY* key);
  // Fill their slot, or succeed at once when it is already filled.
  static uint32_t openCacheRegKey();
  static uint32_t openSysRegKey(const std::u16string& system_name);
  static uint32_t openUserRegKey(const std::u16string& system_name, const std::u16string& user_id);
  static uint32_t openHierRegKey(const std::u16string& system_name);

  // The user's denied set as the user key holds it.
  static uint32_t getRegistryAIValues(const std::u16string& system_name,
                                      const std::u16string& user_id,
                                      std::unique_ptr<DeniedSet>* denied);
  // Loads the user's denied set from the host and writes it to the user key.
  // `reuse_hierarchy` 1 lets the stored "Hierarchy" key stand in for the
  // host's function list.
  static uint32_t getTarvoAIValues(const std::u16string& system_name, const std::u16string& user_id,
                                   std::unique_ptr<DeniedSet>* denied, uint32_t reuse_hierarchy,
                                   const SystemHandle* handle);

  // Fills `map`, passed empty, with the client-defined functions and the
  // host's: from the host's function list (saving the host part in the
  // "Hierarchy" key) or, with `reuse_hierarchy` 1, from that key. Returns 0,
  // 1 when the function list failed, or the code of a failed key opening;
  // the map is usable as far as it was filled in every case.
  static uint32_t buildHierMap(HierarchyMap* map, const std::u16string& system_name,
                               const std::u16string& user_id, uint32_t reuse_hierarchy,
                               const SystemHandle* handle);
  // Pass 0 adds the list's roots and groups to `map`; pass 1 attaches its
  // groups and items to their parents. Always 0.
  static uint32_t loadHierMap(HierarchyMap* map, KnownSet* known, ClientFunctionList* list,
                              uint32_t pass);

  // The open slots (null when empty).
  static HKEY cacheKey();
  static HKEY systemKey();
  static HKEY userKey();
  static HKEY hierarchyKey();
  static bool cacheSwitchOn();

  // Tells the refresh under way that a write its values depend on failed
  // (a denied function, a saved hierarchy value): it answers from what it
  // loaded but leaves the timestamps unwritten, so the next query reloads.
  static void noteLostWrite();

  // Closes the open "Application_Administration\HostVals" key, if any.
  static void closeCacheKeySlot();
  // Closes the user key slot, if filled.
  static void closeUserKeySlot();
};

// Closes the system, user and hierarchy slots that are filled.
void closeRegKeys();
// Deletes `name` below `parent` with everything below it; with an empty
// `name`, deletes `parent` itself. What cannot be opened or deleted stays;
// the result says whether the whole tree is gone (a `name` that does not
// exist counts as gone), for the refresh, which must not call values
// current that a failed deletion left behind.
bool deleteRegTree(HKEY parent, const std::u16string& name);

// Tests stand in for the registry cache through this.
class RegistryCacheOverride {
 public:
  virtual ~RegistryCacheOverride() = default;
  virtual uint32_t startUp() { return 0; }
  virtual uint32_t getUserValues(const SystemHandle* handle, const std::u16string& system_name,
                                 std::u16string& user_id, std::unique_ptr<DeniedSet>* denied) = 0;
  virtual uint32_t getCacheTS(const std::u16string& system_name, const std::u16string& user_id,
                              Timestamp* rep_ts, Timestamp* hier_ts,
                              std::unique_ptr<Timestamp>* user_ts, bool take_mutex) = 0;
  virtual void closeCacheKeySlot() {}
};
// (Bound as Services::registry_cache.)

// Tests stand in for the host load through this.
class HostLoadOverride {
 public:
  virtual ~HostLoadOverride() = default;
  virtual uint32_t getTarvoAIValues(const std::u16string& system_name,
                                    const std::u16string& user_id,
                                    std::unique_ptr<DeniedSet>* denied, uint32_t reuse_hierarchy,
                                    const SystemHandle* handle) = 0;
};
// (Bound as Services::host_load.)

// Empties every slot and turns the cache switch on again, as in a newly
// loaded library; for tests that bind a new registry.
void ResetRegistryCacheForTesting();

}  // namespace zvt

#endif  // ZVT_CACHE_REGISTRY_CACHE_H_
