// The user display of the client: message boxes go to a handler that the
// embedding program installs, else to standard error when a person is
// watching it, else to the message log. Thread-safe; one per process.
#ifndef ZVT_CLIENT_CLIENT_DISPLAY_H_
#define ZVT_CLIENT_CLIENT_DISPLAY_H_

#include "client/message_log.h"
#include "include/zvtappad/zvtclient.h"
#include "services/display.h"
#include "services/mutex.h"

namespace zvt::client {

class ClientDisplay : public DisplayApi {
 public:
  static ClientDisplay& Instance();

  int MessageBox(const std::u16string& text, const std::u16string& caption, UINT style) override;
  void SetHandler(zvtclient_DisplayHandler handler, void* context);
  // Where boxes go without a handler and without a terminal.
  void SetLog(MessageLog log);

 private:
  ClientDisplay() = default;
  Mutex mu_;
  zvtclient_DisplayHandler handler_ ZVT_GUARDED_BY(mu_) = nullptr;
  void* context_ ZVT_GUARDED_BY(mu_) = nullptr;
  MessageLog log_ ZVT_GUARDED_BY(mu_);
};

}  // namespace zvt::client

#endif  // ZVT_CLIENT_CLIENT_DISPLAY_H_
