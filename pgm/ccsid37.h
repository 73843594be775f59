// Conversion between UTF-16 and the host's EBCDIC code page 37.
#ifndef ZVT_PGM_CCSID37_H_
#define ZVT_PGM_CCSID37_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace zvt::pgm {

inline constexpr uint8_t kEbcdicBlank = 0x40;

char16_t EbcdicToUnicode(uint8_t byte);
// False when `c` has no code in page 37 (anything above U+00FF).
bool UnicodeToEbcdic(char16_t c, uint8_t* byte);
// False, with `*out` unspecified, when a character cannot be converted.
bool ToEbcdic(std::u16string_view text, std::string* out);
std::u16string FromEbcdic(std::string_view bytes);

}  // namespace zvt::pgm

#endif  // ZVT_PGM_CCSID37_H_
