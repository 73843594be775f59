// UTF-8 <-> UTF-16 edges: surrogate pairs, rejected forms.
#include "platform/utf.h"

#include <gtest/gtest.h>

namespace zvt::platform {
namespace {

TEST(UtfTest, RoundTripsAndRejectsInvalidForms) {
  std::u16string out;
  ASSERT_TRUE(Utf8ToUtf16("a\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80", &out));
  EXPECT_EQ(u"a\u00e4\u20ac\U0001F600", out);
  EXPECT_EQ("a\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80", Utf16ToUtf8(out));
  for (const char* bad : {"\xC3", "\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF", "a\xE2\x82"})
    EXPECT_FALSE(Utf8ToUtf16(bad, &out)) << bad;
  EXPECT_EQ("\xEF\xBF\xBD", Utf16ToUtf8(std::u16string(1, u'\xD800')));
}

}  // namespace
}  // namespace zvt::platform
