// The library's application object, reduced to its message-box hook.
#ifndef ZVT_SERVICES_APP_H_
#define ZVT_SERVICES_APP_H_

#include <string>

#include "services/win_types.h"

namespace zvt {

class CZvtappadApp {
 public:
  static CZvtappadApp& instance();
  // Shows `prompt` with the style the client adjusts; returns the button chosen.
  int DoMessageBox(const std::u16string& prompt, UINT style, UINT help_id);
};

}  // namespace zvt

#endif  // ZVT_SERVICES_APP_H_
