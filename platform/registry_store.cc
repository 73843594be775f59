// The SQLite schema and statements behind RegistryStore. Names are stored as
// UTF-16 bytes; each row also holds its folded name as big-endian UTF-16, so
// the index orders and finds names case-insensitively by code unit.
#include "platform/registry_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/name_fold.h"

namespace zvt::platform {
namespace {

constexpr int kBusyTimeoutMs = 10000;  // how long a writer waits for another process

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS keys(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent INTEGER NOT NULL,
  name BLOB NOT NULL,
  fold BLOB NOT NULL,
  UNIQUE(parent, fold));
CREATE TABLE IF NOT EXISTS vals(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  key INTEGER NOT NULL,
  name BLOB NOT NULL,
  fold BLOB NOT NULL,
  type INTEGER NOT NULL,
  data BLOB NOT NULL,
  UNIQUE(key, fold));
CREATE INDEX IF NOT EXISTS vals_order ON vals(key, id);
INSERT OR IGNORE INTO keys(id, parent, name, fold) VALUES(1, 0, x'', x'');
PRAGMA user_version = 1;
)sql";
constexpr int kSchemaVersion = 1;  // the user_version the schema above sets

constexpr const char* kStatementText[] = {
    "SELECT id FROM keys WHERE parent = ?1 AND fold = ?2",
    "SELECT 1 FROM keys WHERE id = ?1",
    "INSERT INTO keys(parent, name, fold) VALUES(?1, ?2, ?3)",
    "SELECT EXISTS(SELECT 1 FROM keys WHERE parent = ?1)",
    "DELETE FROM vals WHERE key = ?1",
    "DELETE FROM keys WHERE id = ?1",
    "SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2",
    "UPDATE vals SET type = ?3, data = ?4 WHERE key = ?1 AND fold = ?2",
    "INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5)",
    "DELETE FROM vals WHERE key = ?1 AND fold = ?2",
    "SELECT id, name, fold FROM keys WHERE parent = ?1 ORDER BY fold LIMIT 1 OFFSET ?2",
    "SELECT id, name, fold FROM keys WHERE parent = ?1 AND fold > ?2 ORDER BY fold LIMIT 1",
    "SELECT id, name, type, data FROM vals WHERE key = ?1 ORDER BY id LIMIT ?3 OFFSET ?2",
    "SELECT id, name, type, data FROM vals WHERE key = ?1 AND id > ?2 ORDER BY id LIMIT ?3",
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
    "PRAGMA data_version",
};

// The folded name as big-endian UTF-16 bytes, so that memcmp order is code
// unit order.
std::string FoldBytes(std::u16string_view name) {
  std::string out(name.size() * 2, '\0');
  for (size_t i = 0; i < name.size(); ++i) {
    char16_t f = FoldChar(name[i]);
    out[2 * i] = static_cast<char>(f >> 8);
    out[2 * i + 1] = static_cast<char>(f & 0xFF);
  }
  return out;
}

std::u16string FromFoldBytes(const void* data, int size) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  std::u16string out(static_cast<size_t>(size) / 2, u'\0');
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<char16_t>((p[2 * i] << 8) | p[2 * i + 1]);
  return out;
}

std::u16string FromNameBytes(const void* data, int size) {
  std::u16string out(static_cast<size_t>(size) / 2, u'\0');
  if (!out.empty()) std::memcpy(out.data(), data, out.size() * 2);
  return out;
}

void BindName(sqlite3_stmt* st, int index, std::u16string_view name) {
  static const char kEmpty = 0;
  sqlite3_bind_blob(st, index, name.empty() ? &kEmpty : static_cast<const void*>(name.data()),
                    static_cast<int>(name.size() * 2), SQLITE_STATIC);
}

void BindBytes(sqlite3_stmt* st, int index, const std::string& bytes) {
  static const char kEmpty = 0;
  sqlite3_bind_blob(st, index, bytes.empty() ? &kEmpty : bytes.data(),
                    static_cast<int>(bytes.size()), SQLITE_STATIC);
}

// Resets a statement and clears its bindings when the use ends. A statement
// that could not be prepared is null; SQLite turns every use of it into
// SQLITE_MISUSE, which callers report as a failed read or write.
class StmtUse {
 public:
  explicit StmtUse(sqlite3_stmt* st) : st_(st) {}
  ~StmtUse() {
    if (st_ == nullptr) return;
    sqlite3_reset(st_);
    sqlite3_clear_bindings(st_);
  }
  sqlite3_stmt* get() const { return st_; }

 private:
  sqlite3_stmt* st_;
};

LONG MapSqliteCode(int rc) {
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
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_SCHEMA:
      return kErrorRegistryCorrupt;
    case SQLITE_NOMEM:
      return kErrorNotEnoughMemory;
    case SQLITE_TOOBIG:
      return kErrorInvalidParameter;
    default:
      return kErrorRegistryIoFailed;
  }
}

}  // namespace

std::unique_ptr<RegistryStore> RegistryStore::Open(const std::string& path, Journal journal,
                                                   std::string* message) {
  // Create the file ourselves so that it gets the intended mode: private for a
  // user's store, world-readable for the machine-wide one.
  mode_t mode = journal == Journal::kWal ? 0600 : 0644;
  bool read_only = false;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, mode);
  if (fd >= 0) {
    ::close(fd);
  } else if (errno == EACCES || errno == EROFS) {
    read_only = true;
  } else {
    *message = "cannot open registry store " + path + ": " + std::strerror(errno);
    return nullptr;
  }

  sqlite3* db = nullptr;
  int flags = (read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_NOMUTEX;
  int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    *message = "cannot open registry store " + path + ": " +
               (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_close(db);
    return nullptr;
  }
  if (!read_only && sqlite3_db_readonly(db, "main") == 1) read_only = true;
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  sqlite3_extended_result_codes(db, 1);

  std::unique_ptr<RegistryStore> store(new RegistryStore(db, path, read_only));
  auto exec = [&](const char* sql) {
    char* err = nullptr;
    int code = sqlite3_exec(db, sql, nullptr, nullptr, &err);
    if (code != SQLITE_OK) {
      *message = "registry store " + path + ": " + (err != nullptr ? err : sqlite3_errstr(code));
      if ((code & 0xFF) == SQLITE_NOTADB) *message = path + " is not a registry store";
    }
    sqlite3_free(err);
    return code == SQLITE_OK;
  };
  // A store already laid out (the usual case) is only read here; the write
  // transaction that lays it out is taken for a new file alone.
  int version = -1;
  {
    sqlite3_stmt* st = nullptr;
    int code = sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &st, nullptr);
    if (code == SQLITE_OK) code = sqlite3_step(st);
    if (code == SQLITE_ROW) version = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
    if (code != SQLITE_ROW) {
      *message = (code & 0xFF) == SQLITE_NOTADB
                     ? path + " is not a registry store"
                     : "registry store " + path + ": " + sqlite3_errmsg(db);
      return nullptr;
    }
  }
  if (!read_only) {
    if (journal == Journal::kWal) {
      // A process killed at any instant leaves the last committed state; only
      // a power loss may drop the newest commits, never reorder them.
      if (!exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;")) return nullptr;
    } else {
      if (!exec("PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL;")) return nullptr;
    }
    if (version != kSchemaVersion) {
      if (!exec("BEGIN IMMEDIATE")) return nullptr;
      if (!exec(kSchema)) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        return nullptr;
      }
      if (!exec("COMMIT")) return nullptr;
      version = kSchemaVersion;
    }
  }
  if (version != kSchemaVersion) {
    *message = "registry store " + path + " has no usable schema";
    return nullptr;
  }
  return store;
}

RegistryStore::RegistryStore(sqlite3* db, std::string path, bool read_only)
    : db_(db), path_(std::move(path)), read_only_(read_only) {}

RegistryStore::~RegistryStore() {
  for (sqlite3_stmt* st : statements_) sqlite3_finalize(st);
  sqlite3_close(db_);
}

// Statements are prepared on first use: a process that only reads a few
// values does not pay for parsing every statement the store has.
sqlite3_stmt* RegistryStore::Statement(Stmt which) {
  if (statements_[which] == nullptr &&
      sqlite3_prepare_v3(db_, kStatementText[which], -1, SQLITE_PREPARE_PERSISTENT,
                         &statements_[which], nullptr) != SQLITE_OK) {
    sqlite3_finalize(statements_[which]);
    statements_[which] = nullptr;
  }
  return statements_[which];
}

LONG RegistryStore::Fail(int sqlite_code) { return MapSqliteCode(sqlite_code); }

std::string RegistryStore::LastErrorMessage() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return sqlite3_errmsg(db_);
}

template <typename Body>
LONG RegistryStore::Write(Body body) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (read_only_) return kErrorAccessDenied;
  if (batch_depth_ > 0) return body();
  {
    StmtUse begin(Statement(kBegin));
    int rc = sqlite3_step(begin.get());
    if (rc != SQLITE_DONE) return Fail(rc);
  }
  LONG result = body();
  if (result == kErrorSuccess) {
    StmtUse commit(Statement(kCommit));
    int rc = sqlite3_step(commit.get());
    if (rc == SQLITE_DONE) {
      ++write_count_;
      return kErrorSuccess;
    }
    result = Fail(rc);
  }
  StmtUse rollback(Statement(kRollback));
  sqlite3_step(rollback.get());
  return result;
}

LONG RegistryStore::KeyExistsLocked(KeyId key) {
  StmtUse st(Statement(kKeyExists));
  sqlite3_bind_int64(st.get(), 1, key);
  int rc = sqlite3_step(st.get());
  if (rc == SQLITE_ROW) return kErrorSuccess;
  if (rc == SQLITE_DONE) return kErrorKeyDeleted;
  return Fail(rc);
}

LONG RegistryStore::KeyExists(KeyId key) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return KeyExistsLocked(key);
}

LONG RegistryStore::FindChild(KeyId parent, std::u16string_view name, KeyId* child) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  std::string fold = FoldBytes(name);
  StmtUse st(Statement(kFindChild));
  sqlite3_bind_int64(st.get(), 1, parent);
  BindBytes(st.get(), 2, fold);
  int rc = sqlite3_step(st.get());
  if (rc == SQLITE_ROW) {
    *child = sqlite3_column_int64(st.get(), 0);
    return kErrorSuccess;
  }
  if (rc != SQLITE_DONE) return Fail(rc);
  LONG parent_state = KeyExistsLocked(parent);
  return parent_state == kErrorSuccess ? kErrorFileNotFound : parent_state;
}

LONG RegistryStore::CreateChild(KeyId parent, std::u16string_view name, KeyId* child,
                                bool* created) {
  if (name.empty() || name.size() > kMaxKeyNameChars) return kErrorInvalidParameter;
  *created = false;
  return Write([&]() -> LONG {
    LONG found = FindChild(parent, name, child);
    if (found != kErrorFileNotFound) return found;
    std::string fold = FoldBytes(name);
    StmtUse st(Statement(kInsertKey));
    sqlite3_bind_int64(st.get(), 1, parent);
    BindName(st.get(), 2, name);
    BindBytes(st.get(), 3, fold);
    int rc = sqlite3_step(st.get());
    if (rc != SQLITE_DONE) return Fail(rc);
    *child = sqlite3_last_insert_rowid(db_);
    *created = true;
    return kErrorSuccess;
  });
}

LONG RegistryStore::DeleteKey(KeyId key) {
  if (key == kRootKeyId) return kErrorAccessDenied;
  return Write([&]() -> LONG {
    LONG exists = KeyExistsLocked(key);
    if (exists != kErrorSuccess) return exists;
    {
      StmtUse st(Statement(kCountChildren));
      sqlite3_bind_int64(st.get(), 1, key);
      int rc = sqlite3_step(st.get());
      if (rc != SQLITE_ROW) return Fail(rc);
      if (sqlite3_column_int(st.get(), 0) != 0) return kErrorAccessDenied;
    }
    for (Stmt which : {kDeleteValues, kDeleteKey}) {
      StmtUse st(Statement(which));
      sqlite3_bind_int64(st.get(), 1, key);
      int rc = sqlite3_step(st.get());
      if (rc != SQLITE_DONE) return Fail(rc);
    }
    return kErrorSuccess;
  });
}

LONG RegistryStore::GetValue(KeyId key, std::u16string_view name, DWORD* type, BYTE* data,
                             DWORD* data_size) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  std::string fold = FoldBytes(name);
  StmtUse st(Statement(kGetValue));
  sqlite3_bind_int64(st.get(), 1, key);
  BindBytes(st.get(), 2, fold);
  int rc = sqlite3_step(st.get());
  if (rc == SQLITE_DONE) {
    LONG key_state = KeyExistsLocked(key);
    return key_state == kErrorSuccess ? kErrorFileNotFound : key_state;
  }
  if (rc != SQLITE_ROW) return Fail(rc);
  if (type != nullptr) *type = static_cast<DWORD>(sqlite3_column_int64(st.get(), 0));
  const void* blob = sqlite3_column_blob(st.get(), 1);
  DWORD size = static_cast<DWORD>(sqlite3_column_bytes(st.get(), 1));
  if (data_size == nullptr) return kErrorSuccess;
  if (data != nullptr) {
    if (*data_size < size) {
      *data_size = size;
      return kErrorMoreData;
    }
    if (size > 0) std::memcpy(data, blob, size);
  }
  *data_size = size;
  return kErrorSuccess;
}

LONG RegistryStore::SetValue(KeyId key, std::u16string_view name, DWORD type, const BYTE* data,
                             DWORD data_size) {
  if (name.size() > kMaxValueNameChars) return kErrorInvalidParameter;
  if (data == nullptr && data_size != 0) return kErrorInvalidParameter;
  return Write([&]() -> LONG {
    LONG exists = KeyExistsLocked(key);
    if (exists != kErrorSuccess) return exists;
    static const BYTE kEmpty = 0;
    const BYTE* bytes = data_size == 0 ? &kEmpty : data;
    std::string fold = FoldBytes(name);
    {
      StmtUse st(Statement(kUpdateValue));
      sqlite3_bind_int64(st.get(), 1, key);
      BindBytes(st.get(), 2, fold);
      sqlite3_bind_int64(st.get(), 3, type);
      sqlite3_bind_blob(st.get(), 4, bytes, static_cast<int>(data_size), SQLITE_STATIC);
      int rc = sqlite3_step(st.get());
      if (rc != SQLITE_DONE) return Fail(rc);
      if (sqlite3_changes(db_) > 0) return kErrorSuccess;
    }
    StmtUse st(Statement(kInsertValue));
    sqlite3_bind_int64(st.get(), 1, key);
    BindName(st.get(), 2, name);
    BindBytes(st.get(), 3, fold);
    sqlite3_bind_int64(st.get(), 4, type);
    sqlite3_bind_blob(st.get(), 5, bytes, static_cast<int>(data_size), SQLITE_STATIC);
    int rc = sqlite3_step(st.get());
    return rc == SQLITE_DONE ? kErrorSuccess : Fail(rc);
  });
}

LONG RegistryStore::DeleteValue(KeyId key, std::u16string_view name) {
  return Write([&]() -> LONG {
    LONG exists = KeyExistsLocked(key);
    if (exists != kErrorSuccess) return exists;
    std::string fold = FoldBytes(name);
    StmtUse st(Statement(kDeleteValue));
    sqlite3_bind_int64(st.get(), 1, key);
    BindBytes(st.get(), 2, fold);
    int rc = sqlite3_step(st.get());
    if (rc != SQLITE_DONE) return Fail(rc);
    return sqlite3_changes(db_) > 0 ? kErrorSuccess : kErrorFileNotFound;
  });
}

LONG RegistryStore::ReadKeyRow(sqlite3_stmt* st, KeyRow* row) {
  int rc = sqlite3_step(st);
  if (rc == SQLITE_DONE) return kErrorNoMoreItems;
  if (rc != SQLITE_ROW) return Fail(rc);
  row->id = sqlite3_column_int64(st, 0);
  row->name = FromNameBytes(sqlite3_column_blob(st, 1), sqlite3_column_bytes(st, 1));
  row->fold = FromFoldBytes(sqlite3_column_blob(st, 2), sqlite3_column_bytes(st, 2));
  return kErrorSuccess;
}

LONG RegistryStore::ReadValueRow(sqlite3_stmt* st, ValueRow* row) {
  int rc = sqlite3_step(st);
  if (rc == SQLITE_DONE) return kErrorNoMoreItems;
  if (rc != SQLITE_ROW) return Fail(rc);
  row->id = sqlite3_column_int64(st, 0);
  row->name = FromNameBytes(sqlite3_column_blob(st, 1), sqlite3_column_bytes(st, 1));
  row->type = static_cast<DWORD>(sqlite3_column_int64(st, 2));
  const BYTE* blob = static_cast<const BYTE*>(sqlite3_column_blob(st, 3));
  row->data.assign(blob, blob + sqlite3_column_bytes(st, 3));
  return kErrorSuccess;
}

LONG RegistryStore::SubkeyAt(KeyId parent, DWORD index, KeyRow* row) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  LONG result;
  {
    StmtUse st(Statement(kSubkeyAt));
    sqlite3_bind_int64(st.get(), 1, parent);
    sqlite3_bind_int64(st.get(), 2, index);
    result = ReadKeyRow(st.get(), row);
  }
  if (result == kErrorNoMoreItems && KeyExistsLocked(parent) == kErrorKeyDeleted)
    return kErrorKeyDeleted;
  return result;
}

LONG RegistryStore::SubkeyAfter(KeyId parent, std::u16string_view after_fold, KeyRow* row) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  LONG result;
  {
    // The fold of an already folded name is itself.
    std::string fold = FoldBytes(after_fold);
    StmtUse st(Statement(kSubkeyAfter));
    sqlite3_bind_int64(st.get(), 1, parent);
    BindBytes(st.get(), 2, fold);
    result = ReadKeyRow(st.get(), row);
  }
  if (result == kErrorNoMoreItems && KeyExistsLocked(parent) == kErrorKeyDeleted)
    return kErrorKeyDeleted;
  return result;
}

LONG RegistryStore::ReadValueRows(Stmt which, KeyId key, std::int64_t from, size_t limit,
                                  size_t byte_limit, std::vector<ValueRow>* rows) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  rows->clear();
  LONG result = kErrorSuccess;
  {
    StmtUse st(Statement(which));
    sqlite3_bind_int64(st.get(), 1, key);
    sqlite3_bind_int64(st.get(), 2, from);
    sqlite3_bind_int64(st.get(), 3, static_cast<sqlite3_int64>(limit));
    size_t bytes = 0;
    while (rows->size() < limit && bytes < byte_limit) {
      ValueRow row;
      result = ReadValueRow(st.get(), &row);
      if (result != kErrorSuccess) break;
      bytes += row.data.size() + row.name.size() * 2;
      rows->push_back(std::move(row));
    }
  }
  if (!rows->empty()) return kErrorSuccess;
  if (result == kErrorNoMoreItems && KeyExistsLocked(key) == kErrorKeyDeleted)
    return kErrorKeyDeleted;
  return result;
}

LONG RegistryStore::ValuesAt(KeyId key, DWORD index, size_t limit, size_t byte_limit,
                             std::vector<ValueRow>* rows) {
  return ReadValueRows(kValueAt, key, index, limit, byte_limit, rows);
}

LONG RegistryStore::ValuesAfter(KeyId key, std::int64_t after_id, size_t limit, size_t byte_limit,
                                std::vector<ValueRow>* rows) {
  return ReadValueRows(kValueAfter, key, after_id, limit, byte_limit, rows);
}

LONG RegistryStore::ValueAt(KeyId key, DWORD index, ValueRow* row) {
  std::vector<ValueRow> rows;
  LONG rc = ValuesAt(key, index, 1, 1, &rows);
  if (rc == kErrorSuccess) *row = std::move(rows.front());
  return rc;
}

LONG RegistryStore::ValueAfter(KeyId key, std::int64_t after_id, ValueRow* row) {
  std::vector<ValueRow> rows;
  LONG rc = ValuesAfter(key, after_id, 1, 1, &rows);
  if (rc == kErrorSuccess) *row = std::move(rows.front());
  return rc;
}

RegistryStore::Batch::Batch(RegistryStore* store)
    : store_(store), lock_(store->mu_), status_(kErrorSuccess), open_(false) {
  if (store_->read_only_) {
    status_ = kErrorAccessDenied;
    return;
  }
  StmtUse begin(store_->Statement(kBegin));
  int rc = sqlite3_step(begin.get());
  if (rc != SQLITE_DONE) {
    status_ = MapSqliteCode(rc);
    return;
  }
  open_ = true;
  ++store_->batch_depth_;
}

LONG RegistryStore::Batch::Commit() {
  if (!open_) return status_ == kErrorSuccess ? kErrorInvalidParameter : status_;
  StmtUse commit(store_->Statement(kCommit));
  int rc = sqlite3_step(commit.get());
  if (rc != SQLITE_DONE) return MapSqliteCode(rc);  // the destructor rolls back
  open_ = false;
  --store_->batch_depth_;
  ++store_->write_count_;
  return kErrorSuccess;
}

RegistryStore::Batch::~Batch() {
  if (!open_) return;
  StmtUse rollback(store_->Statement(kRollback));
  sqlite3_step(rollback.get());
  --store_->batch_depth_;
}

std::uint64_t RegistryStore::ChangeStamp() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  StmtUse st(Statement(kDataVersion));
  std::uint64_t others = 0;
  if (sqlite3_step(st.get()) == SQLITE_ROW)
    others = static_cast<std::uint64_t>(sqlite3_column_int64(st.get(), 0));
  return (others << 32) ^ write_count_;
}

std::uint64_t RegistryStore::WriteCount() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return write_count_;
}

bool RegistryStore::CheckIntegrity(std::string* report) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  report->clear();
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db_, "PRAGMA integrity_check", -1, &st, nullptr) != SQLITE_OK) {
    *report = sqlite3_errmsg(db_);
    return false;
  }
  while (sqlite3_step(st) == SQLITE_ROW) {
    if (!report->empty()) *report += "\n";
    *report += reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
  }
  sqlite3_finalize(st);
  return *report == "ok";
}

}  // namespace zvt::platform
