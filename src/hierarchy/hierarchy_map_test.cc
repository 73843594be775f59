// The function hierarchy of a reload: client-defined and host functions
// merged, the host part saved in the "Hierarchy" key and read back from it.
#include <gtest/gtest.h>

#include <algorithm>

#include "cache/registry_cache.h"
#include "cache/registry_layout.h"
#include "services/scoped_key.h"
#include "testing/host_setting.h"

namespace zvt {
namespace {

using Children = std::vector<std::u16string>;

class HierarchyMapTest : public testing::HostSettingTest {
 protected:
  void SetUp() override {
    HostSettingTest::SetUp();
    env_->Import(std::string("[") + testing::kPlugins +
                 "\\Acme.Plug]\n\"AIMRIDLL\"=\"zvtoptrs.dll\"\n\n" +
                 Definition(testing::kPlugins, "Acme.Plug\\PLUG_ROOT", 2) +
                 Definition(testing::kPlugins, "Acme.Plug\\PLUGITEM", 0) + "[" +
                 testing::kNonPlugins + "\\Acme.Own]\n\"AIMRIDLL\"=\"zvtoptrs.dll\"\n\n" +
                 Definition(testing::kNonPlugins, "Acme.Own\\OWN_ROOT", 2) +
                 Definition(testing::kNonPlugins, "Acme.Own\\OWNITEM", 0));
  }
  static std::string Definition(const char* list, const std::string& path, int type) {
    return "[" + std::string(list) + "\\" + path +
           "]\n\"FuncNameID\"=dword:00000001\n\"FuncDescID\"=dword:00000002\n"
           "\"FunctionType\"=dword:0000000" +
           std::to_string(type) + "\n\n";
  }
  // A product root with nested groups, an empty group and items, and host
  // functions of the console's category.
  void AddHostFunctions() {
    HostFunction("PROD", "1", "PROD");
    HostFunction("G1", "2", "PROD");
    HostFunction("G2", "2", "PROD", "G1");
    HostFunction("G3", "2", "PROD", "PROD");
    HostFunction("A", "3", "PROD", "G2");
    HostFunction("B", "3", "PROD", "G2");
    HostFunction("C", "3", "PROD", "G1");
    HostFunction("D", "3", "PROD");
    HostFunction("QVYN_XD1_ZENTA", "1", "QVYN_XD1_ZENTA", "*NONE", "1");
    HostFunction("X1", "2", "OTHER", "*NONE", "1");  // placed under the console root
    HostFunction("X1A", "3", "OTHER", "X1", "1");
    HostFunction("QVYN_XD1_ZENTA_RUNCMD", "3", "QVYN_XD1_ZENTA", "*NONE", "1");
    HostFunction("HOSTITEM", "3", "QVYN_XD1_ZENTA", "*NONE", "1");
    HostFunction("X2", "2", "OTHER", "*NONE", "2");  // its own root is not a host root
  }
  uint32_t Build(HierarchyMap* map, uint32_t reuse) {
    return CRegistryCache::buildHierMap(map, u"SYS1", u"JOE", reuse, &joe_);
  }
  std::u16string Saved(const char16_t* name, DWORD* type = nullptr) {
    ScopedKey key(&env_->store_);
    std::u16string path = std::u16string(kHostValsKey) + u"\\SYS1\\Hierarchy";
    if (env_->store_.OpenRegKeyEx(kHKeyCurrentUser, path.c_str(), 0, kKeyRead, key.Receive()) !=
        kErrorSuccess)
      return u"<no key>";
    char16_t data[256] = {};
    DWORD size = sizeof data - 2, t = 0;
    if (env_->store_.RegQueryValueExW(key.get(), name, nullptr, &t, reinterpret_cast<BYTE*>(data),
                                      &size) != kErrorSuccess)
      return u"<none>";
    if (type != nullptr) *type = t;
    EXPECT_EQ(0, data[size / 2 - 1]);  // one terminating NUL, counted in the size
    return std::u16string(data, size / 2 - 1);
  }
  void PutSaved(const std::u16string& name, DWORD type, const std::u16string& text,
                size_t bytes = 0) {
    ScopedKey key(&env_->store_);
    std::u16string path = std::u16string(kHostValsKey) + u"\\SYS1\\Hierarchy";
    ASSERT_EQ(kErrorSuccess,
              env_->store_.CreateRegKeyEx(kHKeyCurrentUser, path.c_str(), 0, nullptr, 0,
                                          kKeyAllAccess, nullptr, key.Receive(), nullptr));
    std::u16string data = text;
    data.push_back(u'\0');
    if (bytes == 0) bytes = data.size() * 2;
    // One character more than is written: Windows would count a NUL that
    // follows unterminated string data as part of it.
    data.resize((bytes + 1) / 2 + 1, u'x');
    ASSERT_EQ(kErrorSuccess, env_->store_.RegSetValueExW(key.get(), name.c_str(), 0, type,
                                                         reinterpret_cast<const BYTE*>(data.data()),
                                                         static_cast<DWORD>(bytes)));
  }
  static size_t Count(const Children& c, const std::u16string& id) {
    return std::count(c.begin(), c.end(), id);
  }
};

TEST_F(HierarchyMapTest, HostBuildMergesWithTheDeclarationsAndIsSaved) {
  AddHostFunctions();
  HierarchyMap map;
  EXPECT_EQ(0u, Build(&map, 0));
  closeRegKeys();

  // Host roots and groups all have entries; only items are attached.
  EXPECT_EQ((Children{u"D"}), map.ChildrenOf(u"PROD"));
  EXPECT_EQ((Children{u"C"}), map.ChildrenOf(u"G1"));
  EXPECT_EQ((Children{u"A", u"B"}), map.ChildrenOf(u"G2"));
  EXPECT_EQ(Children{}, map.ChildrenOf(u"G3"));
  EXPECT_EQ((Children{u"X1A"}), map.ChildrenOf(u"X1"));
  EXPECT_EQ(0u, map.count(u"A"));
  // Declared items: under the console root (plug-in) or the provider's root.
  EXPECT_EQ((Children{u"OWNITEM"}), map.ChildrenOf(u"OWN_ROOT"));
  EXPECT_EQ(Children{}, map.ChildrenOf(u"PLUG_ROOT"));
  const Children console = map.ChildrenOf(u"QVYN_XD1_ZENTA");
  ASSERT_FALSE(console.empty());
  EXPECT_EQ(u"PLUGITEM", console.front());
  EXPECT_EQ(u"HOSTITEM", console.back());  // a host item joins the declared root's list
  EXPECT_EQ(1u, Count(console, u"QVYN_XD1_ZENTA_RUNCMD"));  // declared: not attached again
  EXPECT_EQ(0u, Count(console, u"X1"));
  EXPECT_EQ(1u, Count(map.ChildrenOf(u"QVYN_XE1_ZENTA_NET"), u"QVYN_XE1_ZENTA_NETSRV"));

  // The host part as saved: every host parent with children, in host order.
  DWORD type = 0;
  EXPECT_EQ(u"G1,G3,D", Saved(u"PROD", &type));
  EXPECT_EQ(kRegSz, type);
  EXPECT_EQ(u"G2,C", Saved(u"G1"));
  EXPECT_EQ(u"A,B", Saved(u"G2"));
  EXPECT_EQ(u"X1A", Saved(u"X1"));
  EXPECT_EQ(u"X1,QVYN_XD1_ZENTA_RUNCMD,HOSTITEM", Saved(u"QVYN_XD1_ZENTA"));
  EXPECT_EQ(u"<none>", Saved(u"G3"));
  // X2's root is no host root: it is not attached, and says so.
  EXPECT_TRUE(HasRecord("CRegistryCache::getTarvoAIValues -> AI Error-No Parent"));
  EXPECT_EQ(1u, server()->calls_of("KLIB/KRFNLST"));

  // Read back: a group with children of its own is not a child; one without
  // stands in its parent's list like an item.
  HierarchyMap again;
  EXPECT_EQ(0u, Build(&again, 1));
  EXPECT_EQ(1u, server()->calls_of("KLIB/KRFNLST"));
  EXPECT_EQ((Children{u"G3", u"D"}), again.ChildrenOf(u"PROD"));
  EXPECT_EQ((Children{u"C"}), again.ChildrenOf(u"G1"));
  EXPECT_EQ((Children{u"A", u"B"}), again.ChildrenOf(u"G2"));
  EXPECT_EQ(0u, again.count(u"G3"));
  EXPECT_EQ(u"HOSTITEM", again.ChildrenOf(u"QVYN_XD1_ZENTA").back());
  EXPECT_EQ(1u, Count(again.ChildrenOf(u"QVYN_XD1_ZENTA"), u"QVYN_XD1_ZENTA_RUNCMD"));
  closeRegKeys();

  // A saved copy with fewer parents than the host's list gave it (one lost,
  // or grown past what is read) is not used: the host's list takes its place.
  {
    ScopedKey key(&env_->store_);
    std::u16string path = std::u16string(kHostValsKey) + u"\\SYS1\\Hierarchy";
    ASSERT_EQ(kErrorSuccess, env_->store_.OpenRegKeyEx(kHKeyCurrentUser, path.c_str(), 0,
                                                       kKeyAllAccess, key.Receive()));
    ASSERT_EQ(kErrorSuccess, env_->store_.RegDeleteValueW(key.get(), u"G2"));
  }
  HierarchyMap partial;
  EXPECT_EQ(0u, Build(&partial, 1));
  EXPECT_EQ(2u, server()->calls_of("KLIB/KRFNLST"));
  EXPECT_EQ((Children{u"A", u"B"}), partial.ChildrenOf(u"G2"));
  EXPECT_TRUE(HasRecord("CRegistryCache::getTarvoAIValues -> Hier key holds fewer parents"));
  EXPECT_EQ(u"A,B", Saved(u"G2"));  // saved again
}

TEST_F(HierarchyMapTest, SavedValuesAreReadByTheirRules) {
  PutSaved(u"COMMAS", kRegSz, u",A1,,B1,");
  PutSaved(u"EMPTY", kRegSz, u"");
  PutSaved(u"ABCDEFGHIJKLMNOPQRSTUVWXYZ01234", kRegSz, u"C1");   // 31 characters
  PutSaved(u"ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", kRegSz, u"Z1");  // 32
  PutSaved(u"#HASH", kRegSz, u"Z2");
  PutSaved(u"EXPAND", kRegExpandSz, u"Z3");
  PutSaved(u"MULTI", kRegMultiSz, u"Z4");
  PutSaved(u"BIG", kRegSz, u"Z5", 8194);
  PutSaved(u"FITS", kRegSz, u"F1 ,f2", 8192);  // no trimming, no change of case

  HierarchyMap map;
  EXPECT_EQ(0u, Build(&map, 1));
  EXPECT_EQ(0u, server()->calls_of("KLIB/KRFNLST"));
  EXPECT_EQ((Children{u"A1", u"B1"}), map.ChildrenOf(u"COMMAS"));
  EXPECT_EQ(1u, map.count(u"EMPTY"));
  EXPECT_EQ(Children{}, map.ChildrenOf(u"EMPTY"));
  EXPECT_EQ((Children{u"C1"}), map.ChildrenOf(u"ABCDEFGHIJKLMNOPQRSTUVWXYZ01234"));
  for (const char16_t* skipped :
       {u"ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", u"#HASH", u"EXPAND", u"MULTI", u"BIG"})
    EXPECT_EQ(0u, map.count(skipped));
  ASSERT_EQ(1u, map.count(u"FITS"));
  ASSERT_EQ(2u, map.ChildrenOf(u"FITS").size());
  EXPECT_EQ(u"F1 ", map.ChildrenOf(u"FITS")[0]);
  EXPECT_EQ(u'f', map.ChildrenOf(u"FITS")[1][0]);
}

TEST_F(HierarchyMapTest, WithoutTheHostPartTheMapHoldsTheDeclarationsOnly) {
  AddHostFunctions();
  HierarchyMap declared;
  {
    KnownSet known;
    for (uint32_t pass = 0; pass < 2; ++pass) {
      CRegistryCache::loadHierMap(&declared, &known, getClientFunctionList(false), pass);
      CRegistryCache::loadHierMap(&declared, &known, getClientFunctionList(true), pass);
    }
  }

  // A saved copy that cannot be read is not used: the map is the host's.
  HierarchyMap from_host;
  EXPECT_EQ(0u, Build(&from_host, 0));
  closeRegKeys();
  env_->registry_.FailCall(testing::RegCall::kCreateKey, 1, kErrorAccessDenied);
  HierarchyMap map;
  EXPECT_EQ(0u, Build(&map, 1));
  closeRegKeys();
  EXPECT_EQ(from_host, map);
  EXPECT_TRUE(HasRecord("CRegistryCache::getTarvoAIValues -> Open Hier key failed - Hier load"));

  // The function list fails: the host error is shown, only the declarations are left.
  server()->Stop();
  HierarchyMap failed;
  EXPECT_EQ(1u, Build(&failed, 0));
  closeRegKeys();
  EXPECT_EQ(declared, failed);
  EXPECT_EQ(1u, display_.texts.size());
  EXPECT_TRUE(HasRecord("CRegistryCache::getTarvoAIValues -> getFuncList failed"));
}

}  // namespace
}  // namespace zvt
