// Module loading by bare name, ordinal lookup and string resources.
#include "platform/posix_modules.h"

#include <gtest/gtest.h>

#include "platform/paths.h"
#include "platform/utf.h"

namespace zvt::platform {
namespace {

TEST(ModulesTest, StringResourcesByNumber) {
  PosixModules modules;
  LONG error = 0;
  HMODULE rs = modules.LoadLibraryW(u"zvtrs_sample.dll", &error);
  ASSERT_NE(nullptr, rs) << "error " << error;

  char16_t buffer[64];
  EXPECT_EQ(12, modules.LoadStringW(rs, 1, buffer, 64));
  EXPECT_EQ(u"First string", std::u16string(buffer));
  EXPECT_EQ(u"\u00dcn\u00efc\u00f6d\u00e9 and a tab:\tdone",
            std::u16string(buffer, modules.LoadStringW(rs, 40000, buffer, 64)));
  EXPECT_EQ(3, modules.LoadStringW(rs, 1, buffer, 4));  // cut to the buffer, terminated
  EXPECT_EQ(u"Fir", std::u16string(buffer));
  EXPECT_EQ(0, modules.LoadStringW(rs, 3, buffer, 64));
  EXPECT_EQ(u'\0', buffer[0]);
  EXPECT_EQ(0, modules.LoadStringW(nullptr, 1, buffer, 64));

  // Loading again adds a reference; the module stays until freed as often.
  HMODULE again = modules.LoadLibraryW(u"zvtrs_sample.dll", nullptr);
  EXPECT_EQ(rs, again);
  EXPECT_TRUE(modules.FreeLibrary(again));
  EXPECT_EQ(4, modules.LoadStringW(rs, 65535, buffer, 64));
  EXPECT_TRUE(modules.FreeLibrary(rs));
}

TEST(ModulesTest, ProceduresByNameAndOrdinalFromTheModuleItself) {
  PosixModules modules;
  HMODULE m = modules.LoadLibraryW(u"zvt_ordinal_sample.dll", nullptr);
  ASSERT_NE(nullptr, m);
  using Entry = int (*)();
  auto named = reinterpret_cast<Entry>(modules.GetProcAddress(m, "zvt_named_entry"));
  ASSERT_NE(nullptr, named);
  EXPECT_EQ(1, named());
  auto sixteen = reinterpret_cast<Entry>(modules.GetProcAddressByOrdinal(m, 16));
  ASSERT_NE(nullptr, sixteen);
  EXPECT_EQ(16, sixteen());
  EXPECT_EQ(reinterpret_cast<void*>(named), modules.GetProcAddressByOrdinal(m, 1));
  for (unsigned ordinal = 2; ordinal <= 15; ++ordinal)
    EXPECT_EQ(nullptr, modules.GetProcAddressByOrdinal(m, ordinal)) << ordinal;
  EXPECT_EQ(nullptr, modules.GetProcAddressByOrdinal(m, 0x10010));
  // Definitions of the libraries it depends on are not its own.
  EXPECT_EQ(nullptr, modules.GetProcAddress(m, "malloc"));
  // A module without an ordinal table resolves no ordinal.
  HMODULE rs = modules.LoadLibraryW(u"zvtrs_sample.dll", nullptr);
  EXPECT_EQ(nullptr, modules.GetProcAddressByOrdinal(rs, 1));
  modules.FreeLibrary(rs);
  modules.FreeLibrary(m);
}

TEST(ModulesTest, MissingModulesAreReported) {
  PosixModules modules;
  LONG error = 0;
  EXPECT_EQ(nullptr, modules.LoadLibraryW(u"no-such-library.dll", &error));
  EXPECT_EQ(kErrorModNotFound, error);
  EXPECT_EQ(nullptr, modules.LoadLibraryW(u"C:\\Program Files\\x\\zvtrs_sample.dll", &error));
  EXPECT_EQ(nullptr, modules.LoadLibraryW(nullptr, &error));
  EXPECT_EQ(kErrorInvalidParameter, error);
}

// Libraries named in the registry by paths that differ from the files in
// letter case, or use backslashes, are found as they would be on Windows.
TEST(ModulesTest, PathsMatchIgnoringLetterCase) {
  PosixModules modules;
  std::u16string dir;
  ASSERT_TRUE(Utf8ToUtf16(ModuleDirectory(), &dir));
  std::u16string upper;
  for (char16_t c : dir + u"ZVTRS_SAMPLE.DLL")
    upper.push_back(c >= u'a' && c <= u'z' ? c - 0x20 : (c == u'/' ? u'\\' : c));
  EXPECT_TRUE(modules.PathExists(upper.c_str()));
  EXPECT_TRUE(modules.PathExists(dir.c_str()));
  HMODULE rs = modules.LoadLibraryW(upper.c_str(), nullptr);
  ASSERT_NE(nullptr, rs);
  char16_t buffer[16];
  EXPECT_EQ(12, modules.LoadStringW(rs, 1, buffer, 16));
  modules.FreeLibrary(rs);
  EXPECT_NE(nullptr, modules.LoadLibraryW(u"ZvtRs_Sample.dll", nullptr));
  EXPECT_FALSE(modules.PathExists((dir + u"zvtrs_sample.dl").c_str()));
  EXPECT_FALSE(modules.PathExists(u""));
  EXPECT_FALSE(modules.PathExists(nullptr));
}

}  // namespace
}  // namespace zvt::platform
