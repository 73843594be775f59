/* Loads the library (libzvtappad.so, or zvtappad.dll on Windows) as a C
 * program would: the four names and ordinal 16 (through the ordinal table,
 * or the DLL's own ordinals), then calls them for a configured system.
 * Usage: exports_c_test LIBRARY SYSTEM FUNCTION EXPECTED_VALUE */
#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <uchar.h>

#include "include/zvtappad/zvtappad.h"

typedef uint32_t (*ValueFn)(const char*, const char*, uint32_t*);
typedef uint32_t (*StateFn)(const char*, uint32_t*);
typedef uint32_t (*ValueExFn)(const uint64_t*, const char*, uint32_t*);
typedef uint32_t (*StateExFn)(const uint64_t*, uint32_t*);
typedef uint32_t (*HandleFn)(const char16_t*, const char16_t*, uint64_t*);

static int failures = 0;
#define CHECK(cond)                                                            \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                              \
    }                                                                          \
  } while (0)

struct Caller {
  ValueExFn value_ex;
  ValueExFn bypass;
  const uint64_t* handle;
  const char* function;
  uint32_t expected;
  int wrong;
};

/* Calls the Ex export and ordinal 16 (which enters the locked frame twice)
 * over and over, alongside another thread doing the same. */
static void* Hammer(void* arg) {
  struct Caller* c = arg;
  for (int i = 0; i < 300; ++i) {
    uint32_t v = 77;
    if (c->value_ex(c->handle, c->function, &v) != 0 || v != c->expected) ++c->wrong;
    v = 77;
    if (c->bypass(c->handle, c->function, &v) != 0 || v != c->expected) ++c->wrong;
  }
  return NULL;
}

#ifdef _WIN32
typedef HMODULE Library;
static Library Open(const char* path) { return LoadLibraryA(path); }
static const char* OpenError(void) { return "LoadLibraryA failed"; }
static void* Entry(Library lib, const char* name) { return (void*)GetProcAddress(lib, name); }
static void (*ByOrdinal(Library lib, unsigned ordinal))(void) {
  return (void (*)(void))GetProcAddress(lib, MAKEINTRESOURCEA(ordinal));
}
/* The client's system objects are zvtclient.dll's, which the library loaded. */
static void* ClientEntry(Library lib, const char* name) {
  HMODULE client = GetModuleHandleA("zvtclient.dll");
  (void)lib;
  return client != NULL ? Entry(client, name) : NULL;
}
#else
typedef void* Library;
static Library Open(const char* path) { return dlopen(path, RTLD_NOW); }
static const char* OpenError(void) { return dlerror(); }
static void* Entry(Library lib, const char* name) { return dlsym(lib, name); }
static void (*ByOrdinal(Library lib, unsigned ordinal))(void) {
  const zvtappad_OrdinalEntry* table = dlsym(lib, ZVTAPPAD_ORDINAL_TABLE_SYMBOL);
  if (table == NULL) return NULL;
  for (; table->ordinal != 0; ++table)
    if (table->ordinal == ordinal) return table->entry;
  return NULL;
}
/* From libzvtclient, loaded with the library. */
static void* ClientEntry(Library lib, const char* name) { return dlsym(lib, name); }
#endif

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: %s LIBRARY SYSTEM FUNCTION EXPECTED_VALUE\n", argv[0]);
    return 2;
  }
  const char* system = argv[2];
  const char* function = argv[3];
  uint32_t expected = (uint32_t)strtoul(argv[4], NULL, 10);
  Library lib = Open(argv[1]);
  if (lib == NULL) {
    fprintf(stderr, "cannot load %s: %s\n", argv[1], OpenError());
    return 1;
  }
  ValueFn value = (ValueFn)Entry(lib, "zvtUN_GetAdminValue");
  StateFn state = (StateFn)Entry(lib, "zvtUN_GetAdminCacheState");
  ValueExFn value_ex = (ValueExFn)Entry(lib, "zvtUN_GetAdminValueEx");
  StateExFn state_ex = (StateExFn)Entry(lib, "zvtUN_GetAdminCacheStateEx");
  CHECK(value && state && value_ex && state_ex);
  CHECK(Entry(lib, "zvtUN_GetAdminValueBypass") == NULL);
  CHECK(ByOrdinal(lib, 1) == (void (*)(void))value);
  CHECK(ByOrdinal(lib, 2) == (void (*)(void))state);
  CHECK(ByOrdinal(lib, 14) == (void (*)(void))value_ex);
  CHECK(ByOrdinal(lib, 15) == (void (*)(void))state_ex);
  for (unsigned o = 3; o <= 13; ++o) CHECK(ByOrdinal(lib, o) == NULL);
  ValueExFn bypass = (ValueExFn)ByOrdinal(lib, 16);
  CHECK(bypass != NULL);
  if (failures != 0) return 1;

  uint32_t v = 77, s = 77;
  CHECK(value(system, function, &v) == 0);
  CHECK(v == expected);
  printf("zvtUN_GetAdminValue(%s, %s) = %u\n", system, function, v);
  CHECK(state(system, &s) == 0);
  CHECK(s <= 2);
  printf("zvtUN_GetAdminCacheState(%s) = %u\n", system, s);

  /* No handle for an unknown system: return code 0, output untouched. */
  v = 77;
  CHECK(value("NO-SUCH-SYSTEM", function, &v) == 0 && v == 77);
  CHECK(value(NULL, NULL, &v) == 0 && v == 77);
  /* A name too long to be converted in place, beginning as the real one. */
  char long_name[200];
  snprintf(long_name, sizeof long_name, "%s%0*d", system, 150, 0);
  CHECK(value(long_name, function, &v) == 0 && v == 77);
  CHECK(value(system, function, NULL) != 0);
  /* No handle: 0 whatever the output pointer, and nothing written. */
  CHECK(value("NO-SUCH-SYSTEM", function, NULL) == 0);
  CHECK(state("NO-SUCH-SYSTEM", NULL) == 0);

  HandleFn get_handle = (HandleFn)ClientEntry(lib, "zvtsvc_GetSystemHandle");
  CHECK(get_handle != NULL);
  if (get_handle == NULL) return 1;
  char16_t wide[256], app[] = {'Z', 'V', 'W', 'I', 'N', 0};
  size_t n = strlen(system);
  for (size_t i = 0; i <= n && i < 255; ++i) wide[i] = (unsigned char)system[i];
  uint64_t handle = 0;
  CHECK(get_handle(wide, app, &handle) == 0);
  v = 77;
  CHECK(value_ex(&handle, function, &v) == 0 && v == expected);
  v = 77;
  CHECK(bypass(&handle, function, &v) == 0 && v == expected);
  printf("ordinal 16 = %u\n", v);
  /* A null function ID is looked up as the empty one. */
  v = 77;
  CHECK(value_ex(&handle, NULL, &v) == 0 && v == 0);
  uint32_t s2 = 77;
  CHECK(state_ex(&handle, &s2) == 0 && s2 == s);
  struct Caller a = {value_ex, bypass, &handle, function, expected, 0}, b = a;
  pthread_t ta, tb;
  CHECK(pthread_create(&ta, NULL, Hammer, &a) == 0);
  CHECK(pthread_create(&tb, NULL, Hammer, &b) == 0);
  pthread_join(ta, NULL);
  pthread_join(tb, NULL);
  CHECK(a.wrong == 0 && b.wrong == 0);
  uint64_t made_up = handle ^ 0x5555;
  v = 77;
  CHECK(value_ex(&made_up, function, &v) != 0 && v == 77);
  return failures == 0 ? 0 : 1;
}
