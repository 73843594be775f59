// Message boxes written to standard error.
#include "platform/console_display.h"

#include <cstdio>
#include <mutex>

#include "platform/utf.h"
#include "services/mutex.h"

namespace zvt::platform {

int ConsoleDisplay::MessageBox(const std::u16string& text, const std::u16string& caption,
                               UINT /*style*/) {
  static Mutex mu;  // keeps concurrent boxes from interleaving
  MutexLock lock(&mu);
  std::string out = "[" + Utf16ToUtf8(caption) + "] " + Utf16ToUtf8(text) + "\n";
  return std::fwrite(out.data(), 1, out.size(), stderr) == out.size() ? 1 : 0;
}

}  // namespace zvt::platform
