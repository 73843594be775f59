// The Win32 module calls behind the seam's module interface.
#include "platform/win32/win32_modules.h"

#include <windows.h>

#include <string>

#include "platform/paths.h"
#include "platform/utf.h"

namespace zvt::platform {
namespace {

::HMODULE Native(HMODULE m) { return reinterpret_cast<::HMODULE>(m); }
LPCWSTR Wide(const char16_t* s) { return reinterpret_cast<LPCWSTR>(s); }

bool IsBareName(const char16_t* name) {
  for (const char16_t* p = name; *p != u'\0'; ++p)
    if (*p == u'\\' || *p == u'/' || *p == u':') return false;
  return true;
}

}  // namespace

HMODULE Win32Modules::LoadLibraryW(const char16_t* file_name, LONG* error) {
  if (file_name == nullptr || file_name[0] == u'\0') {
    if (error != nullptr) *error = kErrorModNotFound;
    return nullptr;
  }
  ::HMODULE m = nullptr;
  if (IsBareName(file_name)) {
    const std::u16string beside = U16(PlatformLibraryDirectory()) + file_name;
    m = ::LoadLibraryW(Wide(beside.c_str()));
  }
  if (m == nullptr) m = ::LoadLibraryW(Wide(file_name));
  if (error != nullptr) *error = m == nullptr ? kErrorModNotFound : kErrorSuccess;
  return reinterpret_cast<HMODULE>(m);
}

BOOL Win32Modules::FreeLibrary(HMODULE module) { return ::FreeLibrary(Native(module)); }

void* Win32Modules::GetProcAddress(HMODULE module, const char* name) {
  if (module == nullptr || name == nullptr) return nullptr;
  return reinterpret_cast<void*>(::GetProcAddress(Native(module), name));
}

void* Win32Modules::GetProcAddressByOrdinal(HMODULE module, unsigned ordinal) {
  if (module == nullptr || ordinal == 0 || ordinal > 0xFFFF) return nullptr;
  return reinterpret_cast<void*>(::GetProcAddress(Native(module), MAKEINTRESOURCEA(ordinal)));
}

int Win32Modules::LoadStringW(HMODULE module, UINT id, char16_t* buffer, int buffer_chars) {
  // A size of 0 would ask Windows for a pointer into the resource instead.
  if (module == nullptr || buffer == nullptr || buffer_chars <= 0) return 0;
  return ::LoadStringW(Native(module), id, reinterpret_cast<LPWSTR>(buffer), buffer_chars);
}

bool Win32Modules::PathExists(const char16_t* path) {
  return path != nullptr && GetFileAttributesW(Wide(path)) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace zvt::platform
