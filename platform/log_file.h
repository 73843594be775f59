// Appending records to the stand-ins' private log files, and the local time
// stamp each record starts with. Thread-safe; records of several processes
// never interleave within a line.
#ifndef ZVT_PLATFORM_LOG_FILE_H_
#define ZVT_PLATFORM_LOG_FILE_H_

#include <cstdint>
#include <string>

namespace zvt::platform {

// The size at which a log file is rotated: $ZVT_LOG_MAX_BYTES (at least
// 1024), else 4 MiB.
constexpr uint64_t kDefaultLogFileLimit = 4u << 20;
uint64_t LogFileLimit();

// Appends `record` to the file at `path` (UTF-8) in one write, creating the
// file readable by its owner alone and its directory private. A file that
// the record would take past LogFileLimit() is first renamed to `path`.1,
// replacing the one there, so that a component failing in a loop cannot
// fill the disk. False when the record could not be written whole.
bool AppendToLogFile(const std::string& path, const std::string& record);

// Local time to the millisecond with its offset from UTC:
// "2026-12-07T10:52:01.123+01:00".
std::string LocalTimestamp();

// The calling process's id.
long ProcessId();

}  // namespace zvt::platform

#endif  // ZVT_PLATFORM_LOG_FILE_H_
