// The wide operations behind the exports, and narrow-to-wide conversion.
#include <cstring>

#include "api/exports.h"
#include "api/locked_frame.h"
#include "bypass/app_adm_reg_bypass.h"
#include "services/services.h"

namespace zvt {
namespace {

constexpr char16_t kApplicationName[] = u"ZVWIN";

// The library's own failure: a null output pointer.
constexpr uint32_t kLibraryFailure = 1;

}  // namespace

std::unique_ptr<std::u16string> NarrowToWide(const char* narrow) {
  if (narrow == nullptr) return nullptr;
  size_t n = std::strlen(narrow);
  if (n + 1 >= 0x40000000u) return nullptr;
  auto wide = std::make_unique<std::u16string>(n + 1, u'\0');
  LONG error = 0;
  int written = CurrentServices().text->MultiByteToWideChar(
      kCpThreadAcp, 0, narrow, -1, wide->data(), static_cast<int>(n + 1), &error);
  if (written == 0) return nullptr;
  wide->resize(static_cast<size_t>(written) - 1);
  return wide;
}

uint32_t zvtUN_GetAdminValueW(const char16_t* system_name, const char16_t* function_id,
                              uint32_t* admin_value) {
  if (admin_value == nullptr) return kLibraryFailure;
  LockedFrame frame;
  SystemHandle handle = 0;
  if (CurrentServices().client->GetSystemHandle(system_name != nullptr ? system_name : u"",
                                                kApplicationName, &handle) != kClientOk)
    return 0;
  return ProcessCache().getAIvalue(&handle, function_id != nullptr ? function_id : u"",
                                   admin_value);
}

uint32_t zvtUN_GetAdminCacheStateW(const char16_t* system_name, uint32_t* cache_state) {
  if (cache_state == nullptr) return kLibraryFailure;
  LockedFrame frame;
  SystemHandle handle = 0;
  if (CurrentServices().client->GetSystemHandle(system_name != nullptr ? system_name : u"",
                                                kApplicationName, &handle) != kClientOk)
    return 0;
  return ProcessCache().getCacheState(&handle, cache_state);
}

uint32_t zvtUN_GetAdminValueExW(const uint64_t* system_handle, const char16_t* function_id,
                                uint32_t* admin_value) {
  if (admin_value == nullptr) return kLibraryFailure;
  LockedFrame frame;
  return ProcessCache().getAIvalue(system_handle, function_id != nullptr ? function_id : u"",
                                   admin_value);
}

uint32_t zvtUN_GetAdminValueBypassW(const uint64_t* system_handle, const char16_t* function_id,
                                    uint32_t* admin_value) {
  if (admin_value == nullptr) return kLibraryFailure;
  LockedFrame frame;
  return CAppAdmRegBypass::getAdminValue(system_handle, function_id != nullptr ? function_id : u"",
                                         admin_value);
}

}  // namespace zvt
