// The host function-registry calls. Each runs in the locked frame, builds its
// own agent and data objects, and on failure returns 1 with an error object
// that carries the failing step's message and belongs to the caller.
#ifndef ZVT_HOST_ADMIN_HOST_APIS_H_
#define ZVT_HOST_ADMIN_HOST_APIS_H_

#include <cstdint>
#include <string>

#include "services/client.h"
#include "services/program_calls.h"

namespace zvt {

class CAdminHostAPIs {
 public:
  // The three change timestamps of `user_profile` ("KLIB/KRCHGTS", format
  // "TSTA0100"), 8 bytes each exactly as the host sent them. The system name
  // is used only when no handle is given. The buffers are written only on
  // success.
  static uint32_t getAdminTimestamps(const std::u16string& system_name,
                                     const std::u16string& user_profile, uint8_t* user_timestamp,
                                     uint8_t* rep_timestamp, uint8_t* hier_timestamp,
                                     ErrorOut* error, const SystemHandle* handle = nullptr);
};

}  // namespace zvt

#endif  // ZVT_HOST_ADMIN_HOST_APIS_H_
