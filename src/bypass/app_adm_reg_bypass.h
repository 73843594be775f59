// The admin value lookup behind ordinal 16: the ordinary path through the
// process and registry caches while it works, and after its first failure,
// for the rest of the process, a direct usage request to the host whose
// answers (and failures, for the rest of the local day) it keeps itself.
#ifndef ZVT_BYPASS_APP_ADM_REG_BYPASS_H_
#define ZVT_BYPASS_APP_ADM_REG_BYPASS_H_

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>

#include "cache/registry_cache.h"
#include "services/client.h"

namespace zvt {

// What one direct request taught about a user on a system.
struct CBypassEntry {
  std::unique_ptr<DeniedSet> deniedFunctions;  // null when none is known
  uint32_t errorCode = 0;                      // of a failed request; 0 when it succeeded
  uint32_t dayStamp = 0;                       // local day of that failure; 0 without one
};

// The lookup's process-wide state, created empty at load and never cleared.
struct BypassState {
  uint32_t bypassMode = 0;  // 1 from the first failure of the ordinary path on
  std::unordered_map<std::u16string, std::unique_ptr<CBypassEntry>> bypassEntries;
  // The keys of the entries that own denied functions, oldest first.
  std::deque<std::u16string> bypassKeyOrder;
};

class CAppAdmRegBypass {
 public:
  static constexpr size_t kMaxKeyedEntries = 50;

  // Callers hold the process lock.
  static uint32_t getAdminValue(const SystemHandle* handle, const std::u16string& function_id,
                                uint32_t* admin_value);
  // Signs the system object on if needed; `*pre_version` is 1 for a host
  // older than version 4 release 3.
  static uint32_t signonToTarvo(const SystemHandle* handle, uint32_t* pre_version);
  static uint32_t getTarvoUserSys(const SystemHandle* handle, std::u16string* user_id,
                                  std::u16string* system_name, std::u16string* cache_key);

  static BypassState& state();
};

// (years since 1900) * 1000 + day of the year counted from 0, local time.
uint32_t TodayStamp();

// Empties the lookup's state, as in a newly loaded library.
void ResetBypassForTesting();

}  // namespace zvt

#endif  // ZVT_BYPASS_APP_ADM_REG_BYPASS_H_
