// Error records, the host-error display and the resource library switch.
#include "diag/error_records.h"

#include "diag/boundary_guard.h"
#include "services/app.h"
#include "services/message_format.h"
#include "services/resource_context.h"
#include "services/services.h"

namespace zvt {
namespace {

// The host error is shown with the text and an OK button alone: no icon,
// no help context.
constexpr UINT kMbOk = 0x0;
using HostErrorEntry = int (*)(const ErrorObject*, const char16_t*, const char16_t*);

}  // namespace

void writeErrorRecord(ErrorUnit unit, std::u16string message, uint32_t line, uint32_t rc) {
  const bool cache = unit == ErrorUnit::kCache;
  std::unique_ptr<ErrorObject> record = CurrentServices().program_calls->createError(
      kErrorRecordMessage, cache ? u"unadmappadmincache" : u"unadmbypassregistry",
      cache ? line : 0);
  if (!record) return;
  std::u16string text = std::move(message);
  if (rc != 0) {
    text += cache ? u"  Rtcd=>" : u"  Rtcd=";
    std::string digits = std::to_string(static_cast<int32_t>(rc));
    text.append(digits.begin(), digits.end());
  }
  record->addText(text);
}

std::u16string ExceptionText(const char16_t* where, const char16_t* separator, const char* what) {
  std::u16string text = where;
  text += separator;
  for (const char* p = what; *p != '\0'; ++p) text.push_back(static_cast<unsigned char>(*p));
  return text;
}

void RecordException(ErrorUnit unit, const char16_t* where, uint32_t line,
                     const char* what) noexcept {
  try {
    writeErrorRecord(unit, ExceptionText(where, u" -> exception: ", what), line, 0);
  } catch (...) {
    // Out of memory even for the record: the return code says enough.
  }
}

HMODULE setMFCMRIdll(const std::u16string& file_name) {
  HMODULE previous = CurrentResourceLibrary();
  const Services& s = CurrentServices();
  char16_t dir[kInstallPathBuffer] = {};
  uint32_t length = 0;
  std::u16string path = file_name;
  if (s.client->GetInstallPath(0, dir, kInstallPathBuffer, &length, 0) == kClientOk) {
    dir[kInstallPathBuffer - 1] = u'\0';
    path = dir + file_name;
  }
  HMODULE module = s.modules->LoadLibraryW(path.c_str(), nullptr);
  if (module != nullptr) {
    SetCurrentResourceLibrary(module);
  } else {
    ZVT_CACHE_ERROR(u"setMFCMRIdll -> AfxLoad Library failed ", 0);
  }
  return previous;
}

void showHostError(const ErrorObject* error, const std::u16string& user_id,
                   const std::u16string& system_name, const SystemHandle* handle) {
  const Services& s = CurrentServices();
  if (handle != nullptr) {
    uint32_t mode = 0;
    if (s.client->QueryInteractionMode(*handle, &mode) != kClientOk ||
        mode == kInteractionModeSilent)
      return;
  }
  HMODULE previous = setMFCMRIdll(u"ZVTPGMRS.DLL");
  char16_t pattern[1024] = {};
  int n = s.modules->LoadStringW(CurrentResourceLibrary(), kHostErrorMessage, pattern, 1024);
  std::u16string text =
      FormatMessageText(std::u16string(pattern, n > 0 ? n : 0), {user_id, system_name});
  if (error != nullptr && error->errorClass() == kErrorClassHostMessages) {
    HMODULE share = s.modules->LoadLibraryW(u"zvtshare.dll", nullptr);
    auto entry = share != nullptr ? reinterpret_cast<HostErrorEntry>(
                                        s.modules->GetProcAddress(share, "AppAdminHostError"))
                                  : nullptr;
    if (entry != nullptr) entry(error, text.c_str(), system_name.c_str());
  } else {
    CZvtappadApp::instance().DoMessageBox(text, kMbOk, 0);
  }
  SetCurrentResourceLibrary(previous);
}

}  // namespace zvt
