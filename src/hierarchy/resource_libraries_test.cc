// Where providers' resource libraries are found, which library is current
// while their declarations are read, and how declaration messages are
// composed.
#include "hierarchy/resource_libraries.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "services/resource_context.h"
#include "testing/declarations.h"

namespace zvt {
namespace {

namespace fs = std::filesystem;
using testing::kNonPlugins;
using testing::kPlugins;

class ResourceLibrariesTest : public testing::DeclarationsTest {
 protected:
  // Puts a copy of the sample resource library (string 1 is "First string")
  // at `path` below the temporary directory; returns its full path.
  std::string PlaceLibrary(const std::string& path) {
    std::string full = dir_.File(path);
    fs::create_directories(fs::path(full).parent_path());
    fs::copy_file(platform::ModuleDirectory() + "zvtrs_sample.dll", full);
    return full;
  }
  ClientFunctionProvider Resolve(bool plug_in, const std::string& name) {
    ClientFunctionProvider provider;
    provider.name = std::u16string(name.begin(), name.end());
    resolveProviderResources(*getClientFunctionList(plug_in), &provider);
    return provider;
  }
  // The first string of the library that loading `provider` makes current.
  std::u16string LoadedFirstString(bool plug_in, const ClientFunctionProvider& provider) {
    HMODULE before = CurrentResourceLibrary();
    HMODULE previous = loadProviderResources(*getClientFunctionList(plug_in), provider);
    EXPECT_EQ(before, previous);
    char16_t text[32] = {};
    int n = CurrentServices().modules->LoadStringW(CurrentResourceLibrary(), 1, text, 32);
    SetCurrentResourceLibrary(previous);
    return std::u16string(text, n);
  }
  static std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }
};

TEST_F(ResourceLibrariesTest, PluginLibrariesBelowOrBesideTheInstallDirectory) {
  PlaceLibrary("client/bin/Acme.Below/below.dll");
  PlaceLibrary("client/share/Acme.Beside/beside.dll");
  Import(std::string("[") + kPlugins + "\\Acme.Below]\n\"AIMRIDLL\"=\"below.dll\"\n\n[" + kPlugins +
         "\\Acme.Beside]\n\"AIMRIDLL\"=\"beside.dll\"\n");

  ClientFunctionProvider below = Resolve(true, "Acme.Below");
  EXPECT_EQ(u"below.dll", below.resourceLibrary);
  EXPECT_EQ(U16(install_ + "Acme.Below/"), below.resourceDirectory);
  EXPECT_EQ(u"First string", LoadedFirstString(true, below));

  ClientFunctionProvider beside = Resolve(true, "Acme.Beside");
  EXPECT_EQ(U16(dir_.File("client/share/Acme.Beside/")), beside.resourceDirectory);
  EXPECT_EQ(u"First string", LoadedFirstString(true, beside));
  EXPECT_EQ(u"", Resolve(true, "Acme.Nowhere").resourceDirectory);
  EXPECT_TRUE(Messages().empty());
}

TEST_F(ResourceLibrariesTest, PluginRegistrationNamesTheLibrary) {
  std::string nls = PlaceLibrary("plugins/Acme/Texts.Dll");
  fs::create_directories(install_ + "Acme.Other");
  Import(std::string("[") + kPlugins + "\\Acme.Nls]\n\n[" + kPlugins + "\\Acme.Other]\n\n" +
         "[HKEY_CLASSES_ROOT\\VYN.Tarvo.Network\\3RD PARTY EXTENSIONS\\Acme.Nls]\n\"NLS\"=\"" +
         nls + "\"\n\n[HKEY_CLASSES_ROOT\\VYN.Tarvo.Network\\3RD PARTY EXTENSIONS\\Acme.Other]\n" +
         "\"NLS\"=\"texts.txt\"\n");

  // A full path is split into directory and file name, both in upper case.
  ClientFunctionProvider registered = Resolve(true, "Acme.Nls");
  std::u16string upper;
  for (char c : nls) upper.push_back(c >= 'a' && c <= 'z' ? c - 32 : c);
  EXPECT_EQ(upper.substr(upper.rfind(u'/') + 1), registered.resourceLibrary);
  EXPECT_EQ(upper.substr(0, upper.rfind(u'/') + 1), registered.resourceDirectory);
  EXPECT_EQ(u"First string", LoadedFirstString(true, registered));

  // Another extension gives no file name: the load of the bare directory
  // fails and is reported.
  ClientFunctionProvider other = Resolve(true, "Acme.Other");
  EXPECT_EQ(u"", other.resourceLibrary);
  EXPECT_EQ(U16(install_ + "Acme.Other/"), other.resourceDirectory);
  (void)LoadedFirstString(true, other);
  EXPECT_EQ((std::vector<std::string>{"The resource library " + install_ +
                                      "Acme.Other/ of the function provider Acme.Other could "
                                      "not be loaded. Its functions are read without their "
                                      "texts."}),
            Messages());
}

TEST_F(ResourceLibrariesTest, NonPluginLibrariesAndTheOptionalLibrary) {
  PlaceLibrary("client/bin/own.dll");
  std::string elsewhere = PlaceLibrary("elsewhere/lib/their.dll");
  Import(std::string("[") + kNonPlugins + "\\Acme.Own]\n\"AIMRIDLL\"=\"own.dll\"\n\n[" +
         kNonPlugins + "\\Acme.Their]\n\"AIMRIDLL\"=\"their.dll\"\n\"MRIDLLPATH\"=\"" +
         dir_.File("elsewhere/lib/") + "\"\n\n[" + kNonPlugins +
         "\\Acme.Optional]\n\"AIMRIDLL\"=\"ZvtOptRs.DLL\"\n");

  ClientFunctionProvider own = Resolve(false, "Acme.Own");
  EXPECT_EQ(u"", own.resourceDirectory);  // the install directory is used
  EXPECT_EQ(u"First string", LoadedFirstString(false, own));
  ClientFunctionProvider their = Resolve(false, "Acme.Their");
  EXPECT_EQ(U16(dir_.File("elsewhere/lib/")), their.resourceDirectory);
  EXPECT_EQ(u"First string", LoadedFirstString(false, their));
  // The optional library may be missing, in any letter case, silently.
  EXPECT_EQ(u"", LoadedFirstString(false, Resolve(false, "Acme.Optional")));
  EXPECT_TRUE(Messages().empty());
}

TEST_F(ResourceLibrariesTest, MessagesAndTheirInserts) {
  HMODULE current = CurrentResourceLibrary();
  // Two inserts replace %1 and %2 only; %3 stays as it is.
  EXPECT_EQ(0u, reportDefinitionMessage(16103, u"SeqNum", u"F%2"));
  // Three inserts go through the message formatting.
  EXPECT_EQ(0u, reportDefinitionMessage(16109, u"G", u"F", u"Acme.X"));
  // One insert replaces %1 only.
  EXPECT_EQ(0u, reportDefinitionMessage(16108, u"F"));
  // A message without text is not written; its number comes back.
  EXPECT_EQ(16199u, reportDefinitionMessage(16199, u"F"));
  EXPECT_EQ(current, CurrentResourceLibrary());
  EXPECT_EQ((std::vector<std::string>{
                "The value SeqNum of function F%2 of provider %3 has the wrong type. The function "
                "was ignored.",
                "The container G of function F of provider Acme.X is not a group. The function "
                "was ignored.",
                "Function F of provider %2 has a function type other than 0 (item), 1 (group) or "
                "2 (root). The function was ignored."}),
            Messages());
}

}  // namespace
}  // namespace zvt
