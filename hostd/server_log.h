// zvthostd's log: lines on standard error at the syslog levels, with the
// "<N>" prefixes that journald reads as the line's priority when standard
// error is the journal; plain lines otherwise. Thread-safe.
#ifndef ZVT_HOSTD_SERVER_LOG_H_
#define ZVT_HOSTD_SERVER_LOG_H_

#include <string>

namespace zvt::hostd {

enum class LogLevel { kError = 3, kWarning = 4, kNotice = 5, kInfo = 6, kDebug = 7 };

// Lines above `level` are dropped (default kInfo).
void SetLogLevel(LogLevel level);
// "err", "warning", "notice", "info" or "debug"; false for any other name.
bool ParseLogLevel(const std::string& name, LogLevel* level);
void Log(LogLevel level, const std::string& text);

}  // namespace zvt::hostd

#endif  // ZVT_HOSTD_SERVER_LOG_H_
