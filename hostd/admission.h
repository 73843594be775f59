// Who may go on signing on: the connections awaiting sign-on, counted by
// source address, and the profiles locked out after repeated failed
// sign-ons. One place, asked by the event loops when they accept and by the
// sign-on workers when they check a password. Thread-safe.
#ifndef ZVT_HOSTD_ADMISSION_H_
#define ZVT_HOSTD_ADMISSION_H_

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

#include "services/mutex.h"

namespace zvt::hostd {

struct AdmissionLimits {
  // Connections from one address that may await sign-on at once; loopback
  // addresses are not counted unless `limit_loopback`.
  int max_unauthenticated_per_address = 32;
  bool limit_loopback = false;
  // Failed sign-ons of one profile in a row before it is locked out, and
  // the first lockout, which doubles with every further failure (up to 64 times).
  int signon_failures_allowed = 3;
  int signon_lockout_ms = 1000;
};

class Admission {
 public:
  explicit Admission(AdmissionLimits limits) : limits_(limits) {}

  // Counts a new connection from `source` awaiting sign-on; false (and not
  // counted) when the address has its fill already.
  bool AdmitUnauthenticated(const std::string& source);
  // The connection signed on or went away.
  void ReleaseUnauthenticated(const std::string& source);

  // True, with the time left, while `profile` is locked out.
  bool LockedOut(const std::string& profile, int64_t* wait_ms);
  // A sign-on of `profile` from `peer` succeeded or failed.
  void CountSignon(const std::string& profile, const std::string& peer, bool ok);

 private:
  struct Failures {
    int count = 0;
    std::chrono::steady_clock::time_point until;
  };

  const AdmissionLimits limits_;
  Mutex mu_;
  std::map<std::string, int> unauthenticated_ ZVT_GUARDED_BY(mu_);       // by source address
  std::map<std::string, Failures> signon_failures_ ZVT_GUARDED_BY(mu_);  // by profile
};

}  // namespace zvt::hostd

#endif  // ZVT_HOSTD_ADMISSION_H_
