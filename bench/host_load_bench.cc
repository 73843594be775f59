// zvthostd under load as clients meet it: a real zvthostd process serving
// TLS, N signed-on connections (1, 64, 1,000, 10,000) and at most 64 calls
// in flight, each sent on the next connection in turn, so that every
// connection is used; calls/s and the latency of each call from its first
// byte sent to its reply's last byte read. Against it, in the same run, the
// floor: a bare C epoll server (zvt_echo_server) answering requests of the
// same sizes with replies of the same sizes over plain TCP, driven the same
// way. The programs are "KLIB/KRCHGTS" (a 32-byte receiver) and
// "KLIB/KRUSRFN" (one part of a 20-entry usage list). The server's resident
// memory is read after each run.
#include <benchmark/benchmark.h>

#include "bench/bench_tls.h"
#include "bench/load_driver.h"
#include "services/testing/temp_dir.h"

namespace {

using namespace zvt;
using namespace zvt::bench;

// The two servers and the connections made to them so far.
struct Setting {
  testing::TempDir dir;
  pid_t host = -1, echo = -1;
  int host_port = 0, echo_port = 0;
  std::shared_ptr<tls::ClientContext> trust;
  std::vector<Peer> host_peers, echo_peers;
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
    host = Spawn({ZVT_BIN_DIR "/zvthostd", "--store", dir.File("host.db"), "--listen",
                  "127.0.0.1:0", "--port-file", dir.File("host.port"), "--tls-cert", ca,
                  "--tls-key", dir.File("host-key.pem"), "--log-level", "err"});
    echo = Spawn({ZVT_BIN_DIR "/zvt_echo_server", dir.File("echo.port")});
    host_port = WaitForPort(dir.File("host.port"));
    echo_port = WaitForPort(dir.File("echo.port"));
    if (host_port == 0 || echo_port == 0) error = "a server did not start";
  }
  ~Setting() {
    host_peers.clear();
    echo_peers.clear();
    Stop(&host);
    Stop(&echo);
  }

  // Grows the connections to `n`.
  bool Connect(bool to_host, size_t n) {
    const int port = to_host ? host_port : echo_port;
    return ConnectPeers(
        to_host ? host_peers : echo_peers, n, [port](size_t) { return port; },
        to_host ? trust.get() : nullptr);
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
  if (!s.error.empty() || !s.Connect(true, n)) {
    state.SkipWithError(s.error.empty() ? "connecting failed" : s.error.c_str());
    return;
  }
  Result r;
  if (!TimeLoad(state, s.host_peers, n, CallFrame(program), 0, "a call failed", &r)) return;
  host_reply_bytes[program] = r.reply_bytes;
  InFlight(state);
  state.counters["server_rss_MB"] = static_cast<double>(RssKb(s.host)) / 1024;
  state.SetLabel(std::string(program == 0 ? "KRCHGTS" : "KRUSRFN") + ", " + std::to_string(n) +
                 " connections, TLS");
}

void BM_EchoLoad(benchmark::State& state) {
  Setting& s = TheSetting();
  const int program = static_cast<int>(state.range(0));
  const auto n = static_cast<size_t>(state.range(1));
  s.host_peers.clear();  // the descriptors go to the echo connections now
  if (!s.error.empty() || host_reply_bytes[program] == 0 || !s.Connect(false, n)) {
    state.SkipWithError("no host run to match, or connecting failed");
    return;
  }
  const std::string request = EchoRequest(program, host_reply_bytes[program]);
  Result r;
  if (!TimeLoad(state, s.echo_peers, n, request, host_reply_bytes[program], "an echo failed", &r))
    return;
  InFlight(state);
  state.SetLabel(std::string("echo of ") + (program == 0 ? "KRCHGTS" : "KRUSRFN") + " sizes, " +
                 std::to_string(n) + " connections, plain TCP");
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (int64_t n : {1, 64, 1000, 10000})
    for (int64_t program : {0, 1}) b->Args({program, n});
}
BENCHMARK(BM_HostLoad)->Apply(Sizes)->Iterations(1)->UseManualTime();
BENCHMARK(BM_EchoLoad)->Apply(Sizes)->Iterations(1)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
