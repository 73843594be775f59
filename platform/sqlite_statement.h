// SQLite prepared statements held the way both of the system's SQLite
// stores (the registry store and the host server's store) hold them: a
// statement owned by one object and finalized with it, and one use of a
// statement, which leaves it reset with its bindings cleared however the
// use ends. Header-only, as the host server links no more of the platform.
#ifndef ZVT_PLATFORM_SQLITE_STATEMENT_H_
#define ZVT_PLATFORM_SQLITE_STATEMENT_H_

#include <sqlite3.h>

#include <utility>

namespace zvt::platform {

class SqliteStatement {
 public:
  SqliteStatement() = default;
  // Prepares `sql`; the statement is null when that fails (sqlite3_errmsg
  // of `db` says why). `flags`: SQLITE_PREPARE_* (sqlite3_prepare_v3).
  SqliteStatement(sqlite3* db, const char* sql, unsigned flags = 0) {
    if (sqlite3_prepare_v3(db, sql, -1, flags, &st_, nullptr) != SQLITE_OK) {
      sqlite3_finalize(st_);
      st_ = nullptr;
    }
  }
  ~SqliteStatement() { sqlite3_finalize(st_); }
  SqliteStatement(SqliteStatement&& other) noexcept : st_(std::exchange(other.st_, nullptr)) {}
  SqliteStatement& operator=(SqliteStatement&& other) noexcept {
    std::swap(st_, other.st_);
    return *this;
  }
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;

  sqlite3_stmt* get() const { return st_; }
  explicit operator bool() const { return st_ != nullptr; }

 private:
  sqlite3_stmt* st_ = nullptr;
};

// One use of a statement: reset, and its bindings cleared, when the use
// ends. A null statement (one that could not be prepared) is left alone;
// SQLite turns every use of it into SQLITE_MISUSE.
class SqliteUse {
 public:
  explicit SqliteUse(sqlite3_stmt* st) : st_(st) {}
  ~SqliteUse() {
    if (st_ == nullptr) return;
    sqlite3_reset(st_);
    sqlite3_clear_bindings(st_);
  }
  SqliteUse(const SqliteUse&) = delete;
  SqliteUse& operator=(const SqliteUse&) = delete;
  sqlite3_stmt* get() const { return st_; }

 private:
  sqlite3_stmt* st_;
};

}  // namespace zvt::platform

#endif  // ZVT_PLATFORM_SQLITE_STATEMENT_H_
