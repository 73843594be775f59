// Connecting, signing on and calling over one host connection; the pool.
#include "pgm/connection.h"

#include <algorithm>
#include <cstring>

#include "services/program_calls.h"

namespace zvt::pgm {
namespace {

std::string Where(const Endpoint& e) { return e.host + ":" + std::to_string(e.port); }

// A non-blocking TCP connection to the endpoint, or kNoSocket.
sockets::Handle ConnectTo(const Endpoint& e, Failure* failure) {
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

}  // namespace

std::unique_ptr<Connection> Connection::Open(const Endpoint& endpoint, Failure* failure) {
  sockets::Handle fd = ConnectTo(endpoint, failure);
  if (fd == sockets::kNoSocket) return nullptr;
  std::unique_ptr<Connection> c(new Connection(fd, endpoint));
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
  if (!c->Exchange(wire::FrameType::kSignon,
                   wire::Encode(wire::Signon{endpoint.user, endpoint.password}),
                   wire::FrameType::kSignonReply, &frame, failure))
    return nullptr;
  wire::SignonReply signon;
  if (!wire::Decode(frame.payload, &signon, &error)) {
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
  return c;
}

Connection::~Connection() { Close(); }

void Connection::Close() {
  sockets::Close(fd_);
  fd_ = sockets::kNoSocket;
}

bool Connection::Exchange(wire::FrameType type, const std::string& payload,
                          wire::FrameType expected, wire::Frame* reply, Failure* failure) {
  std::string error;
  failure->error_class = kErrorClassCommunication;
  failure->cause = Failure::Cause::kProtocol;
  if (!usable()) {
    failure->text = "the connection to " + Where(endpoint_) + " is closed";
    return false;
  }
  if (!wire::WriteAll(fd_, wire::EncodeFrame(type, payload), endpoint_.read_timeout_ms, &error)) {
    failure->text = "sending to " + Where(endpoint_) + " failed: " + error;
    Close();
    return false;
  }
  if (!reader_.Read(endpoint_.max_frame, endpoint_.read_timeout_ms, reply, &error)) {
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

bool Connection::Call(wire::Call call, wire::CallReply* reply, Failure* failure) {
  call.id = next_call_id_++;
  wire::Frame frame;
  if (!Exchange(wire::FrameType::kCall, wire::Encode(call), wire::FrameType::kCallReply, &frame,
                failure))
    return false;
  // The outputs can hold no more than the call gave its parameters.
  uint64_t asked = 0;
  for (const wire::CallParameter& p : call.parameters)
    if (p.direction != wire::kInput) asked += p.length;
  const auto max_outputs = static_cast<uint32_t>(std::min<uint64_t>(asked, endpoint_.max_frame));
  std::string error;
  if (!wire::Decode(frame.payload, reply, &error, version_, max_outputs) || reply->id != call.id) {
    failure->error_class = kErrorClassCommunication;
    failure->text = "bad call reply from " + Where(endpoint_) + ": " +
                    (error.empty() ? "reply to another call" : error);
    Close();
    return false;
  }
  return true;
}

std::unique_ptr<Connection> ConnectionPool::Acquire(const Endpoint& endpoint, bool* reused,
                                                    Failure* failure) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = idle_.find(KeyOf(endpoint));
    if (it != idle_.end() && !it->second.empty()) {
      std::unique_ptr<Connection> c = std::move(it->second.back());
      it->second.pop_back();
      *reused = true;
      return c;
    }
  }
  *reused = false;
  return Connection::Open(endpoint, failure);
}

void ConnectionPool::Release(const Endpoint& endpoint, std::unique_ptr<Connection> connection) {
  if (!connection || !connection->usable()) return;
  std::lock_guard<std::mutex> lock(mu_);
  auto& idle = idle_[KeyOf(endpoint)];
  if (idle.size() < max_idle_) idle.push_back(std::move(connection));
}

void ConnectionPool::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  idle_.clear();
}

}  // namespace zvt::pgm
