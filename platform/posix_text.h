// MultiByteToWideChar over iconv. The thread's ANSI code page is the code set
// of the calling thread's locale (uselocale, else the global locale).
// Thread-safe.
#ifndef ZVT_PLATFORM_POSIX_TEXT_H_
#define ZVT_PLATFORM_POSIX_TEXT_H_

#include <string>

#include "services/text.h"

namespace zvt::platform {

class PosixText : public TextApi {
 public:
  int MultiByteToWideChar(UINT code_page, DWORD flags, const char* source, int source_len,
                          char16_t* dest, int dest_chars, LONG* error) override;

  // The iconv name of a code page for the calling thread ("UTF-8", "CP1252").
  static std::string CodeSetName(UINT code_page);
};

}  // namespace zvt::platform

#endif  // ZVT_PLATFORM_POSIX_TEXT_H_
