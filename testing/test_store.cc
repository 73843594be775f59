// Host stores for tests on SQLite and PostgreSQL.
#include "testing/test_store.h"

#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <random>

namespace zvt::hostd::testing {
namespace {

// Runs `sql` on the database `uri` names.
bool RunSql(const std::string& uri, const std::string& sql, std::string* error) {
  PGconn* conn = PQconnectdb(uri.c_str());
  bool ok = conn != nullptr && PQstatus(conn) == CONNECTION_OK;
  if (ok) {
    PGresult* r = PQexec(conn, sql.c_str());
    ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
    PQclear(r);
  }
  if (!ok) *error = conn != nullptr ? PQerrorMessage(conn) : "out of memory";
  PQfinish(conn);
  return ok;
}

}  // namespace

std::string BackendName(Backend backend) {
  return backend == Backend::kSqlite ? "SQLite" : "PostgreSQL";
}

bool TestStore::Required() {
  const char* v = std::getenv("ZVT_REQUIRE_POSTGRES");
  return v != nullptr && *v != '\0' && std::string(v) != "0";
}

std::string WithDatabase(const std::string& uri, const std::string& database) {
  // scheme://authority/database?parameters
  size_t authority = uri.find("://");
  authority = authority == std::string::npos ? 0 : authority + 3;
  size_t slash = uri.find('/', authority), query = uri.find('?', authority);
  if (slash == std::string::npos || (query != std::string::npos && query < slash))
    return uri.substr(0, query) + "/" + database +
           (query == std::string::npos ? "" : uri.substr(query));
  return uri.substr(0, slash + 1) + database +
         (query == std::string::npos ? "" : uri.substr(query));
}

TestStore::TestStore(Backend backend) : backend_(backend) {
  if (backend == Backend::kSqlite) {
    location_ = dir_.File("host.db");
    return;
  }
  const char* base = std::getenv("ZVT_TEST_POSTGRES");
  if (base == nullptr || *base == '\0') {
    unavailable_ = "no PostgreSQL server for the tests ($ZVT_TEST_POSTGRES is not set)";
    return;
  }
  static std::atomic<int> counter{0};
  std::random_device seed;
  database_ = "zvt_test_" + std::to_string(getpid()) + "_" + std::to_string(++counter) + "_" +
              std::to_string(seed() % 100000);
  std::string error;
  if (!RunSql(base, "CREATE DATABASE " + database_, &error)) {
    unavailable_ = "cannot create a test database on " + std::string(base) + ": " + error;
    database_.clear();
    return;
  }
  location_ = WithDatabase(base, database_);
}

TestStore::~TestStore() {
  if (database_.empty()) return;
  std::string error;
  RunSql(std::getenv("ZVT_TEST_POSTGRES"), "DROP DATABASE " + database_ + " WITH (FORCE)", &error);
}

std::unique_ptr<HostStore> TestStore::Open(std::string* error) const {
  StoreOptions options;
  options.migrate = true;
  return HostStore::Open(location_, options, error);
}

std::unique_ptr<HostStore> TestStore::OpenHolding(std::string* error) const {
  StoreOptions options;
  options.hold_stamps = true;
  return HostStore::Open(location_, options, error);
}

bool TestStore::Sql(const std::string& sql, std::string* error) const {
  if (backend_ == Backend::kPostgres) return RunSql(location_, sql, error);
  // As the sqlite3 shell would: a connection of its own, triggers on.
  sqlite3* db = nullptr;
  bool ok = sqlite3_open_v2(location_.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK;
  char* message = nullptr;
  if (ok) {
    sqlite3_busy_timeout(db, 10000);
    ok = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK;
  }
  if (!ok)
    *error = message != nullptr ? message : (db != nullptr ? sqlite3_errmsg(db) : "no memory");
  sqlite3_free(message);
  sqlite3_close(db);
  return ok;
}

}  // namespace zvt::hostd::testing
