// Damage to the registry's store files, made the way a broken disk or a
// stray write would make it, and what the registry then does: the damaged
// key fails to open with ERROR_REGISTRY_CORRUPT before any of its data is
// handed out; a damaged cache hive is moved aside and built anew; a damaged
// configuration is left where it is.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/posix_registry.h"
#include "platform/row_checks.h"
#include "testing/temp_dir.h"

namespace zvt::platform {
namespace {

constexpr char16_t kSystemKey[] = u"Application_Administration\\HostVals\\SYS1";
constexpr char16_t kUserKey[] = u"Application_Administration\\HostVals\\SYS1\\JOE";
constexpr char16_t kConfigKey[] = u"Systems\\SYS1";

class RegistryDamageTest : public ::testing::Test {
 protected:
  RegistryDamageTest() {
    paths_.user_store = dir_.File("home/registry.db");
    paths_.classes_store = dir_.File("classes.db");
    Reopen();
  }

  void Reopen() {
    reg_.reset();
    reg_ = std::make_unique<PosixRegistry>(paths_);
    reg_->SetDamageReporter([this](const std::string& text) { reports_.push_back(text); });
  }

  HKEY Create(const char16_t* path) {
    HKEY key = nullptr;
    EXPECT_EQ(kErrorSuccess, reg_->CreateRegKeyEx(kHKeyCurrentUser, path, 0, nullptr, 0,
                                                  kKeyAllAccess, nullptr, &key, nullptr));
    return key;
  }
  LONG Open(const char16_t* path, HKEY* key) {
    return reg_->OpenRegKeyEx(kHKeyCurrentUser, path, 0, kKeyAllAccess, key);
  }

  // A user key with denied functions F0..F(n-1), a system key with its
  // timestamp, and a configured system in the configuration hive.
  void Fill(int n = 20) {
    HKEY user = Create(kUserKey);
    for (int i = 0; i < n; ++i) {
      std::u16string name = u"F" + std::u16string(1, static_cast<char16_t>(u'0' + i / 10)) +
                            std::u16string(1, static_cast<char16_t>(u'0' + i % 10));
      const BYTE one = 1;
      ASSERT_EQ(kErrorSuccess, reg_->RegSetValueExW(user, name.c_str(), 0, kRegBinary, &one, 1));
    }
    HKEY sys = Create(kSystemKey);
    const BYTE ts[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(kErrorSuccess, reg_->RegSetValueExW(sys, u"##RepTS", 0, kRegBinary, ts, 8));
    HKEY config = Create(kConfigKey);
    const char16_t host[] = u"127.0.0.1";
    ASSERT_EQ(kErrorSuccess,
              reg_->RegSetValueExW(config, u"HostAddress", 0, kRegSz,
                                   reinterpret_cast<const BYTE*>(host), sizeof host));
    for (HKEY k : {user, sys, config}) reg_->RegCloseKey(k);
  }

  // Runs `sql` on a store file behind the registry's back.
  void Tamper(const std::string& file, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(file.c_str(), &db));
    char* error = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error))
        << (error ? error : "") << " in " << sql;
    sqlite3_free(error);
    sqlite3_close(db);
  }
  std::string CacheFile() const { return dir_.File("home/cache.db"); }
  std::string ConfigFile() const { return dir_.File("home/registry.db"); }
  int MovedAsideFiles() const {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.File("home")))
      if (entry.path().filename().string().find("cache.db.damaged-") == 0 &&
          entry.path().extension() != ".db-wal")
        n += entry.path().string().find("-wal") == std::string::npos;
    return n;
  }

  zvt::testing::TempDir dir_;
  RegistryPaths paths_;
  std::unique_ptr<PosixRegistry> reg_;
  std::vector<std::string> reports_;
};

// The cache's keys live in a file of their own; the switch value of their
// top key stays with the client's configuration.
TEST_F(RegistryDamageTest, TheCacheHiveIsAFileOfItsOwnMountedBelowTheConfiguration) {
  Fill();
  HKEY top = Create(u"Application_Administration\\HostVals");
  const char16_t two = u'2';
  ASSERT_EQ(kErrorSuccess, reg_->RegSetValueExW(top, u"Activate", 0, kRegSz,
                                                reinterpret_cast<const BYTE*>(&two), 2));
  char16_t name[64];
  DWORD chars = 64;
  ASSERT_EQ(kErrorSuccess,
            reg_->RegEnumKeyExW(top, 0, name, &chars, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(u"SYS1", std::u16string(name, chars));
  // The mount point keeps its place while the hive below it holds keys.
  EXPECT_EQ(kErrorAccessDenied,
            reg_->DeleteRegKey(kHKeyCurrentUser, u"Application_Administration\\HostVals"));
  reg_->RegCloseKey(top);
  reg_.reset();

  auto count = [](const std::string& file, const char* sql) {
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
    int n = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int(st, 0) : -1;
    sqlite3_finalize(st);
    sqlite3_close(db);
    return n;
  };
  EXPECT_EQ(20,
            count(CacheFile(), "SELECT count(*) FROM vals WHERE type = 3 AND length(data) = 1"));
  EXPECT_EQ(0,
            count(ConfigFile(), "SELECT count(*) FROM vals WHERE type = 3 AND length(data) = 1"));
  EXPECT_EQ(1, count(ConfigFile(), "SELECT count(*) FROM vals WHERE data = x'3200'"));  // Activate
  const char kJoe[] = "SELECT count(*) FROM keys WHERE name = CAST(x'4A004F004500' AS BLOB)";
  EXPECT_EQ(1, count(CacheFile(), kJoe));
  EXPECT_EQ(0, count(ConfigFile(), kJoe));
}

// Every kind of damage to the rows of a cache key: the key does not open,
// the hive is moved aside once with a report, and the next open finds a
// new, empty hive that works.
TEST_F(RegistryDamageTest, DamagedCacheRowsFailTheOpenAndTheHiveIsBuiltAnew) {
  const std::vector<std::pair<const char*, std::string>> damage = {
      {"a value's data", "UPDATE vals SET data = x'00' WHERE name = CAST(x'460030003700' AS BLOB)"},
      {"a value's name",
       "UPDATE vals SET name = CAST(x'5A0030003700' AS BLOB), fold = "
       "CAST(x'005A00300037' AS BLOB) WHERE name = CAST(x'460030003700' AS BLOB)"},
      {"a value's type", "UPDATE vals SET type = 4 WHERE name = CAST(x'460031003100' AS BLOB)"},
      {"a value's fold",
       "UPDATE vals SET fold = x'0046' WHERE name = CAST(x'460031003100' AS BLOB)"},
      {"a lost value", "DELETE FROM vals WHERE name = CAST(x'460031003900' AS BLOB)"},
      {"a value's checksum",
       "UPDATE vals SET chk = chk + 1 WHERE name = CAST(x'460030003000' AS BLOB)"},
      {"a foreign value",
       "INSERT INTO vals(key, name, fold, type, data, chk) SELECT key, "
       "CAST(x'5800' AS BLOB), CAST(x'0058' AS BLOB), 3, x'01', 0 FROM vals "
       "WHERE name = CAST(x'460030003000' AS BLOB)"},
      {"a value of the wrong shape",
       "UPDATE vals SET data = 1 WHERE name = CAST(x'460030003100' AS BLOB)"},
      {"a lost key", "DELETE FROM keys WHERE name = CAST(x'4A004F004500' AS BLOB)"},
      {"a key's sums",
       "UPDATE keys SET vsum = vsum + 1 WHERE name = CAST(x'4A004F004500' AS BLOB)"},
      {"a key moved", "UPDATE keys SET parent = 1 WHERE name = CAST(x'4A004F004500' AS BLOB)"},
  };
  int moved = 0;
  for (const auto& [what, sql] : damage) {
    SCOPED_TRACE(what);
    Fill();
    reg_.reset();
    Tamper(CacheFile(), sql);
    Reopen();
    reports_.clear();
    HKEY key = nullptr;
    LONG rc = Open(kUserKey, &key);
    // A lost user key is damage found in its parent, the system key.
    EXPECT_EQ(kErrorRegistryCorrupt, rc);
    EXPECT_EQ(nullptr, key);
    EXPECT_EQ(++moved, MovedAsideFiles());
    ASSERT_EQ(1u, reports_.size());
    EXPECT_NE(std::string::npos, reports_[0].find("cache.db.damaged-")) << reports_[0];
    // The next open finds a new hive, empty; the configuration is untouched.
    EXPECT_EQ(kErrorFileNotFound, Open(kUserKey, &key));
    HKEY config = nullptr;
    EXPECT_EQ(kErrorSuccess, Open(kConfigKey, &config));
    reg_->RegCloseKey(config);
    HKEY fresh = Create(kUserKey);
    const BYTE one = 1;
    EXPECT_EQ(kErrorSuccess, reg_->RegSetValueExW(fresh, u"F00", 0, kRegBinary, &one, 1));
    reg_->RegCloseKey(fresh);
    reg_.reset();
    std::filesystem::remove(CacheFile());
    Reopen();
  }
}

// A handle opened before the damage was found answers every later call
// with the same code once the damage is found, and a handle into a hive that
// was moved aside is stale: it never reads the new hive's keys by an old
// key's number. A half-read enumeration never ends as "no more items".
TEST_F(RegistryDamageTest, HandlesOfADamagedOrReplacedHiveKeepFailing) {
  Fill();
  HKEY user = nullptr, sys = nullptr;
  ASSERT_EQ(kErrorSuccess, Open(kUserKey, &user));
  ASSERT_EQ(kErrorSuccess, Open(kSystemKey, &sys));
  Tamper(CacheFile(), "UPDATE vals SET data = x'02' WHERE name = CAST(x'460030003500' AS BLOB)");
  HKEY again = nullptr;
  EXPECT_EQ(kErrorRegistryCorrupt, Open(kUserKey, &again));
  EXPECT_EQ(1, MovedAsideFiles());
  char16_t name[32];
  BYTE data[8];
  LONG rc = kErrorSuccess;
  for (DWORD i = 0; rc == kErrorSuccess; ++i) {
    DWORD chars = 32, size = sizeof data, type = 0;
    rc = reg_->RegEnumValueW(user, i, name, &chars, nullptr, &type, data, &size);
  }
  EXPECT_EQ(kErrorRegistryCorrupt, rc);
  DWORD size = sizeof data;
  EXPECT_EQ(kErrorRegistryCorrupt,
            reg_->RegQueryValueExW(user, u"F00", nullptr, nullptr, data, &size));
  size = sizeof data;
  EXPECT_EQ(kErrorRegistryCorrupt,
            reg_->RegQueryValueExW(sys, u"##RepTS", nullptr, nullptr, data, &size));
  reg_->RegCloseKey(user);
  reg_->RegCloseKey(sys);

  // In the configuration, which is never moved, a damaged value fails the
  // enumeration part way through, and the handle stays failed.
  HKEY config = Create(kConfigKey);
  for (const char16_t* v : {u"A", u"B", u"C"})
    ASSERT_EQ(kErrorSuccess, reg_->RegSetValueExW(config, v, 0, kRegBinary, data, 1));
  HKEY reader = nullptr;
  ASSERT_EQ(kErrorSuccess,
            reg_->OpenRegKeyEx(kHKeyCurrentUser, kConfigKey, 0, kKeyAllAccess, &reader));
  Tamper(ConfigFile(), "UPDATE vals SET data = x'07' WHERE name = CAST(x'4200' AS BLOB)");
  // The handle's values were read when it was opened; a new handle sees the damage.
  HKEY later = nullptr;
  EXPECT_EQ(kErrorRegistryCorrupt,
            reg_->OpenRegKeyEx(kHKeyCurrentUser, kConfigKey, 0, kKeyAllAccess, &later));
  size = sizeof data;
  EXPECT_EQ(kErrorRegistryCorrupt,
            reg_->RegQueryValueExW(config, u"B", nullptr, nullptr, data, &size));
  size = sizeof data;
  EXPECT_EQ(kErrorRegistryCorrupt,
            reg_->RegQueryValueExW(config, u"A", nullptr, nullptr, data, &size));
  reg_->RegCloseKey(config);
  reg_->RegCloseKey(reader);
}

// Damage in the configuration is reported, never repaired by removal: the
// damaged key fails, the others still work, and the file stays.
TEST_F(RegistryDamageTest, DamagedConfigurationFailsItsKeysAndStaysInPlace) {
  Fill();
  reg_.reset();
  Tamper(ConfigFile(),
         "UPDATE vals SET data = x'3100' WHERE name = "
         "CAST(x'48006F0073007400410064006400720065007300730000' AS BLOB) OR type = 1");
  Reopen();
  HKEY key = nullptr;
  EXPECT_EQ(kErrorRegistryCorrupt, Open(kConfigKey, &key));
  EXPECT_EQ(0, MovedAsideFiles());
  EXPECT_TRUE(reports_.empty());
  EXPECT_TRUE(std::filesystem::exists(ConfigFile()));
  EXPECT_EQ(kErrorSuccess, Open(kUserKey, &key));
  reg_->RegCloseKey(key);
  EXPECT_NE(std::string::npos, reg_->DescribeDamage().find(ConfigFile())) << reg_->DescribeDamage();
}

// A cache file that is not a database at all is moved aside when opened.
TEST_F(RegistryDamageTest, ACacheFileThatIsNotADatabaseIsReplaced) {
  Fill();
  reg_.reset();
  {
    FILE* f = std::fopen(CacheFile().c_str(), "r+b");
    ASSERT_NE(nullptr, f);
    std::fwrite("garbage garbage garbage garbage", 1, 31, f);
    std::fclose(f);
  }
  std::filesystem::remove(CacheFile() + "-wal");
  Reopen();
  HKEY key = nullptr;
  EXPECT_EQ(kErrorFileNotFound, Open(kUserKey, &key));
  EXPECT_EQ(1, MovedAsideFiles());
  EXPECT_EQ(1u, reports_.size());
}

// A store of the first layout, without checksums, gets them when opened.
TEST_F(RegistryDamageTest, AStoreOfTheFirstLayoutGetsItsChecksums) {
  std::filesystem::create_directories(dir_.File("old"));
  const std::string file = dir_.File("old/registry.db");
  Tamper(file, R"sql(
    CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,
      name BLOB NOT NULL, fold BLOB NOT NULL, UNIQUE(parent, fold));
    CREATE TABLE vals(id INTEGER PRIMARY KEY AUTOINCREMENT, key INTEGER NOT NULL,
      name BLOB NOT NULL, fold BLOB NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL,
      UNIQUE(key, fold));
    CREATE INDEX vals_order ON vals(key, id);
    INSERT INTO keys(id, parent, name, fold) VALUES(1, 0, x'', x'');
    INSERT INTO keys(parent, name, fold) VALUES(1, CAST(x'41006200' AS BLOB), CAST(x'00410042' AS BLOB));
    INSERT INTO vals(key, name, fold, type, data) VALUES(2, CAST(x'56003100' AS BLOB),
      CAST(x'00560031' AS BLOB), 4, x'07000000');
    PRAGMA user_version = 1;)sql");
  std::string message;
  auto store = RegistryStore::Open(file, RegistryStore::Journal::kWal, &message);
  ASSERT_TRUE(store) << message;
  KeyId key = 0;
  ASSERT_EQ(kErrorSuccess, store->FindChild(kRootKeyId, u"AB", &key));
  EXPECT_EQ(kErrorSuccess, store->VerifyKey(kRootKeyId));
  EXPECT_EQ(kErrorSuccess, store->VerifyKey(key));
  BYTE data[4];
  DWORD size = 4, type = 0;
  EXPECT_EQ(kErrorSuccess, store->GetValue(key, u"v1", &type, data, &size));
  EXPECT_EQ(7, data[0]);
  std::string report;
  EXPECT_TRUE(store->CheckIntegrity(&report)) << report;
}

// A store written when names folded by a table of a few scripts gets
// Unicode's folds when first opened for writing: a name beyond that table
// is then found in any letter case, and its row is sound.
TEST_F(RegistryDamageTest, AStoreOfTableFoldsIsRefoldedWhenOpened) {
  std::filesystem::create_directories(dir_.File("old"));
  const std::string file = dir_.File("old/registry.db");
  std::string message;
  {
    auto store = RegistryStore::Open(file, RegistryStore::Journal::kWal, &message);
    ASSERT_TRUE(store) << message;
    KeyId key = 0;
    bool created = false;
    ASSERT_EQ(kErrorSuccess, store->CreateChild(kRootKeyId, u"\u03c2\u0561", &key, &created));
    const BYTE seven[4] = {7, 0, 0, 0};
    ASSERT_EQ(kErrorSuccess, store->SetValue(key, u"\u0562", 4, seven, sizeof seven));
  }
  // As the table folded them: final sigma to U+03A2, Armenian not at all.
  Tamper(file,
         "UPDATE keys SET fold = x'03A20561' WHERE fold = x'03A30531'; "
         "UPDATE vals SET fold = x'0562' WHERE fold = x'0532'; PRAGMA user_version = 2;");
  auto store = RegistryStore::Open(file, RegistryStore::Journal::kWal, &message);
  ASSERT_TRUE(store) << message;
  KeyId key = 0;
  ASSERT_EQ(kErrorSuccess, store->FindChild(kRootKeyId, u"\u03a3\u0531", &key));
  EXPECT_EQ(kErrorSuccess, store->VerifyKey(key));
  BYTE data[4];
  DWORD size = 4, type = 0;
  EXPECT_EQ(kErrorSuccess, store->GetValue(key, u"\u0532", &type, data, &size));
  EXPECT_EQ(7, data[0]);
  std::string report;
  EXPECT_TRUE(store->CheckIntegrity(&report)) << report;
}

}  // namespace
}  // namespace zvt::platform
