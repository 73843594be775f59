// zvthostd's log on standard error.
#include "hostd/server_log.h"

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "services/mutex.h"

namespace zvt::hostd {
namespace {

std::atomic<int> g_level{static_cast<int>(LogLevel::kInfo)};

// True when standard error is the journal's stream ($JOURNAL_STREAM names
// its device and inode), as systemd sets it up for a service.
bool StderrIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  unsigned long long dev = 0, ino = 0;
  struct stat st {};
  return sscanf(stream, "%llu:%llu", &dev, &ino) == 2 && fstat(STDERR_FILENO, &st) == 0 &&
         st.st_dev == dev && st.st_ino == ino;
}

// The text on one line: line breaks and tabs (a database's multi-line
// error) become blanks, other control bytes \xNN.
std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c == '\n' || c == '\r' || c == '\t') {
      out += ' ';
    } else if (c < 0x20 || c == 0x7F) {
      static const char kHex[] = "0123456789ABCDEF";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace

void SetLogLevel(LogLevel level) { g_level = static_cast<int>(level); }

bool ParseLogLevel(const std::string& name, LogLevel* level) {
  static const struct {
    const char* name;
    LogLevel level;
  } kLevels[] = {{"err", LogLevel::kError},
                 {"warning", LogLevel::kWarning},
                 {"notice", LogLevel::kNotice},
                 {"info", LogLevel::kInfo},
                 {"debug", LogLevel::kDebug}};
  for (const auto& l : kLevels) {
    if (name == l.name) {
      *level = l.level;
      return true;
    }
  }
  return false;
}

void Log(LogLevel level, const std::string& text) {
  if (static_cast<int>(level) > g_level.load(std::memory_order_relaxed)) return;
  static const bool journal = StderrIsJournal();
  static Mutex mu;
  // One line per message whatever it quotes: a name sent by a client (a
  // profile in a refused sign-on) cannot start a line of its own, or carry
  // a priority prefix or terminal controls into the log.
  std::string line = (journal ? "<" + std::to_string(static_cast<int>(level)) + ">" : "") +
                     "zvthostd: " + Printable(text) + "\n";
  MutexLock lock(&mu);
  (void)!write(STDERR_FILENO, line.data(), line.size());
}

}  // namespace zvt::hostd
