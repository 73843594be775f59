// TLS between the library and the host as someone on the network meets it:
// only a host with a certificate the client trusts, for the name the client
// dialled and still valid, is signed on to; a plaintext client of a TLS host
// and a TLS client of a plaintext host are told what is wrong; the password
// never crosses the wire in clear; a flipped byte fails the call and leaves
// nothing stored as current.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "hostd/self_signed.h"
#include "pgm/connection.h"
#include "testing/wait.h"
#include "tests/admin_client.h"
#include "tests/client_process_fixture.h"

namespace zvt {
namespace {

// Passes bytes between clients and a server on loopback, keeping what the
// clients sent, and flips one byte of what the server sends when asked.
class ByteRelay {
 public:
  explicit ByteRelay(uint16_t upstream) : upstream_(upstream) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
    socklen_t length = sizeof a;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        listen(listener_, 64) == 0 &&
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length) == 0)
      port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
  }
  ~ByteRelay() {
    stopping_ = true;
    acceptor_.join();
    for (std::thread& t : pumps_) t.join();
    close(listener_);
  }
  uint16_t port() const { return port_; }
  // Everything clients sent so far.
  std::string Captured() {
    std::lock_guard<std::mutex> lock(mu_);
    return captured_;
  }
  // Flips the bits of the byte at `offset` of what the server sends on each
  // connection from now on (-1: none).
  void FlipServerByte(int64_t offset) { flip_ = offset; }

 private:
  static sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
  }
  void AcceptLoop() {
    while (!stopping_) {
      pollfd p = {listener_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) pumps_.emplace_back([this, client] { Pump(client); });
    }
  }
  void Pump(int client) {
    int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(upstream_);
    const int64_t flip = flip_;
    int64_t from_server = 0;
    if (connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
      pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
      char buffer[16384];
      while (!stopping_) {
        if (poll(p, 2, 50) <= 0) continue;
        if (p[0].revents != 0) {
          ssize_t n = read(client, buffer, sizeof buffer);
          if (n <= 0) break;
          {
            std::lock_guard<std::mutex> lock(mu_);
            captured_.append(buffer, static_cast<size_t>(n));
          }
          if (write(server, buffer, static_cast<size_t>(n)) != n) break;
        }
        if (p[1].revents != 0) {
          ssize_t n = read(server, buffer, sizeof buffer);
          if (n <= 0) break;
          if (flip >= from_server && flip < from_server + n) buffer[flip - from_server] ^= 0xFF;
          from_server += n;
          if (write(client, buffer, static_cast<size_t>(n)) != n) break;
        }
      }
    }
    close(server);
    close(client);
  }

  uint16_t upstream_;
  uint16_t port_ = 0;
  int listener_ = -1;
  std::atomic<bool> stopping_{false};
  std::atomic<int64_t> flip_{-1};
  std::thread acceptor_;
  std::vector<std::thread> pumps_;  // touched by the accepting thread only
  std::mutex mu_;
  std::string captured_;  // guarded by mu_
};

class TlsTest : public testing::HostCallTest {
 protected:
  // Another server on the same store with its own certificate (none: plaintext).
  std::unique_ptr<hostd::HostServer> Serve(const hostd::CertificateRequest* request,
                                           const std::string& name) {
    hostd::ServerOptions options;
    options.allow_fast_hashes = true;  // the test profiles' hashes are fast
    options.store_path = dir_.File("host.db");
    std::string error;
    if (request != nullptr) {
      options.tls_certificate = dir_.File(name + "-cert.pem");
      options.tls_key = dir_.File(name + "-key.pem");
      EXPECT_TRUE(
          hostd::WriteSelfSigned(*request, options.tls_certificate, options.tls_key, false, &error))
          << error;
    }
    auto server = std::make_unique<hostd::HostServer>(options);
    EXPECT_TRUE(server->Start(&error)) << error;
    return server;
  }
  // Signs on as JOE; the failure's text, or "" when signed on.
  std::string SignOn(uint16_t port, const std::string& host, bool tls, const std::string& ca,
                     pgm::Failure* failure) {
    pgm::SignOnTarget e;
    e.host = host;
    e.port = port;
    e.user = "JOE";
    e.password = "pw-JOE";
    e.tls = tls;
    e.tls_ca_file = ca;
    e.connect_timeout_ms = 2000;
    *failure = pgm::Failure();
    return pgm::HostConnection::Open(e, failure) ? "" : failure->text;
  }
};

TEST_F(TlsTest, OnlyATrustedValidCertificateForTheNameDialledIsAccepted) {
  AddProfile("JOE");
  StartServer();
  pgm::Failure failure;
  EXPECT_EQ("", SignOn(server()->port(), "127.0.0.1", true, TlsCaFile(), &failure));
  EXPECT_EQ("", SignOn(server()->port(), "localhost", true, TlsCaFile(), &failure));

  struct Case {
    const char* what;
    std::string text;  // the failure's text
    const char* expected;
  };
  hostd::CertificateRequest other;
  auto untrusted = Serve(&other, "other");
  hostd::CertificateRequest address_only;
  address_only.names = {"127.0.0.1"};
  auto by_address = Serve(&address_only, "address");
  hostd::CertificateRequest expired;
  expired.valid_from_s = -3 * 24 * 3600;
  expired.valid_for_s = 24 * 3600;
  auto stale = Serve(&expired, "expired");
  auto plaintext = Serve(nullptr, "");
  const std::string address_ca = dir_.File("address-cert.pem");
  const std::string expired_ca = dir_.File("expired-cert.pem");
  Case cases[] = {
      {"a certificate the client does not trust",
       SignOn(untrusted->port(), "127.0.0.1", true, TlsCaFile(), &failure),
       "certificate was not accepted: self-signed certificate"},
      {"a certificate for another name",
       SignOn(by_address->port(), "localhost", true, address_ca, &failure),
       "certificate was not accepted: hostname mismatch"},
      {"an expired certificate", SignOn(stale->port(), "127.0.0.1", true, expired_ca, &failure),
       "certificate was not accepted: certificate has expired"},
      {"a plaintext client of a TLS host",
       SignOn(server()->port(), "127.0.0.1", false, "", &failure), "accepts TLS connections only"},
      {"a TLS client of a plaintext host",
       SignOn(plaintext->port(), "127.0.0.1", true, TlsCaFile(), &failure),
       "did not answer in TLS"},
      {"a CA file that is not there",
       SignOn(server()->port(), "127.0.0.1", true, dir_.File("none.pem"), &failure),
       "cannot read the CA file"},
      {"plaintext to another machine", SignOn(1, "192.0.2.1", false, "", &failure),
       "without TLS: plaintext is used only with a host on this machine"},
  };
  for (const Case& c : cases)
    EXPECT_NE(c.text.find(c.expected), std::string::npos) << c.what << ": " << c.text;
  // The address-only certificate is good for the address it names.
  EXPECT_EQ("", SignOn(by_address->port(), "127.0.0.1", true, address_ca, &failure));
}

TEST_F(TlsTest, NoPasswordByteCrossesTheWireInClear) {
  AddProfile("JOE");
  StartServer();
  ByteRelay relay(server()->port());
  pgm::Failure failure;
  ASSERT_EQ("", SignOn(relay.port(), "127.0.0.1", true, TlsCaFile(), &failure));
  EXPECT_GT(relay.Captured().size(), 200u);
  EXPECT_EQ(relay.Captured().find("pw-JOE"), std::string::npos);
  EXPECT_EQ(relay.Captured().find("JOE"), std::string::npos);  // nor the profile

  // The same capture of a plaintext sign-on finds it: the search works.
  auto plain = Serve(nullptr, "plain");
  ByteRelay plain_relay(plain->port());
  SignOn(plain_relay.port(), "127.0.0.1", false, "", &failure);
  EXPECT_NE(plain_relay.Captured().find("pw-JOE"), std::string::npos);
}

// A reload presents the new certificate to the connections accepted from
// then on; a pair that cannot be loaded, or none, leaves the old one.
TEST_F(TlsTest, AReloadedCertificateServesNewConnections) {
  AddProfile("JOE");
  StartServer();
  hostd::CertificateRequest request;
  ASSERT_TRUE(Serve(&request, "next"));  // writes next-cert.pem and next-key.pem
  const std::string next_ca = dir_.File("next-cert.pem");
  hostd::ServerOptions options;
  options.allow_fast_hashes = true;  // the test profiles' hashes are fast
  options.store_path = dir_.File("host.db");
  std::string error;
  pgm::Failure failure;

  options.tls_certificate = next_ca;
  options.tls_key = dir_.File("host-key.pem");  // the old key: not the new certificate's
  EXPECT_FALSE(server()->Reconfigure(options, &error));
  EXPECT_NE(error.find("does not belong to the certificate"), std::string::npos) << error;
  options.tls_certificate.clear();
  options.tls_key.clear();
  EXPECT_FALSE(server()->Reconfigure(options, &error));
  EXPECT_NE(error.find("cannot be switched off"), std::string::npos) << error;
  EXPECT_EQ("", SignOn(server()->port(), "127.0.0.1", true, TlsCaFile(), &failure));

  options.tls_certificate = next_ca;
  options.tls_key = dir_.File("next-key.pem");
  ASSERT_TRUE(server()->Reconfigure(options, &error)) << error;
  EXPECT_EQ("", SignOn(server()->port(), "127.0.0.1", true, next_ca, &failure));
  EXPECT_NE("", SignOn(server()->port(), "127.0.0.1", true, TlsCaFile(), &failure));
}

// A bare OpenSSL client offering `ciphers` in TLS 1.2 only: whether the
// handshake with the server completed, and whether it handed out a ticket.
bool Tls12Handshake(uint16_t port, const char* ciphers, bool* ticket) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_cipher_list(ctx, ciphers);
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool done = false;
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    done = SSL_connect(ssl) == 1;
    SSL_SESSION* session = SSL_get_session(ssl);
    *ticket = session != nullptr && SSL_SESSION_has_ticket(session);
    SSL_free(ssl);
  }
  close(fd);
  SSL_CTX_free(ctx);
  return done;
}

TEST_F(TlsTest, TlsTwelveIsAeadOnlyWithoutTicketsAndTheKeyMustBePrivate) {
  hostd::CertificateRequest request;
  auto server = Serve(&request, "aead");
  bool ticket = true;
  EXPECT_TRUE(Tls12Handshake(server->port(), "ECDHE+AESGCM", &ticket));
  EXPECT_FALSE(ticket) << "a TLS 1.2 session ticket";
  EXPECT_FALSE(
      Tls12Handshake(server->port(), "AES128-SHA:ECDHE-ECDSA-AES128-SHA:AES256-SHA256", &ticket))
      << "a CBC suite was accepted";
  server.reset();

  // A key others may read is not used; a store open to others is made private.
  hostd::ServerOptions options;
  options.store_path = dir_.File("host.db");
  options.tls_certificate = dir_.File("aead-cert.pem");
  options.tls_key = dir_.File("aead-key.pem");
  ASSERT_EQ(0, chmod(options.tls_key.c_str(), 0640));
  ASSERT_EQ(0, chmod(options.store_path.c_str(), 0644));
  std::string error;
  hostd::HostServer open_key(options);
  EXPECT_FALSE(open_key.Start(&error));
  EXPECT_NE(error.find("chmod 600"), std::string::npos) << error;
  ASSERT_EQ(0, chmod(options.tls_key.c_str(), 0600));
  hostd::HostServer good(options);
  ASSERT_TRUE(good.Start(&error)) << error;
  struct stat st {};
  ASSERT_EQ(0, stat(options.store_path.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
}

// A client turned away for a limit reads why, inside TLS, instead of
// taking the server for one that does not speak TLS.
TEST_F(TlsTest, AClientOverALimitIsToldWhyInsideTls) {
  AddProfile("JOE");
  hostd::ServerOptions options;
  options.allow_fast_hashes = true;
  options.max_clients = 1;
  StartServer(options);
  pgm::Failure failure;
  pgm::SignOnTarget e;
  e.port = server()->port();
  e.user = "JOE";
  e.password = "pw-JOE";
  ConfigureTls(&e);
  std::unique_ptr<pgm::HostConnection> first = pgm::HostConnection::Open(e, &failure);
  ASSERT_TRUE(first) << failure.text;
  EXPECT_FALSE(pgm::HostConnection::Open(e, &failure));
  EXPECT_NE(failure.text.find("too many clients"), std::string::npos) << failure.text;
  EXPECT_EQ(failure.text.find("TLS"), std::string::npos) << failure.text;
  first.reset();
  // Its place is free again once the first has gone.
  std::unique_ptr<pgm::HostConnection> again;
  EXPECT_TRUE(testing::WaitUntil(
      [&] {
        again = pgm::HostConnection::Open(e, &failure);
        return again != nullptr;
      },
      std::chrono::milliseconds(25)))
      << failure.text;
}

class TlsFlipTest : public testing::ClientProcessTest {};

// One flipped byte anywhere in what the host sends, in the handshake or in
// a reply: the session fails its check and the call fails. No function
// denied by name is answered allowed. (A failed function list leaves the
// refresh without the hierarchy, as any list that cannot be had does: the
// groups denied through their children are then not known as such.)
TEST_F(TlsFlipTest, AFlippedByteFailsTheCallAndStoresNothingAsCurrent) {
  SetUpHost({"A", "B", "C"});
  ByteRelay relay(server()->port());
  std::string command = testing::BinDir() + "/zvtadm system add FLIP --host 127.0.0.1 --port " +
                        std::to_string(relay.port()) +
                        " --user joe --password-env ZVT_TEST_PASSWORD" + TlsOptions();
  ASSERT_EQ(0, std::system(command.c_str()));
  int failed = 0;
  for (int64_t offset : {5, 300, 900, 1400, 2000, 2600, 3200, 4000}) {
    SCOPED_TRACE(offset);
    (void)std::system((testing::BinDir() + "/zvtadm cache clear FLIP >/dev/null 2>&1").c_str());
    relay.FlipServerByte(offset);
    {
      testing::Client client("FLIP");
      for (const char* f : {"A", "B", "C"}) {
        int v = client.Value(f);
        EXPECT_NE(0, v) << f;
        failed += v == -1;
      }
      if (client.State() != 0) ++failed;
    }
    relay.FlipServerByte(-1);
    testing::Client next("FLIP");
    EXPECT_EQ(1, next.Value("A"));
    EXPECT_EQ(0, next.Value("D"));
    EXPECT_EQ(0, next.State());
  }
  EXPECT_GT(failed, 0) << "no flip made a query fail";
}

}  // namespace
}  // namespace zvt
