// The registry cache's process-wide state: the cache switch, the four
// open-key slots and what the refresh under way lost. Only code holding the process lock and the
// registry-cache mutex touches it.
#ifndef ZVT_CACHE_REGISTRY_SLOTS_H_
#define ZVT_CACHE_REGISTRY_SLOTS_H_

#include "services/win_types.h"

namespace zvt {

struct RegistryCacheState {
  bool cache_on = true;
  HKEY cache_key = nullptr;
  HKEY system_key = nullptr;
  HKEY user_key = nullptr;
  HKEY hierarchy_key = nullptr;
  // A write or deletion that the refresh under way depends on failed, so
  // the values it leaves must not be called current.
  bool writes_lost = false;
};

RegistryCacheState& RegistryCacheGlobals();

// Closes `*slot` if it is filled and empties it.
void CloseSlot(HKEY* slot);

}  // namespace zvt

#endif  // ZVT_CACHE_REGISTRY_SLOTS_H_
