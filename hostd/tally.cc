// Lock-free counts and latency histograms, and their Prometheus families.

#include "hostd/tally.h"

#include <algorithm>
#include <limits>

namespace zvt::hostd {

LatencyTally::LatencyTally(std::vector<double> bounds)
    : bounds_(std::move(bounds)), buckets_(new std::atomic<uint64_t>[bounds_.size() + 1]) {
  for (size_t i = 0; i <= bounds_.size(); ++i) buckets_[i].store(0, std::memory_order_relaxed);
}

void LatencyTally::Observe(double seconds) {
  // A bucket holds what is at most its bound ("le").
  const size_t i = static_cast<size_t>(std::lower_bound(bounds_.begin(), bounds_.end(), seconds) -
                                       bounds_.begin());
  buckets_[i].fetch_add(1, std::memory_order_relaxed);
  // What no clock gives (negative, not a number, beyond 500 years) is
  // counted but not summed.
  const double ns = seconds * 1e9;
  if (ns > 0 && ns < 1.6e19)
    sum_ns_.fetch_add(static_cast<uint64_t>(ns), std::memory_order_relaxed);
}

prometheus::ClientMetric::Histogram LatencyTally::Read() const {
  prometheus::ClientMetric::Histogram h;
  uint64_t cumulative = 0;
  for (size_t i = 0; i <= bounds_.size(); ++i) {
    cumulative += buckets_[i].load(std::memory_order_relaxed);
    prometheus::ClientMetric::Bucket b;
    b.cumulative_count = cumulative;
    b.upper_bound = i < bounds_.size() ? bounds_[i] : std::numeric_limits<double>::infinity();
    h.bucket.push_back(b);
  }
  h.sample_count = cumulative;
  h.sample_sum = static_cast<double>(sum_ns_.load(std::memory_order_relaxed)) / 1e9;
  return h;
}

prometheus::MetricFamily CounterFamily(
    const std::string& name, const std::string& help,
    const std::vector<std::pair<Labels, const Tally*>>& children) {
  prometheus::MetricFamily family{name, help, prometheus::MetricType::Counter, {}};
  for (const auto& [labels, tally] : children) {
    prometheus::ClientMetric m;
    m.label = labels;
    m.counter.value = static_cast<double>(tally->Value());
    family.metric.push_back(std::move(m));
  }
  return family;
}

prometheus::MetricFamily HistogramFamily(
    const std::string& name, const std::string& help,
    const std::vector<std::pair<Labels, const LatencyTally*>>& children) {
  prometheus::MetricFamily family{name, help, prometheus::MetricType::Histogram, {}};
  for (const auto& [labels, tally] : children) {
    prometheus::ClientMetric m;
    m.label = labels;
    m.histogram = tally->Read();
    family.metric.push_back(std::move(m));
  }
  return family;
}

}  // namespace zvt::hostd
