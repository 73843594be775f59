// Reading and writing the registry cache's values.
#include "cache/registry_layout.h"

#include <utility>

#include "services/value_bytes.h"

namespace zvt {

Timestamp ExchangeFirstBytes(Timestamp t) {
  std::swap(t[0], t[1]);
  return t;
}

bool ReadStoredTimestamp(RegistryApi* registry, HKEY key, const char16_t* name, Timestamp* stored) {
  Timestamp buffer{};
  DWORD type = 0, size = sizeof buffer;
  LONG rc = registry->RegQueryValueExW(key, name, nullptr, &type, buffer.data(), &size);
  if (rc != kErrorSuccess || type != kRegBinary || size != sizeof buffer) return false;
  *stored = buffer;
  return true;
}

LONG WriteStoredTimestamp(RegistryApi* registry, HKEY key, const char16_t* name,
                          const Timestamp& stored) {
  return registry->RegSetValueExW(key, name, 0, kRegBinary, stored.data(),
                                  static_cast<DWORD>(stored.size()));
}

std::u16string SystemKeyPath(std::u16string_view system_name) {
  return std::u16string(kHostValsKey) + u"\\" + std::u16string(system_name);
}

bool ReadSavedParents(RegistryApi* registry, HKEY hierarchy_key, DWORD* count) {
  DWORD value = 0, type = 0, size = sizeof value;
  LONG rc = registry->RegQueryValueExW(hierarchy_key, kSavedParentsValue, nullptr, &type,
                                       reinterpret_cast<BYTE*>(&value), &size);
  if (rc != kErrorSuccess || type != kRegDword || size != sizeof value) return false;
  *count = value;
  return true;
}

LONG WriteSavedParents(RegistryApi* registry, HKEY hierarchy_key, DWORD count) {
  return SetDwordValue(registry, hierarchy_key, kSavedParentsValue, count);
}

bool CacheSwitchedOff(RegistryApi* registry, HKEY top_key) {
  char16_t data[1] = {};
  DWORD type = 0, size = sizeof data;
  LONG rc = registry->RegQueryValueExW(top_key, kActivateValue, nullptr, &type,
                                       reinterpret_cast<BYTE*>(data), &size);
  return rc == kErrorSuccess && type == kRegSz && size == sizeof data && data[0] == u'2';
}

bool IsDeniedFunctionValue(std::u16string_view name, DWORD type, const BYTE* data, DWORD size) {
  return !name.empty() && name.size() <= 31 && name[0] != u'#' && type == kRegBinary && size == 1 &&
         data != nullptr && data[0] == 0x01;
}

bool IsHierarchyKeyName(std::u16string_view name) {
  if (name.size() != std::char_traits<char16_t>::length(kHierarchyKey)) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    char16_t a = name[i], b = kHierarchyKey[i];
    if (a >= u'a' && a <= u'z') a -= 32;
    if (b >= u'a' && b <= u'z') b -= 32;
    if (a != b) return false;
  }
  return true;
}

}  // namespace zvt
