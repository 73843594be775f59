// The function IDs denied to one user on one system, compared exactly. The
// IDs are kept side by side in chunks that never move and found through an
// open-addressed table of entry numbers, so that a set of 100,000 IDs costs
// a few megabytes in few allocations, gathering it copies each ID once, and
// a lookup by view allocates nothing.
#ifndef ZVT_CACHE_DENIED_SET_H_
#define ZVT_CACHE_DENIED_SET_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <iterator>
#include <string_view>
#include <vector>

#include "services/byte_arena.h"

namespace zvt {

class DeniedSet {
 public:
  DeniedSet() = default;
  DeniedSet(std::initializer_list<std::u16string_view> ids);
  DeniedSet(const DeniedSet& other);
  DeniedSet& operator=(const DeniedSet& other);
  DeniedSet(DeniedSet&&) = default;
  DeniedSet& operator=(DeniedSet&&) = default;

  // Adds `id`; false when it was there already.
  bool insert(std::u16string_view id);
  size_t count(std::u16string_view id) const;
  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

  // The IDs in the order they were added.
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::u16string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::u16string_view;
    const_iterator(const DeniedSet* set, size_t i) : set_(set), i_(i) {}
    std::u16string_view operator*() const { return set_->At(i_); }
    const_iterator& operator++() {
      ++i_;
      return *this;
    }
    bool operator==(const const_iterator& o) const { return i_ == o.i_; }
    bool operator!=(const const_iterator& o) const { return i_ != o.i_; }

   private:
    const DeniedSet* set_;
    size_t i_;
  };
  using iterator = const_iterator;
  const_iterator begin() const { return const_iterator(this, 0); }
  const_iterator end() const { return const_iterator(this, size()); }

  // The same IDs, in any order.
  friend bool operator==(const DeniedSet& a, const DeniedSet& b);
  friend bool operator!=(const DeniedSet& a, const DeniedSet& b) { return !(a == b); }

 private:
  struct Entry {
    const char16_t* chars;
    uint32_t length;
    uint32_t hash;  // the low half of the ID's hash
  };

  std::u16string_view At(size_t i) const {
    return std::u16string_view(entries_[i].chars, entries_[i].length);
  }
  bool Find(std::u16string_view id, size_t hash) const;
  void Grow();

  std::deque<Entry> entries_;  // in the order added; grows without moving
  ByteArena chars_;            // every ID's characters
  // Entry number + 1 per slot, 0 for an empty slot; a power of two in size,
  // at most half full.
  std::vector<uint32_t> slots_;
};

}  // namespace zvt

#endif  // ZVT_CACHE_DENIED_SET_H_
