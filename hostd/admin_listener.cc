// The operators' listener on libmicrohttpd: one epoll thread per listening
// socket, limits on connections per client, request size and quiet time,
// and the certificate swapped on reload by handing the listening socket
// from a quiesced daemon to a new one.

#include "hostd/admin_listener.h"

#include <microhttpd.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "pgm/sockets.h"
#include "pgm/tls.h"

namespace zvt::hostd {

namespace {

// TLS 1.2 and 1.3 only, as the wire's listener.
constexpr char kTlsPriorities[] = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2";

bool ReadFile(const std::string& path, std::string* text, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  if (!in || !(all << in.rdbuf())) {
    *error = "cannot read " + path;
    return false;
  }
  *text = all.str();
  return true;
}

MHD_Result AddQueryPart(void* cls, MHD_ValueKind, const char* key, const char* value) {
  auto* query = static_cast<std::string*>(cls);
  *query += (query->empty() ? "" : "&") + std::string(key);
  if (value != nullptr) *query += "=" + std::string(value);
  return MHD_YES;
}

}  // namespace

// The daemon's request callback, a friend of nothing: it sees the handler
// through `cls`.
static MHD_Result Answer(void* cls, MHD_Connection* connection, const char* url, const char* method,
                         const char* /*version*/, const char* /*upload_data*/,
                         size_t* upload_data_size, void** request_state) {
  // The first call comes with the headers; a body, if any, is not read:
  // every answer is made at once, and a request with a body is refused.
  static int marker;
  if (*request_state == nullptr) {
    *request_state = &marker;
  } else if (*upload_data_size != 0) {
    *upload_data_size = 0;
    return MHD_YES;
  }
  const auto* handler = static_cast<const AdminListener::Handler*>(cls);
  AdminRequest request{method, url, ""};
  MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, AddQueryPart, &request.query);
  AdminResponse answer;
  try {
    answer = (*handler)(request);
  } catch (...) {  // the handler's allocations: an answer, never a crash
    answer = {500, "text/plain; charset=utf-8", "internal error\n"};
  }
  MHD_Response* response = MHD_create_response_from_buffer(answer.body.size(), answer.body.data(),
                                                           MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.content_type.c_str());
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  const MHD_Result queued = MHD_queue_response(connection, answer.status, response);
  MHD_destroy_response(response);
  return queued;
}

bool AdminListener::ReadPem(const std::string& certificate_file, const std::string& key_file,
                            Pem* pem, std::string* error) {
  // OpenSSL checks that the key belongs to the certificate, and says why
  // not in the words the wire's listener uses.
  return tls::LoadServerContext(certificate_file, key_file, error) != nullptr &&
         ReadFile(certificate_file, &pem->certificate, error) &&
         ReadFile(key_file, &pem->key, error);
}

AdminListener::AdminListener(Handler handler, AdminLimits limits)
    : handler_(std::move(handler)), limits_(limits) {}

AdminListener::~AdminListener() { Stop(); }

MHD_Daemon* AdminListener::Serve(int fd, const Pem& pem, std::string* error) {
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ITC;
  if (!pem.certificate.empty()) flags |= MHD_USE_TLS;
  MHD_OptionItem tls_options[] = {
      {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(pem.certificate.c_str())},
      {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(pem.key.c_str())},
      {MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(kTlsPriorities)},
      {MHD_OPTION_END, 0, nullptr},
  };
  MHD_OptionItem none[] = {{MHD_OPTION_END, 0, nullptr}};
  MHD_Daemon* daemon = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &Answer, const_cast<Handler*>(&handler_),
      MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_LIMIT, limits_.connections,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, limits_.per_address, MHD_OPTION_CONNECTION_TIMEOUT,
      limits_.timeout_seconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits_.request_bytes,
      MHD_OPTION_ARRAY, pem.certificate.empty() ? none : tls_options, MHD_OPTION_END);
  if (daemon == nullptr)
    *error = pem.certificate.empty()
                 ? "cannot serve the admin listener"
                 : "cannot serve the admin listener over HTTPS with this certificate and key";
  return daemon;
}

bool AdminListener::Start(const ListenAddress& endpoint, const std::string& certificate_file,
                          const std::string& key_file, std::string* error) {
  MutexLock lock(&mu_);
  if (!daemons_.empty()) {
    *error = "the admin listener is already serving";
    return false;
  }
  auto pem = std::make_shared<Pem>();
  if (certificate_file.empty() != key_file.empty()) {
    *error = "the admin listener needs both a certificate and its key, or neither";
    return false;
  }
  if (certificate_file.empty() && !sockets::IsLoopbackName(endpoint.host)) {
    *error =
        "the admin listener serves plain HTTP only on a loopback address; give the server "
        "a certificate (--tls-cert, --tls-key) to serve it on " +
        (endpoint.host.empty() ? std::string("every address") : endpoint.host);
    return false;
  }
  if (!certificate_file.empty() && !ReadPem(certificate_file, key_file, pem.get(), error))
    return false;
  std::vector<int> fds;
  std::vector<std::string> addresses;
  uint16_t port = 0;
  bool ok = ListenOn(endpoint, &fds, &addresses, &port, error);
  std::vector<MHD_Daemon*> daemons;
  for (size_t i = 0; ok && i < fds.size(); ++i) {
    MHD_Daemon* d = Serve(fds[i], *pem, error);
    ok = d != nullptr;
    if (ok) daemons.push_back(d);
  }
  if (!ok) {
    // A daemon closes its socket when stopped; the others are closed here.
    for (size_t i = 0; i < fds.size(); ++i) {
      if (i < daemons.size())
        MHD_stop_daemon(daemons[i]);
      else
        close(fds[i]);
    }
    return false;
  }
  daemons_ = std::move(daemons);
  fds_ = std::move(fds);
  addresses_ = std::move(addresses);
  port_ = port;
  pems_.push_back(std::move(pem));
  tls_ = !certificate_file.empty();
  return true;
}

bool AdminListener::Reload(const std::string& certificate_file, const std::string& key_file,
                           std::string* error) {
  MutexLock lock(&mu_);
  if (!tls_ || daemons_.empty()) return true;  // nothing to reload
  auto pem = std::make_shared<Pem>();
  if (!ReadPem(certificate_file, key_file, pem.get(), error)) return false;
  pems_.push_back(pem);
  const Pem& old = *pems_[pems_.size() - 2];
  for (MHD_Daemon*& daemon : daemons_) {
    if (daemon == nullptr) continue;  // lost in an earlier reload
    // The old daemon stops accepting and gives its socket back; the new
    // one accepts on it. Should the new one not start, the old
    // certificate is served again on the socket.
    const MHD_socket fd = MHD_quiesce_daemon(daemon);
    if (fd == MHD_INVALID_SOCKET) {
      *error = "cannot take the admin listener's socket over";
      return false;
    }
    MHD_stop_daemon(daemon);
    daemon = Serve(fd, *pem, error);
    if (daemon == nullptr) {
      std::string ignored;
      daemon = Serve(fd, old, &ignored);
      if (daemon == nullptr) close(fd);
      return false;
    }
  }
  return true;
}

void AdminListener::Stop() {
  MutexLock lock(&mu_);
  for (MHD_Daemon* d : daemons_)
    if (d != nullptr) MHD_stop_daemon(d);  // closes its listening socket
  daemons_.clear();
  fds_.clear();
}

}  // namespace zvt::hostd
