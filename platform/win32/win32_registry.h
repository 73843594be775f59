// The registry on Windows itself: the Win32 calls passed straight through,
// and the client's registry service, which resolves HKEY_CURRENT_USER paths
// below the client's own key as the stand-in on other systems does.
#ifndef ZVT_PLATFORM_WIN32_WIN32_REGISTRY_H_
#define ZVT_PLATFORM_WIN32_WIN32_REGISTRY_H_

#include <string>

#include "services/registry.h"

namespace zvt::platform {

// Where the client keeps its settings below HKEY_CURRENT_USER.
inline constexpr char16_t kWin32ClientRegistryRoot[] = u"Software\\VYN\\Tarvo.Network";

class Win32Registry : public RegistryApi, public RegistryServiceApi {
 public:
  explicit Win32Registry(std::u16string client_root = kWin32ClientRegistryRoot)
      : client_root_(std::move(client_root)) {}

  LONG RegQueryValueExW(HKEY key, const char16_t* value_name, DWORD* reserved, DWORD* type,
                        BYTE* data, DWORD* data_size) override;
  LONG RegSetValueExW(HKEY key, const char16_t* value_name, DWORD reserved, DWORD type,
                      const BYTE* data, DWORD data_size) override;
  LONG RegEnumKeyExW(HKEY key, DWORD index, char16_t* name, DWORD* name_chars, DWORD* reserved,
                     char16_t* class_name, DWORD* class_chars, FILETIME* last_write) override;
  LONG RegEnumValueW(HKEY key, DWORD index, char16_t* name, DWORD* name_chars, DWORD* reserved,
                     DWORD* type, BYTE* data, DWORD* data_size) override;
  LONG RegDeleteValueW(HKEY key, const char16_t* value_name) override;
  LONG RegCloseKey(HKEY key) override;

  LONG OpenRegKeyEx(HKEY parent, const char16_t* sub_key, DWORD options, REGSAM access,
                    HKEY* result) override;
  LONG CreateRegKeyEx(HKEY parent, const char16_t* sub_key, DWORD reserved, char16_t* class_name,
                      DWORD options, REGSAM access, void* security, HKEY* result,
                      DWORD* disposition) override;
  LONG DeleteRegKey(HKEY parent, const char16_t* sub_key) override;

  const std::u16string& client_root() const { return client_root_; }

 private:
  // `sub_key` as the Win32 call must see it: below the client's key when
  // `parent` is HKEY_CURRENT_USER itself.
  std::u16string Resolve(HKEY parent, const char16_t* sub_key) const;

  std::u16string client_root_;
};

}  // namespace zvt::platform

#endif  // ZVT_PLATFORM_WIN32_WIN32_REGISTRY_H_
