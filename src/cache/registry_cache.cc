// Start-up pruning, the stored change timestamps, and the value refresh that
// compares them with the host's and decides what is stale.
#include "cache/registry_cache.h"

#include "cache/host_value_load.h"
#include "cache/registry_layout.h"
#include "cache/registry_slots.h"
#include "cache/upper_case.h"
#include "diag/error_records.h"
#include "host/admin_host_apis.h"
#include "services/app_adm_mutex.h"
#include "services/scoped_key.h"
#include "services/services.h"

namespace zvt {
namespace {

// The registry cache's test double, when one is bound.
RegistryCacheOverride* Override() { return CurrentServices().registry_cache; }

// Configured systems are enumerated until the service says there are no
// more; this bound only stops a service that never says so.
constexpr uint32_t kMaxConfiguredIndex = 1u << 16;

// Holds the registry-cache mutex for one operation, or runs unguarded when it
// cannot be created. Under the mutex the registry holds the cache's writes
// back until the end, so that other processes see an operation's changes
// whole or not at all, and the store commits once. On release it first
// empties the system, user and hierarchy slots, which are only valid under
// the mutex.
class RegistryCacheHold {
 public:
  explicit RegistryCacheHold(bool take = true) : take_(take) {
    if (take_) {
      mutex_ = std::make_unique<CAppAdmMutex>(kRegCacheMutexName);
      locked_ = mutex_->lock();
      // A hold that cannot begin leaves each write to be kept as it is made.
      if (locked_) (void)CurrentServices().registry_service->HoldWrites();
    }
  }
  ~RegistryCacheHold() {
    if (!take_) return;
    closeRegKeys();
    if (!locked_) return;
    // A commit that fails is reported to the next write, which then fails.
    (void)CurrentServices().registry_service->ReleaseWrites();
    mutex_->unlock();
  }
  RegistryCacheHold(const RegistryCacheHold&) = delete;
  RegistryCacheHold& operator=(const RegistryCacheHold&) = delete;

 private:
  bool take_;
  bool locked_ = false;
  std::unique_ptr<CAppAdmMutex> mutex_;
};

bool IsZero(const Timestamp& t) { return t == Timestamp{}; }

// A stored timestamp equals an in-memory one with its bytes 0 and 1 exchanged.
bool SameTimestamp(const Timestamp& stored, const Timestamp& memory) {
  return stored == ExchangeFirstBytes(memory);
}

NameList ConfiguredSystems(ClientApi* client) {
  NameList names;
  for (uint32_t index = 0; index < kMaxConfiguredIndex; ++index) {
    char16_t buffer[257] = {};
    uint32_t size = sizeof buffer;
    uint32_t rc = client->EnumConfiguredSystems(buffer, &size, index);
    if (rc == kClientNoMoreSystems) break;
    if (rc != kClientOk) continue;
    buffer[256] = u'\0';
    names.emplace_back(buffer);
  }
  return names;
}

// Deletes the whole entry of a system, its hierarchy and all its users;
// true when it is gone.
bool DeleteSystemEntry(const std::u16string& system_name) {
  bool gone = false;
  if (CRegistryCache::openCacheRegKey() == 0) {
    gone = deleteRegTree(CRegistryCache::cacheKey(), system_name);
  } else {
    ZVT_CACHE_ERROR(u"CRegistryCache::getUserValues -> delete system registry entry failed", 0);
  }
  closeRegKeys();
  return gone;
}

// Deletes every user key of a system; its hierarchy stays.
bool DeleteUserKeys(const std::u16string& system_name) {
  NameList users;
  bool gone = CRegistryCache::getUserList(system_name, &users) == 0;
  if (CRegistryCache::systemKey() == nullptr) (void)CRegistryCache::openSysRegKey(system_name);
  for (const std::u16string& user : users) gone &= deleteRegTree(CRegistryCache::systemKey(), user);
  CRegistryCache::closeUserKeySlot();
  return gone;
}

bool DeleteUserKey(const std::u16string& system_name, const std::u16string& user_id) {
  if (CRegistryCache::openUserRegKey(system_name, user_id) != 0) {
    ZVT_CACHE_ERROR(u"CRegistryCache::getUserValues -> delete profile registry entry failed", 0);
    return false;
  }
  bool gone = deleteRegTree(CRegistryCache::userKey(), u"");
  CRegistryCache::closeUserKeySlot();
  return gone;
}

// Tells whether the cache file a refresh works on is still the one in
// place. Damage found anywhere in the file has it moved aside and a new,
// empty one started; whatever the refresh read or wrote before then belongs
// to the old file, and what it reads after (an empty saved hierarchy, say)
// to the new one. A key opened beforehand answers ERROR_REGISTRY_CORRUPT
// from then on, which no key of a file still in place does.
class CacheFileWitness {
 public:
  explicit CacheFileWitness(const std::u16string& system_name) : key_(CurrentServices().registry) {
    const std::u16string path = SystemKeyPath(system_name);
    RegistryServiceApi* service = CurrentServices().registry_service;
    open_rc_ =
        service->OpenRegKeyEx(kHKeyCurrentUser, path.c_str(), 0, kKeyAllAccess, key_.Receive());
    if (open_rc_ == kErrorFileNotFound) {  // a new file: the reload creates the key anyway
      DWORD disposition = 0;
      open_rc_ = service->CreateRegKeyEx(kHKeyCurrentUser, path.c_str(), 0, nullptr, 0,
                                         kKeyAllAccess, nullptr, key_.Receive(), &disposition);
    }
  }
  bool Replaced() {
    if (open_rc_ == kErrorRegistryCorrupt) return true;
    if (!key_) return false;
    DWORD type = 0, size = 0;
    return CurrentServices().registry->RegQueryValueExW(key_.get(), kRepTsValue, nullptr, &type,
                                                        nullptr, &size) == kErrorRegistryCorrupt;
  }

 private:
  ScopedKey key_;
  LONG open_rc_;
};

// Forgets every open key of a cache file that was replaced.
void DropReplacedFileKeys() {
  closeRegKeys();
  CRegistryCache::closeCacheKeySlot();
}

}  // namespace

void ResetRegistryCacheForTesting() {
  closeRegKeys();
  CRegistryCache::closeCacheKeySlot();
  RegistryCacheGlobals().cache_on = true;
}

uint32_t CRegistryCache::startUp() {
  if (RegistryCacheOverride* o = Override(); o != nullptr) return o->startUp();
  RegistryCacheHold hold;
  RegistryApi* registry = CurrentServices().registry;
  ScopedKey top(registry);
  if (uint32_t rc = openRegKey(kHostValsKey, top.Receive()); rc != 0) {
    ZVT_CACHE_ERROR(u"CRegistryCache::startUp -> Open AppAdmin Registry path failed", 0);
    return rc;
  }
  if (CacheSwitchedOff(registry, top.get())) RegistryCacheGlobals().cache_on = false;

  NameList cached;
  if (getSystemList(&cached) == 0 && !cached.empty()) {
    ClientApi* client = CurrentServices().client;
    NameList configured = ConfiguredSystems(client);
    for (const std::u16string& name : cached) {
      bool kept = false;
      for (const std::u16string& c : configured) {
        if (client->IsSameSystem(name.c_str(), c.c_str()) == 1) {
          kept = true;
          break;
        }
      }
      if (!kept) deleteRegTree(cacheKey(), name);
    }
  }
  closeCacheKeySlot();
  return 0;
}

uint32_t CRegistryCache::getCacheTS(const std::u16string& system_name,
                                    const std::u16string& user_id, Timestamp* rep_ts,
                                    Timestamp* hier_ts, std::unique_ptr<Timestamp>* user_ts,
                                    bool take_mutex) {
  if (RegistryCacheOverride* o = Override(); o != nullptr)
    return o->getCacheTS(system_name, user_id, rep_ts, hier_ts, user_ts, take_mutex);
  RegistryCacheHold hold(take_mutex);
  RegistryApi* registry = CurrentServices().registry;
  if (rep_ts != nullptr) {
    if (uint32_t rc = openSysRegKey(system_name); rc != 0) {
      ZVT_CACHE_ERROR(u"CRegistryCache::getCacheTS -> Open Sys key failed #1", 0);
      return rc;
    }
    if (!ReadStoredTimestamp(registry, systemKey(), kRepTsValue, rep_ts)) rep_ts->fill(0);
  }
  if (hier_ts != nullptr) {
    if (uint32_t rc = openSysRegKey(system_name); rc != 0) {
      ZVT_CACHE_ERROR(u"CRegistryCache::getCacheTS -> Open Sys key failed #2", 0);
      return rc;
    }
    if (!ReadStoredTimestamp(registry, systemKey(), kHierTsValue, hier_ts)) hier_ts->fill(0);
  }
  if (user_ts != nullptr && *user_ts) {
    if (uint32_t rc = openUserRegKey(system_name, user_id); rc != 0) {
      ZVT_CACHE_ERROR(u"CRegistryCache::getCacheTS -> Open User key failed", 0);
      return rc;
    }
    if (!ReadStoredTimestamp(registry, userKey(), kUserTsValue, user_ts->get())) user_ts->reset();
  }
  return 0;
}

uint32_t CRegistryCache::setCacheTS(const std::u16string& system_name,
                                    const std::u16string& user_id, const Timestamp* rep_ts,
                                    const Timestamp* hier_ts, const Timestamp* user_ts) {
  struct Step {
    const Timestamp* value;
    bool user_key;
    const char16_t* name;
    const char16_t* open_failed;
    const char16_t* set_failed;
    uint32_t line;  // each step's records carry the line of its own row
  };
  const Step steps[] = {
      {rep_ts, false, kRepTsValue, u"CRegistryCache::setCacheTS -> Open Sys key failed #1",
       u"CRegistryCache::setCacheTS -> Set Rep TS failed", __LINE__},
      {hier_ts, false, kHierTsValue, u"CRegistryCache::setCacheTS -> Open Sys key failed #2",
       u"CRegistryCache::setCacheTS -> Set Hier TS failed", __LINE__},
      {user_ts, true, kUserTsValue, u"CRegistryCache::setCacheTS -> Open User key failed",
       u"CRegistryCache::setCacheTS -> Set User TS failed", __LINE__},
  };
  RegistryApi* registry = CurrentServices().registry;
  for (const Step& step : steps) {
    if (step.value == nullptr) continue;
    uint32_t rc = step.user_key ? openUserRegKey(system_name, user_id) : openSysRegKey(system_name);
    if (rc != 0) {
      writeErrorRecord(ErrorUnit::kCache, step.open_failed, step.line, 0);
      return rc;
    }
    HKEY key = step.user_key ? userKey() : systemKey();
    if (LONG set = WriteStoredTimestamp(registry, key, step.name, *step.value); set != 0) {
      writeErrorRecord(ErrorUnit::kCache, step.set_failed, step.line, 0);
      return static_cast<uint32_t>(set);
    }
  }
  return 0;
}

uint32_t CRegistryCache::getUserValues(const SystemHandle* handle,
                                       const std::u16string& system_name, std::u16string& user_id,
                                       std::unique_ptr<DeniedSet>* denied) {
  if (RegistryCacheOverride* o = Override(); o != nullptr)
    return o->getUserValues(handle, system_name, user_id, denied);
  RegistryCacheHold hold;
  UpperCaseInPlace(&user_id);
  ClientApi* client = CurrentServices().client;
  const SystemHandle h = handle != nullptr ? *handle : 0;

  uint32_t version = 0, release = 0;
  if (client->zvtCO_GetHostVRM(h, &version, &release) != kClientOk) {
    ZVT_CACHE_ERROR(u"CRegistryCache::getUserValues -> zvtCO_GetHostVRM not successful", 0);
    denied->reset();
    return 0;
  }
  if (version < 4 || (version == 4 && release < 3)) {
    denied->reset();
    return 0;
  }

  // The host's triple, in the in-memory form.
  Timestamp user_ts{}, rep_ts{}, hier_ts{};
  {
    Timestamp u{}, r{}, hi{};
    if (client->QueryChangeTimestamps(h, u.data(), r.data(), hi.data()) == kClientOk) {
      user_ts = u, rep_ts = r, hier_ts = hi;
    } else {
      ErrorOut error;
      uint32_t rc = CAdminHostAPIs::getAdminTimestamps(system_name, user_id, u.data(), r.data(),
                                                       hi.data(), &error, handle);
      if (rc != 0 || error) {
        if (error) showHostError(error.get(), user_id, system_name, handle);
        ZVT_CACHE_ERROR(
            u"CRegistryCache::getUserValues -> CAdminHostAPIs::getAdminTimestamps not successful",
            0);
        return 1;
      }
      user_ts = ExchangeFirstBytes(u);
      rep_ts = ExchangeFirstBytes(r);
      hier_ts = ExchangeFirstBytes(hi);
    }
  }

  // A refresh whose cache file is replaced under it (damage found while it
  // reads or deletes) starts over once on the new file, where nothing is
  // current, so that nothing read from the old one or from the new, empty
  // one stands in for the host's answer.
  for (int pass = 0;; ++pass) {
    Timestamp stored_rep{}, stored_hier{};
    auto stored_user = std::make_unique<Timestamp>();
    uint32_t read_rc = 0;
    if (!IsZero(hier_ts))
      read_rc = getCacheTS(system_name, user_id, &stored_rep, &stored_hier, &stored_user, false);
    if (!cacheSwitchOn()) {
      denied->reset();
      return 0;
    }
    if (IsZero(hier_ts)) return 0;
    // Damage met reading the timestamps replaced the file: keys opened on
    // the old one, the cache key's among them, are of no use any more.
    if (read_rc == static_cast<uint32_t>(kErrorRegistryCorrupt)) DropReplacedFileKeys();
    CacheFileWitness witness(system_name);
    RegistryCacheGlobals().writes_lost = false;

    const bool rep_same = SameTimestamp(stored_rep, rep_ts);
    const bool hier_same = SameTimestamp(stored_hier, hier_ts);
    const bool user_same = stored_user && SameTimestamp(*stored_user, user_ts);
    bool system_deleted = false, stale_gone = true;
    if (read_rc != 0) {
      stale_gone = DeleteSystemEntry(system_name);
      system_deleted = true;
    } else if (rep_same && hier_same && user_same) {
      uint32_t rc = getRegistryAIValues(system_name, user_id, denied);
      if (witness.Replaced()) DropReplacedFileKeys();
      return rc;
    } else if (!hier_same) {
      stale_gone = DeleteSystemEntry(system_name);
      system_deleted = true;
    } else if (!rep_same) {
      stale_gone = DeleteUserKeys(system_name);
    } else {
      stale_gone = DeleteUserKey(system_name, user_id);
    }

    // Replaced while the stale keys were deleted: the reload would read the
    // new file as if it were the old one, so it is not even begun.
    uint32_t rc = 0;
    bool replaced = witness.Replaced();
    if (!replaced) {
      const uint32_t reuse = hier_same && !IsZero(stored_hier) && !system_deleted ? 1 : 0;
      rc = getTarvoAIValues(system_name, user_id, denied, reuse, handle);
      replaced = witness.Replaced();
    }
    if (replaced) {
      DropReplacedFileKeys();
      denied->reset();
      if (pass == 0) {
        ZVT_CACHE_ERROR(
            u"CRegistryCache::getUserValues -> cache file replaced during refresh, starting over",
            0);
        continue;
      }
      ZVT_CACHE_ERROR(u"CRegistryCache::getUserValues -> cache file replaced during refresh",
                      static_cast<uint32_t>(kErrorRegistryCorrupt));
      return static_cast<uint32_t>(kErrorRegistryCorrupt);
    }
    if (rc != 0) return rc;
    if (!stale_gone || RegistryCacheGlobals().writes_lost) {
      // The answer stands (it came from the host), but what the store holds
      // is not all of it: without the timestamps the next query reloads.
      ZVT_CACHE_ERROR(
          u"CRegistryCache::getUserValues -> stale entries not deleted or values not "
          u"written, timestamps not set",
          0);
      return 0;
    }
    const Timestamp rep_stored = ExchangeFirstBytes(rep_ts);
    const Timestamp hier_stored = ExchangeFirstBytes(hier_ts);
    const Timestamp user_stored = ExchangeFirstBytes(user_ts);
    (void)setCacheTS(system_name, user_id, &rep_stored, &hier_stored, &user_stored);
    return 0;
  }
}

}  // namespace zvt
