#include <gtest/gtest.h>

#include <memory>

#include "platform/utf.h"
#include "testing/temp_dir.h"
#include "tools/reg_store.h"

namespace zvt::tools {
namespace {

constexpr char kAllTypes[] = R"(Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software\VYN\Tarvo.Network\Sys]
@="default"
"Text"="C:\\dir \"quoted\" é"
"Count"=dword:0000002a
"Blob"=hex:00,01,fe,\
  ff
"Expand"=hex(2):25,00,41,00,25,00,00,00
"Multi"=hex(7):61,00,00,00,62,00,00,00,00,00
"Odd"=hex(b):01,02,03,04,05,06,07,08
"Empty"=hex:

[HKEY_CURRENT_USER\Software\VYN\Tarvo.Network\Sys\Child]
"x"="y"

[HKEY_CLASSES_ROOT\CLSID\Plugin]
"NLS"="zvtplug"
)";

class RegFileTest : public ::testing::Test {
 protected:
  RegFileTest() { registry_ = Open(); }
  std::unique_ptr<platform::PosixRegistry> Open() {
    platform::RegistryPaths paths;
    paths.user_store = dir_.File("user.db");
    paths.classes_store = dir_.File("classes.db");
    return std::make_unique<platform::PosixRegistry>(paths);
  }
  bool Import(std::string_view text, std::string* error) {
    RegFile file;
    ImportCounts counts;
    return ParseRegFile(text, &file, error) && ApplyRegFile(registry_.get(), file, &counts, error);
  }
  std::string Export(HKEY root, const std::u16string& path) {
    std::string out, error;
    std::vector<std::string> skipped;
    EXPECT_TRUE(ExportRegKey(registry_.get(), root, path, &out, &skipped, &error)) << error;
    EXPECT_TRUE(skipped.empty());
    return out;
  }
  LONG Read(HKEY root, const std::u16string& path, RegKeyListing* listing) {
    std::string error;
    return ReadRegKey(registry_.get(), root, path, listing, &error);
  }

  testing::TempDir dir_;
  std::unique_ptr<platform::PosixRegistry> registry_;
};

bool SameEntries(const RegFile& a, const RegFile& b) {
  if (a.keys.size() != b.keys.size()) return false;
  for (size_t i = 0; i < a.keys.size(); ++i) {
    const RegKeyEntry &x = a.keys[i], &y = b.keys[i];
    if (x.root != y.root || x.path != y.path || x.values.size() != y.values.size()) return false;
    for (size_t j = 0; j < x.values.size(); ++j) {
      const RegValueEntry &v = x.values[j], &w = y.values[j];
      if (v.name != w.name || v.type != w.type || v.data != w.data) return false;
    }
  }
  return true;
}

TEST_F(RegFileTest, ImportThenExportKeepsKeysValuesAndTypes) {
  std::string error;
  ASSERT_TRUE(Import(kAllTypes, &error)) << error;

  std::string user = Export(kHKeyCurrentUser, u"Software\\VYN\\Tarvo.Network\\Sys");
  std::string classes = Export(kHKeyClassesRoot, u"CLSID\\Plugin");
  RegFile original, exported_user, exported_classes;
  ASSERT_TRUE(ParseRegFile(kAllTypes, &original, &error));
  ASSERT_TRUE(ParseRegFile(user, &exported_user, &error)) << error << "\n" << user;
  ASSERT_TRUE(ParseRegFile(classes, &exported_classes, &error)) << error;
  exported_user.keys.insert(exported_user.keys.end(), exported_classes.keys.begin(),
                            exported_classes.keys.end());
  EXPECT_TRUE(SameEntries(original, exported_user)) << user << classes;

  // The stored bytes are the Win32 ones: UTF-16LE with a terminator, DWORD little-endian.
  RegKeyListing listing;
  ASSERT_EQ(Read(kHKeyCurrentUser, u"software\\vyn\\tarvo.network\\SYS", &listing), kErrorSuccess);
  ASSERT_EQ(listing.subkeys, std::vector<std::u16string>{u"Child"});
  ASSERT_EQ(listing.values.size(), 8u);
  EXPECT_EQ(listing.values[1].name, u"Text");
  EXPECT_EQ(FormatValueData(listing.values[1].type, listing.values[1].data),
            "C:\\dir \"quoted\" é");
  EXPECT_EQ(listing.values[2].data, (std::vector<BYTE>{0x2a, 0, 0, 0}));
  EXPECT_EQ(listing.values[6].type, 0xbu);

  // Importing the export into a fresh store and exporting again is stable.
  testing::TempDir other;
  platform::RegistryPaths paths{other.File("user.db"), other.File("classes.db")};
  registry_ = std::make_unique<platform::PosixRegistry>(paths);
  ASSERT_TRUE(Import(user, &error)) << error;
  EXPECT_EQ(Export(kHKeyCurrentUser, u"Software\\VYN\\Tarvo.Network\\Sys"), user);
}

TEST_F(RegFileTest, BadLineImportsNothingAndNamesTheLine) {
  struct Case {
    const char* body;  // after the header line and a blank line
    int line;
  } cases[] = {
      {"[HKEY_CURRENT_USER\\A]\n\"v\"=dword:1\n\"w\"=dword:123456789\n", 5},
      {"[HKEY_CURRENT_USER\\A]\n\"v\"=\"unterminated\n", 4},
      {"[HKEY_CURRENT_USER\\A]\n\"v\"=hex:0g\n", 4},
      {"[HKEY_CURRENT_USER\\A]\n\"v\"=hex:01,\\\n", 4},
      {"[HKEY_LOCAL_MACHINE\\A]\n", 3},
      {"[HKEY_CURRENT_USER\\A\n", 3},
      {"[HKEY_CURRENT_USER\\A\\\\B]\n", 3},
      {"\"v\"=dword:1\n[HKEY_CURRENT_USER\\A]\n", 3},
      {"[HKEY_CURRENT_USER\\A]\nv=dword:1\n", 4},
      {"[HKEY_CURRENT_USER\\A]\n\"v\"=hex(7:00\n", 4},
      {"[-HKEY_CURRENT_USER\\A]\n\"v\"=dword:1\n", 4},
      {"[HKEY_CURRENT_USER\\A]\n\n\n\n\n\n\"ok\"=\"1\"\n\"v\" dword:1\n", 10},
  };
  for (const Case& c : cases) {
    std::string text = std::string("Windows Registry Editor Version 5.00\n\n") + c.body;
    std::string error;
    EXPECT_FALSE(Import(text, &error)) << c.body;
    EXPECT_NE(error.find("line " + std::to_string(c.line) + ":"), std::string::npos)
        << c.body << " -> " << error;
    RegKeyListing listing;
    EXPECT_EQ(Read(kHKeyCurrentUser, u"A", &listing), kErrorFileNotFound) << c.body;
  }
  std::string error;
  const char kNulInName[] =
      "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\A\\B\0C]\n";
  EXPECT_FALSE(Import(std::string(kNulInName, sizeof kNulInName - 1), &error));
  EXPECT_NE(error.find("line 3: a key name cannot hold a NUL"), std::string::npos) << error;
  EXPECT_FALSE(Import("REGEDIT5\n[HKEY_CURRENT_USER\\A]\n", &error));
  EXPECT_NE(error.find("line 1:"), std::string::npos) << error;
  EXPECT_FALSE(Import("", &error));
}

TEST_F(RegFileTest, DeletionsOfKeysAndValues) {
  std::string error;
  ASSERT_TRUE(Import(kAllTypes, &error)) << error;
  ASSERT_TRUE(
      Import("Windows Registry Editor Version 5.00\n"
             "[HKEY_CURRENT_USER\\Software\\VYN\\Tarvo.Network\\Sys]\n"
             "\"count\"=-\n\"NeverThere\"=-\n"
             "[-HKEY_CURRENT_USER\\Software\\VYN\\Tarvo.Network\\Sys\\Child]\n"
             "[-HKEY_CURRENT_USER\\Software\\Nothing\\Here]\n"
             "[-HKEY_CLASSES_ROOT\\CLSID]\n",
             &error))
      << error;
  RegKeyListing listing;
  ASSERT_EQ(Read(kHKeyCurrentUser, u"Software\\VYN\\Tarvo.Network\\Sys", &listing), kErrorSuccess);
  EXPECT_TRUE(listing.subkeys.empty());
  EXPECT_EQ(listing.values.size(), 7u);
  for (const auto& v : listing.values) EXPECT_NE(v.name, u"Count");
  EXPECT_EQ(Read(kHKeyClassesRoot, u"CLSID\\Plugin", &listing), kErrorFileNotFound);
  // Deletions persist: a new process sees them.
  registry_ = Open();
  EXPECT_EQ(Read(kHKeyCurrentUser, u"Software\\VYN\\Tarvo.Network\\Sys\\Child", &listing),
            kErrorFileNotFound);
}

// The cache's keys live in a hive of their own, mounted below the client's
// configuration: an import writes across the mount, an export shows one
// tree, and deleting a tree above the mount empties the hive below it.
TEST_F(RegFileTest, TreesAcrossTheCacheHivesMountPoint) {
  const char kApp[] = "HKEY_CURRENT_USER\\Software\\VYN\\Tarvo.Network\\Application_Administration";
  std::string error;
  ASSERT_TRUE(Import(std::string("Windows Registry Editor Version 5.00\n[") + kApp +
                         "\\HostVals]\n\"Activate\"=\"1\"\n[" + kApp +
                         "\\HostVals\\SYS1\\JOE]\n\"F1\"=hex:01\n",
                     &error))
      << error;
  std::string tree =
      Export(kHKeyCurrentUser, u"Software\\VYN\\Tarvo.Network\\Application_Administration");
  EXPECT_NE(std::string::npos, tree.find("HostVals\\SYS1\\JOE]\n\"F1\"=hex:01")) << tree;
  EXPECT_NE(std::string::npos, tree.find("\"Activate\"=\"1\"")) << tree;
  ASSERT_TRUE(
      Import(std::string("Windows Registry Editor Version 5.00\n[-") + kApp + "]\n", &error))
      << error;
  RegKeyListing listing;
  EXPECT_EQ(kErrorFileNotFound,
            Read(kHKeyCurrentUser, u"Software\\VYN\\Tarvo.Network\\Application_Administration",
                 &listing));
  // Nothing is left in the hive either.
  ASSERT_TRUE(Import(
      std::string("Windows Registry Editor Version 5.00\n[") + kApp + "\\HostVals]\n", &error));
  ASSERT_EQ(kErrorSuccess,
            Read(kHKeyCurrentUser,
                 u"Software\\VYN\\Tarvo.Network\\Application_Administration\\HostVals", &listing));
  EXPECT_TRUE(listing.subkeys.empty());
  EXPECT_TRUE(listing.values.empty());
}

TEST_F(RegFileTest, Regedit4AndUtf16Files) {
  std::string error;
  // REGEDIT4 holds expandable and multi strings as narrow bytes.
  ASSERT_TRUE(
      Import("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Four]\r\n\"s\"=\"abc\"\r\n"
             "\"e\"=hex(2):25,41,25,00\r\n",
             &error))
      << error;
  RegKeyListing listing;
  ASSERT_EQ(Read(kHKeyCurrentUser, u"Four", &listing), kErrorSuccess);
  ASSERT_EQ(listing.values.size(), 2u);
  EXPECT_EQ(listing.values[0].data, (std::vector<BYTE>{'a', 0, 'b', 0, 'c', 0, 0, 0}));
  EXPECT_EQ(listing.values[1].data, (std::vector<BYTE>{'%', 0, 'A', 0, '%', 0, 0, 0}));

  // What regedit writes by default: UTF-16LE with a byte-order mark.
  std::u16string text =
      u"\uFEFFWindows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Wide]\r\n"
      u"\"n\u00e4me\"=\"\u20ac\"\r\n";
  std::string bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xff));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  ASSERT_TRUE(Import(bytes, &error)) << error;
  ASSERT_EQ(Read(kHKeyCurrentUser, u"wide", &listing), kErrorSuccess);
  ASSERT_EQ(listing.values.size(), 1u);
  EXPECT_EQ(listing.values[0].name, u"n\u00e4me");
  EXPECT_EQ(listing.values[0].data, (std::vector<BYTE>{0xac, 0x20, 0, 0}));

  // A UTF-16 file cut in the middle of a character is refused.
  bytes.pop_back();
  EXPECT_FALSE(Import(bytes, &error));
}

}  // namespace
}  // namespace zvt::tools
