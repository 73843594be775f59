// A client process of the library for end-to-end tests: loads the library
// given on the command line and answers each command read from standard
// input with one line: "v FUNCTION" gives "rc value" of the admin value of
// FUNCTION for SYSTEM, "s" gives "rc state" of its cache state, and
// "h THREADS MILLIS FUNCTION..." has THREADS threads ask for the functions in
// turn (every fourth call the cache state) for MILLIS milliseconds, then gives
// "errors" followed by "FUNCTION allowed denied" counts for each.
#include <dlfcn.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: admin_query LIBRARY SYSTEM\n");
    return 2;
  }
  // Tests may run the client under an address-space limit, as a user's
  // "ulimit -v" would.
  if (const char* limit = std::getenv("ZVT_TEST_ADDRESS_LIMIT")) {
    rlim_t bytes = std::strtoull(limit, nullptr, 10);
    rlimit r{bytes, bytes};
    setrlimit(RLIMIT_AS, &r);
  }
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "%s\n", dlerror());
    return 2;
  }
  using Value = uint32_t (*)(const char*, const char*, uint32_t*);
  using State = uint32_t (*)(const char*, uint32_t*);
  auto value = reinterpret_cast<Value>(dlsym(library, "zvtUN_GetAdminValue"));
  auto state = reinterpret_cast<State>(dlsym(library, "zvtUN_GetAdminCacheState"));
  if (value == nullptr || state == nullptr) return 2;
  for (std::string line; std::getline(std::cin, line);) {
    if (line.rfind("h ", 0) == 0) {
      std::istringstream words(line.substr(2));
      int threads = 0, millis = 0;
      words >> threads >> millis;
      std::vector<std::string> functions;
      for (std::string f; words >> f;) functions.push_back(f);
      if (threads <= 0 || functions.empty()) {
        std::printf("? %s\n", line.c_str());
        std::fflush(stdout);
        continue;
      }
      std::atomic<uint64_t> errors{0};
      std::vector<std::atomic<uint64_t>> counts(functions.size() * 2);
      auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(millis);
      std::vector<std::thread> pool;
      for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
          for (uint64_t i = t; std::chrono::steady_clock::now() < end; ++i) {
            uint32_t v = 77;
            if (i % 4 == 3) {
              if (state(argv[2], &v) != 0 || v > 2) ++errors;
              continue;
            }
            size_t f = i % functions.size();
            if (value(argv[2], functions[f].c_str(), &v) != 0 || v > 1) {
              ++errors;
            } else {
              ++counts[2 * f + v];
            }
          }
        });
      }
      for (std::thread& t : pool) t.join();
      std::printf("%llu", static_cast<unsigned long long>(errors.load()));
      for (size_t f = 0; f < functions.size(); ++f)
        std::printf(" %s %llu %llu", functions[f].c_str(),
                    static_cast<unsigned long long>(counts[2 * f].load()),
                    static_cast<unsigned long long>(counts[2 * f + 1].load()));
      std::printf("\n");
      std::fflush(stdout);
      continue;
    }
    uint32_t out = 77, rc = 0;
    if (line.rfind("v ", 0) == 0) {
      rc = value(argv[2], line.c_str() + 2, &out);
    } else if (line == "s") {
      rc = state(argv[2], &out);
    } else {
      std::printf("? %s\n", line.c_str());
      std::fflush(stdout);
      continue;
    }
    std::printf("%u %u\n", rc, out);
    std::fflush(stdout);
  }
  return 0;
}
