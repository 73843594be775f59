// .reg files applied to and exported from the Windows registry itself.
// Windows offers no transaction across keys that every system supports, so
// an import is applied entry by entry; a failure says which entries are in.
#include <windows.h>

#include "platform/utf.h"
#include "tools/reg_store.h"

// The predefined keys name the Win32 type HKEY, which zvt's own shadows
// inside the namespace.
static ::HKEY NativeUser() { return HKEY_CURRENT_USER; }
static ::HKEY NativeClasses() { return HKEY_CLASSES_ROOT; }

namespace zvt::tools {
namespace {

using platform::Utf16ToUtf8;

::HKEY NativeRoot(HKEY root) { return root == kHKeyClassesRoot ? NativeClasses() : NativeUser(); }

LPCWSTR Wide(const std::u16string& s) { return reinterpret_cast<LPCWSTR>(s.c_str()); }

std::string CodeText(LONG rc) {
  if (rc == ERROR_FILE_NOT_FOUND) return "no such key";
  if (rc == ERROR_ACCESS_DENIED) return "access denied (error 5)";
  return "error " + std::to_string(rc);
}

// A key opened for reading, closed when it goes.
class NativeKey {
 public:
  NativeKey() = default;
  ~NativeKey() {
    if (key_ != nullptr) ::RegCloseKey(key_);
  }
  NativeKey(const NativeKey&) = delete;
  NativeKey& operator=(const NativeKey&) = delete;
  LONG Open(::HKEY parent, const std::u16string& path, REGSAM access = KEY_READ) {
    return ::RegOpenKeyExW(parent, Wide(path), 0, access, &key_);
  }
  ::HKEY get() const { return key_; }

 private:
  ::HKEY key_ = nullptr;
};

LONG ReadListing(::HKEY key, RegKeyListing* listing) {
  ::DWORD subkeys = 0, longest_subkey = 0, values = 0, longest_name = 0, longest_data = 0;
  LONG rc = ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, &longest_subkey, nullptr,
                               &values, &longest_name, &longest_data, nullptr, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  std::u16string name(std::max(longest_subkey, longest_name) + 1, u'\0');
  for (::DWORD i = 0;; ++i) {
    ::DWORD chars = static_cast<::DWORD>(name.size());
    rc = ::RegEnumKeyExW(key, i, reinterpret_cast<LPWSTR>(name.data()), &chars, nullptr, nullptr,
                         nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) return rc;
    listing->subkeys.push_back(name.substr(0, chars));
  }
  std::vector<BYTE> data(longest_data + 1);
  for (::DWORD i = 0;; ++i) {
    ::DWORD chars = static_cast<::DWORD>(name.size());
    ::DWORD type = 0;
    ::DWORD size = static_cast<::DWORD>(data.size());
    rc = ::RegEnumValueW(key, i, reinterpret_cast<LPWSTR>(name.data()), &chars, nullptr, &type,
                         data.data(), &size);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) return rc;  // a value that grew while read: read the key again
    listing->values.push_back(
        {name.substr(0, chars), type, std::vector<BYTE>(data.begin(), data.begin() + size)});
  }
  return ERROR_SUCCESS;
}

LONG ExportTree(::HKEY key, const std::string& name, std::string* out) {
  RegKeyListing listing;
  if (LONG rc = ReadListing(key, &listing); rc != ERROR_SUCCESS) return rc;
  std::string text = "\n[" + name + "]\n";
  for (const RegValue& v : listing.values) AppendRegValue(v.name, v.type, v.data, &text);
  *out += text;
  for (const std::u16string& sub : listing.subkeys) {
    NativeKey child;
    if (LONG rc = child.Open(key, sub); rc != ERROR_SUCCESS) return rc;
    if (LONG rc = ExportTree(child.get(), name + "\\" + Utf16ToUtf8(sub), out); rc != ERROR_SUCCESS)
      return rc;
  }
  return ERROR_SUCCESS;
}

}  // namespace

bool ApplyRegFile(FileRegistry*, const RegFile& file, ImportCounts* counts, std::string* error) {
  *counts = ImportCounts{};
  int applied = 0;
  for (const RegKeyEntry& key : file.keys) {
    const std::string where = "line " + std::to_string(key.line) + ": " + RootName(key.root) +
                              "\\" + Utf16ToUtf8(key.path);
    LONG rc = ERROR_SUCCESS;
    if (key.remove) {
      rc = ::RegDeleteTreeW(NativeRoot(key.root), Wide(key.path));
      if (rc == ERROR_SUCCESS) rc = ::RegDeleteKeyW(NativeRoot(key.root), Wide(key.path));
      if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;  // deleting what is not there is no error
      ++counts->deletions;
    } else {
      ::HKEY opened = nullptr;
      rc = ::RegCreateKeyExW(NativeRoot(key.root), Wide(key.path), 0, nullptr, 0, KEY_ALL_ACCESS,
                             nullptr, &opened, nullptr);
      ++counts->keys;
      for (size_t i = 0; rc == ERROR_SUCCESS && i < key.values.size(); ++i) {
        const RegValueEntry& value = key.values[i];
        if (value.remove) {
          rc = ::RegDeleteValueW(opened, Wide(value.name));
          if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
          ++counts->deletions;
        } else {
          rc = ::RegSetValueExW(opened, Wide(value.name), 0, value.type, value.data.data(),
                                static_cast<::DWORD>(value.data.size()));
          ++counts->values;
        }
      }
      if (opened != nullptr) ::RegCloseKey(opened);
    }
    if (rc != ERROR_SUCCESS) {
      *error = where + ": failed: " + CodeText(rc) + "; the " + std::to_string(applied) +
               " keys before it were imported";
      return false;
    }
    ++applied;
  }
  return true;
}

bool ExportRegKey(FileRegistry*, HKEY root, const std::u16string& path, std::string* out,
                  std::vector<std::string>* skipped, std::string* error) {
  skipped->clear();
  const std::string name = RootName(root) + (path.empty() ? "" : "\\" + Utf16ToUtf8(path));
  NativeKey key;
  LONG rc = key.Open(NativeRoot(root), path);
  if (rc != ERROR_SUCCESS) {
    *error = name + ": " + CodeText(rc);
    return false;
  }
  out->assign("Windows Registry Editor Version 5.00\n");
  if (rc = ExportTree(key.get(), name, out); rc != ERROR_SUCCESS) {
    *error = name + ": export stopped: " + CodeText(rc);
    return false;
  }
  return true;
}

LONG ReadRegKey(FileRegistry*, HKEY root, const std::u16string& path, RegKeyListing* listing,
                std::string* error) {
  *listing = RegKeyListing{};
  const std::string name = RootName(root) + (path.empty() ? "" : "\\" + Utf16ToUtf8(path));
  NativeKey key;
  LONG rc = key.Open(NativeRoot(root), path);
  if (rc == ERROR_SUCCESS) rc = ReadListing(key.get(), listing);
  if (rc != ERROR_SUCCESS) *error = name + ": " + CodeText(rc);
  return rc;
}

}  // namespace zvt::tools
