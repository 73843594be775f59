// Host stores for tests, on either backend: a SQLite file in a temporary
// directory, or a database of its own on the PostgreSQL server the test
// command started ($ZVT_TEST_POSTGRES: a URI of a database the test user may
// create databases from), dropped afterwards.
#ifndef ZVT_TESTING_TEST_STORE_H_
#define ZVT_TESTING_TEST_STORE_H_

#include <memory>
#include <string>

#include "hostd/host_store.h"
#include "testing/temp_dir.h"

namespace zvt::hostd::testing {

enum class Backend { kSqlite, kPostgres };

// "SQLite" or "PostgreSQL", for test names.
std::string BackendName(Backend backend);

class TestStore {
 public:
  explicit TestStore(Backend backend);
  ~TestStore();
  TestStore(const TestStore&) = delete;
  TestStore& operator=(const TestStore&) = delete;

  // Empty when the store is there; otherwise why not (no PostgreSQL server
  // was given): the test skips, unless $ZVT_REQUIRE_POSTGRES is set, when
  // it fails.
  const std::string& unavailable() const { return unavailable_; }
  static bool Required();

  // What HostStore::Open and zvthostd --store take.
  const std::string& location() const { return location_; }
  // Opens the store, creating its schema.
  std::unique_ptr<HostStore> Open(std::string* error) const;
  // Opens it as a server does: holding the timestamps and list pages it
  // reads in memory (StoreOptions::hold_stamps).
  std::unique_ptr<HostStore> OpenHolding(std::string* error) const;
  // Runs SQL on the store's database from a connection of its own, as the
  // sqlite3 shell or psql would (tests that edit, damage or inspect it);
  // false with `*error` on failure.
  bool Sql(const std::string& sql, std::string* error) const;

 private:
  Backend backend_;
  zvt::testing::TempDir dir_;
  std::string location_;
  std::string database_;
  std::string unavailable_;
};

// The URI `uri` with its database name replaced by `database`.
std::string WithDatabase(const std::string& uri, const std::string& database);

}  // namespace zvt::hostd::testing

#endif  // ZVT_TESTING_TEST_STORE_H_
