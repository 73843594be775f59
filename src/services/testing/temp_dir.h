// A private temporary directory for a test, removed with its contents.
#ifndef ZVT_SERVICES_TESTING_TEMP_DIR_H_
#define ZVT_SERVICES_TESTING_TEMP_DIR_H_

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace zvt::testing {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zvt-test-XXXXXX").string();
    path_ = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace zvt::testing

#endif  // ZVT_SERVICES_TESTING_TEMP_DIR_H_
