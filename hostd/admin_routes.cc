// The administration API's resources: each request read, checked and handed
// to the store's own operation, and the store's answer written as JSON.
#include "hostd/admin_routes.h"

#include <sodium.h>

#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <map>
#include <vector>

#include "hostd/host_json.h"
#include "hostd/host_store.h"
#include "hostd/usage_reasons.h"

namespace zvt::hostd {
namespace {

using nlohmann::json;

constexpr char kFunctions[] = "/api/v1/functions/";
constexpr char kProfiles[] = "/api/v1/profiles/";
constexpr char kRevoke[] = "/revoke-tokens";

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}
bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Whether `body` is an object holding no key but `keys`; a misspelt key is
// refused rather than ignored.
bool OnlyKeys(const json& body, std::initializer_list<const char*> keys, std::string* error) {
  if (!body.is_object()) return *error = "the body is a JSON object", false;
  for (const auto& [key, value] : body.items()) {
    bool known = false;
    for (const char* k : keys) known = known || key == k;
    if (!known) return *error = "unknown key \"" + key + "\"", false;
  }
  return true;
}

#define ZVT_FUNCTION_KEYS                                                                     \
  "id", "category", "type", "root", "parent", "name", "name2", "description", "description2", \
      "indicators", "default_usage"
#define ZVT_PROFILE_KEYS "password", "fast_hash", "security_admin", "auditor", "groups"

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

// The fields of a function a request body gives, over `row`; false with
// `error` naming a field of the wrong kind.
bool TakeFunctionFields(const json& body, FunctionRow* row, std::string* error) {
  const std::pair<const char*, std::string*> fields[] = {{"category", &row->category},
                                                         {"type", &row->type},
                                                         {"root", &row->root},
                                                         {"parent", &row->parent},
                                                         {"name", &row->name},
                                                         {"name2", &row->name2},
                                                         {"description", &row->description},
                                                         {"description2", &row->description2},
                                                         {"default_usage", &row->default_usage}};
  for (const auto& [key, field] : fields) {
    if (!body.contains(key)) continue;
    if (!body[key].is_string()) return *error = std::string(key) + " is a string", false;
    *field = body[key].get<std::string>();
  }
  if (body.contains("indicators")) {
    const json& ind = body["indicators"];
    if (!ind.is_array() || ind.size() != 3 || !ind[0].is_string() || !ind[1].is_string() ||
        !ind[2].is_string())
      return *error = "indicators is an array of three strings", false;
    row->indicator1 = ind[0];
    row->indicator2 = ind[1];
    row->indicator3 = ind[2];
  }
  return HostStore::CheckFunction(*row, error);
}

// Whether a request body's profile attributes are of their kinds: "password"
// (with "fast_hash"), "security_admin", "auditor", "groups" (those in
// `*groups`).
bool CheckProfileChange(const json& body, std::vector<std::string>* groups, std::string* error) {
  for (const char* flag : {"fast_hash", "security_admin", "auditor"})
    if (body.contains(flag) && !body[flag].is_boolean())
      return *error = std::string(flag) + " is true or false", false;
  if (body.contains("password") && !body["password"].is_string())
    return *error = "password is a string", false;
  groups->clear();
  if (body.contains("groups")) {
    if (!body["groups"].is_array()) return *error = "groups is an array of profile names", false;
    for (const json& g : body["groups"]) {
      if (!g.is_string()) return *error = "groups is an array of profile names", false;
      groups->push_back(g.get<std::string>());
    }
  }
  return true;
}

// Changes a profile's attributes as a request body gives them.
bool ChangeProfile(HostStore* store, const std::string& name, const json& body,
                   std::string* error) {
  std::vector<std::string> groups;
  if (!CheckProfileChange(body, &groups, error)) return false;
  const HashStrength strength =
      body.value("fast_hash", false) ? HashStrength::kFast : HashStrength::kInteractive;
  return (!body.contains("password") ||
          store->SetPassword(name, body["password"].get<std::string>(), strength, error)) &&
         (!body.contains("security_admin") ||
          store->SetAllProfiles(name, body["security_admin"].get<bool>(), error)) &&
         (!body.contains("auditor") ||
          store->SetAuditor(name, body["auditor"].get<bool>(), error)) &&
         (!body.contains("groups") || store->SetGroups(name, groups, error));
}

std::string Hex(const Stamp& stamp) {
  char hex[2 * sizeof(Stamp) + 1];
  sodium_bin2hex(hex, sizeof hex, stamp.data(), stamp.size());
  return hex;
}

json ImportDiffJson(const ImportDiff& d) {
  json usage = json::array();
  for (const ImportDiff::Usage& u : d.usage)
    usage.push_back({{"profile", u.profile},
                     {"function", u.function},
                     {"before", UsageWord(u.before)},
                     {"after", UsageWord(u.after)}});
  json out = {{"host_changed", d.host_changed},
              {"functions",
               {{"added", d.functions_added},
                {"removed", d.functions_removed},
                {"changed", d.functions_changed}}},
              {"profiles",
               {{"added", d.profiles_added},
                {"removed", d.profiles_removed},
                {"changed", d.profiles_changed}}},
              {"usage", usage}};
  if (!d.refusal.empty()) out["refusal"] = d.refusal;
  return out;
}

template <class Json>
AdminResponse Reply(unsigned status, const Json& body) {
  return {status,
          "application/json",
          body.dump(2, ' ', false, Json::error_handler_t::replace) + "\n",
          {}};
}

}  // namespace

AdminResponse JsonReply(unsigned status, const json& body) { return Reply(status, body); }

AdminResponse OrderedJsonReply(unsigned status, const nlohmann::ordered_json& body) {
  return Reply(status, body);
}

AdminResponse JsonProblem(unsigned status, const std::string& text) {
  return JsonReply(status, {{"error", text}});
}

std::string UrlDecoded(const std::string& text, bool query) {
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

std::string QueryValue(const std::string& query, const std::string& key) {
  size_t at = 0;
  while (at <= query.size()) {
    size_t end = query.find('&', at);
    if (end == std::string::npos) end = query.size();
    const std::string pair = query.substr(at, end - at);
    if (pair.compare(0, key.size() + 1, key + "=") == 0)
      return UrlDecoded(pair.substr(key.size() + 1), true);
    at = end + 1;
  }
  return "";
}

bool ReadsOnly(const AdminRequest& request) {
  return request.method == "GET" || request.method == "HEAD";
}

bool ReadNeedsAdmin(const AdminRequest& request) { return request.path == "/api/v1/export"; }

namespace {

AdminResponse Answer(HostStore* store, const AdminRequest& request) {
  std::string error;
  auto failed = [&](unsigned status) {
    const bool missing = error.find("not found") != std::string::npos ||
                         error.find("not registered") != std::string::npos;
    return JsonProblem(missing ? 404 : status, error);
  };
  const std::string& path = request.path;
  const std::string& method = request.method;
  const bool get = ReadsOnly(request);
  json body;
  if (!get && method != "DELETE") {
    body = json::parse(request.body, nullptr, /*allow_exceptions=*/false);
    if (path != "/api/v1/import" && body.is_discarded())
      return JsonProblem(400, "the request's body is not JSON");
  }

  if (path == "/api/v1/host" && (get || method == "PUT")) {
    HostInfo info;
    if (!store->GetHostInfo(&info, &error)) return failed(503);
    if (method == "PUT") {
      if (!OnlyKeys(body, {"version", "release", "name"}, &error)) return JsonProblem(400, error);
      for (const char* number : {"version", "release"})
        if (body.contains(number) &&
            (!body[number].is_number_unsigned() || body[number].get<uint64_t>() > 0xFFFFFFFFu))
          return JsonProblem(400, std::string(number) + " is a whole number below 2^32");
      if (body.contains("name") && !body["name"].is_string())
        return JsonProblem(400, "name is a string");
      if (body.contains("version")) info.version = body["version"].get<uint32_t>();
      if (body.contains("release")) info.release = body["release"].get<uint32_t>();
      if (body.contains("name")) info.name = body["name"].get<std::string>();
      if (!store->SetHostInfo(info, &error)) return failed(400);
    }
    return JsonReply(200,
                     {{"version", info.version}, {"release", info.release}, {"name", info.name}});
  }

  if (path == "/api/v1/functions" && get) {
    // With counts=1, each function says how many profiles it is denied to;
    // "under" is the root or group it hangs from in the tree ("" at the top).
    std::vector<FunctionRow> rows;
    std::map<std::string, uint64_t> counts;
    const bool with_counts = QueryValue(request.query, "counts") == "1";
    if (!store->ListFunctions("9", &rows, &error) ||
        (with_counts && !store->CountDenied(&counts, &error)))
      return failed(503);
    const std::vector<std::string> parents = TreeParents(rows);
    json out = json::array();
    for (size_t i = 0; i < rows.size(); ++i) {
      const FunctionRow& f = rows[i];
      out.push_back(json(FunctionToJson(f)));
      out.back()["under"] = parents[i];
      if (with_counts) out.back()["denied_to"] = counts[f.id];
    }
    return JsonReply(200, out);
  }
  if (path == "/api/v1/functions" && method == "POST") {
    if (!OnlyKeys(body, {ZVT_FUNCTION_KEYS}, &error)) return JsonProblem(400, error);
    if (!body.value("id", json()).is_string())
      return JsonProblem(400, "send a function: {\"id\", \"type\", \"root\", \"parent\", ...}");
    FunctionRow row;
    row.id = body["id"].get<std::string>();
    row.root = row.id;
    if (!TakeFunctionFields(body, &row, &error)) return JsonProblem(400, error);
    if (!store->AddFunction(row, &error)) return failed(400);
    return JsonReply(201, json(FunctionToJson(row)));
  }
  if (StartsWith(path, kFunctions)) {
    const std::string id = UrlDecoded(path.substr(sizeof kFunctions - 1), false);
    if (method == "DELETE") {
      if (!store->RemoveFunction(id, &error)) return failed(400);
      return JsonReply(200, {{"removed", id}});
    }
    std::vector<FunctionRow> rows;
    if (!store->ListFunctions("9", &rows, &error)) return failed(503);
    FunctionRow* row = nullptr;
    for (FunctionRow& f : rows)
      if (f.id == id) row = &f;
    if (row == nullptr) return JsonProblem(404, "function " + id + " is not registered");
    if (get) {
      // The function and whom it is denied to, each with the reason.
      std::vector<DeniedProfile> denied;
      bool known = false;
      if (!store->ProfilesDeniedTo(id, &denied, &known, &error)) return failed(503);
      json out = json(FunctionToJson(*row));
      out["denied_to"] = json::array();
      for (const DeniedProfile& d : denied) {
        json one = UsageReasonJson(d.reason);
        one.erase("function");
        one["profile"] = d.profile;
        out["denied_to"].push_back(one);
      }
      return JsonReply(200, out);
    }
    if (method == "PUT") {
      if (!OnlyKeys(body, {ZVT_FUNCTION_KEYS}, &error)) return JsonProblem(400, error);
      if (body.contains("id") && body["id"] != id)
        return JsonProblem(400, "a function's ID does not change");
      if (!TakeFunctionFields(body, row, &error)) return JsonProblem(400, error);
      if (!store->UpdateFunction(*row, &error)) return failed(400);
      return JsonReply(200, json(FunctionToJson(*row)));
    }
  }

  if (path == "/api/v1/profiles" && get) {
    // "fast_hash": the profile's password hash is one a server refuses
    // unless told to allow such hashes.
    std::vector<std::string> names, fast;
    if (!store->ListProfiles(&names, &error) || !store->ListFastHashProfiles(&fast, &error))
      return failed(503);
    json out = json::array();
    for (const std::string& name : names) {
      json p;
      if (!ProfileJson(store, name, &p, &error)) return failed(503);
      p["fast_hash"] = std::find(fast.begin(), fast.end(), name) != fast.end();
      out.push_back(p);
    }
    return JsonReply(200, out);
  }
  if (path == "/api/v1/profiles" && method == "POST") {
    if (!OnlyKeys(body, {"name", ZVT_PROFILE_KEYS}, &error)) return JsonProblem(400, error);
    if (!body.value("name", json()).is_string() || !body.value("password", json()).is_string())
      return JsonProblem(400,
                         "send {\"name\", \"password\"} and any of \"fast_hash\", "
                         "\"security_admin\", \"auditor\", \"groups\"");
    const std::string name = body["name"].get<std::string>();
    // Everything is checked before the profile is made: its attributes'
    // kinds and its groups' existence.
    json rest = body;
    rest.erase("password");
    rest.erase("name");
    std::vector<std::string> groups;
    if (!CheckProfileChange(rest, &groups, &error)) return JsonProblem(400, error);
    for (const std::string& g : groups) {
      bool exists = false;
      if (!store->ProfileExists(HostStore::CanonicalProfile(g), &exists, &error))
        return failed(503);
      if (!exists) return JsonProblem(400, "user profile " + g + " not found");
    }
    const HashStrength strength =
        body.value("fast_hash", false) ? HashStrength::kFast : HashStrength::kInteractive;
    if (!HostStore::CheckProfileName(name, &error)) return JsonProblem(400, error);
    if (!store->AddProfile(name, body["password"].get<std::string>(), strength, &error) ||
        !ChangeProfile(store, name, rest, &error))
      return JsonProblem(400, error);
    json out;
    if (!ProfileJson(store, name, &out, &error)) return failed(503);
    return JsonReply(201, out);
  }
  if (StartsWith(path, kProfiles) && EndsWith(path, kRevoke) && method == "POST") {
    const std::string name =
        UrlDecoded(path.substr(sizeof kProfiles - 1,
                               path.size() - (sizeof kProfiles - 1) - (sizeof kRevoke - 1)),
                   false);
    uint64_t revoked = 0;
    if (!store->RevokeTokens(name, &revoked, &error)) return failed(400);
    return JsonReply(200, {{"revoked", revoked}});
  }
  if (StartsWith(path, kProfiles)) {
    const std::string name = UrlDecoded(path.substr(sizeof kProfiles - 1), false);
    json out;
    if (!ProfileJson(store, name, &out, &error)) return failed(503);
    if (out.is_null()) return JsonProblem(404, "user profile " + name + " not found");
    if (get) {
      // The usage in the registry's order.
      std::vector<UsageRow> rows;
      bool known = false;
      if (!store->ListUsage(name, "9", &rows, &known, &error)) return failed(503);
      nlohmann::ordered_json ordered = out;
      ordered["usage"] = nlohmann::ordered_json::object();
      for (const UsageRow& u : rows) ordered["usage"][u.function] = UsageWord(u.usage);
      return OrderedJsonReply(200, ordered);
    }
    if (method == "PUT") {
      if (!OnlyKeys(body, {ZVT_PROFILE_KEYS}, &error)) return JsonProblem(400, error);
      if (body.empty())
        return JsonProblem(400,
                           "send any of \"password\", \"fast_hash\", \"security_admin\", "
                           "\"auditor\", \"groups\"");
      if (!ChangeProfile(store, name, body, &error)) return failed(400);
      if (!ProfileJson(store, name, &out, &error)) return failed(503);
      return JsonReply(200, out);
    }
    if (method == "DELETE") {
      if (!store->RemoveProfile(name, &error)) return failed(400);
      return JsonReply(200, {{"removed", out["name"]}});
    }
  }

  if (path == "/api/v1/answers" && get) {
    // Every function's answer for a profile, with the profile's own setting.
    const std::string name = QueryValue(request.query, "profile");
    std::vector<UsageReason> answers;
    std::vector<std::string> own;
    bool known = false;
    if (!store->ExplainProfile(name, &answers, &own, &known, &error)) return failed(503);
    if (!known) return JsonProblem(404, "user profile " + name + " not found");
    json out = json::array();
    for (size_t i = 0; i < answers.size(); ++i) {
      out.push_back(UsageReasonJson(answers[i]));
      out.back()["setting"] = UsageWord(own[i]);
    }
    return JsonReply(
        200,
        {{"profile", HostStore::CanonicalProfile(name)}, {"answers", out}, {"note", kPlugInNote}});
  }
  if (path == "/api/v1/usage" && method == "PUT") {
    // One setting or several, made together: {"profile", "function",
    // "usage": "denied" | "allowed" | "default"}.
    if (body.is_object()) body = json::array({body});
    if (!body.is_array() || body.empty())
      return JsonProblem(400, "send a usage setting or an array of them");
    std::vector<UsageSetting> settings;
    for (const json& u : body) {
      if (!OnlyKeys(u, {"profile", "function", "usage"}, &error)) return JsonProblem(400, error);
      if (!u.value("profile", json()).is_string() || !u.value("function", json()).is_string() ||
          !u.value("usage", json()).is_string())
        return JsonProblem(400, "a usage setting has \"profile\", \"function\" and \"usage\"");
      const std::string word = u["usage"].get<std::string>();
      if (word != "denied" && word != "allowed" && word != "default")
        return JsonProblem(400, "usage is \"denied\", \"allowed\" or \"default\"");
      settings.push_back({u["profile"].get<std::string>(), u["function"].get<std::string>(),
                          word == "denied"    ? "1"
                          : word == "allowed" ? "2"
                                              : ""});
    }
    if (!store->SetUsage(settings, &error)) return failed(400);
    return JsonReply(200, {{"changed", settings.size()}});
  }
  if (path == "/api/v1/why" && get) {
    UsageExplanation x;
    bool known = false;
    if (!store->ExplainUsage(QueryValue(request.query, "profile"),
                             QueryValue(request.query, "function"), &x, &known, &error))
      return failed(503);
    if (!known) return JsonProblem(404, "no such profile or function");
    json out = UsageReasonJson(x.answer);
    out["children"] = json::array();
    for (const UsageReason& c : x.children) out["children"].push_back(UsageReasonJson(c));
    out["note"] = kPlugInNote;
    return JsonReply(200, out);
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
      return JsonProblem(400, "since and until are UTC times: YYYY-MM-DD[THH:MM:SS]");
    const std::string limit = QueryValue(request.query, "limit");
    if (!limit.empty()) filter.limit = std::strtoull(limit.c_str(), nullptr, 10);
    std::vector<AuditRecord> records;
    if (!store->ListAudit(filter, &records, &error)) return failed(503);
    json out = json::array();
    for (const AuditRecord& r : records) out.push_back(AuditRecordJson(r));
    return JsonReply(200, out);
  }
  if (path == "/api/v1/timestamps" && get) {
    const std::string name = QueryValue(request.query, "profile");
    Timestamps t;
    bool known = false;
    if (!store->GetTimestamps(name, &t, &known, &error)) return failed(503);
    if (!known) return JsonProblem(404, "user profile " + name + " not found");
    return JsonReply(200, {{"user", Hex(t.user)}, {"rep", Hex(t.rep)}, {"hier", Hex(t.hier)}});
  }
  if (path == "/api/v1/import" && method == "POST") {
    // The body is the registry's JSON file; replace=1 lets it remove, and
    // dry_run=1 only says what it would change.
    const bool replace = QueryValue(request.query, "replace") == "1";
    if (QueryValue(request.query, "dry_run") == "1") {
      ImportDiff diff;
      if (!store->DiffImport(request.body, replace, &diff, &error)) return JsonProblem(400, error);
      return JsonReply(200, ImportDiffJson(diff));
    }
    if (!store->ImportJson(request.body, replace, &error))
      return JsonProblem(400, error + "; nothing was imported");
    return JsonReply(200, {{"imported", true}});
  }
  if (path == "/api/v1/export" && get) {
    std::string text;
    if (!store->ExportJson(&text, &error)) return failed(503);
    return {200, "application/json", text, {}};
  }
  return JsonProblem(404, "no such resource: " + method + " " + path);
}

}  // namespace

AdminResponse AnswerResource(HostStore* store, const AdminRequest& request) {
  // A body of a shape no check foresaw is the client's fault, never the
  // server's end.
  try {
    return Answer(store, request);
  } catch (const nlohmann::json::exception& e) {
    return JsonProblem(400, std::string("the request's body does not fit: ") + e.what());
  } catch (const std::exception& e) {
    return JsonProblem(500, std::string("the request could not be answered: ") + e.what());
  }
}

}  // namespace zvt::hostd
