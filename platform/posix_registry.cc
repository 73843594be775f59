// Win32 registry semantics over RegistryStore: handle table, access rights,
// path walking across hives, checks on open, buffer-size rules and
// enumeration cursors with their read-ahead. The hives themselves are
// posix_registry_hives.cc's.
#include "platform/posix_registry.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/name_fold.h"
#include "platform/paths.h"
#include "services/mutex.h"

namespace zvt::platform {

// Enumerating values by handle reads ahead: a run of values in one
// statement, handed out for the indexes that follow while this process has
// not written to the store. Each read of the store costs a lock of the file,
// so a long enumeration reads it a few times instead of once per index.
// Values that another process commits in the middle of a run show from the
// next run on, as if committed a moment later; writers that need readers to
// see a whole change at once hold a named mutex around both sides.
namespace {
constexpr size_t kFirstValuesAhead = 8;  // the run read at index 0; later runs double
constexpr size_t kMaxValuesAhead = 256;
constexpr size_t kMaxBytesAhead = 256 * 1024;
// The values read to check a key when it is opened are kept, packed, for its
// handle up to this many bytes (a user key of 400,000 denied functions fits),
// and let go once an enumeration has passed them all: a second read of the
// rows costs far more than the memory that holds them. A larger key is read
// again in runs.
constexpr size_t kMaxBytesVerifiedAhead = 32 * 1024 * 1024;
}  // namespace

struct ValueWindow {
  ValueRows rows;  // the values at indexes first_index, first_index + 1, ...
  DWORD first_index = 0;
  std::uint64_t writes = 0;               // this connection's write count when read
  std::uint64_t stamp = 0;                // the store's change stamp when read
  size_t next_limit = kFirstValuesAhead;  // runs grow while the enumeration goes on
  bool whole = false;                     // rows hold every value of the key from first_index on
};

namespace {

std::u16string_view NameOf(const char16_t* name) {
  return name == nullptr ? std::u16string_view() : std::u16string_view(name);
}

bool Allows(REGSAM granted, REGSAM needed) { return (granted & needed) == needed; }

// Copies `name` into a caller buffer of `*chars` characters, terminator
// included; on success `*chars` becomes the length without the terminator.
// `name` is `size` code units as bytes.
LONG CopyName(const void* name, size_t size, char16_t* buffer, DWORD* chars) {
  if (buffer == nullptr || chars == nullptr) return kErrorInvalidParameter;
  if (size + 1 > *chars) return kErrorMoreData;
  if (size != 0) std::memcpy(buffer, name, size * sizeof(char16_t));
  buffer[size] = u'\0';
  *chars = static_cast<DWORD>(size);
  return kErrorSuccess;
}

LONG CopyName(const std::u16string& name, char16_t* buffer, DWORD* chars) {
  return CopyName(name.data(), name.size(), buffer, chars);
}

// Copies an enumerated value into the caller's buffers: the name always,
// the data when a buffer is given and it fits (else kErrorMoreData and the
// size needed).
template <typename Out>
LONG CopyValue(const ValueRows::Row& row, Out* out) {
  LONG rc = CopyName(row.name, row.name_chars, out->name, out->name_chars);
  if (rc != kErrorSuccess) return rc;
  if (out->type != nullptr) *out->type = row.type;
  const DWORD size = static_cast<DWORD>(row.data_size);
  if (out->data_size != nullptr) {
    if (out->data != nullptr && *out->data_size < size) {
      *out->data_size = size;
      return kErrorMoreData;
    }
    if (out->data != nullptr && size > 0) std::memcpy(out->data, row.data, size);
    *out->data_size = size;
  }
  out->id = row.id;
  return kErrorSuccess;
}

}  // namespace

RegistryPaths PosixRegistry::DefaultPaths() {
  RegistryPaths paths;
  paths.user_store = StateDirectoryPath() + "/registry.db";  // cache.db goes beside it
  paths.classes_store = ClassesStorePath();
  return paths;
}

PosixRegistry::PosixRegistry(RegistryPaths paths) : paths_(std::move(paths)) {
  if (paths_.cache_store.empty()) paths_.cache_store = DirectoryOf(paths_.user_store) + "/cache.db";
  mount_path_ = paths_.client_root + u"\\" + kCacheHiveKey;
  mount_fold_ = FoldName(mount_path_);
}

PosixRegistry::~PosixRegistry() { (void)CommitGroup(); }

LONG PosixRegistry::BeforeValueWrite(HKEY key, Root root, const StorePtr& store) {
  // Only the cache hive's values are grouped (a key of the cache is never a
  // predefined root); the configuration keeps each write at once, after
  // the cache's writes made before it.
  if (root != kCache) return CommitGroup();
  if (LONG rc = JoinCacheGroup(store); rc != kErrorSuccess) return rc;
  MarkWritten(key);
  return kErrorSuccess;
}

LONG PosixRegistry::JoinCacheGroup(const StorePtr& store) {
  MutexLock lock(&group_mu_);
  return JoinCacheGroupLocked(store);
}

LONG PosixRegistry::JoinCacheGroupLocked(const StorePtr& store) {
  if (group_ != store) {
    if (LONG rc = CommitGroupLocked(); rc != kErrorSuccess) return rc;
    group_ = store;
  } else if (lost_writes_ != kErrorSuccess) {
    return lost_writes_;
  }
  return store->OpenGroup();
}

const RegistryStore* PosixRegistry::OpenCacheGroup() {
  MutexLock lock(&group_mu_);
  return group_ && group_->GroupOpen() ? group_.get() : nullptr;
}

void PosixRegistry::MarkWritten(HKEY key) {
  MutexLock lock(&handles_mu_);
  auto it = handles_.find(reinterpret_cast<std::uintptr_t>(key));
  if (it != handles_.end()) it->second.wrote = true;
}

LONG PosixRegistry::CommitGroup() {
  MutexLock lock(&group_mu_);
  return CommitGroupLocked();
}

LONG PosixRegistry::CommitGroupLocked() {
  if (group_) {
    LONG rc = group_->CommitGroup();
    group_.reset();
    if (rc != kErrorSuccess && lost_writes_ == kErrorSuccess) lost_writes_ = rc;
  }
  return lost_writes_;
}

LONG PosixRegistry::RegFlushKey(HKEY key) {
  if (key != kHKeyCurrentUser && key != kHKeyClassesRoot) {
    MutexLock lock(&handles_mu_);
    if (handles_.count(reinterpret_cast<std::uintptr_t>(key)) == 0) return kErrorInvalidHandle;
  }
  LONG rc = CommitGroup();
  MutexLock lock(&group_mu_);
  lost_writes_ = kErrorSuccess;  // reported now
  return rc;
}

void PosixRegistry::SetDamageReporter(std::function<void(const std::string&)> reporter) {
  report_damage_ = std::move(reporter);
}

size_t PosixRegistry::OpenHandleCount() {
  MutexLock lock(&handles_mu_);
  return handles_.size();
}

LONG PosixRegistry::Resolve(HKEY key, OpenKey* out, StorePtr* store) {
  if (key == kHKeyCurrentUser || key == kHKeyClassesRoot) {
    out->root = key == kHKeyCurrentUser ? kUser : kClasses;
    out->id = kRootKeyId;
    out->access = kKeyAllAccess;
    out->mount = false;
    out->fold_path.clear();
  } else {
    MutexLock lock(&handles_mu_);
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(key));
    if (it == handles_.end()) return kErrorInvalidHandle;
    *out = it->second;
  }
  if (out->damaged) return kErrorRegistryCorrupt;
  std::uint64_t generation = 0;
  *store = Store(out->root, nullptr, &generation);
  if (out->root == kCache && out->generation != generation) return kErrorRegistryCorrupt;
  if (*store == nullptr) {
    if (out->root == kClasses) return kErrorFileNotFound;
    return MissingStore(out->root);
  }
  return kErrorSuccess;
}

LONG PosixRegistry::AddHandle(const OpenKey& key, HKEY* result,
                              RegistryStore::VerifiedValues* values) {
  auto window = std::make_shared<ValueWindow>();
  if (values != nullptr && values->complete && !values->rows.empty()) {
    // Every value of the key, as checked when it was opened: served to the
    // enumeration until this process writes to the store.
    StorePtr store = Store(key.root, nullptr);
    if (store) {
      window->rows = std::move(values->rows);
      window->writes = store->WriteCount();
      window->stamp = store->ChangeStamp();
      window->next_limit = kMaxValuesAhead;
      window->whole = true;
    }
  }
  MutexLock lock(&handles_mu_);
  std::uintptr_t value = next_handle_;
  next_handle_ += 4;  // handle values look like Win32 ones: multiples of 4
  auto it = handles_.emplace(value, key).first;
  it->second.values_ahead = std::move(window);
  *result = reinterpret_cast<HKEY>(value);
  return kErrorSuccess;
}

PosixRegistry::Position PosixRegistry::SubkeyScope(const Position& at) const {
  if (!at.mount) return at;
  Position root;
  root.root = kCache;
  root.id = kRootKeyId;
  return root;
}

PosixRegistry::Position PosixRegistry::PositionOf(const OpenKey& key) const {
  Position p;
  p.root = key.root;
  p.id = key.id;
  p.mount = key.mount;
  p.fold_path = key.fold_path;
  p.generation = key.generation;
  return p;
}

bool PosixRegistry::ConfigurationChanges(std::uint64_t* changes) {
  RegistryStore* store = user_store_.load(std::memory_order_acquire);
  if (store == nullptr || !store->CommitCounter(changes)) return false;
  *changes += store->WriteCount();
  return true;
}

LONG PosixRegistry::Walk(const Position& from, std::u16string_view path, bool create,
                         Position* result, bool* created, Position* reached, size_t* missing_at,
                         bool first_missing) {
  *created = false;
  Position current = from;
  size_t pos = 0;
  // Every key of the cache hive is reached through the mount point, whose
  // keys in the configuration seldom change: while they have not, the walk
  // starts at the mount point.
  const size_t mount_end = mount_path_.size() + 1;
  std::uint64_t changes = 0;
  const bool through_mount =
      from.root == kUser && from.id == kRootKeyId && from.fold_path.empty() &&
      path.compare(0, mount_path_.size(), mount_path_) == 0 &&
      (path.size() == mount_path_.size() || path[mount_path_.size()] == u'\\') &&
      ConfigurationChanges(&changes);
  if (through_mount) {
    MutexLock lock(&mount_mu_);
    if (known_mount_.known && known_mount_.changes == changes) {
      current = known_mount_.at;
      pos = mount_end;
    }
  }
  while (pos <= path.size()) {
    size_t next = path.find(u'\\', pos);
    if (next == std::u16string_view::npos) next = path.size();
    std::u16string_view part(path.data() + pos, next - pos);
    const size_t part_at = pos;
    pos = next + 1;
    if (part.empty()) continue;
    if (part.size() > kMaxKeyNameChars) return kErrorInvalidParameter;
    Position scope = SubkeyScope(current);
    std::uint64_t generation = 0;
    StorePtr store = Store(scope.root, nullptr, &generation);
    if (!store) return MissingStore(scope.root);
    if (scope.root == kCache) current.generation = generation;
    KeyId child;
    LONG rc = kErrorFileNotFound;
    if (first_missing) {
      first_missing = false;
    } else {
      rc = store->FindChild(scope.id, part, &child);
      if (rc == kErrorFileNotFound) {
        // Absent, or lost: the key it was looked for in tells.
        LONG checked = store->VerifyKey(scope.id);
        if (checked != kErrorSuccess) rc = checked;
      }
    }
    if (rc == kErrorFileNotFound && create) {
      bool made;
      rc = store->CreateChild(scope.id, part, &child, &made);
      *created = *created || made;
    }
    if (rc != kErrorSuccess) {
      if (rc == kErrorFileNotFound && reached != nullptr) *reached = current;
      if (rc == kErrorFileNotFound && missing_at != nullptr) *missing_at = part_at;
      return Noted(nullptr, scope.root, store.get(), rc);
    }
    current.root = scope.root;
    current.id = child;
    if (scope.root == kUser) {
      if (!current.fold_path.empty()) current.fold_path.push_back(u'\\');
      current.fold_path += FoldName(part);
      current.mount = current.fold_path == mount_fold_;
      if (current.mount && through_mount && pos == mount_end) {
        MutexLock lock(&mount_mu_);
        known_mount_ = KnownMount{current, changes, true};
      }
    } else {
      current.fold_path.clear();
      current.mount = false;
    }
  }
  *result = std::move(current);
  return kErrorSuccess;
}

LONG PosixRegistry::Verify(const Position& at, RegistryStore::VerifiedValues* values) {
  StorePtr store = Store(at.root, nullptr);
  if (!store) return MissingStore(at.root);
  LONG rc = Noted(nullptr, at.root, store.get(), store->VerifyKey(at.id, values));
  if (rc != kErrorSuccess || !at.mount) return rc;
  StorePtr hive = Store(kCache, nullptr);
  if (!hive) return kErrorRegistryIoFailed;
  return Noted(nullptr, kCache, hive.get(), hive->VerifyKey(kRootKeyId));
}

LONG PosixRegistry::FindStoreKey(HKEY root, const std::u16string& path, bool create, StoreKey* key,
                                 std::string* message) {
  Position from;
  if (root == kHKeyClassesRoot) {
    from.root = kClasses;
  } else if (root != kHKeyCurrentUser) {
    *message = "not a predefined root";
    return kErrorInvalidHandle;
  }
  StorePtr store = Store(from.root, message);
  if (!store) return MissingStore(from.root);
  Position at;
  bool created;
  LONG rc = Walk(from, path, create, &at, &created);
  if (rc == kErrorSuccess) rc = Verify(at);
  if (rc != kErrorSuccess) return rc;
  Position scope = SubkeyScope(at);
  key->store = Store(at.root, message).get();
  key->id = at.id;
  key->subkey_store = Store(scope.root, message).get();
  key->subkey_parent = scope.id;
  key->root = at.root;
  key->fold_path = at.fold_path;
  return key->store != nullptr && key->subkey_store != nullptr ? kErrorSuccess
                                                               : kErrorRegistryIoFailed;
}

LONG PosixRegistry::VerifyStoreKey(const StoreKey& key) {
  Position at;
  at.root = static_cast<Root>(key.root);
  at.id = key.id;
  at.mount = key.subkey_store != key.store;
  return Verify(at);
}

StoreKey PosixRegistry::SubStoreKey(const StoreKey& parent, const KeyRow& row) {
  Position at;
  at.root = parent.subkey_store == parent.store ? static_cast<Root>(parent.root) : kCache;
  at.id = row.id;
  if (at.root == kUser) {
    at.fold_path = parent.fold_path.empty() ? row.fold : parent.fold_path + u"\\" + row.fold;
    at.mount = at.fold_path == mount_fold_;
  }
  Position scope = SubkeyScope(at);
  StoreKey key;
  key.store = parent.subkey_store;
  key.id = row.id;
  key.subkey_store = scope.root == at.root ? key.store : Store(scope.root, nullptr).get();
  key.subkey_parent = scope.id;
  key.root = at.root;
  key.fold_path = at.fold_path;
  return key;
}

PosixRegistry::OpenKey PosixRegistry::MakeOpenKey(const Position& at, REGSAM access) const {
  OpenKey key{};
  key.root = at.root;
  key.id = at.id;
  key.access = access;
  key.mount = at.mount;
  key.fold_path = at.fold_path;
  key.generation = at.generation;
  return key;
}

LONG PosixRegistry::ServiceTarget(HKEY parent, const char16_t* sub_key, OpenKey* from,
                                  StorePtr* store, std::u16string* path) {
  LONG rc = Resolve(parent, from, store);
  if (rc != kErrorSuccess) return rc;
  path->assign(NameOf(sub_key));
  if (parent == kHKeyCurrentUser) *path = paths_.client_root + u"\\" + *path;
  return kErrorSuccess;
}

LONG PosixRegistry::OpenRegKeyEx(HKEY parent, const char16_t* sub_key, DWORD /*options*/,
                                 REGSAM access, HKEY* result) {
  if (result == nullptr) return kErrorInvalidParameter;
  OpenKey from{};
  StorePtr store;
  std::u16string path;
  LONG rc = ServiceTarget(parent, sub_key, &from, &store, &path);
  if (rc != kErrorSuccess) return rc;
  Position at;
  bool created;
  rc = Walk(PositionOf(from), path, /*create=*/false, &at, &created);
  // The key is checked whole before any of it is handed out; the values
  // read for that are the new handle's first enumeration run.
  RegistryStore::VerifiedValues read;
  read.byte_limit = kMaxBytesVerifiedAhead;
  if (rc == kErrorSuccess) rc = Verify(at, &read);
  if (rc != kErrorSuccess) return rc;  // damage was noted where it was found
  return AddHandle(MakeOpenKey(at, access), result, &read);
}

LONG PosixRegistry::CreateRegKeyEx(HKEY parent, const char16_t* sub_key, DWORD /*reserved*/,
                                   char16_t* /*class_name*/, DWORD /*options*/, REGSAM access,
                                   void* /*security*/, HKEY* result, DWORD* disposition) {
  if (result == nullptr) return kErrorInvalidParameter;
  OpenKey from{};
  StorePtr store;
  std::u16string path;
  LONG rc = ServiceTarget(parent, sub_key, &from, &store, &path);
  if (rc == kErrorFileNotFound && from.root == kClasses) return kErrorAccessDenied;
  if (rc != kErrorSuccess) return rc;
  if (!Allows(from.access, kKeyCreateSubKey)) return kErrorAccessDenied;
  Position at, reached;
  size_t missing_at = 0;
  bool created = false;
  // Opening an existing path writes nothing; only a missing part takes a
  // write transaction, and the whole missing part is created in it.
  const RegistryStore* const group_before = OpenCacheGroup();
  rc = Walk(PositionOf(from), path, /*create=*/false, &at, &created, &reached, &missing_at);
  const Position scope = SubkeyScope(reached);
  bool in_group = false;
  if (rc == kErrorFileNotFound && scope.root == kCache) {
    // Keys of the cache hive are made in its write group, kept or lost with
    // the values written around them.
    std::uint64_t generation = 0;
    StorePtr hive = Store(kCache, nullptr, &generation);
    if (!hive) return kErrorRegistryIoFailed;
    if (rc = JoinCacheGroup(hive); rc != kErrorSuccess) return rc;
    if (group_before == hive.get() && OpenCacheGroup() == hive.get() &&
        (reached.root != kCache || reached.generation == generation)) {
      // The walk was made in the group's transaction on this very hive,
      // where nothing else writes: the missing part is made from where it
      // stopped.
      rc = Walk(reached, std::u16string_view(path).substr(missing_at), /*create=*/true, &at,
                &created, nullptr, nullptr, /*first_missing=*/true);
      // Another thread of this process may have changed the path meanwhile.
      if (rc != kErrorSuccess) rc = Walk(PositionOf(from), path, /*create=*/true, &at, &created);
    } else {
      rc = Walk(PositionOf(from), path, /*create=*/true, &at, &created);
    }
    in_group = true;
  } else if (rc == kErrorFileNotFound) {
    // Keys of the configuration are made in transactions of their own,
    // after the values written before them.
    if (rc = CommitGroup(); rc != kErrorSuccess) return rc;
    // A batch on each hive the missing part may reach: the one it starts in,
    // and the cache hive when it crosses the mount point.
    StorePtr first = Store(scope.root, nullptr);
    if (!first) return kErrorRegistryIoFailed;
    RegistryStore::Batch batch(first.get());
    StorePtr hive = scope.root == kUser ? Store(kCache, nullptr) : nullptr;
    std::unique_ptr<RegistryStore::Batch> hive_batch;
    rc = batch.status();
    if (rc == kErrorSuccess && hive) {
      hive_batch = std::make_unique<RegistryStore::Batch>(hive.get());
      rc = hive_batch->status();
    }
    if (rc == kErrorSuccess) rc = Walk(PositionOf(from), path, /*create=*/true, &at, &created);
    if (rc == kErrorSuccess && hive_batch) rc = hive_batch->Commit();
    if (rc == kErrorSuccess) rc = batch.Commit();
  }
  RegistryStore::VerifiedValues read;
  read.byte_limit = kMaxBytesVerifiedAhead;
  if (rc == kErrorSuccess) rc = Verify(at, &read);
  if (rc != kErrorSuccess) return rc;  // damage was noted where it was found
  if (disposition != nullptr) *disposition = created ? kRegCreatedNewKey : kRegOpenedExistingKey;
  OpenKey opened = MakeOpenKey(at, access);
  opened.wrote = in_group;  // closing it commits the key made
  return AddHandle(opened, result, &read);
}

LONG PosixRegistry::DeleteRegKey(HKEY parent, const char16_t* sub_key) {
  OpenKey from{};
  StorePtr store;
  std::u16string path;
  LONG rc = ServiceTarget(parent, sub_key, &from, &store, &path);
  if (rc != kErrorSuccess) return rc;
  Position at;
  bool created;
  rc = Walk(PositionOf(from), path, /*create=*/false, &at, &created);
  if (rc != kErrorSuccess) return rc;  // damage was noted where it was found
  StorePtr target = Store(at.root, nullptr);
  if (!target) return kErrorRegistryIoFailed;
  if (at.root == kCache) {
    // A key of the cache hive goes in its write group, as it is made.
    if (rc = JoinCacheGroup(target); rc != kErrorSuccess) return rc;
    MarkWritten(parent);
    return Noted(nullptr, at.root, target.get(), target->DeleteKey(at.id));
  }
  if (rc = CommitGroup(); rc != kErrorSuccess) return rc;
  if (at.mount) {
    // The mount point goes only when the hive below it is empty.
    StorePtr hive = Store(kCache, nullptr);
    KeyRow row;
    LONG below = hive ? hive->SubkeyAt(kRootKeyId, 0, &row) : kErrorRegistryIoFailed;
    if (below == kErrorSuccess) return kErrorAccessDenied;
    if (below != kErrorNoMoreItems) return Noted(nullptr, kCache, hive.get(), below);
  }
  return Noted(nullptr, at.root, target.get(), target->DeleteKey(at.id));
}

bool PosixRegistry::ChangeCounter(HKEY root, uint64_t* counter) {
  if (counter == nullptr || (root != kHKeyCurrentUser && root != kHKeyClassesRoot)) return false;
  // The configuration's own store; the cache hive below it is not counted.
  // Once open it stays open as long as this registry (only the cache hive
  // is ever replaced), so it is asked for without taking its root's lock.
  RegistryStore* store =
      root == kHKeyCurrentUser ? user_store_.load(std::memory_order_acquire) : nullptr;
  StorePtr opened;
  if (store == nullptr) {
    opened = Store(root == kHKeyCurrentUser ? kUser : kClasses, nullptr);
    if (!opened) return false;
    store = opened.get();
  }
  // The count of commits kept beside the store costs one memory read; a
  // store without one answers from SQLite's data version. This process's
  // own writes count from when they are made, before their group commits.
  if (store->CommitCounter(counter)) {
    *counter += store->WriteCount();
  } else {
    *counter = store->ChangeStamp();
  }
  return true;
}

LONG PosixRegistry::RegQueryValueExW(HKEY key, const char16_t* value_name, DWORD* reserved,
                                     DWORD* type, BYTE* data, DWORD* data_size) {
  if (reserved != nullptr && *reserved != 0) return kErrorInvalidParameter;
  if (data != nullptr && data_size == nullptr) return kErrorInvalidParameter;
  OpenKey k{};
  StorePtr store;
  LONG rc = Resolve(key, &k, &store);
  if (rc != kErrorSuccess) return rc;
  if (!Allows(k.access, kKeyQueryValue)) return kErrorAccessDenied;
  return Noted(key, k.root, store.get(),
               store->GetValue(k.id, NameOf(value_name), type, data, data_size));
}

LONG PosixRegistry::RegSetValueExW(HKEY key, const char16_t* value_name, DWORD reserved, DWORD type,
                                   const BYTE* data, DWORD data_size) {
  if (reserved != 0) return kErrorInvalidParameter;
  OpenKey k{};
  StorePtr store;
  LONG rc = Resolve(key, &k, &store);
  if (rc == kErrorFileNotFound && k.root == kClasses) return kErrorAccessDenied;
  if (rc != kErrorSuccess) return rc;
  if (!Allows(k.access, kKeySetValue)) return kErrorAccessDenied;
  if (rc = BeforeValueWrite(key, k.root, store); rc != kErrorSuccess) return rc;
  return Noted(key, k.root, store.get(),
               store->SetValue(k.id, NameOf(value_name), type, data, data_size));
}

LONG PosixRegistry::RegDeleteValueW(HKEY key, const char16_t* value_name) {
  OpenKey k{};
  StorePtr store;
  LONG rc = Resolve(key, &k, &store);
  if (rc != kErrorSuccess) return rc;
  if (!Allows(k.access, kKeySetValue)) return kErrorAccessDenied;
  if (rc = BeforeValueWrite(key, k.root, store); rc != kErrorSuccess) return rc;
  return Noted(key, k.root, store.get(), store->DeleteValue(k.id, NameOf(value_name)));
}

LONG PosixRegistry::RegEnumKeyExW(HKEY key, DWORD index, char16_t* name, DWORD* name_chars,
                                  DWORD* reserved, char16_t* class_name, DWORD* class_chars,
                                  FILETIME* last_write) {
  if (name == nullptr || name_chars == nullptr) return kErrorInvalidParameter;
  if (reserved != nullptr && *reserved != 0) return kErrorInvalidParameter;
  OpenKey k{};
  StorePtr store;
  LONG rc = Resolve(key, &k, &store);
  if (rc == kErrorFileNotFound && k.root == kClasses) return kErrorNoMoreItems;
  if (rc != kErrorSuccess) return rc;
  if (!Allows(k.access, kKeyEnumerateSubKeys)) return kErrorAccessDenied;
  // Below a mount point the subkeys are the cache hive's.
  const Position scope = SubkeyScope(PositionOf(k));
  if (scope.root != k.root) {
    store = Store(scope.root, nullptr);
    if (!store) return kErrorRegistryIoFailed;
  }
  KeyRow row;
  std::uint64_t stamp = store->ChangeStamp();
  bool continues = index > 0 && index == k.next_subkey_index && stamp == k.subkey_stamp;
  rc = continues ? store->SubkeyAfter(scope.id, k.last_subkey_fold, &row)
                 : store->SubkeyAt(scope.id, index, &row);
  if (rc != kErrorSuccess) return Noted(key, scope.root, store.get(), rc);
  rc = CopyName(row.name, name, name_chars);
  if (rc != kErrorSuccess) return rc;
  if (class_name != nullptr && class_chars != nullptr && *class_chars > 0) {
    class_name[0] = u'\0';
    *class_chars = 0;
  }
  if (last_write != nullptr) *last_write = FILETIME{0, 0};
  if (key != kHKeyCurrentUser && key != kHKeyClassesRoot) {
    MutexLock lock(&handles_mu_);
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(key));
    if (it != handles_.end()) {
      it->second.next_subkey_index = index + 1;
      it->second.last_subkey_fold = std::move(row.fold);
      it->second.subkey_stamp = stamp;
    }
  }
  return kErrorSuccess;
}

LONG PosixRegistry::EnumeratedValue(HKEY key, const OpenKey& k, RegistryStore* store, DWORD index,
                                    EnumeratedValueOut* out, std::uint64_t* stamp) {
  const bool by_handle = k.values_ahead != nullptr;
  const std::uint64_t writes = by_handle ? store->WriteCount() : 0;
  size_t limit = 1;
  if (by_handle) {
    MutexLock lock(&handles_mu_);
    ValueWindow& w = *k.values_ahead;
    if (w.writes == writes && index >= w.first_index && index - w.first_index < w.rows.size()) {
      out->copied = CopyValue(w.rows[index - w.first_index], out);
      *stamp = w.stamp;
      if (w.whole && index > w.first_index + 1) {
        // The enumeration has moved on: the values before the one before
        // this go, and their memory serves what the caller gathers from
        // them. A caller that goes back further is served from the store.
        w.rows.DropFront(index - 1 - w.first_index);
        w.first_index = index - 1;
      }
      return kErrorSuccess;
    }
    if (w.whole && w.writes == writes && index == w.first_index + w.rows.size()) {
      // Past every value the key held when it was checked: the enumeration
      // has seen them all, and they are let go.
      w.rows.Release();
      w.whole = false;
      w.next_limit = kFirstValuesAhead;
      return kErrorNoMoreItems;
    }
    limit = index == 0 ? kFirstValuesAhead : w.next_limit;
  }
  *stamp = store->ChangeStamp();
  const bool continues = index > 0 && index == k.next_value_index && *stamp == k.value_stamp;
  ValueRows rows;
  LONG rc = continues ? store->ValuesAfter(k.id, k.last_value_id, limit, kMaxBytesAhead, &rows)
                      : store->ValuesAt(k.id, index, limit, kMaxBytesAhead, &rows);
  if (rc != kErrorSuccess) return rc;
  out->copied = CopyValue(rows[0], out);
  if (by_handle) {
    MutexLock lock(&handles_mu_);
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(key));
    if (it != handles_.end() && it->second.values_ahead == k.values_ahead) {
      ValueWindow& w = *k.values_ahead;
      w.rows = std::move(rows);
      w.first_index = index;
      w.writes = writes;
      w.stamp = *stamp;
      w.next_limit = std::min(limit * 2, kMaxValuesAhead);
      w.whole = false;
    }
  }
  return kErrorSuccess;
}

LONG PosixRegistry::RegEnumValueW(HKEY key, DWORD index, char16_t* name, DWORD* name_chars,
                                  DWORD* reserved, DWORD* type, BYTE* data, DWORD* data_size) {
  if (name == nullptr || name_chars == nullptr) return kErrorInvalidParameter;
  if (reserved != nullptr && *reserved != 0) return kErrorInvalidParameter;
  if (data != nullptr && data_size == nullptr) return kErrorInvalidParameter;
  OpenKey k{};
  StorePtr store;
  LONG rc = Resolve(key, &k, &store);
  if (rc == kErrorFileNotFound && k.root == kClasses) return kErrorNoMoreItems;
  if (rc != kErrorSuccess) return rc;
  if (!Allows(k.access, kKeyQueryValue)) return kErrorAccessDenied;
  EnumeratedValueOut out{name, name_chars, type, data, data_size};
  std::uint64_t stamp = 0;
  rc = EnumeratedValue(key, k, store.get(), index, &out, &stamp);
  if (rc != kErrorSuccess) return Noted(key, k.root, store.get(), rc);
  if (out.copied != kErrorSuccess) return out.copied;
  if (key != kHKeyCurrentUser && key != kHKeyClassesRoot) {
    MutexLock lock(&handles_mu_);
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(key));
    if (it != handles_.end()) {
      it->second.next_value_index = index + 1;
      it->second.last_value_id = out.id;
      it->second.value_stamp = stamp;
    }
  }
  return kErrorSuccess;
}

LONG PosixRegistry::RegCloseKey(HKEY key) {
  if (key == kHKeyCurrentUser || key == kHKeyClassesRoot) return kErrorSuccess;
  bool wrote = false;
  {
    MutexLock lock(&handles_mu_);
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(key));
    if (it == handles_.end()) return kErrorInvalidHandle;
    wrote = it->second.wrote;
    handles_.erase(it);
  }
  // The values written through a key are kept when it is closed, with every
  // write made before them, unless a hold keeps them back until it ends.
  if (wrote) {
    MutexLock lock(&group_mu_);
    if (holds_ == 0) (void)CommitGroupLocked();
  }
  return kErrorSuccess;
}

LONG PosixRegistry::HoldWrites() {
  // The group opens now, so that the reads until the release are made in
  // its transaction too.
  StorePtr hive = Store(kCache, nullptr);
  MutexLock lock(&group_mu_);
  ++holds_;
  if (!hive) return kErrorRegistryIoFailed;
  return JoinCacheGroupLocked(hive);
}

LONG PosixRegistry::ReleaseWrites() {
  MutexLock lock(&group_mu_);
  if (holds_ == 0) return kErrorSuccess;
  if (--holds_ > 0) return kErrorSuccess;
  return CommitGroupLocked();
}

}  // namespace zvt::platform
