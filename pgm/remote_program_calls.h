// The remote program call library: data objects, remote agents that call
// host programs over the wire protocol, and error objects recorded in the
// client's error log.
#ifndef ZVT_PGM_REMOTE_PROGRAM_CALLS_H_
#define ZVT_PGM_REMOTE_PROGRAM_CALLS_H_

#include <atomic>
#include <map>
#include <memory>
#include <string>

#include "pgm/connection.h"
#include "pgm/error_log.h"
#include "services/mutex.h"
#include "services/program_calls.h"

namespace zvt::pgm {

// Finds the host and the sign-on of a system, by the client's system-object
// handle or by application and system name.
class SystemLocator {
 public:
  virtual ~SystemLocator() = default;
  virtual bool LocateByHandle(uint64_t handle, SignOnTarget* endpoint, std::string* error) = 0;
  virtual bool LocateByName(std::u16string_view application, std::u16string_view system,
                            SignOnTarget* endpoint, std::string* error) = 0;
};

// Systems known by name (letter case ignored); handles are not known.
class StaticSystemLocator : public SystemLocator {
 public:
  void Add(std::u16string system, SignOnTarget endpoint);
  bool LocateByHandle(uint64_t handle, SignOnTarget* endpoint, std::string* error) override;
  bool LocateByName(std::u16string_view application, std::u16string_view system,
                    SignOnTarget* endpoint, std::string* error) override;

 private:
  Mutex mu_;
  std::map<std::u16string, SignOnTarget> systems_ ZVT_GUARDED_BY(mu_);  // by upper-cased name
};

class RemoteProgramCalls : public ProgramCallApi {
 public:
  // `locator` must outlive this object.
  RemoteProgramCalls(SystemLocator* locator, ErrorLog log);

  std::unique_ptr<DataObject> createDataObject(const DataDescription& description) override;
  std::unique_ptr<ArrayDataObject> createArrayDataObject(const DataDescription& entry,
                                                         uint16_t capacity) override;
  uint32_t setBinary(DataObject* object, uint32_t index, const void* bytes, uint32_t size,
                     uint32_t type, ErrorOut* error) override;
  uint32_t setText(DataObject* object, uint32_t index, const char16_t* text,
                   ErrorOut* error) override;
  uint32_t setObject(DataObject* object, uint32_t index, std::unique_ptr<DataObject>* child,
                     ErrorOut* error) override;
  uint32_t length(const DataObject* object) override;
  DataObject* childObject(DataObject* object, uint32_t index) override;
  std::unique_ptr<RemoteAgent> createRemoteAgent(uint64_t system_handle, ErrorOut* error,
                                                 uint32_t flags) override;
  std::unique_ptr<RemoteAgent> createRemoteAgent(const char16_t* application_name,
                                                 const char16_t* system_name, ErrorOut* error,
                                                 uint32_t flags) override;
  uint32_t callProgram(RemoteAgent* agent, const char16_t* program, DataObject* parameters,
                       ErrorOut* error) override;
  void observeCalls(CallObserver* observer) override { observer_.store(observer); }
  uint32_t getBinary(DataObject* object, uint32_t index, void* destination, uint32_t size,
                     uint32_t* bytes_read, uint32_t* field_type) override;
  uint32_t selectEntry(ArrayDataObject* array, uint16_t entry) override;
  uint32_t getText(DataObject* object, uint32_t index, char16_t* destination,
                   uint32_t destination_bytes) override;
  std::unique_ptr<ErrorObject> createError(uint32_t message_number, const char16_t* source_name,
                                           uint32_t line) override;

  ConnectionPool* pool() { return &pool_; }

 private:
  // Sets `*error` to a new error object with one text and returns `code`.
  uint32_t Fail(ErrorOut* error, uint32_t code, uint32_t error_class, const std::string& text);
  // Fail for a caught exception: never throws, and leaves no error object
  // when there is no memory for one.
  uint32_t FailQuietly(ErrorOut* error, const std::string& text) noexcept;
  uint32_t CallProgram(RemoteAgent* agent, const char16_t* program, DataObject* parameters,
                       ErrorOut* error);
  std::unique_ptr<RemoteAgent> MakeAgent(bool located, const SignOnTarget& endpoint,
                                         const std::string& locate_error, ErrorOut* error);

  SystemLocator* locator_;
  ErrorLog log_;
  ConnectionPool pool_;
  std::atomic<CallObserver*> observer_{nullptr};
};

}  // namespace zvt::pgm

#endif  // ZVT_PGM_REMOTE_PROGRAM_CALLS_H_
