#include "hostd/usage_reasons.h"

#include <gtest/gtest.h>

#include "testing/test_store.h"

namespace zvt::hostd {
namespace {

// A product whose tree nests groups: PROD > G1 > G2 > {A, B}, G1 > C,
// PROD > D; JOE belongs to PAY and OPS.
class UsageReasonsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = test_store_.Open(&error_);
    ASSERT_TRUE(store_) << error_;
    for (const char* p : {"JOE", "PAY", "OPS"})
      ASSERT_TRUE(store_->AddProfile(p, "p", HashStrength::kFast, &error_)) << error_;
    ASSERT_TRUE(store_->SetGroups("JOE", {"PAY", "OPS"}, &error_)) << error_;
    Add("PROD", "1", "*NONE");
    Add("G1", "2", "PROD");
    Add("G2", "2", "G1");
    Add("A", "3", "G2");
    Add("B", "3", "G2");
    Add("C", "3", "G1", /*denied_by_default=*/true);
    Add("D", "3", "*NONE");  // under its root
  }
  void Add(const std::string& id, const std::string& type, const std::string& parent,
           bool denied_by_default = false) {
    FunctionRow f;
    f.id = id;
    f.type = type;
    f.category = "2";
    f.root = "PROD";
    f.parent = parent;
    if (denied_by_default) f.default_usage = "1";
    ASSERT_TRUE(store_->AddFunction(f, &error_)) << error_;
  }
  // "A: denied (own)", "G1: denied (every child: G2 C)", ...
  std::string Why(const std::string& profile, const std::string& function) {
    UsageExplanation e;
    bool known = false;
    if (!store_->ExplainUsage(profile, function, &e, &known, &error_)) return "error " + error_;
    if (!known) return "unknown";
    auto line = [](const UsageReason& r) {
      std::string text = r.function + ": " + (r.denied ? "denied" : "allowed") + " (";
      if (r.by_children) return text + "every child)";
      text += r.source;
      for (const std::string& g : r.groups) text += " " + g;
      return text + ")";
    };
    std::string text = line(e.answer);
    for (const UsageReason& child : e.children) text += "; " + line(child);
    return text;
  }

  testing::TestStore test_store_{testing::Backend::kSqlite};
  std::unique_ptr<HostStore> store_;
  std::string error_;
};

TEST_F(UsageReasonsTest, EachKindOfReason) {
  ASSERT_TRUE(store_->SetUsage("JOE", "A", "1", &error_)) << error_;
  ASSERT_TRUE(store_->SetUsage("PAY", "B", "1", &error_)) << error_;
  ASSERT_TRUE(store_->SetUsage("OPS", "B", "2", &error_)) << error_;
  ASSERT_TRUE(store_->SetUsage("OPS", "D", "2", &error_)) << error_;
  EXPECT_EQ(Why("joe", "A"), "A: denied (own)");
  EXPECT_EQ(Why("JOE", "B"), "B: denied (group PAY)") << "denied wins among groups";
  EXPECT_EQ(Why("JOE", "D"), "D: allowed (group OPS)");
  EXPECT_EQ(Why("JOE", "C"), "C: denied (default)");
  // Nested groups are denied through their children, whatever their order.
  EXPECT_EQ(Why("JOE", "G2"), "G2: denied (every child); A: denied (own); B: denied (group PAY)");
  EXPECT_EQ(Why("JOE", "G1"),
            "G1: denied (every child); G2: denied (every child); C: denied "
            "(default)");
  EXPECT_EQ(Why("JOE", "PROD"),
            "PROD: allowed (default); G1: denied (every child); D: allowed (group OPS)");
  // The group's own setting denies it even with children allowed.
  EXPECT_EQ(Why("PAY", "G2"), "G2: allowed (default); A: allowed (default); B: denied (own)");
  ASSERT_TRUE(store_->SetUsage("PAY", "G2", "1", &error_)) << error_;
  EXPECT_EQ(Why("PAY", "G2").substr(0, 18), "G2: denied (own); ");
  // Who a function is denied to, with each profile's reason.
  auto denied_to = [&](const std::string& function) {
    std::vector<DeniedProfile> denied;
    bool known = false;
    EXPECT_TRUE(store_->ProfilesDeniedTo(function, &denied, &known, &error_)) << error_;
    std::string text;
    for (const DeniedProfile& d : denied)
      text += d.profile + "(" + (d.reason.by_children ? "children" : d.reason.source) + ") ";
    return known ? text : "unknown";
  };
  EXPECT_EQ(denied_to("C"), "JOE(default) OPS(default) PAY(default) ");
  EXPECT_EQ(denied_to("G1"), "JOE(children) PAY(children) ") << "PAY denies G2 itself";
  EXPECT_EQ(denied_to("B"), "JOE(group) PAY(own) ");
  EXPECT_EQ(denied_to("NOPE"), "unknown");
  EXPECT_EQ(Why("NOBODY", "A"), "unknown");
  EXPECT_EQ(Why("JOE", "NOPE"), "unknown");
}

// A group with no children, and groups that name each other, are never
// denied through their children.
TEST_F(UsageReasonsTest, EmptyGroupsAndCyclesAreNotDeniedByChildren) {
  Add("EMPTY", "2", "PROD");
  Add("P", "2", "Q");
  Add("Q", "2", "P");
  EXPECT_EQ(Why("JOE", "EMPTY"), "EMPTY: allowed (default)");
  EXPECT_EQ(Why("JOE", "P"), "P: allowed (default); Q: allowed (default)");
}

}  // namespace
}  // namespace zvt::hostd
