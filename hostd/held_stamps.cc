// Change timestamps held in memory between reads of the host store.

#include "hostd/held_stamps.h"

namespace zvt::hostd {

uint64_t HeldStamps::Epoch() const {
  MutexLock lock(&mu_);
  return epoch_;
}

bool HeldStamps::Find(const std::string& profile, Timestamps* stamps, bool* known) const {
  MutexLock lock(&mu_);
  if (!holding_) return false;
  auto it = held_.find(profile);
  if (it == held_.end()) return false;
  *stamps = it->second.stamps;
  *known = it->second.known;
  return true;
}

void HeldStamps::Keep(uint64_t epoch, const std::string& profile, const Timestamps& stamps,
                      bool known) {
  MutexLock lock(&mu_);
  if (!holding_ || epoch != epoch_) return;
  if (held_.size() >= kMaxHeld) {
    DropLocked();
    return;
  }
  held_[profile] = Held{stamps, known};
}

bool HeldStamps::FindPage(const std::string& key, HeldPage* page) const {
  MutexLock lock(&mu_);
  if (!holding_) return false;
  auto it = pages_.find(key);
  if (it == pages_.end()) return false;
  *page = it->second;
  return true;
}

void HeldStamps::KeepPage(uint64_t epoch, const std::string& key, HeldPage page) {
  const size_t bytes = 2 * key.size() + (page.entries ? page.entries->size() : 0) + sizeof page;
  MutexLock lock(&mu_);
  if (!holding_ || epoch != epoch_) return;
  if (page_bytes_ + bytes > kPageBudget) {
    pages_.clear();
    page_bytes_ = 0;
    return;
  }
  if (pages_.emplace(key, std::move(page)).second) page_bytes_ += bytes;
}

void HeldStamps::Drop() {
  MutexLock lock(&mu_);
  DropLocked();
}

void HeldStamps::SetHolding(bool holding) {
  MutexLock lock(&mu_);
  holding_ = holding;
  DropLocked();
}

bool HeldStamps::holding() const {
  MutexLock lock(&mu_);
  return holding_;
}

void HeldStamps::DropIfMoved(uint64_t marker, Clock::time_point now, Clock::duration trust) {
  MutexLock lock(&mu_);
  if (marker == marker_ && now - since_ <= trust) return;
  DropLocked();
  marker_ = marker;
  since_ = now;
}

void HeldStamps::DropLocked() {
  held_.clear();
  ++epoch_;
}

}  // namespace zvt::hostd
