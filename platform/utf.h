// UTF-8 <-> UTF-16 conversion for file names, store rows and terminal output.
// Pure functions; thread-safe.
#ifndef ZVT_PLATFORM_UTF_H_
#define ZVT_PLATFORM_UTF_H_

#include <string>
#include <string_view>

namespace zvt::platform {

// Returns false (and leaves `out` unspecified) on an invalid UTF-8 sequence.
bool Utf8ToUtf16(std::string_view in, std::u16string* out);
// Lone surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view in);
// For literals and tests: invalid input gives an empty string.
std::u16string U16(std::string_view utf8);

}  // namespace zvt::platform

#endif  // ZVT_PLATFORM_UTF_H_
