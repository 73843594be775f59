#include "cache/process_cache.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "pgm/remote_program_calls.h"
#include "services/locked_frame.h"
#include "services/services.h"
#include "testing/fake_client.h"
#include "testing/temp_dir.h"

namespace zvt {
namespace {

// The registry cache's entry points, answering from a table.
class FakeRegistryCache : public RegistryCacheOverride {
 public:
  std::map<std::u16string, DeniedSet> denied;  // by upper-cased user ID + "@" + system
  uint32_t fail_with = 0;
  int user_value_calls = 0;
  bool has_user_ts = true;
  Timestamp rep{}, hier{}, user{};

  uint32_t getUserValues(const SystemHandle*, const std::u16string& system, std::u16string& user_id,
                         std::unique_ptr<DeniedSet>* out) override {
    ++user_value_calls;
    for (char16_t& c : user_id) c = (c >= u'a' && c <= u'z') ? c - 32 : c;
    if (fail_with != 0) return fail_with;
    auto it = denied.find(user_id + u"@" + system);
    if (it != denied.end()) *out = std::make_unique<DeniedSet>(it->second);
    return 0;
  }
  uint32_t getCacheTS(const std::u16string&, const std::u16string&, Timestamp* r, Timestamp* h,
                      std::unique_ptr<Timestamp>* u, bool) override {
    *r = rep;
    *h = hier;
    if (has_user_ts) {
      **u = user;
    } else {
      u->reset();
    }
    return 0;
  }
};

class ProcessCacheTest : public ::testing::Test {
 protected:
  ProcessCacheTest() : calls_(&locator_, pgm::ErrorLog(dir_.File("error.log"))), binding_(Bind()) {
    cache_ = std::make_unique<CAIProcessCache>();
  }
  ~ProcessCacheTest() override { cache_.reset(); }
  Services Bind() {
    Services s;
    s.client = &client_;
    s.program_calls = &calls_;
    s.registry_cache = &registry_cache_;
    return s;
  }
  SystemHandle System(const std::u16string& name, const std::u16string& user,
                      bool signed_on = true) {
    testing::FakeSystem s;
    s.name = name;
    s.user = user;
    s.signed_on = signed_on;
    return client_.Add(s);
  }
  std::string ErrorLog() {
    std::ifstream in(dir_.File("error.log"));
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  testing::TempDir dir_;
  testing::FakeClient client_;
  pgm::StaticSystemLocator locator_;
  pgm::RemoteProgramCalls calls_;
  ScopedServiceBinding binding_;
  FakeRegistryCache registry_cache_;
  std::unique_ptr<CAIProcessCache> cache_;
};

TEST_F(ProcessCacheTest, KeysAndExactLookups) {
  EXPECT_EQ(CAIProcessCache::cacheKey(u"joe", u"hostA"), u"JOE*******HOSTA");
  EXPECT_EQ(CAIProcessCache::cacheKey(u"ABCDEFGHIJK", u"h"), u"ABCDEFGHIJKH");
  EXPECT_EQ(CAIProcessCache::cacheKey(u"ABCDEFGHIJ", u"h"), u"ABCDEFGHIJH");

  SystemHandle h = System(u"hostA", u"joe");
  registry_cache_.denied[u"JOE@hostA"] = {u"QVYN_XD1_ZENTA", u"QVYN_GRP"};
  uint32_t v = 9;
  ASSERT_EQ(cache_->getAIvalue(&h, u"QVYN_XD1_ZENTA", &v), 0u);
  EXPECT_EQ(v, 1u);
  ASSERT_EQ(cache_->getAIvalue(&h, u"qvyn_xd1_zenta", &v), 0u);
  EXPECT_EQ(v, 0u);  // letter case counts
  ASSERT_EQ(cache_->getAIvalue(&h, u"", &v), 0u);
  EXPECT_EQ(v, 0u);
  // A change below does not reach a process that has the entry.
  registry_cache_.denied.clear();
  ASSERT_EQ(cache_->getAIvalue(&h, u"QVYN_GRP", &v), 0u);
  EXPECT_EQ(v, 1u);
  EXPECT_EQ(registry_cache_.user_value_calls, 1);
}

TEST_F(ProcessCacheTest, FiftyKeyedEntriesFirstInFirstOutAndUnkeyedOnesStay) {
  std::vector<SystemHandle> keyed, unkeyed;
  for (int i = 0; i < 51; ++i) {
    std::u16string name = u"SYS" + std::u16string(1, u'A' + i / 26) + char16_t(u'A' + i % 26);
    keyed.push_back(System(name, u"U"));
    registry_cache_.denied[u"U@" + name] = {u"F"};
  }
  for (int i = 0; i < 60; ++i)
    unkeyed.push_back(
        System(u"FREE" + std::u16string(1, u'A' + i / 26) + char16_t(u'A' + i % 26), u"U"));
  uint32_t v;
  for (SystemHandle h : unkeyed) ASSERT_EQ(cache_->getAIvalue(&h, u"F", &v), 0u);
  for (int i = 0; i < 50; ++i) ASSERT_EQ(cache_->getAIvalue(&keyed[i], u"F", &v), 0u);
  EXPECT_EQ(cache_->keyedCount(), 50u);
  int calls = registry_cache_.user_value_calls;
  ASSERT_EQ(cache_->getAIvalue(&keyed[1], u"F", &v), 0u);  // still cached
  EXPECT_EQ(registry_cache_.user_value_calls, calls);
  // The 51st pair evicts the first; the first then goes below again.
  ASSERT_EQ(cache_->getAIvalue(&keyed[50], u"F", &v), 0u);
  EXPECT_EQ(cache_->keyedCount(), 50u);
  EXPECT_EQ(cache_->entryCount(), 50u + 60u);
  ASSERT_EQ(cache_->getAIvalue(&keyed[0], u"F", &v), 0u);
  EXPECT_EQ(v, 1u);
  EXPECT_EQ(registry_cache_.user_value_calls, calls + 2);
  // Pairs without denied functions were never evicted.
  calls = registry_cache_.user_value_calls;
  for (SystemHandle h : unkeyed) ASSERT_EQ(cache_->getAIvalue(&h, u"F", &v), 0u);
  EXPECT_EQ(registry_cache_.user_value_calls, calls);
}

// Asked again for the same handle, the process cache takes the entry it
// found last without building its key; a system object that has signed on
// again as another user, another handle, and an evicted entry each lead
// back to the key, so no answer is ever another user's.
TEST_F(ProcessCacheTest, TheLastHandlesEntryIsTakenOnlyForTheSameUser) {
  SystemHandle h = System(u"hostA", u"joe");
  SystemHandle other = System(u"hostB", u"joe");
  registry_cache_.denied[u"JOE@hostA"] = {u"QACME_PAY_TAXFORM_000022"};
  registry_cache_.denied[u"ANN@hostA"] = {u"QACME_PAY_RUN"};
  registry_cache_.denied[u"JOE@hostB"] = {u"QACME_PAY_RUN"};
  uint32_t v = 9;
  ASSERT_EQ(cache_->getAIvalue(&h, u"QACME_PAY_TAXFORM_000022", &v), 0u);
  EXPECT_EQ(v, 1u);
  ASSERT_EQ(cache_->getAIvalue(&h, u"QACME_PAY_RUN", &v), 0u);
  EXPECT_EQ(v, 0u);
  // The same object, signed on again with another profile.
  client_.system(h).user = u"ann";
  ASSERT_EQ(cache_->getAIvalue(&h, u"QACME_PAY_RUN", &v), 0u);
  EXPECT_EQ(v, 1u);
  ASSERT_EQ(cache_->getAIvalue(&h, u"QACME_PAY_TAXFORM_000022", &v), 0u);
  EXPECT_EQ(v, 0u);
  // A prefix of the last user is another user.
  client_.system(h).user = u"an";
  ASSERT_EQ(cache_->getAIvalue(&h, u"QACME_PAY_RUN", &v), 0u);
  EXPECT_EQ(v, 0u);
  // Handles taking turns.
  client_.system(h).user = u"joe";
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(cache_->getAIvalue(&other, u"QACME_PAY_RUN", &v), 0u);
    EXPECT_EQ(v, 1u);
    ASSERT_EQ(cache_->getAIvalue(&h, u"QACME_PAY_RUN", &v), 0u);
    EXPECT_EQ(v, 0u);
  }
  EXPECT_EQ(registry_cache_.user_value_calls, 4);
  // The last entry evicted by fifty others is loaded again, not read freed.
  for (int i = 0; i < 50; ++i) {
    const std::u16string name = u"SYS" + std::u16string(1, u'A' + i / 26) + char16_t(u'A' + i % 26);
    registry_cache_.denied[u"JOE@" + name] = {u"F"};
    SystemHandle filler = System(name, u"joe");
    ASSERT_EQ(cache_->getAIvalue(&filler, u"F", &v), 0u);
    if (i == 0) {
      ASSERT_EQ(cache_->getAIvalue(&h, u"QACME_PAY_TAXFORM_000022", &v), 0u);
    }
  }
  const int calls = registry_cache_.user_value_calls;
  ASSERT_EQ(cache_->getAIvalue(&h, u"QACME_PAY_TAXFORM_000022", &v), 0u);
  EXPECT_EQ(v, 1u);
  EXPECT_EQ(registry_cache_.user_value_calls, calls + 1);
}

TEST_F(ProcessCacheTest, FailuresLeaveTheOutputAndNoEntryBehind) {
  SystemHandle h = System(u"S", u"U", /*signed_on=*/false);
  client_.system(h).signon_result = kClientPasswordRefused;
  uint32_t v = 7;
  EXPECT_EQ(cache_->getAIvalue(&h, u"F", &v), kClientPasswordRefused);
  EXPECT_EQ(v, 7u);
  client_.system(h).signon_result = 0;
  registry_cache_.fail_with = 5;
  EXPECT_EQ(cache_->getAIvalue(&h, u"F", &v), 5u);
  EXPECT_EQ(v, 7u);
  EXPECT_EQ(cache_->entryCount(), 0u);
  EXPECT_NE(ErrorLog().find("unadmappadmincache:"), std::string::npos);
  EXPECT_NE(ErrorLog().find("msg=16646"), std::string::npos);
  EXPECT_NE(ErrorLog().find(" CAIProcessCache::getAIvalue -> getUserValues failed\n"),
            std::string::npos)
      << ErrorLog();
  registry_cache_.fail_with = 0;
  EXPECT_EQ(cache_->getAIvalue(&h, u"F", &v), 0u);
  EXPECT_EQ(v, 0u);
  EXPECT_EQ(registry_cache_.user_value_calls, 2);
  // A handle nobody knows: the sign-on code comes back.
  SystemHandle bad = 0xDEAD;
  EXPECT_EQ(cache_->getAIvalue(&bad, u"F", &v), kClientBadHandle);
  EXPECT_EQ(cache_->getAIvalue(nullptr, u"F", &v), kClientBadHandle);
}

TEST_F(ProcessCacheTest, CacheStateComparesTheStoredTimestamps) {
  SystemHandle h = System(u"S", u"U", /*signed_on=*/false);
  uint32_t state = 9;
  ASSERT_EQ(cache_->getCacheState(&h, &state), 0u);
  EXPECT_EQ(state, 1u);
  EXPECT_EQ(client_.signons, 0);  // no sign-on attempted
  uint32_t v;
  ASSERT_EQ(cache_->getAIvalue(&h, u"F", &v), 0u);
  EXPECT_EQ(client_.signons, 1);

  testing::FakeSystem& s = client_.system(h);
  s.user_ts = {1, 2, 3, 4, 5, 6, 7, 8};
  s.rep_ts = {9, 8, 7, 6, 5, 4, 3, 2};
  s.hier_ts = {0, 1, 0, 0, 0, 0, 0, 1};
  auto stored = [](Timestamp t) {
    std::swap(t[0], t[1]);
    return t;
  };
  registry_cache_.user = stored(s.user_ts);
  registry_cache_.rep = stored(s.rep_ts);
  registry_cache_.hier = stored(s.hier_ts);
  ASSERT_EQ(cache_->getCacheState(&h, &state), 0u);
  EXPECT_EQ(state, 0u);
  registry_cache_.user = s.user_ts;  // not exchanged: different
  ASSERT_EQ(cache_->getCacheState(&h, &state), 0u);
  EXPECT_EQ(state, 2u);
  registry_cache_.user = stored(s.user_ts);
  registry_cache_.has_user_ts = false;
  ASSERT_EQ(cache_->getCacheState(&h, &state), 0u);
  EXPECT_EQ(state, 2u);

  s.has_timestamps = false;
  ASSERT_EQ(cache_->getCacheState(&h, &state), 0u);
  EXPECT_EQ(state, 2u);
  s.has_timestamps = true;
  s.hier_ts = {};
  state = 9;
  ASSERT_EQ(cache_->getCacheState(&h, &state), 0u);
  EXPECT_EQ(state, 0u);
  // Hosts before version 4 release 3 have nothing to compare.
  s.hier_ts = {1};
  for (auto [version, release] : {std::pair{4u, 2u}, std::pair{3u, 9u}}) {
    s.version = version;
    s.release = release;
    state = 9;
    ASSERT_EQ(cache_->getCacheState(&h, &state), 0u);
    EXPECT_EQ(state, 0u);
  }
  s.vrm_fails = true;
  ASSERT_EQ(cache_->getCacheState(&h, &state), 0u);
  EXPECT_EQ(state, 0u);
  EXPECT_NE(ErrorLog().find("CAIProcessCache::getCacheState -> zvtCO_GetHostVRM not successful"),
            std::string::npos);
}

TEST_F(ProcessCacheTest, ThreadsTakeTurnsAndNestedFramesDoNotDeadlock) {
  SystemHandle h = System(u"S", u"U");
  registry_cache_.denied[u"U@S"] = {u"F"};
  auto work = [&] {
    for (int i = 0; i < 500; ++i) {
      uint32_t v = 0, state = 0;
      EXPECT_EQ(cache_->getAIvalue(&h, u"F", &v), 0u);
      EXPECT_EQ(v, 1u);
      EXPECT_EQ(cache_->getCacheState(&h, &state), 0u);
    }
  };
  std::thread a(work), b(work);
  {
    LockedFrame outer;
    LockedFrame inner;
    uint32_t v = 0;
    EXPECT_EQ(cache_->getAIvalue(&h, u"F", &v), 0u);
  }
  a.join();
  b.join();
  EXPECT_EQ(registry_cache_.user_value_calls, 1);
}

}  // namespace
}  // namespace zvt
