#include "hostd/admin_listener.h"

#include <gtest/gtest.h>

#include <atomic>

#include "testing/http_get.h"

namespace zvt::hostd {
namespace {

// A handler that says what it was given.
class AdminListenerTest : public ::testing::Test {
 protected:
  void Start(AdminLimits limits = AdminLimits()) {
    listener_ = std::make_unique<AdminListener>(
        [this](const AdminRequest& r) {
          handled_++;
          AdminResponse answer;
          answer.body = r.method + " " + r.path + " ?" + r.query + " from " + r.peer + " token=" +
                        (r.headers.count("x-csrf-token") ? r.headers.at("x-csrf-token") : "-") +
                        " body=" + std::to_string(r.body.size());
          if (!r.body.empty() && r.body != std::string(r.body.size(), 'b')) answer.body += " bad";
          answer.headers.push_back({"Set-Cookie", "s=1; Secure; HttpOnly; SameSite=Strict"});
          return answer;
        },
        limits);
    std::string error;
    ASSERT_TRUE(listener_->Start({"127.0.0.1", 0}, "", "", &error)) << error;
  }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(listener_->port()) + path;
  }

  std::atomic<int> handled_{0};
  std::unique_ptr<AdminListener> listener_;
};

// A request reaches the handler with its headers (by lower-case name), its
// body whole and the client's address; the handler's headers go out.
TEST_F(AdminListenerTest, RequestsArriveWholeAndAnswersCarryTheirHeaders) {
  Start();
  const std::string body(1 << 20, 'b');
  for (bool chunked : {false, true}) {
    testing::HttpReply r =
        testing::HttpSend(Url("/api/x?a=1"), "POST", body, {"X-CSRF-Token: abc"}, "", chunked);
    ASSERT_EQ(200, r.status) << r.error;
    EXPECT_EQ(r.body, "POST /api/x ?a=1 from 127.0.0.1 token=abc body=1048576");
    EXPECT_NE(r.headers.find("Set-Cookie: s=1; Secure; HttpOnly; SameSite=Strict"),
              std::string::npos)
        << r.headers;
    EXPECT_NE(r.headers.find("Cache-Control: no-store"), std::string::npos) << r.headers;
  }
  EXPECT_EQ(200, testing::HttpGet(Url("/")).status);
  EXPECT_EQ(3, handled_.load());
}

// A body over the limit never reaches the handler, declared or not; the
// listener goes on serving.
TEST_F(AdminListenerTest, ABodyOverTheLimitIsRefusedBeforeTheHandler) {
  AdminLimits limits;
  limits.body_bytes = 1000;
  Start(limits);
  for (bool chunked : {false, true}) {
    testing::HttpReply r =
        testing::HttpSend(Url("/api/import"), "PUT", std::string(5000, 'b'), {}, "", chunked);
    EXPECT_EQ(413, r.status) << r.error << " chunked " << chunked;
  }
  EXPECT_EQ(0, handled_.load());
  testing::HttpReply fits = testing::HttpSend(Url("/api/import"), "PUT", std::string(1000, 'b'));
  EXPECT_EQ(200, fits.status) << fits.error;
  EXPECT_EQ(1, handled_.load());
}

}  // namespace
}  // namespace zvt::hostd
