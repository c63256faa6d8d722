// Capturing the bulk-IN stream, writing to bulk OUT, and the loopback check.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "commands.h"
#include "json.h"
#include "platform.h"
#include "quorix/quorix.hpp"

namespace quorix::tool {

namespace {

constexpr std::uint32_t kChunk = 256 * 1024;
// How often the live line, Ctrl-C and the time limit are looked at.
constexpr double kSlice = 0.1;
// How long a read waits for the board when no --timeout is given; it is then simply repeated.
constexpr std::uint32_t kLongWaitMs = 3600 * 1000;
// How long a stopped capture waits for the reading thread's call to return before it closes
// the device to end it: long enough for a copy out of the ring, short next to a slice.
constexpr double kStopGrace = 0.05;
// Each loopback piece must end in a short packet, which completes the outstanding read: the
// pieces are at most this long, and never a whole number of packets.
constexpr std::uint32_t kLoopbackPiece = 64 * 1024 - 4;
constexpr std::uint32_t kPacket = 512;
// A write from a file goes in one call; this bounds what is read into memory for it.
constexpr std::uint64_t kWriteFileLimit = 16u << 20;

std::uint8_t PatternByte(std::uint64_t position) {
  // Not the counter pattern, so that a loopback cannot pass on the counter source.
  return static_cast<std::uint8_t>((position * 0x9E3779B1u) >> 24 ^ position);
}

struct Output {
  OutputFile* file = nullptr;
  CounterCheck* counter = nullptr;
  bool failed = false;
};

bool ToOutput(void* context, const std::uint8_t* data, std::size_t size) {
  auto& output = *static_cast<Output*>(context);
  if (output.counter != nullptr) output.counter->Take(data, size);
  if (!output.file->Write(data, size)) output.failed = true;
  return !output.failed;
}

#if defined(_WIN32)
constexpr const char* kNowhere = "NUL";
#else
constexpr const char* kNowhere = "/dev/null";
#endif

std::string Live(const Capture& capture, double idle) {
  char text[160];
  if (capture.first_data < 0) {
    std::snprintf(text, sizeof text, "%.1f s  waiting for the board's first transfer",
                  capture.seconds);
    return text;
  }
  std::string line = Summary(capture);
  if (idle >= 1) {
    std::snprintf(text, sizeof text, "  (nothing new for %.0f s)", idle);
    line += text;
  }
  return line;
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

Capture CaptureStream(const Api& api, QuorixHandle handle, const StreamRequest& limits,
                      std::uint32_t idle_limit_ms, Sink sink, void* context, bool progress) {
  // A thread of its own reads, and waits for the board as long as it takes; this one watches
  // the clock and Ctrl-C. At the stop the reader takes what the ring still holds, so the
  // capture has everything that reached the computer until then.
  struct Shared {
    std::mutex lock;
    std::condition_variable changed;
    bool stop = false, done = false;
    Capture capture;
  };
  Shared state;
  Shared* const shared = &state;
  const double start = Seconds();
  const std::uint32_t wait_ms = idle_limit_ms != 0 ? idle_limit_ms : kLongWaitMs;
  Check(api.QuorixSetTimeOut(handle, wait_ms), "setting the timeout");
  std::thread reader([shared, &api, handle, limits, idle_limit_ms, wait_ms, sink, context, start] {
    std::vector<std::uint8_t> chunk(kChunk);
    std::unique_lock lock(shared->lock);
    Capture& capture = shared->capture;
    for (;;) {
      std::uint32_t wanted = kChunk;
      if (limits.bytes)
        wanted = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(wanted, *limits.bytes - capture.bytes));
      if (wanted == 0) break;
      const bool stopping = shared->stop;
      lock.unlock();
      // Only what the ring holds, after a wait that consumes nothing, so that the stop, a
      // close or --timeout ends a wait that has taken nothing; at the stop, what the ring
      // still holds, without waiting.
      const detail::Moved taken = detail::TakeHeld(
          {api.QuorixNumberOfBytesAvailable, api.QuorixReadDevice, api.QuorixWaitForBytes}, handle,
          std::as_writable_bytes(std::span(chunk.data(), wanted)),
          stopping ? std::nullopt : std::optional<std::uint32_t>(wait_ms));
      lock.lock();
      bool taking = true;
      if (taken.bytes != 0) {
        taking = sink(context, chunk.data(), taken.bytes);
        capture.bytes += taken.bytes;
        if (capture.first_data < 0) capture.first_data = Seconds() - start;
      }
      // The sink can take no more (its file failed): reading on would only lose the bytes.
      if (!taking) break;
      // Stopped: what the ring held is taken, and a read the stop ended is no failure.
      if (stopping || (shared->stop && taken.status != QUORIX_OK)) break;
      if (taken.status == QUORIX_ERR_OVERFLOW) {
        ++capture.overruns;
        continue;
      }
      // A long wait that ran out is no failure: there is no limit on the waiting.
      if (taken.status == QUORIX_ERR_TIMEOUT && idle_limit_ms == 0) continue;
      if (taken.status != QUORIX_OK) {
        capture.status = taken.status;
        break;
      }
    }
    shared->done = true;
    shared->changed.notify_all();
  });

  platform::InterruptScope interrupt;
  ProgressLine line;
  std::unique_lock lock(shared->lock);
  double last_bytes_at = start;
  std::uint64_t last_bytes = 0;
  for (;;) {
    double wait = kSlice;
    if (limits.seconds) wait = std::min(wait, start + *limits.seconds - Seconds());
    if (wait > 0)
      shared->changed.wait_for(lock, std::chrono::duration<double>(wait),
                               [&] { return shared->done; });
    const double now = Seconds();
    Capture& capture = shared->capture;
    capture.seconds = now - start;
    if (shared->done) break;
    if (platform::Interrupted()) {
      capture.interrupted = true;
      break;
    }
    if (limits.seconds && capture.seconds >= *limits.seconds) break;
    if (capture.bytes != last_bytes) {
      last_bytes = capture.bytes;
      last_bytes_at = now;
    }
    if (progress) line.Show(Live(capture, now - last_bytes_at));
  }
  shared->stop = true;
  const double stopped = Seconds();
  bool closed = false;
  auto statistics = [&]() -> std::optional<QuorixStreamStatistics> {
    QuorixStreamStatistics taken{};
    taken.size = sizeof taken;
    if (api.QuorixGetStreamStatistics == nullptr ||
        api.QuorixGetStreamStatistics(handle, &taken) != QUORIX_OK)
      return std::nullopt;
    return taken;
  };
  std::optional<QuorixStreamStatistics> taken;
  if (!shared->changed.wait_for(lock, std::chrono::duration<double>(kStopGrace),
                                [&] { return shared->done; })) {
    // The reader still waits for the board: closing the device from here ends its read.
    lock.unlock();
    taken = statistics();
    (void)api.QuorixCloseDevice(handle);
    closed = true;
    lock.lock();
    shared->changed.wait(lock, [&] { return shared->done; });
  }
  Capture capture = shared->capture;
  capture.seconds = stopped - start;
  capture.closed = closed;
  lock.unlock();
  reader.join();
  line.Finish();
  capture.statistics = closed ? taken : statistics();
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

int Stream(const Library& library, const Options& options, const StreamRequest& request) {
  // The data go somewhere chosen: binary data are not for a terminal unless asked for, and
  // with --json stdout is the summary's.
  if (request.output.empty() && options.json)
    throw BadArguments(std::string("stream: with --json, stdout holds the summary; give -o FILE "
                                   "for the data (-o ") +
                       kNowhere + " to discard them)");
  if (request.output.empty() && platform::IsTerminal(platform::Stream::kOut))
    throw BadArguments(std::string("stream: stdout is a terminal, which binary data would "
                                   "garble; give -o FILE, or -o ") +
                       kNowhere + " to discard the data, or -o - to write them to it anyway");
  // The file first, so that a path that cannot be written fails before anything is read.
  std::optional<OutputFile> file;
  file.emplace(request.output.empty() ? std::string(kStandardStream) : request.output);
  Output output;
  CounterCheck counter;
  if (request.check_counter) output.counter = &counter;
  output.file = &*file;

  Session session(library, options);
  const Capture capture =
      CaptureStream(library.api(), session.handle(), request, options.timeout_ms.value_or(0),
                    ToOutput, &output, platform::IsTerminal(platform::Stream::kError));

  // Complete: a limit was reached, or Ctrl-C ended a capture that had none.
  const bool limited = request.bytes || request.seconds;
  const bool complete = capture.status == QUORIX_OK && (!capture.interrupted || !limited) &&
                        (!request.bytes || capture.bytes >= *request.bytes);
  std::string kept, write_failure;
  if (!output.failed) {
    if (complete) {
      try {
        file->Commit();
      } catch (const Failure& e) {
        output.failed = true;
        write_failure = e.what();
      }
    } else {
      kept = file->KeepPartial();
    }
  }
  if (output.failed && write_failure.empty()) write_failure = file->WriteFailure();
  // Ctrl-C (or another signal) is how a capture without a limit ends.
  if (capture.interrupted && !limited && complete) SignalIsTheEnd();

  if (capture.closed) session.Forget();
  std::string failure;
  if (output.failed)
    failure = write_failure + "; the capture stopped";
  else if (capture.status != QUORIX_OK)
    // The reader's failures are QuorixReadDevice's (an overrun, from the poll, is counted).
    failure = "reading the stream failed: QuorixReadDevice returned " +
              std::to_string(capture.status) + ", " +
              ExplainFailure(library, capture.status);
  else if (!complete)
    failure = "interrupted before the " +
              (request.bytes ? std::to_string(*request.bytes) + " bytes" : std::string("time")) +
              " asked for";
  else if (counter.gaps() != 0)
    failure = "the counter pattern has gaps";
  if (!kept.empty())
    failure += "; the " + std::to_string(capture.bytes) + " bytes received are in " + kept;
  if (options.json) {
    Json json;
    json.Object()
        .Number("bytes", capture.bytes)
        .Real("seconds", capture.seconds)
        .Real("mb_per_s", capture.seconds > 0 ? capture.bytes / capture.seconds / 1e6 : 0)
        .Number("overruns", capture.overruns);
    if (capture.first_data >= 0)
      json.Real("first_data_after_s", capture.first_data);
    else
      json.Null("first_data_after_s");
    json.Bool("interrupted", capture.interrupted).Bool("complete", complete);
    if (request.check_counter) json.Number("gaps", counter.gaps());
    if (file && complete && !output.failed && !file->standard())
      json.String("output", file->path());
    else
      json.Null("output");
    if (!kept.empty()) json.String("partial_output", kept);
    if (const auto& st = capture.statistics) {
      json.Object("statistics")
          .Number("reads_posted", st->reads_posted)
          .Number("bytes_received", st->bytes_received)
          .Number("reads_completed", st->reads_completed)
          .Number("gaps", st->gaps)
          .Number("gap_total_us", st->gap_total_us)
          .Number("gap_longest_us", st->gap_longest_us)
          .Number("ring_full", st->ring_full)
          .Number("ring_full_total_us", st->ring_full_total_us)
          .Number("ring_full_longest_us", st->ring_full_longest_us)
          .Close();
    } else {
      json.Null("statistics");
    }
    // A failure is told in this document: a second one would not be one document on stdout.
    if (!failure.empty()) {
      json.Object("error");
      if (capture.status != QUORIX_OK && !output.failed)
        json.Signed("status", capture.status).String("name", StatusCode(capture.status));
      else
        json.Null("status").String("name", "failure");
      json.String("message", failure).Close();
    }
    json.Close().Print();
  } else {
    std::string summary = "captured " + Summary(capture);
    if (request.check_counter)
      summary += ", " + std::to_string(counter.gaps()) + " gaps in the counter pattern";
    if (capture.interrupted) summary += " (interrupted)";
    std::fprintf(stderr, "%s\n", summary.c_str());
    // What bulk IN did, with -v: a board that cannot wait drops its data in the gaps.
    if (const auto& st = capture.statistics; st && options.verbose)
      std::fprintf(stderr,
                   "bulk IN: %llu reads completed, %llu gaps without a read at the board (%.1f ms "
                   "in all, the longest %.1f ms), the ring full %llu times (%.1f ms)\n",
                   static_cast<unsigned long long>(st->reads_completed),
                   static_cast<unsigned long long>(st->gaps), st->gap_total_us / 1000.0,
                   st->gap_longest_us / 1000.0, static_cast<unsigned long long>(st->ring_full),
                   st->ring_full_total_us / 1000.0);
    if (capture.first_data < 0 && capture.status == QUORIX_OK)
      std::fprintf(stderr,
                   "nothing came from the board: the library sees data when a read of 2,096,640 "
                   "bytes is full or the board ends a transfer with a short packet\n");
  }

  if (!failure.empty()) throw Failure(failure);
  return 0;
}

int Write(const Library& library, const Options& options, const std::vector<std::string>& words,
          const std::string& file) {
  const std::vector<std::uint8_t> bytes =
      file.empty() ? ParseHexBytes(words) : ReadInputFile(file, kWriteFileLimit, "the data file");
  Session session(library, options);
  Check(library.api().QuorixWriteDevice(session.handle(), static_cast<std::uint32_t>(bytes.size()),
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
    auto count =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(kLoopbackPiece, bytes - result.bytes));
    // A whole number of packets would leave the read waiting for more: one byte goes on to
    // the next piece.
    if (count % kPacket == 0) --count;
    if (platform::Interrupted()) throw Failure("loopback: interrupted after " +
                                               std::to_string(result.bytes) + " bytes");
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
  Session session(library, options);
  const LoopbackResult result = RunLoopback(library.api(), session.handle(), bytes);
  if (result.mismatch)
    throw Failure("loopback: byte " + std::to_string(*result.mismatch) + " came back changed");
  std::printf("loopback: %llu bytes written and read back unchanged, %.1f MB/s\n",
              static_cast<unsigned long long>(result.bytes),
              result.seconds > 0 ? result.bytes / result.seconds / 1e6 : 0.0);
  return 0;
}

}  // namespace quorix::tool
