// Forwarding implementations of the registry interfaces, so that a test can
// replace one call and leave the rest to the real store.
#ifndef ZVT_SERVICES_REGISTRY_WRAPPER_H_
#define ZVT_SERVICES_REGISTRY_WRAPPER_H_

#include "services/registry.h"

namespace zvt {

class RegistryWrapper : public RegistryApi, public RegistryServiceApi {
 public:
  RegistryWrapper(RegistryApi* registry, RegistryServiceApi* service)
      : registry_(registry), service_(service) {}

  LONG RegQueryValueExW(HKEY key, const char16_t* name, DWORD* reserved, DWORD* type, BYTE* data,
                        DWORD* data_size) override {
    return registry_->RegQueryValueExW(key, name, reserved, type, data, data_size);
  }
  LONG RegSetValueExW(HKEY key, const char16_t* name, DWORD reserved, DWORD type, const BYTE* data,
                      DWORD data_size) override {
    return registry_->RegSetValueExW(key, name, reserved, type, data, data_size);
  }
  LONG RegEnumKeyExW(HKEY key, DWORD index, char16_t* name, DWORD* name_chars, DWORD* reserved,
                     char16_t* class_name, DWORD* class_chars, FILETIME* last_write) override {
    return registry_->RegEnumKeyExW(key, index, name, name_chars, reserved, class_name, class_chars,
                                    last_write);
  }
  LONG RegEnumValueW(HKEY key, DWORD index, char16_t* name, DWORD* name_chars, DWORD* reserved,
                     DWORD* type, BYTE* data, DWORD* data_size) override {
    return registry_->RegEnumValueW(key, index, name, name_chars, reserved, type, data, data_size);
  }
  LONG RegDeleteValueW(HKEY key, const char16_t* name) override {
    return registry_->RegDeleteValueW(key, name);
  }
  LONG RegCloseKey(HKEY key) override { return registry_->RegCloseKey(key); }
  LONG RegFlushKey(HKEY key) override { return registry_->RegFlushKey(key); }

  LONG OpenRegKeyEx(HKEY parent, const char16_t* sub_key, DWORD options, REGSAM access,
                    HKEY* result) override {
    return service_->OpenRegKeyEx(parent, sub_key, options, access, result);
  }
  LONG CreateRegKeyEx(HKEY parent, const char16_t* sub_key, DWORD reserved, char16_t* class_name,
                      DWORD options, REGSAM access, void* security, HKEY* result,
                      DWORD* disposition) override {
    return service_->CreateRegKeyEx(parent, sub_key, reserved, class_name, options, access,
                                    security, result, disposition);
  }
  LONG DeleteRegKey(HKEY parent, const char16_t* sub_key) override {
    return service_->DeleteRegKey(parent, sub_key);
  }
  bool ChangeCounter(HKEY root, uint64_t* counter) override {
    return service_->ChangeCounter(root, counter);
  }
  LONG HoldWrites() override { return service_->HoldWrites(); }
  LONG ReleaseWrites() override { return service_->ReleaseWrites(); }

 private:
  RegistryApi* registry_;
  RegistryServiceApi* service_;
};

}  // namespace zvt

#endif  // ZVT_SERVICES_REGISTRY_WRAPPER_H_
