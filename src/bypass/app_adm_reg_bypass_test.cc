// The bypass lookup against a host server, with the ordinary path made to
// fail by a registry that can no longer create keys.
#include "bypass/app_adm_reg_bypass.h"

#include <gtest/gtest.h>

#include "cache/process_cache.h"
#include "services/locked_frame.h"
#include "testing/host_setting.h"

namespace zvt {
namespace {
CAIProcessCache* g_process_cache = nullptr;
}  // namespace

// The ordinary path's process cache: in the library it is built at load;
// here each test makes its own with the services it binds.
CAIProcessCache& ProcessCache() { return *g_process_cache; }

namespace {

class MovableClock : public ClockApi {
 public:
  LocalDay Today() override { return day; }
  LocalDay day{126, 58};  // 28 February 2026
};

class BypassTest : public testing::HostSettingTest {
 protected:
  void SetUp() override {
    HostSettingTest::SetUp();
    ResetBypassForTesting();
    clock_binding_ = std::make_unique<ScopedServiceBinding>(Services{.clock = &clock_});
    process_cache_ = std::make_unique<CAIProcessCache>();
    g_process_cache = process_cache_.get();
    HostFunction("PROD", "1", "PROD");
    HostFunction("A", "3", "PROD");
    HostFunction("B", "3", "PROD");
    Deny("JOE", "A");
  }
  void TearDown() override {
    g_process_cache = nullptr;
    process_cache_.reset();
    clock_binding_.reset();
    ResetBypassForTesting();
    HostSettingTest::TearDown();
  }
  // The ordinary path fails from now on: no registry key can be created.
  void BreakRegistry() {
    env_->registry_.FailCall(testing::RegCall::kCreateKey, 1, kErrorAccessDenied, true);
  }
  uint32_t Ask(SystemHandle h, const std::u16string& function, uint32_t* value) {
    LockedFrame frame;
    return CAppAdmRegBypass::getAdminValue(&h, function, value);
  }
  uint64_t UsageCalls() { return server()->calls_of("KLIB/KRUSRFN"); }
  bool HasEntry(const std::u16string& key) {
    return CAppAdmRegBypass::state().bypassEntries.count(key) != 0;
  }

  MovableClock clock_;
  std::unique_ptr<ScopedServiceBinding> clock_binding_;
  std::unique_ptr<CAIProcessCache> process_cache_;
};

TEST_F(BypassTest, AFailedOrdinaryPathSwitchesToDirectRequestsForGood) {
  // While the ordinary path works, nothing is kept here.
  uint32_t value = 77;
  ASSERT_EQ(0u, Ask(joe_, u"A", &value));
  EXPECT_EQ(1u, value);
  EXPECT_EQ(0u, CAppAdmRegBypass::state().bypassMode);

  AddProfile("ANN");
  AddProfile("BOB");
  Deny("BOB", "B");
  SystemHandle ann = SignedOn(u"ANN"), bob = SignedOn(u"BOB");
  BreakRegistry();
  value = 77;
  uint64_t before = UsageCalls();
  ASSERT_EQ(0u, Ask(ann, u"A", &value));
  EXPECT_EQ(0u, value);
  EXPECT_EQ(1u, CAppAdmRegBypass::state().bypassMode);
  EXPECT_TRUE(HasEntry(u"ANN*******SYS1"));
  EXPECT_TRUE(HasRecord("unadmbypassregistry:0 "));
  EXPECT_TRUE(HasRecord("CAppAdmRegBypass::getAdminValue=> zvtUN_GetAdminValueEx failed  Rtcd="));
  EXPECT_EQ(before + 2, UsageCalls());  // the ordinary path's load, then the direct request

  // A pair without an entry tries the ordinary path again first: once it
  // works, no direct request is made and nothing is kept.
  env_->registry_.Heal(testing::RegCall::kCreateKey);
  ResetRegistryCacheForTesting();
  value = 77;
  ASSERT_EQ(0u, Ask(bob, u"B", &value));
  EXPECT_EQ(1u, value);
  EXPECT_TRUE(
      HasRecord("CAppAdmRegBypass::getAdminValue=> UserTarvo lookup not found =>BOB*******SYS1"));
  EXPECT_FALSE(HasEntry(u"BOB*******SYS1"));
  EXPECT_EQ(1u, CAppAdmRegBypass::state().bypassMode);  // for good

  // ANN's entry answers without the host.
  before = UsageCalls();
  ASSERT_EQ(0u, Ask(ann, u"B", &value));
  EXPECT_EQ(0u, value);
  EXPECT_EQ(before, UsageCalls());
}

TEST_F(BypassTest, TheFirstAnswerIgnoresCaseAndLaterOnesDoNot) {
  BreakRegistry();
  uint32_t value = 77;
  ASSERT_EQ(0u, Ask(joe_, u"a", &value));
  EXPECT_EQ(1u, value);
  uint64_t before = UsageCalls();
  ASSERT_EQ(0u, Ask(joe_, u"a", &value));
  EXPECT_EQ(0u, value);
  ASSERT_EQ(0u, Ask(joe_, u"A", &value));
  EXPECT_EQ(1u, value);
  EXPECT_EQ(before, UsageCalls());
}

TEST_F(BypassTest, NothingDeniedIsKeptWithoutAMap) {
  AddProfile("ANN");
  SystemHandle ann = SignedOn(u"ANN");
  BreakRegistry();
  uint32_t value = 77;
  ASSERT_EQ(0u, Ask(ann, u"A", &value));
  EXPECT_EQ(0u, value);
  const CBypassEntry& entry = *CAppAdmRegBypass::state().bypassEntries.at(u"ANN*******SYS1");
  EXPECT_FALSE(entry.deniedFunctions);
  EXPECT_EQ(0u, entry.errorCode);
  EXPECT_TRUE(CAppAdmRegBypass::state().bypassKeyOrder.empty());
  uint64_t before = UsageCalls();
  for (const char16_t* f : {u"A", u"B", u"PROD"}) {
    value = 77;
    ASSERT_EQ(0u, Ask(ann, f, &value));
    EXPECT_EQ(0u, value);
  }
  EXPECT_EQ(before, UsageCalls());
}

TEST_F(BypassTest, AFailedDirectRequestIsRememberedUntilMidnight) {
  BreakRegistry();
  server()->Stop();
  clock_.day = {126, 58};  // 23:59 on 28 February
  uint32_t value = 77;
  uint32_t rc = Ask(joe_, u"A", &value);
  EXPECT_NE(0u, rc);
  EXPECT_EQ(0u, value);
  const CBypassEntry& entry = *CAppAdmRegBypass::state().bypassEntries.at(u"JOE*******SYS1");
  EXPECT_EQ(rc, entry.errorCode);
  EXPECT_EQ(126058u, entry.dayStamp);
  EXPECT_TRUE(HasRecord(
      "CAppAdmRegBypass::getAdminValue=> CAdminHostAPIs::getUsersFuncInfo() failed  Rtcd="));

  // The same day: the remembered code, the value untouched, no host.
  StartServer();
  BindLibrary(u"SYS1", "JOE");
  value = 77;
  EXPECT_EQ(rc, Ask(joe_, u"A", &value));
  EXPECT_EQ(77u, value);
  EXPECT_EQ(0u, UsageCalls());

  // After midnight the entry is gone: the ordinary path (still failing),
  // then the direct request, which now succeeds.
  clock_.day = {126, 59};
  value = 77;
  ASSERT_EQ(0u, Ask(joe_, u"A", &value));
  EXPECT_EQ(1u, value);
  EXPECT_EQ(0u, CAppAdmRegBypass::state().bypassEntries.at(u"JOE*******SYS1")->errorCode);
}

TEST_F(BypassTest, FiftyUsersWithDeniedFunctionsAreKeptFirstInFirstOut) {
  BreakRegistry();
  std::vector<SystemHandle> users;
  for (int i = 0; i < 51; ++i) {
    std::string name = "U" + std::to_string(i);
    AddProfile(name);
    Deny(name, "A");
    users.push_back(SignedOn(std::u16string(name.begin(), name.end())));
  }
  uint32_t value = 0;
  for (SystemHandle h : users) ASSERT_EQ(0u, Ask(h, u"A", &value));
  const BypassState& s = CAppAdmRegBypass::state();
  EXPECT_EQ(50u, s.bypassKeyOrder.size());
  EXPECT_FALSE(HasEntry(u"U0********SYS1"));
  EXPECT_EQ(u"U1********SYS1", s.bypassKeyOrder.front());
  EXPECT_EQ(u"U50*******SYS1", s.bypassKeyOrder.back());
}

TEST_F(BypassTest, SignOnAndOldHosts) {
  SystemHandle old = SignedOn(u"JOE");
  client_.system(old).version = 4;
  client_.system(old).release = 2;
  uint32_t value = 77;
  EXPECT_EQ(0u, Ask(old, u"A", &value));
  EXPECT_EQ(0u, value);
  EXPECT_TRUE(HasRecord("CAppAdmRegBypass::signonToTarvo -> PreV4R3 Tarvo"));

  SystemHandle refused = SignedOn(u"JOE");
  client_.system(refused).signed_on = false;
  client_.system(refused).signon_result = kClientPasswordRefused;
  value = 77;
  EXPECT_EQ(kClientPasswordRefused, Ask(refused, u"A", &value));
  EXPECT_EQ(77u, value);
  EXPECT_TRUE(HasRecord("CAppAdmRegBypass::getAdminValue=> signonToTarvo() failed  Rtcd=6010"));
}

}  // namespace
}  // namespace zvt
