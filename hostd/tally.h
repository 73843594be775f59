// Counts and latency histograms that the server's threads add to with one
// relaxed atomic add, never a lock or a compare-and-swap loop, and that
// are read as Prometheus families when scraped. A scrape may see a call
// counted in one figure and not yet in the next; each figure on its own
// only grows.
#ifndef ZVT_HOSTD_TALLY_H_
#define ZVT_HOSTD_TALLY_H_

#include <prometheus/client_metric.h>
#include <prometheus/metric_family.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zvt::hostd {

class Tally {
 public:
  void Add(uint64_t n = 1) { n_.fetch_add(n, std::memory_order_relaxed); }
  uint64_t Value() const { return n_.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> n_{0};
};

// Durations in seconds, counted into buckets with fixed upper bounds (and
// one above them all) and summed to the nanosecond.
class LatencyTally {
 public:
  explicit LatencyTally(std::vector<double> bounds);
  void Observe(double seconds);
  // Cumulative buckets, count and sum, as the exposition wants them.
  prometheus::ClientMetric::Histogram Read() const;

 private:
  const std::vector<double> bounds_;
  const std::unique_ptr<std::atomic<uint64_t>[]> buckets_;  // bounds_.size() + 1
  std::atomic<uint64_t> sum_ns_{0};
};

using Labels = std::vector<prometheus::ClientMetric::Label>;

// One family's children as they are now.
prometheus::MetricFamily CounterFamily(
    const std::string& name, const std::string& help,
    const std::vector<std::pair<Labels, const Tally*>>& children);
prometheus::MetricFamily HistogramFamily(
    const std::string& name, const std::string& help,
    const std::vector<std::pair<Labels, const LatencyTally*>>& children);

}  // namespace zvt::hostd

#endif  // ZVT_HOSTD_TALLY_H_
