// Reading client-defined declarations imported from .reg text: what is kept,
// what is dropped, and the messages the faults leave in the message log.
#include "hierarchy/client_functions.h"

#include <gtest/gtest.h>

#include <unordered_set>

#include "hierarchy/builtin_functions.h"
#include "testing/declarations.h"

namespace zvt {
namespace {

using testing::kNonPlugins;
using testing::kPlugins;

std::string Key(const char* list, const std::string& path) {
  return "[" + std::string(list) + "\\" + path + "]\n";
}

// A function key with both text IDs and the given extra values.
std::string Function(const char* list, const std::string& path, const std::string& values = "") {
  return Key(list, path) + "\"FuncNameID\"=dword:00000001\n\"FuncDescID\"=dword:00000002\n" +
         values + "\n";
}

// A provider key whose (optional) resource library is missing, so that
// only the declarations themselves produce messages.
std::string Provider(const char* list, const std::string& name) {
  return Key(list, name) + "\"AIMRIDLL\"=\"zvtoptrs.dll\"\n\n";
}

std::vector<std::u16string> Ids(const ClientFunctionProvider& p) {
  std::vector<std::u16string> ids;
  for (const auto& d : p.definitions) ids.push_back(d->functionId);
  return ids;
}

class ClientFunctionsTest : public testing::DeclarationsTest {};

TEST_F(ClientFunctionsTest, ProviderAndFunctionKeyNames) {
  Import(Key(kPlugins, "NoDotProvider") + Provider(kPlugins, "Acme.Tools") +
         Function(kPlugins, "Acme.Tools\\acme_root", "\"FunctionType\"=dword:00000002\n") +
         Function(kPlugins, "Acme.Tools\\acme_group", "\"FunctionType\"=dword:00000001\n") +
         Function(kPlugins, "Acme.Tools\\acme_item", "\"Container\"=\"acme_group\"\n") +
         Function(kPlugins, "Acme.Tools\\BAD-KEY") + Function(kPlugins, "Acme.Tools\\HAS BLANK") +
         Function(kPlugins, "Acme.Tools\\ABCDEFGHIJKLMNOPQRSTUVWXYZ01234"));  // 31 characters

  const auto& providers = Providers(true);
  ASSERT_EQ(2u, providers.size());
  const ClientFunctionProvider& acme = *providers[0];
  EXPECT_EQ(u"Acme.Tools", acme.name);
  EXPECT_EQ(u"ACME_ROOT", acme.rootFunctionId);
  ASSERT_EQ((std::vector<std::u16string>{u"ACME_GROUP", u"ACME_ITEM", u"ACME_ROOT"}), Ids(acme));
  EXPECT_EQ(kClientFunctionGroup, acme.definitions[0]->type);
  EXPECT_EQ(kClientFunctionItem, acme.definitions[1]->type);  // no "FunctionType": an item
  EXPECT_EQ(u"ACME_GROUP", acme.definitions[1]->container);
  EXPECT_EQ(kClientFunctionRoot, acme.definitions[2]->type);
  EXPECT_EQ(kBuiltInProviderName, providers[1]->name);

  // The missing zvtoptrs.dll is not reported; the 31-character key is
  // skipped without a message.
  EXPECT_EQ((std::vector<std::string>{
                "The key NoDotProvider below the client-defined functions was ignored: a "
                "provider name must contain a period.",
                "The key BAD-KEY of provider Acme.Tools is not a valid function ID. It was "
                "ignored.",
                "The key HAS BLANK of provider Acme.Tools is not a valid function ID. It was "
                "ignored."}),
            Messages());
  auto entries = Entries();
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(2u, entries[0].message_class);
  EXPECT_EQ("ZENTA client", entries[0].source);
  EXPECT_EQ("Application Administration", entries[0].component);

  // The list is read once: later declarations are not seen.
  Import(Function(kPlugins, "Acme.Tools\\LATE_ITEM"));
  EXPECT_EQ(3u, Providers(true)[0]->definitions.size());
}

TEST_F(ClientFunctionsTest, EveryValueOfADefinitionIsChecked) {
  const char* p = kNonPlugins;
  Import(
      Provider(p, "Acme.Values") +
      Function(p, "Acme.Values\\ROOT", "\"FunctionType\"=dword:00000002\n") +
      Function(p, "Acme.Values\\ITEM", "\"SeqNum\"=dword:00000007\n") +
      Function(p, "Acme.Values\\TYPE3", "\"FunctionType\"=dword:00000003\n") +
      Key(p, "Acme.Values\\NOTEXTS") + "\n" +
      Function(p, "Acme.Values\\WRONGTYPE", "\"FuncBmpID\"=\"1\"\n\"SeqNum\"=hex:01,02\n") +
      // Values too large for their buffer read as missing, except for a
      // description that is not a number at all.
      Function(p, "Acme.Values\\UNREADABLE",
               "\"OpenBmpID\"=hex:01,02,03,04,05\n\"SeqNum\"=hex(4):01,02,03,04,05\n") +
      Key(p, "Acme.Values\\DESCBIN") +
      "\"FuncNameID\"=dword:00000001\n\"FuncDescID\"=hex:01,02,03,04,05\n\n" +
      Function(p, "Acme.Values\\LONGCONT", "\"Container\"=\"ABCDEFGHIJKLMNOPQRSTUVWXYZ01234\"\n") +
      Function(p, "Acme.Values\\BADCONT", "\"Container\"=\"not-an-id\"\n") +
      Function(p, "Acme.Values\\BINCONT", "\"Container\"=hex:41,00\n"));

  const auto& providers = Providers(false);
  ASSERT_EQ(1u, providers.size());
  const ClientFunctionProvider& values = *providers[0];
  // A container too long for its buffer reads as none; the rest are dropped.
  ASSERT_EQ((std::vector<std::u16string>{u"ITEM", u"LONGCONT", u"ROOT", u"UNREADABLE"}),
            Ids(values));
  EXPECT_EQ(7u, values.definitions[0]->sequenceNumber);
  EXPECT_EQ(u"", values.definitions[1]->container);
  EXPECT_EQ(0u, values.definitions[3]->sequenceNumber);
  EXPECT_EQ(u"ROOT", values.rootFunctionId);

  EXPECT_EQ(
      (std::vector<std::string>{
          "The value Container of function BADCONT of provider Acme.Values is not a valid "
          "function ID. The function was ignored.",
          "The value FuncDescID of function DESCBIN of provider Acme.Values has the wrong type. "
          "The function was ignored.",
          "The value FuncDescID of function NOTEXTS of provider Acme.Values is missing. The "
          "function was ignored.",
          "The value FuncNameID of function NOTEXTS of provider Acme.Values is missing. The "
          "function was ignored.",
          "Function TYPE3 of provider Acme.Values has a function type other than 0 (item), 1 "
          "(group) or 2 (root). The function was ignored.",
          "The value FuncBmpID of function WRONGTYPE of provider Acme.Values has the wrong type. "
          "The function was ignored.",
          "The value SeqNum of function WRONGTYPE of provider Acme.Values has the wrong type. The "
          "function was ignored."}),
      Messages());
}

TEST_F(ClientFunctionsTest, ProvidersThatCannotStandAreDropped) {
  const char* p = kPlugins;
  const std::string root = "\"FunctionType\"=dword:00000002\n";
  const std::string group = "\"FunctionType\"=dword:00000001\n";
  Import(Provider(p, "Acme.Cycle") + Function(p, "Acme.Cycle\\R", root) +
         Function(p, "Acme.Cycle\\I") +
         Function(p, "Acme.Cycle\\GA", group + "\"Container\"=\"GB\"\n") +
         Function(p, "Acme.Cycle\\GB", group + "\"Container\"=\"GA\"\n") +
         Provider(p, "Acme.Empty") +  //
         Provider(p, "Acme.NoItem") + Function(p, "Acme.NoItem\\R", root) +
         Function(p, "Acme.NoItem\\G", group) +                        //
         Provider(p, "Acme.NoRoot") + Function(p, "Acme.NoRoot\\I") +  //
         Provider(p, "Acme.TwoRoots") + Function(p, "Acme.TwoRoots\\R1", root) +
         Function(p, "Acme.TwoRoots\\R2", root) + Function(p, "Acme.TwoRoots\\I") +
         // A root rejected for its sequence number still counts as the root.
         Provider(p, "Acme.BadRoot") + Function(p, "Acme.BadRoot\\R", root + "\"SeqNum\"=\"1\"\n") +
         Function(p, "Acme.BadRoot\\I"));

  const auto& providers = Providers(true);
  ASSERT_EQ(2u, providers.size());
  EXPECT_EQ(u"Acme.BadRoot", providers[0]->name);
  EXPECT_EQ(u"R", providers[0]->rootFunctionId);
  EXPECT_EQ((std::vector<std::u16string>{u"I"}), Ids(*providers[0]));
  EXPECT_EQ(kBuiltInProviderName, providers[1]->name);

  // Providers are read from the last to the first (Acme.BadRoot, first in
  // the registry, comes last); each definition that meets the cycle reports it.
  EXPECT_EQ((std::vector<std::string>{
                "Provider Acme.TwoRoots declares more than one root function. Its functions "
                "were ignored.",
                "Provider Acme.NoRoot declares no root function. Its functions were ignored.",
                "Provider Acme.NoItem declares no administrable function. Its functions were "
                "ignored.",
                "Provider Acme.Empty declares no root function. Its functions were ignored.",
                "Provider Acme.Empty declares no administrable function. Its functions were "
                "ignored.",
                "The containers of the functions of provider Acme.Cycle form a cycle. Its "
                "functions were ignored.",
                "The containers of the functions of provider Acme.Cycle form a cycle. Its "
                "functions were ignored.",
                "The value SeqNum of function R of provider Acme.BadRoot has the wrong type. The "
                "function was ignored."}),
            Messages());
}

TEST_F(ClientFunctionsTest, ParentsAreCheckedAsTheListRequires) {
  for (const char* p : {kPlugins, kNonPlugins}) {
    Import(Provider(p, "Acme.Parents") +
           Function(p, "Acme.Parents\\ROOT", "\"FunctionType\"=dword:00000002\n") +
           Function(p, "Acme.Parents\\HOSTCHILD", "\"Container\"=\"HOST_GROUP\"\n") +
           Function(p, "Acme.Parents\\UNDERITEM", "\"Container\"=\"HOSTCHILD\"\n"));
  }
  // In the plug-in list a parent outside the provider may be any function;
  // a parent inside it must be a group.
  ASSERT_EQ(2u, Providers(true).size());
  EXPECT_EQ((std::vector<std::u16string>{u"HOSTCHILD", u"ROOT"}), Ids(*Providers(true)[0]));
  std::vector<std::string> plugin_messages = Messages();
  EXPECT_EQ((std::vector<std::string>{
                "The container HOSTCHILD of function UNDERITEM of provider Acme.Parents is not a "
                "group. The function was ignored."}),
            plugin_messages);

  ASSERT_EQ(1u, Providers(false).size());
  EXPECT_EQ((std::vector<std::u16string>{u"ROOT"}), Ids(*Providers(false)[0]));
  std::vector<std::string> all = Messages();
  ASSERT_EQ(3u, all.size());
  EXPECT_EQ(
      "The container HOSTCHILD of function UNDERITEM of provider Acme.Parents is not a group. "
      "The function was ignored.",
      all[1]);
  EXPECT_EQ(
      "The container HOST_GROUP of function HOSTCHILD of provider Acme.Parents is not declared "
      "by the provider. The function was ignored.",
      all[2]);
}

TEST_F(ClientFunctionsTest, WithoutDeclarationsThePluginListHoldsTheConsoleOnly) {
  EXPECT_TRUE(Providers(false).empty());
  const auto& providers = Providers(true);
  ASSERT_EQ(1u, providers.size());
  const ClientFunctionProvider& console = *providers[0];
  EXPECT_EQ(u"VYN.TarvoZENTA_CONSOLE", console.name);
  EXPECT_EQ(u"zvtadmrs.dll", console.resourceLibrary);
  EXPECT_EQ(u"", console.resourceDirectory);
  EXPECT_EQ(u"QVYN_XD1_ZENTA", console.rootFunctionId);
  ASSERT_EQ(69u, console.definitions.size());
  EXPECT_EQ(u"QVYN_XD1_ZENTA", console.definitions[0]->functionId);
  EXPECT_EQ(kClientFunctionRoot, console.definitions[0]->type);

  int groups = 0, top_groups = 0, items = 0, top_items = 0;
  std::unordered_set<std::u16string> seen, group_ids;
  for (size_t i = 0; i < console.definitions.size(); ++i) {
    const ClientFunctionDefinition& d = *console.definitions[i];
    EXPECT_EQ(i + 1, d.sequenceNumber);
    EXPECT_TRUE(isValidFunctionId(d.functionId))
        << std::string(d.functionId.begin(), d.functionId.end());
    EXPECT_TRUE(d.functionId.rfind(u"QVYN_XD1_ZENTA", 0) == 0 ||
                d.functionId.rfind(u"QVYN_XE1_ZENTA", 0) == 0);
    EXPECT_TRUE(seen.insert(d.functionId).second);
    // Every parent is a group of the table, declared before its children.
    if (!d.container.empty()) {
      EXPECT_EQ(1u, group_ids.count(d.container));
    }
    if (d.type == kClientFunctionGroup) {
      ++groups;
      top_groups += d.container.empty();
      group_ids.insert(d.functionId);
    } else if (d.type == kClientFunctionItem) {
      ++items;
      top_items += d.container.empty();
    }
  }
  EXPECT_EQ(9, groups);
  EXPECT_EQ(8, top_groups);
  EXPECT_EQ(59, items);
  EXPECT_EQ(7, top_items);
  EXPECT_TRUE(Messages().empty());
}

}  // namespace
}  // namespace zvt
