// The parameter lists and receivers of the host's two list programs,
// "KLIB/KRFNLST" (functions) and "KLIB/KRUSRFN" (a profile's usage), their
// shared selection, and the steps both calls make alike.
#ifndef ZVT_HOST_LIST_FORMATS_H_
#define ZVT_HOST_LIST_FORMATS_H_

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "diag/boundary_guard.h"
#include "host/program_names.h"
#include "services/client.h"
#include "services/program_calls.h"

namespace zvt {

extern const FieldTable kSelectionTable;
extern const FieldTable kSelectionsTable;
extern const FieldTable kFunctionEntryTable;
extern const FieldTable kUsageEntryTable;
extern const FieldTable kFunctionReceiverTable;
extern const FieldTable kUsageReceiverTable;
extern const FieldTable kFunctionListTable;
extern const FieldTable kUsageListTable;
extern const FieldTable kTimestampReceiverTable;
extern const FieldTable kTimestampListTable;

constexpr uint32_t kFunctionListCapacity = 64;
constexpr uint32_t kUsageListFirstCapacity = 250;
// The most entries one list call takes from a host, over all its parts: far
// above any real function registry, it ends a host that never stops
// promising more before it exhausts the caller's memory.
constexpr size_t kMaxListEntries = size_t{1} << 20;

// The category code sent for a `categorySelector` of 0 to 7; null beyond.
const char16_t* CategoryCode(uint32_t category_selector);

// Adds `message` to the component's error object, or to a new one of the
// host-call unit when the component gave none; returns 1.
uint32_t FailHostCall(ErrorOut* error, uint32_t line, const char16_t* message);

// Runs a host call's body so that no exception leaves it: one thrown ends
// the call as a failure with an error object whose text names `call` and
// what was thrown, and an error record.
template <typename Body>
uint32_t GuardHostCall(ErrorOut* error, const char16_t* call, uint32_t line, Body&& body) noexcept {
  return GuardBoundary(
      ErrorUnit::kCache, call, line, std::forward<Body>(body), [&](const char* what) {
        FailHostCall(error, line, ExceptionText(call, u":  exception: ", what).c_str());
      });
}

// The messages of the selection steps, which the two list calls word alike
// but for two.
struct SelectionMessages {
  const char16_t* selections_attached;
  const char16_t* count;
  const char16_t* selection_attached;
  const char16_t* record_length;
  const char16_t* comparison_operator;
  const char16_t* control_key;
  const char16_t* comparison_length;
  const char16_t* comparison_data;
};

// Builds the one selection of category `code` and attaches it at `index` of
// `list`; on failure returns 1 with the step's message in `*error`.
uint32_t AttachCategorySelection(ProgramCallApi* pgm, DataObject* list, uint32_t index,
                                 const char16_t* code, const SelectionMessages& messages,
                                 ErrorOut* error);

// The agent of one call: from the system object when a handle is given,
// otherwise from "ZVWIN" and the system name.
std::unique_ptr<RemoteAgent> MakeHostAgent(ProgramCallApi* pgm, const std::u16string& system_name,
                                           const SystemHandle* handle, ErrorOut* error);

// Reads the continuation handle a list receiver came back with into
// `handle`; true when this was the last part (a blank or unreadable handle).
bool ReadContinuation(ProgramCallApi* pgm, DataObject* receiver, uint8_t handle[20]);

// The entries the next part of a list can hold: what the host still has
// after this part, in entries, kept to one entry at least and to 16 bits.
uint16_t NextCapacity(uint32_t available, uint32_t returned, uint32_t offset,
                      uint32_t entry_length);

// A 4-byte binary field; 0 with `*read` false when it cannot be read.
uint32_t ReadBinaryField(ProgramCallApi* pgm, DataObject* object, uint32_t index,
                         bool* read = nullptr);

}  // namespace zvt

#endif  // ZVT_HOST_LIST_FORMATS_H_
