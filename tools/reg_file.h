// Windows .reg files: a strict parser ("Windows Registry Editor Version 5.00"
// and "REGEDIT4"), the names of roots and value types, and value data as a
// person reads it. Applying and exporting them: tools/reg_store.h.
#ifndef ZVT_TOOLS_REG_FILE_H_
#define ZVT_TOOLS_REG_FILE_H_

#include <string>
#include <string_view>
#include <vector>

#include "services/win_types.h"

namespace zvt::tools {

struct RegValueEntry {
  std::u16string name;  // empty for the default value ("@")
  bool remove = false;  // "name"=-
  DWORD type = kRegNone;
  std::vector<BYTE> data;
};

struct RegKeyEntry {
  int line = 0;
  HKEY root = nullptr;
  std::u16string path;  // below the root, "\"-separated
  bool remove = false;  // [-...]: the key and everything below it
  std::vector<RegValueEntry> values;
};

struct RegFile {
  std::vector<RegKeyEntry> keys;
};

// Parses a whole file (UTF-8, with or without BOM, or UTF-16LE with BOM).
// On the first bad line returns false with "line N: what is wrong".
bool ParseRegFile(std::string_view bytes, RegFile* file, std::string* error);

// Value data as a person reads it: text for strings, "0x0000002a (42)" for
// DWORDs, items joined by "\0" for multi-strings, hex bytes otherwise.
std::string FormatValueData(DWORD type, const std::vector<BYTE>& data);

// "HKEY_CURRENT_USER\a\b" (or HKCU, HKEY_CLASSES_ROOT, HKCR) -> root, path.
bool SplitRootPath(const std::u16string& full, HKEY* root, std::u16string* path);
std::string RootName(HKEY root);
std::string TypeName(DWORD type);

// Appends one value's line ("name"=..., wrapped as regedit wraps hex data)
// in .reg 5.00 form.
void AppendRegValue(const std::u16string& name, DWORD type, const std::vector<BYTE>& data,
                    std::string* out);

}  // namespace zvt::tools

#endif  // ZVT_TOOLS_REG_FILE_H_
