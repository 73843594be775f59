// The user display of a process without a desktop: a message box becomes a
// block of text on standard error. Thread-safe.
#ifndef ZVT_PLATFORM_CONSOLE_DISPLAY_H_
#define ZVT_PLATFORM_CONSOLE_DISPLAY_H_

#include "services/display.h"

namespace zvt::platform {

class ConsoleDisplay : public DisplayApi {
 public:
  int MessageBox(const std::u16string& text, const std::u16string& caption, UINT style) override;
};

}  // namespace zvt::platform

#endif  // ZVT_PLATFORM_CONSOLE_DISPLAY_H_
