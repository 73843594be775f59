// Layout, encoding and bounds-checked decoding of data objects.
#include "pgm/data_object.h"

#include <algorithm>
#include <limits>
#include <typeinfo>

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

// The two classes are final, so comparing the dynamic type finds them at
// the cost of a load and a compare; a cast through the class hierarchy
// walked it on every field read.
PgmDataObject* AsStructure(DataObject* object) {
  if (object == nullptr || typeid(*object) != typeid(PgmDataObject)) return nullptr;
  return static_cast<PgmDataObject*>(object);
}
PgmArrayDataObject* AsArrayByName(DataObject* object) {
  if (object == nullptr || typeid(*object) != typeid(PgmArrayDataObject)) return nullptr;
  return static_cast<PgmArrayDataObject*>(object);
}
Node* AsNode(DataObject* object) {
  if (object == nullptr) return nullptr;
  // Objects made here have these very type_info objects, which spares
  // comparing names.
  const std::type_info& type = typeid(*object);
  if (&type == &typeid(PgmArrayDataObject)) return static_cast<PgmArrayDataObject*>(object);
  if (&type == &typeid(PgmDataObject)) return static_cast<PgmDataObject*>(object);
  if (PgmDataObject* structure = AsStructure(object)) return structure;
  return AsArrayByName(object);
}
const Node* AsNode(const DataObject* object) { return AsNode(const_cast<DataObject*>(object)); }

Record::Record(const FieldTable& table) : table_(table), slots_(table.count) {}

void Record::LayOutFixed() {
  fixed_at_.clear();
  uint64_t at = 0;
  for (size_t i = 0; i < slots_.size(); ++i) {
    const FieldDescription& f = field(i);
    if (f.type != kFieldRaw && f.type != kFieldChar && f.type != kFieldBinary) {
      fixed_at_.clear();
      return;
    }
    fixed_at_.push_back(static_cast<uint32_t>(at));
    at += f.type == kFieldBinary ? 4 : f.length;
    if (at > UINT32_MAX) {
      fixed_at_.clear();
      return;
    }
  }
  fixed_at_.push_back(static_cast<uint32_t>(at));
}

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

uint64_t Record::DecodeFieldAt(size_t i, std::string_view in, uint64_t offset,
                               const std::shared_ptr<const std::string>* owner) {
  const FieldDescription& f = field(i);
  Slot& s = slots_[i];
  std::string_view rest = offset < in.size() ? in.substr(offset) : std::string_view();
  switch (f.type) {
    case kFieldStruct: {
      if (auto* child = AsStructure(s.child.get())) return child->record().Decode(rest, owner);
      return Record(f.sub_table).EncodedLength();
    }
    case kFieldArray: {
      uint32_t count = 0, stride = 0;
      BinaryValue(ReferencedField(f.length), &count);
      auto* array = AsArray(s.child.get());
      if (f.link == 0 || !BinaryValue(f.link - 1, &stride))
        stride = static_cast<uint32_t>(
            std::min<uint64_t>(Record(f.sub_table).EncodedLength(), 0xFFFFFFFFu));
      if (array != nullptr) array->DecodeEntries(rest, count, stride, owner);
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

uint64_t Record::Decode(std::string_view in, const std::shared_ptr<const std::string>* owner) {
  uint64_t offset = 0;
  for (size_t i = 0; i < slots_.size(); ++i)
    offset = SatAdd(offset, DecodeFieldAt(i, in, offset, owner));
  return offset;
}

uint64_t Record::DecodeFrom(const std::shared_ptr<const std::string>& source, size_t start) {
  if (source_ != source) source_ = source;
  source_start_ = start;
  if (!fixed_at_.empty()) {
    // As Decode would, without asking each field its width: binary fields
    // are taken, the others stay in the source until read.
    const size_t available = start < source_->size() ? source_->size() - start : 0;
    for (size_t i = 0; i < slots_.size(); ++i) {
      Slot& s = slots_[i];
      const uint32_t at = fixed_at_[i], width = fixed_at_[i + 1] - at;
      s.pending = false;
      s.has_value = uint64_t{at} + width <= available;
      if (!s.has_value) {
        s.bytes.clear();
      } else if (field(i).type == kFieldBinary) {
        s.bytes.assign(source_->data() + start + at, width);
      } else {
        s.bytes.clear();
        s.pending = true;
        s.at = static_cast<uint32_t>(start + at);
        s.width = width;
      }
    }
    return fixed_at_.back();
  }
  lazy_ = true;
  const uint64_t consumed = Decode(std::string_view(*source_).substr(start));
  lazy_ = false;
  return consumed;
}

void Record::DecodeField(size_t i, std::string_view bytes) {
  if (Node* child = AsNode(slots_[i].child.get())) child->ClearReceived();
  DecodeFieldAt(i, bytes, 0, nullptr);
}

void Record::DecodeField(size_t i, const std::shared_ptr<const std::string>& bytes) {
  if (Node* child = AsNode(slots_[i].child.get())) child->ClearReceived();
  DecodeFieldAt(i, *bytes, 0, &bytes);
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
    : entry_(entry),
      capacity_(capacity),
      blank_entry_length_(Record(entry).EncodedLength()),
      view_(entry) {
  view_.LayOutFixed();
}

Record* PgmArrayDataObject::current() {
  if (selected_ >= received_) return nullptr;
  auto changed = changed_.find(selected_);
  if (changed != changed_.end()) return changed->second.get();
  if (view_entry_ != selected_) {
    view_.DecodeFrom(source_, first_ + size_t{selected_} * stride_);
    view_entry_ = selected_;
  }
  return &view_;
}

Record* PgmArrayDataObject::writable() {
  Record* record = current();
  if (record != &view_) return record;
  // The entry keeps what the caller writes even when another is read in
  // the shared record meanwhile.
  auto own = std::make_unique<Record>(entry_);
  own->DecodeFrom(source_, first_ + size_t{selected_} * stride_);
  record = own.get();
  changed_.emplace(selected_, std::move(own));
  return record;
}

bool PgmArrayDataObject::Select(uint16_t entry) {
  if (entry >= capacity_) return false;
  selected_ = entry;
  return true;
}

uint64_t PgmArrayDataObject::EncodedLength() const { return blank_entry_length_ * capacity_; }

void PgmArrayDataObject::Encode(std::string* out) const {
  const Record blank(entry_);
  Record received(entry_);
  for (uint16_t i = 0; i < capacity_; ++i) {
    auto changed = changed_.find(i);
    if (changed != changed_.end()) {
      changed->second->Encode(out);
    } else if (i < received_) {
      received.DecodeFrom(source_, first_ + size_t{i} * stride_);
      received.Encode(out);
    } else {
      blank.Encode(out);
    }
  }
}

void PgmArrayDataObject::ClearReceived() {
  received_ = 0;
  source_.reset();
  view_entry_ = kNoEntry;
  changed_.clear();
}

uint64_t PgmArrayDataObject::DecodeEntries(std::string_view in, uint32_t count, uint32_t stride,
                                           const std::shared_ptr<const std::string>* owner) {
  ClearReceived();
  const uint32_t n = std::min<uint32_t>(count, capacity_);
  // Entries that begin within what arrived; their fields are bounds-checked
  // against it when read.
  uint64_t arrived = 0;
  while (arrived < n && arrived * stride < in.size()) ++arrived;
  if (arrived == 0) return uint64_t{count} * stride;
  // An entry's fields are read within the bytes from its start to the end
  // of `in`, which is where the owner's bytes end too.
  if (owner != nullptr && in.data() >= (*owner)->data() &&
      in.data() + in.size() == (*owner)->data() + (*owner)->size()) {
    source_ = *owner;
    first_ = static_cast<size_t>(in.data() - source_->data());
  } else {
    source_ = std::make_shared<const std::string>(in);
    first_ = 0;
  }
  received_ = static_cast<uint16_t>(arrived);
  stride_ = stride;
  return uint64_t{count} * stride;
}

}  // namespace zvt::pgm
