// The wide operations behind the exports, and narrow-to-wide conversion.
#include <cstring>

#include "api/exports.h"
#include "bypass/app_adm_reg_bypass.h"
#include "services/locked_frame.h"
#include "services/services.h"

namespace zvt {
namespace {

constexpr char16_t kApplicationName[] = u"ZVWIN";

// The library's own failure: a null output pointer.
constexpr uint32_t kLibraryFailure = 1;

// Converts the `n` bytes of `narrow` and its terminator into `wide`, which
// has room for n + 1 units (no byte yields more than one); the units
// written before the terminator. Text that cannot be converted is empty.
size_t ToWide(const char* narrow, size_t n, char16_t* wide) {
  LONG error = 0;
  // (The length given with its terminator, which is converted too, so that
  // the text is not measured twice.)
  const int written = CurrentServices().text->MultiByteToWideChar(
      kCpThreadAcp, 0, narrow, static_cast<int>(n + 1), wide, static_cast<int>(n + 1), &error);
  if (written <= 0) {
    wide[0] = u'\0';
    return 0;
  }
  return static_cast<size_t>(written) - 1;
}

}  // namespace

std::u16string NarrowToWide(const char* narrow) {
  std::u16string wide;
  if (narrow == nullptr) return wide;
  size_t n = std::strlen(narrow);
  if (n + 1 >= 0x40000000u) return wide;
  wide.resize(n + 1);
  wide.resize(ToWide(narrow, n, wide.data()));
  return wide;
}

WideText::WideText(const char* narrow) {
  held_[0] = u'\0';
  if (narrow == nullptr) return;
  const size_t n = std::strlen(narrow);
  if (n + 1 > kHeldChars) {
    spill_ = NarrowToWide(narrow);
    spilled_ = true;
    return;
  }
  size_ = ToWide(narrow, n, held_);
}

// The by-name entries answer 0, writing nothing, for a name no system
// handle can be had for, whatever the output pointer; only then is a null
// output the library's own failure.
uint32_t zvtUN_GetAdminValueW(const char16_t* system_name, std::u16string_view function_id,
                              uint32_t* admin_value) {
  LockedFrame frame;
  SystemHandle handle = 0;
  if (CurrentServices().client->GetSystemHandle(system_name, kApplicationName, &handle) !=
      kClientOk)
    return 0;
  if (admin_value == nullptr) return kLibraryFailure;
  return ProcessCache().getAIvalue(&handle, function_id, admin_value);
}

uint32_t zvtUN_GetAdminCacheStateW(const char16_t* system_name, uint32_t* cache_state) {
  LockedFrame frame;
  SystemHandle handle = 0;
  if (CurrentServices().client->GetSystemHandle(system_name != nullptr ? system_name : u"",
                                                kApplicationName, &handle) != kClientOk)
    return 0;
  if (cache_state == nullptr) return kLibraryFailure;
  return ProcessCache().getCacheState(&handle, cache_state);
}

uint32_t zvtUN_GetAdminValueExW(const uint64_t* system_handle, std::u16string_view function_id,
                                uint32_t* admin_value) {
  if (admin_value == nullptr) return kLibraryFailure;
  LockedFrame frame;
  return ProcessCache().getAIvalue(system_handle, function_id, admin_value);
}

uint32_t zvtUN_GetAdminValueBypassW(const uint64_t* system_handle, const char16_t* function_id,
                                    uint32_t* admin_value) {
  if (admin_value == nullptr) return kLibraryFailure;
  LockedFrame frame;
  return CAppAdmRegBypass::getAdminValue(system_handle, function_id != nullptr ? function_id : u"",
                                         admin_value);
}

}  // namespace zvt
