// zvtusrgp.dll, the client's user-group library: USGetResourceHandle gives
// the module that holds the message log's identifying texts, which is this
// library itself.
#include <dlfcn.h>

// Exported under its C++ name, as callers look it up.
__attribute__((visibility("default"))) void* USGetResourceHandle() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&USGetResourceHandle), &info) == 0 ||
      info.dli_fname == nullptr)
    return nullptr;
  // Already loaded by the caller: this only adds a reference to it.
  return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
}
