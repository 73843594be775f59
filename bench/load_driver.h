// Load on zvthostd as clients make it, shared by the load benchmarks: the
// calls as the library makes them, connections signed on over TLS, a driver
// keeping a number of calls in flight over many connections and timing each,
// and the servers started as processes of their own.
#ifndef ZVT_BENCH_LOAD_DRIVER_H_
#define ZVT_BENCH_LOAD_DRIVER_H_

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
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/median.h"
#include "hostd/host_store.h"
#include "pgm/big_endian.h"
#include "pgm/sockets.h"
#include "pgm/tls.h"
#include "pgm/wire.h"

extern char** environ;

namespace zvt::bench {

using Clock = std::chrono::steady_clock;

constexpr int kMaxInFlight = 64;
constexpr auto kRunTime = std::chrono::seconds(2);

// The two calls as the library makes them, for profile BENCH.
inline std::string CallFrame(int program) {
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
inline Result Drive(std::vector<Peer>& peers, size_t n, const std::string& request,
                    size_t reply_bytes) {
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

inline pid_t Spawn(std::vector<std::string> args) {
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

// A zvthostd process over `store`, serving TLS on a loopback port it
// writes to `port_file`.
// `more`: further options of zvthostd.
inline pid_t SpawnHost(const std::string& store, const std::string& port_file,
                       const std::string& certificate, const std::string& key,
                       const std::vector<std::string>& more = {}) {
  std::vector<std::string> args = {ZVT_BIN_DIR "/zvthostd",
                                   "--allow-fast-hashes",
                                   "--store",
                                   store,
                                   "--listen",
                                   "127.0.0.1:0",
                                   "--port-file",
                                   port_file,
                                   "--tls-cert",
                                   certificate,
                                   "--tls-key",
                                   key,
                                   "--log-level",
                                   "err"};
  args.insert(args.end(), more.begin(), more.end());
  return Spawn(args);
}

inline int WaitForPort(const std::string& file) {
  int port = 0;
  for (int i = 0; i < 500 && port == 0; ++i) {
    std::ifstream in(file);
    if (!(in >> port)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return port;
}

// The CPU time a process's threads have had so far, in nanoseconds (from
// their schedstat, which counts to the nanosecond where stat counts ticks).
inline double CpuNs(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  double total = 0;
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) {
    std::ifstream in(task.path() / "schedstat");
    double ns = 0;
    if (in >> ns) total += ns;
  }
  return total;
}

inline long RssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// The benchmark's registry: profile BENCH (password "pw") and 20 functions,
// every second one denied to BENCH.
inline bool FillStore(hostd::HostStore* store, std::string* error) {
  if (!store->AddProfile("BENCH", "pw", hostd::HashStrength::kFast, error)) return false;
  for (int i = 0; i < 20; ++i) {
    hostd::FunctionRow f;
    f.id = "F" + std::to_string(i);
    f.root = "F0";
    f.type = i == 0 ? "1" : "3";
    f.parent = i == 0 ? "*NONE" : "F0";
    if (!store->AddFunction(f, error) || !store->SetUsage("BENCH", f.id, i % 2 ? "1" : "2", error))
      return false;
  }
  return true;
}

// Lets a benchmark open as many connections as the hard limit allows.
inline void RaiseDescriptorLimit() {
  struct rlimit files;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
}

// Grows `peers` to `n` connections, made by several threads at once, to the
// port `port_of(i)` gives for connection i: with `trust`, over TLS and (when
// `sign_on`) signed on as BENCH; without, plain TCP.
inline bool ConnectPeers(std::vector<Peer>& peers, size_t n,
                         const std::function<int(size_t)>& port_of, tls::ClientContext* trust,
                         bool sign_on = true) {
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
        int fd = sockets::Connect("127.0.0.1", static_cast<uint16_t>(port_of(i)), 10000, &failure);
        if (fd < 0) {
          ok = false;
          break;
        }
        if (trust == nullptr) {
          peers[i].stream = sockets::PlainStream(fd);
          continue;
        }
        peers[i].stream = tls::Connect(trust, fd, "127.0.0.1", 10000, &why);
        wire::Frame frame;
        bool signed_on = peers[i].stream && !sign_on;
        if (peers[i].stream && sign_on) {
          wire::FrameSocket reader(peers[i].stream.get());
          signed_on =
              wire::WriteAll(
                  peers[i].stream.get(),
                  wire::EncodeFrame(wire::FrameType::kHello, wire::Encode(wire::Hello{})), 10000,
                  &why) &&
              reader.Read(1 << 20, 10000, &frame, &why) &&
              wire::WriteAll(peers[i].stream.get(),
                             wire::EncodeFrame(wire::FrameType::kSignon,
                                               wire::Encode(wire::Signon{"BENCH", "pw", ""})),
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

// Times a benchmark's iterations, each one Drive of kRunTime over the first
// `n` of `peers`, and records the calls/s, p50 and p99 of the last. False,
// with the benchmark skipped as `failure`, when a call went wrong.
inline bool TimeLoad(benchmark::State& state, std::vector<Peer>& peers, size_t n,
                     const std::string& request, size_t reply_bytes, const char* failure,
                     Result* last) {
  for (auto _ : state) {
    *last = Drive(peers, n, request, reply_bytes);
    if (!last->ok) {
      state.SkipWithError(failure);
      return false;
    }
    state.SetIterationTime(std::chrono::duration<double>(kRunTime).count());
    state.counters["calls_per_s"] = last->calls_per_s;
    state.counters["p50_us"] = last->p50_us;
    state.counters["p99_us"] = last->p99_us;
  }
  return true;
}

// Two servers driven in turns. Each of `rounds` rounds drives both, the
// first before the second in even rounds and after it in odd ones, so that
// neither gains from its place and a change in the machine's load moves
// both alike. `drive(second, &result)` drives one side once; it returns why
// it could not ("" when it could).
struct Turns {
  std::vector<double> calls_per_s[2], p99_us[2];  // first, second; one per round
  std::vector<double> ratios;                     // first's calls/s / second's, per round
};
inline std::string DriveInTurns(int rounds,
                                const std::function<std::string(bool second, Result*)>& drive,
                                Turns* turns) {
  for (int round = 0; round < rounds; ++round) {
    double rate[2] = {0, 0};
    for (int turn = 0; turn < 2; ++turn) {
      const bool second = (turn == 1) != (round % 2 == 1);
      Result r;
      if (std::string why = drive(second, &r); !why.empty()) return why;
      if (!r.ok || r.calls_per_s <= 0) return "a call failed";
      rate[second] = r.calls_per_s;
      turns->calls_per_s[second].push_back(r.calls_per_s);
      turns->p99_us[second].push_back(r.p99_us);
    }
    turns->ratios.push_back(rate[0] / rate[1]);
  }
  return "";
}

// Reports the rounds of `turns` as counters: `ratio` (the median of the
// rounds' ratios), the lowest and highest round, and each side's median
// calls/s and p99 under its name (`first`, `second`).
inline void ReportTurns(benchmark::State& state, const Turns& turns, const std::string& ratio,
                        const std::string& first, const std::string& second) {
  if (turns.ratios.empty()) return;
  const auto [lowest, highest] = std::minmax_element(turns.ratios.begin(), turns.ratios.end());
  state.counters[ratio] = Median(turns.ratios);
  state.counters["lowest_round"] = *lowest;
  state.counters["highest_round"] = *highest;
  state.counters[first + "_calls_per_s"] = Median(turns.calls_per_s[0]);
  state.counters[second + "_calls_per_s"] = Median(turns.calls_per_s[1]);
  state.counters[first + "_p99_us"] = Median(turns.p99_us[0]);
  state.counters[second + "_p99_us"] = Median(turns.p99_us[1]);
}

// The echo request of zvt_echo_server for a call frame and a reply size:
// the frame with its first 8 bytes saying how long it is and how long the
// reply must be.
inline std::string EchoRequest(int program, size_t reply_bytes) {
  std::string request = CallFrame(program);
  request.replace(0, 8,
                  big_endian::Bytes32(static_cast<uint32_t>(request.size())) +
                      big_endian::Bytes32(static_cast<uint32_t>(reply_bytes)));
  return request;
}

inline void Stop(pid_t* pid) {
  if (*pid <= 0) return;
  kill(*pid, SIGTERM);
  waitpid(*pid, nullptr, 0);
  *pid = -1;
}

}  // namespace zvt::bench

#endif  // ZVT_BENCH_LOAD_DRIVER_H_
