// The SQLite schema and statements behind RegistryStore. Names are stored as
// UTF-16 bytes; each row also holds its folded name as big-endian UTF-16, so
// the index orders and finds names case-insensitively by code unit.
#include "platform/registry_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <unordered_map>

#include "platform/name_fold.h"
#include "platform/row_checks.h"

namespace zvt::platform {
namespace {

// Built with ZVT_UNCHECKED_ROWS only for the benchmark that measures what
// the checks cost: rows are read without being checked. The checksums are
// still written, so both builds read and write the same files.
#ifdef ZVT_UNCHECKED_ROWS
constexpr bool kCheckRows = false;
#else
constexpr bool kCheckRows = true;
#endif

constexpr int kBusyTimeoutMs = 10000;  // how long a writer waits for another process
constexpr int kJournalRetryMs = 5;     // between tries to switch a new file's journal

// The layout. Each value row keeps the checksum of its key, name, type and
// data; each key row the xor of its values' checksums, the xor of its
// subkeys' identities and a checksum over all of that, so a row that is
// damaged, lost or left over is found when its key is read.
constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS keys(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent INTEGER NOT NULL,
  name BLOB NOT NULL,
  fold BLOB NOT NULL,
  vsum INTEGER NOT NULL DEFAULT 0,
  ksum INTEGER NOT NULL DEFAULT 0,
  chk INTEGER NOT NULL DEFAULT 0,
  UNIQUE(parent, fold));
CREATE TABLE IF NOT EXISTS vals(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  key INTEGER NOT NULL,
  name BLOB NOT NULL,
  fold BLOB NOT NULL,
  type INTEGER NOT NULL,
  data BLOB NOT NULL,
  chk INTEGER NOT NULL DEFAULT 0,
  UNIQUE(key, fold));
CREATE INDEX IF NOT EXISTS vals_order ON vals(key, id);
INSERT OR IGNORE INTO keys(id, parent, name, fold) VALUES(1, 0, x'', x'');
)sql";
// The first layout had no checksums; Open adds them.
constexpr const char* kAddChecks = R"sql(
ALTER TABLE keys ADD COLUMN vsum INTEGER NOT NULL DEFAULT 0;
ALTER TABLE keys ADD COLUMN ksum INTEGER NOT NULL DEFAULT 0;
ALTER TABLE keys ADD COLUMN chk INTEGER NOT NULL DEFAULT 0;
ALTER TABLE vals ADD COLUMN chk INTEGER NOT NULL DEFAULT 0;
)sql";
constexpr int kFirstSchemaVersion = 1;
constexpr int kSchemaVersion = 2;  // the user_version of the layout above

// Columns of a key row and of a value row, as every statement reads them.
#define ZVT_KEY_COLUMNS "id, parent, name, fold, vsum, ksum, chk"
#define ZVT_VALUE_COLUMNS "id, name, fold, type, data, chk"

constexpr const char* kStatementText[] = {
    "SELECT " ZVT_KEY_COLUMNS " FROM keys WHERE parent = ?1 AND fold = ?2",
    "SELECT " ZVT_KEY_COLUMNS " FROM keys WHERE id = ?1",
    "INSERT INTO keys(parent, name, fold) VALUES(?1, ?2, ?3)",
    "SELECT EXISTS(SELECT 1 FROM keys WHERE parent = ?1)",
    "DELETE FROM vals WHERE key = ?1",
    "DELETE FROM keys WHERE id = ?1",
    "SELECT " ZVT_VALUE_COLUMNS " FROM vals WHERE key = ?1 AND fold = ?2",
    "UPDATE vals SET type = ?2, data = ?3, chk = ?4 WHERE id = ?1",
    "DELETE FROM vals WHERE id = ?1",
    "SELECT " ZVT_KEY_COLUMNS " FROM keys WHERE parent = ?1 ORDER BY fold LIMIT 1 OFFSET ?2",
    "SELECT " ZVT_KEY_COLUMNS " FROM keys WHERE parent = ?1 AND fold > ?2 ORDER BY fold LIMIT 1",
    "SELECT " ZVT_VALUE_COLUMNS " FROM vals WHERE key = ?1 ORDER BY id LIMIT ?3 OFFSET ?2",
    "SELECT " ZVT_VALUE_COLUMNS " FROM vals WHERE key = ?1 AND id > ?2 ORDER BY id LIMIT ?3",
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
    "PRAGMA data_version",
    "UPDATE keys SET vsum = ?2, ksum = ?3, chk = ?4 WHERE id = ?1",
    "BEGIN",
    "SELECT " ZVT_KEY_COLUMNS " FROM keys WHERE parent = ?1",
    ("INSERT INTO vals(key, name, fold, type, data, chk) VALUES(?1, ?2, ?3, ?4, ?5, ?6)"
     " ON CONFLICT(key, fold) DO NOTHING"),
};
#undef ZVT_KEY_COLUMNS
#undef ZVT_VALUE_COLUMNS

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

bool IsDamageCode(int rc) {
  return (rc & 0xFF) == SQLITE_CORRUPT || (rc & 0xFF) == SQLITE_NOTADB ||
         rc == SQLITE_IOERR_SHORT_READ;
}

LONG MapSqliteCode(int rc) {
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

bool IsInteger(sqlite3_stmt* st, int column) {
  return sqlite3_column_type(st, column) == SQLITE_INTEGER;
}
bool IsBlob(sqlite3_stmt* st, int column) { return sqlite3_column_type(st, column) == SQLITE_BLOB; }
std::uint64_t Unsigned(sqlite3_stmt* st, int column) {
  return static_cast<std::uint64_t>(sqlite3_column_int64(st, column));
}

// A name column: UTF-16 bytes, so an even count.
bool ReadName(sqlite3_stmt* st, int column, std::u16string* name) {
  if (!IsBlob(st, column)) return false;
  int size = sqlite3_column_bytes(st, column);
  if (size % 2 != 0) return false;
  *name = FromNameBytes(sqlite3_column_blob(st, column), size);
  return true;
}

// The fold column must be the fold of the name column: a fold that is not is
// a row that lookups would miss. Compared on SQLite's own copies of both.
bool FoldMatches(sqlite3_stmt* st, int fold_column, int name_column) {
  if (!IsBlob(st, fold_column) || !IsBlob(st, name_column)) return false;
  const auto* name = static_cast<const unsigned char*>(sqlite3_column_blob(st, name_column));
  const auto* fold = static_cast<const unsigned char*>(sqlite3_column_blob(st, fold_column));
  const size_t bytes = static_cast<size_t>(sqlite3_column_bytes(st, name_column));
  if (static_cast<size_t>(sqlite3_column_bytes(st, fold_column)) != bytes) return false;
  for (size_t i = 0; i + 1 < bytes; i += 2) {
    char16_t c;
    std::memcpy(&c, name + i, sizeof c);
    const char16_t f = FoldChar(c);
    if (fold[i] != static_cast<unsigned char>(f >> 8) ||
        fold[i + 1] != static_cast<unsigned char>(f & 0xFF))
      return false;
  }
  return true;
}

std::string KeyText(KeyId key) { return "key " + std::to_string(key); }

// Gives every row of a store of the first layout its checksum; runs inside
// the transaction that adds the columns.
bool AddChecks(sqlite3* db, std::string* error) {
  std::unordered_map<KeyId, std::uint64_t> value_sums, subkey_sums;
  struct Key {
    KeyId id, parent;
    std::u16string name;
  };
  std::vector<Key> keys;
  auto fail = [&](sqlite3_stmt* st) {
    *error = sqlite3_errmsg(db);
    sqlite3_finalize(st);
    return false;
  };
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT id, key, name, type, data FROM vals", -1, &st, nullptr) !=
      SQLITE_OK)
    return fail(st);
  sqlite3_stmt* update = nullptr;
  if (sqlite3_prepare_v2(db, "UPDATE vals SET chk = ?2 WHERE id = ?1", -1, &update, nullptr) !=
      SQLITE_OK) {
    sqlite3_finalize(update);
    return fail(st);
  }
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    std::u16string name = FromNameBytes(sqlite3_column_blob(st, 2), sqlite3_column_bytes(st, 2));
    std::uint64_t check = ValueCheck(sqlite3_column_int64(st, 1), name,
                                     static_cast<std::uint32_t>(sqlite3_column_int64(st, 3)),
                                     sqlite3_column_blob(st, 4), sqlite3_column_bytes(st, 4));
    value_sums[sqlite3_column_int64(st, 1)] ^= check;
    sqlite3_bind_int64(update, 1, sqlite3_column_int64(st, 0));
    sqlite3_bind_int64(update, 2, static_cast<sqlite3_int64>(check));
    int u = sqlite3_step(update);
    sqlite3_reset(update);
    if (u != SQLITE_DONE) break;
  }
  sqlite3_finalize(update);
  if (rc != SQLITE_DONE) return fail(st);
  sqlite3_finalize(st);
  if (sqlite3_prepare_v2(db, "SELECT id, parent, name FROM keys", -1, &st, nullptr) != SQLITE_OK)
    return fail(st);
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    Key k{sqlite3_column_int64(st, 0), sqlite3_column_int64(st, 1),
          FromNameBytes(sqlite3_column_blob(st, 2), sqlite3_column_bytes(st, 2))};
    subkey_sums[k.parent] ^= KeyIdentity(k.id, k.parent, k.name);
    keys.push_back(std::move(k));
  }
  if (rc != SQLITE_DONE) return fail(st);
  sqlite3_finalize(st);
  if (sqlite3_prepare_v2(db, "UPDATE keys SET vsum = ?2, ksum = ?3, chk = ?4 WHERE id = ?1", -1,
                         &st, nullptr) != SQLITE_OK)
    return fail(st);
  for (const Key& k : keys) {
    std::uint64_t vsum = value_sums[k.id], ksum = subkey_sums[k.id];
    sqlite3_bind_int64(st, 1, k.id);
    sqlite3_bind_int64(st, 2, static_cast<sqlite3_int64>(vsum));
    sqlite3_bind_int64(st, 3, static_cast<sqlite3_int64>(ksum));
    sqlite3_bind_int64(st, 4,
                       static_cast<sqlite3_int64>(KeyCheck(k.id, k.parent, k.name, vsum, ksum)));
    rc = sqlite3_step(st);
    sqlite3_reset(st);
    if (rc != SQLITE_DONE) return fail(st);
  }
  sqlite3_finalize(st);
  return true;
}

}  // namespace

bool RegistryStore::LayOut(sqlite3* db, int version, std::string* error) {
  auto exec = [&](const char* sql) {
    char* err = nullptr;
    int code = sqlite3_exec(db, sql, nullptr, nullptr, &err);
    if (code != SQLITE_OK) *error = err != nullptr ? err : sqlite3_errstr(code);
    sqlite3_free(err);
    return code == SQLITE_OK;
  };
  if (!exec("BEGIN IMMEDIATE")) return false;
  bool ok;
  if (version == kFirstSchemaVersion) {
    ok = exec(kAddChecks) && AddChecks(db, error);
  } else {
    // The root's row gets its check like any other.
    std::string root =
        "UPDATE keys SET chk = " +
        std::to_string(static_cast<sqlite3_int64>(KeyCheck(kRootKeyId, 0, u"", 0, 0))) +
        " WHERE id = 1 AND chk = 0 AND vsum = 0 AND ksum = 0";
    ok = exec(kSchema) && exec(root.c_str());
  }
  ok = ok && exec(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
  if (!ok) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
  }
  return exec("COMMIT");
}

std::unique_ptr<RegistryStore> RegistryStore::Open(const std::string& path, Journal journal,
                                                   std::string* message, LONG* code) {
  LONG ignored;
  if (code == nullptr) code = &ignored;
  *code = kErrorRegistryIoFailed;
  // A missing file is created here so that it gets the intended mode:
  // private for a user's store, world-readable for the machine-wide one. An
  // existing file is never opened and closed outside SQLite: closing any
  // descriptor of a file drops every POSIX lock this process holds on it,
  // those of another connection to the same store included, and a writer in
  // another process would then take that connection for gone and remove the
  // journal it still reads.
  mode_t mode = journal == Journal::kRollback ? 0644 : 0600;
  bool read_only = false;
  struct stat existing {};
  if (::stat(path.c_str(), &existing) != 0) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) {
      ::close(fd);
    } else if (errno == EACCES || errno == EROFS) {
      *message = "cannot create registry store " + path + ": " + std::strerror(errno);
      return nullptr;
    } else if (errno != EEXIST) {
      *message = "cannot open registry store " + path + ": " + std::strerror(errno);
      return nullptr;
    }
  }
  if (::access(path.c_str(), W_OK) != 0) {
    if (errno != EACCES && errno != EROFS) {
      *message = "cannot open registry store " + path + ": " + std::strerror(errno);
      return nullptr;
    }
    read_only = true;
  }

  sqlite3* db = nullptr;
  int flags = (read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_NOMUTEX;
  int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    *message = "cannot open registry store " + path + ": " +
               (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    if (IsDamageCode(rc)) *code = kErrorRegistryCorrupt;
    sqlite3_close(db);
    return nullptr;
  }
  if (!read_only && sqlite3_db_readonly(db, "main") == 1) read_only = true;
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  sqlite3_extended_result_codes(db, 1);
  if (journal == Journal::kWalMovable) {
    int persist = 1;
    sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
  }

  std::unique_ptr<RegistryStore> store(new RegistryStore(db, path, read_only));
  auto failed = [&](int sqlite_code, const std::string& what) {
    *code = MapSqliteCode(sqlite_code);
    *message = *code == kErrorRegistryCorrupt ? "registry store " + path + " is damaged: " + what
                                              : "registry store " + path + ": " + what;
    return nullptr;
  };
  auto exec = [&](const char* sql, int* result) {
    char* err = nullptr;
    *result = sqlite3_exec(db, sql, nullptr, nullptr, &err);
    std::string text = err != nullptr ? err : sqlite3_errstr(*result);
    sqlite3_free(err);
    return text;
  };
  // A store already laid out (the usual case) is only read here; the write
  // transaction that lays it out is taken for a new file alone. SQLite checks
  // each page's cells as it loads the page.
  int result = SQLITE_OK;
  std::string text = exec("PRAGMA cell_size_check = ON", &result);
  int version = -1;
  {
    sqlite3_stmt* st = nullptr;
    result = sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &st, nullptr);
    if (result == SQLITE_OK) result = sqlite3_step(st);
    if (result == SQLITE_ROW) version = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
    if (result != SQLITE_ROW)
      return failed(result, (result & 0xFF) == SQLITE_NOTADB ? "it is not a registry store"
                                                             : sqlite3_errmsg(db));
  }
  if (!read_only) {
    // Switching a new file's journal needs it to itself for a moment; when
    // another process is laying the same file out, SQLite answers "locked"
    // at once instead of waiting, so the switch is tried again for as long
    // as a writer would wait.
    const char* journal_mode =
        journal == Journal::kRollback
            // The machine-wide store: readable by users who cannot write it.
            ? "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL;"
            // A process killed at any instant leaves the last committed state;
            // only a power loss may drop the newest commits, never reorder them.
            : "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;";
    text = exec(journal_mode, &result);
    for (int waited = 0; (result & 0xFF) == SQLITE_BUSY && waited < kBusyTimeoutMs;
         waited += kJournalRetryMs) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kJournalRetryMs));
      text = exec(journal_mode, &result);
    }
    if (result != SQLITE_OK) return failed(result, text);
    if (version != kSchemaVersion) {
      if (version > kSchemaVersion)
        return failed(SQLITE_ERROR,
                      "it was written by a newer version (layout " + std::to_string(version) + ")");
      if (version != 0 && version != kFirstSchemaVersion)
        return failed(SQLITE_CORRUPT, "unknown layout " + std::to_string(version));
      std::string error;
      if (!LayOut(db, version, &error))
        return failed(
            sqlite3_errcode(db) != SQLITE_OK ? sqlite3_extended_errcode(db) : SQLITE_ERROR, error);
      version = kSchemaVersion;
    }
  }
  if (version != kSchemaVersion) {
    *message =
        "registry store " + path + " has no usable layout and cannot be written to give it one";
    return nullptr;
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    store->device_ = static_cast<std::uint64_t>(info.st_dev);
    store->inode_ = static_cast<std::uint64_t>(info.st_ino);
  }
  // The configuration's readers keep what they read while no commit was
  // counted; the count lives beside the store.
  if (journal == Journal::kWal && !read_only)
    store->commits_ = ChangeCounter::Open(path + ".changes");
  *code = kErrorSuccess;
  return store;
}

RegistryStore::RegistryStore(sqlite3* db, std::string path, bool read_only)
    : db_(db), path_(std::move(path)), read_only_(read_only) {}

RegistryStore::~RegistryStore() {
  (void)CommitGroup();
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

LONG RegistryStore::Fail(int sqlite_code) {
  if (IsDamageCode(sqlite_code)) return Damaged(sqlite3_errstr(sqlite_code));
  return MapSqliteCode(sqlite_code);
}

LONG RegistryStore::Damaged(const std::string& what) {
  if (!damage_.found) {
    damage_.found = true;
    damage_.what = what;
  }
  return kErrorRegistryCorrupt;
}

StoreDamage RegistryStore::damage() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return damage_;
}

bool RegistryStore::IsFileAt(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && static_cast<std::uint64_t>(info.st_dev) == device_ &&
         static_cast<std::uint64_t>(info.st_ino) == inode_;
}

std::string RegistryStore::LastErrorMessage() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return sqlite3_errmsg(db_);
}

template <typename Body>
LONG RegistryStore::Write(Body body, bool keeps_sums_waiting) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
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

int RegistryStore::Step(Stmt which) {
  StmtUse st(Statement(which));
  return sqlite3_step(st.get());
}

void RegistryStore::LoseGroup(LONG why) {
  if (sqlite3_get_autocommit(db_) == 0) Step(kRollback);
  group_open_ = false;
  owner_cached_ = false;
  owner_sums_waiting_ = false;
  if (group_lost_ == kErrorSuccess) group_lost_ = why;
  ++write_count_;  // what this connection reads changes back
  ++mutations_;
}

LONG RegistryStore::OpenGroup() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (read_only_) return kErrorAccessDenied;
  if (group_lost_ != kErrorSuccess) return group_lost_;  // until the commit reports it
  if (group_open_ || batch_depth_ > 0) return kErrorSuccess;
  if (int rc = Step(kBegin); rc != SQLITE_DONE) return Fail(rc);
  group_open_ = true;
  owner_cached_ = false;
  return kErrorSuccess;
}

LONG RegistryStore::CommitGroup() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (!group_open_) {
    const LONG lost = group_lost_;
    group_lost_ = kErrorSuccess;
    return lost;
  }
  if (LONG rc = SettleSums(); rc != kErrorSuccess) {
    const LONG lost = group_lost_;
    group_lost_ = kErrorSuccess;
    return lost;
  }
  group_open_ = false;
  owner_cached_ = false;
  int rc = Step(kCommit);
  if (rc == SQLITE_DONE) {
    if (commits_) commits_->Bump();
    return kErrorSuccess;
  }
  // Nothing of the group is kept.
  LoseGroup(Fail(rc));
  const LONG lost = group_lost_;
  group_lost_ = kErrorSuccess;
  return lost;
}

LONG RegistryStore::CheckKeyColumns(sqlite3_stmt* st, KeyRecord* record) {
  if (!IsInteger(st, 0) || !IsInteger(st, 1) || !IsInteger(st, 4) || !IsInteger(st, 5) ||
      !IsInteger(st, 6) || !ReadName(st, 2, &record->name))
    return Damaged("a key row of the wrong shape");
  record->id = sqlite3_column_int64(st, 0);
  record->parent = sqlite3_column_int64(st, 1);
  record->value_sum = Unsigned(st, 4);
  record->subkey_sum = Unsigned(st, 5);
  if (kCheckRows && (!FoldMatches(st, 3, 2) ||
                     Unsigned(st, 6) != KeyCheck(record->id, record->parent, record->name,
                                                 record->value_sum, record->subkey_sum)))
    return Damaged("the row of " + KeyText(record->id) + " does not match its checksum");
  return kErrorSuccess;
}

LONG RegistryStore::ReadKeyRecord(KeyId key, KeyRecord* record) {
  if (LONG rc = SettleSums(); rc != kErrorSuccess) return rc;
  StmtUse st(Statement(kKeyExists));
  sqlite3_bind_int64(st.get(), 1, key);
  int rc = sqlite3_step(st.get());
  if (rc == SQLITE_DONE) return kErrorKeyDeleted;
  if (rc != SQLITE_ROW) return Fail(rc);
  LONG checked = CheckKeyColumns(st.get(), record);
  if (checked == kErrorSuccess && record->id != key)
    return Damaged("a lookup of " + KeyText(key) + " found " + KeyText(record->id));
  return checked;
}

LONG RegistryStore::ReadOwner(KeyId key, KeyRecord* record) {
  if (group_open_ && owner_cached_ && owner_.id == key && owner_mutations_ == mutations_) {
    *record = owner_;
    return kErrorSuccess;
  }
  if (LONG rc = SettleSums(); rc != kErrorSuccess) return rc;
  return ReadKeyRecord(key, record);
}

LONG RegistryStore::SettleSums() {
  if (!owner_sums_waiting_) return kErrorSuccess;
  owner_sums_waiting_ = false;
  const LONG rc = WriteKeySums(owner_);
  if (rc != kErrorSuccess) LoseGroup(rc);
  return rc;
}

LONG RegistryStore::WriteKeySums(const KeyRecord& r, bool may_wait) {
  if (may_wait && group_open_) {
    if (owner_.id != r.id)
      if (LONG rc = SettleSums(); rc != kErrorSuccess) return rc;
    // The owner was read (or written) in this group, where no other
    // connection writes, so its row is there to be written later.
    ++mutations_;
    owner_ = r;
    owner_cached_ = true;
    owner_mutations_ = mutations_;
    owner_sums_waiting_ = true;
    return kErrorSuccess;
  }
  if (LONG rc = SettleSums(); rc != kErrorSuccess) return rc;
  ++mutations_;
  owner_cached_ = false;
  StmtUse st(Statement(kUpdateKeySums));
  sqlite3_bind_int64(st.get(), 1, r.id);
  sqlite3_bind_int64(st.get(), 2, static_cast<sqlite3_int64>(r.value_sum));
  sqlite3_bind_int64(st.get(), 3, static_cast<sqlite3_int64>(r.subkey_sum));
  sqlite3_bind_int64(
      st.get(), 4,
      static_cast<sqlite3_int64>(KeyCheck(r.id, r.parent, r.name, r.value_sum, r.subkey_sum)));
  int rc = sqlite3_step(st.get());
  if (rc != SQLITE_DONE) return Fail(rc);
  if (sqlite3_changes(db_) != 1) return kErrorKeyDeleted;
  if (group_open_) {
    // Inside a write group no other connection writes: the row just written
    // is the row, until this connection changes something else.
    owner_ = r;
    owner_cached_ = true;
    owner_mutations_ = mutations_;
  }
  return kErrorSuccess;
}

LONG RegistryStore::KeyExistsLocked(KeyId key) {
  KeyRecord record;
  return ReadKeyRecord(key, &record);
}

LONG RegistryStore::KeyExists(KeyId key) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (LONG rc = SettleSums(); rc != kErrorSuccess) return rc;
  return KeyExistsLocked(key);
}

LONG RegistryStore::FindChild(KeyId parent, std::u16string_view name, KeyId* child) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (LONG rc = SettleSums(); rc != kErrorSuccess) return rc;
  std::string fold = FoldBytes(name);
  StmtUse st(Statement(kFindChild));
  sqlite3_bind_int64(st.get(), 1, parent);
  BindBytes(st.get(), 2, fold);
  int rc = sqlite3_step(st.get());
  if (rc == SQLITE_ROW) {
    KeyRecord record;
    LONG checked = CheckKeyColumns(st.get(), &record);
    if (checked != kErrorSuccess) return checked;
    if (record.parent != parent)
      return Damaged("a subkey of " + KeyText(parent) + " names another parent");
    *child = record.id;
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
    KeyRecord above;
    if (LONG rc = ReadKeyRecord(parent, &above); rc != kErrorSuccess) return rc;
    std::string fold = FoldBytes(name);
    {
      StmtUse st(Statement(kInsertKey));
      sqlite3_bind_int64(st.get(), 1, parent);
      BindName(st.get(), 2, name);
      BindBytes(st.get(), 3, fold);
      int rc = sqlite3_step(st.get());
      if (rc != SQLITE_DONE) return Fail(rc);
    }
    KeyRecord made;
    made.id = sqlite3_last_insert_rowid(db_);
    made.parent = parent;
    made.name.assign(name);
    if (LONG rc = WriteKeySums(made); rc != kErrorSuccess) return rc;
    above.subkey_sum ^= KeyIdentity(made.id, parent, made.name);
    if (LONG rc = WriteKeySums(above); rc != kErrorSuccess) return rc;
    *child = made.id;
    *created = true;
    return kErrorSuccess;
  });
}

LONG RegistryStore::DeleteKey(KeyId key) {
  if (key == kRootKeyId) return kErrorAccessDenied;
  return Write([&]() -> LONG {
    KeyRecord gone;
    if (LONG rc = ReadKeyRecord(key, &gone); rc != kErrorSuccess) return rc;
    {
      StmtUse st(Statement(kCountChildren));
      sqlite3_bind_int64(st.get(), 1, key);
      int rc = sqlite3_step(st.get());
      if (rc != SQLITE_ROW) return Fail(rc);
      if (sqlite3_column_int(st.get(), 0) != 0) return kErrorAccessDenied;
    }
    KeyRecord above;
    if (LONG rc = ReadKeyRecord(gone.parent, &above); rc != kErrorSuccess)
      return rc == kErrorKeyDeleted ? Damaged(KeyText(key) + " has no parent") : rc;
    for (Stmt which : {kDeleteValues, kDeleteKey}) {
      StmtUse st(Statement(which));
      sqlite3_bind_int64(st.get(), 1, key);
      int rc = sqlite3_step(st.get());
      if (rc != SQLITE_DONE) return Fail(rc);
    }
    above.subkey_sum ^= KeyIdentity(gone.id, gone.parent, gone.name);
    return WriteKeySums(above);
  });
}

LONG RegistryStore::CheckValueColumns(sqlite3_stmt* st, KeyId key, std::uint64_t* check) {
  // Checked on SQLite's own copies of the columns: nothing is copied for a
  // row that is only verified.
  if (!IsInteger(st, 0) || !IsInteger(st, 3) || !IsInteger(st, 5) || !IsBlob(st, 4) ||
      !IsBlob(st, 1) || sqlite3_column_bytes(st, 1) % 2 != 0)
    return Damaged("a value row of " + KeyText(key) + " of the wrong shape");
  *check = Unsigned(st, 5);
  if (!kCheckRows) return kErrorSuccess;
  const sqlite3_int64 type = sqlite3_column_int64(st, 3);
  const auto* name = static_cast<const unsigned char*>(sqlite3_column_blob(st, 1));
  const size_t name_bytes = static_cast<size_t>(sqlite3_column_bytes(st, 1));
  const bool sound = type >= 0 && type <= 0xFFFFFFFFll && FoldMatches(st, 2, 1);
  if (!sound || *check != ValueCheckBytes(key, name, name_bytes, static_cast<std::uint32_t>(type),
                                          sqlite3_column_blob(st, 4),
                                          static_cast<size_t>(sqlite3_column_bytes(st, 4))))
    return Damaged("a value of " + KeyText(key) + " does not match its checksum");
  return kErrorSuccess;
}

LONG RegistryStore::ReadValueRow(sqlite3_stmt* st, KeyId key, ValueRow* row, std::uint64_t* check,
                                 bool checked) {
  int rc = sqlite3_step(st);
  if (rc == SQLITE_DONE) return kErrorNoMoreItems;
  if (rc != SQLITE_ROW) return Fail(rc);
  if (!checked) {
    if (LONG bad = CheckValueColumns(st, key, check); bad != kErrorSuccess) return bad;
  } else if (!IsInteger(st, 0) || !IsInteger(st, 3) || !IsBlob(st, 4) || !IsBlob(st, 1)) {
    return Damaged("a value row of " + KeyText(key) + " of the wrong shape");
  }
  if (row == nullptr) return kErrorSuccess;
  row->id = sqlite3_column_int64(st, 0);
  row->type = static_cast<DWORD>(sqlite3_column_int64(st, 3));
  ReadName(st, 1, &row->name);
  const BYTE* blob = static_cast<const BYTE*>(sqlite3_column_blob(st, 4));
  row->data.assign(blob, blob + sqlite3_column_bytes(st, 4));
  return kErrorSuccess;
}

bool RegistryStore::VerifiedSinceLastChange(KeyId key) {
  const std::uint64_t stamp = ChangeStamp();
  if (stamp != verified_stamp_ || mutations_ != verified_mutations_) {
    verified_.clear();
    verified_stamp_ = stamp;
    verified_mutations_ = mutations_;
  }
  return verified_.count(key) != 0;
}

LONG RegistryStore::GetValue(KeyId key, std::u16string_view name, DWORD* type, BYTE* data,
                             DWORD* data_size) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (LONG rc = SettleSums(); rc != kErrorSuccess) return rc;
  std::string fold = FoldBytes(name);
  StmtUse st(Statement(kGetValue));
  sqlite3_bind_int64(st.get(), 1, key);
  BindBytes(st.get(), 2, fold);
  ValueRow row;
  std::uint64_t check = 0;
  LONG rc = ReadValueRow(st.get(), key, &row, &check);
  if (rc == kErrorNoMoreItems) {
    LONG key_state = KeyExistsLocked(key);
    return key_state == kErrorSuccess ? kErrorFileNotFound : key_state;
  }
  if (rc != kErrorSuccess) return rc;
  if (type != nullptr) *type = row.type;
  DWORD size = static_cast<DWORD>(row.data.size());
  if (data_size == nullptr) return kErrorSuccess;
  if (data != nullptr) {
    if (*data_size < size) {
      *data_size = size;
      return kErrorMoreData;
    }
    if (size > 0) std::memcpy(data, row.data.data(), size);
  }
  *data_size = size;
  return kErrorSuccess;
}

LONG RegistryStore::SetValue(KeyId key, std::u16string_view name, DWORD type, const BYTE* data,
                             DWORD data_size) {
  if (name.size() > kMaxValueNameChars) return kErrorInvalidParameter;
  if (data == nullptr && data_size != 0) return kErrorInvalidParameter;
  return Write(
      [&]() -> LONG {
        KeyRecord owner;
        if (LONG rc = ReadOwner(key, &owner); rc != kErrorSuccess) return rc;
        static const BYTE kEmpty = 0;
        const BYTE* bytes = data_size == 0 ? &kEmpty : data;
        std::string fold = FoldBytes(name);
        {
          // A new value (the usual case when the cache is filled) is one insert;
          // an existing one is found and replaced below.
          std::uint64_t check = ValueCheck(key, name, type, bytes, data_size);
          bool inserted = false;
          if (LONG rc = InsertValue(key, name, fold, type, bytes, data_size, check, &inserted);
              rc != kErrorSuccess)
            return rc;
          if (inserted) {
            owner.value_sum ^= check;
            return WriteKeySums(owner, /*may_wait=*/true);
          }
        }
        ValueRow old;
        std::uint64_t old_check = 0;
        LONG found;
        {
          StmtUse st(Statement(kGetValue));
          sqlite3_bind_int64(st.get(), 1, key);
          BindBytes(st.get(), 2, fold);
          found = ReadValueRow(st.get(), key, &old, &old_check);
        }
        if (found == kErrorSuccess) {
          // The value keeps the name it was created with, and its place.
          std::uint64_t check = ValueCheck(key, old.name, type, bytes, data_size);
          StmtUse st(Statement(kUpdateValue));
          sqlite3_bind_int64(st.get(), 1, old.id);
          sqlite3_bind_int64(st.get(), 2, type);
          sqlite3_bind_blob(st.get(), 3, bytes, static_cast<int>(data_size), SQLITE_STATIC);
          sqlite3_bind_int64(st.get(), 4, static_cast<sqlite3_int64>(check));
          int rc = sqlite3_step(st.get());
          if (rc != SQLITE_DONE) return Fail(rc);
          owner.value_sum ^= old_check ^ check;
          return WriteKeySums(owner, /*may_wait=*/true);
        }
        // The insert found the name taken, so a row that cannot be found by it
        // is a damaged store.
        if (found == kErrorNoMoreItems)
          return Damaged("a value of " + KeyText(key) + " is in its index but not among its rows");
        return found;
      },
      /*keeps_sums_waiting=*/true);
}

LONG RegistryStore::InsertValue(KeyId key, std::u16string_view name, const std::string& fold,
                                DWORD type, const BYTE* bytes, DWORD data_size, std::uint64_t check,
                                bool* inserted) {
  StmtUse st(Statement(kInsertNewValue));
  sqlite3_bind_int64(st.get(), 1, key);
  BindName(st.get(), 2, name);
  BindBytes(st.get(), 3, fold);
  sqlite3_bind_int64(st.get(), 4, type);
  sqlite3_bind_blob(st.get(), 5, bytes, static_cast<int>(data_size), SQLITE_STATIC);
  sqlite3_bind_int64(st.get(), 6, static_cast<sqlite3_int64>(check));
  int rc = sqlite3_step(st.get());
  if (rc != SQLITE_DONE) return Fail(rc);
  *inserted = sqlite3_changes(db_) == 1;
  return kErrorSuccess;
}

LONG RegistryStore::DeleteValue(KeyId key, std::u16string_view name) {
  return Write([&]() -> LONG {
    KeyRecord owner;
    if (LONG rc = ReadOwner(key, &owner); rc != kErrorSuccess) return rc;
    std::string fold = FoldBytes(name);
    ValueRow old;
    std::uint64_t old_check = 0;
    {
      StmtUse st(Statement(kGetValue));
      sqlite3_bind_int64(st.get(), 1, key);
      BindBytes(st.get(), 2, fold);
      LONG found = ReadValueRow(st.get(), key, &old, &old_check);
      if (found == kErrorNoMoreItems) return kErrorFileNotFound;
      if (found != kErrorSuccess) return found;
    }
    StmtUse st(Statement(kDeleteValue));
    sqlite3_bind_int64(st.get(), 1, old.id);
    int rc = sqlite3_step(st.get());
    if (rc != SQLITE_DONE) return Fail(rc);
    owner.value_sum ^= old_check;
    return WriteKeySums(owner);
  });
}

LONG RegistryStore::ReadKeyRow(sqlite3_stmt* st, KeyId parent, KeyRow* row) {
  int rc = sqlite3_step(st);
  if (rc == SQLITE_DONE) return kErrorNoMoreItems;
  if (rc != SQLITE_ROW) return Fail(rc);
  KeyRecord record;
  if (LONG checked = CheckKeyColumns(st, &record); checked != kErrorSuccess) return checked;
  if (record.parent != parent)
    return Damaged("a subkey of " + KeyText(parent) + " names another parent");
  row->id = record.id;
  row->name = std::move(record.name);
  row->fold = FromFoldBytes(sqlite3_column_blob(st, 3), sqlite3_column_bytes(st, 3));
  return kErrorSuccess;
}

LONG RegistryStore::SubkeyAt(KeyId parent, DWORD index, KeyRow* row) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (LONG rc = SettleSums(); rc != kErrorSuccess) return rc;
  LONG result;
  {
    StmtUse st(Statement(kSubkeyAt));
    sqlite3_bind_int64(st.get(), 1, parent);
    sqlite3_bind_int64(st.get(), 2, index);
    result = ReadKeyRow(st.get(), parent, row);
  }
  if (result == kErrorNoMoreItems && KeyExistsLocked(parent) == kErrorKeyDeleted)
    return kErrorKeyDeleted;
  return result;
}

LONG RegistryStore::SubkeyAfter(KeyId parent, std::u16string_view after_fold, KeyRow* row) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (LONG rc = SettleSums(); rc != kErrorSuccess) return rc;
  LONG result;
  {
    // The fold of an already folded name is itself.
    std::string fold = FoldBytes(after_fold);
    StmtUse st(Statement(kSubkeyAfter));
    sqlite3_bind_int64(st.get(), 1, parent);
    BindBytes(st.get(), 2, fold);
    result = ReadKeyRow(st.get(), parent, row);
  }
  if (result == kErrorNoMoreItems && KeyExistsLocked(parent) == kErrorKeyDeleted)
    return kErrorKeyDeleted;
  return result;
}

LONG RegistryStore::ReadValueRows(Stmt which, KeyId key, std::int64_t from, size_t limit,
                                  size_t byte_limit, std::vector<ValueRow>* rows) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (LONG rc = SettleSums(); rc != kErrorSuccess) return rc;
  rows->clear();
  LONG result = kErrorSuccess;
  // A key checked whole since the store last changed holds the rows that
  // were checked then: they are not hashed again.
  const bool checked = VerifiedSinceLastChange(key);
  {
    StmtUse st(Statement(which));
    sqlite3_bind_int64(st.get(), 1, key);
    sqlite3_bind_int64(st.get(), 2, from);
    sqlite3_bind_int64(st.get(), 3, static_cast<sqlite3_int64>(limit));
    size_t bytes = 0;
    while (rows->size() < limit && bytes < byte_limit) {
      ValueRow row;
      std::uint64_t check;
      result = ReadValueRow(st.get(), key, &row, &check, checked);
      if (result != kErrorSuccess) break;
      bytes += row.data.size() + row.name.size() * 2;
      rows->push_back(std::move(row));
    }
  }
  // Damage ends the run with nothing handed out, never as a shorter run.
  if (result == kErrorRegistryCorrupt) {
    rows->clear();
    return result;
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

LONG RegistryStore::VerifyKey(KeyId key, VerifiedValues* values_read) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (LONG rc = SettleSums(); rc != kErrorSuccess) return rc;
  if (values_read != nullptr) values_read->rows.clear();
  // A key verified since the store last changed, here or in another
  // process, is not read again.
  if (!kCheckRows || VerifiedSinceLastChange(key)) return kErrorSuccess;
  // One read transaction, so that the key and its rows are seen as of one commit.
  const bool own_transaction = sqlite3_get_autocommit(db_) != 0;
  if (own_transaction) {
    StmtUse begin(Statement(kBeginRead));
    int rc = sqlite3_step(begin.get());
    if (rc != SQLITE_DONE) return Fail(rc);
  }
  auto verify = [&]() -> LONG {
    KeyRecord record;
    if (LONG rc = ReadKeyRecord(key, &record); rc != kErrorSuccess) return rc;
    std::uint64_t values = 0;
    {
      StmtUse st(Statement(kValueAt));
      sqlite3_bind_int64(st.get(), 1, key);
      sqlite3_bind_int64(st.get(), 2, 0);
      sqlite3_bind_int64(st.get(), 3, -1);
      std::uint64_t check = 0;
      LONG rc;
      // The rows are kept for the caller while they fit its limit.
      size_t bytes = 0;
      bool keep = values_read != nullptr;
      ValueRow row;
      while ((rc = ReadValueRow(st.get(), key, keep ? &row : nullptr, &check)) == kErrorSuccess) {
        values ^= check;
        if (!keep) continue;
        bytes += row.data.size() + row.name.size() * 2;
        if (bytes > values_read->byte_limit) {
          keep = false;
          values_read->rows.clear();
          continue;
        }
        values_read->rows.push_back(std::move(row));
      }
      if (rc != kErrorNoMoreItems) return rc;
      if (values_read != nullptr) values_read->complete = keep;
    }
    if (values != record.value_sum)
      return Damaged("the values of " + KeyText(key) + " are not those it was given");
    std::uint64_t subkeys = 0;
    {
      StmtUse st(Statement(kChildRows));
      sqlite3_bind_int64(st.get(), 1, key);
      KeyRow row;
      LONG rc;
      while ((rc = ReadKeyRow(st.get(), key, &row)) == kErrorSuccess)
        subkeys ^= KeyIdentity(row.id, key, row.name);
      if (rc != kErrorNoMoreItems) return rc;
    }
    if (subkeys != record.subkey_sum)
      return Damaged("the subkeys of " + KeyText(key) + " are not those it was given");
    return kErrorSuccess;
  };
  LONG result = verify();
  if (result != kErrorSuccess && values_read != nullptr) values_read->rows.clear();
  if (own_transaction) {
    StmtUse commit(Statement(kCommit));
    sqlite3_step(commit.get());
  }
  if (result == kErrorSuccess) verified_.insert(key);
  return result;
}

RegistryStore::Batch::Batch(RegistryStore* store)
    : store_(store), lock_(store->mu_), status_(kErrorSuccess), open_(false) {
  if (store_->read_only_) {
    status_ = kErrorAccessDenied;
    return;
  }
  // Writes grouped so far come first, in their own transaction.
  status_ = store_->CommitGroup();
  if (status_ != kErrorSuccess) return;
  StmtUse begin(store_->Statement(kBegin));
  int rc = sqlite3_step(begin.get());
  if (rc != SQLITE_DONE) {
    status_ = store_->Fail(rc);
    return;
  }
  open_ = true;
  ++store_->batch_depth_;
}

LONG RegistryStore::Batch::Commit() {
  if (!open_) return status_ == kErrorSuccess ? kErrorInvalidParameter : status_;
  StmtUse commit(store_->Statement(kCommit));
  int rc = sqlite3_step(commit.get());
  if (rc != SQLITE_DONE) return store_->Fail(rc);  // the destructor rolls back
  open_ = false;
  --store_->batch_depth_;
  ++store_->write_count_;
  if (store_->commits_) store_->commits_->Bump();
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

bool RegistryStore::CommitCounter(std::uint64_t* value) const {
  if (!commits_) return false;
  *value = commits_->Load();
  return true;
}

std::uint64_t RegistryStore::WriteCount() { return write_count_.load(); }

void RegistryStore::FailNextCommitForTesting() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  // A commit hook that answers nonzero turns the commit into a rollback.
  sqlite3_commit_hook(
      db_,
      [](void* db) {
        sqlite3_commit_hook(static_cast<sqlite3*>(db), nullptr, nullptr);
        return 1;
      },
      db_);
}

bool RegistryStore::CheckIntegrity(std::string* report) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  (void)SettleSums();  // a failure loses the group, which its commit reports
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
  if (*report != "ok") return false;
  // Every key, and with it every row, against its checksums.
  std::vector<KeyId> keys;
  if (sqlite3_prepare_v2(db_, "SELECT id FROM keys", -1, &st, nullptr) == SQLITE_OK)
    while (sqlite3_step(st) == SQLITE_ROW) keys.push_back(sqlite3_column_int64(st, 0));
  sqlite3_finalize(st);
  for (KeyId key : keys) {
    if (VerifyKey(key) != kErrorSuccess) {
      *report = damage_.what;
      return false;
    }
  }
  return true;
}

}  // namespace zvt::platform
