#include <gtest/gtest.h>

#include "host/admin_host_apis.h"
#include "platform/utf.h"
#include "tests/host_call_fixture.h"

namespace zvt {
namespace {

using ListCallsTest = testing::HostCallTest;

std::string LastText(const ErrorOut& error) {
  return error && !error->texts().empty() ? platform::Utf16ToUtf8(error->texts().back()) : "";
}

void Add(hostd::HostStore* store, hostd::FunctionRow row) {
  std::string error;
  ASSERT_TRUE(store->AddFunction(row, &error)) << error;
}

// The placements of `list`'s functions, as getFuncPlacements gives them.
void ExpectSamePlacements(const FunctionInfoList& list, const FunctionPlacements& placements) {
  ASSERT_EQ(placements.size(), list.size());
  for (size_t i = 0; i < list.size(); ++i) {
    const FunctionPlacements::Entry& e = placements[i];
    EXPECT_EQ(placements.text(e.id), list[i]->functionId) << i;
    EXPECT_EQ(e.category, list[i]->functionCategory) << i;
    EXPECT_EQ(e.type, list[i]->functionType) << i;
    EXPECT_EQ(placements.text(e.root), list[i]->rootFunctionId) << i;
    EXPECT_EQ(placements.text(e.parent), list[i]->parentFunctionId) << i;
  }
}

TEST_F(ListCallsTest, FunctionListComesInPartsOf64InHostOrder) {
  AddProfile("JOE");
  AddFunctions(150, "F");
  StartServer();
  BindLibrary(u"SYS", "JOE");
  FunctionInfoList list;
  ErrorOut error;
  ASSERT_EQ(CAdminHostAPIs::getFuncList(u"SYS", 0, &list, &error), 0u) << LastText(error);
  EXPECT_FALSE(error);
  EXPECT_EQ(server()->calls_of("KLIB/KRFNLST"), 3u);
  ASSERT_EQ(list.size(), 150u);
  for (size_t i = 0; i < list.size(); ++i)
    ASSERT_EQ(list[i]->functionId, platform::U16("F" + std::to_string(i)));
  EXPECT_EQ(list[0]->functionType, 0u);
  EXPECT_EQ(list[0]->parentFunctionId, u"*NONE");
  EXPECT_EQ(list[7]->functionType, 2u);
  EXPECT_EQ(list[7]->rootFunctionId, u"F0");
  EXPECT_EQ(list[7]->parentFunctionId, u"F0");
  EXPECT_EQ(list[7]->functionName, u"Function 7");

  FunctionPlacements placements;
  ASSERT_EQ(CAdminHostAPIs::getFuncPlacements(u"SYS", 0, &placements, &error), 0u);
  EXPECT_EQ(server()->calls_of("KLIB/KRFNLST"), 6u);
  ExpectSamePlacements(list, placements);
}

TEST_F(ListCallsTest, FunctionEntriesDecodeTheirIndicatorsAndFallBackTexts) {
  AddProfile("JOE");
  hostd::FunctionRow a;
  a.id = "QVYN_XD1_ZENTA_A_THIRTY_CHARS_";  // 30 characters
  a.category = "0";
  a.type = "1";
  a.name = "";
  a.name2 = "Second name";
  a.description = "";
  a.description2 = "Second description";
  a.indicator1 = "2";
  a.indicator2 = "1";
  a.indicator3 = "1";
  Add(store(), a);
  hostd::FunctionRow b;
  b.id = "B";
  b.category = "2";
  b.type = "2";
  b.name = "First";
  b.name2 = "Unused";
  b.description = "Told";
  b.indicator1 = "1";
  b.indicator2 = "2";
  b.indicator3 = " ";
  Add(store(), b);
  hostd::FunctionRow c;
  c.id = "C";
  c.category = "8";
  c.type = " ";
  Add(store(), c);
  StartServer();
  BindLibrary(u"SYS", "JOE");

  FunctionInfoList list;
  ErrorOut error;
  ASSERT_EQ(CAdminHostAPIs::getFuncList(u"SYS", 0, &list, &error), 0u) << LastText(error);
  ASSERT_EQ(list.size(), 3u);
  const FunctionInfoRecord& ra = *list[0];
  EXPECT_EQ(ra.functionId, u"QVYN_XD1_ZENTA_A_THIRTY_CHARS_");
  EXPECT_EQ(ra.functionCategory, 0u);
  EXPECT_EQ(ra.functionType, 0u);
  EXPECT_EQ(ra.functionName, u"Second name");
  EXPECT_EQ(ra.functionDescription, u"Second description");
  EXPECT_EQ(ra.indicator1 + ra.indicator2 + ra.indicator3, 3u);
  const FunctionInfoRecord& rb = *list[1];
  EXPECT_EQ(rb.functionCategory, 2u);
  EXPECT_EQ(rb.functionType, 1u);
  EXPECT_EQ(rb.functionName, u"First");
  EXPECT_EQ(rb.functionDescription, u"Told");
  EXPECT_EQ(rb.indicator1 + rb.indicator2 + rb.indicator3, 0u);
  EXPECT_EQ(list[2]->functionCategory, 3u);
  EXPECT_EQ(list[2]->functionType, 2u);
  FunctionPlacements placements;
  ASSERT_EQ(CAdminHostAPIs::getFuncPlacements(u"SYS", 0, &placements, &error), 0u);
  ExpectSamePlacements(list, placements);

  // Selector 4 asks for category "8" only; selector 2 for "2".
  FunctionInfoList eights, twos;
  ASSERT_EQ(CAdminHostAPIs::getFuncList(u"SYS", 4, &eights, &error), 0u);
  ASSERT_EQ(eights.size(), 1u);
  EXPECT_EQ(eights[0]->functionId, u"C");
  ASSERT_EQ(CAdminHostAPIs::getFuncList(u"SYS", 2, &twos, &error), 0u);
  ASSERT_EQ(twos.size(), 1u);
  EXPECT_EQ(twos[0]->functionId, u"B");
  // A category with no functions: an empty list and success.
  FunctionInfoList none;
  EXPECT_EQ(CAdminHostAPIs::getFuncList(u"SYS", 6, &none, &error), 0u);
  EXPECT_TRUE(none.empty());
}

TEST_F(ListCallsTest, AFailedPartKeepsTheEarlierParts) {
  AddProfile("JOE");
  AddFunctions(150, "F");
  faults_.reset_after_calls = 2;
  StartServer();
  BindLibrary(u"SYS", "JOE");
  FunctionInfoList list;
  ErrorOut error;
  EXPECT_EQ(CAdminHostAPIs::getFuncList(u"SYS", 0, &list, &error), 1u);
  EXPECT_EQ(LastText(error), "getFuncList:  Error received from KRFNLST API.");
  EXPECT_EQ(list.size(), 128u);
  FunctionPlacements placements;
  EXPECT_EQ(CAdminHostAPIs::getFuncPlacements(u"SYS", 0, &placements, &error), 1u);
  EXPECT_EQ(LastText(error), "getFuncList:  Error received from KRFNLST API.");

  ErrorOut agent_error;
  EXPECT_EQ(CAdminHostAPIs::getFuncList(u"NOWHERE", 0, &list, &agent_error), 1u);
  EXPECT_EQ(LastText(agent_error), "getFuncList:  Unable to construct RemoteAgent.");
  EXPECT_EQ(CAdminHostAPIs::getFuncList(u"SYS", 9, &list, &agent_error), 1u);
  EXPECT_EQ(LastText(agent_error), "getFuncList:  Unable to set Comparison data in DO.");
}

TEST_F(ListCallsTest, UsageFollowsTheHostsContinuationAndTheDigitRule) {
  AddProfile("JOE");
  AddProfile("Q1ABC");
  AddProfile("ABC1");
  AddFunctions(700, "F");
  std::string e;
  ASSERT_TRUE(store()->SetUsage("JOE", "F3", "1", &e)) << e;
  ASSERT_TRUE(store()->SetUsage("JOE", "F699", "1", &e)) << e;
  StartServer();
  BindLibrary(u"SYS", "JOE");

  std::u16string joe = u"JOE";
  UsageRecordList list;
  ErrorOut error;
  ASSERT_EQ(CAdminHostAPIs::getUsersFuncInfo(u"SYS", joe, 0, 0, &list, &error), 0u)
      << LastText(error);
  // 250 first, then exactly what remains: two calls.
  EXPECT_EQ(server()->calls_of("KLIB/KRUSRFN"), 2u);
  ASSERT_EQ(list.size(), 700u);
  std::vector<std::u16string> denied;
  for (size_t i = 0; i < list.size(); ++i) {
    ASSERT_EQ(list[i]->functionId, platform::U16("F" + std::to_string(i)));
    if (list[i]->allowed == 0) denied.push_back(list[i]->functionId);
  }
  EXPECT_EQ(denied, (std::vector<std::u16string>{u"F3", u"F699"}));

  std::u16string digit = u"1ABC", trailing = u"ABC1";
  UsageRecordList a, b;
  ASSERT_EQ(CAdminHostAPIs::getUsersFuncInfo(u"SYS", digit, 0, 0, &a, &error), 0u)
      << LastText(error);
  EXPECT_EQ(digit, u"Q1ABC");
  ASSERT_EQ(CAdminHostAPIs::getUsersFuncInfo(u"SYS", trailing, 0, 0, &b, &error), 0u);
  EXPECT_EQ(trailing, u"ABC1");
  EXPECT_EQ(a.size(), 700u);
}

TEST_F(ListCallsTest, UsageFailuresNameTheirStep) {
  AddProfile("JOE");
  AddFunctions(300, "F");
  faults_.reset_after_calls = 1;
  StartServer();
  BindLibrary(u"SYS", "JOE");
  ErrorOut error;
  UsageRecordList list;
  std::u16string joe = u"JOE";
  EXPECT_EQ(CAdminHostAPIs::getUsersFuncInfo(u"SYS", joe, 0, 0, &list, &error), 1u);
  EXPECT_EQ(LastText(error), "getUsersFuncInfo:  Error returned from KRUSRFN API.");
  EXPECT_EQ(list.size(), 250u);

  std::u16string nobody = u"NOBODY", long_name = u"ELEVENCHARS";
  UsageRecordList more;
  EXPECT_EQ(CAdminHostAPIs::getUsersFuncInfo(u"SYS", nobody, 0, 0, &more, &error), 1u);
  EXPECT_EQ(LastText(error), "getUsersFuncInfo:  Error returned from KRUSRFN API.");
  EXPECT_EQ(CAdminHostAPIs::getUsersFuncInfo(u"SYS", long_name, 0, 0, &more, &error), 1u);
  EXPECT_EQ(LastText(error), "getUsersFuncInfo:  Unable to set Profile name in DO.");
  EXPECT_EQ(CAdminHostAPIs::getUsersFuncInfo(u"GONE", joe, 0, 0, &more, &error), 1u);
  EXPECT_EQ(LastText(error), "getUsersFuncInfo:  Unable to construct RemoteAgent.");
  EXPECT_TRUE(more.empty());
}

}  // namespace
}  // namespace zvt
