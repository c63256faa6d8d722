// Reads kept queued, and the classic read's look at the driver while it drains the ring.
#include <chrono>
#include <cstdlib>
#include <thread>

#include "support/sim_test.h"

namespace quorix::test {
namespace {

// The environment of the process, as an application that cannot be rebuilt is given it.
void SetEnvironment(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value != nullptr ? value : "");
#else
  if (value != nullptr)
    setenv(name, value, 1);
  else
    unsetenv(name);
#endif
}

class QueueTest : public SimTest {
 protected:
  static QuorixHandle OpenQueued(std::uint32_t reads, std::uint32_t size, std::uint32_t ring) {
    const QuorixReadQueue queue{reads, size, ring};
    QuorixHandle handle = nullptr;
    EXPECT_EQ(QuorixOpenDeviceQueued(0, nullptr, &queue, &handle), QUORIX_OK);
    return handle;
  }
  static QuorixStreamStatistics Stats(QuorixHandle handle) {
    QuorixStreamStatistics stats{};
    stats.size = sizeof stats;
    EXPECT_EQ(QuorixGetStreamStatistics(handle, &stats), QUORIX_OK);
    return stats;
  }
};

TEST_F(QueueTest, KeepsItsReadsPostedInRingOrderAndDeliversTheCounterInOrder) {
  AddBoard("Q").rate = sim::kRateUnlimited;
  QuorixHandle handle = OpenQueued(4, 64 * 1024, 1024 * 1024);
  QuorixReadQueue shape{};
  ASSERT_EQ(QuorixGetReadQueue(handle, &shape), QUORIX_OK);
  EXPECT_EQ(shape.reads, 4u);
  EXPECT_EQ(shape.read_size, 64u * 1024);
  EXPECT_EQ(shape.ring_size, 1024u * 1024);

  // The four reads were posted at open, one behind the other in the ring.
  const auto posted = Transfers(kEndpointBulkIn);
  ASSERT_EQ(posted.size(), 4u);
  for (std::size_t i = 0; i < posted.size(); ++i) {
    EXPECT_EQ(posted[i].out_size, 64u * 1024);
    EXPECT_EQ(static_cast<const std::uint8_t*>(posted[i].out) - Record(handle)->ring,
              static_cast<std::ptrdiff_t>(i * 64 * 1024));
  }

  // Odd sizes across many wraps of the ring: every byte in order.
  const std::uint32_t total = 24u << 20;
  std::uint64_t position = 0;
  std::uint32_t size = 1;
  Bytes buffer(300000);
  while (position < total) {
    size = size * 7 % 299999 + 1;
    ASSERT_EQ(QuorixReadDevice(handle, size, buffer.data()), QUORIX_OK);
    ASSERT_EQ(Bytes(buffer.begin(), buffer.begin() + size), Counter(position, size))
        << "at byte " << position;
    position += size;
  }
  const QuorixStreamStatistics stats = Stats(handle);
  EXPECT_GE(stats.bytes_received, position);
  EXPECT_EQ(stats.bytes_received, stats.reads_completed * 64 * 1024);
  EXPECT_LE(stats.reads_posted, 4u);
  EXPECT_EQ(QuorixCloseDevice(handle), QUORIX_OK);
  EXPECT_EQ(bus().Pending(1, kEndpointBulkIn), 0u);
}

TEST_F(QueueTest, ShortCompletionsLeaveHolesThatTheReaderSkips) {
  sim::Board& board = QuietBoard();
  // Two reads of 4 KiB in a 16 KiB ring: short completions and wraps leave holes.
  QuorixHandle handle = OpenQueued(2, 4096, 16384);
  Bytes sent;
  std::uint32_t length = 1;
  for (int burst = 0; burst < 60; ++burst) {
    length = length * 13 % 4095 + 1;  // 1 to 4095 bytes: each ends its read short
    const Bytes data = Counter(sent.size(), length);
    board.PushIn(data);
    sent.insert(sent.end(), data.begin(), data.end());
    if (burst % 3 == 2) {
      Bytes all;
      while (all.size() < sent.size()) {
        const std::uint32_t held = Available(handle);
        ASSERT_GT(held, 0u);
        Bytes piece(held);
        ASSERT_EQ(QuorixReadDevice(handle, held, piece.data()), QUORIX_OK);
        all.insert(all.end(), piece.begin(), piece.end());
      }
      ASSERT_EQ(all, sent);
      sent.clear();
    }
  }
  EXPECT_EQ(QuorixCloseDevice(handle), QUORIX_OK);
}

TEST_F(QueueTest, UnplugAndCloseEndTheWholeQueue) {
  sim::Board& board = QuietBoard();
  QuorixHandle handle = OpenQueued(8, 4096, 65536);
  EXPECT_EQ(bus().Pending(board.id, kEndpointBulkIn), 8u);
  board.PushIn(Counter(0, 100));
  EXPECT_EQ(Available(handle), 100u);
  bus().Unplug(board.id);
  // What was taken in before the unplug is delivered; the poll reports the failure at once.
  Bytes got(100);
  EXPECT_EQ(QuorixNumberOfBytesAvailable(handle, nullptr), 1167);
  EXPECT_EQ(QuorixReadDevice(handle, 100, got.data()), QUORIX_OK);
  EXPECT_EQ(got, Counter(0, 100));
  EXPECT_EQ(QuorixReadDevice(handle, 1, got.data()), 1167);
  EXPECT_EQ(QuorixCloseDevice(handle), QUORIX_OK);
  EXPECT_EQ(Count(), 0);
}

TEST_F(QueueTest, TheEnvironmentChoosesTheQueueOfAClassicOpen) {
  AddBoard("E");
  SetEnvironment("QUORIX_READ_QUEUE", "8x256K");
  SetEnvironment("QUORIX_RING_SIZE", "8M");
  QuorixHandle handle = Open();
  QuorixReadQueue shape{};
  ASSERT_EQ(QuorixGetReadQueue(handle, &shape), QUORIX_OK);
  EXPECT_EQ(shape.reads, 8u);
  EXPECT_EQ(shape.read_size, 256u * 1024);
  EXPECT_EQ(shape.ring_size, 8u << 20);
  EXPECT_EQ(QuorixCloseDevice(handle), QUORIX_OK);

  // A value that cannot be used leaves the classic read.
  SetEnvironment("QUORIX_READ_QUEUE", "8x100");
  handle = Open();
  ASSERT_EQ(QuorixGetReadQueue(handle, &shape), QUORIX_OK);
  EXPECT_EQ(shape.reads, 0u);
  EXPECT_EQ(shape.ring_size, kRingSize);
  EXPECT_EQ(Transfers(kEndpointBulkIn).back().out_size, kRingSize - 512);
  EXPECT_EQ(QuorixCloseDevice(handle), QUORIX_OK);
  SetEnvironment("QUORIX_READ_QUEUE", nullptr);
  SetEnvironment("QUORIX_RING_SIZE", nullptr);

  // Shapes outside the limits are refused and nothing is opened.
  const QuorixReadQueue bad[] = {{65, 512, 0}, {1, 1000, 0}, {4, 4096, 8192}, {1, 8u << 20, 0}};
  for (const QuorixReadQueue& queue : bad) {
    QuorixHandle none = nullptr;
    EXPECT_EQ(QuorixOpenDeviceQueued(0, "E", &queue, &none), QUORIX_ERR_FAILED);
    EXPECT_EQ(none, nullptr);
  }
}

// The classic read looks at the driver every 64 KiB it takes: a full ring drained without polls
// has its next read posted long before it is empty.
TEST_F(QueueTest, AClassicReadThatDrainsAFullRingPostsTheNextReadOnTheWay) {
  sim::Board& board = AddBoard("C");
  board.rate = sim::kRateUnlimited;
  QuorixHandle handle = Open();
  EXPECT_EQ(Available(handle), kRingSize - 512);  // full: the next read waits for room
  ASSERT_EQ(Transfers(kEndpointBulkIn).size(), 1u);
  Bytes buffer(kRingSize - 512);
  ASSERT_EQ(QuorixReadDevice(handle, kRingSize - 512, buffer.data()), QUORIX_OK);
  EXPECT_EQ(buffer, Counter(0, buffer.size()));
  EXPECT_GT(Transfers(kEndpointBulkIn).size(), 1u);
  ASSERT_EQ(QuorixReadDevice(handle, 4096, buffer.data()), QUORIX_OK);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 4096), Counter(kRingSize - 512, 4096));
  EXPECT_EQ(QuorixCloseDevice(handle), QUORIX_OK);
}

// On the real clock the pump takes completions in and posts the reads again while the
// application makes no call at all.
TEST_F(QueueTest, ThePumpKeepsTheReadsPostedWithoutTheApplication) {
  bus().UseVirtualClock(false);
  AddBoard("P");
  QuorixHandle handle = OpenQueued(4, 64 * 1024, 4u << 20);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  QuorixStreamStatistics stats = Stats(handle);
  while (stats.reads_completed < 12 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    stats = Stats(handle);
  }
  EXPECT_GE(stats.reads_completed, 12u) << "only the pump could have taken them in";
  Bytes got(stats.bytes_received);
  ASSERT_EQ(QuorixReadDevice(handle, static_cast<std::uint32_t>(got.size()), got.data()),
            QUORIX_OK);
  EXPECT_EQ(got, Counter(0, got.size()));
  EXPECT_EQ(QuorixCloseDevice(handle), QUORIX_OK);
}

}  // namespace
}  // namespace quorix::test
