// The client's install directory and its sibling install directories, as
// the library's resource-library lookup walks them.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "client/client_services.h"
#include "platform/paths.h"
#include "platform/utf.h"

namespace zvt::client {
namespace {

using platform::U16;

constexpr size_t kMaxInstallDirName = 15;  // 16 characters with the terminator

}  // namespace

std::string ClientServices::InstallDirectory() {
  std::string dir = install_directory_;
  if (dir.empty()) {
    // The environment's, else the one the installer registered, else the
    // directory the client's modules were loaded from.
    const char* env = std::getenv("ZVT_INSTALL_DIR");
    dir = env != nullptr && *env != '\0' ? env : platform::RegisteredInstallDirectory();
    if (dir.empty()) dir = platform::ModuleDirectory();
  }
  if (!dir.empty() && dir.back() != '/' && dir.back() != '\\') dir.push_back('/');
  return dir;
}

uint32_t ClientServices::GetInstallPath(uint32_t, char16_t* buffer, uint32_t chars,
                                        uint32_t* length, uint32_t) {
  std::string dir = InstallDirectory();
  if (dir.empty()) return kClientNoInstallDir;
  std::u16string wide = U16(dir);
  uint32_t rc = CopyOut(wide, buffer, chars * sizeof(char16_t));
  if (rc == kClientOk && length != nullptr) *length = static_cast<uint32_t>(wide.size());
  return rc;
}

std::vector<std::string> ClientServices::InstallSiblings() {
  std::vector<std::string> names;
  std::string dir = InstallDirectory();
  if (dir.size() < 2) return names;
  std::string parent = platform::DirectoryOf(dir.substr(0, dir.size() - 1));
  if (parent.empty()) parent = "/";
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(parent, error)) {
    std::string name = entry.path().filename().string();
    std::error_code not_a_directory;
    if (name.size() <= kMaxInstallDirName && entry.is_directory(not_a_directory))
      names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

uint32_t ClientServices::FindFirstInstallDir(uint32_t, char16_t* buffer, uint32_t chars,
                                             uint32_t* length, uint64_t* cursor, uint32_t) {
  if (cursor == nullptr) return kClientBadParameter;
  *cursor = 0;
  return FindNextInstallDir(buffer, chars, length, cursor, 0);
}

uint32_t ClientServices::FindNextInstallDir(char16_t* buffer, uint32_t chars, uint32_t* length,
                                            uint64_t* cursor, uint32_t) {
  if (cursor == nullptr || buffer == nullptr) return kClientBadParameter;
  std::vector<std::string> names = InstallSiblings();
  if (*cursor >= names.size()) return kClientNoInstallDir;
  std::u16string name = U16(names[*cursor]);
  uint32_t rc = CopyOut(name, buffer, chars * sizeof(char16_t));
  if (rc != kClientOk) return rc;
  if (length != nullptr) *length = static_cast<uint32_t>(name.size());
  ++*cursor;
  return kClientOk;
}

}  // namespace zvt::client
