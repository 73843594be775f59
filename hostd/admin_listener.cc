// The operators' listener on libmicrohttpd: a thread per connection (within
// the limits on connections in all and per client), request size and quiet time,
// and the certificate swapped on reload by handing the listening socket
// from a quiesced daemon to a new one.

#include "hostd/admin_listener.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
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

// What a request has brought so far.
struct RequestState {
  AdminRequest request;
  bool too_large = false;
};

MHD_Result AddHeader(void* cls, MHD_ValueKind, const char* key, const char* value) {
  auto* headers = static_cast<std::map<std::string, std::string>*>(cls);
  std::string name = key != nullptr ? key : "";
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  (*headers)[name] = value != nullptr ? value : "";
  return MHD_YES;
}

std::string PeerAddress(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (info == nullptr || info->client_addr == nullptr) return "";
  char text[INET6_ADDRSTRLEN] = "";
  const sockaddr* a = info->client_addr;
  if (a->sa_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a)->sin_addr, text, sizeof text);
  else if (a->sa_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr, text, sizeof text);
  return text;
}

MHD_Result Send(MHD_Connection* connection, const AdminResponse& answer) {
  MHD_Response* response = MHD_create_response_from_buffer(
      answer.body.size(), const_cast<char*>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.content_type.c_str());
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  for (const auto& [name, value] : answer.headers)
    MHD_add_response_header(response, name.c_str(), value.c_str());
  const MHD_Result queued = MHD_queue_response(connection, answer.status, response);
  MHD_destroy_response(response);
  return queued;
}

const AdminResponse kTooLarge = {413, "text/plain; charset=utf-8", "request body too large\n", {}};

void RequestEnded(void*, MHD_Connection*, void** request_state, MHD_RequestTerminationCode) {
  delete static_cast<RequestState*>(*request_state);
  *request_state = nullptr;
}

// The daemon's request callback: first with the headers, then with each
// piece of the body, then once more to answer.
MHD_Result Answer(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char* /*version*/, const char* upload_data, size_t* upload_data_size,
                  void** request_state) {
  const auto* serving = static_cast<const AdminListener::Serving*>(cls);
  auto* state = static_cast<RequestState*>(*request_state);
  if (state == nullptr) {
    state = new (std::nothrow) RequestState;
    if (state == nullptr) return MHD_NO;
    *request_state = state;
    AdminRequest& r = state->request;
    r.method = method;
    r.path = url;
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, AddQueryPart, &r.query);
    MHD_get_connection_values(connection, MHD_HEADER_KIND, AddHeader, &r.headers);
    r.peer = PeerAddress(connection);
    // A body declared too large is refused before any of it is read.
    auto length = r.headers.find("content-length");
    if (length != r.headers.end() &&
        std::strtoull(length->second.c_str(), nullptr, 10) > serving->limits->body_bytes)
      return Send(connection, kTooLarge);
    return MHD_YES;
  }
  if (*upload_data_size != 0) {
    // Beyond the limit the rest is read and dropped.
    std::string& body = state->request.body;
    if (state->too_large || body.size() + *upload_data_size > serving->limits->body_bytes) {
      state->too_large = true;
      body.clear();
    } else {
      body.append(upload_data, *upload_data_size);
    }
    *upload_data_size = 0;
    return MHD_YES;
  }
  if (state->too_large) return Send(connection, kTooLarge);
  AdminResponse answer;
  try {
    answer = (*serving->handler)(state->request);
  } catch (...) {  // the handler's allocations: an answer, never a crash
    answer = {500, "text/plain; charset=utf-8", "internal error\n", {}};
  }
  return Send(connection, answer);
}

}  // namespace

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
  unsigned flags =
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_POLL | MHD_USE_ITC;
  if (!pem.certificate.empty()) flags |= MHD_USE_TLS;
  MHD_OptionItem tls_options[] = {
      {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(pem.certificate.c_str())},
      {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(pem.key.c_str())},
      {MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(kTlsPriorities)},
      {MHD_OPTION_END, 0, nullptr},
  };
  MHD_OptionItem none[] = {{MHD_OPTION_END, 0, nullptr}};
  MHD_Daemon* daemon = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &Answer, const_cast<Serving*>(&serving_),
      MHD_OPTION_NOTIFY_COMPLETED, &RequestEnded, nullptr, MHD_OPTION_LISTEN_SOCKET, fd,
      MHD_OPTION_CONNECTION_LIMIT, limits_.connections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
      limits_.per_address, MHD_OPTION_CONNECTION_TIMEOUT, limits_.timeout_seconds,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits_.request_bytes, MHD_OPTION_ARRAY,
      pem.certificate.empty() ? none : tls_options, MHD_OPTION_END);
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
