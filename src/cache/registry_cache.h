// The entry points of the persistent registry cache that the process cache
// relies on. Callers hold the process lock.
#ifndef ZVT_CACHE_REGISTRY_CACHE_H_
#define ZVT_CACHE_REGISTRY_CACHE_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>

#include "services/client.h"

namespace zvt {

// The function IDs denied to one user on one system, compared exactly.
using DeniedSet = std::unordered_set<std::u16string>;
using Timestamp = std::array<uint8_t, 8>;

class CRegistryCache {
 public:
  // Prunes the cache of systems no longer configured; run once at load.
  static uint32_t startUp();
  // The user's denied set, newly allocated, or left empty when nothing is
  // denied. Upper-cases `user_id` in place.
  static uint32_t getUserValues(const SystemHandle* handle, const std::u16string& system_name,
                                std::u16string& user_id, std::unique_ptr<DeniedSet>* denied);
  // The stored "##RepTS", "##HierTS" (all zero when not stored) and
  // "##UserTS" (`*user_ts` reset when not stored), in the stored form. With
  // `take_mutex` true it takes the registry-cache mutex itself.
  static uint32_t getCacheTS(const std::u16string& system_name, const std::u16string& user_id,
                             Timestamp* rep_ts, Timestamp* hier_ts,
                             std::unique_ptr<Timestamp>* user_ts, bool take_mutex);
  // Closes the open "Application_Administration\HostVals" key, if any.
  static void closeCacheKeySlot();
};

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
// Installs `o` (null: none) for the registry cache's entry points.
void SetRegistryCacheOverride(RegistryCacheOverride* o);

}  // namespace zvt

#endif  // ZVT_CACHE_REGISTRY_CACHE_H_
