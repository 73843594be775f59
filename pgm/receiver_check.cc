// The consistency check of a received receiver variable.
#include "pgm/receiver_check.h"

namespace zvt::pgm {
namespace {

bool IsVariable(uint16_t type) {
  return type == kFieldFiller || type == kFieldArray || type == kFieldCharVarying;
}

std::string Bytes(uint64_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

}  // namespace

bool CheckReceiver(const Record& record, uint64_t received, uint64_t sent_length,
                   std::string* why) {
  // The fixed part: the fields before the first one whose width depends on
  // values the host sent.
  uint64_t fixed = 0;
  size_t first_variable = record.size();
  for (size_t i = 0; i < record.size(); ++i) {
    if (IsVariable(record.field(i).type)) {
      first_variable = i;
      break;
    }
    fixed += record.FieldWidth(i, fixed);
  }
  if (received < fixed) {
    *why = "the receiver holds " + Bytes(received) + ", fewer than the " + Bytes(fixed) +
           " of its fixed fields";
    return false;
  }

  uint64_t limit = received;
  uint32_t returned = 0;
  bool counts_returned = false;
  if (record.size() >= 2 && record.field(0).type == kFieldBinary &&
      record.field(1).type == kFieldBinary && record.BinaryValue(0, &returned)) {
    if (returned < fixed || returned > received || returned > sent_length) {
      *why = "bytes returned " + std::to_string(returned) + " do not fit a receiver of " +
             Bytes(sent_length) + " of which " + Bytes(received) + " arrived and " + Bytes(fixed) +
             " are fixed";
      return false;
    }
    // What a receiver for all of it would need is never less than what came.
    uint32_t available = 0;
    if (record.BinaryValue(1, &available) && available < returned) {
      *why = "bytes available " + std::to_string(available) + " are fewer than the " +
             std::to_string(returned) + " returned";
      return false;
    }
    limit = returned;
    counts_returned = true;
  }

  uint64_t offset = fixed;
  bool has_array = false;
  for (size_t i = first_variable; i < record.size(); ++i) {
    const FieldDescription& f = record.field(i);
    if (f.type == kFieldFiller) {
      uint32_t target = 0;
      if (!record.BinaryValue(ReferencedField(f.length), &target) || target < offset ||
          target > limit) {
        *why = "offset to first entry " + std::to_string(target) + " lies outside " +
               std::to_string(offset) + " to " + std::to_string(limit);
        return false;
      }
      offset = target;
      continue;
    }
    if (f.type == kFieldArray) {
      uint32_t count = 0, stride = 0;
      record.BinaryValue(ReferencedField(f.length), &count);
      const uint64_t entry = Record(f.sub_table).EncodedLength();
      if (f.link == 0 || !record.BinaryValue(f.link - 1, &stride)) stride = 0;
      if (count > 0 && stride < entry) {
        *why = "entry length " + std::to_string(stride) + " is shorter than the " + Bytes(entry) +
               " of an entry";
        return false;
      }
      const uint64_t end = offset + uint64_t{count} * stride;
      if (end > limit) {
        *why = std::to_string(count) + " entries of " + Bytes(stride) + " from offset " +
               std::to_string(offset) + " pass the " + Bytes(limit) + " returned";
        return false;
      }
      offset = end;
      has_array = true;
      continue;
    }
    offset += record.FieldWidth(i, offset);
  }
  // Bytes returned beyond the entries announced are entries the count left
  // out: a list that says it holds fewer than it carries is not a list.
  if (has_array && counts_returned && offset != limit) {
    *why = "bytes returned " + std::to_string(limit) + " carry more than the entries announced, " +
           "which end at " + std::to_string(offset);
    return false;
  }
  return true;
}

}  // namespace zvt::pgm
