// The test registry's set-up and clean-up, and its key that no name reaches.
#include "testing/test_platform.h"

#ifdef _WIN32
#include <windows.h>
#include <winternl.h>

#include <string_view>

#include "platform/name_fold.h"

extern "C" {
NTSTATUS NTAPI NtCreateKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                           ULONG title_index, PUNICODE_STRING class_name, ULONG options,
                           PULONG disposition);
NTSTATUS NTAPI NtOpenKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes);
NTSTATUS NTAPI NtDeleteKey(HANDLE key);
}

// The predefined keys name the Win32 type HKEY, which zvt's own shadows
// inside the namespace.
static ::HKEY NativeUser() { return HKEY_CURRENT_USER; }
static ::HKEY NativeClasses() { return HKEY_CLASSES_ROOT; }
#else
#include "tools/reg_store.h"
#endif

namespace zvt::testing {

namespace {

// The name of the unreachable key: a NUL, then a letter.
constexpr std::u16string_view kUnreachableName(u"\0X", 2);

}  // namespace

#ifdef _WIN32

namespace {

// A client key of this process's own.
std::u16string OwnRoot() {
  std::u16string root = u"Software\\VYN\\Tarvo.Network.Test\\P";
  for (char c : std::to_string(GetCurrentProcessId())) root += static_cast<char16_t>(c);
  return root;
}

LPCWSTR Wide(const std::u16string& s) { return reinterpret_cast<LPCWSTR>(s.c_str()); }

// Opens (create: creates) the child named `kUnreachableName` of `parent`.
NTSTATUS UnreachableChild(::HKEY parent, bool create, ::HANDLE* child) {
  UNICODE_STRING name;
  name.Buffer = const_cast<PWSTR>(reinterpret_cast<const wchar_t*>(kUnreachableName.data()));
  name.Length = name.MaximumLength = static_cast<USHORT>(kUnreachableName.size() * 2);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, parent, nullptr);
  if (!create) return NtOpenKey(child, KEY_ALL_ACCESS, &attributes);
  ULONG disposition = 0;
  return NtCreateKey(child, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, &disposition);
}

// Deletes the unreachable keys in the tree below `key`.
void DeleteUnreachableKeys(::HKEY key) {
  ::HANDLE child = nullptr;
  if (UnreachableChild(key, false, &child) >= 0) {
    NtDeleteKey(child);
    CloseHandle(child);
  }
  wchar_t name[256];
  for (::DWORD i = 0;; ++i) {
    ::DWORD chars = 256;
    if (::RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    ::HKEY sub = nullptr;
    if (::RegOpenKeyExW(key, name, 0, KEY_ALL_ACCESS, &sub) != ERROR_SUCCESS) continue;
    DeleteUnreachableKeys(sub);
    ::RegCloseKey(sub);
  }
}

}  // namespace

TestRegistry::TestRegistry(const TempDir&) : Win32Registry(OwnRoot()) { Clear(); }

TestRegistry::~TestRegistry() {
  Clear();
  ::RegDeleteKeyW(NativeUser(), L"Software\\VYN\\Tarvo.Network.Test");  // when no other is left
}

bool TestRegistry::CreateUnreachableSubkey(const std::u16string& path) {
  ::HKEY parent = nullptr;
  if (::RegOpenKeyExW(NativeUser(), Wide(client_root() + u"\\" + path), 0, KEY_ALL_ACCESS,
                      &parent) != ERROR_SUCCESS)
    return false;
  ::HANDLE child = nullptr;
  NTSTATUS status = UnreachableChild(parent, true, &child);
  ::RegCloseKey(parent);
  if (status < 0) return false;
  CloseHandle(child);
  return true;
}

// Removes the test's keys. RegDeleteTreeW cannot remove a key below which an
// unreachable one lies, so those go first.
void TestRegistry::Clear() {
  ::HKEY root = nullptr;
  if (::RegOpenKeyExW(NativeUser(), Wide(client_root()), 0, KEY_ALL_ACCESS, &root) ==
      ERROR_SUCCESS) {
    DeleteUnreachableKeys(root);
    ::RegCloseKey(root);
  }
  ::RegDeleteTreeW(NativeUser(), Wide(client_root()));
  ::RegDeleteTreeW(NativeClasses(), L"VYN.Tarvo.Network");
}

bool TestRegistry::Import(const tools::RegFile& file, std::string* error) {
  const std::u16string client_key = platform::kWin32ClientRegistryRoot;
  for (const tools::RegKeyEntry& entry : file.keys) {
    ::HKEY root = entry.root == kHKeyCurrentUser ? NativeUser() : NativeClasses();
    std::u16string path = entry.path;
    if (entry.root == kHKeyCurrentUser) {
      if (!platform::NamesEqual(std::u16string_view(path).substr(0, client_key.size()),
                                client_key)) {
        *error = "line " + std::to_string(entry.line) + ": outside the client's key";
        return false;
      }
      path = client_root() + path.substr(client_key.size());
    }
    if (entry.remove) {
      ::RegDeleteTreeW(root, Wide(path));
      ::RegDeleteKeyW(root, Wide(path));
      continue;
    }
    ::HKEY key = nullptr;
    LONG rc =
        ::RegCreateKeyExW(root, Wide(path), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    for (size_t i = 0; rc == ERROR_SUCCESS && i < entry.values.size(); ++i) {
      const tools::RegValueEntry& value = entry.values[i];
      rc = value.remove ? ::RegDeleteValueW(key, Wide(value.name))
                        : ::RegSetValueExW(key, Wide(value.name), 0, value.type, value.data.data(),
                                           static_cast<::DWORD>(value.data.size()));
      if (value.remove && rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
    }
    if (key != nullptr) ::RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
      *error = "line " + std::to_string(entry.line) + ": error " + std::to_string(rc);
      return false;
    }
  }
  return true;
}

#else

bool TestRegistry::Import(const tools::RegFile& file, std::string* error) {
  tools::ImportCounts counts;
  return tools::ApplyRegFile(this, file, &counts, error);
}

bool TestRegistry::CreateUnreachableSubkey(const std::u16string& path) {
  std::string message;
  platform::StoreKey key;
  if (FindStoreKey(kHKeyCurrentUser, client_root() + u"\\" + path, /*create=*/false, &key,
                   &message) != kErrorSuccess)
    return false;
  platform::KeyId child = 0;
  bool created = false;
  return key.subkey_store->CreateChild(key.subkey_parent, kUnreachableName, &child, &created) ==
         kErrorSuccess;
}

#endif

}  // namespace zvt::testing
