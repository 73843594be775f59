// The host function-registry calls. Each runs in the locked frame, builds its
// own agent and data objects, and on failure returns 1 with an error object
// that carries the failing step's message and belongs to the caller.
#ifndef ZVT_HOST_ADMIN_HOST_APIS_H_
#define ZVT_HOST_ADMIN_HOST_APIS_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
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

// Where each host function stands in the tree (ID, category, type, root and
// parent), without its names and descriptions: what a reload needs of the
// function list. The texts of all entries share one buffer, and an entry
// whose root or parent is that of the entry before shares its text.
class FunctionPlacements {
 public:
  struct Text {
    uint32_t at = 0, size = 0;
  };
  struct Entry {
    Text id, root, parent;  // parent "*NONE" or empty: none
    uint8_t category = 3;   // as FunctionInfoRecord::functionCategory
    uint8_t type = 2;       // as FunctionInfoRecord::functionType
  };

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const Entry& operator[](size_t i) const { return entries_[i]; }
  std::u16string_view text(Text t) const { return std::u16string_view(text_).substr(t.at, t.size); }

  // Adds a function; the texts are copied.
  void Add(std::u16string_view id, uint8_t category, uint8_t type, std::u16string_view root,
           std::u16string_view parent);
  void Reserve(size_t entries);

 private:
  Text Keep(std::u16string_view s);

  std::u16string text_;
  std::vector<Entry> entries_;
};

class CAdminHostAPIs {
 public:
  // The functions of category `category_selector` (0 to 7), in host order,
  // asked for 64 at a time ("KLIB/KRFNLST", format "LSTA0100"). Records
  // received before a failure stay in `*list`.
  static uint32_t getFuncList(const std::u16string& system_name, uint32_t category_selector,
                              FunctionInfoList* list, ErrorOut* error,
                              const SystemHandle* handle = nullptr);
  // The same call, keeping only where each function stands.
  static uint32_t getFuncPlacements(const std::u16string& system_name, uint32_t category_selector,
                                    FunctionPlacements* list, ErrorOut* error,
                                    const SystemHandle* handle = nullptr);
  // The usage settings of `user_profile` ("KLIB/KRUSRFN", format
  // "USGA0100"). A profile name beginning with a digit gets a "Q" in front,
  // in the caller's string too. Records received before a failure stay.
  static uint32_t getUsersFuncInfo(const std::u16string& system_name, std::u16string& user_profile,
                                   uint32_t category_selector, int32_t format_level,
                                   UsageRecordList* list, ErrorOut* error,
                                   const SystemHandle* handle = nullptr);
  // The same call, handing each function's ID and whether it is denied to
  // `take` as it arrives, without a record of its own; `*listed` counts them.
  using UsageSink = std::function<void(std::u16string_view function_id, bool denied)>;
  static uint32_t getUsersFuncUsage(const std::u16string& system_name, std::u16string& user_profile,
                                    uint32_t category_selector, const UsageSink& take,
                                    size_t* listed, ErrorOut* error,
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
