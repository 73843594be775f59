// Answering admin values and cache states from the process cache.
#include "cache/process_cache.h"

#include <algorithm>
#include <cstring>

#include "cache/upper_case.h"
#include "diag/error_records.h"
#include "services/locked_frame.h"
#include "services/services.h"

namespace zvt {
namespace {

// Holds `mutex` for a scope (when it could be created at all).
class ZVT_SCOPED_CAPABILITY MutexHold {
 public:
  explicit MutexHold(CAppAdmMutex* m) ZVT_ACQUIRE(m) : m_(m), locked_(m->lock()) {}
  ~MutexHold() ZVT_RELEASE() {
    if (locked_) m_->unlock();
  }

 private:
  CAppAdmMutex* m_;
  bool locked_;
};

// The user ID (22 bytes) and system name (512 bytes) of a handle, as the
// client services give them.
// (Left uninitialised but for the first character: the client services
// write a terminated name on success.)
struct HandleNames {
  char16_t user[11];
  char16_t system[256];
  HandleNames() { user[0] = system[0] = u'\0'; }
};

}  // namespace

void CAIProcessCache::cacheKey(std::u16string_view user_id, std::u16string_view system_name,
                               std::u16string* key) {
  key->assign(user_id);
  if (key->size() < 10) key->append(10 - key->size(), u'*');
  key->append(system_name);
  UpperCaseInPlace(key);
}

std::u16string CAIProcessCache::cacheKey(const std::u16string& user_id,
                                         const std::u16string& system_name) {
  std::u16string key;
  key.reserve(std::max<size_t>(user_id.size(), 10) + system_name.size());
  cacheKey(user_id, system_name, &key);
  return key;
}

CAIProcessCache::CAIProcessCache() : mutex(u"") {
  LockedFrame frame;
  (void)CRegistryCache::startUp();
}

CAIProcessCache::~CAIProcessCache() {
  {
    LockedFrame frame;
    entries.clear();
    CRegistryCache::closeCacheKeySlot();
  }
  keyOrder.clear();
}

uint32_t CAIProcessCache::getAIvalue(const SystemHandle* handle, std::u16string_view function_id,
                                     uint32_t* admin_value) {
  LockedFrame frame;
  MutexHold hold(&mutex);
  ClientApi* client = CurrentServices().client;
  const SystemHandle h = handle != nullptr ? *handle : 0;

  uint32_t signed_on = 0;
  if (client->QuerySignedOn(h, &signed_on) != kClientOk || signed_on == 0) {
    (void)client->zvtCO_SetValidateMode(h, 1);
    uint32_t rc = client->zvtCO_Signon(h, 0);
    if (rc != kClientOk) return rc;
  }
  HandleNames names;
  uint32_t rc = client->zvtCO_GetUserIDEx(h, names.user, sizeof names.user);
  if (rc != kClientOk) return rc;
  names.user[10] = u'\0';
  const CAIUserEntry* found = nullptr;
  if (lastEntry != nullptr && h == lastHandle &&
      std::u16string_view(names.user) == std::u16string_view(lastUser)) {
    found = lastEntry;
  } else {
    rc = client->zvtCO_GetSystemName(h, names.system, sizeof names.system);
    if (rc != kClientOk) return rc;
    names.system[255] = u'\0';
    cacheKey(names.user, names.system, &lookupKey);
    auto it = entries.find(lookupKey);
    if (it == entries.end()) {
      // The load below may show a message whose handler asks again on this
      // thread: what it needs is its own, and the last entry is forgotten
      // before the map can change under it.
      lastEntry = nullptr;
      const std::u16string key = lookupKey, system = names.system;
      std::u16string user = names.user;
      std::unique_ptr<DeniedSet> denied;
      rc = CRegistryCache::getUserValues(handle, system, user, &denied);
      if (rc != 0) {
        ZVT_CACHE_ERROR(u"CAIProcessCache::getAIvalue -> getUserValues failed", 0);
        return rc;
      }
      auto entry = std::make_unique<CAIUserEntry>();
      entry->state = denied ? 1 : 0;
      entry->deniedFunctions = std::move(denied);
      if (entry->state == 1) {
        if (keyOrder.size() >= kMaxKeyedEntries) {
          entries.erase(keyOrder.front());
          keyOrder.pop_front();
        }
        keyOrder.push_back(key);
      }
      it = entries.insert_or_assign(key, std::move(entry)).first;
    }
    found = it->second.get();
    lastHandle = h;
    std::char_traits<char16_t>::copy(lastUser, names.user,
                                     std::char_traits<char16_t>::length(names.user) + 1);
    lastEntry = found;
  }
  if (found->state != 1) {
    *admin_value = 0;
    return 0;
  }
  *admin_value = found->deniedFunctions->count(function_id) > 0 ? 1 : 0;
  return 0;
}

uint32_t CAIProcessCache::getCacheState(const SystemHandle* handle, uint32_t* cache_state) {
  LockedFrame frame;
  MutexHold hold(&mutex);
  ClientApi* client = CurrentServices().client;
  const SystemHandle h = handle != nullptr ? *handle : 0;

  uint32_t signed_on = 0;
  if (client->QuerySignedOn(h, &signed_on) != kClientOk || signed_on == 0) {
    *cache_state = 1;
    return 0;
  }
  uint32_t version = 0, release = 0;
  if (client->zvtCO_GetHostVRM(h, &version, &release) != kClientOk) {
    ZVT_CACHE_ERROR(u"CAIProcessCache::getCacheState -> zvtCO_GetHostVRM not successful", 0);
    *cache_state = 0;
    return 0;
  }
  if (version < 4 || (version == 4 && release < 3)) {
    *cache_state = 0;
    return 0;
  }
  char16_t user_buf[11] = {};
  uint32_t rc = client->zvtCO_GetUserIDEx(h, user_buf, sizeof user_buf);
  if (rc != kClientOk) {
    ZVT_CACHE_ERROR(u"CAIProcessCache::getCacheState -> zvtCO_GetUserID failed", 0);
    return rc;
  }
  user_buf[10] = u'\0';
  Timestamp user_ts{}, rep_ts{}, hier_ts{};
  if (client->QueryChangeTimestamps(h, user_ts.data(), rep_ts.data(), hier_ts.data()) !=
      kClientOk) {
    *cache_state = 2;
    return 0;
  }
  if (hier_ts == Timestamp{}) {
    *cache_state = 0;
    return 0;
  }
  char16_t system_buf[256] = {};
  (void)client->zvtCO_GetSystemName(h, system_buf, sizeof system_buf);
  system_buf[255] = u'\0';
  Timestamp stored_rep{}, stored_hier{};
  auto stored_user = std::make_unique<Timestamp>();
  rc = CRegistryCache::getCacheTS(system_buf, user_buf, &stored_rep, &stored_hier, &stored_user,
                                  true);
  if (rc != 0) return rc;
  // A stored timestamp equals the system object's with its bytes 0 and 1 exchanged.
  auto same = [](const Timestamp& stored, Timestamp memory) {
    std::swap(memory[0], memory[1]);
    return stored == memory;
  };
  bool current = stored_user && same(stored_rep, rep_ts) && same(stored_hier, hier_ts) &&
                 same(*stored_user, user_ts);
  *cache_state = current ? 0 : 2;
  return 0;
}

}  // namespace zvt
