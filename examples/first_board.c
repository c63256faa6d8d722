/* The whole life of a board session through the public API alone: list the boards, open the
 * first, load firmware into it, stream a few MiB and report the rate, close. The same source
 * builds against the native library (first_board) and the simulated one (first_board_sim).
 *
 *   first_board FIRMWARE.hex [MIB]
 */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "quorix/quorix.h"

enum { kChunk = 256 * 1024 };

static double Seconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

static int Fail(const char* what, int status) {
  fprintf(stderr, "first_board: %s failed with status %d\n", what, status);
  return 1;
}

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: first_board FIRMWARE.hex [MIB]\n");
    return 2;
  }
  const long mebibytes = argc == 3 ? strtol(argv[2], NULL, 10) : 4;
  if (mebibytes <= 0 || mebibytes > 4096) {
    fprintf(stderr, "first_board: MIB must be between 1 and 4096\n");
    return 2;
  }

  int32_t count = 0;
  int status = QuorixCountDevices(&count);
  if (status != QUORIX_OK) return Fail("listing the boards", status);
  printf("%d board%s found\n", (int)count, count == 1 ? "" : "s");
  for (int32_t i = 0; i < count; ++i) {
    const char* serial = QuorixGetDeviceSerialNumber(i);
    printf("  %d  %s\n", (int)i, serial != NULL ? serial : "(no serial number)");
  }
  if (count == 0) {
    fprintf(stderr, "first_board: no board to open\n");
    return 1;
  }

  QuorixHandle device = NULL;
  status = QuorixOpenDevice(0, &device);
  if (status != QUORIX_OK) return Fail("opening board 0", status);

  status = QuorixLoadFirmware(device, argv[1]);
  if (status != QUORIX_OK) {
    QuorixCloseDevice(device);
    return Fail("loading the firmware", status);
  }
  printf("firmware %s loaded\n", argv[1]);

  unsigned char* chunk = malloc(kChunk);
  if (chunk == NULL) {
    QuorixCloseDevice(device);
    return Fail("allocating the buffer", QUORIX_ERR_FAILED);
  }
  const long long total = (long long)mebibytes << 20;
  const double start = Seconds();
  for (long long done = 0; status == QUORIX_OK && done < total; done += kChunk)
    status = QuorixReadDevice(device, kChunk, chunk);
  const double elapsed = Seconds() - start;
  free(chunk);
  if (status != QUORIX_OK) {
    QuorixCloseDevice(device);
    return Fail("reading", status);
  }
  printf("streamed %ld MiB in %.3f s: %.1f MiB/s\n", mebibytes, elapsed,
         (double)mebibytes / elapsed);

  status = QuorixCloseDevice(device);
  if (status != QUORIX_OK) return Fail("closing", status);
  printf("closed\n");
  return 0;
}
