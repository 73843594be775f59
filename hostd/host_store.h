// The host's function registry in SQLite: registered functions, user
// profiles with password hashes, usage settings, and the three change
// timestamps (registry, hierarchy, per user). Every change that could alter a
// user's answer moves the matching timestamp to a value never used before.
// One HostStore per thread; several processes may share the file.
#ifndef ZVT_HOSTD_HOST_STORE_H_
#define ZVT_HOSTD_HOST_STORE_H_

#include <sqlite3.h>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace zvt::hostd {

using Stamp = std::array<uint8_t, 8>;

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

// Prepared statements of one connection, by SQL text.
struct StatementCache {
  sqlite3* db = nullptr;
  std::map<std::string, sqlite3_stmt*> idle;
  ~StatementCache();
};

enum class HashStrength { kInteractive, kFast };

// A function as it stands in the registry's JSON form.
nlohmann::ordered_json FunctionToJson(const FunctionRow& row);

class HostStore {
 public:
  // Opens or creates the store; null with `*error` set on failure.
  static std::unique_ptr<HostStore> Open(const std::string& path, std::string* error);
  ~HostStore();
  HostStore(const HostStore&) = delete;
  HostStore& operator=(const HostStore&) = delete;

  // All mutators return false with `*error` saying why (naming the profile or
  // function) and change nothing on failure.
  bool SetHostInfo(const HostInfo& info, std::string* error);
  bool GetHostInfo(HostInfo* info, std::string* error);

  bool AddProfile(const std::string& name, const std::string& password, HashStrength strength,
                  std::string* error);
  bool SetPassword(const std::string& name, const std::string& password, HashStrength strength,
                   std::string* error);
  bool RemoveProfile(const std::string& name, std::string* error);
  bool ListProfiles(std::vector<std::string>* names, std::string* error);
  bool ProfileExists(const std::string& name, bool* exists, std::string* error);
  // A profile may read its own usage and timestamps; one with this authority
  // may read every profile's (an administrator's, or a test harness's).
  bool SetAllProfiles(const std::string& name, bool all, std::string* error);
  bool ReadsAllProfiles(const std::string& name, bool* all, std::string* error);
  // True when the profile exists and the password matches. Unknown profiles
  // and wrong passwords are told apart in `*known`.
  bool VerifyPassword(const std::string& name, const std::string& password, bool* known,
                      std::string* error);

  bool AddFunction(const FunctionRow& row, std::string* error);
  // Replaces a registered function's fields (root and parent moves included).
  bool UpdateFunction(const FunctionRow& row, std::string* error);
  bool RemoveFunction(const std::string& id, std::string* error);
  // Functions in registration order; `category` "9" selects all, another code
  // those whose category indicator equals it.
  bool ListFunctions(const std::string& category, std::vector<FunctionRow>* rows,
                     std::string* error);

  // One page of ListFunctions: the functions registered after sequence
  // number `after` (0: from the first), at most `limit` of them. Reading a
  // page costs its own length, not the list's; with `count` the whole list
  // is counted into `page->total` as well, and otherwise that stays as given.
  bool ListFunctionsPage(const std::string& category, int64_t after, uint64_t limit, bool count,
                         std::vector<FunctionRow>* rows, ListPage* page, std::string* error);

  // usage "1" denies, "2" allows, "" returns the user to the default.
  bool SetUsage(const std::string& profile, const std::string& function, const std::string& usage,
                std::string* error);
  // The profile's usage of every selected function (its own setting, else
  // the function's default). For an unknown profile returns true with
  // `*known` false; likewise GetTimestamps.
  bool ListUsage(const std::string& profile, const std::string& category,
                 std::vector<UsageRow>* rows, bool* known, std::string* error);
  // One page of ListUsage, as ListFunctionsPage pages the functions.
  bool ListUsagePage(const std::string& profile, const std::string& category, int64_t after,
                     uint64_t limit, bool count, std::vector<UsageRow>* rows, ListPage* page,
                     bool* known, std::string* error);
  bool GetTimestamps(const std::string& profile, Timestamps* stamps, bool* known,
                     std::string* error);

  // The whole registry as JSON text, and a replacement from it.
  bool ExportJson(std::string* json, std::string* error);
  // Replaces the registry with the JSON file's (docs/host-json.md), in one
  // transaction: nothing is written when the file does not follow its
  // schema, or when it would remove registered functions or profiles and
  // `replace` is false.
  bool ImportJson(const std::string& json, bool replace, std::string* error);

  static std::string CanonicalProfile(const std::string& name);

 private:
  explicit HostStore(sqlite3* db) : db_(db) { cache_.db = db; }
  bool Exec(const char* sql, std::string* error);
  bool PutHostInfo(const HostInfo& info, std::string* error);
  // A fresh stamp, strictly above every stamp issued before.
  bool NextStamp(Stamp* stamp, std::string* error);
  bool SetMetaStamp(const char* key, const Stamp& stamp, std::string* error);
  bool MoveRegistryStamps(bool hierarchy, std::string* error);
  // Brings a store made by an earlier version up to this one's columns.
  bool AddColumnsOfLaterVersions(std::string* error);
  bool FunctionExists(const std::string& id, bool* exists, std::string* error);
  // False, naming them, when registered functions or profiles are missing
  // from the checked JSON file `in`.
  bool CheckNothingRemoved(const nlohmann::json& in, std::string* error);

  sqlite3* db_;
  StatementCache cache_;
};

// Runs `body` inside BEGIN IMMEDIATE ... COMMIT, rolling back when it fails.
class WriteTransaction {
 public:
  WriteTransaction(sqlite3* db, std::string* error);
  ~WriteTransaction();
  bool ok() const { return ok_; }
  bool Commit(std::string* error);

 private:
  sqlite3* db_;
  bool ok_;
  bool done_ = false;
};

}  // namespace zvt::hostd

#endif  // ZVT_HOSTD_HOST_STORE_H_
