// TLS through OpenSSL. Sessions read and write their socket through a BIO
// of ours that sends with MSG_NOSIGNAL, so that a peer that went away never
// raises SIGPIPE in the process that loaded the library.
#include <arpa/inet.h>
#include <errno.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "pgm/tls.h"

namespace zvt::tls {

struct ContextFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
using ContextPtr = std::unique_ptr<SSL_CTX, ContextFree>;

class ClientContext {
 public:
  ContextPtr ctx;
};
class ServerContext {
 public:
  ContextPtr ctx;
};

namespace {

// The reasons on this thread's OpenSSL error queue, oldest first; empties it.
std::string QueuedErrors() {
  std::string text;
  while (unsigned long e = ERR_get_error()) {
    const char* reason = ERR_reason_error_string(e);
    char code[256];
    if (reason == nullptr) ERR_error_string_n(e, code, sizeof code);
    if (!text.empty()) text += "; ";
    text += reason != nullptr ? reason : code;
  }
  return text.empty() ? "unknown TLS error" : text;
}

// The socket BIO: reads and writes the socket without signals or blocking,
// and notes whether its last read took all the socket held.
struct SocketBio {
  sockets::Handle s;
  bool drained = false;  // the last read was short, or found nothing
  // The next read waits in the receive call, up to wait_ms (see
  // sockets::ReceiveWaiting); the reads after it do not.
  bool wait_once = false;
  int wait_ms = 0;
  sockets::ReceiveWait setup;
};

SocketBio* StateOf(BIO* bio) { return static_cast<SocketBio*>(BIO_get_data(bio)); }
sockets::Handle SocketOf(BIO* bio) { return StateOf(bio)->s; }

int SocketWrite(BIO* bio, const char* data, size_t n, size_t* written) {
  BIO_clear_retry_flags(bio);
  std::string ignored;
  long w = sockets::Send(SocketOf(bio), data, n, &ignored);
  if (w > 0) {
    *written = static_cast<size_t>(w);
    return 1;
  }
  if (w == sockets::kWouldBlock) BIO_set_retry_write(bio);
  return 0;
}

int SocketRead(BIO* bio, char* out, size_t n, size_t* read) {
  BIO_clear_retry_flags(bio);
  std::string ignored;
  SocketBio* state = StateOf(bio);
  long r;
  if (state->wait_once) {
    state->wait_once = false;
    r = sockets::ReceiveWaiting(state->s, out, n, state->wait_ms, &state->setup, &ignored);
  } else {
    r = sockets::Receive(state->s, out, n, &ignored);
  }
  state->drained = r == sockets::kWouldBlock || (r > 0 && static_cast<size_t>(r) < n);
  if (r > 0) {
    *read = static_cast<size_t>(r);
    return 1;
  }
  if (r == sockets::kWouldBlock) BIO_set_retry_read(bio);
  if (r == sockets::kClosed) errno = 0;  // end of stream, not a failure of the socket
  return 0;
}

long SocketControl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int SocketCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

const BIO_METHOD* SocketMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "zvt socket");
    BIO_meth_set_write_ex(m, SocketWrite);
    BIO_meth_set_read_ex(m, SocketRead);
    BIO_meth_set_ctrl(m, SocketControl);
    BIO_meth_set_create(m, SocketCreate);
    return m;
  }();
  return method;
}

ContextPtr NewContext(const SSL_METHOD* method, std::string* error) {
  ContextPtr ctx(SSL_CTX_new(method));
  if (!ctx) {
    *error = "cannot make a TLS context: " + QueuedErrors();
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                                  SSL_MODE_RELEASE_BUFFERS);
  // Frames carry their length, so a cut stream is noticed without the
  // peer's close notice; a peer that simply closes is a closed connection.
  // No session tickets in TLS 1.2 either (each connection signs on anew),
  // and in TLS 1.2 only forward-secret AEAD suites: no CBC, no static RSA.
  SSL_CTX_set_options(ctx.get(),
                      SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_TICKET);
  if (SSL_CTX_set_cipher_list(ctx.get(), "ECDHE+AESGCM:ECDHE+CHACHA20:!aNULL") != 1) {
    *error = "cannot set the TLS 1.2 cipher suites: " + QueuedErrors();
    return nullptr;
  }
  return ctx;
}

// Why a file cannot be read, or "" when it can.
std::string Unreadable(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return std::strerror(errno);
  std::fclose(f);
  return "";
}

bool IsAddress(const std::string& host) {
  unsigned char raw[16];
  return inet_pton(AF_INET, host.c_str(), raw) == 1 || inet_pton(AF_INET6, host.c_str(), raw) == 1;
}

// One TLS session over a socket it owns.
class TlsStream : public sockets::Stream {
 public:
  TlsStream(SSL* ssl, std::unique_ptr<SocketBio> bio) : ssl_(ssl), bio_(std::move(bio)) {}
  ~TlsStream() override {
    if (ssl_ != nullptr) {
      // A close notice when the session is sound; nothing is waited for.
      if (!broken_ && SSL_is_init_finished(ssl_)) {
        ERR_clear_error();
        (void)SSL_shutdown(ssl_);
      }
      SSL_free(ssl_);
      ERR_clear_error();
    }
    sockets::Close(bio_->s);
  }
  sockets::Handle handle() const override { return bio_->s; }
  bool MayHoldBytes() const override { return SSL_has_pending(ssl_) == 1; }

  bool Drained() const override { return bio_->drained && SSL_has_pending(ssl_) == 0; }

  long Receive(char* out, size_t n, sockets::Ready* wait, std::string* error) override {
    ERR_clear_error();
    // A record read ahead may be all this call reads: what an earlier read
    // of the socket found says nothing of the socket now.
    bio_->drained = false;
    size_t got = 0;
    int rc = SSL_read_ex(ssl_, out, n, &got);
    return rc == 1 ? static_cast<long>(got) : Failed(rc, wait, error);
  }
  long ReceiveWaiting(char* out, size_t n, int timeout_ms, sockets::Ready* wait,
                      std::string* error) override {
    bio_->wait_once = true;
    bio_->wait_ms = timeout_ms;
    const long r = Receive(out, n, wait, error);
    bio_->wait_once = false;  // when the session read nothing from the socket
    return r;
  }
  long Send(const char* data, size_t n, sockets::Ready* wait, std::string* error) override {
    ERR_clear_error();
    size_t put = 0;
    int rc = SSL_write_ex(ssl_, data, n, &put);
    if (rc == 1) return static_cast<long>(put);
    long r = Failed(rc, wait, error);
    if (r == sockets::kClosed) {
      *error = "connection closed by the peer";
      return sockets::kFailed;
    }
    return r;
  }

  // Runs the handshake until done or the deadline; false with `*error`.
  bool Handshake(int timeout_ms, std::string* error) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      ERR_clear_error();
      int rc = SSL_do_handshake(ssl_);
      if (rc == 1) return true;
      sockets::Ready wait;
      long r = Failed(rc, &wait, error);
      if (r == sockets::kClosed) *error = "the host closed the connection during the TLS handshake";
      if (r != sockets::kWouldBlock) return false;
      int left = -1;
      if (timeout_ms > 0) {
        left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - std::chrono::steady_clock::now())
                                    .count());
        if (left <= 0) {
          *error = "timed out";
          return false;
        }
      }
      int ready = sockets::WaitFor(bio_->s, wait, left, error);
      if (ready < 0) return false;
      if (ready == 0) {
        *error = "timed out";
        return false;
      }
    }
  }

  bool Established() const override { return SSL_is_init_finished(ssl_) == 1; }
  std::string Protocol() const override { return SSL_get_version(ssl_); }

  SSL* ssl() { return ssl_; }

 private:
  // The result of an SSL call that did not succeed, as a Stream result.
  long Failed(int rc, sockets::Ready* wait, std::string* error) {
    const int saved_errno = errno;
    switch (SSL_get_error(ssl_, rc)) {
      case SSL_ERROR_WANT_READ:
        *wait = sockets::Ready::kRead;
        return sockets::kWouldBlock;
      case SSL_ERROR_WANT_WRITE:
        *wait = sockets::Ready::kWrite;
        return sockets::kWouldBlock;
      case SSL_ERROR_ZERO_RETURN:
        return sockets::kClosed;
      case SSL_ERROR_SYSCALL:
        broken_ = true;
        if (ERR_peek_error() != 0) break;
        if (saved_errno == 0) return sockets::kClosed;
        *error = std::string("TLS: ") + std::strerror(saved_errno);
        return sockets::kFailed;
      default:
        broken_ = true;
        break;
    }
    *error = Describe();
    return sockets::kFailed;
  }

  // What went wrong in the handshake or the session, in words a user can act on.
  std::string Describe() {
    const unsigned long first = ERR_peek_error();
    const long verified = SSL_get_verify_result(ssl_);
    std::string reasons = QueuedErrors();
    if (!SSL_is_server(ssl_) && verified != X509_V_OK)
      return std::string("the host's certificate was not accepted: ") +
             X509_verify_cert_error_string(verified);
    switch (ERR_GET_REASON(first)) {
      case SSL_R_WRONG_VERSION_NUMBER:
      case SSL_R_PACKET_LENGTH_TOO_LONG:
      case SSL_R_HTTP_REQUEST:
        if (!SSL_is_init_finished(ssl_))
          return SSL_is_server(ssl_) ? "the client did not start TLS (" + reasons + ")"
                                     : "the host did not answer in TLS; it may serve "
                                       "plaintext only (" +
                                           reasons + ")";
        break;
      default:
        break;
    }
    return (SSL_is_init_finished(ssl_) ? "TLS: " : "TLS handshake failed: ") + reasons;
  }

  SSL* ssl_;
  // The BIO's state and the socket, owned here; outlives the session.
  std::unique_ptr<SocketBio> bio_;
  bool broken_ = false;
};

// A session on `s` over the socket BIO; null (with `s` closed) on failure.
std::unique_ptr<TlsStream> NewSession(SSL_CTX* ctx, sockets::Handle s, std::string* error) {
  ERR_clear_error();
  SSL* ssl = SSL_new(ctx);
  BIO* bio = ssl != nullptr ? BIO_new(SocketMethod()) : nullptr;
  if (bio == nullptr) {
    *error = "cannot start a TLS session: " + QueuedErrors();
    SSL_free(ssl);
    sockets::Close(s);
    return nullptr;
  }
  auto state = std::make_unique<SocketBio>();
  state->s = s;
  BIO_set_data(bio, state.get());
  SSL_set_bio(ssl, bio, bio);
  // A record is read with one receive rather than its header and then its
  // body. Bytes read ahead wait in the session, not in the socket, so a
  // reader must ask the session before it waits on the socket: every reader
  // of a stream receives until the stream would block (or, told of each
  // arrival, until it says it is drained), and waits only then.
  SSL_set_read_ahead(ssl, 1);
  return std::make_unique<TlsStream>(ssl, std::move(state));
}

}  // namespace

bool Available() { return true; }

std::shared_ptr<ClientContext> LoadClientContext(const std::string& ca_file, std::string* error) {
  ERR_clear_error();
  auto context = std::make_shared<ClientContext>();
  context->ctx = NewContext(TLS_client_method(), error);
  if (!context->ctx) return nullptr;
  SSL_CTX_set_verify(context->ctx.get(), SSL_VERIFY_PEER, nullptr);
  if (ca_file.empty()) {
    if (SSL_CTX_set_default_verify_paths(context->ctx.get()) != 1) {
      *error = "cannot read the system's trust store: " + QueuedErrors();
      return nullptr;
    }
  } else if (std::string why = Unreadable(ca_file); !why.empty()) {
    *error = "cannot read the CA file " + ca_file + ": " + why;
    return nullptr;
  } else if (SSL_CTX_load_verify_locations(context->ctx.get(), ca_file.c_str(), nullptr) != 1) {
    *error = "the CA file " + ca_file + " holds no usable certificate: " + QueuedErrors();
    return nullptr;
  }
  return context;
}

std::unique_ptr<sockets::Stream> Connect(ClientContext* context, sockets::Handle s,
                                         const std::string& host, int timeout_ms,
                                         std::string* error) {
  std::unique_ptr<TlsStream> session = NewSession(context->ctx.get(), s, error);
  if (!session) return nullptr;
  SSL* ssl = session->ssl();
  std::string name = host;
  if (name.size() > 2 && name.front() == '[' && name.back() == ']')
    name = name.substr(1, name.size() - 2);
  if (IsAddress(name)) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), name.c_str());
  } else {
    SSL_set1_host(ssl, name.c_str());
    SSL_set_tlsext_host_name(ssl, name.c_str());
  }
  SSL_set_connect_state(ssl);
  if (!session->Handshake(timeout_ms, error)) return nullptr;
  return session;
}

std::shared_ptr<ServerContext> LoadServerContext(const std::string& certificate_file,
                                                 const std::string& key_file, std::string* error) {
  ERR_clear_error();
  for (const std::string* file : {&certificate_file, &key_file}) {
    if (std::string why = Unreadable(*file); !why.empty()) {
      *error = "cannot read " + *file + ": " + why;
      return nullptr;
    }
  }
  auto context = std::make_shared<ServerContext>();
  context->ctx = NewContext(TLS_server_method(), error);
  if (!context->ctx) return nullptr;
  SSL_CTX* ctx = context->ctx.get();
  if (SSL_CTX_use_certificate_chain_file(ctx, certificate_file.c_str()) != 1) {
    *error = "no certificate in " + certificate_file + ": " + QueuedErrors();
    return nullptr;
  }
  const bool key_loaded = SSL_CTX_use_PrivateKey_file(ctx, key_file.c_str(), SSL_FILETYPE_PEM) == 1;
  if (!key_loaded && ERR_GET_REASON(ERR_peek_last_error()) != X509_R_KEY_VALUES_MISMATCH) {
    *error = "no private key in " + key_file + ": " + QueuedErrors();
    return nullptr;
  }
  if (!key_loaded || SSL_CTX_check_private_key(ctx) != 1) {
    *error =
        "the key in " + key_file + " does not belong to the certificate in " + certificate_file;
    ERR_clear_error();
    return nullptr;
  }
  // Sessions are not resumed (no cache here, no tickets in any version):
  // each connection signs on anew anyway.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_num_tickets(ctx, 0);
  return context;
}

std::unique_ptr<sockets::Stream> Accept(std::shared_ptr<ServerContext> context, sockets::Handle s) {
  std::string error;
  std::unique_ptr<TlsStream> session = NewSession(context->ctx.get(), s, &error);
  if (session) SSL_set_accept_state(session->ssl());
  return session;
}

}  // namespace zvt::tls
