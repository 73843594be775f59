// The operations of the remote program call library.
#include "pgm/remote_program_calls.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <utility>

#include "pgm/big_endian.h"
#include "pgm/ccsid37.h"
#include "pgm/data_object.h"
#include "pgm/receiver_check.h"
#include "platform/name_fold.h"
#include "platform/utf.h"
#include "services/mutex.h"

namespace zvt::pgm {
namespace {

constexpr char16_t kSource[] = u"zvtpgm";

class PgmRemoteAgent : public RemoteAgent {
 public:
  PgmRemoteAgent(ConnectionPool* pool, SignOnTarget endpoint,
                 std::unique_ptr<HostConnection> connection, bool reused)
      : pool_(pool),
        endpoint_(std::move(endpoint)),
        connection_(std::move(connection)),
        reused_(reused) {}
  ~PgmRemoteAgent() override { pool_->Release(endpoint_, std::move(connection_)); }

  // Calls over the agent's connection. A connection taken from the pool may
  // have been closed by the host while idle: then the call is made once more
  // on a new connection (the host programs only read). Within a conversation
  // that has a deadline, no call starts after it and none waits past it.
  bool Call(const wire::Call& call, wire::CallReply* reply, Failure* failure) {
    int read_timeout_ms = 0;
    if (endpoint_.deadline != std::chrono::steady_clock::time_point{}) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            endpoint_.deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) {
        failure->cause = Failure::Cause::kTimedOut;
        failure->error_class = kErrorClassCommunication;
        failure->text = "timed out: the conversation with the host passed its deadline";
        return false;
      }
      read_timeout_ms = static_cast<int>(std::min<int64_t>(left, endpoint_.read_timeout_ms));
    }
    if (connection_ && connection_->Call(call, reply, failure, read_timeout_ms)) return true;
    if (!reused_) return false;
    reused_ = false;
    connection_ = HostConnection::Open(endpoint_, failure);
    return connection_ && connection_->Call(call, reply, failure, read_timeout_ms);
  }

 private:
  ConnectionPool* pool_;
  SignOnTarget endpoint_;
  std::unique_ptr<HostConnection> connection_;
  bool reused_;
};

std::u16string Upper(std::u16string_view s) { return platform::FoldName(s); }

std::string FieldName(uint32_t index) { return "field " + std::to_string(index); }

}  // namespace

void StaticSystemLocator::Add(std::u16string system, SignOnTarget endpoint) {
  MutexLock lock(&mu_);
  systems_[Upper(system)] = std::move(endpoint);
}

bool StaticSystemLocator::LocateByHandle(uint64_t handle, SignOnTarget*, std::string* error) {
  *error = "no system object with handle " + std::to_string(handle);
  return false;
}

bool StaticSystemLocator::LocateByName(std::u16string_view, std::u16string_view system,
                                       SignOnTarget* endpoint, std::string* error) {
  MutexLock lock(&mu_);
  auto it = systems_.find(Upper(system));
  if (it == systems_.end()) {
    *error = "system " + platform::Utf16ToUtf8(system) + " is not configured";
    return false;
  }
  *endpoint = it->second;
  return true;
}

RemoteProgramCalls::RemoteProgramCalls(SystemLocator* locator, ErrorLog log)
    : locator_(locator), log_(std::move(log)) {}

uint32_t RemoteProgramCalls::Fail(ErrorOut* error, uint32_t code, uint32_t error_class,
                                  const std::string& text) {
  if (error != nullptr) {
    *error = std::make_unique<LoggedErrorObject>(&log_, code, kSource, 0, error_class);
    (*error)->addText(platform::U16(text));
  }
  return code;
}

std::unique_ptr<DataObject> RemoteProgramCalls::createDataObject(
    const DataDescription& description) {
  if (!ValidTable(description.table())) return nullptr;
  try {
    return std::make_unique<PgmDataObject>(description.table());
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

std::unique_ptr<ArrayDataObject> RemoteProgramCalls::createArrayDataObject(
    const DataDescription& entry, uint16_t capacity) {
  if (!ValidTable(entry.table())) return nullptr;
  try {
    return std::make_unique<PgmArrayDataObject>(entry.table(), capacity);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

uint32_t RemoteProgramCalls::setBinary(DataObject* object, uint32_t index, const void* bytes,
                                       uint32_t size, uint32_t type, ErrorOut* error) {
  Node* node = AsNode(object);
  Record* record = node != nullptr ? node->writable() : nullptr;
  if (record == nullptr)
    return Fail(error, kPgmBadObject, kErrorClassLocal, "setBinary: no object");
  if (index >= record->size())
    return Fail(error, kPgmBadIndex, kErrorClassLocal, "setBinary: no " + FieldName(index));
  const FieldDescription& f = record->field(index);
  if (bytes == nullptr && size != 0)
    return Fail(error, kPgmBadValue, kErrorClassLocal, "setBinary: no bytes");
  Slot& slot = record->slot(index);
  if (type == kFieldBinary && f.type == kFieldBinary && size == 4) {
    uint32_t v;
    std::memcpy(&v, bytes, 4);
    slot.bytes = big_endian::Bytes32(v);
  } else if (type == kFieldRaw && f.type == kFieldRaw && size <= f.length) {
    slot.bytes.assign(static_cast<const char*>(bytes), size);
  } else {
    return Fail(error, kPgmBadValue, kErrorClassLocal,
                "setBinary: " + std::to_string(size) + " bytes of type " + std::to_string(type) +
                    " do not fit " + FieldName(index) + " of type " + std::to_string(f.type));
  }
  slot.has_value = true;
  return kPgmOk;
}

uint32_t RemoteProgramCalls::setText(DataObject* object, uint32_t index, const char16_t* text,
                                     ErrorOut* error) {
  Node* node = AsNode(object);
  Record* record = node != nullptr ? node->writable() : nullptr;
  if (record == nullptr || text == nullptr)
    return Fail(error, kPgmBadObject, kErrorClassLocal, "setText: no object or no text");
  if (index >= record->size())
    return Fail(error, kPgmBadIndex, kErrorClassLocal, "setText: no " + FieldName(index));
  const FieldDescription& f = record->field(index);
  std::u16string_view value(text);
  Slot& slot = record->slot(index);
  if (f.type == kFieldBinary) {
    // A decimal number, optionally negative.
    bool negative = !value.empty() && value[0] == u'-';
    std::u16string_view digits = negative ? value.substr(1) : value;
    uint64_t n = 0;
    bool ok = !digits.empty() && digits.size() <= 10;
    for (char16_t c : digits) {
      ok = ok && c >= u'0' && c <= u'9';
      n = n * 10 + (c - u'0');
    }
    if (!ok || n > (negative ? 0x80000000ull : 0xFFFFFFFFull))
      return Fail(error, kPgmBadValue, kErrorClassLocal,
                  "setText: \"" + platform::Utf16ToUtf8(value) + "\" is not a number for " +
                      FieldName(index));
    uint32_t v = negative ? static_cast<uint32_t>(0 - n) : static_cast<uint32_t>(n);
    return setBinary(object, index, &v, 4, kFieldBinary, error);
  }
  if (f.type != kFieldChar && f.type != kFieldCharVarying)
    return Fail(error, kPgmBadIndex, kErrorClassLocal,
                "setText: " + FieldName(index) + " is not a character field");
  uint32_t limit =
      f.type == kFieldChar ? f.length : ((f.length & 0xFFFF) ? f.length & 0xFFFF : 0xFFFF);
  std::string host;
  if (value.size() > limit || !ToEbcdic(value, &host))
    return Fail(error, kPgmBadValue, kErrorClassLocal,
                "setText: \"" + platform::Utf16ToUtf8(value) + "\" does not fit " +
                    FieldName(index) + " (" + std::to_string(limit) +
                    " characters of code page 37)");
  slot.bytes = std::move(host);
  slot.has_value = true;
  return kPgmOk;
}

uint32_t RemoteProgramCalls::setObject(DataObject* object, uint32_t index,
                                       std::unique_ptr<DataObject>* child, ErrorOut* error) {
  Node* node = AsNode(object);
  Record* record = node != nullptr ? node->writable() : nullptr;
  if (record == nullptr || child == nullptr || !*child)
    return Fail(error, kPgmBadObject, kErrorClassLocal, "setObject: no object or no child");
  if (index >= record->size())
    return Fail(error, kPgmBadIndex, kErrorClassLocal, "setObject: no " + FieldName(index));
  const FieldDescription& f = record->field(index);
  bool fits = false;
  if (f.type == kFieldStruct) {
    auto* c = AsStructure(child->get());
    fits = c != nullptr && c->table().rows == f.sub_table.rows;
  } else if (f.type == kFieldArray) {
    auto* c = AsArray(child->get());
    fits = c != nullptr && c->table().rows == f.sub_table.rows;
  }
  if (!fits)
    return Fail(error, kPgmBadValue, kErrorClassLocal,
                "setObject: the object does not match " + FieldName(index));
  if (child->get() == object)
    return Fail(error, kPgmBadValue, kErrorClassLocal, "setObject: an object cannot hold itself");
  record->slot(index).child = std::move(*child);
  return kPgmOk;
}

uint32_t RemoteProgramCalls::length(const DataObject* object) {
  const Node* node = AsNode(object);
  if (node == nullptr) return 0;
  uint64_t n = node->EncodedLength();
  return n > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(n);
}

DataObject* RemoteProgramCalls::childObject(DataObject* object, uint32_t index) {
  Node* node = AsNode(object);
  Record* record = node != nullptr ? node->current() : nullptr;
  if (record == nullptr || index >= record->size()) return nullptr;
  return record->slot(index).child.get();
}

std::unique_ptr<RemoteAgent> RemoteProgramCalls::MakeAgent(bool located,
                                                           const SignOnTarget& endpoint,
                                                           const std::string& locate_error,
                                                           ErrorOut* error) {
  if (!located) {
    Fail(error, kPgmNoConnection, kErrorClassCommunication, locate_error);
    return nullptr;
  }
  Failure failure;
  bool reused = false;
  ConnectionPool* pool = endpoint.pool != nullptr ? endpoint.pool : &pool_;
  std::unique_ptr<HostConnection> connection = pool->Acquire(endpoint, &reused, &failure);
  if (!connection) {
    Fail(error, kPgmNoConnection, failure.error_class, failure.text);
    for (const wire::Message& m : failure.messages) {
      (*error)->addHostMessage(HostMessage{platform::U16(m.id), m.severity, platform::U16(m.text)});
      (*error)->addText(platform::U16(m.id + ": " + m.text));
    }
    return nullptr;
  }
  return std::make_unique<PgmRemoteAgent>(pool, endpoint, std::move(connection), reused);
}

std::unique_ptr<RemoteAgent> RemoteProgramCalls::createRemoteAgent(uint64_t system_handle,
                                                                   ErrorOut* error, uint32_t) {
  SignOnTarget endpoint;
  std::string why;
  bool located = locator_->LocateByHandle(system_handle, &endpoint, &why);
  return MakeAgent(located, endpoint, why, error);
}

std::unique_ptr<RemoteAgent> RemoteProgramCalls::createRemoteAgent(const char16_t* application_name,
                                                                   const char16_t* system_name,
                                                                   ErrorOut* error, uint32_t) {
  SignOnTarget endpoint;
  std::string why = "no system name";
  bool located =
      system_name != nullptr && locator_->LocateByName(application_name ? application_name : u"",
                                                       system_name, &endpoint, &why);
  return MakeAgent(located, endpoint, why, error);
}

uint32_t RemoteProgramCalls::callProgram(RemoteAgent* agent, const char16_t* program,
                                         DataObject* parameters, ErrorOut* error) {
  // An exception (a reply too large for memory, say) fails the call like any
  // other fault; it never leaves the library.
  try {
    CallObserver* observer = observer_.load();
    if (observer == nullptr) return CallProgram(agent, program, parameters, error);
    // What the observer does never changes the call's outcome.
    try {
      observer->CallBegins(program);
    } catch (...) {
    }
    const uint32_t rc = CallProgram(agent, program, parameters, error);
    try {
      observer->CallEnded(program, parameters, rc);
    } catch (...) {
    }
    return rc;
  } catch (const std::exception& e) {
    return FailQuietly(error, std::string("callProgram: ") + e.what());
  } catch (...) {
    return FailQuietly(error, "callProgram: unknown exception");
  }
}

uint32_t RemoteProgramCalls::FailQuietly(ErrorOut* error, const std::string& text) noexcept {
  try {
    return Fail(error, kPgmCallFailed, kErrorClassLocal, text);
  } catch (...) {
    if (error != nullptr) error->reset();
    return kPgmCallFailed;
  }
}

uint32_t RemoteProgramCalls::CallProgram(RemoteAgent* agent, const char16_t* program,
                                         DataObject* parameters, ErrorOut* error) {
  auto* remote = dynamic_cast<PgmRemoteAgent*>(agent);
  auto* list = AsStructure(parameters);
  if (remote == nullptr || list == nullptr || program == nullptr)
    return Fail(error, kPgmBadObject, kErrorClassLocal, "callProgram: no agent or no parameters");
  const std::string name = platform::Utf16ToUtf8(program);
  Record& record = list->record();
  wire::Call call;
  call.program = name;
  for (size_t i = 0; i < record.size(); ++i) {
    wire::CallParameter p;
    uint16_t direction = record.field(i).direction;
    p.direction =
        static_cast<uint8_t>(direction == kDirectionInner ? uint16_t{kDirectionInput} : direction);
    // The width is known before any byte is laid out: a value received
    // earlier (an offset, a count) never makes this call allocate past a frame.
    const uint64_t width = record.FieldWidth(i, 0);
    if (width > wire::kDefaultMaxFrame)
      return Fail(error, kPgmBadValue, kErrorClassLocal,
                  "callProgram " + name + ": " + FieldName(i) + " is too long");
    p.length = static_cast<uint32_t>(width);
    if (p.direction != wire::kOutput) {
      record.EncodeField(i, 0, &p.data);
      p.length = static_cast<uint32_t>(p.data.size());
    }
    call.parameters.push_back(std::move(p));
  }
  if (call.parameters.size() > wire::kMaxParameters)
    return Fail(error, kPgmBadValue, kErrorClassLocal, "callProgram: too many parameters");

  wire::CallReply reply;
  Failure failure;
  if (!remote->Call(call, &reply, &failure))
    return Fail(error, kPgmCallFailed, failure.error_class,
                "callProgram " + name + ": " + failure.text);
  if (!reply.ok) {
    Fail(error, kPgmCallFailed, kErrorClassHostMessages,
         "callProgram " + name + ": the host program ended with messages");
    for (const wire::Message& m : reply.messages) {
      (*error)->addHostMessage(HostMessage{platform::U16(m.id), m.severity, platform::U16(m.text)});
      (*error)->addText(platform::U16(m.id + ": " + m.text));
    }
    return kPgmCallFailed;
  }
  size_t expected = 0;
  for (const wire::CallParameter& p : call.parameters) expected += p.direction != wire::kInput;
  if (reply.outputs.size() != expected)
    return Fail(error, kPgmCallFailed, kErrorClassCommunication,
                "callProgram " + name + ": the host answered " +
                    std::to_string(reply.outputs.size()) + " output parameters for " +
                    std::to_string(expected));
  for (size_t i = 0, out = 0; i < record.size(); ++i) {
    if (call.parameters[i].direction == wire::kInput) continue;
    if (reply.outputs[out++].size() > call.parameters[i].length)
      return Fail(error, kPgmCallFailed, kErrorClassCommunication,
                  "callProgram " + name + ": the host sent more than " + FieldName(i) + " holds");
  }
  // Each output's bytes are handed over, not copied: list entries are read
  // from them when asked for.
  std::vector<size_t> received_sizes;
  for (size_t i = 0, out = 0; i < record.size(); ++i) {
    if (call.parameters[i].direction == wire::kInput) continue;
    received_sizes.push_back(reply.outputs[out].size());
    record.DecodeField(i, std::make_shared<const std::string>(std::move(reply.outputs[out++])));
  }
  // A receiver whose header describes entries that are not there fails the
  // call as a whole, and nothing of the reply stays readable.
  for (size_t i = 0, out = 0; i < record.size(); ++i) {
    if (call.parameters[i].direction == wire::kInput) continue;
    const size_t received = received_sizes[out++];
    auto* receiver = AsStructure(record.slot(i).child.get());
    if (record.field(i).type != kFieldStruct || receiver == nullptr) continue;
    std::string why;
    if (!CheckReceiver(receiver->record(), received, call.parameters[i].length, &why)) {
      for (size_t j = 0; j < record.size(); ++j)
        if (call.parameters[j].direction != wire::kInput)
          if (Node* child = AsNode(record.slot(j).child.get())) child->ClearReceived();
      return Fail(error, kPgmCallFailed, kErrorClassCommunication,
                  "callProgram " + name + ": the host returned an inconsistent receiver in " +
                      FieldName(i) + ": " + why);
    }
  }
  return kPgmOk;
}

uint32_t RemoteProgramCalls::getBinary(DataObject* object, uint32_t index, void* destination,
                                       uint32_t size, uint32_t* bytes_read, uint32_t* field_type) {
  Node* node = AsNode(object);
  if (node == nullptr || destination == nullptr) return kPgmBadObject;
  Record* record = node->current();
  if (record == nullptr) return kPgmNotAvailable;
  if (index >= record->size()) return kPgmBadIndex;
  const FieldDescription& f = record->field(index);
  const Slot& slot = std::as_const(*record).slot(index);
  if (field_type != nullptr) *field_type = f.type;
  if (f.type != kFieldBinary && f.type != kFieldRaw) return kPgmBadIndex;
  if (!slot.has_value) return kPgmNotAvailable;
  uint32_t n;
  if (f.type == kFieldBinary) {
    uint32_t v;
    if (size < 4 || !record->BinaryValue(static_cast<int>(index), &v)) return kPgmBadValue;
    std::memcpy(destination, &v, 4);
    n = 4;
  } else {
    std::string_view bytes = record->FieldBytes(index);
    n = static_cast<uint32_t>(std::min<size_t>(size, bytes.size()));
    std::memcpy(destination, bytes.data(), n);
  }
  if (bytes_read != nullptr) *bytes_read = n;
  return kPgmOk;
}

uint32_t RemoteProgramCalls::selectEntry(ArrayDataObject* array, uint16_t entry) {
  auto* a = AsArray(array);
  if (a == nullptr) return kPgmBadObject;
  return a->Select(entry) ? kPgmOk : kPgmBadIndex;
}

namespace {

// A binary field's value as decimal text, cut to `room` characters; kept out
// of line, so that the character fields list entries are read from do not
// carry its string's setup.
[[gnu::noinline]] uint32_t BinaryFieldText(std::string_view bytes, char16_t* destination,
                                           size_t room) {
  const std::u16string text =
      platform::U16(std::to_string(static_cast<int32_t>(big_endian::Load32(bytes))));
  size_t n = std::min(room, text.size());
  std::memcpy(destination, text.data(), n * sizeof(char16_t));
  destination[n] = u'\0';
  return n < text.size() ? kPgmTruncated : kPgmOk;
}

// The text of a character or binary field's bytes: trailing blanks go before
// conversion (0x40 is the only byte that becomes a blank), and only what
// fits `room` characters is converted.
inline uint32_t FieldText(const FieldDescription& f, std::string_view bytes, char16_t* destination,
                          size_t room) {
  if (f.type != kFieldChar && f.type != kFieldCharVarying)
    return BinaryFieldText(bytes, destination, room);
  bytes = bytes.substr(0, LengthWithoutTrailingBlanks(bytes));
  size_t n = std::min(room, bytes.size());
  EbcdicToUnicode(bytes.substr(0, n), destination);
  destination[n] = u'\0';
  return n < bytes.size() ? kPgmTruncated : kPgmOk;
}

}  // namespace

uint32_t RemoteProgramCalls::getText(DataObject* object, uint32_t index, char16_t* destination,
                                     uint32_t destination_bytes) {
  // List entries are what is read most: an array is recognised first.
  PgmArrayDataObject* array = AsArray(object);
  Node* node = array != nullptr ? array : AsNode(object);
  if (node == nullptr || destination == nullptr || destination_bytes < sizeof(char16_t))
    return kPgmBadObject;
  destination[0] = u'\0';
  const size_t room = destination_bytes / sizeof(char16_t) - 1;
  // A list entry as received is read where it arrived, without decoding
  // the rest of the entry.
  std::string_view bytes;
  bool present = false;
  if (array != nullptr && array->ReceivedField(index, &bytes, &present)) {
    const FieldDescription& f = array->table().rows[index];
    if (f.type != kFieldChar && f.type != kFieldBinary) return kPgmBadIndex;
    if (!present) return kPgmNotAvailable;
    return FieldText(f, bytes, destination, room);
  }
  Record* record = node->current();
  if (record == nullptr) return kPgmNotAvailable;
  if (index >= record->size()) return kPgmBadIndex;
  const FieldDescription& f = record->field(index);
  const Slot& slot = std::as_const(*record).slot(index);
  if (f.type == kFieldChar || f.type == kFieldCharVarying) {
    if (!slot.has_value) return kPgmNotAvailable;
    return FieldText(f, record->FieldBytes(index), destination, room);
  }
  if (f.type != kFieldBinary) return kPgmBadIndex;
  uint32_t v;
  if (!record->BinaryValue(static_cast<int>(index), &v)) return kPgmNotAvailable;
  return FieldText(f, big_endian::Bytes32(v), destination, room);
}

std::unique_ptr<ErrorObject> RemoteProgramCalls::createError(uint32_t message_number,
                                                             const char16_t* source_name,
                                                             uint32_t line) {
  return std::make_unique<LoggedErrorObject>(
      &log_, message_number, source_name != nullptr ? source_name : u"", line, kErrorClassLocal);
}

}  // namespace zvt::pgm
