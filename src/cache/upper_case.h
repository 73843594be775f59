// The upper-casing of user IDs, cache keys and function IDs, and the
// comparison that ignores it: ASCII and Latin-1 letters.
#ifndef ZVT_CACHE_UPPER_CASE_H_
#define ZVT_CACHE_UPPER_CASE_H_

#include <string>

namespace zvt {

inline char16_t UpperChar(char16_t c) {
  if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) return c - 0x20;
  return c;
}

inline void UpperCaseInPlace(std::u16string* s) {
  for (char16_t& c : *s) c = UpperChar(c);
}

inline bool EqualIgnoringCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (UpperChar(a[i]) != UpperChar(b[i])) return false;
  return true;
}

}  // namespace zvt

#endif  // ZVT_CACHE_UPPER_CASE_H_
