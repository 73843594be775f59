// The registry cache's entry points. Until the persistent cache is built,
// it keeps nothing: every user has no denied functions and nothing is
// stored, so every cache state is stale.
#include "cache/registry_cache.h"

#include <algorithm>

namespace zvt {
namespace {

RegistryCacheOverride* g_override = nullptr;

}  // namespace

void SetRegistryCacheOverride(RegistryCacheOverride* o) { g_override = o; }

uint32_t CRegistryCache::startUp() { return g_override != nullptr ? g_override->startUp() : 0; }

uint32_t CRegistryCache::getUserValues(const SystemHandle* handle,
                                       const std::u16string& system_name, std::u16string& user_id,
                                       std::unique_ptr<DeniedSet>* denied) {
  if (g_override != nullptr) return g_override->getUserValues(handle, system_name, user_id, denied);
  std::transform(user_id.begin(), user_id.end(), user_id.begin(),
                 [](char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; });
  denied->reset();
  return 0;
}

uint32_t CRegistryCache::getCacheTS(const std::u16string& system_name,
                                    const std::u16string& user_id, Timestamp* rep_ts,
                                    Timestamp* hier_ts, std::unique_ptr<Timestamp>* user_ts,
                                    bool take_mutex) {
  if (g_override != nullptr)
    return g_override->getCacheTS(system_name, user_id, rep_ts, hier_ts, user_ts, take_mutex);
  rep_ts->fill(0);
  hier_ts->fill(0);
  user_ts->reset();
  return 0;
}

void CRegistryCache::closeCacheKeySlot() {
  if (g_override != nullptr) g_override->closeCacheKeySlot();
}

}  // namespace zvt
