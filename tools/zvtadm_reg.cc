// zvtadm reg: import, export, query and list the registry stores.
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "platform/name_fold.h"
#include "platform/utf.h"
#include "services/value_bytes.h"
#include "tools/reg_store.h"
#include "tools/zvtadm_command.h"

namespace zvt::tools {
namespace {

constexpr char kKeyHelp[] =
    "key path starting with HKEY_CURRENT_USER (HKCU) or HKEY_CLASSES_ROOT (HKCR)";

bool ReadInput(const std::string& file, std::string* bytes, std::string* error) {
  if (file == "-") {
    bytes->assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    return true;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    *error = "cannot read " + file;
    return false;
  }
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

int ParseKey(const CommandContext& context, const std::string& key, HKEY* root,
             std::u16string* path) {
  std::u16string wide;
  if (!platform::Utf8ToUtf16(key, &wide) || !SplitRootPath(wide, root, path))
    return context.Fail(kExitUsage, "\"" + key + "\" is not a key path: expected a " + kKeyHelp);
  return kExitOk;
}

int ExitFor(LONG rc) { return rc == kErrorFileNotFound ? kExitNotFound : kExitFailed; }

int Import(CommandContext* context, const std::string& file) {
  std::string bytes, error;
  if (!ReadInput(file, &bytes, &error)) return context->Fail(kExitFailed, error);
  RegFile parsed;
  ImportCounts counts;
  {
    Progress progress(context, "importing " + file);
    if (!ParseRegFile(bytes, &parsed, &error))
      error = file + ": " + error + "; nothing was imported";
    else if (!ApplyRegFile(context->registry(), parsed, &counts, &error))
      error = file + ": " + error;
    else
      error.clear();
  }
  if (!error.empty()) return context->Fail(kExitFailed, error);
  context->Emit({{"file", file},
                 {"keys", counts.keys},
                 {"values", counts.values},
                 {"deletions", counts.deletions}},
                [&] {
                  std::cout << "imported " << file << ": " << counts.keys << " keys, "
                            << counts.values << " values, " << counts.deletions << " deletions\n";
                });
  return kExitOk;
}

// A value's data as JSON of its kind: numbers for REG_DWORD and REG_QWORD,
// text for REG_SZ and REG_EXPAND_SZ, an array of texts for REG_MULTI_SZ;
// else (and for data that does not fit its type) the text form of .reg
// files. "bytes" always holds the stored bytes in hex.
nlohmann::json ValueJson(const RegValue& v) {
  std::string hex;
  for (BYTE b : v.data) {
    char byte[3];
    std::snprintf(byte, sizeof byte, "%02x", b);
    hex += byte;
  }
  auto number = [&v](size_t size) {
    uint64_t n = 0;
    IntegerFromValueBytes(v.data.data(), v.data.size(), size, &n);
    return n;
  };
  auto texts = [&v]() {
    std::vector<std::string> out;
    std::u16string current;
    for (char16_t c : Utf16FromValueBytes(v.data.data(), v.data.size())) {
      if (c == u'\0') {
        out.push_back(platform::Utf16ToUtf8(current));
        current.clear();
      } else {
        current.push_back(c);
      }
    }
    if (!current.empty()) out.push_back(platform::Utf16ToUtf8(current));
    return out;
  };
  nlohmann::json data = FormatValueData(v.type, v.data);
  if (v.type == kRegDword && v.data.size() == 4) {
    data = number(4);
  } else if (v.type == kRegQword && v.data.size() == 8) {
    data = number(8);
  } else if ((v.type == kRegSz || v.type == kRegExpandSz) && v.data.size() % 2 == 0) {
    std::vector<std::string> parts = texts();
    data = parts.empty() ? std::string() : parts.front();
  } else if (v.type == kRegMultiSz && v.data.size() % 2 == 0) {
    std::vector<std::string> parts = texts();
    while (!parts.empty() && parts.back().empty()) parts.pop_back();  // the list's terminator
    data = parts;
  }
  return {{"name", platform::Utf16ToUtf8(v.name)},
          {"type", TypeName(v.type)},
          {"data", data},
          {"bytes", hex}};
}

// A key with its values and everything below it, as JSON.
LONG KeyTreeJson(ToolRegistry* registry, HKEY root, const std::u16string& path,
                 const std::string& name, nlohmann::json* out, std::string* error) {
  RegKeyListing listing;
  if (LONG rc = ReadRegKey(registry, root, path, &listing, error); rc != kErrorSuccess) return rc;
  *out = {{"key", name}, {"values", nlohmann::json::array()}, {"subkeys", nlohmann::json::array()}};
  for (const auto& v : listing.values) (*out)["values"].push_back(ValueJson(v));
  for (const std::u16string& sub : listing.subkeys) {
    nlohmann::json child;
    std::u16string below = path.empty() ? sub : path + u"\\" + sub;
    if (LONG rc = KeyTreeJson(registry, root, below, name + "\\" + platform::Utf16ToUtf8(sub),
                              &child, error);
        rc != kErrorSuccess)
      return rc;
    (*out)["subkeys"].push_back(std::move(child));
  }
  return kErrorSuccess;
}

int Export(CommandContext* context, const std::string& key, const std::string& file) {
  HKEY root;
  std::u16string path;
  if (int rc = ParseKey(*context, key, &root, &path); rc != kExitOk) return rc;
  std::string out, error;
  std::vector<std::string> skipped;
  if (context->json) {
    nlohmann::json tree;
    if (LONG rc = KeyTreeJson(context->registry(), root, path, key, &tree, &error);
        rc != kErrorSuccess)
      return context->Fail(ExitFor(rc), error);
    out = tree.dump(2) + "\n";
  } else if (!ExportRegKey(context->registry(), root, path, &out, &skipped, &error))
    return context->Fail(
        error.find("no such key") != std::string::npos ? kExitNotFound : kExitFailed, error);
  if (file.empty() || file == "-") {
    std::cout << out;
  } else {
    std::ofstream os(file, std::ios::binary | std::ios::trunc);
    os << out;
    os.close();
    if (!os) return context->Fail(kExitFailed, "cannot write " + file);
  }
  // What could be read was written; the damaged keys are named.
  for (const std::string& key : skipped)
    context->Fail(kExitFailed, key + " is damaged and was left out of the export");
  return skipped.empty() ? kExitOk : kExitFailed;
}

void PrintValue(const RegValue& v) {
  std::string name = v.name.empty() ? "(Default)" : platform::Utf16ToUtf8(v.name);
  std::cout << "    " << name << "    " << TypeName(v.type) << "    "
            << FormatValueData(v.type, v.data) << "\n";
}

// Reads the key named on the command line; returns an exit code.
int LoadKey(CommandContext* context, const std::string& key, RegKeyListing* listing) {
  HKEY root;
  std::u16string path;
  if (int rc = ParseKey(*context, key, &root, &path); rc != kExitOk) return rc;
  std::string error;
  if (LONG rc = ReadRegKey(context->registry(), root, path, listing, &error); rc != kErrorSuccess)
    return context->Fail(ExitFor(rc), error);
  return kExitOk;
}

int Query(CommandContext* context, const std::string& key, const std::string* value_name) {
  RegKeyListing listing;
  if (int rc = LoadKey(context, key, &listing); rc != kExitOk) return rc;
  std::vector<const RegValue*> shown;
  if (value_name != nullptr) {
    std::u16string wanted = platform::U16(*value_name);
    for (const auto& v : listing.values)
      if (platform::FoldName(v.name) == platform::FoldName(wanted)) shown.push_back(&v);
    if (shown.empty())
      return context->Fail(kExitNotFound, key + ": no value \"" + *value_name + "\"");
  } else {
    for (const auto& v : listing.values) shown.push_back(&v);
  }
  nlohmann::json values = nlohmann::json::array();
  for (const auto* v : shown) values.push_back(ValueJson(*v));
  context->Emit({{"key", key}, {"values", values}}, [&] {
    std::cout << key << "\n";
    for (const auto* v : shown) PrintValue(*v);
  });
  return kExitOk;
}

int List(CommandContext* context, const std::string& key) {
  RegKeyListing listing;
  if (int rc = LoadKey(context, key, &listing); rc != kExitOk) return rc;
  nlohmann::json subkeys = nlohmann::json::array();
  for (const auto& s : listing.subkeys) subkeys.push_back(platform::Utf16ToUtf8(s));
  nlohmann::json values = nlohmann::json::array();
  for (const auto& v : listing.values) values.push_back(ValueJson(v));
  context->Emit({{"key", key}, {"subkeys", subkeys}, {"values", values}}, [&] {
    for (const auto& s : listing.subkeys) std::cout << platform::Utf16ToUtf8(s) << "\\\n";
    for (const auto& v : listing.values) PrintValue(v);
  });
  return kExitOk;
}

}  // namespace

void AddRegCommands(CLI::App* app, CommandContext* context, int* exit_code) {
  CLI::App* reg = app->add_subcommand("reg", "import, export and read the registry stores");
  reg->require_subcommand(1);

  auto* import = reg->add_subcommand(
      "import", "apply a .reg file as one transaction: a bad line imports nothing");
  auto* import_file = context->NewArgument();
  import->add_option("FILE", *import_file, ".reg file, or - for standard input")->required();
  import->callback([=] { *exit_code = Import(context, *import_file);
});

auto* exp = reg->add_subcommand("export", "write a key and everything below it as a .reg file");
auto* export_key = context->NewArgument();
auto* export_file = context->NewArgument();
exp->add_option("KEY", *export_key, kKeyHelp)->required();
exp->add_option("FILE", *export_file, "output file (default: standard output)");
exp->callback([=] {
  context->read_only = true;
  *exit_code = Export(context, *export_key, *export_file);
});

auto* query = reg->add_subcommand("query", "show the values of a key, or one value");
auto* query_key = context->NewArgument();
auto* query_value = context->NewArgument();
query->add_option("KEY", *query_key, kKeyHelp)->required();
auto* value_opt = query->add_option("VALUE", *query_value, "value name (letter case ignored)");
query->callback([=] {
  context->read_only = true;
  *exit_code = Query(context, *query_key, value_opt->count() > 0 ? query_value : nullptr);
});

auto* list = reg->add_subcommand("list", "show the subkeys and values of a key");
auto* list_key = context->NewArgument();
list->add_option("KEY", *list_key, kKeyHelp)->required();
list->callback([=] {
  context->read_only = true;
  *exit_code = List(context, *list_key);
});
}  // namespace zvt::tools

}  // namespace zvt::tools
