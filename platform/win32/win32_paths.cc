// Where the stand-ins keep their files on Windows: the per-user state
// directory under the local application data folder. Paths are UTF-8 here
// and are widened for every Win32 call. The folder is the user's own by the
// profile's access control, so no ownership check is made on top.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "platform/paths.h"
#include "platform/utf.h"

namespace zvt::platform {
namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return (v != nullptr && *v != '\0') ? std::string(v) : std::string();
}

std::wstring Wide(const std::string& utf8) {
  std::u16string wide = U16(utf8);
  return std::wstring(wide.begin(), wide.end());
}

bool MakeDirectories(const std::string& path, std::string* message) {
  for (size_t pos = 0; pos <= path.size();) {
    size_t next = path.find_first_of("\\/", pos);
    if (next == std::string::npos) next = path.size();
    const std::string partial = path.substr(0, next);
    pos = next + 1;
    // Skip the drive ("C:") and empty parts of a UNC prefix.
    if (partial.empty() || partial.back() == ':' || partial == "\\" || partial == "\\\\") continue;
    if (!CreateDirectoryW(Wide(partial).c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
      *message = "cannot create directory " + partial + ": error " + std::to_string(GetLastError());
      return false;
    }
  }
  const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    *message = path + " is not a directory";
    return false;
  }
  return true;
}

}  // namespace

std::string StateDirectoryPath() {
  std::string home = Env("ZVT_HOME");
  if (!home.empty()) return home;
  std::string local = Env("LOCALAPPDATA");
  if (local.empty()) local = Env("TEMP");
  return local + "\\zvt";
}

// Named mutexes are kernel objects here; the directory only holds files.
std::string RuntimeDirectoryPath() { return StateDirectoryPath() + "\\run"; }

// The machine-wide registry is the real one; no store file stands for it.
std::string ClassesStorePath() { return Env("ZVT_CLASSES_DB"); }

std::string DirectoryOf(const std::string& path) {
  size_t cut = path.find_last_of("/\\");
  if (cut == std::string::npos) return ".";
  if (cut == 0) return path.substr(0, 1);
  return path.substr(0, cut);
}

std::string PlatformLibraryDirectory() {
  HMODULE self = nullptr;
  wchar_t file[MAX_PATH];
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&PlatformLibraryDirectory), &self))
    return ".\\";
  DWORD n = GetModuleFileNameW(self, file, MAX_PATH);
  if (n == 0 || n == MAX_PATH) return ".\\";
  return DirectoryOf(Utf16ToUtf8(std::u16string(file, file + n))) + "\\";
}

// Windows loads modules from the application's own directory: the client's
// modules sit beside its libraries.
std::string ModuleDirectory() { return PlatformLibraryDirectory(); }

std::string RegisteredInstallDirectory() {
  // Written by the installer, per machine; a 32-bit module on 64-bit Windows
  // reads the 32-bit view, where the 32-bit installer wrote it.
  wchar_t path[MAX_PATH + 1];
  DWORD size = sizeof path - sizeof path[0];
  if (RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\VYN\\Tarvo.Network", L"InstallPath",
                   RRF_RT_REG_SZ, nullptr, path, &size) != ERROR_SUCCESS)
    return std::string();
  std::string dir = Utf16ToUtf8(std::u16string(path, path + size / sizeof path[0]));
  while (!dir.empty() && dir.back() == '\0') dir.pop_back();
  if (!dir.empty() && dir.back() != '\\' && dir.back() != '/') dir.push_back('\\');
  return dir;
}

bool EnsureDirectory(const std::string& path, std::string* message) {
  return MakeDirectories(path, message);
}

bool EnsurePrivateDirectory(const std::string& path, std::string* message) {
  return MakeDirectories(path, message);
}

bool IsOnNetworkFileSystem(const std::string& directory, std::string* fs_name) {
  if (directory.rfind("\\\\", 0) == 0 || directory.rfind("//", 0) == 0) {
    *fs_name = "a network share";
    return true;
  }
  if (directory.size() >= 2 && directory[1] == ':') {
    const std::wstring root = Wide(directory.substr(0, 2) + "\\");
    if (GetDriveTypeW(root.c_str()) == DRIVE_REMOTE) {
      *fs_name = "a network drive";
      return true;
    }
  }
  return false;
}

}  // namespace zvt::platform
