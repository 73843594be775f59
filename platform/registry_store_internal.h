// What the parts of RegistryStore share: the SQLite helpers (name and fold
// bytes, bindings, statement use, result codes, column checks) and the write
// transaction template. The parts: registry_store.cc (opening, layout,
// statements, integrity), registry_store_groups.cc (write groups and
// batches), registry_store_rows.cc (reading and checking rows, verifying
// keys), registry_store_keys.cc (keys and values). Internal to the store.
#ifndef ZVT_PLATFORM_REGISTRY_STORE_INTERNAL_H_
#define ZVT_PLATFORM_REGISTRY_STORE_INTERNAL_H_

#include <sqlite3.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/name_fold.h"
#include "platform/registry_store.h"
#include "platform/sqlite_statement.h"

namespace zvt::platform::store_internal {

// Built with ZVT_UNCHECKED_ROWS only for the benchmark that measures what
// the checks cost: rows are read without being checked. The checksums are
// still written, so both builds read and write the same files.
#ifdef ZVT_UNCHECKED_ROWS
inline constexpr bool kCheckRows = false;
#else
inline constexpr bool kCheckRows = true;
#endif

// The folded name as big-endian UTF-16 bytes, so that memcmp order is code
// unit order.
inline std::string FoldBytes(std::u16string_view name) {
  std::string out(name.size() * 2, '\0');
  for (size_t i = 0; i < name.size(); ++i) {
    char16_t f = FoldChar(name[i]);
    out[2 * i] = static_cast<char>(f >> 8);
    out[2 * i + 1] = static_cast<char>(f & 0xFF);
  }
  return out;
}

inline std::u16string FromFoldBytes(const void* data, int size) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  std::u16string out(static_cast<size_t>(size) / 2, u'\0');
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<char16_t>((p[2 * i] << 8) | p[2 * i + 1]);
  return out;
}

inline std::u16string FromNameBytes(const void* data, int size) {
  std::u16string out(static_cast<size_t>(size) / 2, u'\0');
  if (!out.empty()) std::memcpy(out.data(), data, out.size() * 2);
  return out;
}

inline void BindName(sqlite3_stmt* st, int index, std::u16string_view name) {
  static const char kEmpty = 0;
  sqlite3_bind_blob(st, index, name.empty() ? &kEmpty : static_cast<const void*>(name.data()),
                    static_cast<int>(name.size() * 2), SQLITE_STATIC);
}

inline void BindBytes(sqlite3_stmt* st, int index, const std::string& bytes) {
  static const char kEmpty = 0;
  sqlite3_bind_blob(st, index, bytes.empty() ? &kEmpty : bytes.data(),
                    static_cast<int>(bytes.size()), SQLITE_STATIC);
}

// One use of one of the store's statements; a statement that could not be
// prepared fails every use, which callers report as a failed read or write.
using StmtUse = SqliteUse;

inline bool IsDamageCode(int rc) {
  return (rc & 0xFF) == SQLITE_CORRUPT || (rc & 0xFF) == SQLITE_NOTADB ||
         rc == SQLITE_IOERR_SHORT_READ;
}

inline LONG MapSqliteCode(int rc) {
  if (IsDamageCode(rc)) return kErrorRegistryCorrupt;
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
      return kErrorSuccess;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return kErrorBusy;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return kErrorAccessDenied;
    case SQLITE_NOMEM:
      return kErrorNotEnoughMemory;
    case SQLITE_TOOBIG:
      return kErrorInvalidParameter;
    default:
      return kErrorRegistryIoFailed;
  }
}

inline bool IsInteger(sqlite3_stmt* st, int column) {
  return sqlite3_column_type(st, column) == SQLITE_INTEGER;
}
inline bool IsBlob(sqlite3_stmt* st, int column) {
  return sqlite3_column_type(st, column) == SQLITE_BLOB;
}
inline std::uint64_t Unsigned(sqlite3_stmt* st, int column) {
  return static_cast<std::uint64_t>(sqlite3_column_int64(st, column));
}

// A name column: UTF-16 bytes, so an even count.
inline bool ReadName(sqlite3_stmt* st, int column, std::u16string* name) {
  if (!IsBlob(st, column)) return false;
  int size = sqlite3_column_bytes(st, column);
  if (size % 2 != 0) return false;
  *name = FromNameBytes(sqlite3_column_blob(st, column), size);
  return true;
}

// A value row's columns as every value statement reads them (id, name,
// fold, type, data, chk), each read once from SQLite's own copies; valid
// until the statement moves on.
struct ValueColumns {
  std::int64_t id = 0;
  std::int64_t type = 0;
  std::uint64_t check = 0;
  const unsigned char* name = nullptr;
  size_t name_bytes = 0;
  const unsigned char* fold = nullptr;
  size_t fold_bytes = 0;
  const BYTE* data = nullptr;
  size_t data_size = 0;
};

// Reads the row `st` stands on; false when a column is of the wrong kind.
// `whole` also reads and shapes what only a check needs: the fold, the
// checksum and a name of whole code units.
inline bool ReadValueColumns(sqlite3_stmt* st, bool whole, ValueColumns* c) {
  if (!IsInteger(st, 0) || !IsBlob(st, 1) || !IsInteger(st, 3) || !IsBlob(st, 4)) return false;
  c->id = sqlite3_column_int64(st, 0);
  c->type = sqlite3_column_int64(st, 3);
  c->name = static_cast<const unsigned char*>(sqlite3_column_blob(st, 1));
  c->name_bytes = static_cast<size_t>(sqlite3_column_bytes(st, 1));
  c->data = static_cast<const BYTE*>(sqlite3_column_blob(st, 4));
  c->data_size = static_cast<size_t>(sqlite3_column_bytes(st, 4));
  if (!whole) return true;
  if (!IsInteger(st, 5) || !IsBlob(st, 2) || c->name_bytes % 2 != 0) return false;
  c->check = Unsigned(st, 5);
  c->fold = static_cast<const unsigned char*>(sqlite3_column_blob(st, 2));
  c->fold_bytes = static_cast<size_t>(sqlite3_column_bytes(st, 2));
  return true;
}

// `fold` must be the fold of `name` (UTF-16 code units in the store's
// order; the fold's are big-endian): a fold that is not is a row that
// lookups would miss.
inline bool FoldMatches(const unsigned char* fold, size_t fold_bytes, const unsigned char* name,
                        size_t name_bytes) {
  if (fold_bytes != name_bytes) return false;
  for (size_t i = 0; i + 1 < name_bytes; i += 2) {
    char16_t c;
    std::memcpy(&c, name + i, sizeof c);
    const char16_t f = FoldChar(c);
    if (fold[i] != static_cast<unsigned char>(f >> 8) ||
        fold[i + 1] != static_cast<unsigned char>(f & 0xFF))
      return false;
  }
  return true;
}

// The fold column must be the fold of the name column, compared on
// SQLite's own copies of both.
inline bool FoldMatches(sqlite3_stmt* st, int fold_column, int name_column) {
  if (!IsBlob(st, fold_column) || !IsBlob(st, name_column)) return false;
  const auto* name = static_cast<const unsigned char*>(sqlite3_column_blob(st, name_column));
  const auto* fold = static_cast<const unsigned char*>(sqlite3_column_blob(st, fold_column));
  return FoldMatches(fold, static_cast<size_t>(sqlite3_column_bytes(st, fold_column)), name,
                     static_cast<size_t>(sqlite3_column_bytes(st, name_column)));
}

inline std::string KeyText(KeyId key) { return "key " + std::to_string(key); }

}  // namespace zvt::platform::store_internal

namespace zvt::platform {

template <typename Body>
LONG RegistryStore::Write(Body body, bool keeps_sums_waiting) {
  RecursiveMutexLock lock(&mu_);
  if (read_only_) return kErrorAccessDenied;
  if (batch_depth_ > 0) return body();
  if (group_open_) {
    if (!keeps_sums_waiting)
      if (LONG rc = SettleSums(); rc != kErrorSuccess) return rc;
    const int changes = sqlite3_total_changes(db_);
    LONG result = body();
    if (result == kErrorSuccess) {
      ++write_count_;
      return result;
    }
    // A write that failed before it changed a row leaves the group as it
    // was. One that failed after (or took SQLite's transaction with it)
    // cannot be undone alone: the whole group goes, and its commit says so.
    if (sqlite3_total_changes(db_) != changes || sqlite3_get_autocommit(db_) != 0)
      LoseGroup(result);
    return result;
  }
  if (int rc = Step(kBegin); rc != SQLITE_DONE) return Fail(rc);
  LONG result = body();
  if (result == kErrorSuccess) {
    int rc = Step(kCommit);
    if (rc == SQLITE_DONE) {
      ++write_count_;
      if (commits_) commits_->Bump();
      return kErrorSuccess;
    }
    result = Fail(rc);
  }
  Step(kRollback);
  return result;
}

}  // namespace zvt::platform

#endif  // ZVT_PLATFORM_REGISTRY_STORE_INTERNAL_H_
