// The group rule of a reload: a root or group is denied when it has at least
// one child and every child is denied.
#ifndef ZVT_CACHE_HOST_VALUE_LOAD_H_
#define ZVT_CACHE_HOST_VALUE_LOAD_H_

#include "cache/registry_cache.h"

namespace zvt {

// Adds to `denied` every key of `map` whose children are all denied, directly
// or through this rule, deciding in passes; groups on a cycle are not denied.
// Consumes `map`, which is empty afterwards.
void resolveGroupDenials(DeniedSet* denied, HierarchyMap* map);

}  // namespace zvt

#endif  // ZVT_CACHE_HOST_VALUE_LOAD_H_
