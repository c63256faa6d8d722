/* Reads two boards at once from one thread: poll() waits on both boards' data-ready handles and
 * on a timer that prints the progress every second, and each ready board is read as far as its
 * ring holds. Each board's stream is checked against the counter pattern; at the end the program
 * prints per board the bytes, the gaps in the pattern and the stream statistics. Linux only
 * (timerfd). Built against the native library (poll_boards) and the simulated one
 * (poll_boards_sim, which adds the second board itself).
 *
 *   poll_boards [MIB]      MiB to read from each board, 64 unless given
 */
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include "quorix/quorix.h"
#ifdef POLL_BOARDS_SIM
#include "quorix/quorix_sim.h"
#endif

enum { kBoards = 2, kChunk = 256 * 1024 };

struct Board {
  QuorixHandle device;
  char serial[64];
  QuorixNativeHandle ready;
  unsigned long long bytes;
  unsigned long long gaps;
  uint32_t expected; /* the next word of the counter pattern */
  uint32_t word;     /* the bytes of a word that a read split, so far */
  int word_bytes;
  double started, finished;
};

static double Seconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

/* Follows the counter pattern through the bytes read; a word out of turn is a gap. */
static void Check(struct Board* board, const unsigned char* data, uint32_t size) {
  for (uint32_t i = 0; i < size; ++i) {
    board->word |= (uint32_t)data[i] << (8 * board->word_bytes);
    if (++board->word_bytes < 4) continue;
    if (board->word != board->expected) ++board->gaps;
    board->expected = board->word + 1;
    board->word = 0;
    board->word_bytes = 0;
  }
  board->bytes += size;
}

static void Report(const struct Board* board, int index) {
  QuorixStreamStatistics stats;
  memset(&stats, 0, sizeof stats);
  stats.size = sizeof stats;
  const double seconds = board->finished - board->started;
  printf("board %d %s: %llu bytes in %.2f s (%.1f MB/s), %llu gap%s in the counter pattern\n",
         index, board->serial, board->bytes, seconds, (double)board->bytes / 1e6 / seconds,
         board->gaps, board->gaps == 1 ? "" : "s");
  if (QuorixGetStreamStatistics(board->device, &stats) == QUORIX_OK)
    printf("  statistics: %llu reads completed, %llu times without a read posted (%.1f ms, "
           "longest %.1f ms), ring full %llu times (%.1f ms)\n",
           (unsigned long long)stats.reads_completed, (unsigned long long)stats.gaps,
           stats.gap_total_us / 1000.0, stats.gap_longest_us / 1000.0,
           (unsigned long long)stats.ring_full, stats.ring_full_total_us / 1000.0);
}

int main(int argc, char** argv) {
  const long mebibytes = argc > 1 ? strtol(argv[1], NULL, 10) : 64;
  if (argc > 2 || mebibytes <= 0 || mebibytes > 65536) {
    fprintf(stderr, "usage: poll_boards [MIB]   (1 to 65536 MiB from each board)\n");
    return 2;
  }
  const unsigned long long total = (unsigned long long)mebibytes << 20;

  int32_t count = 0;
#ifdef POLL_BOARDS_SIM
  if (QuorixCountDevices(&count) == QUORIX_OK && count < kBoards)
    QuorixSimAddBoard("QX-SIM-0002", 0xDEAD, 0xBEEF);
#endif
  int status = QuorixCountDevices(&count);
  if (status != QUORIX_OK || count < kBoards) {
    fprintf(stderr, "poll_boards: needs two boards, found %d (status %d)\n", (int)count, status);
    return 1;
  }

  /* Queued reads: the library's thread keeps 8 reads of 256 KiB at each board while this one
   * waits in poll(), and the ready handle tells when a chunk is there. */
  const QuorixReadQueue queue = {8, kChunk, 16u << 20};
  struct Board boards[kBoards];
  memset(boards, 0, sizeof boards);
  struct pollfd waits[kBoards + 1];
  for (int i = 0; i < kBoards; ++i) {
    struct Board* board = &boards[i];
    status = QuorixOpenDeviceQueued(i, NULL, &queue, &board->device);
    if (status == QUORIX_OK) status = QuorixSetReadyThreshold(board->device, kChunk);
    if (status == QUORIX_OK) status = QuorixGetReadyHandle(board->device, &board->ready);
    if (status != QUORIX_OK) {
      fprintf(stderr, "poll_boards: could not open board %d for waiting (status %d)\n", i, status);
      for (int j = 0; j <= i; ++j)
        if (boards[j].device != NULL) QuorixCloseDevice(boards[j].device);
      return 1;
    }
    const char* serial = QuorixGetDeviceSerialNumber(i);
    snprintf(board->serial, sizeof board->serial, "%s", serial != NULL ? serial : "?");
    board->started = Seconds();
    waits[i].fd = board->ready;
    waits[i].events = POLLIN;
  }
  const int timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
  const struct itimerspec every_second = {{1, 0}, {1, 0}};
  timerfd_settime(timer, 0, &every_second, NULL);
  waits[kBoards].fd = timer;
  waits[kBoards].events = POLLIN;

  unsigned char* chunk = malloc(kChunk);
  int busy = kBoards;
  while (busy > 0 && status == QUORIX_OK) {
    if (poll(waits, kBoards + 1, -1) < 0) {
      if (errno == EINTR) continue;
      perror("poll_boards: poll");
      status = QUORIX_ERR_FAILED;
      break;
    }
    for (int i = 0; i < kBoards && status == QUORIX_OK; ++i) {
      struct Board* board = &boards[i];
      if (waits[i].fd < 0 || (waits[i].revents & POLLIN) == 0) continue;
      /* Ready: this much is held now, and a failure or unplug would be reported at once. */
      uint32_t held = 0;
      status = QuorixNumberOfBytesAvailable(board->device, &held);
      while (status == QUORIX_OK && held > 0 && board->bytes < total) {
        uint32_t size = held < kChunk ? held : kChunk;
        if (size > total - board->bytes) size = (uint32_t)(total - board->bytes);
        status = QuorixReadDevice(board->device, size, chunk);
        if (status == QUORIX_OK) Check(board, chunk, size);
        held -= size;
      }
      if (status != QUORIX_OK) {
        fprintf(stderr, "poll_boards: board %d failed with status %d after %llu bytes\n", i,
                status, board->bytes);
      } else if (board->bytes == total) {
        board->finished = Seconds();
        waits[i].fd = -1; /* poll() skips it from now on */
        --busy;
      }
    }
    if (waits[kBoards].revents & POLLIN) {
      uint64_t ticks = 0;
      if (read(timer, &ticks, sizeof ticks) == sizeof ticks)
        printf("%.0f s: board 0 %llu MiB, board 1 %llu MiB\n", Seconds() - boards[0].started,
               boards[0].bytes >> 20, boards[1].bytes >> 20);
    }
  }
  free(chunk);
  close(timer);

  unsigned long long gaps = 0;
  for (int i = 0; i < kBoards; ++i) {
    if (status == QUORIX_OK) Report(&boards[i], i);
    gaps += boards[i].gaps;
    QuorixCloseDevice(boards[i].device);
  }
  if (status != QUORIX_OK) return 1;
  return gaps == 0 ? 0 : 2;
}
