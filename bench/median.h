// The median that the benchmarks' in-turns figures report.
#ifndef ZVT_BENCH_MEDIAN_H_
#define ZVT_BENCH_MEDIAN_H_

#include <algorithm>
#include <vector>

namespace zvt::bench {

// The median of `v` (0 when it is empty).
inline double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : (v[(v.size() - 1) / 2] + v[v.size() / 2]) / 2;
}

}  // namespace zvt::bench

#endif  // ZVT_BENCH_MEDIAN_H_
