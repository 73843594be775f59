// The host store in PostgreSQL, for several zvthostd instances (on several
// machines) over one registry. The stamps come from the database's clock and
// move in the transaction of the change that moves them; writers take one
// row lock first, so that changes, and the functions' sequence numbers,
// commit in the order their stamps say. The store's objects of one process
// share a pool of connections.
#include <libpq-fe.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>

#include "hostd/held_stamps.h"
#include "hostd/host_json.h"
#include "hostd/host_store.h"
#include "hostd/host_store_backends.h"
#include "hostd/pg_schema.h"
#include "hostd/pg_session.h"
#include "hostd/pg_stamp_watch.h"

namespace zvt::hostd {
namespace {

using namespace pg;  // NOLINT(build/namespaces): the toolkit of this backend

constexpr int kDefaultConnections = 4;

FunctionRow ReadFunction(const PgResult& r, int row) {
  return FunctionFromFields([&r, row](int i) { return r.Get(row, i); });
}

// A text[] literal of `values`, for one parameter carrying many rows.
std::string ArrayLiteral(const std::vector<std::string>& values) {
  std::string out = "{";
  for (size_t i = 0; i < values.size(); ++i) {
    if (i != 0) out += ',';
    out += '"';
    for (char c : values[i]) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    out += '"';
  }
  return out + "}";
}

std::string PageLimit(uint64_t limit) {
  return std::to_string(std::min<uint64_t>(limit, uint64_t{1} << 31));
}

class PostgresHostStore final : public HostStore {
 public:
  // `held` and `watch` (both null: nothing held) keep the timestamps read.
  PostgresHostStore(std::shared_ptr<PgPool> pool, std::shared_ptr<HeldStamps> held,
                    std::shared_ptr<PgStampWatch> watch)
      : pool_(std::move(pool)), held_(std::move(held)), watch_(std::move(watch)) {}

  // Creates or upgrades the schema when `migrate`; otherwise refuses any
  // version but this build's.
  bool Prepare(bool migrate, std::string* error, bool* wrong_schema);

  std::unique_ptr<HostStore> OpenAnother(std::string*) override {
    return std::make_unique<PostgresHostStore>(pool_, held_, watch_);
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
  bool HeldTimestamps(const std::string& profile, Timestamps* stamps, bool* known) override {
    return held_ && held_->Find(CanonicalProfile(profile), stamps, known);
  }

  HeldStamps* held() override { return held_.get(); }

 protected:
  bool InsertProfile(const std::string& name, const std::string& hash, std::string* error) override;
  bool StoreHash(const std::string& name, const std::string& hash, std::string* error) override;
  bool RevokeTokens(const std::string& name, uint64_t* revoked, std::string* error) override;
  bool InsertToken(const std::string& name, const std::string& digest, int64_t now,
                   int64_t unused_since, size_t keep, std::string* error) override;
  bool UseToken(const std::string& name, const std::string& digest, int64_t now,
                int64_t unused_since, bool* valid, std::string* error) override;
  bool ReadHash(const std::string& name, std::string* hash, bool* found,
                std::string* error) override;
  bool InsertFunction(const FunctionRow& row, std::string* error) override;
  bool ReplaceFunction(const FunctionRow& row, std::string* error) override;
  bool ListGroups(const std::string& profile, std::vector<std::string>* groups, bool* known,
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
  // Writes `record` in the session's open transaction.
  bool Audit(PgSession& s, const AuditRecord& record);
  bool StoreGroups(const std::string& profile, const std::vector<std::string>& groups,
                   std::string* error) override;
  bool StoreUsage(const std::vector<UsageSetting>& settings, std::string* error) override;
  bool ReadImage(HostImage* image, std::string* error) override;
  bool WriteImage(const HostImage& image, bool replace, std::string* error) override;

 private:
  bool PutHostInfo(PgSession& s, const HostInfo& info);
  bool ReadHostInfo(PgSession& s, HostInfo* info);
  bool ListFunctionsIn(PgSession& s, const std::string& category, int64_t after, uint64_t limit,
                       std::vector<FunctionRow>* rows, ListPage* page);

  std::shared_ptr<PgPool> pool_;
  std::shared_ptr<HeldStamps> held_;
  std::shared_ptr<PgStampWatch> watch_;
};

bool PostgresHostStore::Prepare(bool migrate, std::string* error, bool* wrong_schema) {
  PgSession s(pool_.get(), error);
  if (!s.ok()) return false;
  // Migrations take turns: a second instance started with --migrate waits,
  // then finds the schema current.
  if (migrate && !(s.Begin() && s.Exec(kMigrationLock))) return false;
  PgResult r;
  if (!s.Run("SELECT to_regclass('zvt_schema') IS NOT NULL", {}, &r)) return false;
  int version = 0;
  if (r.Get(0, 0) == "t") {
    if (!s.Run("SELECT version FROM zvt_schema", {}, &r)) return false;
    if (r.Rows() != 1) return s.Fail("the zvt_schema table does not hold one version");
    version = static_cast<int>(r.Int(0, 0));
  }
  const std::string here = std::to_string(kSchemaVersion);
  *wrong_schema = version > kSchemaVersion || (version < kSchemaVersion && !migrate);
  if (version > kSchemaVersion)
    return s.Fail("the store's schema is version " + std::to_string(version) +
                  ", newer than this build's (" + here + "); use a zvthostd of that version");
  if (version == kSchemaVersion) return !migrate || s.Commit();
  if (!migrate)
    return s.Fail(version == 0
                      ? "the database has no host store schema yet; create it with zvthostd "
                        "--migrate --store URI"
                      : "the store's schema is version " + std::to_string(version) +
                            ", older than this build's (" + here +
                            "); bring it up with zvthostd --migrate --store URI");
  for (int step = version; step < kSchemaVersion; ++step)
    if (!s.Exec(kMigrations[step])) return false;
  return s.Run("UPDATE zvt_schema SET version = $1", {here}) && s.Commit();
}

bool PostgresHostStore::PutHostInfo(PgSession& s, const HostInfo& info) {
  const char* put =
      "INSERT INTO meta(key, value) VALUES($1, $2) "
      "ON CONFLICT (key) DO UPDATE SET value = EXCLUDED.value";
  return s.Run(put, {"version", std::to_string(info.version)}) &&
         s.Run(put, {"release", std::to_string(info.release)}) && s.Run(put, {"name", info.name});
}

bool PostgresHostStore::SetHostInfo(const HostInfo& info, std::string* error) {
  PgSession s(pool_.get(), error);
  HostInfo was;
  return s.ok() && s.BeginWrite() && ReadHostInfo(s, &was) && PutHostInfo(s, info) &&
         Audit(s, Change("host.info", "", "", HostInfoText(was), HostInfoText(info))) && s.Commit();
}

bool PostgresHostStore::Audit(PgSession& s, const AuditRecord& r) {
  return s.Run(
      "INSERT INTO audit(at, who, origin, action, profile, function, before, after) "
      "VALUES($1, $2, $3, $4, $5, $6, $7, $8)",
      {std::to_string(r.at), r.who, r.from, r.action, r.profile, r.function, r.before, r.after});
}

bool PostgresHostStore::ListAudit(const AuditFilter& f, std::vector<AuditRecord>* records,
                                  std::string* error) {
  records->clear();
  PgSession s(pool_.get(), error);
  PgResult r;
  if (!s.ok() ||
      !s.Run("SELECT seq, at, who, origin, action, profile, function, before, after FROM audit "
             "WHERE ($1 = '' OR profile = $1) AND ($2 = '' OR function = $2) AND at >= $3 "
             "AND at < $4 ORDER BY seq DESC LIMIT $5",
             {f.profile.empty() ? "" : CanonicalProfile(f.profile), f.function,
              std::to_string(f.since), std::to_string(f.until),
              std::to_string(std::min<uint64_t>(f.limit, INT64_MAX))},
             &r))
    return false;
  for (int i = 0; i < r.Rows(); ++i)
    records->push_back(AuditRecord{r.Int(i, 0), r.Int(i, 1), r.Get(i, 2), r.Get(i, 3), r.Get(i, 4),
                                   r.Get(i, 5), r.Get(i, 6), r.Get(i, 7), r.Get(i, 8)});
  return true;
}

bool PostgresHostStore::ReadHostInfo(PgSession& s, HostInfo* info) {
  PgResult r;
  if (!s.Run("SELECT key, value FROM meta WHERE key IN ('version', 'release', 'name')", {}, &r))
    return false;
  for (int i = 0; i < r.Rows(); ++i) SetHostInfoField(r.Get(i, 0), r.Get(i, 1), info);
  return true;
}

bool PostgresHostStore::GetHostInfo(HostInfo* info, std::string* error) {
  PgSession s(pool_.get(), error);
  return s.ok() && ReadHostInfo(s, info);
}

bool PostgresHostStore::SchemaVersion(int* version, std::string* error) {
  PgSession s(pool_.get(), error);
  PgResult r;
  if (!s.ok() || !s.Run("SELECT version FROM zvt_schema", {}, &r)) return false;
  if (r.Rows() != 1) return s.Fail("the zvt_schema table does not hold one version");
  *version = static_cast<int>(r.Int(0, 0));
  return true;
}

bool PostgresHostStore::ProfileExists(const std::string& name, bool* exists, std::string* error) {
  PgSession s(pool_.get(), error);
  PgResult r;
  if (!s.ok() || !s.Run("SELECT 1 FROM profiles WHERE name = $1", {CanonicalProfile(name)}, &r))
    return false;
  *exists = r.Rows() == 1;
  return true;
}

bool PostgresHostStore::SetAllProfiles(const std::string& name, bool all, std::string* error) {
  return SetFlag("all_profiles", "profile.security-admin", name, all, error);
}
bool PostgresHostStore::ReadsAllProfiles(const std::string& name, bool* all, std::string* error) {
  return ReadFlag("all_profiles", name, all, error);
}
bool PostgresHostStore::SetAuditor(const std::string& name, bool auditor, std::string* error) {
  return SetFlag("auditor", "profile.auditor", name, auditor, error);
}
bool PostgresHostStore::IsAuditor(const std::string& name, bool* auditor, std::string* error) {
  return ReadFlag("auditor", name, auditor, error);
}

bool PostgresHostStore::ReadFlag(const char* column, const std::string& name, bool* on,
                                 std::string* error) {
  const std::string sql = std::string("SELECT ") + column + " FROM profiles WHERE name = $1";
  PgSession s(pool_.get(), error);
  PgResult r;
  if (!s.ok() || !s.Run(sql.c_str(), {CanonicalProfile(name)}, &r)) return false;
  *on = r.Rows() == 1 && r.Get(0, 0) == "t";
  return true;
}

bool PostgresHostStore::SetFlag(const char* column, const char* action, const std::string& name,
                                bool on, std::string* error) {
  const std::string canonical = CanonicalProfile(name);
  const std::string read = std::string("SELECT ") + column + " FROM profiles WHERE name = $1";
  const std::string write = std::string("UPDATE profiles SET ") + column + " = $2 WHERE name = $1";
  PgSession s(pool_.get(), error);
  PgResult r;
  if (!s.ok() || !s.BeginWrite() || !s.Run(read.c_str(), {canonical}, &r)) return false;
  if (r.Rows() == 0) return s.Fail("user profile " + canonical + " not found");
  const bool was = r.Get(0, 0) == "t";
  return s.Run(write.c_str(), {canonical, on ? "true" : "false"}) &&
         Audit(s, Change(action, canonical, "", was ? "on" : "off", on ? "on" : "off")) &&
         s.Commit();
}

bool PostgresHostStore::InsertProfile(const std::string& name, const std::string& hash,
                                      std::string* error) {
  PgSession s(pool_.get(), error);
  PgResult r;
  std::string stamp;
  if (!s.ok() || !s.BeginWrite() || !s.Run("SELECT 1 FROM profiles WHERE name = $1", {name}, &r))
    return false;
  if (r.Rows() != 0) {
    *error = "user profile " + name + " already exists";
    return false;
  }
  return s.NextStamp(&stamp) &&
         s.Run("INSERT INTO profiles(name, hash, user_ts) VALUES($1, $2, $3)",
               {name, hash, stamp}) &&
         Audit(s, Change("profile.add", name, "", "", "")) && s.Commit();
}

bool PostgresHostStore::StoreHash(const std::string& name, const std::string& hash,
                                  std::string* error) {
  // A new password revokes the profile's sign-on tokens with it.
  PgSession s(pool_.get(), error);
  PgResult r;
  if (!s.ok() || !s.BeginWrite() ||
      !s.Run("UPDATE profiles SET hash = $2 WHERE name = $1", {name, hash}, &r))
    return false;
  if (r.Affected() == 0) {
    *error = "user profile " + name + " not found";
    return false;
  }
  return s.Run("DELETE FROM signon_tokens WHERE profile = $1", {name}) &&
         Audit(s, Change("profile.password", name, "", "", "set")) && s.Commit();
}

bool PostgresHostStore::RevokeTokens(const std::string& name, uint64_t* revoked,
                                     std::string* error) {
  const std::string canonical = CanonicalProfile(name);
  PgSession s(pool_.get(), error);
  PgResult r;
  if (!s.ok() || !s.BeginWrite() ||
      !s.Run("DELETE FROM signon_tokens WHERE profile = $1", {canonical}, &r))
    return false;
  *revoked = static_cast<uint64_t>(r.Affected());
  return Audit(s, Change("profile.tokens", canonical, "", "",
                         std::to_string(*revoked) + " revoked")) &&
         s.Commit();
}

bool PostgresHostStore::InsertToken(const std::string& name, const std::string& digest, int64_t now,
                                    int64_t unused_since, size_t keep, std::string* error) {
  PgSession s(pool_.get(), error);
  PgResult r;
  // The profile's tokens unused too long go, and the least recently used
  // beyond the most a profile keeps.
  if (!s.ok() || !s.BeginWrite() ||
      !s.Run("DELETE FROM signon_tokens WHERE profile = $1 AND (last_used < $2 OR digest IN "
             "(SELECT digest FROM signon_tokens WHERE profile = $1 ORDER BY last_used DESC "
             "OFFSET $3))",
             {name, std::to_string(unused_since), std::to_string(keep - 1)}) ||
      !s.Run("INSERT INTO signon_tokens(digest, profile, last_used) SELECT $1, $2, $3 "
             "WHERE EXISTS (SELECT 1 FROM profiles WHERE name = $2)",
             {digest, name, std::to_string(now)}, &r))
    return false;
  if (r.Affected() == 0) {
    *error = "user profile " + name + " not found";
    return false;
  }
  return s.Commit();
}

bool PostgresHostStore::UseToken(const std::string& name, const std::string& digest, int64_t now,
                                 int64_t unused_since, bool* valid, std::string* error) {
  PgSession s(pool_.get(), error);
  PgResult r;
  if (!s.ok() || !s.Run("UPDATE signon_tokens SET last_used = $3 WHERE digest = $1 AND "
                        "profile = $2 AND last_used >= $4",
                        {digest, name, std::to_string(now), std::to_string(unused_since)}, &r))
    return false;
  *valid = r.Affected() > 0;
  return true;
}

bool PostgresHostStore::RemoveProfile(const std::string& name, std::string* error) {
  std::string canonical = CanonicalProfile(name);
  PgSession s(pool_.get(), error);
  PgResult r;
  // (Its usage settings and group memberships go with it; its members lose
  // what they had through it.)
  std::string stamp;
  if (!s.ok() || !s.BeginWrite() || !s.NextStamp(&stamp) ||
      !s.Run("UPDATE profiles SET user_ts = $2 WHERE name IN "
             "(SELECT profile FROM profile_groups WHERE grp = $1)",
             {canonical, stamp}) ||
      !s.Run("DELETE FROM profiles WHERE name = $1", {canonical}, &r))
    return false;
  if (r.Affected() == 0) {
    *error = "user profile " + canonical + " not found";
    return false;
  }
  return Audit(s, Change("profile.remove", canonical, "", "", "")) && s.Commit();
}

bool PostgresHostStore::ListProfiles(std::vector<std::string>* names, std::string* error) {
  names->clear();
  PgSession s(pool_.get(), error);
  PgResult r;
  if (!s.ok() || !s.Run("SELECT name FROM profiles ORDER BY name", {}, &r)) return false;
  for (int i = 0; i < r.Rows(); ++i) names->push_back(r.Get(i, 0));
  return true;
}

bool PostgresHostStore::ReadHash(const std::string& name, std::string* hash, bool* found,
                                 std::string* error) {
  PgSession s(pool_.get(), error);
  PgResult r;
  if (!s.ok() || !s.Run("SELECT hash FROM profiles WHERE name = $1", {name}, &r)) return false;
  *found = r.Rows() > 0;
  if (*found) *hash = r.Get(0, 0);
  return true;
}

bool PostgresHostStore::InsertFunction(const FunctionRow& row, std::string* error) {
  PgSession s(pool_.get(), error);
  PgResult r;
  if (!s.ok() || !s.BeginWrite() || !s.Run("SELECT 1 FROM functions WHERE id = $1", {row.id}, &r))
    return false;
  if (r.Rows() != 0) {
    *error = "function " + row.id + " is already registered";
    return false;
  }
  std::string sql = std::string("INSERT INTO functions(") + kFunctionColumns +
                    ") VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13)";
  std::vector<std::string> params = FunctionFields(row);
  return s.Run(sql.c_str(), params) && s.MoveRegistryStamps(true) &&
         Audit(s, Change("function.add", "", row.id, "", FunctionAuditText(row))) && s.Commit();
}

bool PostgresHostStore::ReplaceFunction(const FunctionRow& row, std::string* error) {
  PgSession s(pool_.get(), error);
  PgResult r;
  std::string old_sql = std::string("SELECT ") + kFunctionColumns + " FROM functions WHERE id = $1";
  if (!s.ok() || !s.BeginWrite() || !s.Run(old_sql.c_str(), {row.id}, &r)) return false;
  if (r.Rows() == 0) {
    *error = "function " + row.id + " is not registered";
    return false;
  }
  FunctionRow before = ReadFunction(r, 0);
  bool moved = before.root != row.root || before.parent != row.parent || before.type != row.type ||
               before.category != row.category;
  std::vector<std::string> params = FunctionFields(row);
  return s.Run(
             "UPDATE functions SET category = $2, type = $3, root = $4, parent = $5, "
             "name = $6, name2 = $7, description = $8, description2 = $9, indicator1 = $10, "
             "indicator2 = $11, indicator3 = $12, default_usage = $13 WHERE id = $1",
             params) &&
         s.MoveRegistryStamps(moved) &&
         Audit(s, Change("function.update", "", row.id, FunctionAuditText(before),
                         FunctionAuditText(row))) &&
         s.Commit();
}

bool PostgresHostStore::RemoveFunction(const std::string& id, std::string* error) {
  PgSession s(pool_.get(), error);
  PgResult r;
  // (Its usage settings go with it.)
  if (!s.ok() || !s.BeginWrite() || !s.Run("DELETE FROM functions WHERE id = $1", {id}, &r))
    return false;
  if (r.Affected() == 0) {
    *error = "function " + id + " is not registered";
    return false;
  }
  return s.MoveRegistryStamps(true) && Audit(s, Change("function.remove", "", id, "", "")) &&
         s.Commit();
}

bool PostgresHostStore::ListFunctionsIn(PgSession& s, const std::string& category, int64_t after,
                                        uint64_t limit, std::vector<FunctionRow>* rows,
                                        ListPage* page) {
  static const std::string sql = std::string("SELECT ") + kFunctionColumns +
                                 ", seq FROM functions WHERE ($1 = '9' OR category = $1) "
                                 "AND seq > $2 ORDER BY seq LIMIT $3";
  PgResult r;
  if (!s.Run(sql.c_str(), {category, std::to_string(after), PageLimit(limit)}, &r)) return false;
  rows->reserve(r.Rows());
  for (int i = 0; i < r.Rows(); ++i) {
    rows->push_back(ReadFunction(r, i));
    page->last_seq = r.Int(i, kFunctionFieldCount);  // seq follows the fields
  }
  return true;
}

bool PostgresHostStore::ListFunctionsPage(const std::string& category, int64_t after,
                                          uint64_t limit, bool count,
                                          std::vector<FunctionRow>* rows, ListPage* page,
                                          std::string* error) {
  rows->clear();
  rows->reserve(std::min<uint64_t>(limit, kReservedRows));
  page->last_seq = 0;
  PgSession s(pool_.get(), error);
  if (!s.ok()) return false;
  if (count) {
    PgResult r;
    if (!s.Run("SELECT COUNT(*) FROM functions WHERE $1 = '9' OR category = $1", {category}, &r))
      return false;
    page->total = static_cast<uint64_t>(r.Int(0, 0));
  }
  return ListFunctionsIn(s, category, after, limit, rows, page);
}

bool PostgresHostStore::ListUsagePage(const std::string& profile, const std::string& category,
                                      int64_t after, uint64_t limit, bool count,
                                      std::vector<UsageRow>* rows, ListPage* page, bool* known,
                                      std::string* error) {
  rows->clear();
  rows->reserve(std::min<uint64_t>(limit, kReservedRows));
  page->last_seq = 0;
  std::string canonical = CanonicalProfile(profile);
  PgSession s(pool_.get(), error);
  PgResult r;
  // Whether the profile exists, how many functions there are (when asked)
  // and the page, in one round trip: a row for each entry, or one row of
  // nulls past the first two columns when the page is empty.
  if (!s.ok() ||
      !s.Run(
          "WITH p AS (SELECT EXISTS(SELECT 1 FROM profiles WHERE name = $2) AS known), "
          "c AS (SELECT CASE WHEN $5 THEN (SELECT COUNT(*) FROM functions "
          "WHERE $1 = '9' OR category = $1) END AS total) "
          "SELECT p.known, c.total, e.id, e.usage, e.seq FROM p CROSS JOIN c "
          "LEFT JOIN LATERAL (SELECT f.id, COALESCE(u.usage, (SELECT min(g.usage) "
          "FROM profile_groups m JOIN usage g ON g.profile = m.grp AND g.function = f.id "
          "WHERE m.profile = $2), f.default_usage) AS usage, f.seq "
          "FROM functions f LEFT JOIN usage u ON u.function = f.id AND u.profile = $2 "
          "WHERE p.known AND ($1 = '9' OR f.category = $1) AND f.seq > $3 "
          "ORDER BY f.seq LIMIT $4) e ON true ORDER BY e.seq",
          {category, canonical, std::to_string(after), PageLimit(limit), count ? "true" : "false"},
          &r))
    return false;
  if (r.Rows() == 0) return s.Fail("the usage page query returned nothing");
  *known = r.Get(0, 0) == "t";
  if (!*known) return true;
  if (count) page->total = static_cast<uint64_t>(r.Int(0, 1));
  rows->reserve(r.Rows());
  for (int i = 0; i < r.Rows() && !r.Null(i, 2); ++i) {
    rows->push_back(UsageRow{r.Get(i, 2), r.Get(i, 3)});
    page->last_seq = r.Int(i, 4);
  }
  return true;
}

bool PostgresHostStore::StoreUsage(const std::vector<UsageSetting>& settings, std::string* error) {
  PgSession s(pool_.get(), error);
  std::string stamp;
  if (!s.ok() || !s.BeginWrite() || !s.NextStamp(&stamp)) return false;
  for (const auto& [profile, function, usage] : settings) {
    PgResult r;
    if (!s.Run("SELECT EXISTS(SELECT 1 FROM profiles WHERE name = $1), "
               "EXISTS(SELECT 1 FROM functions WHERE id = $2), "
               "(SELECT usage FROM usage WHERE profile = $1 AND function = $2)",
               {profile, function}, &r))
      return false;
    if (r.Get(0, 0) != "t") {
      *error = "user profile " + profile + " not found";
      return false;
    }
    if (r.Get(0, 1) != "t") {
      *error = "function " + function + " is not registered";
      return false;
    }
    const std::string was = r.Null(0, 2) ? "" : r.Get(0, 2);
    const bool changed =
        usage.empty()
            ? s.Run("DELETE FROM usage WHERE profile = $1 AND function = $2", {profile, function})
            : s.Run(
                  "INSERT INTO usage(profile, function, usage) VALUES($1, $2, $3) "
                  "ON CONFLICT (profile, function) DO UPDATE SET usage = EXCLUDED.usage",
                  {profile, function, usage});
    if (!changed ||
        !s.Run("UPDATE profiles SET user_ts = $2 WHERE name = $1 "
               "OR name IN (SELECT profile FROM profile_groups WHERE grp = $1)",
               {profile, stamp}) ||
        !Audit(s, Change("usage", profile, function, UsageWord(was), UsageWord(usage))))
      return false;
  }
  return s.Commit();
}

bool PostgresHostStore::StoreGroups(const std::string& profile,
                                    const std::vector<std::string>& groups, std::string* error) {
  PgSession s(pool_.get(), error);
  PgResult r;
  if (!s.ok() || !s.BeginWrite() ||
      !s.Run("SELECT g FROM unnest($1::text[]) AS g "
             "WHERE NOT EXISTS(SELECT 1 FROM profiles WHERE name = g) ORDER BY g LIMIT 1",
             {ArrayLiteral(groups)}, &r))
    return false;
  if (r.Rows() > 0) {
    *error = "user profile " + r.Get(0, 0) + " not found";
    return false;
  }
  PgResult old;
  if (!s.Run("SELECT array_to_string(array_agg(grp ORDER BY grp), ',') FROM profile_groups "
             "WHERE profile = $1",
             {profile}, &old))
    return false;
  const std::string was = old.Null(0, 0) ? "" : old.Get(0, 0);
  std::string stamp;
  if (!s.Run("DELETE FROM profile_groups WHERE profile = $1", {profile}) ||
      !s.Run("INSERT INTO profile_groups(profile, grp) SELECT $1, g FROM unnest($2::text[]) AS g",
             {profile, ArrayLiteral(groups)}) ||
      !s.NextStamp(&stamp) ||
      !s.Run("UPDATE profiles SET user_ts = $2 WHERE name = $1", {profile, stamp}, &r))
    return false;
  if (r.Affected() == 0) {
    *error = "user profile " + profile + " not found";
    return false;
  }
  return Audit(s, Change("profile.groups", profile, "", was, JoinNames(groups))) && s.Commit();
}

bool PostgresHostStore::ListGroups(const std::string& profile, std::vector<std::string>* groups,
                                   bool* known, std::string* error) {
  groups->clear();
  PgSession s(pool_.get(), error);
  PgResult r;
  if (!s.ok() || !s.Run("SELECT EXISTS(SELECT 1 FROM profiles WHERE name = $1), "
                        "(SELECT array_to_string(array_agg(grp ORDER BY grp), ',') "
                        "FROM profile_groups WHERE profile = $1)",
                        {CanonicalProfile(profile)}, &r))
    return false;
  *known = r.Get(0, 0) == "t";
  if (*known && !r.Null(0, 1)) {
    // Profile names hold no commas.
    const std::string list = r.Get(0, 1);
    for (size_t at = 0; at <= list.size();) {
      size_t comma = list.find(',', at);
      if (comma == std::string::npos) comma = list.size();
      groups->push_back(list.substr(at, comma - at));
      at = comma + 1;
    }
  }
  return true;
}

bool PostgresHostStore::GetTimestamps(const std::string& profile, Timestamps* stamps, bool* known,
                                      std::string* error) {
  const std::string canonical = CanonicalProfile(profile);
  const uint64_t epoch = held_ ? held_->Epoch() : 0;
  if (held_ && held_->Find(canonical, stamps, known)) return true;
  *stamps = Timestamps{};
  PgSession s(pool_.get(), error);
  PgResult r;
  if (!s.ok() || !s.Run("SELECT (SELECT user_ts FROM profiles WHERE name = $1), "
                        "(SELECT value FROM stamps WHERE key = 'rep_ts'), "
                        "(SELECT value FROM stamps WHERE key = 'hier_ts'), "
                        "EXISTS(SELECT 1 FROM functions)",
                        {canonical}, &r))
    return false;
  *known = !r.Null(0, 0);
  if (*known) stamps->user = StampOf(static_cast<uint64_t>(r.Int(0, 0)));
  if (!r.Null(0, 1)) stamps->rep = StampOf(static_cast<uint64_t>(r.Int(0, 1)));
  // An empty registry has no hierarchy.
  if (r.Get(0, 3) == "t" && !r.Null(0, 2))
    stamps->hier = StampOf(static_cast<uint64_t>(r.Int(0, 2)));
  if (held_) held_->Keep(epoch, canonical, *stamps, *known);
  return true;
}

bool PostgresHostStore::ReadImage(HostImage* image, std::string* error) {
  PgSession s(pool_.get(), error);
  PgResult r;
  ListPage page;
  // One snapshot, so that the parts belong together.
  if (!s.ok() || !s.BeginRead() || !ReadHostInfo(s, &image->info) ||
      !ListFunctionsIn(s, "9", 0, UINT64_MAX, &image->functions, &page) ||
      !s.Run("SELECT name, hash, all_profiles, auditor FROM profiles ORDER BY name", {}, &r))
    return false;
  for (int i = 0; i < r.Rows(); ++i)
    image->profiles.push_back(
        ProfileRow{r.Get(i, 0), r.Get(i, 1), r.Get(i, 2) == "t", r.Get(i, 3) == "t", {}});
  if (!s.Run("SELECT profile, grp FROM profile_groups ORDER BY profile, grp", {}, &r)) return false;
  std::map<std::string, std::vector<std::string>> groups;
  for (int i = 0; i < r.Rows(); ++i) groups[r.Get(i, 0)].push_back(r.Get(i, 1));
  for (ProfileRow& profile : image->profiles) profile.groups = std::move(groups[profile.name]);
  if (!s.Run("SELECT profile, function, usage FROM usage ORDER BY profile, function", {}, &r))
    return false;
  for (int i = 0; i < r.Rows(); ++i)
    image->usage.push_back(UsageSetting{r.Get(i, 0), r.Get(i, 1), r.Get(i, 2)});
  return s.Commit();
}

bool PostgresHostStore::WriteImage(const HostImage& image, bool replace, std::string* error) {
  PgSession s(pool_.get(), error);
  if (!s.ok() || !s.BeginWrite()) return false;
  if (!replace) {
    PgResult f, p;
    if (!s.Run("SELECT id FROM functions", {}, &f) || !s.Run("SELECT name FROM profiles", {}, &p))
      return false;
    std::vector<std::string> ids, names;
    for (int i = 0; i < f.Rows(); ++i) ids.push_back(f.Get(i, 0));
    for (int i = 0; i < p.Rows(); ++i) names.push_back(p.Get(i, 0));
    if (!CheckNothingRemoved(image, ids, names, error)) return false;
  }
  if (!s.Exec("DELETE FROM signon_tokens; DELETE FROM usage; DELETE FROM profiles; "
              "DELETE FROM functions;") ||
      !PutHostInfo(s, image.info))
    return false;
  // Rows travel in arrays, a thousand to a statement, in registration order.
  constexpr size_t kBatch = 1000;
  for (size_t at = 0; at < image.functions.size(); at += kBatch) {
    std::vector<std::vector<std::string>> columns(kFunctionFieldCount);
    for (size_t i = at; i < std::min(at + kBatch, image.functions.size()); ++i) {
      std::vector<std::string> one = FunctionFields(image.functions[i]);
      for (size_t c = 0; c < kFunctionFieldCount; ++c) columns[c].push_back(std::move(one[c]));
    }
    std::vector<std::string> arrays;
    for (const auto& column : columns) arrays.push_back(ArrayLiteral(column));
    static const std::string sql =
        std::string("INSERT INTO functions(") + kFunctionColumns +
        ") SELECT c1, c2, c3, c4, c5, c6, c7, c8, c9, c10, c11, c12, c13 FROM "
        "unnest($1::text[], $2::text[], $3::text[], $4::text[], $5::text[], $6::text[], "
        "$7::text[], $8::text[], $9::text[], $10::text[], $11::text[], $12::text[], $13::text[]) "
        "WITH ORDINALITY AS t(c1, c2, c3, c4, c5, c6, c7, c8, c9, c10, c11, c12, c13, n) "
        "ORDER BY n";
    if (!s.Run(sql.c_str(), arrays)) return false;
  }
  for (const ProfileRow& p : image.profiles) {
    std::string stamp;
    if (!s.NextStamp(&stamp) ||
        !s.Run("INSERT INTO profiles(name, hash, user_ts, all_profiles, auditor) "
               "VALUES($1, $2, $3, $4, $5)",
               {p.name, p.hash, stamp, p.all_profiles ? "true" : "false",
                p.auditor ? "true" : "false"}))
      return false;
  }
  for (const ProfileRow& p : image.profiles) {
    if (!p.groups.empty() &&
        !s.Run("INSERT INTO profile_groups(profile, grp) SELECT DISTINCT $1, g "
               "FROM unnest($2::text[]) AS g",
               {p.name, ArrayLiteral(p.groups)}))
      return false;
  }
  for (size_t at = 0; at < image.usage.size(); at += kBatch) {
    std::vector<std::string> profiles, functions, usage;
    for (size_t i = at; i < std::min(at + kBatch, image.usage.size()); ++i) {
      profiles.push_back(image.usage[i].profile);
      functions.push_back(image.usage[i].function);
      usage.push_back(image.usage[i].usage);
    }
    if (!s.Run("INSERT INTO usage(profile, function, usage) "
               "SELECT * FROM unnest($1::text[], $2::text[], $3::text[])",
               {ArrayLiteral(profiles), ArrayLiteral(functions), ArrayLiteral(usage)}))
      return false;
  }
  return s.MoveRegistryStamps(true) &&
         Audit(s, Change("import", "", "", "", ImportSummary(image, replace))) && s.Commit();
}

}  // namespace

std::unique_ptr<HostStore> OpenPostgresStore(const std::string& uri, const StoreOptions& options,
                                             std::string* error, bool* wrong_schema) {
  bool ignored = false;
  if (wrong_schema == nullptr) wrong_schema = &ignored;
  int size = options.connections > 0 ? options.connections : kDefaultConnections;
  auto pool = std::make_shared<PgPool>(uri, size);
  std::shared_ptr<HeldStamps> held;
  std::shared_ptr<PgStampWatch> watch;
  if (options.hold_stamps) {
    held = std::make_shared<HeldStamps>(/*holding=*/false);
    watch = PgStampWatch::Start(pool, held);
    if (!watch) {
      *error = HostStore::Describe(uri) + ": cannot start listening for changes of the timestamps";
      return nullptr;
    }
  }
  auto store = std::make_unique<PostgresHostStore>(pool, held, watch);
  if (!store->Prepare(options.migrate, error, wrong_schema)) {
    if (error->find(HostStore::Describe(uri)) == std::string::npos)
      *error = HostStore::Describe(uri) + ": " + *error;
    return nullptr;
  }
  return store;
}

}  // namespace zvt::hostd
