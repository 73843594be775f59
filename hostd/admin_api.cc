// The administration API: sessions, roles, and the resources, each a thin
// layer over the host store's own operations.
#include "hostd/admin_api.h"

#include <sodium.h>

#include <cctype>
#include <nlohmann/json.hpp>

#include "hostd/host_json.h"
#include "hostd/host_server.h"
#include "hostd/host_store.h"
#include "hostd/usage_reasons.h"

namespace zvt::hostd {
namespace {

using nlohmann::json;

AdminResponse Reply(unsigned status, const json& body) {
  // Text the store holds that is not UTF-8 is replaced, never refused.
  return {status,
          "application/json",
          body.dump(2, ' ', false, json::error_handler_t::replace) + "\n",
          {}};
}
AdminResponse Problem(unsigned status, const std::string& text) {
  return Reply(status, {{"error", text}});
}

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

// `text` with its %XX escapes (and '+' in a query) decoded; a malformed
// escape stays as it is.
std::string Decoded(const std::string& text, bool query) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() &&
        std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += query && text[i] == '+' ? ' ' : text[i];
    }
  }
  return out;
}

// The value of `key` in a query string, decoded ("" when absent).
std::string QueryValue(const std::string& query, const std::string& key) {
  size_t at = 0;
  while (at <= query.size()) {
    size_t end = query.find('&', at);
    if (end == std::string::npos) end = query.size();
    const std::string pair = query.substr(at, end - at);
    if (pair.compare(0, key.size() + 1, key + "=") == 0)
      return Decoded(pair.substr(key.size() + 1), true);
    at = end + 1;
  }
  return "";
}

// A profile's attributes and groups as JSON; null when there is no such
// profile.
bool ProfileJson(HostStore* store, const std::string& name, json* out, std::string* error) {
  std::vector<std::string> groups;
  bool known = false, admin = false, auditor = false;
  *out = json();
  if (!store->ListGroups(name, &groups, &known, error)) return false;
  if (!known) return true;
  if (!store->ReadsAllProfiles(name, &admin, error) || !store->IsAuditor(name, &auditor, error))
    return false;
  *out = {{"name", HostStore::CanonicalProfile(name)},
          {"security_admin", admin},
          {"auditor", auditor},
          {"groups", groups}};
  return true;
}

bool SafeMethod(const std::string& method) { return method == "GET" || method == "HEAD"; }

const char* RoleName(int role) { return role == 2 ? "security-admin" : role == 1 ? "auditor" : ""; }

}  // namespace

AdminApi::AdminApi(HostServer* server, AdminApiOptions options)
    : server_(server), options_(std::move(options)) {}

AdminApi::~AdminApi() = default;

HostStore* AdminApi::Store(std::string* error) {
  if (!store_) store_ = server_->OpenStore(error);
  return store_.get();
}

std::optional<AdminResponse> AdminApi::Answer(const AdminRequest& request) {
  if (request.path.compare(0, 5, "/api/") != 0) return std::nullopt;
  if (request.path == "/api/v1/session" && request.method == "POST") return SignIn(request);
  MutexLock lock(&mu_);
  Caller caller;
  if (!FindSession(request, &caller)) return Problem(401, "sign in first");
  if (request.path == "/api/v1/session" && request.method == "DELETE") {
    sessions_.erase(caller.key);
    return Reply(200, {{"signed_out", caller.session.profile}});
  }
  // A change made with the browser's cookie must carry the session's CSRF
  // token, which a page of another site cannot read.
  if (caller.by_cookie && !SafeMethod(request.method)) {
    auto token = request.headers.find("x-csrf-token");
    if (token == request.headers.end() || token->second.size() != caller.session.csrf.size() ||
        sodium_memcmp(token->second.data(), caller.session.csrf.data(), token->second.size()) != 0)
      return Problem(403, "a change needs the session's X-CSRF-Token");
  }
  std::string error;
  HostStore* store = Store(&error);
  if (store == nullptr) return Problem(503, "the store cannot be reached: " + error);
  bool admin = false, auditor = false;
  if (!store->ReadsAllProfiles(caller.session.profile, &admin, &error) ||
      !store->IsAuditor(caller.session.profile, &auditor, &error)) {
    store_.reset();
    return Problem(503, "the store cannot be read: " + error);
  }
  caller.role = admin ? Role::kAdmin : auditor ? Role::kAuditor : Role::kNone;
  const bool allowed =
      caller.role == Role::kAdmin || (caller.role == Role::kAuditor && SafeMethod(request.method));
  if (!allowed) {
    server_->RefusedElsewhere("admin role",
                              "admin API: " + request.method + " " + request.path + " refused to " +
                                  caller.session.profile + ": not " +
                                  (SafeMethod(request.method) ? "an auditor or " : "") +
                                  "a security administrator",
                              caller.session.profile, request.peer);
    return Problem(403, "this needs the role of " + std::string(SafeMethod(request.method)
                                                                    ? "auditor or security-admin"
                                                                    : "security-admin"));
  }
  store->SetActor({caller.session.profile, request.peer});
  return Route(request, caller);
}

AdminResponse AdminApi::SignIn(const AdminRequest& request) {
  const json body = json::parse(request.body, nullptr, /*allow_exceptions=*/false);
  if (!body.is_object() || !body.contains("profile") || !body["profile"].is_string() ||
      !body.contains("password") || !body["password"].is_string())
    return Problem(400, "send {\"profile\": ..., \"password\": ...}");
  const std::string profile = HostStore::CanonicalProfile(body["profile"].get<std::string>());
  std::string error;
  std::unique_ptr<HostStore> own = server_->OpenStore(&error);
  HostStore* store = own.get();
  if (store == nullptr) return Problem(503, "the store cannot be reached: " + error);
  int64_t wait_ms = 0;
  switch (server_->CheckPassword(store, profile, body["password"].get<std::string>(), request.peer,
                                 &wait_ms)) {
    case HostServer::PasswordCheck::kOk:
      break;
    case HostServer::PasswordCheck::kWrong:
      server_->RefusedElsewhere("wrong password",
                                "admin API sign-in of " + profile + " refused: wrong password",
                                profile, request.peer);
      return Problem(401, "profile or password not correct");
    case HostServer::PasswordCheck::kLockedOut:
    case HostServer::PasswordCheck::kPenalised: {
      AdminResponse r = Problem(429, "too many failed sign-ins; try again later");
      r.headers.push_back({"Retry-After", std::to_string((wait_ms + 999) / 1000)});
      return r;
    }
    case HostServer::PasswordCheck::kUnavailable:
      return Problem(503, "the host cannot check sign-ins now; try again later");
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
  AdminResponse r = Reply(200, {{"profile", profile},
                                {"role", RoleName(admin     ? 2
                                                  : auditor ? 1
                                                            : 0)},
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

AdminResponse AdminApi::Route(const AdminRequest& request, const Caller& caller) {
  HostStore* store = store_.get();
  std::string error;
  auto failed = [&](unsigned status) {
    const bool missing = error.find("not found") != std::string::npos ||
                         error.find("not registered") != std::string::npos;
    return Problem(missing ? 404 : status, error);
  };
  const std::string& path = request.path;
  const bool get = SafeMethod(request.method);
  if (path == "/api/v1/session" && get) {
    // A page signed in by its cookie learns the CSRF token again here; other
    // sites cannot read this answer.
    json out = {{"profile", caller.session.profile},
                {"role", RoleName(static_cast<int>(caller.role))}};
    if (caller.by_cookie) out["csrf_token"] = caller.session.csrf;
    return Reply(200, out);
  }
  if (path == "/api/v1/host" && get) {
    HostInfo info;
    if (!store->GetHostInfo(&info, &error)) return failed(503);
    return Reply(200, {{"version", info.version}, {"release", info.release}, {"name", info.name}});
  }
  if (path == "/api/v1/functions" && get) {
    // With counts=1, each function says how many profiles it is denied to.
    std::vector<FunctionRow> rows;
    std::map<std::string, uint64_t> counts;
    const bool with_counts = QueryValue(request.query, "counts") == "1";
    if (!store->ListFunctions("9", &rows, &error) ||
        (with_counts && !store->CountDenied(&counts, &error)))
      return failed(503);
    // "under": the root or group it hangs from in the tree ("" at the top).
    std::map<std::string, std::string> types;
    for (const FunctionRow& f : rows) types[f.id] = f.type;
    json out = json::array();
    for (const FunctionRow& f : rows) {
      out.push_back(json::parse(FunctionAuditText(f)));
      const auto parent = types.find(ParentOf(f));
      out.back()["under"] =
          parent != types.end() && (parent->second == "1" || parent->second == "2") ? parent->first
                                                                                    : "";
      if (with_counts) out.back()["denied_to"] = counts[f.id];
    }
    return Reply(200, out);
  }
  if (path == "/api/v1/profiles" && get) {
    std::vector<std::string> names;
    if (!store->ListProfiles(&names, &error)) return failed(503);
    json out = json::array();
    for (const std::string& name : names) {
      json p;
      if (!ProfileJson(store, name, &p, &error)) return failed(503);
      out.push_back(p);
    }
    return Reply(200, out);
  }
  if (path == "/api/v1/answers" && get) {
    // Every function's answer for a profile, with the profile's own setting.
    const std::string name = QueryValue(request.query, "profile");
    std::vector<UsageReason> answers;
    std::vector<std::string> own;
    bool known = false;
    if (!store->ExplainProfile(name, &answers, &own, &known, &error)) return failed(503);
    if (!known) return Problem(404, "user profile " + name + " not found");
    json out = json::array();
    for (size_t i = 0; i < answers.size(); ++i) {
      out.push_back(UsageReasonJson(answers[i]));
      out.back()["setting"] = own[i] == "1" ? "denied" : own[i] == "2" ? "allowed" : "default";
    }
    return Reply(
        200,
        {{"profile", HostStore::CanonicalProfile(name)}, {"answers", out}, {"note", kPlugInNote}});
  }
  if (path.compare(0, 17, "/api/v1/profiles/") == 0 && get) {
    const std::string name = Decoded(path.substr(17), false);
    json out;
    std::vector<UsageRow> rows;
    bool known = false;
    if (!ProfileJson(store, name, &out, &error)) return failed(503);
    if (out.is_null()) return Problem(404, "user profile " + name + " not found");
    if (!store->ListUsage(name, "9", &rows, &known, &error)) return failed(503);
    json usage = json::object();
    for (const UsageRow& u : rows) usage[u.function] = u.usage == "1" ? "denied" : "allowed";
    out["usage"] = usage;
    return Reply(200, out);
  }
  if (path == "/api/v1/usage" && request.method == "PUT") {
    // One setting or several, in one request: {"profile", "function",
    // "usage": "denied" | "allowed" | "default"}.
    json body = json::parse(request.body, nullptr, /*allow_exceptions=*/false);
    if (body.is_object()) body = json::array({body});
    if (!body.is_array() || body.empty())
      return Problem(400, "send a usage setting or an array of them");
    for (const json& u : body) {
      if (!u.is_object() || !u.value("profile", json()).is_string() ||
          !u.value("function", json()).is_string() || !u.value("usage", json()).is_string())
        return Problem(400, "a usage setting has \"profile\", \"function\" and \"usage\"");
      const std::string word = u["usage"].get<std::string>();
      if (word != "denied" && word != "allowed" && word != "default")
        return Problem(400, "usage is \"denied\", \"allowed\" or \"default\"");
    }
    std::vector<UsageSetting> settings;
    for (const json& u : body) {
      const std::string word = u["usage"].get<std::string>();
      settings.push_back({u["profile"].get<std::string>(), u["function"].get<std::string>(),
                          word == "denied"    ? "1"
                          : word == "allowed" ? "2"
                                              : ""});
    }
    if (!store->SetUsage(settings, &error)) return failed(400);
    return Reply(200, {{"changed", body.size()}});
  }
  if (path == "/api/v1/why" && get) {
    UsageExplanation x;
    bool known = false;
    if (!store->ExplainUsage(QueryValue(request.query, "profile"),
                             QueryValue(request.query, "function"), &x, &known, &error))
      return failed(503);
    if (!known) return Problem(404, "no such profile or function");
    json out = UsageReasonJson(x.answer);
    out["children"] = json::array();
    for (const UsageReason& c : x.children) out["children"].push_back(UsageReasonJson(c));
    out["note"] = kPlugInNote;
    return Reply(200, out);
  }
  if (path == "/api/v1/audit" && get) {
    AuditFilter filter;
    filter.profile = QueryValue(request.query, "profile");
    filter.function = QueryValue(request.query, "function");
    // Times as UTC text: "since" from, "until" before.
    const std::string since = QueryValue(request.query, "since");
    const std::string until = QueryValue(request.query, "until");
    if ((!since.empty() && !ParseUtc(since, &filter.since)) ||
        (!until.empty() && !ParseUtc(until, &filter.until)))
      return Problem(400, "since and until are UTC times: YYYY-MM-DD[THH:MM:SS]");
    const std::string limit = QueryValue(request.query, "limit");
    if (!limit.empty()) filter.limit = std::strtoull(limit.c_str(), nullptr, 10);
    std::vector<AuditRecord> records;
    if (!store->ListAudit(filter, &records, &error)) return failed(503);
    json out = json::array();
    for (const AuditRecord& r : records) out.push_back(AuditRecordJson(r));
    return Reply(200, out);
  }
  return Problem(404, "no such resource: " + request.method + " " + path);
}

}  // namespace zvt::hostd
