// "The current resource library": the module whose string resources the
// library's own texts come from. It is module state of the library, shared by
// all threads; callers hold the process lock while they switch it.
#ifndef ZVT_SERVICES_RESOURCE_CONTEXT_H_
#define ZVT_SERVICES_RESOURCE_CONTEXT_H_

#include "services/win_types.h"

namespace zvt {

HMODULE CurrentResourceLibrary();
void SetCurrentResourceLibrary(HMODULE module);

// Makes `module` current for the scope and restores the previous one.
class ScopedResourceLibrary {
 public:
  explicit ScopedResourceLibrary(HMODULE module) : previous_(CurrentResourceLibrary()) {
    SetCurrentResourceLibrary(module);
  }
  ~ScopedResourceLibrary() { SetCurrentResourceLibrary(previous_); }
  ScopedResourceLibrary(const ScopedResourceLibrary&) = delete;
  ScopedResourceLibrary& operator=(const ScopedResourceLibrary&) = delete;

 private:
  HMODULE previous_;
};

}  // namespace zvt

#endif  // ZVT_SERVICES_RESOURCE_CONTEXT_H_
