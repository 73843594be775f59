// The registry stand-in against the Win32 rules its callers depend on.
#include "platform/posix_registry.h"

#include <gtest/gtest.h>

#include <fstream>
#include <vector>

#include "services/scoped_key.h"
#include "services/services.h"
#include "testing/fault_injection.h"
#include "testing/temp_dir.h"

namespace zvt::platform {
namespace {

class RegistryTest : public ::testing::Test {
 protected:
  RegistryTest() { Reopen(); }

  // The stores' places; a second registry on them stands for another process.
  RegistryPaths Paths() const {
    RegistryPaths paths;
    paths.user_store = dir_.File("user/registry.db");
    paths.classes_store = dir_.File("machine/classes.db");
    return paths;
  }

  void Reopen() { reg_ = std::make_unique<PosixRegistry>(Paths()); }

  // The first byte of the value `name` of the key at `path`, as `registry`
  // reads it; -1 when either is missing.
  static int ValueIn(PosixRegistry* registry, const std::u16string& path, const char16_t* name) {
    ScopedKey key(registry);
    BYTE data[4] = {};
    DWORD size = sizeof data;
    if (registry->OpenRegKeyEx(kHKeyCurrentUser, path.c_str(), 0, kKeyRead, key.Receive()) !=
            kErrorSuccess ||
        registry->RegQueryValueExW(key.get(), name, nullptr, nullptr, data, &size) != kErrorSuccess)
      return -1;
    return static_cast<int>(data[0]);
  }

  HKEY Create(HKEY parent, const char16_t* path) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    EXPECT_EQ(kErrorSuccess, reg_->CreateRegKeyEx(parent, path, 0, nullptr, 0, kKeyAllAccess,
                                                  nullptr, &key, &disposition));
    return key;
  }

  LONG Open(HKEY parent, const char16_t* path, HKEY* key, REGSAM access = kKeyAllAccess) {
    return reg_->OpenRegKeyEx(parent, path, 0, access, key);
  }

  LONG SetBinary(HKEY key, const char16_t* name, std::vector<BYTE> data) {
    return reg_->RegSetValueExW(key, name, 0, kRegBinary, data.data(),
                                static_cast<DWORD>(data.size()));
  }

  std::vector<std::u16string> SubkeyNames(HKEY key) {
    std::vector<std::u16string> names;
    for (DWORD i = 0;; ++i) {
      char16_t name[257];
      DWORD chars = 257;
      LONG rc = reg_->RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
      if (rc != kErrorSuccess) {
        EXPECT_EQ(kErrorNoMoreItems, rc);
        break;
      }
      names.emplace_back(name, chars);
    }
    return names;
  }

  // Writes the one-byte value `name` into the key at `path` through a
  // second connection to the same stores, as another process would.
  void SetThroughAnotherConnection(const char16_t* path, const char16_t* name) {
    RegistryPaths paths;
    paths.user_store = dir_.File("user/registry.db");
    paths.classes_store = dir_.File("machine/classes.db");
    PosixRegistry other(paths);
    HKEY theirs = nullptr;
    ASSERT_EQ(kErrorSuccess, other.OpenRegKeyEx(kHKeyCurrentUser, path, 0, kKeyAllAccess, &theirs));
    const BYTE one = 1;
    ASSERT_EQ(kErrorSuccess, other.RegSetValueExW(theirs, name, 0, kRegBinary, &one, 1));
    other.RegCloseKey(theirs);
  }

  std::vector<std::u16string> ValueNames(HKEY key) {
    std::vector<std::u16string> names;
    for (DWORD i = 0;; ++i) {
      char16_t name[64];
      DWORD chars = 64;
      LONG rc = reg_->RegEnumValueW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
      if (rc != kErrorSuccess) {
        EXPECT_EQ(kErrorNoMoreItems, rc);
        break;
      }
      names.emplace_back(name, chars);
    }
    return names;
  }

  zvt::testing::TempDir dir_;
  std::unique_ptr<PosixRegistry> reg_;
};

TEST_F(RegistryTest, NamesCompareIgnoringCaseAndKeepTheirCase) {
  ScopedKey created(reg_.get(), Create(kHKeyCurrentUser, u"Application_Administration\\HostVals"));
  DWORD disposition = 0;
  HKEY again = nullptr;
  ASSERT_EQ(kErrorSuccess,
            reg_->CreateRegKeyEx(kHKeyCurrentUser, u"APPLICATION_ADMINISTRATION\\hostvals", 0,
                                 nullptr, 0, kKeyAllAccess, nullptr, &again, &disposition));
  ScopedKey again_key(reg_.get(), again);
  EXPECT_EQ(kRegOpenedExistingKey, disposition);

  ScopedKey opened(reg_.get());
  ASSERT_EQ(kErrorSuccess,
            Open(kHKeyCurrentUser, u"application_administration\\hostvals", opened.Receive()));
  ASSERT_EQ(kErrorSuccess, SetBinary(opened.get(), u"##RepTS", {1, 2, 3, 4, 5, 6, 7, 8}));
  BYTE data[8];
  DWORD size = sizeof data;
  DWORD type = 0;
  EXPECT_EQ(kErrorSuccess,
            reg_->RegQueryValueExW(created.get(), u"##repts", nullptr, &type, data, &size));
  EXPECT_EQ(kRegBinary, type);
  EXPECT_EQ(8u, size);

  // The registry service resolves HKEY_CURRENT_USER below the client's root,
  // and the names there keep the case they were created with.
  ScopedKey root(reg_.get());
  ASSERT_EQ(kErrorSuccess, Open(kHKeyCurrentUser, u"", root.Receive()));
  EXPECT_EQ(std::vector<std::u16string>{u"Application_Administration"}, SubkeyNames(root.get()));
  EXPECT_EQ(std::vector<std::u16string>{u"##RepTS"}, ValueNames(opened.get()));
}

TEST_F(RegistryTest, QueryFollowsBufferSizeRules) {
  ScopedKey key(reg_.get(), Create(kHKeyCurrentUser, u"Sizes"));
  ASSERT_EQ(kErrorSuccess, SetBinary(key.get(), u"nine", {1, 2, 3, 4, 5, 6, 7, 8, 9}));

  BYTE data[8] = {};
  DWORD size = sizeof data;
  DWORD type = 0;
  EXPECT_EQ(kErrorMoreData,
            reg_->RegQueryValueExW(key.get(), u"nine", nullptr, &type, data, &size));
  EXPECT_EQ(9u, size);
  EXPECT_EQ(kRegBinary, type);

  size = 0;  // no buffer: asks for the size
  EXPECT_EQ(kErrorSuccess,
            reg_->RegQueryValueExW(key.get(), u"nine", nullptr, nullptr, nullptr, &size));
  EXPECT_EQ(9u, size);

  EXPECT_EQ(kErrorInvalidParameter,
            reg_->RegQueryValueExW(key.get(), u"nine", nullptr, nullptr, data, nullptr));
  EXPECT_EQ(kErrorFileNotFound,
            reg_->RegQueryValueExW(key.get(), u"absent", nullptr, nullptr, data, &size));

  // Empty data and the unnamed default value are values like any other.
  ASSERT_EQ(kErrorSuccess, reg_->RegSetValueExW(key.get(), nullptr, 0, kRegSz, nullptr, 0));
  size = sizeof data;
  EXPECT_EQ(kErrorSuccess, reg_->RegQueryValueExW(key.get(), u"", nullptr, &type, data, &size));
  EXPECT_EQ(0u, size);
  EXPECT_EQ(kRegSz, type);
}

TEST_F(RegistryTest, EnumerationOrdersAndEnds) {
  ScopedKey key(reg_.get(), Create(kHKeyCurrentUser, u"Order"));
  for (const char16_t* name : {u"beta", u"Alpha_", u"ALPHA", u"alphaZ", u"Gamma"})
    ScopedKey child(reg_.get(), Create(key.get(), name));
  // Upper-case folding puts "_" (0x5F) after "Z" (0x5A).
  EXPECT_EQ((std::vector<std::u16string>{u"ALPHA", u"alphaZ", u"Alpha_", u"beta", u"Gamma"}),
            SubkeyNames(key.get()));

  for (const char16_t* name : {u"z", u"a", u"m"})
    ASSERT_EQ(kErrorSuccess, SetBinary(key.get(), name, {1}));
  ASSERT_EQ(kErrorSuccess, SetBinary(key.get(), u"A", {2, 2}));  // rewrite keeps the place
  EXPECT_EQ((std::vector<std::u16string>{u"z", u"a", u"m"}), ValueNames(key.get()));

  // A name that does not fit is ERROR_MORE_DATA, and the index can be retried.
  char16_t small[3];
  DWORD chars = 3;
  EXPECT_EQ(kErrorMoreData,
            reg_->RegEnumKeyExW(key.get(), 1, small, &chars, nullptr, nullptr, nullptr, nullptr));
  char16_t name[16];
  chars = 16;
  EXPECT_EQ(kErrorSuccess,
            reg_->RegEnumKeyExW(key.get(), 1, name, &chars, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(u"alphaZ", std::u16string(name, chars));

  // Indexes keep their meaning when keys go away between calls: deleting
  // index 0 each time empties the key.
  for (int i = 0; i < 5; ++i) {
    chars = 16;
    ASSERT_EQ(kErrorSuccess,
              reg_->RegEnumKeyExW(key.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr));
    ASSERT_EQ(kErrorSuccess, reg_->DeleteRegKey(key.get(), name));
  }
  chars = 16;
  EXPECT_EQ(kErrorNoMoreItems,
            reg_->RegEnumKeyExW(key.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr));
}

TEST_F(RegistryTest, EnumerationSkipsAsWindowsDoesWhenDeletingForward) {
  ScopedKey key(reg_.get(), Create(kHKeyCurrentUser, u"Skip"));
  for (const char16_t* name : {u"a", u"b", u"c"})
    ScopedKey child(reg_.get(), Create(key.get(), name));
  char16_t name[8];
  DWORD chars = 8;
  ASSERT_EQ(kErrorSuccess,
            reg_->RegEnumKeyExW(key.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr));
  ASSERT_EQ(kErrorSuccess, reg_->DeleteRegKey(key.get(), name));
  chars = 8;
  ASSERT_EQ(kErrorSuccess,
            reg_->RegEnumKeyExW(key.get(), 1, name, &chars, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(u"c", std::u16string(name, chars));  // index 1 of what is left
}

// Value enumeration reads runs of values ahead; none of that may show.
TEST_F(RegistryTest, ValueEnumerationReadingAheadKeepsTheWin32Meaning) {
  ScopedKey key(reg_.get(), Create(kHKeyCurrentUser, u"Ahead"));
  std::vector<std::u16string> expected;
  for (int i = 0; i < 700; ++i) {
    expected.push_back(u"v" + std::u16string(1, u'A' + i % 26) + std::u16string(1, u'a' + i / 26));
    ASSERT_EQ(kErrorSuccess, SetBinary(key.get(), expected.back().c_str(), {BYTE(i)}));
  }
  EXPECT_EQ(expected, ValueNames(key.get()));

  // Data too large for the caller's buffer: ERROR_MORE_DATA, same index again.
  ASSERT_EQ(kErrorSuccess, SetBinary(key.get(), u"vBa", std::vector<BYTE>(300, 7)));
  char16_t name[64];
  DWORD chars = 64, size = 16;
  BYTE data[300];
  EXPECT_EQ(kErrorMoreData,
            reg_->RegEnumValueW(key.get(), 1, name, &chars, nullptr, nullptr, data, &size));
  EXPECT_EQ(300u, size);
  chars = 64;
  EXPECT_EQ(kErrorSuccess,
            reg_->RegEnumValueW(key.get(), 1, name, &chars, nullptr, nullptr, data, &size));
  EXPECT_EQ(u"vBa", std::u16string(name, chars));

  // This process's own changes show at once: deleting index 0 each time
  // walks the whole key.
  for (size_t i = 0; i < expected.size(); ++i) {
    chars = 64;
    ASSERT_EQ(kErrorSuccess,
              reg_->RegEnumValueW(key.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr));
    ASSERT_EQ(expected[i], std::u16string(name, chars));
    ASSERT_EQ(kErrorSuccess, reg_->RegDeleteValueW(key.get(), name));
  }
  chars = 64;
  EXPECT_EQ(kErrorNoMoreItems,
            reg_->RegEnumValueW(key.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr));

  // Another connection's value appears in the same enumeration, at the latest
  // when the run read ahead ends; large values cut the runs short.
  for (int i = 0; i < 40; ++i)
    ASSERT_EQ(
        kErrorSuccess,
        SetBinary(
            key.get(),
            (u"big" + std::u16string(1, u'0' + i / 10) + std::u16string(1, u'0' + i % 10)).c_str(),
            std::vector<BYTE>(64 * 1024, BYTE(i))));
  std::vector<std::u16string> seen;
  for (DWORD i = 0;; ++i) {
    chars = 64;
    LONG rc = reg_->RegEnumValueW(key.get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (rc != kErrorSuccess) {
      EXPECT_EQ(kErrorNoMoreItems, rc);
      break;
    }
    seen.emplace_back(name, chars);
    if (i == 0) SetThroughAnotherConnection(u"Ahead", u"late");
  }
  ASSERT_EQ(41u, seen.size());
  EXPECT_EQ(u"big00", seen.front());
  EXPECT_EQ(u"late", seen.back());
}

// A key small enough to be held whole when it is opened is enumerated from
// what was checked; its end lets the rows go, and a new enumeration reads
// the store, with what another connection wrote meanwhile.
TEST_F(RegistryTest, AKeyHeldWholeWhenOpenedIsEnumeratedThenLetGo) {
  {
    ScopedKey key(reg_.get(), Create(kHKeyCurrentUser, u"Whole"));
    for (const char16_t* name : {u"a", u"b", u"c"})
      ASSERT_EQ(kErrorSuccess, SetBinary(key.get(), name, std::vector<BYTE>(20, 1)));
  }
  HKEY opened = nullptr;
  ASSERT_EQ(kErrorSuccess,
            reg_->OpenRegKeyEx(kHKeyCurrentUser, u"Whole", 0, kKeyAllAccess, &opened));
  ScopedKey key(reg_.get(), opened);

  SetThroughAnotherConnection(u"Whole", u"late");

  // Too small a data buffer: ERROR_MORE_DATA with the size, the same index again.
  char16_t name[8];
  DWORD chars = 8, size = 4;
  BYTE data[20];
  EXPECT_EQ(kErrorMoreData,
            reg_->RegEnumValueW(key.get(), 1, name, &chars, nullptr, nullptr, data, &size));
  EXPECT_EQ(20u, size);
  chars = 1;
  EXPECT_EQ(kErrorMoreData,
            reg_->RegEnumValueW(key.get(), 1, name, &chars, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ((std::vector<std::u16string>{u"a", u"b", u"c"}), ValueNames(key.get()));
  EXPECT_EQ((std::vector<std::u16string>{u"a", u"b", u"c", u"late"}), ValueNames(key.get()));
}

TEST_F(RegistryTest, ValuesOfEveryShapeAreEnumeratedAsWrittenHeldOrReadInRuns) {
  // Names of 0 to 40 characters, data of 0 to 700 bytes, several types: the
  // values read when the key is opened, and those read again in runs once
  // this connection has written, come back byte for byte in creation order.
  struct Value {
    std::u16string name;
    DWORD type;
    std::vector<BYTE> data;
  };
  std::vector<Value> written;
  for (int i = 0; i < 600; ++i) {
    Value v;
    v.name = i == 0 ? u"" : std::u16string(static_cast<size_t>(i % 41), u'a' + i % 26);
    if (i != 0)
      v.name += u"#" + std::u16string(1, static_cast<char16_t>(u'0' + i % 10)) +
                std::u16string(1, static_cast<char16_t>(0x4E00 + i));
    v.type = static_cast<DWORD>(i % 5);
    v.data.resize(static_cast<size_t>((i * 37) % 701));
    for (size_t b = 0; b < v.data.size(); ++b) v.data[b] = static_cast<BYTE>(b * 7 + i);
    written.push_back(std::move(v));
  }
  {
    ScopedKey key(reg_.get(), Create(kHKeyCurrentUser, u"Shapes"));
    for (const Value& v : written)
      ASSERT_EQ(kErrorSuccess,
                reg_->RegSetValueExW(key.get(), v.name.c_str(), 0, v.type, v.data.data(),
                                     static_cast<DWORD>(v.data.size())));
  }
  auto expect_enumerated = [&](HKEY key) {
    for (DWORD i = 0; i <= written.size(); ++i) {
      char16_t name[64];
      DWORD chars = 64, type = 99, size = 1000;
      BYTE data[1000];
      LONG rc = reg_->RegEnumValueW(key, i, name, &chars, nullptr, &type, data, &size);
      if (i == written.size()) {
        EXPECT_EQ(kErrorNoMoreItems, rc);
        break;
      }
      ASSERT_EQ(kErrorSuccess, rc) << i;
      EXPECT_EQ(written[i].name, std::u16string(name, chars)) << i;
      EXPECT_EQ(u'\0', name[chars]) << i;
      EXPECT_EQ(written[i].type, type) << i;
      EXPECT_EQ(written[i].data, std::vector<BYTE>(data, data + size)) << i;
    }
  };
  auto expect_value = [&](HKEY key, DWORD i) {
    char16_t name[64];
    DWORD chars = 64, type = 99, size = 1000;
    BYTE data[1000];
    ASSERT_EQ(kErrorSuccess,
              reg_->RegEnumValueW(key, i, name, &chars, nullptr, &type, data, &size));
    EXPECT_EQ(written[i].name, std::u16string(name, chars)) << i;
    EXPECT_EQ(written[i].data, std::vector<BYTE>(data, data + size)) << i;
  };
  {
    // Going back past what an enumeration has let go, and on again.
    HKEY opened = nullptr;
    ASSERT_EQ(kErrorSuccess, Open(kHKeyCurrentUser, u"Shapes", &opened));
    ScopedKey key(reg_.get(), opened);
    for (DWORD i : {0u, 1u, 2u, 300u, 299u, 5u, 6u, 301u, 599u}) expect_value(key.get(), i);
  }
  HKEY opened = nullptr;
  ASSERT_EQ(kErrorSuccess, Open(kHKeyCurrentUser, u"Shapes", &opened));
  ScopedKey key(reg_.get(), opened);
  expect_enumerated(key.get());
  written.push_back(Value{u"after", kRegBinary, {1, 2, 3}});
  ASSERT_EQ(kErrorSuccess, SetBinary(key.get(), u"after", {1, 2, 3}));
  expect_enumerated(key.get());
}

TEST_F(RegistryTest, DeletionRulesAndDeletedHandles) {
  ScopedKey parent(reg_.get(), Create(kHKeyCurrentUser, u"Tree\\Parent"));
  ScopedKey child(reg_.get(), Create(parent.get(), u"Child"));
  ASSERT_EQ(kErrorSuccess, SetBinary(child.get(), u"v", {1}));

  ScopedKey tree(reg_.get());
  ASSERT_EQ(kErrorSuccess, Open(kHKeyCurrentUser, u"Tree", tree.Receive()));
  EXPECT_EQ(kErrorAccessDenied, reg_->DeleteRegKey(tree.get(), u"Parent"));  // has a subkey
  EXPECT_EQ(kErrorSuccess, reg_->DeleteRegKey(parent.get(), u"CHILD"));
  EXPECT_EQ(kErrorFileNotFound, reg_->DeleteRegKey(parent.get(), u"Child"));

  // Every call on a handle of the deleted key says so.
  BYTE data[4];
  DWORD size = sizeof data;
  EXPECT_EQ(kErrorKeyDeleted,
            reg_->RegQueryValueExW(child.get(), u"v", nullptr, nullptr, data, &size));
  EXPECT_EQ(kErrorKeyDeleted, SetBinary(child.get(), u"v", {1}));
  char16_t name[8];
  DWORD chars = 8;
  EXPECT_EQ(kErrorKeyDeleted,
            reg_->RegEnumKeyExW(child.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(kErrorKeyDeleted,
            reg_->RegEnumValueW(child.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr));
  HKEY below = nullptr;
  EXPECT_EQ(kErrorKeyDeleted, reg_->CreateRegKeyEx(child.get(), u"x", 0, nullptr, 0, kKeyAllAccess,
                                                   nullptr, &below, nullptr));

  // A key recreated under the same name is a new key; the old handle stays dead.
  ScopedKey recreated(reg_.get(), Create(parent.get(), u"Child"));
  EXPECT_EQ(kErrorKeyDeleted, SetBinary(child.get(), u"v", {1}));

  // An empty sub-key name deletes the key itself.
  ScopedKey leaf(reg_.get(), Create(kHKeyCurrentUser, u"Tree\\Leaf"));
  EXPECT_EQ(kErrorSuccess, reg_->DeleteRegKey(leaf.get(), u""));
  EXPECT_EQ(kErrorFileNotFound, Open(tree.get(), u"Leaf", recreated.Receive()));
}

TEST_F(RegistryTest, HandlesAreCheckedAndAccessIsEnforced) {
  BYTE data[4];
  DWORD size = sizeof data;
  HKEY bogus = reinterpret_cast<HKEY>(std::uintptr_t{0x7777});
  EXPECT_EQ(kErrorInvalidHandle,
            reg_->RegQueryValueExW(bogus, u"v", nullptr, nullptr, data, &size));
  EXPECT_EQ(kErrorInvalidHandle, reg_->RegCloseKey(bogus));

  HKEY key = Create(kHKeyCurrentUser, u"Access");
  EXPECT_EQ(kErrorSuccess, reg_->RegCloseKey(key));
  EXPECT_EQ(kErrorInvalidHandle, reg_->RegCloseKey(key));
  EXPECT_EQ(0u, reg_->OpenHandleCount());

  ScopedKey read_only(reg_.get());
  ASSERT_EQ(kErrorSuccess, Open(kHKeyCurrentUser, u"Access", read_only.Receive(), kKeyRead));
  EXPECT_EQ(kErrorAccessDenied, SetBinary(read_only.get(), u"v", {1}));
  EXPECT_EQ(kErrorFileNotFound,
            reg_->RegQueryValueExW(read_only.get(), u"v", nullptr, nullptr, data, &size));
}

TEST_F(RegistryTest, RootsAreSeparateAndAMissingMachineStoreIsEmpty) {
  ScopedKey user(reg_.get(), Create(kHKeyCurrentUser, u"Shared"));
  ScopedKey machine(reg_.get());
  EXPECT_EQ(kErrorFileNotFound, Open(kHKeyClassesRoot, u"Shared", machine.Receive()));
  // HKEY_CLASSES_ROOT paths are not put below the client's root.
  ScopedKey created(reg_.get(), Create(kHKeyClassesRoot, u"VYN.Tarvo.Network\\Plugins"));
  EXPECT_EQ(kErrorSuccess, Open(kHKeyClassesRoot, u"vyn.tarvo.network", machine.Receive()));

  RegistryPaths paths;
  paths.user_store = dir_.File("user/registry.db");
  paths.classes_store = "/proc/no-such-dir/classes.db";
  PosixRegistry unreadable(paths);
  HKEY key = nullptr;
  EXPECT_EQ(kErrorFileNotFound,
            unreadable.OpenRegKeyEx(kHKeyClassesRoot, u"VYN.Tarvo.Network", 0, kKeyRead, &key));
  EXPECT_EQ(kErrorAccessDenied, unreadable.CreateRegKeyEx(kHKeyClassesRoot, u"x", 0, nullptr, 0,
                                                          kKeyAllAccess, nullptr, &key, nullptr));
}

TEST_F(RegistryTest, WritesSurviveReopening) {
  {
    ScopedKey key(reg_.get(), Create(kHKeyCurrentUser, u"Durable"));
    ASSERT_EQ(kErrorSuccess, SetBinary(key.get(), u"x", {0x01}));
  }
  Reopen();
  ScopedKey key(reg_.get());
  ASSERT_EQ(kErrorSuccess, Open(kHKeyCurrentUser, u"DURABLE", key.Receive()));
  BYTE data = 0;
  DWORD size = 1;
  EXPECT_EQ(kErrorSuccess, reg_->RegQueryValueExW(key.get(), u"X", nullptr, nullptr, &data, &size));
  EXPECT_EQ(0x01, data);
  std::string report;
  EXPECT_TRUE(reg_->StoreFor(kHKeyCurrentUser, nullptr)->CheckIntegrity(&report)) << report;
}

TEST_F(RegistryTest, AStoreThatIsNotADatabaseIsAClearError) {
  std::filesystem::create_directories(dir_.File("bad"));
  std::ofstream(dir_.File("bad/registry.db")) << "this is not a registry store, just some text";
  RegistryPaths paths;
  paths.user_store = dir_.File("bad/registry.db");
  paths.classes_store = dir_.File("bad/classes.db");
  PosixRegistry broken(paths);
  HKEY key = nullptr;
  EXPECT_EQ(kErrorRegistryCorrupt, broken.CreateRegKeyEx(kHKeyCurrentUser, u"x", 0, nullptr, 0,
                                                         kKeyAllAccess, nullptr, &key, nullptr));
  std::string message;
  EXPECT_EQ(nullptr, broken.StoreFor(kHKeyCurrentUser, &message));
  EXPECT_NE(std::string::npos, message.find("is not a registry store")) << message;
}

TEST_F(RegistryTest, FaultsCanBeInjectedAtTheSeam) {
  zvt::testing::FaultyRegistry faulty(reg_.get(), reg_.get());
  ScopedServiceBinding binding({&faulty, &faulty});
  RegistryApi* registry = CurrentServices().registry;
  ScopedKey key(registry, Create(kHKeyCurrentUser, u"Faults"));
  ASSERT_EQ(kErrorSuccess, SetBinary(key.get(), u"v", {1}));

  faulty.FailCall(zvt::testing::RegCall::kQueryValue, 2, kErrorMoreData);
  BYTE data = 0;
  DWORD size = 1;
  EXPECT_EQ(kErrorSuccess,
            registry->RegQueryValueExW(key.get(), u"v", nullptr, nullptr, &data, &size));
  EXPECT_EQ(kErrorMoreData,
            registry->RegQueryValueExW(key.get(), u"v", nullptr, nullptr, &data, &size));
  EXPECT_EQ(kErrorSuccess,
            registry->RegQueryValueExW(key.get(), u"v", nullptr, nullptr, &data, &size));
  EXPECT_EQ(3, faulty.Calls(zvt::testing::RegCall::kQueryValue));
}

}  // namespace
}  // namespace zvt::platform

namespace zvt::platform {
namespace {

// The configuration's change counter moves with every commit made through
// any registry over the same file, and stays while only reads happen.
TEST_F(RegistryTest, TheChangeCounterMovesWithEveryCommitAndOnlyThen) {
  uint64_t before = 0, after = 0;
  HKEY key = Create(kHKeyCurrentUser, u"Counted");
  ASSERT_TRUE(reg_->ChangeCounter(kHKeyCurrentUser, &before));
  DWORD size = 0;
  (void)reg_->RegQueryValueExW(key, u"v", nullptr, nullptr, nullptr, &size);
  ASSERT_TRUE(reg_->ChangeCounter(kHKeyCurrentUser, &after));
  EXPECT_EQ(before, after);

  SetThroughAnotherConnection(u"Counted", u"v");
  ASSERT_TRUE(reg_->ChangeCounter(kHKeyCurrentUser, &after));
  EXPECT_NE(before, after);
  reg_->RegCloseKey(key);
}

// The cache hive's value writes are kept back, as the Windows registry writes
// lazily: this process sees them at once, another only once a key written
// through is closed or flushed, or once a configuration write, which is kept
// at once, follows them.
TEST_F(RegistryTest, CacheValueWritesAreKeptTogetherAndInOrder) {
  const std::u16string cache_path = kCacheHiveKey;  // below the client's root
  const std::u16string user_path = cache_path + u"\\SYS\\USER";
  HKEY user = Create(kHKeyCurrentUser, user_path.c_str());
  HKEY config = Create(kHKeyCurrentUser, u"Config");
  RegistryPaths paths;
  paths.user_store = dir_.File("user/registry.db");
  paths.classes_store = dir_.File("machine/classes.db");
  PosixRegistry other(paths);
  auto seen_elsewhere = [&](const char16_t* path, const char16_t* name) {
    ScopedKey key(&other);
    BYTE data[4];
    DWORD size = sizeof data;
    return other.OpenRegKeyEx(kHKeyCurrentUser, path, 0, kKeyRead, key.Receive()) ==
               kErrorSuccess &&
           other.RegQueryValueExW(key.get(), name, nullptr, nullptr, data, &size) == kErrorSuccess;
  };
  auto seen_here = [&](HKEY key, const char16_t* name) {
    BYTE data[4];
    DWORD size = sizeof data;
    return reg_->RegQueryValueExW(key, name, nullptr, nullptr, data, &size) == kErrorSuccess;
  };

  // Kept when the key is closed.
  ASSERT_EQ(kErrorSuccess, SetBinary(user, u"F1", {1}));
  EXPECT_TRUE(seen_here(user, u"F1"));
  EXPECT_FALSE(seen_elsewhere(user_path.c_str(), u"F1"));
  EXPECT_EQ(kErrorSuccess, reg_->RegCloseKey(user));
  EXPECT_TRUE(seen_elsewhere(user_path.c_str(), u"F1"));

  // Kept when flushed.
  user = Create(kHKeyCurrentUser, user_path.c_str());
  ASSERT_EQ(kErrorSuccess, SetBinary(user, u"F2", {1}));
  EXPECT_FALSE(seen_elsewhere(user_path.c_str(), u"F2"));
  EXPECT_EQ(kErrorSuccess, reg_->RegFlushKey(kHKeyCurrentUser));
  EXPECT_TRUE(seen_elsewhere(user_path.c_str(), u"F2"));

  // A configuration write is never kept before the cache writes made first.
  ASSERT_EQ(kErrorSuccess, reg_->RegDeleteValueW(user, u"F1"));
  ASSERT_EQ(kErrorSuccess, SetBinary(config, u"Later", {1}));
  EXPECT_TRUE(seen_elsewhere(u"Config", u"Later"));
  EXPECT_FALSE(seen_elsewhere(user_path.c_str(), u"F1"));

  // Closing a key that only read keeps nothing back either way; a handle
  // that never existed is refused.
  ASSERT_EQ(kErrorSuccess, SetBinary(user, u"F3", {1}));
  HKEY reader = nullptr;
  ASSERT_EQ(kErrorSuccess, Open(kHKeyCurrentUser, user_path.c_str(), &reader));
  EXPECT_EQ(kErrorSuccess, reg_->RegCloseKey(reader));
  EXPECT_FALSE(seen_elsewhere(user_path.c_str(), u"F3"));
  EXPECT_EQ(kErrorInvalidHandle, reg_->RegFlushKey(reinterpret_cast<HKEY>(std::uintptr_t{0x7770})));
  EXPECT_EQ(kErrorSuccess, reg_->RegCloseKey(user));
  EXPECT_TRUE(seen_elsewhere(user_path.c_str(), u"F3"));
  reg_->RegCloseKey(config);
}

// Values added to keys in turn inside one group, some replaced, are read
// whole by this connection before the group ends and by another after it:
// each key's row agrees with its values wherever the group stands.
TEST_F(RegistryTest, KeysFilledInTurnInsideAGroupAgreeWithTheirValuesWhenRead) {
  const std::u16string a_path = std::u16string(kCacheHiveKey) + u"\\SYS\\A";
  const std::u16string b_path = std::u16string(kCacheHiveKey) + u"\\SYS\\B";
  HKEY a = Create(kHKeyCurrentUser, a_path.c_str());
  HKEY b = Create(kHKeyCurrentUser, b_path.c_str());
  RegistryPaths paths;
  paths.user_store = dir_.File("user/registry.db");
  paths.classes_store = dir_.File("machine/classes.db");
  PosixRegistry other(paths);
  // Opening a key checks it whole against its row.
  auto names_in = [&](PosixRegistry* registry, const std::u16string& path) {
    std::vector<std::u16string> names;
    ScopedKey key(registry);
    if (registry->OpenRegKeyEx(kHKeyCurrentUser, path.c_str(), 0, kKeyRead, key.Receive()) !=
        kErrorSuccess)
      return names;
    for (DWORD i = 0;; ++i) {
      char16_t name[64];
      DWORD chars = 64;
      if (registry->RegEnumValueW(key.get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr) !=
          kErrorSuccess)
        break;
      names.emplace_back(name, chars);
    }
    return names;
  };
  auto names_here = [&](const std::u16string& path) { return names_in(reg_.get(), path); };
  auto names_elsewhere = [&](const std::u16string& path) { return names_in(&other, path); };

  ASSERT_EQ(kErrorSuccess, SetBinary(a, u"F1", {1}));
  ASSERT_EQ(kErrorSuccess, SetBinary(a, u"F2", {2}));
  ASSERT_EQ(kErrorSuccess, SetBinary(b, u"G1", {3}));
  ASSERT_EQ(kErrorSuccess, SetBinary(a, u"F3", {4}));
  ASSERT_EQ(kErrorSuccess, SetBinary(a, u"F1", {5, 6}));  // replaced
  EXPECT_EQ(names_here(a_path), (std::vector<std::u16string>{u"F1", u"F2", u"F3"}));
  ASSERT_EQ(kErrorSuccess, SetBinary(a, u"F4", {7}));
  EXPECT_EQ(names_here(b_path), (std::vector<std::u16string>{u"G1"}));
  EXPECT_EQ(names_here(a_path), (std::vector<std::u16string>{u"F1", u"F2", u"F3", u"F4"}));
  ASSERT_EQ(kErrorSuccess, SetBinary(b, u"G2", {8}));
  EXPECT_TRUE(names_elsewhere(b_path).empty());

  EXPECT_EQ(kErrorSuccess, reg_->RegFlushKey(kHKeyCurrentUser));
  EXPECT_EQ(names_elsewhere(a_path), (std::vector<std::u16string>{u"F1", u"F2", u"F3", u"F4"}));
  EXPECT_EQ(names_elsewhere(b_path), (std::vector<std::u16string>{u"G1", u"G2"}));
  reg_->RegCloseKey(a);
  reg_->RegCloseKey(b);
}

// A group whose commit fails keeps none of its writes, and every write after
// it fails until a flush has reported the loss: nothing written later (such
// as timestamps written after the values they stand for) is kept without
// the writes lost before it.
TEST_F(RegistryTest, AFailedGroupCommitKeepsNothingAndFailsLaterWritesUntilFlushed) {
  const std::u16string user_path = std::u16string(kCacheHiveKey) + u"\\SYS\\USER";
  const std::u16string system_path = std::u16string(kCacheHiveKey) + u"\\SYS";
  HKEY user = Create(kHKeyCurrentUser, user_path.c_str());
  HKEY system = Create(kHKeyCurrentUser, system_path.c_str());
  ASSERT_EQ(kErrorSuccess, SetBinary(user, u"F1", {1}));
  ASSERT_EQ(kErrorSuccess, SetBinary(user, u"F2", {1}));
  reg_->CacheStore(nullptr)->FailNextCommitForTesting();
  (void)reg_->RegCloseKey(user);  // the commit fails here

  const LONG lost = SetBinary(system, u"##UserTS", {1, 2, 3, 4, 5, 6, 7, 8});
  EXPECT_NE(kErrorSuccess, lost);
  EXPECT_EQ(lost, SetBinary(system, u"##RepTS", {1}));
  EXPECT_EQ(lost, reg_->RegDeleteValueW(system, u"Other"));
  EXPECT_EQ(lost, reg_->RegFlushKey(kHKeyCurrentUser));  // reported once
  EXPECT_EQ(kErrorSuccess, SetBinary(system, u"##HierTS", {1}));
  EXPECT_EQ(kErrorSuccess, reg_->RegFlushKey(system));

  RegistryPaths paths;
  paths.user_store = dir_.File("user/registry.db");
  paths.classes_store = dir_.File("machine/classes.db");
  PosixRegistry other(paths);
  auto seen = [&](const std::u16string& path, const char16_t* name) {
    ScopedKey key(&other);
    BYTE data[16];
    DWORD size = sizeof data;
    return other.OpenRegKeyEx(kHKeyCurrentUser, path.c_str(), 0, kKeyRead, key.Receive()) ==
               kErrorSuccess &&
           other.RegQueryValueExW(key.get(), name, nullptr, nullptr, data, &size) == kErrorSuccess;
  };
  EXPECT_FALSE(seen(user_path, u"F1"));
  EXPECT_FALSE(seen(user_path, u"F2"));
  EXPECT_FALSE(seen(system_path, u"##UserTS"));
  EXPECT_FALSE(seen(system_path, u"##RepTS"));
  EXPECT_TRUE(seen(system_path, u"##HierTS"));
  std::string report;
  EXPECT_TRUE(reg_->CacheStore(nullptr)->CheckIntegrity(&report)) << report;
  reg_->RegCloseKey(system);
}

// Keys of the cache hive are made and deleted inside its write group: another
// connection sees the old keys until the group is kept, and a group whose
// commit fails leaves them as they were, the key made in it gone.
TEST_F(RegistryTest, CacheKeysMadeAndDeletedAreKeptOrLostWithTheGroup) {
  const std::u16string system_path = std::u16string(kCacheHiveKey) + u"\\SYS";
  const std::u16string old_path = system_path + u"\\OLD";
  const std::u16string new_path = system_path + u"\\NEW";
  ScopedKey system(reg_.get(), Create(kHKeyCurrentUser, system_path.c_str()));
  {
    ScopedKey old_key(reg_.get(), Create(kHKeyCurrentUser, old_path.c_str()));
    ASSERT_EQ(kErrorSuccess, SetBinary(old_key.get(), u"V", {7}));
  }
  ASSERT_EQ(kErrorSuccess, reg_->RegFlushKey(kHKeyCurrentUser));
  PosixRegistry other(Paths());
  auto value_in = &RegistryTest::ValueIn;
  // Replaces OLD with NEW holding W; the group stays open.
  auto replace = [&]() -> HKEY {
    EXPECT_EQ(kErrorSuccess, reg_->DeleteRegKey(system.get(), u"OLD"));
    HKEY made = Create(kHKeyCurrentUser, new_path.c_str());
    EXPECT_EQ(kErrorSuccess, SetBinary(made, u"W", {9}));
    EXPECT_EQ(-1, value_in(reg_.get(), old_path, u"V"));
    EXPECT_EQ(9, value_in(reg_.get(), new_path, u"W"));
    EXPECT_EQ(7, value_in(&other, old_path, u"V"));
    EXPECT_EQ(-1, value_in(&other, new_path, u"W"));
    return made;
  };

  HKEY made = replace();
  reg_->CacheStore(nullptr)->FailNextCommitForTesting();
  EXPECT_NE(kErrorSuccess, reg_->RegFlushKey(kHKeyCurrentUser));
  for (PosixRegistry* registry : {reg_.get(), &other}) {
    EXPECT_EQ(7, value_in(registry, old_path, u"V"));
    EXPECT_EQ(-1, value_in(registry, new_path, u"W"));
  }
  BYTE data[4];
  DWORD size = sizeof data;
  EXPECT_NE(kErrorSuccess, reg_->RegQueryValueExW(made, u"W", nullptr, nullptr, data, &size));
  reg_->RegCloseKey(made);

  made = replace();
  EXPECT_EQ(kErrorSuccess, reg_->RegCloseKey(made));  // keeps the group
  for (PosixRegistry* registry : {reg_.get(), &other}) {
    EXPECT_EQ(-1, value_in(registry, old_path, u"V"));
    EXPECT_EQ(9, value_in(registry, new_path, u"W"));
  }
  std::string report;
  EXPECT_TRUE(reg_->CacheStore(nullptr)->CheckIntegrity(&report)) << report;
}

// Under a hold, closing a written key keeps nothing: another process sees
// the cache hive's writes, keys deleted and made among them, only when the
// outermost hold ends, and a commit that fails then keeps none of them.
TEST_F(RegistryTest, AHoldKeepsTheCacheWritesBackUntilItEndsAndKeepsThemWhole) {
  const std::u16string system_path = std::u16string(kCacheHiveKey) + u"\\SYS";
  const std::u16string old_path = system_path + u"\\OLD";
  const std::u16string new_path = system_path + u"\\NEW";
  {
    ScopedKey old_key(reg_.get(), Create(kHKeyCurrentUser, old_path.c_str()));
    ASSERT_EQ(kErrorSuccess, SetBinary(old_key.get(), u"V", {7}));
  }
  PosixRegistry other(Paths());
  auto has_value = [](PosixRegistry* registry, const std::u16string& path, const char16_t* name) {
    return ValueIn(registry, path, name) != -1;
  };
  // Replaces OLD with NEW holding W, closing every key it wrote through.
  auto replace = [&] {
    ScopedKey system(reg_.get(), Create(kHKeyCurrentUser, system_path.c_str()));
    EXPECT_EQ(kErrorSuccess, reg_->DeleteRegKey(system.get(), u"OLD"));
    ScopedKey made(reg_.get(), Create(kHKeyCurrentUser, new_path.c_str()));
    EXPECT_EQ(kErrorSuccess, SetBinary(made.get(), u"W", {9}));
  };

  ASSERT_EQ(kErrorSuccess, reg_->HoldWrites());
  replace();
  ASSERT_EQ(kErrorSuccess, reg_->HoldWrites());  // nested
  EXPECT_EQ(kErrorSuccess, reg_->ReleaseWrites());
  EXPECT_TRUE(has_value(reg_.get(), new_path, u"W"));
  EXPECT_FALSE(has_value(reg_.get(), old_path, u"V"));
  EXPECT_TRUE(has_value(&other, old_path, u"V"));
  EXPECT_FALSE(has_value(&other, new_path, u"W"));
  reg_->CacheStore(nullptr)->FailNextCommitForTesting();
  EXPECT_NE(kErrorSuccess, reg_->ReleaseWrites());
  for (PosixRegistry* registry : {reg_.get(), &other}) {
    EXPECT_TRUE(has_value(registry, old_path, u"V"));
    EXPECT_FALSE(has_value(registry, new_path, u"W"));
  }
  EXPECT_NE(kErrorSuccess, reg_->RegFlushKey(kHKeyCurrentUser));  // reports the loss once

  // Held again, all of it is kept.
  ASSERT_EQ(kErrorSuccess, reg_->HoldWrites());
  replace();
  EXPECT_EQ(kErrorSuccess, reg_->ReleaseWrites());
  EXPECT_EQ(kErrorSuccess, reg_->ReleaseWrites());  // one too many does nothing
  EXPECT_FALSE(has_value(&other, old_path, u"V"));
  EXPECT_TRUE(has_value(&other, new_path, u"W"));
  std::string report;
  EXPECT_TRUE(reg_->CacheStore(nullptr)->CheckIntegrity(&report)) << report;
}

// What a hold read is read again in the next: another process may have
// written between them, and its rows are what the next hold finds, whole
// and not taken for damage.
TEST_F(RegistryTest, AHoldReadsWhatAnotherProcessWroteSinceTheLastOne) {
  const std::u16string system_path = std::u16string(kCacheHiveKey) + u"\\SYS";
  PosixRegistry other(Paths());
  reg_->RegCloseKey(Create(kHKeyCurrentUser, system_path.c_str()));
  for (BYTE round = 1; round <= 3; ++round) {
    ASSERT_EQ(kErrorSuccess, reg_->HoldWrites());
    {
      ScopedKey key(reg_.get());
      ASSERT_EQ(kErrorSuccess, Open(kHKeyCurrentUser, system_path.c_str(), key.Receive()));
      EXPECT_EQ(round - 1, static_cast<int>(ValueNames(key.get()).size()));
    }
    ASSERT_EQ(kErrorSuccess, reg_->ReleaseWrites());
    ScopedKey theirs(&other);
    ASSERT_EQ(kErrorSuccess, other.OpenRegKeyEx(kHKeyCurrentUser, system_path.c_str(), 0,
                                                kKeyAllAccess, theirs.Receive()));
    const std::u16string name = u"V" + std::u16string(1, static_cast<char16_t>(u'0' + round));
    ASSERT_EQ(kErrorSuccess,
              other.RegSetValueExW(theirs.get(), name.c_str(), 0, kRegBinary, &round, 1));
  }
  EXPECT_EQ(0, reg_->hives_moved_aside());
}

// A path walked once is walked again without reading its keys while the
// store is unchanged; a key deleted or made since, by this connection or
// another, is never missed.
TEST_F(RegistryTest, KeysFoundBeforeAreLookedUpAgainOnceTheStoreChanged) {
  RegistryPaths paths;
  paths.user_store = dir_.File("user/registry.db");
  paths.classes_store = dir_.File("machine/classes.db");
  PosixRegistry other(paths);
  auto opens = [&](PosixRegistry* registry, const char16_t* path) {
    ScopedKey key(registry);
    return registry->OpenRegKeyEx(kHKeyCurrentUser, path, 0, kKeyRead, key.Receive());
  };
  reg_->RegCloseKey(Create(kHKeyCurrentUser, u"A\\B\\C"));
  ASSERT_EQ(kErrorSuccess, opens(reg_.get(), u"A\\B\\C"));
  ASSERT_EQ(kErrorSuccess, opens(reg_.get(), u"a\\b\\c"));

  // Deleted through another connection, then made again there: the new key
  // is the one found here, with what the other wrote into it.
  ASSERT_EQ(kErrorSuccess, other.DeleteRegKey(kHKeyCurrentUser, u"A\\B\\C"));
  ASSERT_EQ(kErrorSuccess, other.DeleteRegKey(kHKeyCurrentUser, u"A\\B"));
  EXPECT_EQ(kErrorFileNotFound, opens(reg_.get(), u"A\\B\\C"));
  EXPECT_EQ(kErrorFileNotFound, opens(reg_.get(), u"A\\B"));
  {
    ScopedKey made(&other);
    ASSERT_EQ(kErrorSuccess, other.CreateRegKeyEx(kHKeyCurrentUser, u"A\\B\\C", 0, nullptr, 0,
                                                  kKeyAllAccess, nullptr, made.Receive(), nullptr));
  }
  SetThroughAnotherConnection(u"A\\B\\C", u"v");
  ScopedKey found(reg_.get());
  ASSERT_EQ(kErrorSuccess, Open(kHKeyCurrentUser, u"A\\B\\C", found.Receive()));
  EXPECT_EQ(std::vector<std::u16string>{u"v"}, ValueNames(found.get()));

  // Deleted through this connection.
  ASSERT_EQ(kErrorSuccess, reg_->DeleteRegKey(kHKeyCurrentUser, u"A\\B\\C"));
  EXPECT_EQ(kErrorFileNotFound, opens(reg_.get(), u"A\\B\\C"));
  EXPECT_EQ(kErrorSuccess, opens(reg_.get(), u"A\\B"));
}

// Paths into the cache hive skip the configuration's keys above it while
// the configuration is unchanged; once those keys are deleted, by another
// connection or this one, and made again, they are walked again.
TEST_F(RegistryTest, PathsThroughTheMountPointFollowChangesAboveIt) {
  PosixRegistry other(Paths());
  const std::u16string mount = kCacheHiveKey;
  const std::u16string system = mount + u"\\SYS";
  auto opens = [](PosixRegistry* registry, const std::u16string& path) {
    ScopedKey key(registry);
    return registry->OpenRegKeyEx(kHKeyCurrentUser, path.c_str(), 0, kKeyRead, key.Receive());
  };
  // Empties the hive and deletes the mount point and the key above it.
  auto remove_all = [&](PosixRegistry* registry) {
    ASSERT_EQ(kErrorSuccess, registry->DeleteRegKey(kHKeyCurrentUser, system.c_str()));
    ASSERT_EQ(kErrorSuccess, registry->DeleteRegKey(kHKeyCurrentUser, mount.c_str()));
    ASSERT_EQ(kErrorSuccess,
              registry->DeleteRegKey(kHKeyCurrentUser, u"Application_Administration"));
  };
  reg_->RegCloseKey(Create(kHKeyCurrentUser, system.c_str()));
  ASSERT_EQ(kErrorSuccess, opens(reg_.get(), system));
  ASSERT_EQ(kErrorSuccess, opens(reg_.get(), system));

  remove_all(&other);
  EXPECT_EQ(kErrorFileNotFound, opens(reg_.get(), system));
  EXPECT_EQ(kErrorFileNotFound, opens(reg_.get(), mount));
  ScopedKey made(reg_.get(), Create(kHKeyCurrentUser, system.c_str()));
  ASSERT_EQ(kErrorSuccess, SetBinary(made.get(), u"V", {5}));
  ASSERT_EQ(kErrorSuccess, reg_->RegCloseKey(made.Release()));
  EXPECT_EQ(5, ValueIn(&other, system, u"V"));
  EXPECT_EQ(5, ValueIn(reg_.get(), system, u"V"));

  remove_all(reg_.get());
  EXPECT_EQ(kErrorFileNotFound, opens(reg_.get(), system));
  EXPECT_EQ(kErrorFileNotFound, opens(&other, system));
}

}  // namespace
}  // namespace zvt::platform
