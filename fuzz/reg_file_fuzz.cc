// Fuzzes the .reg file parser: any bytes either parse into keys and values
// or give a "line N: ..." error, without a crash.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tools/reg_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zvt::tools::RegFile file;
  std::string error;
  bool ok = zvt::tools::ParseRegFile(std::string_view(reinterpret_cast<const char*>(data), size),
                                     &file, &error);
  if (!ok && error.rfind("line ", 0) != 0 && !error.empty()) __builtin_trap();
  return 0;
}
