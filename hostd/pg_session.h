// A small libpq toolkit for the host store in PostgreSQL: results that free
// themselves, server connections with the statements prepared on them, a
// pool of them shared by the store objects of one process, and the session
// that borrows one for an operation (transactions, retries on a dropped
// connection, prepared statements, the next change stamp).
#ifndef ZVT_HOSTD_PG_SESSION_H_
#define ZVT_HOSTD_PG_SESSION_H_

#include <libpq-fe.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "hostd/host_store.h"
#include "hostd/server_log.h"
#include "services/mutex.h"

namespace zvt::hostd::pg {

inline constexpr char kNextStamp[] =
    "UPDATE stamps SET value = GREATEST((EXTRACT(EPOCH FROM clock_timestamp()) * 1000000)::bigint, "
    "value + 1) WHERE key = 'last_stamp' RETURNING value";

class PgResult {
 public:
  PgResult() = default;
  explicit PgResult(PGresult* r) : r_(r) {}
  ~PgResult() { PQclear(r_); }
  PgResult(PgResult&& o) noexcept : r_(o.r_) { o.r_ = nullptr; }
  PgResult& operator=(PgResult&& o) noexcept {
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
struct PgConnection {
  PGconn* conn = nullptr;
  std::map<std::string, std::string> prepared;  // SQL text -> statement name
  ~PgConnection() { PQfinish(conn); }
};

// Connections shared by the store objects of one process: at most `size`,
// made when first needed, and remade when the server drops them.
class PgPool {
 public:
  PgPool(std::string uri, int size) : uri_(std::move(uri)), size_(size) {}

  std::unique_ptr<PgConnection> Take(std::string* error) {
    std::unique_ptr<PgConnection> c;
    {
      MutexLock lock(&mu_);
      while (idle_.empty() && open_ >= size_) cv_.Wait(&mu_);
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
  void Give(std::unique_ptr<PgConnection> c) {
    if (c && (PQstatus(c->conn) != CONNECTION_OK || PQtransactionStatus(c->conn) != PQTRANS_IDLE))
      c.reset();
    MutexLock lock(&mu_);
    if (c)
      idle_.push_back(std::move(c));
    else
      --open_;
    cv_.Signal();
  }

  std::unique_ptr<PgConnection> Connect(std::string* error) {
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
    auto c = std::make_unique<PgConnection>();
    c->conn = PQconnectdbParams(keys, values, /*expand_dbname=*/1);
    if (c->conn == nullptr || PQstatus(c->conn) != CONNECTION_OK) {
      std::string why = c->conn != nullptr ? PQerrorMessage(c->conn) : "out of memory";
      while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
      *error = "cannot connect to host store " + HostStore::Describe(uri_) + ": " + why;
      return nullptr;
    }
    // The store moves the change timestamps itself, once per change; the
    // tables' triggers move them for everyone else.
    PGresult* set = PQexec(c->conn, "SET zvt.store_moves_stamps TO 'on'");
    const bool set_ok = set != nullptr && PQresultStatus(set) == PGRES_COMMAND_OK;
    PQclear(set);
    if (!set_ok) {
      *error = "host store " + HostStore::Describe(uri_) + ": " + PQerrorMessage(c->conn);
      return nullptr;
    }
    return c;
  }

 private:
  const std::string uri_;
  const int size_;
  Mutex mu_;
  CondVar cv_;
  std::deque<std::unique_ptr<PgConnection>> idle_ ZVT_GUARDED_BY(mu_);
  int open_ ZVT_GUARDED_BY(mu_) = 0;
};

// A connection borrowed from the pool for one operation.
class PgSession {
 public:
  PgSession(PgPool* pool, std::string* error) : pool_(pool), error_(error) {
    c_ = pool->Take(error);
  }
  ~PgSession() {
    if (c_ && in_transaction_) PQclear(PQexec(c_->conn, "ROLLBACK"));
    pool_->Give(std::move(c_));
  }
  PgSession(const PgSession&) = delete;
  PgSession& operator=(const PgSession&) = delete;
  bool ok() const { return c_ != nullptr; }

  // Runs `sql` (prepared once per connection) with text parameters.
  bool Run(const char* sql, std::initializer_list<std::string> params, PgResult* out = nullptr) {
    return Run(sql, std::vector<std::string>(params), out);
  }
  // A text with a NUL byte cannot travel as a parameter (it would end
  // there, and "ANN\0X" would be read as "ANN"): refused instead.
  bool Run(const char* sql, const std::vector<std::string>& params, PgResult* out = nullptr) {
    std::vector<const char*> values;
    for (const std::string& p : params) {
      if (p.find('\0') != std::string::npos) return Fail("a text with a NUL byte is refused");
      values.push_back(p.c_str());
    }
    return Run(sql, values, out);
  }
  bool Run(const char* sql, const std::vector<const char*>& values, PgResult* out = nullptr) {
    return Retrying([&] {
      auto it = c_->prepared.find(sql);
      if (it == c_->prepared.end()) {
        std::string name = "s" + std::to_string(c_->prepared.size());
        if (!Check(PgResult(PQprepare(c_->conn, name.c_str(), sql, 0, nullptr)))) return false;
        it = c_->prepared.emplace(sql, name).first;
      }
      PgResult r(PQexecPrepared(c_->conn, it->second.c_str(), static_cast<int>(values.size()),
                                values.data(), nullptr, nullptr, 0));
      if (!Check(r)) return false;
      if (out != nullptr) *out = std::move(r);
      return true;
    });
  }
  // Runs statements without parameters (and without preparing them).
  bool Exec(const char* sql) {
    return Retrying([&] { return Check(PgResult(PQexec(c_->conn, sql))); });
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
    PgResult r;
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
  bool Check(const PgResult& r) {
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
    std::unique_ptr<PgConnection> fresh = pool_->Connect(&why);
    if (!fresh) {
      Log(LogLevel::kWarning, "the store dropped a connection, and a new one failed: " + why);
      return false;
    }
    Log(LogLevel::kNotice, "the store had dropped a connection; connected again");
    c_ = std::move(fresh);
    return once();
  }

  PgPool* pool_;
  std::string* error_;
  std::unique_ptr<PgConnection> c_;
  bool in_transaction_ = false;
  bool used_ = false;
};

}  // namespace zvt::hostd::pg

#endif  // ZVT_HOSTD_PG_SESSION_H_
