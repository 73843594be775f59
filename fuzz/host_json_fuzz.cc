// The host store's JSON file checker on any input: it either accepts a
// document that the importer can read without a type fault, or refuses it
// with a message that names a place; it never crashes or reads outside the
// text, also when locating a fault in a document with deep nesting, escapes
// or odd spacing.
#include <cstddef>
#include <cstdint>
#include <string>

#include "hostd/host_json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  nlohmann::json document;
  std::string error;
  if (!zvt::hostd::CheckHostJson(text, &document, &error)) {
    if (error.empty()) __builtin_trap();
    return 0;
  }
  // What the importer reads must have the types the checker promised.
  for (const char* list : {"functions", "profiles", "usage"}) {
    if (!document.contains(list)) continue;
    for (const auto& entry : document[list]) {
      for (const auto& [key, value] : entry.items()) {
        if (key == "indicators") {
          for (const auto& one : value) (void)one.get<std::string>();
        } else if (key != "fast_hash" && key != "all_profiles") {
          (void)value.get<std::string>();
        }
      }
    }
  }
  return 0;
}
