// Accepting clients and serving the wire protocol.
#include "hostd/host_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>

#include "hostd/host_programs.h"
#include "hostd/server_log.h"
#include "pgm/wire.h"

namespace zvt::hostd {
namespace {

std::string ProtocolErrorFrame(uint16_t code, const std::string& text) {
  return wire::EncodeFrame(wire::FrameType::kProtocolError,
                           wire::Encode(wire::ProtocolError{code, text}));
}

// Refusals before a stream exists go out on the bare socket.
void SendProtocolError(int fd, uint16_t code, const std::string& text) {
  std::string ignored;
  wire::WriteAll(fd, ProtocolErrorFrame(code, text), 1000, &ignored);
}

void SendProtocolError(sockets::Stream* stream, uint16_t code, const std::string& text) {
  std::string ignored;
  wire::WriteAll(stream, ProtocolErrorFrame(code, text), 1000, &ignored);
}

bool Send(sockets::Stream* stream, wire::FrameType type, const std::string& payload) {
  std::string ignored;
  return wire::WriteAll(stream, wire::EncodeFrame(type, payload), 30000, &ignored);
}

// The server's TLS context from `options`, or null without a certificate.
bool LoadTls(const ServerOptions& options, std::shared_ptr<tls::ServerContext>* context,
             std::string* error) {
  context->reset();
  if (options.tls_certificate.empty() && options.tls_key.empty()) return true;
  if (options.tls_certificate.empty() || options.tls_key.empty()) {
    *error = "TLS needs both a certificate and its key";
    return false;
  }
  *context = tls::LoadServerContext(options.tls_certificate, options.tls_key, error);
  return *context != nullptr;
}

int OpenCallLog(const std::string& path, std::string* error) {
  if (path.empty()) return -1;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) *error = "cannot open the call log " + path + ": " + std::strerror(errno);
  return fd;
}

// Names from the network go into the log as one word of printable ASCII.
std::string LogWord(const std::string& text) {
  std::string word = text.empty() ? "-" : text.substr(0, 64);
  for (char& c : word)
    if (c <= ' ' || c > '~') c = '?';
  return word;
}

// "HOST:PORT" or "[IPV6]:PORT".
std::string AddressText(const sockaddr* a) {
  char host[INET6_ADDRSTRLEN] = "?";
  uint16_t port = 0;
  if (a->sa_family == AF_INET6) {
    auto* in6 = reinterpret_cast<const sockaddr_in6*>(a);
    inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
    return "[" + std::string(host) + "]:" + std::to_string(ntohs(in6->sin6_port));
  }
  if (a->sa_family == AF_INET) {
    auto* in = reinterpret_cast<const sockaddr_in*>(a);
    inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
    port = ntohs(in->sin_port);
  }
  return std::string(host) + ":" + std::to_string(port);
}

// The address of a peer given as AddressText has it, without the port.
std::string SourceOf(const std::string& peer) { return peer.substr(0, peer.rfind(':')); }

}  // namespace

HostServer::HostServer(ServerOptions options)
    : options_(std::move(options)),
      max_frame_(options_.max_frame),
      idle_timeout_ms_(options_.idle_timeout_ms),
      max_clients_(options_.max_clients) {}

HostServer::~HostServer() {
  Stop();
  if (call_log_fd_ >= 0) close(call_log_fd_);
}

bool HostServer::Reconfigure(const ServerOptions& options, std::string* error) {
  std::shared_ptr<tls::ServerContext> tls;
  if (!LoadTls(options, &tls, error)) return false;
  {
    std::lock_guard<std::mutex> lock(tls_mu_);
    if (tls_ && !tls) {
      *error = "TLS cannot be switched off while serving";
      return false;
    }
  }
  int log_fd = OpenCallLog(options.call_log, error);
  if (!options.call_log.empty() && log_fd < 0) return false;
  {
    std::lock_guard<std::mutex> lock(tls_mu_);
    tls_ = std::move(tls);
  }
  max_frame_ = options.max_frame;
  idle_timeout_ms_ = options.idle_timeout_ms;
  max_clients_ = options.max_clients;
  std::lock_guard<std::mutex> lock(log_mu_);
  if (call_log_fd_ >= 0) close(call_log_fd_);
  call_log_fd_ = log_fd;
  return true;
}

bool HostServer::Listen(const Endpoint& endpoint, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const char* host = endpoint.host.empty() ? nullptr : endpoint.host.c_str();
  uint16_t port = endpoint.port;
  if (int rc = getaddrinfo(host, std::to_string(port).c_str(), &hints, &found); rc != 0) {
    *error = "cannot resolve " + endpoint.host + ": " + gai_strerror(rc);
    return false;
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> results(found, freeaddrinfo);
  for (addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
    // Every address of a name on one port: the first one bound picks it
    // when the port is 0.
    if (ai->ai_family == AF_INET6)
      reinterpret_cast<sockaddr_in6*>(ai->ai_addr)->sin6_port = htons(port);
    else if (ai->ai_family == AF_INET)
      reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_port = htons(port);
    int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    int one = 1;
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd >= 0 && ai->ai_family == AF_INET6)
      setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (fd < 0 || bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || listen(fd, SOMAXCONN) != 0) {
      *error = "cannot listen on " + AddressText(ai->ai_addr) + ": " + std::strerror(errno);
      if (fd >= 0) close(fd);
      return false;
    }
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
    port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    if (listen_fds_.empty()) port_ = port;
    listen_fds_.push_back(fd);
    addresses_.push_back(AddressText(reinterpret_cast<sockaddr*>(&bound)));
    Log(LogLevel::kInfo, "listening on " + addresses_.back());
  }
  return true;
}

bool HostServer::Start(std::string* error) {
  if (!LoadTls(options_, &tls_, error)) return false;
  if (!options_.call_log.empty()) {
    std::lock_guard<std::mutex> lock(log_mu_);
    call_log_fd_ = OpenCallLog(options_.call_log, error);
    if (call_log_fd_ < 0) return false;
  }
  std::unique_ptr<HostStore> store = HostStore::Open(options_.store_path, error);
  if (!store || !store->GetHostInfo(&info_, error)) return false;
  if (options_.version != 0) info_.version = options_.version;
  if (options_.release != 0 || options_.version != 0) info_.release = options_.release;

  std::vector<Endpoint> endpoints = {{options_.listen_address, options_.port}};
  endpoints.insert(endpoints.end(), options_.also_listen.begin(), options_.also_listen.end());
  for (const Endpoint& e : endpoints) {
    if (!Listen(e, error)) {
      for (int fd : listen_fds_) close(fd);
      listen_fds_.clear();
      return false;
    }
  }
  if (pipe2(wake_, O_CLOEXEC) != 0) {
    *error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return false;
  }
  acceptor_ = std::thread(&HostServer::AcceptLoop, this);
  return true;
}

void HostServer::Stop() {
  if (stopping_.exchange(true)) return;
  if (wake_[1] >= 0) {
    char b = 1;
    ssize_t ignored = write(wake_[1], &b, 1);
    (void)ignored;
  }
  if (acceptor_.joinable()) acceptor_.join();
  std::unique_lock<std::mutex> lock(mu_);
  for (auto& [id, fd] : clients_) shutdown(fd, SHUT_RDWR);
  cv_.notify_all();
  cv_.wait(lock, [this] { return threads_.empty(); });
  for (std::thread& t : finished_) t.join();
  finished_.clear();
  lock.unlock();
  for (int fd : {wake_[0], wake_[1]})
    if (fd >= 0) close(fd);
  for (int fd : listen_fds_) close(fd);
  listen_fds_.clear();
  wake_[0] = wake_[1] = -1;
}

uint64_t HostServer::calls_of(const std::string& program) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = program_calls_.find(program);
  return it == program_calls_.end() ? 0 : it->second;
}

void HostServer::AcceptLoop() {
  uint64_t next_id = 1;
  std::vector<pollfd> polled;
  for (int fd : listen_fds_) polled.push_back({fd, POLLIN, 0});
  polled.push_back({wake_[0], POLLIN, 0});
  bool paused = false;
  while (!stopping_) {
    if (paused) {
      // Out of descriptors: accepts pause for a moment rather than spin on a
      // listening socket that stays ready.
      (void)poll(&polled.back(), 1, 100);
      paused = false;
      continue;
    }
    if (poll(polled.data(), polled.size(), 1000) < 0 && errno != EINTR) break;
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (std::thread& t : finished_) t.join();
      finished_.clear();
    }
    if (stopping_) continue;
    for (size_t i = 0; i + 1 < polled.size(); ++i) {
      if ((polled[i].revents & POLLIN) == 0) continue;
      sockaddr_storage address{};
      socklen_t address_length = sizeof address;
      int fd = accept4(polled[i].fd, reinterpret_cast<sockaddr*>(&address), &address_length,
                       SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          Log(LogLevel::kWarning, std::string("accepting paused: ") + std::strerror(errno));
          paused = true;
        }
        continue;
      }
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      std::string peer = AddressText(reinterpret_cast<sockaddr*>(&address));
      const std::string source = SourceOf(peer);
      std::lock_guard<std::mutex> lock(mu_);
      if (static_cast<int>(clients_.size()) >= max_clients_.load()) {
        SendProtocolError(fd, wire::kErrorUnexpected, "too many clients");
        close(fd);
        continue;
      }
      const bool loopback = source.rfind("127.", 0) == 0 || source == "[::1]";
      int& waiting = unauthenticated_[source];
      if ((!loopback || options_.limit_loopback) &&
          waiting >= options_.max_unauthenticated_per_address) {
        if (waiting == options_.max_unauthenticated_per_address)
          Log(LogLevel::kNotice, "refusing connections from " + source + ": " +
                                     std::to_string(waiting) + " of its connections await sign-on");
        SendProtocolError(fd, wire::kErrorUnexpected,
                          "too many connections from this address awaiting sign-on");
        close(fd);
        continue;
      }
      ++waiting;
      accepted_++;
      uint64_t id = next_id++;
      clients_[id] = fd;
      threads_[id] = std::thread(&HostServer::Serve, this, fd, id, std::move(peer));
    }
  }
}

void HostServer::Finish(uint64_t id) {
  std::lock_guard<std::mutex> lock(mu_);
  clients_.erase(id);
  auto it = threads_.find(id);
  if (it != threads_.end()) {
    finished_.push_back(std::move(it->second));
    threads_.erase(it);
  }
  cv_.notify_all();
}

void HostServer::Serve(int fd, uint64_t id, std::string peer) {
  std::string error;
  Session session;
  session.source = SourceOf(peer);
  session.peer = std::move(peer);
  session.version = wire::kOldestProtocolVersion;
  session.handshake_deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.handshake_timeout_ms);
  std::unique_ptr<HostStore> store = HostStore::Open(options_.store_path, &error);
  std::unique_ptr<sockets::Stream> stream;
  if (!store) {
    SendProtocolError(fd, wire::kErrorUnexpected, "host store unavailable: " + error);
    close(fd);
  } else if ((stream = StreamFor(fd, session)) != nullptr) {
    wire::FrameSocket reader(stream.get());
    while (!stopping_ && ServeOne(stream.get(), &session, &reader, store.get())) {
    }
    stream.reset();  // closes the socket
  }
  if (!session.signed_on) ReleaseUnauthenticated(session.source);
  Finish(id);
}

std::unique_ptr<sockets::Stream> HostServer::StreamFor(int fd, const Session& session) {
  std::shared_ptr<tls::ServerContext> context;
  {
    std::lock_guard<std::mutex> lock(tls_mu_);
    context = tls_;
  }
  if (!context) return sockets::PlainStream(fd);
  // A client that does not open with a TLS handshake is told so in plain
  // words rather than left to a handshake failure it cannot read.
  std::string error;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                  session.handshake_deadline - std::chrono::steady_clock::now())
                  .count();
  unsigned char first = 0;
  if (sockets::WaitFor(fd, sockets::Ready::kRead, static_cast<int>(std::max<int64_t>(left, 0)),
                       &error) <= 0 ||
      recv(fd, &first, 1, MSG_PEEK) != 1) {
    close(fd);
    return nullptr;
  }
  if (first != tls::kHandshakeRecord) {
    Log(LogLevel::kNotice, "refused a plaintext client from " + session.peer);
    SendProtocolError(fd, wire::kErrorUnexpected,
                      "this host server accepts TLS connections only; configure the system "
                      "with TLS");
    close(fd);
    return nullptr;
  }
  return tls::Accept(std::move(context), fd);
}

void HostServer::ReleaseUnauthenticated(const std::string& source) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = unauthenticated_.find(source);
  if (it != unauthenticated_.end() && --it->second <= 0) unauthenticated_.erase(it);
}

bool HostServer::ServeOne(sockets::Stream* stream, Session* session, wire::FrameSocket* reader,
                          HostStore* store) {
  wire::Frame frame;
  std::string error;
  // Before sign-on: small frames only, and the handshake's deadline.
  constexpr uint32_t kHandshakeFrameLimit = 4096;
  uint32_t limit = max_frame_.load();
  int timeout_ms = idle_timeout_ms_.load();
  if (!session->signed_on) {
    limit = std::min(limit, kHandshakeFrameLimit);
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    session->handshake_deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) {
      SendProtocolError(stream, wire::kErrorUnexpected, "sign-on not completed in time");
      return false;
    }
    timeout_ms = static_cast<int>(std::min<int64_t>(timeout_ms, left));
  }
  if (!reader->Read(limit, timeout_ms, &frame, &error)) {
    using Fault = wire::FrameSocket::Fault;
    switch (reader->fault()) {
      case Fault::kTooLarge:
        SendProtocolError(stream, wire::kErrorTooLarge, error);
        break;
      case Fault::kMalformed:
        SendProtocolError(stream, wire::kErrorMalformed, error);
        break;
      case Fault::kTimedOut:
        SendProtocolError(
            stream, wire::kErrorUnexpected,
            session->signed_on ? "idle for too long" : "sign-on not completed in time");
        break;
      case Fault::kFailed:  // a failed TLS handshake, or the connection failed
        if (!session->signed_on)
          Log(LogLevel::kNotice, "connection from " + session->peer + " failed: " + error);
        break;
      default:  // closed: nobody to tell
        break;
    }
    return false;
  }
  static constexpr char kHelloDone[] = "\x01";
  switch (frame.type) {
    case wire::FrameType::kHello: {
      wire::Hello hello;
      if (!session->user.empty()) {
        SendProtocolError(stream, wire::kErrorUnexpected, "second hello");
        return false;
      }
      if (!wire::Decode(frame.payload, &hello, &error)) {
        SendProtocolError(stream, wire::kErrorMalformed, error);
        return false;
      }
      if (hello.min_version > wire::kProtocolVersion ||
          hello.max_version < wire::kOldestProtocolVersion ||
          hello.min_version > hello.max_version) {
        SendProtocolError(stream, wire::kErrorVersion,
                          "protocol versions " + std::to_string(wire::kOldestProtocolVersion) +
                              " to " + std::to_string(wire::kProtocolVersion) + " only");
        return false;
      }
      session->user = kHelloDone;
      session->version = std::min(hello.max_version, wire::kProtocolVersion);
      return Send(stream, wire::FrameType::kHelloReply,
                  wire::Encode(wire::HelloReply{session->version, info_.version, info_.release,
                                                info_.name}));
    }
    case wire::FrameType::kSignon: {
      wire::Signon signon;
      if (session->user != kHelloDone || session->signed_on ||
          !wire::Decode(frame.payload, &signon, &error)) {
        SendProtocolError(stream, wire::kErrorUnexpected,
                          error.empty() ? "sign-on out of order" : error);
        return false;
      }
      bool known = false;
      std::string profile = HostStore::CanonicalProfile(signon.user);
      wire::SignonReply reply;
      int64_t wait_ms = 0;
      if (LockedOut(profile, &wait_ms)) {
        Log(LogLevel::kNotice, "sign-on of " + profile + " from " + session->peer +
                                   " refused unchecked: locked out for another " +
                                   std::to_string(wait_ms) + " ms");
        reply.ok = false;
        reply.messages.push_back({"CPF22E5", 40,
                                  "Too many failed sign-on attempts for user profile " + profile +
                                      "; try again in " + std::to_string((wait_ms + 999) / 1000) +
                                      " s."});
        (void)Send(stream, wire::FrameType::kSignonReply, wire::Encode(reply));
        return false;
      }
      bool ok = store->VerifyPassword(profile, signon.password, &known, &error);
      if (known) CountSignon(profile, session->peer, ok);
      if (!ok)
        Log(LogLevel::kNotice, "sign-on of " + profile + " from " + session->peer +
                                   " refused: " + (known ? "wrong password" : "no such profile"));
      reply.ok = ok;
      if (ok) {
        reply.user = profile;
        session->user = profile;
        session->signed_on = true;
        ReleaseUnauthenticated(session->source);
      } else if (!known) {
        reply.messages.push_back({"CPF2204", 40, "User profile " + profile + " not found."});
      } else {
        reply.messages.push_back(
            {"CPF22E2", 40, "Password not correct for user profile " + profile + "."});
      }
      return Send(stream, wire::FrameType::kSignonReply, wire::Encode(reply)) && ok;
    }
    case wire::FrameType::kCall: {
      wire::Call call;
      if (!session->signed_on) {
        SendProtocolError(stream, wire::kErrorNotSignedOn, "program call before sign-on");
        return false;
      }
      if (!wire::Decode(frame.payload, &call, max_frame_.load(), &error)) {
        SendProtocolError(stream, wire::kErrorMalformed, error);
        return false;
      }
      int64_t n = fault_counter_++;
      if (options_.reset_after_calls >= 0 && n >= options_.reset_after_calls) {
        struct linger hard = {1, 0};
        setsockopt(stream->handle(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        return false;
      }
      if (options_.stall_after_calls >= 0 && n >= options_.stall_after_calls) {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [this] { return stopping_.load(); });
        return false;
      }
      if (options_.call_delay_ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(options_.call_delay_ms));
      wire::CallReply reply = RunProgram(store, session->user, call);
      std::string payload = wire::Encode(reply, session->version);
      if (payload.size() + 1 > max_frame_.load()) {
        reply = wire::CallReply{call.id, false, {}, {{"CPF3C24", 40, "Receiver too large."}}};
        payload = wire::Encode(reply, session->version);
      }
      calls_++;
      constexpr uint64_t kFrameHeader = 5;  // length and type
      call_bytes_in_ += frame.payload.size() + kFrameHeader;
      call_bytes_out_ += payload.size() + kFrameHeader;
      {
        std::lock_guard<std::mutex> lock(mu_);
        // Counted by name for the host's own programs only: names a client
        // makes up must not grow the table.
        std::string program = call.program;
        bool known =
            program == "KLIB/KRFNLST" || program == "KLIB/KRUSRFN" || program == "KLIB/KRCHGTS";
        program_calls_[known ? program : "(other)"]++;
        LogCall(session->user, program, reply);
      }
      return Send(stream, wire::FrameType::kCallReply, payload);
    }
    default:
      SendProtocolError(stream, wire::kErrorUnexpected,
                        "unexpected frame type " + std::to_string(static_cast<int>(frame.type)));
      return false;
  }
}

bool HostServer::LockedOut(const std::string& profile, int64_t* wait_ms) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = signon_failures_.find(profile);
  if (it == signon_failures_.end()) return false;
  auto now = std::chrono::steady_clock::now();
  if (now >= it->second.until) return false;
  *wait_ms = std::chrono::duration_cast<std::chrono::milliseconds>(it->second.until - now).count();
  return true;
}

void HostServer::CountSignon(const std::string& profile, const std::string& peer, bool ok) {
  std::lock_guard<std::mutex> lock(mu_);
  if (ok) {
    signon_failures_.erase(profile);
    return;
  }
  Failures& f = signon_failures_[profile];
  ++f.count;
  int over = f.count - options_.signon_failures_allowed;
  if (over < 0) return;
  int64_t ms = int64_t{options_.signon_lockout_ms} << std::min(over, 6);
  f.until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  Log(LogLevel::kNotice, profile + " locked out for " + std::to_string(ms) + " ms after " +
                             std::to_string(f.count) + " failed sign-ons in a row, the last from " +
                             peer);
}

void HostServer::LogCall(const std::string& user, const std::string& program,
                         const wire::CallReply& reply) {
  {
    std::lock_guard<std::mutex> lock(log_mu_);
    if (call_log_fd_ < 0) return;
  }
  char when[32];
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &tm);
  std::string outcome = reply.ok || reply.messages.empty() ? "ok" : reply.messages[0].id;
  std::string line = std::string(when) + " " + LogWord(user) + " " + LogWord(program) + " " +
                     LogWord(outcome) + "\n";
  std::lock_guard<std::mutex> lock(log_mu_);
  if (call_log_fd_ >= 0) (void)!write(call_log_fd_, line.data(), line.size());
}

}  // namespace zvt::hostd
