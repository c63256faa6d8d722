// How fast the read path is: QuorixReadDevice against the simulated board with an unlimited
// source, next to memcpy of the same sizes in the same run; what a QuorixNumberOfBytesAvailable
// costs when nothing completed; and what the library allocates once a device is open, counted
// both on the port's heap and on the process's allocator (malloc and new), so that nothing the
// library or the simulated driver allocates outside the port's heap goes unseen.
//
// Two sources: "counter" writes the pattern into the ring, as a CPU-driven device would;
// "dma" only reports the bytes as delivered, as a real board's DMA does, which costs the
// caller's CPU nothing. The second is the library's own cost.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "allocation_counter.h"
#include "sim/bus.h"
#include "quorix/quorix.h"
#include "registry/registry.h"

namespace {

using quorix::sim::Source;
using quorix::sim::TheBus;

constexpr std::int64_t kSizes[] = {4 << 10, 64 << 10, 512 << 10, 2 << 20};

quorix::bench::AllocationCounter& Allocations() {
  static quorix::bench::AllocationCounter counter;
  return counter;
}

// One open device on a fresh bus, for one benchmark.
class Session {
 public:
  Session(Source source, std::uint32_t rate) {
    TheBus().Reset();
    TheBus().LogWire(false);
    quorix::sim::Board& board = TheBus().AddBoard();
    board.rate = quorix::sim::kRateUnlimited;
    quorix::ProcessAttach();
    ok_ = QuorixOpenDevice(0, &device_) == QUORIX_OK;
    // Twice round the ring with the pattern written, so that its pages are real memory and
    // not the zero page a fresh allocation reads as.
    std::vector<std::uint8_t> warm(quorix::kRingSize);
    for (int i = 0; ok_ && i < 2; ++i)
      ok_ = QuorixReadDevice(device_, quorix::kRingSize, warm.data()) == QUORIX_OK;
    board.source = source;
    board.rate = rate;
    opened_calls_ = TheBus().Calls(quorix::sim::Op::kAllocate);
    opened_bytes_ = TheBus().AllocatedBytes();
  }
  ~Session() {
    if (device_ != nullptr) QuorixCloseDevice(device_);
    quorix::ProcessDetach();
    TheBus().LogWire(true);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // The open device, or null when opening or warming it up failed.
  QuorixHandle device() const { return ok_ ? device_ : nullptr; }
  std::uint64_t AllocationsSinceOpen() const {
    return TheBus().Calls(quorix::sim::Op::kAllocate) - opened_calls_;
  }
  std::uint64_t BytesSinceOpen() const { return TheBus().AllocatedBytes() - opened_bytes_; }

 private:
  QuorixHandle device_ = nullptr;
  bool ok_ = false;
  std::uint64_t opened_calls_ = 0, opened_bytes_ = 0;
};

void Read(benchmark::State& state, Source source) {
  Session session(source, quorix::sim::kRateUnlimited);
  if (session.device() == nullptr) {
    state.SkipWithError("no device");
    return;
  }
  const auto size = static_cast<std::uint32_t>(state.range(0));
  std::vector<std::uint8_t> buffer(size);
  Allocations().Start();
  for (auto _ : state) {
    if (QuorixReadDevice(session.device(), size, buffer.data()) != QUORIX_OK) {
      state.SkipWithError("read failed");
      break;
    }
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
  Allocations().Stop();
  state.SetBytesProcessed(state.iterations() * state.range(0));
  state.counters["allocs_after_open"] = static_cast<double>(session.AllocationsSinceOpen());
  state.counters["bytes_after_open"] = static_cast<double>(session.BytesSinceOpen());
  state.counters["mallocs"] = static_cast<double>(Allocations().Total());
}

void BM_ReadCounter(benchmark::State& state) { Read(state, Source::kCounter); }
void BM_ReadDma(benchmark::State& state) { Read(state, Source::kUntouched); }

// The same copy the read makes: out of a ring-sized buffer, wrapping around its end.
void BM_Memcpy(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  std::vector<std::uint8_t> ring(quorix::kRingSize, 1), buffer(size);
  std::size_t at = 0;
  for (auto _ : state) {
    std::size_t done = 0;
    while (done < size) {
      const std::size_t piece = std::min(size - done, ring.size() - at);
      std::memcpy(buffer.data() + done, ring.data() + at, piece);
      done += piece;
      at = (at + piece) % ring.size();
    }
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_BytesAvailable(benchmark::State& state) {
  Session session(Source::kNone, 0);
  if (session.device() == nullptr) {
    state.SkipWithError("no device");
    return;
  }
  std::uint32_t count = 0;
  Allocations().Start();
  for (auto _ : state) {
    QuorixNumberOfBytesAvailable(session.device(), &count);
    benchmark::DoNotOptimize(count);
  }
  Allocations().Stop();
  state.counters["allocs_after_open"] = static_cast<double>(session.AllocationsSinceOpen());
  state.counters["mallocs"] = static_cast<double>(Allocations().Total());
}

// Prints the usual table, then the read rates next to memcpy's.
class Summary : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const auto rate = run.counters.find("bytes_per_second");
      if (rate != run.counters.end()) rates_[run.benchmark_name()] = rate->second.value;
      if (run.benchmark_name() == "BM_BytesAvailable") available_ns_ = run.GetAdjustedRealTime();
      const auto allocs = run.counters.find("allocs_after_open");
      if (allocs != run.counters.end()) allocs_after_open_ += allocs->second.value;
      const auto mallocs = run.counters.find("mallocs");
      if (mallocs != run.counters.end()) mallocs_ += mallocs->second.value;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-10s %12s %12s %8s %12s %8s\n", "read size", "memcpy GB/s", "counter GB/s",
                "ratio", "dma GB/s", "ratio");
    for (std::int64_t size : kSizes) {
      const double copy = Rate("BM_Memcpy", size);
      const double counter = Rate("BM_ReadCounter", size);
      const double dma = Rate("BM_ReadDma", size);
      std::printf("%6lld KiB %12.2f %12.2f %8.2f %12.2f %8.2f\n",
                  static_cast<long long>(size >> 10), copy, counter, copy > 0 ? counter / copy : 0,
                  dma, copy > 0 ? dma / copy : 0);
    }
    std::printf("bytes available, nothing completed: %.1f ns per call\n", available_ns_);
    std::printf("allocations after open, all runs: %.0f on the port's heap, %.0f through malloc "
                "and new (the library and the simulated driver)\n",
                allocs_after_open_, mallocs_);
  }

 private:
  // GB/s of the benchmark at that size.
  double Rate(const char* name, std::int64_t size) {
    char key[64];
    std::snprintf(key, sizeof key, "%s/%lld", name, static_cast<long long>(size));
    return rates_[key] / 1e9;
  }

  std::map<std::string, double> rates_;
  double available_ns_ = 0;
  double allocs_after_open_ = 0;
  double mallocs_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  // Size by size, each read next to its memcpy, so that drifts of the machine hit both.
  for (std::int64_t size : kSizes) {
    benchmark::RegisterBenchmark("BM_Memcpy", BM_Memcpy)->Arg(size);
    benchmark::RegisterBenchmark("BM_ReadDma", BM_ReadDma)->Arg(size);
    benchmark::RegisterBenchmark("BM_ReadCounter", BM_ReadCounter)->Arg(size);
  }
  benchmark::RegisterBenchmark("BM_BytesAvailable", BM_BytesAvailable);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Summary summary;
  benchmark::RunSpecifiedBenchmarks(&summary);
  benchmark::Shutdown();
  return 0;
}
