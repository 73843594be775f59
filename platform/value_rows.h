// A run of a key's values as read from a store, packed: one fixed entry per
// value and its name and data side by side in chunks that never move, so
// that holding the values of a large key costs little more than their bytes
// and gathering them copies each byte once.
#ifndef ZVT_PLATFORM_VALUE_ROWS_H_
#define ZVT_PLATFORM_VALUE_ROWS_H_

#include <cstdint>
#include <cstring>
#include <deque>

#include "services/byte_arena.h"
#include "services/win_types.h"

namespace zvt::platform {

class ValueRows {
 public:
  // One value: its row (creation order), type, name (UTF-16 code units in
  // the store's byte order, `name_chars` of them) and data.
  struct Row {
    std::int64_t id;
    DWORD type;
    const BYTE* name;
    size_t name_chars;
    const BYTE* data;
    size_t data_size;
  };

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  // What the rows hold: their names, data and entries.
  size_t bytes() const { return arena_.bytes() + entries_.size() * sizeof(Entry); }

  Row operator[](size_t i) const {
    const Entry& e = entries_[i];
    return Row{e.id, e.type, e.at, e.name_chars, e.at + size_t{e.name_chars} * 2, e.data_size};
  }

  void Add(std::int64_t id, DWORD type, const void* name, size_t name_bytes, const void* data,
           size_t data_size) {
    name_bytes &= ~size_t{1};
    auto* at = static_cast<BYTE*>(arena_.Allocate(name_bytes + data_size));
    if (name_bytes != 0) std::memcpy(at, name, name_bytes);
    if (data_size != 0) std::memcpy(at + name_bytes, data, data_size);
    entries_.push_back(
        Entry{id, at, type, static_cast<DWORD>(name_bytes / 2), static_cast<DWORD>(data_size)});
  }

  // Lets the first `n` rows go (fewer than size()); the others keep their
  // places, now counted from 0, and what held only the rows let go is given
  // back.
  void DropFront(size_t n) {
    entries_.erase(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(n));
    arena_.ReleaseBefore(entries_.front().at);
  }

  // Empties the rows and gives their memory back.
  void Release() {
    std::deque<Entry>().swap(entries_);
    arena_.Release();
  }

 private:
  struct Entry {
    std::int64_t id;
    const BYTE* at;  // the name, then the data
    DWORD type;
    DWORD name_chars;
    DWORD data_size;
  };

  // A deque and an arena: neither moves what it holds as it grows.
  std::deque<Entry> entries_;
  ByteArena arena_;
};

}  // namespace zvt::platform

#endif  // ZVT_PLATFORM_VALUE_ROWS_H_
