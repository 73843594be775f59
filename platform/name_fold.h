// The one comparison of registry key and value names: names fold to upper
// case, as Windows folds them, and fold keys compare by UTF-16 code unit.
// Pure functions; thread-safe.
#ifndef ZVT_PLATFORM_NAME_FOLD_H_
#define ZVT_PLATFORM_NAME_FOLD_H_

#include <string>
#include <string_view>

namespace zvt::platform {

// Upper-cases a code unit by Unicode's simple mapping (a letter of any
// script with one upper-case letter: "a", "\u00e4", "\u03c2", "\u0561");
// what has none (digits, marks, "\u00df", halves of surrogate pairs) stays
// as it is. Since names fold to upper case, "_" (0x5F) sorts after every
// letter, as on Windows.
char16_t FoldNonAscii(char16_t c);
inline char16_t FoldChar(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
  return FoldNonAscii(c);
}
std::u16string FoldName(std::u16string_view name);
bool NamesEqual(std::u16string_view a, std::u16string_view b);

}  // namespace zvt::platform

#endif  // ZVT_PLATFORM_NAME_FOLD_H_
