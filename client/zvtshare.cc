// zvtshare.dll: the client's shared dialogs. Its entry "AppAdminHostError"
// shows a failed host call: the caller's text, the system, and every message
// the host sent, as one message box of the client display.
#include "client/process_client.h"
#include "platform/utf.h"
#include "services/program_calls.h"

#ifdef _WIN32
#define ZVTSHARE_ENTRY __declspec(dllexport)
#else
#define ZVTSHARE_ENTRY __attribute__((visibility("default")))
#endif

extern "C" ZVTSHARE_ENTRY int AppAdminHostError(const zvt::ErrorObject* error, const char16_t* text,
                                                const char16_t* system_name) {
  std::u16string body = text != nullptr ? text : u"";
  if (error != nullptr) {
    for (const zvt::HostMessage& m : error->hostMessages()) body += u"\n" + m.id + u": " + m.text;
  }
  std::u16string caption = u"Host error";
  if (system_name != nullptr && *system_name != u'\0')
    caption += std::u16string(u" - ") + system_name;
  return zvt::client::ProcessDisplay().MessageBox(body, caption, 0x10 /* MB_ICONERROR */);
}
