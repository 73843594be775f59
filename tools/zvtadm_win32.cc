// zvtadm on Windows: the system's registry, its named mutexes, and the
// library loaded from beside zvtadm.exe.
#include <io.h>
#include <stdio.h>
#include <windows.h>

#include "platform/utf.h"
#include "platform/win32/win32_sync.h"
#include "tools/zvtadm_command.h"

namespace zvt::tools {
namespace {

// The directory of zvtadm.exe, with its final backslash.
std::wstring ProgramDirectory() {
  wchar_t file[MAX_PATH];
  ::DWORD n = GetModuleFileNameW(nullptr, file, MAX_PATH);
  if (n == 0 || n == MAX_PATH) return L".\\";
  std::wstring path(file, n);
  return path.substr(0, path.find_last_of(L"\\/") + 1);
}

}  // namespace

ToolRegistry* CommandContext::registry() {
  if (!registry_) registry_ = std::make_unique<ToolRegistry>();
  return registry_.get();
}

std::string CommandContext::WithConfigurationStoreProblem(const std::string& error) {
  return error;
}

// The system's registry keeps no damage report of ours.
bool CommandContext::ReportDamage() const { return false; }

void CheckStoreFiles(CommandContext*, std::vector<Finding>*) {}

std::unique_ptr<SyncApi> ToolSync() { return std::make_unique<platform::Win32Sync>(); }

// Windows does not tell which process owns a mutex.
std::string CacheMutexHolders() { return std::string(); }

std::string AbsolutePath(const std::string& path) {
  const std::u16string wide = platform::U16(path);
  wchar_t full[MAX_PATH];
  ::DWORD n = GetFullPathNameW(reinterpret_cast<LPCWSTR>(wide.c_str()), MAX_PATH, full, nullptr);
  if (n == 0 || n >= MAX_PATH) return path;
  return platform::Utf16ToUtf8(std::u16string(full, full + n));
}

bool LoadLibraryExports(LibraryExports* exports, std::string* error) {
  const std::wstring path = ProgramDirectory() + L"zvtappad.dll";
  ::HMODULE library = LoadLibraryW(path.c_str());
  if (library == nullptr) {
    *error = "cannot load the library zvtappad.dll beside zvtadm.exe (error " +
             std::to_string(GetLastError()) + ")";
    return false;
  }
  exports->value = reinterpret_cast<decltype(exports->value)>(
      reinterpret_cast<void*>(GetProcAddress(library, "zvtUN_GetAdminValue")));
  exports->value_ex = reinterpret_cast<decltype(exports->value_ex)>(
      reinterpret_cast<void*>(GetProcAddress(library, "zvtUN_GetAdminValueEx")));
  exports->state_ex = reinterpret_cast<decltype(exports->state_ex)>(
      reinterpret_cast<void*>(GetProcAddress(library, "zvtUN_GetAdminCacheStateEx")));
  if (exports->value != nullptr && exports->value_ex != nullptr && exports->state_ex != nullptr)
    return true;
  *error = "zvtappad.dll lacks an export zvtadm needs";
  return false;
}

// Host stores are the host's, on its own machine.
void PrintHostProfiles(const std::string&) {}

bool OutputIsTerminal() { return _isatty(_fileno(stdout)) != 0; }
bool ErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

}  // namespace zvt::tools
