// Upper-case folding of registry names, by Unicode's simple upper-case
// mapping of each UTF-16 code unit (as the Windows registry's own table
// folds them): the C library's under the invariant UTF-8 locale, or the
// system's invariant mapping on Windows.
#include "platform/name_fold.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <locale.h>
#include <wctype.h>
#endif

namespace zvt::platform {

namespace {

#ifndef _WIN32
// C.UTF-8 is built into the C library (glibc 2.35 and later): made once,
// never freed, read by any thread.
locale_t UnicodeLocale() {
  static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  return locale;
}
#endif

}  // namespace

char16_t FoldNonAscii(char16_t c) {
  // A half of a surrogate pair is no character: it stays.
  if (c >= 0xD800 && c <= 0xDFFF) return c;
#ifdef _WIN32
  wchar_t in = static_cast<wchar_t>(c), out = in;
  if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, &in, 1, &out, 1, nullptr, nullptr, 0) !=
      1)
    return c;
  return static_cast<char16_t>(out);
#else
  const locale_t locale = UnicodeLocale();
  if (locale == static_cast<locale_t>(0)) return c;
  const wint_t upper = towupper_l(static_cast<wint_t>(c), locale);
  // A mapping out of the basic plane (none is known) would not fit a code unit.
  return upper <= 0xFFFF ? static_cast<char16_t>(upper) : c;
#endif
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
