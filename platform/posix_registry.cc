// Win32 registry semantics over RegistryStore: handle table, access rights,
// path walking, buffer-size rules and enumeration cursors.
#include "platform/posix_registry.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/paths.h"

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
}  // namespace

struct ValueWindow {
  std::vector<ValueRow> rows;  // the values at indexes first_index, first_index + 1, ...
  DWORD first_index = 0;
  std::uint64_t writes = 0;               // this connection's write count when read
  std::uint64_t stamp = 0;                // the store's change stamp when read
  size_t next_limit = kFirstValuesAhead;  // runs grow while the enumeration goes on
};

namespace {

std::u16string_view NameOf(const char16_t* name) {
  return name == nullptr ? std::u16string_view() : std::u16string_view(name);
}

bool Allows(REGSAM granted, REGSAM needed) { return (granted & needed) == needed; }

// Copies `name` into a caller buffer of `*chars` characters, terminator
// included; on success `*chars` becomes the length without the terminator.
LONG CopyName(const std::u16string& name, char16_t* buffer, DWORD* chars) {
  if (buffer == nullptr || chars == nullptr) return kErrorInvalidParameter;
  if (name.size() + 1 > *chars) return kErrorMoreData;
  std::memcpy(buffer, name.data(), name.size() * sizeof(char16_t));
  buffer[name.size()] = u'\0';
  *chars = static_cast<DWORD>(name.size());
  return kErrorSuccess;
}

}  // namespace

RegistryPaths PosixRegistry::DefaultPaths() {
  RegistryPaths paths;
  paths.user_store = StateDirectoryPath() + "/registry.db";
  paths.classes_store = ClassesStorePath();
  return paths;
}

PosixRegistry::PosixRegistry(RegistryPaths paths) : paths_(std::move(paths)) {}

PosixRegistry::~PosixRegistry() = default;

RegistryStore* PosixRegistry::Store(Root root, std::string* message) {
  RootState& state = roots_[root];
  std::lock_guard<std::mutex> lock(state.mu);
  if (state.store) return state.store.get();
  const std::string& file = root == kUser ? paths_.user_store : paths_.classes_store;
  std::string dir = DirectoryOf(file);
  std::string error;
  std::string fs;
  bool ok = root == kUser ? EnsurePrivateDirectory(dir, &error) : EnsureDirectory(dir, &error);
  if (ok && IsOnNetworkFileSystem(dir, &fs)) {
    error = "registry store directory " + dir + " is on a network file system (" + fs +
            "); the store needs a local disk: point ZVT_HOME (or ZVT_CLASSES_DB) at a local "
            "directory";
    ok = false;
  }
  if (ok) {
    state.store = RegistryStore::Open(
        file, root == kUser ? RegistryStore::Journal::kWal : RegistryStore::Journal::kRollback,
        &error);
  }
  state.error = error;
  if (message != nullptr) *message = error;
  return state.store.get();
}

RegistryStore* PosixRegistry::StoreFor(HKEY root, std::string* message) {
  if (root == kHKeyCurrentUser) return Store(kUser, message);
  if (root == kHKeyClassesRoot) return Store(kClasses, message);
  if (message != nullptr) *message = "not a predefined root";
  return nullptr;
}

size_t PosixRegistry::OpenHandleCount() {
  std::lock_guard<std::mutex> lock(handles_mu_);
  return handles_.size();
}

LONG PosixRegistry::Resolve(HKEY key, OpenKey* out, RegistryStore** store) {
  if (key == kHKeyCurrentUser || key == kHKeyClassesRoot) {
    out->root = key == kHKeyCurrentUser ? kUser : kClasses;
    out->id = kRootKeyId;
    out->access = kKeyAllAccess;
  } else {
    std::lock_guard<std::mutex> lock(handles_mu_);
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(key));
    if (it == handles_.end()) return kErrorInvalidHandle;
    *out = it->second;
  }
  *store = Store(out->root, nullptr);
  if (*store == nullptr) {
    // A machine-wide store that cannot be opened is an empty, read-only root.
    return out->root == kClasses ? kErrorFileNotFound : kErrorRegistryIoFailed;
  }
  return kErrorSuccess;
}

LONG PosixRegistry::AddHandle(const OpenKey& key, HKEY* result) {
  std::lock_guard<std::mutex> lock(handles_mu_);
  std::uintptr_t value = next_handle_;
  next_handle_ += 4;  // handle values look like Win32 ones: multiples of 4
  auto it = handles_.emplace(value, key).first;
  it->second.values_ahead = std::make_shared<ValueWindow>();
  *result = reinterpret_cast<HKEY>(value);
  return kErrorSuccess;
}

LONG PosixRegistry::Walk(RegistryStore* store, KeyId from, const std::u16string& path, bool create,
                         KeyId* result, bool* created) {
  *created = false;
  KeyId current = from;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t next = path.find(u'\\', pos);
    if (next == std::u16string::npos) next = path.size();
    std::u16string_view part(path.data() + pos, next - pos);
    pos = next + 1;
    if (part.empty()) continue;
    if (part.size() > kMaxKeyNameChars) return kErrorInvalidParameter;
    KeyId child;
    LONG rc = store->FindChild(current, part, &child);
    if (rc == kErrorFileNotFound && create) {
      bool made;
      rc = store->CreateChild(current, part, &child, &made);
      *created = *created || made;
    }
    if (rc != kErrorSuccess) return rc;
    current = child;
  }
  *result = current;
  return kErrorSuccess;
}

LONG PosixRegistry::ServiceTarget(HKEY parent, const char16_t* sub_key, OpenKey* from,
                                  RegistryStore** store, std::u16string* path) {
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
  RegistryStore* store;
  std::u16string path;
  LONG rc = ServiceTarget(parent, sub_key, &from, &store, &path);
  if (rc != kErrorSuccess) return rc;
  KeyId id;
  bool created;
  rc = Walk(store, from.id, path, /*create=*/false, &id, &created);
  if (rc == kErrorSuccess && path.empty()) rc = store->KeyExists(id);
  if (rc != kErrorSuccess) return rc;
  OpenKey key{};
  key.root = from.root;
  key.id = id;
  key.access = access;
  return AddHandle(key, result);
}

LONG PosixRegistry::CreateRegKeyEx(HKEY parent, const char16_t* sub_key, DWORD /*reserved*/,
                                   char16_t* /*class_name*/, DWORD /*options*/, REGSAM access,
                                   void* /*security*/, HKEY* result, DWORD* disposition) {
  if (result == nullptr) return kErrorInvalidParameter;
  OpenKey from{};
  RegistryStore* store;
  std::u16string path;
  LONG rc = ServiceTarget(parent, sub_key, &from, &store, &path);
  if (rc == kErrorFileNotFound && from.root == kClasses) return kErrorAccessDenied;
  if (rc != kErrorSuccess) return rc;
  if (!Allows(from.access, kKeyCreateSubKey)) return kErrorAccessDenied;
  KeyId id;
  bool created;
  // Opening an existing path writes nothing; only a missing part takes a
  // write transaction, and the whole missing part is created in it.
  rc = Walk(store, from.id, path, /*create=*/false, &id, &created);
  if (rc == kErrorFileNotFound) {
    RegistryStore::Batch batch(store);
    rc = batch.status();
    if (rc == kErrorSuccess) rc = Walk(store, from.id, path, /*create=*/true, &id, &created);
    if (rc == kErrorSuccess) rc = batch.Commit();
  } else if (rc == kErrorSuccess && path.empty()) {
    rc = store->KeyExists(id);
  }
  if (rc != kErrorSuccess) return rc;
  if (disposition != nullptr) *disposition = created ? kRegCreatedNewKey : kRegOpenedExistingKey;
  OpenKey key{};
  key.root = from.root;
  key.id = id;
  key.access = access;
  return AddHandle(key, result);
}

LONG PosixRegistry::DeleteRegKey(HKEY parent, const char16_t* sub_key) {
  OpenKey from{};
  RegistryStore* store;
  std::u16string path;
  LONG rc = ServiceTarget(parent, sub_key, &from, &store, &path);
  if (rc != kErrorSuccess) return rc;
  KeyId id;
  bool created;
  rc = Walk(store, from.id, path, /*create=*/false, &id, &created);
  if (rc != kErrorSuccess) return rc;
  return store->DeleteKey(id);
}

LONG PosixRegistry::RegQueryValueExW(HKEY key, const char16_t* value_name, DWORD* reserved,
                                     DWORD* type, BYTE* data, DWORD* data_size) {
  if (reserved != nullptr && *reserved != 0) return kErrorInvalidParameter;
  if (data != nullptr && data_size == nullptr) return kErrorInvalidParameter;
  OpenKey k{};
  RegistryStore* store;
  LONG rc = Resolve(key, &k, &store);
  if (rc != kErrorSuccess) return rc;
  if (!Allows(k.access, kKeyQueryValue)) return kErrorAccessDenied;
  return store->GetValue(k.id, NameOf(value_name), type, data, data_size);
}

LONG PosixRegistry::RegSetValueExW(HKEY key, const char16_t* value_name, DWORD reserved, DWORD type,
                                   const BYTE* data, DWORD data_size) {
  if (reserved != 0) return kErrorInvalidParameter;
  OpenKey k{};
  RegistryStore* store;
  LONG rc = Resolve(key, &k, &store);
  if (rc == kErrorFileNotFound && k.root == kClasses) return kErrorAccessDenied;
  if (rc != kErrorSuccess) return rc;
  if (!Allows(k.access, kKeySetValue)) return kErrorAccessDenied;
  return store->SetValue(k.id, NameOf(value_name), type, data, data_size);
}

LONG PosixRegistry::RegDeleteValueW(HKEY key, const char16_t* value_name) {
  OpenKey k{};
  RegistryStore* store;
  LONG rc = Resolve(key, &k, &store);
  if (rc != kErrorSuccess) return rc;
  if (!Allows(k.access, kKeySetValue)) return kErrorAccessDenied;
  return store->DeleteValue(k.id, NameOf(value_name));
}

LONG PosixRegistry::RegEnumKeyExW(HKEY key, DWORD index, char16_t* name, DWORD* name_chars,
                                  DWORD* reserved, char16_t* class_name, DWORD* class_chars,
                                  FILETIME* last_write) {
  if (name == nullptr || name_chars == nullptr) return kErrorInvalidParameter;
  if (reserved != nullptr && *reserved != 0) return kErrorInvalidParameter;
  OpenKey k{};
  RegistryStore* store;
  LONG rc = Resolve(key, &k, &store);
  if (rc == kErrorFileNotFound && k.root == kClasses) return kErrorNoMoreItems;
  if (rc != kErrorSuccess) return rc;
  if (!Allows(k.access, kKeyEnumerateSubKeys)) return kErrorAccessDenied;
  KeyRow row;
  std::uint64_t stamp = store->ChangeStamp();
  bool continues = index > 0 && index == k.next_subkey_index && stamp == k.subkey_stamp;
  rc = continues ? store->SubkeyAfter(k.id, k.last_subkey_fold, &row)
                 : store->SubkeyAt(k.id, index, &row);
  if (rc != kErrorSuccess) return rc;
  rc = CopyName(row.name, name, name_chars);
  if (rc != kErrorSuccess) return rc;
  if (class_name != nullptr && class_chars != nullptr && *class_chars > 0) {
    class_name[0] = u'\0';
    *class_chars = 0;
  }
  if (last_write != nullptr) *last_write = FILETIME{0, 0};
  if (key != kHKeyCurrentUser && key != kHKeyClassesRoot) {
    std::lock_guard<std::mutex> lock(handles_mu_);
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
                                    ValueRow* row, std::uint64_t* stamp) {
  const bool by_handle = k.values_ahead != nullptr;
  const std::uint64_t writes = by_handle ? store->WriteCount() : 0;
  size_t limit = 1;
  if (by_handle) {
    std::lock_guard<std::mutex> lock(handles_mu_);
    ValueWindow& w = *k.values_ahead;
    if (w.writes == writes && index >= w.first_index && index - w.first_index < w.rows.size()) {
      *row = w.rows[index - w.first_index];
      *stamp = w.stamp;
      return kErrorSuccess;
    }
    limit = index == 0 ? kFirstValuesAhead : w.next_limit;
  }
  *stamp = store->ChangeStamp();
  const bool continues = index > 0 && index == k.next_value_index && *stamp == k.value_stamp;
  std::vector<ValueRow> rows;
  LONG rc = continues ? store->ValuesAfter(k.id, k.last_value_id, limit, kMaxBytesAhead, &rows)
                      : store->ValuesAt(k.id, index, limit, kMaxBytesAhead, &rows);
  if (rc != kErrorSuccess) return rc;
  *row = rows.front();
  if (by_handle) {
    std::lock_guard<std::mutex> lock(handles_mu_);
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(key));
    if (it != handles_.end() && it->second.values_ahead == k.values_ahead) {
      ValueWindow& w = *k.values_ahead;
      w.rows = std::move(rows);
      w.first_index = index;
      w.writes = writes;
      w.stamp = *stamp;
      w.next_limit = std::min(limit * 2, kMaxValuesAhead);
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
  RegistryStore* store;
  LONG rc = Resolve(key, &k, &store);
  if (rc == kErrorFileNotFound && k.root == kClasses) return kErrorNoMoreItems;
  if (rc != kErrorSuccess) return rc;
  if (!Allows(k.access, kKeyQueryValue)) return kErrorAccessDenied;
  ValueRow row;
  std::uint64_t stamp = 0;
  rc = EnumeratedValue(key, k, store, index, &row, &stamp);
  if (rc != kErrorSuccess) return rc;
  rc = CopyName(row.name, name, name_chars);
  if (rc != kErrorSuccess) return rc;
  if (type != nullptr) *type = row.type;
  DWORD size = static_cast<DWORD>(row.data.size());
  if (data_size != nullptr) {
    if (data != nullptr && *data_size < size) {
      *data_size = size;
      return kErrorMoreData;
    }
    if (data != nullptr && size > 0) std::memcpy(data, row.data.data(), size);
    *data_size = size;
  }
  if (key != kHKeyCurrentUser && key != kHKeyClassesRoot) {
    std::lock_guard<std::mutex> lock(handles_mu_);
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(key));
    if (it != handles_.end()) {
      it->second.next_value_index = index + 1;
      it->second.last_value_id = row.id;
      it->second.value_stamp = stamp;
    }
  }
  return kErrorSuccess;
}

LONG PosixRegistry::RegCloseKey(HKEY key) {
  if (key == kHKeyCurrentUser || key == kHKeyClassesRoot) return kErrorSuccess;
  std::lock_guard<std::mutex> lock(handles_mu_);
  return handles_.erase(reinterpret_cast<std::uintptr_t>(key)) == 1 ? kErrorSuccess
                                                                    : kErrorInvalidHandle;
}

}  // namespace zvt::platform
