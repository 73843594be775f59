// Message-log handles: the texts and message class a component sets once,
// and each text it logs through them into the client's message log.
#include <string>
#include <string_view>

#include "client/client_services.h"
#include "platform/utf.h"

namespace zvt::client {

using platform::Utf16ToUtf8;

uint32_t ClientServices::CreateMessageHandle(const char16_t* text1, const char16_t* text2,
                                             MessageLogHandle* log) {
  if (log == nullptr) return kClientBadParameter;
  MutexLock lock(&mu_);
  MessageLogHandle h = next_handle_++;
  logs_[h] = LogHandle{text1 != nullptr ? Utf16ToUtf8(text1) : "",
                       text2 != nullptr ? Utf16ToUtf8(text2) : "", 0};
  *log = h;
  return kClientOk;
}

uint32_t ClientServices::SetMessageClass(MessageLogHandle log, uint32_t message_class) {
  MutexLock lock(&mu_);
  auto it = logs_.find(log);
  if (it == logs_.end()) return kClientBadHandle;
  it->second.message_class = message_class;
  return kClientOk;
}

uint32_t ClientServices::LogMessageText(MessageLogHandle log, const char16_t* text, uint32_t size) {
  if (text == nullptr || size < sizeof(char16_t)) return kClientBadParameter;
  LogHandle h;
  {
    MutexLock lock(&mu_);
    auto it = logs_.find(log);
    if (it == logs_.end()) return kClientBadHandle;
    h = it->second;
  }
  // The text ends at its terminator or at the size given, whichever comes first.
  std::u16string_view view(text, size / sizeof(char16_t));
  view = view.substr(0, view.find(u'\0'));
  return log_.Append(h.message_class, h.text1, h.text2, Utf16ToUtf8(view)) ? kClientOk
                                                                           : kClientLogFailed;
}

uint32_t ClientServices::DeleteMessageHandle(MessageLogHandle log) {
  MutexLock lock(&mu_);
  return logs_.erase(log) == 1 ? kClientOk : kClientBadHandle;
}

}  // namespace zvt::client
