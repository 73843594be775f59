// A full reload of one user's denied functions, as a stale cache makes the
// library run it inside a zvtUN_GetAdminValue call: the usage list, the
// function list, the groups denied through all their children, the denied
// functions and the saved hierarchy written to the cache hive, the writes
// made durable before the cache mutex is let go. The program-call library
// talks TCP over loopback to the host server's code (in this process, so
// its calls can be counted); the registry is the real SQLite store.
// Not included: loading the library and signing on (current_cache_bench).
//
// The floor, measured in turns with the reloads (after each reload, its
// floor; the figure is the median of the rounds' ratios, so that a change in
// the machine's load moves both sides alike): the bytes that crossed the
// wire at the loopback bandwidth of a bare TCP socket pair, plus one SQLite
// transaction writing the rows the reload left in the cache file (copied
// from it) into a table of the same shape, in the same journal mode, plus
// as many bare one-byte exchanges over TLS on loopback as the reload made
// host calls, one after another as the calls must be made. A second
// reference makes as many exchanges of the reload's mean request and reply
// sizes with a bare server waiting in epoll (ShapedExchanges). Where the
// threads run moves both references: run the bench under `taskset -c 1`
// to give the reload and its references the same placement.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <sqlite3.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_host.h"
#include "bench/median.h"
#include "bench/sync_counter.h"
#include "cache/registry_cache.h"
#include "hierarchy/client_functions.h"

namespace {

using namespace zvt;
using bench::HostedUser;
using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// A connected pair of TCP sockets on loopback; false when one cannot be made.
bool LoopbackPair(int* client, int* server) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  bool ok = bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            listen(listener, 1) == 0 &&
            getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
  *client = ok ? socket(AF_INET, SOCK_STREAM, 0) : -1;
  ok = ok && connect(*client, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  *server = ok ? accept(listener, nullptr, nullptr) : -1;
  close(listener);
  if (ok && *server >= 0) return true;
  if (*client >= 0) close(*client);
  *client = -1;
  return false;
}

// Bytes per second through a TCP connection on loopback: one thread writes
// 256 MiB in 1 MiB writes, another reads them.
double LoopbackBytesPerSecond() {
  static const double measured = [] {
    int writer, reader;
    if (!LoopbackPair(&writer, &reader)) return 0.0;
    constexpr size_t kChunk = 1 << 20, kTotal = size_t{256} << 20;
    std::thread drain([reader] {
      std::vector<char> buffer(kChunk);
      size_t got = 0;
      while (got < kTotal) {
        ssize_t n = read(reader, buffer.data(), buffer.size());
        if (n <= 0) break;
        got += static_cast<size_t>(n);
      }
    });
    std::vector<char> chunk(kChunk, 0x40);
    const auto start = Clock::now();
    for (size_t sent = 0; sent < kTotal;) {
      ssize_t n = write(writer, chunk.data(), chunk.size());
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    drain.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    close(writer);
    close(reader);
    return static_cast<double>(kTotal) / seconds;
  }();
  return measured;
}

// A connected pair of TCP sockets on loopback with no send delay and, with
// `tls`, a TLS 1.3 session over it made by bare OpenSSL with the bench's
// certificate (the server's end still to be accepted, the client's still to
// connect). Owns all of it.
struct LoopbackLink {
  LoopbackLink(const std::string& certificate, const std::string& key, bool tls) {
    if (!LoopbackPair(&client, &server)) return;
    const int one = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (!tls) return;
    server_context = SSL_CTX_new(TLS_server_method());
    client_context = SSL_CTX_new(TLS_client_method());
    SSL_CTX_use_certificate_chain_file(server_context, certificate.c_str());
    SSL_CTX_use_PrivateKey_file(server_context, key.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_set_min_proto_version(client_context, TLS1_3_VERSION);
    SSL_CTX_load_verify_locations(client_context, certificate.c_str(), nullptr);
    SSL_CTX_set_verify(client_context, SSL_VERIFY_PEER, nullptr);
    server_ssl = SSL_new(server_context);
    client_ssl = SSL_new(client_context);
    SSL_set_fd(server_ssl, server);
    SSL_set_fd(client_ssl, client);
  }
  ~LoopbackLink() {
    SSL_free(client_ssl);
    SSL_free(server_ssl);
    SSL_CTX_free(client_context);
    SSL_CTX_free(server_context);
    if (client >= 0) close(client);
    if (server >= 0) close(server);
  }
  LoopbackLink(const LoopbackLink&) = delete;
  LoopbackLink& operator=(const LoopbackLink&) = delete;

  bool connected() const { return client >= 0 && server >= 0; }
  // Ends the client's writing, which ends the server's reading; whatever the
  // server says on its way out still has a reader.
  void EndWriting() {
    if (client >= 0) shutdown(client, SHUT_WR);
  }

  int client = -1, server = -1;
  SSL_CTX* server_context = nullptr;
  SSL_CTX* client_context = nullptr;
  SSL* server_ssl = nullptr;
  SSL* client_ssl = nullptr;
};

// One-byte exchanges over a TCP connection on loopback (TCP_NODELAY, two
// threads): the least a program call can cost. With `tls`, inside a TLS 1.3
// session made by bare OpenSSL with the bench's certificate, as the program
// calls are.
class BareExchanges {
 public:
  BareExchanges(const std::string& certificate, const std::string& key, bool tls)
      : tls_(tls), link_(certificate, key, tls) {
    if (!link_.connected()) return;
    // The echo answers every byte until the connection ends.
    echo_ = std::thread([this] {
      SSL* ssl = link_.server_ssl;
      const int fd = link_.server;
      if (tls_ && SSL_accept(ssl) != 1) return;
      char b;
      while (tls_ ? SSL_read(ssl, &b, 1) == 1 && SSL_write(ssl, &b, 1) == 1
                  : read(fd, &b, 1) == 1 && write(fd, &b, 1) == 1) {
      }
    });
    ok_ = !tls || SSL_connect(link_.client_ssl) == 1;
  }
  ~BareExchanges() {
    link_.EndWriting();
    if (echo_.joinable()) echo_.join();
  }
  BareExchanges(const BareExchanges&) = delete;
  BareExchanges& operator=(const BareExchanges&) = delete;

  // Milliseconds that `n` exchanges take one after another; 0 when the
  // connection failed.
  double Run(uint64_t n) {
    if (!ok_) return 0.0;
    char b = 'x';
    const auto start = Clock::now();
    for (uint64_t i = 0; i < n; ++i) {
      if (tls_ ? SSL_write(link_.client_ssl, &b, 1) != 1 || SSL_read(link_.client_ssl, &b, 1) != 1
               : write(link_.client, &b, 1) != 1 || read(link_.client, &b, 1) != 1) {
        ok_ = false;
        return 0.0;
      }
    }
    return Ms(Clock::now() - start);
  }

 private:
  bool tls_;
  bool ok_ = false;
  LoopbackLink link_;
  std::thread echo_;
};

// The same exchanges in the shape any host of many connections has: the
// server waits for all its sockets at once (non-blocking, edge-triggered
// epoll) and each exchange carries a request and a reply of the reload's
// mean sizes, inside a TLS 1.3 session of bare OpenSSL. The client reads
// blocking, the cheapest way a caller can wait. Nothing of the library or
// the host server runs in it: it shows what the calls' kernel path and
// wake-ups cost on this machine before any work is done.
class ShapedExchanges {
 public:
  ShapedExchanges(const std::string& certificate, const std::string& key)
      : link_(certificate, key, /*tls=*/true) {
    if (!link_.connected()) return;
    server_thread_ = std::thread([this] { Serve(); });
    ok_ = SSL_connect(link_.client_ssl) == 1;
  }
  ~ShapedExchanges() {
    link_.EndWriting();
    if (server_thread_.joinable()) server_thread_.join();
  }
  ShapedExchanges(const ShapedExchanges&) = delete;
  ShapedExchanges& operator=(const ShapedExchanges&) = delete;

  // Milliseconds that `n` exchanges of `request` and `reply` bytes (at
  // least 8 and 1) take one after another; 0 when one failed.
  double Run(uint64_t n, uint32_t request, uint32_t reply) {
    if (!ok_) return 0.0;
    request = std::max<uint32_t>(request, 8);
    reply = std::max<uint32_t>(reply, 1);
    std::string ask(request, 'q');
    // The request says how long it is and how long its reply must be.
    std::memcpy(&ask[0], &request, 4);
    std::memcpy(&ask[4], &reply, 4);
    std::vector<char> in(reply);
    const auto start = Clock::now();
    for (uint64_t i = 0; i < n; ++i) {
      if (SSL_write(link_.client_ssl, ask.data(), static_cast<int>(ask.size())) !=
          static_cast<int>(ask.size())) {
        ok_ = false;
        return 0.0;
      }
      for (uint32_t got = 0; got < reply;) {
        int r = SSL_read(link_.client_ssl, in.data() + got, static_cast<int>(reply - got));
        if (r <= 0) {
          ok_ = false;
          return 0.0;
        }
        got += static_cast<uint32_t>(r);
      }
    }
    return Ms(Clock::now() - start);
  }

 private:
  // Answers every whole request until the connection ends.
  void Serve() {
    if (SSL_accept(link_.server_ssl) != 1) return;
    fcntl(link_.server, F_SETFL, fcntl(link_.server, F_GETFL) | O_NONBLOCK);
    const int poller = epoll_create1(EPOLL_CLOEXEC);
    epoll_event interest{};
    interest.events = EPOLLIN | EPOLLOUT | EPOLLET;
    epoll_ctl(poller, EPOLL_CTL_ADD, link_.server, &interest);
    std::string pending, out;
    char buffer[16384];
    for (bool open = true; open;) {
      epoll_event ready[4];
      if (epoll_wait(poller, ready, 4, -1) < 0 && errno != EINTR) break;
      for (;;) {
        int r = SSL_read(link_.server_ssl, buffer, sizeof buffer);
        if (r <= 0) {
          open = SSL_get_error(link_.server_ssl, r) == SSL_ERROR_WANT_READ;
          break;
        }
        pending.append(buffer, static_cast<size_t>(r));
        bool answered = false;
        while (open && pending.size() >= 8) {
          uint32_t length, reply;
          std::memcpy(&length, pending.data(), 4);
          std::memcpy(&reply, pending.data() + 4, 4);
          if (pending.size() < length) break;
          pending.erase(0, length);
          out.assign(reply, 'r');
          open = SSL_write(link_.server_ssl, out.data(), static_cast<int>(out.size())) ==
                 static_cast<int>(out.size());
          answered = true;
        }
        if (!open) break;
        // The client asks again only once it has the reply: the next event
        // says when, so the socket is not read again to find it empty (as
        // the host server does not either).
        if (answered && pending.empty() && SSL_pending(link_.server_ssl) == 0) break;
      }
    }
    // A reply that could not be sent ends the connection, so that the
    // client's read ends too.
    shutdown(link_.server, SHUT_RDWR);
    close(poller);
  }

  bool ok_ = false;
  LoopbackLink link_;
  std::thread server_thread_;
};

// The value rows of `cache_file`, as stored.
struct Row {
  sqlite3_int64 key;
  std::string name, fold, data;
  int type;
};
std::vector<Row> CacheRows(const std::string& cache_file) {
  std::vector<Row> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(cache_file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT key, name, fold, type, data FROM vals", -1, &st, nullptr) ==
        SQLITE_OK) {
      auto blob = [&](int c) {
        return std::string(static_cast<const char*>(sqlite3_column_blob(st, c)),
                           static_cast<size_t>(sqlite3_column_bytes(st, c)));
      };
      while (sqlite3_step(st) == SQLITE_ROW)
        rows.push_back(
            {sqlite3_column_int64(st, 0), blob(1), blob(2), blob(4), sqlite3_column_int(st, 3)});
    }
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return rows;
}

// One transaction writing `rows` into a new file laid out like the cache
// file's value table (WAL, synchronous NORMAL).
double OneTransactionMs(const std::vector<Row>& rows, const std::string& file) {
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((file + suffix).c_str());
  sqlite3* db = nullptr;
  if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) return 0;
  sqlite3_exec(db,
               "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
               "CREATE TABLE vals(id INTEGER PRIMARY KEY AUTOINCREMENT, key INTEGER NOT NULL,"
               " name BLOB NOT NULL, fold BLOB NOT NULL, type INTEGER NOT NULL,"
               " data BLOB NOT NULL, UNIQUE(key, fold));"
               "CREATE INDEX vals_order ON vals(key, id);",
               nullptr, nullptr, nullptr);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO vals(key, name, fold, type, data) VALUES(?1,?2,?3,?4,?5)", -1,
                     &st, nullptr);
  const auto start = Clock::now();
  sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  for (const Row& r : rows) {
    sqlite3_bind_int64(st, 1, r.key);
    sqlite3_bind_blob(st, 2, r.name.data(), static_cast<int>(r.name.size()), SQLITE_STATIC);
    sqlite3_bind_blob(st, 3, r.fold.data(), static_cast<int>(r.fold.size()), SQLITE_STATIC);
    sqlite3_bind_int(st, 4, r.type);
    sqlite3_bind_blob(st, 5, r.data.data(), static_cast<int>(r.data.size()), SQLITE_STATIC);
    sqlite3_step(st);
    sqlite3_reset(st);
  }
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  const double ms = Ms(Clock::now() - start);
  sqlite3_finalize(st);
  sqlite3_close(db);
  return ms;
}

void BM_FullReload(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const int denied_percent = static_cast<int>(state.range(1));
  if (!bench::SyncCounter::Install()) {
    state.SkipWithError("the sync-counting VFS cannot be installed");
    return;
  }
  HostedUser hosted(n, denied_percent);
  if (!hosted.ok()) {
    state.SkipWithError(hosted.error().c_str());
    return;
  }
  hostd::HostServer& server = hosted.server();
  SystemHandle& handle = *hosted.handle();
  ResetClientFunctionListsForTesting();
  const double bandwidth = LoopbackBytesPerSecond();
  // The wire's part of the floor: `bytes` at the loopback bandwidth.
  auto wire_ms = [bandwidth](uint64_t bytes) {
    return bandwidth > 0 ? static_cast<double>(bytes) / bandwidth * 1000 : 0;
  };
  const std::string certificate = hosted.dir().File("host-cert.pem");
  const std::string key = hosted.dir().File("host-key.pem");
  BareExchanges tls_exchanges(certificate, key, /*tls=*/true);
  BareExchanges plain_exchanges(certificate, key, /*tls=*/false);
  ShapedExchanges shaped_exchanges(certificate, key);
  const std::string cache_file =
      hosted.paths().user_store.substr(0, hosted.paths().user_store.rfind('/')) + "/cache.db";

  uint64_t calls = 0, list_calls = 0, bytes = 0, asked = 0, syncs = 0;
  size_t denied_count = 0;
  std::vector<Row> rows;
  std::vector<double> ratios, walls, in_calls, writes, round_trips, plain_round_trips,
      shaped_round_trips, shaped_ratios;
  for (auto _ : state) {
    state.PauseTiming();
    ResetRegistryCacheForTesting();
    if (CRegistryCache::openCacheRegKey() == 0) deleteRegTree(CRegistryCache::cacheKey(), u"SYS1");
    ResetRegistryCacheForTesting();
    (void)hosted.registry().RegFlushKey(kHKeyCurrentUser);
    const uint64_t c0 = server.calls_answered(), l0 = server.calls_of("KLIB/KRFNLST"),
                   a0 = server.call_bytes_received(), b0 = a0 + server.call_bytes_sent(),
                   s0 = bench::SyncCounter::syncs();
    const std::chrono::nanoseconds w0 = hosted.waited_for_host();
    state.ResumeTiming();
    const auto start = Clock::now();

    std::unique_ptr<DeniedSet> denied;
    std::u16string user = u"BENCH";
    if (CRegistryCache::getUserValues(&handle, u"SYS1", user, &denied) != 0) {
      state.SkipWithError("the reload failed");
      break;
    }

    const double wall = Ms(Clock::now() - start);
    state.PauseTiming();
    denied_count = denied ? denied->size() : 0;
    calls = server.calls_answered() - c0;
    list_calls = server.calls_of("KLIB/KRFNLST") - l0;
    asked = server.call_bytes_received() - a0;
    bytes = server.call_bytes_received() + server.call_bytes_sent() - b0;
    syncs = bench::SyncCounter::syncs() - s0;
    // Its floor, in the same turn.
    if (rows.empty()) rows = CacheRows(cache_file);
    const double wire = wire_ms(bytes);
    const double write = OneTransactionMs(rows, hosted.dir().File("floor.db"));
    const double round_trip = tls_exchanges.Run(calls);
    walls.push_back(wall);
    in_calls.push_back(
        std::chrono::duration<double, std::milli>(hosted.waited_for_host() - w0).count());
    writes.push_back(write);
    round_trips.push_back(round_trip);
    plain_round_trips.push_back(plain_exchanges.Run(calls));
    if (round_trip > 0) ratios.push_back(wall / (wire + write + round_trip));
    // The shaped exchanges carry the reload's bytes themselves.
    const double shaped =
        calls == 0 ? 0.0
                   : shaped_exchanges.Run(calls, static_cast<uint32_t>(asked / calls),
                                          static_cast<uint32_t>((bytes - asked) / calls));
    shaped_round_trips.push_back(shaped);
    if (shaped > 0) shaped_ratios.push_back(wall / (write + shaped));
    state.ResumeTiming();
  }
  if (ratios.size() != walls.size() || shaped_ratios.size() != walls.size()) {
    state.SkipWithError("a bare exchange failed");
    return;
  }

  state.counters["calls"] = static_cast<double>(calls);
  state.counters["list_calls"] = static_cast<double>(list_calls);
  state.counters["denied"] = static_cast<double>(denied_count);
  state.counters["rows"] = static_cast<double>(rows.size());
  state.counters["wire_MB"] = static_cast<double>(bytes) / 1e6;
  state.counters["syncs"] = static_cast<double>(syncs);
  // Medians of the rounds: the reload, the time inside its program calls
  // (round trips and the host's work, with the replies' decoding; the rest
  // is the client's), and the floor's parts.
  state.counters["wall_ms"] = bench::Median(walls);
  state.counters["in_calls_ms"] = bench::Median(in_calls);
  state.counters["floor_wire_ms"] = wire_ms(bytes);
  state.counters["floor_write_ms"] = bench::Median(writes);
  state.counters["bare_round_trips_ms"] = bench::Median(round_trips);
  state.counters["bare_plain_round_trips_ms"] = bench::Median(plain_round_trips);
  state.counters["vs_floor"] = bench::Median(ratios);
  state.counters["shaped_round_trips_ms"] = bench::Median(shaped_round_trips);
  state.counters["vs_shaped_floor"] = bench::Median(shaped_ratios);
  state.SetLabel(std::to_string(denied_percent) + "% denied");
}
// More rounds where a round is short, so that the median is steadier.
BENCHMARK(BM_FullReload)
    ->ArgsProduct({{1000}, {0, 10, 50, 100}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(41);
BENCHMARK(BM_FullReload)
    ->ArgsProduct({{10000}, {0, 10, 50, 100}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(21);
BENCHMARK(BM_FullReload)
    ->ArgsProduct({{100000}, {0, 10, 50, 100}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
