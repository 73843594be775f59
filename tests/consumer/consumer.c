/* A client component of the installed library: built against it with
 * pkg-config or find_package, it asks for an admin value of a system that is
 * not configured (the library answers 0 and leaves the value alone) and
 * checks the library's own failure for a missing output. */
#include <stdio.h>
#include <zvtappad/zvtappad.h>

int main(void) {
  uint32_t value = 77;
  if (zvtUN_GetAdminValue("NO-SUCH-SYSTEM", "QVYN_XD1_ZENTA", &value) != 0 || value != 77) {
    fprintf(stderr, "unexpected answer for an unknown system\n");
    return 1;
  }
  if (zvtUN_GetAdminValue("NO-SUCH-SYSTEM", "QVYN_XD1_ZENTA", NULL) == 0) {
    fprintf(stderr, "a missing output was accepted\n");
    return 1;
  }
  printf("consumer ok\n");
  return 0;
}
