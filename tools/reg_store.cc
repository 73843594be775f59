// .reg files applied to and exported from the registry stand-in's stores.
#include "tools/reg_store.h"

#include <map>
#include <memory>
#include <vector>

#include "platform/utf.h"
#include "services/value_bytes.h"

namespace zvt::tools {
namespace {

using platform::KeyId;
using platform::RegistryStore;
using platform::Utf16ToUtf8;

// What a failure of the stores means to a user: "no such key", a damaged
// store with what the registry found, or the code with `message`.
std::string StoreError(platform::PosixRegistry* registry, LONG rc, const std::string& message) {
  if (rc == kErrorFileNotFound) return "no such key";
  if (rc == kErrorRegistryCorrupt) {
    std::string damage = registry->DescribeDamage();
    return "the registry store is damaged (error 1015)" + (damage.empty() ? "" : ": " + damage);
  }
  if (!message.empty()) return message + " (error " + std::to_string(rc) + ")";
  return "error " + std::to_string(rc);
}

std::string LineError(int line, const std::string& what) {
  return "line " + std::to_string(line) + ": " + what;
}

// Deletes the key `key` and every key below it, across hives.
LONG DeleteTree(platform::PosixRegistry* registry, const platform::StoreKey& key) {
  platform::KeyRow row;
  LONG rc;
  while ((rc = key.subkey_store->SubkeyAt(key.subkey_parent, 0, &row)) == kErrorSuccess) {
    rc = DeleteTree(registry, registry->SubStoreKey(key, row));
    if (rc != kErrorSuccess) return rc;
  }
  if (rc != kErrorNoMoreItems) return rc;
  // At a mount point the hive below is now empty, and the key itself, with
  // its values, goes from the hive above.
  return key.store->DeleteKey(key.id);
}

// Writes `key` and its subtree. A damaged subkey is left out with a comment
// naming it, and the export goes on with the rest: what can be read is what
// a damaged store can still give back.
LONG ExportTree(platform::PosixRegistry* registry, const platform::StoreKey& key,
                const std::string& name, std::string* out, std::vector<std::string>* skipped) {
  std::string text = "\n[" + name + "]\n";
  const size_t header = text.size();
  platform::ValueRow value;
  LONG rc = key.store->ValueAt(key.id, 0, &value);
  while (rc == kErrorSuccess) {
    AppendRegValue(value.name, value.type, value.data, &text);
    rc = key.store->ValueAfter(key.id, value.id, &value);
  }
  if (rc != kErrorNoMoreItems) return rc;
  // A root is not a key a .reg file can name; it is written only for values.
  const bool root = name.find('\\') == std::string::npos;
  if (!root || text.size() > header) *out += text;
  platform::KeyRow row;
  rc = key.subkey_store->SubkeyAt(key.subkey_parent, 0, &row);
  while (rc == kErrorSuccess) {
    platform::StoreKey child = registry->SubStoreKey(key, row);
    std::string child_name = name + "\\" + Utf16ToUtf8(row.name);
    LONG child_rc = registry->VerifyStoreKey(child);
    if (child_rc == kErrorSuccess) child_rc = ExportTree(registry, child, child_name, out, skipped);
    if (child_rc == kErrorRegistryCorrupt) {
      *out += "\n; [" + child_name + "] is damaged and was left out\n";
      skipped->push_back(child_name);
    } else if (child_rc != kErrorSuccess) {
      return child_rc;
    }
    rc = key.subkey_store->SubkeyAfter(key.subkey_parent, row.fold, &row);
  }
  return rc == kErrorNoMoreItems ? kErrorSuccess : rc;
}
}  // namespace

bool ApplyRegFile(platform::PosixRegistry* registry, const RegFile& file, ImportCounts* counts,
                  std::string* error) {
  *counts = ImportCounts{};
  // One batch per store written: the import is one transaction per hive.
  std::map<RegistryStore*, std::unique_ptr<RegistryStore::Batch>> batches;
  auto batch_for = [&](HKEY root) -> LONG {
    std::string message;
    std::vector<RegistryStore*> stores = {registry->StoreFor(root, &message)};
    if (root == kHKeyCurrentUser) stores.push_back(registry->CacheStore(&message));
    for (RegistryStore* store : stores) {
      if (store == nullptr) {
        *error = "cannot open the " + RootName(root) + " store: " + message;
        return kErrorRegistryIoFailed;
      }
      auto& batch = batches[store];
      if (!batch) batch = std::make_unique<RegistryStore::Batch>(store);
      if (batch->status() != kErrorSuccess) return batch->status();
    }
    return kErrorSuccess;
  };
  for (const RegKeyEntry& key : file.keys) {
    LONG rc = batch_for(key.root);
    std::string where = LineError(key.line, RootName(key.root) + "\\" + Utf16ToUtf8(key.path));
    if (rc != kErrorSuccess) {
      if (error->empty())
        *error = where + ": the store cannot be written (error " + std::to_string(rc) + ")";
      return false;
    }
    platform::StoreKey at;
    std::string message;
    if (key.remove) {
      rc = registry->FindStoreKey(key.root, key.path, /*create=*/false, &at, &message);
      if (rc == kErrorSuccess) {
        rc = DeleteTree(registry, at);
        ++counts->deletions;
      } else if (rc == kErrorFileNotFound) {
        rc = kErrorSuccess;  // deleting what is not there is no error
      }
    } else {
      rc = registry->FindStoreKey(key.root, key.path, /*create=*/true, &at, &message);
      ++counts->keys;
      for (const RegValueEntry& value : key.values) {
        if (rc != kErrorSuccess) break;
        if (value.remove) {
          rc = at.store->DeleteValue(at.id, value.name);
          if (rc == kErrorFileNotFound) rc = kErrorSuccess;
          ++counts->deletions;
        } else {
          rc = at.store->SetValue(at.id, value.name, value.type, value.data.data(),
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
  for (auto& [store, batch] : batches) {
    if (batch->Commit() != kErrorSuccess) {
      *error = "the import could not be committed; nothing was imported";
      return false;
    }
  }
  return true;
}

bool ExportRegKey(platform::PosixRegistry* registry, HKEY root, const std::u16string& path,
                  std::string* out, std::vector<std::string>* skipped, std::string* error) {
  skipped->clear();
  std::string message;
  std::string name = RootName(root) + (path.empty() ? "" : "\\" + Utf16ToUtf8(path));
  platform::StoreKey key;
  LONG rc = registry->FindStoreKey(root, path, /*create=*/false, &key, &message);
  if (rc != kErrorSuccess) {
    *error = name + ": " + StoreError(registry, rc, message);
    return false;
  }
  out->assign("Windows Registry Editor Version 5.00\n");
  rc = ExportTree(registry, key, name, out, skipped);
  if (rc != kErrorSuccess) {
    *error = name + ": export stopped: " + StoreError(registry, rc, std::string());
    return false;
  }
  return true;
}

LONG ReadRegKey(platform::PosixRegistry* registry, HKEY root, const std::u16string& path,
                RegKeyListing* listing, std::string* error) {
  *listing = RegKeyListing{};
  std::string message;
  platform::StoreKey key;
  LONG rc = registry->FindStoreKey(root, path, /*create=*/false, &key, &message);
  if (rc != kErrorSuccess) {
    *error = RootName(root) + (path.empty() ? "" : "\\" + Utf16ToUtf8(path)) + ": " +
             StoreError(registry, rc, message);
    return rc;
  }
  platform::KeyRow row;
  rc = key.subkey_store->SubkeyAt(key.subkey_parent, 0, &row);
  while (rc == kErrorSuccess) {
    listing->subkeys.push_back(row.name);
    rc = key.subkey_store->SubkeyAfter(key.subkey_parent, row.fold, &row);
  }
  platform::ValueRow value;
  if (rc == kErrorNoMoreItems) rc = key.store->ValueAt(key.id, 0, &value);
  while (rc == kErrorSuccess) {
    listing->values.push_back({value.name, value.type, value.data});
    rc = key.store->ValueAfter(key.id, value.id, &value);
  }
  if (rc != kErrorNoMoreItems) {
    *error = "reading the key failed: " + StoreError(registry, rc, std::string());
    return rc;
  }
  return kErrorSuccess;
}

}  // namespace zvt::tools
