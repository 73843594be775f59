// Showing message boxes: the installed handler, the terminal, or the log.
#include "client/client_display.h"

#include <unistd.h>

#include <cstdio>

#include "platform/utf.h"
#include "services/mutex.h"

namespace zvt::client {

void ClientDisplay::SetHandler(zvtclient_DisplayHandler handler, void* context) {
  MutexLock lock(&mu_);
  handler_ = handler;
  context_ = context;
}

void ClientDisplay::SetLog(MessageLog log) {
  MutexLock lock(&mu_);
  log_ = std::move(log);
}

int ClientDisplay::MessageBox(const std::u16string& text, const std::u16string& caption,
                              UINT style) {
  MutexLock lock(&mu_);
  if (handler_ != nullptr) return handler_(text.c_str(), caption.c_str(), style, context_);
  std::string t = platform::Utf16ToUtf8(text), c = platform::Utf16ToUtf8(caption);
  if (isatty(STDERR_FILENO)) {
    std::string out = "[" + c + "] " + t + "\n";
    return std::fwrite(out.data(), 1, out.size(), stderr) == out.size() ? 1 : 0;
  }
  return log_.Append(style, "display", c, t) ? 1 : 0;
}

}  // namespace zvt::client
