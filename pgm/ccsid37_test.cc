#include "pgm/ccsid37.h"

#include <gtest/gtest.h>
#include <iconv.h>

namespace zvt::pgm {
namespace {

TEST(Ccsid37Test, AgreesWithTheSystemsCodePage37AndRoundTrips) {
  iconv_t cd = iconv_open("UTF-16LE", "IBM037");
  if (cd == reinterpret_cast<iconv_t>(-1)) GTEST_SKIP() << "iconv has no IBM037 here";
  for (int b = 0; b < 256; ++b) {
    char in = static_cast<char>(b);
    char out[4] = {};
    char* ip = &in;
    char* op = out;
    size_t il = 1, ol = sizeof out;
    ASSERT_NE(iconv(cd, &ip, &il, &op, &ol), static_cast<size_t>(-1)) << b;
    char16_t expected =
        static_cast<char16_t>(static_cast<uint8_t>(out[0]) | (static_cast<uint8_t>(out[1]) << 8));
    EXPECT_EQ(EbcdicToUnicode(static_cast<uint8_t>(b)), expected) << b;
    uint8_t back = 0;
    ASSERT_TRUE(UnicodeToEbcdic(expected, &back));
    EXPECT_EQ(back, b);
  }
  iconv_close(cd);
  EXPECT_EQ(EbcdicToUnicode(kEbcdicBlank), u' ');
  std::string host;
  EXPECT_TRUE(ToEbcdic(u"LSTA0100", &host));
  EXPECT_EQ(host, "\xD3\xE2\xE3\xC1\xF0\xF1\xF0\xF0");
  EXPECT_FALSE(ToEbcdic(u"\u20ac", &host));  // the euro sign is not in page 37
}

TEST(Ccsid37Test, TrailingBlanksAreCutAtEveryLengthAndPosition) {
  for (size_t size = 0; size <= 40; ++size) {
    const std::string blanks(size, '\x40');
    EXPECT_EQ(0u, LengthWithoutTrailingBlanks(blanks)) << size;
    for (size_t last = 0; last < size; ++last) {
      std::string field = blanks;
      field[last] = '\xC1';             // "A"
      if (last > 0) field[0] = '\x00';  // a NUL is not a blank
      EXPECT_EQ(last + 1, LengthWithoutTrailingBlanks(field)) << size << " " << last;
    }
  }
}

// Fixed-width fields as both sides of the wire fill and read them: padded
// with blanks, cut at the width, unconvertible characters substituted, and
// read back without the padding.
TEST(Ccsid37Test, FieldsArePaddedCutSubstitutedAndReadBack) {
  EXPECT_EQ(EbcdicField("JOE", 5), "\xD1\xD6\xC5\x40\x40");
  EXPECT_EQ(EbcdicField("ABCDEF", 3), "\xC1\xC2\xC3");
  EXPECT_EQ(EbcdicField("", 2), "\x40\x40");
  EXPECT_EQ(EbcdicField("\xE2\x82\xAC"
                        "A",
                        3),
            "\x3F\xC1\x40");  // the euro sign, then A
  EXPECT_EQ(Utf8OfEbcdicField(EbcdicField("caf\xC3\xA9", 10)), "caf\xC3\xA9");
  EXPECT_EQ(Utf8OfEbcdicField("\x40\xC1\x40\x40"), " A");  // leading blanks stay
  EXPECT_EQ(Utf8OfEbcdicField(""), "");
}

}  // namespace
}  // namespace zvt::pgm
