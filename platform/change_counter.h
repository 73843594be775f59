// A counter of a store's commits that every process of the user sees at the
// cost of one memory read: 8 bytes in a small file beside the store, mapped
// shared. The store counts each of its commits here after the commit, so a
// reader that finds the counter unchanged knows that nothing was committed
// through a store since it last looked. Safe for concurrent use by threads
// and processes.
#ifndef ZVT_PLATFORM_CHANGE_COUNTER_H_
#define ZVT_PLATFORM_CHANGE_COUNTER_H_

#include <cstdint>
#include <memory>
#include <string>

namespace zvt::platform {

class ChangeCounter {
 public:
  // Maps `path` (created 0600 when missing); null when it cannot be mapped.
  static std::unique_ptr<ChangeCounter> Open(const std::string& path);
  ~ChangeCounter();
  ChangeCounter(const ChangeCounter&) = delete;
  ChangeCounter& operator=(const ChangeCounter&) = delete;

  std::uint64_t Load() const;
  void Bump();

 private:
  explicit ChangeCounter(std::uint64_t* word) : word_(word) {}
  std::uint64_t* word_;
};

}  // namespace zvt::platform

#endif  // ZVT_PLATFORM_CHANGE_COUNTER_H_
