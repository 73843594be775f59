#include "hostd/host_programs.h"

#include <gtest/gtest.h>

#include "pgm/big_endian.h"
#include "pgm/ccsid37.h"
#include "testing/test_store.h"
#include "testing/wait.h"

namespace zvt::hostd {
namespace {

std::string Be(uint32_t v) { return big_endian::Bytes32(v); }

std::string Host(const std::u16string& text, size_t width) {
  std::string out;
  pgm::ToEbcdic(text, &out);
  out.resize(width, '\x40');
  return out;
}

// What a client receives: the reply with its outputs whole.
wire::CallReply Answer(HostStore* store, const std::string& user, const wire::Call& call) {
  wire::CallReply reply = RunProgram(store, user, call);
  EXPECT_TRUE(wire::UnpackTails(&reply));
  return reply;
}
bool FromHeld(HostStore* store, const std::string& user, const wire::Call& call,
              wire::CallReply* reply) {
  return AnswerFromHeld(store, user, call, reply) && wire::UnpackTails(reply);
}

wire::CallParameter In(std::string data) {
  uint32_t n = static_cast<uint32_t>(data.size());
  return {wire::kInput, n, std::move(data)};
}

// The programs over each backend of the store.
class HostProgramsTest : public ::testing::TestWithParam<testing::Backend> {
 protected:
  void SetUp() override {
    test_store_ = std::make_unique<testing::TestStore>(GetParam());
    if (!test_store_->unavailable().empty()) {
      if (testing::TestStore::Required()) FAIL() << test_store_->unavailable();
      GTEST_SKIP() << test_store_->unavailable();
    }
    std::string error;
    store_ = test_store_->Open(&error);
    ASSERT_TRUE(store_) << error;
    EXPECT_TRUE(store_->AddProfile("U", "p", HashStrength::kFast, &error));
    for (int i = 0; i < 5; ++i) {
      FunctionRow f;
      f.id = "F" + std::to_string(i);
      f.root = "F0";
      EXPECT_TRUE(store_->AddFunction(f, &error)) << error;
    }
  }
  // A usage list call with the given handle and receiver room.
  wire::Call UsageCall(const std::string& handle, uint32_t room, std::string selections,
                       const std::u16string& profile = u"U") {
    wire::Call c;
    c.id = 1;
    c.program = "klib/krusrfn";  // program names ignore case
    c.parameters = {In(handle),
                    {wire::kOutput, room, ""},
                    In(Be(room)),
                    In(Host(u"USGA0100", 8)),
                    In(Host(profile, 10)),
                    In(std::move(selections)),
                    In(Be(0)),
                    {wire::kInOut, 4, Be(0)}};
    return c;
  }
  wire::Call TimestampCall(const std::u16string& profile) {
    wire::Call c;
    c.id = 2;
    c.program = "KLIB/KRCHGTS";
    c.parameters = {{wire::kOutput, 32, ""},
                    In(Be(32)),
                    In(Host(u"TSTA0100", 8)),
                    In(Host(profile, 10)),
                    {wire::kInOut, 4, Be(0)}};
    return c;
  }
  wire::Call FunctionCall(uint32_t room) {
    wire::Call c;
    c.id = 3;
    c.program = "KLIB/KRFNLST";
    c.parameters = {In(std::string(20, '\x40')), {wire::kOutput, room, ""}, In(Be(room)),
                    In(Host(u"LSTA0100", 8)),    In(AllSelection()),        In(Be(0)),
                    {wire::kInOut, 4, Be(0)}};
    return c;
  }
  std::string AllSelection() { return Be(1) + Be(17) + Be(1) + Be(1) + Be(1) + "\xF9"; }

  std::unique_ptr<testing::TestStore> test_store_;
  std::unique_ptr<HostStore> store_;
};

TEST_P(HostProgramsTest, PagingHeadersLetTheClientComputeTheNextCapacity) {
  std::string blank(20, '\x40');
  wire::CallReply r = Answer(store_.get(), "U", UsageCall(blank, 40 + 2 * 32, AllSelection()));
  ASSERT_TRUE(r.ok) << r.messages.at(0).text;
  const std::string& out = r.outputs.at(0);
  ASSERT_EQ(out.size(), 40u + 2 * 32);
  auto be = [&](size_t at) {
    return (uint32_t(uint8_t(out[at])) << 24) | (uint32_t(uint8_t(out[at + 1])) << 16) |
           (uint32_t(uint8_t(out[at + 2])) << 8) | uint8_t(out[at + 3]);
  };
  EXPECT_EQ(be(32), 2u);                             // entries returned
  EXPECT_EQ((be(4) - be(0) - be(28)) / be(36), 3u);  // three still to come
  std::string handle = out.substr(8, 20);
  EXPECT_NE(handle, blank);
  r = Answer(store_.get(), "U", UsageCall(handle, 40 + 3 * 32, AllSelection()));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.outputs[0].substr(8, 20), blank);
}

// Parts continue after the last function handed out, so a function removed
// or added between parts neither repeats nor shifts an entry.
TEST_P(HostProgramsTest, PartsContinueAfterTheLastEntryHandedOut) {
  std::string blank(20, '\x40');
  auto ids = [](const std::string& out) {
    std::string listed;
    uint32_t n = uint8_t(out[35]);
    for (uint32_t i = 0; i < n; ++i) listed += out.substr(40 + i * 32, 2) + " ";
    return listed;
  };
  wire::CallReply r = Answer(store_.get(), "U", UsageCall(blank, 40 + 2 * 32, AllSelection()));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(Host(u"F0", 2) + " " + Host(u"F1", 2) + " ", ids(r.outputs[0]));
  std::string error;
  ASSERT_TRUE(store_->RemoveFunction("F1", &error)) << error;
  ASSERT_TRUE(store_->RemoveFunction("F2", &error)) << error;
  r = Answer(store_.get(), "U", UsageCall(r.outputs[0].substr(8, 20), 40 + 2 * 32, AllSelection()));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(Host(u"F3", 2) + " " + Host(u"F4", 2) + " ", ids(r.outputs[0]));
  // The list was five long when it began: a third part is offered, and it
  // ends the list with what is left.
  std::string handle = r.outputs[0].substr(8, 20);
  ASSERT_NE(blank, handle);
  r = Answer(store_.get(), "U", UsageCall(handle, 40 + 2 * 32, AllSelection()));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ("", ids(r.outputs[0]));
  EXPECT_EQ(blank, r.outputs[0].substr(8, 20));
}

// A profile whose name begins with a digit is asked for as Q1ABC for its
// usage and as 1ABC for its timestamps: both are the same profile.
TEST_P(HostProgramsTest, AProfileBeginningWithADigitAnswersUnderBothNames) {
  std::string error;
  ASSERT_TRUE(store_->AddProfile("1ABC", "p", HashStrength::kFast, &error)) << error;
  std::string blank(20, '\x40');
  wire::CallReply usage =
      Answer(store_.get(), "1ABC", UsageCall(blank, 40 + 5 * 32, AllSelection(), u"Q1ABC"));
  EXPECT_TRUE(usage.ok) << usage.messages.at(0).text;
  wire::CallReply stamps = Answer(store_.get(), "1ABC", TimestampCall(u"1ABC"));
  EXPECT_TRUE(stamps.ok) << stamps.messages.at(0).text;
  // A profile that is really called Q2X keeps its name.
  ASSERT_TRUE(store_->AddProfile("Q2X", "p", HashStrength::kFast, &error)) << error;
  ASSERT_TRUE(store_->AddProfile("2X", "p", HashStrength::kFast, &error)) << error;
  ASSERT_TRUE(store_->SetUsage("Q2X", "F1", "1", &error)) << error;
  usage = Answer(store_.get(), "Q2X", UsageCall(blank, 40 + 5 * 32, AllSelection(), u"Q2X"));
  ASSERT_TRUE(usage.ok);
  EXPECT_NE(std::string::npos, usage.outputs.at(0).find(Host(u"F1", 30) + Host(u"1", 1)));
  // ...and 2X, asking for Q2X as its client does, gets its own usage, not
  // its twin's (nor a refusal for asking about another profile).
  usage = Answer(store_.get(), "2X", UsageCall(blank, 40 + 5 * 32, AllSelection(), u"Q2X"));
  ASSERT_TRUE(usage.ok) << usage.messages.at(0).text;
  EXPECT_EQ(std::string::npos, usage.outputs.at(0).find(Host(u"F1", 30) + Host(u"1", 1)));
  EXPECT_NE(std::string::npos, usage.outputs.at(0).find(Host(u"F1", 30) + Host(u"2", 1)));
}

TEST_P(HostProgramsTest, BadRequestsGetHostMessages) {
  std::string blank(20, '\x40');
  auto id = [&](const wire::Call& c) {
    wire::CallReply r = Answer(store_.get(), "U", c);
    return r.ok ? std::string("ok") : r.messages.at(0).id;
  };
  EXPECT_EQ(id(UsageCall(blank, 40, AllSelection())), "CPF3C24");  // no room for an entry
  EXPECT_EQ(id(UsageCall(blank, 20, AllSelection())), "CPF3C24");  // not even a header
  EXPECT_EQ(
      id(UsageCall("ZVTC" + std::string(8, '\xFF') + std::string(8, '\0'), 200, AllSelection())),
      "CPF3C82");
  EXPECT_EQ(id(UsageCall(std::string(20, 'x'), 200, AllSelection())), "CPF3C82");
  EXPECT_EQ(id(UsageCall(blank, 200, Be(1) + Be(17))), "CPF3C1D");  // selection cut short
  wire::Call c = UsageCall(blank, 200, AllSelection());
  c.parameters.pop_back();
  EXPECT_EQ(id(c), "CPD0172");
  c = UsageCall(blank, 200, AllSelection());
  c.parameters[2] = In(Be(300));  // more than the output parameter's room
  EXPECT_EQ(id(c), "CPF3C24");
}

// A signed-on profile reads its own usage and timestamps only: another
// profile's, or one that does not exist, is refused alike, so nothing tells
// which profiles exist. A profile with the authority to read all profiles
// reads any, and learns which are unknown.
TEST_P(HostProgramsTest, AProfileReadsOnlyItsOwnUsageAndTimestampsUnlessAuthorized) {
  std::string error;
  ASSERT_TRUE(store_->AddProfile("OTHER", "p", HashStrength::kFast, &error)) << error;
  std::string blank(20, '\x40');
  auto id = [&](const std::u16string& asked, bool usage) {
    wire::CallReply r =
        Answer(store_.get(), "U",
               usage ? UsageCall(blank, 200, AllSelection(), asked) : TimestampCall(asked));
    return r.ok ? std::string("ok") : r.messages.at(0).id;
  };
  for (bool usage : {true, false}) {
    EXPECT_EQ("ok", id(u"U", usage));
    EXPECT_EQ("CPF2217", id(u"OTHER", usage));
    EXPECT_EQ("CPF2217", id(u"NOBODY", usage));
  }
  ASSERT_TRUE(store_->SetAllProfiles("U", true, &error)) << error;
  for (bool usage : {true, false}) {
    EXPECT_EQ("ok", id(u"OTHER", usage));
    EXPECT_EQ("CPF2204", id(u"NOBODY", usage));
  }
}

// A server holds the pages of the lists it answered under the timestamps
// current then: asked again, a page comes from memory (also where nothing
// may wait on the store: the event loop) until a change moves them,
// whoever makes the change.
TEST_P(HostProgramsTest, HeldListPagesFollowEveryChange) {
  std::string error;
  auto server = test_store_->OpenHolding(&error);
  ASSERT_TRUE(server) << error;
  auto loop = server->OpenAnother(&error);
  ASSERT_TRUE(loop) << error;
  const std::string blank(20, '\x40');
  const wire::Call usage = UsageCall(blank, 40 + 10 * 32, AllSelection());
  // The usage entries as "F0=2 F1=2 ...".
  auto usage_now = [&] {
    wire::CallReply r = Answer(server.get(), "U", usage);
    if (!r.ok) return std::string("failed");
    std::string text;
    const std::string& out = r.outputs.at(0);
    for (uint32_t i = 0; i < uint8_t(out[35]); ++i) {
      const std::u16string id = pgm::FromEbcdic(out.substr(40 + i * 32, 2));
      text +=
          std::string(id.begin(), id.end()) + "=" + (out[40 + i * 32 + 30] == '\xF1' ? "1 " : "2 ");
    }
    return text;
  };
  wire::CallReply held;
  ASSERT_TRUE(zvt::testing::WaitUntil([&] {
    return usage_now() == "F0=2 F1=2 F2=2 F3=2 F4=2 " && FromHeld(loop.get(), "U", usage, &held);
  })) << "held once answered, and shared";
  EXPECT_EQ(held.outputs, Answer(store_.get(), "U", usage).outputs);
  EXPECT_FALSE(FromHeld(loop.get(), "U", UsageCall(blank, 40 + 2 * 32, AllSelection()), &held))
      << "another page";
  EXPECT_FALSE(
      FromHeld(loop.get(), "U", UsageCall(blank, 40 + 10 * 32, AllSelection(), u"OTHER"), &held))
      << "another profile's";

  ASSERT_TRUE(store_->SetUsage("U", "F2", "1", &error)) << error;
  EXPECT_TRUE(zvt::testing::WaitUntil([&] { return usage_now() == "F0=2 F1=2 F2=1 F3=2 F4=2 "; }));
  ASSERT_TRUE(test_store_->Sql("UPDATE functions SET default_usage = '1' WHERE id = 'F3'", &error))
      << error;
  EXPECT_TRUE(zvt::testing::WaitUntil([&] { return usage_now() == "F0=2 F1=2 F2=1 F3=1 F4=2 "; }));
  FunctionRow f5;
  f5.id = "F5";
  f5.root = "F0";
  ASSERT_TRUE(store_->AddFunction(f5, &error)) << error;
  EXPECT_TRUE(
      zvt::testing::WaitUntil([&] { return usage_now() == "F0=2 F1=2 F2=1 F3=1 F4=2 F5=2 "; }));

  // The function list alike, for every profile.
  const wire::Call functions = FunctionCall(40 + 10 * 1495);
  auto functions_now = [&] { return Answer(server.get(), "U", functions).outputs; };
  const auto before = functions_now();
  ASSERT_EQ(before.size(), 2u);
  EXPECT_TRUE(zvt::testing::WaitUntil([&] {
    return functions_now() == before && FromHeld(loop.get(), "U", functions, &held) &&
           held.outputs == before;
  }));
  f5.name = "renamed";
  ASSERT_TRUE(store_->UpdateFunction(f5, &error)) << error;
  EXPECT_TRUE(zvt::testing::WaitUntil([&] {
    const auto now = functions_now();
    return now.size() == 2 && now[0].find(Host(u"renamed", 7)) != std::string::npos;
  }));
}

TEST_P(HostProgramsTest, APageHeldUnderStampsReadAgainUnchangedIsAnsweredWithoutTheStore) {
  std::string error;
  auto server = test_store_->OpenHolding(&error);
  ASSERT_TRUE(server) << error;
  const wire::Call functions = FunctionCall(40 + 10 * 1495);
  const auto before = Answer(server.get(), "U", functions).outputs;
  ASSERT_EQ(before.size(), 2u);
  wire::CallReply held;
  ASSERT_TRUE(zvt::testing::WaitUntil([&] {
    return Answer(server.get(), "U", functions).outputs == before &&
           FromHeld(server.get(), "U", functions, &held) && held.outputs == before;
  }));
  // From here the store cannot list functions any more (a renamed column
  // moves no stamp), and a commit that moves no stamp of the list lets the
  // held stamps go: they are read again, find the page, and the store is
  // not asked for it.
  ASSERT_TRUE(test_store_->Sql("ALTER TABLE functions RENAME COLUMN description2 TO gone", &error))
      << error;
  ASSERT_TRUE(store_->AddProfile("V", "p", HashStrength::kFast, &error)) << error;
  const wire::CallReply again = Answer(server.get(), "U", functions);
  EXPECT_TRUE(again.ok);
  EXPECT_TRUE(again.outputs == before) << "answered from the held page";
  // Another page was never held: it needs the store, and fails.
  EXPECT_FALSE(Answer(server.get(), "U", FunctionCall(40 + 3 * 1495)).ok);
}

INSTANTIATE_TEST_SUITE_P(Backends, HostProgramsTest,
                         ::testing::Values(testing::Backend::kSqlite, testing::Backend::kPostgres),
                         [](const auto& info) { return testing::BackendName(info.param); });

}  // namespace
}  // namespace zvt::hostd
