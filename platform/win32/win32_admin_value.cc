// A Windows client component asking zvtappad.dll, linked through its import
// library, for admin values and the cache state of a configured system.
// Usage: win32_admin_value SYSTEM FUNCTION...
// Prints "FUNCTION VALUE RC" per function, then "state STATE RC".
#include <cstdio>

#include "include/zvtappad/zvtappad.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s SYSTEM FUNCTION...\n", argv[0]);
    return 2;
  }
  for (int i = 2; i < argc; ++i) {
    uint32_t value = 9;
    uint32_t rc = zvtUN_GetAdminValue(argv[1], argv[i], &value);
    std::printf("%s %u %u\n", argv[i], value, rc);
  }
  uint32_t state = 9;
  uint32_t rc = zvtUN_GetAdminCacheState(argv[1], &state);
  std::printf("state %u %u\n", state, rc);
  return 0;
}
