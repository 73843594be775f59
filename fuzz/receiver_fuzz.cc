// Fuzzes the decoding of a host's reply into a list receiver (header,
// filler, entry array with the host's count and stride) and every read of
// the decoded fields.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "pgm/data_object.h"
#include "pgm/remote_program_calls.h"

namespace {

using namespace zvt;

constexpr FieldDescription kEntryRows[] = {
    {kFieldChar, 30, 0, 0, {}},  {kFieldChar, 1, 0, 0, {}},
    {kFieldRaw, 3, 0, 0, {}},    {kFieldBinary, 4, 0, 0, {}},
    {kFieldBinary, 4, 0, 0, {}}, {kFieldCharVarying, (5u << 16) | 64, 0, 0, {}},
};
constexpr FieldTable kEntry = MakeFieldTable(kEntryRows);
constexpr FieldDescription kReceiverRows[] = {
    {kFieldBinary, 4, 0, 0, {}},
    {kFieldBinary, 4, 0, 0, {}},
    {kFieldRaw, 20, 0, 0, {}},
    {kFieldBinary, 4, 0, 0, {}},
    {kFieldBinary, 4, 0, 0, {}},
    {kFieldBinary, 4, 0, 0, {}},
    {kFieldFiller, (4u << 16), 0, 0, {}},
    {kFieldArray, (5u << 16), 6, 0, kEntry},
};
constexpr FieldTable kReceiver = MakeFieldTable(kReceiverRows);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static pgm::StaticSystemLocator locator;
  static pgm::RemoteProgramCalls calls(&locator, pgm::ErrorLog("/dev/null"));
  DataDescription receiver_dd(kReceiver), entry_dd(kEntry);
  std::unique_ptr<DataObject> receiver = calls.createDataObject(receiver_dd);
  std::unique_ptr<DataObject> owned = calls.createArrayDataObject(entry_dd, 8);
  auto* array = static_cast<ArrayDataObject*>(owned.get());
  ErrorOut error;
  if (calls.setObject(receiver.get(), 7, &owned, &error) != 0) __builtin_trap();
  static_cast<pgm::PgmDataObject*>(receiver.get())
      ->record()
      .Decode(std::string_view(reinterpret_cast<const char*>(data), size));
  uint8_t raw[32];
  char16_t text[80];
  uint32_t n, t;
  for (uint32_t i = 0; i < 8; ++i) calls.getBinary(receiver.get(), i, raw, sizeof raw, &n, &t);
  for (uint16_t e = 0; e < 9; ++e) {
    calls.selectEntry(array, e);
    for (uint32_t f = 0; f < 7; ++f) {
      calls.getText(array, f, text, sizeof text);
      calls.getBinary(array, f, raw, sizeof raw, &n, &t);
    }
  }
  return 0;
}
