// Upper-case folding of registry names.
#include "platform/name_fold.h"

namespace zvt::platform {

char16_t FoldChar(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
  // Latin-1: U+00E0..U+00FE except U+00F7 (division sign); U+00FF maps to U+0178.
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  // Latin Extended-A: pairs of upper (even) and lower (odd), with the ranges
  // U+0139..U+0148 and U+0179..U+017E paired odd-upper, even-lower.
  if (c >= 0x100 && c <= 0x17F) {
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E))
      return (c % 2 == 0) ? static_cast<char16_t>(c - 1) : c;
    if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    return (c % 2 == 1) ? static_cast<char16_t>(c - 1) : c;
  }
  // Greek lower case U+03B1..U+03C9 (final sigma U+03C2 folds to U+03A3).
  if (c >= 0x3B1 && c <= 0x3C9) return static_cast<char16_t>(c - 0x20);
  // Cyrillic: U+0430..U+044F -> U+0410..U+042F, U+0450..U+045F -> U+0400..U+040F.
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  return c;
}

std::u16string FoldName(std::u16string_view name) {
  std::u16string out(name);
  for (char16_t& c : out) c = FoldChar(c);
  return out;
}

bool NamesEqual(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldChar(a[i]) != FoldChar(b[i])) return false;
  return true;
}

}  // namespace zvt::platform
