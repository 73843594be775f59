// A client process of the library for end-to-end tests: loads the library
// given on the command line and answers each command read from standard
// input with one line: "v FUNCTION" gives "rc value" of the admin value of
// FUNCTION for SYSTEM, "s" gives "rc state" of its cache state.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: admin_query LIBRARY SYSTEM\n");
    return 2;
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
