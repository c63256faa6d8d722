// Long streams through the ring, every byte checked against the counter pattern: nothing may
// be lost, duplicated or reordered except where an overrun is reported, and overruns must
// happen exactly where the room promised to the outstanding read was too small.
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

// The test is the board: it pushes completions of random sizes, so it knows what each
// completion holds and the room its read was promised.
TEST_F(IntegrityTest, RandomCompletionsAndReads) {
  constexpr std::uint64_t kTotal = 256u << 20;
  std::uint64_t pushed = 0, expected = 0, delivered = 0, held = 0;
  int overruns = 0, completions = 0;
  bool slow_reader = false;
  const std::uint64_t allocations = bus().Calls(sim::Op::kAllocate);

  // Pushes one completion and says whether it must overrun.
  auto complete_one = [&]() {
    const std::uint32_t length = bus().PendingLength(board_->id, kEndpointBulkIn);
    const std::uint32_t limit = record_->read_limit;
    std::uint32_t size = 0;
    switch (Random(4)) {
      case 0:
        size = Random(std::min<std::uint32_t>(length, 1100));
        break;
      case 1:
        size = Random(length);
        break;
      case 2:
        size = length;
        break;
      default:
        size = std::min(length, limit + Random(4) - std::min<std::uint32_t>(limit, 2));
    }
    Bytes data(size);
    sim::FillCounter(data.data(), pushed, size);
    board_->PushIn(data);
    if (size < length && size % sim::kPacketSize == 0 && size != 0) board_->PushZeroLengthPacket();
    pushed += size;
    ++completions;
    return size > limit;
  };

  while (delivered < kTotal) {
    if (Random(63) == 0) slow_reader = !slow_reader;
    const std::uint32_t action = Random(9);
    if (action < (slow_reader ? 7u : 3u)) {
      const bool overrun = complete_one();
      const std::uint32_t size = static_cast<std::uint32_t>(pushed - (expected + held));
      std::uint32_t count = 0;
      const int status = QuorixNumberOfBytesAvailable(handle_, &count);
      if (overrun) {
        ASSERT_EQ(status, QUORIX_ERR_OVERFLOW) << "completion " << completions;
        expected = pushed;
        held = 0;
        ++overruns;
      } else {
        ASSERT_EQ(status, QUORIX_OK) << "completion " << completions;
        held += size;
      }
      ASSERT_EQ(count, overrun ? 0 : held);
    } else if (action < 9) {
      const std::uint32_t n = Random(2) == 0 ? Random(std::min<std::uint64_t>(held, 4096))
                                             : Random(static_cast<std::uint32_t>(held));
      ASSERT_EQ(QuorixReadDevice(handle_, n, buffer_.data()), QUORIX_OK);
      ASSERT_EQ(Mismatch(buffer_.data(), expected, n), n) << "at " << expected;
      expected += n;
      held -= n;
      delivered += n;
    } else {
      // A read beyond what is held takes in the next completion itself.
      const std::uint64_t before = pushed;
      const bool overrun = complete_one();
      const std::uint32_t size = static_cast<std::uint32_t>(pushed - before);
      if (size == 0) {
        // Nothing for the read to take: let a poll take the empty completion in.
        ASSERT_EQ(QuorixNumberOfBytesAvailable(handle_, nullptr), QUORIX_OK);
        continue;
      }
      const auto n = static_cast<std::uint32_t>(held + 1 + Random(size - 1));
      const int status = QuorixReadDevice(handle_, n, buffer_.data());
      const auto copied = static_cast<std::uint32_t>(overrun ? held : n);
      ASSERT_EQ(status, overrun ? QUORIX_ERR_OVERFLOW : QUORIX_OK) << "completion " << completions;
      ASSERT_EQ(Mismatch(buffer_.data(), expected, copied), copied) << "at " << expected;
      delivered += copied;
      if (overrun) {
        expected = pushed;
        held = 0;
        ++overruns;
      } else {
        expected += n;
        held = held + size - n;
      }
    }
    ASSERT_EQ(BytesHeld(record_), held);
  }
  EXPECT_GT(overruns, 10);
  EXPECT_EQ(bus().Calls(sim::Op::kAllocate), allocations) << "nothing is allocated after open";
  std::printf("[ figures  ] %" PRIu64 " MiB delivered in %d completions, %d overruns\n",
              delivered >> 20, completions, overruns);
}

// The board's own flow-controlled source, read in random sizes, with pauses and with polls
// that take completions in without reading: the stream has no gap, except where a completion
// overran the room promised to its read. The source sends whole packets and never a short
// one, so every completion fills its read.
TEST_F(IntegrityTest, TheCounterSourceStaysContiguous) {
  constexpr std::uint64_t kTotal = 64u << 20;
  board_->source = sim::Source::kCounter;
  board_->rate = 64u << 20;
  std::uint64_t expected = 0, delivered = 0;
  int overruns = 0;
  auto overruns_now = [&] { return record_->read_length > record_->read_limit; };
  while (delivered < kTotal) {
    const std::uint32_t action = Random(7);
    const std::uint32_t held = BytesHeld(record_);
    if (action == 0) {
      bus().PassTime(Random(50));
    } else if (action < 3) {
      bus().Advance();
      const bool overrun = bus().Pending(board_->id, kEndpointBulkIn) == 0 && overruns_now();
      const std::uint32_t dropped = held + record_->read_length;
      ASSERT_EQ(QuorixNumberOfBytesAvailable(handle_, nullptr),
                overrun ? QUORIX_ERR_OVERFLOW : QUORIX_OK);
      if (overrun) {
        expected += dropped;
        ++overruns;
      }
    } else {
      const std::uint32_t n = Random(3) == 0 ? Random(16) : Random(1u << 20);
      // A read looks at the outstanding read only once it has emptied the ring.
      const bool overrun = n > held && overruns_now();
      const std::uint32_t dropped = record_->read_length;
      const int status = QuorixReadDevice(handle_, n, buffer_.data());
      const std::uint32_t copied = overrun ? held : n;
      ASSERT_EQ(status, overrun ? QUORIX_ERR_OVERFLOW : QUORIX_OK) << "at " << expected;
      ASSERT_EQ(Mismatch(buffer_.data(), expected, copied), copied) << "at " << expected;
      delivered += copied;
      expected += copied;
      if (overrun) {
        expected += dropped;
        ++overruns;
      }
    }
  }
  EXPECT_GT(overruns, 0);
  std::printf("[ figures  ] %" PRIu64 " MiB of the source delivered, %d overruns\n",
              delivered >> 20, overruns);
}

}  // namespace
}  // namespace quorix::test
