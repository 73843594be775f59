// A run of a key's values as read from a store, packed: one fixed entry per
// value and every name and data in one buffer, so that holding the values
// of a large key costs little more than their bytes.
#ifndef ZVT_PLATFORM_VALUE_ROWS_H_
#define ZVT_PLATFORM_VALUE_ROWS_H_

#include <cstdint>
#include <vector>

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
  size_t bytes() const { return bytes_.size() + entries_.size() * sizeof(Entry); }

  Row operator[](size_t i) const {
    const Entry& e = entries_[i];
    const BYTE* base = bytes_.data() + e.offset;
    return Row{e.id, e.type, base, e.name_chars, base + e.name_chars * 2, e.data_size};
  }

  void Add(std::int64_t id, DWORD type, const void* name, size_t name_bytes, const void* data,
           size_t data_size) {
    entries_.push_back(Entry{id, bytes_.size(), type, static_cast<DWORD>(name_bytes / 2),
                             static_cast<DWORD>(data_size)});
    Append(name, name_bytes & ~size_t{1});
    Append(data, data_size);
  }

  // Empties the rows and gives their memory back.
  void Release() {
    std::vector<Entry>().swap(entries_);
    std::vector<BYTE>().swap(bytes_);
  }

 private:
  struct Entry {
    std::int64_t id;
    size_t offset;  // of the name in bytes_; the data follows it
    DWORD type;
    DWORD name_chars;
    DWORD data_size;
  };

  void Append(const void* from, size_t size) {
    const BYTE* b = static_cast<const BYTE*>(from);
    if (size != 0) bytes_.insert(bytes_.end(), b, b + size);
  }

  std::vector<Entry> entries_;
  std::vector<BYTE> bytes_;
};

}  // namespace zvt::platform

#endif  // ZVT_PLATFORM_VALUE_ROWS_H_
