// Admission as attackers try it: networks that pose as many addresses, a
// flood of made-up names meant to push real profiles out of the lockout
// table, a stale password tried again and again; and the sign-on workers'
// turns, which one busy network must not take from the others.
#include "hostd/admission.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "hostd/worker_pool.h"
#include "services/mutex.h"

namespace zvt::hostd {
namespace {

// Long penalties and lockouts, so that what a test sets up still holds when
// it looks, however slow the machine.
AdmissionLimits Strict() {
  AdmissionLimits limits;
  limits.limit_loopback = true;
  limits.penalty_ms = 600000;
  limits.max_penalty_ms = 600000;
  limits.signon_lockout_ms = 600000;
  return limits;
}

TEST(AdmissionTest, SourcesAreCountedByNetwork) {
  Admission a(Strict());
  EXPECT_EQ("192.0.2.7/32", a.NetworkOf("192.0.2.7"));
  EXPECT_EQ("2001:db8:1:2::/64", a.NetworkOf("[2001:db8:1:2:aaaa:bbbb:cccc:dddd]"));
  EXPECT_EQ(a.NetworkOf("[2001:db8:1:2::1]"), a.NetworkOf("[2001:db8:1:2:ffff::9]"));
  EXPECT_NE(a.NetworkOf("[2001:db8:1:2::1]"), a.NetworkOf("[2001:db8:1:3::1]"));
  EXPECT_EQ("192.0.2.7/32", a.NetworkOf("[::ffff:192.0.2.7]"));  // IPv4 over IPv6
  EXPECT_EQ("not an address", a.NetworkOf("not an address"));
  AdmissionLimits wide = Strict();
  wide.ipv4_prefix = 24;
  wide.ipv6_prefix = 48;
  Admission b(wide);
  EXPECT_EQ("192.0.2.0/24", b.NetworkOf("192.0.2.200"));
  EXPECT_EQ("2001:db8:1::/48", b.NetworkOf("[2001:db8:1:2::1]"));

  // The cap on connections awaiting sign-on holds for a whole /64.
  AdmissionLimits capped = Strict();
  capped.max_unauthenticated_per_network = 2;
  Admission c(capped);
  int64_t wait = 0;
  const std::string net = c.NetworkOf("[2001:db8::1]");
  EXPECT_TRUE(c.AdmitUnauthenticated(c.NetworkOf("[2001:db8::1]"), &wait));
  EXPECT_TRUE(c.AdmitUnauthenticated(c.NetworkOf("[2001:db8::2]"), &wait));
  EXPECT_FALSE(c.AdmitUnauthenticated(c.NetworkOf("[2001:db8::3]"), &wait));
  EXPECT_EQ(0, wait);  // full, not penalised
  c.ReleaseUnauthenticated(net);
  EXPECT_TRUE(c.AdmitUnauthenticated(net, &wait));
}

TEST(AdmissionTest, OffencesPenaliseTheirNetworkAloneAndLoopbackOnlyWhenLimited) {
  Admission a(Strict());
  const std::string bad = a.NetworkOf("198.51.100.1"), good = a.NetworkOf("198.51.100.2");
  a.CountSignon("ANN", bad, "198.51.100.1:5000", "guess", false);
  int64_t wait = 0;
  EXPECT_FALSE(a.AdmitUnauthenticated(bad, &wait));
  EXPECT_GT(wait, 0);
  EXPECT_TRUE(a.AdmitUnauthenticated(good, &wait));
  a.Penalise(good, Admission::Offence::kRefusedFrame);
  a.Penalise(good, Admission::Offence::kUnfinishedSignon);
  EXPECT_EQ(2u, a.penalties_in_force());
  EXPECT_EQ(1u, a.offences(Admission::Offence::kFailedSignon));
  EXPECT_EQ(1u, a.offences(Admission::Offence::kRefusedFrame));

  AdmissionLimits open = Strict();
  open.limit_loopback = false;
  Admission b(open);
  const std::string local = b.NetworkOf("127.0.0.1");
  for (int i = 0; i < 10; ++i) b.CountSignon("ANN", local, "127.0.0.1:1", "x", false);
  EXPECT_TRUE(b.AdmitUnauthenticated(local, &wait));
  EXPECT_TRUE(b.AdmitUnauthenticated(b.NetworkOf("[::1]"), &wait));
  EXPECT_EQ(0u, b.penalties_in_force());
}

TEST(AdmissionTest, TheSameWrongPasswordCountsOnceTowardsALockout) {
  Admission a(Strict());  // locked after 3 failures in a row
  const std::string net = a.NetworkOf("203.0.113.5");
  int64_t wait = 0;
  // A client with a stale password, polling: one failure however often.
  for (int i = 0; i < 50; ++i) a.CountSignon("ANN", net, "203.0.113.5:1", "old", false);
  EXPECT_FALSE(a.LockedOut("ANN", &wait));
  // Different guesses count each.
  a.CountSignon("ANN", net, "203.0.113.5:1", "guess1", false);
  EXPECT_FALSE(a.LockedOut("ANN", &wait));
  a.CountSignon("ANN", net, "203.0.113.5:1", "guess2", false);
  EXPECT_TRUE(a.LockedOut("ANN", &wait));
  EXPECT_GT(wait, 0);
  EXPECT_FALSE(a.LockedOut("BOB", &wait));  // another profile is not touched
  // The same password for another profile is another failure.
  a.CountSignon("BOB", net, "203.0.113.5:1", "old", false);
  a.CountSignon("BOB", net, "203.0.113.5:1", "guess1", false);
  a.CountSignon("BOB", net, "203.0.113.5:1", "guess2", false);
  EXPECT_TRUE(a.LockedOut("BOB", &wait));
  // A success ends it.
  a.CountSignon("ANN", net, "203.0.113.5:1", "right", true);
  EXPECT_FALSE(a.LockedOut("ANN", &wait));
}

TEST(AdmissionTest, AFullTableDropsTheOldestEntriesNeverTheProtectionOfNewOnes) {
  AdmissionLimits small = Strict();
  small.max_profiles = 64;
  small.max_networks = 64;
  small.signon_failures_allowed = 1;
  Admission a(small);
  int64_t wait = 0;
  // Made-up names and addresses, far more than the tables hold.
  for (int i = 0; i < 1000; ++i) {
    const std::string n =
        a.NetworkOf("10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256));
    a.CountSignon("FAKE" + std::to_string(i), n, "x", "guess", false);
  }
  // A name and a network seen after the flood are still locked and penalised.
  const std::string net = a.NetworkOf("192.0.2.99");
  a.CountSignon("ANN", net, "192.0.2.99:1", "guess", false);
  EXPECT_TRUE(a.LockedOut("ANN", &wait));
  EXPECT_FALSE(a.AdmitUnauthenticated(net, &wait));
  EXPECT_LE(a.lockouts_in_force(), 64u);
  EXPECT_LE(a.penalties_in_force(), 64u);
  // The oldest went to make room.
  EXPECT_FALSE(a.LockedOut("FAKE0", &wait));
  EXPECT_TRUE(a.LockedOut("FAKE999", &wait));
}

TEST(WorkerPoolTest, LanesTakeTurnsAndABusyLaneIsBounded) {
  WorkerPool pool;
  Mutex mu;
  CondVar cv;
  bool go = false;
  std::vector<std::string> order;
  std::atomic<int> begun{0}, done{0};
  auto task = [&](const std::string& lane) {
    return [&, lane](HostStore*, const std::string&) {
      begun++;
      {
        MutexLock lock(&mu);
        while (!go) cv.Wait(&mu);
        order.push_back(lane);
      }
      done++;
    };
  };
  pool.Start(1, [](std::string*) { return std::unique_ptr<HostStore>(); });
  // The one worker is held by the first task while the rest queue up.
  ASSERT_TRUE(pool.Post("flood", 100, task("first")));
  while (begun.load() == 0) std::this_thread::yield();
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(pool.Post("flood", 6, task("flood")));
  EXPECT_FALSE(pool.Post("flood", 6, task("flood")));  // its lane is full
  ASSERT_TRUE(pool.Post("other", 6, task("other")));
  ASSERT_TRUE(pool.Post("third", 6, task("third")));
  {
    MutexLock lock(&mu);
    go = true;
  }
  cv.SignalAll();
  while (done.load() < 9) std::this_thread::yield();
  pool.Stop();
  // After the task that was running, each lane in turn: the flood's queue
  // delays the others by one of its tasks at most.
  ASSERT_EQ(9u, order.size());
  EXPECT_EQ("first", order[0]);
  const auto at = [&](const std::string& lane) {
    return std::find(order.begin(), order.end(), lane) - order.begin();
  };
  EXPECT_LE(at("other"), 3);
  EXPECT_LE(at("third"), 3);
}

}  // namespace
}  // namespace zvt::hostd
