// Insert substitution for message texts.
#include "services/message_format.h"

namespace zvt {

std::u16string FormatMessageText(const std::u16string& pattern,
                                 const std::vector<std::u16string>& inserts) {
  std::u16string out;
  out.reserve(pattern.size());
  for (size_t i = 0; i < pattern.size(); ++i) {
    char16_t c = pattern[i];
    if (c != u'%' || i + 1 == pattern.size()) {
      out.push_back(c);
      continue;
    }
    char16_t next = pattern[i + 1];
    if (next == u'%') {
      out.push_back(u'%');
      ++i;
    } else if (next >= u'1' && next <= u'9' && static_cast<size_t>(next - u'1') < inserts.size()) {
      out += inserts[next - u'1'];
      ++i;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace zvt
