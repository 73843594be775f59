// .reg files applied to the registry stand-in's stores as one transaction
// per root, key trees exported from them, and one key's contents read.
// Not thread-safe.
#ifndef ZVT_TOOLS_REG_STORE_H_
#define ZVT_TOOLS_REG_STORE_H_

#include <string>
#include <vector>

#ifdef _WIN32
#include "platform/win32/win32_registry.h"
#else
#include "platform/posix_registry.h"
#endif
#include "tools/reg_file.h"

namespace zvt::tools {

// The registry the files are applied to and exported from.
#ifdef _WIN32
using FileRegistry = platform::Win32Registry;
#else
using FileRegistry = platform::PosixRegistry;
#endif

struct ImportCounts {
  int keys = 0;
  int values = 0;
  int deletions = 0;
};

// Applies `file` to the stores of `registry`. Nothing is written unless every
// entry can be applied. On failure returns false with a message naming the
// line of the entry that failed.
bool ApplyRegFile(FileRegistry* registry, const RegFile& file, ImportCounts* counts,
                  std::string* error);

// Writes "root\path" and everything below it in .reg 5.00 form (UTF-8).
// Damaged subkeys are left out (a comment line marks each) and listed in
// `*skipped`; the rest is exported.
bool ExportRegKey(FileRegistry* registry, HKEY root, const std::u16string& path, std::string* out,
                  std::vector<std::string>* skipped, std::string* error);

// One key's direct contents, for listing and querying.
struct RegValue {
  std::u16string name;
  DWORD type = 0;
  std::vector<BYTE> data;
};
struct RegKeyListing {
  std::vector<std::u16string> subkeys;  // in enumeration order
  std::vector<RegValue> values;         // in enumeration order
};

// Reads root\path. Returns kErrorFileNotFound when the key does not exist;
// other failures return their code with `*error` saying what failed.
LONG ReadRegKey(FileRegistry* registry, HKEY root, const std::u16string& path,
                RegKeyListing* listing, std::string* error);

}  // namespace zvt::tools

#endif  // ZVT_TOOLS_REG_STORE_H_
