// Reloading a user's denied functions from the host: group resolution, the
// values written, and what each fault of the host leaves behind.
#include "cache/host_value_load.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "cache/registry_layout.h"
#include "host/program_names.h"
#include "services/scoped_key.h"
#include "testing/host_setting.h"

namespace zvt {
namespace {

DeniedSet Resolve(DeniedSet denied, HierarchyMap map) {
  resolveGroupDenials(&denied, &map);
  EXPECT_TRUE(map.empty());
  return denied;
}

TEST(GroupDenialsTest, AGroupIsDeniedWhenEveryChildIs) {
  // Both children denied, one of two, nested groups in either order, and a
  // group whose only child is a group waiting on an earlier pass.
  EXPECT_EQ((DeniedSet{u"A", u"B", u"G"}), Resolve({u"A", u"B"}, {{u"G", {u"A", u"B"}}}));
  EXPECT_EQ((DeniedSet{u"A"}), Resolve({u"A"}, {{u"G", {u"A", u"B"}}}));
  for (int order = 0; order < 2; ++order) {
    HierarchyMap map = order == 0 ? HierarchyMap{{u"G1", {u"G2"}}, {u"G2", {u"A", u"B"}}}
                                  : HierarchyMap{{u"G2", {u"A", u"B"}}, {u"G1", {u"G2"}}};
    map.AddChild(map.ResetGroup(u"G0"), u"G1");
    map.AddChild(map.Find(u"G0"), u"A");
    EXPECT_EQ((DeniedSet{u"A", u"B", u"G0", u"G1", u"G2"}), Resolve({u"A", u"B"}, map));
  }
  // A child that is a group not denied keeps its parent allowed.
  EXPECT_EQ((DeniedSet{u"A"}), Resolve({u"A"}, {{u"P", {u"A", u"G"}}, {u"G", {u"B"}}}));
}

TEST(GroupDenialsTest, EmptyGroupsAndCyclesAreNeverDenied) {
  EXPECT_EQ((DeniedSet{u"A"}), Resolve({u"A"}, {{u"E", {}}}));
  // Two groups naming each other, and one waiting on them: the passes end.
  EXPECT_EQ((DeniedSet{u"A"}),
            Resolve({u"A"}, {{u"P", {u"Q"}}, {u"Q", {u"P"}}, {u"W", {u"A", u"P"}}}));
  // A group's own usage record can still deny it.
  EXPECT_EQ((DeniedSet{u"E"}), Resolve({u"E"}, {{u"E", {}}}));
}

class HostValueLoadTest : public testing::HostSettingTest {
 protected:
  void AddProduct() {
    HostFunction("PROD", "1", "PROD");
    HostFunction("G1", "2", "PROD");
    HostFunction("G2", "2", "PROD", "G1");
    HostFunction("A", "3", "PROD", "G2");
    HostFunction("B", "3", "PROD", "G2");
    HostFunction("C", "3", "PROD", "G1");
    HostFunction("D", "3", "PROD");
  }
  uint32_t Query(SystemHandle h, std::unique_ptr<DeniedSet>* denied) {
    std::u16string user = client_.system(h).user;
    return CRegistryCache::getUserValues(&h, u"SYS1", user, denied);
  }
  std::u16string UserPath(const std::u16string& user) {
    return std::u16string(kHostValsKey) + u"\\SYS1\\" + user;
  }
  // The names of the values or subkeys of a cache key, or {"<no key>"}.
  std::vector<std::u16string> Names(const std::u16string& path, bool subkeys = false) {
    testing::TestRegistry& store = env_->store_;
    ScopedKey key(&store);
    if (store.OpenRegKeyEx(kHKeyCurrentUser, path.c_str(), 0, kKeyRead, key.Receive()) !=
        kErrorSuccess)
      return {u"<no key>"};
    std::vector<std::u16string> names;
    for (DWORD i = 0;; ++i) {
      char16_t name[256];
      DWORD chars = 256;
      LONG rc =
          subkeys
              ? store.RegEnumKeyExW(key.get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr)
              : store.RegEnumValueW(key.get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr);
      if (rc != kErrorSuccess) break;
      names.emplace_back(name, chars);
    }
    return names;
  }
  static bool Holds(const std::vector<std::u16string>& names, const std::u16string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  }
};

TEST_F(HostValueLoadTest, DeniedItemsAndGroupsAreStoredAndAnsweredFromTheStore) {
  AddProduct();
  for (const char* f : {"A", "B", "C"}) Deny("JOE", f);

  std::unique_ptr<DeniedSet> denied;
  ASSERT_EQ(0u, Query(joe_, &denied));
  ASSERT_TRUE(denied);
  EXPECT_EQ((DeniedSet{u"A", u"B", u"C", u"G1", u"G2"}), *denied);  // D keeps PROD allowed
  EXPECT_EQ(1, client_.connects);
  EXPECT_EQ(1, client_.disconnects);
  std::vector<std::u16string> values = Names(UserPath(u"JOE"));
  for (const char16_t* f : {u"A", u"B", u"C", u"G1", u"G2", u"##UserTS"})
    EXPECT_TRUE(Holds(values, f)) << std::string(f, f + std::char_traits<char16_t>::length(f));
  EXPECT_EQ(1u, server()->calls_of("KLIB/KRUSRFN"));
  EXPECT_EQ(1u, server()->calls_of("KLIB/KRFNLST"));

  ResetRegistryCacheForTesting();
  std::unique_ptr<DeniedSet> again;
  ASSERT_EQ(0u, Query(joe_, &again));
  ASSERT_TRUE(again);
  EXPECT_EQ(*denied, *again);
  EXPECT_EQ(2u, server()->calls_answered());  // nothing more was asked of the host
}

// What a progress display is told of a reload: each call as it begins and
// ends, in order, with the entries each list part brought.
TEST_F(HostValueLoadTest, AnObserverHearsEveryCallOfAReloadInOrderWithItsEntries) {
  struct Recorder : CallObserver {
    void CallBegins(const char16_t* program) override { events.push_back(U8(program) + " begins"); }
    void CallEnded(const char16_t* program, DataObject* parameters, uint32_t rc) override {
      std::string event = U8(program) + " ended " + std::to_string(rc);
      const std::u16string name(program);
      if (name == kFunctionListName16.text || name == kUsageListName16.text) {
        uint32_t entries = 0, bytes = 0, type = 0;
        DataObject* receiver = calls->childObject(parameters, 1);
        if (calls->getBinary(receiver, 4, &entries, 4, &bytes, &type) == 0)
          event += ", " + std::to_string(entries) + " entries";
      }
      events.push_back(event);
    }
    static std::string U8(const char16_t* s) {
      return std::string(s, s + std::char_traits<char16_t>::length(s));
    }
    ProgramCallApi* calls = nullptr;
    std::vector<std::string> events;
  } recorder;
  recorder.calls = handle_calls_.get();
  AddProduct();
  for (int i = 0; i < 100; ++i) HostFunction("F" + std::to_string(i), "3", "PROD");
  for (const char* f : {"A", "B", "F7"}) Deny("JOE", f);
  handle_calls_->observeCalls(&recorder);
  std::unique_ptr<DeniedSet> denied;
  const uint32_t rc = Query(joe_, &denied);
  handle_calls_->observeCalls(nullptr);
  ASSERT_EQ(0u, rc);
  // 107 functions: the usage of each in one part; the functions in a part
  // of 64, then the rest.
  EXPECT_EQ(recorder.events,
            (std::vector<std::string>{"KLIB/KRUSRFN begins", "KLIB/KRUSRFN ended 0, 107 entries",
                                      "KLIB/KRFNLST begins", "KLIB/KRFNLST ended 0, 64 entries",
                                      "KLIB/KRFNLST begins", "KLIB/KRFNLST ended 0, 43 entries"}));
}

TEST_F(HostValueLoadTest, AFailedUsageCallIsShownAndTheNextQueryLoadsAgain) {
  AddProduct();
  Deny("JOE", "A");
  server()->Stop();
  std::unique_ptr<DeniedSet> denied;
  EXPECT_EQ(1u, Query(joe_, &denied));
  EXPECT_FALSE(denied);
  EXPECT_EQ(1u, display_.texts.size());
  EXPECT_TRUE(HasRecord("CRegistryCache::getTarvoAIValues -> getUsersFuncInfo failed"));
  EXPECT_FALSE(Holds(Names(UserPath(u"JOE")), u"##UserTS"));
  EXPECT_EQ(1, client_.disconnects);  // the connection made is undone on failure too

  StartServer();
  BindLibrary(u"SYS1", "JOE");
  ASSERT_EQ(0u, Query(joe_, &denied));
  ASSERT_TRUE(denied);
  EXPECT_EQ((DeniedSet{u"A"}), *denied);
  EXPECT_TRUE(Holds(Names(UserPath(u"JOE")), u"##UserTS"));
}

TEST_F(HostValueLoadTest, AFailedFunctionListLeavesTheDirectDenialsOnly) {
  server()->Stop();
  faults_.reset_after_calls = 1;  // the usage list is answered, the function list is not
  StartServer();
  BindLibrary(u"SYS1", "JOE");
  AddProduct();
  for (const char* f : {"A", "B"}) Deny("JOE", f);
  std::unique_ptr<DeniedSet> denied;
  ASSERT_EQ(0u, Query(joe_, &denied));
  ASSERT_TRUE(denied);
  EXPECT_EQ((DeniedSet{u"A", u"B"}), *denied);
  EXPECT_TRUE(HasRecord("CRegistryCache::getTarvoAIValues -> getFuncList failed"));
}

// A host that stalls in the middle of a paged usage list, or resets the
// connection during the timestamp call: the query fails at the read
// time-out (and says so), nothing is stored as current, and once the host
// is back the next query answers right.
TEST_F(HostValueLoadTest, AHostStallingResettingOrDyingMidCallLeavesNothingCurrent) {
  // What the failed calls recorded since the last look (their error texts
  // go to the error log; the display shows a summary).
  auto shown = [this] {
    std::string all;
    for (const std::string& r : Records()) all += r + "\n";
    std::ofstream(dir_.File("error.log"), std::ios::trunc);
    display_.texts.clear();
    return all;
  };
  server()->Stop();
  faults_.stall_after_calls = 1;  // the first part of the usage list comes, then nothing
  read_timeout_ms_ = 300;
  StartServer();
  BindLibrary(u"SYS1", "JOE");
  AddFunctions(400, "F");  // two parts of usage entries
  Deny("JOE", "F300");
  std::unique_ptr<DeniedSet> denied;
  EXPECT_EQ(1u, Query(joe_, &denied));
  EXPECT_FALSE(denied);
  EXPECT_EQ(1u, display_.texts.size());  // the host error, shown once
  std::string text = shown();
  EXPECT_NE(std::string::npos, text.find("timed out")) << text;
  EXPECT_FALSE(Holds(Names(UserPath(u"JOE")), u"##UserTS"));

  // The timestamp call is reset: the same.
  server()->Stop();
  faults_ = testing::ServerFaults();
  faults_.reset_after_calls = 0;
  StartServer();
  BindLibrary(u"SYS1", "JOE");
  client_.system(joe_).has_timestamps = false;
  EXPECT_EQ(1u, Query(joe_, &denied));
  (void)shown();
  EXPECT_FALSE(Holds(Names(UserPath(u"JOE")), u"##UserTS"));

  // The timestamp call stalls: ended by the read time-out as well.
  server()->Stop();
  faults_ = testing::ServerFaults();
  faults_.stall_after_calls = 0;
  StartServer();
  BindLibrary(u"SYS1", "JOE");
  client_.system(joe_).has_timestamps = false;
  EXPECT_EQ(1u, Query(joe_, &denied));
  text = shown();
  EXPECT_NE(std::string::npos, text.find("timed out")) << text;
  EXPECT_FALSE(Holds(Names(UserPath(u"JOE")), u"##UserTS"));

  // The host dies in the middle of the usage list, once it has answered its
  // first part: the closed connection ends the query, not a time-out (the
  // read time-out is longer than the test command lets a test run).
  server()->Stop();
  faults_.stall_after_calls = 1;
  read_timeout_ms_ = 600000;
  StartServer();
  BindLibrary(u"SYS1", "JOE");
  client_.system(joe_).has_timestamps = true;
  std::thread host_dies([this] {
    while (server()->calls_answered() < 1) std::this_thread::yield();
    server()->Stop();
  });
  EXPECT_EQ(1u, Query(joe_, &denied));
  host_dies.join();
  text = shown();
  EXPECT_EQ(std::string::npos, text.find("timed out")) << text;
  EXPECT_FALSE(denied);
  EXPECT_FALSE(Holds(Names(UserPath(u"JOE")), u"##UserTS"));

  // The host is back.
  read_timeout_ms_ = 300;
  server()->Stop();
  faults_ = testing::ServerFaults();
  StartServer();
  BindLibrary(u"SYS1", "JOE");
  ASSERT_EQ(0u, Query(joe_, &denied));
  ASSERT_TRUE(denied);
  EXPECT_EQ(1u, denied->count(u"F300"));
  EXPECT_TRUE(Holds(Names(UserPath(u"JOE")), u"##UserTS"));
}

TEST_F(HostValueLoadTest, NothingDeniedOrNoListStillCompletesTheLoad) {
  AddProfile("ANN");
  SystemHandle ann = SignedOn(u"ANN");
  // No functions at all: no list comes back, no hierarchy is built.
  std::unique_ptr<DeniedSet> denied;
  ASSERT_EQ(0u, Query(ann, &denied));
  EXPECT_FALSE(denied);
  EXPECT_EQ(0u, server()->calls_of("KLIB/KRFNLST"));
  EXPECT_EQ((std::vector<std::u16string>{u"##UserTS"}), Names(UserPath(u"ANN")));

  // Functions, none denied: the user key holds no function value.
  AddProduct();
  ResetRegistryCacheForTesting();
  ASSERT_EQ(0u, Query(joe_, &denied));
  EXPECT_FALSE(denied);
  EXPECT_EQ((std::vector<std::u16string>{u"##UserTS"}), Names(UserPath(u"JOE")));
}

TEST_F(HostValueLoadTest, ALoadKeepsTwoOtherUsersAndAFailedConnectIsNotUndone) {
  AddProduct();
  std::vector<SystemHandle> users;
  for (const char* u : {"U1", "U2", "U3", "U4"}) {
    AddProfile(u);
    Deny(u, "A");
    users.push_back(SignedOn(std::u16string(u, u + 2)));
  }
  std::unique_ptr<DeniedSet> denied;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(0u, Query(users[i], &denied));
  EXPECT_EQ((std::vector<std::u16string>{u"Hierarchy", u"U1", u"U2", u"U3"}),
            Names(std::u16string(kHostValsKey) + u"\\SYS1", true));

  client_.connect_result = kClientCommunication;
  int disconnects = client_.disconnects;
  ASSERT_EQ(0u, Query(users[3], &denied));
  ASSERT_TRUE(denied);
  EXPECT_EQ((DeniedSet{u"A"}), *denied);
  EXPECT_EQ(disconnects, client_.disconnects);
  EXPECT_TRUE(HasRecord("CRegistryCache::getTarvoAIValues -> zvtCO_Connect failed"));
  EXPECT_EQ((std::vector<std::u16string>{u"Hierarchy", u"U1", u"U2", u"U4"}),
            Names(std::u16string(kHostValsKey) + u"\\SYS1", true));
}

}  // namespace
}  // namespace zvt
