// The SQLite toolkit of the host store, over the platform's statement
// holders: the prepared statements of one connection, cached by their text;
// a statement borrowed from the cache for one use; and the write transaction, whose commit is
// counted on the store's change counter.
#ifndef ZVT_HOSTD_SQLITE_STATEMENTS_H_
#define ZVT_HOSTD_SQLITE_STATEMENTS_H_

#include <sqlite3.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "platform/change_counter.h"
#include "platform/sqlite_statement.h"

namespace zvt::hostd::sqlite {

// Prepared statements of one connection, by SQL text, each lent out to one
// use at a time; looked up without copying the text. Emptied before the
// connection closes.
struct StatementCache {
  struct Entry {
    platform::SqliteStatement statement;
    bool lent = false;
  };
  sqlite3* db = nullptr;
  std::map<std::string, Entry, std::less<>> statements;
};

// A prepared statement borrowed from the store's cache for one use, and
// returned to it reset. A statement already lent out (a nested use of the
// same text) is prepared once more for this use alone.
class Stmt {
 public:
  Stmt(StatementCache* cache, const char* sql, std::string* error)
      : db_(cache->db), use_(Borrow(cache, sql, error)) {}
  ~Stmt() {
    if (entry_ != nullptr) entry_->lent = false;
  }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  bool ok() const { return st_ != nullptr; }
  Stmt& Text(int i, const std::string& s) {
    sqlite3_bind_text(st_, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Stmt& Int(int i, int64_t v) {
    sqlite3_bind_int64(st_, i, v);
    return *this;
  }
  Stmt& Blob(int i, const Stamp& s) {
    sqlite3_bind_blob(st_, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE, or an error (then `*error` is set).
  int Step(std::string* error) {
    int rc = sqlite3_step(st_);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
      *error = std::string("host store: ") + sqlite3_errmsg(db_);
    return rc;
  }
  std::string Col(int i) const {
    const auto* p = sqlite3_column_text(st_, i);
    return p != nullptr
               ? std::string(reinterpret_cast<const char*>(p), sqlite3_column_bytes(st_, i))
               : std::string();
  }
  int64_t ColInt(int i) const { return sqlite3_column_int64(st_, i); }
  // A stamp is kept as its eight bytes, or as the integer they make when
  // the store's triggers moved it (SQL has no way to make such bytes).
  Stamp ColStamp(int i) const {
    Stamp s{};
    if (sqlite3_column_type(st_, i) == SQLITE_INTEGER) {
      s = StampOf(static_cast<uint64_t>(sqlite3_column_int64(st_, i)));
    } else if (sqlite3_column_bytes(st_, i) == 8) {
      std::memcpy(s.data(), sqlite3_column_blob(st_, i), 8);
    }
    return s;
  }
  int Changes() const { return sqlite3_changes(db_); }

 private:
  // The cached statement of `sql` when it is free, else one prepared for
  // this use alone (and cached when the text is new).
  sqlite3_stmt* Borrow(StatementCache* cache, const char* sql, std::string* error) {
    auto it = cache->statements.find(std::string_view(sql));
    if (it != cache->statements.end() && !it->second.lent) {
      entry_ = &it->second;
      entry_->lent = true;
      return st_ = entry_->statement.get();
    }
    platform::SqliteStatement fresh(db_, sql);
    if (!fresh) {
      *error = std::string("host store: ") + sqlite3_errmsg(db_);
      return st_ = nullptr;
    }
    st_ = fresh.get();
    if (it == cache->statements.end())
      entry_ = &cache->statements.emplace(sql, StatementCache::Entry{std::move(fresh), true})
                    .first->second;
    else
      own_ = std::move(fresh);
    return st_;
  }

  sqlite3* db_;
  StatementCache::Entry* entry_ = nullptr;  // null: this use's own statement
  sqlite3_stmt* st_ = nullptr;
  platform::SqliteStatement own_;  // a statement prepared for this use alone
  platform::SqliteUse use_;        // declared last: resets before `own_` goes
};

// BEGIN IMMEDIATE ... COMMIT, rolled back unless committed; a commit is
// counted on the store's change counter (when it has one).
class WriteTransaction {
 public:
  WriteTransaction(sqlite3* db, platform::ChangeCounter* counter, std::string* error)
      : db_(db), counter_(counter) {
    ok_ = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok_) *error = std::string("host store: ") + sqlite3_errmsg(db);
  }
  ~WriteTransaction() {
    if (ok_ && !done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  WriteTransaction(const WriteTransaction&) = delete;
  WriteTransaction& operator=(const WriteTransaction&) = delete;
  bool ok() const { return ok_; }
  bool Commit(std::string* error) {
    if (!ok_) return false;
    done_ = true;
    if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) {
      if (counter_ != nullptr) counter_->Bump();
      return true;
    }
    *error = std::string("host store: ") + sqlite3_errmsg(db_);
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
  }

 private:
  sqlite3* db_;
  platform::ChangeCounter* counter_;
  bool ok_;
  bool done_ = false;
};

}  // namespace zvt::hostd::sqlite

#endif  // ZVT_HOSTD_SQLITE_STATEMENTS_H_
