// What every host store does alike, whichever database keeps it: checking
// input, hashing and verifying passwords, and the registry's JSON form.
#include "hostd/host_store.h"

#include <libpq-fe.h>
#include <pwd.h>
#include <sodium.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <tuple>
#include <vector>

#include "hostd/host_json.h"
#include "hostd/host_store_backends.h"
#include "services/mutex.h"

namespace zvt::hostd {
namespace {

// Password checks are deliberately slow and memory-hungry; only a few run
// at once in a process so that a burst of sign-ons cannot exhaust the
// machine, whichever store the hashes come from.
class HashGate {
 public:
  void Enter() {
    MutexLock lock(&mu_);
    while (running_ >= HostStore::kConcurrentPasswordChecks) cv_.Wait(&mu_);
    ++running_;
  }
  void Leave() {
    MutexLock lock(&mu_);
    --running_;
    cv_.Signal();
  }

 private:
  Mutex mu_;
  CondVar cv_;
  int running_ ZVT_GUARDED_BY(mu_) = 0;
};

bool Verify(const std::string& hash, const std::string& password) {
  static HashGate* gate = new HashGate;
  if (sodium_init() < 0) return false;
  gate->Enter();
  bool ok = crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
  gate->Leave();
  return ok;
}

bool HashPassword(const std::string& password, HashStrength strength, std::string* hash,
                  std::string* error) {
  if (sodium_init() < 0) {
    *error = "libsodium cannot be initialised";
    return false;
  }
  char out[crypto_pwhash_STRBYTES];
  unsigned long long ops = strength == HashStrength::kFast ? crypto_pwhash_OPSLIMIT_MIN
                                                           : crypto_pwhash_OPSLIMIT_INTERACTIVE;
  size_t mem = strength == HashStrength::kFast ? crypto_pwhash_MEMLIMIT_MIN
                                               : crypto_pwhash_MEMLIMIT_INTERACTIVE;
  if (crypto_pwhash_str(out, password.data(), password.size(), ops, mem) != 0) {
    *error = "password hashing ran out of memory";
    return false;
  }
  *hash = out;
  return true;
}

bool ValidUsage(const std::string& u) { return u == "1" || u == "2"; }

}  // namespace

bool HostStore::CheckFunction(const FunctionRow& f, std::string* error) {
  auto one_char = [](const std::string& s) { return s.size() == 1; };
  if (f.id.empty() || f.id.size() > 30 || f.id.find(' ') != std::string::npos) {
    *error = "function ID \"" + f.id + "\" must have 1 to 30 characters and no blanks";
  } else if (!one_char(f.category) || !one_char(f.type)) {
    *error = "function " + f.id + ": category and type indicators are one character each";
  } else if (f.root.size() > 30 || f.parent.size() > 30) {
    *error = "function " + f.id + ": root and parent IDs have at most 30 characters";
  } else if (f.name.size() > 330 || f.name2.size() > 330 || f.description.size() > 330 ||
             f.description2.size() > 330) {
    *error = "function " + f.id + ": name and description texts have at most 330 characters";
  } else if (!one_char(f.indicator1) || !one_char(f.indicator2) || !one_char(f.indicator3)) {
    *error = "function " + f.id + ": indicators are one character each";
  } else if (!ValidUsage(f.default_usage)) {
    *error = "function " + f.id + ": default usage must be 1 (denied) or 2 (allowed)";
  } else {
    return true;
  }
  return false;
}

bool HostStore::CheckProfileName(const std::string& given, std::string* error) {
  const std::string canonical = CanonicalProfile(given);
  if (!canonical.empty() && canonical.size() <= 10 && canonical.find(' ') == std::string::npos)
    return true;
  *error = "user profile \"" + given + "\" must have 1 to 10 characters and no blanks";
  return false;
}

bool HostStore::CheckUsage(const std::string& function, const std::string& usage,
                           std::string* error) {
  if (usage.empty() || ValidUsage(usage)) return true;
  *error = "usage of " + function + " must be 1 (denied) or 2 (allowed)";
  return false;
}

namespace {

// The registry a checked JSON document describes, password texts hashed.
bool ImageFromJson(const nlohmann::json& in, HostImage* image, std::string* error) {
  auto text = [](const nlohmann::json& o, const char* key, const std::string& fallback) {
    auto it = o.find(key);
    return it != o.end() && it->is_string() ? it->get<std::string>() : fallback;
  };
  if (auto h = in.find("host"); h != in.end() && h->is_object()) {
    if (h->contains("version")) image->info.version = (*h)["version"].get<uint32_t>();
    if (h->contains("release")) image->info.release = (*h)["release"].get<uint32_t>();
    image->info.name = text(*h, "name", image->info.name);
  }
  std::set<std::string> ids, names;
  size_t n = 0;
  for (const auto& f : in.value("functions", nlohmann::json::array())) {
    ++n;
    if (!f.is_object()) {
      *error = "functions entry " + std::to_string(n) + " is not an object";
      return false;
    }
    FunctionRow row;
    row.id = text(f, "id", "");
    row.category = text(f, "category", row.category);
    row.type = text(f, "type", row.type);
    row.root = text(f, "root", row.id);
    row.parent = text(f, "parent", row.parent);
    row.name = text(f, "name", "");
    row.name2 = text(f, "name2", "");
    row.description = text(f, "description", "");
    row.description2 = text(f, "description2", "");
    if (auto ind = f.find("indicators"); ind != f.end() && ind->is_array() && ind->size() == 3 &&
                                         (*ind)[0].is_string() && (*ind)[1].is_string() &&
                                         (*ind)[2].is_string()) {
      row.indicator1 = (*ind)[0];
      row.indicator2 = (*ind)[1];
      row.indicator3 = (*ind)[2];
    }
    row.default_usage = text(f, "default_usage", row.default_usage);
    if (!HostStore::CheckFunction(row, error)) {
      *error = "functions entry " + std::to_string(n) + ": " + *error;
      return false;
    }
    if (!ids.insert(row.id).second) {
      *error = "functions entry " + std::to_string(n) + " (" + row.id + ") is there twice";
      return false;
    }
    image->functions.push_back(std::move(row));
  }
  for (const auto& p : in.value("profiles", nlohmann::json::array())) {
    ProfileRow row;
    row.name = HostStore::CanonicalProfile(p.is_object() ? text(p, "name", "") : "");
    row.hash = p.is_object() ? text(p, "password_hash", "") : "";
    row.all_profiles = p.is_object() && p.value("all_profiles", false);
    row.auditor = p.is_object() && p.value("auditor", false);
    if (p.is_object() && row.hash.empty() && p.contains("password") && p["password"].is_string() &&
        !HashPassword(
            p["password"].get<std::string>(),
            p.value("fast_hash", false) ? HashStrength::kFast : HashStrength::kInteractive,
            &row.hash, error))
      return false;
    if (row.name.empty() || row.name.size() > 10 || row.hash.empty()) {
      *error = "profile \"" + row.name + "\" needs a name of 1 to 10 characters and a password";
      return false;
    }
    if (!names.insert(row.name).second) {
      *error = "profile " + row.name + " is there twice";
      return false;
    }
    std::set<std::string> groups;
    if (p.is_object())
      for (const auto& g : p.value("groups", nlohmann::json::array()))
        groups.insert(HostStore::CanonicalProfile(g.is_string() ? g.get<std::string>() : ""));
    row.groups.assign(groups.begin(), groups.end());
    image->profiles.push_back(std::move(row));
  }
  // Groups are profiles of the same file, other than the member itself.
  for (const ProfileRow& row : image->profiles) {
    for (const std::string& group : row.groups) {
      if (group == row.name || names.count(group) == 0) {
        *error =
            "profile " + row.name + " names a group that is not another profile: \"" + group + "\"";
        return false;
      }
    }
  }
  for (const auto& u : in.value("usage", nlohmann::json::array())) {
    UsageSetting row;
    row.profile = HostStore::CanonicalProfile(u.is_object() ? text(u, "profile", "") : "");
    row.function = u.is_object() ? text(u, "function", "") : "";
    row.usage = u.is_object() ? text(u, "usage", "") : "";
    if (!ValidUsage(row.usage)) {
      *error = "usage of " + row.function + " by " + row.profile + " must be 1 or 2";
      return false;
    }
    if (names.count(row.profile) == 0 || ids.count(row.function) == 0) {
      *error = "usage names an unknown profile " + row.profile + " or function " + row.function;
      return false;
    }
    image->usage.push_back(std::move(row));
  }
  return true;
}

}  // namespace

std::vector<std::string> FunctionFields(const FunctionRow& f) {
  return {f.id,         f.category,   f.type,         f.root,         f.parent,
          f.name,       f.name2,      f.description,  f.description2, f.indicator1,
          f.indicator2, f.indicator3, f.default_usage};
}

void SetHostInfoField(const std::string& key, const std::string& value, HostInfo* info) {
  if (key == "version")
    info->version = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
  if (key == "release")
    info->release = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
  if (key == "name") info->name = value;
}

namespace {

// libpq's reading of a connection string (a URI or "key=value ..."), or
// null when it is not one.
struct ConninfoFree {
  void operator()(PQconninfoOption* o) const { PQconninfoFree(o); }
};
using Conninfo = std::unique_ptr<PQconninfoOption, ConninfoFree>;
Conninfo ParseConninfo(const std::string& location) {
  char* error = nullptr;
  Conninfo options(PQconninfoParse(location.c_str(), &error));
  PQfreemem(error);
  return options;
}

}  // namespace

bool HostStore::IsPostgresLocation(const std::string& location) {
  if (location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0) return true;
  // "host=... dbname=...": a connection string of keys; a file path, even
  // one with a "=" in it, does not begin with a key libpq knows.
  return location.find('=') != std::string::npos && location[0] != '/' && location[0] != '.' &&
         ParseConninfo(location) != nullptr;
}

std::string HostStore::Describe(const std::string& location) {
  if (!IsPostgresLocation(location)) return location;
  // Rebuilt from libpq's own reading, so that no spelling of the password
  // (in the user part of a URI, as a parameter, repeated, percent-encoded)
  // reaches a log: the keys that were set, the password as "***".
  Conninfo options = ParseConninfo(location);
  if (!options) return "a PostgreSQL store (its connection string cannot be read)";
  std::string shown;
  for (const PQconninfoOption* o = options.get(); o->keyword != nullptr; ++o) {
    if (o->val == nullptr || *o->val == '\0') continue;
    const bool secret = std::strcmp(o->keyword, "password") == 0 ||
                        std::strchr(o->dispchar != nullptr ? o->dispchar : "", '*') != nullptr;
    // A dbname may itself be a connection string, which libpq expands.
    const bool nested = std::strcmp(o->keyword, "dbname") == 0 && IsPostgresLocation(o->val);
    shown += std::string(shown.empty() ? "" : " ") + o->keyword + "=" +
             (secret   ? "***"
              : nested ? "(" + Describe(o->val) + ")"
                       : o->val);
  }
  return "postgresql store " + (shown.empty() ? std::string("(defaults)") : shown);
}

std::unique_ptr<HostStore> HostStore::Open(const std::string& location, std::string* error) {
  return Open(location, StoreOptions{}, error);
}

std::unique_ptr<HostStore> HostStore::Open(const std::string& location, const StoreOptions& options,
                                           std::string* error) {
  bool wrong_schema = false;
  return Open(location, options, error, &wrong_schema);
}

std::unique_ptr<HostStore> HostStore::Open(const std::string& location, const StoreOptions& options,
                                           std::string* error, bool* wrong_schema) {
  *wrong_schema = false;
  if (IsPostgresLocation(location))
    return OpenPostgresStore(location, options, error, wrong_schema);
  return OpenSqliteStore(location, error, wrong_schema);
}

std::string HostStore::CanonicalProfile(const std::string& name) {
  std::string s = name;
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

Stamp HostStore::StampAfter(const Stamp& last, uint64_t now_micros) {
  return StampOf(std::max(now_micros, StampValue(last) + 1));
}

bool HostStore::AddProfile(const std::string& name, const std::string& password,
                           HashStrength strength, std::string* error) {
  std::string canonical = CanonicalProfile(name), hash;
  return CheckProfileName(name, error) && HashPassword(password, strength, &hash, error) &&
         InsertProfile(canonical, hash, error);
}

bool HostStore::SetPassword(const std::string& name, const std::string& password,
                            HashStrength strength, std::string* error) {
  std::string hash;
  return HashPassword(password, strength, &hash, error) &&
         StoreHash(CanonicalProfile(name), hash, error);
}

const std::string& HostStore::DummyHash() {
  // A hash of a random password nobody knows, made once with the
  // parameters new profiles get.
  static const std::string* dummy = [] {
    std::string hash, error;
    unsigned char secret[32];
    if (sodium_init() >= 0) randombytes_buf(secret, sizeof secret);
    if (!HashPassword(std::string(reinterpret_cast<char*>(secret), sizeof secret),
                      HashStrength::kInteractive, &hash, &error))
      hash.clear();  // out of memory: an unknown name is then refused at once
    return new std::string(hash);
  }();
  return *dummy;
}

bool HostStore::IsFastHash(const std::string& hash) {
  // "$argon2id$v=19$m=KIB,t=PASSES,p=LANES$...": weaker than new profiles'
  // in memory or passes, or not a hash these parameters can be read from.
  unsigned long long kib = 0, passes = 0;
  const size_t m = hash.find("$m=");
  if (m == std::string::npos ||
      std::sscanf(hash.c_str() + m, "$m=%llu,t=%llu,", &kib, &passes) != 2)
    return true;
  return kib * 1024 < crypto_pwhash_MEMLIMIT_INTERACTIVE ||
         passes < crypto_pwhash_OPSLIMIT_INTERACTIVE;
}

bool HostStore::VerifyPassword(const std::string& name, const std::string& password, bool* known,
                               bool* fast, std::string* error) {
  *known = false;
  *fast = false;
  error->clear();
  std::string hash;
  if (!ReadHash(CanonicalProfile(name), &hash, known, error)) {
    if (error->empty()) *error = "the host store could not be read";
    return false;
  }
  error->clear();  // what a read that was tried again on a fresh connection left
  if (!*known) {
    // An unknown name costs what a known one with the parameters of new
    // profiles does (the result is ignored), so that the time of the answer
    // does not tell which names exist, whatever hashes the store holds.
    if (!DummyHash().empty()) (void)Verify(DummyHash(), password);
    return false;
  }
  *fast = IsFastHash(hash);
  return Verify(hash, password);
}

namespace {

constexpr size_t kTokenBytes = 32;

std::string Hex(const unsigned char* bytes, size_t size) {
  std::string out(size * 2 + 1, '\0');
  sodium_bin2hex(out.data(), out.size(), bytes, size);
  out.pop_back();
  return out;
}

// The stored form of a token: a hash keyed for this use, over the profile
// and the token, so that a token passes for its own profile only.
std::string TokenDigest(const std::string& profile, const std::string& token) {
  static const unsigned char kKey[crypto_generichash_KEYBYTES] = "zvt sign-on token v1";
  unsigned char digest[32];
  crypto_generichash_state state;
  crypto_generichash_init(&state, kKey, sizeof kKey, sizeof digest);
  crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(profile.c_str()),
                            profile.size() + 1);
  crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(token.data()),
                            token.size());
  crypto_generichash_final(&state, digest, sizeof digest);
  return Hex(digest, sizeof digest);
}

int64_t NowSeconds() { return static_cast<int64_t>(std::time(nullptr)); }
constexpr int64_t kTokenSeconds = int64_t{HostStore::kTokenDays} * 24 * 3600;

}  // namespace

bool HostStore::IssueToken(const std::string& profile, std::string* token, std::string* error) {
  if (sodium_init() < 0) {
    *error = "libsodium cannot be initialised";
    return false;
  }
  unsigned char bytes[kTokenBytes];
  randombytes_buf(bytes, sizeof bytes);
  std::string made = Hex(bytes, sizeof bytes);
  sodium_memzero(bytes, sizeof bytes);
  const std::string name = CanonicalProfile(profile);
  const int64_t now = NowSeconds();
  if (!InsertToken(name, TokenDigest(name, made), now, now - kTokenSeconds, kTokensKept, error))
    return false;
  *token = std::move(made);
  return true;
}

bool HostStore::CheckToken(const std::string& profile, const std::string& token, bool* valid,
                           std::string* error) {
  *valid = false;
  if (token.size() != kTokenBytes * 2 ||
      token.find_first_not_of("0123456789abcdef") != std::string::npos || sodium_init() < 0)
    return true;  // not a token this host makes
  const std::string name = CanonicalProfile(profile);
  const int64_t now = NowSeconds();
  return UseToken(name, TokenDigest(name, token), now, now - kTokenSeconds, valid, error);
}

bool HostStore::ListFastHashProfiles(std::vector<std::string>* names, std::string* error) {
  std::vector<std::string> all;
  if (!ListProfiles(&all, error)) return false;
  names->clear();
  for (const std::string& name : all) {
    std::string hash;
    bool found = false;
    if (!ReadHash(name, &hash, &found, error)) return false;
    if (found && IsFastHash(hash)) names->push_back(name);
  }
  return true;
}

bool HostStore::AddFunction(const FunctionRow& row, std::string* error) {
  return CheckFunction(row, error) && InsertFunction(row, error);
}

bool HostStore::UpdateFunction(const FunctionRow& row, std::string* error) {
  return CheckFunction(row, error) && ReplaceFunction(row, error);
}

bool HostStore::ListFunctions(const std::string& category, std::vector<FunctionRow>* rows,
                              std::string* error) {
  ListPage page;
  return ListFunctionsPage(category, 0, UINT64_MAX, false, rows, &page, error);
}

bool HostStore::SetUsage(const std::string& profile, const std::string& function,
                         const std::string& usage, std::string* error) {
  return SetUsage(std::vector<UsageSetting>{{profile, function, usage}}, error);
}

bool HostStore::SetUsage(const std::vector<UsageSetting>& settings, std::string* error) {
  std::vector<UsageSetting> canonical;
  canonical.reserve(settings.size());
  for (const UsageSetting& u : settings) {
    if (!CheckUsage(u.function, u.usage, error)) return false;
    canonical.push_back({CanonicalProfile(u.profile), u.function, u.usage});
  }
  return canonical.empty() || StoreUsage(canonical, error);
}

namespace {

// The OS user of this process, as the audit trail names it (read with the
// reentrant call: stores are opened on several threads at once).
std::string OsActor() {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_name != nullptr)
    return std::string("os:") + found->pw_name;
  return "os:" + std::to_string(geteuid());
}

int64_t NowMicrosecond() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

Actor HostStore::actor() const { return actor_.who.empty() ? Actor{OsActor(), "local"} : actor_; }

AuditRecord HostStore::Change(const char* action, const std::string& profile,
                              const std::string& function, std::string before,
                              std::string after) const {
  AuditRecord r;
  r.at = NowMicrosecond();
  Actor by = actor();
  r.who = std::move(by.who);
  r.from = std::move(by.from);
  r.action = action;
  r.profile = profile;
  r.function = function;
  r.before = std::move(before);
  r.after = std::move(after);
  return r;
}

std::string HostInfoText(const HostInfo& info) {
  return "version " + std::to_string(info.version) + ", release " + std::to_string(info.release) +
         ", name " + info.name;
}

std::string JoinNames(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ",") + name;
  return text;
}

std::string ImportSummary(const HostImage& image, bool replace) {
  return std::to_string(image.functions.size()) + " functions, " +
         std::to_string(image.profiles.size()) + " profiles, " +
         std::to_string(image.usage.size()) + " usage settings" +
         (replace ? ", replacing the registry" : "");
}

const char* UsageWord(const std::string& usage) {
  return usage == "1" ? "denied" : usage == "2" ? "allowed" : "default";
}

bool HostStore::SetGroups(const std::string& profile, const std::vector<std::string>& groups,
                          std::string* error) {
  const std::string canonical = CanonicalProfile(profile);
  std::set<std::string> distinct;
  for (const std::string& group : groups) {
    if (!CheckProfileName(group, error)) return false;
    const std::string name = CanonicalProfile(group);
    if (name == canonical) {
      *error = "user profile " + canonical + " cannot be a group of itself";
      return false;
    }
    distinct.insert(name);
  }
  return StoreGroups(canonical, std::vector<std::string>(distinct.begin(), distinct.end()), error);
}

bool HostStore::ListUsage(const std::string& profile, const std::string& category,
                          std::vector<UsageRow>* rows, bool* known, std::string* error) {
  ListPage page;
  return ListUsagePage(profile, category, 0, UINT64_MAX, false, rows, &page, known, error);
}

bool HostStore::CheckNothingRemoved(const HostImage& image, const std::vector<std::string>& ids,
                                    const std::vector<std::string>& names, std::string* error) {
  std::set<std::string> functions, profiles;
  for (const FunctionRow& f : image.functions) functions.insert(f.id);
  for (const ProfileRow& p : image.profiles) profiles.insert(p.name);
  std::vector<std::string> gone_functions, gone_profiles;
  for (const std::string& id : ids)
    if (functions.count(id) == 0) gone_functions.push_back(id);
  for (const std::string& name : names)
    if (profiles.count(name) == 0) gone_profiles.push_back(name);
  if (gone_functions.empty() && gone_profiles.empty()) return true;
  auto some = [](std::vector<std::string> names, const char* what) {
    if (names.empty()) return std::string();
    std::sort(names.begin(), names.end());
    std::string text = std::to_string(names.size()) + " " + what + " (";
    for (size_t i = 0; i < names.size() && i < 3; ++i) text += (i ? ", " : "") + names[i];
    return text + (names.size() > 3 ? ", ...)" : ")");
  };
  std::string f = some(gone_functions, "registered functions"), p = some(gone_profiles, "profiles");
  *error = "the file would remove " + f + (f.empty() || p.empty() ? "" : " and ") + p +
           "; give --replace to replace the whole registry";
  return false;
}

bool HostStore::ExportJson(std::string* json, std::string* error) {
  HostImage image;
  if (!ReadImage(&image, error)) return false;
  nlohmann::ordered_json out;
  out["host"] = {
      {"version", image.info.version}, {"release", image.info.release}, {"name", image.info.name}};
  out["functions"] = nlohmann::ordered_json::array();
  for (const FunctionRow& f : image.functions) out["functions"].push_back(FunctionToJson(f));
  out["profiles"] = nlohmann::ordered_json::array();
  for (const ProfileRow& p : image.profiles) {
    nlohmann::ordered_json profile = {{"name", p.name}, {"password_hash", p.hash}};
    if (p.all_profiles) profile["all_profiles"] = true;
    if (p.auditor) profile["auditor"] = true;
    if (!p.groups.empty()) profile["groups"] = p.groups;
    out["profiles"].push_back(std::move(profile));
  }
  out["usage"] = nlohmann::ordered_json::array();
  for (const UsageSetting& u : image.usage)
    out["usage"].push_back({{"profile", u.profile}, {"function", u.function}, {"usage", u.usage}});
  *json = out.dump(2) + "\n";
  return true;
}

bool HostStore::ImportJson(const std::string& json, bool replace, std::string* error) {
  nlohmann::json in;
  HostImage image;
  return CheckHostJson(json, &in, error) && ImageFromJson(in, &image, error) &&
         WriteImage(image, replace, error);
}

bool HostStore::DiffImport(const std::string& json, bool replace, ImportDiff* diff,
                           std::string* error) {
  *diff = ImportDiff();
  nlohmann::json in;
  HostImage next, now;
  if (!CheckHostJson(json, &in, error) || !ImageFromJson(in, &next, error) ||
      !ReadImage(&now, error))
    return false;
  diff->host_changed = now.info.version != next.info.version ||
                       now.info.release != next.info.release || now.info.name != next.info.name;
  auto fields = [](const FunctionRow& f) {
    return std::tie(f.category, f.type, f.root, f.parent, f.name, f.name2, f.description,
                    f.description2, f.indicator1, f.indicator2, f.indicator3, f.default_usage);
  };
  std::map<std::string, const FunctionRow*> functions;
  for (const FunctionRow& f : now.functions) functions[f.id] = &f;
  for (const FunctionRow& f : next.functions) {
    auto it = functions.find(f.id);
    if (it == functions.end())
      diff->functions_added.push_back(f.id);
    else if (fields(*it->second) != fields(f))
      diff->functions_changed.push_back(f.id);
    if (it != functions.end()) functions.erase(it);
  }
  for (const auto& [id, row] : functions) diff->functions_removed.push_back(id);
  std::map<std::string, const ProfileRow*> profiles;
  for (const ProfileRow& p : now.profiles) profiles[p.name] = &p;
  for (const ProfileRow& p : next.profiles) {
    auto it = profiles.find(p.name);
    if (it == profiles.end()) {
      diff->profiles_added.push_back(p.name);
      continue;
    }
    const ProfileRow& was = *it->second;
    if (was.hash != p.hash || was.all_profiles != p.all_profiles || was.auditor != p.auditor ||
        was.groups != p.groups)
      diff->profiles_changed.push_back(p.name);
    profiles.erase(it);
  }
  for (const auto& [name, row] : profiles) diff->profiles_removed.push_back(name);
  std::map<std::pair<std::string, std::string>, std::pair<std::string, std::string>> usage;
  for (const UsageSetting& u : now.usage) usage[{u.profile, u.function}].first = u.usage;
  for (const UsageSetting& u : next.usage) usage[{u.profile, u.function}].second = u.usage;
  for (const auto& [key, change] : usage)
    if (change.first != change.second)
      diff->usage.push_back({key.first, key.second, change.first, change.second});
  if (!replace) {
    std::vector<std::string> ids, names;
    for (const FunctionRow& f : now.functions) ids.push_back(f.id);
    for (const ProfileRow& p : now.profiles) names.push_back(p.name);
    std::string refusal;
    if (!CheckNothingRemoved(next, ids, names, &refusal)) diff->refusal = refusal;
  }
  return true;
}

}  // namespace zvt::hostd
