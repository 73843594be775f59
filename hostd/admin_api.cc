// The administration API: sessions and roles, in front of the resources.
#include "hostd/admin_api.h"

#include <sodium.h>

#include <nlohmann/json.hpp>

#include "hostd/admin_routes.h"
#include "hostd/host_server.h"
#include "hostd/host_store.h"

namespace zvt::hostd {
namespace {

using nlohmann::json;

// 256 random bits as hexadecimal digits.
std::string RandomToken() {
  unsigned char bytes[32];
  randombytes_buf(bytes, sizeof bytes);
  char hex[2 * sizeof bytes + 1];
  sodium_bin2hex(hex, sizeof hex, bytes, sizeof bytes);
  return hex;
}

// What sessions are kept under: a digest of their token, so that the token
// itself is neither held nor compared.
std::string Digest(const std::string& token) {
  unsigned char out[32];
  crypto_generichash(out, sizeof out, reinterpret_cast<const unsigned char*>(token.data()),
                     token.size(), nullptr, 0);
  return std::string(reinterpret_cast<const char*>(out), sizeof out);
}

// The value of cookie `name` in a Cookie header ("" when absent).
std::string CookieValue(const std::string& header, const std::string& name) {
  size_t at = 0;
  while (at < header.size()) {
    while (at < header.size() && (header[at] == ' ' || header[at] == ';')) ++at;
    size_t end = header.find(';', at);
    if (end == std::string::npos) end = header.size();
    const std::string pair = header.substr(at, end - at);
    if (pair.compare(0, name.size() + 1, name + "=") == 0) return pair.substr(name.size() + 1);
    at = end;
  }
  return "";
}

}  // namespace

AdminApi::Role AdminApi::RoleOf(bool admin, bool auditor) {
  return admin ? Role::kAdmin : auditor ? Role::kAuditor : Role::kNone;
}

const char* AdminApi::RoleName(Role role) {
  return role == Role::kAdmin ? "security-admin" : role == Role::kAuditor ? "auditor" : "";
}

AdminApi::AdminApi(HostServer* server, AdminApiOptions options)
    : server_(server), options_(std::move(options)) {}

AdminApi::~AdminApi() = default;

std::unique_ptr<HostStore> AdminApi::BorrowStore(std::string* error) {
  {
    MutexLock lock(&mu_);
    if (!idle_stores_.empty()) {
      std::unique_ptr<HostStore> store = std::move(idle_stores_.back());
      idle_stores_.pop_back();
      return store;
    }
  }
  return server_->OpenStore(error);
}

void AdminApi::ReturnStore(std::unique_ptr<HostStore> store) {
  store->SetActor(Actor());
  MutexLock lock(&mu_);
  if (idle_stores_.size() < kIdleStores) idle_stores_.push_back(std::move(store));
}

// A store borrowed for one request and given back when it ends, unless it
// failed.
class AdminApi::StoreLease {
 public:
  StoreLease(AdminApi* api, std::string* error) : api_(api), store_(api->BorrowStore(error)) {}
  ~StoreLease() {
    if (store_ && keep_) api_->ReturnStore(std::move(store_));
  }
  StoreLease(const StoreLease&) = delete;
  StoreLease& operator=(const StoreLease&) = delete;
  HostStore* get() const { return store_.get(); }
  void Drop() { keep_ = false; }

 private:
  AdminApi* const api_;
  std::unique_ptr<HostStore> store_;
  bool keep_ = true;
};

std::optional<AdminResponse> AdminApi::Answer(const AdminRequest& request) {
  if (request.path.compare(0, 5, "/api/") != 0) return std::nullopt;
  if (request.path == "/api/v1/session" && request.method == "POST") return SignIn(request);
  Caller caller;
  {
    MutexLock lock(&mu_);
    if (!FindSession(request, &caller)) return JsonProblem(401, "sign in first");
    if (request.path == "/api/v1/session" && request.method == "DELETE") {
      sessions_.erase(caller.key);
      return JsonReply(200, {{"signed_out", caller.session.profile}});
    }
  }
  // A change made with the browser's cookie must carry the session's CSRF
  // token, which a page of another site cannot read.
  if (caller.by_cookie && !ReadsOnly(request)) {
    auto token = request.headers.find("x-csrf-token");
    if (token == request.headers.end() || token->second.size() != caller.session.csrf.size() ||
        sodium_memcmp(token->second.data(), caller.session.csrf.data(), token->second.size()) != 0)
      return JsonProblem(403, "a change needs the session's X-CSRF-Token");
  }
  // The request has a store of its own, outside the lock, so that a long
  // one (an import hashing passwords, a large export) holds up no other.
  std::string error;
  StoreLease lease(this, &error);
  HostStore* store = lease.get();
  if (store == nullptr) return JsonProblem(503, "the store cannot be reached: " + error);
  bool admin = false, auditor = false;
  if (!store->ReadsAllProfiles(caller.session.profile, &admin, &error) ||
      !store->IsAuditor(caller.session.profile, &auditor, &error)) {
    lease.Drop();
    return JsonProblem(503, "the store cannot be read: " + error);
  }
  caller.role = RoleOf(admin, auditor);
  // An auditor reads all but the export, which holds the password hashes.
  const bool auditor_may = ReadsOnly(request) && !ReadNeedsAdmin(request);
  if (caller.role != Role::kAdmin && !(caller.role == Role::kAuditor && auditor_may)) {
    server_->RefusedElsewhere("admin role",
                              "admin API: " + request.method + " " + request.path + " refused to " +
                                  caller.session.profile + ": not " +
                                  (auditor_may ? "an auditor or " : "") +
                                  "a security administrator",
                              caller.session.profile, request.peer);
    return JsonProblem(403, std::string("this needs the role of ") +
                                (auditor_may ? "auditor or security-admin" : "security-admin"));
  }
  store->SetActor({caller.session.profile, request.peer});
  AdminResponse answer = Route(request, caller, store);
  // A store that failed is not kept: the next request opens another.
  if (answer.status == 503) lease.Drop();
  return answer;
}

AdminResponse AdminApi::SignIn(const AdminRequest& request) {
  const json body = json::parse(request.body, nullptr, /*allow_exceptions=*/false);
  if (!body.is_object() || !body.contains("profile") || !body["profile"].is_string() ||
      !body.contains("password") || !body["password"].is_string())
    return JsonProblem(400, "send {\"profile\": ..., \"password\": ...}");
  const std::string profile = HostStore::CanonicalProfile(body["profile"].get<std::string>());
  std::string error;
  StoreLease lease(this, &error);
  HostStore* store = lease.get();
  if (store == nullptr) return JsonProblem(503, "the store cannot be reached: " + error);
  int64_t wait_ms = 0;
  switch (server_->CheckPassword(store, profile, body["password"].get<std::string>(), request.peer,
                                 &wait_ms)) {
    case HostServer::PasswordCheck::kOk:
      break;
    case HostServer::PasswordCheck::kWrong:
      server_->RefusedElsewhere("wrong password",
                                "admin API sign-in of " + profile + " refused: wrong password",
                                profile, request.peer);
      return JsonProblem(401, "profile or password not correct");
    case HostServer::PasswordCheck::kLockedOut:
    case HostServer::PasswordCheck::kPenalised: {
      AdminResponse r = JsonProblem(429, "too many failed sign-ins; try again later");
      r.headers.push_back({"Retry-After", std::to_string((wait_ms + 999) / 1000)});
      return r;
    }
    case HostServer::PasswordCheck::kUnavailable:
      lease.Drop();
      return JsonProblem(503, "the host cannot check sign-ins now; try again later");
  }
  bool admin = false, auditor = false;
  store->ReadsAllProfiles(profile, &admin, &error);
  store->IsAuditor(profile, &auditor, &error);
  MutexLock lock(&mu_);
  const Clock::time_point now = options_.now();
  // Ended sessions go; at the limit, the one used longest ago too.
  for (auto it = sessions_.begin(); it != sessions_.end();)
    it = now - it->second.last_used >= options_.idle ? sessions_.erase(it) : std::next(it);
  while (!sessions_.empty() && sessions_.size() >= options_.max_sessions) {
    auto oldest = sessions_.begin();
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it)
      if (it->second.last_used < oldest->second.last_used) oldest = it;
    sessions_.erase(oldest);
  }
  const std::string token = RandomToken();
  Session session{profile, RandomToken(), now};
  sessions_[Digest(token)] = session;
  AdminResponse r = JsonReply(200, {{"profile", profile},
                                    {"role", RoleName(RoleOf(admin, auditor))},
                                    {"token", token},
                                    {"csrf_token", session.csrf}});
  r.headers.push_back({"Set-Cookie", std::string(kCookie) + "=" + token +
                                         "; Path=/; Secure; HttpOnly; SameSite=Strict"});
  return r;
}

bool AdminApi::FindSession(const AdminRequest& request, Caller* caller) {
  std::string token;
  if (auto auth = request.headers.find("authorization");
      auth != request.headers.end() && auth->second.compare(0, 7, "Bearer ") == 0) {
    token = auth->second.substr(7);
  } else if (auto cookie = request.headers.find("cookie"); cookie != request.headers.end()) {
    token = CookieValue(cookie->second, kCookie);
    caller->by_cookie = true;
  }
  if (token.empty()) return false;
  auto it = sessions_.find(Digest(token));
  if (it == sessions_.end()) return false;
  const Clock::time_point now = options_.now();
  if (now - it->second.last_used >= options_.idle) {
    sessions_.erase(it);
    return false;
  }
  it->second.last_used = now;
  caller->key = it->first;
  caller->session = it->second;
  return true;
}

AdminResponse AdminApi::Route(const AdminRequest& request, const Caller& caller, HostStore* store) {
  if (request.path == "/api/v1/session" && ReadsOnly(request)) {
    // A page signed in by its cookie learns the CSRF token again here; other
    // sites cannot read this answer.
    json out = {{"profile", caller.session.profile}, {"role", RoleName(caller.role)}};
    if (caller.by_cookie) out["csrf_token"] = caller.session.csrf;
    return JsonReply(200, out);
  }
  return AnswerResource(store, request);
}

}  // namespace zvt::hostd
