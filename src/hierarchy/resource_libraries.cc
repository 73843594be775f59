// Finding and loading providers' resource libraries, and writing the
// declaration messages.
#include "hierarchy/resource_libraries.h"

#include <vector>

#include "cache/upper_case.h"
#include "hierarchy/registry_reads.h"
#include "services/message_format.h"
#include "services/resource_context.h"
#include "services/services.h"

namespace zvt {
namespace {

constexpr char16_t kPluginRegistrationPath[] = u"VYN.Tarvo.Network\\3RD PARTY EXTENSIONS\\";
constexpr char16_t kOptionalLibrary[] = u"zvtoptrs.dll";
constexpr char16_t kMessageLibrary[] = u"zvtadmrs.dll";
constexpr char16_t kMessageLogLibrary[] = u"zvtusrgp.dll";
// USGetResourceHandle as its library exports it: a C++ function without
// arguments, under its decorated name.
constexpr char kResourceHandleExport[] = "_Z19USGetResourceHandlev";
constexpr UINT kLogSourceText = 5634;
constexpr UINT kLogComponentText = 5635;
constexpr uint32_t kDefinitionMessageClass = 2;
constexpr uint32_t kMessageNotWritten = 1;
// Directory paths the client hands out end in this separator; both it and
// the backslash count as separators in paths read from the registry.
constexpr char16_t kSeparator = u'/';

size_t LastSeparator(const std::u16string& path) { return path.find_last_of(u"/\\"); }

bool EndsWithDll(const std::u16string& upper) {
  return upper.size() >= 4 && upper.compare(upper.size() - 4, 4, u".DLL") == 0;
}

// Reads a text value with a buffer of `capacity` bytes, whatever its type.
LONG ReadText(HKEY key, const char16_t* name, DWORD capacity, std::u16string* text) {
  if (key == nullptr) return kErrorInvalidHandle;
  DWORD type = 0;
  std::vector<BYTE> data;
  LONG rc = QueryDeclarationValue(key, name, capacity, &type, &data);
  if (rc == kErrorSuccess) *text = DeclarationText(data);
  return rc;
}

bool InstallPath(std::u16string* path) {
  char16_t buffer[kInstallPathBuffer] = {};
  uint32_t length = 0;
  if (CurrentServices().client->GetInstallPath(0, buffer, kInstallPathBuffer, &length, 0) !=
      kClientOk)
    return false;
  buffer[kInstallPathBuffer - 1] = u'\0';
  *path = buffer;
  return true;
}

// A string resource of `module`, whole whatever its length.
std::u16string LoadWholeString(HMODULE module, UINT id) {
  ModuleApi* modules = CurrentServices().modules;
  std::vector<char16_t> buffer(256);
  for (;;) {
    int n = modules->LoadStringW(module, id, buffer.data(), static_cast<int>(buffer.size()));
    if (n < static_cast<int>(buffer.size()) - 1) return std::u16string(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

// Replaces "%1" (and with two inserts also "%2") in one pass, so that an
// insert that itself holds "%2" stays as it is.
std::u16string ReplaceInserts(const std::u16string& pattern, const char16_t* insert1,
                              const char16_t* insert2) {
  std::u16string out;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == u'%' && i + 1 < pattern.size()) {
      char16_t next = pattern[i + 1];
      if (next == u'1' || (next == u'2' && insert2 != nullptr)) {
        out += next == u'1' ? insert1 : insert2;
        ++i;
        continue;
      }
    }
    out.push_back(pattern[i]);
  }
  return out;
}

std::u16string ComposeMessage(const std::u16string& pattern, const char16_t* insert1,
                              const char16_t* insert2, const char16_t* insert3) {
  if (insert1 == nullptr) return pattern;
  if (insert2 == nullptr) return ReplaceInserts(pattern, insert1, nullptr);
  if (insert3 == nullptr) return ReplaceInserts(pattern, insert1, insert2);
  return FormatMessageText(pattern, {insert1, insert2, insert3});
}

// Makes the remembered resource library current again on every exit path.
class RestoreResourceLibrary {
 public:
  RestoreResourceLibrary() : previous_(CurrentResourceLibrary()) {}
  ~RestoreResourceLibrary() { SetCurrentResourceLibrary(previous_); }
  RestoreResourceLibrary(const RestoreResourceLibrary&) = delete;
  RestoreResourceLibrary& operator=(const RestoreResourceLibrary&) = delete;

 private:
  HMODULE previous_;
};

// One message-log handle, deleted when the message is done.
class MessageLogHold {
 public:
  MessageLogHold() = default;
  ~MessageLogHold() {
    if (open_) CurrentServices().client->DeleteMessageHandle(handle_);
  }
  MessageLogHold(const MessageLogHold&) = delete;
  MessageLogHold& operator=(const MessageLogHold&) = delete;

  uint32_t Open(const std::u16string& source, const std::u16string& component) {
    uint32_t rc =
        CurrentServices().client->CreateMessageHandle(source.c_str(), component.c_str(), &handle_);
    open_ = rc == kClientOk;
    return rc;
  }
  MessageLogHandle get() const { return handle_; }

 private:
  MessageLogHandle handle_ = 0;
  bool open_ = false;
};

// The module that holds the message log's identifying texts, as the
// client's user-group library names it; null when it cannot be reached.
HMODULE MessageLogTexts() {
  ModuleApi* modules = CurrentServices().modules;
  HMODULE library = modules->LoadLibraryW(kMessageLogLibrary, nullptr);
  if (library == nullptr) return nullptr;
  using ResourceHandle = void* (*)();
  auto get =
      reinterpret_cast<ResourceHandle>(modules->GetProcAddress(library, kResourceHandleExport));
  return get != nullptr ? static_cast<HMODULE>(get()) : nullptr;
}

}  // namespace

void resolveProviderResources(const ClientFunctionList& list, ClientFunctionProvider* provider) {
  const std::u16string& name = provider->name;
  std::u16string file, directory;
  ScopedKey key(CurrentServices().registry);
  (void)OpenDeclarationKey(
      kHKeyClassesRoot, std::u16string(ClientFunctionRootPath(list.plugIn)) + u"\\" + name, &key);
  LONG rc = ReadText(key.get(), u"AIMRIDLL", 1024, &file);
  if (rc != kErrorSuccess) {
    file.clear();
    if (rc == kErrorFileNotFound && list.plugIn) {
      ScopedKey registration(CurrentServices().registry);
      std::u16string nls;
      if (OpenDeclarationKey(kHKeyClassesRoot, kPluginRegistrationPath + name, &registration) ==
              kErrorSuccess &&
          ReadText(registration.get(), u"NLS", 256, &nls) == kErrorSuccess) {
        UpperCaseInPlace(&nls);
        if (EndsWithDll(nls)) {
          size_t cut = LastSeparator(nls);
          if (cut == std::u16string::npos) {
            file = nls;
          } else {
            directory = nls.substr(0, cut + 1);
            file = nls.substr(cut + 1);
          }
        }
      }
    }
  }
  if (!list.plugIn) {
    if (ReadText(key.get(), u"MRIDLLPATH", 1024, &directory) != kErrorSuccess) directory.clear();
  } else if (directory.empty()) {
    directory = findResourceDirectory(name);
  }
  provider->resourceLibrary = file;
  provider->resourceDirectory = directory;
}

std::u16string findResourceDirectory(const std::u16string& provider_name) {
  std::u16string install;
  if (!InstallPath(&install)) return std::u16string();
  ModuleApi* modules = CurrentServices().modules;
  if (modules->PathExists((install + provider_name).c_str()))
    return install + provider_name + kSeparator;

  // The install directory's parent, with its separator.
  std::u16string parent = install;
  size_t cut = LastSeparator(parent);
  if (cut != std::u16string::npos) parent.erase(cut);
  cut = LastSeparator(parent);
  parent.erase(cut == std::u16string::npos ? 0 : cut + 1);

  ClientApi* client = CurrentServices().client;
  char16_t sibling[kInstallDirChars] = {};
  uint32_t length = 0;
  uint64_t cursor = 0;
  for (uint32_t rc = client->FindFirstInstallDir(0, sibling, kInstallDirChars, &length, &cursor, 0);
       rc == kClientOk;
       rc = client->FindNextInstallDir(sibling, kInstallDirChars, &length, &cursor, 0)) {
    sibling[kInstallDirChars - 1] = u'\0';
    std::u16string candidate = parent + sibling + kSeparator + provider_name;
    if (modules->PathExists(candidate.c_str())) return candidate + kSeparator;
  }
  return std::u16string();
}

HMODULE loadProviderResources(const ClientFunctionList& list,
                              const ClientFunctionProvider& provider) {
  std::u16string path = provider.resourceDirectory;
  if (path.empty() && !list.plugIn) (void)InstallPath(&path);
  path += provider.resourceLibrary;

  HMODULE previous = CurrentResourceLibrary();
  HMODULE library = CurrentServices().modules->LoadLibraryW(path.c_str(), nullptr);
  if (library != nullptr) {
    SetCurrentResourceLibrary(library);  // stays loaded for the life of the process
  } else if (!EqualIgnoringCase(provider.resourceLibrary, kOptionalLibrary)) {
    (void)reportDefinitionMessage(16100, path.c_str(), provider.name.c_str());
  }
  return previous;
}

uint32_t reportDefinitionMessage(uint32_t number, const char16_t* insert1, const char16_t* insert2,
                                 const char16_t* insert3) {
  RestoreResourceLibrary restore;
  const Services& services = CurrentServices();
  std::u16string install;
  if (InstallPath(&install)) {
    HMODULE texts = services.modules->LoadLibraryW((install + kMessageLibrary).c_str(), nullptr);
    if (texts != nullptr) SetCurrentResourceLibrary(texts);
  }

  HMODULE log_texts = MessageLogTexts();
  if (log_texts == nullptr) return kMessageNotWritten;
  MessageLogHold log;
  if (uint32_t rc = log.Open(LoadWholeString(log_texts, kLogSourceText),
                             LoadWholeString(log_texts, kLogComponentText));
      rc != kClientOk)
    return rc;
  (void)services.client->SetMessageClass(log.get(), kDefinitionMessageClass);

  std::u16string text =
      ComposeMessage(LoadWholeString(CurrentResourceLibrary(), number), insert1, insert2, insert3);
  if (text.empty()) return number;
  return services.client->LogMessageText(log.get(), text.c_str(),
                                         static_cast<uint32_t>(2 * (text.size() + 1)));
}

}  // namespace zvt
