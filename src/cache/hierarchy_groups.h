// The function hierarchy as a reload works out its group denials from it:
// each root and group function with its direct children, in the order they
// were attached. Every ID is kept once, side by side in chunks that never
// move, so that a hierarchy of 100,000 functions costs a few allocations
// and attaching a child copies its ID once.
#ifndef ZVT_CACHE_HIERARCHY_GROUPS_H_
#define ZVT_CACHE_HIERARCHY_GROUPS_H_

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "services/byte_arena.h"

namespace zvt {

class HierarchyMap {
 public:
  static constexpr uint32_t kNoGroup = UINT32_MAX;
  using Children = std::vector<std::u16string_view>;

  HierarchyMap() = default;
  // Groups and their children, as a test states them.
  HierarchyMap(std::initializer_list<
               std::pair<std::u16string_view, std::initializer_list<std::u16string_view>>>
                   groups);
  HierarchyMap(const HierarchyMap& other);
  HierarchyMap& operator=(const HierarchyMap& other);
  // The kept IDs move with their chunks, so the views stay good.
  HierarchyMap(HierarchyMap&&) = default;
  HierarchyMap& operator=(HierarchyMap&&) = default;

  // Makes `id` a group with no children, dropping any it had; its number.
  uint32_t ResetGroup(std::u16string_view id);
  // The number of group `id`, or kNoGroup.
  uint32_t Find(std::u16string_view id) const {
    auto it = index_.find(id);
    return it == index_.end() ? kNoGroup : it->second;
  }
  // Attaches `child` to group number `group` (from ResetGroup or Find).
  void AddChild(uint32_t group, std::u16string_view child) {
    groups_[group].children.push_back(Keep(child));
  }

  size_t size() const { return groups_.size(); }
  bool empty() const { return groups_.empty(); }
  size_t count(std::u16string_view id) const { return Find(id) == kNoGroup ? 0 : 1; }
  std::u16string_view name(uint32_t group) const { return groups_[group].id; }
  const Children& children(uint32_t group) const { return groups_[group].children; }
  // The children of `id` as strings; none when it is not a group.
  std::vector<std::u16string> ChildrenOf(std::u16string_view id) const;
  void clear();

  // The same groups with the same children in the same order.
  friend bool operator==(const HierarchyMap& a, const HierarchyMap& b);
  friend bool operator!=(const HierarchyMap& a, const HierarchyMap& b) { return !(a == b); }

 private:
  struct Group {
    std::u16string_view id;
    Children children;
  };
  std::u16string_view Keep(std::u16string_view id);

  std::vector<Group> groups_;  // in the order they became groups
  std::unordered_map<std::u16string_view, uint32_t> index_;
  ByteArena chars_;  // every kept ID's characters
};

}  // namespace zvt

#endif  // ZVT_CACHE_HIERARCHY_GROUPS_H_
