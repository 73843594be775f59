// The denied set against a standard set of the same IDs.
#include "cache/denied_set.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <unordered_set>
#include <vector>

namespace zvt {
namespace {

TEST(DeniedSetTest, AnswersAsAStandardSetOfTheSameIDs) {
  // IDs of 0 to 30 characters from a small alphabet, so that many are
  // prefixes, extensions and neighbours of others in the shared buffer, and
  // enough of them that the table grows many times.
  std::mt19937 random(7);
  auto random_id = [&] {
    std::u16string id(random() % 31, u'A');
    for (char16_t& c : id) c = static_cast<char16_t>(u'A' + random() % 3);
    if (random() % 50 == 0 && !id.empty()) id[0] = static_cast<char16_t>(0xD800 + random() % 8);
    return id;
  };
  DeniedSet set;
  std::unordered_set<std::u16string> oracle;
  std::vector<std::u16string> order;
  for (int i = 0; i < 20000; ++i) {
    std::u16string id = random_id();
    const bool added = oracle.insert(id).second;
    ASSERT_EQ(added, set.insert(id)) << i;
    if (added) order.push_back(id);
  }
  ASSERT_EQ(oracle.size(), set.size());
  for (int i = 0; i < 20000; ++i) {
    std::u16string id = random_id();
    ASSERT_EQ(oracle.count(id), set.count(id)) << i;
  }
  // Two IDs next to each other in the buffer are never found as one.
  DeniedSet pair{u"QVYN_XD1", u"_ZENTA"};
  EXPECT_EQ(0u, pair.count(u"QVYN_XD1_ZENTA"));
  EXPECT_EQ(0u, pair.count(u"QVYN_XD"));
  EXPECT_EQ(0u, pair.count(u""));
  EXPECT_EQ(1u, pair.count(u"_ZENTA"));

  // Every ID once, in the order added; equal to the same IDs in any order.
  std::vector<std::u16string> listed;
  for (std::u16string_view id : set) listed.emplace_back(id);
  EXPECT_EQ(order, listed);
  DeniedSet reversed;
  for (auto it = order.rbegin(); it != order.rend(); ++it) reversed.insert(*it);
  EXPECT_EQ(set, reversed);
  reversed.insert(u"QVYN_XD1_ZENTA_NOT_IN_SET_0001");
  EXPECT_NE(set, reversed);
  EXPECT_NE((DeniedSet{u"A"}), (DeniedSet{u"B"}));
  EXPECT_EQ(DeniedSet(), DeniedSet{});
}

}  // namespace
}  // namespace zvt
