// The wide inner operations behind the exports, and the process cache they
// share. Each runs in the locked frame.
#ifndef ZVT_API_EXPORTS_H_
#define ZVT_API_EXPORTS_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "cache/process_cache.h"

namespace zvt {

// Narrow to wide in the calling thread's code set; empty when `narrow` is
// null, too long or cannot be converted (the exports take each of these as
// the empty string).
std::u16string NarrowToWide(const char* narrow);

// The same conversion, held in place when the text is short (as system
// names and function IDs are), so that converting it takes no allocation.
class WideText {
 public:
  explicit WideText(const char* narrow);
  WideText(const WideText&) = delete;
  WideText& operator=(const WideText&) = delete;
  const char16_t* c_str() const { return spilled_ ? spill_.c_str() : held_; }
  std::u16string_view view() const {
    return spilled_ ? std::u16string_view(spill_) : std::u16string_view(held_, size_);
  }

 private:
  static constexpr size_t kHeldChars = 64;
  char16_t held_[kHeldChars];
  size_t size_ = 0;
  bool spilled_ = false;
  std::u16string spill_;
};

uint32_t zvtUN_GetAdminValueW(const char16_t* system_name, std::u16string_view function_id,
                              uint32_t* admin_value);
uint32_t zvtUN_GetAdminCacheStateW(const char16_t* system_name, uint32_t* cache_state);
uint32_t zvtUN_GetAdminValueExW(const uint64_t* system_handle, std::u16string_view function_id,
                                uint32_t* admin_value);
uint32_t zvtUN_GetAdminValueBypassW(const uint64_t* system_handle, const char16_t* function_id,
                                    uint32_t* admin_value);

}  // namespace zvt

#endif  // ZVT_API_EXPORTS_H_
