// Keeps exceptions inside the library: an export or a host-call entry point
// runs its body through GuardBoundary, and anything thrown out of it (an
// allocation that failed, most likely) becomes return code 1 and an error
// record naming the boundary. Safe wherever its body is.
#ifndef ZVT_DIAG_BOUNDARY_GUARD_H_
#define ZVT_DIAG_BOUNDARY_GUARD_H_

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

#include "diag/error_records.h"

namespace zvt {

// The library's own failure code, which a caught exception ends as.
inline constexpr uint32_t kExceptionFailure = 1;

// `where` + `separator` + the exception's text, as a record text or an error
// object's; may throw (for lack of memory) like any string.
std::u16string ExceptionText(const char16_t* where, const char16_t* separator, const char* what);

// Writes "<where> -> exception: <what>" as a record of `unit`; never throws.
void RecordException(ErrorUnit unit, const char16_t* where, uint32_t line,
                     const char* what) noexcept;

// Runs `body`; an exception thrown out of it is recorded and then handed
// (its text) to `on_exception`, whose own exceptions are dropped.
template <typename Body, typename OnException>
uint32_t GuardBoundary(ErrorUnit unit, const char16_t* where, uint32_t line, Body&& body,
                       OnException&& on_exception) noexcept {
  const char* what = "unknown";
  try {
    return body();
  } catch (const std::exception& e) {
    what = e.what();
  } catch (...) {
  }
  RecordException(unit, where, line, what);
  try {
    on_exception(what);
  } catch (...) {
    // No memory for more than the record: the return code stands alone.
  }
  return kExceptionFailure;
}

template <typename Body>
uint32_t GuardBoundary(ErrorUnit unit, const char16_t* where, uint32_t line, Body&& body) noexcept {
  return GuardBoundary(unit, where, line, std::forward<Body>(body), [](const char*) {});
}

}  // namespace zvt

#endif  // ZVT_DIAG_BOUNDARY_GUARD_H_
