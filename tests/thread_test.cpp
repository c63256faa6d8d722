// The library from several threads at once, on the simulated bus in real time: a reader
// streams while another thread uses the same board; two boards stream side by side; a read
// waiting without limit is released by another thread's port D request, ended by its close, by
// an unplug, by the process's detach; two readers of one board never interleave; a poll of
// another thread never leaves a waiting read asleep; a close waiting for its board holds up no
// other board. Each scenario is bounded: a call that does not return in time fails the test
// instead of hanging it.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include "quorix/quorix_sim.h"
#include "support/sim_test.h"

namespace quorix::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// How long a call that another thread ends may take before the test calls it hung.
constexpr auto kHung = 10s;
// How long a stream of tens of MiB may take, ThreadSanitizer and a busy machine included.
constexpr auto kStreaming = std::chrono::seconds(600);

class ThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bus().Reset();
    bus().LogWire(false);
    ProcessAttach();
  }
  void TearDown() override {
    ProcessDetach();
    bus().LogWire(true);
    EXPECT_EQ(gRegistry.count, 0u);
    EXPECT_EQ(bus().LiveBlocks(), 0u) << "heap blocks left behind";
    EXPECT_EQ(bus().LiveHandles(), 0u) << "handles left open";
  }
  static sim::Bus& bus() { return sim::TheBus(); }

  // A board with its source at rate (0 stops it), opened; its transfer timeout is set.
  static QuorixHandle OpenBoard(const std::string& serial, std::uint32_t rate,
                                std::uint32_t timeout) {
    bus().Locked([&] {
      sim::BoardIdentity identity;
      identity.serial = serial;
      bus().AddBoard(identity).rate = rate;
    });
    QuorixHandle device = nullptr;
    EXPECT_EQ(QuorixOpenDeviceWithSerial(serial.c_str(), &device), QUORIX_OK);
    EXPECT_EQ(QuorixSetTimeOut(device, timeout), QUORIX_OK);
    return device;
  }

  static int BoardId(const std::string& serial) {
    return bus().Locked([&] {
      for (sim::Board* board : bus().Listed())
        if (board->identity.serial == serial) return board->id;
      return 0;
    });
  }
};

// A call on a thread of its own, whose result the test waits for within a limit. (Not
// std::async: its futures synchronise in ways ThreadSanitizer cannot see.)
template <typename T>
class Background {
 public:
  template <typename F>
  explicit Background(F call)
      : thread_([this, call = std::move(call)]() mutable {
          T value = call();
          const std::lock_guard lock(mutex_);
          result_ = std::move(value);
          done_.notify_all();
        }) {}
  ~Background() { thread_.join(); }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  bool Returned(std::chrono::milliseconds within) {
    std::unique_lock lock(mutex_);
    return done_.wait_for(lock, within, [this] { return result_.has_value(); });
  }
  // The result, or a failure of the test when the call did not return within the limit (kHung
  // for a call that another thread ends; a stream's own length is longer under a sanitizer).
  T Get(std::chrono::seconds within = kHung) {
    if (!Returned(std::chrono::duration_cast<std::chrono::milliseconds>(within))) {
      ADD_FAILURE() << "the call did not return";
      return T{};
    }
    const std::lock_guard lock(mutex_);
    return *result_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  std::optional<T> result_;
  std::thread thread_;  // last: it starts once the rest is made
};

// Waits until the state holds: false when it did not within kHung.
template <typename F>
bool Await(F holds) {
  const auto deadline = Clock::now() + kHung;
  while (!holds()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Lets the held pauses go at the end of its scope, before the calls inside them are waited for.
struct ReleasePauses {
  ~ReleasePauses() { sim::TheBus().HoldPauses(false); }
};

// Waits until count calls wait inside the device's board, for the driver or for their turn:
// they are counted there meanwhile. False when they did not within kHung.
bool CallsWaiting(QuorixHandle device, std::uint32_t count) {
  const DeviceRecord* record = RecordOfHandle(device);
  // At least: a call that found the board busy is counted once more while it is inside.
  return Await([&] { return record->sync->users.load() >= count; });
}

// Follows the counter pattern across the reads of one thread.
class Pattern {
 public:
  bool Check(const std::uint8_t* bytes, std::size_t count) {
    expected_.resize(count);
    sim::FillCounter(expected_.data(), position_, count);
    if (std::memcmp(bytes, expected_.data(), count) != 0) return false;
    position_ += count;
    return true;
  }
  std::uint64_t position() const { return position_; }

 private:
  std::uint64_t position_ = 0;
  Bytes expected_;
};

TEST_F(ThreadTest, AReaderStreamsWhileAnotherThreadUsesTheBoard) {
  constexpr std::uint64_t kTotal = 256ull << 20;
  const QuorixHandle device = OpenBoard("R", sim::kRateUnlimited, 2000);
  std::atomic<bool> done{false};
  Background<std::uint64_t> reader([&]() -> std::uint64_t {
    Pattern pattern;
    Bytes buffer(1u << 20);
    std::uint32_t size = 1;
    while (pattern.position() < kTotal) {
      // Odd sizes from 1 byte to 1 MiB, so that reads end anywhere in the ring.
      size = size * 7 % static_cast<std::uint32_t>(buffer.size()) + 1;
      const int status = QuorixReadDevice(device, size, buffer.data());
      if (status != QUORIX_OK) {
        ADD_FAILURE() << "read status " << status << " at " << pattern.position();
        break;
      }
      if (!pattern.Check(buffer.data(), size)) {
        ADD_FAILURE() << "a gap after byte " << pattern.position();
        break;
      }
    }
    done = true;
    return pattern.position();
  });

  std::uint64_t rounds = 0;
  while (!done) {
    const auto value = static_cast<std::uint8_t>(rounds);
    ASSERT_EQ(QuorixSetPortDOutputs(device, value), QUORIX_OK);
    std::uint8_t latch = 0;
    ASSERT_EQ(QuorixGetPortDOutputs(device, &latch), QUORIX_OK);
    EXPECT_EQ(latch, value);
    const std::uint16_t address = static_cast<std::uint16_t>(0x200 + (rounds % 64) * 32);
    const std::uint8_t written[16] = {value, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    ASSERT_EQ(QuorixWriteEprom(device, 1, address, 16, written), QUORIX_OK);
    std::uint8_t read[16] = {};
    ASSERT_EQ(QuorixReadEprom(device, 1, address, 16, read), QUORIX_OK);
    EXPECT_EQ(0, std::memcmp(read, written, sizeof read)) << "round " << rounds;
    std::uint32_t held = 0;
    ASSERT_EQ(QuorixNumberOfBytesAvailable(device, &held), QUORIX_OK);
    std::int32_t boards = 0;
    ASSERT_EQ(QuorixCountDevices(&boards), QUORIX_OK);
    EXPECT_EQ(boards, 1);
    ASSERT_EQ(QuorixSetTimeOut(device, 2000 + (rounds % 2)), QUORIX_OK);
    ++rounds;
  }
  EXPECT_GE(reader.Get(), kTotal);
  EXPECT_GT(rounds, 10u);
  std::printf("[ figures  ] 256 MiB read in order while another thread made %" PRIu64
              " rounds of port D, EEPROM, poll, count and timeout calls\n",
              rounds);
  EXPECT_EQ(QuorixCloseDevice(device), QUORIX_OK);
}

TEST_F(ThreadTest, TwoBoardsStreamSideBySide) {
  constexpr std::uint64_t kTotal = 64ull << 20;
  auto stream = [&](const std::string& serial) {
    const QuorixHandle device = OpenBoard(serial, sim::kRateUnlimited, 2000);
    Pattern pattern;
    Bytes buffer(300007);
    while (pattern.position() < kTotal) {
      if (QuorixReadDevice(device, static_cast<std::uint32_t>(buffer.size()), buffer.data()) !=
              QUORIX_OK ||
          !pattern.Check(buffer.data(), buffer.size()))
        break;
    }
    EXPECT_EQ(QuorixCloseDevice(device), QUORIX_OK);
    return pattern.position();
  };
  Background<std::uint64_t> a([&] { return stream("A"); });
  Background<std::uint64_t> b([&] { return stream("B"); });
  EXPECT_GE(a.Get(kStreaming), kTotal);
  EXPECT_GE(b.Get(kStreaming), kTotal);
}

TEST_F(ThreadTest, AReadWithoutLimitIsReleasedByAnotherThreadsPortDRequest) {
  const QuorixHandle device = OpenBoard("P", 0, 0);
  ASSERT_EQ(QuorixSimStartSourceOnPortD(BoardId("P"), 0x5A, 64u << 20), QUORIX_OK);
  Bytes buffer(3u << 20);
  Background<int> read([&] {
    return QuorixReadDevice(device, static_cast<std::uint32_t>(buffer.size()), buffer.data());
  });
  // The read waits for a source that only port D starts: the board's other calls go on.
  EXPECT_EQ(read.Returned(50ms), false);
  std::uint8_t latch = 0xFF;
  ASSERT_EQ(QuorixGetPortDOutputs(device, &latch), QUORIX_OK);
  EXPECT_EQ(latch, 0);
  ASSERT_EQ(QuorixSetPortDOutputs(device, 0x5A), QUORIX_OK);
  EXPECT_EQ(read.Get(), QUORIX_OK);
  EXPECT_EQ(buffer, Counter(0, buffer.size()));
  EXPECT_EQ(QuorixCloseDevice(device), QUORIX_OK);
}

TEST_F(ThreadTest, CloseFromAnotherThreadEndsAWaitingReadAndWrite) {
  const QuorixHandle device = OpenBoard("C", 0, 0);
  bus().Locked([&] { bus().FindBoard(BoardId("C"))->out.completion = sim::Completion::kHold; });
  Bytes buffer(1000);
  const Bytes command(512, 0x33);
  Background<int> read([&] {
    return QuorixReadDevice(device, static_cast<std::uint32_t>(buffer.size()), buffer.data());
  });
  Background<int> write([&] {
    return QuorixWriteDevice(device, static_cast<std::uint32_t>(command.size()), command.data());
  });
  ASSERT_TRUE(CallsWaiting(device, 2));
  const auto start = Clock::now();
  EXPECT_EQ(QuorixCloseDevice(device), QUORIX_OK);
  EXPECT_EQ(read.Get(), QUORIX_ERR_NOT_OPEN);
  EXPECT_EQ(write.Get(), QUORIX_ERR_NOT_OPEN);
  std::printf("[ figures  ] close with a read and a write waiting took %.1f ms\n",
              std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  // Closed as by a close on one thread: the record stays, without its buffers, and opens again.
  EXPECT_EQ(QuorixReadDevice(device, 1, buffer.data()), QUORIX_ERR_NOT_OPEN);
  EXPECT_EQ(bus().Pending(BoardId("C"), kEndpointBulkIn), 0u);
  EXPECT_EQ(bus().Pending(BoardId("C"), kEndpointBulkOut), 0u);
  QuorixHandle again = nullptr;
  ASSERT_EQ(QuorixOpenDevice(0, &again), QUORIX_OK);
  EXPECT_EQ(again, device);
  EXPECT_EQ(QuorixCloseDevice(again), QUORIX_OK);
}

// A close whose abort does not end a waiting write drops the connection to end it; the write
// still reports the close, not the lost connection.
TEST_F(ThreadTest, AWriteEndedByACloseThatDroppedTheConnectionReportsTheClose) {
  const QuorixHandle device = OpenBoard("X", 0, 0);
  const int id = BoardId("X");
  bus().Locked([&] { bus().FindBoard(id)->out.completion = sim::Completion::kHold; });
  const Bytes command(512, 0x33);
  Background<int> write([&] {
    return QuorixWriteDevice(device, static_cast<std::uint32_t>(command.size()), command.data());
  });
  ASSERT_TRUE(Await([&] { return bus().Pending(id, kEndpointBulkOut) == 1; }));
  // The close's first request is the abort of the OUT pipe.
  bus().FailNth(sim::Op::kIoControl, 1, port::error::kGenFailure);
  EXPECT_EQ(QuorixCloseDevice(device), QUORIX_OK);
  EXPECT_EQ(write.Get(), QUORIX_ERR_NOT_OPEN);
  EXPECT_EQ(bus().Pending(id, kEndpointBulkOut), 0u);
}

TEST_F(ThreadTest, AnUnplugEndsAWaitingReadAndTheBoardComesBackAsANewRecord) {
  const QuorixHandle device = OpenBoard("U", 0, 0);
  const int id = BoardId("U");
  Bytes buffer(100);
  Background<int> read([&] {
    return QuorixReadDevice(device, static_cast<std::uint32_t>(buffer.size()), buffer.data());
  });
  ASSERT_TRUE(CallsWaiting(device, 1));
  ASSERT_TRUE(bus().Unplug(id));
  // The read's transfer failed with the board: found after the wait.
  EXPECT_EQ(read.Get(), QUORIX_ERR_TRANSFER);
  // Discovery drops its connection; the record stays until it is closed.
  std::int32_t boards = -1;
  ASSERT_EQ(QuorixCountDevices(&boards), QUORIX_OK);
  EXPECT_EQ(boards, 1);
  EXPECT_EQ(QuorixReadDevice(device, 1, buffer.data()), QUORIX_ERR_NO_DRIVER);
  EXPECT_EQ(QuorixCloseDevice(device), QUORIX_OK);
  EXPECT_EQ(QuorixCloseDevice(device), QUORIX_ERR_FAILED) << "gone with its board";

  // Back again, a waiting read whose connection discovery drops on another thread ends too.
  ASSERT_TRUE(bus().Replug(id));
  QuorixHandle again = nullptr;
  ASSERT_EQ(QuorixOpenDeviceWithSerial("U", &again), QUORIX_OK);
  ASSERT_EQ(QuorixSetTimeOut(again, 0), QUORIX_OK);
  Background<int> second([&] {
    return QuorixReadDevice(again, static_cast<std::uint32_t>(buffer.size()), buffer.data());
  });
  ASSERT_TRUE(CallsWaiting(again, 1));
  // Gone, and the driver has not noticed yet: only discovery finds out, and drops the
  // connection under the waiting read.
  bus().Locked([&] { bus().FindBoard(id)->plugged = false; });
  ASSERT_EQ(QuorixCountDevices(&boards), QUORIX_OK);
  EXPECT_EQ(second.Get(), QUORIX_ERR_NO_DRIVER);
  EXPECT_EQ(QuorixCloseDevice(again), QUORIX_OK);
}

TEST_F(ThreadTest, ThePollOfAnotherThreadWakesAWaitingRead) {
  const QuorixHandle device = OpenBoard("W", 0, 0);
  const int id = BoardId("W");
  Bytes buffer(100);
  for (int round = 0; round < 50; ++round) {
    Background<int> read([&] {
      return QuorixReadDevice(device, static_cast<std::uint32_t>(buffer.size()), buffer.data());
    });
    std::this_thread::sleep_for(std::chrono::microseconds(round * 40));
    bus().Locked([&] { bus().FindBoard(id)->PushIn(Counter(100u * round, 100)); });
    // This thread may take the completion in before the waiting read sees it; without
    // limit, the read then returns only if it is woken.
    std::uint32_t held = 0;
    while (!read.Returned(0ms) && QuorixNumberOfBytesAvailable(device, &held) == QUORIX_OK &&
           held == 0) {
    }
    ASSERT_EQ(read.Get(), QUORIX_OK) << "round " << round;
    ASSERT_EQ(buffer, Counter(100u * round, 100)) << "round " << round;
  }
  EXPECT_EQ(QuorixCloseDevice(device), QUORIX_OK);
}

TEST_F(ThreadTest, TwoReadersOfOneBoardNeverInterleave) {
  const QuorixHandle device = OpenBoard("T", sim::kRateUnlimited, 2000);
  constexpr int kReads = 400;
  // Each read's bytes are one piece of the stream: its first word says where.
  auto read = [&](std::uint32_t size) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> pieces;
    Bytes buffer(size);
    for (int i = 0; i < kReads; ++i) {
      if (QuorixReadDevice(device, size, buffer.data()) != QUORIX_OK) break;
      std::uint32_t word = 0;
      std::memcpy(&word, buffer.data(), 4);
      const std::uint64_t start = std::uint64_t{word} * 4;
      if (buffer != Counter(start, size)) break;
      pieces.emplace_back(start, size);
    }
    return pieces;
  };
  using Pieces = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
  Background<Pieces> a([&] { return read(4096); });
  Background<Pieces> b([&] { return read(65536); });
  auto pieces = a.Get(kStreaming);
  const auto more = b.Get(kStreaming);
  ASSERT_EQ(pieces.size(), static_cast<std::size_t>(kReads));
  ASSERT_EQ(more.size(), static_cast<std::size_t>(kReads));
  pieces.insert(pieces.end(), more.begin(), more.end());
  std::sort(pieces.begin(), pieces.end());
  std::uint64_t position = 0;
  for (const auto& [start, size] : pieces) {
    ASSERT_EQ(start, position) << "the pieces do not tile the stream";
    position += size;
  }
  EXPECT_EQ(QuorixCloseDevice(device), QUORIX_OK);
}

TEST_F(ThreadTest, ACloseWaitingForALongCallOnItsBoardHoldsUpNoOtherBoard) {
  const QuorixHandle busy = OpenBoard("L", 0, 2000);
  const QuorixHandle other = OpenBoard("O", 0, 2000);
  // EEPROM requests, each followed by its pause, with the board held throughout; the pauses
  // last until the test lets them go.
  bus().HoldPauses(true);
  Background<int> startup([&] { return QuorixSetStartupCommand(busy, 0, nullptr); });
  std::optional<Background<int>> close, second_close;
  const ReleasePauses release;
  ASSERT_TRUE(Await([&] { return bus().HeldPauses() == 1; })) << "the command did not start";
  close.emplace([&] { return QuorixCloseDevice(busy); });
  second_close.emplace([&] { return QuorixCloseDevice(busy); });
  // Both closes wait for the board, counted inside it.
  const DeviceRecord* record = RecordOfHandle(busy);
  ASSERT_TRUE(Await([&] { return record->sync->users.load() == 2; }));
  // The other board and discovery do not wait for them.
  std::uint8_t latch = 0xFF;
  EXPECT_EQ(QuorixGetPortDOutputs(other, &latch), QUORIX_OK);
  std::int32_t boards = -1;
  EXPECT_EQ(QuorixCountDevices(&boards), QUORIX_OK);
  EXPECT_EQ(boards, 2);
  EXPECT_EQ(close->Returned(0ms), false);
  bus().HoldPauses(false);
  EXPECT_EQ(startup.Get(), QUORIX_OK);
  // One close closes it; the other finds it closing or closed.
  const int first = close->Get(), second = second_close->Get();
  EXPECT_EQ(std::min(first, second), QUORIX_ERR_NOT_OPEN);
  EXPECT_EQ(std::max(first, second), QUORIX_OK);
  EXPECT_EQ(QuorixGetPortDOutputs(busy, &latch), QUORIX_ERR_NOT_OPEN);
  EXPECT_EQ(QuorixCloseDevice(other), QUORIX_OK);
}

TEST_F(ThreadTest, DetachEndsTheCallsOfOtherThreads) {
  const QuorixHandle device = OpenBoard("D", 0, 0);
  Bytes buffer(100);
  Background<int> read([&] {
    return QuorixReadDevice(device, static_cast<std::uint32_t>(buffer.size()), buffer.data());
  });
  ASSERT_TRUE(CallsWaiting(device, 1));
  ProcessDetach();
  EXPECT_EQ(read.Get(), QUORIX_ERR_NOT_OPEN);
  EXPECT_EQ(gRegistry.count, 0u);
  ProcessAttach();
}

// With reads kept queued the pump takes completions in beside the reader and a polling thread;
// a close of a third ends the reader's wait, and the pump with it.
TEST_F(ThreadTest, AQueuedDeviceStreamsBesideAPollerAndItsCloseEndsAWaitingRead) {
  bus().Locked([&] {
    sim::BoardIdentity identity;
    identity.serial = "Q";
    bus().AddBoard(identity).rate = sim::kRateUnlimited;
  });
  const QuorixReadQueue queue{8, 64 * 1024, 4u << 20};
  QuorixHandle device = nullptr;
  ASSERT_EQ(QuorixOpenDeviceQueued(0, "Q", &queue, &device), QUORIX_OK);
  ASSERT_EQ(QuorixSetTimeOut(device, 0), QUORIX_OK);
  std::atomic<bool> streaming{true};
  Background<bool> reader([&] {
    Pattern pattern;
    Bytes buffer(1 << 20);
    std::uint32_t size = 1;
    while (pattern.position() < (64u << 20)) {
      size = size * 31 % (1 << 20) + 1;
      if (QuorixReadDevice(device, size, buffer.data()) != QUORIX_OK) break;
      if (!pattern.Check(buffer.data(), size)) break;
    }
    streaming = false;
    return pattern.position() >= (64u << 20);
  });
  std::uint64_t polls = 0;
  while (streaming) {
    std::uint32_t held = 0;
    EXPECT_EQ(QuorixNumberOfBytesAvailable(device, &held), QUORIX_OK);
    ++polls;
  }
  EXPECT_TRUE(reader.Get(kStreaming)) << "64 MiB in order";
  std::printf("[ figures  ] 64 MiB read in order beside %llu polls\n",
              static_cast<unsigned long long>(polls));

  bus().Locked([&] { bus().FindBoard(BoardId("Q"))->rate = 0; });
  Bytes rest(8u << 20);
  Background<int> waiting([&] {
    return QuorixReadDevice(device, static_cast<std::uint32_t>(rest.size()), rest.data());
  });
  EXPECT_EQ(waiting.Returned(50ms), false);
  EXPECT_EQ(QuorixCloseDevice(device), QUORIX_OK);
  EXPECT_EQ(waiting.Get(), QUORIX_ERR_NOT_OPEN);
  EXPECT_EQ(bus().Pending(BoardId("Q"), kEndpointBulkIn), 0u);
}

}  // namespace
}  // namespace quorix::test
