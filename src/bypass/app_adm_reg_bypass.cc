// The registry-bypass lookup: sign-on check, the ordinary path, and the
// direct usage request with its own small cache.
#include "bypass/app_adm_reg_bypass.h"

#include <algorithm>

#include "cache/process_cache.h"
#include "cache/upper_case.h"
#include "diag/error_records.h"
#include "host/admin_host_apis.h"
#include "services/locked_frame.h"
#include "services/services.h"

namespace zvt {
namespace {

BypassState* g_bypass = nullptr;

// The usage request of the direct path: category selector 2, format level 0.
constexpr uint32_t kBypassCategory = 2;
constexpr int32_t kUsageFormatLevel = 0;
constexpr uint32_t kLibraryFailure = 1;

SystemHandle HandleValue(const SystemHandle* handle) { return handle != nullptr ? *handle : 0; }

// Evaluates a present entry. Returns false when its remembered failure is
// from an earlier day, so that the entry has expired.
bool AnswerFromEntry(const CBypassEntry& entry, const std::u16string& function_id,
                     uint32_t* admin_value, uint32_t* result) {
  if (entry.deniedFunctions) {
    *admin_value = entry.deniedFunctions->count(function_id) != 0 ? 1 : 0;
    *result = 0;
    return true;
  }
  if (entry.errorCode == 0) {
    *admin_value = 0;
    *result = 0;
    return true;
  }
  if (TodayStamp() != entry.dayStamp) return false;
  *result = entry.errorCode;
  return true;
}

// Asks the host for the user's usage; fills `entry` and sets `*admin_value`
// to 1 when `function_id` (ignoring case) is among the denied functions.
uint32_t RequestDirectly(const SystemHandle* handle, const std::u16string& system_name,
                         std::u16string user_id, const std::u16string& function_id,
                         uint32_t* admin_value, CBypassEntry* entry) {
  UsageRecordList usage;
  ErrorOut error;
  uint32_t rc = CAdminHostAPIs::getUsersFuncInfo(system_name, user_id, kBypassCategory,
                                                 kUsageFormatLevel, &usage, &error, handle);
  if (rc != 0 || error) {
    ZVT_BYPASS_ERROR(u"CAppAdmRegBypass::getAdminValue=> CAdminHostAPIs::getUsersFuncInfo() failed",
                     rc);
    entry->errorCode = rc != 0 ? rc : kLibraryFailure;
    entry->dayStamp = TodayStamp();
    return entry->errorCode;
  }
  auto denied = std::make_unique<DeniedSet>();
  for (auto it = usage.rbegin(); it != usage.rend(); ++it) {
    const UserFunctionUsageRecord& record = **it;
    if (record.allowed != 0) continue;
    if (EqualIgnoringCase(record.functionId, function_id)) *admin_value = 1;
    denied->insert(record.functionId);
  }
  if (!denied->empty()) entry->deniedFunctions = std::move(denied);
  return 0;
}

void Store(BypassState* s, const std::u16string& key, std::unique_ptr<CBypassEntry> entry) {
  if (s->bypassEntries.erase(key) != 0) {
    auto& order = s->bypassKeyOrder;
    order.erase(std::remove(order.begin(), order.end(), key), order.end());
  }
  if (entry->deniedFunctions) {
    if (s->bypassKeyOrder.size() >= CAppAdmRegBypass::kMaxKeyedEntries) {
      s->bypassEntries.erase(s->bypassKeyOrder.front());
      s->bypassKeyOrder.pop_front();
    }
    s->bypassKeyOrder.push_back(key);
  }
  s->bypassEntries[key] = std::move(entry);
}

}  // namespace

uint32_t TodayStamp() {
  LocalDay day = CurrentServices().clock->Today();
  return static_cast<uint32_t>(day.years_since_1900 * 1000 + day.day_of_year);
}

BypassState& CAppAdmRegBypass::state() {
  if (g_bypass == nullptr) g_bypass = new BypassState();
  return *g_bypass;
}

void ResetBypassForTesting() {
  delete g_bypass;
  g_bypass = nullptr;
}

uint32_t CAppAdmRegBypass::getAdminValue(const SystemHandle* handle,
                                         const std::u16string& function_id, uint32_t* admin_value) {
  uint32_t pre_version = 0;
  if (uint32_t rc = signonToTarvo(handle, &pre_version); rc != 0) {
    ZVT_BYPASS_ERROR(u"CAppAdmRegBypass::getAdminValue=> signonToTarvo() failed", rc);
    return rc;
  }
  if (pre_version == 1) {
    *admin_value = 0;
    return 0;
  }

  BypassState& s = state();
  std::u16string user_id, system_name, key;
  if (s.bypassMode == 1) {
    if (uint32_t rc = getTarvoUserSys(handle, &user_id, &system_name, &key); rc != 0) {
      ZVT_BYPASS_ERROR(u"CAppAdmRegBypass::getAdminValue=> getTarvoUserSys() failed", rc);
      return rc;
    }
    auto it = s.bypassEntries.find(key);
    if (it == s.bypassEntries.end()) {
      ZVT_BYPASS_ERROR(u"CAppAdmRegBypass::getAdminValue=> UserTarvo lookup not found =>" + key, 0);
    } else {
      uint32_t result = 0;
      if (AnswerFromEntry(*it->second, function_id, admin_value, &result)) return result;
      s.bypassEntries.erase(it);  // a failure remembered from an earlier day
    }
  }

  // The ordinary path, as zvtUN_GetAdminValueEx takes it (the locked frame
  // nests: this thread holds it already).
  uint32_t rc;
  {
    LockedFrame frame;
    rc = ProcessCache().getAIvalue(handle, function_id, admin_value);
  }
  if (rc == 0) return 0;

  ZVT_BYPASS_ERROR(u"CAppAdmRegBypass::getAdminValue=> zvtUN_GetAdminValueEx failed", rc);
  s.bypassMode = 1;
  *admin_value = 0;
  if (uint32_t user_rc = getTarvoUserSys(handle, &user_id, &system_name, &key); user_rc != 0) {
    ZVT_BYPASS_ERROR(
        u"CAppAdmRegBypass::getAdminValue=> CAppAdmRegBypass::getTarvoUserSys() failed", user_rc);
    return user_rc;
  }
  auto entry = std::make_unique<CBypassEntry>();
  uint32_t result =
      RequestDirectly(handle, system_name, user_id, function_id, admin_value, entry.get());
  Store(&s, key, std::move(entry));
  return result;
}

uint32_t CAppAdmRegBypass::signonToTarvo(const SystemHandle* handle, uint32_t* pre_version) {
  *pre_version = 0;
  ClientApi* client = CurrentServices().client;
  const SystemHandle h = HandleValue(handle);
  uint32_t signed_on = 0;
  if (client->QuerySignedOn(h, &signed_on) != kClientOk || signed_on == 0) {
    if (uint32_t rc = client->zvtCO_SetValidateMode(h, 1); rc != kClientOk)
      ZVT_BYPASS_ERROR(u"CAppAdmRegBypass::signonToTarvo -> zvtCO_SetValidateMode not successful",
                       rc);
    if (uint32_t rc = client->zvtCO_Signon(h, 0); rc != kClientOk) {
      ZVT_BYPASS_ERROR(u"CAppAdmRegBypass::signonToTarvo -> zvtCO_Signon not successful", rc);
      return rc;
    }
  }
  uint32_t version = 0, release = 0;
  if (uint32_t rc = client->zvtCO_GetHostVRM(h, &version, &release); rc != kClientOk) {
    ZVT_BYPASS_ERROR(u"CAppAdmRegBypass::signonToTarvo -> zvtCO_GetHostVRM not successful", rc);
    return rc;
  }
  if (version < 4 || (version == 4 && release < 3)) {
    ZVT_BYPASS_ERROR(u"CAppAdmRegBypass::signonToTarvo -> PreV4R3 Tarvo", 0);
    *pre_version = 1;
  }
  return 0;
}

uint32_t CAppAdmRegBypass::getTarvoUserSys(const SystemHandle* handle, std::u16string* user_id,
                                           std::u16string* system_name, std::u16string* cache_key) {
  ClientApi* client = CurrentServices().client;
  const SystemHandle h = HandleValue(handle);
  char16_t user[11] = {};
  if (uint32_t rc = client->zvtCO_GetUserIDEx(h, user, sizeof user); rc != kClientOk) {
    ZVT_BYPASS_ERROR(u"CAppAdmRegBypass::getTarvoUserSys=> zvtCO_GetUserIDEx() failed", rc);
    return rc;
  }
  user[10] = u'\0';
  *user_id = user;
  char16_t system[256] = {};
  if (uint32_t rc = client->zvtCO_GetSystemName(h, system, sizeof system); rc != kClientOk) {
    ZVT_BYPASS_ERROR(u"CAppAdmRegBypass::getTarvoUserSys=> zvtCO_GetSystemName() failed", rc);
    return rc;
  }
  system[255] = u'\0';
  *system_name = system;
  *cache_key = CAIProcessCache::cacheKey(*user_id, *system_name);
  return 0;
}

}  // namespace zvt
