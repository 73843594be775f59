// The call log: one line per answered program call (UTC time, the signed-on
// profile, the program, and "ok" or the first host message), appended
// through one open file that a reconfiguration replaces. Names from the
// network appear in it as printable words. Thread-safe.
#ifndef ZVT_HOSTD_CALL_LOG_H_
#define ZVT_HOSTD_CALL_LOG_H_

#include <atomic>
#include <string>

#include "pgm/wire.h"
#include "services/mutex.h"

namespace zvt::hostd {

class CallLog {
 public:
  CallLog() = default;
  ~CallLog();
  CallLog(const CallLog&) = delete;
  CallLog& operator=(const CallLog&) = delete;

  // Opens `path` (empty: no log) in place of the file open now; a file that
  // cannot be opened leaves the log as it was and says why.
  bool Reopen(const std::string& path, std::string* error);
  void Append(const std::string& user, const std::string& program, const wire::CallReply& reply);

 private:
  Mutex mu_;
  int fd_ ZVT_GUARDED_BY(mu_) = -1;
  std::atomic<bool> logging_{false};  // whether there is a file, read without the lock
};

}  // namespace zvt::hostd

#endif  // ZVT_HOSTD_CALL_LOG_H_
