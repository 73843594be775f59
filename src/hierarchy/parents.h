// The parent a function is attached to in the function tree: its own, or,
// when it names none, the one its kind of function defaults to.
#ifndef ZVT_HIERARCHY_PARENTS_H_
#define ZVT_HIERARCHY_PARENTS_H_

#include <string>

#include "hierarchy/client_functions.h"
#include "host/admin_host_apis.h"

namespace zvt {

// "*NONE" or empty: no parent of its own.
inline bool MeansNoParent(const std::u16string& parent) {
  return parent.empty() || parent == u"*NONE";
}

// A host function without a parent stands under its root, except that one of
// category 1 from another product stands under the console root.
inline std::u16string HostFunctionParent(const FunctionInfoRecord& f) {
  if (!MeansNoParent(f.parentFunctionId)) return f.parentFunctionId;
  return f.functionCategory == 1 && f.rootFunctionId != kConsoleRootId
             ? std::u16string(kConsoleRootId)
             : f.rootFunctionId;
}

// A declared function without a container stands under the console root
// (plug-in list) or under its provider's root function.
inline std::u16string DeclaredFunctionParent(const ClientFunctionDefinition& d,
                                             const ClientFunctionProvider& provider, bool plug_in) {
  if (!MeansNoParent(d.container)) return d.container;
  return plug_in ? std::u16string(kConsoleRootId) : provider.rootFunctionId;
}

}  // namespace zvt

#endif  // ZVT_HIERARCHY_PARENTS_H_
