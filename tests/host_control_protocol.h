// The line protocol between the tests of the Windows build and the control
// process that runs host servers of the Linux build for them. One request
// line, one reply line, words separated by single spaces. A request is a
// command word and arguments, each argument its UTF-8 bytes in hex so that
// any text fits in a word:
//   reset                          a new, empty store; any server stops
//   profile NAME PASSWORD          a profile (cheap password hash)
//   all_profiles NAME              let it read every profile's usage and timestamps
//   function ID CATEGORY TYPE ROOT PARENT NAME NAME2 DESCRIPTION
//            DESCRIPTION2 INDICATOR1 INDICATOR2 INDICATOR3 DEFAULT_USAGE
//   usage PROFILE FUNCTION USAGE
//   timestamps PROFILE             -> ok KNOWN USER REP HIER (raw stamps)
//   start RESET_AFTER STALL_AFTER DELAY_MS VERSION RELEASE   -> ok PORT
//   stop
//   calls [PROGRAM]                -> ok COUNT
// Replies are "ok" with hex results, or "error" with a hex message.
#ifndef ZVT_TESTS_HOST_CONTROL_PROTOCOL_H_
#define ZVT_TESTS_HOST_CONTROL_PROTOCOL_H_

#include <string>
#include <string_view>
#include <vector>

namespace zvt::testing::host_control {

inline std::string Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

inline bool Unhex(std::string_view hex, std::string* out) {
  auto digit = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  out->clear();
  if (hex.size() % 2 != 0) return false;
  for (size_t i = 0; i < hex.size(); i += 2) {
    int high = digit(hex[i]), low = digit(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    out->push_back(static_cast<char>(high << 4 | low));
  }
  return true;
}

// The line (with its "\n") for `word` followed by `args` in hex.
inline std::string Line(const std::string& word, const std::vector<std::string>& args = {}) {
  std::string line = word;
  for (const std::string& a : args) line += " " + Hex(a);
  return line + "\n";
}

// Splits a line without its "\n" into its first word and decoded arguments.
inline bool Parse(const std::string& line, std::string* word, std::vector<std::string>* args) {
  args->clear();
  size_t end = line.find(' ');
  *word = line.substr(0, end);
  while (end != std::string::npos) {
    size_t start = end + 1;
    end = line.find(' ', start);
    std::string arg;
    if (!Unhex(std::string_view(line).substr(start, end == std::string::npos ? end : end - start),
               &arg))
      return false;
    args->push_back(std::move(arg));
  }
  return true;
}

}  // namespace zvt::testing::host_control

#endif  // ZVT_TESTS_HOST_CONTROL_PROTOCOL_H_
