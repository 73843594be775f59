// A private temporary directory for a test, removed with its contents.
#ifndef ZVT_TESTING_TEMP_DIR_H_
#define ZVT_TESTING_TEMP_DIR_H_

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace zvt::testing {

class TempDir {
 public:
  // A new directory with a random name below the system's temporary
  // directory; creating it fails if the name is taken, so another is tried.
  TempDir() {
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    std::random_device seed;
    std::mt19937_64 names(seed());
    for (int attempt = 0; attempt < 100 && path_.empty() && !error; ++attempt) {
      std::filesystem::path candidate = base / ("zvt-test-" + std::to_string(names()));
      if (std::filesystem::create_directory(candidate, error)) {
        std::filesystem::permissions(candidate, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::replace, error);
        path_ = candidate.generic_string();
      }
    }
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace zvt::testing

#endif  // ZVT_TESTING_TEMP_DIR_H_
