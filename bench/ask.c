/* A client component as small as one can be: loads libzvtappad, asks one
 * admin value by system name, and exits with 10 + the answer (1 when the
 * call failed, 2 when the library cannot be loaded). The fresh-process
 * benchmarks start it.
 * Usage: zvt_ask LIBRARY SYSTEM FUNCTION */
#include <dlfcn.h>
#include <stdint.h>

typedef uint32_t (*ValueByName)(const char*, const char*, uint32_t*);

int main(int argc, char** argv) {
  if (argc != 4) return 3;
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == 0) return 2;
  ValueByName value = (ValueByName)dlsym(library, "zvtUN_GetAdminValue");
  uint32_t v = 0;
  if (value == 0 || value(argv[2], argv[3], &v) != 0) return 1;
  return 10 + (int)v;
}
