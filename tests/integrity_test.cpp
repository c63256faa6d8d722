// Long streams through the ring, every byte checked against the counter pattern: whatever the
// sizes of the completions and of the reads, and however polls and reads interleave, nothing
// may be lost, duplicated or reordered, and no overrun may happen.
#include <cinttypes>
#include <cstdio>
#include <random>

#include "support/sim_test.h"

namespace quorix::test {
namespace {

class IntegrityTest : public OpenDeviceTest {
 protected:
  void SetUp() override {
    OpenDeviceTest::SetUp();
    bus().LogWire(false);
    buffer_.resize(kRingSize);
  }
  void TearDown() override {
    bus().LogWire(true);
    OpenDeviceTest::TearDown();
  }

  // The position of the first byte that does not continue the pattern from position, or n.
  static std::size_t Mismatch(const std::uint8_t* data, std::uint64_t position, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
      if (data[i] != sim::CounterByte(position + i)) return i;
    return n;
  }

  std::uint32_t Random(std::uint32_t bound) {  // 0..bound
    return static_cast<std::uint32_t>(rng_() % (std::uint64_t{bound} + 1));
  }

  Bytes buffer_;
  std::mt19937_64 rng_{20261208};
};

// The test is the board: it pushes completions of random sizes into the read outstanding, so
// it knows what each completion holds. A slow reader lets the ring fill, so that reads are
// often deferred for want of room.
TEST_F(IntegrityTest, RandomCompletionsAndReads) {
  constexpr std::uint64_t kTotal = 256u << 20;
  std::uint64_t pushed = 0, expected = 0, delivered = 0, held = 0;
  int completions = 0, deferred = 0;
  bool slow_reader = false;
  const std::uint64_t allocations = bus().Calls(sim::Op::kAllocate);

  // Pushes one completion of the read outstanding and returns its size.
  auto complete_one = [&]() -> std::uint32_t {
    const std::uint32_t length = bus().PendingLength(board_->id, kEndpointBulkIn);
    std::uint32_t size = 0;
    switch (Random(3)) {
      case 0:
        size = Random(std::min<std::uint32_t>(length, 1100));
        break;
      case 1:
        size = Random(length);
        break;
      default:
        size = length;
    }
    Bytes data(size);
    sim::FillCounter(data.data(), pushed, size);
    board_->PushIn(data);
    if (size < length && size % sim::kPacketSize == 0 && size != 0) board_->PushZeroLengthPacket();
    pushed += size;
    ++completions;
    return size;
  };

  while (delivered < kTotal) {
    if (Random(63) == 0) slow_reader = !slow_reader;
    const bool posted = bus().Pending(board_->id, kEndpointBulkIn) != 0;
    if (!posted) ++deferred;
    const std::uint32_t action = Random(9);
    if (posted && action < (slow_reader ? 7u : 3u)) {
      const std::uint32_t size = complete_one();
      std::uint32_t count = 0;
      ASSERT_EQ(QuorixNumberOfBytesAvailable(handle_, &count), QUORIX_OK)
          << "completion " << completions;
      held += size;
      ASSERT_EQ(count, held);
    } else if (!posted || action < 9) {
      // With no read posted the board waits; reading what is held, or a poll, goes on.
      if (!posted && Random(3) == 0) {
        ASSERT_EQ(QuorixNumberOfBytesAvailable(handle_, nullptr), QUORIX_OK);
        continue;
      }
      const std::uint32_t n = Random(2) == 0 ? Random(std::min<std::uint64_t>(held, 4096))
                                             : Random(static_cast<std::uint32_t>(held));
      ASSERT_EQ(QuorixReadDevice(handle_, n, buffer_.data()), QUORIX_OK);
      ASSERT_EQ(Mismatch(buffer_.data(), expected, n), n) << "at " << expected;
      expected += n;
      held -= n;
      delivered += n;
    } else {
      // A read beyond what is held takes in the next completion itself.
      const std::uint32_t size = complete_one();
      if (size == 0) {
        // Nothing for the read to take: let a poll take the empty completion in.
        ASSERT_EQ(QuorixNumberOfBytesAvailable(handle_, nullptr), QUORIX_OK);
        continue;
      }
      const auto n = static_cast<std::uint32_t>(held + 1 + Random(size - 1));
      ASSERT_EQ(QuorixReadDevice(handle_, n, buffer_.data()), QUORIX_OK)
          << "completion " << completions;
      ASSERT_EQ(Mismatch(buffer_.data(), expected, n), n) << "at " << expected;
      delivered += n;
      expected += n;
      held = held + size - n;
    }
    ASSERT_EQ(BytesHeld(record_), held);
  }
  EXPECT_GT(deferred, 10) << "the ring should have filled now and then";
  EXPECT_EQ(bus().Calls(sim::Op::kAllocate), allocations) << "nothing is allocated after open";
  std::printf("[ figures  ] %" PRIu64 " MiB delivered in %d completions, %d looks with no read "
              "posted, 0 overruns\n",
              delivered >> 20, completions, deferred);
}

// The board's own flow-controlled source, read in random sizes, with pauses and with polls
// that take completions in without reading: the stream has no gap and no overrun, also when
// the reader falls behind and the ring fills.
TEST_F(IntegrityTest, TheCounterSourceStaysContiguous) {
  constexpr std::uint64_t kTotal = 64u << 20;
  board_->source = sim::Source::kCounter;
  board_->rate = 64u << 20;
  std::uint64_t expected = 0;
  int full = 0;
  while (expected < kTotal) {
    const std::uint32_t action = Random(7);
    if (action == 0) {
      bus().PassTime(Random(50));
    } else if (action < 3) {
      bus().Advance();
      ASSERT_EQ(QuorixNumberOfBytesAvailable(handle_, nullptr), QUORIX_OK) << "at " << expected;
    } else {
      const std::uint32_t n = Random(3) == 0 ? Random(16) : Random(1u << 20);
      ASSERT_EQ(QuorixReadDevice(handle_, n, buffer_.data()), QUORIX_OK) << "at " << expected;
      ASSERT_EQ(Mismatch(buffer_.data(), expected, n), n) << "at " << expected;
      expected += n;
    }
    if (record_->read_deferred != 0) ++full;
  }
  EXPECT_GT(full, 0) << "the ring should have filled now and then";
  std::printf("[ figures  ] %" PRIu64 " MiB of the source delivered in order, the ring full "
              "after %d calls, 0 overruns\n",
              expected >> 20, full);
}

// The loops applications write, at the USB 2.0 rate on virtual time (each poll that finds too
// little waits a millisecond): none may lose a byte.
TEST_F(IntegrityTest, ApplicationLoopsLoseNothingAtTheUsb2Rate) {
  constexpr std::uint64_t kTotal = 64u << 20;
  constexpr std::uint32_t kBlock = 64u << 10;
  board_->source = sim::Source::kCounter;
  board_->rate = 53248000;
  auto poll = [&]() {
    std::uint32_t count = 0;
    EXPECT_EQ(QuorixNumberOfBytesAvailable(handle_, &count), QUORIX_OK);
    return count;
  };
  auto take = [&](std::uint64_t& position, std::uint32_t n) {
    ASSERT_EQ(QuorixReadDevice(handle_, n, buffer_.data()), QUORIX_OK) << "at " << position;
    ASSERT_EQ(Mismatch(buffer_.data(), position, n), n) << "at " << position;
    position += n;
  };
  auto restart = [&]() {
    ASSERT_EQ(QuorixCloseDevice(handle_), QUORIX_OK);
    handle_ = Open();
    record_ = Record(handle_);
  };

  std::uint64_t position = 0;
  // Poll; once 64 KiB are held, read 64 KiB.
  while (position < kTotal) {
    if (poll() >= kBlock) {
      take(position, kBlock);
    } else {
      bus().PassTime(1);
    }
  }
  restart();
  // Poll; read everything held.
  for (position = 0; position < kTotal;) {
    const std::uint32_t held = poll();
    if (held != 0) {
      take(position, held);
    } else {
      bus().PassTime(1);
    }
  }
  restart();
  // Read 64 KiB; then poll once.
  for (position = 0; position < kTotal;) {
    take(position, kBlock);
    (void)poll();
  }
}

}  // namespace
}  // namespace quorix::test
