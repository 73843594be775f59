// The registry as the library sees it: the Win32 value and enumeration calls,
// and the client's registry service that creates, opens and deletes keys.
// Implementations must be safe to call from any thread.
#ifndef ZVT_SERVICES_REGISTRY_H_
#define ZVT_SERVICES_REGISTRY_H_

#include "services/win_types.h"

namespace zvt {

// The Win32 registry calls, with their argument conventions: value data sizes
// in bytes, name sizes in characters including the terminator, and
// kErrorMoreData when a caller's buffer is too small (the needed data size is
// then stored through the size pointer).
class RegistryApi {
 public:
  virtual ~RegistryApi() = default;

  [[nodiscard]] virtual LONG RegQueryValueExW(HKEY key, const char16_t* value_name, DWORD* reserved,
                                              DWORD* type, BYTE* data, DWORD* data_size) = 0;
  [[nodiscard]] virtual LONG RegSetValueExW(HKEY key, const char16_t* value_name, DWORD reserved,
                                            DWORD type, const BYTE* data, DWORD data_size) = 0;
  [[nodiscard]] virtual LONG RegEnumKeyExW(HKEY key, DWORD index, char16_t* name, DWORD* name_chars,
                                           DWORD* reserved, char16_t* class_name,
                                           DWORD* class_chars, FILETIME* last_write) = 0;
  [[nodiscard]] virtual LONG RegEnumValueW(HKEY key, DWORD index, char16_t* name, DWORD* name_chars,
                                           DWORD* reserved, DWORD* type, BYTE* data,
                                           DWORD* data_size) = 0;
  [[nodiscard]] virtual LONG RegDeleteValueW(HKEY key, const char16_t* value_name) = 0;
  virtual LONG RegCloseKey(HKEY key) = 0;
  // Makes every write made so far, through any key, durable and visible to
  // other processes. A registry may keep writes back until a key that was
  // written is closed or flushed; one that keeps each write at once has
  // nothing to do.
  virtual LONG RegFlushKey(HKEY /*key*/) { return kErrorSuccess; }
};

// The client's registry service. HKEY_CURRENT_USER paths are relative to the
// client's registry root; HKEY_CLASSES_ROOT paths and paths below an open key
// are taken as they are.
class RegistryServiceApi {
 public:
  virtual ~RegistryServiceApi() = default;

  [[nodiscard]] virtual LONG OpenRegKeyEx(HKEY parent, const char16_t* sub_key, DWORD options,
                                          REGSAM access, HKEY* result) = 0;
  // Creates every missing key on the path. `disposition` may be null.
  [[nodiscard]] virtual LONG CreateRegKeyEx(HKEY parent, const char16_t* sub_key, DWORD reserved,
                                            char16_t* class_name, DWORD options, REGSAM access,
                                            void* security, HKEY* result, DWORD* disposition) = 0;
  // Deletes a key that has no subkeys, with its values.
  virtual LONG DeleteRegKey(HKEY parent, const char16_t* sub_key) = 0;

  // A number that changes whenever anything below `root` changes, in this
  // process or another, read without reading the keys: callers that keep
  // what they read can tell when to read again. False when the registry
  // cannot tell (then read again every time).
  virtual bool ChangeCounter(HKEY /*root*/, uint64_t* /*counter*/) { return false; }

  // Holds back the writes this registry groups (those of its cache hive)
  // until the matching ReleaseWrites. Closing a key written in between makes
  // nothing durable early, the reads made in between see the writes, and
  // what was held becomes durable and visible to other processes at once,
  // or is lost whole. Holds nest. RegFlushKey, and a write outside the
  // hive (which is kept after the writes made before it), still commit what
  // was held so far. A registry that keeps each write at once has nothing to
  // do.
  virtual LONG HoldWrites() { return kErrorSuccess; }
  // Ends a hold; the outermost commits what was held and returns what that
  // commit gave.
  virtual LONG ReleaseWrites() { return kErrorSuccess; }
};

}  // namespace zvt

#endif  // ZVT_SERVICES_REGISTRY_H_
