// The listeners and event loops: accepting clients (pausing while out of
// descriptors), moving their bytes without blocking, and handing whole frames
// to the worker pools (hostd/worker_pool.h) and their answers back. What a
// frame means is the session's business (hostd/session.cc).
#include "hostd/host_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <unordered_map>
#include <utility>

#include "hostd/certificate_dates.h"
#include "hostd/host_programs.h"
#include "hostd/listen_sockets.h"
#include "hostd/server_log.h"
#include "pgm/wire.h"
#include "services/mutex.h"

namespace zvt::hostd {

std::string ProtocolErrorFrame(uint16_t code, const std::string& text) {
  return wire::EncodeFrame(wire::FrameType::kProtocolError,
                           wire::Encode(wire::ProtocolError{code, text}));
}

namespace {

// The server's TLS context from `options`, or null without a certificate.
// `*not_after` is when its certificate expires (0: no TLS).
bool LoadTls(const ServerOptions& options, std::shared_ptr<tls::ServerContext>* context,
             int64_t* not_after, std::string* error) {
  context->reset();
  *not_after = 0;
  if (options.tls_certificate.empty() && options.tls_key.empty()) return true;
  if (options.tls_certificate.empty() || options.tls_key.empty()) {
    *error = "TLS needs both a certificate and its key";
    return false;
  }
  // As sshd does with its host keys: a private key others may read, or one
  // of another user's, is not used.
  struct stat st {};
  if (stat(options.tls_key.c_str(), &st) == 0) {
    if (st.st_uid != geteuid()) {
      *error = "the private key " + options.tls_key + " belongs to another user (uid " +
               std::to_string(st.st_uid) + "); it must be zvthostd's own";
      return false;
    }
    if ((st.st_mode & 077) != 0) {
      char mode[8];
      std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
      *error = "the private key " + options.tls_key + " may be read by others (mode " + mode +
               "); chmod 600 " + options.tls_key;
      return false;
    }
  }
  *context = tls::LoadServerContext(options.tls_certificate, options.tls_key, error);
  return *context != nullptr && CertificateNotAfter(options.tls_certificate, not_after, error);
}

// A SQLite store (and its journal files) open to others is made private,
// and the log says so: it holds the password hashes.
void MakeStorePrivate(const std::string& location) {
  if (HostStore::IsPostgresLocation(location)) return;
  for (const char* suffix : {"", "-wal", "-shm"}) {
    const std::string path = location + suffix;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || (st.st_mode & 077) == 0) continue;
    if (chmod(path.c_str(), st.st_mode & 0700) == 0) {
      char mode[8];
      std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
      Log(LogLevel::kWarning, path + " was open to others (mode " + mode + "); made it 0600");
    } else {
      Log(LogLevel::kWarning,
          path + " is open to others and cannot be made private: " + std::strerror(errno));
    }
  }
}

AdmissionLimits LimitsOf(const ServerOptions& options) {
  AdmissionLimits limits;
  limits.max_unauthenticated_per_network = options.max_unauthenticated_per_address;
  limits.limit_loopback = options.limit_loopback;
  limits.ipv4_prefix = options.ipv4_prefix;
  limits.ipv6_prefix = options.ipv6_prefix;
  limits.penalty_ms = options.penalty_ms;
  limits.max_penalty_ms = options.max_penalty_ms;
  limits.signon_failures_allowed = options.signon_failures_allowed;
  limits.signon_lockout_ms = options.signon_lockout_ms;
  return limits;
}

// The answer to a sign-on whose network has its fill of sign-ons waiting.
std::string BusyFrame() {
  wire::SignonReply busy;
  busy.messages.push_back({wire::kMessageHostBusy, 40,
                           "The host is busy with sign-ons from your network; try again later."});
  return wire::EncodeFrame(wire::FrameType::kSignonReply, wire::Encode(busy));
}

// The address of a peer given as AddressText has it, without the port.
std::string SourceOf(const std::string& peer) { return peer.substr(0, peer.rfind(':')); }

}  // namespace

HostServer::HostServer(ServerOptions options, ServerHooks* hooks)
    : options_(std::move(options)),
      max_frame_(options_.max_frame),
      max_request_frame_(options_.max_request_frame),
      idle_timeout_ms_(options_.idle_timeout_ms),
      max_clients_(options_.max_clients),
      admission_(LimitsOf(options_)),
      hooks_(hooks != nullptr ? hooks : &no_hooks_) {
  if (options_.metrics)
    metrics_ = std::make_unique<ServerMetrics>(
        HostStore::IsPostgresLocation(options_.store_path) ? "postgresql" : "sqlite", ZVT_VERSION);
}

HostServer::~HostServer() { Stop(); }

void HostServer::Refused(const char* reason, const std::string& text, const LogFields& fields) {
  if (metrics_) metrics_->Refusal(reason);
  LogRefusal(reason, text, fields);
}

std::unique_ptr<HostStore> HostServer::OpenStore(std::string* error) {
  if (!store_) {
    *error = "the server has not started";
    return nullptr;
  }
  return store_->OpenAnother(error);
}

ServerMetrics::State HostServer::MetricsState() {
  ServerMetrics::State s;
  const int signed_on = signed_on_.load();
  s.signed_on = signed_on;
  s.awaiting_signon = std::max(0, clients_.load() - signed_on);
  s.programs_waiting = static_cast<int64_t>(programs_.waiting());
  s.signons_waiting = static_cast<int64_t>(signons_.waiting());
  s.penalties_in_force = static_cast<int64_t>(admission_.penalties_in_force());
  s.lockouts_in_force = static_cast<int64_t>(admission_.lockouts_in_force());
  s.partial_frame_bytes = static_cast<int64_t>(partial_frame_bytes());
  s.certificate_expiry = certificate_expiry_.load();
  return s;
}

bool HostServer::Reconfigure(const ServerOptions& options, std::string* error) {
  std::shared_ptr<tls::ServerContext> tls;
  int64_t not_after = 0;
  if (!LoadTls(options, &tls, &not_after, error)) return false;
  {
    MutexLock lock(&tls_mu_);
    if (tls_ && !tls) {
      *error = "TLS cannot be switched off while serving";
      return false;
    }
  }
  if (!call_log_.Reopen(options.call_log, error)) return false;
  {
    MutexLock lock(&tls_mu_);
    tls_ = std::move(tls);
  }
  certificate_expiry_ = not_after;
  max_frame_ = options.max_frame;
  max_request_frame_ = options.max_request_frame;
  idle_timeout_ms_ = options.idle_timeout_ms;
  max_clients_ = options.max_clients;
  return true;
}

bool HostServer::Listen(const ListenAddress& endpoint, std::string* error) {
  const size_t first = addresses_.size();
  uint16_t port = 0;
  const bool ok = ListenOn(endpoint, &listen_fds_, &addresses_, &port, error);
  if (listen_fds_.size() > 0 && port_ == 0) port_ = port;
  for (size_t i = first; i < addresses_.size(); ++i)
    Log(LogLevel::kInfo, "listening on " + addresses_[i]);
  return ok;
}

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kHandshakeFrameLimit = 4096;  // before sign-on
constexpr size_t kReadChunk = 64 * 1024;
constexpr int kTickMs = 100;
constexpr int kClosingGraceMs = 1000;  // for a last frame to leave
// Connections over a limit told so inside TLS at once, and how long each
// may take; beyond that many they are closed with a plaintext refusal.
constexpr int kMaxRefusingInTls = 64;
constexpr int kRefusalHandshakeMs = 2000;
constexpr int kBusyAnswerDelayMs = 1000;
constexpr uint64_t kWakeTag = 0;
constexpr uint64_t kListenerTag = uint64_t{1} << 63;

int Processors() { return static_cast<int>(std::max(1u, std::thread::hardware_concurrency())); }

// What a failed TLS read says, as a handshake failure's reason.
ServerMetrics::TlsFailure TlsFailureOf(const std::string& error) {
  using F = ServerMetrics::TlsFailure;
  if (error.find("did not start TLS") != std::string::npos) return F::kNotTls;
  if (error.find("version") != std::string::npos) return F::kVersion;
  if (error.find("cipher") != std::string::npos) return F::kCipher;
  return F::kOther;
}

}  // namespace

// One client's connection, owned by its loop's thread.
struct HostServer::ClientConnection {
  uint64_t id = 0;
  int fd = -1;
  std::shared_ptr<tls::ServerContext> tls;  // the context to accept with
  std::unique_ptr<sockets::Stream> stream;  // null until the first byte says how
  PeerState session;
  wire::FrameReader reader{kHandshakeFrameLimit};
  std::string out;  // bytes to send
  size_t sent = 0;
  std::string refusal;      // over a limit: told inside TLS, then closed (not counted as a client)
  std::string held_answer;  // sent when the deadline comes (a busy answer)
  size_t partial = 0;       // bytes of frames in part, accounted in the server's limits
  std::string partial_of;   // the profile they are accounted to ("": not signed on)
  bool busy = false;        // a frame is with a worker (forever when stalled)
  bool closing = false;     // closed once `out` has left
  bool is_tls = false;      // the stream is a TLS session
  // The last receive left the socket empty: the next bytes come with an
  // event, so it is not asked again until one comes.
  bool drained = false;
  // Why its TLS handshake failed, should it end before the handshake is done.
  ServerMetrics::TlsFailure tls_failure = ServerMetrics::TlsFailure::kClosed;
  Clock::time_point deadline;
};

// An event loop: its thread, its epoll set and its connections.
struct HostServer::Loop {
  int epoll = -1;
  int wake = -1;  // an eventfd that other threads write to
  std::thread thread;
  Mutex mu;
  std::vector<std::unique_ptr<ClientConnection>> arriving ZVT_GUARDED_BY(mu);
  std::vector<std::pair<uint64_t, Outcome>> done ZVT_GUARDED_BY(mu);
  bool waiting ZVT_GUARDED_BY(mu) = false;  // in epoll_wait with nothing posted
  // The loop's thread alone touches the following.
  std::unordered_map<uint64_t, std::unique_ptr<ClientConnection>> connections;
  // For the calls answered from what the store holds (AnswerOnLoop).
  std::unique_ptr<HostStore> store;
  uint64_t next_id = 1;
  Clock::time_point accept_paused_until{};
  bool accepting_paused = false;
  // Set by the loop's thread; read by others to tell that the loop turns.
  std::atomic<Clock::time_point> last_tick{};
  Clock::time_point last_pause_logged{};
  uint64_t pauses_unlogged = 0;

  void Wake() {
    uint64_t one = 1;
    (void)!write(wake, &one, sizeof one);
  }
  // Hand over a connection or a worker's answer, waking the loop only when
  // it waits: under load it finds them on its way round without a syscall.
  void PostArriving(std::unique_ptr<ClientConnection> c) {
    bool wake_up;
    {
      MutexLock lock(&mu);
      arriving.push_back(std::move(c));
      wake_up = std::exchange(waiting, false);
    }
    if (wake_up) Wake();
  }
  void PostDone(uint64_t id, Outcome outcome) {
    bool wake_up;
    {
      MutexLock lock(&mu);
      done.emplace_back(id, std::move(outcome));
      wake_up = std::exchange(waiting, false);
    }
    if (wake_up) Wake();
  }
};

bool HostServer::Start(std::string* error, bool* wrong_schema) {
  int64_t not_after = 0;
  if (!LoadTls(options_, &tls_, &not_after, error)) return false;
  certificate_expiry_ = not_after;
  if (!call_log_.Reopen(options_.call_log, error)) return false;
  StoreOptions store_options;
  store_options.connections =
      options_.store_connections > 0 ? options_.store_connections : std::max(2, Processors());
  store_options.hold_stamps = true;
  bool schema = false;
  MakeStorePrivate(options_.store_path);
  store_ = HostStore::Open(options_.store_path, store_options, error, &schema);
  if (wrong_schema != nullptr) *wrong_schema = schema;
  if (!store_ || !store_->GetHostInfo(&info_, error)) return false;
  // Made now, so that the first unknown name answers as fast as any other.
  (void)HostStore::DummyHash();
  if (options_.version != 0) info_.version = options_.version;
  if (options_.release != 0 || options_.version != 0) info_.release = options_.release;

  std::vector<ListenAddress> endpoints = {{options_.listen_address, options_.port}};
  endpoints.insert(endpoints.end(), options_.also_listen.begin(), options_.also_listen.end());
  auto fail = [&](const std::string& why) {
    *error = why;
    for (int fd : listen_fds_) close(fd);
    listen_fds_.clear();
    for (auto& loop : loops_) {
      if (loop->epoll >= 0) close(loop->epoll);
      if (loop->wake >= 0) close(loop->wake);
    }
    loops_.clear();
    return false;
  };
  for (const ListenAddress& e : endpoints)
    if (!Listen(e, error)) return fail(*error);
  for (int fd : listen_fds_) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);

  const int loops = options_.event_loops > 0 ? options_.event_loops : std::min(2, Processors());
  for (int i = 0; i < loops; ++i) {
    auto loop = std::make_unique<Loop>();
    loop->epoll = epoll_create1(EPOLL_CLOEXEC);
    loop->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event wake = {EPOLLIN, {}};
    wake.data.u64 = kWakeTag;
    if (loop->epoll < 0 || loop->wake < 0 ||
        epoll_ctl(loop->epoll, EPOLL_CTL_ADD, loop->wake, &wake) != 0)
      return fail(std::string("cannot make an event loop: ") + std::strerror(errno));
    loops_.push_back(std::move(loop));
    loops_.back()->store = store_->OpenAnother(error);
    if (!loops_.back()->store) return fail(*error);
  }
  for (size_t i = 0; i < listen_fds_.size(); ++i) {
    epoll_event e = {EPOLLIN, {}};
    e.data.u64 = kListenerTag | i;
    if (epoll_ctl(loops_[0]->epoll, EPOLL_CTL_ADD, listen_fds_[i], &e) != 0)
      return fail(std::string("cannot watch a listening socket: ") + std::strerror(errno));
  }
  const int workers = options_.workers > 0 ? options_.workers : std::max(2, Processors());
  // Each worker has a store connection of its own.
  auto open_store = [this](std::string* why) {
    std::unique_ptr<HostStore> store = store_->OpenAnother(why);
    if (!store) Log(LogLevel::kError, "a worker has no host store: " + *why);
    return store;
  };
  for (WorkerPool* pool : {&programs_, &signons_}) pool->Start(workers, open_store);
  for (auto& loop : loops_) loop->thread = std::thread(&HostServer::RunLoop, this, loop.get());
  serving_ = true;
  return true;
}

void HostServer::Stop() {
  serving_ = false;
  if (stopping_.exchange(true)) return;
  for (auto& loop : loops_) {
    loop->Wake();
    if (loop->thread.joinable()) loop->thread.join();
  }
  for (WorkerPool* pool : {&programs_, &signons_}) pool->Stop();
  for (auto& loop : loops_) {
    close(loop->epoll);
    close(loop->wake);
  }
  for (int fd : listen_fds_) close(fd);
  listen_fds_.clear();
}

void HostServer::RunLoop(Loop* loop) {
  std::vector<epoll_event> events(256);
  while (!stopping_) {
    int timeout = kTickMs;
    {
      MutexLock lock(&loop->mu);
      if (loop->arriving.empty() && loop->done.empty())
        loop->waiting = true;
      else
        timeout = 0;
    }
    int n = epoll_wait(loop->epoll, events.data(), static_cast<int>(events.size()), timeout);
    if (n < 0 && errno != EINTR) {
      Log(LogLevel::kError, std::string("event loop: ") + std::strerror(errno));
      break;
    }
    for (int i = 0; i < n; ++i) {
      const uint64_t tag = events[i].data.u64;
      if (tag == kWakeTag) {
        uint64_t count;
        (void)!read(loop->wake, &count, sizeof count);
      } else if (tag & kListenerTag) {
        AcceptClients(loop, static_cast<size_t>(tag & ~kListenerTag));
      } else {
        auto it = loop->connections.find(tag);
        if (it == loop->connections.end()) continue;
        // A peer gone while its frame is with a worker: nothing is waited
        // for then, and a hang-up would be reported again and again.
        if (it->second->busy && (events[i].events & (EPOLLHUP | EPOLLERR))) {
          Close(loop, it->second.get());
        } else {
          it->second->drained = false;  // whatever the event says, the socket is asked again
          Pump(loop, it->second.get());
        }
      }
    }
    // Connections handed over by the accepting loop, and answers of workers.
    std::vector<std::unique_ptr<ClientConnection>> arriving;
    std::vector<std::pair<uint64_t, Outcome>> done;
    {
      MutexLock lock(&loop->mu);
      loop->waiting = false;
      arriving.swap(loop->arriving);
      done.swap(loop->done);
    }
    for (auto& c : arriving) Adopt(loop, std::move(c));
    for (auto& [id, outcome] : done) {
      auto it = loop->connections.find(id);
      if (it != loop->connections.end()) Finish(loop, it->second.get(), std::move(outcome));
    }
    if (Clock::now() - loop->last_tick.load() >= std::chrono::milliseconds(kTickMs)) Tick(loop);
  }
  while (!loop->connections.empty()) Close(loop, loop->connections.begin()->second.get());
  MutexLock lock(&loop->mu);
  loop->arriving.clear();
}

void HostServer::AcceptClients(Loop* loop, size_t listener) {
  // Drains a burst: as many as are waiting, up to a bound per wake-up.
  for (int i = 0; i < 512 && !loop->accepting_paused; ++i) {
    sockaddr_storage address{};
    socklen_t address_length = sizeof address;
    int fd = accept4(listen_fds_[listener], reinterpret_cast<sockaddr*>(&address), &address_length,
                     SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Out of descriptors: accepting pauses for a moment rather than spin
        // on a listening socket that stays ready.
        // Said at most once a second, with how often it happened meanwhile.
        ++loop->pauses_unlogged;
        const Clock::time_point now = Clock::now();
        if (now - loop->last_pause_logged >= std::chrono::seconds(1)) {
          Log(LogLevel::kWarning,
              std::string("accepting paused: ") + std::strerror(errno) +
                  (loop->pauses_unlogged > 1 ? " (" + std::to_string(loop->pauses_unlogged) +
                                                   " pauses since the last report)"
                                             : ""));
          loop->last_pause_logged = now;
          loop->pauses_unlogged = 0;
        }
        for (int l : listen_fds_) {
          epoll_event none = {0, {}};
          epoll_ctl(loop->epoll, EPOLL_CTL_MOD, l, &none);
        }
        loop->accepting_paused = true;
        loop->accept_paused_until = Clock::now() + std::chrono::milliseconds(100);
      }
      return;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::string peer = AddressText(reinterpret_cast<sockaddr*>(&address));
    const std::string source = SourceOf(peer);
    std::string network = admission_.NetworkOf(source);
    auto refuse = [fd](const std::string& text) {
      std::string frame = ProtocolErrorFrame(wire::kErrorUnexpected, text), ignored;
      (void)sockets::Send(fd, frame.data(), frame.size(), &ignored);  // one try, never a wait
      close(fd);
    };
    std::shared_ptr<tls::ServerContext> tls;
    {
      MutexLock lock(&tls_mu_);
      tls = tls_;
    }
    // Over a limit: told in plaintext and closed at once, or, while few such
    // are in progress and the server speaks TLS, told inside TLS so that the
    // client can read why.
    std::string over_limit;
    int64_t penalty_ms = 0;
    if (clients_.load() >= max_clients_.load()) {
      Refused("too many clients", "refused a client from " + source + ": too many clients",
              LogFields{"", source, "", ""});
      over_limit = "too many clients";
    } else if (!admission_.AdmitUnauthenticated(network, &penalty_ms)) {
      if (penalty_ms > 0) {
        // A penalised network costs a refusal and nothing more.
        Refused("penalised network",
                "refused a client from " + source + ": network " + network +
                    " penalised for another " + std::to_string(penalty_ms) + " ms",
                LogFields{"", source, "", ""});
        refuse("your network is refused for another " + std::to_string((penalty_ms + 999) / 1000) +
               " s after failed sign-ons or refused frames");
        continue;
      }
      Refused("too many awaiting sign-on",
              "refused a client from " + source + ": network " + network +
                  " has too many connections awaiting "
                  "sign-on",
              LogFields{"", source, "", ""});
      over_limit = "too many connections from this address awaiting sign-on";
    }
    if (!over_limit.empty() && (!tls || refusing_.load() >= kMaxRefusingInTls)) {
      refuse(over_limit);
      continue;
    }
    auto c = std::make_unique<ClientConnection>();
    if (over_limit.empty()) {
      accepted_++;
      clients_++;
    } else {
      refusing_++;
      c->refusal = std::move(over_limit);
    }
    c->fd = fd;
    c->session.source = source;
    c->session.network = std::move(network);
    c->session.peer = std::move(peer);
    c->session.version = wire::kOldestProtocolVersion;
    c->session.handshake_deadline =
        Clock::now() + std::chrono::milliseconds(options_.handshake_timeout_ms);
    c->deadline = c->refusal.empty()
                      ? QuietDeadline(c->session)
                      : Clock::now() + std::chrono::milliseconds(kRefusalHandshakeMs);
    c->tls = std::move(tls);
    Loop* to = loops_[next_loop_++ % loops_.size()].get();
    if (to == loop) {
      Adopt(loop, std::move(c));
    } else {
      to->PostArriving(std::move(c));
    }
  }
}

void HostServer::Adopt(Loop* loop, std::unique_ptr<ClientConnection> c) {
  c->id = loop->next_id++;
  if (!c->tls) c->stream = sockets::PlainStream(c->fd);
  // Edge-triggered: a connection is registered once for both directions, and
  // a pump goes on until its stream would block, so no edge is missed.
  epoll_event e = {EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET, {}};
  e.data.u64 = c->id;
  if (epoll_ctl(loop->epoll, EPOLL_CTL_ADD, c->fd, &e) != 0) {
    Log(LogLevel::kWarning, std::string("cannot watch a client: ") + std::strerror(errno));
    if (!c->stream) close(c->fd);
    Uncount(*c);
    return;
  }
  ClientConnection* raw = c.get();
  loop->connections.emplace(c->id, std::move(c));
  Pump(loop, raw);
}

namespace {

// Queues `bytes` to be sent: taken whole when nothing is waiting (an answer,
// usually), else appended.
void QueueOut(std::string* out, std::string bytes) {
  if (out->empty()) {
    *out = std::move(bytes);
  } else {
    *out += bytes;
  }
}

}  // namespace

void HostServer::Refuse(ClientConnection* c, uint16_t code, const std::string& text) {
  c->out += ProtocolErrorFrame(code, text);
  c->closing = true;
  c->deadline = Clock::now() + std::chrono::milliseconds(kClosingGraceMs);
}

Clock::time_point HostServer::QuietDeadline(const PeerState& session) const {
  const Clock::time_point idle = Clock::now() + std::chrono::milliseconds(idle_timeout_ms_.load());
  return session.signed_on ? idle : std::min(session.handshake_deadline, idle);
}

void HostServer::Pump(Loop* loop, ClientConnection* c) {
  std::string error;
  sockets::Ready wait;  // what a stream would block on: the edges tell when
  if (!c->stream) {
    // A client that does not open with a TLS handshake is told so in plain
    // words rather than left to a handshake failure it cannot read.
    unsigned char first = 0;
    ssize_t r = recv(c->fd, &first, 1, MSG_PEEK | MSG_DONTWAIT);
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (r <= 0) return Close(loop, c);
    if (first == tls::kHandshakeRecord) {
      c->stream = tls::Accept(c->tls, c->fd);
      if (!c->stream) {
        c->fd = -1;  // closed by the failed accept
        if (metrics_) metrics_->TlsHandshakeFailed(ServerMetrics::TlsFailure::kOther);
        return Close(loop, c);
      }
      c->is_tls = true;
    } else {
      Refused("plaintext client", "refused a plaintext client from " + c->session.peer,
              c->session.Fields());
      c->stream = sockets::PlainStream(c->fd);
      Refuse(c, wire::kErrorUnexpected,
             "this host server accepts TLS connections only; configure the system with TLS");
    }
    c->tls.reset();
    if (!c->refusal.empty() && !c->closing) Refuse(c, wire::kErrorUnexpected, c->refusal);
  }
  for (;;) {
    // What is to be sent goes first.
    while (c->sent < c->out.size()) {
      long w = c->stream->Send(c->out.data() + c->sent, c->out.size() - c->sent, &wait, &error);
      if (w > 0) {
        c->sent += static_cast<size_t>(w);
      } else if (w == sockets::kWouldBlock) {
        break;
      } else {
        return Close(loop, c);
      }
    }
    if (c->sent < c->out.size()) break;
    c->out.clear();
    c->sent = 0;
    if (c->closing) return Close(loop, c);
    if (c->busy || stopping_) break;
    // Then a whole frame, if one is there, goes to a worker.
    const uint32_t limit = std::min(
        max_frame_.load(), c->session.signed_on ? max_request_frame_.load() : kHandshakeFrameLimit);
    c->reader.set_max_frame(limit);
    wire::Frame frame;
    wire::FrameReader::Result r = c->reader.Next(&frame, &error);
    if (r == wire::FrameReader::Result::kFrame) {
      c->reader.Shrink();
      ReleasePartial(c);
      if (c->session.transport.empty()) c->session.transport = c->stream->Protocol();
      if (frame.type == wire::FrameType::kHello) {
        // The handshake needs no store: answered here, without a worker.
        Outcome outcome = Handle(std::move(c->session), frame, nullptr, MetricsNow());
        c->session = std::move(outcome.session);
        QueueOut(&c->out, std::move(outcome.bytes));
        if (outcome.close) {
          c->closing = true;
          c->deadline = Clock::now() + std::chrono::milliseconds(kClosingGraceMs);
        }
        continue;
      }
      if (frame.type == wire::FrameType::kSignon) {
        const size_t waiting = admission_.Limited(c->session.network)
                                   ? static_cast<size_t>(options_.signons_waiting_per_network)
                                   : SIZE_MAX;
        if (!Queue(&signons_, c->session.network, waiting,
                   Job{loop, c->id, c->session, std::move(frame), MetricsNow()})) {
          // The network's sign-ons wait already: this one is answered at
          // once rather than make every other network wait behind them.
          Refused("busy",
                  "sign-on from " + c->session.peer + " answered busy: network " +
                      c->session.network + " has " + std::to_string(waiting) + " sign-ons waiting",
                  c->session.Fields());
          // The answer waits a while, reading nothing meanwhile: a client
          // that would hammer again at once is slowed to the network's cap
          // of waiting connections per delay, and an honest one waits
          // longer than this before trying again anyway.
          c->held_answer = BusyFrame();
          c->busy = true;
          c->deadline = Clock::now() + std::chrono::milliseconds(kBusyAnswerDelayMs);
          break;
        }
      } else {
        // What the store holds in memory (timestamps, list pages) is
        // answered here; anything that needs the store goes to a worker.
        Outcome held;
        if (AnswerOnLoop(c->session, frame, loop->store.get(), MetricsNow(), &held)) {
          QueueOut(&c->out, std::move(held.bytes));
          c->deadline = QuietDeadline(c->session);
          continue;
        }
        Queue(&programs_, "", SIZE_MAX,
              Job{loop, c->id, c->session, std::move(frame), MetricsNow()});
      }
      c->busy = true;
      break;
    }
    if (r == wire::FrameReader::Result::kError) {
      admission_.Penalise(c->session.network, Admission::Offence::kRefusedFrame);
      Refused("frame refused", "refused a frame from " + c->session.peer + ": " + error,
              c->session.Fields());
      Refuse(c, c->reader.DeclaredLength() > limit ? wire::kErrorTooLarge : wire::kErrorMalformed,
             error);
      continue;
    }
    // A frame in part: what is held of it counts against the limits (bytes
    // that make a whole frame as they arrive never do).
    if (!HoldPartial(c)) {
      Refused("partial frames",
              "refused a frame from " + c->session.peer +
                  ": the host holds its fill of frames received in part",
              c->session.Fields());
      Refuse(c, wire::kErrorTooLarge,
             "the host holds its fill of frames received in part; try again later");
      continue;
    }
    // Or more bytes of it: as many as arrived, never more than a chunk ahead.
    // The socket's edges are reported, so one emptied by the last receive
    // is asked again only when an event says bytes came.
    if (c->drained) break;
    char buffer[kReadChunk];
    long n = c->stream->Receive(buffer, sizeof buffer, &wait, &error);
    if (n > 0) {
      c->drained = c->stream->Drained();
      c->reader.Feed(std::string_view(buffer, static_cast<size_t>(n)));
      continue;
    }
    if (n == sockets::kWouldBlock) break;
    if (n == sockets::kFailed && !c->session.signed_on)
      Log(LogLevel::kNotice, "connection from " + c->session.peer + " failed: " + error);
    if (n == sockets::kFailed) c->tls_failure = TlsFailureOf(error);
    return Close(loop, c);
  }
  // Nothing to change in the epoll set: it reports each connection's edges
  // (bytes arrived, room to send), and a connection whose frame is with a
  // worker is pumped again when the worker is done.
}

void HostServer::Finish(Loop* loop, ClientConnection* c, Outcome outcome) {
  c->busy = false;
  if (!c->session.signed_on && outcome.session.signed_on) {
    admission_.ReleaseUnauthenticated(c->session.network);
    signed_on_++;
  }
  c->session = std::move(outcome.session);
  if (outcome.stall) {
    c->busy = true;
    c->deadline = Clock::time_point::max();
    return Pump(loop, c);
  }
  if (outcome.reset) {
    struct linger hard = {1, 0};
    setsockopt(c->fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    return Close(loop, c);
  }
  QueueOut(&c->out, std::move(outcome.bytes));
  if (outcome.close) {
    c->closing = true;
    c->deadline = Clock::now() + std::chrono::milliseconds(kClosingGraceMs);
  } else {
    c->deadline = QuietDeadline(c->session);
  }
  Pump(loop, c);
}

void HostServer::Uncount(const ClientConnection& c) {
  if (!c.refusal.empty()) {
    refusing_--;
    return;
  }
  if (!c.session.signed_on) admission_.ReleaseUnauthenticated(c.session.network);
  if (c.session.signed_on) signed_on_--;
  clients_--;
}

bool HostServer::HoldPartial(ClientConnection* c) {
  const size_t now = c->reader.Buffered();
  if (now == c->partial) return true;  // nothing changed (mostly: nothing held)
  MutexLock lock(&partial_mu_);
  // Nothing held yet: accounted to whom the connection is now.
  if (c->partial == 0) c->partial_of = c->session.signed_on ? c->session.user : "";
  size_t& mine = partial_by_profile_[c->partial_of];
  const size_t others_total = partial_total_ - c->partial, others_mine = mine - c->partial;
  if (now > c->partial && (others_total + now > options_.partial_frames_total ||
                           others_mine + now > options_.partial_frames_per_profile)) {
    if (mine == 0) partial_by_profile_.erase(c->partial_of);
    return false;
  }
  partial_total_ = others_total + now;
  mine = others_mine + now;
  c->partial = now;
  if (mine == 0) partial_by_profile_.erase(c->partial_of);
  return true;
}

void HostServer::ReleasePartial(ClientConnection* c) {
  if (c->partial > 0) {
    MutexLock lock(&partial_mu_);
    partial_total_ -= c->partial;
    auto it = partial_by_profile_.find(c->partial_of);
    if (it != partial_by_profile_.end() && (it->second -= c->partial) == 0)
      partial_by_profile_.erase(it);
    c->partial = 0;
  }
}

bool HostServer::LoopsTurning(std::chrono::milliseconds within) const {
  const Clock::time_point now = Clock::now();
  for (const auto& loop : loops_)
    if (now - loop->last_tick.load() > within) return false;
  return serving_.load();
}

void HostServer::Close(Loop* loop, ClientConnection* c) {
  ReleasePartial(c);
  if (metrics_ && c->is_tls && c->stream && !c->stream->Established())
    metrics_->TlsHandshakeFailed(c->tls_failure);
  if (c->fd >= 0) epoll_ctl(loop->epoll, EPOLL_CTL_DEL, c->fd, nullptr);
  if (!c->stream && c->fd >= 0) close(c->fd);
  Uncount(*c);
  loop->connections.erase(c->id);  // the stream closes the socket
}

void HostServer::Tick(Loop* loop) {
  const Clock::time_point now = Clock::now();
  loop->last_tick = now;
  if (loop->accepting_paused && now >= loop->accept_paused_until) {
    loop->accepting_paused = false;
    for (size_t i = 0; i < listen_fds_.size(); ++i) {
      epoll_event e = {EPOLLIN, {}};
      e.data.u64 = kListenerTag | i;
      epoll_ctl(loop->epoll, EPOLL_CTL_MOD, listen_fds_[i], &e);
    }
  }
  std::vector<ClientConnection*> late;
  for (auto& [id, c] : loop->connections)
    if ((!c->busy || !c->held_answer.empty()) && now >= c->deadline) late.push_back(c.get());
  for (ClientConnection* c : late) {
    if (!c->held_answer.empty()) {
      c->out += std::exchange(c->held_answer, std::string());
      c->busy = false;
      c->closing = true;
      c->deadline = now + std::chrono::milliseconds(kClosingGraceMs);
      Pump(loop, c);
      continue;
    }
    if (!c->session.signed_on && !c->closing && c->refusal.empty()) {
      admission_.Penalise(c->session.network, Admission::Offence::kUnfinishedSignon);
      if (metrics_) metrics_->Refusal("handshake timeout");
    } else if (c->session.signed_on && !c->closing && metrics_) {
      metrics_->Refusal("idle");
    }
    if (c->is_tls && c->stream && !c->stream->Established())
      c->tls_failure = ServerMetrics::TlsFailure::kTimeout;
    if (c->closing || !c->stream) {
      Close(loop, c);
      continue;
    }
    Refuse(c, wire::kErrorUnexpected,
           c->session.signed_on ? "idle for too long" : "sign-on not completed in time");
    Pump(loop, c);
  }
  if (loop == loops_[0].get()) FlushRefusals();
}

bool HostServer::Queue(WorkerPool* pool, const std::string& lane, size_t max_waiting, Job job) {
  return pool->Post(
      lane, max_waiting,
      [this, job = std::move(job)](HostStore* store, const std::string& store_error) mutable {
        Outcome outcome;
        if (store == nullptr) {
          outcome.session = job.session;
          outcome.bytes =
              ProtocolErrorFrame(wire::kErrorUnexpected, "host store unavailable: " + store_error);
          outcome.close = true;
        } else {
          outcome = Handle(std::move(job.session), job.frame, store, job.since);
        }
        job.loop->PostDone(job.id, std::move(outcome));
      });
}

}  // namespace zvt::hostd
