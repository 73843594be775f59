// Data objects of the remote program call library: the values of one
// structure (or of the entries of an array) laid out by a static field table,
// encoded into the host's bytes for a call and decoded from its reply.
// Received bytes are bounds-checked field by field: whatever the host sends,
// a read outside what arrived is "not available", never out of range.
#ifndef ZVT_PGM_DATA_OBJECT_H_
#define ZVT_PGM_DATA_OBJECT_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "services/program_calls.h"

namespace zvt::pgm {

// Checks a table and every table below it: known types, references to
// binary fields that exist, structures and arrays with their sub-tables.
bool ValidTable(const FieldTable& table);

class Record;

// What data objects and array data objects have in common.
class Node {
 public:
  virtual ~Node() = default;
  // The record that field reads and writes address.
  virtual Record* current() = 0;
  virtual uint64_t EncodedLength() const = 0;
  virtual void Encode(std::string* out) const = 0;
  // The record a caller is about to change; the same as current() unless
  // the node shares one record between entries.
  virtual Record* writable() { return current(); }
  // Forgets every received value.
  virtual void ClearReceived() = 0;
  virtual const FieldTable& table() const = 0;
};

// One value slot per field.
struct Slot {
  bool has_value = false;             // set by the caller or received from the host
  std::string bytes;                  // the host's form: raw, big-endian binary, EBCDIC text
  std::unique_ptr<DataObject> child;  // structure or array fields
  // Received and not yet copied out of the record's source: `width` bytes
  // at `at` (list entries are decoded a field at a time, when read).
  bool pending = false;
  uint32_t at = 0, width = 0;
};

class Record {
 public:
  explicit Record(const FieldTable& table);

  const FieldTable& table() const { return table_; }
  const FieldDescription& field(size_t i) const { return table_.rows[i]; }
  size_t size() const { return slots_.size(); }
  // The slot, with a received value copied into its bytes.
  Slot& slot(size_t i);
  const Slot& slot(size_t i) const { return slots_[i]; }
  // The bytes of field `i` as received or set, without copying them.
  std::string_view FieldBytes(size_t i) const;

  // The value of binary field `i` when it holds one.
  bool BinaryValue(int i, uint32_t* value) const;
  // Width in bytes of field `i` at `offset`, given the current values.
  uint64_t FieldWidth(size_t i, uint64_t offset) const { return Width(i, offset); }

  uint64_t EncodedLength() const;
  // Encoded bytes of field `i` alone, or of all fields.
  void EncodeField(size_t i, uint64_t offset, std::string* out) const;
  void Encode(std::string* out) const;
  // Fills the fields from `in`; returns the bytes consumed. When `owner`
  // is given, `in` lies within it and arrays below keep their entries in
  // it instead of a copy.
  uint64_t Decode(std::string_view in, const std::shared_ptr<const std::string>* owner = nullptr);
  // The same from `source` at `start`, leaving text and raw fields in the
  // source until they are read.
  uint64_t DecodeFrom(const std::shared_ptr<const std::string>& source, size_t start);
  // Notes the layout when every field has a width of its own, so that
  // DecodeFrom need not work it out for each record it reads.
  void LayOutFixed();
  // With that layout, where field `i` of a record at `start` in `source`
  // lies: false when the layout is not fixed. `*present` says whether the
  // field arrived whole, and then `*bytes` holds it.
  bool FixedField(std::string_view source, size_t start, size_t i, std::string_view* bytes,
                  bool* present) const;
  // Decodes field `i` alone from `bytes` (a reply's output parameter).
  void DecodeField(size_t i, std::string_view bytes);
  void DecodeField(size_t i, const std::shared_ptr<const std::string>& bytes);
  void ClearReceived();

 private:
  // Width in bytes of a fixed or varying field, given the current values.
  uint64_t Width(size_t i, uint64_t offset) const;
  uint64_t DecodeFieldAt(size_t i, std::string_view in, uint64_t offset,
                         const std::shared_ptr<const std::string>* owner);

  FieldTable table_;
  std::vector<Slot> slots_;
  // Where each field begins when every field has a width of its own (raw,
  // character and binary fields alone), and where the record ends; empty
  // otherwise. Such a record is read from its source without walking the
  // widths field by field.
  std::vector<uint32_t> fixed_at_;
  std::shared_ptr<const std::string> source_;  // what pending slots are read from
  size_t source_start_ = 0;                    // where this record's bytes begin in it
  bool lazy_ = false;                          // within DecodeFrom
};

class PgmDataObject final : public DataObject, public Node {
 public:
  explicit PgmDataObject(const FieldTable& table) : record_(table) {}
  Record* current() override { return &record_; }
  uint64_t EncodedLength() const override { return record_.EncodedLength(); }
  void Encode(std::string* out) const override { record_.Encode(out); }
  void ClearReceived() override { record_.ClearReceived(); }
  const FieldTable& table() const override { return record_.table(); }
  Record& record() { return record_; }

 private:
  Record record_;
};

// Received entries stay in the reply's bytes; the selected one is decoded
// into a record shared by all entries when it is read, and gets a record
// of its own only when a caller changes it.
class PgmArrayDataObject final : public ArrayDataObject, public Node {
 public:
  PgmArrayDataObject(const FieldTable& entry, uint16_t capacity);
  // The selected entry; null before it was received.
  Record* current() override;
  Record* writable() override;
  uint64_t EncodedLength() const override;
  void Encode(std::string* out) const override;
  void ClearReceived() override;
  const FieldTable& table() const override { return entry_; }

  uint16_t capacity() const { return capacity_; }
  bool Select(uint16_t entry);
  // Field `index` of the selected entry straight from the bytes it arrived
  // in, without decoding the entry: only for an entry that arrived, that no
  // caller changed, of a table with a fixed layout and a field it has.
  // False when the caller must go through current().
  bool ReceivedField(size_t index, std::string_view* bytes, bool* present) const;
  // Takes `count` entries `stride` bytes apart from the start of `in`
  // (entries past the capacity are ignored); returns the bytes consumed.
  // `in` lies within `*owner` when it is given.
  uint64_t DecodeEntries(std::string_view in, uint32_t count, uint32_t stride,
                         const std::shared_ptr<const std::string>* owner = nullptr);

 private:
  static constexpr int kNoEntry = -1;

  FieldTable entry_;
  uint16_t capacity_;
  uint64_t blank_entry_length_;  // what each entry takes, as the call sends it
  uint16_t selected_ = 0;
  uint16_t received_ = 0;                      // entries that arrived
  std::shared_ptr<const std::string> source_;  // the bytes they arrived in
  size_t first_ = 0;                           // where entry 0 begins in them
  uint32_t stride_ = 0;
  Record view_;  // the entry `view_entry_`, decoded
  int view_entry_ = kNoEntry;
  std::map<uint16_t, std::unique_ptr<Record>> changed_;  // entries a caller changed
};

// Read for every field of every list entry, so kept inline.
inline bool Record::FixedField(std::string_view source, size_t start, size_t i,
                               std::string_view* bytes, bool* present) const {
  if (fixed_at_.empty() || i >= slots_.size()) return false;
  const size_t available = start < source.size() ? source.size() - start : 0;
  const uint32_t at = fixed_at_[i], width = fixed_at_[i + 1] - at;
  *present = uint64_t{at} + width <= available;
  if (*present) *bytes = source.substr(start + at, width);
  return true;
}

inline bool PgmArrayDataObject::ReceivedField(size_t index, std::string_view* bytes,
                                              bool* present) const {
  if (selected_ >= received_ || source_ == nullptr) return false;
  if (!changed_.empty() && changed_.count(selected_) != 0) return false;
  return view_.FixedField(*source_, first_ + size_t{selected_} * stride_, index, bytes, present);
}

// The node behind a data object of this library, or null.
Node* AsNode(DataObject* object);
const Node* AsNode(const DataObject* object);
// The object as one of this library's structures or arrays, or null. The
// ByName form compares type names (for a type_info object that is a copy
// of this library's); AsArray, asked of every list entry's field, first
// compares the address of the type_info object that objects made here have.
PgmDataObject* AsStructure(DataObject* object);
PgmArrayDataObject* AsArrayByName(DataObject* object);
inline PgmArrayDataObject* AsArray(DataObject* object) {
  if (object != nullptr && &typeid(*object) == &typeid(PgmArrayDataObject))
    return static_cast<PgmArrayDataObject*>(object);
  return AsArrayByName(object);
}

}  // namespace zvt::pgm

#endif  // ZVT_PGM_DATA_OBJECT_H_
