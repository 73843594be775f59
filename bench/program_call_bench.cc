// Cost of a host program call through the remote program call library
// against a bare loopback TCP exchange of the same bytes, and the host
// server's throughput and latency with 64 concurrent clients.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "bench/bench_tls.h"
#include "hostd/host_server.h"
#include "hostd/host_store.h"
#include "pgm/remote_program_calls.h"
#include "pgm/wire.h"
#include "testing/temp_dir.h"

namespace {

using namespace zvt;

constexpr FieldDescription kReceiverRows[] = {
    {kFieldBinary, 4, 0, 0, {}}, {kFieldBinary, 4, 0, 0, {}}, {kFieldRaw, 8, 0, 0, {}},
    {kFieldRaw, 8, 0, 0, {}},    {kFieldRaw, 8, 0, 0, {}},
};
constexpr FieldTable kReceiver = MakeFieldTable(kReceiverRows);
constexpr FieldDescription kParameterRows[] = {
    {kFieldStruct, 0, 0, kDirectionOutput, kReceiver}, {kFieldBinary, 4, 0, kDirectionInput, {}},
    {kFieldChar, 8, 0, kDirectionInput, {}},           {kFieldChar, 10, 0, kDirectionInput, {}},
    {kFieldBinary, 4, 0, kDirectionInOut, {}},
};
constexpr FieldTable kParameters = MakeFieldTable(kParameterRows);

struct Host {
  testing::TempDir dir;
  std::unique_ptr<hostd::HostServer> server;
  pgm::StaticSystemLocator locator;
  std::unique_ptr<pgm::RemoteProgramCalls> calls;

  Host() {
    std::string error;
    auto store = hostd::HostStore::Open(dir.File("host.db"), &error);
    store->AddProfile("BENCH", "pw", hostd::HashStrength::kFast, &error);
    for (int i = 0; i < 50; ++i) {
      hostd::FunctionRow f;
      f.id = "F" + std::to_string(i);
      f.root = "F0";
      store->AddFunction(f, &error);
    }
    hostd::ServerOptions options;
    options.allow_fast_hashes = true;  // the test profiles' hashes are fast
    options.store_path = dir.File("host.db");
    if (!bench::ServeTls(dir, &options)) std::abort();
    server = std::make_unique<hostd::HostServer>(options);
    if (!server->Start(&error)) std::abort();
    pgm::SignOnTarget e;
    e.tls_ca_file = options.tls_certificate;
    e.port = server->port();
    e.user = "BENCH";
    e.password = "pw";
    locator.Add(u"BENCH", e);
    calls = std::make_unique<pgm::RemoteProgramCalls>(&locator, pgm::ErrorLog(dir.File("e.log")));
  }
};

Host& SharedHost() {
  static Host* host = new Host();
  return *host;
}

// One "KLIB/KRCHGTS" call as the library makes it: build the parameter
// list, build an agent, call, read the three timestamps.
bool CallTimestamps(ProgramCallApi* c) {
  DataDescription list_dd(kParameters), receiver_dd(kReceiver);
  std::unique_ptr<DataObject> list = c->createDataObject(list_dd);
  std::unique_ptr<DataObject> receiver = c->createDataObject(receiver_dd);
  DataObject* r = receiver.get();
  ErrorOut error;
  c->setText(list.get(), 2, u"TSTA0100", &error);
  c->setText(list.get(), 3, u"BENCH", &error);
  c->setObject(list.get(), 0, &receiver, &error);
  uint32_t length = c->length(r);
  c->setBinary(list.get(), 1, &length, 4, kFieldBinary, &error);
  std::unique_ptr<RemoteAgent> agent = c->createRemoteAgent(u"ZVWIN", u"BENCH", &error, 1);
  if (!agent || c->callProgram(agent.get(), u"KLIB/KRCHGTS", list.get(), &error) != 0) return false;
  uint8_t stamps[24];
  uint32_t n, t;
  for (uint32_t i = 0; i < 3; ++i)
    if (c->getBinary(r, 2 + i, stamps + 8 * i, 8, &n, &t) != 0) return false;
  benchmark::DoNotOptimize(stamps);
  return true;
}

void BM_ProgramCallRoundTrip(benchmark::State& state) {
  Host& host = SharedHost();
  for (auto _ : state)
    if (!CallTimestamps(host.calls.get())) state.SkipWithError("call failed");
}
BENCHMARK(BM_ProgramCallRoundTrip)->UseRealTime();

// The sizes of that call's frames on the wire.
size_t RequestBytes() {
  wire::Call call;
  call.program = "KLIB/KRCHGTS";
  call.parameters = {{wire::kOutput, 32, ""},
                     {wire::kInput, 4, std::string(4, '\0')},
                     {wire::kInput, 8, std::string(8, '\0')},
                     {wire::kInput, 10, std::string(10, '\0')},
                     {wire::kInOut, 4, std::string(4, '\0')}};
  return wire::EncodeFrame(wire::FrameType::kCall, wire::Encode(call)).size();
}
size_t ReplyBytes() {
  wire::CallReply reply{1, true, {std::string(32, '\0'), std::string(4, '\0')}, {}, {}};
  return wire::EncodeFrame(wire::FrameType::kCallReply, wire::Encode(reply)).size();
}

bool ReadAll(int fd, char* p, size_t n) {
  while (n > 0) {
    ssize_t r = recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// The floor: a server thread that reads a request of the call's size and
// writes back a reply of the reply's size, over the same kind of socket.
void BM_BareTcpEcho(benchmark::State& state) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(listener, 1);
  socklen_t len = sizeof a;
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  const size_t request_bytes = RequestBytes(), reply_bytes = ReplyBytes();
  std::thread server([listener, request_bytes, reply_bytes] {
    int fd = accept(listener, nullptr, nullptr);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::string in(request_bytes, '\0'), out(reply_bytes, '\0');
    while (ReadAll(fd, in.data(), in.size()))
      if (send(fd, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) break;
    close(fd);
  });
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  std::string out(request_bytes, '\0'), in(reply_bytes, '\0');
  for (auto _ : state) {
    if (send(fd, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size()) ||
        !ReadAll(fd, in.data(), in.size()))
      state.SkipWithError("echo failed");
  }
  close(fd);
  server.join();
  close(listener);
}
BENCHMARK(BM_BareTcpEcho)->UseRealTime();

// 64 clients, each with its own connection, calling for a fixed time.
void BM_HostThroughput64Clients(benchmark::State& state) {
  Host& host = SharedHost();
  constexpr int kClients = 64;
  const auto duration = std::chrono::seconds(3);
  for (auto _ : state) {
    std::atomic<bool> go{false}, failed{false};
    std::vector<std::vector<float>> latencies(kClients);
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
      clients.emplace_back([&, i] {
        while (!go) std::this_thread::yield();
        auto end = std::chrono::steady_clock::now() + duration;
        latencies[i].reserve(1 << 16);
        for (auto now = std::chrono::steady_clock::now(); now < end;) {
          if (!CallTimestamps(host.calls.get())) failed = true;
          auto after = std::chrono::steady_clock::now();
          latencies[i].push_back(std::chrono::duration<float, std::micro>(after - now).count());
          now = after;
        }
      });
    }
    auto start = std::chrono::steady_clock::now();
    go = true;
    for (auto& t : clients) t.join();
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::vector<float> all;
    for (auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
    std::sort(all.begin(), all.end());
    if (failed || all.empty()) state.SkipWithError("calls failed");
    state.counters["calls_per_s"] = static_cast<double>(all.size()) / seconds;
    state.counters["p50_us"] = all.empty() ? 0 : all[all.size() / 2];
    state.counters["p99_us"] = all.empty() ? 0 : all[all.size() * 99 / 100];
  }
}
BENCHMARK(BM_HostThroughput64Clients)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
