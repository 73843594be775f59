// Admission of connections awaiting sign-on, and lockout of profiles.
#include "hostd/admission.h"

#include <algorithm>
#include <iterator>

#include "hostd/server_log.h"
#include "pgm/sockets.h"
#include "services/mutex.h"

namespace zvt::hostd {

bool Admission::AdmitUnauthenticated(const std::string& source) {
  MutexLock lock(&mu_);
  const bool loopback = sockets::IsLoopbackName(source);
  int& waiting = unauthenticated_[source];
  if ((!loopback || limits_.limit_loopback) && waiting >= limits_.max_unauthenticated_per_address) {
    if (waiting == limits_.max_unauthenticated_per_address)
      Log(LogLevel::kNotice, "refusing connections from " + source + ": " +
                                 std::to_string(waiting) + " of its connections await sign-on");
    return false;
  }
  ++waiting;
  return true;
}

void Admission::ReleaseUnauthenticated(const std::string& source) {
  MutexLock lock(&mu_);
  auto it = unauthenticated_.find(source);
  if (it != unauthenticated_.end() && --it->second <= 0) unauthenticated_.erase(it);
}

bool Admission::LockedOut(const std::string& profile, int64_t* wait_ms) {
  MutexLock lock(&mu_);
  auto it = signon_failures_.find(profile);
  if (it == signon_failures_.end()) return false;
  auto now = std::chrono::steady_clock::now();
  if (now >= it->second.until) return false;
  *wait_ms = std::chrono::duration_cast<std::chrono::milliseconds>(it->second.until - now).count();
  return true;
}

void Admission::CountSignon(const std::string& profile, const std::string& peer, bool ok) {
  MutexLock lock(&mu_);
  if (ok) {
    signon_failures_.erase(profile);
    return;
  }
  // Names that do not exist are counted as well (so that they lock out as a
  // profile does); made-up names must not grow the table without bound.
  constexpr size_t kMaxCounted = 4096;
  if (signon_failures_.size() >= kMaxCounted && signon_failures_.count(profile) == 0) {
    const auto now = std::chrono::steady_clock::now();
    for (auto it = signon_failures_.begin(); it != signon_failures_.end();)
      it = it->second.until <= now ? signon_failures_.erase(it) : std::next(it);
    if (signon_failures_.size() >= kMaxCounted) return;
  }
  Failures& f = signon_failures_[profile];
  ++f.count;
  int over = f.count - limits_.signon_failures_allowed;
  if (over < 0) return;
  int64_t ms = int64_t{limits_.signon_lockout_ms} << std::min(over, 6);
  f.until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  Log(LogLevel::kNotice, profile + " locked out for " + std::to_string(ms) + " ms after " +
                             std::to_string(f.count) + " failed sign-ons in a row, the last from " +
                             peer);
}

}  // namespace zvt::hostd
