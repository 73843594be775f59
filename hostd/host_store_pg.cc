// The host store in PostgreSQL, for several zvthostd instances (on several
// machines) over one registry. The stamps come from the database's clock and
// move in the transaction of the change that moves them; writers take one
// row lock first, so that changes, and the functions' sequence numbers,
// commit in the order their stamps say. The store's objects of one process
// share a pool of connections.
#include <libpq-fe.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

#include "hostd/host_store.h"
#include "hostd/host_store_backends.h"

namespace zvt::hostd {
namespace {

constexpr int kDefaultConnections = 4;

// The schema's versions, each step bringing the one before it up by one.
// A version is never changed once released; a later one adds a step.
constexpr const char* kMigrations[] = {
    // 1: the registry, its profiles and their usage, the stamps.
    R"(
CREATE TABLE zvt_schema(version integer NOT NULL);
INSERT INTO zvt_schema VALUES (0);
CREATE TABLE meta(key text PRIMARY KEY, value text NOT NULL);
CREATE TABLE stamps(key text PRIMARY KEY, value bigint NOT NULL);
INSERT INTO stamps VALUES ('last_stamp', 0);
CREATE TABLE profiles(
  name text PRIMARY KEY,
  hash text NOT NULL,
  user_ts bigint NOT NULL);
CREATE TABLE functions(
  seq bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  id text NOT NULL UNIQUE,
  category text NOT NULL,
  type text NOT NULL,
  root text NOT NULL,
  parent text NOT NULL,
  name text NOT NULL,
  name2 text NOT NULL,
  description text NOT NULL,
  description2 text NOT NULL,
  indicator1 text NOT NULL,
  indicator2 text NOT NULL,
  indicator3 text NOT NULL,
  default_usage text NOT NULL);
CREATE INDEX functions_category ON functions(category, seq);
CREATE TABLE usage(
  profile text NOT NULL REFERENCES profiles(name) ON DELETE CASCADE,
  function text NOT NULL REFERENCES functions(id) ON DELETE CASCADE,
  usage text NOT NULL,
  PRIMARY KEY(profile, function));
CREATE INDEX usage_function ON usage(function);
)",
    // 2: profiles that may read every profile's usage and timestamps.
    "ALTER TABLE profiles ADD COLUMN all_profiles boolean NOT NULL DEFAULT false;",
};
static_assert(sizeof(kMigrations) / sizeof(kMigrations[0]) == HostStore::kSchemaVersion,
              "one migration step per schema version");

// Any fixed number: the advisory lock that keeps two migrations apart.
constexpr char kMigrationLock[] = "SELECT pg_advisory_xact_lock(7470916372)";

constexpr char kNextStamp[] =
    "UPDATE stamps SET value = GREATEST((EXTRACT(EPOCH FROM clock_timestamp()) * 1000000)::bigint, "
    "value + 1) WHERE key = 'last_stamp' RETURNING value";

Stamp ToStamp(int64_t v) {
  Stamp s;
  uint64_t u = static_cast<uint64_t>(v);
  for (int i = 7; i >= 0; --i, u >>= 8) s[i] = static_cast<uint8_t>(u);
  return s;
}

class Result {
 public:
  Result() = default;
  explicit Result(PGresult* r) : r_(r) {}
  ~Result() { PQclear(r_); }
  Result(Result&& o) noexcept : r_(o.r_) { o.r_ = nullptr; }
  Result& operator=(Result&& o) noexcept {
    std::swap(r_, o.r_);
    return *this;
  }
  int Rows() const { return PQntuples(r_); }
  bool Null(int row, int col) const { return PQgetisnull(r_, row, col) != 0; }
  std::string Get(int row, int col) const {
    return std::string(PQgetvalue(r_, row, col), PQgetlength(r_, row, col));
  }
  int64_t Int(int row, int col) const {
    return Null(row, col) ? 0 : std::strtoll(PQgetvalue(r_, row, col), nullptr, 10);
  }
  int64_t Affected() const { return std::strtoll(PQcmdTuples(r_), nullptr, 10); }
  // (A null result, out of memory or a lost connection, reads as
  // PGRES_FATAL_ERROR.)
  ExecStatusType Status() const { return PQresultStatus(r_); }
  const char* Message() const { return r_ != nullptr ? PQresultErrorMessage(r_) : ""; }

 private:
  PGresult* r_ = nullptr;
};

// One server connection and the statements prepared on it.
struct Connection {
  PGconn* conn = nullptr;
  std::map<std::string, std::string> prepared;  // SQL text -> statement name
  ~Connection() { PQfinish(conn); }
};

// Connections shared by the store objects of one process: at most `size`,
// made when first needed, and remade when the server drops them.
class Pool {
 public:
  Pool(std::string uri, int size) : uri_(std::move(uri)), size_(size) {}

  std::unique_ptr<Connection> Take(std::string* error) {
    std::unique_ptr<Connection> c;
    {
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait(lock, [this] { return !idle_.empty() || open_ < size_; });
      if (!idle_.empty()) {
        c = std::move(idle_.front());
        idle_.pop_front();
      } else {
        ++open_;
      }
    }
    if (c && PQstatus(c->conn) == CONNECTION_OK) return c;
    c = Connect(error);
    if (!c) Give(nullptr);
    return c;
  }

  // Takes back a connection (null: one that was lost). One left inside a
  // transaction, or broken, is closed rather than handed out again.
  void Give(std::unique_ptr<Connection> c) {
    if (c && (PQstatus(c->conn) != CONNECTION_OK || PQtransactionStatus(c->conn) != PQTRANS_IDLE))
      c.reset();
    std::lock_guard<std::mutex> lock(mu_);
    if (c)
      idle_.push_back(std::move(c));
    else
      --open_;
    cv_.notify_one();
  }

  std::unique_ptr<Connection> Connect(std::string* error) {
    // Defaults before the URI, so that the URI's own settings win: a dead
    // server or a cut network ends a connect, and a statement, in bounded
    // time instead of holding a worker for ever.
    const char* keys[] = {"connect_timeout",
                          "application_name",
                          "keepalives_idle",
                          "keepalives_interval",
                          "keepalives_count",
                          "options",
                          "dbname",
                          "client_encoding",
                          nullptr};
    const char* values[] = {"10",         "zvthostd", "30",
                            "10",         "3",        "-c statement_timeout=30000",
                            uri_.c_str(), "UTF8",     nullptr};
    auto c = std::make_unique<Connection>();
    c->conn = PQconnectdbParams(keys, values, /*expand_dbname=*/1);
    if (c->conn == nullptr || PQstatus(c->conn) != CONNECTION_OK) {
      std::string why = c->conn != nullptr ? PQerrorMessage(c->conn) : "out of memory";
      while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
      *error = "cannot connect to host store " + HostStore::Describe(uri_) + ": " + why;
      return nullptr;
    }
    return c;
  }

 private:
  const std::string uri_;
  const int size_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::unique_ptr<Connection>> idle_;
  int open_ = 0;
};

// A connection borrowed from the pool for one operation.
class Session {
 public:
  Session(Pool* pool, std::string* error) : pool_(pool), error_(error) { c_ = pool->Take(error); }
  ~Session() {
    if (c_ && in_transaction_) PQclear(PQexec(c_->conn, "ROLLBACK"));
    pool_->Give(std::move(c_));
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  bool ok() const { return c_ != nullptr; }

  // Runs `sql` (prepared once per connection) with text parameters.
  bool Run(const char* sql, std::initializer_list<std::string> params, Result* out = nullptr) {
    return Run(sql, std::vector<std::string>(params), out);
  }
  // A text with a NUL byte cannot travel as a parameter (it would end
  // there, and "ANN\0X" would be read as "ANN"): refused instead.
  bool Run(const char* sql, const std::vector<std::string>& params, Result* out = nullptr) {
    std::vector<const char*> values;
    for (const std::string& p : params) {
      if (p.find('\0') != std::string::npos) return Fail("a text with a NUL byte is refused");
      values.push_back(p.c_str());
    }
    return Run(sql, values, out);
  }
  bool Run(const char* sql, const std::vector<const char*>& values, Result* out = nullptr) {
    return Retrying([&] {
      auto it = c_->prepared.find(sql);
      if (it == c_->prepared.end()) {
        std::string name = "s" + std::to_string(c_->prepared.size());
        if (!Check(Result(PQprepare(c_->conn, name.c_str(), sql, 0, nullptr)))) return false;
        it = c_->prepared.emplace(sql, name).first;
      }
      Result r(PQexecPrepared(c_->conn, it->second.c_str(), static_cast<int>(values.size()),
                              values.data(), nullptr, nullptr, 0));
      if (!Check(r)) return false;
      if (out != nullptr) *out = std::move(r);
      return true;
    });
  }
  // Runs statements without parameters (and without preparing them).
  bool Exec(const char* sql) {
    return Retrying([&] { return Check(Result(PQexec(c_->conn, sql))); });
  }

  // A transaction, rolled back unless committed: "BEGIN" or a BEGIN with
  // its isolation.
  bool Begin(const char* begin = "BEGIN") {
    if (!Exec(begin)) return false;
    in_transaction_ = true;
    return true;
  }
  // A write transaction. Every writer first locks the one stamp row, so
  // that writers take turns as on a single-writer store.
  bool BeginWrite() {
    return Begin() && Exec("SELECT 1 FROM stamps WHERE key = 'last_stamp' FOR UPDATE");
  }
  // One snapshot for a read of several statements.
  bool BeginRead() { return Begin("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"); }
  bool Commit() {
    in_transaction_ = false;
    return Exec("COMMIT");
  }

  // A fresh stamp from the database's clock, above every one issued before.
  bool NextStamp(std::string* stamp) {
    Result r;
    if (!Run(kNextStamp, {}, &r) || r.Rows() != 1) return Fail("the stamp row is missing");
    *stamp = r.Get(0, 0);
    return true;
  }
  bool MoveRegistryStamps(bool hierarchy) {
    std::string s;
    if (!NextStamp(&s)) return false;
    const char* put =
        "INSERT INTO stamps(key, value) VALUES($1, $2) "
        "ON CONFLICT (key) DO UPDATE SET value = EXCLUDED.value";
    return Run(put, {"rep_ts", s}) && (!hierarchy || Run(put, {"hier_ts", s}));
  }

  bool Fail(const std::string& why) {
    *error_ = "host store: " + why;
    return false;
  }

 private:
  bool Check(const Result& r) {
    if (r.Status() == PGRES_TUPLES_OK || r.Status() == PGRES_COMMAND_OK) return true;
    std::string why = *r.Message() != '\0' ? r.Message() : PQerrorMessage(c_->conn);
    while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
    if (why.empty()) why = "the server did not answer";
    *error_ = "host store: " + why;
    return false;
  }

  // Runs `once`; when the session's first statement fails because the
  // server had dropped the pooled connection while it was idle (a restart,
  // a network time-out), runs it once more on a fresh connection. Nothing
  // was done on the old one, so trying again cannot do anything twice.
  template <typename F>
  bool Retrying(F once) {
    if (once()) return used_ = true;
    if (used_ || PQstatus(c_->conn) == CONNECTION_OK) return false;
    used_ = true;
    std::string why;
    std::unique_ptr<Connection> fresh = pool_->Connect(&why);
    if (!fresh) return false;
    c_ = std::move(fresh);
    return once();
  }

  Pool* pool_;
  std::string* error_;
  std::unique_ptr<Connection> c_;
  bool in_transaction_ = false;
  bool used_ = false;
};

FunctionRow ReadFunction(const Result& r, int row) {
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
  explicit PostgresHostStore(std::shared_ptr<Pool> pool) : pool_(std::move(pool)) {}

  // Creates or upgrades the schema when `migrate`; otherwise refuses any
  // version but this build's.
  bool Prepare(bool migrate, std::string* error, bool* wrong_schema);

  std::unique_ptr<HostStore> OpenAnother(std::string*) override {
    return std::make_unique<PostgresHostStore>(pool_);
  }
  bool SetHostInfo(const HostInfo& info, std::string* error) override;
  bool GetHostInfo(HostInfo* info, std::string* error) override;
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

 protected:
  bool InsertProfile(const std::string& name, const std::string& hash, std::string* error) override;
  bool StoreHash(const std::string& name, const std::string& hash, std::string* error) override;
  bool ReadHash(const std::string& name, std::string* hash, bool* found, std::string* any,
                std::string* error) override;
  bool InsertFunction(const FunctionRow& row, std::string* error) override;
  bool ReplaceFunction(const FunctionRow& row, std::string* error) override;
  bool StoreUsage(const std::string& profile, const std::string& function, const std::string& usage,
                  std::string* error) override;
  bool ReadImage(HostImage* image, std::string* error) override;
  bool WriteImage(const HostImage& image, bool replace, std::string* error) override;

 private:
  bool PutHostInfo(Session& s, const HostInfo& info);
  bool ReadHostInfo(Session& s, HostInfo* info);
  bool ListFunctionsIn(Session& s, const std::string& category, int64_t after, uint64_t limit,
                       std::vector<FunctionRow>* rows, ListPage* page);

  std::shared_ptr<Pool> pool_;
};

bool PostgresHostStore::Prepare(bool migrate, std::string* error, bool* wrong_schema) {
  Session s(pool_.get(), error);
  if (!s.ok()) return false;
  // Migrations take turns: a second instance started with --migrate waits,
  // then finds the schema current.
  if (migrate && !(s.Begin() && s.Exec(kMigrationLock))) return false;
  Result r;
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

bool PostgresHostStore::PutHostInfo(Session& s, const HostInfo& info) {
  const char* put =
      "INSERT INTO meta(key, value) VALUES($1, $2) "
      "ON CONFLICT (key) DO UPDATE SET value = EXCLUDED.value";
  return s.Run(put, {"version", std::to_string(info.version)}) &&
         s.Run(put, {"release", std::to_string(info.release)}) && s.Run(put, {"name", info.name});
}

bool PostgresHostStore::SetHostInfo(const HostInfo& info, std::string* error) {
  Session s(pool_.get(), error);
  return s.ok() && s.BeginWrite() && PutHostInfo(s, info) && s.Commit();
}

bool PostgresHostStore::ReadHostInfo(Session& s, HostInfo* info) {
  Result r;
  if (!s.Run("SELECT key, value FROM meta WHERE key IN ('version', 'release', 'name')", {}, &r))
    return false;
  for (int i = 0; i < r.Rows(); ++i) SetHostInfoField(r.Get(i, 0), r.Get(i, 1), info);
  return true;
}

bool PostgresHostStore::GetHostInfo(HostInfo* info, std::string* error) {
  Session s(pool_.get(), error);
  return s.ok() && ReadHostInfo(s, info);
}

bool PostgresHostStore::ProfileExists(const std::string& name, bool* exists, std::string* error) {
  Session s(pool_.get(), error);
  Result r;
  if (!s.ok() || !s.Run("SELECT 1 FROM profiles WHERE name = $1", {CanonicalProfile(name)}, &r))
    return false;
  *exists = r.Rows() == 1;
  return true;
}

bool PostgresHostStore::SetAllProfiles(const std::string& name, bool all, std::string* error) {
  Session s(pool_.get(), error);
  Result r;
  if (!s.ok() || !s.Run("UPDATE profiles SET all_profiles = $2 WHERE name = $1",
                        {CanonicalProfile(name), all ? "true" : "false"}, &r))
    return false;
  if (r.Affected() == 0) return s.Fail("no user profile " + CanonicalProfile(name));
  return true;
}

bool PostgresHostStore::ReadsAllProfiles(const std::string& name, bool* all, std::string* error) {
  Session s(pool_.get(), error);
  Result r;
  if (!s.ok() ||
      !s.Run("SELECT all_profiles FROM profiles WHERE name = $1", {CanonicalProfile(name)}, &r))
    return false;
  *all = r.Rows() == 1 && r.Get(0, 0) == "t";
  return true;
}

bool PostgresHostStore::InsertProfile(const std::string& name, const std::string& hash,
                                      std::string* error) {
  Session s(pool_.get(), error);
  Result r;
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
         s.Commit();
}

bool PostgresHostStore::StoreHash(const std::string& name, const std::string& hash,
                                  std::string* error) {
  Session s(pool_.get(), error);
  Result r;
  if (!s.ok() || !s.Run("UPDATE profiles SET hash = $2 WHERE name = $1", {name, hash}, &r))
    return false;
  if (r.Affected() == 0) {
    *error = "user profile " + name + " not found";
    return false;
  }
  return true;
}

bool PostgresHostStore::RemoveProfile(const std::string& name, std::string* error) {
  std::string canonical = CanonicalProfile(name);
  Session s(pool_.get(), error);
  Result r;
  // (Its usage settings go with it.)
  if (!s.ok() || !s.BeginWrite() || !s.Run("DELETE FROM profiles WHERE name = $1", {canonical}, &r))
    return false;
  if (r.Affected() == 0) {
    *error = "user profile " + canonical + " not found";
    return false;
  }
  return s.Commit();
}

bool PostgresHostStore::ListProfiles(std::vector<std::string>* names, std::string* error) {
  names->clear();
  Session s(pool_.get(), error);
  Result r;
  if (!s.ok() || !s.Run("SELECT name FROM profiles ORDER BY name", {}, &r)) return false;
  for (int i = 0; i < r.Rows(); ++i) names->push_back(r.Get(i, 0));
  return true;
}

bool PostgresHostStore::ReadHash(const std::string& name, std::string* hash, bool* found,
                                 std::string* any, std::string* error) {
  Session s(pool_.get(), error);
  Result r;
  if (!s.ok() || !s.Run("SELECT hash, 1 FROM profiles WHERE name = $1 "
                        "UNION ALL (SELECT hash, 2 FROM profiles LIMIT 1)",
                        {name}, &r))
    return false;
  *found = false;
  for (int i = 0; i < r.Rows(); ++i) {
    if (r.Get(i, 1) == "1") {
      *found = true;
      *hash = r.Get(i, 0);
    } else {
      *any = r.Get(i, 0);
    }
  }
  return true;
}

bool PostgresHostStore::InsertFunction(const FunctionRow& row, std::string* error) {
  Session s(pool_.get(), error);
  Result r;
  if (!s.ok() || !s.BeginWrite() || !s.Run("SELECT 1 FROM functions WHERE id = $1", {row.id}, &r))
    return false;
  if (r.Rows() != 0) {
    *error = "function " + row.id + " is already registered";
    return false;
  }
  std::string sql = std::string("INSERT INTO functions(") + kFunctionColumns +
                    ") VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13)";
  std::vector<std::string> params = FunctionFields(row);
  return s.Run(sql.c_str(), params) && s.MoveRegistryStamps(true) && s.Commit();
}

bool PostgresHostStore::ReplaceFunction(const FunctionRow& row, std::string* error) {
  Session s(pool_.get(), error);
  Result r;
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
         s.MoveRegistryStamps(moved) && s.Commit();
}

bool PostgresHostStore::RemoveFunction(const std::string& id, std::string* error) {
  Session s(pool_.get(), error);
  Result r;
  // (Its usage settings go with it.)
  if (!s.ok() || !s.BeginWrite() || !s.Run("DELETE FROM functions WHERE id = $1", {id}, &r))
    return false;
  if (r.Affected() == 0) {
    *error = "function " + id + " is not registered";
    return false;
  }
  return s.MoveRegistryStamps(true) && s.Commit();
}

bool PostgresHostStore::ListFunctionsIn(Session& s, const std::string& category, int64_t after,
                                        uint64_t limit, std::vector<FunctionRow>* rows,
                                        ListPage* page) {
  static const std::string sql = std::string("SELECT ") + kFunctionColumns +
                                 ", seq FROM functions WHERE ($1 = '9' OR category = $1) "
                                 "AND seq > $2 ORDER BY seq LIMIT $3";
  Result r;
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
  Session s(pool_.get(), error);
  if (!s.ok()) return false;
  if (count) {
    Result r;
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
  Session s(pool_.get(), error);
  Result r;
  // Whether the profile exists, how many functions there are (when asked)
  // and the page, in one round trip: a row for each entry, or one row of
  // nulls past the first two columns when the page is empty.
  if (!s.ok() ||
      !s.Run(
          "WITH p AS (SELECT EXISTS(SELECT 1 FROM profiles WHERE name = $2) AS known), "
          "c AS (SELECT CASE WHEN $5 THEN (SELECT COUNT(*) FROM functions "
          "WHERE $1 = '9' OR category = $1) END AS total) "
          "SELECT p.known, c.total, e.id, e.usage, e.seq FROM p CROSS JOIN c "
          "LEFT JOIN LATERAL (SELECT f.id, COALESCE(u.usage, f.default_usage) AS usage, f.seq "
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

bool PostgresHostStore::StoreUsage(const std::string& profile, const std::string& function,
                                   const std::string& usage, std::string* error) {
  Session s(pool_.get(), error);
  Result r;
  if (!s.ok() || !s.BeginWrite() ||
      !s.Run("SELECT EXISTS(SELECT 1 FROM profiles WHERE name = $1), "
             "EXISTS(SELECT 1 FROM functions WHERE id = $2)",
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
  bool changed =
      usage.empty()
          ? s.Run("DELETE FROM usage WHERE profile = $1 AND function = $2", {profile, function})
          : s.Run(
                "INSERT INTO usage(profile, function, usage) VALUES($1, $2, $3) "
                "ON CONFLICT (profile, function) DO UPDATE SET usage = EXCLUDED.usage",
                {profile, function, usage});
  std::string stamp;
  return changed && s.NextStamp(&stamp) &&
         s.Run("UPDATE profiles SET user_ts = $2 WHERE name = $1", {profile, stamp}) && s.Commit();
}

bool PostgresHostStore::GetTimestamps(const std::string& profile, Timestamps* stamps, bool* known,
                                      std::string* error) {
  *stamps = Timestamps{};
  Session s(pool_.get(), error);
  Result r;
  if (!s.ok() || !s.Run("SELECT (SELECT user_ts FROM profiles WHERE name = $1), "
                        "(SELECT value FROM stamps WHERE key = 'rep_ts'), "
                        "(SELECT value FROM stamps WHERE key = 'hier_ts'), "
                        "EXISTS(SELECT 1 FROM functions)",
                        {CanonicalProfile(profile)}, &r))
    return false;
  *known = !r.Null(0, 0);
  if (*known) stamps->user = ToStamp(r.Int(0, 0));
  if (!r.Null(0, 1)) stamps->rep = ToStamp(r.Int(0, 1));
  // An empty registry has no hierarchy.
  if (r.Get(0, 3) == "t" && !r.Null(0, 2)) stamps->hier = ToStamp(r.Int(0, 2));
  return true;
}

bool PostgresHostStore::ReadImage(HostImage* image, std::string* error) {
  Session s(pool_.get(), error);
  Result r;
  ListPage page;
  // One snapshot, so that the parts belong together.
  if (!s.ok() || !s.BeginRead() || !ReadHostInfo(s, &image->info) ||
      !ListFunctionsIn(s, "9", 0, UINT64_MAX, &image->functions, &page) ||
      !s.Run("SELECT name, hash, all_profiles FROM profiles ORDER BY name", {}, &r))
    return false;
  for (int i = 0; i < r.Rows(); ++i)
    image->profiles.push_back(ProfileRow{r.Get(i, 0), r.Get(i, 1), r.Get(i, 2) == "t"});
  if (!s.Run("SELECT profile, function, usage FROM usage ORDER BY profile, function", {}, &r))
    return false;
  for (int i = 0; i < r.Rows(); ++i)
    image->usage.push_back(UsageSetting{r.Get(i, 0), r.Get(i, 1), r.Get(i, 2)});
  return s.Commit();
}

bool PostgresHostStore::WriteImage(const HostImage& image, bool replace, std::string* error) {
  Session s(pool_.get(), error);
  if (!s.ok() || !s.BeginWrite()) return false;
  if (!replace) {
    Result f, p;
    if (!s.Run("SELECT id FROM functions", {}, &f) || !s.Run("SELECT name FROM profiles", {}, &p))
      return false;
    std::vector<std::string> ids, names;
    for (int i = 0; i < f.Rows(); ++i) ids.push_back(f.Get(i, 0));
    for (int i = 0; i < p.Rows(); ++i) names.push_back(p.Get(i, 0));
    if (!CheckNothingRemoved(image, ids, names, error)) return false;
  }
  if (!s.Exec("DELETE FROM usage; DELETE FROM profiles; DELETE FROM functions;") ||
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
        !s.Run("INSERT INTO profiles(name, hash, user_ts, all_profiles) VALUES($1, $2, $3, $4)",
               {p.name, p.hash, stamp, p.all_profiles ? "true" : "false"}))
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
  return s.MoveRegistryStamps(true) && s.Commit();
}

}  // namespace

std::unique_ptr<HostStore> OpenPostgresStore(const std::string& uri, const StoreOptions& options,
                                             std::string* error, bool* wrong_schema) {
  bool ignored = false;
  if (wrong_schema == nullptr) wrong_schema = &ignored;
  int size = options.connections > 0 ? options.connections : kDefaultConnections;
  auto store = std::make_unique<PostgresHostStore>(std::make_shared<Pool>(uri, size));
  if (!store->Prepare(options.migrate, error, wrong_schema)) {
    if (error->find(HostStore::Describe(uri)) == std::string::npos)
      *error = HostStore::Describe(uri) + ": " + *error;
    return nullptr;
  }
  return store;
}

}  // namespace zvt::hostd
