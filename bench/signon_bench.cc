// What a sign-on costs, with the password hash production profiles get
// (Argon2id at libsodium's interactive parameters).
//
// A fresh client process (bench/ask.c: loads libzvtappad, asks one admin
// value by system name from a current cache, which signs on to zvthostd
// over TLS on loopback and reads the change timestamps) signing on with
// the sign-on token kept from an earlier run, against the same process
// with no token kept, which signs on with the password. Each figure
// includes process start, loading the libraries, the TLS handshake, the
// sign-on and the answer; "host_cpu_ms" is the host server's CPU (user and
// system, all its threads) per sign-on. The reference in the same run: one
// bare libsodium verification of the same hash.
//
// A sign-on from one network beside a flood of sign-ons from two others.
//
// Then the time of a refused sign-on over the wire, in a store whose first
// profile has a fast hash: a name the host does not know against a wrong
// password for a profile with the strong hash. They should be alike: an
// unknown name is checked against a hash of new profiles' parameters.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sodium.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/client_stores.h"
#include "hostd/host_server.h"
#include "hostd/host_store.h"
#include "hostd/server_log.h"
#include "testing/temp_dir.h"
#include "testing/wire_client.h"

extern char** environ;

namespace {

constexpr char kSystem[] = "BENCHSYS";

int Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double CpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
         (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

struct Setting {
  Setting() {
    zvt::hostd::SetLogLevel(zvt::hostd::LogLevel::kError);  // refusals are the point here
    std::string message;
    auto store = zvt::bench::OpenClientStores(dir, &message);
    if (!store ||
        !store->SetPassword("BENCH", zvt::bench::kBenchPassword,
                            zvt::hostd::HashStrength::kInteractive, &message) ||
        // The first row of the profiles has a fast hash.
        !store->AddProfile("AAFAST", "fast", zvt::hostd::HashStrength::kFast, &message) ||
        !store->AddFunction(zvt::bench::BenchFunction("ROOT", "1", "ROOT", "*NONE"), &message) ||
        !store->AddFunction(zvt::bench::BenchFunction("ITEM", "3", "ROOT", "ROOT"), &message) ||
        !store->SetUsage("BENCH", "ITEM", "1", &message)) {
      error = message;
      return;
    }
    store.reset();
    zvt::hostd::ServerOptions options;
    options.store_path = dir.File("host.db");
    // Refused sign-ons are timed below, many in a row: no lockout.
    options.signon_failures_allowed = 1 << 30;
    if (!zvt::bench::ServeTls(dir, &options)) {
      error = "no certificate";
      return;
    }
    server = std::make_unique<zvt::hostd::HostServer>(options);
    if (!server->Start(&message) ||
        !zvt::bench::ConfigureSystem(kSystem, std::to_string(server->port()),
                                     options.tls_certificate)) {
      error = message.empty() ? "zvtadm system add failed" : message;
      return;
    }
    token_file =
        dir.File("home") + "/signon-tokens/127.0.0.1_" + std::to_string(server->port()) + "_bench";
    if (Ask() != 11) error = "the first query did not answer denied";
  }
  int Ask() {
    return Spawn({std::string(ZVT_BIN_DIR) + "/zvt_ask",
                  std::string(ZVT_LIB_DIR) + "/libzvtappad.so.0", kSystem, "ITEM"});
  }

  zvt::testing::TempDir dir;
  std::unique_ptr<zvt::hostd::HostServer> server;
  std::string token_file;
  std::string error;
};

Setting& TheSetting() {
  static Setting* setting = new Setting;
  return *setting;
}

// Arg 1: with the token kept; 0: the token file removed before each run.
void BM_FreshProcessSignOn(benchmark::State& state) {
  Setting& s = TheSetting();
  if (!s.error.empty()) return state.SkipWithError(s.error.c_str());
  const bool token = state.range(0) == 1;
  double host_ms = 0;
  for (auto _ : state) {
    if (!token) {
      state.PauseTiming();
      std::remove(s.token_file.c_str());
      state.ResumeTiming();
    }
    const double before = CpuMs();
    if (s.Ask() != 11) return state.SkipWithError("a client did not answer denied");
    host_ms += CpuMs() - before;
  }
  state.counters["host_cpu_ms"] =
      benchmark::Counter(host_ms / static_cast<double>(state.iterations()));
  state.SetLabel(token ? "by token" : "by password");
}
BENCHMARK(BM_FreshProcessSignOn)
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

// The reference: one verification of a hash of the same parameters.
void BM_BareArgon2idVerify(benchmark::State& state) {
  if (sodium_init() < 0) return state.SkipWithError("no libsodium");
  char hash[crypto_pwhash_STRBYTES];
  const std::string password = zvt::bench::kBenchPassword;
  if (crypto_pwhash_str(hash, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                        crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
    return state.SkipWithError("out of memory");
  for (auto _ : state)
    benchmark::DoNotOptimize(crypto_pwhash_str_verify(hash, password.data(), password.size()));
}
BENCHMARK(BM_BareArgon2idVerify)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

// A refused sign-on over plaintext loopback (a second server without TLS on
// the same store): Arg 0 an unknown name, Arg 1 a wrong password for the
// strong-hash profile.
void BM_RefusedSignOn(benchmark::State& state) {
  Setting& s = TheSetting();
  if (!s.error.empty()) return state.SkipWithError(s.error.c_str());
  static zvt::hostd::HostServer* plain = [&] {
    zvt::hostd::ServerOptions options;
    options.store_path = s.dir.File("host.db");
    options.signon_failures_allowed = 1 << 30;
    auto* server = new zvt::hostd::HostServer(options);
    std::string error;
    return server->Start(&error) ? server : nullptr;
  }();
  if (plain == nullptr) return state.SkipWithError("no plaintext server");
  const bool unknown = state.range(0) == 0;
  int i = 0;
  for (auto _ : state) {
    zvt::testing::WireClient c(plain->port());
    zvt::wire::SignonReply reply;
    const std::string guess = "guess" + std::to_string(i++);
    if (!c.SignOn(unknown ? "NOBODY" + std::to_string(i % 1000) : "BENCH", guess, "", &reply) ||
        reply.ok)
      return state.SkipWithError("the sign-on was not refused");
  }
  state.SetLabel(unknown ? "unknown name" : "wrong password, strong hash");
}
BENCHMARK(BM_RefusedSignOn)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(50)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

// A sign-on from one network while 64 connections from two other networks
// (127.0.0.2 and 127.0.0.3, loopback counted as any network) sign on in a
// loop, all with the strong hash, over plaintext loopback: Arg 1 with the
// flood, Arg 0 without. Each flooding connection signs on, and on being
// answered (signed on, or busy) starts again on a new connection.
void BM_SignOnBesideAFlood(benchmark::State& state) {
  Setting& s = TheSetting();
  if (!s.error.empty()) return state.SkipWithError(s.error.c_str());
  zvt::hostd::ServerOptions options;
  options.store_path = s.dir.File("host.db");
  options.limit_loopback = true;
  zvt::hostd::HostServer server(options);
  std::string error;
  if (!server.Start(&error)) return state.SkipWithError(error.c_str());
  // The flood runs in a child process at the lowest priority: attackers
  // are on machines of their own, and their CPU is not the server's.
  pid_t flood = -1;
  if (state.range(0) == 1) {
    flood = fork();
    if (flood == 0) {
      (void)!nice(19);
      std::vector<std::thread> threads;
      for (int i = 0; i < 64; ++i) {
        threads.emplace_back(
            [port = server.port(), source = i % 2 == 0 ? "127.0.0.2" : "127.0.0.3"] {
              for (;;) {
                zvt::testing::WireClient c(port, source);
                zvt::wire::SignonReply reply;
                (void)c.SignOn("BENCH", zvt::bench::kBenchPassword, "", &reply);
              }
            });
      }
      for (std::thread& t : threads) t.join();
      _exit(0);
    }
    // Under way before the timing starts: the sign-on workers busy.
    const uint64_t accepted = server.connections_accepted();
    while (server.connections_accepted() < accepted + 64) std::this_thread::yield();
  }
  const uint64_t accepted_before = server.connections_accepted();
  for (auto _ : state) {
    zvt::testing::WireClient c(server.port(), "127.0.0.4");
    zvt::wire::SignonReply reply;
    if (!c.SignOn("BENCH", zvt::bench::kBenchPassword, "", &reply) || !reply.ok) {
      state.SkipWithError("the sign-on did not pass");
      break;
    }
  }
  const uint64_t flood_connections = server.connections_accepted() - accepted_before;
  if (flood > 0) {
    kill(flood, SIGKILL);
    waitpid(flood, nullptr, 0);
  }
  const double timed = static_cast<double>(state.iterations());
  state.counters["flood_connections_per_signon"] =
      benchmark::Counter((static_cast<double>(flood_connections) - timed) / timed);
  state.SetLabel(state.range(0) == 1 ? "beside 64 flooding connections" : "alone");
}
BENCHMARK(BM_SignOnBesideAFlood)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(10)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
