// The host's function registry: registered functions, user profiles with
// password hashes, usage settings, and the three change timestamps
// (registry, hierarchy, per user). Every change that could alter a user's
// answer moves the matching timestamp, in the same transaction, to a value
// never used before. Kept in SQLite (the embedded default) or PostgreSQL.
#ifndef ZVT_HOSTD_HOST_STORE_H_
#define ZVT_HOSTD_HOST_STORE_H_

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zvt::hostd {

class HeldStamps;
struct UsageExplanation;
struct UsageReason;
struct DeniedProfile;

// A change timestamp: microseconds since the Unix epoch, big-endian.
using Stamp = std::array<uint8_t, 8>;

inline uint64_t StampValue(const Stamp& stamp) {
  uint64_t v = 0;
  for (uint8_t b : stamp) v = (v << 8) | b;
  return v;
}
inline Stamp StampOf(uint64_t v) {
  Stamp s;
  for (int i = 7; i >= 0; --i, v >>= 8) s[i] = static_cast<uint8_t>(v);
  return s;
}

struct FunctionRow {
  std::string id;                // 1 to 30 characters
  std::string category = "1";    // category indicator, one character
  std::string type = "3";        // "1" root, "2" group, other item
  std::string root;              // root function ID
  std::string parent = "*NONE";  // parent function ID
  std::string name, name2;       // up to 330 characters each
  std::string description, description2;
  std::string indicator1 = "1", indicator2 = "0", indicator3 = "0";
  std::string default_usage = "2";  // "1" denied, "2" allowed
};

struct UsageRow {
  std::string function;
  std::string usage;  // "1" denied, "2" allowed
};

// Where one page of a list stands: the number of all entries selected, and
// the sequence number of the last entry on the page (0 when it is empty).
struct ListPage {
  uint64_t total = 0;
  int64_t last_seq = 0;
};

struct Timestamps {
  Stamp user{}, rep{}, hier{};
};

struct HostInfo {
  uint32_t version = 7;
  uint32_t release = 5;
  std::string name = "ZVTHOST";
};

enum class HashStrength { kInteractive, kFast };

// A profile as export and import carry it: the password only as its hash.
struct ProfileRow {
  std::string name;
  std::string hash;
  bool all_profiles = false;
  bool auditor = false;
  std::vector<std::string> groups;  // by name
};

struct UsageSetting {
  std::string profile, function, usage;
};

// The whole registry, as exported and imported.
struct HostImage {
  HostInfo info;
  std::vector<FunctionRow> functions;  // in registration order
  std::vector<ProfileRow> profiles;    // by name
  std::vector<UsageSetting> usage;     // by profile, then function
};

// Who makes the changes made through a store object, as the audit trail
// records them: a profile signed on to the admin API, or ("os:" and a
// name) the OS user of a program that opened the store itself; and from
// where (an address, or "local").
struct Actor {
  std::string who;
  std::string from;
};

// One change as the audit trail keeps it. `action` names the kind of
// change ("usage", "profile.add", "function.update", "import", ...);
// `before` and `after` say what changed in a few words or as JSON (never a
// password or its hash).
struct AuditRecord {
  int64_t seq = 0;
  int64_t at = 0;  // microseconds since the Unix epoch
  std::string who, from, action, profile, function, before, after;
};

// What importing a file would change, by name; nothing is written to find
// it. `usage` holds the settings that would differ: before and after as
// "1", "2" or "" (none).
struct ImportDiff {
  bool host_changed = false;
  std::vector<std::string> functions_added, functions_removed, functions_changed;
  std::vector<std::string> profiles_added, profiles_removed, profiles_changed;
  struct Usage {
    std::string profile, function, before, after;
  };
  std::vector<Usage> usage;
  // Why the import itself would be refused (removals without `replace`);
  // "" when it would be made.
  std::string refusal;
};

// Which records ListAudit returns: those of a profile and of a function
// (when given), made in [since, until) microseconds, the newest first.
struct AuditFilter {
  std::string profile, function;
  int64_t since = 0;
  int64_t until = INT64_MAX;
  uint64_t limit = 1000;
};

struct StoreOptions {
  // PostgreSQL: the most connections the stores opened from this one (with
  // OpenAnother) share; 0 takes the default of 4.
  int connections = 0;
  // PostgreSQL: create the schema, or bring an older one up to this
  // version's, instead of refusing to use it.
  bool migrate = false;
  // PostgreSQL: hold the change timestamps read in memory, as a server
  // does, kept current by the notifications the database sends whenever one
  // moves (a thread and a connection of their own listen for them; while
  // that connection is lost nothing is held). A SQLite store always holds
  // them, kept current by the commits its writers count.
  bool hold_stamps = false;
};

// A host store: a file path (SQLite, created when missing) or a PostgreSQL
// connection URI ("postgresql://..." or "postgres://..."). All methods
// return false with `*error` saying why (naming the profile or function) and
// change nothing on failure. A store object is used by one thread at a time;
// each thread takes its own from OpenAnother. Several processes may share a
// store, and on PostgreSQL several servers on several machines may.
class HostStore {
 public:
  // Opens the store `location` names; null with `*error` set on failure.
  static std::unique_ptr<HostStore> Open(const std::string& location, std::string* error);
  static std::unique_ptr<HostStore> Open(const std::string& location, const StoreOptions& options,
                                         std::string* error);
  // As Open; on failure `*wrong_schema` tells a store whose schema is not
  // this build's (none yet, older or newer) from one that could not be
  // reached or read: trying again later mends only the latter.
  static std::unique_ptr<HostStore> Open(const std::string& location, const StoreOptions& options,
                                         std::string* error, bool* wrong_schema);
  // `location` as it may be shown or logged: a URI's password is left out.
  static std::string Describe(const std::string& location);
  static bool IsPostgresLocation(const std::string& location);
  // The version of the schema this build reads and writes.
  static constexpr int kSchemaVersion = 6;

  virtual ~HostStore() = default;
  HostStore(const HostStore&) = delete;
  HostStore& operator=(const HostStore&) = delete;

  // Another store object on the same store, for another thread (on
  // PostgreSQL sharing this one's connections).
  virtual std::unique_ptr<HostStore> OpenAnother(std::string* error) = 0;

  virtual bool SetHostInfo(const HostInfo& info, std::string* error) = 0;
  virtual bool GetHostInfo(HostInfo* info, std::string* error) = 0;
  // The version of the schema the store holds now (another program may
  // have changed it since it was opened).
  virtual bool SchemaVersion(int* version, std::string* error) = 0;

  bool AddProfile(const std::string& name, const std::string& password, HashStrength strength,
                  std::string* error);
  bool SetPassword(const std::string& name, const std::string& password, HashStrength strength,
                   std::string* error);
  virtual bool RemoveProfile(const std::string& name, std::string* error) = 0;
  virtual bool ListProfiles(std::vector<std::string>* names, std::string* error) = 0;
  // The profiles whose password hash IsFastHash, by name.
  bool ListFastHashProfiles(std::vector<std::string>* names, std::string* error);
  virtual bool ProfileExists(const std::string& name, bool* exists, std::string* error) = 0;
  // A profile may read its own usage and timestamps; one with this authority
  // may read every profile's (an administrator's, or a test harness's).
  virtual bool SetAllProfiles(const std::string& name, bool all, std::string* error) = 0;
  virtual bool ReadsAllProfiles(const std::string& name, bool* all, std::string* error) = 0;
  // An auditor may read the registry, its profiles and the audit trail
  // through the admin API, and change nothing.
  virtual bool SetAuditor(const std::string& name, bool auditor, std::string* error) = 0;
  virtual bool IsAuditor(const std::string& name, bool* auditor, std::string* error) = 0;
  // True when the profile exists and the password matches. Unknown profiles
  // and wrong passwords are told apart in `*known`, but take as long: an
  // unknown name is checked against a hash of the parameters new profiles
  // get. False with `*error` set when the store could not be read.
  // `*fast` tells a profile whose hash IsFastHash.
  bool VerifyPassword(const std::string& name, const std::string& password, bool* known, bool* fast,
                      std::string* error);
  // Password checks that may run at once in a process.
  static constexpr int kConcurrentPasswordChecks = 2;
  // Whether `hash` was made with HashStrength::kFast (or weaker) parameters.
  static bool IsFastHash(const std::string& hash);
  // The hash unknown names are checked against (tests look at its parameters).
  static const std::string& DummyHash();

  // Sign-on tokens: a client that signed on with the password is handed a
  // token (256 random bits, as 64 hexadecimal digits), which signs the same
  // profile on later without the password's slow hash. The store keeps only
  // a keyed hash of it and the time it was last used; a token unused for
  // kTokenDays, or of a profile whose password was set anew, no longer
  // passes. A profile keeps its kTokensKept most recently used.
  static constexpr int kTokenDays = 30;
  static constexpr size_t kTokensKept = 1024;
  bool IssueToken(const std::string& profile, std::string* token, std::string* error);
  // `*valid` when `token` is a live token of `profile`; its use is recorded.
  bool CheckToken(const std::string& profile, const std::string& token, bool* valid,
                  std::string* error);
  // Revokes every token of the profile (`*revoked` how many there were).
  virtual bool RevokeTokens(const std::string& profile, uint64_t* revoked, std::string* error) = 0;

  // Group profiles: a profile may belong to other profiles, its groups. Its
  // usage of a function is its own setting, else its groups' (where groups
  // differ, denied wins), else the function's default. Groups do not nest:
  // a group's own groups count for the group alone. A change to a group's
  // usage moves the user timestamp of the group and of each member.
  // SetGroups replaces the profile's groups (each an existing profile other
  // than itself) and moves its user timestamp.
  bool SetGroups(const std::string& profile, const std::vector<std::string>& groups,
                 std::string* error);
  // The profile's groups by name (`*known` false for an unknown profile).
  virtual bool ListGroups(const std::string& profile, std::vector<std::string>* groups, bool* known,
                          std::string* error) = 0;

  bool AddFunction(const FunctionRow& row, std::string* error);
  // Replaces a registered function's fields (root and parent moves included).
  bool UpdateFunction(const FunctionRow& row, std::string* error);
  virtual bool RemoveFunction(const std::string& id, std::string* error) = 0;
  // Functions in registration order; `category` "9" selects all, another code
  // those whose category indicator equals it.
  bool ListFunctions(const std::string& category, std::vector<FunctionRow>* rows,
                     std::string* error);

  // One page of ListFunctions: the functions registered after sequence
  // number `after` (0: from the first), at most `limit` of them. Reading a
  // page costs its own length, not the list's; with `count` the whole list
  // is counted into `page->total` as well, and otherwise that stays as given.
  virtual bool ListFunctionsPage(const std::string& category, int64_t after, uint64_t limit,
                                 bool count, std::vector<FunctionRow>* rows, ListPage* page,
                                 std::string* error) = 0;

  // usage "1" denies, "2" allows, "" returns the user to the default.
  bool SetUsage(const std::string& profile, const std::string& function, const std::string& usage,
                std::string* error);
  // Several settings in one transaction: all are made, or none (the first
  // that cannot be is named in `error`).
  bool SetUsage(const std::vector<UsageSetting>& settings, std::string* error);
  // The profile's usage of every selected function (its own setting, else
  // its groups', else the function's default). For an unknown profile returns true with
  // `*known` false; likewise GetTimestamps.
  bool ListUsage(const std::string& profile, const std::string& category,
                 std::vector<UsageRow>* rows, bool* known, std::string* error);
  // Why `function` is denied to `profile` or not (hostd/usage_reasons.h),
  // from one snapshot of the store. `*known` is false, and nothing
  // explained, when the profile or the function does not exist.
  bool ExplainUsage(const std::string& profile, const std::string& function, UsageExplanation* out,
                    bool* known, std::string* error);
  // The profiles `function` is denied to, by name, each with its reason;
  // `*known` false for an unknown function.
  bool ProfilesDeniedTo(const std::string& function, std::vector<DeniedProfile>* denied,
                        bool* known, std::string* error);
  // Every function's answer for `profile`, in registration order, with the
  // profile's own setting of each ("1", "2" or "" for none) beside it.
  bool ExplainProfile(const std::string& profile, std::vector<UsageReason>* answers,
                      std::vector<std::string>* own, bool* known, std::string* error);
  // How many profiles each function is denied to (a function denied to
  // none is absent), from one snapshot.
  bool CountDenied(std::map<std::string, uint64_t>* counts, std::string* error);
  // One page of ListUsage, as ListFunctionsPage pages the functions.
  virtual bool ListUsagePage(const std::string& profile, const std::string& category, int64_t after,
                             uint64_t limit, bool count, std::vector<UsageRow>* rows,
                             ListPage* page, bool* known, std::string* error) = 0;
  virtual bool GetTimestamps(const std::string& profile, Timestamps* stamps, bool* known,
                             std::string* error) = 0;
  // The profile's timestamps if the store holds them in memory and knows
  // them current, never waiting on the store itself; false otherwise (then
  // GetTimestamps reads them).
  virtual bool HeldTimestamps(const std::string& /*profile*/, Timestamps* /*stamps*/,
                              bool* /*known*/) {
    return false;
  }
  // What holds the store's timestamps, and the programs' list pages, in
  // memory (null: nothing is held).
  virtual HeldStamps* held() { return nullptr; }

  // Every change made through this object from now on is recorded in the
  // audit trail, in the change's own transaction, as made by `actor` (by
  // default the process's OS user, from "local"). Changes made around the
  // store (SQL) are not recorded.
  void SetActor(Actor actor) { actor_ = std::move(actor); }
  Actor actor() const;
  virtual bool ListAudit(const AuditFilter& filter, std::vector<AuditRecord>* records,
                         std::string* error) = 0;

  // The whole registry as JSON text, and a replacement from it.
  bool ExportJson(std::string* json, std::string* error);
  // Replaces the registry with the JSON file's (docs/host-json.md), in one
  // transaction: nothing is written when the file does not follow its
  // schema, or when it would remove registered functions or profiles and
  // `replace` is false.
  bool ImportJson(const std::string& json, bool replace, std::string* error);
  // What ImportJson would change (its passwords are hashed to compare, so
  // a file's password always counts as a change). False, with `error`,
  // for a file that does not follow the schema.
  bool DiffImport(const std::string& json, bool replace, ImportDiff* diff, std::string* error);

  static std::string CanonicalProfile(const std::string& name);
  // The checks every change passes, for callers that tell a bad value from
  // a failed change: false with `*error` saying what is wrong.
  static bool CheckProfileName(const std::string& name, std::string* error);
  static bool CheckFunction(const FunctionRow& row, std::string* error);
  // "1" denied, "2" allowed, or "" (back to the function's default).
  static bool CheckUsage(const std::string& function, const std::string& usage, std::string* error);

 protected:
  HostStore() = default;

  // The audit record of a change made now by this object's actor.
  AuditRecord Change(const char* action, const std::string& profile, const std::string& function,
                     std::string before, std::string after) const;

  // What the backends do, on checked input and canonical profile names.
  virtual bool InsertProfile(const std::string& name, const std::string& hash,
                             std::string* error) = 0;
  // Also revokes the profile's sign-on tokens, in the same transaction.
  virtual bool StoreHash(const std::string& name, const std::string& hash, std::string* error) = 0;
  // Stores a token's digest for the profile (in seconds since the epoch:
  // now), first dropping its tokens last used before `unused_since` and all
  // but its `keep` - 1 most recently used; fails for an unknown profile.
  virtual bool InsertToken(const std::string& name, const std::string& digest, int64_t now,
                           int64_t unused_since, size_t keep, std::string* error) = 0;
  // `*valid` when the profile has the digest, used since `unused_since`;
  // then its last use becomes `now`.
  virtual bool UseToken(const std::string& name, const std::string& digest, int64_t now,
                        int64_t unused_since, bool* valid, std::string* error) = 0;
  // The profile's hash (`*found` false when there is none).
  virtual bool ReadHash(const std::string& name, std::string* hash, bool* found,
                        std::string* error) = 0;
  virtual bool InsertFunction(const FunctionRow& row, std::string* error) = 0;
  virtual bool ReplaceFunction(const FunctionRow& row, std::string* error) = 0;
  // Settings already checked, profiles canonical, in one transaction.
  virtual bool StoreUsage(const std::vector<UsageSetting>& settings, std::string* error) = 0;
  // Replaces the groups of `profile` with `groups` (distinct, canonical, not
  // the profile itself); fails naming a profile that does not exist.
  virtual bool StoreGroups(const std::string& profile, const std::vector<std::string>& groups,
                           std::string* error) = 0;
  virtual bool ReadImage(HostImage* image, std::string* error) = 0;
  // Replaces everything with `image` in one transaction, moving the registry
  // stamps and giving each profile a fresh one. Unless `replace`, refuses
  // (with CheckNothingRemoved) to drop registered functions or profiles.
  virtual bool WriteImage(const HostImage& image, bool replace, std::string* error) = 0;

  // False, naming them, when functions or profiles of the store (`ids`,
  // `names`) are missing from `image`.
  static bool CheckNothingRemoved(const HostImage& image, const std::vector<std::string>& ids,
                                  const std::vector<std::string>& names, std::string* error);
  // The stamp after `last`: the clock's microseconds, or last + 1 when the
  // clock has not passed it.
  static Stamp StampAfter(const Stamp& last, uint64_t now_micros);

 private:
  Actor actor_;  // who empty: the process's OS user, looked up when a change is made
};

// The words an audit record uses for a usage setting ("1", "2", "").
const char* UsageWord(const std::string& usage);

}  // namespace zvt::hostd

#endif  // ZVT_HOSTD_HOST_STORE_H_
