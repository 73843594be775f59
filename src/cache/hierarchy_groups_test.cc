// The hierarchy's groups: copies that outlive what they were copied from,
// a group declared again, and what makes two hierarchies the same.
#include "cache/hierarchy_groups.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace zvt {
namespace {

using Strings = std::vector<std::u16string>;

TEST(HierarchyGroupsTest, ACopyKeepsItsOwnIDsAndAGroupDeclaredAgainStartsEmpty) {
  auto first = std::make_unique<HierarchyMap>();
  {
    // IDs longer than a short string's buffer, from a string that goes away.
    std::u16string id = u"QVYN_XD1_ZENTA_GROUP_0001";
    const uint32_t group = first->ResetGroup(id);
    first->AddChild(group, id + u"_ITEM");
    id.assign(id.size(), u'#');
  }
  HierarchyMap copy(*first);
  HierarchyMap assigned;
  assigned = *first;
  first.reset();  // the copies hold the only IDs now
  for (const HierarchyMap* m : {&copy, &assigned}) {
    EXPECT_EQ((Strings{u"QVYN_XD1_ZENTA_GROUP_0001_ITEM"}),
              m->ChildrenOf(u"QVYN_XD1_ZENTA_GROUP_0001"));
    EXPECT_EQ(1u, m->size());
  }

  const uint32_t again = copy.ResetGroup(u"QVYN_XD1_ZENTA_GROUP_0001");
  EXPECT_EQ(copy.Find(u"QVYN_XD1_ZENTA_GROUP_0001"), again);
  EXPECT_TRUE(copy.children(again).empty());
  EXPECT_EQ(1u, copy.size());
  EXPECT_EQ(HierarchyMap::kNoGroup, copy.Find(u"QVYN_XD1_ZENTA_GROUP_0001_ITEM"));
  EXPECT_EQ(Strings{}, copy.ChildrenOf(u"NOT_A_GROUP"));
}

TEST(HierarchyGroupsTest, TheSameGroupsInAnyOrderWithChildrenInTheSameOrder) {
  const HierarchyMap map{{u"G1", {u"A", u"B"}}, {u"G2", {}}};
  EXPECT_EQ(map, (HierarchyMap{{u"G2", {}}, {u"G1", {u"A", u"B"}}}));
  EXPECT_NE(map, (HierarchyMap{{u"G1", {u"B", u"A"}}, {u"G2", {}}}));
  EXPECT_NE(map, (HierarchyMap{{u"G1", {u"A", u"B"}}}));
  EXPECT_NE(map, (HierarchyMap{{u"G1", {u"A", u"B"}}, {u"G3", {}}}));
}

}  // namespace
}  // namespace zvt
