// Waiting in tests for something another thread or process brings about.
// The bound only keeps a broken run from hanging; it is far beyond what any
// machine needs, so a slow machine waits longer instead of failing.
#ifndef ZVT_TESTING_WAIT_H_
#define ZVT_TESTING_WAIT_H_

#include <chrono>
#include <thread>

namespace zvt::testing {

// True once `done()` holds; false if it still does not after two minutes.
// `done` is asked again every `every`.
template <typename Condition>
bool WaitUntil(Condition done, std::chrono::milliseconds every = std::chrono::milliseconds(1)) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  while (!done()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(every);
  }
  return true;
}

}  // namespace zvt::testing

#endif  // ZVT_TESTING_WAIT_H_
