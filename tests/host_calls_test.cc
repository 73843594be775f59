// End to end: the remote program call library against a running host server.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <thread>

#include "pgm/sockets.h"
#include "pgm/tls.h"
#include "pgm/wire.h"
#include "platform/utf.h"
#include "testing/frame_io.h"
#include "tests/host_call_fixture.h"

namespace zvt::testing {
namespace {

using platform::U16;

std::string Repeat(const std::string& piece, size_t n) {
  std::string out;
  while (out.size() < n) out += piece;
  out.resize(n);
  return out;
}

TEST_F(HostCallTest, FunctionListArrivesInPartsOf64WithLongTextsIntact) {
  AddProfile("ALICE");
  std::vector<hostd::FunctionRow> registered;
  std::string error;
  for (int i = 0; i < 150; ++i) {
    hostd::FunctionRow f;
    // 30-character IDs, and 330-character texts with accented letters.
    f.id = "QVYN_FUNCTION_" + std::string(12, 'A' + i % 26) + std::to_string(1000 + i);
    f.category = std::to_string(i % 3);
    f.type = i == 0 ? "1" : (i % 10 == 0 ? "2" : "3");
    f.root = registered.empty() ? f.id : registered[0].id;
    f.parent = i == 0 ? "*NONE" : registered[0].id;
    if (i % 7 == 0) {
      f.name2 = Repeat("Zweiter Name äöü " + std::to_string(i) + " ", 330);
    } else {
      f.name = Repeat("Funktion Ü" + std::to_string(i) + " é ", 330);
    }
    f.description = i % 5 == 0 ? "" : "Beschreibung " + std::to_string(i);
    f.description2 = "Zweite";
    ASSERT_EQ(f.id.size(), 30u);
    ASSERT_TRUE(store()->AddFunction(f, &error)) << error;
    registered.push_back(f);
  }
  StartServer();

  std::vector<ListedFunction> got;
  std::vector<uint32_t> parts;
  ErrorOut err;
  ASSERT_EQ(ListFunctions("ALICE", u"9", &got, &parts, &err), 0u)
      << (err ? platform::Utf16ToUtf8(err->texts().back()) : "");
  EXPECT_EQ(parts, (std::vector<uint32_t>{64, 64, 22}));
  ASSERT_EQ(got.size(), 150u);
  for (size_t i = 0; i < got.size(); ++i) {
    const hostd::FunctionRow& f = registered[i];
    auto trimmed = [](std::string s) { return s.erase(s.find_last_not_of(' ') + 1); };
    EXPECT_EQ(got[i].id, U16(f.id)) << i;
    EXPECT_EQ(got[i].category, U16(f.category)) << i;
    EXPECT_EQ(got[i].type, U16(f.type)) << i;
    EXPECT_EQ(got[i].name, U16(trimmed(f.name.empty() ? f.name2 : f.name))) << i;
    EXPECT_EQ(got[i].description, U16(f.description.empty() ? f.description2 : f.description));
    EXPECT_EQ(got[i].root, U16(f.root)) << i;
    EXPECT_EQ(got[i].parent, U16(f.parent)) << i;
  }
  EXPECT_EQ(server()->calls_of("KLIB/KRFNLST"), 3u);

  // A category code selects the functions of that category only.
  got.clear();
  parts.clear();
  ASSERT_EQ(ListFunctions("ALICE", u"2", &got, &parts, &err), 0u);
  EXPECT_EQ(got.size(), 50u);
  for (const auto& f : got) EXPECT_EQ(f.category, u"2");
}

TEST_F(HostCallTest, UsageListFollowsTheCapacityOfThePreviousReceiver) {
  AddProfile("BOB");
  AddProfile("Q1ABC");
  AddFunctions(600, "FN");
  std::string error;
  for (int i = 0; i < 600; i += 7)
    ASSERT_TRUE(store()->SetUsage("BOB", "FN" + std::to_string(i), "1", &error));
  hostd::FunctionRow f;
  f.id = "FN3";
  f.root = "FN0";
  f.parent = "FN0";
  f.default_usage = "1";  // denied unless the user's own setting allows it
  ASSERT_TRUE(store()->UpdateFunction(f, &error)) << error;
  ASSERT_TRUE(store()->SetUsage("BOB", "FN3", "2", &error));
  StartServer();

  std::vector<ListedUsage> got;
  std::vector<uint32_t> capacities;
  ErrorOut err;
  ASSERT_EQ(ListUsage("BOB", u"BOB", u"9", &got, &capacities, &err), 0u);
  EXPECT_EQ(capacities, (std::vector<uint32_t>{250, 350}));
  ASSERT_EQ(got.size(), 600u);
  for (int i = 0; i < 600; ++i) {
    EXPECT_EQ(got[i].id, U16("FN" + std::to_string(i)));
    EXPECT_EQ(got[i].usage, (i % 7 == 0 && i != 3) ? u"1" : u"2") << i;
  }

  // A small first capacity still walks the whole list.
  got.clear();
  capacities.clear();
  ASSERT_EQ(ListUsage("BOB", u"Q1ABC", u"9", &got, &capacities, &err), 0u);
  EXPECT_EQ(got.size(), 600u);
  EXPECT_EQ(got[3].usage, u"1");  // the default applies to a user without a setting
}

TEST_F(HostCallTest, EachKindOfChangeMovesItsOwnTimestamp) {
  AddProfile("CAROL");
  AddProfile("DAVE");
  StartServer();
  std::array<uint8_t, 24> before{}, after{};
  ErrorOut err;
  ASSERT_EQ(Timestamps("CAROL", u"CAROL", &before, &err), 0u);
  // An empty registry has no hierarchy timestamp.
  EXPECT_TRUE(std::all_of(before.begin() + 16, before.end(), [](uint8_t b) { return b == 0; }));

  auto moved = [&](const std::array<uint8_t, 24>& a, const std::array<uint8_t, 24>& b) {
    std::string m;
    const char* names[] = {"user", "rep", "hier"};
    for (int i = 0; i < 3; ++i)
      if (!std::equal(a.begin() + 8 * i, a.begin() + 8 * i + 8, b.begin() + 8 * i))
        m += std::string(m.empty() ? "" : "+") + names[i];
    return m;
  };
  std::string error;
  struct Step {
    const char* what;
    std::function<bool()> change;
    const char* moves;
  } steps[] = {
      {"register",
       [&] {
         AddFunctions(3, "F");
         return true;
       },
       "rep+hier"},
      {"move",
       [&] {
         hostd::FunctionRow f;
         f.id = "F2";
         f.root = "F0";
         f.parent = "F1";
         return store()->UpdateFunction(f, &error);
       },
       "rep+hier"},
      {"default usage",
       [&] {
         hostd::FunctionRow f;
         f.id = "F2";
         f.root = "F0";
         f.parent = "F1";
         f.default_usage = "1";
         return store()->UpdateFunction(f, &error);
       },
       "rep"},
      {"own usage", [&] { return store()->SetUsage("CAROL", "F1", "1", &error); }, "user"},
      {"another user's usage", [&] { return store()->SetUsage("DAVE", "F1", "1", &error); }, ""},
      {"remove", [&] { return store()->RemoveFunction("F2", &error); }, "rep+hier"},
  };
  std::set<std::string> seen[3];
  for (const Step& s : steps) {
    ASSERT_TRUE(s.change()) << s.what << ": " << error;
    ASSERT_EQ(Timestamps("CAROL", u"CAROL", &after, &err), 0u) << s.what;
    EXPECT_EQ(moved(before, after), s.moves) << s.what;
    // A timestamp only ever changes to a value never used before.
    for (int i = 0; i < 3; ++i) {
      std::string v(after.begin() + 8 * i, after.begin() + 8 * i + 8);
      std::string old(before.begin() + 8 * i, before.begin() + 8 * i + 8);
      if (v != old) {
        EXPECT_TRUE(seen[i].insert(v).second) << s.what;
      }
    }
    before = after;
  }
}

TEST_F(HostCallTest, HostRefusalsBecomeErrorObjectsWithTheHostsMessages) {
  AddProfile("ERIN");
  AddFunctions(2, "G");
  StartServer();
  ErrorOut err;

  // Sign-on refused: a wrong password, and an unknown profile answered
  // alike, so that names cannot be tried out.
  EXPECT_EQ(Agent("ERIN", &err, "wrong"), nullptr);
  ASSERT_TRUE(err);
  EXPECT_EQ(err->errorClass(), kErrorClassSecurity);
  ASSERT_EQ(err->hostMessages().size(), 1u);
  EXPECT_EQ(err->hostMessages()[0].id, u"CPF22E2");
  const std::u16string wrong_password = err->hostMessages()[0].text;
  err.reset();
  EXPECT_EQ(Agent("NOBODY", &err), nullptr);
  ASSERT_TRUE(err);
  EXPECT_EQ(err->errorClass(), kErrorClassSecurity);
  ASSERT_EQ(err->hostMessages().size(), 1u);
  EXPECT_EQ(err->hostMessages()[0].id, u"CPF22E2");
  std::u16string unknown = err->hostMessages()[0].text;
  unknown.replace(unknown.find(u"NOBODY"), 6, u"ERIN");
  EXPECT_EQ(unknown, wrong_password);

  // An unknown profile asked about, a wrong format, an unknown program.
  std::array<uint8_t, 24> stamps{};
  stamps.fill(0xAB);
  err.reset();
  EXPECT_NE(Timestamps("ERIN", u"GHOST", &stamps, &err), 0u);
  ASSERT_TRUE(err);
  EXPECT_EQ(err->errorClass(), kErrorClassHostMessages);
  EXPECT_EQ(err->hostMessages()[0].id, u"CPF2204");
  EXPECT_EQ(stamps[0], 0xAB);  // the caller's buffers keep what they held

  DataDescription list_dd(kTimestampListTable), receiver_dd(kTimestampReceiverTable);
  auto list = calls()->createDataObject(list_dd);
  auto receiver = calls()->createDataObject(receiver_dd);
  ASSERT_EQ(calls()->setText(list.get(), 2, u"TSTA0200", &err), 0u);
  ASSERT_EQ(calls()->setText(list.get(), 3, u"ERIN", &err), 0u);
  ASSERT_EQ(calls()->setObject(list.get(), 0, &receiver, &err), 0u);
  uint32_t length = 32;
  ASSERT_EQ(calls()->setBinary(list.get(), 1, &length, 4, kFieldBinary, &err), 0u);
  auto agent = Agent("ERIN", &err);
  ASSERT_TRUE(agent);
  err.reset();
  EXPECT_EQ(calls()->callProgram(agent.get(), u"KLIB/KRCHGTS", list.get(), &err), kPgmCallFailed);
  EXPECT_EQ(err->hostMessages().at(0).id, u"CPF3C21");
  err.reset();
  EXPECT_EQ(calls()->callProgram(agent.get(), u"KLIB/KRNOPE", list.get(), &err), kPgmCallFailed);
  EXPECT_EQ(err->hostMessages().at(0).id, u"CPF9811");
  // A receiver length above the room given is refused.
  ASSERT_EQ(calls()->setText(list.get(), 2, u"TSTA0100", &err), 0u);
  length = 33;
  ASSERT_EQ(calls()->setBinary(list.get(), 1, &length, 4, kFieldBinary, &err), 0u);
  err.reset();
  EXPECT_EQ(calls()->callProgram(agent.get(), u"KLIB/KRCHGTS", list.get(), &err), kPgmCallFailed);
  EXPECT_EQ(err->hostMessages().at(0).id, u"CPF3C24");
  // The connection stays usable after refusals.
  length = 32;
  ASSERT_EQ(calls()->setBinary(list.get(), 1, &length, 4, kFieldBinary, &err), 0u);
  err.reset();
  EXPECT_EQ(calls()->callProgram(agent.get(), u"KLIB/KRCHGTS", list.get(), &err), 0u);

  // Every text of an error object went to the error log, one line each.
  std::ifstream log(dir_.File("error.log"));
  std::string line;
  int lines = 0;
  bool has_host_message = false;
  while (std::getline(log, line)) {
    ++lines;
    has_host_message |=
        line.find("CPF9811: Program KRNOPE in library KLIB not found.") != std::string::npos;
  }
  EXPECT_GE(lines, 8);
  EXPECT_TRUE(has_host_message);
}

// Guessing a password is slowed down: after three failures in a row the
// profile's sign-ons are refused unchecked for a while, the right password
// included; other profiles are not affected, and no password reaches a log.
TEST_F(HostCallTest, RepeatedWrongPasswordsLockTheProfileOutForAWhile) {
  AddProfile("ERIN");
  AddProfile("FRED");
  hostd::ServerOptions options;
  options.allow_fast_hashes = true;  // the test profiles' hashes are fast
  options.signon_lockout_ms = 300;
  options.call_log = dir_.File("calls.log");
  StartServer(options);
  for (int i = 0; i < 3; ++i) {
    ErrorOut err;
    EXPECT_EQ(Agent("ERIN", &err, "guess-" + std::to_string(i)), nullptr);
    ASSERT_TRUE(err);
    EXPECT_EQ(err->hostMessages().at(0).id, u"CPF22E2");
  }
  ErrorOut err;
  EXPECT_EQ(Agent("ERIN", &err), nullptr);  // the right password, refused unchecked
  ASSERT_TRUE(err);
  EXPECT_EQ(err->hostMessages().at(0).id, u"CPF22E5");
  err.reset();
  EXPECT_NE(Agent("FRED", &err), nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(350));
  err.reset();
  auto agent = Agent("ERIN", &err);
  ASSERT_NE(agent, nullptr);
  std::array<uint8_t, 24> stamps{};
  ASSERT_EQ(0u, Timestamps("ERIN", u"ERIN", &stamps, &err));
  agent.reset();

  for (const char* log : {"calls.log", "error.log"}) {
    std::ifstream in(dir_.File(log));
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(std::string::npos, all.find("guess-")) << log;
    EXPECT_EQ(std::string::npos, all.find("pw-ERIN")) << log;
  }
}

TEST_F(HostCallTest, HostNotListening) {
  // A port that nothing listens on: bind one, then close it.
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  pgm::SignOnTarget e;
  e.port = ntohs(a.sin_port);
  e.user = "X";
  locator_.Add(u"DOWN", e);
  ErrorOut err;
  EXPECT_EQ(calls()->createRemoteAgent(u"ZVWIN", u"DOWN", &err, 1), nullptr);
  ASSERT_TRUE(err);
  EXPECT_EQ(err->errorClass(), kErrorClassCommunication);
  EXPECT_NE(platform::Utf16ToUtf8(err->texts()[0]).find("cannot connect"), std::string::npos);
  err.reset();
  EXPECT_EQ(calls()->createRemoteAgent(u"ZVWIN", u"UNKNOWN", &err, 1), nullptr);
  EXPECT_NE(platform::Utf16ToUtf8(err->texts()[0]).find("not configured"), std::string::npos);
}

TEST_F(HostCallTest, ConnectionResetInTheMiddleOfAPagedList) {
  AddProfile("FRED");
  AddFunctions(150, "R");
  faults_.reset_after_calls = 1;  // the second part never arrives
  StartServer();
  std::vector<ListedFunction> got;
  std::vector<uint32_t> parts;
  ErrorOut err;
  EXPECT_NE(ListFunctions("FRED", u"9", &got, &parts, &err), 0u);
  ASSERT_TRUE(err);
  EXPECT_EQ(err->errorClass(), kErrorClassCommunication);
  EXPECT_EQ(got.size(), 64u);  // the part received before the reset is kept
}

// The call ends at the read time-out, and says that is why (a hang would
// end only at the test command's own time limit).
TEST_F(HostCallTest, AHostThatStopsAnsweringIsBoundedByTheReadTimeout) {
  AddProfile("GINA");
  faults_.stall_after_calls = 0;
  StartServer();
  read_timeout_ms_ = 300;
  std::array<uint8_t, 24> stamps{};
  ErrorOut err;
  EXPECT_NE(Timestamps("GINA", u"GINA", &stamps, &err), 0u);
  ASSERT_TRUE(err);
  EXPECT_NE(platform::Utf16ToUtf8(err->texts()[0]).find("timed out"), std::string::npos);
}

// A list of hosts: a host that refuses the connection or says nothing is
// passed over for the next; one that answers, even with a refusal, is not.
TEST_F(HostCallTest, AHostListPassesOverHostsThatAreDownOrSilentOnly) {
  AddProfile("HANK");
  StartServer();
  auto loopback_listener = [](bool listening, uint16_t* port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    if (listening) listen(s, 8);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    if (!listening) close(s);
    return listening ? s : -1;
  };
  uint16_t down = 0, silent = 0;
  loopback_listener(false, &down);
  int silent_fd = loopback_listener(true, &silent);  // accepts into its backlog, never answers
  auto at = [](uint16_t port) { return "127.0.0.1:" + std::to_string(port); };
  pgm::SignOnTarget e;
  e.user = "HANK";
  e.password = "pw-HANK";
  e.port = 1;  // every entry names its own port
  e.connect_timeout_ms = 300;
  e.read_timeout_ms = 300;
  ConfigureTls(&e);
  pgm::Failure failure;
  e.host = at(down) + ", " + at(silent) + ",127.0.0.1:" + std::to_string(server()->port());
  EXPECT_TRUE(pgm::HostConnection::Open(e, &failure)) << failure.text;

  // A refused sign-on is the host's answer: the next host is not asked.
  e.password = "wrong";
  e.host = "127.0.0.1:" + std::to_string(server()->port()) + ", " + at(down);
  EXPECT_FALSE(pgm::HostConnection::Open(e, &failure));
  EXPECT_EQ(failure.cause, pgm::Failure::Cause::kRefused);
  EXPECT_EQ(failure.text.find(std::to_string(down)), std::string::npos) << failure.text;

  // None up: the failure names each.
  e.host = at(down) + ", " + at(silent);
  EXPECT_FALSE(pgm::HostConnection::Open(e, &failure));
  EXPECT_NE(failure.text.find(at(down)), std::string::npos) << failure.text;
  EXPECT_NE(failure.text.find(at(silent)), std::string::npos) << failure.text;
  e.host = at(down) + ",, " + at(silent);
  EXPECT_FALSE(pgm::HostConnection::Open(e, &failure));
  EXPECT_NE(failure.text.find("empty host address"), std::string::npos) << failure.text;
  close(silent_fd);
}

// The host asks a connection's socket for more only when told bytes came:
// a call that arrives in pieces far apart, calls that arrive together, and
// a call that arrives a byte at a time are each answered once and in order,
// over TLS (records of any size) and over plaintext.
TEST_F(HostCallTest, CallsInPiecesOrTogetherAreEachAnsweredOnceInOrder) {
  AddProfile("JOE");
  for (bool tls : {true, false}) {
    SCOPED_TRACE(tls ? "TLS" : "plaintext");
    tls_ = tls;
    StartServer();
    sockets::ConnectFailure why;
    int fd = sockets::Connect("127.0.0.1", server()->port(), 2000, &why);
    ASSERT_GE(fd, 0);
    std::string error;
    std::shared_ptr<tls::ClientContext> trust;
    std::unique_ptr<sockets::Stream> stream;
    if (tls) {
      trust = tls::LoadClientContext(TlsCaFile(), &error);
      ASSERT_TRUE(trust) << error;
      stream = tls::Connect(trust.get(), fd, "127.0.0.1", 5000, &error);
    } else {
      stream = sockets::PlainStream(fd);
    }
    ASSERT_TRUE(stream) << error;
    wire::FrameSocket reader(stream.get());
    wire::Frame frame;
    auto send = [&](const std::string& bytes) {
      ASSERT_TRUE(wire::WriteAll(stream.get(), bytes, 5000, &error)) << error;
    };
    send(wire::EncodeFrame(wire::FrameType::kHello, wire::Encode(wire::Hello{})));
    ASSERT_TRUE(reader.Read(1 << 20, 5000, &frame, &error)) << error;
    send(wire::EncodeFrame(wire::FrameType::kSignon,
                           wire::Encode(wire::Signon{"JOE", "pw-JOE", ""})));
    ASSERT_TRUE(reader.Read(1 << 20, 5000, &frame, &error)) << error;
    ASSERT_EQ(frame.type, wire::FrameType::kSignonReply);

    uint32_t next_id = 1;
    auto call = [&next_id] {
      return wire::EncodeFrame(wire::FrameType::kCall, wire::Encode(JoeTimestampsCall(next_id++)));
    };
    std::vector<uint32_t> answered;
    auto expect_answers = [&](size_t n) {
      for (size_t i = 0; i < n; ++i) {
        ASSERT_TRUE(reader.Read(1 << 20, 5000, &frame, &error)) << error;
        ASSERT_EQ(frame.type, wire::FrameType::kCallReply);
        wire::CallReply reply;
        ASSERT_TRUE(wire::Decode(frame.payload, &reply, &error)) << error;
        EXPECT_TRUE(reply.ok);
        answered.push_back(reply.id);
      }
    };

    // In three pieces, each read by the host before the next is sent.
    const std::string one = call();
    for (size_t at : {size_t{0}, size_t{3}, one.size() / 2}) {
      const size_t end = at == 0 ? 3 : at == 3 ? one.size() / 2 : one.size();
      send(one.substr(at, end - at));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    expect_answers(1);
    // Three together, in one write.
    std::string together = call();
    together += call();
    together += call();
    send(together);
    expect_answers(3);
    // A byte at a time, and the next call right behind its last byte.
    const std::string slow = call();
    for (char b : slow) send(std::string(1, b));
    send(call());
    expect_answers(2);
    EXPECT_EQ(answered, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6}));
    stream.reset();
    server_.reset();
  }
}

// A raw client that signs on and then misbehaves.
int RawSignedOn(uint16_t port, const std::string& user) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
  std::string error;
  wire::Frame frame;
  zvt::testing::WriteAll(
      fd, wire::EncodeFrame(wire::FrameType::kHello, wire::Encode(wire::Hello{})), 1000, &error);
  zvt::testing::ReadFrame(fd, 1 << 20, 2000, &frame, &error);
  zvt::testing::WriteAll(fd,
                         wire::EncodeFrame(wire::FrameType::kSignon,
                                           wire::Encode(wire::Signon{user, "pw-" + user, ""})),
                         1000, &error);
  zvt::testing::ReadFrame(fd, 1 << 20, 2000, &frame, &error);
  return fd;
}

TEST_F(HostCallTest, OversizedFramesAndGarbageCloseOnlyTheirOwnConnection) {
  tls_ = false;  // the raw clients below write frames in plaintext
  AddProfile("HANK");
  hostd::ServerOptions options;
  options.allow_fast_hashes = true;  // the test profiles' hashes are fast
  options.max_frame = 64 * 1024;
  StartServer(options);

  // A frame header announcing more than the limit: a protocol error, then close.
  int fd = RawSignedOn(server()->port(), "HANK");
  ASSERT_GE(fd, 0);
  std::string error, big("\x01\x00\x00\x00\x05", 5);
  zvt::testing::WriteAll(fd, big, 1000, &error);
  wire::Frame frame;
  ASSERT_TRUE(zvt::testing::ReadFrame(fd, 1 << 20, 2000, &frame, &error)) << error;
  EXPECT_EQ(frame.type, wire::FrameType::kProtocolError);
  EXPECT_FALSE(zvt::testing::ReadFrame(fd, 1 << 20, 2000, &frame, &error));
  close(fd);

  // Random bytes from many clients while a good client keeps calling.
  std::mt19937 rng(7);
  std::array<uint8_t, 24> stamps{};
  for (int round = 0; round < 40; ++round) {
    int bad =
        round % 2 == 0 ? RawSignedOn(server()->port(), "HANK") : socket(AF_INET, SOCK_STREAM, 0);
    if (round % 2 == 1) {
      sockaddr_in a = {};
      a.sin_family = AF_INET;
      a.sin_port = htons(server()->port());
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      ASSERT_EQ(connect(bad, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    std::string junk(1 + rng() % 300, '\0');
    for (char& c : junk) c = static_cast<char>(rng());
    zvt::testing::WriteAll(bad, junk, 1000, &error);
    ErrorOut err;
    EXPECT_EQ(Timestamps("HANK", u"HANK", &stamps, &err), 0u) << round;
    close(bad);
  }
  // A frame over the client's own limit is refused by the client too.
  pgm::SignOnTarget e;
  e.port = server()->port();
  e.user = "HANK";
  e.password = "pw-HANK";
  e.max_frame = 16;  // smaller than the handshake reply
  ConfigureTls(&e);
  locator_.Add(u"TINY", e);
  ErrorOut err;
  EXPECT_EQ(calls()->createRemoteAgent(u"ZVWIN", u"TINY", &err, 1), nullptr);
  ASSERT_TRUE(err);
  EXPECT_NE(platform::Utf16ToUtf8(err->texts()[0]).find("over the limit"), std::string::npos);
}

TEST_F(HostCallTest, TheServerProgramServesAStoreOnAnEphemeralPort) {
  AddProfile("IRIS");
  AddFunctions(5, "P");
  const char* bin = std::getenv("ZVT_TEST_BIN");
  ASSERT_NE(bin, nullptr);
  std::string port_file = dir_.File("port");
  hostd::ServerOptions tls;
  tls.allow_fast_hashes = true;  // the test profiles' hashes are fast
  ServeTls(&tls);
  pid_t child = fork();
  if (child == 0) {
    std::string exe = std::string(bin) + "/zvthostd";
    std::string store = dir_.File("host.db");
    execl(exe.c_str(), exe.c_str(), "--allow-fast-hashes", "--listen", "127.0.0.1:0", "--store",
          store.c_str(), "--host-version", "4", "--host-release", "2", "--port-file",
          port_file.c_str(), "--tls-cert", tls.tls_certificate.c_str(), "--tls-key",
          tls.tls_key.c_str(), nullptr);
    _exit(127);
  }
  int port = 0;
  for (int i = 0; i < 2400 && port == 0; ++i) {
    std::ifstream in(port_file);
    if (!(in >> port)) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ASSERT_GT(port, 0);
  pgm::SignOnTarget e;
  e.port = static_cast<uint16_t>(port);
  e.user = "iris";  // profiles are not case-sensitive
  e.password = "pw-IRIS";
  ConfigureTls(&e);
  bool reused;
  pgm::Failure failure;
  auto connection = pgm::HostConnection::Open(e, &failure);
  ASSERT_TRUE(connection) << failure.text;
  EXPECT_EQ(connection->host_version(), 4u);
  EXPECT_EQ(connection->host_release(), 2u);
  EXPECT_EQ(connection->user(), "IRIS");
  (void)reused;
  kill(child, SIGTERM);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace zvt::testing
