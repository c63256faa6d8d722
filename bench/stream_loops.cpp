// The loops applications write around QuorixReadDevice and QuorixNumberOfBytesAvailable,
// against the simulated board streaming the counter pattern at the USB 2.0 rate (53,248,000
// bytes per second) in real time: for each, the overruns reported, the gaps in the pattern and
// the rate the application saw. Then the same with the application spending time on the data
// after each read, with and without a bytes-available call after each read. Figures only.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "sim/bus.h"
#include "counter_pattern.h"
#include "quorix/quorix.h"
#include "registry/registry.h"

namespace {

using quorix::bench::Pattern;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kUsb2Rate = 53248000;
constexpr std::uint64_t kStream = 256ull << 20;
constexpr std::uint32_t kBlock = 64u << 10;

struct Result {
  std::uint64_t bytes = 0;
  std::uint64_t overruns = 0;
  std::uint64_t gaps = 0;
  double seconds = 0;
};

// One open device on a fresh bus with one board streaming at the USB 2.0 rate.
class Board {
 public:
  Board() {
    quorix::sim::TheBus().Reset();
    quorix::sim::TheBus().LogWire(false);
    quorix::sim::TheBus().AddBoard().rate = kUsb2Rate;
    quorix::ProcessAttach();
    if (QuorixOpenDevice(0, &device_) != QUORIX_OK || QuorixSetTimeOut(device_, 2000) != 0) {
      std::fprintf(stderr, "stream loops: the simulated board did not open\n");
      std::exit(1);
    }
  }
  ~Board() {
    QuorixCloseDevice(device_);
    quorix::ProcessDetach();
  }
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  // Reads count bytes; -7 is counted, anything else but 0 ends the program.
  void Read(std::uint32_t count) {
    const int status = QuorixReadDevice(device_, count, buffer_.data());
    if (status == QUORIX_ERR_OVERFLOW) {
      ++result_.overruns;
      return;
    }
    Expect(status, "read");
    pattern_.Check(buffer_.data(), count);
    result_.bytes += count;
  }
  std::uint32_t Poll() {
    std::uint32_t count = 0;
    const int status = QuorixNumberOfBytesAvailable(device_, &count);
    if (status == QUORIX_ERR_OVERFLOW) {
      ++result_.overruns;
      return 0;
    }
    Expect(status, "bytes available");
    return count;
  }
  std::uint64_t bytes() const { return result_.bytes; }

  Result Run(const std::function<void(Board&)>& step) {
    const auto start = Clock::now();
    while (result_.bytes < kStream) step(*this);
    result_.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result_.gaps = pattern_.gaps();
    return result_;
  }

 private:
  static void Expect(int status, const char* what) {
    if (status == QUORIX_OK) return;
    std::fprintf(stderr, "stream loops: %s failed with %d\n", what, status);
    std::exit(1);
  }

  QuorixHandle device_ = nullptr;
  std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(quorix::kRingSize);
  Pattern pattern_;
  Result result_;
};

// Spends the time processing count bytes at rate would take, on this core.
void Process(std::uint32_t count, double rate) {
  const auto until = Clock::now() + std::chrono::duration<double>(count / rate);
  while (Clock::now() < until) {
  }
}

void Print(const std::string& loop, const Result& result) {
  const double rate = result.bytes / result.seconds;
  std::printf("%-52s %6llu %9llu %6llu %8.1f %7.2f\n", loop.c_str(),
              static_cast<unsigned long long>(result.bytes >> 20),
              static_cast<unsigned long long>(result.overruns),
              static_cast<unsigned long long>(result.gaps), rate / 1e6, rate / kUsb2Rate);
  std::fflush(stdout);
}

}  // namespace

int main() {
  std::printf("simulated board, counter pattern at %u B/s in real time\n", kUsb2Rate);
  std::printf("%-52s %6s %9s %6s %8s %7s\n", "application loop", "MiB", "overruns", "gaps", "MB/s",
              "ratio");
  {
    Board board;
    Print("poll; once >= 64 KiB are held, read 64 KiB", board.Run([](Board& b) {
      if (b.Poll() >= kBlock) b.Read(kBlock);
    }));
  }
  {
    Board board;
    Print("poll; read everything held", board.Run([](Board& b) {
      const std::uint32_t held = b.Poll();
      if (held != 0) b.Read(held);
    }));
  }
  {
    Board board;
    Print("read 64 KiB; then poll once", board.Run([](Board& b) {
      b.Read(kBlock);
      (void)b.Poll();
    }));
  }
  for (std::uint32_t size : {1u, 7u}) {
    Board board;
    Print("read " + std::to_string(size) + (size == 1 ? " byte" : " bytes") + " at a time",
          board.Run([size](Board& b) { b.Read(size); }));
  }
  {
    Board board;
    const std::uint32_t sizes[] = {511, 513, 4097, 65535, 99999, 1048577};
    std::size_t next = 0;
    Print("read odd sizes (511 B to 1 MiB + 1) in turn", board.Run([&](Board& b) {
      b.Read(sizes[next]);
      next = (next + 1) % std::size(sizes);
    }));
  }
  for (double rate : {400e6, 200e6, 100e6}) {
    for (bool poll : {false, true}) {
      Board board;
      char loop[96];
      std::snprintf(loop, sizeof loop, "read 64 KiB, process at %.0f MB/s%s", rate / 1e6,
                    poll ? ", poll" : "");
      Print(loop, board.Run([rate, poll](Board& b) {
        b.Read(kBlock);
        Process(kBlock, rate);
        if (poll) (void)b.Poll();
      }));
    }
  }
  return 0;
}
