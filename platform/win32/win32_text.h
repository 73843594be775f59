// Text conversion on Windows: MultiByteToWideChar itself, so that the
// thread's ANSI code page is the one Windows gives the thread.
#ifndef ZVT_PLATFORM_WIN32_WIN32_TEXT_H_
#define ZVT_PLATFORM_WIN32_WIN32_TEXT_H_

#include "services/text.h"

namespace zvt::platform {

class Win32Text : public TextApi {
 public:
  int MultiByteToWideChar(UINT code_page, DWORD flags, const char* source, int source_len,
                          char16_t* dest, int dest_chars, LONG* error) override;
};

}  // namespace zvt::platform

#endif  // ZVT_PLATFORM_WIN32_WIN32_TEXT_H_
