#include "pgm/wire.h"

#include <gtest/gtest.h>

namespace zvt::wire {
namespace {

TEST(WireTest, MessagesRoundTrip) {
  Call call;
  call.id = 7;
  call.program = "KLIB/KRCHGTS";
  call.parameters = {{kOutput, 32, ""},
                     {kInput, 4, std::string("\0\0\0\x20", 4)},
                     {kInOut, 4, std::string(4, '\0')}};
  Call back;
  std::string error;
  ASSERT_TRUE(Decode(Encode(call), &back, kDefaultMaxFrame, &error)) << error;
  EXPECT_EQ(back.id, 7u);
  EXPECT_EQ(back.program, call.program);
  ASSERT_EQ(back.parameters.size(), 3u);
  EXPECT_EQ(back.parameters[0].length, 32u);
  EXPECT_EQ(back.parameters[1].data, call.parameters[1].data);

  CallReply reply{7, false, {}, {{"CPF2204", 40, "User profile X not found."}}};
  CallReply reply_back;
  ASSERT_TRUE(Decode(Encode(reply), &reply_back, &error)) << error;
  EXPECT_FALSE(reply_back.ok);
  EXPECT_EQ(reply_back.messages.at(0).text, "User profile X not found.");
}

TEST(WireTest, MalformedPayloadsAreRefused) {
  std::string error;
  Call call;
  call.program = "P";
  call.parameters = {{kInput, 4, "abcd"}};
  std::string good = Encode(call);
  // Every truncation fails, and so does a trailing byte.
  for (size_t n = 0; n < good.size(); ++n) {
    Call c;
    EXPECT_FALSE(Decode(std::string_view(good).substr(0, n), &c, kDefaultMaxFrame, &error)) << n;
  }
  Call c;
  EXPECT_FALSE(Decode(good + "x", &c, kDefaultMaxFrame, &error));
  // Data longer than the parameter's length, a bad direction, a length over the limit.
  std::string longer = good;
  longer[longer.size() - 9] = 3;  // the length field's last byte: 4 -> 3 < 4 data bytes
  EXPECT_FALSE(Decode(longer, &c, kDefaultMaxFrame, &error));
  std::string direction = good;
  direction[4 + 2 + 1 + 2] = 9;
  EXPECT_FALSE(Decode(direction, &c, kDefaultMaxFrame, &error));
  EXPECT_FALSE(Decode(good, &c, 3, &error));
  Hello h;
  EXPECT_FALSE(Decode("ZVTX\0\1\0\1", &h, &error));
}

TEST(WireTest, FrameReaderSplitsFramesAndRefusesOversizedOnes) {
  FrameReader reader(100);
  std::string two = EncodeFrame(FrameType::kHello, "ab") + EncodeFrame(FrameType::kSignon, "");
  Frame frame;
  std::string error;
  for (char c : two.substr(0, 6)) reader.Feed(std::string_view(&c, 1));
  EXPECT_EQ(reader.Next(&frame, &error), FrameReader::Result::kNeedMore);
  reader.Feed(two.substr(6));
  ASSERT_EQ(reader.Next(&frame, &error), FrameReader::Result::kFrame);
  EXPECT_EQ(frame.payload, "ab");
  ASSERT_EQ(reader.Next(&frame, &error), FrameReader::Result::kFrame);
  EXPECT_EQ(frame.type, FrameType::kSignon);
  reader.Feed(std::string("\x00\x00\x01\x00\x01", 5));
  EXPECT_EQ(reader.Next(&frame, &error), FrameReader::Result::kError);
  FrameReader unknown;
  unknown.Feed(std::string("\x00\x00\x00\x01\x42", 5));
  EXPECT_EQ(unknown.Next(&frame, &error), FrameReader::Result::kError);
}

}  // namespace
}  // namespace zvt::wire
