// Field tables of the host programs and the steps the list calls share.
#include "host/list_formats.h"

#include <algorithm>
#include <cstring>

#include "services/services.h"

namespace zvt {
namespace {

constexpr FieldDescription kSelectionRows[] = {
    {kFieldBinary, 4, 0, kDirectionInner, {}},                // record length
    {kFieldBinary, 4, 0, kDirectionInner, {}},                // comparison operator
    {kFieldBinary, 4, 0, kDirectionInner, {}},                // control key
    {kFieldBinary, 4, 0, kDirectionInner, {}},                // length of comparison data
    {kFieldCharVarying, (4u << 16), 0, kDirectionInner, {}},  // comparison data
};
constexpr FieldTable kSelection = MakeFieldTable(kSelectionRows);
constexpr FieldDescription kSelectionsRows[] = {
    {kFieldBinary, 4, 0, kDirectionInner, {}},  // number of selections
    {kFieldStruct, 0, 0, kDirectionInner, kSelection},
};
constexpr FieldTable kSelections = MakeFieldTable(kSelectionsRows);

constexpr FieldDescription kFunctionEntryRows[] = {
    {kFieldChar, 30, 0, 0, {}},   // 0 function ID
    {kFieldChar, 1, 0, 0, {}},    // 1 category indicator
    {kFieldChar, 1, 0, 0, {}},    // 2 type indicator
    {kFieldChar, 10, 0, 0, {}},   // 3
    {kFieldChar, 10, 0, 0, {}},   // 4
    {kFieldChar, 7, 0, 0, {}},    // 5
    {kFieldChar, 330, 0, 0, {}},  // 6 first name text
    {kFieldRaw, 3, 0, 0, {}},     // 7
    {kFieldBinary, 4, 0, 0, {}},  // 8
    {kFieldChar, 330, 0, 0, {}},  // 9 second name text
    {kFieldRaw, 2, 0, 0, {}},     // 10
    {kFieldBinary, 4, 0, 0, {}},  // 11
    {kFieldChar, 10, 0, 0, {}},   // 12
    {kFieldChar, 10, 0, 0, {}},   // 13
    {kFieldChar, 7, 0, 0, {}},    // 14
    {kFieldChar, 330, 0, 0, {}},  // 15 first description text
    {kFieldRaw, 3, 0, 0, {}},     // 16
    {kFieldBinary, 4, 0, 0, {}},  // 17
    {kFieldChar, 330, 0, 0, {}},  // 18 second description text
    {kFieldRaw, 2, 0, 0, {}},     // 19
    {kFieldBinary, 4, 0, 0, {}},  // 20
    {kFieldChar, 30, 0, 0, {}},   // 21 root function ID
    {kFieldChar, 30, 0, 0, {}},   // 22 parent function ID
    {kFieldChar, 1, 0, 0, {}},    // 23 indicator 1
    {kFieldChar, 1, 0, 0, {}},    // 24 indicator 2
    {kFieldChar, 1, 0, 0, {}},    // 25 indicator 3
};
constexpr FieldTable kFunctionEntry = MakeFieldTable(kFunctionEntryRows);
constexpr FieldDescription kUsageEntryRows[] = {
    {kFieldChar, 30, 0, 0, {}},  // function ID
    {kFieldChar, 1, 0, 0, {}},   // usage indicator
    {kFieldChar, 1, 0, 0, {}},
};
constexpr FieldTable kUsageEntry = MakeFieldTable(kUsageEntryRows);

// The list receiver header, then the entries after a filler up to the
// offset in field 3, counted by field 4 with the stride in field 5.
#define ZVT_LIST_RECEIVER(entry)                                                               \
  {                                                                                            \
    {kFieldBinary, 4, 0, 0, {}}, {kFieldBinary, 4, 0, 0, {}}, {kFieldRaw, 20, 0, 0, {}},       \
        {kFieldBinary, 4, 0, 0, {}}, {kFieldBinary, 4, 0, 0, {}}, {kFieldBinary, 4, 0, 0, {}}, \
        {kFieldFiller, (4u << 16), 0, 0, {}}, {kFieldArray, (5u << 16), 6, 0, entry},          \
  }
constexpr FieldDescription kFunctionReceiverRows[] = ZVT_LIST_RECEIVER(kFunctionEntry);
constexpr FieldDescription kUsageReceiverRows[] = ZVT_LIST_RECEIVER(kUsageEntry);
#undef ZVT_LIST_RECEIVER
constexpr FieldTable kFunctionReceiver = MakeFieldTable(kFunctionReceiverRows);
constexpr FieldTable kUsageReceiver = MakeFieldTable(kUsageReceiverRows);

constexpr FieldDescription kFunctionListRows[] = {
    {kFieldRaw, 20, 0, kDirectionInput, {}},                    // continuation handle
    {kFieldStruct, 0, 0, kDirectionOutput, kFunctionReceiver},  // receiver variable
    {kFieldBinary, 4, 0, kDirectionInput, {}},                  // receiver length
    {kFieldChar, 8, 0, kDirectionInput, {}},                    // format name
    {kFieldStruct, 0, 0, kDirectionInput, kSelections},         // function selections
    {kFieldBinary, 4, 0, kDirectionInput, {}},
    {kFieldBinary, 4, 0, kDirectionInOut, {}},  // error code
};
constexpr FieldDescription kUsageListRows[] = {
    {kFieldRaw, 20, 0, kDirectionInput, {}},                 // continuation handle
    {kFieldStruct, 0, 0, kDirectionOutput, kUsageReceiver},  // receiver variable
    {kFieldBinary, 4, 0, kDirectionInput, {}},               // receiver length
    {kFieldChar, 8, 0, kDirectionInput, {}},                 // format name
    {kFieldChar, 10, 0, kDirectionInput, {}},                // user profile name
    {kFieldStruct, 0, 0, kDirectionInput, kSelections},      // function selections
    {kFieldBinary, 4, 0, kDirectionInput, {}},
    {kFieldBinary, 4, 0, kDirectionInOut, {}},  // error code
};

constexpr FieldDescription kTimestampReceiverRows[] = {
    {kFieldBinary, 4, 0, kDirectionInner, {}},  // bytes returned
    {kFieldBinary, 4, 0, kDirectionInner, {}},  // bytes available
    {kFieldRaw, 8, 0, kDirectionInner, {}},     // userTimestamp
    {kFieldRaw, 8, 0, kDirectionInner, {}},     // repTimestamp
    {kFieldRaw, 8, 0, kDirectionInner, {}},     // hierTimestamp
};
constexpr FieldTable kTimestampReceiver = MakeFieldTable(kTimestampReceiverRows);
constexpr FieldDescription kTimestampListRows[] = {
    {kFieldStruct, 0, 0, kDirectionOutput, kTimestampReceiver},  // receiver variable
    {kFieldBinary, 4, 0, kDirectionInput, {}},                   // receiver length
    {kFieldChar, 8, 0, kDirectionInput, {}},                     // format name
    {kFieldChar, 10, 0, kDirectionInput, {}},                    // user profile name
    {kFieldBinary, 4, 0, kDirectionInOut, {}},                   // error code
};

constexpr char16_t kSource[] = u"unadmhostapis";
constexpr uint32_t kMessageNumber = 16646;

}  // namespace

const FieldTable kSelectionTable = kSelection;
const FieldTable kSelectionsTable = kSelections;
const FieldTable kFunctionEntryTable = kFunctionEntry;
const FieldTable kUsageEntryTable = kUsageEntry;
const FieldTable kFunctionReceiverTable = kFunctionReceiver;
const FieldTable kUsageReceiverTable = kUsageReceiver;
const FieldTable kFunctionListTable = MakeFieldTable(kFunctionListRows);
const FieldTable kUsageListTable = MakeFieldTable(kUsageListRows);
const FieldTable kTimestampReceiverTable = kTimestampReceiver;
const FieldTable kTimestampListTable = MakeFieldTable(kTimestampListRows);

const char16_t* CategoryCode(uint32_t category_selector) {
  static const char16_t* const kCodes[] = {u"9", u"1", u"2", u"3", u"8", u"4", u"5", u"7"};
  return category_selector < 8 ? kCodes[category_selector] : nullptr;
}

uint32_t FailHostCall(ErrorOut* error, uint32_t line, const char16_t* message) {
  if (!*error) *error = CurrentServices().program_calls->createError(kMessageNumber, kSource, line);
  if (*error) (*error)->addText(message);
  return 1;
}

uint32_t AttachCategorySelection(ProgramCallApi* pgm, DataObject* list, uint32_t index,
                                 const char16_t* code, const SelectionMessages& m,
                                 ErrorOut* error) {
  DataDescription selections_dd(kSelections), selection_dd(kSelection);
  std::unique_ptr<DataObject> selections = pgm->createDataObject(selections_dd);
  DataObject* selections_ptr = selections.get();
  if (!selections || pgm->setObject(list, index, &selections, error) != 0)
    return FailHostCall(error, __LINE__, m.selections_attached);
  const uint32_t one = 1, record_length = 17;
  if (pgm->setBinary(selections_ptr, 0, &one, 4, kFieldBinary, error) != 0)
    return FailHostCall(error, __LINE__, m.count);
  std::unique_ptr<DataObject> selection = pgm->createDataObject(selection_dd);
  DataObject* selection_ptr = selection.get();
  if (!selection || pgm->setObject(selections_ptr, 1, &selection, error) != 0)
    return FailHostCall(error, __LINE__, m.selection_attached);
  if (pgm->setBinary(selection_ptr, 0, &record_length, 4, kFieldBinary, error) != 0)
    return FailHostCall(error, __LINE__, m.record_length);
  if (pgm->setBinary(selection_ptr, 1, &one, 4, kFieldBinary, error) != 0)
    return FailHostCall(error, __LINE__, m.comparison_operator);
  if (pgm->setBinary(selection_ptr, 2, &one, 4, kFieldBinary, error) != 0)
    return FailHostCall(error, __LINE__, m.control_key);
  if (pgm->setBinary(selection_ptr, 3, &one, 4, kFieldBinary, error) != 0)
    return FailHostCall(error, __LINE__, m.comparison_length);
  if (code == nullptr || pgm->setText(selection_ptr, 4, code, error) != 0)
    return FailHostCall(error, __LINE__, m.comparison_data);
  return 0;
}

std::unique_ptr<RemoteAgent> MakeHostAgent(ProgramCallApi* pgm, const std::u16string& system_name,
                                           const SystemHandle* handle, ErrorOut* error) {
  return handle != nullptr ? pgm->createRemoteAgent(*handle, error, 1)
                           : pgm->createRemoteAgent(u"ZVWIN", system_name.c_str(), error, 1);
}

bool ReadContinuation(ProgramCallApi* pgm, DataObject* receiver, uint8_t handle[20]) {
  uint32_t bytes = 0, type = 0;
  return pgm->getBinary(receiver, 2, handle, 20, &bytes, &type) != 0 || bytes != 20 ||
         std::memcmp(handle, kBlankHandle, 20) == 0;
}

uint16_t NextCapacity(uint32_t available, uint32_t returned, uint32_t offset,
                      uint32_t entry_length) {
  if (entry_length == 0) return 1;
  int64_t next = (int64_t{available} - returned - offset) / entry_length;
  return static_cast<uint16_t>(std::clamp<int64_t>(next, 1, 0xFFFF));
}

uint32_t ReadBinaryField(ProgramCallApi* pgm, DataObject* object, uint32_t index, bool* read) {
  uint32_t value = 0, bytes = 0, type = 0;
  bool ok = pgm->getBinary(object, index, &value, 4, &bytes, &type) == 0 && bytes == 4;
  if (read != nullptr) *read = ok;
  return ok ? value : 0;
}

}  // namespace zvt
