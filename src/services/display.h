// What the library shows the user: a message box with a prompt and a style.
#ifndef ZVT_SERVICES_DISPLAY_H_
#define ZVT_SERVICES_DISPLAY_H_

#include <string>

#include "services/win_types.h"

namespace zvt {

class DisplayApi {
 public:
  virtual ~DisplayApi() = default;
  // Returns the button chosen (1 for OK), 0 when nothing could be shown.
  virtual int MessageBox(const std::u16string& text, const std::u16string& caption, UINT style) = 0;
};

}  // namespace zvt

#endif  // ZVT_SERVICES_DISPLAY_H_
