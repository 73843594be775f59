// Registry value data as bytes, one codec for every part of the system:
// REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ as UTF-16 little-endian, REG_DWORD
// and REG_QWORD as little-endian integers; and writing the two kinds the
// system keeps (strings with their terminator, DWORDs) through the registry.
// Header-only: the client services and the stand-ins use it as well as the
// library.
#ifndef ZVT_SERVICES_VALUE_BYTES_H_
#define ZVT_SERVICES_VALUE_BYTES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "services/registry.h"
#include "services/win_types.h"

namespace zvt {

// `text` as it stands, no terminator added.
inline void AppendUtf16Bytes(std::u16string_view text, std::vector<BYTE>* out) {
  out->reserve(out->size() + 2 * text.size());
  for (char16_t c : text) {
    out->push_back(static_cast<BYTE>(c & 0xFF));
    out->push_back(static_cast<BYTE>(c >> 8));
  }
}

// `text` and one terminator.
inline std::vector<BYTE> StringValueBytes(std::u16string_view text) {
  std::vector<BYTE> out;
  AppendUtf16Bytes(text, &out);
  out.push_back(0);
  out.push_back(0);
  return out;
}

inline std::vector<BYTE> DwordValueBytes(uint32_t value) {
  return {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8), static_cast<BYTE>(value >> 16),
          static_cast<BYTE>(value >> 24)};
}

// Every UTF-16 unit of `data`, terminators included; an odd last byte is
// left out.
inline std::u16string Utf16FromValueBytes(const BYTE* data, size_t size) {
  std::u16string text;
  text.reserve(size / 2);
  for (size_t i = 0; i + 1 < size; i += 2)
    text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  return text;
}

// The little-endian integer of `width` bytes (4 or 8 for the two kinds);
// false when `size` is not `width`.
inline bool IntegerFromValueBytes(const BYTE* data, size_t size, size_t width, uint64_t* value) {
  if (size != width || width > 8) return false;
  uint64_t n = 0;
  for (size_t i = width; i-- > 0;) n = (n << 8) | data[i];
  *value = n;
  return true;
}

// Writes `text` with its terminator as REG_SZ.
inline LONG SetStringValue(RegistryApi* registry, HKEY key, const char16_t* name,
                           std::u16string_view text) {
  const std::vector<BYTE> bytes = StringValueBytes(text);
  return registry->RegSetValueExW(key, name, 0, kRegSz, bytes.data(),
                                  static_cast<DWORD>(bytes.size()));
}

// Writes `value` as REG_DWORD.
inline LONG SetDwordValue(RegistryApi* registry, HKEY key, const char16_t* name, uint32_t value) {
  const std::vector<BYTE> bytes = DwordValueBytes(value);
  return registry->RegSetValueExW(key, name, 0, kRegDword, bytes.data(),
                                  static_cast<DWORD>(bytes.size()));
}

}  // namespace zvt

#endif  // ZVT_SERVICES_VALUE_BYTES_H_
