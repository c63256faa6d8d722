// Capturing the bulk-IN stream, writing to bulk OUT, and the loopback check.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

#include "commands.h"

namespace quorix::tool {

namespace {

constexpr std::uint32_t kChunk = 256 * 1024;
// Each loopback piece ends in a short packet, which completes the outstanding read.
constexpr std::uint32_t kLoopbackPiece = 64 * 1024 - 4;

volatile std::sig_atomic_t gInterrupted = 0;
void OnInterrupt(int) { gInterrupted = 1; }

// Ctrl-C ends the capture after the read in progress instead of ending the process.
class InterruptScope {
 public:
  InterruptScope() {
    gInterrupted = 0;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previous_);
  }
  ~InterruptScope() { sigaction(SIGINT, &previous_, nullptr); }
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  struct sigaction previous_ {};
};

std::uint8_t PatternByte(std::uint64_t position) {
  // Not the counter pattern, so that a loopback cannot pass on the counter source.
  return static_cast<std::uint8_t>((position * 0x9E3779B1u) >> 24 ^ position);
}

struct Output {
  std::string path;  // empty: stdout, or nothing when discard
  bool discard = false;
  std::FILE* file = nullptr;
  CounterCheck* counter = nullptr;
  bool failed = false;
};

void ToOutput(void* context, const std::uint8_t* data, std::size_t size) {
  auto& output = *static_cast<Output*>(context);
  if (output.counter != nullptr) output.counter->Take(data, size);
  if (output.discard || output.failed) return;
  // The file is made only once there is something to put in it.
  if (output.file == nullptr)
    output.file = output.path.empty() ? stdout : std::fopen(output.path.c_str(), "wb");
  if (output.file == nullptr || std::fwrite(data, 1, size, output.file) != size)
    output.failed = true;
}

}  // namespace

void CounterCheck::Word(std::uint32_t word) {
  if (word != expected_) ++gaps_;
  expected_ = word + 1;
}

void CounterCheck::Take(const std::uint8_t* data, std::size_t size) {
  std::size_t i = 0;
  for (; i < size && carried_ != 0; ++i) {
    carry_[carried_++] = data[i];
    if (carried_ == 4) {
      carried_ = 0;
      Word(static_cast<std::uint32_t>(carry_[0] | carry_[1] << 8 | carry_[2] << 16 |
                                      static_cast<std::uint32_t>(carry_[3]) << 24));
    }
  }
  for (; i + 4 <= size; i += 4) {
    std::uint32_t word;
    std::memcpy(&word, data + i, 4);  // little-endian machines only, as the pattern is
    Word(word);
  }
  for (; i < size; ++i) carry_[carried_++] = data[i];
}

Capture CaptureStream(const Api& api, QuorixHandle handle, const StreamRequest& limits, Sink sink,
                      void* context, bool progress) {
  InterruptScope interrupt;
  std::vector<std::uint8_t> chunk(kChunk);
  Capture capture;
  const double start = Seconds();
  double shown = start;
  for (;;) {
    const double now = Seconds();
    capture.seconds = now - start;
    if (gInterrupted) {
      capture.interrupted = true;
      break;
    }
    if (limits.bytes && capture.bytes >= *limits.bytes) break;
    if (limits.seconds && capture.seconds >= *limits.seconds) break;
    if (progress && now - shown >= 0.2) {
      std::fprintf(stderr, "\r%s   ", Summary(capture).c_str());
      shown = now;
    }
    std::uint32_t count = kChunk;
    if (limits.bytes)
      count = static_cast<std::uint32_t>(
          std::min<std::uint64_t>(kChunk, *limits.bytes - capture.bytes));
    const int status = api.QuorixReadDevice(handle, count, chunk.data());
    if (status == QUORIX_ERR_OVERFLOW) {
      ++capture.overruns;
      continue;
    }
    if (status != QUORIX_OK) {
      capture.status = status;
      break;
    }
    sink(context, chunk.data(), count);
    capture.bytes += count;
  }
  capture.seconds = Seconds() - start;
  if (progress) std::fprintf(stderr, "\r");
  return capture;
}

std::string Summary(const Capture& capture) {
  char text[160];
  const double rate = capture.seconds > 0 ? capture.bytes / capture.seconds / 1e6 : 0;
  std::snprintf(text, sizeof text, "%llu bytes  %.1f MB/s  %.1f s  %llu overrun%s",
                static_cast<unsigned long long>(capture.bytes), rate, capture.seconds,
                static_cast<unsigned long long>(capture.overruns),
                capture.overruns == 1 ? "" : "s");
  return text;
}

int Stream(const Api& api, const Options& options, const StreamRequest& request) {
  Session session(api, options);
  Output output;
  CounterCheck counter;
  if (request.check_counter) output.counter = &counter;
  if (request.output.empty()) {
    output.discard = IsTerminal(1);  // binary data is not for a terminal
  } else if (request.output != "-") {
    output.path = request.output;
  }
  const Capture capture =
      CaptureStream(api, session.handle(), request, ToOutput, &output, IsTerminal(2));
  if (output.file != nullptr && output.file != stdout && std::fclose(output.file) != 0)
    output.failed = true;
  if (output.file == stdout) std::fflush(stdout);
  std::string summary = "captured " + Summary(capture);
  if (request.check_counter)
    summary += ", " + std::to_string(counter.gaps()) + " gaps in the counter pattern";
  if (capture.interrupted) summary += " (interrupted)";
  std::fprintf(stderr, "%s\n", summary.c_str());
  if (output.failed)
    throw Failure("cannot write " + (output.path.empty() ? "stdout" : output.path));
  Check(capture.status, "reading the stream");
  if (counter.gaps() != 0) throw Failure("the counter pattern has gaps");
  return 0;
}

int Write(const Api& api, const Options& options, const std::vector<std::uint8_t>& bytes) {
  Session session(api, options);
  Check(api.QuorixWriteDevice(session.handle(), static_cast<std::uint32_t>(bytes.size()),
                              bytes.data()),
        "writing " + std::to_string(bytes.size()) + " bytes");
  std::printf("wrote %zu bytes\n", bytes.size());
  return 0;
}

LoopbackResult RunLoopback(const Api& api, QuorixHandle handle, std::uint64_t bytes) {
  std::vector<std::uint8_t> sent(kLoopbackPiece), back(kLoopbackPiece);
  LoopbackResult result;
  const double start = Seconds();
  while (result.bytes < bytes && !result.mismatch) {
    const auto count =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(kLoopbackPiece, bytes - result.bytes));
    for (std::uint32_t i = 0; i < count; ++i) sent[i] = PatternByte(result.bytes + i);
    Check(api.QuorixWriteDevice(handle, count, sent.data()), "writing the loopback pattern");
    Check(api.QuorixReadDevice(handle, count, back.data()), "reading the loopback pattern back");
    const auto differ = std::mismatch(sent.begin(), sent.begin() + count, back.begin());
    if (differ.first != sent.begin() + count)
      result.mismatch = result.bytes + static_cast<std::uint64_t>(differ.first - sent.begin());
    result.bytes += count;
  }
  result.seconds = Seconds() - start;
  return result;
}

void LoopSimulatedBoards(const Library& library, const Options& options) {
  const SimApi* sim = library.sim();
  if (sim == nullptr) return;
  for (int board = 1; board <= options.sim_boards.value_or(1); ++board) {
    sim->QuorixSimSetSource(board, QUORIX_SIM_SOURCE_NONE, 0);
    sim->QuorixSimSetLoopback(board, 1);
  }
}

int Loopback(const Library& library, const Options& options, std::uint64_t bytes) {
  LoopSimulatedBoards(library, options);
  Session session(library.api(), options);
  const LoopbackResult result = RunLoopback(library.api(), session.handle(), bytes);
  if (result.mismatch)
    throw Failure("loopback: byte " + std::to_string(*result.mismatch) + " came back changed");
  std::printf("loopback: %llu bytes written and read back unchanged, %.1f MB/s\n",
              static_cast<unsigned long long>(result.bytes),
              result.seconds > 0 ? result.bytes / result.seconds / 1e6 : 0.0);
  return 0;
}

}  // namespace quorix::tool
