// Client processes of the library under faults: killed at random instants
// in the middle of a refresh, and started all at once on a stale cache.
// Each client is an admin_query process against an in-process host server.
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/admin_client.h"
#include "tests/client_process_fixture.h"

namespace zvt {
namespace {

using testing::Client;

class ReliabilityTest : public testing::ClientProcessTest {
 protected:
  // A and B are denied to JOE; the tests toggle C.
  void SetUp() override {
    faults_.call_delay_ms = 3;  // a refresh takes long enough to be cut into
    SetUpHost({"A", "B"});
  }
  // What the host says of JOE for each function asked.
  static std::map<std::string, int> Truth(bool c_denied) {
    return {{"A", 1}, {"B", 1}, {"G2", 1}, {"C", c_denied}, {"G1", c_denied}, {"D", 0}};
  }
  std::string IntegrityOfStore() {
    sqlite3* db = nullptr;
    std::string result = "cannot open";
    if (sqlite3_open_v2(dir_.File("home/registry.db").c_str(), &db, SQLITE_OPEN_READONLY,
                        nullptr) == SQLITE_OK) {
      sqlite3_stmt* st = nullptr;
      if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr) == SQLITE_OK &&
          sqlite3_step(st) == SQLITE_ROW)
        result = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
      sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return result;
  }
};

int Trials(int short_run, int long_run) {
  const char* long_tests = std::getenv("ZVT_LONG_TESTS");
  return long_tests != nullptr && *long_tests == '1' ? long_run : short_run;
}

// A refresh killed at any instant leaves a sound store, the next process
// gets the host's true answer, and no denied function is ever answered as
// allowed.
TEST_F(ReliabilityTest, ARefreshKilledAtAnyInstantNeverFailsOpen) {
  const int trials = Trials(50, 500);
  std::mt19937 random(20261207);
  std::uniform_int_distribution<int> delay_us(0, 30000);
  int fail_open = 0, wrong = 0, unhealthy = 0, killed_answers = 0, cut = 0;
  for (int t = 0; t < trials; ++t) {
    const bool c_denied = t % 2 == 1;
    Usage("C", c_denied ? "1" : "2");  // the cache is stale for every trial
    const uint64_t before = server()->calls_of("KLIB/KRUSRFN");
    {
      Client victim("HOSTA");
      victim.Send("v C");
      std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random)));
      victim.Kill();
    }
    const uint64_t after_victim = server()->calls_of("KLIB/KRUSRFN");
    if (IntegrityOfStore() != "ok") ++unhealthy;
    Client next("HOSTA");
    for (const auto& [function, truth] : Truth(c_denied)) {
      int answer = next.Value(function);
      if (answer < 0) ++killed_answers;
      if (answer != truth) ++wrong;
      if (truth == 1 && answer == 0) ++fail_open;
    }
    // The victim had the usage list but its result was not kept.
    if (after_victim > before && server()->calls_of("KLIB/KRUSRFN") > after_victim) ++cut;
  }
  std::printf("%d trials, %d refreshes cut after the usage list arrived\n", trials, cut);
  EXPECT_EQ(0, unhealthy) << "of " << trials << " trials";
  EXPECT_EQ(0, fail_open) << "of " << trials << " trials";
  EXPECT_EQ(0, wrong) << "of " << trials << " trials";
  EXPECT_EQ(0, killed_answers);
  RecordProperty("trials", trials);
  RecordProperty("cut_refreshes", cut);
}

// Sixteen processes that start together on a stale cache: one reloads, the
// others wait for it and answer from the store.
TEST_F(ReliabilityTest, AStampedeOnAStaleCacheMakesOneReload) {
  {
    Client first("HOSTA");
    ASSERT_EQ(0, first.Value("C"));
  }
  Usage("C", "1");
  const uint64_t reloads = server()->calls_of("KLIB/KRUSRFN");
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 16; ++i) clients.push_back(std::make_unique<Client>("HOSTA"));
  for (auto& c : clients) ASSERT_TRUE(c->Send("v C"));
  for (auto& c : clients) EXPECT_EQ(1, c->Receive());
  EXPECT_EQ(reloads + 1, server()->calls_of("KLIB/KRUSRFN"));
}

// Eight processes of eight threads ask for values and cache states while the
// host's usage settings change under them: every call succeeds, and every
// answer is one the host gave at some moment (A is always denied, D never).
TEST_F(ReliabilityTest, ProcessesAndThreadsAskWhileTheHostChanges) {
  const int millis = Trials(10000, 60000);
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 8; ++i) {
    clients.push_back(std::make_unique<Client>("HOSTA"));
    ASSERT_TRUE(clients.back()->Send("h 8 " + std::to_string(millis) + " A C G1 D"));
  }
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(millis);
  for (bool denied = true; std::chrono::steady_clock::now() < end; denied = !denied) {
    Usage("C", denied ? "1" : "2");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  uint64_t answers = 0;
  for (auto& c : clients) {
    std::istringstream line(c->ReceiveLine());
    uint64_t errors = 99;
    line >> errors;
    EXPECT_EQ(0u, errors);
    std::map<std::string, std::pair<uint64_t, uint64_t>> counts;
    std::string f;
    uint64_t allowed = 0, denied = 0;
    while (line >> f >> allowed >> denied) {
      counts[f] = {allowed, denied};
      answers += allowed + denied;
    }
    ASSERT_EQ(4u, counts.size());
    EXPECT_EQ(0u, counts["A"].first) << "A answered as allowed";
    EXPECT_EQ(0u, counts["D"].second) << "D answered as denied";
  }
  EXPECT_GT(answers, 0u);
  std::printf("%llu answers from 64 threads in %d ms\n", static_cast<unsigned long long>(answers),
              millis);
}

}  // namespace
}  // namespace zvt
