// The remote program call library through which host programs are called.
// A parameter list is described by static tables of field descriptions,
// filled into data objects, sent by a remote agent and read back; failures
// come back as error objects, which the receiver owns.
#ifndef ZVT_SERVICES_PROGRAM_CALLS_H_
#define ZVT_SERVICES_PROGRAM_CALLS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zvt {

// Field types.
enum : uint16_t {
  kFieldRaw = 1,           // `length` bytes, passed unchanged
  kFieldBinary = 6,        // 4-byte integer, big-endian towards the host
  kFieldChar = 7,          // `length` characters, converted to the host's encoding
  kFieldCharVarying = 19,  // characters; count held in field (length >> 16) - 1
  kFieldStruct = 20,       // a structure described by `sub_table`
  kFieldArray = 28,        // entries of `sub_table`; count in field (length >> 16) - 1,
                           // stride in field link - 1
  kFieldFiller = 33,       // skips up to the offset held in field (length >> 16) - 1
};

// Field directions.
enum : uint16_t {
  kDirectionInner = 0,  // a field inside a structure
  kDirectionInput = 1,
  kDirectionOutput = 2,
  kDirectionInOut = 3,
};

struct FieldDescription;

// A static table of field descriptions.
struct FieldTable {
  const FieldDescription* rows = nullptr;
  size_t count = 0;
};

template <size_t N>
constexpr FieldTable MakeFieldTable(const FieldDescription (&rows)[N]) {
  return FieldTable{rows, N};
}

struct FieldDescription {
  uint16_t type;
  uint32_t length;
  uint16_t link;
  uint16_t direction;
  FieldTable sub_table;
};

// Index (counted from 0) of the field that a varying field refers to, or -1.
inline int ReferencedField(uint32_t length) { return static_cast<int>(length >> 16) - 1; }

// A description built on the caller's storage from a static table. It only
// refers to the table, which must outlive it and every object made from it.
class DataDescription {
 public:
  explicit DataDescription(const FieldTable& table) : table_(table) {}
  const FieldTable& table() const { return table_; }
  size_t field_count() const { return table_.count; }

 private:
  FieldTable table_;
};

// One message from the host: identifier, severity and text.
struct HostMessage {
  std::u16string id;
  int severity = 0;
  std::u16string text;
};

// Error classes.
enum : uint32_t {
  kErrorClassNone = 0,
  kErrorClassLocal = 1,          // a data object or description was misused
  kErrorClassCommunication = 2,  // the host could not be reached or the connection failed
  kErrorClassSecurity = 3,       // sign-on was refused
  kErrorClassHostMessages = 4,   // the host program answered with messages
};

// What went wrong, as a list of texts. The owner deletes it.
class ErrorObject {
 public:
  ErrorObject(uint32_t message_number, std::u16string source, uint32_t line,
              uint32_t error_class = kErrorClassLocal)
      : message_number_(message_number),
        source_(std::move(source)),
        line_(line),
        error_class_(error_class) {}
  virtual ~ErrorObject() = default;
  ErrorObject(const ErrorObject&) = delete;
  ErrorObject& operator=(const ErrorObject&) = delete;

  // Appends one message text.
  virtual void addText(std::u16string_view text) { texts_.emplace_back(text); }

  uint32_t errorClass() const { return error_class_; }
  void setErrorClass(uint32_t error_class) { error_class_ = error_class; }
  uint32_t messageNumber() const { return message_number_; }
  const std::u16string& source() const { return source_; }
  uint32_t line() const { return line_; }
  const std::vector<std::u16string>& texts() const { return texts_; }
  const std::vector<HostMessage>& hostMessages() const { return host_messages_; }
  void addHostMessage(HostMessage message) { host_messages_.push_back(std::move(message)); }

 private:
  uint32_t message_number_;
  std::u16string source_;
  uint32_t line_;
  uint32_t error_class_;
  std::vector<std::u16string> texts_;
  std::vector<HostMessage> host_messages_;
};

using ErrorOut = std::unique_ptr<ErrorObject>;

// Data objects are opaque to their users; the library behind the seam
// defines them.
class DataObject {
 public:
  virtual ~DataObject() = default;
};
class ArrayDataObject : public DataObject {};
class RemoteAgent {
 public:
  virtual ~RemoteAgent() = default;
};

// Return codes of the library: 0 success, else one of these.
enum : uint32_t {
  kPgmOk = 0,
  kPgmBadIndex = 4001,      // no such field, or not a field of that kind
  kPgmBadValue = 4002,      // the value does not fit the field
  kPgmNotAvailable = 4003,  // the field holds no value (not set, not received)
  kPgmTruncated = 4004,     // the text did not fit the destination and was cut
  kPgmBadObject = 4005,     // a null or foreign object
  kPgmCallFailed = 4010,    // the program call failed; see the error object
  kPgmNoConnection = 4011,  // the remote agent could not be built
};

// Told of the program calls a ProgramCallApi makes, on the calling thread:
// what a long piece of work shows of its progress.
class CallObserver {
 public:
  virtual ~CallObserver() = default;
  virtual void CallBegins(const char16_t* program) = 0;
  // `parameters` as the call left them; `rc` what callProgram returns.
  virtual void CallEnded(const char16_t* program, DataObject* parameters, uint32_t rc) = 0;
};

class ProgramCallApi {
 public:
  virtual ~ProgramCallApi() = default;

  // `observer` (null: none) is told of every call from now on, and must
  // outlive its turn. An implementation that cannot tell ignores it.
  virtual void observeCalls(CallObserver* observer) { (void)observer; }

  // Null when the description is not valid (a reference to a missing field,
  // an unknown type, a structure without its table).
  virtual std::unique_ptr<DataObject> createDataObject(const DataDescription& description) = 0;
  virtual std::unique_ptr<ArrayDataObject> createArrayDataObject(const DataDescription& entry,
                                                                 uint16_t capacity) = 0;

  // `type` 6: `bytes` holds a native 32-bit integer (size 4); type 1: raw bytes.
  virtual uint32_t setBinary(DataObject* object, uint32_t index, const void* bytes, uint32_t size,
                             uint32_t type, ErrorOut* error) = 0;
  // Character fields take the text; binary fields take a decimal number ("0").
  virtual uint32_t setText(DataObject* object, uint32_t index, const char16_t* text,
                           ErrorOut* error) = 0;
  // On success the object owns the child and `*child` is empty; on failure
  // `*child` is left to the caller.
  virtual uint32_t setObject(DataObject* object, uint32_t index, std::unique_ptr<DataObject>* child,
                             ErrorOut* error) = 0;
  virtual uint32_t length(const DataObject* object) = 0;
  virtual DataObject* childObject(DataObject* object, uint32_t index) = 0;

  virtual std::unique_ptr<RemoteAgent> createRemoteAgent(uint64_t system_handle, ErrorOut* error,
                                                         uint32_t flags) = 0;
  virtual std::unique_ptr<RemoteAgent> createRemoteAgent(const char16_t* application_name,
                                                         const char16_t* system_name,
                                                         ErrorOut* error, uint32_t flags) = 0;
  virtual uint32_t callProgram(RemoteAgent* agent, const char16_t* program, DataObject* parameters,
                               ErrorOut* error) = 0;

  // Copies a received or set field. Binary fields come back as a native
  // integer; raw fields as bytes. `*bytes_read` gets the bytes copied and
  // `*field_type` the field's type. Returns 0 when the field was read.
  virtual uint32_t getBinary(DataObject* object, uint32_t index, void* destination, uint32_t size,
                             uint32_t* bytes_read, uint32_t* field_type) = 0;
  // Later reads through `array` address entry `entry`.
  virtual uint32_t selectEntry(ArrayDataObject* array, uint16_t entry) = 0;
  // NUL-terminated text with trailing blanks removed; `destination_bytes` is
  // the destination's size in bytes. A text that does not fit is cut and
  // kPgmTruncated returned.
  virtual uint32_t getText(DataObject* object, uint32_t index, char16_t* destination,
                           uint32_t destination_bytes) = 0;

  virtual std::unique_ptr<ErrorObject> createError(uint32_t message_number,
                                                   const char16_t* source_name, uint32_t line) = 0;
};

}  // namespace zvt

#endif  // ZVT_SERVICES_PROGRAM_CALLS_H_
