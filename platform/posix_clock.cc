// Local calendar day.
#include "platform/posix_clock.h"

#include <time.h>

namespace zvt::platform {

LocalDay PosixClock::Today() {
  time_t now = time(nullptr);
  struct tm local{};
  localtime_r(&now, &local);
  return LocalDay{local.tm_year, local.tm_yday};
}

}  // namespace zvt::platform
