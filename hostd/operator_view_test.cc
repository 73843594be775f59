// The operators' view through the admin listener, as Prometheus, a load
// balancer's probe and an operator's terminal meet it: what /metrics counts
// and how its size stays put whatever clients send, what /readyz says when
// the store or the certificate goes bad, HTTPS with the server's
// certificate, and clients that try to hold the listener for themselves.
#include "hostd/operator_view.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "hostd/admin_listener.h"
#include "hostd/host_server.h"
#include "hostd/host_store.h"
#include "hostd/self_signed.h"
#include "pgm/wire.h"
#include "testing/http_get.h"
#include "testing/temp_dir.h"
#include "testing/wait.h"
#include "testing/wire_client.h"

namespace zvt::hostd {
namespace {

using testing::HttpGet;
using testing::WireClient;

class OperatorViewTest : public ::testing::Test {
 protected:
  // A server with metrics and its admin listener on loopback; with
  // `certificate` (a request), both serve TLS with it.
  void Start(const CertificateRequest* certificate = nullptr, AdminLimits limits = AdminLimits()) {
    std::string error;
    {
      auto store = HostStore::Open(dir_.File("host.db"), &error);
      ASSERT_TRUE(store) << error;
      ASSERT_TRUE(store->AddProfile("U", "p", HashStrength::kFast, &error)) << error;
    }
    ServerOptions options;
    options.store_path = dir_.File("host.db");
    options.allow_fast_hashes = true;
    options.metrics = true;
    if (certificate != nullptr) {
      options.tls_certificate = dir_.File("cert.pem");
      options.tls_key = dir_.File("key.pem");
      ASSERT_TRUE(
          WriteSelfSigned(*certificate, options.tls_certificate, options.tls_key, true, &error))
          << error;
    }
    server_ = std::make_unique<HostServer>(options, nullptr);
    ASSERT_TRUE(server_->Start(&error)) << error;
    view_ = std::make_unique<OperatorView>(server_.get());
    view_->Start(std::chrono::hours(1));  // checked when the test asks
    admin_ = std::make_unique<AdminListener>(
        [this](const AdminRequest& r) { return view_->Answer(r); }, limits);
    ASSERT_TRUE(admin_->Start({"127.0.0.1", 0}, options.tls_certificate, options.tls_key, &error))
        << error;
  }
  std::string Url(const std::string& path) const {
    return std::string(admin_->tls() ? "https" : "http") +
           "://127.0.0.1:" + std::to_string(admin_->port()) + path;
  }
  // The value of the exposition's line that starts with `series` (-1: none).
  static double Sample(const std::string& exposition, const std::string& series) {
    const size_t at = exposition.find("\n" + series + " ");
    if (at == std::string::npos) return -1;
    return std::strtod(exposition.c_str() + at + series.size() + 2, nullptr);
  }
  static size_t Lines(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  }

  testing::TempDir dir_;
  std::unique_ptr<HostServer> server_;
  std::unique_ptr<OperatorView> view_;
  std::unique_ptr<AdminListener> admin_;
};

TEST_F(OperatorViewTest, MetricsCountWhatClientsDoInSeriesOfAFixedNumber) {
  Start();
  const testing::HttpReply first = HttpGet(Url("/metrics"));
  ASSERT_EQ(200, first.status) << first.error;
  const size_t lines = Lines(first.body);
  {
    WireClient c(server_->port());
    ASSERT_TRUE(c.SignOn("U", "p"));
    // A known program with parameters it refuses, and made-up names, each
    // answered with a host message.
    ASSERT_TRUE(c.Send(wire::FrameType::kCall, wire::Encode(wire::Call{1, "KLIB/KRCHGTS", {}})));
    wire::Frame reply;
    ASSERT_TRUE(c.Receive(&reply));
    for (uint32_t i = 0; i < 40; ++i) {
      const std::string name = "X" + std::to_string(i) + "/P";
      ASSERT_TRUE(c.Send(wire::FrameType::kCall, wire::Encode(wire::Call{i + 2, name, {}})));
      ASSERT_TRUE(c.Receive(&reply));
    }
    // Wrong passwords from made-up profiles.
    for (int i = 0; i < 5; ++i) {
      WireClient other(server_->port());
      EXPECT_FALSE(other.SignOn("NOBODY" + std::to_string(i), "x"));
    }
    const testing::HttpReply m = HttpGet(Url("/metrics"));
    ASSERT_EQ(200, m.status) << m.error;
    EXPECT_EQ(1,
              Sample(m.body,
                     R"(zvthostd_program_calls_total{outcome="refused",program="KLIB/KRCHGTS"})"));
    EXPECT_EQ(40,
              Sample(m.body, R"(zvthostd_program_calls_total{outcome="refused",program="other"})"));
    EXPECT_EQ(0,
              Sample(m.body, R"(zvthostd_program_calls_total{outcome="failed",program="other"})"));
    EXPECT_EQ(1, Sample(m.body, R"(zvthostd_signons_total{result="ok"})"));
    EXPECT_EQ(5, Sample(m.body, R"(zvthostd_signons_total{result="refused"})"));
    EXPECT_EQ(5, Sample(m.body, R"(zvthostd_refusals_total{reason="wrong_password"})"));
    EXPECT_EQ(1, Sample(m.body, R"(zvthostd_connections{state="signed_on"})"));
    EXPECT_EQ(41,
              Sample(m.body, R"(zvthostd_program_call_duration_seconds_count{program="other"})") +
                  Sample(m.body,
                         R"(zvthostd_program_call_duration_seconds_count{program="KLIB/KRCHGTS"})"))
        << "every call timed once";
    EXPECT_EQ(1, Sample(m.body, "zvthostd_ready"));
    EXPECT_GT(Sample(m.body, "process_resident_memory_bytes"), 0);
    EXPECT_GT(Sample(m.body, "process_open_fds"), 0);
    // No series for a profile, a program name or an address a client sent.
    EXPECT_EQ(lines, Lines(m.body));
    for (const char* leak : {"NOBODY", "X1/P", "127.0.0.1"})
      EXPECT_EQ(std::string::npos, m.body.find(leak)) << leak;
  }
  // The signed-on connection has gone once the server has seen it go.
  EXPECT_TRUE(testing::WaitUntil([&] {
    return Sample(HttpGet(Url("/metrics")).body, R"(zvthostd_connections{state="signed_on"})") == 0;
  }));
  // Prometheus's own check of the exposition, where its tools are installed.
  if (std::system("command -v promtool >/dev/null 2>&1") == 0) {
    std::ofstream(dir_.File("metrics.txt")) << HttpGet(Url("/metrics")).body;
    EXPECT_EQ(0, std::system(("promtool check metrics < " + dir_.File("metrics.txt")).c_str()));
  }
}

TEST_F(OperatorViewTest, ReadinessFollowsTheStoreAndEndpointsAnswerOnlyWhatTheyServe) {
  Start();
  testing::HttpReply r = HttpGet(Url("/readyz"));
  EXPECT_EQ(200, r.status) << r.error << r.body;
  EXPECT_NE(std::string::npos, r.body.find("\"ready\": true"));
  EXPECT_EQ(200, HttpGet(Url("/healthz")).status);
  EXPECT_EQ(404, HttpGet(Url("/nothing")).status);
  EXPECT_EQ(405, HttpGet(Url("/metrics"), "", nullptr, "POST").status);
  EXPECT_EQ(405, HttpGet(Url("/readyz"), "", nullptr, "DELETE").status);

  // Another program moves the store's schema on: not ready, and why.
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(dir_.File("host.db").c_str(), &db));
  sqlite3_busy_timeout(db, 10000);  // the server's connections write as they open
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "PRAGMA user_version = 99", nullptr, nullptr, nullptr));
  view_->CheckNow();
  r = HttpGet(Url("/readyz"));
  EXPECT_EQ(503, r.status) << r.body;
  EXPECT_NE(std::string::npos, r.body.find("version 99")) << r.body;
  EXPECT_EQ(200, HttpGet(Url("/healthz")).status) << "the process still serves";
  EXPECT_EQ(0, OperatorViewTest::Sample(HttpGet(Url("/metrics")).body, "zvthostd_ready"));
  // Put back, ready again.
  const std::string put_back = "PRAGMA user_version = " + std::to_string(HostStore::kSchemaVersion);
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, put_back.c_str(), nullptr, nullptr, nullptr));
  sqlite3_close(db);
  view_->CheckNow();
  EXPECT_EQ(200, HttpGet(Url("/readyz")).status);
  const testing::HttpReply status = HttpGet(Url("/status"));
  EXPECT_EQ(200, status.status);
  EXPECT_NE(std::string::npos, status.body.find("\"uptime_seconds\"")) << status.body;
  EXPECT_NE(std::string::npos, view_->Summary().find("ready; 0 connections")) << view_->Summary();
}

TEST_F(OperatorViewTest, HttpsWithTheServersCertificateAndAnExpiredOneIsNotReady) {
  CertificateRequest expired;
  expired.valid_from_s = -2 * 86400;
  expired.valid_for_s = 86400;
  Start(&expired);
  // Only HTTPS, with the server's certificate as the client's trust.
  EXPECT_EQ(0, HttpGet("http://127.0.0.1:" + std::to_string(admin_->port()) + "/healthz").status);
  const testing::HttpReply r = HttpGet(Url("/readyz"), dir_.File("cert.pem"));
  // The certificate has expired: a client checking it refuses it, so the
  // probe trusts it only for this test's purpose.
  EXPECT_EQ(0, r.status);
  EXPECT_NE(std::string::npos, r.error.find("certificate")) << r.error;
  EXPECT_FALSE(view_->CheckNow().certificate);
  EXPECT_NE(std::string::npos, view_->Summary().find("expired")) << view_->Summary();
}

TEST_F(OperatorViewTest, OverHttpsAValidCertificateIsReadyAndItsExpiryIsReported) {
  CertificateRequest fresh;
  Start(&fresh);
  const testing::HttpReply r = HttpGet(Url("/metrics"), dir_.File("cert.pem"));
  ASSERT_EQ(200, r.status) << r.error;
  EXPECT_GT(Sample(r.body, "zvthostd_tls_certificate_expiry_timestamp_seconds"),
            static_cast<double>(std::time(nullptr)));
  // A plaintext wire client is refused and counted; a TLS handshake broken
  // off is counted by its reason.
  {
    WireClient plain(server_->port());
    ASSERT_TRUE(plain.Send(wire::FrameType::kHello, wire::Encode(wire::Hello{})));
    EXPECT_EQ(wire::kErrorUnexpected, plain.ProtocolErrorCode());
  }
  {
    WireClient broken(server_->port());
    // A ClientHello's record header, then nothing more: closed mid-handshake.
    ASSERT_TRUE(broken.Send(std::string("\x16\x03\x01\x00\x40", 5)));
  }
  std::string m;
  EXPECT_TRUE(testing::WaitUntil([&] {
    m = HttpGet(Url("/metrics"), dir_.File("cert.pem")).body;
    return Sample(m, R"(zvthostd_refusals_total{reason="plaintext_client"})") == 1 &&
           Sample(m, R"(zvthostd_tls_handshake_failures_total{reason="closed"})") +
                   Sample(m, R"(zvthostd_tls_handshake_failures_total{reason="other"})") >=
               1;
  })) << m;
  // A new certificate is served after a reload.
  CertificateRequest renewed;
  renewed.names = {"127.0.0.1"};
  std::string error;
  ASSERT_TRUE(
      WriteSelfSigned(renewed, dir_.File("cert2.pem"), dir_.File("key2.pem"), true, &error));
  ASSERT_TRUE(admin_->Reload(dir_.File("cert2.pem"), dir_.File("key2.pem"), &error)) << error;
  EXPECT_EQ(200, HttpGet(Url("/healthz"), dir_.File("cert2.pem")).status);
  EXPECT_EQ(0, HttpGet(Url("/healthz"), dir_.File("cert.pem")).status);
  // A key of another certificate is refused and the listener goes on.
  EXPECT_FALSE(admin_->Reload(dir_.File("cert.pem"), dir_.File("key2.pem"), &error));
  EXPECT_EQ(200, HttpGet(Url("/healthz"), dir_.File("cert2.pem")).status);
}

TEST_F(OperatorViewTest, OneClientHoldingConnectionsCannotKeepOthersOut) {
  AdminLimits limits;
  limits.per_address = 4;
  limits.connections = 16;
  Start(nullptr, limits);
  // One machine opens many idle connections; past its share they are
  // closed at once, and its own requests wait for its connections to go.
  std::vector<std::unique_ptr<WireClient>> held;
  for (int i = 0; i < 40; ++i)
    held.push_back(std::make_unique<WireClient>(admin_->port(), "127.0.0.2"));
  // Every other machine is served meanwhile, up to the listener's limit.
  for (const char* other : {"127.0.0.3", "127.0.0.4", "127.0.0.5"}) {
    const testing::HttpReply r = HttpGet(Url("/healthz"), "", other);
    EXPECT_EQ(200, r.status) << other << ": " << r.error;
  }
  // A request with headers past the listener's room is refused, and the
  // listener serves on.
  {
    WireClient big(admin_->port(), "127.0.0.6");
    ASSERT_TRUE(big.connected());
    (void)big.Send("GET /healthz HTTP/1.1\r\nHost: x\r\nX-Fill: " + std::string(64 * 1024, 'a') +
                   "\r\n\r\n");
    const std::string answer = big.ReadRaw(64);
    EXPECT_EQ(std::string::npos, answer.find(" 200 ")) << answer;
  }
  EXPECT_EQ(200, HttpGet(Url("/healthz"), "", "127.0.0.7").status);
}

}  // namespace
}  // namespace zvt::hostd
