// Storage of the current resource library.
#include "services/resource_context.h"

#include <atomic>

namespace zvt {
namespace {

std::atomic<HMODULE> g_current_resource_library{nullptr};

}  // namespace

HMODULE CurrentResourceLibrary() { return g_current_resource_library.load(); }

void SetCurrentResourceLibrary(HMODULE module) { g_current_resource_library.store(module); }

}  // namespace zvt
