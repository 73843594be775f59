// What a user pays for an answer in a fresh process: bench/ask.c, a C
// program that loads the library, asks one admin value by system name and
// exits, with the cache current (no program call to the host beyond the
// system object's sign-on). Each run includes process start, loading the
// libraries, sign-on to the host over loopback, opening the stores, the
// checks of the keys opened (1,500 denied values in the user key) and the
// answer.
// Set against, in the same run: the sqlite3 command-line program reading
// every value row of the same cache file (P2's floor); the same C program
// with a platform library built to read rows without checking them
// (bench/unchecked, put first on the loader's path), for the cost of the
// checks; a C process that starts and exits; and one that only loads the
// shared libraries the client library needs besides its own.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bench/client_stores.h"
#include "hostd/host_server.h"
#include "hostd/host_store.h"
#include "pgm/wire.h"
#include "testing/temp_dir.h"

extern char** environ;

namespace {

constexpr int kGroups = 20;
constexpr int kItemsPerGroup = 100;  // 2,000 functions, 1,500 of them denied to BENCH
constexpr char kSystem[] = "BENCHSYS";

// Runs `args` as a process with the loader path `library_path`; its exit
// status (a client's is 10 + the answer, or 1 when the call failed).
int Spawn(const std::vector<std::string>& args, const std::string& library_path,
          bool quiet = false) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> env_storage;
  for (char** e = environ; *e != nullptr; ++e)
    if (std::strncmp(*e, "LD_LIBRARY_PATH=", 16) != 0) env_storage.emplace_back(*e);
  if (!library_path.empty()) env_storage.push_back("LD_LIBRARY_PATH=" + library_path);
  std::vector<char*> envp;
  for (std::string& e : env_storage) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (quiet) posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A host with `groups` groups of `items` functions under one root, the
// first `denied` of each group's items denied to BENCH, and the client
// configured for it with a cache made current by a first query.
struct Setting {
  Setting(int groups, int items, int denied, zvt::hostd::HashStrength strength) {
    std::string message;
    auto store = zvt::bench::OpenClientStores(dir, &message);
    if (!store || !store->SetPassword("BENCH", zvt::bench::kBenchPassword, strength, &message)) {
      error = message;
      return;
    }
    // In one import rather than a transaction per function: the export
    // (the profile BENCH with its hash) with the functions and usage added.
    std::string json;
    if (!store->ExportJson(&json, &message)) {
      error = message;
      return;
    }
    nlohmann::json image = nlohmann::json::parse(json);
    auto add = [&](const std::string& id, const std::string& type, const std::string& parent) {
      image["functions"].push_back({{"id", id},
                                    {"type", type},
                                    {"category", "2"},
                                    {"root", "ROOT"},
                                    {"parent", parent},
                                    {"name", id}});
    };
    add("ROOT", "1", "*NONE");
    for (int g = 0; g < groups; ++g) {
      const std::string group = "GROUP" + std::to_string(g);
      add(group, "2", "ROOT");
      for (int i = 0; i < items; ++i) {
        const std::string item = group + "_" + std::to_string(i);
        add(item, "3", group);
        if (i < denied)
          image["usage"].push_back({{"profile", "BENCH"}, {"function", item}, {"usage", "1"}});
      }
    }
    const bool ok = store->ImportJson(image.dump(), /*replace=*/true, &message);
    store.reset();
    if (!ok) {
      error = message;
      return;
    }
    zvt::hostd::ServerOptions options;
    options.allow_fast_hashes = true;  // the test profiles' hashes are fast
    options.store_path = dir.File("host.db");
    if (!zvt::bench::ServeTls(dir, &options)) {
      error = "no certificate";
      return;
    }
    ca = options.tls_certificate;
    server = std::make_unique<zvt::hostd::HostServer>(options);
    if (!server->Start(&message)) {
      error = message;
      return;
    }
    if (!zvt::bench::ConfigureSystem(kSystem, std::to_string(server->port()),
                                     options.tls_certificate)) {
      error = "zvtadm system add failed";
      return;
    }
    // The first process loads the cache from the host (and signs on with
    // the password, keeping a token); later ones find it current.
    if (Ask("") != 11) error = "the first query did not answer denied";
  }
  // The client's files are this setting's.
  void UseEnvironment() {
    setenv("ZVT_HOME", dir.File("home").c_str(), 1);
    setenv("ZVT_CLASSES_DB", dir.File("classes.db").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", dir.File("run").c_str(), 1);
  }
  int Ask(const std::string& library_path) {
    UseEnvironment();
    return Spawn({std::string(ZVT_BIN_DIR) + "/zvt_ask",
                  std::string(ZVT_LIB_DIR) + "/libzvtappad.so.0", kSystem, "GROUP7_42"},
                 library_path);
  }

  zvt::testing::TempDir dir;
  std::string ca;
  std::unique_ptr<zvt::hostd::HostServer> server;
  std::string error;
};

// 2,000 functions, 1,500 of them denied to BENCH, a fast password hash.
Setting& TheSetting() {
  static Setting* setting = new Setting(20, 100, 75, zvt::hostd::HashStrength::kFast);
  return *setting;
}

void BM_FreshProcessAnswer(benchmark::State& state) {
  Setting& s = TheSetting();
  if (!s.error.empty()) {
    state.SkipWithError(s.error.c_str());
    return;
  }
  const std::string library_path = state.range(0) == 0 ? "" : ZVT_UNCHECKED_DIR;
  for (auto _ : state) {
    if (s.Ask(library_path) != 11) {
      state.SkipWithError("a client did not answer denied");
      return;
    }
  }
  state.SetLabel(state.range(0) == 0 ? "rows checked" : "rows not checked");
}
BENCHMARK(BM_FreshProcessAnswer)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(1.0)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// P2's floor: the sqlite3 program opening the same cache file and reading
// every value row of it, its output thrown away.
void BM_SqliteCliReadsTheSameRows(benchmark::State& state) {
  Setting& s = TheSetting();
  if (!s.error.empty()) {
    state.SkipWithError(s.error.c_str());
    return;
  }
  const std::string sqlite3 = "/usr/bin/sqlite3", cache = s.dir.File("home/cache.db");
  for (auto _ : state) {
    if (Spawn({sqlite3, "-readonly", cache, "SELECT key, name, type, data FROM vals"}, "",
              /*quiet=*/true) != 0) {
      state.SkipWithError("sqlite3 failed");
      return;
    }
  }
}
BENCHMARK(BM_SqliteCliReadsTheSameRows)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(1.0)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// P2 in turns: a fresh process answering from a current cache against its
// floor, the sqlite3 program reading every value row of the same cache file
// plus a bare C program that completes a TLS 1.3 handshake with the same
// host (verifying its certificate) and makes one request-reply exchange
// (zvt_tls_exchange; a Hello and its answer). Each of kRounds rounds runs
// the three one after another; the figure is the median of the rounds'
// ratios. Arg 0: 1,500 denied functions, the profile's password with the
// fast hash; 1: the same with the strong hash production profiles get (the
// client signs on with its token); 2: 100,000 denied, strong hash.
void BM_FreshProcessVsFloorInTurns(benchmark::State& state) {
  static Setting* strong = nullptr;
  static Setting* large = nullptr;
  Setting* s = &TheSetting();
  if (state.range(0) == 1) {
    if (strong == nullptr)
      strong = new Setting(20, 100, 75, zvt::hostd::HashStrength::kInteractive);
    s = strong;
  } else if (state.range(0) == 2) {
    if (large == nullptr)
      large = new Setting(100, 1000, 1000, zvt::hostd::HashStrength::kInteractive);
    s = large;
  }
  if (!s->error.empty()) {
    state.SkipWithError(s->error.c_str());
    return;
  }
  std::string hello_hex;
  for (unsigned char c : zvt::wire::EncodeFrame(zvt::wire::FrameType::kHello,
                                                zvt::wire::Encode(zvt::wire::Hello{}))) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", c);
    hello_hex += two;
  }
  const std::string port = std::to_string(s->server->port());
  const std::string cache = s->dir.File("home/cache.db");
  constexpr int kRounds = 15;
  using Clock = std::chrono::steady_clock;
  auto ms = [](Clock::time_point from) {
    return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
  };
  std::vector<double> ratios, asks, sqls, tlss;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      auto t = Clock::now();
      if (s->Ask("") != 11) {
        state.SkipWithError("a client did not answer denied");
        return;
      }
      const double ask = ms(t);
      t = Clock::now();
      if (Spawn({"/usr/bin/sqlite3", "-readonly", cache, "SELECT key, name, type, data FROM vals"},
                "", /*quiet=*/true) != 0) {
        state.SkipWithError("sqlite3 failed");
        return;
      }
      const double sql = ms(t);
      t = Clock::now();
      if (Spawn(
              {std::string(ZVT_BIN_DIR) + "/zvt_tls_exchange", "127.0.0.1", port, s->ca, hello_hex},
              "") != 0) {
        state.SkipWithError("the TLS exchange failed");
        return;
      }
      const double tls = ms(t);
      asks.push_back(ask);
      sqls.push_back(sql);
      tlss.push_back(tls);
      ratios.push_back(ask / (sql + tls));
    }
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : (v[(v.size() - 1) / 2] + v[v.size() / 2]) / 2;
  };
  state.counters["vs_floor"] = median(ratios);
  state.counters["fresh_process_ms"] = median(asks);
  state.counters["sqlite3_ms"] = median(sqls);
  state.counters["tls_exchange_ms"] = median(tlss);
  static const char* kLabels[] = {"1,500 denied, fast hash", "1,500 denied, strong hash (token)",
                                  "100,000 denied, strong hash (token)"};
  state.SetLabel(kLabels[state.range(0)]);
}
BENCHMARK(BM_FreshProcessVsFloorInTurns)
    ->DenseRange(0, 2)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// A C process that starts and exits, linked to the C library alone.
void BM_BareProcess(benchmark::State& state) {
  for (auto _ : state) {
    if (Spawn({std::string(ZVT_BIN_DIR) + "/zvt_load_only"}, "") != 0)
      state.SkipWithError("no process");
  }
}
BENCHMARK(BM_BareProcess)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

// The same process loading what libzvtappad and libzvtclient need and any
// client speaking TLS from C++ would load too: the C++ runtime, OpenSSL
// and SQLite, bound at once as zvt_ask binds the library.
void BM_ProcessLoadingTheDependencies(benchmark::State& state) {
  for (auto _ : state) {
    if (Spawn({std::string(ZVT_BIN_DIR) + "/zvt_load_only", "libstdc++.so.6", "libsqlite3.so.0",
               "libcrypto.so.3", "libssl.so.3"},
              "") != 0) {
      state.SkipWithError("a library could not be loaded");
      return;
    }
  }
}
BENCHMARK(BM_ProcessLoadingTheDependencies)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(1.0)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
