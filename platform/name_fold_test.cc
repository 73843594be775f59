// The single name comparison used by the registry.
#include "platform/name_fold.h"

#include <gtest/gtest.h>

namespace zvt::platform {
namespace {

TEST(NameFoldTest, FoldsToUpperCase) {
  EXPECT_EQ(u"HOSTVALS_\u00c4\u0178\u0139\u0410\u03a3",
            FoldName(u"hostVals_\u00e4\u00ff\u013a\u0430\u03c3"));
  EXPECT_TRUE(NamesEqual(u"Hierarchy", u"HIERARCHY"));
  EXPECT_FALSE(NamesEqual(u"Hierarchy", u"Hierarch"));
  EXPECT_EQ(u'\u00f7', FoldChar(u'\u00f7'));    // the division sign has no case
  EXPECT_LT(FoldName(u"az"), FoldName(u"a_"));  // "_" after the letters
  // Every script's simple mapping: final sigma, Armenian, micro sign to
  // capital mu, full-width Latin; sharp s and digits have no upper case.
  EXPECT_EQ(u"\u03a3\u03a3\u0531\u039c\uff21\u00df1",
            FoldName(u"\u03c3\u03c2\u0561\u00b5\uff41\u00df1"));
  EXPECT_TRUE(NamesEqual(u"\u0561\u0562", u"\u0531\u0532"));
  // Halves of a surrogate pair stay as they are.
  EXPECT_EQ(u"\U00010428", FoldName(u"\U00010428"));
}

}  // namespace
}  // namespace zvt::platform
