// zvthostd's log on standard error.
#include "hostd/server_log.h"

#include <stdio.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <utility>
#include <vector>

#include "services/mutex.h"

namespace zvt::hostd {
namespace {

std::atomic<int> g_level{static_cast<int>(LogLevel::kInfo)};

constexpr std::chrono::seconds kRefusalInterval{10};
constexpr uint64_t kRefusalsLogged = 5;  // of one cause in one interval
constexpr size_t kNameShown = 64;

// Refusals logged lately, by cause: when the interval began, how many were
// logged in it and how many more came.
struct RefusalRun {
  std::chrono::steady_clock::time_point began;
  uint64_t logged = 1;
  uint64_t more = 0;
};

class RefusalRuns {
 public:
  // True when this refusal is the first of its interval and to be logged;
  // `*summary` then holds the last interval's summary, if any.
  bool Count(const char* cause, std::string* summary) {
    const auto now = std::chrono::steady_clock::now();
    MutexLock lock(&mu_);
    auto [it, fresh] = runs_.try_emplace(cause, RefusalRun{now});
    if (fresh) return true;
    RefusalRun& run = it->second;
    if (now - run.began < kRefusalInterval) {
      if (run.logged < kRefusalsLogged) return ++run.logged, true;
      ++run.more;
      return false;
    }
    *summary = SummaryOf(it->first, run);
    run = RefusalRun{now};
    return true;
  }
  std::string Flush() {
    const auto now = std::chrono::steady_clock::now();
    std::string lines;
    MutexLock lock(&mu_);
    for (auto it = runs_.begin(); it != runs_.end();) {
      if (now - it->second.began < kRefusalInterval) {
        ++it;
        continue;
      }
      std::string summary = SummaryOf(it->first, it->second);
      if (!summary.empty()) lines += summary + "\n";
      it = runs_.erase(it);
    }
    return lines;
  }

 private:
  static std::string SummaryOf(const std::string& cause, const RefusalRun& run) {
    if (run.more == 0) return "";
    return std::to_string(run.more) + " more refusals (" + cause + ") in " +
           std::to_string(kRefusalInterval.count()) + " s";
  }
  Mutex mu_;
  std::map<std::string, RefusalRun> runs_ ZVT_GUARDED_BY(mu_);  // one per fixed cause
};

RefusalRuns& Runs() {
  static RefusalRuns* runs = new RefusalRuns;
  return *runs;
}

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

// "\xNN" for the byte.
void AppendEscaped(std::string* out, unsigned char c) {
  static const char kHex[] = "0123456789ABCDEF";
  *out += "\\x";
  *out += kHex[c >> 4];
  *out += kHex[c & 15];
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
      AppendEscaped(&out, c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace

std::string QuotedName(const std::string& name) {
  std::string out = "\"";
  for (size_t i = 0; i < name.size() && i < kNameShown; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c < 0x20 || c == 0x7F || c == '"' || c == '\\') {
      AppendEscaped(&out, c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + (name.size() > kNameShown ? "\"..." : "\"");
}

void LogRefusal(const char* cause, const std::string& text, const LogFields& fields) {
  if (static_cast<int>(LogLevel::kNotice) > g_level.load(std::memory_order_relaxed)) return;
  std::string summary;
  if (!Runs().Count(cause, &summary)) return;
  if (!summary.empty()) Log(LogLevel::kNotice, summary);
  Log(LogLevel::kNotice, text, fields);
}

void FlushRefusals() {
  std::string lines = Runs().Flush();
  for (size_t start = 0; start < lines.size();) {
    size_t end = lines.find('\n', start);
    Log(LogLevel::kNotice, lines.substr(start, end - start));
    start = end + 1;
  }
}

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

void Log(LogLevel level, const std::string& text, const LogFields& fields) {
  if (static_cast<int>(level) > g_level.load(std::memory_order_relaxed)) return;
  static const bool journal = StderrIsJournal();
  // One line per message whatever it quotes: a name sent by a client (a
  // profile in a refused sign-on) cannot start a line of its own, or carry
  // a priority prefix or terminal controls into the log.
  const std::string message = Printable(text);
  // (Without its socket, sd_journal_sendv drops an entry and says it went.)
  if (journal && access("/run/systemd/journal/socket", W_OK) == 0) {
    std::vector<std::string> entry = {"MESSAGE=" + message,
                                      "PRIORITY=" + std::to_string(static_cast<int>(level)),
                                      "SYSLOG_IDENTIFIER=zvthostd"};
    const std::pair<const char*, const std::string*> named[] = {{"PROFILE=", &fields.profile},
                                                                {"PEER=", &fields.peer},
                                                                {"PROGRAM=", &fields.program},
                                                                {"CODE=", &fields.code}};
    for (const auto& [name, value] : named)
      if (!value->empty()) entry.push_back(name + Printable(*value));
    std::vector<iovec> parts;
    for (std::string& e : entry) parts.push_back({e.data(), e.size()});
    if (sd_journal_sendv(parts.data(), static_cast<int>(parts.size())) == 0) return;
  }
  // Standard error: the journal's stream (its socket would not take the
  // entry) reads the priority from the "<N>" prefix and knows the
  // identifier; a terminal or a file is told whose line it is.
  std::string line =
      (journal ? "<" + std::to_string(static_cast<int>(level)) + ">" : std::string("zvthostd: ")) +
      message + "\n";
  static Mutex mu;
  MutexLock lock(&mu);
  (void)!write(STDERR_FILENO, line.data(), line.size());
}

}  // namespace zvt::hostd
