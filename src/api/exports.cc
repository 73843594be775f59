// The five exports of libzvtappad and its ordinal table. Ordinal 16 has no
// exported name; ordinals 3 to 13 are unassigned.
#define ZVTAPPAD_BUILDING 1
#include "api/exports.h"

#include "diag/boundary_guard.h"
#include "include/zvtappad/zvtappad.h"
#include "services/app.h"
#include "services/locked_frame.h"

namespace zvt {
namespace {

// Constructed at load, destroyed at unload.
CAIProcessCache g_processCache;
// The application object exists from load on.
[[maybe_unused]] CZvtappadApp& g_app = CZvtappadApp::instance();

}  // namespace

CAIProcessCache& ProcessCache() { return g_processCache; }

}  // namespace zvt

extern "C" {

// No exception leaves an export: each body runs guarded, and one thrown
// (by a failed allocation, say) ends the call with return code 1 and an
// error record, the output untouched.

uint32_t zvtUN_GetAdminValue(const char* system_name, const char* function_id,
                             uint32_t* admin_value) {
  return zvt::GuardBoundary(zvt::ErrorUnit::kCache, u"zvtUN_GetAdminValue", __LINE__, [&] {
    const zvt::WideText function(function_id);
    const zvt::WideText system(system_name);
    return zvt::zvtUN_GetAdminValueW(system.c_str(), function.view(), admin_value);
  });
}

uint32_t zvtUN_GetAdminCacheState(const char* system_name, uint32_t* cache_state) {
  return zvt::GuardBoundary(zvt::ErrorUnit::kCache, u"zvtUN_GetAdminCacheState", __LINE__, [&] {
    const zvt::WideText system(system_name);
    return zvt::zvtUN_GetAdminCacheStateW(system.c_str(), cache_state);
  });
}

uint32_t zvtUN_GetAdminValueEx(const uint64_t* system_handle, const char* function_id,
                               uint32_t* admin_value) {
  return zvt::GuardBoundary(zvt::ErrorUnit::kCache, u"zvtUN_GetAdminValueEx", __LINE__, [&] {
    const zvt::WideText function(function_id);
    return zvt::zvtUN_GetAdminValueExW(system_handle, function.view(), admin_value);
  });
}

// Ordinal 16 has no exported name: this symbol is reached through the
// ordinal table here and through the module-definition file on Windows.
uint32_t zvtappad_Ordinal16(const uint64_t* system_handle, const char* function_id,
                            uint32_t* admin_value) {
  return zvt::GuardBoundary(zvt::ErrorUnit::kBypass, u"zvtUN_GetAdminValueBypass", 0, [&] {
    const zvt::WideText function(function_id);
    return zvt::zvtUN_GetAdminValueBypassW(system_handle, function.c_str(), admin_value);
  });
}

uint32_t zvtUN_GetAdminCacheStateEx(const uint64_t* system_handle, uint32_t* cache_state) {
  return zvt::GuardBoundary(zvt::ErrorUnit::kCache, u"zvtUN_GetAdminCacheStateEx", __LINE__, [&] {
    if (cache_state == nullptr) return 1u;
    zvt::LockedFrame frame;
    return zvt::ProcessCache().getCacheState(system_handle, cache_state);
  });
}

ZVTAPPAD_EXPORT extern const zvtappad_OrdinalEntry zvt_ordinal_table[];
const zvtappad_OrdinalEntry zvt_ordinal_table[] = {
    {1, reinterpret_cast<void (*)()>(&zvtUN_GetAdminValue)},
    {2, reinterpret_cast<void (*)()>(&zvtUN_GetAdminCacheState)},
    {14, reinterpret_cast<void (*)()>(&zvtUN_GetAdminValueEx)},
    {15, reinterpret_cast<void (*)()>(&zvtUN_GetAdminCacheStateEx)},
    {16, reinterpret_cast<void (*)()>(&zvtappad_Ordinal16)},
    {0, nullptr},
};

}  // extern "C"
