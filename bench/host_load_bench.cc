// zvthostd under load as clients meet it: a real zvthostd process serving
// TLS, N signed-on connections (1, 64, 1,000, 10,000) and at most 64 calls
// in flight, each sent on the next connection in turn, so that every
// connection is used; calls/s and the latency of each call from its first
// byte sent to its reply's last byte read. Against it, in the same run, the
// floor: a bare C epoll server (zvt_echo_server) answering requests of the
// same sizes with replies of the same sizes over plain TCP, driven the same
// way; and the same server over TLS, for what TLS alone costs. The programs are "KLIB/KRCHGTS" (a
// 32-byte receiver) and "KLIB/KRUSRFN" (one part of a 20-entry usage list). The server's resident
// memory is read after each run. And the cost of metrics: a second zvthostd
// with its admin listener on, scraped over HTTPS four times a second (four
// times what a Prometheus set to its shortest usual interval would) while
// the same 64-connection load runs, against the first in the same run.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "bench/bench_tls.h"
#include "bench/load_driver.h"
#include "testing/temp_dir.h"

namespace {

using namespace zvt;
using namespace zvt::bench;

// The servers and the connections made to one of them so far.
struct Setting {
  enum Server { kHost, kEcho, kTlsEcho, kMetricsHost, kNone };

  testing::TempDir dir;
  pid_t host = -1, echo = -1, tls_echo = -1, metrics_host = -1;
  int host_port = 0, echo_port = 0, tls_echo_port = 0, metrics_port = 0, admin_port = 0;
  std::string ca;
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
    ca = bench::BenchCertificate(dir);
    trust = tls::LoadClientContext(ca, &error);
    if (!trust) return;
    echo = Spawn({ZVT_BIN_DIR "/zvt_echo_server", dir.File("echo.port")});
    tls_echo = Spawn(
        {ZVT_BIN_DIR "/zvt_echo_server", dir.File("tls-echo.port"), ca, dir.File("host-key.pem")});
    echo_port = WaitForPort(dir.File("echo.port"));
    tls_echo_port = WaitForPort(dir.File("tls-echo.port"));
    if (echo_port == 0 || tls_echo_port == 0) error = "an echo server did not start";
    StartHosts();
  }
  // Both zvthostd processes anew (stopped first if running): one without
  // metrics, one with its admin listener and metrics on.
  // `cpus`: where the servers run (their threads all on these), if not empty.
  void StartHosts(const cpu_set_t* cpus = nullptr) {
    peers.clear();
    peers_of = kNone;
    Stop(&host);
    Stop(&metrics_host);
    for (const char* f : {"host.port", "metrics.port", "admin.port"})
      std::filesystem::remove(dir.File(f));
    // A child keeps the CPUs of the thread that started it.
    cpu_set_t mine;
    sched_getaffinity(0, sizeof mine, &mine);
    if (cpus) sched_setaffinity(0, sizeof *cpus, cpus);
    host = SpawnHost(dir.File("host.db"), dir.File("host.port"), ca, dir.File("host-key.pem"));
    metrics_host =
        SpawnHost(dir.File("host.db"), dir.File("metrics.port"), ca, dir.File("host-key.pem"),
                  {"--admin-listen", "127.0.0.1:0", "--admin-port-file", dir.File("admin.port")});
    if (cpus) sched_setaffinity(0, sizeof mine, &mine);
    host_port = WaitForPort(dir.File("host.port"));
    metrics_port = WaitForPort(dir.File("metrics.port"));
    admin_port = WaitForPort(dir.File("admin.port"));
    if (host_port == 0 || metrics_port == 0 || admin_port == 0) error = "zvthostd did not start";
  }
  ~Setting() {
    peers.clear();
    for (pid_t* p : {&host, &echo, &tls_echo, &metrics_host}) Stop(p);
  }

  // `n` connections to `to`; those to another server are closed first, so
  // that their descriptors can be used.
  bool Connect(Server to, size_t n) {
    if (peers_of != to) peers.clear();
    peers_of = to;
    const int port = to == kHost          ? host_port
                     : to == kMetricsHost ? metrics_port
                     : to == kEcho        ? echo_port
                                          : tls_echo_port;
    const bool host_server = to == kHost || to == kMetricsHost;
    return ConnectPeers(
        peers, n, [port](size_t) { return port; }, to == kEcho ? nullptr : trust.get(),
        /*sign_on=*/host_server);
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

// Scrapes /metrics over HTTPS every 250 ms until destroyed; counts the
// scrapes that were answered.
class Scraper {
 public:
  Scraper(int port, const std::string& ca) {
    thread_ = std::thread([this, port, ca] {
      CURL* curl = curl_easy_init();
      const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/metrics";
      std::string body;
      auto append = +[](char* d, size_t s, size_t n, void* out) {
        static_cast<std::string*>(out)->append(d, s * n);
        return s * n;
      };
      curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
      curl_easy_setopt(curl, CURLOPT_CAINFO, ca.c_str());
      curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, append);
      curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
      while (!stop_) {
        body.clear();
        long status = 0;
        if (curl_easy_perform(curl) == CURLE_OK &&
            curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200)
          scrapes_++;
        for (int i = 0; i < 25 && !stop_; ++i)
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      curl_easy_cleanup(curl);
    });
  }
  ~Scraper() {
    stop_ = true;
    thread_.join();
  }
  int scrapes() const { return scrapes_.load(); }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> scrapes_{0};
  std::thread thread_;
};

// The cost of metrics: the 64-connection KRCHGTS load on the zvthostd
// without them and on the one with them, scraped meanwhile, in turns (off
// first in even rounds, on first in odd ones, so that neither gains from
// its place). Each round gives two ratios, on/off: of calls/s and of the
// server's CPU time per call (all its threads, from the kernel's schedstat).
// A round's two turns run seconds apart, so a change in the machine's load
// moves both alike; and each round starts both servers anew, so that
// neither keeps an advantage of its own for the whole run (where its
// threads happened to be placed, say). The medians of the ratios are the
// figures.
void BM_MetricsCost(benchmark::State& state) {
  Setting& s = TheSetting();
  constexpr size_t n = 64;
  constexpr int kRounds = 12;
  std::vector<double> rates[2], cpu_us[2];  // off, on
  std::vector<double> rate_ratios, cpu_ratios;
  int scrapes = 0;
  // The servers on one CPU, the load on the others: on two CPUs shared by
  // five busy threads, where the scheduler happened to put a server's
  // threads moved its CPU per call by up to 20 % from one start to the
  // next, far more than metrics cost.
  cpu_set_t all, server_cpus, client_cpus;
  sched_getaffinity(0, sizeof all, &all);
  CPU_ZERO(&server_cpus);
  client_cpus = all;
  const bool pin = CPU_COUNT(&all) >= 2;
  if (pin) {
    int last = 0;
    for (int c = 0; c < CPU_SETSIZE; ++c)
      if (CPU_ISSET(c, &all)) last = c;
    CPU_SET(last, &server_cpus);
    CPU_CLR(last, &client_cpus);
    sched_setaffinity(0, sizeof client_cpus, &client_cpus);
  }
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      s.StartHosts(pin ? &server_cpus : nullptr);
      double rate[2] = {0, 0}, cpu[2] = {0, 0};
      for (int turn = 0; turn < 2; ++turn) {
        const bool on = (turn == 1) != (round % 2 == 1);
        if (!s.error.empty() || !s.Connect(on ? Setting::kMetricsHost : Setting::kHost, n)) {
          state.SkipWithError(s.error.empty() ? "connecting failed" : s.error.c_str());
          return;
        }
        const pid_t server = on ? s.metrics_host : s.host;
        std::unique_ptr<Scraper> scraper =
            on ? std::make_unique<Scraper>(s.admin_port, s.ca) : nullptr;
        const double cpu_before = CpuNs(server);
        const Result r = Drive(s.peers, n, CallFrame(0), 0);
        const double cpu_ns = CpuNs(server) - cpu_before;
        if (!r.ok || r.calls_per_s <= 0) {
          state.SkipWithError("a call failed");
          return;
        }
        if (scraper) scrapes += scraper->scrapes();
        rate[on] = r.calls_per_s;
        cpu[on] = cpu_ns / 1000 / (r.calls_per_s * std::chrono::duration<double>(kRunTime).count());
        rates[on].push_back(rate[on]);
        cpu_us[on].push_back(cpu[on]);
      }
      rate_ratios.push_back(rate[1] / rate[0]);
      cpu_ratios.push_back(cpu[1] / cpu[0]);
    }
    state.SetIterationTime(std::chrono::duration<double>(kRunTime).count() * 2 * kRounds);
  }
  if (pin) sched_setaffinity(0, sizeof all, &all);
  s.StartHosts();  // as the other benchmarks found them
  // The middle half of the rounds' ratios lies between these.
  auto quartile = [](std::vector<double> v, int q) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[(v.size() - 1) * static_cast<size_t>(q) / 4];
  };
  state.counters["on_vs_off_q1"] = quartile(rate_ratios, 1);
  state.counters["on_vs_off_q3"] = quartile(rate_ratios, 3);
  state.counters["calls_per_s_off"] = Median(rates[0]);
  state.counters["calls_per_s_on"] = Median(rates[1]);
  state.counters["on_vs_off"] = Median(rate_ratios);
  state.counters["server_cpu_us_per_call_off"] = Median(cpu_us[0]);
  state.counters["server_cpu_us_per_call_on"] = Median(cpu_us[1]);
  state.counters["cpu_on_vs_off"] = Median(cpu_ratios);
  state.counters["scrapes"] = scrapes;
  state.SetLabel(std::string("KRCHGTS, 64 connections, TLS; metrics off vs on and scraped 4/s") +
                 (pin ? "; servers on one CPU" : ""));
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

// zvthostd against the TLS echo, in turns (DriveInTurns), with `n`
// connections; the figure is the median of the rounds' ratios of calls/s.
void BM_HostVsTlsEchoInTurns(benchmark::State& state) {
  Setting& s = TheSetting();
  const int program = static_cast<int>(state.range(0));
  const auto n = static_cast<size_t>(state.range(1));
  constexpr int kRounds = 7;
  Turns turns;  // zvthostd first, the echo second
  for (auto _ : state) {
    // zvthostd runs first in the first round, so its reply sizes are known
    // before the echo is given them.
    const std::string failure = DriveInTurns(
        kRounds,
        [&](bool echo, Result* r) -> std::string {
          if (!s.error.empty()) return s.error;
          if (!s.Connect(echo ? Setting::kTlsEcho : Setting::kHost, n)) return "connecting failed";
          if (echo) {
            *r = Drive(s.peers, n, EchoRequest(program, host_reply_bytes[program]),
                       host_reply_bytes[program]);
          } else {
            *r = Drive(s.peers, n, CallFrame(program), 0);
            host_reply_bytes[program] = r->reply_bytes;
          }
          return "";
        },
        &turns);
    if (!failure.empty()) {
      state.SkipWithError(failure.c_str());
      return;
    }
    state.SetIterationTime(std::chrono::duration<double>(kRunTime).count() * 2 * kRounds);
  }
  ReportTurns(state, turns, "host_vs_tls_echo", "host", "tls_echo");
  state.SetLabel(std::string(program == 0 ? "KRCHGTS" : "KRUSRFN") + ", " + std::to_string(n) +
                 " connections, TLS; zvthostd vs the TLS echo in turns");
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (int64_t n : {1, 64, 1000, 10000})
    for (int64_t program : {0, 1}) b->Args({program, n});
}
BENCHMARK(BM_HostLoad)->Apply(Sizes)->Iterations(1)->UseManualTime();
BENCHMARK(BM_MetricsCost)->Iterations(1)->UseManualTime();
BENCHMARK(BM_HostVsTlsEchoInTurns)
    ->ArgsProduct({{0, 1}, {64, 1000}})
    ->Iterations(1)
    ->UseManualTime();
BENCHMARK(BM_EchoLoad)->Apply(Sizes)->Iterations(1)->UseManualTime();
BENCHMARK(BM_TlsEchoLoad)->Apply(Sizes)->Iterations(1)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
