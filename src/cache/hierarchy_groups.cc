// Keeping the hierarchy's IDs and finding its groups by name.
#include "cache/hierarchy_groups.h"

#include <cstring>

namespace zvt {

HierarchyMap::HierarchyMap(
    std::initializer_list<
        std::pair<std::u16string_view, std::initializer_list<std::u16string_view>>>
        groups) {
  for (const auto& [id, children] : groups) {
    const uint32_t group = ResetGroup(id);
    for (std::u16string_view child : children) AddChild(group, child);
  }
}

HierarchyMap::HierarchyMap(const HierarchyMap& other) {
  for (const Group& g : other.groups_) {
    const uint32_t group = ResetGroup(g.id);
    for (std::u16string_view child : g.children) AddChild(group, child);
  }
}

HierarchyMap& HierarchyMap::operator=(const HierarchyMap& other) {
  if (this != &other) *this = HierarchyMap(other);
  return *this;
}

std::u16string_view HierarchyMap::Keep(std::u16string_view id) {
  if (id.empty()) return std::u16string_view();
  auto* chars =
      static_cast<char16_t*>(chars_.Allocate(id.size() * sizeof(char16_t), alignof(char16_t)));
  std::memcpy(chars, id.data(), id.size() * sizeof(char16_t));
  return std::u16string_view(chars, id.size());
}

uint32_t HierarchyMap::ResetGroup(std::u16string_view id) {
  if (const uint32_t found = Find(id); found != kNoGroup) {
    groups_[found].children.clear();
    return found;
  }
  const auto group = static_cast<uint32_t>(groups_.size());
  groups_.push_back(Group{Keep(id), {}});
  index_.emplace(groups_.back().id, group);
  return group;
}

std::vector<std::u16string> HierarchyMap::ChildrenOf(std::u16string_view id) const {
  std::vector<std::u16string> out;
  if (const uint32_t group = Find(id); group != kNoGroup)
    for (std::u16string_view child : groups_[group].children) out.emplace_back(child);
  return out;
}

void HierarchyMap::clear() {
  groups_.clear();
  index_.clear();
  chars_.Release();
}

bool operator==(const HierarchyMap& a, const HierarchyMap& b) {
  if (a.size() != b.size()) return false;
  for (const HierarchyMap::Group& g : a.groups_) {
    const uint32_t other = b.Find(g.id);
    if (other == HierarchyMap::kNoGroup || b.groups_[other].children != g.children) return false;
  }
  return true;
}

}  // namespace zvt
