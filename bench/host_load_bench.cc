// zvthostd under load as clients meet it: a real zvthostd process serving
// TLS, N signed-on connections (1, 64, 1,000, 10,000) and at most 64 calls
// in flight, each sent on the next connection in turn, so that every
// connection is used; calls/s and the latency of each call from its first
// byte sent to its reply's last byte read. Against it, in the same run, the
// floor: a bare C epoll server (zvt_echo_server) answering requests of the
// same sizes with replies of the same sizes over plain TCP, driven the same
// way; and the same server over TLS, for what TLS alone costs. The programs are "KLIB/KRCHGTS" (a
// 32-byte receiver) and "KLIB/KRUSRFN" (one part of a 20-entry usage list). The server's resident
// memory is read after each run.
#include <benchmark/benchmark.h>

#include "bench/bench_tls.h"
#include "bench/load_driver.h"
#include "testing/temp_dir.h"

namespace {

using namespace zvt;
using namespace zvt::bench;

// The servers and the connections made to one of them so far.
struct Setting {
  enum Server { kHost, kEcho, kTlsEcho, kNone };

  testing::TempDir dir;
  pid_t host = -1, echo = -1, tls_echo = -1;
  int host_port = 0, echo_port = 0, tls_echo_port = 0;
  std::shared_ptr<tls::ClientContext> trust;
  std::vector<Peer> peers;
  Server peers_of = kNone;
  std::string error;

  Setting() {
    RaiseDescriptorLimit();
    {
      auto store = hostd::HostStore::Open(dir.File("host.db"), &error);
      if (!store || !FillStore(store.get(), &error)) return;
    }
    const std::string ca = bench::BenchCertificate(dir);
    trust = tls::LoadClientContext(ca, &error);
    if (!trust) return;
    host = SpawnHost(dir.File("host.db"), dir.File("host.port"), ca, dir.File("host-key.pem"));
    echo = Spawn({ZVT_BIN_DIR "/zvt_echo_server", dir.File("echo.port")});
    tls_echo = Spawn(
        {ZVT_BIN_DIR "/zvt_echo_server", dir.File("tls-echo.port"), ca, dir.File("host-key.pem")});
    host_port = WaitForPort(dir.File("host.port"));
    echo_port = WaitForPort(dir.File("echo.port"));
    tls_echo_port = WaitForPort(dir.File("tls-echo.port"));
    if (host_port == 0 || echo_port == 0 || tls_echo_port == 0) error = "a server did not start";
  }
  ~Setting() {
    peers.clear();
    for (pid_t* p : {&host, &echo, &tls_echo}) Stop(p);
  }

  // `n` connections to `to`; those to another server are closed first, so
  // that their descriptors can be used.
  bool Connect(Server to, size_t n) {
    if (peers_of != to) peers.clear();
    peers_of = to;
    const int port = to == kHost ? host_port : to == kEcho ? echo_port : tls_echo_port;
    return ConnectPeers(
        peers, n, [port](size_t) { return port; }, to == kEcho ? nullptr : trust.get(),
        /*sign_on=*/to == kHost);
  }
};

// Destroyed at exit, which stops the servers. It loads OpenSSL while being
// made, so OpenSSL's own clean-up at exit runs after it.
Setting& TheSetting() {
  static Setting setting;
  return setting;
}

// The reply sizes zvthostd gave, for the echo server to give the same.
size_t host_reply_bytes[2] = {0, 0};

void InFlight(benchmark::State& state) {
  state.counters["in_flight"] =
      static_cast<double>(std::min<int64_t>(kMaxInFlight, state.range(1)));
}

void BM_HostLoad(benchmark::State& state) {
  Setting& s = TheSetting();
  const int program = static_cast<int>(state.range(0));
  const auto n = static_cast<size_t>(state.range(1));
  if (!s.error.empty() || !s.Connect(Setting::kHost, n)) {
    state.SkipWithError(s.error.empty() ? "connecting failed" : s.error.c_str());
    return;
  }
  Result r;
  if (!TimeLoad(state, s.peers, n, CallFrame(program), 0, "a call failed", &r)) return;
  host_reply_bytes[program] = r.reply_bytes;
  InFlight(state);
  state.counters["server_rss_MB"] = static_cast<double>(RssKb(s.host)) / 1024;
  state.SetLabel(std::string(program == 0 ? "KRCHGTS" : "KRUSRFN") + ", " + std::to_string(n) +
                 " connections, TLS");
}

// The echo server driven as zvthostd was, over plain TCP or over TLS.
void EchoLoad(benchmark::State& state, bool tls) {
  Setting& s = TheSetting();
  const int program = static_cast<int>(state.range(0));
  const auto n = static_cast<size_t>(state.range(1));
  const Setting::Server server = tls ? Setting::kTlsEcho : Setting::kEcho;
  if (!s.error.empty() || host_reply_bytes[program] == 0 || !s.Connect(server, n)) {
    state.SkipWithError("no host run to match, or connecting failed");
    return;
  }
  const std::string request = EchoRequest(program, host_reply_bytes[program]);
  Result r;
  if (!TimeLoad(state, s.peers, n, request, host_reply_bytes[program], "an echo failed", &r))
    return;
  InFlight(state);
  state.SetLabel(std::string("echo of ") + (program == 0 ? "KRCHGTS" : "KRUSRFN") + " sizes, " +
                 std::to_string(n) + " connections, " + (tls ? "TLS" : "plain TCP"));
}
void BM_EchoLoad(benchmark::State& state) { EchoLoad(state, false); }
void BM_TlsEchoLoad(benchmark::State& state) { EchoLoad(state, true); }

void Sizes(benchmark::internal::Benchmark* b) {
  for (int64_t n : {1, 64, 1000, 10000})
    for (int64_t program : {0, 1}) b->Args({program, n});
}
BENCHMARK(BM_HostLoad)->Apply(Sizes)->Iterations(1)->UseManualTime();
BENCHMARK(BM_EchoLoad)->Apply(Sizes)->Iterations(1)->UseManualTime();
BENCHMARK(BM_TlsEchoLoad)->Apply(Sizes)->Iterations(1)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
