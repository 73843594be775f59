// Conversion between UTF-16 and the host's EBCDIC code page 37.
#ifndef ZVT_PGM_CCSID37_H_
#define ZVT_PGM_CCSID37_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace zvt::pgm {

inline constexpr uint8_t kEbcdicBlank = 0x40;

// The length of `bytes` without its trailing EBCDIC blanks. Host fields are
// fixed-width and mostly blank, so they are read from the end a word at a
// time, and the last word that is not all blank tells where the text ends.
inline size_t LengthWithoutTrailingBlanks(std::string_view bytes) {
  constexpr uint64_t kBlankWord = 0x4040404040404040ull;
  size_t end = bytes.size();
  while (end >= 8) {
    uint64_t word;
    std::memcpy(&word, bytes.data() + end - 8, 8);
    const uint64_t differs = word ^ kBlankWord;
    if (differs != 0) {
#if defined(__GNUC__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
      // The word's last byte in memory is its highest.
      return end - 8 + static_cast<size_t>(63 - __builtin_clzll(differs)) / 8 + 1;
#else
      break;
#endif
    }
    end -= 8;
  }
  while (end > 0 && static_cast<uint8_t>(bytes[end - 1]) == kEbcdicBlank) --end;
  return end;
}

char16_t EbcdicToUnicode(uint8_t byte);
// Each byte of `bytes` converted into `out`, which has room for as many
// characters.
void EbcdicToUnicode(std::string_view bytes, char16_t* out);
// False when `c` has no code in page 37 (anything above U+00FF).
bool UnicodeToEbcdic(char16_t c, uint8_t* byte);
// False, with `*out` unspecified, when a character cannot be converted.
bool ToEbcdic(std::u16string_view text, std::string* out);
std::u16string FromEbcdic(std::string_view bytes);

// Host character fields, fixed-width and blank-padded. A character without
// a code in page 37 becomes the substitute 0x3F; a text longer than the
// field is cut.
inline constexpr uint8_t kEbcdicSubstitute = 0x3F;
// `utf8` as a field of `width` bytes.
std::string EbcdicField(std::string_view utf8, size_t width);
// `utf8` written over the `width` bytes at `field`, which are blank already
// (only the text's own characters are written).
void PutEbcdicText(char* field, size_t width, std::string_view utf8);
// A field's text as UTF-8, its trailing blanks removed.
std::string Utf8OfEbcdicField(std::string_view bytes);

}  // namespace zvt::pgm

#endif  // ZVT_PGM_CCSID37_H_
