// The Win32 binding against the rules the library relies on, on Windows
// itself (or Wine): the registry service's client root, buffer and
// enumeration rules, named mutexes shared by name and abandoned by a dead
// owner thread, and conversion in the thread's code page.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/win32/win32_clock.h"
#include "platform/win32/win32_modules.h"
#include "platform/win32/win32_registry.h"
#include "platform/win32/win32_sync.h"
#include "platform/win32/win32_text.h"

// HKEY_CURRENT_USER names the Win32 type HKEY, which zvt's own shadows below.
static ::HKEY NativeUserRoot() { return HKEY_CURRENT_USER; }

namespace zvt::platform {
namespace {

class Win32RegistryTest : public ::testing::Test {
 protected:
  // Each run works below a key of its own, removed afterwards.
  Win32RegistryTest()
      : root_(u"Software\\VYN\\Tarvo.Network.Test" +
              std::u16string(1, u'0' + GetCurrentProcessId() % 10)),
        registry_(root_) {}
  ~Win32RegistryTest() override {
    ::RegDeleteTreeW(NativeUserRoot(), reinterpret_cast<LPCWSTR>(root_.c_str()));
  }

  std::u16string root_;
  Win32Registry registry_;
};

TEST_F(Win32RegistryTest, PathsBelowTheCurrentUserLieUnderTheClientsKey) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(kErrorSuccess,
            registry_.CreateRegKeyEx(kHKeyCurrentUser, u"Application_Administration\\HostVals", 0,
                                     nullptr, 0, kKeyAllAccess, nullptr, &key, &disposition));
  EXPECT_EQ(kRegCreatedNewKey, disposition);
  const BYTE stamp[8] = {0, 1, 2, 3, 4, 5, 6, 7};
  ASSERT_EQ(kErrorSuccess, registry_.RegSetValueExW(key, u"##RepTS", 0, kRegBinary, stamp, 8));
  registry_.RegCloseKey(key);

  // The same value, seen through the plain Win32 path.
  const std::u16string full = root_ + u"\\Application_Administration\\HostVals";
  BYTE read[8] = {};
  ::DWORD size = sizeof read, type = 0;
  ASSERT_EQ(ERROR_SUCCESS, ::RegGetValueW(NativeUserRoot(), reinterpret_cast<LPCWSTR>(full.c_str()),
                                          L"##RepTS", RRF_RT_REG_BINARY, &type, read, &size));
  EXPECT_EQ(REG_BINARY, type);
  EXPECT_EQ(0, memcmp(stamp, read, 8));

  // Buffer rules: too small is ERROR_MORE_DATA with the size needed.
  ASSERT_EQ(kErrorSuccess,
            registry_.OpenRegKeyEx(kHKeyCurrentUser, u"application_administration\\HOSTVALS", 0,
                                   kKeyRead, &key));
  BYTE small[4];
  DWORD small_size = sizeof small;
  EXPECT_EQ(kErrorMoreData,
            registry_.RegQueryValueExW(key, u"##RepTS", nullptr, nullptr, small, &small_size));
  EXPECT_EQ(8u, small_size);
  registry_.RegCloseKey(key);

  HKEY missing = nullptr;
  EXPECT_EQ(kErrorFileNotFound,
            registry_.OpenRegKeyEx(kHKeyCurrentUser, u"NoSuchKey", 0, kKeyRead, &missing));
  EXPECT_EQ(nullptr, missing);
}

TEST_F(Win32RegistryTest, EnumerationEndsWithNoMoreItemsAndKeysDeleteWhenEmpty) {
  HKEY system = nullptr;
  ASSERT_EQ(kErrorSuccess, registry_.CreateRegKeyEx(kHKeyCurrentUser, u"Cache\\SYS1", 0, nullptr, 0,
                                                    kKeyAllAccess, nullptr, &system, nullptr));
  for (const char16_t* user : {u"JOE", u"ANN"}) {
    HKEY k = nullptr;
    ASSERT_EQ(kErrorSuccess, registry_.CreateRegKeyEx(system, user, 0, nullptr, 0, kKeyAllAccess,
                                                      nullptr, &k, nullptr));
    const BYTE one = 1;
    ASSERT_EQ(kErrorSuccess,
              registry_.RegSetValueExW(k, u"QVYN_XD1_ZENTA", 0, kRegBinary, &one, 1));
    registry_.RegCloseKey(k);
  }
  std::vector<std::u16string> names;
  for (DWORD i = 0;; ++i) {
    char16_t name[256];
    DWORD chars = 256;
    LONG rc = registry_.RegEnumKeyExW(system, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (rc != kErrorSuccess) {
      EXPECT_EQ(kErrorNoMoreItems, rc);
      break;
    }
    names.emplace_back(name, chars);
  }
  EXPECT_EQ((std::vector<std::u16string>{u"ANN", u"JOE"}), names);

  EXPECT_NE(kErrorSuccess, registry_.DeleteRegKey(kHKeyCurrentUser, u"Cache"))
      << "a key with subkeys stays";
  for (const char16_t* user : {u"JOE", u"ANN"})
    EXPECT_EQ(kErrorSuccess, registry_.DeleteRegKey(system, user));
  registry_.RegCloseKey(system);
  EXPECT_EQ(kErrorSuccess, registry_.DeleteRegKey(kHKeyCurrentUser, u"Cache\\SYS1"));
}

TEST(Win32SyncTest, NamedMutexesAreSharedByNameAndAbandonedByADeadOwner) {
  Win32Sync sync;
  LONG error = 1;
  HANDLE a = sync.CreateMutexW(u"zvt-test-mutex", 0, &error);
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(kErrorSuccess, error);
  HANDLE b = sync.CreateMutexW(u"zvt-test-mutex", 0, &error);
  ASSERT_NE(nullptr, b);
  EXPECT_EQ(kErrorSuccess, error) << "opening an existing mutex is a success, as on POSIX";

  // The two handles are one mutex. A thread that ends while it owns it
  // leaves it abandoned: the next waiter gets WAIT_ABANDONED once, and owns it.
  std::thread owner([&] { EXPECT_EQ(kWaitObject0, sync.WaitForSingleObject(a, kInfinite)); });
  owner.join();
  EXPECT_EQ(kWaitAbandoned, sync.WaitForSingleObject(b, 1000));
  DWORD other = 0;
  std::thread waiter([&] { other = sync.WaitForSingleObject(a, 50); });
  waiter.join();
  EXPECT_EQ(kWaitTimeout, other);
  EXPECT_NE(0, sync.ReleaseMutex(b));
  EXPECT_EQ(kWaitObject0, sync.WaitForSingleObject(a, 0));
  EXPECT_NE(0, sync.ReleaseMutex(a));
  sync.CloseHandle(a);
  sync.CloseHandle(b);

  // Unnamed mutexes are two mutexes.
  HANDLE c = sync.CreateMutexW(nullptr, 1, nullptr);
  HANDLE d = sync.CreateMutexW(u"", 0, nullptr);
  std::thread third([&] {
    other = sync.WaitForSingleObject(d, 0);
    sync.ReleaseMutex(d);
  });
  third.join();
  EXPECT_EQ(kWaitObject0, other);
  sync.ReleaseMutex(c);
  sync.CloseHandle(c);
  sync.CloseHandle(d);
}

TEST(Win32TextTest, ConvertsInTheGivenCodePage) {
  Win32Text text;
  char16_t out[16];
  LONG error = 1;
  EXPECT_EQ(4, text.MultiByteToWideChar(CP_UTF8, 0, "a\xC3\xA9\xE2\x82\xAC", -1, out, 16, &error));
  EXPECT_EQ(u"a\u00e9\u20ac", std::u16string(out));
  // The thread's ANSI code page handles plain ASCII whatever it is.
  EXPECT_EQ(7, text.MultiByteToWideChar(kCpThreadAcp, 0, "FUNC_ID", 7, out, 16, &error));
  EXPECT_EQ(u"FUNC_ID", std::u16string(out, 7));
  EXPECT_EQ(0, text.MultiByteToWideChar(CP_UTF8, 0, "abcdef", -1, out, 3, &error));
  EXPECT_EQ(static_cast<LONG>(ERROR_INSUFFICIENT_BUFFER), error);
  EXPECT_EQ(7, text.MultiByteToWideChar(CP_UTF8, 0, "abcdef", -1, nullptr, 0, &error))
      << "the size needed";
}

// The test module lies beside the test program, which holds this code.
TEST(Win32ModulesTest, OrdinalsNamesAndStringsOfARealModule) {
  Win32Modules modules;
  LONG error = 1;
  HMODULE m = modules.LoadLibraryW(u"ORDINAL_MODULE.DLL", &error);  // names ignore case
  ASSERT_NE(nullptr, m);
  EXPECT_EQ(kErrorSuccess, error);
  using Entry = int (*)();
  auto one = reinterpret_cast<Entry>(modules.GetProcAddressByOrdinal(m, 1));
  auto sixteen = reinterpret_cast<Entry>(modules.GetProcAddressByOrdinal(m, 16));
  ASSERT_NE(nullptr, one);
  ASSERT_NE(nullptr, sixteen);
  EXPECT_EQ(1, one());
  EXPECT_EQ(16, sixteen());
  EXPECT_EQ(reinterpret_cast<void*>(one), modules.GetProcAddress(m, "zvt_named_entry"));
  EXPECT_EQ(nullptr, modules.GetProcAddress(m, "zvt_sixteen")) << "16 has no name";
  for (unsigned ordinal = 2; ordinal <= 15; ++ordinal)
    EXPECT_EQ(nullptr, modules.GetProcAddressByOrdinal(m, ordinal)) << ordinal;

  char16_t text[64];
  ASSERT_GT(modules.LoadStringW(m, 5634, text, 64), 0);
  EXPECT_EQ(u"Function %1 is not defined: \u00e9t\u00e9", std::u16string(text));
  EXPECT_EQ(3, modules.LoadStringW(m, 5635, text, 4)) << "cut to the buffer, terminated";
  EXPECT_EQ(u"Sec", std::u16string(text));
  EXPECT_EQ(0, modules.LoadStringW(m, 9999, text, 64));
  EXPECT_EQ(0, modules.LoadStringW(m, 5635, text, 0));
  EXPECT_NE(0, modules.FreeLibrary(m));

  EXPECT_EQ(nullptr, modules.LoadLibraryW(u"no_such_module.dll", &error));
  EXPECT_EQ(kErrorModNotFound, error);
  EXPECT_FALSE(modules.PathExists(u"C:\\no\\such\\path"));
  EXPECT_TRUE(modules.PathExists(u"C:\\windows"));
}

// The resource libraries built from the text files: the library's own
// messages, the program call library's, and the sample with the characters
// a resource script treats specially.
TEST(Win32ModulesTest, ResourceLibrariesHoldTheirTextFilesStrings) {
  Win32Modules modules;
  auto text = [&](const char16_t* library, UINT id) {
    HMODULE m = modules.LoadLibraryW(library, nullptr);
    if (m == nullptr) return std::u16string(u"(not loaded)");
    char16_t buffer[256];
    std::u16string s(buffer, modules.LoadStringW(m, id, buffer, 256));
    modules.FreeLibrary(m);
    return s;
  };
  EXPECT_EQ(u"\u00dcn\u00efc\u00f6d\u00e9 and a tab:\tdone", text(u"zvtrs_sample.dll", 40000));
  EXPECT_EQ(u"A \"quoted\" word; [brackets] and a backslash: \\", text(u"zvtrs_sample.dll", 10));
  EXPECT_EQ(u"Last", text(u"zvtrs_sample.dll", 65535));
  EXPECT_EQ(
      u"The host could not answer a request for user %1 on system %2. The details follow; the "
      u"answer given may be out of date.",
      text(u"ZVTPGMRS.DLL", 16650));
  EXPECT_EQ(u"Provider %1 declares no root function. Its functions were ignored.",
            text(u"zvtadmrs.dll", 16104));
  EXPECT_EQ(u"ZENTA console", text(u"zvtadmrs.dll", 17001));

  // The user-group library names itself as the module of the message log's
  // texts; the shared dialogs export their host-error entry by name.
  HMODULE usrgp = modules.LoadLibraryW(u"zvtusrgp.dll", nullptr);
  ASSERT_NE(nullptr, usrgp);
  auto resource_handle =
      reinterpret_cast<void* (*)()>(modules.GetProcAddress(usrgp, "_Z19USGetResourceHandlev"));
  ASSERT_NE(nullptr, resource_handle);
  EXPECT_EQ(usrgp, resource_handle());
  EXPECT_EQ(u"Application Administration", text(u"zvtusrgp.dll", 5635));
  HMODULE share = modules.LoadLibraryW(u"zvtshare.dll", nullptr);
  ASSERT_NE(nullptr, share);
  EXPECT_NE(nullptr, modules.GetProcAddress(share, "AppAdminHostError"));
}

TEST(Win32ClockTest, TodayIsADayOfThisCentury) {
  LocalDay day = Win32Clock().Today();
  EXPECT_GE(day.years_since_1900, 100);
  EXPECT_GE(day.day_of_year, 0);
  EXPECT_LE(day.day_of_year, 365);
}

}  // namespace
}  // namespace zvt::platform
