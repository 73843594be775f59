// Where the stand-ins keep their files: the per-user state directory (the
// user's registry store, logs), the per-user runtime directory (named mutex
// lock files) and the machine-wide registry store. Thread-safe.
#ifndef ZVT_PLATFORM_PATHS_H_
#define ZVT_PLATFORM_PATHS_H_

#include <string>

namespace zvt::platform {

// $ZVT_HOME, else ${XDG_DATA_HOME:-$HOME/.local/share}/zvt.
std::string StateDirectoryPath();
// The machine-wide store: $ZVT_CLASSES_DB, else classes.db in the machine-wide
// state directory the build chose (/var/lib/zvt for a system install,
// var/lib/zvt below any other installation prefix).
std::string ClassesStorePath();
// ${XDG_RUNTIME_DIR}/zvt, else /tmp/zvt-$UID.
std::string RuntimeDirectoryPath();

// Creates `path` and missing parents with mode 0700. Fails when the final
// directory is not a directory owned by the calling user, or when it is open
// to other users (for a directory this call did not create: group or other
// write permission). On failure returns false with a message naming the path.
bool EnsurePrivateDirectory(const std::string& path, std::string* message);
// The same, then the directory opened (a descriptor to close, or -1 with a
// message): the checks hold for the directory opened, not one put at the
// path since.
int OpenPrivateDirectory(const std::string& path, std::string* message);
bool EnsureDirectory(const std::string& path, std::string* message);

// True when `directory` lies on a network file system (NFS, SMB/CIFS, AFS,
// 9P), where the store's shared-memory locking is not reliable.
bool IsOnNetworkFileSystem(const std::string& directory, std::string* fs_name);

// The directory part of `path`, accepting both "/" and "\" as separators.
std::string DirectoryOf(const std::string& path);
// Directory of libzvtclient, which holds the stand-ins, ending in "/": the
// loaded libzvtclient's when the process has one in its global scope (a
// program that links these parts as well), else that of the object that
// holds this code.
std::string PlatformLibraryDirectory();
// The private directory of the modules loaded by bare file name (resource
// libraries, zvtshare.dll): zvtappad/ in the library directory, ending in "/".
std::string ModuleDirectory();
// The client's install directory as its installer registered it, ending in
// a separator; "" where none is registered (always on POSIX systems, whose
// packages put the modules where ModuleDirectory finds them).
std::string RegisteredInstallDirectory();

}  // namespace zvt::platform

#endif  // ZVT_PLATFORM_PATHS_H_
