// The holder keeps only what was read since the last drop: a read that a
// change overtook is never held.
#include "hostd/held_stamps.h"

#include <gtest/gtest.h>

namespace zvt::hostd {
namespace {

Timestamps StampsAt(uint64_t v) { return Timestamps{StampOf(v), StampOf(v + 1), StampOf(v + 2)}; }

TEST(HeldStampsTest, AReadOvertakenByADropIsNotKept) {
  HeldStamps held;
  Timestamps t;
  bool known = false;
  const uint64_t before = held.Epoch();
  held.Drop();  // a change was told while the read was under way
  held.Keep(before, "ANN", StampsAt(10), true);
  EXPECT_FALSE(held.Find("ANN", &t, &known));

  const uint64_t now = held.Epoch();
  held.Keep(now, "ANN", StampsAt(20), true);
  held.Keep(now, "GONE", Timestamps{}, false);
  ASSERT_TRUE(held.Find("ANN", &t, &known));
  EXPECT_EQ(StampValue(t.user), 20u);
  ASSERT_TRUE(held.Find("GONE", &t, &known));
  EXPECT_FALSE(known);
  held.Drop();
  EXPECT_FALSE(held.Find("ANN", &t, &known));
}

TEST(HeldStampsTest, NothingIsHeldWhileNothingCanTellOfChanges) {
  HeldStamps held(/*holding=*/false);
  Timestamps t;
  bool known = false;
  held.Keep(held.Epoch(), "ANN", StampsAt(10), true);
  EXPECT_FALSE(held.Find("ANN", &t, &known));
  // Listening again: a read begun while deaf is not kept.
  const uint64_t deaf = held.Epoch();
  held.SetHolding(true);
  held.Keep(deaf, "ANN", StampsAt(10), true);
  EXPECT_FALSE(held.Find("ANN", &t, &known));
  held.Keep(held.Epoch(), "ANN", StampsAt(30), true);
  EXPECT_TRUE(held.Find("ANN", &t, &known));
  held.SetHolding(false);
  EXPECT_FALSE(held.Find("ANN", &t, &known));
}

TEST(HeldStampsTest, ACountedCommitOrTheTrustedTimeEndsWhatIsHeld) {
  using std::chrono::milliseconds;
  HeldStamps held;
  const HeldStamps::Clock::time_point t0{milliseconds(1000)};
  held.DropIfMoved(7, t0, milliseconds(100));
  held.Keep(held.Epoch(), "ANN", StampsAt(10), true);
  Timestamps t;
  bool known = false;
  held.DropIfMoved(7, t0 + milliseconds(100), milliseconds(100));
  EXPECT_TRUE(held.Find("ANN", &t, &known)) << "same count, within the time";
  held.DropIfMoved(8, t0 + milliseconds(100), milliseconds(100));
  EXPECT_FALSE(held.Find("ANN", &t, &known)) << "a commit was counted";
  held.Keep(held.Epoch(), "ANN", StampsAt(10), true);
  held.DropIfMoved(8, t0 + milliseconds(201), milliseconds(100));
  EXPECT_FALSE(held.Find("ANN", &t, &known)) << "held longer than trusted";
}

}  // namespace
}  // namespace zvt::hostd
