// The administration API under /api/v1/ on the admin listener, JSON in and
// out. A host profile signs in with its password, checked as the wire's
// sign-on checks it (same penalties and lockouts), and gets a session: a
// cookie (Secure, HttpOnly, SameSite=Strict) with a CSRF token that every
// change must carry, or the same token as a bearer token for programs. A
// session ends when signed out or after a quiet spell. Security
// administrators read and change, auditors read, anyone else is refused
// (403) and the refusal logged; roles are read anew for every request, so
// that taking one away takes effect at once. Every change is recorded in
// the store's audit trail as made by the session's profile from its
// address.
#ifndef ZVT_HOSTD_ADMIN_API_H_
#define ZVT_HOSTD_ADMIN_API_H_

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hostd/admin_listener.h"
#include "services/mutex.h"

namespace zvt::hostd {

class HostServer;
class HostStore;

struct AdminApiOptions {
  using Clock = std::chrono::steady_clock;
  // A session unused this long has ended.
  std::chrono::seconds idle{15 * 60};
  // The most sessions at once; beyond them the one used longest ago ends.
  size_t max_sessions = 1024;
  // The clock sessions are timed by (tests move it).
  std::function<Clock::time_point()> now = [] { return Clock::now(); };
};

class AdminApi {
 public:
  // `server` checks passwords and must outlive the API.
  AdminApi(HostServer* server, AdminApiOptions options = AdminApiOptions());
  ~AdminApi();
  AdminApi(const AdminApi&) = delete;
  AdminApi& operator=(const AdminApi&) = delete;

  // The answer to a request under /api/; nothing for any other path.
  std::optional<AdminResponse> Answer(const AdminRequest& request);

  // The name of the session cookie.
  static constexpr char kCookie[] = "zvt_session";

 private:
  using Clock = AdminApiOptions::Clock;
  struct Session {
    std::string profile;
    std::string csrf;
    Clock::time_point last_used;
  };
  enum class Role { kNone, kAuditor, kAdmin };
  static Role RoleOf(bool admin, bool auditor);
  static const char* RoleName(Role role);  // "" for none
  // Who sent the request, once authenticated.
  struct Caller {
    std::string key;  // the session's key
    Session session;
    bool by_cookie = false;
    Role role = Role::kNone;
  };

  class StoreLease;
  // The most stores kept open between requests.
  static constexpr size_t kIdleStores = 4;

  // Checks the password on a store of its own, without the lock, so that a
  // sign-in's hash holds up no other request.
  AdminResponse SignIn(const AdminRequest& request) ZVT_EXCLUDES(mu_);
  AdminResponse Route(const AdminRequest& request, const Caller& caller, HostStore* store);
  // The session the request names, if it is live (its use is recorded).
  bool FindSession(const AdminRequest& request, Caller* caller) ZVT_REQUIRES(mu_);
  // A store for one request: one kept from an earlier request, or a new one.
  std::unique_ptr<HostStore> BorrowStore(std::string* error) ZVT_EXCLUDES(mu_);
  void ReturnStore(std::unique_ptr<HostStore> store) ZVT_EXCLUDES(mu_);

  HostServer* const server_;
  const AdminApiOptions options_;
  Mutex mu_;  // the sessions and the idle stores; never held while a store works
  std::map<std::string, Session> sessions_ ZVT_GUARDED_BY(mu_);  // by the token's digest
  std::vector<std::unique_ptr<HostStore>> idle_stores_ ZVT_GUARDED_BY(mu_);
};

}  // namespace zvt::hostd

#endif  // ZVT_HOSTD_ADMIN_API_H_
