/* Opens the first board and uses its services: port D, the FPGA mode, the EEPROM's
 * startup-command area, a stored startup command and, given an image file, a firmware load.
 * Usage: board_tour [FIRMWARE.hex] */
#include <stdio.h>
#include <string.h>

#include "quorix/quorix.h"

static int Check(const char* what, int status) {
  if (status != QUORIX_OK) fprintf(stderr, "board_tour: %s failed (status %d)\n", what, status);
  return status == QUORIX_OK;
}

int main(int argc, char** argv) {
  QuorixHandle device = NULL;
  if (!Check("open", QuorixOpenDevice(0, &device))) return 1;
  int ok = 1;

  const uint8_t walk[] = {0x01, 0x02, 0x04, 0x08};
  uint8_t outputs = 0;
  ok = ok && Check("port D enable", QuorixSetPortDOutputEnable(device, 0xFF));
  ok = ok && Check("port D sequence", QuorixSetPortDOutputsExt(device, sizeof walk, walk));
  ok = ok && Check("port D read-back", QuorixGetPortDOutputs(device, &outputs));
  ok = ok && Check("FPGA mode", QuorixSetConfFpgaMode(device, 1));
  if (ok)
    printf("port D outputs 0x%02X after a walk of %u bytes\n", outputs, (unsigned)sizeof walk);

  /* The chain the library follows: area flag at 0x1FFD, base B at 0x1FF8, S at B + 7. */
  uint8_t block[4], word[2];
  ok = ok && Check("EEPROM read", QuorixReadEprom(device, 1, 0x1FFC, 4, block));
  ok = ok && Check("EEPROM read", QuorixReadEprom(device, 1, 0x1FF8, 2, word));
  const uint16_t base = (uint16_t)(word[0] | word[1] << 8);
  ok = ok && Check("EEPROM read", QuorixReadEprom(device, 1, (uint16_t)(base + 7), 2, word));
  const uint16_t at = (uint16_t)(word[0] | word[1] << 8);
  if (ok)
    printf("startup area %s, base 0x%04X, command at 0x%04X, room for %d bytes\n",
           block[1] != 0 ? "present" : "absent", base, at, at < 8173 ? 8172 - at : 0);

  const char command[] = "mode 1; stream";
  ok = ok && Check("startup command", QuorixSetStartupCommand(device, (uint16_t)strlen(command),
                                                              (const uint8_t*)command));
  uint8_t stored[2 + sizeof command] = {0};
  ok = ok &&
       Check("EEPROM read", QuorixReadEprom(device, 1, at, (uint8_t)(2 + strlen(command)), stored));
  if (ok)
    printf("stored startup command: %u bytes \"%s\"\n", stored[0] | stored[1] << 8,
           (const char*)stored + 2);

  if (ok && argc > 1 && Check("firmware load", QuorixLoadFirmware(device, argv[1])))
    printf("firmware %s loaded, CPU released\n", argv[1]);
  else if (argc > 1)
    ok = 0;

  Check("close", QuorixCloseDevice(device));
  return ok ? 0 : 1;
}
