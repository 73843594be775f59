// Insert substitution in message texts.
#include "services/message_format.h"

#include <gtest/gtest.h>

namespace zvt {
namespace {

TEST(MessageFormatTest, SubstitutesNumberedInserts) {
  EXPECT_EQ(u"Function F1 of P: parent F1 is P",
            FormatMessageText(u"Function %1 of %2: parent %1 is %2", {u"F1", u"P"}));
  EXPECT_EQ(u"100% of %3 and %x", FormatMessageText(u"100%% of %3 and %x", {u"a"}));
  EXPECT_EQ(u"ends with %", FormatMessageText(u"ends with %", {}));
  // An insert that itself holds "%1" is not expanded again.
  EXPECT_EQ(u"[%2]", FormatMessageText(u"[%1]", {u"%2", u"no"}));
}

}  // namespace
}  // namespace zvt
