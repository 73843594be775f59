// Fuzzes the readers of the registry cache's own values as another process
// or a damaged store may have left them: the three stored timestamps, the
// denied-function values of a user key, other users' and systems' keys.
// Each input is the body of a .reg file imported below the cache key; then
// the cache is started up (systems no longer configured are deleted), the
// cache state is asked, and the user's denied functions are read, either
// from the store (the system object supplies the stored timestamps) or after
// a reload that deletes what is stale (it supplies others).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "cache/process_cache.h"
#include "cache/registry_cache.h"
#include "cache/registry_layout.h"
#include "fuzz/private_store.h"

namespace {

using namespace zvt;

const char kReset[] =
    "Windows Registry Editor Version 5.00\n\n"
    "[-HKEY_CURRENT_USER\\Software\\VYN\\Tarvo.Network\\Application_Administration]\n\n";

// The host's answer to a reload: one denied function.
class OneDenial : public HostLoadOverride {
 public:
  uint32_t getTarvoAIValues(const std::u16string&, const std::u16string&,
                            std::unique_ptr<DeniedSet>* denied, uint32_t,
                            const SystemHandle*) override {
    auto set = std::make_unique<DeniedSet>();
    set->insert(u"FRESH");
    *denied = std::move(set);
    return 0;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::PrivateStore* store = [] {
    auto* s = new fuzz::PrivateStore();
    s->client().configured = {u"S"};
    // Every reload denies one function: bound over the store's services.
    Services load;
    load.host_load = new OneDenial();
    new ScopedServiceBinding(load);
    return s;
  }();
  static const SystemHandle handle = [] {
    testing::FakeSystem system;
    system.name = u"S";
    system.user = u"U";
    system.signed_on = true;
    return store->client().Add(system);
  }();
  if (!store->Import(kReset, data, size)) return 0;
  ResetRegistryCacheForTesting();

  // Inputs of odd length find the cache current, if it holds timestamps.
  testing::FakeSystem& system = store->client().system(handle);
  Timestamp rep{}, hier{};
  auto user = std::make_unique<Timestamp>();
  if (CRegistryCache::getCacheTS(u"S", u"U", &rep, &hier, &user, true) == 0 && user &&
      size % 2 == 1) {
    system.rep_ts = ExchangeFirstBytes(rep);
    system.hier_ts = ExchangeFirstBytes(hier);
    system.user_ts = ExchangeFirstBytes(*user);
  } else {
    system.user_ts = {1}, system.rep_ts = {2}, system.hier_ts = {3};
  }

  (void)CRegistryCache::startUp();
  {
    CAIProcessCache cache;
    uint32_t state = 7, value = 7;
    (void)cache.getCacheState(&handle, &state);
    if (cache.getAIvalue(&handle, u"FRESH", &value) == 0 && value > 1) std::abort();
  }
  std::unique_ptr<DeniedSet> denied;
  std::u16string user_id = u"U";
  (void)CRegistryCache::getUserValues(&handle, u"S", user_id, &denied);
  closeRegKeys();
  CRegistryCache::closeCacheKeySlot();
  return 0;
}
