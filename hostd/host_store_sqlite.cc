// The host store in a SQLite file: the embedded default, one machine's
// processes sharing it (WAL, one writer at a time).
#include <errno.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <string_view>
#include <unordered_map>

#include "hostd/held_stamps.h"
#include "hostd/host_json.h"
#include "hostd/host_store.h"
#include "hostd/host_store_backends.h"
#include "hostd/sqlite_statements.h"
#include "platform/change_counter.h"

namespace zvt::hostd {
namespace {

using namespace sqlite;  // NOLINT(build/namespaces): the toolkit of this backend

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
CREATE TABLE IF NOT EXISTS signon_tokens(
  digest TEXT PRIMARY KEY,
  profile TEXT NOT NULL,
  last_used INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS signon_tokens_profile ON signon_tokens(profile, last_used);
CREATE TABLE IF NOT EXISTS profile_groups(
  profile TEXT NOT NULL,
  grp TEXT NOT NULL,
  PRIMARY KEY(profile, grp));
CREATE INDEX IF NOT EXISTS profile_groups_grp ON profile_groups(grp);
CREATE TABLE IF NOT EXISTS audit(
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  at INTEGER NOT NULL,
  who TEXT NOT NULL,
  origin TEXT NOT NULL,
  action TEXT NOT NULL,
  profile TEXT NOT NULL,
  function TEXT NOT NULL,
  before TEXT NOT NULL,
  after TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS audit_at ON audit(at);
)";

// The profile `who` names and every member of it as a group.
std::string ProfileAndMembers(const std::string& who) {
  return "(SELECT " + who + " UNION SELECT profile FROM profile_groups WHERE grp = " + who + ")";
}

// Changes made to the tables by other means than this store (the sqlite3
// shell, say) move the change timestamps as the store's own writes do, so
// that clients see them: a change of a profile's usage moves its user
// timestamp and its members'; a change of its groups its own; a change of the functions moves the
// registry's, and its hierarchy's when a function comes or goes or moves in the tree. The store's
// own connection turns triggers off and moves the stamps itself, once per change rather than once
// per row. A stamp is the time in microseconds (here to the millisecond), above every stamp before
// it.
std::string StampTriggers() {
  const std::string next_stamp =
      "INSERT OR REPLACE INTO meta(key, value) VALUES('last_stamp', max("
      "CAST((julianday('now') - 2440587.5) * 86400000000 AS INTEGER), "
      "coalesce((SELECT value FROM meta WHERE key = 'last_stamp'), 0) + 1)); ";
  const std::string set_user_ts =
      "UPDATE profiles SET user_ts = (SELECT value FROM meta WHERE key = 'last_stamp') "
      "WHERE name IN ";
  const std::string set_stamp = "INSERT OR REPLACE INTO meta(key, value) SELECT ";
  const std::string to_last = ", value FROM meta WHERE key = 'last_stamp'";
  const std::string set_both =
      set_stamp + "'rep_ts'" + to_last + "; " + set_stamp + "'hier_ts'" + to_last + "; ";
  auto trigger = [&](const char* name, const char* event, const char* table,
                     const std::string& body) {
    return std::string("CREATE TRIGGER IF NOT EXISTS ") + name + " AFTER " + event + " ON " +
           table + " BEGIN " + next_stamp + body + " END; ";
  };
  return trigger("usage_insert_moves_user_ts", "INSERT", "usage",
                 set_user_ts + ProfileAndMembers("NEW.profile") + ";") +
         trigger("usage_update_moves_user_ts", "UPDATE", "usage",
                 set_user_ts + ProfileAndMembers("OLD.profile") + "; " + set_user_ts +
                     ProfileAndMembers("NEW.profile") + ";") +
         trigger("usage_delete_moves_user_ts", "DELETE", "usage",
                 set_user_ts + ProfileAndMembers("OLD.profile") + ";") +
         trigger("groups_insert_move_user_ts", "INSERT", "profile_groups",
                 set_user_ts + "(NEW.profile);") +
         trigger("groups_update_move_user_ts", "UPDATE", "profile_groups",
                 set_user_ts + "(OLD.profile, NEW.profile);") +
         trigger("groups_delete_move_user_ts", "DELETE", "profile_groups",
                 set_user_ts + "(OLD.profile);") +
         trigger("functions_insert_moves_stamps", "INSERT", "functions", set_both) +
         trigger("functions_delete_moves_stamps", "DELETE", "functions", set_both) +
         trigger("functions_update_moves_stamps", "UPDATE", "functions",
                 set_stamp + "'rep_ts'" + to_last + "; " + set_stamp + "'hier_ts'" + to_last +
                     " AND (OLD.id IS NOT NEW.id OR OLD.root IS NOT NEW.root OR "
                     "OLD.parent IS NOT NEW.parent OR OLD.type IS NOT NEW.type OR "
                     "OLD.category IS NOT NEW.category);");
}

uint64_t NowMicros() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return uint64_t(tv.tv_sec) * 1000000u + uint64_t(tv.tv_usec);
}

FunctionRow ReadFunction(const Stmt& st) {
  return FunctionFromFields([&st](int i) { return st.Col(i); });
}

void BindFunction(Stmt& st, const FunctionRow& f) {
  const std::vector<std::string> fields = FunctionFields(f);
  for (int i = 0; i < kFunctionFieldCount; ++i) st.Text(i + 1, fields[i]);
}

constexpr int64_t kMaxPage = int64_t{1} << 31;

std::unique_ptr<HostStore> OpenSqlite(const std::string& path, std::shared_ptr<HeldStamps> held,
                                      std::string* error, bool* wrong_schema);

class SqliteHostStore final : public HostStore {
 public:
  SqliteHostStore(sqlite3* db, std::string path, std::shared_ptr<HeldStamps> held)
      : db_(db), path_(std::move(path)), held_(std::move(held)) {
    cache_.db = db;
    // Every process that changes the store counts its commits here; a
    // store that cannot have the counter reads every answer from the file.
    counter_ = platform::ChangeCounter::Open(path_ + "-changes");
  }
  ~SqliteHostStore() override {
    cache_.statements.clear();  // finalizes them before the close
    sqlite3_close(db_);
  }

  // Creates the tables, or brings an earlier version's up to this one's.
  bool Prepare(std::string* error, bool* wrong_schema);

  std::unique_ptr<HostStore> OpenAnother(std::string* error) override {
    return OpenSqlite(path_, held_, error, nullptr);
  }
  bool SetHostInfo(const HostInfo& info, std::string* error) override;
  bool GetHostInfo(HostInfo* info, std::string* error) override;
  bool SchemaVersion(int* version, std::string* error) override;
  bool RemoveProfile(const std::string& name, std::string* error) override;
  bool ListProfiles(std::vector<std::string>* names, std::string* error) override;
  bool ProfileExists(const std::string& name, bool* exists, std::string* error) override;
  bool SetAllProfiles(const std::string& name, bool all, std::string* error) override;
  bool ReadsAllProfiles(const std::string& name, bool* all, std::string* error) override;
  bool RemoveFunction(const std::string& id, std::string* error) override;
  bool ListFunctionsPage(const std::string& category, int64_t after, uint64_t limit, bool count,
                         std::vector<FunctionRow>* rows, ListPage* page,
                         std::string* error) override;
  bool ListUsagePage(const std::string& profile, const std::string& category, int64_t after,
                     uint64_t limit, bool count, std::vector<UsageRow>* rows, ListPage* page,
                     bool* known, std::string* error) override;
  bool GetTimestamps(const std::string& profile, Timestamps* stamps, bool* known,
                     std::string* error) override;
  bool HeldTimestamps(const std::string& profile, Timestamps* stamps, bool* known) override;

  // Without the counter nothing is held (HeldTimestamps finds nothing).
  HeldStamps* held() override { return counter_ ? held_.get() : nullptr; }

 protected:
  bool InsertProfile(const std::string& name, const std::string& hash, std::string* error) override;
  bool StoreHash(const std::string& name, const std::string& hash, std::string* error) override;
  bool RevokeTokens(const std::string& name, uint64_t* revoked, std::string* error) override;
  bool InsertToken(const std::string& name, const std::string& digest, int64_t now,
                   int64_t unused_since, size_t keep, std::string* error) override;
  bool UseToken(const std::string& name, const std::string& digest, int64_t now,
                int64_t unused_since, bool* valid, std::string* error) override;
  bool DeleteTokens(const std::string& name, uint64_t* revoked, std::string* error);
  bool ReadHash(const std::string& name, std::string* hash, bool* found,
                std::string* error) override;
  bool InsertFunction(const FunctionRow& row, std::string* error) override;
  bool ReplaceFunction(const FunctionRow& row, std::string* error) override;
  bool ListGroups(const std::string& profile, std::vector<std::string>* groups, bool* known,
                  std::string* error) override;
  bool StoreGroups(const std::string& profile, const std::vector<std::string>& groups,
                   std::string* error) override;
  bool ListAudit(const AuditFilter& filter, std::vector<AuditRecord>* records,
                 std::string* error) override;
  bool SetAuditor(const std::string& name, bool auditor, std::string* error) override;
  bool IsAuditor(const std::string& name, bool* auditor, std::string* error) override;
  // A profile's flag (all_profiles, auditor), and its change with the audit
  // record `action`.
  bool ReadFlag(const char* column, const std::string& name, bool* on, std::string* error);
  bool SetFlag(const char* column, const char* action, const std::string& name, bool on,
               std::string* error);
  // Writes `record` in the transaction open now.
  bool Audit(const AuditRecord& record, std::string* error);
  // Moves the user timestamp of `profile` and of its members to `s`.
  bool MoveUserStamps(const std::string& profile, const Stamp& s, std::string* error);
  bool StoreUsage(const std::vector<UsageSetting>& settings, std::string* error) override;
  bool ReadImage(HostImage* image, std::string* error) override;
  bool WriteImage(const HostImage& image, bool replace, std::string* error) override;

 private:
  bool Exec(const char* sql, std::string* error);
  bool PutHostInfo(const HostInfo& info, std::string* error);
  // A fresh stamp, strictly above every stamp issued before.
  bool NextStamp(Stamp* stamp, std::string* error);
  bool SetMetaStamp(const char* key, const Stamp& stamp, std::string* error);
  // The last stamp given, kept as an integer for the triggers' sake.
  bool SetLastStamp(const Stamp& stamp, std::string* error);
  bool MoveRegistryStamps(bool hierarchy, std::string* error);
  bool FunctionExists(const std::string& id, bool* exists, std::string* error);
  bool CountFunctions(const std::string& category, uint64_t* total, std::string* error);
  bool Column(const char* sql, std::vector<std::string>* values, std::string* error);

  sqlite3* db_;
  std::string path_;
  StatementCache cache_;
  std::unique_ptr<platform::ChangeCounter> counter_;
  // Timestamps read since the counter last moved, shared by the store's
  // objects of this process. They are answered again while no commit was
  // counted and for at most kTrustStampsFor, so that a change written into
  // the file by other means than this class (which counts nothing) is seen
  // within that time too.
  static constexpr std::chrono::milliseconds kTrustStampsFor{100};
  std::shared_ptr<HeldStamps> held_;
  // Brings the held stamps up to the counter; false when there is none.
  bool Revalidate();
};

bool SqliteHostStore::Prepare(std::string* error, bool* wrong_schema) {
  if (!Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", error)) return false;
  WriteTransaction tx(db_, counter_.get(), error);
  if (!tx.ok()) return false;
  int version = 0;
  {
    Stmt v(&cache_, "PRAGMA user_version", error);
    if (!v.ok() || v.Step(error) != SQLITE_ROW) return false;
    version = static_cast<int>(v.ColInt(0));
  }
  if (version > kSchemaVersion) {
    *wrong_schema = true;
    *error = "the store's schema is version " + std::to_string(version) +
             ", newer than this build's (" + std::to_string(kSchemaVersion) +
             "); use a zvthostd of that version";
    return false;
  }
  // A store of this version has every table: one that is missing was lost
  // or taken away, and is not made anew empty, which would answer as if
  // the registry held nothing. The store is unavailable until it is back.
  if (version == kSchemaVersion) {
    for (const char* table :
         {"meta", "profiles", "functions", "usage", "signon_tokens", "profile_groups", "audit"}) {
      Stmt st(&cache_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1", error);
      if (!st.ok()) return false;
      const int rc = st.Text(1, table).Step(error);
      if (rc == SQLITE_ROW) continue;
      if (rc == SQLITE_DONE)
        *error = std::string("host store: the table ") + table + " is missing from " + path_;
      return false;
    }
    return Exec(StampTriggers().c_str(), error) && tx.Commit(error);
  }
  // Before version 6 a change of a profile's usage moved its own stamp only;
  // its triggers are made anew to move its members' too.
  if (version < 6 && !Exec("DROP TRIGGER IF EXISTS usage_insert_moves_user_ts; "
                           "DROP TRIGGER IF EXISTS usage_update_moves_user_ts; "
                           "DROP TRIGGER IF EXISTS usage_delete_moves_user_ts;",
                           error))
    return false;
  if (!Exec(kSchema, error) || !Exec(StampTriggers().c_str(), error)) return false;
  // Before version 4 the last stamp was kept as its bytes; the triggers
  // count on from it as an integer.
  if (version < 4) {
    Stmt last(&cache_, "SELECT value FROM meta WHERE key = 'last_stamp'", error);
    if (!last.ok()) return false;
    const int rc = last.Step(error);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return false;
    if (rc == SQLITE_ROW && !SetLastStamp(last.ColStamp(0), error)) return false;
  }
  // Stores made before user_version was kept may lack all_profiles: the
  // profile may read every profile's usage and timestamps.
  // Before version 6 there were no auditors.
  for (const char* column : {"all_profiles", "auditor"}) {
    Stmt st(&cache_, "SELECT 1 FROM pragma_table_info('profiles') WHERE name = ?1", error);
    if (!st.ok()) return false;
    const int rc = st.Text(1, column).Step(error);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return false;
    const std::string add =
        std::string("ALTER TABLE profiles ADD COLUMN ") + column + " INTEGER NOT NULL DEFAULT 0";
    if (rc == SQLITE_DONE && !Exec(add.c_str(), error)) return false;
  }
  std::string set_version = "PRAGMA user_version = " + std::to_string(kSchemaVersion);
  return Exec(set_version.c_str(), error) && tx.Commit(error);
}

bool SqliteHostStore::Exec(const char* sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  *error = std::string("host store: ") + (message != nullptr ? message : sqlite3_errmsg(db_));
  sqlite3_free(message);
  return false;
}

bool SqliteHostStore::Audit(const AuditRecord& r, std::string* error) {
  Stmt st(&cache_,
          "INSERT INTO audit(at, who, origin, action, profile, function, before, after) "
          "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)",
          error);
  return st.ok() && st.Int(1, r.at)
                            .Text(2, r.who)
                            .Text(3, r.from)
                            .Text(4, r.action)
                            .Text(5, r.profile)
                            .Text(6, r.function)
                            .Text(7, r.before)
                            .Text(8, r.after)
                            .Step(error) == SQLITE_DONE;
}

bool SqliteHostStore::ListAudit(const AuditFilter& f, std::vector<AuditRecord>* records,
                                std::string* error) {
  records->clear();
  Stmt st(&cache_,
          "SELECT seq, at, who, origin, action, profile, function, before, after FROM audit "
          "WHERE (?1 = '' OR profile = ?1) AND (?2 = '' OR function = ?2) AND at >= ?3 "
          "AND at < ?4 ORDER BY seq DESC LIMIT ?5",
          error);
  if (!st.ok()) return false;
  st.Text(1, f.profile.empty() ? "" : CanonicalProfile(f.profile))
      .Text(2, f.function)
      .Int(3, f.since)
      .Int(4, f.until)
      .Int(5, static_cast<int64_t>(std::min<uint64_t>(f.limit, INT64_MAX)));
  int rc;
  while ((rc = st.Step(error)) == SQLITE_ROW)
    records->push_back(AuditRecord{st.ColInt(0), st.ColInt(1), st.Col(2), st.Col(3), st.Col(4),
                                   st.Col(5), st.Col(6), st.Col(7), st.Col(8)});
  return rc == SQLITE_DONE;
}

bool SqliteHostStore::SetAllProfiles(const std::string& name, bool all, std::string* error) {
  return SetFlag("all_profiles", "profile.security-admin", name, all, error);
}
bool SqliteHostStore::ReadsAllProfiles(const std::string& name, bool* all, std::string* error) {
  return ReadFlag("all_profiles", name, all, error);
}
bool SqliteHostStore::SetAuditor(const std::string& name, bool auditor, std::string* error) {
  return SetFlag("auditor", "profile.auditor", name, auditor, error);
}
bool SqliteHostStore::IsAuditor(const std::string& name, bool* auditor, std::string* error) {
  return ReadFlag("auditor", name, auditor, error);
}

bool SqliteHostStore::ReadFlag(const char* column, const std::string& name, bool* on,
                               std::string* error) {
  const std::string sql = std::string("SELECT ") + column + " FROM profiles WHERE name = ?1";
  Stmt st(&cache_, sql.c_str(), error);
  if (!st.ok()) return false;
  const int rc = st.Text(1, CanonicalProfile(name)).Step(error);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return false;
  *on = rc == SQLITE_ROW && st.ColInt(0) != 0;
  return true;
}

bool SqliteHostStore::SetFlag(const char* column, const char* action, const std::string& name,
                              bool on, std::string* error) {
  const std::string canonical = CanonicalProfile(name);
  WriteTransaction tx(db_, counter_.get(), error);
  bool was = false;
  if (!tx.ok() || !ReadFlag(column, canonical, &was, error)) return false;
  const std::string sql = std::string("UPDATE profiles SET ") + column + " = ?2 WHERE name = ?1";
  Stmt st(&cache_, sql.c_str(), error);
  if (!st.ok() || st.Text(1, canonical).Int(2, on ? 1 : 0).Step(error) != SQLITE_DONE) return false;
  if (st.Changes() == 0) {
    *error = "user profile " + canonical + " not found";
    return false;
  }
  return Audit(Change(action, canonical, "", was ? "on" : "off", on ? "on" : "off"), error) &&
         tx.Commit(error);
}

bool SqliteHostStore::NextStamp(Stamp* stamp, std::string* error) {
  Stmt get(&cache_, "SELECT value FROM meta WHERE key = 'last_stamp'", error);
  if (!get.ok()) return false;
  int rc = get.Step(error);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return false;
  *stamp = StampAfter(rc == SQLITE_ROW ? get.ColStamp(0) : Stamp{}, NowMicros());
  return SetLastStamp(*stamp, error);
}

bool SqliteHostStore::SetLastStamp(const Stamp& stamp, std::string* error) {
  Stmt put(&cache_, "INSERT OR REPLACE INTO meta(key, value) VALUES('last_stamp', ?1)", error);
  return put.ok() && put.Int(1, static_cast<int64_t>(StampValue(stamp))).Step(error) == SQLITE_DONE;
}

bool SqliteHostStore::SetMetaStamp(const char* key, const Stamp& stamp, std::string* error) {
  Stmt put(&cache_, "INSERT OR REPLACE INTO meta(key, value) VALUES(?1, ?2)", error);
  return put.ok() && put.Text(1, key).Blob(2, stamp).Step(error) == SQLITE_DONE;
}

bool SqliteHostStore::MoveRegistryStamps(bool hierarchy, std::string* error) {
  Stamp s;
  if (!NextStamp(&s, error) || !SetMetaStamp("rep_ts", s, error)) return false;
  return !hierarchy || SetMetaStamp("hier_ts", s, error);
}

bool SqliteHostStore::PutHostInfo(const HostInfo& info, std::string* error) {
  for (auto [key, value] :
       {std::pair<const char*, std::string>{"version", std::to_string(info.version)},
        {"release", std::to_string(info.release)},
        {"name", info.name}}) {
    Stmt one(&cache_, "INSERT OR REPLACE INTO meta(key, value) VALUES(?1, ?2)", error);
    if (!one.ok() || one.Text(1, key).Text(2, value).Step(error) != SQLITE_DONE) return false;
  }
  return true;
}

bool SqliteHostStore::SetHostInfo(const HostInfo& info, std::string* error) {
  WriteTransaction tx(db_, counter_.get(), error);
  HostInfo was;
  return tx.ok() && GetHostInfo(&was, error) && PutHostInfo(info, error) &&
         Audit(Change("host.info", "", "", HostInfoText(was), HostInfoText(info)), error) &&
         tx.Commit(error);
}

bool SqliteHostStore::GetHostInfo(HostInfo* info, std::string* error) {
  Stmt st(&cache_, "SELECT key, value FROM meta WHERE key IN ('version', 'release', 'name')",
          error);
  if (!st.ok()) return false;
  int rc;
  while ((rc = st.Step(error)) == SQLITE_ROW) SetHostInfoField(st.Col(0), st.Col(1), info);
  return rc == SQLITE_DONE;
}

bool SqliteHostStore::SchemaVersion(int* version, std::string* error) {
  Stmt v(&cache_, "PRAGMA user_version", error);
  if (!v.ok() || v.Step(error) != SQLITE_ROW) return false;
  *version = static_cast<int>(v.ColInt(0));
  return true;
}

bool SqliteHostStore::ProfileExists(const std::string& name, bool* exists, std::string* error) {
  Stmt st(&cache_, "SELECT 1 FROM profiles WHERE name = ?1", error);
  if (!st.ok()) return false;
  int rc = st.Text(1, CanonicalProfile(name)).Step(error);
  *exists = rc == SQLITE_ROW;
  return rc == SQLITE_ROW || rc == SQLITE_DONE;
}

bool SqliteHostStore::FunctionExists(const std::string& id, bool* exists, std::string* error) {
  Stmt st(&cache_, "SELECT 1 FROM functions WHERE id = ?1", error);
  if (!st.ok()) return false;
  int rc = st.Text(1, id).Step(error);
  *exists = rc == SQLITE_ROW;
  return rc == SQLITE_ROW || rc == SQLITE_DONE;
}

bool SqliteHostStore::InsertProfile(const std::string& name, const std::string& hash,
                                    std::string* error) {
  WriteTransaction tx(db_, counter_.get(), error);
  bool exists;
  if (!tx.ok() || !ProfileExists(name, &exists, error)) return false;
  if (exists) {
    *error = "user profile " + name + " already exists";
    return false;
  }
  Stamp s;
  if (!NextStamp(&s, error)) return false;
  Stmt st(&cache_, "INSERT INTO profiles(name, hash, user_ts) VALUES(?1, ?2, ?3)", error);
  if (!st.ok() || st.Text(1, name).Text(2, hash).Blob(3, s).Step(error) != SQLITE_DONE)
    return false;
  return Audit(Change("profile.add", name, "", "", ""), error) && tx.Commit(error);
}

bool SqliteHostStore::StoreHash(const std::string& name, const std::string& hash,
                                std::string* error) {
  // A new password revokes the profile's sign-on tokens with it.
  WriteTransaction tx(db_, counter_.get(), error);
  Stmt st(&cache_, "UPDATE profiles SET hash = ?2 WHERE name = ?1", error);
  if (!tx.ok() || !st.ok() || st.Text(1, name).Text(2, hash).Step(error) != SQLITE_DONE)
    return false;
  if (st.Changes() == 0) {
    *error = "user profile " + name + " not found";
    return false;
  }
  uint64_t revoked = 0;
  return DeleteTokens(name, &revoked, error) &&
         Audit(Change("profile.password", name, "", "", "set"), error) && tx.Commit(error);
}

bool SqliteHostStore::DeleteTokens(const std::string& name, uint64_t* revoked, std::string* error) {
  Stmt del(&cache_, "DELETE FROM signon_tokens WHERE profile = ?1", error);
  if (!del.ok() || del.Text(1, name).Step(error) != SQLITE_DONE) return false;
  *revoked = static_cast<uint64_t>(del.Changes());
  return true;
}

bool SqliteHostStore::RevokeTokens(const std::string& name, uint64_t* revoked, std::string* error) {
  WriteTransaction tx(db_, nullptr, error);  // nothing a reader caches
  const std::string canonical = CanonicalProfile(name);
  return tx.ok() && DeleteTokens(canonical, revoked, error) &&
         Audit(Change("profile.tokens", canonical, "", "", std::to_string(*revoked) + " revoked"),
               error) &&
         tx.Commit(error);
}

bool SqliteHostStore::InsertToken(const std::string& name, const std::string& digest, int64_t now,
                                  int64_t unused_since, size_t keep, std::string* error) {
  WriteTransaction tx(db_, nullptr, error);  // nothing a reader caches
  if (!tx.ok()) return false;
  // The profile's tokens unused too long go, and the least recently used
  // beyond the most a profile keeps.
  Stmt old(&cache_,
           "DELETE FROM signon_tokens WHERE profile = ?1 AND (last_used < ?2 OR digest IN "
           "(SELECT digest FROM signon_tokens WHERE profile = ?1 ORDER BY last_used DESC "
           "LIMIT -1 OFFSET ?3))",
           error);
  if (!old.ok() ||
      old.Text(1, name).Int(2, unused_since).Int(3, static_cast<int64_t>(keep) - 1).Step(error) !=
          SQLITE_DONE)
    return false;
  Stmt add(&cache_,
           "INSERT INTO signon_tokens(digest, profile, last_used) SELECT ?1, ?2, ?3 "
           "WHERE EXISTS (SELECT 1 FROM profiles WHERE name = ?2)",
           error);
  if (!add.ok() || add.Text(1, digest).Text(2, name).Int(3, now).Step(error) != SQLITE_DONE)
    return false;
  if (add.Changes() == 0) {
    *error = "user profile " + name + " not found";
    return false;
  }
  return tx.Commit(error);
}

bool SqliteHostStore::UseToken(const std::string& name, const std::string& digest, int64_t now,
                               int64_t unused_since, bool* valid, std::string* error) {
  WriteTransaction tx(db_, nullptr, error);  // nothing a reader caches
  Stmt use(&cache_,
           "UPDATE signon_tokens SET last_used = ?3 WHERE digest = ?1 AND profile = ?2 AND "
           "last_used >= ?4",
           error);
  if (!tx.ok() || !use.ok() ||
      use.Text(1, digest).Text(2, name).Int(3, now).Int(4, unused_since).Step(error) != SQLITE_DONE)
    return false;
  *valid = use.Changes() > 0;
  return tx.Commit(error);
}

bool SqliteHostStore::RemoveProfile(const std::string& name, std::string* error) {
  std::string canonical = CanonicalProfile(name);
  WriteTransaction tx(db_, counter_.get(), error);
  if (!tx.ok()) return false;
  Stmt del(&cache_, "DELETE FROM profiles WHERE name = ?1", error);
  if (!del.ok() || del.Text(1, canonical).Step(error) != SQLITE_DONE) return false;
  if (del.Changes() == 0) {
    *error = "user profile " + canonical + " not found";
    return false;
  }
  Stmt usage(&cache_, "DELETE FROM usage WHERE profile = ?1", error);
  if (!usage.ok() || usage.Text(1, canonical).Step(error) != SQLITE_DONE) return false;
  // Its members lose what they had through it.
  Stamp s;
  if (!NextStamp(&s, error) || !MoveUserStamps(canonical, s, error)) return false;
  Stmt groups(&cache_, "DELETE FROM profile_groups WHERE profile = ?1 OR grp = ?1", error);
  if (!groups.ok() || groups.Text(1, canonical).Step(error) != SQLITE_DONE) return false;
  uint64_t revoked = 0;
  return DeleteTokens(canonical, &revoked, error) &&
         Audit(Change("profile.remove", canonical, "", "", ""), error) && tx.Commit(error);
}

bool SqliteHostStore::Column(const char* sql, std::vector<std::string>* values,
                             std::string* error) {
  values->clear();
  Stmt st(&cache_, sql, error);
  if (!st.ok()) return false;
  int rc;
  while ((rc = st.Step(error)) == SQLITE_ROW) values->push_back(st.Col(0));
  return rc == SQLITE_DONE;
}

bool SqliteHostStore::ListProfiles(std::vector<std::string>* names, std::string* error) {
  return Column("SELECT name FROM profiles ORDER BY name", names, error);
}

bool SqliteHostStore::ReadHash(const std::string& name, std::string* hash, bool* found,
                               std::string* error) {
  Stmt st(&cache_, "SELECT hash FROM profiles WHERE name = ?1", error);
  if (!st.ok()) return false;
  int rc = st.Text(1, name).Step(error);
  if (rc == SQLITE_ROW) {
    *found = true;
    *hash = st.Col(0);
    return true;
  }
  if (rc != SQLITE_DONE) return false;
  *found = false;
  return true;
}

bool SqliteHostStore::InsertFunction(const FunctionRow& row, std::string* error) {
  WriteTransaction tx(db_, counter_.get(), error);
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
  return Audit(Change("function.add", "", row.id, "", FunctionAuditText(row)), error) &&
         tx.Commit(error);
}

bool SqliteHostStore::ReplaceFunction(const FunctionRow& row, std::string* error) {
  WriteTransaction tx(db_, counter_.get(), error);
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
  return Audit(Change("function.update", "", row.id, FunctionAuditText(before),
                      FunctionAuditText(row)),
               error) &&
         tx.Commit(error);
}

bool SqliteHostStore::RemoveFunction(const std::string& id, std::string* error) {
  WriteTransaction tx(db_, counter_.get(), error);
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
  return Audit(Change("function.remove", "", id, "", ""), error) && tx.Commit(error);
}

bool SqliteHostStore::CountFunctions(const std::string& category, uint64_t* total,
                                     std::string* error) {
  const bool all = category == "9";
  Stmt st(
      &cache_,
      all ? "SELECT COUNT(*) FROM functions" : "SELECT COUNT(*) FROM functions WHERE category = ?1",
      error);
  if (!st.ok()) return false;
  if (!all) st.Text(1, category);
  if (st.Step(error) != SQLITE_ROW) return false;
  *total = static_cast<uint64_t>(st.ColInt(0));
  return true;
}

bool SqliteHostStore::ListFunctionsPage(const std::string& category, int64_t after, uint64_t limit,
                                        bool count, std::vector<FunctionRow>* rows, ListPage* page,
                                        std::string* error) {
  rows->clear();
  rows->reserve(std::min<uint64_t>(limit, kReservedRows));
  page->last_seq = 0;
  if (count && !CountFunctions(category, &page->total, error)) return false;
  std::string sql = std::string("SELECT ") + kFunctionColumns +
                    ", seq FROM functions WHERE (?1 = '9' OR category = ?1) AND seq > ?2 "
                    "ORDER BY seq LIMIT ?3";
  Stmt st(&cache_, sql.c_str(), error);
  if (!st.ok()) return false;
  st.Text(1, category)
      .Int(2, after)
      .Int(3, static_cast<int64_t>(std::min<uint64_t>(limit, kMaxPage)));
  int rc;
  while ((rc = st.Step(error)) == SQLITE_ROW) {
    rows->push_back(ReadFunction(st));
    page->last_seq = st.ColInt(kFunctionFieldCount);  // seq follows the fields
  }
  return rc == SQLITE_DONE;
}

bool SqliteHostStore::ListUsagePage(const std::string& profile, const std::string& category,
                                    int64_t after, uint64_t limit, bool count,
                                    std::vector<UsageRow>* rows, ListPage* page, bool* known,
                                    std::string* error) {
  rows->clear();
  rows->reserve(std::min<uint64_t>(limit, kReservedRows));
  page->last_seq = 0;
  std::string canonical = CanonicalProfile(profile);
  if (!ProfileExists(canonical, known, error)) return false;
  if (!*known) return true;
  if (count && !CountFunctions(category, &page->total, error)) return false;
  Stmt st(&cache_,
          "SELECT f.id, COALESCE(u.usage, (SELECT min(g.usage) FROM profile_groups m "
          "JOIN usage g ON g.profile = m.grp AND g.function = f.id WHERE m.profile = ?2), "
          "f.default_usage), f.seq FROM functions f "
          "LEFT JOIN usage u ON u.function = f.id AND u.profile = ?2 "
          "WHERE (?1 = '9' OR f.category = ?1) AND f.seq > ?3 ORDER BY f.seq LIMIT ?4",
          error);
  if (!st.ok()) return false;
  st.Text(1, category).Text(2, canonical).Int(3, after);
  st.Int(4, static_cast<int64_t>(std::min<uint64_t>(limit, kMaxPage)));
  int rc;
  while ((rc = st.Step(error)) == SQLITE_ROW) {
    rows->push_back(UsageRow{st.Col(0), st.Col(1)});
    page->last_seq = st.ColInt(2);
  }
  return rc == SQLITE_DONE;
}

bool SqliteHostStore::StoreUsage(const std::vector<UsageSetting>& settings, std::string* error) {
  WriteTransaction tx(db_, counter_.get(), error);
  Stamp s;
  if (!tx.ok() || !NextStamp(&s, error)) return false;
  for (const auto& [profile, function, usage] : settings) {
    bool exists;
    if (!ProfileExists(profile, &exists, error)) return false;
    if (!exists) {
      *error = "user profile " + profile + " not found";
      return false;
    }
    if (!FunctionExists(function, &exists, error)) return false;
    if (!exists) {
      *error = "function " + function + " is not registered";
      return false;
    }
    std::string was;
    {
      Stmt old(&cache_, "SELECT usage FROM usage WHERE profile = ?1 AND function = ?2", error);
      if (!old.ok()) return false;
      const int rc = old.Text(1, profile).Text(2, function).Step(error);
      if (rc != SQLITE_ROW && rc != SQLITE_DONE) return false;
      if (rc == SQLITE_ROW) was = old.Col(0);
    }
    Stmt st(&cache_,
            usage.empty()
                ? "DELETE FROM usage WHERE profile = ?1 AND function = ?2"
                : "INSERT OR REPLACE INTO usage(profile, function, usage) VALUES(?1, ?2, ?3)",
            error);
    if (!st.ok()) return false;
    st.Text(1, profile).Text(2, function);
    if (!usage.empty()) st.Text(3, usage);
    if (st.Step(error) != SQLITE_DONE || !MoveUserStamps(profile, s, error) ||
        !Audit(Change("usage", profile, function, UsageWord(was), UsageWord(usage)), error))
      return false;
  }
  return tx.Commit(error);
}

bool SqliteHostStore::MoveUserStamps(const std::string& profile, const Stamp& s,
                                     std::string* error) {
  const std::string sql =
      "UPDATE profiles SET user_ts = ?2 WHERE name IN " + ProfileAndMembers("?1");
  Stmt ts(&cache_, sql.c_str(), error);
  return ts.ok() && ts.Text(1, profile).Blob(2, s).Step(error) == SQLITE_DONE;
}

bool SqliteHostStore::StoreGroups(const std::string& profile,
                                  const std::vector<std::string>& groups, std::string* error) {
  WriteTransaction tx(db_, counter_.get(), error);
  if (!tx.ok()) return false;
  for (const std::string& name : groups) {
    bool exists;
    if (!ProfileExists(name, &exists, error)) return false;
    if (!exists) {
      *error = "user profile " + name + " not found";
      return false;
    }
  }
  std::vector<std::string> was;
  bool known = false;
  if (!ListGroups(profile, &was, &known, error)) return false;
  Stmt del(&cache_, "DELETE FROM profile_groups WHERE profile = ?1", error);
  if (!del.ok() || del.Text(1, profile).Step(error) != SQLITE_DONE) return false;
  for (const std::string& group : groups) {
    Stmt add(&cache_, "INSERT INTO profile_groups(profile, grp) VALUES(?1, ?2)", error);
    if (!add.ok() || add.Text(1, profile).Text(2, group).Step(error) != SQLITE_DONE) return false;
  }
  Stamp s;
  Stmt ts(&cache_, "UPDATE profiles SET user_ts = ?2 WHERE name = ?1", error);
  if (!NextStamp(&s, error) || !ts.ok() ||
      ts.Text(1, profile).Blob(2, s).Step(error) != SQLITE_DONE)
    return false;
  if (ts.Changes() == 0) {
    *error = "user profile " + profile + " not found";
    return false;
  }
  return Audit(Change("profile.groups", profile, "", JoinNames(was), JoinNames(groups)), error) &&
         tx.Commit(error);
}

bool SqliteHostStore::ListGroups(const std::string& profile, std::vector<std::string>* groups,
                                 bool* known, std::string* error) {
  groups->clear();
  const std::string canonical = CanonicalProfile(profile);
  if (!ProfileExists(canonical, known, error)) return false;
  if (!*known) return true;
  Stmt st(&cache_, "SELECT grp FROM profile_groups WHERE profile = ?1 ORDER BY grp", error);
  if (!st.ok()) return false;
  st.Text(1, canonical);
  int rc;
  while ((rc = st.Step(error)) == SQLITE_ROW) groups->push_back(st.Col(0));
  return rc == SQLITE_DONE;
}

bool SqliteHostStore::Revalidate() {
  if (!counter_) return false;
  // The counter is read before the file: a commit counted after this read
  // makes the next call read the file again.
  held_->DropIfMoved(counter_->Load(), std::chrono::steady_clock::now(), kTrustStampsFor);
  return true;
}

bool SqliteHostStore::HeldTimestamps(const std::string& profile, Timestamps* stamps, bool* known) {
  return Revalidate() && held_->Find(CanonicalProfile(profile), stamps, known);
}

bool SqliteHostStore::GetTimestamps(const std::string& profile, Timestamps* stamps, bool* known,
                                    std::string* error) {
  const std::string canonical = CanonicalProfile(profile);
  const bool holding = Revalidate();
  const uint64_t epoch = held_->Epoch();
  if (holding && held_->Find(canonical, stamps, known)) return true;
  *stamps = Timestamps{};
  Stmt st(&cache_,
          "SELECT (SELECT user_ts FROM profiles WHERE name = ?1), "
          "(SELECT value FROM meta WHERE key = 'rep_ts'), "
          "(SELECT value FROM meta WHERE key = 'hier_ts'), "
          "EXISTS(SELECT 1 FROM functions)",
          error);
  if (!st.ok()) return false;
  if (st.Text(1, canonical).Step(error) != SQLITE_ROW) return false;
  stamps->user = st.ColStamp(0);
  *known = stamps->user != Stamp{};
  stamps->rep = st.ColStamp(1);
  // An empty registry has no hierarchy.
  if (st.Col(3) == "1") stamps->hier = st.ColStamp(2);
  if (holding) held_->Keep(epoch, canonical, *stamps, *known);
  return true;
}

bool SqliteHostStore::ReadImage(HostImage* image, std::string* error) {
  // One read transaction, so that the parts belong together.
  if (!Exec("BEGIN", error)) return false;
  struct End {
    sqlite3* db;
    ~End() { sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr); }
  } end{db_};
  if (!GetHostInfo(&image->info, error) || !ListFunctions("9", &image->functions, error))
    return false;
  Stmt p(&cache_, "SELECT name, hash, all_profiles, auditor FROM profiles ORDER BY name", error);
  if (!p.ok()) return false;
  int rc;
  while ((rc = p.Step(error)) == SQLITE_ROW)
    image->profiles.push_back(
        ProfileRow{p.Col(0), p.Col(1), p.Col(2) == "1", p.ColInt(3) != 0, {}});
  if (rc != SQLITE_DONE) return false;
  Stmt g(&cache_, "SELECT profile, grp FROM profile_groups ORDER BY profile, grp", error);
  if (!g.ok()) return false;
  std::map<std::string, std::vector<std::string>> groups;
  while ((rc = g.Step(error)) == SQLITE_ROW) groups[g.Col(0)].push_back(g.Col(1));
  if (rc != SQLITE_DONE) return false;
  for (ProfileRow& profile : image->profiles) profile.groups = std::move(groups[profile.name]);
  Stmt u(&cache_, "SELECT profile, function, usage FROM usage ORDER BY profile, function", error);
  if (!u.ok()) return false;
  while ((rc = u.Step(error)) == SQLITE_ROW)
    image->usage.push_back(UsageSetting{u.Col(0), u.Col(1), u.Col(2)});
  return rc == SQLITE_DONE;
}

bool SqliteHostStore::WriteImage(const HostImage& image, bool replace, std::string* error) {
  WriteTransaction tx(db_, counter_.get(), error);
  if (!tx.ok()) return false;
  if (!replace) {
    std::vector<std::string> ids, names;
    if (!Column("SELECT id FROM functions", &ids, error) ||
        !Column("SELECT name FROM profiles", &names, error) ||
        !CheckNothingRemoved(image, ids, names, error))
      return false;
  }
  if (!Exec("DELETE FROM functions; DELETE FROM usage; DELETE FROM profiles; "
            "DELETE FROM signon_tokens; DELETE FROM profile_groups;",
            error) ||
      !PutHostInfo(image.info, error))
    return false;
  std::string sql = std::string("INSERT INTO functions(") + kFunctionColumns +
                    ") VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)";
  for (const FunctionRow& row : image.functions) {
    Stmt st(&cache_, sql.c_str(), error);
    if (!st.ok()) return false;
    BindFunction(st, row);
    if (st.Step(error) != SQLITE_DONE) {
      *error = "function " + row.id + ": " + *error;
      return false;
    }
  }
  Stamp s;
  for (const ProfileRow& p : image.profiles) {
    Stmt st(&cache_,
            "INSERT INTO profiles(name, hash, user_ts, all_profiles, auditor) "
            "VALUES(?1, ?2, ?3, ?4, ?5)",
            error);
    if (!NextStamp(&s, error) || !st.ok() ||
        st.Text(1, p.name)
                .Text(2, p.hash)
                .Blob(3, s)
                .Text(4, p.all_profiles ? "1" : "0")
                .Int(5, p.auditor ? 1 : 0)
                .Step(error) != SQLITE_DONE) {
      *error = "profile " + p.name + ": " + *error;
      return false;
    }
  }
  for (const ProfileRow& p : image.profiles) {
    for (const std::string& group : p.groups) {
      Stmt st(&cache_, "INSERT OR IGNORE INTO profile_groups(profile, grp) VALUES(?1, ?2)", error);
      if (!st.ok() || st.Text(1, p.name).Text(2, group).Step(error) != SQLITE_DONE) return false;
    }
  }
  for (const UsageSetting& u : image.usage) {
    Stmt st(&cache_, "INSERT OR REPLACE INTO usage(profile, function, usage) VALUES(?1, ?2, ?3)",
            error);
    if (!st.ok() ||
        st.Text(1, u.profile).Text(2, u.function).Text(3, u.usage).Step(error) != SQLITE_DONE)
      return false;
  }
  return MoveRegistryStamps(true, error) &&
         Audit(Change("import", "", "", "", ImportSummary(image, replace)), error) &&
         tx.Commit(error);
}

std::unique_ptr<HostStore> OpenSqlite(const std::string& path, std::shared_ptr<HeldStamps> held,
                                      std::string* error, bool* wrong_schema) {
  bool ignored = false;
  if (wrong_schema == nullptr) wrong_schema = &ignored;
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
  // This connection moves the stamps itself (StampTriggers).
  sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
  auto store = std::make_unique<SqliteHostStore>(db, path, std::move(held));
  if (!store->Prepare(error, wrong_schema)) {
    *error = path + ": " + *error;
    return nullptr;
  }
  return store;
}

}  // namespace

std::unique_ptr<HostStore> OpenSqliteStore(const std::string& path, std::string* error,
                                           bool* wrong_schema) {
  return OpenSqlite(path, std::make_shared<HeldStamps>(), error, wrong_schema);
}

}  // namespace zvt::hostd
