// "KLIB/KRUSRFN": one profile's usage setting of each function of a
// category, following the continuation handle until the list is complete.
#include <algorithm>
#include <cstring>

#include "host/admin_host_apis.h"
#include "host/list_formats.h"
#include "host/program_names.h"
#include "services/locked_frame.h"
#include "services/services.h"

namespace zvt {
namespace {

constexpr SelectionMessages kSelectionMessages = {
    u"getUsersFuncInfo:  Unable to set Function selections DO in DO.",
    u"getUsersFuncInfo:  Unable to set # of selections in DO.",
    u"getUsersFuncInfo:  Unable to set Function Selection DO in DO.",
    u"getUsersFuncInfo:  Unable to set record length in DO.",
    u"getUsersFuncInfo:  Unable to set Comparison operator in DO.",
    u"getUsersFuncInfo:  Unable to set Function control key in DO.",
    u"getUsersFuncInfo:  Unable to set length of Comparison data in DO.",
    u"getUsersFuncInfo:  Unable to set Comparison data in DO.",
};
constexpr char16_t kErrorCodeMessage[] = u"getUsersFuncInfo:  Unable to set Error Code in DO.";
constexpr char16_t kArrayMessage[] = u"getUsersFuncInfo:  Unable to set Function entry ADO in DO.";
constexpr char16_t kLengthMessage[] =
    u"getUsersFuncInfo:  Unable to set Receiver variable length in DO.";
constexpr char16_t kHandleMessage[] =
    u"getUsersFuncInfo:  Unable to set Continuation handle in DO.";
constexpr char16_t kCallMessage[] = u"getUsersFuncInfo:  Error returned from KRUSRFN API.";

}  // namespace

// Asks for the list part by part and hands each received entry's ID and
// usage setting to `take`.
uint32_t CAdminHostAPIs::getUsersFuncUsage(const std::u16string& system_name,
                                           std::u16string& user_profile, uint32_t category_selector,
                                           const UsageSink& take, size_t* listed, ErrorOut* error,
                                           const SystemHandle* handle) {
  *listed = 0;
  return GuardHostCall(error, u"getUsersFuncInfo", __LINE__, [&]() -> uint32_t {
    LockedFrame frame;
    error->reset();
    ProgramCallApi* pgm = CurrentServices().program_calls;
    DataDescription parameters_dd(kUsageListTable), receiver_dd(kUsageReceiverTable),
        entry_dd(kUsageEntryTable);
    std::unique_ptr<DataObject> parameters = pgm->createDataObject(parameters_dd);
    DataObject* p = parameters.get();
    if (!p) return FailHostCall(error, __LINE__, u"getUsersFuncInfo:  Unable to create DD or DO.");
    if (pgm->setBinary(p, 0, kBlankHandle, 20, kFieldRaw, error) != 0)
      return FailHostCall(error, __LINE__, kHandleMessage);
    if (pgm->setText(p, 7, u"0", error) != 0)
      return FailHostCall(error, __LINE__, kErrorCodeMessage);
    if (pgm->setText(p, 3, kUsageListFormat16.text, error) != 0)
      return FailHostCall(error, __LINE__, u"getUsersFuncInfo:  Unable to set Format name in DO.");
    // The host's profile names never begin with a digit; such names are
    // stored with a "Q" in front.
    if (!user_profile.empty() && user_profile[0] >= u'0' && user_profile[0] <= u'9')
      user_profile.insert(user_profile.begin(), u'Q');
    if (pgm->setText(p, 4, user_profile.c_str(), error) != 0)
      return FailHostCall(error, __LINE__, u"getUsersFuncInfo:  Unable to set Profile name in DO.");
    std::unique_ptr<DataObject> receiver = pgm->createDataObject(receiver_dd);
    DataObject* r = receiver.get();
    if (!r || pgm->setObject(p, 1, &receiver, error) != 0)
      return FailHostCall(error, __LINE__,
                          u"getUsersFuncInfo:  Unable to set Receiver variable DO in DO.");
    if (AttachCategorySelection(pgm, p, 5, CategoryCode(category_selector), kSelectionMessages,
                                error) != 0)
      return 1;

    uint16_t capacity = kUsageListFirstCapacity;
    uint8_t continuation[20];
    for (bool first = true;; first = false) {
      std::unique_ptr<DataObject> array = pgm->createArrayDataObject(entry_dd, capacity);
      auto* entries = static_cast<ArrayDataObject*>(array.get());
      if (!entries || pgm->setObject(r, 7, &array, error) != 0)
        return FailHostCall(error, __LINE__, kArrayMessage);
      if (!first && pgm->setBinary(p, 0, continuation, 20, kFieldRaw, error) != 0)
        return FailHostCall(error, __LINE__, kHandleMessage);
      uint32_t length = pgm->length(r);
      if (pgm->setBinary(p, 2, &length, 4, kFieldBinary, error) != 0)
        return FailHostCall(error, __LINE__, kLengthMessage);
      if (pgm->setText(p, 7, u"0", error) != 0)
        return FailHostCall(error, __LINE__, kErrorCodeMessage);
      std::unique_ptr<RemoteAgent> agent = MakeHostAgent(pgm, system_name, handle, error);
      if (!agent)
        return FailHostCall(error, __LINE__,
                            u"getUsersFuncInfo:  Unable to construct RemoteAgent.");
      uint32_t rc = pgm->callProgram(agent.get(), kUsageListName16.text, p, error);
      agent.reset();
      if (rc != 0) return FailHostCall(error, __LINE__, kCallMessage);

      bool last = ReadContinuation(pgm, r, continuation);
      bool readable = false;
      uint32_t available = ReadBinaryField(pgm, r, 1, &readable);
      uint32_t count = 0, returned = 0, offset = 0, entry_length = 0;
      if (readable) {
        offset = ReadBinaryField(pgm, r, 3);
        entry_length = ReadBinaryField(pgm, r, 5);
        returned = ReadBinaryField(pgm, r, 0);
        count = std::min<uint32_t>(ReadBinaryField(pgm, r, 4), capacity);
      }
      for (uint32_t i = 0; i < count; ++i) {
        if (pgm->selectEntry(entries, static_cast<uint16_t>(i)) != 0) break;
        char16_t id[31] = {}, usage[3] = {};
        pgm->getText(entries, 0, id, sizeof id);
        pgm->getText(entries, 1, usage, sizeof usage);
        take(std::u16string_view(id), usage[0] == u'1' && usage[1] == 0);
        ++*listed;
      }
      if (last) break;
      // A part without entries that still promises more would ask again
      // forever, and so would a list without end.
      if (count == 0 || *listed >= kMaxListEntries)
        return FailHostCall(error, __LINE__, kCallMessage);
      capacity = NextCapacity(available, returned, offset, entry_length);
    }
    return 0;
  });
}

uint32_t CAdminHostAPIs::getUsersFuncInfo(const std::u16string& system_name,
                                          std::u16string& user_profile, uint32_t category_selector,
                                          int32_t /*format_level*/, UsageRecordList* list,
                                          ErrorOut* error, const SystemHandle* handle) {
  size_t listed = 0;
  auto take = [list](std::u16string_view id, bool denied) {
    auto record = std::make_unique<UserFunctionUsageRecord>();
    record->functionId = id;
    record->allowed = denied ? 0 : 1;
    list->push_back(std::move(record));
  };
  return getUsersFuncUsage(system_name, user_profile, category_selector, take, &listed, error,
                           handle);
}

}  // namespace zvt
