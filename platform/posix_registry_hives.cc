// The hive set of a PosixRegistry: each store file opened when first needed
// (its directory made private, a network file system refused), a damaged
// cache hive moved aside once and started anew, and what was found damaged
// told to the tools.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <string>

#include "platform/paths.h"
#include "platform/posix_registry.h"
#include "services/mutex.h"

namespace zvt::platform {

PosixRegistry::StorePtr PosixRegistry::Store(Root root, std::string* message,
                                             std::uint64_t* generation) {
  RootState& state = roots_[root];
  MutexLock lock(&state.mu);
  if (generation != nullptr) *generation = state.generation;
  if (state.store) return state.store;
  const std::string& file = root == kUser    ? paths_.user_store
                            : root == kCache ? paths_.cache_store
                                             : paths_.classes_store;
  std::string dir = DirectoryOf(file);
  std::string error;
  std::string fs;
  LONG code = kErrorRegistryIoFailed;
  struct stat st {};
  if (!paths_.create_missing && stat(file.c_str(), &st) != 0 && errno == ENOENT) {
    state.error = "the registry store " + file + " does not exist";
    state.error_code = kErrorFileNotFound;
    if (message != nullptr) *message = state.error;
    return nullptr;
  }
  bool ok = root == kClasses ? EnsureDirectory(dir, &error) : EnsurePrivateDirectory(dir, &error);
  if (ok && IsOnNetworkFileSystem(dir, &fs)) {
    error = "registry store directory " + dir + " is on a network file system (" + fs +
            "); the store needs a local disk: point ZVT_HOME (or ZVT_CLASSES_DB) at a local "
            "directory";
    ok = false;
  }
  if (ok) {
    const auto journal = root == kUser    ? RegistryStore::Journal::kWal
                         : root == kCache ? RegistryStore::Journal::kWalMovable
                                          : RegistryStore::Journal::kRollback;
    std::unique_ptr<RegistryStore> opened = RegistryStore::Open(file, journal, &error, &code);
    if (!opened && code == kErrorRegistryCorrupt && root == kCache && paths_.move_damaged_cache) {
      // A cache hive too damaged to open is moved aside and built anew.
      MoveCacheAside(nullptr, error);
      ++state.generation;
      if (generation != nullptr) *generation = state.generation;
      opened = RegistryStore::Open(file, journal, &error, &code);
    }
    state.store = std::move(opened);
    if (root == kUser) user_store_.store(state.store.get(), std::memory_order_release);
  }
  state.error = error;
  state.error_code = state.store ? kErrorSuccess : code;
  if (message != nullptr) *message = error;
  return state.store;
}

LONG PosixRegistry::MissingStore(Root root) {
  // A machine-wide store that cannot be opened is an empty, read-only root,
  // as is a store not created for a reader; a damaged one says so.
  MutexLock lock(&roots_[root].mu);
  LONG code = roots_[root].error_code;
  if (code == kErrorRegistryCorrupt || code == kErrorFileNotFound) return code;
  return root == kClasses ? kErrorFileNotFound : kErrorRegistryIoFailed;
}

RegistryStore* PosixRegistry::StoreFor(HKEY root, std::string* message) {
  if (root == kHKeyCurrentUser) return Store(kUser, message).get();
  if (root == kHKeyClassesRoot) return Store(kClasses, message).get();
  if (message != nullptr) *message = "not a predefined root";
  return nullptr;
}

RegistryStore* PosixRegistry::CacheStore(std::string* message) {
  return Store(kCache, message).get();
}

void PosixRegistry::MoveCacheAside(RegistryStore* store, const std::string& what) {
  const std::string& file = paths_.cache_store;
  // One process at a time moves the hive, and only the file it found
  // damaged: another process may have moved it and started a new one.
  int lock = ::open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock >= 0) ::flock(lock, LOCK_EX);
  if (store == nullptr || store->IsFileAt(file)) {
    char stamp[32];
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    std::string aside = file + ".damaged-" + stamp;
    for (int n = 2; ::access(aside.c_str(), F_OK) == 0; ++n)
      aside = file + ".damaged-" + stamp + "-" + std::to_string(n);
    if (::rename(file.c_str(), aside.c_str()) == 0) {
      // The journal goes with the file it belongs to; the shared memory of
      // the old file is dropped (connections still on it keep their mapping).
      (void)::rename((file + "-wal").c_str(), (aside + "-wal").c_str());
      (void)::unlink((file + "-shm").c_str());
      ++moved_aside_;
      std::string report = "the cache store " + file + " was damaged (" + what +
                           "); it was moved to " + aside + " and is rebuilt from the host";
      {
        MutexLock moves(&moves_mu_);
        moves_.push_back(report);
      }
      if (report_damage_) report_damage_(report);
    }
  }
  if (lock >= 0) ::close(lock);  // closing releases the lock
}

LONG PosixRegistry::Noted(HKEY key, Root root, RegistryStore* store, LONG rc) {
  if (rc != kErrorRegistryCorrupt) return rc;
  if (key != nullptr && key != kHKeyCurrentUser && key != kHKeyClassesRoot) {
    MutexLock lock(&handles_mu_);
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(key));
    if (it != handles_.end()) it->second.damaged = true;
  }
  if (root == kCache && store != nullptr && paths_.move_damaged_cache) {
    // The store's own lock is taken before the root's, never inside it: a
    // thread in a batch on the store takes the root's lock to walk.
    const std::string what = store->damage().what;
    RootState& state = roots_[kCache];
    MutexLock lock(&state.mu);
    if (state.store.get() == store) {
      MoveCacheAside(store, what);
      state.store.reset();
      ++state.generation;  // every handle into the old hive is now stale
    }
  }
  return rc;
}

std::string PosixRegistry::DescribeDamage() {
  std::string text;
  auto add = [&](const std::string& line) { text += (text.empty() ? "" : "\n") + line; };
  for (Root root : {kUser, kCache, kClasses}) {
    RootState& state = roots_[root];
    StorePtr store;
    {
      MutexLock lock(&state.mu);
      store = state.store;
      // A store too damaged to open says so in the reason it did not open.
      if (!store && state.error_code == kErrorRegistryCorrupt) add(state.error);
    }
    if (!store) continue;
    StoreDamage damage = store->damage();
    if (!damage.found) continue;
    add(store->path() + " is damaged: " + damage.what);
  }
  MutexLock lock(&moves_mu_);
  for (const std::string& move : moves_) add(move);
  return text;
}

bool PosixRegistry::IsDamaged(HKEY root) {
  if (root != kHKeyCurrentUser && root != kHKeyClassesRoot) return false;
  RootState& state = roots_[root == kHKeyCurrentUser ? kUser : kClasses];
  StorePtr store;
  {
    MutexLock lock(&state.mu);
    if (state.error_code == kErrorRegistryCorrupt) return true;
    store = state.store;
  }
  return store && store->damage().found;
}

}  // namespace zvt::platform
