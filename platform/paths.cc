// Directory resolution and checks for the stand-ins' files.
#include "platform/paths.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace zvt::platform {
namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return (v != nullptr && *v != '\0') ? std::string(v) : std::string();
}

}  // namespace

std::string StateDirectoryPath() {
  std::string home = Env("ZVT_HOME");
  if (!home.empty()) return home;
  std::string data = Env("XDG_DATA_HOME");
  if (data.empty()) {
    std::string user_home = Env("HOME");
    if (user_home.empty()) user_home = "/tmp/zvt-home-" + std::to_string(getuid());
    data = user_home + "/.local/share";
  }
  return data + "/zvt";
}

std::string RuntimeDirectoryPath() {
  std::string runtime = Env("XDG_RUNTIME_DIR");
  if (!runtime.empty()) return runtime + "/zvt";
  return "/tmp/zvt-" + std::to_string(getuid());
}

#ifndef ZVT_MACHINE_STATE_DIR
#define ZVT_MACHINE_STATE_DIR "../var/lib/zvt"
#endif

std::string ClassesStorePath() {
  std::string path = Env("ZVT_CLASSES_DB");
  if (!path.empty()) return path;
  // The build gives the directory either absolute or relative to the
  // directory this library is installed in.
  std::string dir = ZVT_MACHINE_STATE_DIR;
  if (dir.empty() || dir.front() != '/') dir = PlatformLibraryDirectory() + dir;
  return dir + "/classes.db";
}

std::string ModuleDirectory() { return PlatformLibraryDirectory() + "zvtappad/"; }

std::string RegisteredInstallDirectory() { return std::string(); }

std::string DirectoryOf(const std::string& path) {
  size_t cut = path.find_last_of("/\\");
  if (cut == std::string::npos) return ".";
  if (cut == 0) return "/";
  return path.substr(0, cut);
}

std::string PlatformLibraryDirectory() {
  // Programs and tests link these parts as well as libzvtclient; its files
  // (the modules, the machine store) are found beside the library.
  void* anchor = dlsym(RTLD_DEFAULT, "zvtsvc_GetSystemHandle");
  if (anchor == nullptr) anchor = reinterpret_cast<void*>(&PlatformLibraryDirectory);
  Dl_info info{};
  if (dladdr(anchor, &info) == 0 || info.dli_fname == nullptr) return "./";
  char resolved[PATH_MAX];
  std::string file = realpath(info.dli_fname, resolved) != nullptr ? resolved : info.dli_fname;
  return DirectoryOf(file) + "/";
}

static bool MakeDirectories(const std::string& path, mode_t mode, bool* created_last,
                            std::string* message) {
  *created_last = false;
  std::string partial;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t next = path.find('/', pos);
    if (next == std::string::npos) next = path.size();
    partial = path.substr(0, next);
    pos = next + 1;
    if (partial.empty()) continue;
    if (mkdir(partial.c_str(), mode) == 0) {
      *created_last = (next == path.size());
    } else if (errno != EEXIST) {
      *message = "cannot create directory " + partial + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

bool EnsureDirectory(const std::string& path, std::string* message) {
  bool created;
  if (!MakeDirectories(path, 0755, &created, message)) return false;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *message = path + " is not a directory";
    return false;
  }
  return true;
}

namespace {

// Whether the directory `st` describes (found at `path`) is the caller's
// own and closed to other writers; false with a message if not.
bool IsPrivateDirectory(const struct stat& st, const std::string& path, std::string* message) {
  if (!S_ISDIR(st.st_mode)) {
    *message = path + " is not a directory";
    return false;
  }
  if (st.st_uid != geteuid()) {
    *message = path + " belongs to another user";
    return false;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    *message = path + " is writable by other users";
    return false;
  }
  return true;
}

}  // namespace

bool EnsurePrivateDirectory(const std::string& path, std::string* message) {
  bool created;
  if (!MakeDirectories(path, 0700, &created, message)) return false;
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    *message = path + " is not a directory";
    return false;
  }
  return IsPrivateDirectory(st, path, message);
}

int OpenPrivateDirectory(const std::string& path, std::string* message) {
  if (!EnsurePrivateDirectory(path, message)) return -1;
  const int dir = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  if (dir < 0) {
    *message = path + ": " + std::strerror(errno);
    return -1;
  }
  struct stat st {};
  if (fstat(dir, &st) != 0 || !IsPrivateDirectory(st, path, message)) {
    if (message->empty()) *message = path + " is not a directory";
    close(dir);
    return -1;
  }
  return dir;
}

bool IsOnNetworkFileSystem(const std::string& directory, std::string* fs_name) {
  struct statfs fs {};
  if (statfs(directory.c_str(), &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x6969:
      *fs_name = "NFS";
      return true;
    case 0x517B:
      *fs_name = "SMB";
      return true;
    case 0xFF534D42:
      *fs_name = "CIFS";
      return true;
    case 0xFE534D42:
      *fs_name = "SMB2";
      return true;
    case 0x5346414F:
      *fs_name = "AFS";
      return true;
    case 0x01021997:
      *fs_name = "9P";
      return true;
    default:
      return false;
  }
}

}  // namespace zvt::platform
