// The local calendar day from the C library's local time. Thread-safe.
#ifndef ZVT_PLATFORM_POSIX_CLOCK_H_
#define ZVT_PLATFORM_POSIX_CLOCK_H_

#include "services/clock.h"

namespace zvt::platform {

class PosixClock : public ClockApi {
 public:
  LocalDay Today() override;
};

}  // namespace zvt::platform

#endif  // ZVT_PLATFORM_POSIX_CLOCK_H_
