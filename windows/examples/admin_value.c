/* admin_value: asks zvtappad.dll whether functions are denied to the user
 * signed on to a configured system, as a client component does.
 *
 *   admin_value SYSTEM FUNCTION...
 *
 * For each function it prints "FUNCTION VALUE RC" twice: once through the
 * exports linked with the import library (zvtUN_GetAdminValueEx, with a
 * system handle from zvtclient.dll), once through ordinal 16, which has no
 * name and is found with GetProcAddress. VALUE is 1 when the function is
 * denied, 0 when it is not; RC is 0 on success. Exits 1 when a call failed.
 *
 * Build with MSVC (x64 or x86 Native Tools prompt, in the SDK's directory):
 *   cl /I include examples\admin_value.c lib\zvtappad.lib lib\zvtclient.lib
 * or with MinGW-w64:
 *   x86_64-w64-mingw32-gcc -I include examples/admin_value.c -L lib -lzvtappad -lzvtclient
 */
#include <stdio.h>
#include <windows.h>

#include <zvtappad/zvtappad.h>
#include <zvtappad/zvtclient.h>

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s SYSTEM FUNCTION...\n", argv[0]);
    return 2;
  }
  /* The client services take UTF-16 names; Windows's wide characters are. */
  wchar_t system[256];
  if (MultiByteToWideChar(CP_ACP, 0, argv[1], -1, system, 256) == 0) {
    fprintf(stderr, "the system name is too long\n");
    return 2;
  }
  uint64_t handle = 0;
  uint32_t rc = zvtsvc_GetSystemHandle((const char16_t*)system, (const char16_t*)L"admin_value",
                                       &handle);
  if (rc != 0) {
    fprintf(stderr, "no system handle for %s (code %u)\n", argv[1], (unsigned)rc);
    return 1;
  }
  /* Ordinal 16 from the module the import library already loaded. */
  HMODULE library = GetModuleHandleA("zvtappad.dll");
  zvtUN_GetAdminValueBypass_t bypass =
      library == NULL ? NULL
                      : (zvtUN_GetAdminValueBypass_t)(void*)GetProcAddress(
                            library, MAKEINTRESOURCEA(ZVTAPPAD_ORDINAL_GET_ADMIN_VALUE_BYPASS));
  if (bypass == NULL) {
    fprintf(stderr, "zvtappad.dll has no ordinal 16\n");
    return 1;
  }
  int failed = 0;
  for (int i = 2; i < argc; ++i) {
    uint32_t value = 9;
    rc = zvtUN_GetAdminValueEx(&handle, argv[i], &value);
    printf("%s %u %u\n", argv[i], (unsigned)value, (unsigned)rc);
    failed |= rc != 0;
    value = 9;
    rc = bypass(&handle, argv[i], &value);
    printf("%s %u %u (ordinal 16)\n", argv[i], (unsigned)value, (unsigned)rc);
    failed |= rc != 0;
  }
  return failed ? 1 : 0;
}
