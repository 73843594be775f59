// The host function-registry calls. Each runs in the locked frame, builds its
// own agent and data objects, and on failure returns 1 with an error object
// that carries the failing step's message and belongs to the caller.
#ifndef ZVT_HOST_ADMIN_HOST_APIS_H_
#define ZVT_HOST_ADMIN_HOST_APIS_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "services/client.h"
#include "services/program_calls.h"

namespace zvt {

// One function of the host's function registry.
struct FunctionInfoRecord {
  std::u16string functionId;
  uint32_t functionCategory = 3;  // "0", "1", "2" give 0, 1, 2; anything else 3
  uint32_t functionType = 2;      // 0 root, 1 group, 2 item
  std::u16string functionName;
  std::u16string functionDescription;
  std::u16string rootFunctionId;
  std::u16string parentFunctionId;  // "*NONE" or empty: none
  uint32_t indicator1 = 0;
  uint32_t indicator2 = 0;
  uint32_t indicator3 = 0;
};
using FunctionInfoList = std::vector<std::unique_ptr<FunctionInfoRecord>>;

// One function's usage setting for a profile.
struct UserFunctionUsageRecord {
  std::u16string functionId;
  uint32_t allowed = 1;  // 0: the function is denied to the profile
};
using UsageRecordList = std::vector<std::unique_ptr<UserFunctionUsageRecord>>;

// Which fields of each function getFuncList decodes: all, or only those
// that place a function in the hierarchy (ID, category, type, root and
// parent; the others keep their defaults).
enum class FunctionFields { kAll, kPlacement };

class CAdminHostAPIs {
 public:
  // The functions of category `category_selector` (0 to 7), in host order,
  // asked for 64 at a time ("KLIB/KRFNLST", format "LSTA0100"). Records
  // received before a failure stay in `*list`.
  static uint32_t getFuncList(const std::u16string& system_name, uint32_t category_selector,
                              FunctionInfoList* list, ErrorOut* error,
                              const SystemHandle* handle = nullptr,
                              FunctionFields fields = FunctionFields::kAll);
  // The usage settings of `user_profile` ("KLIB/KRUSRFN", format
  // "USGA0100"). A profile name beginning with a digit gets a "Q" in front,
  // in the caller's string too. Records received before a failure stay.
  static uint32_t getUsersFuncInfo(const std::u16string& system_name, std::u16string& user_profile,
                                   uint32_t category_selector, int32_t format_level,
                                   UsageRecordList* list, ErrorOut* error,
                                   const SystemHandle* handle = nullptr);

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
