// Module loading and string resources: LoadLibraryW, GetProcAddress by name
// and by ordinal, LoadStringW over resource libraries, and the existence test
// of the files and directories that libraries are looked for in.
#ifndef ZVT_SERVICES_MODULES_H_
#define ZVT_SERVICES_MODULES_H_

#include "services/win_types.h"

namespace zvt {

class ModuleApi {
 public:
  virtual ~ModuleApi() = default;

  // A module stays loaded until freed as often as it was loaded. A bare file
  // name is searched for beside the platform library, then the platform's way.
  // A path whose letter case differs from the file's is found as well, as
  // file names compare ignoring case where these libraries come from.
  // On failure returns null and `*error` (if given) holds kErrorModNotFound.
  [[nodiscard]] virtual HMODULE LoadLibraryW(const char16_t* file_name, LONG* error) = 0;
  virtual BOOL FreeLibrary(HMODULE module) = 0;
  [[nodiscard]] virtual void* GetProcAddress(HMODULE module, const char* name) = 0;
  [[nodiscard]] virtual void* GetProcAddressByOrdinal(HMODULE module, unsigned ordinal) = 0;

  // Copies string resource `id` of `module`, truncated to `buffer_chars` - 1
  // characters and terminated. Returns the characters copied, 0 when the
  // module has no such string.
  [[nodiscard]] virtual int LoadStringW(HMODULE module, UINT id, char16_t* buffer,
                                        int buffer_chars) = 0;

  // True when a file or a directory exists at `path`. File names compare
  // as the platform's file system compares them for library lookup.
  [[nodiscard]] virtual bool PathExists(const char16_t* path) = 0;
};

}  // namespace zvt

#endif  // ZVT_SERVICES_MODULES_H_
