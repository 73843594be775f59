// zvtusrgp.dll, the client's user-group library: USGetResourceHandle gives
// the module that holds the message log's identifying texts, which is this
// library itself. The caller has loaded it already: this only adds a
// reference to it.
#ifdef _WIN32
#include <windows.h>

// Exported under its C++ name, as callers look it up.
__declspec(dllexport) void* USGetResourceHandle() {
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&USGetResourceHandle), &self))
    return nullptr;
  return self;
}
#else
#include <dlfcn.h>

// Exported under its C++ name, as callers look it up.
__attribute__((visibility("default"))) void* USGetResourceHandle() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&USGetResourceHandle), &info) == 0 ||
      info.dli_fname == nullptr)
    return nullptr;
  return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
}
#endif
