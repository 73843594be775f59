// Message texts with numbered inserts, as message resources use them:
// "%1" to "%9" stand for the inserts, "%%" for a percent sign.
#ifndef ZVT_SERVICES_MESSAGE_FORMAT_H_
#define ZVT_SERVICES_MESSAGE_FORMAT_H_

#include <string>
#include <vector>

namespace zvt {

// Replaces each "%N" with inserts[N-1]. A "%N" without an insert, and a "%"
// before anything but a digit 1-9 or "%", is kept as it stands, so a text
// that asks for more inserts than it was given shows what is missing.
std::u16string FormatMessageText(const std::u16string& pattern,
                                 const std::vector<std::u16string>& inserts);

}  // namespace zvt

#endif  // ZVT_SERVICES_MESSAGE_FORMAT_H_
