// "KLIB/KRCHGTS": the change timestamps of a user profile.
#include <cstring>

#include "host/admin_host_apis.h"
#include "host/list_formats.h"
#include "host/program_names.h"
#include "services/locked_frame.h"
#include "services/services.h"

namespace zvt {
uint32_t CAdminHostAPIs::getAdminTimestamps(const std::u16string& system_name,
                                            const std::u16string& user_profile,
                                            uint8_t* user_timestamp, uint8_t* rep_timestamp,
                                            uint8_t* hier_timestamp, ErrorOut* error,
                                            const SystemHandle* handle) {
  return GuardHostCall(error, u"getAdminTimestamps", __LINE__, [&]() -> uint32_t {
    LockedFrame frame;
    error->reset();
    ProgramCallApi* pgm = CurrentServices().program_calls;
    DataDescription parameters_dd(kTimestampListTable), receiver_dd(kTimestampReceiverTable);
    std::unique_ptr<DataObject> parameters = pgm->createDataObject(parameters_dd);
    if (!parameters)
      return FailHostCall(error, __LINE__, u"getAdminTimestamps:  Unable to create DD or DO.");
    if (pgm->setText(parameters.get(), 2, kChangeTimestampsFormat16.text, error) != 0)
      return FailHostCall(error, __LINE__,
                          u"getAdminTimestamps:  Unable to set format name in DO.");
    if (pgm->setText(parameters.get(), 3, user_profile.c_str(), error) != 0)
      return FailHostCall(error, __LINE__,
                          u"getAdminTimestamps:  Unable to set User Profile name in DO.");
    std::unique_ptr<DataObject> receiver = pgm->createDataObject(receiver_dd);
    DataObject* receiver_ptr = receiver.get();
    if (!receiver || pgm->setObject(parameters.get(), 0, &receiver, error) != 0)
      return FailHostCall(error, __LINE__,
                          u"getAdminTimestamps:  Unable to set Receiver variable DO in DO.");
    uint32_t length = pgm->length(receiver_ptr);
    if (pgm->setBinary(parameters.get(), 1, &length, 4, kFieldBinary, error) != 0)
      return FailHostCall(error, __LINE__,
                          u"getAdminTimestamps:  Unable to set length of Receiver variable in DO.");
    std::unique_ptr<RemoteAgent> agent = MakeHostAgent(pgm, system_name, handle, error);
    if (!agent)
      return FailHostCall(error, __LINE__,
                          u"getAdminTimestamps:  Unable to construct RemoteAgent.");
    uint32_t rc =
        pgm->callProgram(agent.get(), kChangeTimestampsName16.text, parameters.get(), error);
    agent.reset();
    uint8_t stamps[3][8];
    for (uint32_t i = 0; rc == 0 && i < 3; ++i) {
      uint32_t read = 0, type = 0;
      rc = pgm->getBinary(receiver_ptr, 2 + i, stamps[i], 8, &read, &type);
      if (rc == 0 && read != 8) rc = 1;
    }
    if (rc != 0)
      return FailHostCall(error, __LINE__,
                          u"getAdminTimestamps:  Error returned from KRCHGTS API.");
    std::memcpy(user_timestamp, stamps[0], 8);
    std::memcpy(rep_timestamp, stamps[1], 8);
    std::memcpy(hier_timestamp, stamps[2], 8);
    return 0;
  });
}

}  // namespace zvt
