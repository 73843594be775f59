// The single name comparison used by the registry.
#include "platform/name_fold.h"

#include <gtest/gtest.h>

namespace zvt::platform {
namespace {

TEST(NameFoldTest, FoldsToUpperCase) {
  EXPECT_EQ(u"HOSTVALS_\u00c4\u0178\u0139\u0410\u03a3", FoldName(u"hostVals_\u00e4\u00ff\u013a\u0430\u03c3"));
  EXPECT_TRUE(NamesEqual(u"Hierarchy", u"HIERARCHY"));
  EXPECT_FALSE(NamesEqual(u"Hierarchy", u"Hierarch"));
  EXPECT_EQ(u'\u00f7', FoldChar(u'\u00f7'));  // the division sign has no case
  EXPECT_LT(FoldName(u"az"), FoldName(u"a_"));  // "_" after the letters
}

}  // namespace
}  // namespace zvt::platform
