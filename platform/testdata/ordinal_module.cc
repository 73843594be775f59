// A module with an ordinal table, for the module loader's tests: ordinals 1
// and 16 resolve, 16 has no exported name.
#include "platform/resource_table.h"

namespace {
int Sixteen() { return 16; }
}  // namespace

extern "C" {
__attribute__((visibility("default"))) int zvt_named_entry() { return 1; }

extern __attribute__((visibility("default"))) const ZvtOrdinalEntry zvt_ordinal_table[];
const ZvtOrdinalEntry zvt_ordinal_table[] = {
    {1, reinterpret_cast<void (*)()>(&zvt_named_entry)},
    {16, reinterpret_cast<void (*)()>(&Sixteen)},
    {0, nullptr}};
}
