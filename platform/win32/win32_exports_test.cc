// zvtappad.dll as a Windows program sees it: the four names with their
// ordinals, ordinal 16 reachable by ordinal only, ordinals 3 to 13 absent,
// and a first call through the default binding on the platform.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>

namespace {

using GetAdminValue = uint32_t (*)(const char*, const char*, uint32_t*);
using GetAdminValueBypass = uint32_t (*)(const uint64_t*, const char*, uint32_t*);

// GetProcAddress gives a generic function pointer; the real type is known.
template <typename F>
F Entry(HMODULE dll, LPCSTR name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

TEST(Win32ExportsTest, TheExportTableAndAFirstCall) {
  HMODULE dll = LoadLibraryW(L"zvtappad.dll");
  ASSERT_NE(nullptr, dll);
  struct Named {
    const char* name;
    WORD ordinal;
  } named[] = {{"zvtUN_GetAdminValue", 1},
               {"zvtUN_GetAdminCacheState", 2},
               {"zvtUN_GetAdminValueEx", 14},
               {"zvtUN_GetAdminCacheStateEx", 15}};
  for (const Named& n : named) {
    FARPROC by_name = GetProcAddress(dll, n.name);
    ASSERT_NE(nullptr, by_name) << n.name;
    EXPECT_EQ(by_name, GetProcAddress(dll, MAKEINTRESOURCEA(n.ordinal))) << n.name;
  }
  EXPECT_NE(nullptr, GetProcAddress(dll, MAKEINTRESOURCEA(16)));
  EXPECT_EQ(nullptr, GetProcAddress(dll, "zvtappad_Ordinal16")) << "16 has no name";
  for (WORD ordinal = 3; ordinal <= 13; ++ordinal)
    EXPECT_EQ(nullptr, GetProcAddress(dll, MAKEINTRESOURCEA(ordinal))) << ordinal;
  EXPECT_EQ(nullptr, GetProcAddress(dll, MAKEINTRESOURCEA(17)));

  // A system the client does not know: 0 and nothing written, as specified.
  auto value_of = Entry<GetAdminValue>(dll, "zvtUN_GetAdminValue");
  uint32_t value = 7;
  EXPECT_EQ(0u, value_of("NO_SUCH_SYSTEM", "QVYN_XD1_ZENTA", &value));
  EXPECT_EQ(7u, value);
  EXPECT_EQ(0u, value_of("NO_SUCH_SYSTEM", "QVYN_XD1_ZENTA", nullptr));  // whatever the output
  auto bypass = Entry<GetAdminValueBypass>(dll, MAKEINTRESOURCEA(16));
  EXPECT_EQ(1u, bypass(nullptr, "QVYN_XD1_ZENTA", nullptr));
  FreeLibrary(dll);
}

}  // namespace
