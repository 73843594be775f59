// The application object's message-box hook.
#include "services/app.h"

#include "services/locked_frame.h"
#include "services/services.h"

namespace zvt {

CZvtappadApp& CZvtappadApp::instance() {
  static CZvtappadApp app;
  return app;
}

int CZvtappadApp::DoMessageBox(const std::u16string& prompt, UINT style, UINT /*help_id*/) {
  LockedFrame frame;
  const Services& s = CurrentServices();
  UINT adjusted = s.client->AdjustMessageBoxStyle(style);
  return s.display->MessageBox(prompt, u"zvtappad", adjusted);
}

}  // namespace zvt
