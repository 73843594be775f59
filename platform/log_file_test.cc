// Log files: time stamps with their UTC offset, and rotation at the size
// limit by writers that race, with whole records and one old file kept.
#include "platform/log_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "testing/temp_dir.h"

namespace zvt::platform {
namespace {

TEST(LogFileTest, TimeStampsCarryTheirOffsetFromUtc) {
  std::string stamp = LocalTimestamp();
  EXPECT_TRUE(
      std::regex_match(stamp, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)")))
      << stamp;
}

TEST(LogFileTest, RacingWritersRotateAtTheLimitKeepingWholeRecordsAndOneOldFile) {
  testing::TempDir dir;
  const std::string log = dir.File("messages.log");
  constexpr uint64_t kLimit = 4096;
  setenv("ZVT_LOG_MAX_BYTES", std::to_string(kLimit).c_str(), 1);
  ASSERT_EQ(kLimit, LogFileLimit());

  constexpr int kThreads = 4, kRecords = 400;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&log, t] {
      for (int i = 0; i < kRecords; ++i) {
        std::string record = "writer " + std::to_string(t) + " record " + std::to_string(i) + " " +
                             std::string(40 + (i % 30), 'x') + " end\n";
        ASSERT_TRUE(AppendToLogFile(log, record));
      }
    });
  }
  for (std::thread& w : writers) w.join();
  unsetenv("ZVT_LOG_MAX_BYTES");

  std::set<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    files.insert(entry.path().filename().string());
  EXPECT_EQ((std::set<std::string>{"messages.log", "messages.log.1"}), files);
  const std::regex whole(R"(writer \d record \d+ x+ end)");
  for (const std::string& name : files) {
    EXPECT_LE(std::filesystem::file_size(dir.File(name)), kLimit) << name;
    std::ifstream in(dir.File(name));
    std::string line;
    while (std::getline(in, line))
      EXPECT_TRUE(std::regex_match(line, whole)) << name << ": " << line;
  }
  // The old file was full when it was set aside: rotation keeps what it can.
  EXPECT_GT(std::filesystem::file_size(dir.File("messages.log.1")), kLimit - 100);
}

}  // namespace
}  // namespace zvt::platform
