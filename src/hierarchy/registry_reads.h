// Reading single values of the declaration keys below HKEY_CLASSES_ROOT into
// fixed-size buffers, as the declarations are read.
#ifndef ZVT_HIERARCHY_REGISTRY_READS_H_
#define ZVT_HIERARCHY_REGISTRY_READS_H_

#include <string>
#include <vector>

#include "services/registry.h"
#include "services/scoped_key.h"
#include "services/services.h"

namespace zvt {

// Opens `path` below HKEY_CLASSES_ROOT (or below `parent`) for reading.
inline LONG OpenDeclarationKey(HKEY parent, const std::u16string& path, ScopedKey* key) {
  return CurrentServices().registry_service->OpenRegKeyEx(parent, path.c_str(), 0, kKeyRead,
                                                          key->Receive());
}

// Queries `name` with a buffer of `capacity` bytes. Data that does not fit
// fails with the registry's code; `*type` and `*data` are set on success.
inline LONG QueryDeclarationValue(HKEY key, const char16_t* name, DWORD capacity, DWORD* type,
                                  std::vector<BYTE>* data) {
  data->assign(capacity, 0);
  DWORD size = capacity;
  LONG rc =
      CurrentServices().registry->RegQueryValueExW(key, name, nullptr, type, data->data(), &size);
  data->resize(rc == kErrorSuccess ? size : 0);
  return rc;
}

// Text data up to its first NUL character, or up to the end of the data.
inline std::u16string DeclarationText(const std::vector<BYTE>& data) {
  std::u16string text(data.size() / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i)
    text[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  return text.substr(0, text.find(u'\0'));
}

}  // namespace zvt

#endif  // ZVT_HIERARCHY_REGISTRY_READS_H_
