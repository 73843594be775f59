// The local calendar day, read through the seam so tests can move time.
#ifndef ZVT_SERVICES_CLOCK_H_
#define ZVT_SERVICES_CLOCK_H_

namespace zvt {

struct LocalDay {
  int years_since_1900;
  int day_of_year;  // 0 for the first of January
};

class ClockApi {
 public:
  virtual ~ClockApi() = default;
  virtual LocalDay Today() = 0;
};

}  // namespace zvt

#endif  // ZVT_SERVICES_CLOCK_H_
