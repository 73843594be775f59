// The denied set's table: linear probing over entry numbers, each compared
// by its kept hash before its characters.
#include "cache/denied_set.h"

#include <cstring>
#include <functional>

namespace zvt {

namespace {

size_t HashOf(std::u16string_view id) { return std::hash<std::u16string_view>()(id); }

}  // namespace

DeniedSet::DeniedSet(std::initializer_list<std::u16string_view> ids) {
  for (std::u16string_view id : ids) insert(id);
}

DeniedSet::DeniedSet(const DeniedSet& other) {
  for (std::u16string_view id : other) insert(id);
}

DeniedSet& DeniedSet::operator=(const DeniedSet& other) {
  if (this != &other) *this = DeniedSet(other);
  return *this;
}

size_t DeniedSet::count(std::u16string_view id) const { return Find(id, HashOf(id)) ? 1 : 0; }

bool DeniedSet::Find(std::u16string_view id, size_t hash) const {
  if (slots_.empty()) return false;
  const size_t mask = slots_.size() - 1;
  for (size_t s = hash & mask;; s = (s + 1) & mask) {
    const uint32_t entry = slots_[s];
    if (entry == 0) return false;
    const Entry& e = entries_[entry - 1];
    if (e.hash == static_cast<uint32_t>(hash) && std::u16string_view(e.chars, e.length) == id)
      return true;
  }
}

bool DeniedSet::insert(std::u16string_view id) {
  const size_t hash = HashOf(id);
  if (Find(id, hash)) return false;
  if ((entries_.size() + 1) * 2 > slots_.size()) Grow();
  auto* chars =
      static_cast<char16_t*>(chars_.Allocate(id.size() * sizeof(char16_t), alignof(char16_t)));
  if (!id.empty()) std::memcpy(chars, id.data(), id.size() * sizeof(char16_t));
  entries_.push_back(Entry{chars, static_cast<uint32_t>(id.size()), static_cast<uint32_t>(hash)});
  const size_t mask = slots_.size() - 1;
  size_t s = hash & mask;
  while (slots_[s] != 0) s = (s + 1) & mask;
  slots_[s] = static_cast<uint32_t>(entries_.size());
  return true;
}

void DeniedSet::Grow() {
  std::vector<uint32_t> slots(slots_.empty() ? 16 : slots_.size() * 2, 0);
  const size_t mask = slots.size() - 1;
  for (size_t i = 0; i < entries_.size(); ++i) {
    size_t s = entries_[i].hash & mask;  // the table never outgrows the kept half
    while (slots[s] != 0) s = (s + 1) & mask;
    slots[s] = static_cast<uint32_t>(i + 1);
  }
  slots_.swap(slots);
}

bool operator==(const DeniedSet& a, const DeniedSet& b) {
  if (a.size() != b.size()) return false;
  for (std::u16string_view id : a)
    if (b.count(id) == 0) return false;
  return true;
}

}  // namespace zvt
