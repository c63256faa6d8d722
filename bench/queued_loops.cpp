// A board that cannot wait: the simulated board's fixed-rate source fills a board FIFO at
// 48,000,000 B/s whether or not a read is posted, and drops what does not fit. Six application
// loops, each with the classic read and with reads kept queued (QUORIX_READ_QUEUE=8x256K) side
// by side, for a 2 KiB FIFO (the FX2 alone) and a 16 KiB one: bytes dropped at the board, gaps
// in the counter pattern the application saw, the rate it got, and the library's CPU per MB
// (the process's CPU less what the application's thread spent outside the library; it includes
// the simulated board writing the pattern, which a real board's DMA does for nothing). Real
// time. Figures only.
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "quorix/quorix.h"
#include "quorix/quorix_sim.h"
#include "registry/registry.h"
#include "sim/bus.h"
#include "counter_pattern.h"

namespace {

using quorix::bench::Pattern;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kRate = 48000000;
constexpr std::uint64_t kStream = 128ull << 20;
constexpr std::uint32_t kBlock = 64u << 10;

double CpuSeconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

struct Result {
  std::uint64_t bytes = 0;
  std::uint64_t dropped = 0;
  std::uint64_t gaps = 0;
  double seconds = 0;
  double library_cpu = 0;  // seconds
};

class Stream {
 public:
  Stream(bool queued, std::uint32_t fifo) {
    quorix::sim::TheBus().Reset();
    quorix::sim::TheBus().LogWire(false);
    const int board = QuorixSimAddBoard("QX-BENCH", QUORIX_VENDOR_ID, QUORIX_PRODUCT_ID);
    if (queued)
      setenv("QUORIX_READ_QUEUE", "8x256K", 1);
    else
      unsetenv("QUORIX_READ_QUEUE");
    quorix::ProcessAttach();
    if (QuorixSimSetBoardFifo(board, fifo) != 0 ||
        QuorixSimSetSource(board, QUORIX_SIM_SOURCE_FIXED_RATE, kRate) != 0 ||
        QuorixOpenDevice(0, &device_) != QUORIX_OK || QuorixSetTimeOut(device_, 2000) != 0) {
      std::fprintf(stderr, "queued loops: the simulated board did not open\n");
      std::exit(1);
    }
    board_ = board;
    (void)QuorixSimGetDroppedBytes(board_, &dropped_at_open_);
  }
  ~Stream() {
    QuorixCloseDevice(device_);
    quorix::ProcessDetach();
    unsetenv("QUORIX_READ_QUEUE");
  }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  void Read(std::uint32_t count) {
    const double before = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    const int status = QuorixReadDevice(device_, count, buffer_.data());
    inside_ += CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - before;
    Expect(status, "read");
    pattern_.Check(buffer_.data(), count);
    result_.bytes += count;
  }
  std::uint32_t Poll() {
    std::uint32_t count = 0;
    const double before = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    const int status = QuorixNumberOfBytesAvailable(device_, &count);
    inside_ += CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - before;
    Expect(status, "bytes available");
    return count;
  }

  Result Run(const std::function<void(Stream&)>& step) {
    const auto start = Clock::now();
    const double process_start = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const double thread_start = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    while (result_.bytes < kStream) step(*this);
    const double process = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - process_start;
    const double thread = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - thread_start;
    result_.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result_.library_cpu = process - (thread - inside_);
    result_.gaps = pattern_.gaps();
    std::uint64_t dropped = 0;
    (void)QuorixSimGetDroppedBytes(board_, &dropped);
    result_.dropped = dropped - dropped_at_open_;
    return result_;
  }

 private:
  static void Expect(int status, const char* what) {
    if (status == QUORIX_OK) return;
    std::fprintf(stderr, "queued loops: %s failed with %d\n", what, status);
    std::exit(1);
  }

  QuorixHandle device_ = nullptr;
  int board_ = 0;
  std::uint64_t dropped_at_open_ = 0;
  double inside_ = 0;
  std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(64u << 20);
  Pattern pattern_;
  Result result_;
};

void Process(std::uint32_t count, double rate) {
  const auto until = Clock::now() + std::chrono::duration<double>(count / rate);
  while (Clock::now() < until) {
  }
}

void Print(const char* loop, const char* mode, std::uint32_t fifo, const Result& r) {
  const double mb = static_cast<double>(r.bytes) / 1e6;
  std::printf("%-40s %-9s %5u %11llu %6llu %7.1f %9.1f %7.2f\n", loop, mode, fifo,
              static_cast<unsigned long long>(r.dropped),
              static_cast<unsigned long long>(r.gaps), mb / r.seconds,
              r.library_cpu * 1e6 / mb, 100.0 * r.library_cpu / r.seconds);
  std::fflush(stdout);
}

struct Loop {
  const char* name;
  std::function<void(Stream&)> step;
};

}  // namespace

int main() {
  const Loop loops[] = {
      {"poll, then read 64 KiB once held", [](Stream& s) {
         if (s.Poll() >= kBlock) s.Read(kBlock);
       }},
      {"read 64 KiB, then poll", [](Stream& s) {
         s.Read(kBlock);
         (void)s.Poll();
       }},
      {"read 64 KiB", [](Stream& s) { s.Read(kBlock); }},
      {"read 64 KiB, process at 200 MB/s", [](Stream& s) {
         s.Read(kBlock);
         Process(kBlock, 200e6);
       }},
      {"every 20 ms poll and read all held", [](Stream& s) {
         std::this_thread::sleep_for(std::chrono::milliseconds(20));
         const std::uint32_t held = s.Poll();
         if (held != 0) s.Read(held);
       }},
      {"read 4 KiB", [](Stream& s) { s.Read(4096); }},
  };
  std::printf("simulated board, fixed-rate counter source at %u B/s, %llu MiB per run, real time\n",
              kRate, static_cast<unsigned long long>(kStream >> 20));
  std::printf("queued: QUORIX_READ_QUEUE=8x256K (ring 64 MiB); classic: one read, 2 MiB ring\n");
  std::printf("%-40s %-9s %5s %11s %6s %7s %9s %7s\n", "application loop", "reads", "FIFO",
              "dropped B", "gaps", "MB/s", "CPU us/MB", "% core");
  for (std::uint32_t fifo : {2048u, 16384u}) {
    for (const Loop& loop : loops) {
      for (bool queued : {false, true}) {
        Stream stream(queued, fifo);
        Print(loop.name, queued ? "queued" : "classic", fifo, stream.Run(loop.step));
      }
    }
  }
  return 0;
}
