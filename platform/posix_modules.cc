// Module loading, ordinal lookup and string resources.
#include "platform/posix_modules.h"

#include <dirent.h>
#include <dlfcn.h>
#include <link.h>
#include <strings.h>
#include <sys/stat.h>

#include <cstring>

#include "platform/paths.h"
#include "platform/resource_table.h"
#include "platform/utf.h"

namespace zvt::platform {
namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// The entry of `directory` whose name equals `name` ignoring ASCII letter
// case, or empty.
std::string FindIgnoringCase(const std::string& directory, const std::string& name) {
  DIR* d = opendir(directory.empty() ? "." : directory.c_str());
  if (d == nullptr) return std::string();
  std::string found;
  while (struct dirent* e = readdir(d)) {
    if (strcasecmp(e->d_name, name.c_str()) == 0) {
      found = e->d_name;
      break;
    }
  }
  closedir(d);
  return found;
}

// `path` as it exists on disk when it exists exactly or differs from an
// existing path only in letter case; otherwise `path` unchanged.
std::string ResolveIgnoringCase(const std::string& path) {
  if (path.empty() || Exists(path)) return path;
  std::string resolved = path[0] == '/' ? "/" : "";
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    start = end + 1;
    if (part.empty()) continue;
    std::string candidate = resolved + part;
    if (!Exists(candidate)) {
      std::string entry = FindIgnoringCase(resolved, part);
      if (entry.empty()) return path;
      candidate = resolved + entry;
    }
    resolved = candidate;
    if (end < path.size()) resolved.push_back('/');
  }
  return resolved;
}

std::string SlashPath(const char16_t* file_name) {
  std::string path = Utf16ToUtf8(file_name);
  for (char& c : path)
    if (c == '\\') c = '/';
  return path;
}

}  // namespace

HMODULE PosixModules::LoadLibraryW(const char16_t* file_name, LONG* error) {
  auto fail = [error](LONG code) -> HMODULE {
    if (error != nullptr) *error = code;
    return nullptr;
  };
  if (file_name == nullptr || *file_name == u'\0') return fail(kErrorInvalidParameter);
  std::string path = SlashPath(file_name);
  void* handle = nullptr;
  if (path.find('/') == std::string::npos) {
    // A bare name: in the client's module directory first, as Windows looks
    // in the application's directory first, then the loader's search path.
    std::string beside = ResolveIgnoringCase(ModuleDirectory() + path);
    handle = dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  } else {
    handle = dlopen(ResolveIgnoringCase(path).c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  if (handle == nullptr) return fail(kErrorModNotFound);
  if (error != nullptr) *error = kErrorSuccess;
  return reinterpret_cast<HMODULE>(handle);
}

BOOL PosixModules::FreeLibrary(HMODULE module) {
  return module != nullptr && dlclose(reinterpret_cast<void*>(module)) == 0;
}

void* PosixModules::OwnSymbol(HMODULE module, const char* name) {
  if (module == nullptr || name == nullptr) return nullptr;
  void* handle = reinterpret_cast<void*>(module);
  void* symbol = dlsym(handle, name);
  if (symbol == nullptr) return nullptr;
  link_map* map = nullptr;
  Dl_info info{};
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || dladdr(symbol, &info) == 0)
    return nullptr;
  bool same_base = info.dli_fbase == reinterpret_cast<void*>(map->l_addr);
  bool same_file = info.dli_fname != nullptr && map->l_name != nullptr &&
                   std::strcmp(info.dli_fname, map->l_name) == 0;
  return (same_base || same_file) ? symbol : nullptr;
}

void* PosixModules::GetProcAddress(HMODULE module, const char* name) {
  return OwnSymbol(module, name);
}

void* PosixModules::GetProcAddressByOrdinal(HMODULE module, unsigned ordinal) {
  if (ordinal == 0 || ordinal > 0xFFFF) return nullptr;
  auto* table = static_cast<const ZvtOrdinalEntry*>(OwnSymbol(module, ZVT_ORDINAL_TABLE_SYMBOL));
  if (table == nullptr) return nullptr;
  for (; table->ordinal != 0; ++table) {
    if (table->ordinal == ordinal) return reinterpret_cast<void*>(table->function);
  }
  return nullptr;
}

int PosixModules::LoadStringW(HMODULE module, UINT id, char16_t* buffer, int buffer_chars) {
  if (buffer == nullptr || buffer_chars <= 0) return 0;
  buffer[0] = u'\0';
  auto* table = static_cast<const ZvtStringEntry*>(OwnSymbol(module, ZVT_STRING_TABLE_SYMBOL));
  if (table == nullptr) return 0;
  for (; table->id != 0; ++table) {
    if (table->id != id) continue;
    size_t len = std::char_traits<char16_t>::length(table->text);
    size_t n = len < static_cast<size_t>(buffer_chars - 1) ? len : buffer_chars - 1;
    std::memcpy(buffer, table->text, n * sizeof(char16_t));
    buffer[n] = u'\0';
    return static_cast<int>(n);
  }
  return 0;
}

bool PosixModules::PathExists(const char16_t* path) {
  if (path == nullptr || *path == u'\0') return false;
  return Exists(ResolveIgnoringCase(SlashPath(path)));
}

}  // namespace zvt::platform
