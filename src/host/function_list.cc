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

// The text of an entry field, cut to `limit` characters, into `buffer`
// (room for 132 characters and the terminator).
using FieldBuffer = char16_t[133];
std::u16string_view EntryText(ProgramCallApi* pgm, DataObject* entries, uint32_t index,
                              size_t limit, FieldBuffer& buffer) {
  constexpr size_t kRoom = sizeof(FieldBuffer) / sizeof(char16_t) - 1;
  if (limit > kRoom) limit = kRoom;
  buffer[0] = 0;
  pgm->getText(entries, index, buffer, static_cast<uint32_t>((limit + 1) * sizeof(char16_t)));
  return std::u16string_view(buffer);
}

// An indicator counts only when its text is exactly `expected`.
bool Is(std::u16string_view text, char16_t expected) {
  return text.size() == 1 && text[0] == expected;
}

uint8_t Category(std::u16string_view text) {
  return Is(text, u'0') ? 0 : Is(text, u'1') ? 1 : Is(text, u'2') ? 2 : 3;
}

uint8_t Type(std::u16string_view text) { return Is(text, u'1') ? 0 : Is(text, u'2') ? 1 : 2; }

// Each function as a record of its own, with every field.
struct WholeRecords {
  FunctionInfoList* list;

  size_t size() const { return list->size(); }
  void Reserve(size_t n) { list->reserve(n); }
  void Take(ProgramCallApi* pgm, DataObject* entries) {
    FieldBuffer buffer;
    auto record = std::make_unique<FunctionInfoRecord>();
    record->functionId = EntryText(pgm, entries, 0, 30, buffer);
    record->functionCategory = Category(EntryText(pgm, entries, 1, 1, buffer));
    record->functionType = Type(EntryText(pgm, entries, 2, 1, buffer));
    record->rootFunctionId = EntryText(pgm, entries, 21, 30, buffer);
    record->parentFunctionId = EntryText(pgm, entries, 22, 30, buffer);
    record->functionName = EntryText(pgm, entries, 6, 132, buffer);
    if (record->functionName.empty())
      record->functionName = EntryText(pgm, entries, 9, 132, buffer);
    record->functionDescription = EntryText(pgm, entries, 15, 132, buffer);
    if (record->functionDescription.empty())
      record->functionDescription = EntryText(pgm, entries, 18, 132, buffer);
    record->indicator1 = Is(EntryText(pgm, entries, 23, 1, buffer), u'2') ? 1 : 0;
    record->indicator2 = Is(EntryText(pgm, entries, 24, 1, buffer), u'1') ? 1 : 0;
    record->indicator3 = Is(EntryText(pgm, entries, 25, 1, buffer), u'1') ? 1 : 0;
    list->push_back(std::move(record));
  }
};

// Only what places each function, side by side in one list.
struct Placements {
  FunctionPlacements* list;

  size_t size() const { return list->size(); }
  void Reserve(size_t n) { list->Reserve(n); }
  void Take(ProgramCallApi* pgm, DataObject* entries) {
    FieldBuffer id, root, parent, one;
    const uint8_t category = Category(EntryText(pgm, entries, 1, 1, one));
    const uint8_t type = Type(EntryText(pgm, entries, 2, 1, one));
    list->Add(EntryText(pgm, entries, 0, 30, id), category, type,
              EntryText(pgm, entries, 21, 30, root), EntryText(pgm, entries, 22, 30, parent));
  }
};

// Asks for the list part by part and hands each received entry to `sink`.
template <typename Sink>
uint32_t ReadFunctionList(const std::u16string& system_name, uint32_t category_selector, Sink sink,
                          ErrorOut* error, const SystemHandle* handle) {
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
      if (sink.size() == 0) sink.Reserve(count);
      for (uint32_t i = 0; i < count; ++i) {
        if (pgm->selectEntry(entries, static_cast<uint16_t>(i)) != 0) break;
        sink.Take(pgm, entries);
      }
      if (last) break;
      // A part without entries that still promises more would ask again
      // forever, and so would a list without end.
      if (count == 0 || sink.size() >= kMaxListEntries)
        return FailHostCall(error, __LINE__, u"getFuncList:  Error received from KRFNLST API.");
    }
    return 0;
  });
}

}  // namespace

void FunctionPlacements::Reserve(size_t entries) {
  entries_.reserve(entries);
  text_.reserve(entries * 24);
}

FunctionPlacements::Text FunctionPlacements::Keep(std::u16string_view s) {
  Text t{static_cast<uint32_t>(text_.size()), static_cast<uint32_t>(s.size())};
  text_.append(s);
  return t;
}

void FunctionPlacements::Add(std::u16string_view id, uint8_t category, uint8_t type,
                             std::u16string_view root, std::u16string_view parent) {
  Entry e;
  e.id = Keep(id);
  const Entry* before = entries_.empty() ? nullptr : &entries_.back();
  e.root = before != nullptr && text(before->root) == root ? before->root : Keep(root);
  e.parent = before != nullptr && text(before->parent) == parent ? before->parent : Keep(parent);
  e.category = category;
  e.type = type;
  entries_.push_back(e);
}

uint32_t CAdminHostAPIs::getFuncList(const std::u16string& system_name, uint32_t category_selector,
                                     FunctionInfoList* list, ErrorOut* error,
                                     const SystemHandle* handle) {
  return ReadFunctionList(system_name, category_selector, WholeRecords{list}, error, handle);
}

uint32_t CAdminHostAPIs::getFuncPlacements(const std::u16string& system_name,
                                           uint32_t category_selector, FunctionPlacements* list,
                                           ErrorOut* error, const SystemHandle* handle) {
  return ReadFunctionList(system_name, category_selector, Placements{list}, error, handle);
}

}  // namespace zvt
