// Keeps the change timestamps a server holds for a store in PostgreSQL
// current: a thread with a connection of its own listens on the channel the
// database tells every move of a timestamp on, and drops what is held when
// told. While that connection is lost, and until it listens again, nothing
// is held, so every call reads the timestamps from the database.
#ifndef ZVT_HOSTD_PG_STAMP_WATCH_H_
#define ZVT_HOSTD_PG_STAMP_WATCH_H_

#include <memory>
#include <string>
#include <thread>

#include "hostd/held_stamps.h"
#include "hostd/pg_session.h"

namespace zvt::hostd::pg {

class PgStampWatch {
 public:
  // Starts listening for `held` (which holds nothing until it listens).
  // Null when the thread cannot be made.
  static std::unique_ptr<PgStampWatch> Start(std::shared_ptr<PgPool> pool,
                                             std::shared_ptr<HeldStamps> held);
  ~PgStampWatch();  // stops listening; nothing is held afterwards
  PgStampWatch(const PgStampWatch&) = delete;
  PgStampWatch& operator=(const PgStampWatch&) = delete;

  // The application name its connection shows in pg_stat_activity.
  static constexpr char kApplicationName[] = "zvthostd stamps";

 private:
  PgStampWatch(std::shared_ptr<PgPool> pool, std::shared_ptr<HeldStamps> held, int stop_fd)
      : pool_(std::move(pool)), held_(std::move(held)), stop_fd_(stop_fd) {}
  void Run();
  // Listens on `conn` until it is lost (false, `*why` set unless libpq
  // says) or the watch stops (true).
  bool Listen(PGconn* conn, std::string* why);
  // Waits `ms` unless told to stop (true then).
  bool Stopped(int ms);

  std::shared_ptr<PgPool> pool_;
  std::shared_ptr<HeldStamps> held_;
  int stop_fd_;  // an eventfd written when the watch stops
  std::thread thread_;
};

}  // namespace zvt::hostd::pg

#endif  // ZVT_HOSTD_PG_STAMP_WATCH_H_
