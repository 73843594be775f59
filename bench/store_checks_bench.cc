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

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/client_stores.h"
#include "hostd/host_server.h"
#include "hostd/host_store.h"
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

struct Setting {
  Setting() {
    std::string message;
    auto store = zvt::bench::OpenClientStores(dir, &message);
    if (!store) {
      error = message;
      return;
    }
    auto add = [&](const std::string& id, const std::string& type, const std::string& parent) {
      return store->AddFunction(zvt::bench::BenchFunction(id, type, "ROOT", parent), &message);
    };
    bool ok = add("ROOT", "1", "*NONE");
    for (int g = 0; ok && g < kGroups; ++g) {
      std::string group = "GROUP" + std::to_string(g);
      ok = add(group, "2", "ROOT");
      for (int i = 0; ok && i < kItemsPerGroup; ++i) {
        std::string item = group + "_" + std::to_string(i);
        ok = add(item, "3", group) &&
             (i >= kItemsPerGroup * 3 / 4 || store->SetUsage("BENCH", item, "1", &message));
      }
    }
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
    // The first process loads the cache from the host; later ones find it current.
    if (Ask("") != 11) error = "the first query did not answer denied";
  }
  int Ask(const std::string& library_path) {
    return Spawn({std::string(ZVT_BIN_DIR) + "/zvt_ask",
                  std::string(ZVT_LIB_DIR) + "/libzvtappad.so.0", kSystem, "GROUP7_42"},
                 library_path);
  }

  zvt::testing::TempDir dir;
  std::unique_ptr<zvt::hostd::HostServer> server;
  std::string error;
};

Setting& TheSetting() {
  static Setting* setting = new Setting;
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
