// The host server: accepts clients on TCP addresses and serves the wire
// protocol, plain or over TLS, to each. A few event loops move the bytes of
// every connection without blocking; a small pool of workers, each with its
// own connection to the host store, runs the handshake, sign-on and program
// calls, so that ten thousand connected clients cost a few threads. A client
// that sends a malformed frame gets a protocol error and is disconnected;
// the others are not affected.
#ifndef ZVT_HOSTD_HOST_SERVER_H_
#define ZVT_HOSTD_HOST_SERVER_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "hostd/admission.h"
#include "hostd/call_log.h"
#include "hostd/host_store.h"
#include "hostd/listen_sockets.h"
#include "hostd/metrics.h"
#include "hostd/server_hooks.h"
#include "hostd/server_log.h"
#include "hostd/worker_pool.h"
#include "pgm/tls.h"
#include "pgm/wire.h"
#include "services/mutex.h"

namespace zvt::hostd {

struct ServerOptions {
  std::string listen_address = "127.0.0.1";
  uint16_t port = 0;  // 0: an ephemeral port
  // Further addresses to listen on besides the first; a name stands for
  // every address it resolves to.
  std::vector<ListenAddress> also_listen;
  // A SQLite file or a PostgreSQL URI (HostStore::Open).
  std::string store_path;
  // PostgreSQL: the connections the workers share (0: one per processor,
  // at least 2).
  int store_connections = 0;
  uint32_t max_frame = 16u << 20;
  int idle_timeout_ms = 10 * 60 * 1000;  // a client silent this long is disconnected
  int max_clients = 16384;
  // Event loops moving bytes, and workers running the programs and the
  // sign-ons (0: as many as there are processors, at least 2).
  int event_loops = 0;
  int workers = 0;
  // Overrides of the store's version and release (0: keep the store's).
  uint32_t version = 0;
  uint32_t release = 0;

  // Repeated failed sign-ons of one profile: after this many in a row, the
  // profile's sign-ons are refused unchecked for the lockout time, which
  // doubles with every further failure (up to 64 times). A success resets it.
  int signon_failures_allowed = 3;
  int signon_lockout_ms = 1000;

  // Before sign-on a client may send frames of at most 4 KiB, must complete
  // Hello and Signon within this time, and may hold at most this many such
  // connections from one address; loopback addresses (clients on this
  // machine, and the benchmarks' bursts) are not counted unless asked.
  int handshake_timeout_ms = 10000;
  int max_unauthenticated_per_address = 32;
  bool limit_loopback = false;
  // Sources are counted and penalised by network: an IPv4 address, an IPv6
  // address's first 64 bits. A network earns a penalty (the first one this
  // long, doubling with each further offence up to the longest) for a failed
  // sign-on, a sign-on not finished in time or a refused frame; while it
  // lasts its new connections are refused at once.
  int ipv4_prefix = 32;
  int ipv6_prefix = 64;
  int penalty_ms = 1000;
  int max_penalty_ms = 60000;
  // Sign-ons are served round-robin by source network; one network may have
  // this many waiting for a password check, and the next is answered "busy".
  int signons_waiting_per_network = 4;
  // After sign-on a client's requests are a few hundred bytes: frames from
  // it are limited to this (the replies only by `max_frame`).
  uint32_t max_request_frame = 64 * 1024;
  // The bytes of frames received in part that the server holds for the
  // connections of one profile (those not signed on count as one), and
  // for all; a frame that would pass either is refused as too large.
  size_t partial_frames_per_profile = 4u << 20;
  size_t partial_frames_total = 64u << 20;

  // TLS: the server's certificate chain and private key, PEM files. With
  // them every client must speak TLS; without them none may.
  std::string tls_certificate;
  std::string tls_key;

  // Profiles whose password hash has the fast parameters of `zvtadm host
  // user add --fast-hash` (for tests and demonstrations) are refused unless
  // this is set.
  bool allow_fast_hashes = false;

  // Counts calls, sign-ons, refusals and handshakes for metrics() (the
  // admin listener's /metrics).
  bool metrics = false;

  // When set, one line per answered program call is appended to this file:
  // UTC time, signed-on profile, program, and "ok" or the first host message.
  std::string call_log;
};

// A ProtocolError frame, which ends a connection.
std::string ProtocolErrorFrame(uint16_t code, const std::string& text);

class HostServer {
 public:
  // `hooks` (null: none) must outlive the server.
  explicit HostServer(ServerOptions options, ServerHooks* hooks = nullptr);
  ~HostServer();  // stops the server
  HostServer(const HostServer&) = delete;
  HostServer& operator=(const HostServer&) = delete;

  // Opens the store and the listening socket and starts accepting. On
  // failure `*wrong_schema` (when given) tells a store whose schema is not
  // this build's from other failures, as HostStore::Open does.
  bool Start(std::string* error, bool* wrong_schema = nullptr);
  void Stop();
  // Applies what may change while serving: the frame, idle and client
  // limits (for frames read from now on, connected clients included), the
  // call log, which is opened anew (after a rotation, or another path), and
  // the TLS certificate and key, read anew for the connections accepted from
  // then on. Leaves everything as it was when the new call log or
  // certificate cannot be read, or when TLS would be switched off.
  bool Reconfigure(const ServerOptions& options, std::string* error);
  uint16_t port() const { return port_; }
  // The addresses listened on, as "HOST:PORT" or "[IPV6]:PORT".
  const std::vector<std::string>& addresses() const { return addresses_; }

  uint64_t calls_answered() const { return calls_.load(); }
  uint64_t calls_of(const std::string& program) const;
  uint64_t connections_accepted() const { return accepted_.load(); }
  // Sign-ons waiting for a worker.
  size_t signons_waiting() { return signons_.waiting(); }
  // The bytes of program-call frames received and of their replies sent,
  // frame headers included.
  uint64_t call_bytes_received() const { return call_bytes_in_.load(); }
  uint64_t call_bytes_sent() const { return call_bytes_out_.load(); }
  // What /metrics reports; null unless the options asked for metrics.
  ServerMetrics* metrics() { return metrics_.get(); }
  // The figures read when metrics are scraped (`ready` left false).
  ServerMetrics::State MetricsState();
  // Whether the server has started and is not stopping.
  bool serving() const { return serving_.load(); }
  // Whether every event loop has come round within `within` (a wedged loop
  // has not): what the service manager's watchdog is told.
  bool LoopsTurning(std::chrono::milliseconds within) const;
  // Connections counted as clients, and those of them signed on.
  int connections() const { return clients_.load(); }
  int signed_on_connections() const { return signed_on_.load(); }
  // When the served certificate expires, in Unix time (0: no TLS).
  int64_t certificate_expiry() const { return certificate_expiry_.load(); }
  // A store connection of the server's own kind, for checks from outside
  // the workers (null with `*error`).
  std::unique_ptr<HostStore> OpenStore(std::string* error);
  // A password given to another door of this server (the admin API) from
  // `address`, checked as a sign-on checks it and under the same penalties
  // of its source network and lockouts of the profile, which it counts
  // towards in turn. `*wait_ms` says how long a penalty or lockout lasts.
  enum class PasswordCheck { kOk, kWrong, kLockedOut, kPenalised, kUnavailable };
  PasswordCheck CheckPassword(HostStore* store, const std::string& profile,
                              const std::string& password, const std::string& address,
                              int64_t* wait_ms);
  // Logs a refusal of the admin API as the wire's are logged and counted.
  void RefusedElsewhere(const char* reason, const std::string& text, const std::string& profile,
                        const std::string& address) {
    Refused(reason, text, LogFields{profile, address, "", ""});
  }

  // The bytes of frames received in part and held until they are whole.
  size_t partial_frame_bytes() {
    MutexLock lock(&partial_mu_);
    return partial_total_;
  }

 private:
  // One client's connection as it goes through the handshake.
  struct PeerState {
    std::string peer;     // "HOST:PORT"
    std::string source;   // the peer's address alone
    std::string network;  // its source network (Admission::NetworkOf)
    bool said_hello = false;
    bool signed_on = false;
    std::string user;       // the profile, once signed on
    uint16_t version = 0;   // the protocol version agreed in the handshake
    std::string transport;  // "TLSv1.3", "plaintext": known once a frame came
    // The profile and peer, as fields of a log line.
    LogFields Fields(const char* code = "") const { return LogFields{user, peer, "", code}; }
    std::chrono::steady_clock::time_point handshake_deadline;
  };
  // What a worker made of one frame: the bytes to send, what the session
  // became, and how the connection goes on.
  struct Outcome {
    std::string bytes;
    PeerState session;
    bool close = false;  // after the bytes are sent
    bool reset = false;  // at once, with a reset (a test's fault)
    bool stall = false;  // never answered (a test's fault)
  };
  struct ClientConnection;
  struct Loop;
  struct Job {
    Loop* loop;
    uint64_t id;
    PeerState session;
    wire::Frame frame;
    std::chrono::steady_clock::time_point since;  // when the frame was whole (MetricsNow)
  };

  bool Listen(const ListenAddress& endpoint, std::string* error);
  void RunLoop(Loop* loop);
  void AcceptClients(Loop* loop, size_t listener);
  void Adopt(Loop* loop, std::unique_ptr<ClientConnection> c);
  // Moves the connection's bytes as far as its stream allows and hands a
  // whole frame to a worker. May close it.
  void Pump(Loop* loop, ClientConnection* c);
  void Finish(Loop* loop, ClientConnection* c, Outcome outcome);
  void Close(Loop* loop, ClientConnection* c);
  // Gives back what the connection was counted in.
  void Uncount(const ClientConnection& c);
  // Accounts for the bytes the connection's reader holds now; false (and
  // nothing accounted) when they would pass a limit.
  bool HoldPartial(ClientConnection* c);
  // Gives back all the connection has accounted.
  void ReleasePartial(ClientConnection* c);
  // Ends connections past their deadline; resumes paused accepting.
  void Tick(Loop* loop);
  void Refuse(ClientConnection* c, uint16_t code, const std::string& text);
  // The time now when metrics are counted (they alone read it); otherwise
  // no clock is read on the way of a frame.
  std::chrono::steady_clock::time_point MetricsNow() const {
    return metrics_ ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
  }
  // Logs a refusal (LogRefusal) and counts it by its reason.
  void Refused(const char* reason, const std::string& text, const LogFields& fields = LogFields());
  // When a connection that stays quiet is ended: idle for too long, or past
  // its handshake time before sign-on.
  std::chrono::steady_clock::time_point QuietDeadline(const PeerState& session) const;
  // Hands `job` to a worker of `pool`, whose outcome goes back to its loop;
  // false when the job's lane (its source network, for a sign-on) is full.
  bool Queue(WorkerPool* pool, const std::string& lane, size_t max_waiting, Job job);
  // What `frame`, whole since `since`, makes of `session`. A Hello needs
  // no store (null).
  Outcome Handle(PeerState session, const wire::Frame& frame, HostStore* store,
                 std::chrono::steady_clock::time_point since);
  // Answers a program call from what the store holds in memory, here on
  // the event loop, when it can without waiting (AnswerFromHeld); false
  // when a worker must run it.
  bool AnswerOnLoop(const PeerState& session, const wire::Frame& frame, HostStore* store,
                    std::chrono::steady_clock::time_point since, Outcome* out);
  // Counts and logs a call's answer; the frame to send.
  std::string CallAnswered(const PeerState& session, const wire::Frame& frame,
                           const wire::Call& call, wire::CallReply answer, bool failed,
                           std::chrono::steady_clock::time_point since);
  // Checks a sign-on and fills in the answer; `*session` is signed on when it passed.
  void SignOn(PeerState* session, const wire::Signon& signon, HostStore* store,
              wire::SignonReply* answer);

  ServerOptions options_;
  std::atomic<uint32_t> max_frame_;
  std::atomic<uint32_t> max_request_frame_;
  std::atomic<int> idle_timeout_ms_;
  std::atomic<int> max_clients_;
  CallLog call_log_;
  Admission admission_;
  Mutex tls_mu_;
  std::shared_ptr<tls::ServerContext> tls_ ZVT_GUARDED_BY(tls_mu_);  // null: plaintext
  HostInfo info_;
  // The store the workers take theirs from (OpenAnother).
  std::unique_ptr<HostStore> store_;

  std::vector<int> listen_fds_;
  std::vector<std::string> addresses_;
  uint16_t port_ = 0;
  std::vector<std::unique_ptr<Loop>> loops_;  // the first one also accepts
  std::atomic<size_t> next_loop_{0};
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> calls_{0};
  std::atomic<uint64_t> call_bytes_in_{0}, call_bytes_out_{0};
  std::atomic<uint64_t> accepted_{0};
  std::atomic<int> clients_{0};
  std::atomic<int> signed_on_{0};  // of the clients
  std::atomic<bool> serving_{false};
  std::atomic<int64_t> certificate_expiry_{0};
  std::unique_ptr<ServerMetrics> metrics_;  // null: not counted
  std::atomic<int> refusing_{0};            // connections over a limit, being told inside TLS
  Mutex partial_mu_;
  size_t partial_total_ ZVT_GUARDED_BY(partial_mu_) = 0;
  std::unordered_map<std::string, size_t> partial_by_profile_ ZVT_GUARDED_BY(partial_mu_);
  ServerHooks no_hooks_;
  ServerHooks* const hooks_;
  std::atomic<uint64_t> calls_begun_{0};  // the hooks' numbering of program calls
  // Calls of "KLIB/KRFNLST", "KLIB/KRUSRFN", "KLIB/KRCHGTS" and of any other name.
  std::atomic<uint64_t> program_calls_[4] = {};

  // Sign-ons, which hash passwords at a deliberately high cost, have
  // workers of their own.
  WorkerPool programs_, signons_;
};

}  // namespace zvt::hostd

#endif  // ZVT_HOSTD_HOST_SERVER_H_
