// The server as an attacker on the network meets it: before sign-on only
// small frames and a short handshake, a cap on waiting connections per
// address; memory for a frame that grows with its bytes, not its header;
// made-up program names that leave no trace; a store its owner alone reads.
#include "hostd/host_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "hostd/host_store.h"
#include "pgm/big_endian.h"
#include "pgm/wire.h"
#include "testing/server_faults.h"
#include "testing/temp_dir.h"
#include "testing/wait.h"
#include "testing/wire_client.h"

namespace zvt::hostd {
namespace {

using Client = testing::WireClient;

// A frame header: its length (type byte included) and type.
std::string Header(uint32_t length, wire::FrameType type) {
  return big_endian::Bytes32(length) + std::string(1, static_cast<char>(type));
}

class HostServerTest : public ::testing::Test {
 protected:
  void Start(ServerOptions options = {}) {
    std::string error;
    auto store = HostStore::Open(dir_.File("host.db"), &error);
    ASSERT_TRUE(store) << error;
    ASSERT_TRUE(store->AddProfile("U", "p", HashStrength::kFast, &error)) << error;
    options.store_path = dir_.File("host.db");
    options.allow_fast_hashes = true;  // the test profiles' hashes are fast
    server_ = std::make_unique<HostServer>(options, &faults_);
    ASSERT_TRUE(server_->Start(&error)) << error;
  }
  uint16_t port() const { return server_->port(); }

  testing::TempDir dir_;
  testing::ServerFaults faults_;  // set before Start()
  std::unique_ptr<HostServer> server_;
};

TEST_F(HostServerTest, BeforeSignOnOnlySmallFramesAndAShortHandshakeAreAccepted) {
  ServerOptions options;
  options.allow_fast_hashes = true;  // the test profiles' hashes are fast
  options.handshake_timeout_ms = 300;
  Start(options);
  // A header declaring 16 MiB before anyone signed on: refused at once as too large.
  Client big(port());
  ASSERT_TRUE(big.Send(Header(16u << 20, wire::FrameType::kHello)));
  EXPECT_EQ(wire::kErrorTooLarge, big.ProtocolErrorCode());
  // Silence after connecting, or after Hello: the handshake's deadline ends it.
  for (bool hello : {false, true}) {
    Client slow(port());
    if (hello) {
      wire::Frame reply;
      ASSERT_TRUE(slow.Send(wire::FrameType::kHello, wire::Encode(wire::Hello{})));
      ASSERT_TRUE(slow.Receive(&reply));
    }
    // The server's deadline ends it, long before this side would give up.
    EXPECT_EQ(wire::kErrorUnexpected, slow.ProtocolErrorCode()) << hello;
  }
  // A second Hello is an unexpected frame, not a malformed one.
  Client twice(port());
  wire::Frame reply;
  ASSERT_TRUE(twice.Send(wire::FrameType::kHello, wire::Encode(wire::Hello{})));
  ASSERT_TRUE(twice.Receive(&reply));
  ASSERT_TRUE(twice.Send(wire::FrameType::kHello, wire::Encode(wire::Hello{})));
  EXPECT_EQ(wire::kErrorUnexpected, twice.ProtocolErrorCode());
  // Signed on, the same client may then send frames of up to 64 KiB.
  Client signed_on(port());
  ASSERT_TRUE(signed_on.SignOn("U", "p"));
  ASSERT_TRUE(signed_on.Send(Header(64 * 1024, wire::FrameType::kCall) + std::string(100, 'x')));
  EXPECT_EQ(0, signed_on.ProtocolErrorCode(200));  // still waiting for the rest
}

TEST_F(HostServerTest, ConnectionsAwaitingSignOnAreCappedPerAddress) {
  ServerOptions options;
  options.allow_fast_hashes = true;  // the test profiles' hashes are fast
  options.max_unauthenticated_per_address = 4;
  options.limit_loopback = true;  // the test's clients all come from loopback
  Start(options);
  std::vector<std::unique_ptr<Client>> waiting;
  for (int i = 0; i < 4; ++i) {
    waiting.push_back(std::make_unique<Client>(port()));
    ASSERT_TRUE(waiting.back()->connected());
  }
  wire::Frame frame;
  // The fifth from the same address is turned away.
  Client fifth(port());
  EXPECT_EQ(wire::kErrorUnexpected, fifth.ProtocolErrorCode());
  // One of the four signs on: its place is free for another.
  ASSERT_TRUE(waiting[0]->SignOn("U", "p"));
  Client next(port());
  EXPECT_TRUE(next.SignOn("U", "p"));
  // Those that went away free theirs too, once the server has seen them go
  // (asked again until it has, a bounded number of times).
  waiting.pop_back();
  waiting.pop_back();
  EXPECT_TRUE(testing::WaitUntil(
      [&] {
        Client after(port());
        return after.SignOn("U", "p");
      },
      std::chrono::milliseconds(25)));
}

TEST_F(HostServerTest, SignedOnClientsFramesAreCappedAndTakeMemoryOnlyAsTheirBytesArrive) {
  Start();
  constexpr int kClients = 40;
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<Client>(port()));
    ASSERT_TRUE(clients.back()->SignOn("U", "p"));
  }
  // Requests are small: a frame declared larger than 64 KiB is refused as
  // soon as its header arrives, signed on or not.
  Client big(port());
  ASSERT_TRUE(big.SignOn("U", "p"));
  ASSERT_TRUE(big.Send(Header(16u << 20, wire::FrameType::kCall) + std::string(100, 'x')));
  EXPECT_EQ(wire::kErrorTooLarge, big.ProtocolErrorCode());
  // Heap in use, large blocks (mapped on their own) included.
  auto in_use = [] {
    struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
  };
  size_t before = in_use();
  for (auto& c : clients)
    ASSERT_TRUE(c->Send(Header(64 * 1024, wire::FrameType::kCall) + std::string(100, 'x')));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  size_t after = in_use();
  size_t grown = after - std::min(before, after);
  // Each connection holds what arrived plus at most 64 KiB of room.
  EXPECT_LT(grown, size_t{kClients} * 128 * 1024) << grown;
}

// Frames received in part are held within a budget per profile: one
// profile's connections cannot take the memory of another's.
TEST_F(HostServerTest, FramesReceivedInPartAreHeldWithinABudgetPerProfile) {
  ServerOptions options;
  options.partial_frames_per_profile = 256 * 1024;
  Start(options);
  std::string error;
  auto store = HostStore::Open(dir_.File("host.db"), &error);
  ASSERT_TRUE(store->AddProfile("V", "p", HashStrength::kFast, &error)) << error;
  const std::string start = Header(64 * 1024, wire::FrameType::kCall) + std::string(60 * 1024, 'x');
  const std::string rest(64 * 1024 - 1 - 60 * 1024, 'x');
  // Four starts fit in 256 KiB; the fifth and sixth are refused as too
  // large before their frames are whole.
  std::vector<std::unique_ptr<Client>> u;
  for (size_t i = 0; i < 6; ++i) {
    u.push_back(std::make_unique<Client>(port()));
    ASSERT_TRUE(u.back()->SignOn("U", "p"));
    ASSERT_TRUE(u.back()->Send(start));
    if (i < 4) {
      ASSERT_TRUE(testing::WaitUntil(
          [&] { return server_->partial_frame_bytes() == (i + 1) * start.size(); }));
    } else {
      // (Closed with bytes unread, the connection may be reset before the
      // refusal is read.)
      const uint16_t code = u.back()->ProtocolErrorCode();
      EXPECT_TRUE(code == wire::kErrorTooLarge || code == 0) << code;
    }
  }
  // Another profile's frame has a budget of its own.
  Client v(port());
  ASSERT_TRUE(v.SignOn("V", "p"));
  ASSERT_TRUE(v.Send(start));
  ASSERT_TRUE(
      testing::WaitUntil([&] { return server_->partial_frame_bytes() == 5 * start.size(); }));
  // Those held are read once whole (and found malformed).
  for (size_t i = 0; i < 4; ++i) {
    ASSERT_TRUE(u[i]->Send(rest));
    EXPECT_EQ(wire::kErrorMalformed, u[i]->ProtocolErrorCode());
  }
  ASSERT_TRUE(v.Send(rest));
  EXPECT_EQ(wire::kErrorMalformed, v.ProtocolErrorCode());
}

TEST_F(HostServerTest, MadeUpProgramNamesAreNotKeptAndTheStoreIsPrivate) {
  Start();
  Client c(port());
  ASSERT_TRUE(c.SignOn("U", "p"));
  for (int i = 0; i < 50; ++i) {
    wire::Call call;
    call.id = static_cast<uint32_t>(i + 1);
    call.program = "X/PROG" + std::to_string(i);
    wire::Frame reply;
    ASSERT_TRUE(c.Send(wire::FrameType::kCall, wire::Encode(call)));
    ASSERT_TRUE(c.Receive(&reply));
  }
  EXPECT_EQ(50u, server_->calls_of("unknown"));
  EXPECT_EQ(0u, server_->calls_of("X/PROG1"));
  struct stat st {};
  ASSERT_EQ(0, stat(dir_.File("host.db").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
}

// A client that resets its connection while its call is held (here: never
// answered) is let go at once; the server does not keep waking for it.
TEST_F(HostServerTest, AClientGoneWhileItsCallIsHeldCostsNothing) {
  faults_.stall_after_calls = 0;
  Start();
  {
    Client c(port());
    ASSERT_TRUE(c.SignOn("U", "p"));
    ASSERT_TRUE(c.Send(wire::FrameType::kCall, wire::Encode(wire::Call{1, "KLIB/KRCHGTS", {}})));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    c.ResetOnClose();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  auto cpu_ms = [] {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000;
  };
  const long before = cpu_ms();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_LT(cpu_ms() - before, 100) << "ms of CPU in half a second with nothing to do";
}

// Sign-ons hash their passwords at a deliberately high cost; a burst of them
// does not hold up the calls of a client signed on already: with every
// sign-on worker held where the hashing would be, calls are still answered.
TEST_F(HostServerTest, ABurstOfSignOnsDoesNotHoldUpProgramCalls) {
  std::mutex mu;
  std::condition_variable cv;
  int held = 0;
  bool released = false;
  ServerOptions options;
  options.allow_fast_hashes = true;  // the test profiles' hashes are fast
  options.workers = 2;               // two sign-on workers
  faults_.before_password_check = [&](const std::string& profile) {
    if (profile != "SLOW") return;
    std::unique_lock<std::mutex> lock(mu);
    ++held;
    cv.notify_all();
    cv.wait(lock, [&] { return released; });
  };
  Start(options);
  std::string error;
  auto store = HostStore::Open(dir_.File("host.db"), &error);
  ASSERT_TRUE(store->AddProfile("SLOW", "pw", HashStrength::kInteractive, &error)) << error;

  Client signed_on(port());
  ASSERT_TRUE(signed_on.SignOn("U", "p"));
  std::vector<std::thread> burst;
  for (int i = 0; i < 8; ++i)
    burst.emplace_back([this] { EXPECT_TRUE(Client(port()).SignOn("SLOW", "pw")); });
  {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return held == 2; });
  }
  for (int i = 0; i < 10; ++i) {
    wire::Frame reply;
    EXPECT_TRUE(
        signed_on.Send(wire::FrameType::kCall, wire::Encode(wire::Call{1, "KLIB/KRCHGTS", {}})));
    EXPECT_TRUE(signed_on.Receive(&reply));
    EXPECT_EQ(reply.type, wire::FrameType::kCallReply);
  }
  {
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_EQ(held, 2);  // no sign-on got past the hold meanwhile
    released = true;
  }
  cv.notify_all();
  for (std::thread& t : burst) t.join();
  EXPECT_EQ(held, 8);
}

}  // namespace
}  // namespace zvt::hostd
