// zvtadm on POSIX systems: the client's registry stores and their files, the
// named mutexes' lock files, the library loaded with dlopen.
#include <dirent.h>
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iostream>

#include "cache/registry_layout.h"
#include "client/message_log.h"
#include "hostd/host_store.h"
#include "platform/paths.h"
#include "platform/posix_sync.h"
#include "platform/registry_store.h"
#include "tools/zvtadm_command.h"

namespace zvt::tools {

ToolRegistry* CommandContext::registry() {
  if (!registry_) {
    platform::RegistryPaths paths = platform::PosixRegistry::DefaultPaths();
    paths.create_missing = !read_only;
    // Commands that only look leave a damaged cache file where it is;
    // the others move it aside as the library does, and say so in the
    // message log.
    paths.move_damaged_cache = !read_only;
    registry_ = std::make_unique<ToolRegistry>(paths);
    if (!read_only)
      registry_->SetDamageReporter([](const std::string& text) {
        client::MessageLog().Append(3, "zvtadm", "registry", text);
      });
  }
  return registry_.get();
}

std::string CommandContext::WithConfigurationStoreProblem(const std::string& error) {
  std::string why;
  (void)registry()->StoreFor(kHKeyCurrentUser, &why);
  return error + (why.empty() ? "" : ": " + why);
}

bool CommandContext::ReportDamage() const {
  if (!registry_) return false;
  std::string damage = registry_->DescribeDamage();
  if (damage.empty()) return false;
  for (size_t start = 0; start < damage.size();) {
    size_t end = damage.find('\n', start);
    if (end == std::string::npos) end = damage.size();
    std::cerr << "zvtadm: " << damage.substr(start, end - start) << "\n";
    start = end + 1;
  }
  if (!registry_->IsDamaged(kHKeyCurrentUser)) return false;
  const std::string& config = registry_->paths().user_store;
  std::cerr << "zvtadm: the client's configuration in " << config
            << " is damaged; it is left as it is. To restore it: save what can still be read "
               "with `zvtadm reg export HKEY_CURRENT_USER saved.reg`, move "
            << config
            << " away, and load the saved keys into a new store with "
               "`zvtadm reg import saved.reg`\n";
  return true;
}

namespace {

bool Exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

// Checks one store file without creating it and without moving it.
void CheckStore(const std::string& path, platform::RegistryStore::Journal journal,
                const std::string& what, const std::string& todo, std::vector<Finding>* findings) {
  if (!Exists(path)) return;
  std::string message;
  auto store = platform::RegistryStore::Open(path, journal, &message);
  std::string report;
  if (!store) {
    findings->push_back({what + " " + path + " cannot be opened: " + message, todo});
  } else if (!store->CheckIntegrity(&report)) {
    findings->push_back({what + " " + path + " is damaged: " + report, todo});
  }
}

// The processes that have `path` open, by their /proc entries.
std::vector<std::string> Holders(const std::string& path) {
  std::vector<std::string> pids;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return pids;
  while (dirent* entry = ::readdir(proc)) {
    std::string pid = entry->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string fds = "/proc/" + pid + "/fd";
    DIR* dir = ::opendir(fds.c_str());
    if (dir == nullptr) continue;
    while (dirent* fd = ::readdir(dir)) {
      char target[PATH_MAX];
      ssize_t n = ::readlink((fds + "/" + fd->d_name).c_str(), target, sizeof target - 1);
      if (n > 0 && std::string(target, static_cast<size_t>(n)) == path) {
        pids.push_back(pid);
        break;
      }
    }
    ::closedir(dir);
  }
  ::closedir(proc);
  return pids;
}

}  // namespace

void CheckStoreFiles(CommandContext* context, std::vector<Finding>* found) {
  const platform::RegistryPaths& paths = context->registry()->paths();
  CheckStore(paths.user_store, platform::RegistryStore::Journal::kWal, "the client's configuration",
             "save what can be read with `zvtadm reg export HKEY_CURRENT_USER saved.reg`, move "
             "the file away, and `zvtadm reg import saved.reg` into a new one",
             found);
  CheckStore(paths.cache_store, platform::RegistryStore::Journal::kWalMovable, "the cache store",
             "zvtadm cache clear (the next query also moves the file aside and rebuilds the "
             "cache from the host)",
             found);
}

std::unique_ptr<SyncApi> ToolSync() {
  return std::make_unique<platform::PosixSync>(platform::RuntimeDirectoryPath());
}

std::string CacheMutexHolders() {
  platform::PosixSync sync(platform::RuntimeDirectoryPath());
  std::string holders;
  for (const std::string& pid : Holders(sync.LockFilePath(kRegCacheMutexName))) {
    if (pid == std::to_string(::getpid())) continue;
    std::ifstream comm("/proc/" + pid + "/comm");
    std::string name;
    std::getline(comm, name);
    holders += (holders.empty() ? "" : ", ") + pid + (name.empty() ? "" : " (" + name + ")");
  }
  return holders;
}

std::string AbsolutePath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

bool LoadLibraryExports(LibraryExports* exports, std::string* error) {
  // Beside the platform library, as installed and as built; by full path,
  // since a loader that intercepts dlopen (a sanitizer's) searches no
  // run path of ours.
  const std::string path = platform::PlatformLibraryDirectory() + "libzvtappad.so.0";
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library != nullptr) {
    exports->value =
        reinterpret_cast<decltype(exports->value)>(dlsym(library, "zvtUN_GetAdminValue"));
    exports->value_ex =
        reinterpret_cast<decltype(exports->value_ex)>(dlsym(library, "zvtUN_GetAdminValueEx"));
    exports->state_ex =
        reinterpret_cast<decltype(exports->state_ex)>(dlsym(library, "zvtUN_GetAdminCacheStateEx"));
  }
  if (exports->value != nullptr && exports->value_ex != nullptr && exports->state_ex != nullptr)
    return true;
  const char* why = dlerror();
  *error = std::string("cannot load the library libzvtappad: ") +
           (why != nullptr ? why : "an export is missing");
  return false;
}

void PrintHostProfiles(const std::string& store) {
  // A SQLite file that is not there is not made by completing.
  if (!hostd::HostStore::IsPostgresLocation(store) && access(store.c_str(), R_OK) != 0) return;
  std::string error;
  hostd::StoreOptions options;
  options.connections = 1;
  std::unique_ptr<hostd::HostStore> host = hostd::HostStore::Open(store, options, &error);
  std::vector<std::string> profiles;
  if (host && host->ListProfiles(&profiles, &error))
    for (const std::string& p : profiles) std::cout << p << "\n";
}

bool OutputIsTerminal() { return isatty(STDOUT_FILENO) != 0; }
bool ErrorIsTerminal() { return isatty(STDERR_FILENO) != 0; }

}  // namespace zvt::tools
