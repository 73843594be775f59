// Appending records to the stand-ins' private log files, and the local time
// stamp each record starts with. Thread-safe; records of several processes
// never interleave within a line.
#ifndef ZVT_PLATFORM_LOG_FILE_H_
#define ZVT_PLATFORM_LOG_FILE_H_

#include <string>

namespace zvt::platform {

// Appends `record` to the file at `path` (UTF-8) in one write, creating the
// file readable by its owner alone and its directory private. False when it
// could not be written whole.
bool AppendToLogFile(const std::string& path, const std::string& record);

// Local time to the millisecond: "2026-12-07T10:52:01.123".
std::string LocalTimestamp();

// The calling process's id.
long ProcessId();

}  // namespace zvt::platform

#endif  // ZVT_PLATFORM_LOG_FILE_H_
