// The Win32 conversion call behind the seam's text interface.
#include "platform/win32/win32_text.h"

#include <windows.h>

namespace zvt::platform {

int Win32Text::MultiByteToWideChar(UINT code_page, DWORD flags, const char* source, int source_len,
                                   char16_t* dest, int dest_chars, LONG* error) {
  int n = ::MultiByteToWideChar(code_page, flags, source, source_len,
                                reinterpret_cast<LPWSTR>(dest), dest_chars);
  if (error != nullptr) *error = n == 0 ? static_cast<LONG>(GetLastError()) : kErrorSuccess;
  return n;
}

}  // namespace zvt::platform
