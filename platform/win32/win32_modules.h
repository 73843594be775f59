// Modules on Windows: LoadLibraryW and GetProcAddress themselves, by name
// and by ordinal, and string resources from the module's string table.
#ifndef ZVT_PLATFORM_WIN32_WIN32_MODULES_H_
#define ZVT_PLATFORM_WIN32_WIN32_MODULES_H_

#include "services/modules.h"

namespace zvt::platform {

class Win32Modules : public ModuleApi {
 public:
  // A bare file name is looked for beside the module holding this code
  // first, then where Windows looks.
  HMODULE LoadLibraryW(const char16_t* file_name, LONG* error) override;
  BOOL FreeLibrary(HMODULE module) override;
  void* GetProcAddress(HMODULE module, const char* name) override;
  void* GetProcAddressByOrdinal(HMODULE module, unsigned ordinal) override;
  int LoadStringW(HMODULE module, UINT id, char16_t* buffer, int buffer_chars) override;
  bool PathExists(const char16_t* path) override;
};

}  // namespace zvt::platform

#endif  // ZVT_PLATFORM_WIN32_WIN32_MODULES_H_
