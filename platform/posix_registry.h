// The registry stand-in: Win32 registry calls and the client's registry
// service over two RegistryStore files, one per predefined root. Key handles
// are entries of a handle table, so a stale or made-up handle is an error and
// never a crash. Safe for concurrent use by several threads.
#ifndef ZVT_PLATFORM_POSIX_REGISTRY_H_
#define ZVT_PLATFORM_POSIX_REGISTRY_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/registry_store.h"
#include "services/registry.h"

namespace zvt::platform {

// Where the client keeps its settings below HKEY_CURRENT_USER; the registry
// service resolves HKEY_CURRENT_USER paths relative to it.
inline constexpr char16_t kClientRegistryRoot[] = u"Software\\VYN\\Tarvo.Network";

struct RegistryPaths {
  std::string user_store;     // HKEY_CURRENT_USER
  std::string classes_store;  // HKEY_CLASSES_ROOT
  std::u16string client_root = kClientRegistryRoot;
};

struct ValueWindow;

class PosixRegistry : public RegistryApi, public RegistryServiceApi {
 public:
  // The stores of the environment: registry.db in the state directory and
  // the machine-wide classes store.
  static RegistryPaths DefaultPaths();

  explicit PosixRegistry(RegistryPaths paths);
  ~PosixRegistry() override;

  LONG RegQueryValueExW(HKEY key, const char16_t* value_name, DWORD* reserved, DWORD* type,
                        BYTE* data, DWORD* data_size) override;
  LONG RegSetValueExW(HKEY key, const char16_t* value_name, DWORD reserved, DWORD type,
                      const BYTE* data, DWORD data_size) override;
  LONG RegEnumKeyExW(HKEY key, DWORD index, char16_t* name, DWORD* name_chars, DWORD* reserved,
                     char16_t* class_name, DWORD* class_chars, FILETIME* last_write) override;
  LONG RegEnumValueW(HKEY key, DWORD index, char16_t* name, DWORD* name_chars, DWORD* reserved,
                     DWORD* type, BYTE* data, DWORD* data_size) override;
  LONG RegDeleteValueW(HKEY key, const char16_t* value_name) override;
  LONG RegCloseKey(HKEY key) override;

  LONG OpenRegKeyEx(HKEY parent, const char16_t* sub_key, DWORD options, REGSAM access,
                    HKEY* result) override;
  LONG CreateRegKeyEx(HKEY parent, const char16_t* sub_key, DWORD reserved, char16_t* class_name,
                      DWORD options, REGSAM access, void* security, HKEY* result,
                      DWORD* disposition) override;
  LONG DeleteRegKey(HKEY parent, const char16_t* sub_key) override;

  // The store behind a predefined root, opened on first use; null when it
  // cannot be opened (then `*message` says why).
  RegistryStore* StoreFor(HKEY root, std::string* message);
  const std::u16string& client_root() const { return paths_.client_root; }
  size_t OpenHandleCount();

 private:
  enum Root { kUser = 0, kClasses = 1 };
  struct OpenKey {
    Root root;
    KeyId id;
    REGSAM access;
    // Enumeration cursors, so that walking indexes 0, 1, 2, ... costs one
    // index seek per call instead of a rescan.
    // A cursor is used only while the store is unchanged since it was set,
    // so indexes keep their meaning when keys are added or deleted between calls.
    DWORD next_subkey_index = 0;
    std::u16string last_subkey_fold;
    std::uint64_t subkey_stamp = 0;
    DWORD next_value_index = 0;
    std::int64_t last_value_id = 0;
    std::uint64_t value_stamp = 0;
    // Values read ahead of the enumeration (see RegEnumValueW); shared by
    // the copies Resolve hands out, guarded by handles_mu_.
    std::shared_ptr<ValueWindow> values_ahead;
  };
  struct RootState {
    std::mutex mu;
    std::unique_ptr<RegistryStore> store;
    std::string error;
  };

  // Resolves a handle; predefined roots have full access.
  LONG Resolve(HKEY key, OpenKey* out, RegistryStore** store);
  RegistryStore* Store(Root root, std::string* message);
  LONG Walk(RegistryStore* store, KeyId from, const std::u16string& path, bool create,
            KeyId* result, bool* created);
  LONG AddHandle(const OpenKey& key, HKEY* result);
  // The value at `index` of an enumeration through `key`, from the values
  // read ahead when they are still good, else from the store.
  LONG EnumeratedValue(HKEY key, const OpenKey& k, RegistryStore* store, DWORD index, ValueRow* row,
                       std::uint64_t* stamp);
  // The parent and path to resolve a registry-service call against.
  LONG ServiceTarget(HKEY parent, const char16_t* sub_key, OpenKey* from, RegistryStore** store,
                     std::u16string* path);

  RegistryPaths paths_;
  RootState roots_[2];
  std::mutex handles_mu_;
  std::unordered_map<std::uintptr_t, OpenKey> handles_;  // guarded by handles_mu_
  std::uintptr_t next_handle_ = 0x1000;                  // guarded by handles_mu_
};

}  // namespace zvt::platform

#endif  // ZVT_PLATFORM_POSIX_REGISTRY_H_
