// Connecting, signing on and calling over one host connection; the pool.
#include "pgm/connection.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "pgm/signon_token.h"
#include "services/mutex.h"
#include "services/program_calls.h"

namespace zvt::pgm {
namespace {

std::string Where(const SignOnTarget& e) { return e.host + ":" + std::to_string(e.port); }

// A non-blocking TCP connection to the endpoint, or kNoSocket.
sockets::Handle ConnectTo(const SignOnTarget& e, Failure* failure) {
  sockets::ConnectFailure why;
  sockets::Handle fd = sockets::Connect(e.host, e.port, e.connect_timeout_ms, &why);
  if (fd == sockets::kNoSocket) {
    failure->error_class = kErrorClassCommunication;
    failure->text = why.unresolved ? "cannot resolve host " + e.host + ": " + why.text
                                   : "cannot connect to " + Where(e) + ": " + why.text;
    failure->cause = why.timed_out ? Failure::Cause::kTimedOut : Failure::Cause::kUnreachable;
  }
  return fd;
}

// The connected socket as the endpoint's stream: a TLS session whose
// handshake has completed, or the socket itself.
std::unique_ptr<sockets::Stream> StreamTo(const SignOnTarget& e, Failure* failure) {
  if (!e.tls && !sockets::IsLoopbackName(e.host)) {
    failure->error_class = kErrorClassSecurity;
    failure->cause = Failure::Cause::kTls;
    failure->text = "refusing to connect to " + Where(e) +
                    " without TLS: plaintext is used only with a host on this machine";
    return nullptr;
  }
  std::shared_ptr<tls::ClientContext> trust;
  std::string error;
  if (e.tls) {
    trust = e.pool != nullptr ? e.pool->Trust(e.tls_ca_file, &error)
                              : tls::LoadClientContext(e.tls_ca_file, &error);
    if (!trust) {
      failure->error_class = kErrorClassSecurity;
      failure->cause = Failure::Cause::kTls;
      failure->text = "cannot connect to " + Where(e) + " with TLS: " + error;
      return nullptr;
    }
  }
  sockets::Handle fd = ConnectTo(e, failure);
  if (fd == sockets::kNoSocket) return nullptr;
  if (!e.tls) return sockets::PlainStream(fd);
  std::unique_ptr<sockets::Stream> stream =
      tls::Connect(trust.get(), fd, e.host, e.connect_timeout_ms, &error);
  if (!stream) {
    const bool timed_out = error == "timed out";
    failure->error_class = timed_out ? kErrorClassCommunication : kErrorClassSecurity;
    failure->cause = timed_out ? Failure::Cause::kTimedOut : Failure::Cause::kTls;
    failure->text = "TLS with " + Where(e) + " failed: " + error;
  }
  return stream;
}

}  // namespace

std::unique_ptr<HostConnection> HostConnection::Open(const SignOnTarget& endpoint,
                                                     Failure* failure) {
  std::vector<sockets::HostPort> hosts;
  std::string error;
  if (!sockets::ParseHostList(endpoint.host, endpoint.port, &hosts, &error)) {
    failure->error_class = kErrorClassCommunication;
    failure->cause = Failure::Cause::kUnreachable;
    failure->text = "bad host address list: " + error;
    return nullptr;
  }
  // The hosts in turn: the next one when a host cannot be reached or does
  // not answer in time; any other failure (TLS, sign-on) is the answer.
  std::string tried;
  for (const sockets::HostPort& hp : hosts) {
    SignOnTarget one = endpoint;
    one.host = hp.host;
    one.port = hp.port;
    std::unique_ptr<HostConnection> c = OpenOne(one, failure);
    if (c) return c;
    tried += (tried.empty() ? "" : "; ") + failure->text;
    if (failure->cause != Failure::Cause::kUnreachable &&
        failure->cause != Failure::Cause::kTimedOut)
      break;
  }
  if (hosts.size() > 1) failure->text = tried;
  return nullptr;
}

std::unique_ptr<HostConnection> HostConnection::OpenOne(const SignOnTarget& endpoint,
                                                        Failure* failure) {
  std::unique_ptr<sockets::Stream> stream = StreamTo(endpoint, failure);
  if (!stream) return nullptr;
  std::unique_ptr<HostConnection> c(new HostConnection(std::move(stream), endpoint));
  wire::Frame frame;
  if (!c->Exchange(wire::FrameType::kHello, wire::Encode(wire::Hello{}),
                   wire::FrameType::kHelloReply, &frame, failure))
    return nullptr;
  wire::HelloReply hello;
  std::string error;
  if (!wire::Decode(frame.payload, &hello, &error)) {
    failure->error_class = kErrorClassCommunication;
    failure->text = "bad handshake from " + Where(endpoint) + ": " + error;
    return nullptr;
  }
  if (hello.version < wire::kOldestProtocolVersion || hello.version > wire::kProtocolVersion) {
    failure->error_class = kErrorClassCommunication;
    failure->text =
        "host " + Where(endpoint) + " speaks protocol version " + std::to_string(hello.version);
    return nullptr;
  }
  c->version_ = hello.version;
  c->host_version_ = hello.host_version;
  c->host_release_ = hello.host_release;
  const std::string token = ReadSignonToken(endpoint.token_file);
  if (!c->Exchange(wire::FrameType::kSignon,
                   wire::Encode(wire::Signon{endpoint.user, endpoint.password, token}, c->version_),
                   wire::FrameType::kSignonReply, &frame, failure))
    return nullptr;
  wire::SignonReply signon;
  if (!wire::Decode(frame.payload, &signon, &error, c->version_)) {
    failure->error_class = kErrorClassCommunication;
    failure->text = "bad sign-on reply from " + Where(endpoint) + ": " + error;
    return nullptr;
  }
  if (!signon.ok) {
    failure->cause = Failure::Cause::kRefused;
    failure->error_class = kErrorClassSecurity;
    failure->text = "sign-on to " + Where(endpoint) + " as " + endpoint.user + " was refused";
    failure->messages = std::move(signon.messages);
    return nullptr;
  }
  c->user_ = signon.user;
  // A host hands out a token when the password signed on; none when the
  // token did (the one kept stays good).
  c->by_token_ = !token.empty() && signon.token.empty();
  if (!signon.token.empty() && !endpoint.token_file.empty() &&
      !WriteSignonToken(endpoint.token_file, signon.token, &error))
    c->token_problem_ = error;
  return c;
}

HostConnection::~HostConnection() { Close(); }

void HostConnection::Close() { stream_.reset(); }

bool HostConnection::Exchange(wire::FrameType type, const std::string& payload,
                              wire::FrameType expected, wire::Frame* reply, Failure* failure,
                              int read_timeout_ms) {
  const int timeout_ms = read_timeout_ms > 0 ? read_timeout_ms : endpoint_.read_timeout_ms;
  std::string error;
  failure->error_class = kErrorClassCommunication;
  failure->cause = Failure::Cause::kProtocol;
  if (!usable()) {
    failure->text = "the connection to " + Where(endpoint_) + " is closed";
    return false;
  }
  if (!wire::WriteAll(stream_.get(), wire::EncodeFrame(type, payload), timeout_ms, &error)) {
    failure->text = "sending to " + Where(endpoint_) + " failed: " + error;
    Close();
    return false;
  }
  if (!reader_.Read(endpoint_.max_frame, timeout_ms, reply, &error, /*after_request=*/true)) {
    failure->text = "no answer from " + Where(endpoint_) + ": " + error;
    if (error == "timed out") failure->cause = Failure::Cause::kTimedOut;
    Close();
    return false;
  }
  if (reply->type == wire::FrameType::kProtocolError) {
    wire::ProtocolError pe;
    std::string ignored;
    wire::Decode(reply->payload, &pe, &ignored);
    failure->text = "host " + Where(endpoint_) + " closed the connection: " + pe.text;
    Close();
    return false;
  }
  if (reply->type != expected) {
    failure->text = "unexpected frame type " + std::to_string(static_cast<int>(reply->type)) +
                    " from " + Where(endpoint_);
    Close();
    return false;
  }
  failure->error_class = 0;
  failure->cause = Failure::Cause::kNone;
  return true;
}

bool HostConnection::Call(const wire::Call& call, wire::CallReply* reply, Failure* failure,
                          int read_timeout_ms) {
  const uint32_t id = next_call_id_++;
  wire::Frame frame;
  if (!Exchange(wire::FrameType::kCall, wire::Encode(call, id), wire::FrameType::kCallReply, &frame,
                failure, read_timeout_ms))
    return false;
  // The outputs can hold no more than the call gave its parameters.
  uint64_t asked = 0;
  for (const wire::CallParameter& p : call.parameters)
    if (p.direction != wire::kInput) asked += p.length;
  const auto max_outputs = static_cast<uint32_t>(std::min<uint64_t>(asked, endpoint_.max_frame));
  std::string error;
  if (!wire::Decode(frame.payload, reply, &error, version_, max_outputs) || reply->id != id) {
    failure->error_class = kErrorClassCommunication;
    failure->text = "bad call reply from " + Where(endpoint_) + ": " +
                    (error.empty() ? "reply to another call" : error);
    Close();
    return false;
  }
  return true;
}

std::unique_ptr<HostConnection> ConnectionPool::Acquire(const SignOnTarget& endpoint, bool* reused,
                                                        Failure* failure) {
  {
    MutexLock lock(&mu_);
    auto it = idle_.find(KeyOf(endpoint));
    if (it != idle_.end() && !it->second.empty()) {
      std::unique_ptr<HostConnection> c = std::move(it->second.back());
      it->second.pop_back();
      *reused = true;
      return c;
    }
  }
  *reused = false;
  SignOnTarget e = endpoint;
  if (e.pool == nullptr) e.pool = this;
  return HostConnection::Open(e, failure);
}

void ConnectionPool::Release(const SignOnTarget& endpoint,
                             std::unique_ptr<HostConnection> connection) {
  if (!connection || !connection->usable()) return;
  MutexLock lock(&mu_);
  auto& idle = idle_[KeyOf(endpoint)];
  if (idle.size() < max_idle_) idle.push_back(std::move(connection));
}

void ConnectionPool::Clear() {
  MutexLock lock(&mu_);
  idle_.clear();
}

std::shared_ptr<tls::ClientContext> ConnectionPool::Trust(const std::string& ca_file,
                                                          std::string* error) {
  std::string stamp;
  struct stat st;
  if (!ca_file.empty() && stat(ca_file.c_str(), &st) == 0)
    stamp = std::to_string(st.st_size) + "/" + std::to_string(st.st_mtime) + "/" +
            std::to_string(st.st_ino);
  MutexLock lock(&mu_);
  Trusted& t = trust_[ca_file];
  if (!t.context || t.stamp != stamp) {
    t.context = tls::LoadClientContext(ca_file, error);
    t.stamp = stamp;
  }
  return t.context;
}

}  // namespace zvt::pgm
