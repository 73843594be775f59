// Module loading and string resources: LoadLibraryW, GetProcAddress by name
// and by ordinal, and LoadStringW over resource libraries.
#ifndef ZVT_SERVICES_MODULES_H_
#define ZVT_SERVICES_MODULES_H_

#include "services/win_types.h"

namespace zvt {

class ModuleApi {
 public:
  virtual ~ModuleApi() = default;

  // A module stays loaded until freed as often as it was loaded. A bare file
  // name is searched for beside the platform library, then the platform's way.
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
};

}  // namespace zvt

#endif  // ZVT_SERVICES_MODULES_H_
