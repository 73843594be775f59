// Error records of the library's two source units, the host-error display,
// and the switch of the current resource library. Callers hold the process
// lock. A writer never fails its caller: a record that cannot be made is
// dropped.
#ifndef ZVT_DIAG_ERROR_RECORDS_H_
#define ZVT_DIAG_ERROR_RECORDS_H_

#include <cstdint>
#include <string>

#include "services/client.h"
#include "services/program_calls.h"
#include "services/win_types.h"

namespace zvt {

inline constexpr uint32_t kErrorRecordMessage = 16646;
inline constexpr UINT kHostErrorMessage = 16650;

enum class ErrorUnit {
  kCache,   // "unadmappadmincache": "  Rtcd=>" and the source line
  kBypass,  // "unadmbypassregistry": "  Rtcd=" and line 0
};

// Writes `message`, followed by the unit's separator and `rc` in signed
// decimal when `rc` is not 0, to a new error object of the unit.
void writeErrorRecord(ErrorUnit unit, std::u16string message, uint32_t line, uint32_t rc);

// The registry and process cache unit's writer, with the line of the call.
#define ZVT_CACHE_ERROR(message, rc) \
  ::zvt::writeErrorRecord(::zvt::ErrorUnit::kCache, (message), __LINE__, (rc))
// The registry-bypass unit's writer.
#define ZVT_BYPASS_ERROR(message, rc) \
  ::zvt::writeErrorRecord(::zvt::ErrorUnit::kBypass, (message), 0, (rc))

// Shows a failed host call's error unless the system object forbids
// interaction. `error` stays the caller's.
void showHostError(const ErrorObject* error, const std::u16string& user_id,
                   const std::u16string& system_name, const SystemHandle* handle);

// Makes the resource library `file_name` in the install directory current and
// returns the one current before (also when loading fails).
HMODULE setMFCMRIdll(const std::u16string& file_name);

}  // namespace zvt

#endif  // ZVT_DIAG_ERROR_RECORDS_H_
