// A move-only owner of an open registry key that closes it on every exit path.
#ifndef ZVT_SERVICES_SCOPED_KEY_H_
#define ZVT_SERVICES_SCOPED_KEY_H_

#include <utility>

#include "services/registry.h"

namespace zvt {

class ScopedKey {
 public:
  explicit ScopedKey(RegistryApi* registry, HKEY key = nullptr) : registry_(registry), key_(key) {}
  ~ScopedKey() { Reset(); }
  ScopedKey(ScopedKey&& other) noexcept
      : registry_(other.registry_), key_(std::exchange(other.key_, nullptr)) {}
  ScopedKey& operator=(ScopedKey&& other) noexcept {
    if (this != &other) {
      Reset();
      registry_ = other.registry_;
      key_ = std::exchange(other.key_, nullptr);
    }
    return *this;
  }
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;

  HKEY get() const { return key_; }
  // For out-parameters: closes any held key and returns the slot to fill.
  HKEY* Receive() {
    Reset();
    return &key_;
  }
  HKEY Release() { return std::exchange(key_, nullptr); }
  void Reset() {
    if (key_ != nullptr) registry_->RegCloseKey(std::exchange(key_, nullptr));
  }
  explicit operator bool() const { return key_ != nullptr; }

 private:
  RegistryApi* registry_;
  HKEY key_;
};

}  // namespace zvt

#endif  // ZVT_SERVICES_SCOPED_KEY_H_
