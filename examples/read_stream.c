/* Opens the first board, reads 16 MiB from its bulk-IN stream and reports the rate. Against
 * the simulated library the stream is the counter pattern, which this program checks. */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "quorix/quorix.h"

enum { kChunk = 64 * 1024, kTotal = 16 * 1024 * 1024 };

static double Seconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

int main(void) {
  QuorixHandle device = NULL;
  int status = QuorixOpenDevice(0, &device);
  if (status != QUORIX_OK) {
    fprintf(stderr, "read_stream: could not open board 0 (status %d)\n", status);
    return 1;
  }
  unsigned char* chunk = malloc(kChunk);
  uint32_t expected = 0; /* the next word of the counter pattern */
  long gaps = 0;
  const double start = Seconds();
  for (long done = 0; status == QUORIX_OK && done < kTotal; done += kChunk) {
    status = QuorixReadDevice(device, kChunk, chunk);
    for (int i = 0; status == QUORIX_OK && i < kChunk; i += 4, ++expected) {
      const uint32_t word = (uint32_t)chunk[i] | (uint32_t)chunk[i + 1] << 8 |
                            (uint32_t)chunk[i + 2] << 16 | (uint32_t)chunk[i + 3] << 24;
      if (word != expected) {
        ++gaps;
        expected = word;
      }
    }
  }
  const double elapsed = Seconds() - start;
  free(chunk);
  QuorixCloseDevice(device);
  if (status != QUORIX_OK) {
    fprintf(stderr, "read_stream: read failed (status %d)\n", status);
    return 1;
  }
  printf("read %d MiB in %.3f s (%.1f MiB/s), %ld gap%s in the counter pattern\n",
         kTotal >> 20, elapsed, kTotal / 1048576.0 / elapsed, gaps, gaps == 1 ? "" : "s");
  return gaps == 0 ? 0 : 2;
}
