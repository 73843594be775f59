#include "pgm/wire.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

  CallReply reply{7, false, {}, {{"CPF2204", 40, "User profile X not found."}}, {}};
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

// Outputs travel with their blank runs packed from version 2 on and come
// back byte for byte; version 1 carries them as they are. A packed output
// that claims more than the caller asked for, or whose runs do not add up
// to its size, is refused.
TEST(WireTest, PackedOutputsComeBackByteForByteAndBadOnesAreRefused) {
  const std::string blanks(1495, '\x40');
  std::string entry = blanks;
  entry.replace(0, 10, "\xC1\xC2\xC3\x40\x40\xC4\x40\x40\x40\x40", 10);
  entry.replace(700, 3, "\x00\x01\x40", 3);
  const std::vector<std::string> outputs = {"",
                                            blanks,
                                            entry + entry,
                                            std::string("\x40\x40\x40", 3),
                                            std::string("\xC1\x40", 2),
                                            std::string(300, '\x00')};
  for (uint16_t version : {uint16_t{1}, uint16_t{2}}) {
    CallReply reply{9, true, outputs, {}, {}};
    CallReply back;
    std::string error;
    const std::string payload = Encode(reply, version);
    EXPECT_EQ(EncodeFrame(FrameType::kCallReply, payload), EncodeCallReplyFrame(reply, version));
    ASSERT_TRUE(Decode(payload, &back, &error, version)) << error;
    EXPECT_EQ(back.outputs, outputs) << "version " << version;
    if (version == 2) {
      EXPECT_LT(payload.size() * 10, Encode(reply, 1).size());
      // Every cut fails, and so does a limit below the outputs' size.
      for (size_t n = 0; n < payload.size(); ++n)
        EXPECT_FALSE(Decode(payload.substr(0, n), &back, &error, 2)) << n;
      EXPECT_FALSE(Decode(payload, &back, &error, 2, 4000));
    }
    // The same outputs cut anywhere, their rest packed ahead of time, arrive
    // whole alike.
    for (size_t cut : {size_t{0}, size_t{1}, size_t{3}, size_t{702}, size_t{1495}}) {
      CallReply split{9, true, {}, {}, {}};
      for (const std::string& o : outputs) {
        const size_t at = std::min(cut, o.size());
        split.outputs.push_back(o.substr(0, at));
        split.packed_tails.push_back(
            {static_cast<uint32_t>(o.size() - at),
             std::make_shared<const std::string>(PackBlanks(o.substr(at)))});
      }
      ASSERT_TRUE(Decode(Encode(split, version), &back, &error, version)) << error;
      EXPECT_EQ(EncodeFrame(FrameType::kCallReply, Encode(split, version)),
                EncodeCallReplyFrame(split, version));
      EXPECT_EQ(back.outputs, outputs) << "version " << version << ", cut at " << cut;
      ASSERT_TRUE(UnpackTails(&split));
      EXPECT_EQ(split.outputs, outputs);
    }
  }
  std::string unpacked;
  EXPECT_FALSE(UnpackBlanks(PackBlanks(entry), 1494, &unpacked)) << "one byte short";
  EXPECT_FALSE(UnpackBlanks(PackBlanks(entry) + "\x01", 1495, &unpacked)) << "bytes after it";
  auto packed = [](std::string body, uint32_t size) {
    std::string p("\0\0\0\1\1\0\1", 7);
    for (int shift = 24; shift >= 0; shift -= 8) p.push_back(static_cast<char>(size >> shift));
    return p + body;
  };
  CallReply back;
  std::string error;
  // Runs longer than the size, a pair that makes no progress, an overlong
  // count, bytes after the last run.
  EXPECT_FALSE(Decode(packed(std::string("\x00\x05", 2), 4), &back, &error));
  EXPECT_FALSE(Decode(packed(std::string("\x00\x00\x00\x04", 4), 4), &back, &error));
  EXPECT_FALSE(Decode(packed(std::string("\x80\x80\x80\x80\x80\x01", 6), 4), &back, &error));
  EXPECT_FALSE(Decode(packed(std::string("\x00\x04\x00", 3), 4), &back, &error));
  ASSERT_TRUE(Decode(packed(std::string("\x01\xC1\x03", 3), 4), &back, &error)) << error;
  EXPECT_EQ(back.outputs.at(0), std::string("\xC1\x40\x40\x40", 4));
}

}  // namespace
}  // namespace zvt::wire
