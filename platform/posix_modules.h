// LoadLibraryW and friends over dlopen. Modules are reference-counted by the
// dynamic loader. Symbols and tables are looked up in the module itself, never
// in the libraries it depends on. Thread-safe.
#ifndef ZVT_PLATFORM_POSIX_MODULES_H_
#define ZVT_PLATFORM_POSIX_MODULES_H_

#include <string>

#include "services/modules.h"

namespace zvt::platform {

class PosixModules : public ModuleApi {
 public:
  HMODULE LoadLibraryW(const char16_t* file_name, LONG* error) override;
  BOOL FreeLibrary(HMODULE module) override;
  void* GetProcAddress(HMODULE module, const char* name) override;
  void* GetProcAddressByOrdinal(HMODULE module, unsigned ordinal) override;
  int LoadStringW(HMODULE module, UINT id, char16_t* buffer, int buffer_chars) override;
  bool PathExists(const char16_t* path) override;

 private:
  // dlsym restricted to `module`'s own definitions.
  void* OwnSymbol(HMODULE module, const char* name);
};

}  // namespace zvt::platform

#endif  // ZVT_PLATFORM_POSIX_MODULES_H_
