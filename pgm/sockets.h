// The few socket operations the wire protocol needs, on POSIX sockets and on
// Winsock. Every socket is used non-blocking: a read or write that cannot go
// on says so and the caller waits for readiness with a time-out.
#ifndef ZVT_PGM_SOCKETS_H_
#define ZVT_PGM_SOCKETS_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zvt::sockets {

#ifdef _WIN32
using Handle = std::uintptr_t;  // a SOCKET
#else
using Handle = int;  // a file descriptor
#endif
inline constexpr Handle kNoSocket = static_cast<Handle>(-1);

enum class Ready { kRead, kWrite };

// Waits up to `timeout_ms` (-1: no limit) for `s` to become ready. 1 when it
// is, 0 when the time ran out, -1 on failure with `*error` set.
int WaitFor(Handle s, Ready what, int timeout_ms, std::string* error);
// Waits for `s` until `deadline` (none unless `has_deadline`); false with
// `*error` "timed out" when it passed first, or on failure.
bool WaitUntil(Handle s, Ready what, bool has_deadline,
               std::chrono::steady_clock::time_point deadline, std::string* error);

// Results of Receive and Send besides a byte count.
inline constexpr long kClosed = 0;       // Receive: the peer closed the connection
inline constexpr long kWouldBlock = -1;  // nothing can be moved now
inline constexpr long kFailed = -2;      // `*error` says why

long Receive(Handle s, char* out, size_t n, std::string* error);
// What a socket was set up with to wait inside a receive call.
struct ReceiveWait {
  bool blocking = false;  // the socket itself blocks; other calls still do not
  int timeout_ms = -1;    // its receive timeout (0: none), when set
};
// As Receive, but waits inside the receive call itself, up to `timeout_ms`
// (<= 0: no limit), for the first bytes, where a wait and a receive would
// take two calls; kWouldBlock when none came in time, or when the socket
// cannot wait so (then nothing was read, and the caller waits and asks
// again). `*setup` remembers what was set on the socket between calls.
long ReceiveWaiting(Handle s, char* out, size_t n, int timeout_ms, ReceiveWait* setup,
                    std::string* error);
// Never raises SIGPIPE on a closed connection.
long Send(Handle s, const char* data, size_t n, std::string* error);

// Why a connection could not be made.
struct ConnectFailure {
  std::string text;
  bool unresolved = false;  // the host name has no address
  bool timed_out = false;
};

// A non-blocking TCP connection with no send delay to `host`:`port`, within
// `timeout_ms` (<= 0: no limit), or kNoSocket with `*failure` filled.
Handle Connect(const std::string& host, uint16_t port, int timeout_ms, ConnectFailure* failure);

void Close(Handle s);

// The socket addresses (as raw bytes, comparable) that `host`:`port`
// resolves to; empty when it does not resolve.
std::vector<std::string> Addresses(const std::string& host, uint32_t port);

// A connected stream the wire protocol runs over: the socket itself, or a
// TLS session on it. A stream owns its socket and closes it when destroyed.
class Stream {
 public:
  virtual ~Stream() = default;
  virtual Handle handle() const = 0;
  // As Receive and Send above; on kWouldBlock `*wait` says what the stream
  // waits for (a TLS session may need to write while reading).
  virtual long Receive(char* out, size_t n, Ready* wait, std::string* error) = 0;
  virtual long Send(const char* data, size_t n, Ready* wait, std::string* error) = 0;
  // As Receive, but waits up to `timeout_ms` (<= 0: no limit) for the first
  // bytes inside the receive itself (see sockets::ReceiveWaiting). A stream
  // that cannot returns kWouldBlock with `*wait` set, having read nothing.
  virtual long ReceiveWaiting(char* /*out*/, size_t /*n*/, int /*timeout_ms*/, Ready* wait,
                              std::string* /*error*/) {
    *wait = Ready::kRead;
    return kWouldBlock;
  }
  // Whether the stream's own handshake is done (a plain socket has none).
  virtual bool Established() const { return true; }
  // Whether the stream may hold received bytes of its own that the socket
  // no longer shows as readable; when it cannot, a reader may wait on the
  // socket before asking for them.
  virtual bool MayHoldBytes() const { return true; }
  // True when the last Receive, which gave bytes, left none in the socket or
  // the stream: more bytes make the socket readable anew, so a reader told
  // of each arrival (an edge-triggered wait) need not ask again until then.
  // False whenever that is not known.
  virtual bool Drained() const { return false; }
  // What carries the bytes: "plaintext", or the TLS version ("TLSv1.3").
  virtual std::string Protocol() const { return "plaintext"; }
};

// The socket as a stream of its own bytes.
std::unique_ptr<Stream> PlainStream(Handle s);

// Whether `host` names this machine's loopback interface: "localhost", or
// an address in 127.0.0.0/8 or ::1, written as such.
bool IsLoopbackName(const std::string& host);

// A port number written in decimal, 0 to 65535; false for anything else.
bool ParsePort(const std::string& text, uint16_t* port);

// One address of a host list.
struct HostPort {
  std::string host;
  uint16_t port = 0;
};

// A list of host addresses separated by commas (blanks around them are
// ignored), tried in order: "a.example, b.example:4711, [::1]:4711, ::1".
// An entry without a port takes `default_port`; an IPv6 address with a port
// is written in brackets. False, with `*error` naming the entry, on an empty
// list, an empty entry or a port that is not 1 to 65535.
bool ParseHostList(const std::string& text, uint16_t default_port, std::vector<HostPort>* hosts,
                   std::string* error);

}  // namespace zvt::sockets

#endif  // ZVT_PGM_SOCKETS_H_
