// The registry stand-in: Win32 registry calls and the client's registry
// service over RegistryStore files, the way Windows keeps hives: one per
// predefined root, and one of its own for the library's cache, whose keys
// (the subkeys of Application_Administration\HostVals) are mounted below the
// client's configuration. Every key is checked when it is opened; a damaged
// cache hive is moved aside and built anew, a damaged configuration is never
// touched. The cache hive's value writes are kept back and committed
// together when a key written through is closed or flushed, as the Windows
// registry writes lazily; until then other processes see none of them and
// wait to write to that hive. Key handles are entries of a handle table, so a
// stale or made-up handle is an error and never a crash. Safe for concurrent
// use by several threads.
#ifndef ZVT_PLATFORM_POSIX_REGISTRY_H_
#define ZVT_PLATFORM_POSIX_REGISTRY_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "platform/registry_store.h"
#include "services/mutex.h"
#include "services/registry.h"

namespace zvt::platform {

// Where the client keeps its settings below HKEY_CURRENT_USER; the registry
// service resolves HKEY_CURRENT_USER paths relative to it.
inline constexpr char16_t kClientRegistryRoot[] = u"Software\\VYN\\Tarvo.Network";

// The key, relative to the client's root, whose subkeys form the cache hive.
inline constexpr char16_t kCacheHiveKey[] = u"Application_Administration\\HostVals";

struct RegistryPaths {
  std::string user_store;        // HKEY_CURRENT_USER: the client's configuration
  std::string classes_store;     // HKEY_CLASSES_ROOT
  std::string cache_store = {};  // the cache hive; empty: cache.db beside user_store
  std::u16string client_root = kClientRegistryRoot;
  // False: a store file that does not exist is not created (nor its
  // directory); its keys are not found. For programs that only read.
  bool create_missing = true;
  // False: a damaged cache hive stays where it is (its keys fail with
  // ERROR_REGISTRY_CORRUPT) instead of being moved aside and started anew.
  // For programs that only look.
  bool move_damaged_cache = true;
};

// A key that the tools reach by path, with the stores that hold it: its row
// and values, and its subkeys (another hive's root at a mount point).
struct StoreKey {
  RegistryStore* store = nullptr;
  KeyId id = 0;
  RegistryStore* subkey_store = nullptr;
  KeyId subkey_parent = 0;
  int root = 0;              // internal: which store `store` is
  std::u16string fold_path;  // internal: the folded path below HKEY_CURRENT_USER
};

struct ValueWindow;

class PosixRegistry : public RegistryApi, public RegistryServiceApi {
 public:
  // The stores of the environment: registry.db in the state directory and
  // the machine-wide classes store.
  static RegistryPaths DefaultPaths();

  explicit PosixRegistry(RegistryPaths paths);
  ~PosixRegistry() override;

  LONG RegQueryValueExW(HKEY key, const char16_t* value_name, DWORD* reserved, DWORD* type,
                        BYTE* data, DWORD* data_size) override;
  LONG RegSetValueExW(HKEY key, const char16_t* value_name, DWORD reserved, DWORD type,
                      const BYTE* data, DWORD data_size) override;
  LONG RegEnumKeyExW(HKEY key, DWORD index, char16_t* name, DWORD* name_chars, DWORD* reserved,
                     char16_t* class_name, DWORD* class_chars, FILETIME* last_write) override;
  LONG RegEnumValueW(HKEY key, DWORD index, char16_t* name, DWORD* name_chars, DWORD* reserved,
                     DWORD* type, BYTE* data, DWORD* data_size) override;
  LONG RegDeleteValueW(HKEY key, const char16_t* value_name) override;
  LONG RegCloseKey(HKEY key) override;
  LONG RegFlushKey(HKEY key) override;

  LONG OpenRegKeyEx(HKEY parent, const char16_t* sub_key, DWORD options, REGSAM access,
                    HKEY* result) override;
  LONG CreateRegKeyEx(HKEY parent, const char16_t* sub_key, DWORD reserved, char16_t* class_name,
                      DWORD options, REGSAM access, void* security, HKEY* result,
                      DWORD* disposition) override;
  LONG DeleteRegKey(HKEY parent, const char16_t* sub_key) override;
  bool ChangeCounter(HKEY root, uint64_t* counter) override;
  LONG HoldWrites() override;
  LONG ReleaseWrites() override;

  // The store behind a predefined root, opened on first use; null when it
  // cannot be opened (then `*message` says why).
  RegistryStore* StoreFor(HKEY root, std::string* message);
  // The cache hive's store, opened on first use.
  RegistryStore* CacheStore(std::string* message);
  // The key at `path` below a predefined root, crossing into the cache hive
  // where it is mounted; with `create`, missing keys are made (inside any
  // batch the caller holds on the stores).
  LONG FindStoreKey(HKEY root, const std::u16string& path, bool create, StoreKey* key,
                    std::string* message);
  // The subkey `row` of `parent`, as listed from parent.subkey_store.
  StoreKey SubStoreKey(const StoreKey& parent, const KeyRow& row);
  // Checks `key` whole, as opening it through the registry calls would.
  LONG VerifyStoreKey(const StoreKey& key);
  // The damage found in the stores so far, one line per file: which file,
  // what was found, and what became of it.
  std::string DescribeDamage();
  // True when the store behind `root` has shown damage.
  bool IsDamaged(HKEY root);

  const std::u16string& client_root() const { return paths_.client_root; }
  const RegistryPaths& paths() const { return paths_; }
  size_t OpenHandleCount();

  // Where a damaged cache hive that was moved aside is reported: one line
  // naming the file it was moved to. Set once, before use.
  void SetDamageReporter(std::function<void(const std::string&)> reporter);
  // Cache hives moved aside by this object so far.
  int hives_moved_aside() const { return moved_aside_.load(); }

 private:
  enum Root { kUser = 0, kClasses = 1, kCache = 2, kRootCount = 3 };
  // A key as the walk over the hives sees it.
  struct Position {
    Root root = kUser;
    KeyId id = kRootKeyId;
    bool mount = false;            // its subkeys are the cache hive's root's
    std::u16string fold_path;      // below HKEY_CURRENT_USER, folded; user hive only
    std::uint64_t generation = 0;  // of the cache hive, when the key is in it
  };
  struct OpenKey {
    Root root;
    KeyId id;
    REGSAM access;
    bool mount = false;
    std::u16string fold_path;
    std::uint64_t generation = 0;  // of the cache hive, when the key is in it
    bool damaged = false;          // a call found the key damaged
    bool wrote = false;            // values were written through it
    // Enumeration cursors, so that walking indexes 0, 1, 2, ... costs one
    // index seek per call instead of a rescan.
    // A cursor is used only while the store is unchanged since it was set,
    // so indexes keep their meaning when keys are added or deleted between calls.
    DWORD next_subkey_index = 0;
    std::u16string last_subkey_fold;
    std::uint64_t subkey_stamp = 0;
    DWORD next_value_index = 0;
    std::int64_t last_value_id = 0;
    std::uint64_t value_stamp = 0;
    // Values read ahead of the enumeration (see RegEnumValueW); shared by
    // the copies Resolve hands out, guarded by handles_mu_.
    std::shared_ptr<ValueWindow> values_ahead;
  };
  struct RootState {
    Mutex mu;
    std::shared_ptr<RegistryStore> store ZVT_GUARDED_BY(mu);
    std::string error ZVT_GUARDED_BY(mu);
    LONG error_code ZVT_GUARDED_BY(mu) = kErrorSuccess;  // why it could not be opened
    std::uint64_t generation ZVT_GUARDED_BY(mu) = 0;     // moves when the store is moved aside
  };
  using StorePtr = std::shared_ptr<RegistryStore>;

  // Resolves a handle; predefined roots have full access. A handle whose key
  // was found damaged, or that outlived the cache hive it was opened in,
  // answers kErrorRegistryCorrupt.
  LONG Resolve(HKEY key, OpenKey* out, StorePtr* store);
  // The code for a store that Store() could not open.
  LONG MissingStore(Root root);
  StorePtr Store(Root root, std::string* message, std::uint64_t* generation = nullptr);
  // The hive and key that hold the subkeys of `at`.
  Position SubkeyScope(const Position& at) const;
  Position PositionOf(const OpenKey& key) const;
  // The configuration store's count of changes, made here or elsewhere;
  // false when it keeps none.
  bool ConfigurationChanges(std::uint64_t* changes);
  // Walks `path` from `from`; a miss first checks the key it was looked for
  // in, so a lost subkey is damage, not absence. On a miss, `*reached` (when
  // given) is the last key of the path that is there, and `*missing_at`
  // (when given) where in `path` the first missing name begins. With
  // `first_missing`, the first name was just found missing in `from`, which
  // was checked then, in the transaction the walk makes it in.
  LONG Walk(const Position& from, std::u16string_view path, bool create, Position* result,
            bool* created, Position* reached = nullptr, size_t* missing_at = nullptr,
            bool first_missing = false);
  // Checks the key at `at` (and the hive root below a mount point).
  LONG Verify(const Position& at, RegistryStore::VerifiedValues* values = nullptr);
  // Notes a result of a call on `key`: damage marks the handle, and damage
  // in the cache hive moves that hive aside.
  LONG Noted(HKEY key, Root root, RegistryStore* store, LONG rc);
  // Moves the damaged cache hive `store` aside (null: one that would not open).
  void MoveCacheAside(RegistryStore* store, const std::string& what);
  // `values`, when complete, become the handle's first values read ahead.
  LONG AddHandle(const OpenKey& key, HKEY* result, RegistryStore::VerifiedValues* values = nullptr);
  // Where an enumerated value goes: the caller's buffers, as RegEnumValueW
  // takes them.
  struct EnumeratedValueOut {
    char16_t* name;
    DWORD* name_chars;
    DWORD* type;
    BYTE* data;
    DWORD* data_size;
    LONG copied = kErrorSuccess;  // what copying into the buffers gave
    std::int64_t id = 0;          // the value's row, when copied
  };
  // The value at `index` of an enumeration through `key`, from the values
  // read ahead when they are still good, else from the store, copied into
  // `out`. Returns the store's code; the copy's is in `out->copied`.
  LONG EnumeratedValue(HKEY key, const OpenKey& k, RegistryStore* store, DWORD index,
                       EnumeratedValueOut* out, std::uint64_t* stamp);
  // The parent and path to resolve a registry-service call against.
  LONG ServiceTarget(HKEY parent, const char16_t* sub_key, OpenKey* from, StorePtr* store,
                     std::u16string* path);
  OpenKey MakeOpenKey(const Position& at, REGSAM access) const;
  // The cache hive's writes are grouped, as the Windows registry writes
  // lazily: a value written through `key` (and a key of the hive made or
  // deleted) joins the hive's open write group, which is committed when a
  // key written through or made is closed or flushed, or at the end of a
  // hold (HoldWrites) when one is open. Any other write first
  // commits the open group, so that writes become durable in the order they
  // were made.
  LONG BeforeValueWrite(HKEY key, Root root, const StorePtr& store);
  // Joins the cache hive's open write group (opening it when none is), for
  // a write that is kept or lost with the values written around it.
  LONG JoinCacheGroup(const StorePtr& store);
  LONG JoinCacheGroupLocked(const StorePtr& store) ZVT_REQUIRES(group_mu_);
  // The store whose write group is open; null when none is.
  const RegistryStore* OpenCacheGroup();
  // Marks `key` (when it is a handle) as written through, so that closing it
  // commits the open group.
  void MarkWritten(HKEY key);
  // Commits the open write group. A failure is kept, and every later write
  // fails with it until RegFlushKey reports it, so that nothing written
  // after lost writes is kept without them.
  LONG CommitGroup();
  LONG CommitGroupLocked() ZVT_REQUIRES(group_mu_);

  RegistryPaths paths_;
  std::u16string mount_fold_;  // the folded path of the cache hive's mount point
  std::u16string mount_path_;  // that path as the cache's callers spell it
  // Where a walk last found the mount point, and the configuration's change
  // count before it: while the count stays, a path through the mount point
  // spelled as mount_path_ starts there instead of at the top.
  struct KnownMount {
    Position at;
    std::uint64_t changes = 0;
    bool known = false;
  };
  Mutex mount_mu_;
  KnownMount known_mount_ ZVT_GUARDED_BY(mount_mu_);
  RootState roots_[kRootCount];
  // The configuration's store once it is open; it is never replaced.
  std::atomic<RegistryStore*> user_store_{nullptr};
  std::function<void(const std::string&)> report_damage_;
  Mutex moves_mu_;
  std::vector<std::string> moves_ ZVT_GUARDED_BY(moves_mu_);  // reports of hives moved aside
  std::atomic<int> moved_aside_{0};
  Mutex group_mu_;
  StorePtr group_ ZVT_GUARDED_BY(group_mu_);                    // the store whose group is open
  LONG lost_writes_ ZVT_GUARDED_BY(group_mu_) = kErrorSuccess;  // a group's failed commit
  int holds_ ZVT_GUARDED_BY(group_mu_) = 0;                     // HoldWrites not yet released
  Mutex handles_mu_;
  std::unordered_map<std::uintptr_t, OpenKey> handles_ ZVT_GUARDED_BY(handles_mu_);
  std::uintptr_t next_handle_ ZVT_GUARDED_BY(handles_mu_) = 0x1000;
};

}  // namespace zvt::platform

#endif  // ZVT_PLATFORM_POSIX_REGISTRY_H_
