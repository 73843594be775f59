#include "pgm/receiver_check.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "pgm/big_endian.h"

namespace zvt::pgm {
namespace {

constexpr FieldDescription kEntryRows[] = {
    {kFieldChar, 30, 0, 0, {}},
    {kFieldChar, 1, 0, 0, {}},
    {kFieldChar, 1, 0, 0, {}},
};
constexpr FieldTable kEntry = MakeFieldTable(kEntryRows);
// A list receiver: bytes returned, bytes available, continuation handle,
// offset to the first entry, count, entry length, filler, entries (field
// references count from 1).
constexpr FieldDescription kListRows[] = {
    {kFieldBinary, 4, 0, 0, {}},
    {kFieldBinary, 4, 0, 0, {}},
    {kFieldRaw, 20, 0, 0, {}},
    {kFieldBinary, 4, 0, 0, {}},
    {kFieldBinary, 4, 0, 0, {}},
    {kFieldBinary, 4, 0, 0, {}},
    {kFieldFiller, (4u << 16), 0, 0, {}},
    {kFieldArray, (5u << 16), 6, 0, kEntry},
};
constexpr FieldTable kList = MakeFieldTable(kListRows);
constexpr uint32_t kHeader = 40, kStride = 32;

// A receiver with `count` announced and `carried` entries after the header;
// bytes returned and available count every byte sent.
std::string List(uint32_t count, uint32_t carried) {
  const uint32_t size = kHeader + carried * kStride;
  std::string r = big_endian::Bytes32(size) + big_endian::Bytes32(size) + std::string(20, '\x40') +
                  big_endian::Bytes32(kHeader) + big_endian::Bytes32(count) +
                  big_endian::Bytes32(kStride);
  r.resize(size, '\xC1');
  return r;
}

// Checks `bytes` as received, decoded from a copy and from the bytes handed
// over as they arrived: both paths must agree.
bool Sound(const std::string& bytes, std::string* why) {
  bool verdicts[2];
  for (int handed_over = 0; handed_over < 2; ++handed_over) {
    Record record(kList);
    auto arrived = std::make_shared<const std::string>(bytes);
    record.Decode(*arrived, handed_over != 0 ? &arrived : nullptr);
    verdicts[handed_over] = CheckReceiver(record, bytes.size(), 4096, why);
  }
  EXPECT_EQ(verdicts[0], verdicts[1]);
  return verdicts[0] && verdicts[1];
}

// A list says exactly how many entries it carries: a count that leaves
// entries out is as malformed as one that names entries not sent, since a
// caller would take the shortened list as the whole truth.
TEST(ReceiverCheckTest, AnnouncedEntriesMustMatchTheBytesReturnedBothWays) {
  std::string why;
  EXPECT_TRUE(Sound(List(0, 0), &why)) << why;
  EXPECT_TRUE(Sound(List(3, 3), &why)) << why;
  struct Case {
    uint32_t count, carried;
  };
  for (Case c : {Case{0, 3}, Case{2, 3}, Case{1, 3}, Case{4, 3}, Case{60000, 3}}) {
    SCOPED_TRACE(std::to_string(c.count) + " announced, " + std::to_string(c.carried) + " sent");
    why.clear();
    EXPECT_FALSE(Sound(List(c.count, c.carried), &why));
    EXPECT_FALSE(why.empty());
  }
  // Bytes returned that stop inside an entry the count still includes.
  std::string cut = List(3, 3);
  cut.replace(0, 4, big_endian::Bytes32(kHeader + 2 * kStride + 5));
  EXPECT_FALSE(Sound(cut, &why));
}

}  // namespace
}  // namespace zvt::pgm
