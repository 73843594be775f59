#include "cache/registry_cache.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <optional>

#include "cache/registry_layout.h"
#include "include/zvtappad/zvtclient.h"
#include "pgm/remote_program_calls.h"
#include "services/scoped_key.h"
#include "services/services.h"
#include "testing/fake_client.h"
#include "testing/fault_injection.h"
#include "testing/recording_display.h"
#include "testing/test_platform.h"

namespace zvt {
namespace {

using testing::RegCall;

const std::u16string kTop = u"Application_Administration\\HostVals";
const std::u16string kSys = kTop + u"\\SYS1";

// Stands in for the host load: writes the denied functions of a table into
// the user key the way a load does, and remembers each reuse flag.
class FakeLoad : public HostLoadOverride {
 public:
  std::map<std::u16string, DeniedSet> denied;  // by user ID
  std::vector<uint32_t> reuse;
  std::vector<bool> user_key_was_there;  // at the start of each load
  std::function<void()> at_start;        // called as each load begins
  uint32_t result = 0;

  uint32_t getTarvoAIValues(const std::u16string& system, const std::u16string& user,
                            std::unique_ptr<DeniedSet>* out, uint32_t reuse_flag,
                            const SystemHandle*) override {
    reuse.push_back(reuse_flag);
    if (at_start) at_start();
    if (result != 0) return result;
    const Services& s = CurrentServices();
    HKEY probe = nullptr;
    bool there = s.registry_service->OpenRegKeyEx(kHKeyCurrentUser,
                                                  (kTop + u"\\" + system + u"\\" + user).c_str(), 0,
                                                  kKeyAllAccess, &probe) == kErrorSuccess;
    if (there) s.registry->RegCloseKey(probe);
    user_key_was_there.push_back(there);
    if (uint32_t rc = CRegistryCache::openUserRegKey(system, user); rc != 0) return rc;
    const BYTE one = 1;
    for (std::u16string_view id : denied[user])
      (void)s.registry->RegSetValueExW(CRegistryCache::userKey(), std::u16string(id).c_str(), 0,
                                       kRegBinary, &one, 1);
    if (!denied[user].empty()) *out = std::make_unique<DeniedSet>(denied[user]);
    return 0;
  }
};

class RegistryCacheTest : public ::testing::Test {
 protected:
  RegistryCacheTest()
      : store_(dir_),
        registry_(&store_, &store_),
        sync_(dir_),
        calls_(&locator_, pgm::ErrorLog(dir_.File("error.log"))),
        binding_(Bind()) {
    ResetRegistryCacheForTesting();
    zvtclient_SetDisplayHandler(
        [](const char16_t* t, const char16_t*, uint32_t, void* self) {
          static_cast<RegistryCacheTest*>(self)->display_.texts.push_back(t);
          return 1;
        },
        this);
    testing::FakeSystem s;
    s.name = u"SYS1";
    s.user = u"joe";
    s.signed_on = true;
    joe_ = client_.Add(s);
    s.user = u"ANN";
    ann_ = client_.Add(s);
    s.user = u"BOB";
    bob_ = client_.Add(s);
  }
  ~RegistryCacheTest() override {
    zvtclient_SetDisplayHandler(nullptr, nullptr);
    ResetRegistryCacheForTesting();
  }
  Services Bind() {
    Services s;
    s.registry = &registry_;
    s.registry_service = &registry_;
    s.sync = &sync_;
    s.client = &client_;
    s.program_calls = &calls_;
    s.display = &display_;
    s.host_load = &load_;
    return s;
  }

  uint32_t Query(SystemHandle h, std::unique_ptr<DeniedSet>* out = nullptr) {
    std::unique_ptr<DeniedSet> ignored;
    std::u16string user = client_.system(h).user;
    return CRegistryCache::getUserValues(&h, client_.system(h).name, user,
                                         out != nullptr ? out : &ignored);
  }
  bool Exists(const std::u16string& path) {
    HKEY key = nullptr;
    if (store_.OpenRegKeyEx(kHKeyCurrentUser, path.c_str(), 0, kKeyRead, &key) != kErrorSuccess)
      return false;
    store_.RegCloseKey(key);
    return true;
  }
  void Put(const std::u16string& path, const std::u16string& name, DWORD type,
           std::vector<uint8_t> data) {
    ScopedKey key(&store_);
    ASSERT_EQ(store_.CreateRegKeyEx(kHKeyCurrentUser, path.c_str(), 0, nullptr, 0, kKeyAllAccess,
                                    nullptr, key.Receive(), nullptr),
              kErrorSuccess);
    ASSERT_EQ(store_.RegSetValueExW(key.get(), name.c_str(), 0, type, data.data(),
                                    static_cast<DWORD>(data.size())),
              kErrorSuccess);
  }
  std::optional<Timestamp> Stored(const std::u16string& path, const char16_t* name) {
    ScopedKey key(&store_);
    if (store_.OpenRegKeyEx(kHKeyCurrentUser, path.c_str(), 0, kKeyRead, key.Receive()) !=
        kErrorSuccess)
      return std::nullopt;
    Timestamp t;
    if (!ReadStoredTimestamp(&store_, key.get(), name, &t)) return std::nullopt;
    return t;
  }
  std::string ErrorLog() {
    std::ifstream in(dir_.File("error.log"));
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  bool SlotsEmpty() {
    return CRegistryCache::systemKey() == nullptr && CRegistryCache::userKey() == nullptr &&
           CRegistryCache::hierarchyKey() == nullptr;
  }
  // Loads JOE, ANN and BOB once and puts a value into the hierarchy key.
  void LoadThree() {
    load_.denied[u"JOE"] = {u"F1", u"G1"};
    load_.denied[u"ANN"] = {u"F2"};
    ASSERT_EQ(Query(joe_), 0u);
    ASSERT_EQ(Query(ann_), 0u);
    ASSERT_EQ(Query(bob_), 0u);
    Put(kSys + u"\\Hierarchy", u"G1", kRegSz, {'F', 0, '1', 0});
    load_.reuse.clear();
    load_.user_key_was_there.clear();
  }

  testing::TempDir dir_;
  testing::TestRegistry store_;
  testing::FaultyRegistry registry_;
  testing::TestSync sync_;
  testing::FakeClient client_;
  pgm::StaticSystemLocator locator_;
  pgm::RemoteProgramCalls calls_;
  testing::RecordingDisplay display_;
  ScopedServiceBinding binding_;
  FakeLoad load_;
  SystemHandle joe_, ann_, bob_;
};

TEST_F(RegistryCacheTest, ALoadIsStoredAndTheNextQueryAnswersFromTheStore) {
  load_.denied[u"JOE"] = {u"F1", u"G1"};
  std::unique_ptr<DeniedSet> denied;
  ASSERT_EQ(Query(joe_, &denied), 0u);
  ASSERT_TRUE(denied);
  EXPECT_EQ(*denied, (DeniedSet{u"F1", u"G1"}));
  EXPECT_EQ(load_.reuse, (std::vector<uint32_t>{0}));
  EXPECT_TRUE(SlotsEmpty());
  // Stored with bytes 0 and 1 exchanged; the user key is named upper case.
  EXPECT_EQ(Stored(kSys, kRepTsValue), (Timestamp{0, 2}));
  EXPECT_EQ(Stored(kSys, kHierTsValue), (Timestamp{0, 3}));
  EXPECT_EQ(Stored(kSys + u"\\JOE", kUserTsValue), (Timestamp{0, 1}));

  load_.denied[u"JOE"] = {};  // a load now would find nothing denied
  denied.reset();
  ASSERT_EQ(Query(joe_, &denied), 0u);
  ASSERT_TRUE(denied);
  EXPECT_EQ(*denied, (DeniedSet{u"F1", u"G1"}));
  EXPECT_EQ(load_.reuse.size(), 1u);

  // A load that finds nothing denied is stored too: no set, no further load.
  denied.reset();
  ASSERT_EQ(Query(ann_, &denied), 0u);
  ASSERT_EQ(Query(ann_, &denied), 0u);
  EXPECT_FALSE(denied);
  EXPECT_EQ(load_.reuse.size(), 2u);
}

TEST_F(RegistryCacheTest, OnlyTheUserTimestampMovedDeletesOnlyThatUsersKey) {
  LoadThree();
  client_.system(joe_).user_ts = {9};
  ASSERT_EQ(Query(joe_), 0u);
  EXPECT_EQ(load_.reuse, (std::vector<uint32_t>{1}));
  EXPECT_EQ(load_.user_key_was_there, (std::vector<bool>{false}));
  EXPECT_TRUE(Exists(kSys + u"\\ANN"));
  EXPECT_TRUE(Exists(kSys + u"\\BOB"));
  EXPECT_EQ(Stored(kSys + u"\\JOE", kUserTsValue), (Timestamp{0, 9}));
  EXPECT_EQ(Stored(kSys + u"\\ANN", kUserTsValue), (Timestamp{0, 1}));
  EXPECT_TRUE(SlotsEmpty());
}

TEST_F(RegistryCacheTest, TheFunctionRegistryMovedDeletesEveryUserButKeepsTheHierarchy) {
  LoadThree();
  for (SystemHandle h : {joe_, ann_, bob_}) client_.system(h).rep_ts = {7};
  ASSERT_EQ(Query(ann_), 0u);
  EXPECT_EQ(load_.reuse, (std::vector<uint32_t>{1}));
  EXPECT_FALSE(Exists(kSys + u"\\JOE"));
  EXPECT_FALSE(Exists(kSys + u"\\BOB"));
  EXPECT_TRUE(Exists(kSys + u"\\ANN"));  // reloaded
  EXPECT_TRUE(Exists(kSys + u"\\Hierarchy"));
  EXPECT_EQ(Stored(kSys, kHierTsValue), (Timestamp{0, 3}));
  EXPECT_EQ(Stored(kSys, kRepTsValue), (Timestamp{0, 7}));
}

TEST_F(RegistryCacheTest, TheHierarchyMovedDeletesTheWholeSystem) {
  LoadThree();
  client_.system(bob_).hier_ts = {4};
  ASSERT_EQ(Query(bob_), 0u);
  EXPECT_EQ(load_.reuse, (std::vector<uint32_t>{0}));
  EXPECT_FALSE(Exists(kSys + u"\\Hierarchy"));
  EXPECT_FALSE(Exists(kSys + u"\\JOE"));
  EXPECT_FALSE(Exists(kSys + u"\\ANN"));
  EXPECT_EQ(Stored(kSys, kHierTsValue), (Timestamp{0, 4}));
}

#ifndef _WIN32  // the Windows registry keeps each write as it is made
// A refresh that replaces a whole system is seen by another process whole:
// until it ends, the entry it deleted is still all there, and then all of
// the new one is.
TEST_F(RegistryCacheTest, AnotherProcessSeesARefreshWholeOrNotAtAll) {
  LoadThree();
  testing::TestRegistry other(dir_);
  auto has = [&other](const std::u16string& path, const char16_t* name) {
    ScopedKey key(&other);
    DWORD size = 0;
    return other.OpenRegKeyEx(kHKeyCurrentUser, path.c_str(), 0, kKeyRead, key.Receive()) ==
               kErrorSuccess &&
           other.RegQueryValueExW(key.get(), name, nullptr, nullptr, nullptr, &size) ==
               kErrorSuccess;
  };
  auto old_entry_whole = [&] {
    return has(kSys + u"\\JOE", u"F1") && has(kSys + u"\\ANN", u"F2") &&
           has(kSys + u"\\Hierarchy", u"G1") && has(kSys, kHierTsValue);
  };
  ASSERT_TRUE(old_entry_whole());
  client_.system(bob_).hier_ts = {4};
  load_.denied[u"BOB"] = {u"F9"};
  int seen_during = 0;
  load_.at_start = [&] { seen_during += old_entry_whole() ? 1 : 0; };
  ASSERT_EQ(Query(bob_), 0u);
  EXPECT_EQ(seen_during, 1);
  EXPECT_FALSE(has(kSys + u"\\JOE", u"F1"));
  EXPECT_FALSE(has(kSys + u"\\Hierarchy", u"G1"));
  EXPECT_TRUE(has(kSys + u"\\BOB", u"F9"));
  EXPECT_TRUE(has(kSys + u"\\BOB", kUserTsValue));
  EXPECT_TRUE(has(kSys, kHierTsValue));
}
#endif

TEST_F(RegistryCacheTest, MalformedStoredTimestampsReadAsChanged) {
  LoadThree();
  Put(kSys, kRepTsValue, kRegBinary, {0, 2, 0, 0, 0, 0, 0});  // 7 bytes
  ASSERT_EQ(Query(joe_), 0u);
  EXPECT_FALSE(Exists(kSys + u"\\ANN"));
  LoadThree();
  Put(kSys, kRepTsValue, kRegDword, {0, 2, 0, 0});
  ASSERT_EQ(Query(joe_), 0u);
  EXPECT_FALSE(Exists(kSys + u"\\ANN"));
  EXPECT_EQ(load_.reuse, (std::vector<uint32_t>{1}));
  // A "##HierTS" of 9 bytes counts as no stored hierarchy.
  LoadThree();
  Put(kSys, kHierTsValue, kRegBinary, {0, 3, 0, 0, 0, 0, 0, 0, 0});
  ASSERT_EQ(Query(joe_), 0u);
  EXPECT_FALSE(Exists(kSys + u"\\Hierarchy"));
  EXPECT_EQ(load_.reuse, (std::vector<uint32_t>{0}));
}

TEST_F(RegistryCacheTest, WithoutAHierarchyTimestampNothingIsReadOrWritten) {
  client_.system(joe_).hier_ts = {};
  std::unique_ptr<DeniedSet> denied;
  ASSERT_EQ(Query(joe_, &denied), 0u);
  EXPECT_FALSE(denied);
  EXPECT_TRUE(load_.reuse.empty());
  EXPECT_EQ(registry_.Calls(RegCall::kQueryValue), 0);
  EXPECT_EQ(registry_.Calls(RegCall::kCreateKey), 0);
  EXPECT_FALSE(Exists(kSys));
}

TEST_F(RegistryCacheTest, OldHostsAndAFailingVersionQueryGiveNoSet) {
  client_.system(joe_).release = 2;
  client_.system(joe_).version = 4;
  std::unique_ptr<DeniedSet> denied;
  ASSERT_EQ(Query(joe_, &denied), 0u);
  EXPECT_FALSE(denied);
  client_.system(joe_).vrm_fails = true;
  ASSERT_EQ(Query(joe_, &denied), 0u);
  EXPECT_FALSE(denied);
  EXPECT_TRUE(load_.reuse.empty());
  for (RegCall c : {RegCall::kQueryValue, RegCall::kCreateKey, RegCall::kEnumKey})
    EXPECT_EQ(registry_.Calls(c), 0);
  EXPECT_NE(ErrorLog().find(" CRegistryCache::getUserValues -> zvtCO_GetHostVRM not successful\n"),
            std::string::npos);
  // Release 3 is enough.
  client_.system(joe_).vrm_fails = false;
  client_.system(joe_).release = 3;
  ASSERT_EQ(Query(joe_, &denied), 0u);
  EXPECT_EQ(load_.reuse.size(), 1u);
}

TEST_F(RegistryCacheTest, AFailingHostTimestampCallIsShownAndFails) {
  client_.system(joe_).has_timestamps = false;  // and no host configured
  auto denied = std::make_unique<DeniedSet>(DeniedSet{u"KEEP"});
  std::u16string user = u"joe";
  EXPECT_EQ(CRegistryCache::getUserValues(&joe_, u"SYS1", user, &denied), 1u);
  EXPECT_EQ(user, u"JOE");
  ASSERT_TRUE(denied);  // untouched
  EXPECT_EQ(display_.texts.size(), 1u);
  EXPECT_TRUE(load_.reuse.empty());
  EXPECT_NE(ErrorLog().find(" CRegistryCache::getUserValues -> CAdminHostAPIs::getAdminTimestamps "
                            "not successful\n"),
            std::string::npos)
      << ErrorLog();
  EXPECT_TRUE(SlotsEmpty());
}

TEST_F(RegistryCacheTest, AFailedLoadLeavesTheTimestampsUnwritten) {
  LoadThree();
  client_.system(joe_).user_ts = {5};
  load_.result = 1;
  EXPECT_EQ(Query(joe_), 1u);
  EXPECT_FALSE(Exists(kSys + u"\\JOE"));
  load_.result = 0;
  ASSERT_EQ(Query(joe_), 0u);  // tries again
  EXPECT_EQ(load_.reuse.size(), 2u);
  EXPECT_EQ(Stored(kSys + u"\\JOE", kUserTsValue), (Timestamp{0, 5}));
}

// A reload that lifts a denial while the stale user key cannot be deleted
// (a full disk, say) answers from the host, but the old denied value is
// still in the key: the timestamps stay unwritten, so no later query takes
// the key for current, and the next query tries again.
TEST_F(RegistryCacheTest, AStaleKeyThatCannotBeDeletedLeavesTheTimestampsUnwritten) {
  LoadThree();
  client_.system(joe_).user_ts = {9};
  load_.denied[u"JOE"] = {};
  registry_.FailCall(RegCall::kDeleteKey, 1, 112);  // ERROR_DISK_FULL
  std::unique_ptr<DeniedSet> denied;
  ASSERT_EQ(Query(joe_, &denied), 0u);
  EXPECT_FALSE(denied);
  EXPECT_EQ(Stored(kSys + u"\\JOE", kUserTsValue), (Timestamp{0, 1}));
  EXPECT_NE(ErrorLog().find("stale entries not deleted or values not written"), std::string::npos);

  ASSERT_EQ(Query(joe_, &denied), 0u);
  EXPECT_FALSE(denied);
  EXPECT_EQ(load_.reuse.size(), 2u);
  EXPECT_EQ(Stored(kSys + u"\\JOE", kUserTsValue), (Timestamp{0, 9}));
  ASSERT_EQ(Query(joe_, &denied), 0u);  // current now, and nothing denied
  EXPECT_FALSE(denied);
  EXPECT_EQ(load_.reuse.size(), 2u);
}

TEST_F(RegistryCacheTest, StartUpSwitchesTheCacheOffOnlyForTheExactForm) {
  LoadThree();
  client_.configured = {u"SYS1"};
  Put(kTop, kActivateValue, kRegSz, {'2', 0, 0, 0});  // with its terminator
  ASSERT_EQ(CRegistryCache::startUp(), 0u);
  EXPECT_TRUE(CRegistryCache::cacheSwitchOn());
  Put(kTop, kActivateValue, kRegSz, {'2', 0});
  ASSERT_EQ(CRegistryCache::startUp(), 0u);
  EXPECT_FALSE(CRegistryCache::cacheSwitchOn());
  EXPECT_EQ(CRegistryCache::cacheKey(), nullptr);

  // Switched off: the stored timestamps are read, nothing else happens.
  client_.system(joe_).user_ts = {8};
  int reads = registry_.Calls(RegCall::kQueryValue);
  int deletions = registry_.Calls(RegCall::kDeleteKey);
  std::unique_ptr<DeniedSet> denied;
  ASSERT_EQ(Query(joe_, &denied), 0u);
  EXPECT_FALSE(denied);
  EXPECT_GT(registry_.Calls(RegCall::kQueryValue), reads);
  EXPECT_TRUE(load_.reuse.empty());
  EXPECT_EQ(Stored(kSys + u"\\JOE", kUserTsValue), (Timestamp{0, 1}));
  EXPECT_EQ(registry_.Calls(RegCall::kDeleteKey), deletions);
}

TEST_F(RegistryCacheTest, StartUpPrunesSystemsNoLongerConfigured) {
  Put(kTop + u"\\sys1\\JOE", kUserTsValue, kRegBinary, {0, 1, 0, 0, 0, 0, 0, 0});
  Put(kTop + u"\\GONE\\Hierarchy", u"G", kRegSz, {'A', 0});
  Put(kTop + u"\\GONE\\ANN", kUserTsValue, kRegBinary, {0, 1, 0, 0, 0, 0, 0, 0});
  Put(kTop + u"\\Other", kRepTsValue, kRegBinary, {0, 1, 0, 0, 0, 0, 0, 0});
  // A damaged or foreign store may hold a key whose name has a NUL inside,
  // which no NUL-terminated name can open: it must not turn the deletion
  // back onto its parent (that recursed without end). What can be reached
  // goes; the key holding it stays, as a key with subkeys does.
  Put(kTop + u"\\BROKEN\\ANN", kUserTsValue, kRegBinary, {0, 1, 0, 0, 0, 0, 0, 0});
  ASSERT_TRUE(store_.CreateUnreachableSubkey(kTop + u"\\BROKEN"));
  client_.configured = {u"SYS1", u"OTHER"};
  ASSERT_EQ(CRegistryCache::startUp(), 0u);
  EXPECT_TRUE(Exists(kTop + u"\\sys1\\JOE"));  // matched in other letter case
  EXPECT_TRUE(Exists(kTop + u"\\Other"));
  EXPECT_FALSE(Exists(kTop + u"\\GONE"));
  EXPECT_FALSE(Exists(kTop + u"\\BROKEN\\ANN"));
  EXPECT_TRUE(Exists(kTop + u"\\BROKEN"));
  EXPECT_EQ(CRegistryCache::cacheKey(), nullptr);

  // Nothing configured: every cached system goes.
  client_.configured.clear();
  ASSERT_EQ(CRegistryCache::startUp(), 0u);
  EXPECT_FALSE(Exists(kTop + u"\\sys1"));
  EXPECT_FALSE(Exists(kTop + u"\\Other"));
  EXPECT_TRUE(Exists(kTop));
}

TEST_F(RegistryCacheTest, StoredValuesReadByTheirRules) {
  Put(kSys + u"\\JOE", u"F1", kRegBinary, {1});
  Put(kSys + u"\\JOE", u"#F2", kRegBinary, {1});
  Put(kSys + u"\\JOE", u"F3", kRegBinary, {0});
  Put(kSys + u"\\JOE", u"F4", kRegBinary, {1, 1});
  Put(kSys + u"\\JOE", u"F5", kRegDword, {1, 0, 0, 0});
  Put(kSys + u"\\JOE", std::u16string(31, u'A'), kRegBinary, {1});
  Put(kSys + u"\\JOE", std::u16string(32, u'B'), kRegBinary, {1});
  Put(kSys + u"\\JOE", u"F6", kRegBinary, {1});
  std::unique_ptr<DeniedSet> denied;
  ASSERT_EQ(CRegistryCache::getRegistryAIValues(u"SYS1", u"JOE", &denied), 0u);
  ASSERT_TRUE(denied);
  EXPECT_EQ(*denied, (DeniedSet{u"F1", std::u16string(31, u'A'), u"F6"}));
  closeRegKeys();
  denied.reset();
  ASSERT_EQ(CRegistryCache::getRegistryAIValues(u"SYS1", u"ANN", &denied), 0u);
  EXPECT_FALSE(denied);
  closeRegKeys();

  // The hierarchy key is never a user, in any letter case.
  Put(kSys + u"\\hIERARCHY", u"G", kRegSz, {'A', 0});
  NameList users;
  ASSERT_EQ(CRegistryCache::getUserList(u"SYS1", &users), 0u);
  EXPECT_EQ(users, (NameList{u"ANN", u"JOE"}));
  closeRegKeys();
}

TEST_F(RegistryCacheTest, EachFailureLeavesItsRecord) {
  auto expect_records = [this](std::vector<std::string> texts) {
    std::string log = ErrorLog();
    for (const std::string& t : texts)
      EXPECT_NE(log.find(" " + t + "\n"), std::string::npos) << t << "\n" << log;
    std::ofstream(dir_.File("error.log"), std::ios::trunc);
  };
  const std::string open = "CRegistryCache::openRegKey -> CRegistrySPI::CreateRegKeyEx failed ";

  registry_.FailCall(RegCall::kCreateKey, 1, kErrorAccessDenied);
  EXPECT_EQ(CRegistryCache::startUp(), uint32_t(kErrorAccessDenied));
  expect_records({open, "CRegistryCache::startUp -> Open AppAdmin Registry path failed"});
  registry_.FailCall(RegCall::kCreateKey, 2, kErrorAccessDenied);
  EXPECT_EQ(CRegistryCache::startUp(), 0u);
  expect_records({"CRegistryCache::openCacheRegKey -> openRegKey failed ",
                  "CRegistryCache::getSystemList -> Open Cache key failed "});

  Timestamp r, h;
  auto u = std::make_unique<Timestamp>();
  registry_.FailCall(RegCall::kCreateKey, 1, kErrorAccessDenied);
  EXPECT_NE(CRegistryCache::getCacheTS(u"SYS1", u"JOE", &r, &h, &u, true), 0u);
  expect_records({"CRegistryCache::openSysRegKey -> openRegKey failed ",
                  "CRegistryCache::getCacheTS -> Open Sys key failed #1"});
  registry_.FailCall(RegCall::kCreateKey, 1, kErrorAccessDenied);
  EXPECT_NE(CRegistryCache::getCacheTS(u"SYS1", u"JOE", nullptr, &h, &u, true), 0u);
  expect_records({"CRegistryCache::getCacheTS -> Open Sys key failed #2"});
  registry_.FailCall(RegCall::kCreateKey, 2, kErrorAccessDenied);
  EXPECT_NE(CRegistryCache::getCacheTS(u"SYS1", u"JOE", &r, &h, &u, true), 0u);
  expect_records({"CRegistryCache::openUserRegKey -> openRegKey failed ",
                  "CRegistryCache::getCacheTS -> Open User key failed"});
  EXPECT_TRUE(SlotsEmpty());

  // A stored-timestamp read that fails makes the refresh delete the system.
  LoadThree();
  registry_.FailCall(RegCall::kCreateKey, 2, kErrorAccessDenied);
  ASSERT_EQ(Query(joe_), 0u);
  EXPECT_FALSE(Exists(kSys + u"\\ANN"));
  EXPECT_EQ(load_.reuse, (std::vector<uint32_t>{0}));
  expect_records({"CRegistryCache::getCacheTS -> Open User key failed"});

  // A deletion that cannot open its key reports it; the reload goes on.
  LoadThree();
  client_.system(joe_).hier_ts = {6};
  CRegistryCache::closeCacheKeySlot();
  registry_.FailCall(RegCall::kCreateKey, 3, kErrorAccessDenied);  // sys, user, cache
  ASSERT_EQ(Query(joe_), 0u);
  expect_records({"CRegistryCache::getUserValues -> delete system registry entry failed"});

  // The six records of writing the timestamps.
  const Timestamp t{};
  struct Case {
    RegCall call;
    int nth;
    bool rep, hier;
    std::string text;
  } cases[] = {
      {RegCall::kCreateKey, 1, true, true, "CRegistryCache::setCacheTS -> Open Sys key failed #1"},
      {RegCall::kSetValue, 1, true, true, "CRegistryCache::setCacheTS -> Set Rep TS failed"},
      {RegCall::kCreateKey, 1, false, true, "CRegistryCache::setCacheTS -> Open Sys key failed #2"},
      {RegCall::kSetValue, 2, true, true, "CRegistryCache::setCacheTS -> Set Hier TS failed"},
      {RegCall::kCreateKey, 2, true, true, "CRegistryCache::setCacheTS -> Open User key failed"},
      {RegCall::kSetValue, 3, true, true, "CRegistryCache::setCacheTS -> Set User TS failed"},
  };
  for (const Case& c : cases) {
    registry_.FailCall(c.call, c.nth, kErrorAccessDenied);
    EXPECT_EQ(CRegistryCache::setCacheTS(u"SYS2", u"JOE", c.rep ? &t : nullptr,
                                         c.hier ? &t : nullptr, &t),
              uint32_t(kErrorAccessDenied))
        << c.text;
    closeRegKeys();
    registry_.Heal(c.call);
    expect_records({c.text});
  }

  registry_.FailCall(RegCall::kCreateKey, 1, kErrorAccessDenied);
  std::unique_ptr<DeniedSet> denied;
  EXPECT_EQ(CRegistryCache::getRegistryAIValues(u"SYS1", u"JOE", &denied),
            uint32_t(kErrorAccessDenied));
  registry_.FailCall(RegCall::kCreateKey, 1, kErrorAccessDenied);
  NameList users;
  EXPECT_NE(CRegistryCache::getUserList(u"SYS1", &users), 0u);
  expect_records({"CRegistryCache::getRegistryAIValues -> Open User key failed",
                  "CRegistryCache::getUserList -> openSysRegKey failed "});
}

}  // namespace
}  // namespace zvt
