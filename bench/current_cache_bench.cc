// A fresh process whose cache is current: it opens the store, checks the
// three stored timestamps against the ones the system object supplies and
// reads the user's denied functions, with no program call to the host. Set
// against the floor of the same work: a fresh SQLite connection reading the
// same rows (the key path, the three timestamps, the user key's values) by
// prepared statements.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

#include "bench/bench_host.h"
#include "cache/registry_cache.h"
#include "cache/registry_layout.h"
#include "hierarchy/client_functions.h"
#include "platform/name_fold.h"
#include "platform/registry_store.h"

namespace {

using namespace zvt;
using bench::HostedUser;

std::string FoldBytes(std::u16string_view name) {
  std::u16string folded = platform::FoldName(name);
  std::string bytes;
  for (char16_t c : folded) {
    bytes.push_back(static_cast<char>(c >> 8));
    bytes.push_back(static_cast<char>(c & 0xFF));
  }
  return bytes;
}

// Loads BENCH's denied functions once through the host, then makes the
// system object supply the host's timestamps, so that later queries find
// the cache current without asking the host.
// On failure the benchmark is skipped with the reason.
bool MakeCacheCurrent(HostedUser* hosted, size_t* denied_count, benchmark::State& state) {
  if (!hosted->ok()) {
    state.SkipWithError(hosted->error().c_str());
    return false;
  }
  ResetClientFunctionListsForTesting();
  std::unique_ptr<DeniedSet> denied;
  std::u16string user = u"BENCH";
  if (CRegistryCache::getUserValues(hosted->handle(), u"SYS1", user, &denied) != 0 || !denied) {
    state.SkipWithError("the first load failed");
    return false;
  }
  *denied_count = denied->size();
  Timestamp rep{}, hier{};
  auto user_ts = std::make_unique<Timestamp>();
  if (CRegistryCache::getCacheTS(u"SYS1", u"BENCH", &rep, &hier, &user_ts, true) != 0 || !user_ts) {
    state.SkipWithError("no stored timestamps");
    return false;
  }
  testing::FakeSystem& system = hosted->system();
  system.has_timestamps = true;
  // The store keeps the host's byte order; a system object hands them over
  // with the first two bytes exchanged.
  system.user_ts = ExchangeFirstBytes(*user_ts);
  system.rep_ts = ExchangeFirstBytes(rep);
  system.hier_ts = ExchangeFirstBytes(hier);
  ResetRegistryCacheForTesting();
  return true;
}

void BM_CurrentCacheQuery(benchmark::State& state) {
  HostedUser hosted(static_cast<int>(state.range(0)));
  size_t expected = 0;
  if (!MakeCacheCurrent(&hosted, &expected, state)) return;
  const uint64_t calls_before = hosted.server().calls_answered();
  for (auto _ : state) {
    // What a new process has: its own connection to the store, no open keys.
    platform::PosixRegistry fresh(hosted.paths());
    hosted.Bind(&fresh);
    std::unique_ptr<DeniedSet> denied;
    std::u16string user = u"BENCH";
    if (CRegistryCache::getUserValues(hosted.handle(), u"SYS1", user, &denied) != 0 || !denied ||
        denied->size() != expected)
      state.SkipWithError("the cached answer is not the loaded one");
    benchmark::DoNotOptimize(denied);
    ResetRegistryCacheForTesting();
    hosted.Bind(&hosted.registry());
  }
  const uint64_t host_calls = hosted.server().calls_answered() - calls_before;
  if (host_calls != 0) state.SkipWithError("a current cache made a host call");
  state.counters["host_calls"] = static_cast<double>(host_calls);
  state.counters["denied"] = static_cast<double>(expected);
}

// The floor: the same rows read on a fresh connection with statements
// prepared for the purpose and nothing checked or decoded.
void BM_RawSqliteReadsOfTheSameRows(benchmark::State& state) {
  HostedUser hosted(static_cast<int>(state.range(0)));
  size_t expected = 0;
  if (!MakeCacheCurrent(&hosted, &expected, state)) return;
  // The cache's keys are a hive of their own: the system key is a child of
  // its root.
  const std::vector<std::string> path_folds = {FoldBytes(u"SYS1")};
  const std::string user_fold = FoldBytes(u"BENCH");
  const std::string ts_folds[] = {FoldBytes(kRepTsValue), FoldBytes(kHierTsValue),
                                  FoldBytes(kUserTsValue)};

  size_t rows = 0;
  for (auto _ : state) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(hosted.registry().paths().cache_store.c_str(), &db, SQLITE_OPEN_READWRITE,
                        nullptr) != SQLITE_OK) {
      state.SkipWithError("cannot open the store");
      sqlite3_close(db);
      break;
    }
    sqlite3_stmt* key_st = nullptr;
    sqlite3_stmt* val_st = nullptr;
    sqlite3_stmt* all_st = nullptr;
    sqlite3_prepare_v2(db, "SELECT id FROM keys WHERE parent = ?1 AND fold = ?2", -1, &key_st,
                       nullptr);
    sqlite3_prepare_v2(db, "SELECT data FROM vals WHERE key = ?1 AND fold = ?2", -1, &val_st,
                       nullptr);
    sqlite3_prepare_v2(db, "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY id", -1,
                       &all_st, nullptr);
    auto child = [&](sqlite3_int64 parent, const std::string& fold) -> sqlite3_int64 {
      sqlite3_reset(key_st);
      sqlite3_bind_int64(key_st, 1, parent);
      sqlite3_bind_blob(key_st, 2, fold.data(), static_cast<int>(fold.size()), SQLITE_STATIC);
      return sqlite3_step(key_st) == SQLITE_ROW ? sqlite3_column_int64(key_st, 0) : -1;
    };
    std::string timestamps;
    auto value = [&](sqlite3_int64 key, const std::string& fold) {
      sqlite3_reset(val_st);
      sqlite3_bind_int64(val_st, 1, key);
      sqlite3_bind_blob(val_st, 2, fold.data(), static_cast<int>(fold.size()), SQLITE_STATIC);
      if (sqlite3_step(val_st) == SQLITE_ROW)
        timestamps.append(static_cast<const char*>(sqlite3_column_blob(val_st, 0)),
                          sqlite3_column_bytes(val_st, 0));
    };
    sqlite3_int64 system_key = platform::kRootKeyId;
    for (const std::string& fold : path_folds) system_key = child(system_key, fold);
    value(system_key, ts_folds[0]);
    value(system_key, ts_folds[1]);
    const sqlite3_int64 user_key = child(system_key, user_fold);
    value(user_key, ts_folds[2]);
    std::vector<std::string> names;
    sqlite3_bind_int64(all_st, 1, user_key);
    while (sqlite3_step(all_st) == SQLITE_ROW) {
      names.emplace_back(static_cast<const char*>(sqlite3_column_blob(all_st, 0)),
                         sqlite3_column_bytes(all_st, 0));
      benchmark::DoNotOptimize(sqlite3_column_blob(all_st, 2));
    }
    rows = names.size();
    sqlite3_finalize(key_st);
    sqlite3_finalize(val_st);
    sqlite3_finalize(all_st);
    sqlite3_close(db);
    if (timestamps.size() != 24) state.SkipWithError("the timestamp rows are missing");
  }
  state.counters["rows"] = static_cast<double>(rows);
  state.counters["denied"] = static_cast<double>(expected);
}

BENCHMARK(BM_CurrentCacheQuery)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RawSqliteReadsOfTheSameRows)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
