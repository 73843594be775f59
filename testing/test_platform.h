// The platform's own registry and named mutexes, private to one test. On
// POSIX systems these are the stand-in's stores and lock directory inside
// the test's temporary directory; on Windows they are the real registry,
// below a client key of the test's own that is removed before and after,
// and the real named mutexes.
#ifndef ZVT_TESTING_TEST_PLATFORM_H_
#define ZVT_TESTING_TEST_PLATFORM_H_

#include <string>

#include "testing/temp_dir.h"
#include "tools/reg_file.h"

#ifdef _WIN32
#include "platform/win32/win32_registry.h"
#include "platform/win32/win32_sync.h"
#else
#include "platform/posix_registry.h"
#include "platform/posix_sync.h"
#endif

namespace zvt::testing {

#ifdef _WIN32

class TestRegistry : public platform::Win32Registry {
 public:
  explicit TestRegistry(const TempDir& dir);
  ~TestRegistry() override;
  TestRegistry(const TestRegistry&) = delete;
  TestRegistry& operator=(const TestRegistry&) = delete;

  // Creates below `path` (relative to the client's key) a subkey whose name
  // holds a NUL, which no NUL-terminated name can open.
  bool CreateUnreachableSubkey(const std::u16string& path);
  // Writes the keys and values of a parsed .reg file; the client's key in
  // it stands for this registry's own.
  bool Import(const tools::RegFile& file, std::string* error);

 private:
  void Clear();
};

class TestSync : public platform::Win32Sync {
 public:
  explicit TestSync(const TempDir&) {}
};

#else

class TestRegistry : public platform::PosixRegistry {
 public:
  explicit TestRegistry(const TempDir& dir) : PosixRegistry(Paths(dir)) {}

  static platform::RegistryPaths Paths(const TempDir& dir) {
    platform::RegistryPaths paths;
    paths.user_store = dir.File("home/registry.db");
    paths.classes_store = dir.File("classes.db");
    return paths;
  }
  bool CreateUnreachableSubkey(const std::u16string& path);
  bool Import(const tools::RegFile& file, std::string* error);
};

class TestSync : public platform::PosixSync {
 public:
  explicit TestSync(const TempDir& dir) : PosixSync(dir.File("run")) {}
};

#endif

}  // namespace zvt::testing

#endif  // ZVT_TESTING_TEST_PLATFORM_H_
