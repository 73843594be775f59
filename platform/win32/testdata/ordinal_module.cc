// A module for the module loader's tests: ordinal 1 with a name, ordinal 16
// without one (see ordinal_module.def), and a string table (strings.rc).
extern "C" {
int zvt_named_entry() { return 1; }
int zvt_sixteen() { return 16; }
}
