/* Lists the boards with their serial numbers through the public API. Built against the
 * simulated library it lists the simulated board; the real library lists real boards. */
#include <stdio.h>

#include "quorix/quorix.h"

int main(void) {
  int32_t count = 0;
  int status = QuorixCountDevices(&count);
  if (status != QUORIX_OK) {
    fprintf(stderr, "list_boards: could not list the boards (status %d)\n", status);
    return 1;
  }
  printf("%d board%s found\n", (int)count, count == 1 ? "" : "s");
  for (int32_t i = 0; i < count; ++i) {
    const char* serial = QuorixGetDeviceSerialNumber(i);
    printf("  %d  %s\n", (int)i, serial != NULL ? serial : "(no serial number)");
  }
  return 0;
}
