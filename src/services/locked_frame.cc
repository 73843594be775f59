// The process lock and the module-state switch.
#include "services/locked_frame.h"

#include <mutex>

#include "services/fast_tls.h"
#include "services/services.h"

namespace zvt {

CriticalSection* g_processLock = nullptr;

namespace {

ModuleState g_moduleState;
ZVT_FAST_TLS thread_local const ModuleState* t_currentModuleState = nullptr;

// Two threads entering the very first frame at once must not both create
// the lock.
std::once_flag g_lockCreated;

}  // namespace

const ModuleState* CurrentModuleState() { return t_currentModuleState; }

LockedFrame::LockedFrame() {
  if (g_processLock == nullptr)
    std::call_once(g_lockCreated,
                   [] { g_processLock = CurrentServices().sync->NewCriticalSection(); });
  g_processLock->Enter();
  previous_ = t_currentModuleState;
  t_currentModuleState = &g_moduleState;
}

LockedFrame::~LockedFrame() {
  t_currentModuleState = previous_;
  g_processLock->Leave();
}

}  // namespace zvt
