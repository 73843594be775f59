// .reg files applied to and exported from the registry stand-in's stores.
#include "tools/reg_store.h"

#include <memory>
#include <optional>

#include "platform/utf.h"

namespace zvt::tools {
namespace {

using platform::KeyId;
using platform::RegistryStore;
using platform::Utf16ToUtf8;

constexpr size_t kExportLineWidth = 80;  // where regedit wraps hex data

std::string LineError(int line, const std::string& what) {
  return "line " + std::to_string(line) + ": " + what;
}

// Walks `path` from the root of `store`, creating missing keys when asked.
LONG WalkStore(RegistryStore* store, const std::u16string& path, bool create, KeyId* id) {
  KeyId current = platform::kRootKeyId;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t next = path.find(u'\\', pos);
    if (next == std::u16string::npos) next = path.size();
    std::u16string part = path.substr(pos, next - pos);
    pos = next + 1;
    if (part.empty()) continue;
    KeyId child;
    LONG rc = store->FindChild(current, part, &child);
    if (rc == kErrorFileNotFound && create) {
      bool created;
      rc = store->CreateChild(current, part, &child, &created);
    }
    if (rc != kErrorSuccess) return rc;
    current = child;
  }
  *id = current;
  return kErrorSuccess;
}

LONG DeleteTree(RegistryStore* store, KeyId id) {
  platform::KeyRow row;
  LONG rc;
  while ((rc = store->SubkeyAt(id, 0, &row)) == kErrorSuccess) {
    rc = DeleteTree(store, row.id);
    if (rc != kErrorSuccess) return rc;
  }
  if (rc != kErrorNoMoreItems) return rc;
  return store->DeleteKey(id);
}

std::string Escape(const std::u16string& text) {
  std::string out;
  for (char c : Utf16ToUtf8(text)) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

// A REG_SZ that regedit can write as "text": UTF-16 with one terminator and
// no other NUL, no line breaks.
std::optional<std::u16string> PlainString(const std::vector<BYTE>& data) {
  if (data.size() < 2 || data.size() % 2 != 0) return std::nullopt;
  std::u16string text;
  for (size_t i = 0; i < data.size(); i += 2)
    text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  if (text.back() != u'\0') return std::nullopt;
  text.pop_back();
  if (text.find_first_of(std::u16string(u"\0\r\n", 3)) != std::u16string::npos) return std::nullopt;
  return text;
}

void WriteValue(const platform::ValueRow& row, std::string* out) {
  std::string line = row.name.empty() ? "@=" : "\"" + Escape(row.name) + "\"=";
  if (row.type == kRegSz) {
    if (auto text = PlainString(row.data)) {
      *out += line + "\"" + Escape(*text) + "\"\n";
      return;
    }
  }
  if (row.type == kRegDword && row.data.size() == 4) {
    char buf[16];
    DWORD v = row.data[0] | (row.data[1] << 8) | (row.data[2] << 16) |
              (static_cast<DWORD>(row.data[3]) << 24);
    std::snprintf(buf, sizeof buf, "dword:%08x", v);
    *out += line + buf + "\n";
    return;
  }
  char kind[16];
  if (row.type == kRegBinary)
    std::snprintf(kind, sizeof kind, "hex:");
  else
    std::snprintf(kind, sizeof kind, "hex(%x):", row.type);
  line += kind;
  for (size_t i = 0; i < row.data.size(); ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, "%02x", row.data[i]);
    bool last = i + 1 == row.data.size();
    if (line.size() + 3 + (last ? 0 : 2) > kExportLineWidth) {
      *out += line + "\\\n";
      line = "  ";
    }
    line += byte;
    if (!last) line += ",";
  }
  *out += line + "\n";
}

LONG ExportTree(RegistryStore* store, KeyId id, const std::string& name, std::string* out) {
  *out += "\n[" + name + "]\n";
  platform::ValueRow value;
  LONG rc = store->ValueAt(id, 0, &value);
  while (rc == kErrorSuccess) {
    WriteValue(value, out);
    rc = store->ValueAfter(id, value.id, &value);
  }
  if (rc != kErrorNoMoreItems) return rc;
  platform::KeyRow key;
  rc = store->SubkeyAt(id, 0, &key);
  while (rc == kErrorSuccess) {
    LONG child = ExportTree(store, key.id, name + "\\" + Utf16ToUtf8(key.name), out);
    if (child != kErrorSuccess) return child;
    rc = store->SubkeyAfter(id, key.fold, &key);
  }
  return rc == kErrorNoMoreItems ? kErrorSuccess : rc;
}
}  // namespace

bool ApplyRegFile(platform::PosixRegistry* registry, const RegFile& file, ImportCounts* counts,
                  std::string* error) {
  *counts = ImportCounts{};
  std::unique_ptr<RegistryStore::Batch> batches[2];
  auto batch_for = [&](HKEY root, RegistryStore** store) -> LONG {
    int slot = root == kHKeyClassesRoot ? 1 : 0;
    std::string message;
    *store = registry->StoreFor(root, &message);
    if (*store == nullptr) {
      *error = "cannot open the " + RootName(root) + " store: " + message;
      return kErrorRegistryIoFailed;
    }
    if (!batches[slot]) batches[slot] = std::make_unique<RegistryStore::Batch>(*store);
    return batches[slot]->status();
  };
  for (const RegKeyEntry& key : file.keys) {
    RegistryStore* store;
    LONG rc = batch_for(key.root, &store);
    std::string where = LineError(key.line, RootName(key.root) + "\\" + Utf16ToUtf8(key.path));
    if (rc != kErrorSuccess) {
      if (error->empty())
        *error = where + ": the store cannot be written (error " + std::to_string(rc) + ")";
      return false;
    }
    KeyId id;
    if (key.remove) {
      rc = WalkStore(store, key.path, /*create=*/false, &id);
      if (rc == kErrorSuccess) {
        rc = DeleteTree(store, id);
        ++counts->deletions;
      } else if (rc == kErrorFileNotFound) {
        rc = kErrorSuccess;  // deleting what is not there is no error
      }
    } else {
      rc = WalkStore(store, key.path, /*create=*/true, &id);
      ++counts->keys;
      for (const RegValueEntry& value : key.values) {
        if (rc != kErrorSuccess) break;
        if (value.remove) {
          rc = store->DeleteValue(id, value.name);
          if (rc == kErrorFileNotFound) rc = kErrorSuccess;
          ++counts->deletions;
        } else {
          rc = store->SetValue(id, value.name, value.type, value.data.data(),
                               static_cast<DWORD>(value.data.size()));
          ++counts->values;
        }
      }
    }
    if (rc != kErrorSuccess) {
      *error = where + ": failed with error " + std::to_string(rc) + "; nothing was imported";
      return false;
    }
  }
  for (auto& batch : batches) {
    if (batch && batch->Commit() != kErrorSuccess) {
      *error = "the import could not be committed; nothing was imported";
      return false;
    }
  }
  return true;
}

bool ExportRegKey(platform::PosixRegistry* registry, HKEY root, const std::u16string& path,
                  std::string* out, std::string* error) {
  std::string message;
  RegistryStore* store = registry->StoreFor(root, &message);
  std::string name = RootName(root) + (path.empty() ? "" : "\\" + Utf16ToUtf8(path));
  if (store == nullptr) {
    *error = "cannot open the " + RootName(root) + " store: " + message;
    return false;
  }
  KeyId id;
  LONG rc = WalkStore(store, path, /*create=*/false, &id);
  if (rc != kErrorSuccess) {
    *error =
        name + ": " + (rc == kErrorFileNotFound ? "no such key" : "error " + std::to_string(rc));
    return false;
  }
  out->assign("Windows Registry Editor Version 5.00\n");
  rc = ExportTree(store, id, name, out);
  if (rc != kErrorSuccess) {
    *error = name + ": export failed with error " + std::to_string(rc);
    return false;
  }
  return true;
}

LONG ReadRegKey(platform::PosixRegistry* registry, HKEY root, const std::u16string& path,
                RegKeyListing* listing, std::string* error) {
  *listing = RegKeyListing{};
  std::string message;
  RegistryStore* store = registry->StoreFor(root, &message);
  if (store == nullptr) {
    *error = "cannot open the " + RootName(root) + " store: " + message;
    return kErrorRegistryIoFailed;
  }
  KeyId id;
  LONG rc = WalkStore(store, path, /*create=*/false, &id);
  if (rc != kErrorSuccess) {
    *error = RootName(root) + "\\" + Utf16ToUtf8(path) + ": " +
             (rc == kErrorFileNotFound ? "no such key" : "error " + std::to_string(rc));
    return rc;
  }
  platform::KeyRow key;
  rc = store->SubkeyAt(id, 0, &key);
  while (rc == kErrorSuccess) {
    listing->subkeys.push_back(key.name);
    rc = store->SubkeyAfter(id, key.fold, &key);
  }
  platform::ValueRow value;
  if (rc == kErrorNoMoreItems) rc = store->ValueAt(id, 0, &value);
  while (rc == kErrorSuccess) {
    listing->values.push_back(value);
    rc = store->ValueAfter(id, value.id, &value);
  }
  if (rc != kErrorNoMoreItems) {
    *error = "reading the key failed with error " + std::to_string(rc);
    return rc;
  }
  return kErrorSuccess;
}
}  // namespace zvt::tools
