// A cache store damaged on disk, the way a failing disk or a stray write
// damages it: every page in turn overwritten with random bytes, and single
// bits flipped inside the rows of denied functions. Whatever the damage, a
// new client process never answers "not denied" for a function the host
// denies; a damaged cache file is moved aside once, and the next process
// answers right from the host. The same holds when the damage lies where a
// query from the current cache never looks (the saved hierarchy, the index
// of the user's values) and the host then changes the user's usage, so that
// the next query reloads over it. ZVT_LONG_TESTS=1 runs every page and more
// bit flips.

#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "tests/admin_client.h"
#include "tests/client_process_fixture.h"

namespace zvt {
namespace {

using testing::Client;

constexpr int kGroups = 10;
constexpr int kItemsPerGroup = 105;  // 1,050 denied items, and their groups
constexpr size_t kPageSize = 4096;   // SQLite's default page size

bool LongTests() {
  const char* long_tests = std::getenv("ZVT_LONG_TESTS");
  return long_tests != nullptr && std::string(long_tests) == "1";
}

class StoreDamageTest : public testing::ClientProcessTest {
 protected:
  void SetUp() override {
    for (int g = 0; g < kGroups; ++g) {
      std::string group = "BIG" + std::to_string(g);
      Function(group, "2", "PROD");
      denied_.push_back(group);
      for (int i = 0; i < kItemsPerGroup; ++i) {
        std::string item = group + "_" + std::to_string(i);
        Function(item, "3", group);
        denied_.push_back(item);
      }
    }
    hostd::ServerOptions options;
    options.allow_fast_hashes = true;  // the test profiles' hashes are fast
    options.call_log = dir_.File("calls.log");
    SetUpHost({"A", "B", "C"}, options);
    for (const std::string& f : denied_)
      if (f.find('_') != std::string::npos) Usage(f, "1");
    for (const char* f : {"A", "B", "C", "G1", "G2"}) denied_.push_back(f);
    {
      Client first("HOSTA");
      ASSERT_EQ(1, first.Value("BIG0_0"));
      ASSERT_EQ(0, first.Value("D"));
    }
    // The store as the clients left it, with its journal folded in, so that
    // the damage below is what the next process reads.
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(CacheFile().c_str(), &db));
    ASSERT_EQ(SQLITE_OK,
              sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr));
    // Which table or index each page belongs to.
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(SQLITE_OK,
              sqlite3_prepare_v2(db, "SELECT pageno, name FROM dbstat", -1, &st, nullptr));
    while (sqlite3_step(st) == SQLITE_ROW)
      owners_[static_cast<size_t>(sqlite3_column_int64(st, 0))] =
          reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
    sqlite3_finalize(st);
    sqlite3_close(db);
    std::ifstream in(CacheFile(), std::ios::binary);
    pristine_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    ASSERT_GT(pristine_.size(), 8 * kPageSize);
  }

  std::string CacheFile() { return dir_.File("home/cache.db"); }

  // Puts `bytes` in place of the cache store, with no journal beside it.
  void Install(const std::string& bytes) {
    for (const char* suffix : {"-wal", "-shm"}) std::filesystem::remove(CacheFile() + suffix);
    std::ofstream out(CacheFile(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  int MovedAside() {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.File("home"))) {
      std::string name = entry.path().filename().string();
      n += name.find("cache.db.damaged-") == 0 && name.find("-wal") == std::string::npos;
    }
    return n;
  }

  // Pages (numbered from 1) of the values' table that hold saved hierarchy
  // rows (a child list has commas between the IDs of the BIG groups' items),
  // and every page of the indexes of the values.
  std::vector<size_t> HierarchyAndIndexPages() {
    const std::string comma_item = std::string(",\0B\0I\0G\0", 8);
    std::vector<size_t> pages;
    for (const auto& [page, owner] : owners_) {
      if (owner == "vals") {
        std::string_view bytes(pristine_.data() + (page - 1) * kPageSize, kPageSize);
        if (bytes.find(comma_item) != std::string_view::npos) pages.push_back(page);
      } else if (owner == "vals_order" || owner.find("sqlite_autoindex_vals") == 0) {
        pages.push_back(page);
      }
    }
    return pages;
  }
  // Moves JOE's usage timestamp on the host without changing what is denied.
  void TouchUsage() { Usage("D", (touches_++ % 2) == 0 ? "2" : ""); }
  int FunctionListCalls() {
    std::ifstream in(dir_.File("calls.log"));
    int n = 0;
    for (std::string line; std::getline(in, line);) n += line.find("KRFNLST") != std::string::npos;
    return n;
  }

  // Asks every denied function in a new process: the answers that said
  // "not denied" with return code 0, and those that failed.
  void AskAll(int* not_denied, int* failed) {
    *not_denied = *failed = 0;
    Client client("HOSTA");
    for (const std::string& f : denied_) {
      int v = client.Value(f);
      *not_denied += v == 0;
      *failed += v != 1 && v != 0;
    }
  }

  // One trial: the damaged store in place, a process that must never answer
  // "not denied", at most one file moved aside, then a process that answers
  // every function right.
  void Trial(const std::string& damaged, const std::string& what, bool usage_changed = false) {
    SCOPED_TRACE(what);
    Install(damaged);
    if (usage_changed) TouchUsage();
    int before = MovedAside();
    int not_denied = 0, failed = 0;
    AskAll(&not_denied, &failed);
    EXPECT_EQ(0, not_denied);
    EXPECT_LE(MovedAside() - before, 1);
    ++trials_;
    failed_answers_ += failed;
    moved_ += MovedAside() - before;
    // The recovery left the cache current: the next processes load nothing.
    const int lists = FunctionListCalls();
    AskAll(&not_denied, &failed);
    EXPECT_EQ(0, not_denied);
    EXPECT_EQ(0, failed);
    EXPECT_EQ(lists, FunctionListCalls());
    Client client("HOSTA");
    EXPECT_EQ(0, client.Value("D"));
    EXPECT_EQ(0, client.Value("PROD"));
    EXPECT_EQ(0, client.State());  // current
  }

  void TearDown() override {
    std::printf("%d trials: %d cache files moved aside, %d answers failed, none said not denied\n",
                trials_, moved_, failed_answers_);
  }

  std::vector<std::string> denied_;
  std::string pristine_;
  std::map<size_t, std::string> owners_;  // page number -> table or index
  int touches_ = 0;
  int trials_ = 0, moved_ = 0, failed_answers_ = 0;
};

TEST_F(StoreDamageTest, NoPageOverwrittenWithRandomBytesMakesADeniedFunctionAllowed) {
  const size_t pages = pristine_.size() / kPageSize;
  const size_t step = LongTests() ? 1 : 4;
  std::mt19937 random(20261207);
  for (size_t page = 0; page < pages; page += step) {
    std::string damaged = pristine_;
    for (size_t i = 0; i < kPageSize; ++i)
      damaged[page * kPageSize + i] = static_cast<char>(random() & 0xFF);
    Trial(damaged, "page " + std::to_string(page + 1) + " of " + std::to_string(pages));
  }
}

// Damage that only a reload reads: the saved hierarchy (reused while the
// host's hierarchy is unchanged) and the indexes through which the reload
// deletes and rewrites the user's values. A group denied through all its
// children stays denied, whether the damage is found while the hierarchy is
// read or while the user's values are rewritten and the file moved aside.
TEST_F(StoreDamageTest, DamageMetByAReloadNeverMakesAGroupAllowed) {
  std::vector<size_t> pages = HierarchyAndIndexPages();
  ASSERT_GE(pages.size(), 4u);
  const size_t step = LongTests() ? 1 : 3;
  std::mt19937 random(20261208);
  for (size_t i = 0; i < pages.size(); i += step) {
    const size_t page = pages[i];
    std::string damaged = pristine_;
    for (size_t b = 0; b < kPageSize; ++b)
      damaged[(page - 1) * kPageSize + b] = static_cast<char>(random() & 0xFF);
    Trial(damaged, "page " + std::to_string(page) + " (" + owners_[page] + ")", true);
  }
}

TEST_F(StoreDamageTest, NoBitFlippedInsideAValueRowMakesADeniedFunctionAllowed) {
  std::mt19937 random(7122026);
  const int flips = LongTests() ? 200 : 24;
  for (int n = 0; n < flips; ++n) {
    // A denied function's row: its name as stored (UTF-16), then its folded
    // name, type, data and checksum in the bytes that follow.
    const std::string& id = denied_[random() % denied_.size()];
    std::string name;
    for (char c : id) name += std::string{c, '\0'};
    std::vector<size_t> rows;
    for (size_t at = pristine_.find(name); at != std::string::npos;
         at = pristine_.find(name, at + 1))
      rows.push_back(at);
    if (rows.empty()) continue;  // kept only in an index or overflow page
    size_t row = rows[random() % rows.size()];
    size_t span = name.size() * 2 + 16;
    size_t at = std::min(row + random() % span, pristine_.size() - 1);
    std::string damaged = pristine_;
    damaged[at] = static_cast<char>(damaged[at] ^ (1u << (random() % 8)));
    Trial(damaged, id + ": bit flipped at byte " + std::to_string(at));
  }
}

}  // namespace
}  // namespace zvt
