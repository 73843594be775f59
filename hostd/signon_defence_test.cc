// The sign-on as attackers and broken clients use it to deny it to others:
// guessing a profile's password to keep it locked, stale passwords polled
// from many machines, and floods of sign-ons from a few networks. Clients
// on 127.0.0.2 and up stand for other machines (each its own network).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "hostd/host_server.h"
#include "hostd/host_store.h"
#include "pgm/wire.h"
#include "services/mutex.h"
#include "testing/server_faults.h"
#include "testing/temp_dir.h"
#include "testing/wait.h"
#include "testing/wire_client.h"

namespace zvt::hostd {
namespace {

using testing::WireClient;

class SignonDefenceTest : public ::testing::Test {
 protected:
  void Start(ServerOptions options = Strict()) {
    std::string error;
    auto store = HostStore::Open(dir_.File("host.db"), &error);
    ASSERT_TRUE(store) << error;
    for (const char* name : {"ANN", "FLOOD"})
      ASSERT_TRUE(store->AddProfile(name, "right", HashStrength::kFast, &error)) << error;
    options.store_path = dir_.File("host.db");
    server_ = std::make_unique<HostServer>(options, &faults_);
    ASSERT_TRUE(server_->Start(&error)) << error;
  }
  // Loopback counted as any network; penalties and lockouts long enough to
  // outlast the test on any machine.
  static ServerOptions Strict() {
    ServerOptions options;
    options.allow_fast_hashes = true;
    options.limit_loopback = true;
    options.penalty_ms = 600000;
    options.max_penalty_ms = 600000;
    options.signon_lockout_ms = 600000;
    return options;
  }
  uint16_t port() const { return server_->port(); }
  // The answer to a sign-on from `source`; an empty message id with `ok`
  // false means the connection was refused before any sign-on.
  wire::SignonReply SignOn(const char* source, const std::string& user, const std::string& password,
                           const std::string& token = "") {
    WireClient c(port(), source);
    wire::SignonReply reply;
    if (!c.SignOn(user, password, token, &reply)) reply = wire::SignonReply{};
    return reply;
  }
  static std::string IdOf(const wire::SignonReply& r) {
    return r.ok ? "ok" : r.messages.empty() ? "refused early" : r.messages[0].id;
  }

  // Holds password checks until released, noting the profiles in the
  // order they came.
  class Gate {
   public:
    void Hold(const std::string& profile) {
      MutexLock lock(&mu_);
      checked_.push_back(profile);
      while (!released_) cv_.Wait(&mu_);
    }
    void Release() {
      {
        MutexLock lock(&mu_);
        released_ = true;
      }
      cv_.SignalAll();
    }
    size_t held() {
      MutexLock lock(&mu_);
      return released_ ? 0 : checked_.size();
    }
    std::vector<std::string> checked() {
      MutexLock lock(&mu_);
      return checked_;
    }

   private:
    Mutex mu_;
    CondVar cv_;
    bool released_ = false;
    std::vector<std::string> checked_;
  };

  // A test that failed with checks held must not keep the server from
  // stopping.
  ~SignonDefenceTest() override { gate_.Release(); }

  testing::TempDir dir_;
  Gate gate_;                     // outlives the server's workers
  testing::ServerFaults faults_;  // set before Start()
  std::unique_ptr<HostServer> server_;
};

TEST_F(SignonDefenceTest, GuessersLockAProfileForNewcomersButNotForItsTokenHolders) {
  Start();
  const wire::SignonReply first = SignOn("127.0.0.1", "ANN", "right");
  ASSERT_TRUE(first.ok);
  ASSERT_EQ(64u, first.token.size());
  // Guesses from four machines lock ANN (three different wrong passwords in a row).
  const char* attackers[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"};
  for (int i = 0; i < 4; ++i)
    EXPECT_FALSE(SignOn(attackers[i], "ANN", "guess" + std::to_string(i)).ok);
  EXPECT_EQ(wire::kMessageLockedOut, IdOf(SignOn("127.0.0.9", "ANN", "right")));
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE(round);
    // The attackers' networks are penalised: refused before a sign-on.
    for (const char* a : attackers) EXPECT_EQ("refused early", IdOf(SignOn(a, "ANN", "guess")));
    // The token holder is let in every time, without a new token.
    const wire::SignonReply held = SignOn("127.0.0.1", "ANN", "right", first.token);
    EXPECT_TRUE(held.ok);
    EXPECT_TRUE(held.token.empty());
  }
  // Token sign-ons do not lift the lock for others, and a made-up token or
  // another profile's is no token at all.
  EXPECT_EQ(wire::kMessageLockedOut, IdOf(SignOn("127.0.0.10", "ANN", "right")));
  EXPECT_EQ(wire::kMessageLockedOut,
            IdOf(SignOn("127.0.0.11", "ANN", "right", std::string(64, 'a'))));
  const wire::SignonReply flood = SignOn("127.0.0.12", "FLOOD", "right");
  ASSERT_TRUE(flood.ok);
  EXPECT_EQ(wire::kMessageLockedOut, IdOf(SignOn("127.0.0.13", "ANN", "x", flood.token)));

  // A new password revokes the tokens; so does revoke-tokens.
  std::string error;
  auto store = HostStore::Open(dir_.File("host.db"), &error);
  ASSERT_TRUE(store->SetPassword("ANN", "newer", HashStrength::kFast, &error)) << error;
  EXPECT_EQ(wire::kMessageLockedOut,
            IdOf(SignOn("127.0.0.1", "ANN", "right", first.token)));  // the lock decides again
  uint64_t revoked = 0;
  ASSERT_TRUE(store->RevokeTokens("FLOOD", &revoked, &error)) << error;
  EXPECT_EQ(1u, revoked);
  EXPECT_EQ(wire::kMessageWrongPassword, IdOf(SignOn("127.0.0.14", "FLOOD", "x", flood.token)));
}

TEST_F(SignonDefenceTest, StalePasswordsPolledFromManyMachinesDoNotLockTheProfile) {
  Start();
  for (int round = 0; round < 30; ++round) {
    SCOPED_TRACE(round);
    // Ten machines still configured with ANN's old password, each polling.
    const std::string stale = "127.0.1." + std::to_string(round % 10 + 1);
    const std::string id = IdOf(SignOn(stale.c_str(), "ANN", "old"));
    EXPECT_TRUE(id == wire::kMessageWrongPassword || id == "refused early") << id;
    // The machine with the right one, and no token, gets in every time.
    EXPECT_TRUE(SignOn("127.0.0.1", "ANN", "right").ok);
  }
}

// With the sign-on worker held, two networks flood the queue; a third
// network's sign-on is served next but for one of each flood, and the
// floods' overflow is answered busy. One worker, so that the order the
// checks are reached in is the order the tasks were taken in.
TEST_F(SignonDefenceTest, AFloodFromTwoNetworksDelaysAThirdByOneTurnEach) {
  faults_.before_password_check = [this](const std::string& profile) { gate_.Hold(profile); };
  ServerOptions options = Strict();
  options.workers = 1;
  Start(options);
  std::vector<std::unique_ptr<WireClient>> flood;
  auto send_flood = [&](const char* source, int count) {
    for (int i = 0; i < count; ++i) {
      auto c = std::make_unique<WireClient>(port(), source);
      wire::Frame hello;
      ASSERT_TRUE(c->Send(wire::FrameType::kHello, wire::Encode(wire::Hello{})));
      ASSERT_TRUE(c->Receive(&hello));
      ASSERT_TRUE(
          c->Send(wire::FrameType::kSignon, wire::Encode(wire::Signon{"FLOOD", "right", ""})));
      flood.push_back(std::move(c));
    }
  };
  // The first takes the worker, which is held; only then does the rest of
  // the flood arrive.
  send_flood("127.0.0.2", 1);
  ASSERT_TRUE(testing::WaitUntil([&] { return gate_.held() == 1; }));
  send_flood("127.0.0.2", 31);
  send_flood("127.0.0.3", 32);
  // Four of each network wait, the rest were answered busy; then the third
  // network's sign-on joins the queue.
  WireClient third(port(), "127.0.0.4");
  wire::Frame frame;
  ASSERT_TRUE(third.Send(wire::FrameType::kHello, wire::Encode(wire::Hello{})));
  ASSERT_TRUE(third.Receive(&frame));
  ASSERT_TRUE(third.Send(wire::FrameType::kSignon, wire::Encode(wire::Signon{"ANN", "right", ""})));
  ASSERT_TRUE(testing::WaitUntil([&] { return server_->signons_waiting() >= 9; }));
  ASSERT_EQ(9u, server_->signons_waiting());
  gate_.Release();
  wire::SignonReply reply;
  std::string error;
  ASSERT_TRUE(third.Receive(&frame));
  ASSERT_TRUE(wire::Decode(frame.payload, &reply, &error)) << error;
  EXPECT_TRUE(reply.ok);
  int ok = 0, busy = 0;
  for (auto& c : flood) {
    wire::SignonReply r;
    ASSERT_TRUE(c->Receive(&frame));
    ASSERT_TRUE(wire::Decode(frame.payload, &r, &error)) << error;
    ok += r.ok ? 1 : 0;
    busy += !r.ok && !r.messages.empty() && r.messages[0].id == wire::kMessageHostBusy ? 1 : 0;
  }
  EXPECT_EQ(9, ok);  // one held, eight waiting
  EXPECT_EQ(55, busy);
  const std::vector<std::string> checked = gate_.checked();
  const auto at = std::find(checked.begin(), checked.end(), "ANN") - checked.begin();
  // Taken in turns: the held one, one of each flooding network, then ANN's
  // (first come, first served, it would be the tenth).
  EXPECT_EQ(3, at) << "the held one, then one of each flooding network";
}

}  // namespace
}  // namespace zvt::hostd
