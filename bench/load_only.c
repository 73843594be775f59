/* A process that loads the shared libraries named on its command line and
   exits: with no names, a bare C process start; with the libraries the
   client library depends on, what loading them costs before any code of
   ours runs. Exit status 0, or 1 when a library cannot be loaded. */
#include <dlfcn.h>
#include <stdio.h>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (dlopen(argv[i], RTLD_NOW | RTLD_LOCAL) == 0) {
      fprintf(stderr, "%s\n", dlerror());
      return 1;
    }
  }
  return 0;
}
