// The process lock and the frame every export and host call runs in: the
// lock (a re-entrant critical section, created on first use and never
// destroyed) is held, and this library's module state is current, for the
// frame's lifetime. Frames nest on the same thread.
#ifndef ZVT_SERVICES_LOCKED_FRAME_H_
#define ZVT_SERVICES_LOCKED_FRAME_H_

#include "services/sync.h"
#include "services/win_types.h"

namespace zvt {

// The process-wide lock; null until the first frame.
extern CriticalSection* g_processLock;

// This library's module state: what a frame makes current. Its resources
// are those of the current resource library (services/resource_context.h).
struct ModuleState {
  const char* name = "zvtappad";
};
// The module state current on this thread; null outside every frame.
const ModuleState* CurrentModuleState();

class LockedFrame {
 public:
  LockedFrame();
  ~LockedFrame();
  LockedFrame(const LockedFrame&) = delete;
  LockedFrame& operator=(const LockedFrame&) = delete;

 private:
  const ModuleState* previous_;
};

}  // namespace zvt

#endif  // ZVT_SERVICES_LOCKED_FRAME_H_
