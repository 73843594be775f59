// The Win32 module calls behind the seam's module interface.
#include "platform/win32/win32_modules.h"

#include <windows.h>

#include <string>

namespace zvt::platform {
namespace {

::HMODULE Native(HMODULE m) { return reinterpret_cast<::HMODULE>(m); }
LPCWSTR Wide(const char16_t* s) { return reinterpret_cast<LPCWSTR>(s); }

// The directory of the module this code is linked into, with its trailing
// backslash; empty when it cannot be found.
std::u16string OwnDirectory() {
  ::HMODULE self = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&OwnDirectory), &self))
    return std::u16string();
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
  if (n == 0 || n == MAX_PATH) return std::u16string();
  std::u16string dir(reinterpret_cast<const char16_t*>(path), n);
  size_t slash = dir.find_last_of(u"\\/");
  return slash == std::u16string::npos ? std::u16string() : dir.substr(0, slash + 1);
}

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
    const std::u16string beside = OwnDirectory() + file_name;
    if (beside.size() > std::char_traits<char16_t>::length(file_name))
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
