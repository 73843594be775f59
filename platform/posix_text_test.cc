// Narrow-to-UTF-16 conversion in the thread's code set.
#include "platform/posix_text.h"

#include <gtest/gtest.h>
#include <locale.h>

namespace zvt::platform {
namespace {

// Switches the calling thread to `name` for the scope.
class ThreadLocale {
 public:
  explicit ThreadLocale(const char* name) : locale_(newlocale(LC_ALL_MASK, name, nullptr)) {
    previous_ = locale_ != nullptr ? uselocale(locale_) : nullptr;
  }
  ~ThreadLocale() {
    if (locale_ != nullptr) {
      uselocale(previous_);
      freelocale(locale_);
    }
  }
  bool ok() const { return locale_ != nullptr; }

 private:
  locale_t locale_;
  locale_t previous_ = nullptr;
};

TEST(TextTest, ConvertsInTheThreadsCodeSet) {
  PosixText text;
  ThreadLocale utf8("C.UTF-8");
  ASSERT_TRUE(utf8.ok());
  char16_t out[16];
  LONG error = 0;
  const char* source = "Gr\xC3\xBC\xC3\x9F" "e";  // "Grüße" in UTF-8
  int n = text.MultiByteToWideChar(kCpThreadAcp, 0, source, -1, out, 16, &error);
  ASSERT_EQ(6, n) << error;  // five characters and the terminator
  EXPECT_EQ(u"Gr\u00fc\u00dfe", std::u16string(out));
  EXPECT_EQ(6, text.MultiByteToWideChar(kCpThreadAcp, 0, source, -1, nullptr, 0, &error));

  // The same bytes are not valid in the plain C locale (ASCII).
  ThreadLocale ascii("C");
  EXPECT_EQ(0, text.MultiByteToWideChar(kCpThreadAcp, 0, source, -1, out, 16, &error));
  EXPECT_EQ(kErrorNoUnicodeTranslation, error);
}

TEST(TextTest, FailuresAreReported) {
  PosixText text;
  char16_t out[4];
  LONG error = 0;
  EXPECT_EQ(0, text.MultiByteToWideChar(kCpUtf8, 0, "\xC3", -1, out, 4, &error));
  EXPECT_EQ(kErrorNoUnicodeTranslation, error);
  EXPECT_EQ(0, text.MultiByteToWideChar(kCpUtf8, 0, "too long", -1, out, 4, &error));
  EXPECT_EQ(kErrorInsufficientBuffer, error);
  EXPECT_EQ(0, text.MultiByteToWideChar(kCpUtf8, 0, nullptr, -1, out, 4, &error));
  EXPECT_EQ(kErrorInvalidParameter, error);
  // A Windows code page by number: 0xE4 is "ä" in 1252.
  ASSERT_EQ(2, text.MultiByteToWideChar(1252, 0, "\xE4", -1, out, 4, &error));
  EXPECT_EQ(u'\u00e4', out[0]);
  // An explicit length converts exactly that many bytes, without a terminator.
  ASSERT_EQ(2, text.MultiByteToWideChar(kCpUtf8, 0, "abc", 2, out, 4, &error));
  EXPECT_EQ(u'b', out[1]);
}

}  // namespace
}  // namespace zvt::platform
