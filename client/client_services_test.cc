#include "client/client_services.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "client/process_client.h"
#include "include/zvtappad/zvtclient.h"
#include "platform/posix_registry.h"
#include "platform/utf.h"
#include "services/registry_wrapper.h"
#include "tests/host_call_fixture.h"

namespace zvt::client {
namespace {

using platform::U16;
using platform::Utf16ToUtf8;

class ClientServicesTest : public testing::HostCallTest {
 protected:
  ClientServicesTest()
      : registry_(platform::RegistryPaths{dir_.File("user.db"), dir_.File("classes.db")}),
        client_(&registry_, &registry_, MessageLog(dir_.File("messages.log")),
                dir_.File("install/current")),
        agents_(&client_, pgm::ErrorLog(dir_.File("error.log"))) {
    // The state directory, where sign-on tokens are kept, is the test's own.
    setenv("ZVT_HOME", dir_.File("home").c_str(), 1);
  }

  // A configured system pointing at the test server, signing on as `user`
  // with the password in a private file.
  void Configure(const std::u16string& name, const std::string& user,
                 const std::string& password = "") {
    std::string file = dir_.File("pw-" + Utf16ToUtf8(name));
    std::ofstream(file) << (password.empty() ? "pw-" + hostd::HostStore::CanonicalProfile(user)
                                             : password)
                        << "\n";
    chmod(file.c_str(), 0600);
    SystemConfig c;
    c.name = name;
    c.host_address = "127.0.0.1";
    c.port = server() ? server()->port() : 1;
    c.user_profile = user;
    c.password_file = file;
    c.supply_timestamps = true;
    c.read_timeout_ms = 30000;  // a loaded machine hashes slowly
    c.tls_mode = tls_ ? "required" : "off";
    c.tls_ca_file = tls_ ? TlsCaFile() : "";
    std::string error;
    ASSERT_EQ(client_.config()->Write(c, &error), kClientOk) << error;
  }
  SystemHandle Handle(const std::u16string& name) {
    SystemHandle h = 0;
    EXPECT_EQ(client_.GetSystemHandle(name.c_str(), u"ZVWIN", &h), kClientOk);
    return h;
  }
  std::string LastLogText() {
    std::vector<LogEntry> entries;
    std::string error;
    client_.message_log().Read(&entries, &error);
    return entries.empty() ? "" : entries.back().text;
  }

  platform::PosixRegistry registry_;
  ClientServices client_;
  pgm::RemoteProgramCalls agents_;
};

TEST_F(ClientServicesTest, SignOnAndCallAProgramThroughTheSystemObject) {
  AddProfile("ALICE");
  AddFunctions(3, "F");
  hostd::ServerOptions options;
  options.allow_fast_hashes = true;  // the test profiles' hashes are fast
  options.version = 4;
  options.release = 2;
  StartServer(options);
  Configure(u"Sys1", "alice");

  SystemHandle h = Handle(u"SYS1");  // names ignore letter case
  {
    ErrorOut none;
    EXPECT_EQ(agents_.createRemoteAgent(h, &none, 1), nullptr);  // not signed on yet
  }
  EXPECT_EQ(Handle(u"sys1"), h);
  uint32_t flag = 7;
  ASSERT_EQ(client_.QuerySignedOn(h, &flag), kClientOk);
  EXPECT_EQ(flag, 0u);
  EXPECT_EQ(client_.zvtCO_SetValidateMode(h, 1), kClientOk);
  ASSERT_EQ(client_.zvtCO_Signon(h, 0), kClientOk) << LastLogText();
  ASSERT_EQ(client_.QuerySignedOn(h, &flag), kClientOk);
  EXPECT_NE(flag, 0u);
  uint32_t version = 0, release = 0;
  ASSERT_EQ(client_.zvtCO_GetHostVRM(h, &version, &release), kClientOk);
  EXPECT_EQ(version, 4u);
  EXPECT_EQ(release, 2u);
  char16_t user[11];
  ASSERT_EQ(client_.zvtCO_GetUserIDEx(h, user, 22), kClientOk);
  EXPECT_EQ(std::u16string(user), u"ALICE");
  char16_t name[256];
  ASSERT_EQ(client_.zvtCO_GetSystemName(h, name, 512), kClientOk);
  EXPECT_EQ(std::u16string(name), u"Sys1");

  // The triple in the in-memory form: the host's bytes with 0 and 1 exchanged.
  uint8_t ts[3][8];
  ASSERT_EQ(client_.QueryChangeTimestamps(h, ts[0], ts[1], ts[2]), kClientOk);
  hostd::Timestamps host;
  bool known = false;
  std::string error;
  ASSERT_TRUE(store()->GetTimestamps("ALICE", &host, &known, &error));
  const hostd::Stamp* expected[] = {&host.user, &host.rep, &host.hier};
  for (int i = 0; i < 3; ++i) {
    hostd::Stamp s = *expected[i];
    std::swap(s[0], s[1]);
    EXPECT_EQ(std::memcmp(ts[i], s.data(), 8), 0) << i;
  }

  // Service 7, then a program call by handle, then disconnect.
  ErrorOut err;
  EXPECT_EQ(client_.zvtCO_Connect(h, 3, 0), kClientBadService);
  ASSERT_EQ(client_.zvtCO_Connect(h, kServiceRemoteCommand, 0), kClientOk);
  uint64_t calls_before = server()->calls_answered();
  DataDescription list_dd(kTimestampListTable), receiver_dd(kTimestampReceiverTable);
  auto list = agents_.createDataObject(list_dd);
  auto receiver = agents_.createDataObject(receiver_dd);
  DataObject* r = receiver.get();
  ASSERT_EQ(agents_.setText(list.get(), 2, u"TSTA0100", &err), 0u);
  ASSERT_EQ(agents_.setText(list.get(), 3, u"ALICE", &err), 0u);
  ASSERT_EQ(agents_.setObject(list.get(), 0, &receiver, &err), 0u);
  uint32_t length = agents_.length(r);
  ASSERT_EQ(agents_.setBinary(list.get(), 1, &length, 4, kFieldBinary, &err), 0u);
  err.reset();
  auto agent = agents_.createRemoteAgent(h, &err, 1);
  ASSERT_TRUE(agent) << Utf16ToUtf8(err->texts().at(0));
  ASSERT_EQ(agents_.callProgram(agent.get(), u"KLIB/KRCHGTS", list.get(), &err), 0u);
  agent.reset();
  uint8_t rep[8];
  uint32_t n, t;
  ASSERT_EQ(agents_.getBinary(r, 3, rep, 8, &n, &t), 0u);
  EXPECT_EQ(std::memcmp(rep, host.rep.data(), 8), 0);
  EXPECT_EQ(server()->calls_answered(), calls_before + 1);
  EXPECT_EQ(client_.zvtCO_Disconnect(h, kServiceRemoteCommand, 0), kClientOk);
  EXPECT_EQ(client_.zvtCO_Disconnect(h, kServiceRemoteCommand, 0), kClientNotSignedOn);
  // Still signed on: program calls go on without a connection of their own.
  EXPECT_NE(agents_.createRemoteAgent(h, &err, 1), nullptr);

  uint32_t mode = 0;
  ASSERT_EQ(client_.QueryInteractionMode(h, &mode), kClientOk);
  EXPECT_EQ(mode, 1u);
}

TEST_F(ClientServicesTest, SignOnFailuresEachHaveTheirOwnCode) {
  AddProfile("BOB");
  StartServer();
  Configure(u"Wrong", "bob", "not-the-password");
  Configure(u"Nobody", "nobody");
  EXPECT_EQ(client_.zvtCO_Signon(Handle(u"Wrong"), 0), kClientPasswordRefused);
  EXPECT_NE(LastLogText().find("CPF22E2"), std::string::npos) << LastLogText();
  // The host answers an unknown profile as it answers a wrong password.
  EXPECT_EQ(client_.zvtCO_Signon(Handle(u"Nobody"), 0), kClientPasswordRefused);

  // A password file that others can read is refused before any connection.
  Configure(u"Open", "bob");
  chmod(dir_.File("pw-Open").c_str(), 0644);
  EXPECT_EQ(client_.zvtCO_Signon(Handle(u"Open"), 0), kClientNoPassword);
  EXPECT_NE(LastLogText().find("chmod 600"), std::string::npos);

  // The host goes down.
  SystemHandle down = Handle(u"Wrong");
  Configure(u"Down", "bob");
  SystemHandle h = Handle(u"Down");
  server()->Stop();
  EXPECT_EQ(client_.zvtCO_Signon(h, 0), kClientHostUnreachable);
  uint32_t flag = 1;
  ASSERT_EQ(client_.QuerySignedOn(down, &flag), kClientOk);
  EXPECT_EQ(flag, 0u);
  uint8_t ts[3][8];
  EXPECT_EQ(client_.QueryChangeTimestamps(h, ts[0], ts[1], ts[2]), kClientNotSignedOn);
}

// One system with a wrong password must not lock its profile out for every
// other client: the refused password is not tried again at once.
TEST_F(ClientServicesTest, ARefusedPasswordIsNotTriedAgainAtOnce) {
  AddProfile("DAN");
  StartServer();
  Configure(u"Bad", "dan", "wrong");
  SystemHandle bad = Handle(u"Bad");
  const uint64_t before = server()->connections_accepted();
  for (int i = 0; i < 10; ++i) EXPECT_EQ(client_.zvtCO_Signon(bad, 0), kClientPasswordRefused);
  EXPECT_EQ(server()->connections_accepted() - before, 1u);
  EXPECT_NE(LastLogText().find("tried again in"), std::string::npos) << LastLogText();
  // The host saw one failure: the right password still signs on.
  Configure(u"Good", "dan");
  EXPECT_EQ(client_.zvtCO_Signon(Handle(u"Good"), 0), kClientOk);
}

// The first sign-on checks the password and keeps the token the host hands
// out; later ones, of this process or the next, pass by the token. A token
// the host no longer takes, or a damaged file, costs one password check.
TEST_F(ClientServicesTest, SignOnsAfterTheFirstPassByTheTokenKeptForTheSystem) {
  AddProfile("ANN");
  int checks = 0;
  faults_.before_password_check = [&checks](const std::string&) { ++checks; };
  StartServer();
  Configure(u"S", "ann");
  SystemHandle h = Handle(u"S");
  ASSERT_EQ(client_.zvtCO_Signon(h, 0), kClientOk) << LastLogText();
  EXPECT_EQ(1, checks);
  const std::string file =
      dir_.File("home") + "/signon-tokens/127.0.0.1_" + std::to_string(server()->port()) + "_ann";
  struct stat st {};
  ASSERT_EQ(0, stat(file.c_str(), &st)) << file;
  EXPECT_EQ(0600u, st.st_mode & 0777);
  auto token = [&file] {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  const std::string first = token();
  for (int i = 0; i < 3; ++i) ASSERT_EQ(client_.zvtCO_Signon(h, 0), kClientOk);
  EXPECT_EQ(1, checks);
  EXPECT_EQ(first, token());

  std::string error;
  ASSERT_TRUE(store()->SetPassword("ANN", "pw-ANN", hostd::HashStrength::kFast, &error)) << error;
  ASSERT_EQ(client_.zvtCO_Signon(h, 0), kClientOk);
  EXPECT_EQ(2, checks);
  EXPECT_NE(first, token());
  std::ofstream(file) << "damaged\x01";
  ASSERT_EQ(client_.zvtCO_Signon(h, 0), kClientOk);
  EXPECT_EQ(3, checks);
  ASSERT_EQ(client_.zvtCO_Signon(h, 0), kClientOk);
  EXPECT_EQ(3, checks);
}

// A host that cannot read its registry says so: its own code, and no
// hold-off, so the next sign-on after the registry is back goes through.
TEST_F(ClientServicesTest, AHostWhoseRegistryIsDownIsNotTakenForARefusal) {
  AddProfile("FAY");
  StartServer();
  Configure(u"S", "fay");
  auto sql = [this](const char* statement) {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(dir_.File("host.db").c_str(), &db));
    // The server's connections open (and check the schema) as they are
    // first needed: this edit waits its turn as theirs do.
    sqlite3_busy_timeout(db, 10000);
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, statement, nullptr, nullptr, nullptr))
        << sqlite3_errmsg(db);
    sqlite3_close(db);
  };
  sql("ALTER TABLE profiles RENAME TO profiles_gone");
  EXPECT_EQ(client_.zvtCO_Signon(Handle(u"S"), 0), kClientHostUnavailable);
  EXPECT_NE(LastLogText().find("ZVT22B2"), std::string::npos) << LastLogText();
  sql("ALTER TABLE profiles_gone RENAME TO profiles");
  EXPECT_EQ(client_.zvtCO_Signon(Handle(u"S"), 0), kClientOk) << LastLogText();
}

TEST_F(ClientServicesTest, ALockedOutProfileHasItsOwnCode) {
  AddProfile("EVE");
  hostd::ServerOptions options;
  options.allow_fast_hashes = true;     // the test profiles' hashes are fast
  options.signon_failures_allowed = 0;  // the first failure locks the profile out
  options.signon_lockout_ms = 60000;
  StartServer(options);
  Configure(u"First", "eve", "wrong-1");
  EXPECT_EQ(client_.zvtCO_Signon(Handle(u"First"), 0), kClientPasswordRefused);
  Configure(u"Second", "eve", "wrong-2");
  EXPECT_EQ(client_.zvtCO_Signon(Handle(u"Second"), 0), kClientProfileLockedOut);
  EXPECT_NE(LastLogText().find("CPF22E5"), std::string::npos) << LastLogText();
  // Held off meanwhile without a connection, with the lockout's own code.
  const uint64_t before = server()->connections_accepted();
  EXPECT_EQ(client_.zvtCO_Signon(Handle(u"Second"), 0), kClientProfileLockedOut);
  EXPECT_EQ(server()->connections_accepted(), before);
  EXPECT_NE(LastLogText().find("locked out profile"), std::string::npos) << LastLogText();
}

TEST_F(ClientServicesTest, UnknownHandlesAndSmallBuffersAreRefusedWithoutWriting) {
  AddProfile("CAROL");
  StartServer();
  Configure(u"S", "carol");
  SystemHandle h = Handle(u"S");
  ASSERT_EQ(client_.zvtCO_Signon(h, 0), kClientOk);

  const SystemHandle bad = h + 12345;
  uint32_t v = 0, w = 0;
  char16_t buf[64];
  uint8_t ts[3][8];
  EXPECT_EQ(client_.QuerySignedOn(bad, &v), kClientBadHandle);
  EXPECT_EQ(client_.zvtCO_SetValidateMode(bad, 1), kClientBadHandle);
  EXPECT_EQ(client_.zvtCO_Signon(bad, 0), kClientBadHandle);
  EXPECT_EQ(client_.zvtCO_GetHostVRM(bad, &v, &w), kClientBadHandle);
  EXPECT_EQ(client_.zvtCO_GetUserIDEx(bad, buf, sizeof buf), kClientBadHandle);
  EXPECT_EQ(client_.zvtCO_GetSystemName(bad, buf, sizeof buf), kClientBadHandle);
  EXPECT_EQ(client_.QueryChangeTimestamps(bad, ts[0], ts[1], ts[2]), kClientBadHandle);
  EXPECT_EQ(client_.zvtCO_Connect(bad, 7, 0), kClientBadHandle);
  EXPECT_EQ(client_.zvtCO_Disconnect(bad, 7, 0), kClientBadHandle);
  EXPECT_EQ(client_.QueryInteractionMode(bad, &v), kClientBadHandle);
  EXPECT_EQ(client_.SetMessageClass(bad, 1), kClientBadHandle);

  // "CAROL" needs 12 bytes with its terminator.
  std::fill(std::begin(buf), std::end(buf), u'#');
  EXPECT_EQ(client_.zvtCO_GetUserIDEx(h, buf, 10), kClientBufferTooSmall);
  EXPECT_EQ(buf[0], u'#');
  EXPECT_EQ(client_.zvtCO_GetUserIDEx(h, buf, 12), kClientOk);
  EXPECT_EQ(client_.zvtCO_GetSystemName(h, buf, 2), kClientBufferTooSmall);
  EXPECT_EQ(client_.zvtCO_GetUserIDEx(h, nullptr, 22), kClientBadParameter);
  uint32_t size = 2;
  EXPECT_EQ(client_.EnumConfiguredSystems(buf, &size, 0), kClientBufferTooSmall);
  EXPECT_EQ(size, 4u);
}

TEST_F(ClientServicesTest, TheConfigurationListsComparesAndForgetsSystems) {
  StartServer();
  Configure(u"Alpha", "a");
  Configure(u"beta", "b");
  Configure(u"Gamma", "c");
  std::vector<std::u16string> names;
  char16_t buf[257];
  for (uint32_t i = 0;; ++i) {
    uint32_t size = sizeof buf;
    uint32_t rc = client_.EnumConfiguredSystems(buf, &size, i);
    if (rc == kClientNoMoreSystems) break;
    ASSERT_EQ(rc, kClientOk);
    names.push_back(buf);
  }
  EXPECT_EQ(names, (std::vector<std::u16string>{u"Alpha", u"beta", u"Gamma"}));

  EXPECT_EQ(client_.IsSameSystem(u"ALPHA", u"alpha"), 1u);
  EXPECT_EQ(client_.IsSameSystem(u"Alpha", u"beta"), 1u);  // the same host and port
  EXPECT_EQ(client_.IsSameSystem(u"Alpha", u"Elsewhere"), 0u);
  SystemConfig other;
  std::string error;
  ASSERT_EQ(client_.config()->Read(u"GAMMA", &other, &error), kClientOk);
  other.port = other.port == 1 ? 2 : 1;
  ASSERT_EQ(client_.config()->Write(other, &error), kClientOk);
  EXPECT_EQ(client_.IsSameSystem(u"Alpha", u"Gamma"), 0u);

  // Removed: gone from the list, and no new handle for it.
  ASSERT_EQ(client_.config()->Remove(u"BETA", &error), kClientOk) << error;
  uint32_t size = sizeof buf;
  ASSERT_EQ(client_.EnumConfiguredSystems(buf, &size, 1), kClientOk);
  EXPECT_EQ(std::u16string(buf), u"Gamma");
  size = sizeof buf;
  EXPECT_EQ(client_.EnumConfiguredSystems(buf, &size, 2), kClientNoMoreSystems);
  SystemHandle h;
  EXPECT_EQ(client_.GetSystemHandle(u"beta", u"ZVWIN", &h), kClientNotConfigured);
  EXPECT_EQ(client_.config()->Remove(u"beta", &error), kClientNotConfigured);

  // A half-written entry names the system and what is missing.
  HKEY key;
  DWORD disposition;
  ASSERT_EQ(registry_.CreateRegKeyEx(kHKeyCurrentUser, u"Systems\\Half", 0, nullptr, 0,
                                     kKeyAllAccess, nullptr, &key, &disposition),
            0);
  std::u16string host = u"127.0.0.1";
  ASSERT_EQ(
      registry_.RegSetValueExW(key, u"HostAddress", 0, kRegSz,
                               reinterpret_cast<const BYTE*>(host.c_str()), (host.size() + 1) * 2),
      0);
  registry_.RegCloseKey(key);
  EXPECT_EQ(client_.GetSystemHandle(u"Half", u"ZVWIN", &h), kClientBadConfiguration);
  EXPECT_EQ(LastLogText(), "system \"Half\": \"Port\" must be 1 to 65535");
}

// A system keeps exactly one password source: writing another removes the
// one before, so a stale password is never read; a protected password
// (written on Windows) is read back as such and, where nothing can unprotect
// it, fails the sign-on with its own reason instead of another source's.
TEST_F(ClientServicesTest, ASystemKeepsOnePasswordSourceAndAProtectedOneIsToldApart) {
  Configure(u"Vault", "v");
  SystemConfig c;
  std::string error;
  ASSERT_EQ(client_.config()->Read(u"Vault", &c, &error), kClientOk) << error;
  const std::string file = c.password_file;
  c.password_file.clear();
  c.protected_password = {0x01, 0x00, 0x00, 0x00, 0xD0, 0x8C};
  ASSERT_EQ(client_.config()->Write(c, &error), kClientOk) << error;
  SystemConfig read;
  ASSERT_EQ(client_.config()->Read(u"VAULT", &read, &error), kClientOk) << error;
  EXPECT_TRUE(read.password_file.empty());
  EXPECT_EQ(read.protected_password, c.protected_password);
  std::string password;
  EXPECT_EQ(SystemConfigStore::ReadPassword(read, &password, &error), kClientNoPassword);
  EXPECT_NE(error.find("protected for a Windows user"), std::string::npos) << error;

  // Two sources at once, as a hand edit may leave them, are refused.
  read.password_file = file;
  EXPECT_NE(SystemConfigStore::Check(read), "");
  EXPECT_EQ(client_.config()->Write(read, &error), kClientBadConfiguration);
  // Back to the file: the protected value goes.
  read.protected_password.clear();
  ASSERT_EQ(client_.config()->Write(read, &error), kClientOk) << error;
  HKEY key;
  ASSERT_EQ(registry_.OpenRegKeyEx(kHKeyCurrentUser, u"Systems\\Vault", 0, kKeyRead, &key), 0);
  DWORD type = 0, size = 0;
  EXPECT_EQ(registry_.RegQueryValueExW(key, u"ProtectedPassword", nullptr, &type, nullptr, &size),
            kErrorFileNotFound);
  registry_.RegCloseKey(key);
  // A value of the wrong type is a bad configuration, not a missing password.
  ASSERT_EQ(registry_.OpenRegKeyEx(kHKeyCurrentUser, u"Systems\\Vault", 0, kKeyAllAccess, &key), 0);
  const char16_t text[] = u"secret";
  ASSERT_EQ(registry_.RegSetValueExW(key, u"ProtectedPassword", 0, kRegSz,
                                     reinterpret_cast<const BYTE*>(text), sizeof text),
            0);
  registry_.RegCloseKey(key);
  EXPECT_EQ(client_.config()->Read(u"Vault", &read, &error), kClientBadConfiguration);
  EXPECT_NE(error.find("ProtectedPassword"), std::string::npos) << error;
}

// A host's message text may carry line breaks, a forged entry and terminal
// escapes: the file keeps one line per entry with no control byte raw, and
// reading gives the text back as it was.
TEST_F(ClientServicesTest, AHostsTextCannotForgeLogEntriesOrCarryEscapesIntoTheFile) {
  MessageLog log(dir_.File("forged.log"));
  const std::string hostile =
      "refused\n2026-12-08T00:00:00Z\t0\tzvtappad\t\tforged entry\x1b[2J\x07\r\\x41";
  ASSERT_TRUE(log.Append(40, "host", "sign-on", hostile));
  ASSERT_TRUE(log.Append(0, "next", "", "after"));
  std::ifstream in(dir_.File("forged.log"), std::ios::binary);
  const std::string bytes(std::istreambuf_iterator<char>(in), {});
  EXPECT_EQ(2, std::count(bytes.begin(), bytes.end(), '\n')) << bytes;
  EXPECT_EQ(bytes.end(), std::find_if(bytes.begin(), bytes.end(),
                                      [](char c) {
                                        return (static_cast<unsigned char>(c) < 0x20 && c != '\n' &&
                                                c != '\t') ||
                                               c == 0x7F;
                                      }))
      << bytes;
  std::vector<LogEntry> entries;
  std::string error;
  ASSERT_TRUE(log.Read(&entries, &error)) << error;
  ASSERT_EQ(2u, entries.size());
  EXPECT_EQ(hostile, entries[0].text);
  EXPECT_EQ("after", entries[1].text);
}

TEST_F(ClientServicesTest, MessageLogInstallDirectoryAndDisplay) {
  MessageLogHandle log = 0;
  ASSERT_EQ(client_.CreateMessageHandle(u"zvtappad", u"Application administration", &log), 0u);
  ASSERT_EQ(client_.SetMessageClass(log, 2), 0u);
  std::u16string text = u"Definition of QVYN_X\tloaded\nfine";
  ASSERT_EQ(client_.LogMessageText(log, text.c_str(), (text.size() + 1) * 2), 0u);
  // A size that stops before the terminator ends the text there.
  ASSERT_EQ(client_.LogMessageText(log, u"cut here", 6), 0u);
  ASSERT_EQ(client_.DeleteMessageHandle(log), 0u);
  EXPECT_EQ(client_.DeleteMessageHandle(log), kClientBadHandle);
  EXPECT_EQ(client_.LogMessageText(log, u"x", 4), kClientBadHandle);
  std::vector<LogEntry> entries;
  std::string error;
  ASSERT_TRUE(client_.message_log().Read(&entries, &error));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].message_class, 2u);
  EXPECT_EQ(entries[0].source, "zvtappad");
  EXPECT_EQ(entries[0].component, "Application administration");
  EXPECT_EQ(entries[0].text, Utf16ToUtf8(text));
  EXPECT_EQ(entries[1].text, "cut");

  namespace fs = std::filesystem;
  for (const char* d :
       {"install/current", "install/older", "install/a-name-of-16-chars", "install/x"})
    fs::create_directories(dir_.File(d));
  char16_t path[256];
  uint32_t length = 0;
  ASSERT_EQ(client_.GetInstallPath(0, path, 256, &length, 0), 0u);
  EXPECT_EQ(std::u16string(path), U16(dir_.File("install/current/")));
  EXPECT_EQ(length, std::u16string(path).size());
  EXPECT_EQ(client_.GetInstallPath(0, path, 4, &length, 0), kClientBufferTooSmall);
  std::vector<std::u16string> siblings;
  char16_t name[16];
  uint64_t cursor = 0;
  for (uint32_t rc = client_.FindFirstInstallDir(0, name, 16, &length, &cursor, 0); rc == 0;
       rc = client_.FindNextInstallDir(name, 16, &length, &cursor, 0))
    siblings.push_back(name);
  EXPECT_EQ(siblings, (std::vector<std::u16string>{u"current", u"older", u"x"}));

  // An installed handler sees message boxes, also those of zvtshare.dll.
  struct Seen {
    std::u16string text, caption;
  } seen;
  zvtclient_SetDisplayHandler(
      [](const char16_t* t, const char16_t* c, uint32_t, void* context) {
        auto* s = static_cast<Seen*>(context);
        s->text = t;
        s->caption = c;
        return 1;
      },
      &seen);
  EXPECT_EQ(ProcessDisplay().MessageBox(u"hello", u"Box", 0), 1);
  EXPECT_EQ(seen.text, u"hello");
  const char* bin = std::getenv("ZVT_TEST_BIN");
  ASSERT_NE(bin, nullptr);
  std::string lib = std::string(bin) + "/../lib/zvtappad/zvtshare.dll";
  void* share = dlopen(lib.c_str(), RTLD_NOW);
  ASSERT_NE(share, nullptr) << dlerror();
  using Entry = int (*)(const ErrorObject*, const char16_t*, const char16_t*);
  auto entry = reinterpret_cast<Entry>(dlsym(share, "AppAdminHostError"));
  ASSERT_NE(entry, nullptr);
  ErrorObject e(0, u"test", 0, kErrorClassHostMessages);
  e.addHostMessage({u"CPF2204", 40, u"User profile X not found."});
  EXPECT_EQ(entry(&e, u"The host call failed.", u"SYS1"), 1);
  EXPECT_EQ(seen.text, u"The host call failed.\nCPF2204: User profile X not found.");
  EXPECT_EQ(seen.caption, u"Host error - SYS1");
  zvtclient_SetDisplayHandler(nullptr, nullptr);
}

}  // namespace
}  // namespace zvt::client

namespace zvt::client {
namespace {

// A registry that counts the keys opened through it.
class CountingRegistry : public RegistryWrapper {
 public:
  using RegistryWrapper::RegistryWrapper;
  LONG OpenRegKeyEx(HKEY parent, const char16_t* sub_key, DWORD options, REGSAM access,
                    HKEY* result) override {
    ++opens;
    return RegistryWrapper::OpenRegKeyEx(parent, sub_key, options, access, result);
  }
  int opens = 0;
};

// A handle asked for by name again is the one from before, without a read
// of the configuration while it is unchanged; a change made through another
// connection to the store (another process) is seen at the next call.
// A state directory that cannot be written (a full disk, a read-only or
// vanished directory) keeps the configuration and the message log alike
// from being written: the failure to find the system is told on standard
// error instead, once per process, and never taken for a configured system.
TEST_F(ClientServicesTest, AnUnwritableStateDirectoryIsToldOnStandardErrorOnce) {
  std::ofstream(dir_.File("not-a-directory")) << "a file where the directory should be";
  const std::string dir = dir_.File("not-a-directory");
  platform::PosixRegistry registry(
      platform::RegistryPaths{dir + "/user.db", dir_.File("classes.db")});
  ClientServices client(&registry, &registry, MessageLog(dir + "/messages.log"),
                        dir_.File("install/current"));
  ::testing::internal::CaptureStderr();
  SystemHandle h = 0;
  EXPECT_NE(client.GetSystemHandle(u"SYS1", u"ZVWIN", &h), kClientOk);
  EXPECT_NE(client.GetSystemHandle(u"SYS1", u"ZVWIN", &h), kClientOk);
  const std::string told = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(told.find(dir + "/messages.log cannot be written either"), std::string::npos) << told;
  EXPECT_EQ(told.find("zvtclient:"), told.rfind("zvtclient:")) << told;  // once
}

TEST_F(ClientServicesTest, HandlesByNameAreKeptUntilTheConfigurationChanges) {
  StartServer();
  Configure(u"Alpha", "a");
  Configure(u"Beta", "b");
  CountingRegistry counting(&registry_, &registry_);
  ClientServices client(&counting, &counting, MessageLog(dir_.File("messages.log")));
  SystemHandle first = 0, again = 0;
  ASSERT_EQ(kClientOk, client.GetSystemHandle(u"ALPHA", u"ZVWIN", &first));
  const int opens = counting.opens;
  EXPECT_GT(opens, 0);
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(kClientOk, client.GetSystemHandle(u"alpha", u"zvwin", &again));
    EXPECT_EQ(first, again);
  }
  EXPECT_EQ(opens, counting.opens);

  platform::PosixRegistry other(
      platform::RegistryPaths{dir_.File("user.db"), dir_.File("classes.db")});
  SystemConfigStore elsewhere(&other, &other);
  std::string error;
  ASSERT_EQ(kClientOk, elsewhere.Remove(u"Alpha", &error)) << error;
  EXPECT_EQ(kClientNotConfigured, client.GetSystemHandle(u"Alpha", u"ZVWIN", &again));
  ASSERT_EQ(kClientOk, client.GetSystemHandle(u"Beta", u"ZVWIN", &again));
  EXPECT_GT(counting.opens, opens);
}

}  // namespace
}  // namespace zvt::client
