// The Win32 registry calls behind the seam's registry interfaces.
#include "platform/win32/win32_registry.h"

#include <windows.h>

namespace zvt::platform {
namespace {

::HKEY Native(HKEY key) { return reinterpret_cast<::HKEY>(key); }
LPCWSTR Wide(const char16_t* s) { return reinterpret_cast<LPCWSTR>(s); }
LPWSTR Wide(char16_t* s) { return reinterpret_cast<LPWSTR>(s); }
LPDWORD Dw(DWORD* d) { return reinterpret_cast<LPDWORD>(d); }

static_assert(sizeof(DWORD) == sizeof(::DWORD) && sizeof(LONG) == sizeof(::LONG));
static_assert(sizeof(char16_t) == sizeof(wchar_t));

}  // namespace

std::u16string Win32Registry::Resolve(HKEY parent, const char16_t* sub_key) const {
  std::u16string path = sub_key != nullptr ? sub_key : u"";
  if (parent != kHKeyCurrentUser) return path;
  return path.empty() ? client_root_ : client_root_ + u"\\" + path;
}

LONG Win32Registry::RegQueryValueExW(HKEY key, const char16_t* value_name, DWORD* reserved,
                                     DWORD* type, BYTE* data, DWORD* data_size) {
  return ::RegQueryValueExW(Native(key), Wide(value_name), Dw(reserved), Dw(type), data,
                            Dw(data_size));
}

LONG Win32Registry::RegSetValueExW(HKEY key, const char16_t* value_name, DWORD reserved, DWORD type,
                                   const BYTE* data, DWORD data_size) {
  return ::RegSetValueExW(Native(key), Wide(value_name), reserved, type, data, data_size);
}

LONG Win32Registry::RegEnumKeyExW(HKEY key, DWORD index, char16_t* name, DWORD* name_chars,
                                  DWORD* reserved, char16_t* class_name, DWORD* class_chars,
                                  FILETIME* last_write) {
  return ::RegEnumKeyExW(Native(key), index, Wide(name), Dw(name_chars), Dw(reserved),
                         Wide(class_name), Dw(class_chars),
                         reinterpret_cast<::FILETIME*>(last_write));
}

LONG Win32Registry::RegEnumValueW(HKEY key, DWORD index, char16_t* name, DWORD* name_chars,
                                  DWORD* reserved, DWORD* type, BYTE* data, DWORD* data_size) {
  return ::RegEnumValueW(Native(key), index, Wide(name), Dw(name_chars), Dw(reserved), Dw(type),
                         data, Dw(data_size));
}

LONG Win32Registry::RegDeleteValueW(HKEY key, const char16_t* value_name) {
  return ::RegDeleteValueW(Native(key), Wide(value_name));
}

LONG Win32Registry::RegCloseKey(HKEY key) {
  if (key == kHKeyCurrentUser || key == kHKeyClassesRoot) return kErrorSuccess;
  return ::RegCloseKey(Native(key));
}

LONG Win32Registry::OpenRegKeyEx(HKEY parent, const char16_t* sub_key, DWORD options, REGSAM access,
                                 HKEY* result) {
  if (result == nullptr) return kErrorInvalidParameter;
  const std::u16string path = Resolve(parent, sub_key);
  ::HKEY opened = nullptr;
  LONG rc = ::RegOpenKeyExW(Native(parent), Wide(path.c_str()), options, access, &opened);
  *result = rc == kErrorSuccess ? reinterpret_cast<HKEY>(opened) : nullptr;
  return rc;
}

LONG Win32Registry::CreateRegKeyEx(HKEY parent, const char16_t* sub_key, DWORD reserved,
                                   char16_t* class_name, DWORD options, REGSAM access,
                                   void* security, HKEY* result, DWORD* disposition) {
  if (result == nullptr) return kErrorInvalidParameter;
  const std::u16string path = Resolve(parent, sub_key);
  ::HKEY created = nullptr;
  ::DWORD how = 0;
  LONG rc =
      ::RegCreateKeyExW(Native(parent), Wide(path.c_str()), reserved, Wide(class_name), options,
                        access, static_cast<LPSECURITY_ATTRIBUTES>(security), &created, &how);
  *result = rc == kErrorSuccess ? reinterpret_cast<HKEY>(created) : nullptr;
  if (disposition != nullptr) *disposition = how;
  return rc;
}

LONG Win32Registry::DeleteRegKey(HKEY parent, const char16_t* sub_key) {
  const std::u16string path = Resolve(parent, sub_key);
  return ::RegDeleteKeyW(Native(parent), Wide(path.c_str()));
}

}  // namespace zvt::platform
