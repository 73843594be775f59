// "KLIB/KRCHGTS": the change timestamps of a user profile.
#include <cstring>

#include "api/locked_frame.h"
#include "host/admin_host_apis.h"
#include "services/services.h"

namespace zvt {
namespace {

constexpr FieldDescription kReceiverRows[] = {
    {kFieldBinary, 4, 0, kDirectionInner, {}},  // bytes returned
    {kFieldBinary, 4, 0, kDirectionInner, {}},  // bytes available
    {kFieldRaw, 8, 0, kDirectionInner, {}},     // userTimestamp
    {kFieldRaw, 8, 0, kDirectionInner, {}},     // repTimestamp
    {kFieldRaw, 8, 0, kDirectionInner, {}},     // hierTimestamp
};
constexpr FieldTable kReceiver = MakeFieldTable(kReceiverRows);
constexpr FieldDescription kParameterRows[] = {
    {kFieldStruct, 0, 0, kDirectionOutput, kReceiver},  // receiver variable
    {kFieldBinary, 4, 0, kDirectionInput, {}},          // length of receiver variable
    {kFieldChar, 8, 0, kDirectionInput, {}},            // format name
    {kFieldChar, 10, 0, kDirectionInput, {}},           // user profile name
    {kFieldBinary, 4, 0, kDirectionInOut, {}},          // error code
};
constexpr FieldTable kParameters = MakeFieldTable(kParameterRows);

constexpr char16_t kSource[] = u"unadmhostapis";
constexpr uint32_t kMessageNumber = 16646;

// Adds `message` to the component's error object, or to a new one when the
// component gave none; returns 1.
uint32_t Fail(ErrorOut* error, uint32_t line, const char16_t* message) {
  if (!*error) *error = CurrentServices().program_calls->createError(kMessageNumber, kSource, line);
  if (*error) (*error)->addText(message);
  return 1;
}

}  // namespace

uint32_t CAdminHostAPIs::getAdminTimestamps(const std::u16string& system_name,
                                            const std::u16string& user_profile,
                                            uint8_t* user_timestamp, uint8_t* rep_timestamp,
                                            uint8_t* hier_timestamp, ErrorOut* error,
                                            const SystemHandle* handle) {
  LockedFrame frame;
  error->reset();
  ProgramCallApi* pgm = CurrentServices().program_calls;
  DataDescription parameters_dd(kParameters), receiver_dd(kReceiver);
  std::unique_ptr<DataObject> parameters = pgm->createDataObject(parameters_dd);
  if (!parameters) return Fail(error, __LINE__, u"getAdminTimestamps:  Unable to create DD or DO.");
  if (pgm->setText(parameters.get(), 2, u"TSTA0100", error) != 0)
    return Fail(error, __LINE__, u"getAdminTimestamps:  Unable to set format name in DO.");
  if (pgm->setText(parameters.get(), 3, user_profile.c_str(), error) != 0)
    return Fail(error, __LINE__, u"getAdminTimestamps:  Unable to set User Profile name in DO.");
  std::unique_ptr<DataObject> receiver = pgm->createDataObject(receiver_dd);
  DataObject* receiver_ptr = receiver.get();
  if (!receiver || pgm->setObject(parameters.get(), 0, &receiver, error) != 0)
    return Fail(error, __LINE__, u"getAdminTimestamps:  Unable to set Receiver variable DO in DO.");
  uint32_t length = pgm->length(receiver_ptr);
  if (pgm->setBinary(parameters.get(), 1, &length, 4, kFieldBinary, error) != 0)
    return Fail(error, __LINE__,
                u"getAdminTimestamps:  Unable to set length of Receiver variable in DO.");
  std::unique_ptr<RemoteAgent> agent =
      handle != nullptr ? pgm->createRemoteAgent(*handle, error, 1)
                        : pgm->createRemoteAgent(u"ZVWIN", system_name.c_str(), error, 1);
  if (!agent)
    return Fail(error, __LINE__, u"getAdminTimestamps:  Unable to construct RemoteAgent.");
  uint32_t rc = pgm->callProgram(agent.get(), u"KLIB/KRCHGTS", parameters.get(), error);
  agent.reset();
  uint8_t stamps[3][8];
  for (uint32_t i = 0; rc == 0 && i < 3; ++i) {
    uint32_t read = 0, type = 0;
    rc = pgm->getBinary(receiver_ptr, 2 + i, stamps[i], 8, &read, &type);
    if (rc == 0 && read != 8) rc = 1;
  }
  if (rc != 0)
    return Fail(error, __LINE__, u"getAdminTimestamps:  Error returned from KRCHGTS API.");
  std::memcpy(user_timestamp, stamps[0], 8);
  std::memcpy(rep_timestamp, stamps[1], 8);
  std::memcpy(hier_timestamp, stamps[2], 8);
  return 0;
}

}  // namespace zvt
