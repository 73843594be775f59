// Layout, encoding and bounds-checked decoding of data objects.
#include "pgm/data_object.h"

#include <algorithm>
#include <limits>

#include "pgm/big_endian.h"
#include "pgm/ccsid37.h"

namespace zvt::pgm {
namespace {

constexpr uint32_t kMaxFixedWidth = 1u << 20;
constexpr int kMaxNesting = 8;

uint64_t SatAdd(uint64_t a, uint64_t b) {
  return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max()
                                                      : a + b;
}

bool IsBinaryRow(const FieldTable& table, int index) {
  return index >= 0 && static_cast<size_t>(index) < table.count &&
         table.rows[index].type == kFieldBinary;
}

bool ValidTableAt(const FieldTable& table, int depth) {
  if (table.rows == nullptr || table.count == 0 || table.count > 4096 || depth > kMaxNesting)
    return false;
  for (size_t i = 0; i < table.count; ++i) {
    const FieldDescription& f = table.rows[i];
    if (f.direction > kDirectionInOut) return false;
    switch (f.type) {
      case kFieldRaw:
      case kFieldChar:
        if (f.length == 0 || f.length > kMaxFixedWidth) return false;
        break;
      case kFieldBinary:
        break;
      case kFieldCharVarying:
      case kFieldFiller:
        if (!IsBinaryRow(table, ReferencedField(f.length))) return false;
        break;
      case kFieldStruct:
        if (!ValidTableAt(f.sub_table, depth + 1)) return false;
        break;
      case kFieldArray:
        if (!ValidTableAt(f.sub_table, depth + 1)) return false;
        if (!IsBinaryRow(table, ReferencedField(f.length))) return false;
        if (f.link != 0 && !IsBinaryRow(table, f.link - 1)) return false;
        break;
      default:
        return false;
    }
  }
  return true;
}

}  // namespace

bool ValidTable(const FieldTable& table) { return ValidTableAt(table, 0); }

Node* AsNode(DataObject* object) { return dynamic_cast<Node*>(object); }
const Node* AsNode(const DataObject* object) { return dynamic_cast<const Node*>(object); }

Record::Record(const FieldTable& table) : table_(table), slots_(table.count) {}

Slot& Record::slot(size_t i) {
  Slot& s = slots_[i];
  if (s.pending) {
    s.bytes.assign(source_->data() + s.at, s.width);
    s.pending = false;
  }
  return s;
}

std::string_view Record::FieldBytes(size_t i) const {
  const Slot& s = slots_[i];
  if (s.pending) return std::string_view(source_->data() + s.at, s.width);
  return s.bytes;
}

bool Record::BinaryValue(int i, uint32_t* value) const {
  if (i < 0 || static_cast<size_t>(i) >= slots_.size()) return false;
  const Slot& s = slots_[i];
  if (field(i).type != kFieldBinary || !s.has_value || s.bytes.size() != 4) return false;
  *value = big_endian::Load32(s.bytes);
  return true;
}

uint64_t Record::Width(size_t i, uint64_t offset) const {
  const FieldDescription& f = field(i);
  switch (f.type) {
    case kFieldRaw:
    case kFieldChar:
      return f.length;
    case kFieldBinary:
      return 4;
    case kFieldCharVarying: {
      uint32_t chars = 0;
      if (!BinaryValue(ReferencedField(f.length), &chars)) return 0;
      uint32_t limit = f.length & 0xFFFF;
      return std::min<uint64_t>(chars, limit != 0 ? limit : 0xFFFF);
    }
    case kFieldFiller: {
      uint32_t target = 0;
      if (!BinaryValue(ReferencedField(f.length), &target)) return 0;
      return target > offset ? target - offset : 0;
    }
    case kFieldStruct: {
      if (const Node* child = AsNode(slots_[i].child.get())) return child->EncodedLength();
      return Record(f.sub_table).EncodedLength();
    }
    case kFieldArray: {
      if (const Node* child = AsNode(slots_[i].child.get())) return child->EncodedLength();
      return 0;
    }
  }
  return 0;
}

uint64_t Record::EncodedLength() const {
  uint64_t offset = 0;
  for (size_t i = 0; i < slots_.size(); ++i) offset = SatAdd(offset, Width(i, offset));
  return offset;
}

void Record::EncodeField(size_t i, uint64_t offset, std::string* out) const {
  const FieldDescription& f = field(i);
  const Slot& s = slots_[i];
  switch (f.type) {
    case kFieldStruct:
      if (const Node* child = AsNode(s.child.get())) {
        child->Encode(out);
      } else {
        Record(f.sub_table).Encode(out);
      }
      return;
    case kFieldArray:
      if (const Node* child = AsNode(s.child.get())) child->Encode(out);
      return;
    default:
      break;
  }
  uint64_t width = Width(i, offset);
  const char pad = (f.type == kFieldChar || f.type == kFieldCharVarying)
                       ? static_cast<char>(kEbcdicBlank)
                       : '\0';
  size_t start = out->size();
  if (s.has_value && f.type != kFieldFiller) {
    std::string_view bytes = FieldBytes(i);
    out->append(bytes.substr(0, static_cast<size_t>(std::min<uint64_t>(width, bytes.size()))));
  }
  out->resize(start + width, pad);
}

void Record::Encode(std::string* out) const {
  size_t start = out->size();
  for (size_t i = 0; i < slots_.size(); ++i) EncodeField(i, out->size() - start, out);
}

uint64_t Record::DecodeFieldAt(size_t i, std::string_view in, uint64_t offset) {
  const FieldDescription& f = field(i);
  Slot& s = slots_[i];
  std::string_view rest = offset < in.size() ? in.substr(offset) : std::string_view();
  switch (f.type) {
    case kFieldStruct: {
      if (auto* child = dynamic_cast<PgmDataObject*>(s.child.get()))
        return child->record().Decode(rest);
      return Record(f.sub_table).EncodedLength();
    }
    case kFieldArray: {
      uint32_t count = 0, stride = 0;
      BinaryValue(ReferencedField(f.length), &count);
      auto* array = dynamic_cast<PgmArrayDataObject*>(s.child.get());
      if (f.link == 0 || !BinaryValue(f.link - 1, &stride))
        stride = static_cast<uint32_t>(
            std::min<uint64_t>(Record(f.sub_table).EncodedLength(), 0xFFFFFFFFu));
      if (array != nullptr) array->DecodeEntries(rest, count, stride);
      return uint64_t{count} * stride;
    }
    case kFieldFiller:
      return Width(i, offset);
    default:
      break;
  }
  uint64_t width = Width(i, offset);
  s.pending = false;
  if (offset <= in.size() && width <= in.size() - offset) {
    if (lazy_ && f.type != kFieldBinary) {
      // Read from the source when asked for; binary fields give the widths
      // of later fields, so they are taken now.
      s.bytes.clear();
      s.pending = true;
      s.at = static_cast<uint32_t>(source_start_ + offset);
      s.width = static_cast<uint32_t>(width);
    } else {
      s.bytes.assign(in.substr(offset, width));
    }
    s.has_value = true;
  } else {
    s.has_value = false;
    s.bytes.clear();
  }
  return width;
}

uint64_t Record::Decode(std::string_view in) {
  uint64_t offset = 0;
  for (size_t i = 0; i < slots_.size(); ++i) offset = SatAdd(offset, DecodeFieldAt(i, in, offset));
  return offset;
}

uint64_t Record::DecodeFrom(std::shared_ptr<const std::string> source, size_t start) {
  source_ = std::move(source);
  source_start_ = start;
  lazy_ = true;
  const uint64_t consumed = Decode(std::string_view(*source_).substr(start));
  lazy_ = false;
  return consumed;
}

void Record::DecodeField(size_t i, std::string_view in) {
  if (Node* child = AsNode(slots_[i].child.get())) child->ClearReceived();
  DecodeFieldAt(i, in, 0);
}

void Record::ClearReceived() {
  for (size_t i = 0; i < slots_.size(); ++i) {
    Slot& s = slots_[i];
    if (Node* child = AsNode(s.child.get())) child->ClearReceived();
    if (field(i).direction != kDirectionInput) {
      s.has_value = false;
      s.pending = false;
      s.bytes.clear();
    }
  }
}

PgmArrayDataObject::PgmArrayDataObject(const FieldTable& entry, uint16_t capacity)
    : entry_(entry), capacity_(capacity) {}

Record* PgmArrayDataObject::current() {
  if (selected_ >= entries_.size()) return nullptr;
  return entries_[selected_].get();
}

bool PgmArrayDataObject::Select(uint16_t entry) {
  if (entry >= capacity_) return false;
  selected_ = entry;
  return true;
}

uint64_t PgmArrayDataObject::EncodedLength() const {
  uint64_t entry = Record(entry_).EncodedLength();
  return entry * capacity_;
}

void PgmArrayDataObject::Encode(std::string* out) const {
  const Record blank(entry_);
  for (uint16_t i = 0; i < capacity_; ++i) {
    const Record& r = i < entries_.size() && entries_[i] ? *entries_[i] : blank;
    r.Encode(out);
  }
}

void PgmArrayDataObject::ClearReceived() { entries_.clear(); }

uint64_t PgmArrayDataObject::DecodeEntries(std::string_view in, uint32_t count, uint32_t stride) {
  entries_.clear();
  uint32_t n = std::min<uint32_t>(count, capacity_);
  // One copy of the entries' bytes, which their text fields are read from
  // when asked for, instead of a copy of every field of every entry.
  std::shared_ptr<const std::string> source;
  for (uint32_t i = 0; i < n; ++i) {
    uint64_t start = uint64_t{i} * stride;
    if (start >= in.size()) break;
    if (!source) source = std::make_shared<const std::string>(in);
    auto entry = std::make_unique<Record>(entry_);
    entry->DecodeFrom(source, static_cast<size_t>(start));
    entries_.push_back(std::move(entry));
  }
  return uint64_t{count} * stride;
}

}  // namespace zvt::pgm
