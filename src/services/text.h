// Conversion of narrow text in a code page to UTF-16, as MultiByteToWideChar.
#ifndef ZVT_SERVICES_TEXT_H_
#define ZVT_SERVICES_TEXT_H_

#include "services/win_types.h"

namespace zvt {

class TextApi {
 public:
  virtual ~TextApi() = default;

  // Converts `source` (`source_len` bytes, or up to and including its
  // terminator when -1) into at most `dest_chars` characters of `dest`.
  // Returns the number of characters written, terminator included when the
  // source length was -1; with `dest_chars` 0 returns the size needed. On
  // failure returns 0 and `*error` holds kErrorNoUnicodeTranslation (invalid
  // input), kErrorInsufficientBuffer or kErrorInvalidParameter.
  [[nodiscard]] virtual int MultiByteToWideChar(UINT code_page, DWORD flags, const char* source,
                                                int source_len, char16_t* dest, int dest_chars,
                                                LONG* error) = 0;
};

}  // namespace zvt

#endif  // ZVT_SERVICES_TEXT_H_
