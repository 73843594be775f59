// Opening a RegistryStore: the file and its journal, the SQLite schema and
// its migration, the prepared statements, the integrity check and the change
// stamps. Names are stored as UTF-16 bytes; each row also holds its folded
// name as big-endian UTF-16, so the index orders and finds names
// case-insensitively by code unit.
#include "platform/registry_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <unordered_map>

#include "platform/name_fold.h"
#include "platform/registry_store_internal.h"
#include "platform/row_checks.h"
#include "platform/wal_frame_vfs.h"

namespace zvt::platform {

using namespace store_internal;  // NOLINT(build/namespaces): the store's own helpers

namespace {

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
// Layout 2 folded names by a table of a few scripts; layout 3 folds them by
// Unicode's mapping, and its folds differ only for names beyond that table.
constexpr int kTableFoldVersion = 2;
constexpr int kSchemaVersion = 3;  // the user_version of the layout above

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

// Gives every row whose fold is not its name's fold the right one; runs
// inside the transaction that lays the store out anew. A row whose new fold
// another row of its key already has (two names that only the new mapping
// finds equal) keeps its old fold, and is reported as damaged when read.
bool Refold(sqlite3* db, std::string* error) {
  for (const char* table : {"keys", "vals"}) {
    std::vector<std::pair<sqlite3_int64, std::string>> changed;
    {
      SqliteStatement rows(db, (std::string("SELECT id, name, fold FROM ") + table).c_str());
      if (!rows) return *error = sqlite3_errmsg(db), false;
      int rc;
      while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
        const std::string fold = FoldBytes(
            FromNameBytes(sqlite3_column_blob(rows.get(), 1), sqlite3_column_bytes(rows.get(), 1)));
        const auto* stored = static_cast<const char*>(sqlite3_column_blob(rows.get(), 2));
        if (fold != std::string(stored != nullptr ? stored : "",
                                static_cast<size_t>(sqlite3_column_bytes(rows.get(), 2))))
          changed.emplace_back(sqlite3_column_int64(rows.get(), 0), fold);
      }
      if (rc != SQLITE_DONE) return *error = sqlite3_errmsg(db), false;
    }
    SqliteStatement update(
        db, (std::string("UPDATE ") + table + " SET fold = ?2 WHERE id = ?1").c_str());
    if (!update) return *error = sqlite3_errmsg(db), false;
    for (const auto& [id, fold] : changed) {
      sqlite3_bind_int64(update.get(), 1, id);
      sqlite3_bind_blob(update.get(), 2, fold.data(), static_cast<int>(fold.size()),
                        SQLITE_TRANSIENT);
      const int rc = sqlite3_step(update.get());
      sqlite3_reset(update.get());
      if (rc != SQLITE_DONE && (rc & 0xFF) != SQLITE_CONSTRAINT)
        return *error = sqlite3_errmsg(db), false;
    }
  }
  return true;
}

// Gives every row of a store of the first layout its checksum; runs inside
// the transaction that adds the columns.
bool AddChecks(sqlite3* db, std::string* error) {
  std::unordered_map<KeyId, std::uint64_t> value_sums, subkey_sums;
  struct Key {
    KeyId id, parent;
    std::u16string name;
  };
  std::vector<Key> keys;
  auto fail = [&] {
    *error = sqlite3_errmsg(db);
    return false;
  };
  SqliteStatement values(db, "SELECT id, key, name, type, data FROM vals");
  SqliteStatement update_value(db, "UPDATE vals SET chk = ?2 WHERE id = ?1");
  if (!values || !update_value) return fail();
  sqlite3_stmt* st = values.get();
  sqlite3_stmt* update = update_value.get();
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
    if (u != SQLITE_DONE) return fail();
  }
  if (rc != SQLITE_DONE) return fail();
  SqliteStatement key_rows(db, "SELECT id, parent, name FROM keys");
  if (!key_rows) return fail();
  st = key_rows.get();
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    Key k{sqlite3_column_int64(st, 0), sqlite3_column_int64(st, 1),
          FromNameBytes(sqlite3_column_blob(st, 2), sqlite3_column_bytes(st, 2))};
    subkey_sums[k.parent] ^= KeyIdentity(k.id, k.parent, k.name);
    keys.push_back(std::move(k));
  }
  if (rc != SQLITE_DONE) return fail();
  SqliteStatement update_key(db, "UPDATE keys SET vsum = ?2, ksum = ?3, chk = ?4 WHERE id = ?1");
  if (!update_key) return fail();
  st = update_key.get();
  for (const Key& k : keys) {
    std::uint64_t vsum = value_sums[k.id], ksum = subkey_sums[k.id];
    sqlite3_bind_int64(st, 1, k.id);
    sqlite3_bind_int64(st, 2, static_cast<sqlite3_int64>(vsum));
    sqlite3_bind_int64(st, 3, static_cast<sqlite3_int64>(ksum));
    sqlite3_bind_int64(st, 4,
                       static_cast<sqlite3_int64>(KeyCheck(k.id, k.parent, k.name, vsum, ksum)));
    rc = sqlite3_step(st);
    sqlite3_reset(st);
    if (rc != SQLITE_DONE) return fail();
  }
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
  if (version != 0 && version <= kTableFoldVersion) ok = ok && Refold(db, error);
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
  // Each frame of the write-ahead log in one write (see wal_frame_vfs.h).
  int rc = sqlite3_open_v2(path.c_str(), &db, flags, WalFrameVfsName());
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
    SqliteStatement st(db, "PRAGMA user_version");
    result = st ? sqlite3_step(st.get()) : sqlite3_extended_errcode(db);
    if (result == SQLITE_ROW) version = sqlite3_column_int(st.get(), 0);
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
      if (version != 0 && version != kFirstSchemaVersion && version != kTableFoldVersion)
        return failed(SQLITE_CORRUPT, "unknown layout " + std::to_string(version));
      std::string error;
      if (!LayOut(db, version, &error))
        return failed(
            sqlite3_errcode(db) != SQLITE_OK ? sqlite3_extended_errcode(db) : SQLITE_ERROR, error);
      version = kSchemaVersion;
    }
  }
  // A store of the table-folding layout that this user may not write (the
  // machine-wide one, until its owner opens it) is read as it is: only
  // names beyond that table's scripts are missed.
  if (version != kSchemaVersion && !(read_only && version == kTableFoldVersion)) {
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
  for (SqliteStatement& st : statements_) st = SqliteStatement();  // before the close
  sqlite3_close(db_);
}

// Statements are prepared on first use: a process that only reads a few
// values does not pay for parsing every statement the store has.
sqlite3_stmt* RegistryStore::Statement(Stmt which) {
  if (!statements_[which])
    statements_[which] = SqliteStatement(db_, kStatementText[which], SQLITE_PREPARE_PERSISTENT);
  return statements_[which].get();
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
  RecursiveMutexLock lock(&mu_);
  return damage_;
}

bool RegistryStore::IsFileAt(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && static_cast<std::uint64_t>(info.st_dev) == device_ &&
         static_cast<std::uint64_t>(info.st_ino) == inode_;
}

std::string RegistryStore::LastErrorMessage() {
  RecursiveMutexLock lock(&mu_);
  return sqlite3_errmsg(db_);
}

std::uint64_t RegistryStore::ChangeStamp() {
  RecursiveMutexLock lock(&mu_);
  // An open write group holds the write lock: no other connection commits
  // until it ends, so what they committed is read once in it.
  const bool in_group = InOpenGroup();
  if (!in_group || !group_others_known_) {
    StmtUse st(Statement(kDataVersion));
    group_others_ = 0;
    if (sqlite3_step(st.get()) == SQLITE_ROW)
      group_others_ = static_cast<std::uint64_t>(sqlite3_column_int64(st.get(), 0));
    group_others_known_ = in_group;
  }
  return (group_others_ << 32) ^ write_count_;
}

bool RegistryStore::CommitCounter(std::uint64_t* value) const {
  if (!commits_) return false;
  *value = commits_->Load();
  return true;
}

std::uint64_t RegistryStore::WriteCount() { return write_count_.load(); }

void RegistryStore::FailNextCommitForTesting() {
  RecursiveMutexLock lock(&mu_);
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
  RecursiveMutexLock lock(&mu_);
  (void)SettleSums();  // a failure loses the group, which its commit reports
  report->clear();
  {
    SqliteStatement check(db_, "PRAGMA integrity_check");
    if (!check) {
      *report = sqlite3_errmsg(db_);
      return false;
    }
    while (sqlite3_step(check.get()) == SQLITE_ROW) {
      if (!report->empty()) *report += "\n";
      *report += reinterpret_cast<const char*>(sqlite3_column_text(check.get(), 0));
    }
  }
  if (*report != "ok") return false;
  // Every key, and with it every row, against its checksums.
  std::vector<KeyId> keys;
  {
    SqliteStatement ids(db_, "SELECT id FROM keys");
    while (ids && sqlite3_step(ids.get()) == SQLITE_ROW)
      keys.push_back(sqlite3_column_int64(ids.get(), 0));
  }
  for (KeyId key : keys) {
    if (VerifyKey(key) != kErrorSuccess) {
      *report = damage_.what;
      return false;
    }
  }
  return true;
}

}  // namespace zvt::platform
