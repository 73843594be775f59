// Local calendar day from the C runtime's thread-safe localtime_s.
#include "platform/win32/win32_clock.h"

#include <time.h>

namespace zvt::platform {

LocalDay Win32Clock::Today() {
  time_t now = time(nullptr);
  struct tm local {};
  localtime_s(&local, &now);
  return LocalDay{local.tm_year, local.tm_yday};
}

}  // namespace zvt::platform
