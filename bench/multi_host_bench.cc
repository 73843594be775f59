// zvthostd over PostgreSQL, as an installation with several servers runs
// it: one and two zvthostd processes over one database (the clients' 64 or
// 1,000 signed-on TLS connections spread over them in turn), against one
// zvthostd over its SQLite file and against the bare C echo server with the
// same request and reply sizes, all in the same run and driven alike (at
// most 64 calls in flight; see load_driver.h). Every call reads the
// database: "KLIB/KRCHGTS" one row of timestamps, "KLIB/KRUSRFN" a page of
// a 20-entry usage list. The PostgreSQL server is the one the test command
// starts ($ZVT_TEST_POSTGRES), on a Unix socket of the same machine, with
// fsync off: what is timed is the servers' and the database's work, not the
// disk's.
#include <benchmark/benchmark.h>

#include <algorithm>

#include "bench/bench_tls.h"
#include "bench/load_driver.h"
#include "testing/temp_dir.h"
#include "testing/test_store.h"

namespace {

using namespace zvt;
using namespace zvt::bench;

// What the clients connect to: the three arrangements of zvthostd, or the
// echo server.
enum Target { kSqlite = 0, kPostgresOne = 1, kPostgresTwo = 2, kEcho = 3 };

struct Setting {
  testing::TempDir dir;
  hostd::testing::TestStore pg{hostd::testing::Backend::kPostgres};
  pid_t sqlite_host = -1, pg_hosts[2] = {-1, -1}, echo = -1;
  int sqlite_port = 0, pg_ports[2] = {0, 0}, echo_port = 0;
  std::shared_ptr<tls::ClientContext> trust;
  std::vector<Peer> peers;
  int peers_of = -1;  // the Target `peers` are connected to
  std::string error;

  pid_t Host(const std::string& store, const std::string& name) {
    return SpawnHost(store, dir.File(name + ".port"), dir.File("host-cert.pem"),
                     dir.File("host-key.pem"));
  }

  Setting() {
    RaiseDescriptorLimit();
    if (!pg.unavailable().empty()) {
      error = pg.unavailable();
      return;
    }
    for (const std::string& location : {dir.File("host.db"), pg.location()}) {
      auto store =
          pg.location() == location ? pg.Open(&error) : hostd::HostStore::Open(location, &error);
      if (!store || !FillStore(store.get(), &error)) return;
    }
    const std::string ca = bench::BenchCertificate(dir);
    trust = tls::LoadClientContext(ca, &error);
    if (!trust) return;
    sqlite_host = Host(dir.File("host.db"), "sqlite");
    pg_hosts[0] = Host(pg.location(), "pg0");
    pg_hosts[1] = Host(pg.location(), "pg1");
    echo = Spawn({ZVT_BIN_DIR "/zvt_echo_server", dir.File("echo.port")});
    sqlite_port = WaitForPort(dir.File("sqlite.port"));
    pg_ports[0] = WaitForPort(dir.File("pg0.port"));
    pg_ports[1] = WaitForPort(dir.File("pg1.port"));
    echo_port = WaitForPort(dir.File("echo.port"));
    if (sqlite_port == 0 || pg_ports[0] == 0 || pg_ports[1] == 0 || echo_port == 0)
      error = "a server did not start";
  }
  ~Setting() {
    peers.clear();
    for (pid_t* p : {&sqlite_host, &pg_hosts[0], &pg_hosts[1], &echo}) Stop(p);
  }

  // `n` connections to what `target` names.
  bool Connect(Target target, size_t n) {
    if (peers_of != target) peers.clear();
    peers_of = target;
    std::function<int(size_t)> port_of;
    switch (target) {
      case kSqlite:
        port_of = [this](size_t) { return sqlite_port; };
        break;
      case kPostgresOne:
        port_of = [this](size_t) { return pg_ports[0]; };
        break;
      case kPostgresTwo:
        port_of = [this](size_t i) { return pg_ports[i % 2]; };
        break;
      case kEcho:
        port_of = [this](size_t) { return echo_port; };
    }
    return ConnectPeers(peers, n, port_of, target == kEcho ? nullptr : trust.get());
  }
};

Setting& TheSetting() {
  static Setting setting;
  return setting;
}

size_t host_reply_bytes[2] = {0, 0};

void BM_Servers(benchmark::State& state) {
  Setting& s = TheSetting();
  const int backend = static_cast<int>(state.range(0));
  const int program = static_cast<int>(state.range(1));
  const auto n = static_cast<size_t>(state.range(2));
  if (!s.error.empty() || !s.Connect(static_cast<Target>(backend), n)) {
    state.SkipWithError(s.error.empty() ? "connecting failed" : s.error.c_str());
    return;
  }
  Result r;
  if (!TimeLoad(state, s.peers, n, CallFrame(program), 0, "a call failed", &r)) return;
  host_reply_bytes[program] = r.reply_bytes;
  state.counters["connections"] = static_cast<double>(n);
  static const char* kNames[] = {"1 zvthostd over SQLite", "1 zvthostd over PostgreSQL",
                                 "2 zvthostd over one PostgreSQL"};
  state.SetLabel(std::string(program == 0 ? "KRCHGTS" : "KRUSRFN") + ", " + kNames[backend]);
}

void BM_Echo(benchmark::State& state) {
  Setting& s = TheSetting();
  const int program = static_cast<int>(state.range(1));
  const auto n = static_cast<size_t>(state.range(2));
  if (!s.error.empty() || host_reply_bytes[program] == 0 || !s.Connect(kEcho, n)) {
    state.SkipWithError("no host run to match, or connecting failed");
    return;
  }
  const std::string request = EchoRequest(program, host_reply_bytes[program]);
  Result r;
  if (!TimeLoad(state, s.peers, n, request, host_reply_bytes[program], "an echo failed", &r))
    return;
  state.counters["connections"] = static_cast<double>(n);
  state.SetLabel(std::string("echo of ") + (program == 0 ? "KRCHGTS" : "KRUSRFN") +
                 " sizes, plain TCP");
}

// One zvthostd over PostgreSQL against one over SQLite, in turns
// (DriveInTurns); the figure is the median of the rounds' ratios of calls/s.
void BM_PostgresVsSqliteInTurns(benchmark::State& state) {
  Setting& s = TheSetting();
  const int program = static_cast<int>(state.range(0));
  const auto n = static_cast<size_t>(state.range(1));
  constexpr int kRounds = 7;
  Turns turns;  // PostgreSQL first, SQLite second
  for (auto _ : state) {
    const std::string failure = DriveInTurns(
        kRounds,
        [&](bool sqlite, Result* r) -> std::string {
          if (!s.error.empty()) return s.error;
          if (!s.Connect(sqlite ? kSqlite : kPostgresOne, n)) return "connecting failed";
          *r = Drive(s.peers, n, CallFrame(program), 0);
          return "";
        },
        &turns);
    if (!failure.empty()) {
      state.SkipWithError(failure.c_str());
      return;
    }
    state.SetIterationTime(std::chrono::duration<double>(kRunTime).count() * 2 * kRounds);
  }
  ReportTurns(state, turns, "pg_vs_sqlite", "pg", "sqlite");
  state.SetLabel(std::string(program == 0 ? "KRCHGTS" : "KRUSRFN") + ", " + std::to_string(n) +
                 " connections, TLS; 1 zvthostd over PostgreSQL vs 1 over SQLite in turns");
}

void Servers(benchmark::internal::Benchmark* b) {
  for (int64_t backend : {kSqlite, kPostgresOne, kPostgresTwo})
    for (int64_t program : {0, 1})
      for (int64_t n : {64, 1000}) b->Args({backend, program, n});
}
void Echo(benchmark::internal::Benchmark* b) {
  for (int64_t program : {0, 1})
    for (int64_t n : {64, 1000}) b->Args({kEcho, program, n});
}
BENCHMARK(BM_Servers)->Apply(Servers)->Iterations(1)->UseManualTime();
BENCHMARK(BM_Echo)->Apply(Echo)->Iterations(1)->UseManualTime();
BENCHMARK(BM_PostgresVsSqliteInTurns)
    ->ArgsProduct({{0, 1}, {64, 1000}})
    ->Iterations(1)
    ->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
