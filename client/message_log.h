// The client's message log: messages.log in the per-user state directory,
// one line per message: time, class, the two identifying texts of the
// handle that logged it, and the text, separated by tabs. Tabs, newlines and
// backslashes inside texts are escaped, so every message stays one line.
#ifndef ZVT_CLIENT_MESSAGE_LOG_H_
#define ZVT_CLIENT_MESSAGE_LOG_H_

#include <cstdint>
#include <string>
#include <vector>

namespace zvt::client {

struct LogEntry {
  std::string time;
  uint32_t message_class = 0;
  std::string source, component, text;
};

class MessageLog {
 public:
  // An empty path means messages.log in the state directory.
  explicit MessageLog(std::string path = std::string());
  const std::string& path() const { return path_; }

  // One append per entry, so concurrent processes never interleave.
  bool Append(uint32_t message_class, const std::string& source, const std::string& component,
              const std::string& text) const;
  // The entries in the order written; lines that are not entries are skipped.
  bool Read(std::vector<LogEntry>* entries, std::string* error) const;

 private:
  std::string path_;
};

}  // namespace zvt::client

#endif  // ZVT_CLIENT_MESSAGE_LOG_H_
