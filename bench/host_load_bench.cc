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
#include <fcntl.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <thread>
#include <vector>

#include "bench/bench_tls.h"
#include "hostd/host_store.h"
#include "pgm/big_endian.h"
#include "pgm/tls.h"
#include "pgm/wire.h"
#include "services/testing/temp_dir.h"

extern char** environ;

namespace {

using namespace zvt;
using Clock = std::chrono::steady_clock;

constexpr int kMaxInFlight = 64;
constexpr auto kRunTime = std::chrono::seconds(2);

// The two calls as the library makes them, for profile BENCH.
std::string CallFrame(int program) {
  const std::string bench("\xC2\xC5\xD5\xC3\xC8\x40\x40\x40\x40\x40", 10);  // "BENCH"
  wire::Call call;
  call.id = 1;
  if (program == 0) {
    call.program = "KLIB/KRCHGTS";
    call.parameters = {{wire::kOutput, 32, ""},
                       {wire::kInput, 4, big_endian::Bytes32(32)},
                       {wire::kInput, 8, "\xE3\xE2\xE3\xC1\xF0\xF1\xF0\xF0"},  // TSTA0100
                       {wire::kInput, 10, bench},
                       {wire::kInOut, 4, big_endian::Bytes32(0)}};
  } else {
    constexpr uint32_t kReceiver = 40 + 64 * 32;
    call.program = "KLIB/KRUSRFN";
    call.parameters = {{wire::kInput, 20, std::string(20, '\x40')},
                       {wire::kOutput, kReceiver, ""},
                       {wire::kInput, 4, big_endian::Bytes32(kReceiver)},
                       {wire::kInput, 8, "\xE4\xE2\xC7\xC1\xF0\xF1\xF0\xF0"},  // USGA0100
                       {wire::kInput, 10, bench},
                       {wire::kInput, 4, big_endian::Bytes32(0)},
                       {wire::kInput, 4, big_endian::Bytes32(0)},
                       {wire::kInOut, 4, big_endian::Bytes32(0)}};
  }
  return wire::EncodeFrame(wire::FrameType::kCall, wire::Encode(call));
}

// One client connection of a run.
struct Peer {
  std::unique_ptr<sockets::Stream> stream;
  wire::FrameReader reader;  // zvthostd's replies
  size_t reply_left = 0;     // the echo server's
  size_t sent = 0;
  bool busy = false;
  Clock::time_point start;
};

struct Result {
  double calls_per_s = 0, p50_us = 0, p99_us = 0;
  size_t reply_bytes = 0;  // of the last reply, frame header included
  bool ok = true;
};

// Drives `n` peers: at most kMaxInFlight requests out at once, each on the
// next idle peer in turn. `reply_bytes` 0: replies are frames.
Result Drive(std::vector<Peer>& peers, size_t n, const std::string& request, size_t reply_bytes) {
  Result result;
  const int ep = epoll_create1(EPOLL_CLOEXEC);
  for (size_t i = 0; i < n; ++i) {
    epoll_event e = {EPOLLIN, {}};
    e.data.u64 = i;
    epoll_ctl(ep, EPOLL_CTL_ADD, peers[i].stream->handle(), &e);
  }
  std::vector<float> latencies;
  latencies.reserve(1 << 20);
  size_t next = 0, in_flight = 0;
  std::string error;
  auto want = [&](size_t i, uint32_t events) {
    epoll_event e = {events, {}};
    e.data.u64 = i;
    epoll_ctl(ep, EPOLL_CTL_MOD, peers[i].stream->handle(), &e);
  };
  auto send_more = [&](size_t i) {
    Peer& p = peers[i];
    sockets::Ready wait;
    while (p.sent < request.size()) {
      long w = p.stream->Send(request.data() + p.sent, request.size() - p.sent, &wait, &error);
      if (w == sockets::kWouldBlock) return want(i, EPOLLIN | EPOLLOUT);
      if (w <= 0) {
        result.ok = false;
        return;
      }
      p.sent += static_cast<size_t>(w);
    }
  };
  auto issue = [&](bool counting) {
    const size_t target = std::min<size_t>(kMaxInFlight, n);
    for (size_t tries = 0; counting && in_flight < target && tries < n; ++tries) {
      size_t i = next;
      next = (next + 1) % n;
      if (peers[i].busy) continue;
      peers[i].busy = true;
      peers[i].sent = 0;
      peers[i].reply_left = reply_bytes;
      peers[i].start = Clock::now();
      ++in_flight;
      send_more(i);
    }
  };
  const Clock::time_point begin = Clock::now(), end = begin + kRunTime;
  issue(true);
  std::vector<epoll_event> events(512);
  char buffer[65536];
  while (result.ok && in_flight > 0) {
    const bool counting = Clock::now() < end;
    if (!counting && Clock::now() > end + std::chrono::seconds(10)) {
      result.ok = false;  // replies that never come
      break;
    }
    int k = epoll_wait(ep, events.data(), static_cast<int>(events.size()), 100);
    for (int e = 0; e < k && result.ok; ++e) {
      const size_t i = events[e].data.u64;
      Peer& p = peers[i];
      if (events[e].events & EPOLLOUT) {
        want(i, EPOLLIN);
        send_more(i);
      }
      for (;;) {
        sockets::Ready wait;
        long r = p.stream->Receive(buffer, sizeof buffer, &wait, &error);
        if (r == sockets::kWouldBlock) break;
        if (r <= 0) {
          result.ok = false;
          break;
        }
        bool done = false;
        if (reply_bytes == 0) {
          p.reader.Feed(std::string_view(buffer, static_cast<size_t>(r)));
          wire::Frame frame;
          if (p.reader.Next(&frame, &error) == wire::FrameReader::Result::kFrame) {
            done = frame.type == wire::FrameType::kCallReply;
            result.ok = done;
            result.reply_bytes = frame.payload.size() + 5;
          }
        } else {
          p.reply_left -= std::min<size_t>(p.reply_left, static_cast<size_t>(r));
          done = p.reply_left == 0;
        }
        if (done) {
          p.busy = false;
          --in_flight;
          if (counting)
            latencies.push_back(
                std::chrono::duration<float, std::micro>(Clock::now() - p.start).count());
          break;
        }
      }
    }
    issue(Clock::now() < end);
  }
  close(ep);
  const double seconds = std::chrono::duration<double>(end - begin).count();
  std::sort(latencies.begin(), latencies.end());
  result.calls_per_s = static_cast<double>(latencies.size()) / seconds;
  if (!latencies.empty()) {
    result.p50_us = latencies[latencies.size() / 2];
    result.p99_us = latencies[latencies.size() * 99 / 100];
  }
  return result;
}

pid_t Spawn(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  // Their output goes nowhere: a server holding the benchmark's output
  // open would keep a reader of it waiting after the benchmark ended.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int WaitForPort(const std::string& file) {
  int port = 0;
  for (int i = 0; i < 500 && port == 0; ++i) {
    std::ifstream in(file);
    if (!(in >> port)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return port;
}

long RssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// The two servers and the connections made to them so far.
struct Setting {
  testing::TempDir dir;
  pid_t host = -1, echo = -1;
  int host_port = 0, echo_port = 0;
  std::shared_ptr<tls::ClientContext> trust;
  std::vector<Peer> host_peers, echo_peers;
  std::string error;

  Setting() {
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
      files.rlim_cur = files.rlim_max;
      setrlimit(RLIMIT_NOFILE, &files);
    }
    {
      auto store = hostd::HostStore::Open(dir.File("host.db"), &error);
      if (!store || !store->AddProfile("BENCH", "pw", hostd::HashStrength::kFast, &error)) return;
      for (int i = 0; i < 20; ++i) {
        hostd::FunctionRow f;
        f.id = "F" + std::to_string(i);
        f.root = "F0";
        f.type = i == 0 ? "1" : "3";
        f.parent = i == 0 ? "*NONE" : "F0";
        if (!store->AddFunction(f, &error) ||
            !store->SetUsage("BENCH", f.id, i % 2 ? "1" : "2", &error))
          return;
      }
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
    for (pid_t p : {host, echo}) {
      if (p > 0) {
        kill(p, SIGTERM);
        waitpid(p, nullptr, 0);
      }
    }
  }

  // Grows the connections to `n`, made by several threads at once.
  bool Connect(bool to_host, size_t n) {
    std::vector<Peer>& peers = to_host ? host_peers : echo_peers;
    const size_t from = peers.size();
    if (from >= n) return true;
    peers.resize(n);
    std::atomic<size_t> at{from};
    std::atomic<bool> ok{true};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&] {
        std::string why;
        for (size_t i; ok && (i = at++) < n;) {
          sockets::ConnectFailure failure;
          int fd = sockets::Connect(
              "127.0.0.1", static_cast<uint16_t>(to_host ? host_port : echo_port), 10000, &failure);
          if (fd < 0) {
            ok = false;
            break;
          }
          if (!to_host) {
            peers[i].stream = sockets::PlainStream(fd);
            continue;
          }
          peers[i].stream = tls::Connect(trust.get(), fd, "127.0.0.1", 10000, &why);
          wire::Frame frame;
          bool signed_on = false;
          if (peers[i].stream) {
            wire::FrameSocket reader(peers[i].stream.get());
            signed_on = wire::WriteAll(
                            peers[i].stream.get(),
                            wire::EncodeFrame(wire::FrameType::kHello, wire::Encode(wire::Hello{})),
                            10000, &why) &&
                        reader.Read(1 << 20, 10000, &frame, &why) &&
                        wire::WriteAll(peers[i].stream.get(),
                                       wire::EncodeFrame(wire::FrameType::kSignon,
                                                         wire::Encode(wire::Signon{"BENCH", "pw"})),
                                       10000, &why) &&
                        reader.Read(1 << 20, 10000, &frame, &why) &&
                        frame.type == wire::FrameType::kSignonReply;
          }
          if (!signed_on) ok = false;
        }
      });
    }
    for (std::thread& t : threads) t.join();
    return ok;
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

void Report(benchmark::State& state, const Result& r) {
  state.counters["calls_per_s"] = r.calls_per_s;
  state.counters["p50_us"] = r.p50_us;
  state.counters["p99_us"] = r.p99_us;
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
  for (auto _ : state) {
    Result r = Drive(s.host_peers, n, CallFrame(program), 0);
    if (!r.ok) {
      state.SkipWithError("a call failed");
      return;
    }
    host_reply_bytes[program] = r.reply_bytes;
    state.SetIterationTime(std::chrono::duration<double>(kRunTime).count());
    Report(state, r);
  }
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
  std::string request = CallFrame(program);
  std::string head = big_endian::Bytes32(static_cast<uint32_t>(request.size())) +
                     big_endian::Bytes32(static_cast<uint32_t>(host_reply_bytes[program]));
  request.replace(0, 8, head);
  for (auto _ : state) {
    Result r = Drive(s.echo_peers, n, request, host_reply_bytes[program]);
    if (!r.ok) {
      state.SkipWithError("an echo failed");
      return;
    }
    state.SetIterationTime(std::chrono::duration<double>(kRunTime).count());
    Report(state, r);
  }
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
