// Windows .reg files: a strict parser ("Windows Registry Editor Version 5.00"
// and "REGEDIT4"), applying a parsed file to the registry store as one
// transaction per root, and exporting a key tree. Not thread-safe.
#ifndef ZVT_TOOLS_REG_FILE_H_
#define ZVT_TOOLS_REG_FILE_H_

#include <string>
#include <string_view>
#include <vector>

#include "platform/posix_registry.h"
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

struct ImportCounts {
  int keys = 0;
  int values = 0;
  int deletions = 0;
};

// Applies `file` to the stores of `registry`. Nothing is written unless every
// entry can be applied. On failure returns false with a message naming the
// line of the entry that failed.
bool ApplyRegFile(platform::PosixRegistry* registry, const RegFile& file, ImportCounts* counts,
                  std::string* error);

// Writes "root\path" and everything below it in .reg 5.00 form (UTF-8).
bool ExportRegKey(platform::PosixRegistry* registry, HKEY root, const std::u16string& path,
                  std::string* out, std::string* error);

// One key's direct contents, for listing and querying.
struct RegKeyListing {
  std::vector<std::u16string> subkeys;  // in enumeration order
  std::vector<platform::ValueRow> values;
};

// Reads root\path. Returns kErrorFileNotFound when the key does not exist;
// other failures return their code with `*error` saying what failed.
LONG ReadRegKey(platform::PosixRegistry* registry, HKEY root, const std::u16string& path,
                RegKeyListing* listing, std::string* error);

// Value data as a person reads it: text for strings, "0x0000002a (42)" for
// DWORDs, items joined by "\0" for multi-strings, hex bytes otherwise.
std::string FormatValueData(DWORD type, const std::vector<BYTE>& data);

// "HKEY_CURRENT_USER\a\b" (or HKCU, HKEY_CLASSES_ROOT, HKCR) -> root, path.
bool SplitRootPath(const std::u16string& full, HKEY* root, std::u16string* path);
std::string RootName(HKEY root);
std::string TypeName(DWORD type);

}  // namespace zvt::tools

#endif  // ZVT_TOOLS_REG_FILE_H_
