// The listener that keeps held change timestamps current on PostgreSQL.

#include "hostd/pg_stamp_watch.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "hostd/pg_schema.h"
#include "hostd/server_log.h"

namespace zvt::hostd::pg {

namespace {

constexpr int kFirstRetryMs = 100;
constexpr int kLongestRetryMs = 5000;
constexpr int kQuietMs = 10000;

// libpq's message on one line.
std::string OneLine(const char* message) {
  std::string line;
  for (const char* p = message; *p != '\0'; ++p) {
    const bool blank = *p == '\n' || *p == '\t' || *p == ' ';
    if (!blank)
      line += *p;
    else if (!line.empty() && line.back() != ' ')
      line += ' ';
  }
  if (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

bool Command(PGconn* conn, const std::string& sql, std::string* error) {
  PgResult r(PQexec(conn, sql.c_str()));
  if (r.Status() == PGRES_COMMAND_OK) return true;
  *error = OneLine(*r.Message() != '\0' ? r.Message() : PQerrorMessage(conn));
  return false;
}

}  // namespace

std::unique_ptr<PgStampWatch> PgStampWatch::Start(std::shared_ptr<PgPool> pool,
                                                  std::shared_ptr<HeldStamps> held) {
  held->SetHolding(false);
  const int stop_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stop_fd < 0) return nullptr;
  std::unique_ptr<PgStampWatch> watch(new PgStampWatch(std::move(pool), std::move(held), stop_fd));
  watch->thread_ = std::thread(&PgStampWatch::Run, watch.get());
  return watch;
}

PgStampWatch::~PgStampWatch() {
  uint64_t one = 1;
  (void)!write(stop_fd_, &one, sizeof one);
  if (thread_.joinable()) thread_.join();
  close(stop_fd_);
  held_->SetHolding(false);
}

bool PgStampWatch::Stopped(int ms) {
  pollfd stop = {stop_fd_, POLLIN, 0};
  int n;
  while ((n = poll(&stop, 1, ms)) < 0 && errno == EINTR) {
  }
  return n > 0;
}

void PgStampWatch::Run() {
  int retry_ms = kFirstRetryMs;
  bool lost = false;  // told in the log once per outage
  for (;;) {
    std::string error;
    std::unique_ptr<PgConnection> c = pool_->Connect(&error);
    if (c &&
        Command(c->conn, std::string("SET application_name TO '") + kApplicationName + "'",
                &error) &&
        Command(c->conn, std::string("LISTEN ") + kStampsChannel, &error)) {
      // Everything read before this point may predate a change not told to
      // this connection: the holder starts afresh.
      held_->SetHolding(true);
      if (lost)
        Log(LogLevel::kNotice, "listening for changes of the host store's timestamps again");
      lost = false;
      retry_ms = kFirstRetryMs;
      std::string why;
      if (Listen(c->conn, &why)) return;
      held_->SetHolding(false);
      error = why.empty() ? OneLine(PQerrorMessage(c->conn)) : why;
    }
    if (!lost)
      Log(LogLevel::kWarning, "cannot listen for changes of the host store's timestamps (" + error +
                                  "); they are read from the store for every call until it can");
    lost = true;
    if (Stopped(retry_ms)) return;
    retry_ms = std::min(retry_ms * 2, kLongestRetryMs);
  }
}

bool PgStampWatch::Listen(PGconn* conn, std::string* why) {
  // A connection that dies without a word (a network cut) would leave
  // changes untold: after kQuietMs without traffic the database is asked
  // something, and a question still unanswered after as long again counts
  // as the connection lost.
  bool asking = false;
  for (;;) {
    pollfd fds[2] = {{PQsocket(conn), POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    const int ready = poll(fds, 2, kQuietMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (fds[1].revents != 0) return true;
    if (ready == 0) {
      if (asking) {
        *why =
            "the database left a question unanswered for " + std::to_string(kQuietMs / 1000) + " s";
        return false;
      }
      if (PQsendQuery(conn, "SELECT 1") == 0) return false;
      asking = true;
      continue;
    }
    if (PQconsumeInput(conn) == 0) return false;
    bool told = false;
    while (PGnotify* n = PQnotifies(conn)) {
      told = true;
      PQfreemem(n);
    }
    if (told) held_->Drop();
    while (asking && PQisBusy(conn) == 0) {
      PGresult* r = PQgetResult(conn);
      if (r == nullptr) {
        asking = false;
        break;
      }
      const bool ok = PQresultStatus(r) == PGRES_TUPLES_OK;
      PQclear(r);
      if (!ok) return false;
    }
    if (PQstatus(conn) != CONNECTION_OK) return false;
  }
}

}  // namespace zvt::hostd::pg
