// POSIX and Winsock forms of the socket operations.
#include "pgm/sockets.h"

#include <algorithm>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#endif

namespace zvt::sockets {
namespace {

#ifdef _WIN32
int LastError() { return WSAGetLastError(); }
bool Interrupted(int e) { return e == WSAEINTR; }
bool WouldBlock(int e) { return e == WSAEWOULDBLOCK; }
bool InProgress(int e) { return e == WSAEWOULDBLOCK || e == WSAEINPROGRESS; }
std::string Describe(int e) { return "Winsock error " + std::to_string(e); }
int PollOne(Handle s, short events, int timeout_ms) {
  WSAPOLLFD p = {static_cast<SOCKET>(s), events, 0};
  return WSAPoll(&p, 1, timeout_ms);
}
constexpr short kIn = POLLRDNORM;
constexpr short kOut = POLLWRNORM;

// Waits for a connect in progress. WSAPoll does not report one that fails
// on Windows before 10 version 2004; select reports it in the exception set.
int WaitForConnect(Handle s, int timeout_ms, std::string* error) {
  fd_set writable, failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(static_cast<SOCKET>(s), &writable);
  FD_SET(static_cast<SOCKET>(s), &failed);
  timeval limit = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  int n = select(0, nullptr, &writable, &failed, timeout_ms < 0 ? nullptr : &limit);
  if (n == SOCKET_ERROR) {
    *error = "select: " + Describe(LastError());
    return -1;
  }
  return n > 0 ? 1 : 0;
}

bool Started() {
  static bool ok = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return ok;
}
#else
int LastError() { return errno; }
bool Interrupted(int e) { return e == EINTR; }
bool WouldBlock(int e) { return e == EAGAIN || e == EWOULDBLOCK; }
bool InProgress(int e) { return e == EINPROGRESS; }
std::string Describe(int e) { return std::strerror(e); }
int PollOne(Handle s, short events, int timeout_ms) {
  struct pollfd p = {s, events, 0};
  return poll(&p, 1, timeout_ms);
}
constexpr short kIn = POLLIN;
constexpr short kOut = POLLOUT;
bool Started() { return true; }
int WaitForConnect(Handle s, int timeout_ms, std::string* error) {
  return WaitFor(s, Ready::kWrite, timeout_ms, error);
}
#endif

}  // namespace

int WaitFor(Handle s, Ready what, int timeout_ms, std::string* error) {
  for (;;) {
    int rc = PollOne(s, what == Ready::kRead ? kIn : kOut, timeout_ms);
    if (rc >= 0) return rc > 0 ? 1 : 0;
    int e = LastError();
    if (!Interrupted(e)) {
      *error = "poll: " + Describe(e);
      return -1;
    }
  }
}

bool WaitUntil(Handle s, Ready what, bool has_deadline,
               std::chrono::steady_clock::time_point deadline, std::string* error) {
  int wait_ms = -1;
  if (has_deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      *error = "timed out";
      return false;
    }
    wait_ms = static_cast<int>(left.count());
  }
  int rc = WaitFor(s, what, wait_ms, error);
  if (rc == 0) *error = "timed out";
  return rc > 0;
}

long Receive(Handle s, char* out, size_t n, std::string* error) {
  for (;;) {
#ifdef _WIN32
    int r = recv(static_cast<SOCKET>(s), out, static_cast<int>(std::min<size_t>(n, 1 << 30)), 0);
#else
    ssize_t r = recv(s, out, n, MSG_DONTWAIT);
#endif
    if (r > 0) return static_cast<long>(r);
    if (r == 0) return kClosed;
    int e = LastError();
    if (Interrupted(e)) continue;
    if (WouldBlock(e)) return kWouldBlock;
    *error = "receive: " + Describe(e);
    return kFailed;
  }
}

long ReceiveWaiting(Handle s, char* out, size_t n, int timeout_ms, ReceiveWait* setup,
                    std::string* error) {
#ifdef _WIN32
  (void)s, (void)out, (void)n, (void)timeout_ms, (void)setup, (void)error;
  return kWouldBlock;  // waits with WaitFor, then receives
#else
  // The socket blocks from now on; every other receive and send of this
  // library says MSG_DONTWAIT, so only this one waits.
  if (!setup->blocking) {
    const int flags = fcntl(s, F_GETFL);
    if (flags < 0 || fcntl(s, F_SETFL, flags & ~O_NONBLOCK) != 0) return kWouldBlock;
    setup->blocking = true;
  }
  const int ms = timeout_ms > 0 ? timeout_ms : 0;
  if (setup->timeout_ms != ms) {
    timeval limit{};
    limit.tv_sec = ms / 1000;
    limit.tv_usec = (ms % 1000) * 1000;
    if (setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) return kWouldBlock;
    setup->timeout_ms = ms;
  }
  const ssize_t r = recv(s, out, n, 0);
  if (r > 0) return static_cast<long>(r);
  if (r == 0) return kClosed;
  // Timed out, or interrupted by a signal (a receive with a time-out is
  // not restarted): the caller waits out what is left of its time.
  const int e = LastError();
  if (WouldBlock(e) || Interrupted(e)) return kWouldBlock;
  *error = "receive: " + Describe(e);
  return kFailed;
#endif
}

long Send(Handle s, const char* data, size_t n, std::string* error) {
  for (;;) {
#ifdef _WIN32
    int w = send(static_cast<SOCKET>(s), data, static_cast<int>(std::min<size_t>(n, 1 << 30)), 0);
#else
    ssize_t w = send(s, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
#endif
    if (w >= 0) return w > 0 ? static_cast<long>(w) : kWouldBlock;
    int e = LastError();
    if (Interrupted(e)) continue;
    if (WouldBlock(e)) return kWouldBlock;
    *error = "send: " + Describe(e);
    return kFailed;
  }
}

Handle Connect(const std::string& host, uint16_t port, int timeout_ms, ConnectFailure* failure) {
  *failure = ConnectFailure();
  std::string* error = &failure->text;
  if (!Started()) {
    *error = "the socket library could not be started";
    return kNoSocket;
  }
  struct addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
#ifdef _WIN32
    *error = Describe(rc);  // resolver errors are Winsock errors there
#else
    *error = gai_strerror(rc);
#endif
    failure->unresolved = true;
    return kNoSocket;
  }
  *error = "no address";
  Handle s = kNoSocket;
  for (struct addrinfo* a = found; a != nullptr && s == kNoSocket; a = a->ai_next) {
#ifdef _WIN32
    SOCKET raw = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (raw == INVALID_SOCKET) {
      *error = Describe(LastError());
      continue;
    }
    s = static_cast<Handle>(raw);
    u_long non_blocking = 1;
    ioctlsocket(raw, FIONBIO, &non_blocking);
    const char one = 1;
    setsockopt(raw, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int connected = connect(raw, a->ai_addr, static_cast<int>(a->ai_addrlen));
#else
    s = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (s < 0) {
      s = kNoSocket;
      *error = Describe(LastError());
      continue;
    }
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int connected = connect(s, a->ai_addr, a->ai_addrlen);
#endif
    if (connected == 0) break;
    int e = LastError();
    if (InProgress(e)) {
      std::string wait_error;
      int ready = WaitForConnect(s, timeout_ms > 0 ? timeout_ms : -1, &wait_error);
      int so_error = 0;
      socklen_t len = sizeof so_error;
      if (ready > 0 &&
          getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &len) == 0 &&
          so_error == 0)
        break;
      failure->timed_out = ready == 0;
      *error = ready == 0  ? std::string("connect timed out")
               : ready < 0 ? wait_error
                           : Describe(so_error);
    } else {
      *error = Describe(e);
    }
    Close(s);
    s = kNoSocket;
  }
  freeaddrinfo(found);
  return s;
}

std::vector<std::string> Addresses(const std::string& host, uint32_t port) {
  std::vector<std::string> out;
  if (!Started()) return out;
  struct addrinfo hints = {};
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return out;
  for (auto* a = found; a != nullptr; a = a->ai_next)
    out.emplace_back(reinterpret_cast<const char*>(a->ai_addr), a->ai_addrlen);
  freeaddrinfo(found);
  return out;
}

namespace {

class Plain : public Stream {
 public:
  explicit Plain(Handle s) : s_(s) {}
  ~Plain() override { Close(s_); }
  Handle handle() const override { return s_; }
  long Receive(char* out, size_t n, Ready* wait, std::string* error) override {
    *wait = Ready::kRead;
    const long r = sockets::Receive(s_, out, n, error);
    drained_ = r > 0 && static_cast<size_t>(r) < n;  // a short read took all there was
    return r;
  }
  long Send(const char* data, size_t n, Ready* wait, std::string* error) override {
    *wait = Ready::kWrite;
    return sockets::Send(s_, data, n, error);
  }
  long ReceiveWaiting(char* out, size_t n, int timeout_ms, Ready* wait,
                      std::string* error) override {
    *wait = Ready::kRead;
    const long r = sockets::ReceiveWaiting(s_, out, n, timeout_ms, &setup_, error);
    drained_ = r > 0 && static_cast<size_t>(r) < n;
    return r;
  }
  bool MayHoldBytes() const override { return false; }
  bool Drained() const override { return drained_; }

 private:
  Handle s_;
  bool drained_ = false;
  ReceiveWait setup_;
};

}  // namespace

std::unique_ptr<Stream> PlainStream(Handle s) { return std::make_unique<Plain>(s); }

bool IsLoopbackName(const std::string& host) {
  std::string h = host;
  for (char& c : h) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (h == "localhost" || h == "::1" || h == "[::1]") return true;
  // 127.x.y.z in dotted decimal, each part 0..255.
  if (h.rfind("127.", 0) != 0) return false;
  int parts = 0;
  for (size_t i = 0; i <= h.size();) {
    size_t end = h.find('.', i);
    if (end == std::string::npos) end = h.size();
    if (end == i || end - i > 3 || h.find_first_not_of("0123456789", i) < end) return false;
    if (std::stoi(h.substr(i, end - i)) > 255) return false;
    ++parts;
    i = end + 1;
  }
  return parts == 4;
}

bool ParsePort(const std::string& text, uint16_t* port) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  unsigned long n = std::stoul(text);
  if (n > 65535) return false;
  *port = static_cast<uint16_t>(n);
  return true;
}

bool ParseHostList(const std::string& text, uint16_t default_port, std::vector<HostPort>* hosts,
                   std::string* error) {
  hosts->clear();
  size_t at = 0;
  for (;;) {
    size_t comma = text.find(',', at);
    std::string entry =
        text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    size_t first = entry.find_first_not_of(" \t"), last = entry.find_last_not_of(" \t");
    entry = first == std::string::npos ? std::string() : entry.substr(first, last - first + 1);
    HostPort hp{entry, default_port};
    bool has_port = false;
    std::string port;
    if (!entry.empty() && entry[0] == '[') {
      size_t close = entry.find(']');
      if (close == std::string::npos || (close + 1 < entry.size() && entry[close + 1] != ':')) {
        *error = "\"" + entry + "\" is not [IPv6 address]:port";
        return false;
      }
      hp.host = entry.substr(1, close - 1);
      has_port = close + 1 < entry.size();
      if (has_port) port = entry.substr(close + 2);
    } else if (std::count(entry.begin(), entry.end(), ':') == 1) {
      size_t colon = entry.find(':');
      hp.host = entry.substr(0, colon);
      has_port = true;
      port = entry.substr(colon + 1);
    }
    if (hp.host.empty()) {
      *error = text.find_first_not_of(" \t,") == std::string::npos
                   ? std::string("no host address is given")
                   : "\"" + text + "\" has an empty host address";
      return false;
    }
    if (has_port && (!ParsePort(port, &hp.port) || hp.port == 0)) {
      *error = "\"" + entry + "\" has a port that is not 1 to 65535";
      return false;
    }
    hosts->push_back(std::move(hp));
    if (comma == std::string::npos) return true;
    at = comma + 1;
  }
}

void Close(Handle s) {
  if (s == kNoSocket) return;
#ifdef _WIN32
  closesocket(static_cast<SOCKET>(s));
#else
  close(s);
#endif
}

}  // namespace zvt::sockets
