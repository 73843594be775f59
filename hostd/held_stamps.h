// Change timestamps read from the host store, held in memory so that the
// calls asking for them again are answered without the store, and dropped
// all at once whenever the store may have moved one; and pages of the
// lists the programs answer with, each held under the timestamps that were
// current when it was read, so that a page is found only while they still
// are. One holder serves the store objects of a process (the workers' and
// the event loops'), so that what one of them read answers the others.
#ifndef ZVT_HOSTD_HELD_STAMPS_H_
#define ZVT_HOSTD_HELD_STAMPS_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "hostd/host_store.h"
#include "services/mutex.h"

namespace zvt::hostd {

// One page of a list as a program answers it: its entries, packed as a
// reply carries them, how many there are, and where it stands in the list.
struct HeldPage {
  // Shared with the replies that send it, which need no copy of their own.
  std::shared_ptr<const std::string> entries;
  uint64_t count = 0;
  ListPage where;
};

class HeldStamps {
 public:
  using Clock = std::chrono::steady_clock;

  // `holding`: whether the holder starts out holding (it may be told of
  // changes from the first) or waits for SetHolding.
  explicit HeldStamps(bool holding = true) : holding_(holding) {}
  HeldStamps(const HeldStamps&) = delete;
  HeldStamps& operator=(const HeldStamps&) = delete;

  // Where the holder stands: taken before a read of the store, so that what
  // the read finds is kept only if nothing was dropped meanwhile.
  uint64_t Epoch() const;
  // The profile's stamps as last kept; false when none are held.
  bool Find(const std::string& profile, Timestamps* stamps, bool* known) const;
  // Keeps what a read begun at `epoch` found, unless the holder dropped
  // everything since (a change it was told of may have come after the read).
  void Keep(uint64_t epoch, const std::string& profile, const Timestamps& stamps, bool known);
  // Forgets everything held: a stamp may have moved.
  void Drop();
  // While not holding (nothing can tell the holder of changes) nothing is
  // found or kept; both ways everything held before is dropped.
  void SetHolding(bool holding);
  bool holding() const;
  // Drops everything when `marker` (a count of commits) is not the one the
  // held stamps were read under, or when they were read longer than `trust`
  // ago: for a store that learns of other writers only by such a count and
  // of writers that do not count only with time.
  void DropIfMoved(uint64_t marker, Clock::time_point now, Clock::duration trust);
  // A page kept under `key` (which names the timestamps it was read under
  // as well as the list and the page); false when none is.
  bool FindPage(const std::string& key, HeldPage* page) const;
  // Keeps a page read since `epoch`, unless the holder dropped everything
  // since. Pages are not dropped with the timestamps: one whose timestamps
  // moved is never asked for again, and they go when their bytes pass the
  // budget.
  void KeepPage(uint64_t epoch, const std::string& key, HeldPage page);

 private:
  struct Held {
    Timestamps stamps;
    bool known = false;
  };
  // More profiles than this are not held: the next read drops them all.
  static constexpr size_t kMaxHeld = size_t{1} << 16;
  // Pages of more bytes than this are not held: the next one drops them all.
  static constexpr size_t kPageBudget = size_t{64} << 20;

  void DropLocked() ZVT_REQUIRES(mu_);

  mutable Mutex mu_;
  uint64_t epoch_ ZVT_GUARDED_BY(mu_) = 0;
  bool holding_ ZVT_GUARDED_BY(mu_);
  uint64_t marker_ ZVT_GUARDED_BY(mu_) = 0;
  Clock::time_point since_ ZVT_GUARDED_BY(mu_){};
  std::unordered_map<std::string, Held> held_ ZVT_GUARDED_BY(mu_);
  std::unordered_map<std::string, HeldPage> pages_ ZVT_GUARDED_BY(mu_);
  size_t page_bytes_ ZVT_GUARDED_BY(mu_) = 0;
};

}  // namespace zvt::hostd

#endif  // ZVT_HOSTD_HELD_STAMPS_H_
