// zvthostd's log on standard error.
#include "hostd/server_log.h"

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

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
  static std::mutex mu;
  std::string line = (journal ? "<" + std::to_string(static_cast<int>(level)) + ">" : "") +
                     "zvthostd: " + text + "\n";
  std::lock_guard<std::mutex> lock(mu);
  (void)!write(STDERR_FILENO, line.data(), line.size());
}

}  // namespace zvt::hostd
