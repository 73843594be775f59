// "KLIB/KRFNLST": the host's function registry, 64 functions per call,
// chained by the continuation handle.
#include <cstring>

#include "host/admin_host_apis.h"
#include "host/list_formats.h"
#include "host/program_names.h"
#include "services/locked_frame.h"
#include "services/services.h"

namespace zvt {
namespace {

constexpr SelectionMessages kSelectionMessages = {
    u"getFuncList:  Unable to set Function Selections DO in DO.",
    u"getFuncList:  Unable to set # of selections in DO.",
    u"getFuncList:  Unable to set Function Selection DO in DO.",
    u"getFuncList:  Unable to set record length in DO.",
    u"getFuncList:  Unable to set Comparison operator in DO.",
    u"getFuncList:  Unable to set Function Control Key in DO.",
    u"getFuncList:  Unable to set length of Comparison data in DO.",
    u"getFuncList:  Unable to set Comparison data in DO.",
};

// The text of an entry field, cut to `limit` characters.
std::u16string EntryText(ProgramCallApi* pgm, DataObject* entries, uint32_t index, size_t limit) {
  char16_t buffer[133];
  if (limit + 1 > sizeof buffer / sizeof buffer[0]) limit = sizeof buffer / sizeof buffer[0] - 1;
  buffer[0] = 0;
  pgm->getText(entries, index, buffer, static_cast<uint32_t>((limit + 1) * sizeof(char16_t)));
  return buffer;
}

// An indicator counts only when its text is exactly `expected`.
bool Is(const std::u16string& text, char16_t expected) {
  return text.size() == 1 && text[0] == expected;
}

std::unique_ptr<FunctionInfoRecord> DecodeEntry(ProgramCallApi* pgm, DataObject* entries,
                                                FunctionFields fields) {
  auto record = std::make_unique<FunctionInfoRecord>();
  record->functionId = EntryText(pgm, entries, 0, 30);
  std::u16string category = EntryText(pgm, entries, 1, 1);
  record->functionCategory = Is(category, u'0')   ? 0
                             : Is(category, u'1') ? 1
                             : Is(category, u'2') ? 2
                                                  : 3;
  std::u16string type = EntryText(pgm, entries, 2, 1);
  record->functionType = Is(type, u'1') ? 0 : Is(type, u'2') ? 1 : 2;
  record->rootFunctionId = EntryText(pgm, entries, 21, 30);
  record->parentFunctionId = EntryText(pgm, entries, 22, 30);
  if (fields == FunctionFields::kPlacement) return record;
  record->functionName = EntryText(pgm, entries, 6, 132);
  if (record->functionName.empty()) record->functionName = EntryText(pgm, entries, 9, 132);
  record->functionDescription = EntryText(pgm, entries, 15, 132);
  if (record->functionDescription.empty())
    record->functionDescription = EntryText(pgm, entries, 18, 132);
  record->indicator1 = Is(EntryText(pgm, entries, 23, 1), u'2') ? 1 : 0;
  record->indicator2 = Is(EntryText(pgm, entries, 24, 1), u'1') ? 1 : 0;
  record->indicator3 = Is(EntryText(pgm, entries, 25, 1), u'1') ? 1 : 0;
  return record;
}

}  // namespace

uint32_t CAdminHostAPIs::getFuncList(const std::u16string& system_name, uint32_t category_selector,
                                     FunctionInfoList* list, ErrorOut* error,
                                     const SystemHandle* handle, FunctionFields fields) {
  return GuardHostCall(error, u"getFuncList", __LINE__, [&]() -> uint32_t {
    LockedFrame frame;
    error->reset();
    ProgramCallApi* pgm = CurrentServices().program_calls;
    DataDescription parameters_dd(kFunctionListTable), receiver_dd(kFunctionReceiverTable),
        entry_dd(kFunctionEntryTable);
    std::unique_ptr<DataObject> parameters = pgm->createDataObject(parameters_dd);
    DataObject* p = parameters.get();
    if (!p) return FailHostCall(error, __LINE__, u"getFuncList:  Unable to create DD or DO.");
    if (pgm->setBinary(p, 0, kBlankHandle, 20, kFieldRaw, error) != 0)
      return FailHostCall(error, __LINE__,
                          u"getFuncList:  Unable to set Continuation handle in DO.");
    if (pgm->setText(p, 3, kFunctionListFormat16.text, error) != 0)
      return FailHostCall(error, __LINE__, u"getFuncList:  Unable to set Format name in DO.");
    if (AttachCategorySelection(pgm, p, 4, CategoryCode(category_selector), kSelectionMessages,
                                error) != 0)
      return 1;
    std::unique_ptr<DataObject> receiver = pgm->createDataObject(receiver_dd);
    DataObject* r = receiver.get();
    if (!r || pgm->setObject(p, 1, &receiver, error) != 0)
      return FailHostCall(error, __LINE__,
                          u"getFuncList:  Unable to set Receiver variable DO in DO.");

    uint8_t continuation[20];
    std::memcpy(continuation, kBlankHandle, sizeof continuation);
    for (bool first = true;; first = false) {
      std::unique_ptr<DataObject> array =
          pgm->createArrayDataObject(entry_dd, kFunctionListCapacity);
      auto* entries = static_cast<ArrayDataObject*>(array.get());
      if (!entries || pgm->setObject(r, 7, &array, error) != 0)
        return FailHostCall(error, __LINE__,
                            first ? u"getFuncList:  Unable to set Function entry DO in DO."
                                  : u"getFuncList:  Unable to set Function entry ADO in DO.");
      if (!first && pgm->setBinary(p, 0, continuation, 20, kFieldRaw, error) != 0)
        return FailHostCall(error, __LINE__,
                            u"getFuncList:  Unable to set Continuation handle in DO.");
      uint32_t length = pgm->length(r);
      if (pgm->setBinary(p, 2, &length, 4, kFieldBinary, error) != 0)
        return FailHostCall(error, __LINE__,
                            u"getFuncList:  Unable to set Receiver variable length in DO.");
      if (pgm->setText(p, 6, u"0", error) != 0)
        return FailHostCall(error, __LINE__, u"getFuncList:  Unable to set Error Code in DO.");
      std::unique_ptr<RemoteAgent> agent = MakeHostAgent(pgm, system_name, handle, error);
      if (!agent)
        return FailHostCall(error, __LINE__, u"getFuncList:  Unable to construct RemoteAgent.");
      uint32_t rc = pgm->callProgram(agent.get(), kFunctionListName16.text, p, error);
      agent.reset();
      if (rc != 0)
        return FailHostCall(error, __LINE__, u"getFuncList:  Error received from KRFNLST API.");

      bool last = ReadContinuation(pgm, r, continuation);
      // Entries go after those of the earlier parts, in host order; a count
      // beyond the array is the host's error and is cut to the array.
      uint32_t count = ReadBinaryField(pgm, r, 4);
      if (count > kFunctionListCapacity) count = kFunctionListCapacity;
      if (list->empty()) list->reserve(count);
      for (uint32_t i = 0; i < count; ++i) {
        if (pgm->selectEntry(entries, static_cast<uint16_t>(i)) != 0) break;
        list->push_back(DecodeEntry(pgm, entries, fields));
      }
      if (last) break;
      // A part without entries that still promises more would ask again
      // forever, and so would a list without end.
      if (count == 0 || list->size() >= kMaxListEntries)
        return FailHostCall(error, __LINE__, u"getFuncList:  Error received from KRFNLST API.");
    }
    return 0;
  });
}

}  // namespace zvt
