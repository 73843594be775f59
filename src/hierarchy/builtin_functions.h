// The table of the console's own functions, compiled into the library.
#ifndef ZVT_HIERARCHY_BUILTIN_FUNCTIONS_H_
#define ZVT_HIERARCHY_BUILTIN_FUNCTIONS_H_

#include <cstddef>
#include <cstdint>

#include "hierarchy/client_functions.h"

namespace zvt {

inline constexpr char16_t kBuiltInProviderName[] = u"VYN.TarvoZENTA_CONSOLE";
inline constexpr char16_t kBuiltInResourceLibrary[] = u"zvtadmrs.dll";

struct BuiltInFunction {
  const char16_t* functionId;
  uint32_t type;           // kClientFunctionRoot, kClientFunctionGroup or kClientFunctionItem
  const char16_t* parent;  // empty: directly under the console root
  uint32_t bitmapId;
  uint32_t nameId;
  uint32_t descriptionId;
};

// The rows in table order; the first is the console root.
const BuiltInFunction* BuiltInFunctions(size_t* count);

}  // namespace zvt

#endif  // ZVT_HIERARCHY_BUILTIN_FUNCTIONS_H_
