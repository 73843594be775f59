#include "hostd/tally.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

namespace zvt::hostd {
namespace {

// Threads adding at once lose nothing, and what a bucket holds is what is
// at most its bound, as the exposition's "le" says.
TEST(TallyTest, ConcurrentCountsAreExactAndBucketsHoldWhatIsAtMostTheirBound) {
  Tally calls;
  LatencyTally seconds({0.001, 0.01, 0.1});
  constexpr int kThreads = 4, kEach = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        calls.Add();
        seconds.Observe(i % 2 ? 0.001 : 0.5);  // on the first bound; above all
      }
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(calls.Value(), uint64_t{kThreads} * kEach);
  const prometheus::ClientMetric::Histogram h = seconds.Read();
  ASSERT_EQ(h.bucket.size(), 4u);
  EXPECT_EQ(h.bucket[0].cumulative_count, uint64_t{kThreads} * kEach / 2);
  EXPECT_EQ(h.bucket[2].cumulative_count, uint64_t{kThreads} * kEach / 2);
  EXPECT_TRUE(std::isinf(h.bucket[3].upper_bound));
  EXPECT_EQ(h.bucket[3].cumulative_count, h.sample_count);
  EXPECT_EQ(h.sample_count, uint64_t{kThreads} * kEach);
  EXPECT_NEAR(h.sample_sum, kThreads * kEach / 2 * (0.001 + 0.5), 1e-3);
}

TEST(TallyTest, ImpossibleDurationsCountWithoutMovingTheSum) {
  LatencyTally seconds({1});
  seconds.Observe(-1);
  seconds.Observe(std::nan(""));
  seconds.Observe(INFINITY);
  const prometheus::ClientMetric::Histogram h = seconds.Read();
  EXPECT_EQ(h.sample_count, 3u);
  EXPECT_EQ(h.sample_sum, 0);
}

}  // namespace
}  // namespace zvt::hostd
