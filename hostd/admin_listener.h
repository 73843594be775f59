// The host server's listener for operators: HTTP on loopback, HTTPS with the
// server's certificate elsewhere, served by libmicrohttpd with a thread per
// connection, so that a slow, idle or costly request (a sign-in's password
// hash) holds its own connection and nothing else. It hands each request to
// a handler and sends what it answers.
// Every client is held to a few connections, a small request and a time-out,
// so that no client can keep the others out.
#ifndef ZVT_HOSTD_ADMIN_LISTENER_H_
#define ZVT_HOSTD_ADMIN_LISTENER_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "hostd/listen_sockets.h"
#include "services/mutex.h"

struct MHD_Daemon;

namespace zvt::hostd {

struct AdminRequest {
  std::string method;  // "GET", "HEAD", ...
  std::string path;    // without the query
  std::string query;   // what follows '?', if anything
  std::string peer;    // the client's address, as "192.0.2.7" or "2001:db8::1"
  // The request's headers, names in lower case (a repeated one: the last).
  std::map<std::string, std::string> headers;
  std::string body;  // at most AdminLimits::body_bytes
};

struct AdminResponse {
  unsigned status = 200;
  std::string content_type = "text/plain; charset=utf-8";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;  // more headers to send
};

struct AdminLimits {
  unsigned connections = 64;      // at once, all clients
  unsigned per_address = 8;       // at once, from one address
  unsigned timeout_seconds = 10;  // a connection quiet this long is closed
  size_t request_bytes = 16384;   // a request's line and headers
  // A request's body: one larger is answered 413 and never reaches the
  // handler (refused at once when its length is declared).
  size_t body_bytes = size_t{4} << 20;
};

class AdminListener {
 public:
  using Handler = std::function<AdminResponse(const AdminRequest&)>;
  // What the daemon's callbacks are given: the handler and the limits.
  struct Serving {
    const Handler* handler;
    const AdminLimits* limits;
  };

  // `handler` runs on the connection's thread, for several connections at
  // once: it must be thread-safe.
  explicit AdminListener(Handler handler, AdminLimits limits = AdminLimits());
  ~AdminListener();  // stops
  AdminListener(const AdminListener&) = delete;
  AdminListener& operator=(const AdminListener&) = delete;

  // Listens on every address of `endpoint`: HTTPS with the PEM files when
  // both are given, else plain HTTP, which only a loopback address may use.
  bool Start(const ListenAddress& endpoint, const std::string& certificate_file,
             const std::string& key_file, std::string* error);
  // Serves with the certificate and key read anew (the connections open
  // then are closed). Leaves all as it was when they cannot be read or do
  // not belong together.
  bool Reload(const std::string& certificate_file, const std::string& key_file, std::string* error);
  void Stop();

  uint16_t port() const { return port_; }
  const std::vector<std::string>& addresses() const { return addresses_; }
  bool tls() const { return tls_; }

 private:
  // A certificate chain and its key, PEM text, as a daemon was given them.
  struct Pem {
    std::string certificate, key;
  };
  // The pair in `*pem`, once they are found to belong together.
  static bool ReadPem(const std::string& certificate_file, const std::string& key_file, Pem* pem,
                      std::string* error);
  // A daemon serving `fd` with `pem` (empty: HTTP); null with `*error`.
  MHD_Daemon* Serve(int fd, const Pem& pem, std::string* error);

  const Handler handler_;
  const AdminLimits limits_;
  const Serving serving_{&handler_, &limits_};
  Mutex mu_;                                              // Start, Reload and Stop one at a time
  std::vector<MHD_Daemon*> daemons_ ZVT_GUARDED_BY(mu_);  // one per listening socket
  std::vector<int> fds_;
  std::vector<std::string> addresses_;
  uint16_t port_ = 0;
  // What the daemons were given, the newest last: a daemon may keep
  // pointers into them, so none goes before the listener does.
  std::vector<std::shared_ptr<const Pem>> pems_ ZVT_GUARDED_BY(mu_);
  bool tls_ = false;
};

}  // namespace zvt::hostd

#endif  // ZVT_HOSTD_ADMIN_LISTENER_H_
