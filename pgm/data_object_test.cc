#include "pgm/data_object.h"

#include <gtest/gtest.h>

#include <random>

#include "pgm/big_endian.h"
#include "pgm/remote_program_calls.h"
#include "testing/temp_dir.h"

namespace zvt::pgm {
namespace {

constexpr FieldDescription kEntryRows[] = {
    {kFieldChar, 5, 0, 0, {}},
    {kFieldBinary, 4, 0, 0, {}},
};
constexpr FieldTable kEntry = MakeFieldTable(kEntryRows);
// count, stride, offset, filler, entries: the shape of a list receiver.
constexpr FieldDescription kReceiverRows[] = {
    {kFieldBinary, 4, 0, 0, {}},
    {kFieldBinary, 4, 0, 0, {}},
    {kFieldBinary, 4, 0, 0, {}},
    {kFieldFiller, (3u << 16), 0, 0, {}},
    {kFieldArray, (1u << 16), 2, 0, kEntry},
};
constexpr FieldTable kReceiver = MakeFieldTable(kReceiverRows);
constexpr FieldDescription kVaryingRows[] = {
    {kFieldBinary, 4, 0, 0, {}},
    {kFieldCharVarying, (1u << 16) | 3, 0, 0, {}},
    {kFieldRaw, 2, 0, 0, {}},
};
constexpr FieldTable kVarying = MakeFieldTable(kVaryingRows);
constexpr FieldDescription kBadReference[] = {
    {kFieldChar, 3, 0, 0, {}},
    {kFieldCharVarying, (1u << 16), 0, 0, {}},  // refers to a character field
};

std::string Be(uint32_t v) { return big_endian::Bytes32(v); }

class DataObjectTest : public ::testing::Test {
 protected:
  DataObjectTest() : calls_(&locator_, ErrorLog(dir_.File("error.log"))) {}
  // A list receiver holding an array of four entries; null on failure.
  ArrayDataObject* NewReceiver(std::unique_ptr<DataObject>* receiver) {
    DataDescription receiver_dd(kReceiver), entry_dd(kEntry);
    *receiver = calls_.createDataObject(receiver_dd);
    std::unique_ptr<DataObject> owned = calls_.createArrayDataObject(entry_dd, 4);
    auto* array = static_cast<ArrayDataObject*>(owned.get());
    ErrorOut error;
    return calls_.setObject(receiver->get(), 4, &owned, &error) == kPgmOk ? array : nullptr;
  }

  testing::TempDir dir_;
  StaticSystemLocator locator_;
  RemoteProgramCalls calls_;
};

TEST_F(DataObjectTest, SettersCheckTypesAndLeaveOwnershipWithTheCallerOnFailure) {
  DataDescription dd(kVarying);
  auto object = calls_.createDataObject(dd);
  ASSERT_TRUE(object);
  ErrorOut error;
  // "0" and other decimal texts set binary fields.
  EXPECT_EQ(calls_.setText(object.get(), 0, u"0", &error), kPgmOk);
  EXPECT_FALSE(error);
  EXPECT_EQ(calls_.setText(object.get(), 0, u"-2", &error), kPgmOk);
  char16_t text[16];
  EXPECT_EQ(calls_.getText(object.get(), 0, text, sizeof text), kPgmOk);
  EXPECT_EQ(std::u16string(text), u"-2");
  EXPECT_NE(calls_.setText(object.get(), 0, u"12x", &error), kPgmOk);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->errorClass(), kErrorClassLocal);
  error.reset();
  // Raw fields take at most their width; binary needs 4 bytes of type 6.
  EXPECT_NE(calls_.setBinary(object.get(), 2, "abc", 3, kFieldRaw, &error), kPgmOk);
  EXPECT_NE(calls_.setBinary(object.get(), 0, "ab", 2, kFieldBinary, &error), kPgmOk);
  EXPECT_NE(calls_.setText(object.get(), 1, u"four", &error), kPgmOk);  // over the limit of 3
  EXPECT_NE(calls_.setText(object.get(), 9, u"x", &error), kPgmOk);
  // A child that does not match the field stays the caller's.
  DataDescription entry(kEntry);
  std::unique_ptr<DataObject> child = calls_.createDataObject(entry);
  EXPECT_NE(calls_.setObject(object.get(), 1, &child, &error), kPgmOk);
  EXPECT_TRUE(child);
  // Tables with bad references give no object.
  DataDescription bad(MakeFieldTable(kBadReference));
  EXPECT_EQ(calls_.createDataObject(bad), nullptr);
}

TEST_F(DataObjectTest, LengthsAndEncodingFollowTheDescription) {
  DataDescription dd(kVarying);
  auto object = calls_.createDataObject(dd);
  ErrorOut error;
  uint32_t two = 2;
  ASSERT_EQ(calls_.setBinary(object.get(), 0, &two, 4, kFieldBinary, &error), kPgmOk);
  ASSERT_EQ(calls_.setText(object.get(), 1, u"A", &error), kPgmOk);
  EXPECT_EQ(calls_.length(object.get()), 4u + 2u + 2u);
  std::string bytes;
  AsNode(object.get())->Encode(&bytes);
  // Big-endian binary, EBCDIC blank-padded to the varying length, zero raw.
  EXPECT_EQ(bytes, Be(2) + std::string("\xC1\x40", 2) + std::string(2, '\0'));

  DataDescription receiver_dd(kReceiver), entry_dd(kEntry);
  auto receiver = calls_.createDataObject(receiver_dd);
  std::unique_ptr<DataObject> array = calls_.createArrayDataObject(entry_dd, 10);
  ASSERT_EQ(calls_.setObject(receiver.get(), 4, &array, &error), kPgmOk);
  EXPECT_FALSE(array);
  EXPECT_EQ(calls_.length(receiver.get()), 12u + 10u * 9u);
  ASSERT_NE(calls_.childObject(receiver.get(), 4), nullptr);
}

TEST_F(DataObjectTest, DecodingUsesTheHostsCountStrideAndOffset) {
  DataDescription receiver_dd(kReceiver), entry_dd(kEntry);
  auto receiver = calls_.createDataObject(receiver_dd);
  std::unique_ptr<DataObject> owned = calls_.createArrayDataObject(entry_dd, 3);
  auto* array = static_cast<ArrayDataObject*>(owned.get());
  ErrorOut error;
  ASSERT_EQ(calls_.setObject(receiver.get(), 4, &owned, &error), kPgmOk);
  // 2 entries, stride 12 (3 bytes of padding each), first entry at offset 16.
  std::string in = Be(2) + Be(12) + Be(16) + std::string(4, '\0');
  in += std::string("\xC1\xC2\x40\x40\x40", 5) + Be(7) + "xyz";
  in += std::string("\xC3\x40\x40\x40\x40", 5) + Be(8) + "xyz";
  static_cast<PgmDataObject*>(receiver.get())->record().Decode(in);
  char16_t text[8];
  uint32_t v = 0, n = 0, t = 0;
  ASSERT_EQ(calls_.selectEntry(array, 1), kPgmOk);
  EXPECT_EQ(calls_.getText(array, 0, text, sizeof text), kPgmOk);
  EXPECT_EQ(std::u16string(text), u"C");
  EXPECT_EQ(calls_.getBinary(array, 1, &v, 4, &n, &t), kPgmOk);
  EXPECT_EQ(v, 8u);
  ASSERT_EQ(calls_.selectEntry(array, 0), kPgmOk);
  // A destination too small for the text gets as much as fits.
  EXPECT_EQ(calls_.getText(array, 0, text, 4), kPgmTruncated);
  EXPECT_EQ(std::u16string(text), u"A");
  // Entry 2 was not sent; entry 3 is past the capacity.
  ASSERT_EQ(calls_.selectEntry(array, 2), kPgmOk);
  EXPECT_EQ(calls_.getText(array, 0, text, sizeof text), kPgmNotAvailable);
  EXPECT_EQ(calls_.selectEntry(array, 3), kPgmBadIndex);

  // Entries are read from the bytes they arrived in; one a caller changes
  // keeps the change while others are read, and is encoded with it.
  auto shared = std::make_shared<const std::string>(in);
  static_cast<PgmDataObject*>(receiver.get())->record().Decode(*shared, &shared);
  ASSERT_EQ(calls_.selectEntry(array, 0), kPgmOk);
  ASSERT_EQ(calls_.setText(array, 0, u"Z", &error), kPgmOk);
  ASSERT_EQ(calls_.selectEntry(array, 1), kPgmOk);
  EXPECT_EQ(calls_.getText(array, 0, text, sizeof text), kPgmOk);
  EXPECT_EQ(std::u16string(text), u"C");
  ASSERT_EQ(calls_.selectEntry(array, 0), kPgmOk);
  EXPECT_EQ(calls_.getText(array, 0, text, sizeof text), kPgmOk);
  EXPECT_EQ(std::u16string(text), u"Z");
  std::string encoded;
  AsNode(array)->Encode(&encoded);
  EXPECT_EQ(encoded.substr(0, 9), std::string("\xE9\x40\x40\x40\x40", 5) + Be(7));
  EXPECT_EQ(encoded.substr(9, 9), std::string("\xC3\x40\x40\x40\x40", 5) + Be(8));
  EXPECT_EQ(encoded.substr(18), std::string("\x40\x40\x40\x40\x40", 5) + Be(0));
  // A new reply forgets the change.
  static_cast<PgmDataObject*>(receiver.get())->record().Decode(*shared, &shared);
  EXPECT_EQ(calls_.getText(array, 0, text, sizeof text), kPgmOk);
  EXPECT_EQ(std::u16string(text), u"AB");
}

TEST_F(DataObjectTest, HostileRepliesNeverReadOutsideWhatArrived) {
  std::mt19937 rng(1);
  for (int round = 0; round < 2000; ++round) {
    std::unique_ptr<DataObject> receiver;
    ArrayDataObject* array = NewReceiver(&receiver);
    ASSERT_NE(array, nullptr);
    // Huge or tiny counts, strides and offsets, cut at a random length.
    uint32_t picks[] = {0, 1, 3, 4, 9, 12, 0x7FFFFFFF, 0xFFFFFFFF};
    std::string in = Be(picks[rng() % 8]) + Be(picks[rng() % 8]) + Be(picks[rng() % 8]);
    in += std::string(rng() % 64, static_cast<char>(rng()));
    in.resize(rng() % (in.size() + 1));
    // Read from a copy, and from the bytes as they arrived.
    auto shared = std::make_shared<const std::string>(in);
    static_cast<PgmDataObject*>(receiver.get())
        ->record()
        .Decode(*shared, round % 2 == 0 ? &shared : nullptr);
    shared.reset();
    char16_t text[8];
    uint32_t v, n, t;
    for (uint16_t e = 0; e < 4; ++e) {
      calls_.selectEntry(array, e);
      calls_.getText(array, 0, text, sizeof text);
      calls_.getBinary(array, 1, &v, 4, &n, &t);
    }
  }
}

// Records whose fields all have widths of their own are read from their
// source by a layout worked out once; they read exactly as records that
// work the widths out field by field, wherever the bytes end.
TEST_F(DataObjectTest, AFixedLayoutReadsAsTheFieldByFieldOne) {
  std::mt19937 rng(2);
  for (int round = 0; round < 500; ++round) {
    std::string bytes(rng() % 24, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    auto source = std::make_shared<const std::string>(bytes);
    const size_t start = bytes.empty() ? 0 : rng() % (bytes.size() + 1);
    Record laid_out(kEntry), walked(kEntry);
    laid_out.LayOutFixed();
    EXPECT_EQ(laid_out.DecodeFrom(source, start), walked.DecodeFrom(source, start));
    for (size_t i = 0; i < kEntry.count; ++i) {
      ASSERT_EQ(laid_out.slot(i).has_value, walked.slot(i).has_value) << round << " " << i;
      EXPECT_EQ(laid_out.FieldBytes(i), walked.FieldBytes(i));
    }
  }
}

// Fields of a received entry are read straight from the reply's bytes; the
// same entry decoded into a record of its own (as a caller's change makes
// it) must read alike, whatever the host sent and however much of it.
TEST_F(DataObjectTest, AReceivedEntryReadsAsItsDecodedRecord) {
  std::mt19937 rng(3);
  for (int round = 0; round < 200; ++round) {
    std::unique_ptr<DataObject> receiver;
    ArrayDataObject* array = NewReceiver(&receiver);
    ASSERT_NE(array, nullptr);
    const uint32_t count = rng() % 5, stride = 9 + rng() % 3;
    std::string in = Be(count) + Be(stride) + Be(16) + std::string(4, '\0');
    in += std::string(rng() % (count * stride + 1), '\0');
    for (size_t i = 16; i < in.size(); ++i)
      in[i] = static_cast<char>(rng() % 4 ? 0x40 + rng() % 0x80 : rng());
    auto shared = std::make_shared<const std::string>(in);
    static_cast<PgmDataObject*>(receiver.get())->record().Decode(*shared, &shared);
    for (uint16_t entry = 0; entry < 4; ++entry) {
      for (uint32_t field = 0; field < 3; ++field) {
        char16_t straight[8] = {u'?'}, decoded[8] = {u'?'};
        ASSERT_EQ(calls_.selectEntry(array, entry), kPgmOk);
        const uint32_t rc = calls_.getText(array, field, straight, sizeof straight);
        if (AsArray(array)->current() != nullptr) AsArray(array)->writable();
        EXPECT_EQ(calls_.getText(array, field, decoded, sizeof decoded), rc)
            << round << " " << entry << " " << field;
        EXPECT_EQ(std::u16string(straight), std::u16string(decoded));
      }
    }
  }
}

}  // namespace
}  // namespace zvt::pgm
