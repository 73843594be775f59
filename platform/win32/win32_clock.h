// The local calendar day on Windows.
#ifndef ZVT_PLATFORM_WIN32_WIN32_CLOCK_H_
#define ZVT_PLATFORM_WIN32_WIN32_CLOCK_H_

#include "services/clock.h"

namespace zvt::platform {

class Win32Clock : public ClockApi {
 public:
  LocalDay Today() override;
};

}  // namespace zvt::platform

#endif  // ZVT_PLATFORM_WIN32_WIN32_CLOCK_H_
