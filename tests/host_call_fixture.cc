// The test host server and raw calls of the host programs.
#include "tests/host_call_fixture.h"

#include <cstring>
#include <fstream>

#include "host/list_formats.h"
#ifndef _WIN32
#include "hostd/self_signed.h"
#endif
#include "pgm/big_endian.h"
#include "platform/utf.h"

namespace zvt::testing {
namespace {

std::u16string Text(ProgramCallApi* c, DataObject* o, uint32_t index) {
  char16_t buf[400];
  c->getText(o, index, buf, sizeof buf);
  return buf;
}

constexpr char16_t kStep[] = u"selection step";
constexpr SelectionMessages kMessages = {kStep, kStep, kStep, kStep, kStep, kStep, kStep, kStep};

}  // namespace

HostCallTest::HostCallTest() {
  std::string error;
  store_ = hostd::HostStore::Open(dir_.File("host.db"), &error);
  EXPECT_TRUE(store_ != nullptr) << error;
  calls_ =
      std::make_unique<pgm::RemoteProgramCalls>(&locator_, pgm::ErrorLog(dir_.File("error.log")));
}

HostCallTest::~HostCallTest() {
  binding_.reset();
  calls_.reset();
  if (server_) server_->Stop();
}

void HostCallTest::StartServer(hostd::ServerOptions options) {
  options.store_path = dir_.File("host.db");
  options.allow_fast_hashes = true;  // the test profiles' hashes are fast
#ifndef _WIN32
  ServeTls(&options);
#endif
  server_ = std::make_unique<hostd::HostServer>(options, &faults_);
  std::string error;
  ASSERT_TRUE(server_->Start(&error)) << error;
}

#ifndef _WIN32
void HostCallTest::ServeTls(hostd::ServerOptions* options) {
  if (!tls_) return;
  std::string error;
  if (!std::ifstream(TlsCaFile())) {
    ASSERT_TRUE(hostd::WriteSelfSigned({}, TlsCaFile(), dir_.File("host-key.pem"), false, &error))
        << error;
  }
  options->tls_certificate = TlsCaFile();
  options->tls_key = dir_.File("host-key.pem");
}
#endif

void HostCallTest::ConfigureTls(pgm::SignOnTarget* e) {
  e->tls = tls_;
  e->tls_ca_file = tls_ ? TlsCaFile() : "";
}

std::string HostCallTest::TlsOptions() { return tls_ ? " --tls-ca " + TlsCaFile() : " --tls off"; }

void HostCallTest::AddProfile(const std::string& name) {
  std::string error;
  ASSERT_TRUE(store_->AddProfile(name, "pw-" + name, hostd::HashStrength::kFast, &error)) << error;
  // The tests sign on as one profile and read others' usage through it.
  ASSERT_TRUE(store_->SetAllProfiles(name, true, &error)) << error;
}

void HostCallTest::AddFunctions(int count, const std::string& prefix) {
  std::string error;
  for (int i = 0; i < count; ++i) {
    hostd::FunctionRow f;
    f.id = prefix + std::to_string(i);
    f.root = prefix + "0";
    f.type = i == 0 ? "1" : "3";
    f.parent = i == 0 ? "*NONE" : prefix + "0";
    f.name = "Function " + std::to_string(i);
    ASSERT_TRUE(store_->AddFunction(f, &error)) << error;
  }
}

void HostCallTest::BindLibrary(const std::u16string& system, const std::string& user) {
  if (!binding_) {
    Services s;
    s.program_calls = calls_.get();
    binding_ = std::make_unique<ScopedServiceBinding>(s);
  }
  pgm::SignOnTarget e;
  e.port = server_->port();
  e.user = user;
  e.password = "pw-" + user;
  e.read_timeout_ms = read_timeout_ms_;
  e.connect_timeout_ms = 2000;
  ConfigureTls(&e);
  locator_.Add(system, e);
}

std::unique_ptr<RemoteAgent> HostCallTest::Agent(const std::string& user, ErrorOut* error,
                                                 const std::string& password, int read_timeout_ms) {
  pgm::SignOnTarget e;
  e.port = server_ ? server_->port() : 1;
  e.user = user;
  e.password = password.empty() ? "pw-" + user : password;
  e.read_timeout_ms = read_timeout_ms;
  e.connect_timeout_ms = 2000;
  ConfigureTls(&e);
  std::u16string system = platform::U16("HOST-" + user + "-" + e.password);
  locator_.Add(system, e);
  return calls_->createRemoteAgent(u"ZVWIN", system.c_str(), error, 1);
}

uint32_t HostCallTest::ListFunctions(const std::string& user, const std::u16string& category,
                                     std::vector<ListedFunction>* out, std::vector<uint32_t>* parts,
                                     ErrorOut* error) {
  ProgramCallApi* c = calls_.get();
  DataDescription list_dd(kFunctionListTable), receiver_dd(kFunctionReceiverTable),
      entry_dd(kFunctionEntryTable);
  std::unique_ptr<DataObject> list = c->createDataObject(list_dd);
  std::unique_ptr<DataObject> receiver = c->createDataObject(receiver_dd);
  uint32_t rc = c->setBinary(list.get(), 0, kBlankHandle, 20, kFieldRaw, error);
  if (rc == 0) rc = c->setText(list.get(), 3, u"LSTA0100", error);
  if (rc == 0) rc = AttachCategorySelection(c, list.get(), 4, category.c_str(), kMessages, error);
  DataObject* receiver_ptr = receiver.get();
  if (rc == 0) rc = c->setObject(list.get(), 1, &receiver, error);
  for (bool last = false; rc == 0 && !last;) {
    std::unique_ptr<DataObject> array = c->createArrayDataObject(entry_dd, 64);
    auto* entries = static_cast<ArrayDataObject*>(array.get());
    rc = c->setObject(receiver_ptr, 7, &array, error);
    uint32_t length = c->length(receiver_ptr);
    if (rc == 0) rc = c->setBinary(list.get(), 2, &length, 4, kFieldBinary, error);
    if (rc == 0) rc = c->setText(list.get(), 6, u"0", error);
    if (rc != 0) break;
    std::unique_ptr<RemoteAgent> agent = Agent(user, error);
    if (!agent) return 1;
    rc = c->callProgram(agent.get(), u"KLIB/KRFNLST", list.get(), error);
    agent.reset();
    if (rc != 0) break;
    uint8_t handle[20];
    last = ReadContinuation(c, receiver_ptr, handle);
    uint32_t count = ReadBinaryField(c, receiver_ptr, 4);
    parts->push_back(count);
    for (uint32_t i = 0; i < count; ++i) {
      c->selectEntry(entries, static_cast<uint16_t>(i));
      ListedFunction f;
      f.id = Text(c, entries, 0);
      f.category = Text(c, entries, 1);
      f.type = Text(c, entries, 2);
      f.name = Text(c, entries, 6);
      if (f.name.empty()) f.name = Text(c, entries, 9);
      f.description = Text(c, entries, 15);
      if (f.description.empty()) f.description = Text(c, entries, 18);
      f.root = Text(c, entries, 21);
      f.parent = Text(c, entries, 22);
      out->push_back(f);
    }
    if (!last) rc = c->setBinary(list.get(), 0, handle, 20, kFieldRaw, error);
  }
  return rc;
}

uint32_t HostCallTest::ListUsage(const std::string& user, const std::u16string& profile,
                                 const std::u16string& category, std::vector<ListedUsage>* out,
                                 std::vector<uint32_t>* capacities, ErrorOut* error) {
  ProgramCallApi* c = calls_.get();
  DataDescription list_dd(kUsageListTable), receiver_dd(kUsageReceiverTable),
      entry_dd(kUsageEntryTable);
  std::unique_ptr<DataObject> list = c->createDataObject(list_dd);
  std::unique_ptr<DataObject> receiver = c->createDataObject(receiver_dd);
  uint32_t rc = c->setBinary(list.get(), 0, kBlankHandle, 20, kFieldRaw, error);
  if (rc == 0) rc = c->setText(list.get(), 7, u"0", error);
  if (rc == 0) rc = c->setText(list.get(), 3, u"USGA0100", error);
  if (rc == 0) rc = c->setText(list.get(), 4, profile.c_str(), error);
  DataObject* receiver_ptr = receiver.get();
  if (rc == 0) rc = c->setObject(list.get(), 1, &receiver, error);
  if (rc == 0) rc = AttachCategorySelection(c, list.get(), 5, category.c_str(), kMessages, error);
  uint32_t capacity = 250;
  for (bool last = false; rc == 0 && !last;) {
    capacities->push_back(capacity);
    std::unique_ptr<DataObject> array =
        c->createArrayDataObject(entry_dd, static_cast<uint16_t>(capacity));
    auto* entries = static_cast<ArrayDataObject*>(array.get());
    rc = c->setObject(receiver_ptr, 7, &array, error);
    uint32_t length = c->length(receiver_ptr);
    if (rc == 0) rc = c->setBinary(list.get(), 2, &length, 4, kFieldBinary, error);
    if (rc == 0) rc = c->setText(list.get(), 7, u"0", error);
    if (rc != 0) break;
    std::unique_ptr<RemoteAgent> agent = Agent(user, error);
    if (!agent) return 1;
    rc = c->callProgram(agent.get(), u"KLIB/KRUSRFN", list.get(), error);
    agent.reset();
    if (rc != 0) break;
    uint8_t handle[20];
    last = ReadContinuation(c, receiver_ptr, handle);
    uint32_t returned = ReadBinaryField(c, receiver_ptr, 0),
             available = ReadBinaryField(c, receiver_ptr, 1),
             offset = ReadBinaryField(c, receiver_ptr, 3),
             count = ReadBinaryField(c, receiver_ptr, 4),
             entry_length = ReadBinaryField(c, receiver_ptr, 5);
    for (uint32_t i = 0; i < count; ++i) {
      c->selectEntry(entries, static_cast<uint16_t>(i));
      out->push_back(ListedUsage{Text(c, entries, 0), Text(c, entries, 1)});
    }
    if (!last) {
      capacity = NextCapacity(available, returned, offset, entry_length);
      rc = c->setBinary(list.get(), 0, handle, 20, kFieldRaw, error);
    }
  }
  return rc;
}

uint32_t HostCallTest::Timestamps(const std::string& user, const std::u16string& profile,
                                  std::array<uint8_t, 24>* stamps, ErrorOut* error) {
  ProgramCallApi* c = calls_.get();
  DataDescription list_dd(kTimestampListTable), receiver_dd(kTimestampReceiverTable);
  std::unique_ptr<DataObject> list = c->createDataObject(list_dd);
  std::unique_ptr<DataObject> receiver = c->createDataObject(receiver_dd);
  DataObject* receiver_ptr = receiver.get();
  uint32_t rc = c->setText(list.get(), 2, u"TSTA0100", error);
  if (rc == 0) rc = c->setText(list.get(), 3, profile.c_str(), error);
  if (rc == 0) rc = c->setObject(list.get(), 0, &receiver, error);
  uint32_t length = c->length(receiver_ptr);
  if (rc == 0) rc = c->setBinary(list.get(), 1, &length, 4, kFieldBinary, error);
  if (rc != 0) return rc;
  std::unique_ptr<RemoteAgent> agent = Agent(user, error, "", read_timeout_ms_);
  if (!agent) return 1;
  rc = c->callProgram(agent.get(), u"KLIB/KRCHGTS", list.get(), error);
  agent.reset();
  if (rc != 0) return rc;
  uint32_t n = 0, t = 0;
  for (uint32_t i = 0; i < 3; ++i) {
    rc = c->getBinary(receiver_ptr, 2 + i, stamps->data() + 8 * i, 8, &n, &t);
    if (rc != 0) return rc;
  }
  return 0;
}

bool HandleLocator::LocateByHandle(uint64_t handle, pgm::SignOnTarget* endpoint,
                                   std::string* error) {
  char16_t name[256] = {};
  if (client_->zvtCO_GetSystemName(handle, name, sizeof name) != kClientOk) {
    *error = "no system object for the handle";
    return false;
  }
  return names_->LocateByName(u"ZVWIN", name, endpoint, error);
}

wire::Call JoeTimestampsCall(uint32_t id) {
  wire::Call call;
  call.id = id;
  call.program = "KLIB/KRCHGTS";
  call.parameters = {{wire::kOutput, 32, ""},
                     {wire::kInput, 4, big_endian::Bytes32(32)},
                     {wire::kInput, 8, "\xE3\xE2\xE3\xC1\xF0\xF1\xF0\xF0"},  // TSTA0100
                     {wire::kInput, 10, std::string("\xD1\xD6\xC5", 3) + std::string(7, '\x40')},
                     {wire::kInOut, 4, big_endian::Bytes32(0)}};
  return call;
}

}  // namespace zvt::testing
