// The host's function registry on SQLite.
#include "hostd/host_store.h"

#include <errno.h>
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <tuple>

#include "hostd/host_json.h"

namespace zvt::hostd {
namespace {

constexpr char kSchema[] = R"(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value BLOB NOT NULL);
CREATE TABLE IF NOT EXISTS profiles(
  name TEXT PRIMARY KEY,
  hash TEXT NOT NULL,
  user_ts BLOB NOT NULL);
CREATE TABLE IF NOT EXISTS functions(
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  id TEXT NOT NULL UNIQUE,
  category TEXT NOT NULL,
  type TEXT NOT NULL,
  root TEXT NOT NULL,
  parent TEXT NOT NULL,
  name TEXT NOT NULL,
  name2 TEXT NOT NULL,
  description TEXT NOT NULL,
  description2 TEXT NOT NULL,
  indicator1 TEXT NOT NULL,
  indicator2 TEXT NOT NULL,
  indicator3 TEXT NOT NULL,
  default_usage TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS usage(
  profile TEXT NOT NULL,
  function TEXT NOT NULL,
  usage TEXT NOT NULL,
  PRIMARY KEY(profile, function));
)";

// Password checks are deliberately slow and memory-hungry; at most two run
// at once so that a burst of sign-ons cannot exhaust the machine.
class HashGate {
 public:
  void Enter() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return running_ < 2; });
    ++running_;
  }
  void Leave() {
    std::lock_guard<std::mutex> lock(mu_);
    --running_;
    cv_.notify_one();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int running_ = 0;
};

HashGate& Gate() {
  static HashGate* gate = new HashGate;
  return *gate;
}

}  // namespace

StatementCache::~StatementCache() {
  for (auto& [sql, st] : idle) sqlite3_finalize(st);
}

namespace {

// A prepared statement borrowed from the store's cache for one use, and
// returned to it reset.
class Stmt {
 public:
  Stmt(StatementCache* cache, const char* sql, std::string* error)
      : cache_(cache), db_(cache->db), sql_(sql) {
    auto it = cache->idle.find(sql_);
    if (it != cache->idle.end()) {
      st_ = it->second;
      cache->idle.erase(it);
    } else if (sqlite3_prepare_v2(db_, sql, -1, &st_, nullptr) != SQLITE_OK) {
      *error = std::string("host store: ") + sqlite3_errmsg(db_);
      st_ = nullptr;
    }
  }
  ~Stmt() {
    if (st_ == nullptr) return;
    sqlite3_reset(st_);
    sqlite3_clear_bindings(st_);
    if (!cache_->idle.emplace(sql_, st_).second) sqlite3_finalize(st_);
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
  Stamp ColStamp(int i) const {
    Stamp s{};
    if (sqlite3_column_bytes(st_, i) == 8) std::memcpy(s.data(), sqlite3_column_blob(st_, i), 8);
    return s;
  }
  int Changes() const { return sqlite3_changes(db_); }

 private:
  StatementCache* cache_;
  sqlite3* db_;
  std::string sql_;
  sqlite3_stmt* st_ = nullptr;
};

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

bool ValidUsage(const std::string& u) { return u == "1" || u == "2"; }

bool CheckFunction(const FunctionRow& f, std::string* error) {
  auto one_char = [](const std::string& s) { return s.size() == 1; };
  if (f.id.empty() || f.id.size() > 30 || f.id.find(' ') != std::string::npos) {
    *error = "function ID \"" + f.id + "\" must have 1 to 30 characters and no blanks";
  } else if (!one_char(f.category) || !one_char(f.type)) {
    *error = "function " + f.id + ": category and type indicators are one character each";
  } else if (f.root.size() > 30 || f.parent.size() > 30) {
    *error = "function " + f.id + ": root and parent IDs have at most 30 characters";
  } else if (f.name.size() > 330 || f.name2.size() > 330 || f.description.size() > 330 ||
             f.description2.size() > 330) {
    *error = "function " + f.id + ": name and description texts have at most 330 characters";
  } else if (!one_char(f.indicator1) || !one_char(f.indicator2) || !one_char(f.indicator3)) {
    *error = "function " + f.id + ": indicators are one character each";
  } else if (!ValidUsage(f.default_usage)) {
    *error = "function " + f.id + ": default usage must be 1 (denied) or 2 (allowed)";
  } else {
    return true;
  }
  return false;
}

uint64_t NowMicros() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return uint64_t(tv.tv_sec) * 1000000u + uint64_t(tv.tv_usec);
}

constexpr char kFunctionColumns[] =
    "id, category, type, root, parent, name, name2, description, description2, indicator1, "
    "indicator2, indicator3, default_usage";

FunctionRow ReadFunction(const Stmt& st) {
  FunctionRow f;
  f.id = st.Col(0);
  f.category = st.Col(1);
  f.type = st.Col(2);
  f.root = st.Col(3);
  f.parent = st.Col(4);
  f.name = st.Col(5);
  f.name2 = st.Col(6);
  f.description = st.Col(7);
  f.description2 = st.Col(8);
  f.indicator1 = st.Col(9);
  f.indicator2 = st.Col(10);
  f.indicator3 = st.Col(11);
  f.default_usage = st.Col(12);
  return f;
}

void BindFunction(Stmt& st, const FunctionRow& f) {
  st.Text(1, f.id).Text(2, f.category).Text(3, f.type).Text(4, f.root).Text(5, f.parent);
  st.Text(6, f.name).Text(7, f.name2).Text(8, f.description).Text(9, f.description2);
  st.Text(10, f.indicator1).Text(11, f.indicator2).Text(12, f.indicator3).Text(13, f.default_usage);
}

bool HashPassword(const std::string& password, HashStrength strength, std::string* hash,
                  std::string* error) {
  if (sodium_init() < 0) {
    *error = "libsodium cannot be initialised";
    return false;
  }
  char out[crypto_pwhash_STRBYTES];
  unsigned long long ops = strength == HashStrength::kFast ? crypto_pwhash_OPSLIMIT_MIN
                                                           : crypto_pwhash_OPSLIMIT_INTERACTIVE;
  size_t mem = strength == HashStrength::kFast ? crypto_pwhash_MEMLIMIT_MIN
                                               : crypto_pwhash_MEMLIMIT_INTERACTIVE;
  if (crypto_pwhash_str(out, password.data(), password.size(), ops, mem) != 0) {
    *error = "password hashing ran out of memory";
    return false;
  }
  *hash = out;
  return true;
}

}  // namespace

WriteTransaction::WriteTransaction(sqlite3* db, std::string* error) : db_(db) {
  ok_ = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
  if (!ok_) *error = std::string("host store: ") + sqlite3_errmsg(db);
}

WriteTransaction::~WriteTransaction() {
  if (ok_ && !done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

bool WriteTransaction::Commit(std::string* error) {
  if (!ok_) return false;
  done_ = true;
  if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  *error = std::string("host store: ") + sqlite3_errmsg(db_);
  sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  return false;
}

std::unique_ptr<HostStore> HostStore::Open(const std::string& path, std::string* error) {
  // The store holds password hashes: a new one is readable by its owner
  // alone, and so are the journal files SQLite makes beside it. (Only a
  // missing file is created here: closing a descriptor of an open store
  // would drop this process's locks on it.)
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 && errno == ENOENT) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) close(fd);
  }
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(
      path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    *error = "cannot open host store " + path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 10000);
  std::unique_ptr<HostStore> store(new HostStore(db));
  if (!store->Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", error)) return nullptr;
  WriteTransaction tx(db, error);
  if (!tx.ok() || !store->Exec(kSchema, error) || !store->AddColumnsOfLaterVersions(error) ||
      !tx.Commit(error)) {
    *error = path + ": " + *error;
    return nullptr;
  }
  return store;
}

HostStore::~HostStore() {
  for (auto& [sql, st] : cache_.idle) sqlite3_finalize(st);
  cache_.idle.clear();
  sqlite3_close(db_);
}

std::string HostStore::CanonicalProfile(const std::string& name) { return Upper(name); }

bool HostStore::AddColumnsOfLaterVersions(std::string* error) {
  // all_profiles: the profile may read every profile's usage and timestamps.
  Stmt st(&cache_, "SELECT 1 FROM pragma_table_info('profiles') WHERE name = 'all_profiles'",
          error);
  if (!st.ok()) return false;
  int rc = st.Step(error);
  if (rc == SQLITE_ROW) return true;
  if (rc != SQLITE_DONE) return false;
  return Exec("ALTER TABLE profiles ADD COLUMN all_profiles INTEGER NOT NULL DEFAULT 0", error);
}

bool HostStore::SetAllProfiles(const std::string& name, bool all, std::string* error) {
  WriteTransaction tx(db_, error);
  Stmt st(&cache_, "UPDATE profiles SET all_profiles = ?2 WHERE name = ?1", error);
  if (!tx.ok() || !st.ok() ||
      st.Text(1, CanonicalProfile(name)).Text(2, all ? "1" : "0").Step(error) != SQLITE_DONE)
    return false;
  if (st.Changes() == 0) {
    *error = "no user profile " + CanonicalProfile(name);
    return false;
  }
  return tx.Commit(error);
}

bool HostStore::ReadsAllProfiles(const std::string& name, bool* all, std::string* error) {
  Stmt st(&cache_, "SELECT all_profiles FROM profiles WHERE name = ?1", error);
  if (!st.ok()) return false;
  int rc = st.Text(1, CanonicalProfile(name)).Step(error);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return false;
  *all = rc == SQLITE_ROW && st.Col(0) == "1";
  return true;
}

bool HostStore::Exec(const char* sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  *error = std::string("host store: ") + (message != nullptr ? message : sqlite3_errmsg(db_));
  sqlite3_free(message);
  return false;
}

bool HostStore::NextStamp(Stamp* stamp, std::string* error) {
  Stmt get(&cache_, "SELECT value FROM meta WHERE key = 'last_stamp'", error);
  if (!get.ok()) return false;
  int rc = get.Step(error);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return false;
  uint64_t last = 0;
  if (rc == SQLITE_ROW) {
    Stamp s = get.ColStamp(0);
    for (uint8_t b : s) last = (last << 8) | b;
  }
  uint64_t next = std::max(NowMicros(), last + 1);
  for (int i = 7; i >= 0; --i, next >>= 8) (*stamp)[i] = static_cast<uint8_t>(next);
  return SetMetaStamp("last_stamp", *stamp, error);
}

bool HostStore::SetMetaStamp(const char* key, const Stamp& stamp, std::string* error) {
  Stmt put(&cache_, "INSERT OR REPLACE INTO meta(key, value) VALUES(?1, ?2)", error);
  return put.ok() && put.Text(1, key).Blob(2, stamp).Step(error) == SQLITE_DONE;
}

bool HostStore::MoveRegistryStamps(bool hierarchy, std::string* error) {
  Stamp s;
  if (!NextStamp(&s, error) || !SetMetaStamp("rep_ts", s, error)) return false;
  return !hierarchy || SetMetaStamp("hier_ts", s, error);
}

bool HostStore::PutHostInfo(const HostInfo& info, std::string* error) {
  for (auto [key, value] :
       {std::pair<const char*, std::string>{"version", std::to_string(info.version)},
        {"release", std::to_string(info.release)},
        {"name", info.name}}) {
    Stmt one(&cache_, "INSERT OR REPLACE INTO meta(key, value) VALUES(?1, ?2)", error);
    if (!one.ok() || one.Text(1, key).Text(2, value).Step(error) != SQLITE_DONE) return false;
  }
  return true;
}

bool HostStore::SetHostInfo(const HostInfo& info, std::string* error) {
  WriteTransaction tx(db_, error);
  return tx.ok() && PutHostInfo(info, error) && tx.Commit(error);
}

bool HostStore::GetHostInfo(HostInfo* info, std::string* error) {
  Stmt st(&cache_, "SELECT key, value FROM meta WHERE key IN ('version', 'release', 'name')",
          error);
  if (!st.ok()) return false;
  int rc;
  while ((rc = st.Step(error)) == SQLITE_ROW) {
    std::string key = st.Col(0), value = st.Col(1);
    if (key == "version")
      info->version = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
    if (key == "release")
      info->release = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
    if (key == "name") info->name = value;
  }
  return rc == SQLITE_DONE;
}

bool HostStore::ProfileExists(const std::string& name, bool* exists, std::string* error) {
  Stmt st(&cache_, "SELECT 1 FROM profiles WHERE name = ?1", error);
  if (!st.ok()) return false;
  int rc = st.Text(1, CanonicalProfile(name)).Step(error);
  *exists = rc == SQLITE_ROW;
  return rc == SQLITE_ROW || rc == SQLITE_DONE;
}

bool HostStore::FunctionExists(const std::string& id, bool* exists, std::string* error) {
  Stmt st(&cache_, "SELECT 1 FROM functions WHERE id = ?1", error);
  if (!st.ok()) return false;
  int rc = st.Text(1, id).Step(error);
  *exists = rc == SQLITE_ROW;
  return rc == SQLITE_ROW || rc == SQLITE_DONE;
}

bool HostStore::AddProfile(const std::string& name, const std::string& password,
                           HashStrength strength, std::string* error) {
  std::string canonical = CanonicalProfile(name);
  if (canonical.empty() || canonical.size() > 10 || canonical.find(' ') != std::string::npos) {
    *error = "user profile \"" + name + "\" must have 1 to 10 characters and no blanks";
    return false;
  }
  std::string hash;
  if (!HashPassword(password, strength, &hash, error)) return false;
  WriteTransaction tx(db_, error);
  bool exists;
  if (!tx.ok() || !ProfileExists(canonical, &exists, error)) return false;
  if (exists) {
    *error = "user profile " + canonical + " already exists";
    return false;
  }
  Stamp s;
  if (!NextStamp(&s, error)) return false;
  Stmt st(&cache_, "INSERT INTO profiles(name, hash, user_ts) VALUES(?1, ?2, ?3)", error);
  if (!st.ok() || st.Text(1, canonical).Text(2, hash).Blob(3, s).Step(error) != SQLITE_DONE)
    return false;
  return tx.Commit(error);
}

bool HostStore::SetPassword(const std::string& name, const std::string& password,
                            HashStrength strength, std::string* error) {
  std::string hash;
  if (!HashPassword(password, strength, &hash, error)) return false;
  Stmt st(&cache_, "UPDATE profiles SET hash = ?2 WHERE name = ?1", error);
  if (!st.ok() || st.Text(1, CanonicalProfile(name)).Text(2, hash).Step(error) != SQLITE_DONE)
    return false;
  if (st.Changes() == 0) {
    *error = "user profile " + CanonicalProfile(name) + " not found";
    return false;
  }
  return true;
}

bool HostStore::RemoveProfile(const std::string& name, std::string* error) {
  std::string canonical = CanonicalProfile(name);
  WriteTransaction tx(db_, error);
  if (!tx.ok()) return false;
  Stmt del(&cache_, "DELETE FROM profiles WHERE name = ?1", error);
  if (!del.ok() || del.Text(1, canonical).Step(error) != SQLITE_DONE) return false;
  if (del.Changes() == 0) {
    *error = "user profile " + canonical + " not found";
    return false;
  }
  Stmt usage(&cache_, "DELETE FROM usage WHERE profile = ?1", error);
  if (!usage.ok() || usage.Text(1, canonical).Step(error) != SQLITE_DONE) return false;
  return tx.Commit(error);
}

bool HostStore::ListProfiles(std::vector<std::string>* names, std::string* error) {
  names->clear();
  Stmt st(&cache_, "SELECT name FROM profiles ORDER BY name", error);
  if (!st.ok()) return false;
  int rc;
  while ((rc = st.Step(error)) == SQLITE_ROW) names->push_back(st.Col(0));
  return rc == SQLITE_DONE;
}

bool HostStore::VerifyPassword(const std::string& name, const std::string& password, bool* known,
                               std::string* error) {
  *known = false;
  Stmt st(&cache_, "SELECT hash FROM profiles WHERE name = ?1", error);
  if (!st.ok()) return false;
  int rc = st.Text(1, CanonicalProfile(name)).Step(error);
  if (rc == SQLITE_DONE) {
    // An unknown name costs what a known one does: a stored hash is checked
    // (and the result ignored), so that the time of the answer does not tell
    // which names exist.
    Stmt any(&cache_, "SELECT hash FROM profiles LIMIT 1", error);
    if (any.ok() && any.Step(error) == SQLITE_ROW && sodium_init() >= 0) {
      std::string hash = any.Col(0);
      Gate().Enter();
      const bool matched =
          crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
      (void)matched;  // a known profile's password given with an unknown name
      Gate().Leave();
    }
    return false;
  }
  if (rc != SQLITE_ROW) return false;
  *known = true;
  std::string hash = st.Col(0);
  if (sodium_init() < 0) return false;
  Gate().Enter();
  bool ok = crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
  Gate().Leave();
  return ok;
}

bool HostStore::AddFunction(const FunctionRow& row, std::string* error) {
  if (!CheckFunction(row, error)) return false;
  WriteTransaction tx(db_, error);
  bool exists;
  if (!tx.ok() || !FunctionExists(row.id, &exists, error)) return false;
  if (exists) {
    *error = "function " + row.id + " is already registered";
    return false;
  }
  std::string sql = std::string("INSERT INTO functions(") + kFunctionColumns +
                    ") VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)";
  Stmt st(&cache_, sql.c_str(), error);
  if (!st.ok()) return false;
  BindFunction(st, row);
  if (st.Step(error) != SQLITE_DONE || !MoveRegistryStamps(true, error)) return false;
  return tx.Commit(error);
}

bool HostStore::UpdateFunction(const FunctionRow& row, std::string* error) {
  if (!CheckFunction(row, error)) return false;
  WriteTransaction tx(db_, error);
  if (!tx.ok()) return false;
  std::string old_sql = std::string("SELECT ") + kFunctionColumns + " FROM functions WHERE id = ?1";
  Stmt old(&cache_, old_sql.c_str(), error);
  if (!old.ok()) return false;
  int rc = old.Text(1, row.id).Step(error);
  if (rc != SQLITE_ROW) {
    if (rc == SQLITE_DONE) *error = "function " + row.id + " is not registered";
    return false;
  }
  FunctionRow before = ReadFunction(old);
  bool moved = before.root != row.root || before.parent != row.parent || before.type != row.type ||
               before.category != row.category;
  Stmt st(&cache_,
          "UPDATE functions SET category = ?2, type = ?3, root = ?4, parent = ?5, name = ?6, "
          "name2 = ?7, description = ?8, description2 = ?9, indicator1 = ?10, indicator2 = ?11, "
          "indicator3 = ?12, default_usage = ?13 WHERE id = ?1",
          error);
  if (!st.ok()) return false;
  BindFunction(st, row);
  if (st.Step(error) != SQLITE_DONE || !MoveRegistryStamps(moved, error)) return false;
  return tx.Commit(error);
}

bool HostStore::RemoveFunction(const std::string& id, std::string* error) {
  WriteTransaction tx(db_, error);
  if (!tx.ok()) return false;
  Stmt del(&cache_, "DELETE FROM functions WHERE id = ?1", error);
  if (!del.ok() || del.Text(1, id).Step(error) != SQLITE_DONE) return false;
  if (del.Changes() == 0) {
    *error = "function " + id + " is not registered";
    return false;
  }
  Stmt usage(&cache_, "DELETE FROM usage WHERE function = ?1", error);
  if (!usage.ok() || usage.Text(1, id).Step(error) != SQLITE_DONE) return false;
  if (!MoveRegistryStamps(true, error)) return false;
  return tx.Commit(error);
}

bool HostStore::ListFunctions(const std::string& category, std::vector<FunctionRow>* rows,
                              std::string* error) {
  rows->clear();
  std::string sql = std::string("SELECT ") + kFunctionColumns +
                    " FROM functions WHERE ?1 = '9' OR category = ?1 ORDER BY seq";
  Stmt st(&cache_, sql.c_str(), error);
  if (!st.ok()) return false;
  st.Text(1, category);
  int rc;
  while ((rc = st.Step(error)) == SQLITE_ROW) rows->push_back(ReadFunction(st));
  return rc == SQLITE_DONE;
}

namespace {

// The number of functions of `category` ("9": all).
bool CountFunctions(StatementCache* cache, const std::string& category, uint64_t* total,
                    std::string* error) {
  const bool all = category == "9";
  Stmt st(
      cache,
      all ? "SELECT COUNT(*) FROM functions" : "SELECT COUNT(*) FROM functions WHERE category = ?1",
      error);
  if (!st.ok()) return false;
  if (!all) st.Text(1, category);
  if (st.Step(error) != SQLITE_ROW) return false;
  *total = static_cast<uint64_t>(st.ColInt(0));
  return true;
}

constexpr int64_t kMaxPage = int64_t{1} << 31;

}  // namespace

bool HostStore::ListFunctionsPage(const std::string& category, int64_t after, uint64_t limit,
                                  bool count, std::vector<FunctionRow>* rows, ListPage* page,
                                  std::string* error) {
  rows->clear();
  page->last_seq = 0;
  if (count && !CountFunctions(&cache_, category, &page->total, error)) return false;
  std::string sql = std::string("SELECT ") + kFunctionColumns +
                    ", seq FROM functions WHERE (?1 = '9' OR category = ?1) AND seq > ?2 "
                    "ORDER BY seq LIMIT ?3";
  Stmt st(&cache_, sql.c_str(), error);
  if (!st.ok()) return false;
  st.Text(1, category).Int(2, after).Int(3, std::min<int64_t>(limit, kMaxPage));
  int rc;
  while ((rc = st.Step(error)) == SQLITE_ROW) {
    rows->push_back(ReadFunction(st));
    page->last_seq = st.ColInt(13);
  }
  return rc == SQLITE_DONE;
}

bool HostStore::ListUsagePage(const std::string& profile, const std::string& category,
                              int64_t after, uint64_t limit, bool count,
                              std::vector<UsageRow>* rows, ListPage* page, bool* known,
                              std::string* error) {
  rows->clear();
  page->last_seq = 0;
  std::string canonical = CanonicalProfile(profile);
  if (!ProfileExists(canonical, known, error)) return false;
  if (!*known) return true;
  if (count && !CountFunctions(&cache_, category, &page->total, error)) return false;
  Stmt st(&cache_,
          "SELECT f.id, COALESCE(u.usage, f.default_usage), f.seq FROM functions f "
          "LEFT JOIN usage u ON u.function = f.id AND u.profile = ?2 "
          "WHERE (?1 = '9' OR f.category = ?1) AND f.seq > ?3 ORDER BY f.seq LIMIT ?4",
          error);
  if (!st.ok()) return false;
  st.Text(1, category).Text(2, canonical).Int(3, after).Int(4, std::min<int64_t>(limit, kMaxPage));
  int rc;
  while ((rc = st.Step(error)) == SQLITE_ROW) {
    rows->push_back(UsageRow{st.Col(0), st.Col(1)});
    page->last_seq = st.ColInt(2);
  }
  return rc == SQLITE_DONE;
}

bool HostStore::SetUsage(const std::string& profile, const std::string& function,
                         const std::string& usage, std::string* error) {
  if (!usage.empty() && !ValidUsage(usage)) {
    *error = "usage of " + function + " must be 1 (denied) or 2 (allowed)";
    return false;
  }
  std::string canonical = CanonicalProfile(profile);
  WriteTransaction tx(db_, error);
  bool exists;
  if (!tx.ok()) return false;
  if (!ProfileExists(canonical, &exists, error)) return false;
  if (!exists) {
    *error = "user profile " + canonical + " not found";
    return false;
  }
  if (!FunctionExists(function, &exists, error)) return false;
  if (!exists) {
    *error = "function " + function + " is not registered";
    return false;
  }
  Stmt st(&cache_,
          usage.empty()
              ? "DELETE FROM usage WHERE profile = ?1 AND function = ?2"
              : "INSERT OR REPLACE INTO usage(profile, function, usage) VALUES(?1, ?2, ?3)",
          error);
  if (!st.ok()) return false;
  st.Text(1, canonical).Text(2, function);
  if (!usage.empty()) st.Text(3, usage);
  Stamp s;
  if (st.Step(error) != SQLITE_DONE || !NextStamp(&s, error)) return false;
  Stmt ts(&cache_, "UPDATE profiles SET user_ts = ?2 WHERE name = ?1", error);
  if (!ts.ok() || ts.Text(1, canonical).Blob(2, s).Step(error) != SQLITE_DONE) return false;
  return tx.Commit(error);
}

bool HostStore::ListUsage(const std::string& profile, const std::string& category,
                          std::vector<UsageRow>* rows, bool* known, std::string* error) {
  rows->clear();
  std::string canonical = CanonicalProfile(profile);
  if (!ProfileExists(canonical, known, error)) return false;
  if (!*known) return true;
  Stmt st(&cache_,
          "SELECT f.id, COALESCE(u.usage, f.default_usage) FROM functions f "
          "LEFT JOIN usage u ON u.function = f.id AND u.profile = ?2 "
          "WHERE ?1 = '9' OR f.category = ?1 ORDER BY f.seq",
          error);
  if (!st.ok()) return false;
  st.Text(1, category).Text(2, canonical);
  int rc;
  while ((rc = st.Step(error)) == SQLITE_ROW) rows->push_back(UsageRow{st.Col(0), st.Col(1)});
  return rc == SQLITE_DONE;
}

bool HostStore::GetTimestamps(const std::string& profile, Timestamps* stamps, bool* known,
                              std::string* error) {
  *stamps = Timestamps{};
  Stmt st(&cache_,
          "SELECT (SELECT user_ts FROM profiles WHERE name = ?1), "
          "(SELECT value FROM meta WHERE key = 'rep_ts'), "
          "(SELECT value FROM meta WHERE key = 'hier_ts'), "
          "EXISTS(SELECT 1 FROM functions)",
          error);
  if (!st.ok()) return false;
  if (st.Text(1, CanonicalProfile(profile)).Step(error) != SQLITE_ROW) return false;
  stamps->user = st.ColStamp(0);
  *known = stamps->user != Stamp{};
  stamps->rep = st.ColStamp(1);
  // An empty registry has no hierarchy.
  if (st.Col(3) == "1") stamps->hier = st.ColStamp(2);
  return true;
}

bool HostStore::CheckNothingRemoved(const nlohmann::json& in, std::string* error) {
  std::set<std::string> functions, profiles;
  for (const auto& f : in.value("functions", nlohmann::json::array()))
    functions.insert(f.value("id", ""));
  for (const auto& p : in.value("profiles", nlohmann::json::array()))
    profiles.insert(CanonicalProfile(p.value("name", "")));
  std::vector<std::string> gone_functions, gone_profiles;
  for (auto [sql, kept, gone] :
       {std::tuple{"SELECT id FROM functions ORDER BY id", &functions, &gone_functions},
        std::tuple{"SELECT name FROM profiles ORDER BY name", &profiles, &gone_profiles}}) {
    Stmt st(&cache_, sql, error);
    if (!st.ok()) return false;
    int rc;
    while ((rc = st.Step(error)) == SQLITE_ROW)
      if (kept->count(st.Col(0)) == 0) gone->push_back(st.Col(0));
    if (rc != SQLITE_DONE) return false;
  }
  if (gone_functions.empty() && gone_profiles.empty()) return true;
  auto some = [](const std::vector<std::string>& names, const char* what) {
    if (names.empty()) return std::string();
    std::string text = std::to_string(names.size()) + " " + what + " (";
    for (size_t i = 0; i < names.size() && i < 3; ++i) text += (i ? ", " : "") + names[i];
    return text + (names.size() > 3 ? ", ...)" : ")");
  };
  std::string f = some(gone_functions, "registered functions"), p = some(gone_profiles, "profiles");
  *error = "the file would remove " + f + (f.empty() || p.empty() ? "" : " and ") + p +
           "; give --replace to replace the whole registry";
  return false;
}

nlohmann::ordered_json FunctionToJson(const FunctionRow& f) {
  return {{"id", f.id},
          {"category", f.category},
          {"type", f.type},
          {"root", f.root},
          {"parent", f.parent},
          {"name", f.name},
          {"name2", f.name2},
          {"description", f.description},
          {"description2", f.description2},
          {"indicators", {f.indicator1, f.indicator2, f.indicator3}},
          {"default_usage", f.default_usage}};
}

bool HostStore::ExportJson(std::string* json, std::string* error) {
  nlohmann::ordered_json out;
  HostInfo info;
  if (!GetHostInfo(&info, error)) return false;
  out["host"] = {{"version", info.version}, {"release", info.release}, {"name", info.name}};
  std::vector<FunctionRow> functions;
  if (!ListFunctions("9", &functions, error)) return false;
  out["functions"] = nlohmann::ordered_json::array();
  for (const FunctionRow& f : functions) {
    out["functions"].push_back(FunctionToJson(f));
  }
  out["profiles"] = nlohmann::ordered_json::array();
  Stmt p(&cache_, "SELECT name, hash, all_profiles FROM profiles ORDER BY name", error);
  if (!p.ok()) return false;
  int rc;
  while ((rc = p.Step(error)) == SQLITE_ROW) {
    nlohmann::ordered_json profile = {{"name", p.Col(0)}, {"password_hash", p.Col(1)}};
    if (p.Col(2) == "1") profile["all_profiles"] = true;
    out["profiles"].push_back(std::move(profile));
  }
  if (rc != SQLITE_DONE) return false;
  out["usage"] = nlohmann::ordered_json::array();
  Stmt u(&cache_, "SELECT profile, function, usage FROM usage ORDER BY profile, function", error);
  if (!u.ok()) return false;
  while ((rc = u.Step(error)) == SQLITE_ROW)
    out["usage"].push_back({{"profile", u.Col(0)}, {"function", u.Col(1)}, {"usage", u.Col(2)}});
  if (rc != SQLITE_DONE) return false;
  *json = out.dump(2) + "\n";
  return true;
}

bool HostStore::ImportJson(const std::string& json, bool replace, std::string* error) {
  nlohmann::json in;
  if (!CheckHostJson(json, &in, error)) return false;
  auto text = [](const nlohmann::json& o, const char* key, const std::string& fallback) {
    auto it = o.find(key);
    return it != o.end() && it->is_string() ? it->get<std::string>() : fallback;
  };
  WriteTransaction tx(db_, error);
  if (!tx.ok()) return false;
  if (!replace && !CheckNothingRemoved(in, error)) return false;
  if (!Exec("DELETE FROM functions; DELETE FROM usage; DELETE FROM profiles;", error)) return false;
  if (auto h = in.find("host"); h != in.end() && h->is_object()) {
    HostInfo info;
    if (h->contains("version")) info.version = (*h)["version"].get<uint32_t>();
    if (h->contains("release")) info.release = (*h)["release"].get<uint32_t>();
    info.name = text(*h, "name", info.name);
    if (!PutHostInfo(info, error)) return false;
  }
  std::string sql = std::string("INSERT INTO functions(") + kFunctionColumns +
                    ") VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)";
  size_t n = 0;
  for (const auto& f : in.value("functions", nlohmann::json::array())) {
    ++n;
    if (!f.is_object()) {
      *error = "functions entry " + std::to_string(n) + " is not an object";
      return false;
    }
    FunctionRow row;
    row.id = text(f, "id", "");
    row.category = text(f, "category", row.category);
    row.type = text(f, "type", row.type);
    row.root = text(f, "root", row.id);
    row.parent = text(f, "parent", row.parent);
    row.name = text(f, "name", "");
    row.name2 = text(f, "name2", "");
    row.description = text(f, "description", "");
    row.description2 = text(f, "description2", "");
    if (auto ind = f.find("indicators"); ind != f.end() && ind->is_array() && ind->size() == 3 &&
                                         (*ind)[0].is_string() && (*ind)[1].is_string() &&
                                         (*ind)[2].is_string()) {
      row.indicator1 = (*ind)[0];
      row.indicator2 = (*ind)[1];
      row.indicator3 = (*ind)[2];
    }
    row.default_usage = text(f, "default_usage", row.default_usage);
    if (!CheckFunction(row, error)) {
      *error = "functions entry " + std::to_string(n) + ": " + *error;
      return false;
    }
    Stmt st(&cache_, sql.c_str(), error);
    if (!st.ok()) return false;
    BindFunction(st, row);
    if (st.Step(error) != SQLITE_DONE) {
      *error = "functions entry " + std::to_string(n) + " (" + row.id + "): " + *error;
      return false;
    }
  }
  Stamp s;
  for (const auto& p : in.value("profiles", nlohmann::json::array())) {
    std::string name = CanonicalProfile(p.is_object() ? text(p, "name", "") : "");
    std::string hash = p.is_object() ? text(p, "password_hash", "") : "";
    if (p.is_object() && hash.empty() && p.contains("password") && p["password"].is_string() &&
        !HashPassword(
            p["password"].get<std::string>(),
            p.value("fast_hash", false) ? HashStrength::kFast : HashStrength::kInteractive, &hash,
            error))
      return false;
    if (name.empty() || name.size() > 10 || hash.empty()) {
      *error = "profile \"" + name + "\" needs a name of 1 to 10 characters and a password";
      return false;
    }
    Stmt st(&cache_,
            "INSERT INTO profiles(name, hash, user_ts, all_profiles) VALUES(?1, ?2, ?3, ?4)",
            error);
    const bool all = p.value("all_profiles", false);
    if (!NextStamp(&s, error) || !st.ok() ||
        st.Text(1, name).Text(2, hash).Blob(3, s).Text(4, all ? "1" : "0").Step(error) !=
            SQLITE_DONE) {
      *error = "profile " + name + ": " + *error;
      return false;
    }
  }
  for (const auto& u : in.value("usage", nlohmann::json::array())) {
    std::string profile = CanonicalProfile(u.is_object() ? text(u, "profile", "") : "");
    std::string function = u.is_object() ? text(u, "function", "") : "";
    std::string usage = u.is_object() ? text(u, "usage", "") : "";
    if (!ValidUsage(usage)) {
      *error = "usage of " + function + " by " + profile + " must be 1 or 2";
      return false;
    }
    Stmt st(&cache_,
            "INSERT OR REPLACE INTO usage(profile, function, usage) "
            "SELECT ?1, ?2, ?3 WHERE EXISTS(SELECT 1 FROM profiles WHERE name = ?1) "
            "AND EXISTS(SELECT 1 FROM functions WHERE id = ?2)",
            error);
    if (!st.ok() || st.Text(1, profile).Text(2, function).Text(3, usage).Step(error) != SQLITE_DONE)
      return false;
    if (st.Changes() == 0) {
      *error = "usage names an unknown profile " + profile + " or function " + function;
      return false;
    }
  }
  if (!MoveRegistryStamps(true, error)) return false;
  return tx.Commit(error);
}

}  // namespace zvt::hostd
