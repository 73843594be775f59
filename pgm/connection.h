// A signed-on connection to a host server, and the pool that keeps idle
// connections for the next call to the same host and user. Each connection
// is used by one caller at a time.
#ifndef ZVT_PGM_CONNECTION_H_
#define ZVT_PGM_CONNECTION_H_

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "pgm/tls.h"
#include "pgm/wire.h"
#include "services/mutex.h"

namespace zvt::pgm {

// Where a system is and who signs on to it.
class ConnectionPool;

struct SignOnTarget {
  // A host, or several separated by commas, each with an optional ":port".
  std::string host = "127.0.0.1";
  uint16_t port = 0;
  std::string user;
  std::string password;
  int connect_timeout_ms = 5000;
  int read_timeout_ms = 30000;
  uint32_t max_frame = wire::kDefaultMaxFrame;
  // TLS, with the host's certificate checked against the CA file (empty:
  // the system's trust store) and the host name; false: plaintext, which
  // only a host on this machine is trusted with.
  bool tls = true;
  std::string tls_ca_file;
  // The file that keeps the sign-on token the host hands out (empty: none
  // is kept, every sign-on checks the password). A connection signs on
  // with the token in it, and the password; a new token replaces it.
  std::string token_file;
  // Where agents take their connection from; null: the library's own pool.
  ConnectionPool* pool = nullptr;
  // When set, the end of the conversation the calls belong to: a call made
  // after it fails as timed out at once, and a call's answer is waited for
  // no longer than until then. Not part of what a pooled connection is for.
  std::chrono::steady_clock::time_point deadline{};
};

// Why an operation failed: an error class of the program call library, a
// text, and the host's messages when it answered with some.
struct Failure {
  enum class Cause { kNone, kUnreachable, kTimedOut, kRefused, kProtocol, kTls };
  Cause cause = Cause::kNone;
  uint32_t error_class = 0;
  std::string text;
  std::vector<wire::Message> messages;
};

class HostConnection {
 public:
  // Connects, agrees on the protocol version and signs on. `endpoint.host`
  // may list several hosts (sockets::ParseHostList): they are tried in
  // order, the next one when a host cannot be reached or times out.
  static std::unique_ptr<HostConnection> Open(const SignOnTarget& endpoint, Failure* failure);
  ~HostConnection();
  HostConnection(const HostConnection&) = delete;
  HostConnection& operator=(const HostConnection&) = delete;

  // One program call, numbered by the connection (`call.id` is not used).
  // `*reply` holds the host's answer when true is returned, which may itself
  // be a refusal with messages. False: the connection failed and is no
  // longer usable.
  // `read_timeout_ms` above 0 waits that long for the answer instead of the
  // endpoint's time-out.
  bool Call(const wire::Call& call, wire::CallReply* reply, Failure* failure,
            int read_timeout_ms = 0);

  bool usable() const { return stream_ != nullptr; }
  uint32_t host_version() const { return host_version_; }
  uint32_t host_release() const { return host_release_; }
  const std::string& user() const { return user_; }
  // True when the sign-on passed by the token rather than the password.
  bool signed_on_by_token() const { return by_token_; }
  // Why the token the host handed out could not be kept (empty: it was, or
  // there was none); the connection is signed on all the same.
  const std::string& token_problem() const { return token_problem_; }

 private:
  static std::unique_ptr<HostConnection> OpenOne(const SignOnTarget& endpoint, Failure* failure);
  HostConnection(std::unique_ptr<sockets::Stream> stream, const SignOnTarget& endpoint)
      : stream_(std::move(stream)), endpoint_(endpoint), reader_(stream_.get()) {}
  bool Exchange(wire::FrameType type, const std::string& payload, wire::FrameType expected,
                wire::Frame* reply, Failure* failure, int read_timeout_ms = 0);
  void Close();

  std::unique_ptr<sockets::Stream> stream_;
  SignOnTarget endpoint_;
  wire::FrameSocket reader_;
  uint32_t next_call_id_ = 1;
  uint16_t version_ = wire::kProtocolVersion;  // agreed in the handshake
  uint32_t host_version_ = 0;
  uint32_t host_release_ = 0;
  std::string user_;
  bool by_token_ = false;
  std::string token_problem_;
};

// Idle connections by host, port and user. Thread-safe.
class ConnectionPool {
 public:
  explicit ConnectionPool(size_t max_idle_per_key = 8) : max_idle_(max_idle_per_key) {}
  // An idle connection, or a new one. `*reused` tells which.
  // A new connection takes its TLS trust from this pool.
  std::unique_ptr<HostConnection> Acquire(const SignOnTarget& endpoint, bool* reused,
                                          Failure* failure);
  // Keeps a usable connection for later; drops the others.
  void Release(const SignOnTarget& endpoint, std::unique_ptr<HostConnection> connection);
  void Clear();
  // The TLS trust of `ca_file`, loaded once and again when the file changes.
  std::shared_ptr<tls::ClientContext> Trust(const std::string& ca_file, std::string* error);

 private:
  // Connections are shared only between identical endpoints, so that a
  // connection's limits and time-outs are always those its user asked for.
  using Key = std::tuple<std::string, uint16_t, std::string, std::string, int, int, uint32_t, bool,
                         std::string>;
  static Key KeyOf(const SignOnTarget& e) {
    return {e.host,      e.port, e.user,       e.password, e.connect_timeout_ms, e.read_timeout_ms,
            e.max_frame, e.tls,  e.tls_ca_file};
  }
  struct Trusted {
    std::string stamp;  // the CA file's size and modification time when loaded
    std::shared_ptr<tls::ClientContext> context;
  };

  size_t max_idle_;
  Mutex mu_;
  std::map<Key, std::vector<std::unique_ptr<HostConnection>>> idle_ ZVT_GUARDED_BY(mu_);
  std::map<std::string, Trusted> trust_ ZVT_GUARDED_BY(mu_);  // by CA file
};

}  // namespace zvt::pgm

#endif  // ZVT_PGM_CONNECTION_H_
