// A display for tests: keeps the text and style of every message box shown
// and answers each with 1.
#ifndef ZVT_TESTING_RECORDING_DISPLAY_H_
#define ZVT_TESTING_RECORDING_DISPLAY_H_

#include <string>
#include <vector>

#include "services/display.h"

namespace zvt::testing {

class RecordingDisplay : public DisplayApi {
 public:
  int MessageBox(const std::u16string& text, const std::u16string&, UINT style) override {
    texts.push_back(text);
    styles.push_back(style);
    return 1;
  }
  std::vector<std::u16string> texts;
  std::vector<UINT> styles;
};

}  // namespace zvt::testing

#endif  // ZVT_TESTING_RECORDING_DISPLAY_H_
