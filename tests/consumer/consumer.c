/* A client component of the installed libraries, built against them with
 * pkg-config or find_package.
 *   consumer                      asks for a system that is not configured
 *                                 (0 and the value left alone, even without an
 *                                 output) and checks the library's failure for
 *                                 a missing output through a handle
 *   consumer SYSTEM FUNCTION N    asks by system name and through a system
 *                                 handle of the client (the Ex path); both
 *                                 must answer N */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zvtappad/zvtappad.h>
#include <zvtappad/zvtclient.h>

static int unconfigured(void) {
  uint32_t value = 77;
  if (zvtUN_GetAdminValue("NO-SUCH-SYSTEM", "QVYN_XD1_ZENTA", &value) != 0 || value != 77) {
    fprintf(stderr, "unexpected answer for an unknown system\n");
    return 1;
  }
  /* No handle for the name: 0 whatever the output pointer. */
  if (zvtUN_GetAdminValue("NO-SUCH-SYSTEM", "QVYN_XD1_ZENTA", NULL) != 0) {
    fprintf(stderr, "an unknown system failed with a missing output\n");
    return 1;
  }
  uint64_t handle = 1;
  if (zvtUN_GetAdminValueEx(&handle, "QVYN_XD1_ZENTA", NULL) == 0) {
    fprintf(stderr, "a missing output was accepted\n");
    return 1;
  }
  printf("consumer ok\n");
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 1) return unconfigured();
  if (argc != 4) {
    fprintf(stderr, "usage: consumer [SYSTEM FUNCTION EXPECTED]\n");
    return 2;
  }
  uint32_t expected = (uint32_t)strtoul(argv[3], NULL, 10);
  uint32_t by_name = 99, by_handle = 99, rc;
  if ((rc = zvtUN_GetAdminValue(argv[1], argv[2], &by_name)) != 0) {
    fprintf(stderr, "by name: rc %u\n", rc);
    return 1;
  }
  char16_t name[64] = {0};
  for (size_t i = 0; i < strlen(argv[1]) && i < 63; ++i) name[i] = (unsigned char)argv[1][i];
  const char16_t app[] = {'c', 'o', 'n', 's', 'u', 'm', 'e', 'r', 0};
  uint64_t handle = 0;
  if ((rc = zvtsvc_GetSystemHandle(name, app, &handle)) != 0) {
    fprintf(stderr, "system handle: rc %u\n", rc);
    return 1;
  }
  if ((rc = zvtUN_GetAdminValueEx(&handle, argv[2], &by_handle)) != 0) {
    fprintf(stderr, "through the handle: rc %u\n", rc);
    return 1;
  }
  if (by_name != expected || by_handle != expected) {
    fprintf(stderr, "%s %s: by name %u, through the handle %u, expected %u\n", argv[1], argv[2],
            by_name, by_handle, expected);
    return 1;
  }
  printf("%s %s: %u\n", argv[1], argv[2], by_name);
  return 0;
}
