// Keeps exceptions inside the library: an export or a host-call entry point
// runs its body through GuardBoundary, and anything thrown out of it (an
// allocation that failed, most likely) becomes return code 1 and an error
// record naming the boundary. Callers hold the process lock as their body does.
#ifndef ZVT_DIAG_BOUNDARY_GUARD_H_
#define ZVT_DIAG_BOUNDARY_GUARD_H_

#include <cstdint>
#include <exception>

#include "diag/error_records.h"

namespace zvt {

// The library's own failure code, which a caught exception ends as.
inline constexpr uint32_t kExceptionFailure = 1;

// Writes "<where> -> exception: <what>" as a record of `unit`; never throws.
void RecordException(ErrorUnit unit, const char16_t* where, uint32_t line,
                     const char* what) noexcept;

template <typename Body>
uint32_t GuardBoundary(ErrorUnit unit, const char16_t* where, uint32_t line, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& e) {
    RecordException(unit, where, line, e.what());
  } catch (...) {
    RecordException(unit, where, line, "unknown");
  }
  return kExceptionFailure;
}

}  // namespace zvt

#endif  // ZVT_DIAG_BOUNDARY_GUARD_H_
