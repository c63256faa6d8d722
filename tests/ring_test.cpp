// The receive ring at exact indices: what each read asks for, where it lands, when no read is
// posted for want of room, and when a completion is an overrun.
#include "support/sim_test.h"

namespace quorix::test {
namespace {

constexpr std::uint32_t S = kRingSize;
constexpr std::uint32_t kFirstRead = S - 512;  // 2,096,640
constexpr std::uint32_t kEmptyLimit = S - 8;   // 2,097,144

class RingTest : public OpenDeviceTest {
 protected:
  // The last read posted: where it goes and how much it asks for.
  void ExpectPosted(const void* target, std::uint32_t length) {
    const auto reads = Transfers(kEndpointBulkIn);
    ASSERT_FALSE(reads.empty());
    EXPECT_EQ(reads.back().out, target);
    EXPECT_EQ(reads.back().out_size, length);
    EXPECT_EQ(bus().PendingLength(board_->id, kEndpointBulkIn), length);
  }
};

TEST_F(RingTest, FirstReadAfterOpenAndAnyEmptyRing) {
  ExpectPosted(record_->ring, kFirstRead);
  EXPECT_EQ(record_->read_limit, kEmptyLimit);
  EXPECT_EQ(record_->bounce_flag, 0);
  // The header: 38 zero bytes but the endpoint address.
  Bytes header(38, 0);
  header[13] = 0x86;
  EXPECT_EQ(Transfers(kEndpointBulkIn).back().in, header);

  Repost(*board_, record_, 3, 3);
  ExpectPosted(record_->ring + 3, kFirstRead);
  EXPECT_EQ(record_->read_limit, kEmptyLimit);

  // Empty, but only 100 bytes before the end: bounced, still with all the room.
  Repost(*board_, record_, S - 100, S - 100);
  ExpectPosted(record_->bounce, 512);
  EXPECT_EQ(record_->read_limit, kEmptyLimit);
  EXPECT_EQ(record_->bounce_flag, 1);
}

TEST_F(RingTest, AFullFirstReadLeavesTheBoardWaitingUntilAPacketFits) {
  Push(kFirstRead);
  EXPECT_EQ(Available(handle_), kFirstRead);
  // 504 bytes of room hold no packet: nothing is posted, and the board keeps what it has.
  EXPECT_EQ(record_->read_limit, 504u);
  EXPECT_EQ(record_->read_deferred, 1);
  EXPECT_EQ(bus().Pending(board_->id, kEndpointBulkIn), 0u);
  const auto posted = Transfers(kEndpointBulkIn).size();
  Push(1000, kFirstRead);
  EXPECT_EQ(Available(handle_), kFirstRead);

  // Reading 7 bytes makes 511 of room: still no packet. A read the ring serves asks nothing.
  Bytes out(8);
  ASSERT_EQ(QuorixReadDevice(handle_, 7, out.data()), QUORIX_OK);
  EXPECT_EQ(Available(handle_), kFirstRead - 7);
  EXPECT_EQ(Transfers(kEndpointBulkIn).size(), posted);

  // One more byte and a packet fits: the poll posts a direct read of 512 at the end of the
  // ring, takes the first packet the board held, and the ring is full again.
  ASSERT_EQ(QuorixReadDevice(handle_, 1, out.data()), QUORIX_OK);
  EXPECT_EQ(out, Counter(0, 8));
  EXPECT_EQ(Available(handle_), S - 8);
  EXPECT_EQ(Transfers(kEndpointBulkIn).size(), posted + 1);
  EXPECT_EQ(Transfers(kEndpointBulkIn).back().out, record_->ring + kFirstRead);
  EXPECT_EQ(Transfers(kEndpointBulkIn).back().out_size, 512u);
  EXPECT_EQ(record_->write_index, 0u);
  EXPECT_EQ(record_->read_deferred, 1);

  // Reading everything brings the rest the board held, in order, with nothing lost.
  Bytes all(S - 8 + 488);
  ASSERT_EQ(QuorixReadDevice(handle_, static_cast<std::uint32_t>(all.size()), all.data()),
            QUORIX_OK);
  EXPECT_EQ(all, Counter(8, all.size()));
  EXPECT_EQ(Available(handle_), 0u);
}

TEST_F(RingTest, DirectReadUpToTheEndWrapsTheWriteIndex) {
  Repost(*board_, record_, 1000, kFirstRead);
  ExpectPosted(record_->ring + kFirstRead, 512);
  EXPECT_EQ(record_->read_limit, 1504u);
  EXPECT_EQ(record_->bounce_flag, 0);
  Push(512);
  EXPECT_EQ(Available(handle_), 2096152u);
  EXPECT_EQ(record_->write_index, 0u);
}

TEST_F(RingTest, BouncedReadNearTheEndIsCopiedInTwoPieces) {
  Repost(*board_, record_, 5000, S - 100);
  ExpectPosted(record_->bounce, 512);
  EXPECT_EQ(record_->read_limit, 5092u);
  Push(300);
  EXPECT_EQ(Available(handle_), S - 5000 + 200);
  EXPECT_EQ(record_->write_index, 200u);
  const Bytes pattern = Counter(0, 300);
  EXPECT_EQ(Bytes(record_->ring + S - 100, record_->ring + S),
            Bytes(pattern.begin(), pattern.begin() + 100));
  EXPECT_EQ(Bytes(record_->ring, record_->ring + 200), Bytes(pattern.begin() + 100, pattern.end()));
}

TEST_F(RingTest, AFullRingPostsNothingAndTheNextReadBouncesAcrossTheEnd) {
  Repost(*board_, record_, 0, S - 8);
  EXPECT_EQ(record_->read_limit, 0u);
  EXPECT_EQ(bus().Pending(board_->id, kEndpointBulkIn), 0u);
  board_->PushIn(Counter(0, 600));
  EXPECT_EQ(Available(handle_), S - 8);

  // 600 bytes read make 600 of room, but only 8 lie before the ring's end: the read bounces.
  Bytes out(600);
  ASSERT_EQ(QuorixReadDevice(handle_, 600, out.data()), QUORIX_OK);
  EXPECT_EQ(Available(handle_), S - 8 - 600 + 512);
  EXPECT_EQ(record_->read_limit, 88u) << "after the bounced 512, 88 bytes of room: none posted";
  EXPECT_EQ(record_->read_deferred, 1);
  const auto reads = Transfers(kEndpointBulkIn);
  EXPECT_EQ(reads.back().out, record_->bounce);
  EXPECT_EQ(reads.back().out_size, 512u);
  EXPECT_EQ(record_->write_index, 504u);
  const Bytes pattern = Counter(0, 512);
  EXPECT_EQ(Bytes(record_->ring + S - 8, record_->ring + S),
            Bytes(pattern.begin(), pattern.begin() + 8));
  EXPECT_EQ(Bytes(record_->ring, record_->ring + 504), Bytes(pattern.begin() + 8, pattern.end()));
}

// Only a driver that reports more than the read asked for overruns the ring; the room promised
// when the read was posted always holds what it asked for.
TEST_F(RingTest, AnOverrunIsADriverReportingMoreThanItWasAskedFor) {
  Push(100);
  board_->report = [](std::uint8_t endpoint, std::uint32_t moved) {
    return endpoint == kEndpointBulkIn ? moved + kFirstRead : moved;
  };
  EXPECT_EQ(Available(handle_, QUORIX_ERR_OVERFLOW), 0u);
  EXPECT_EQ(record_->read_index, 0u);
  EXPECT_EQ(record_->write_index, 0u);
  board_->report = nullptr;
  ExpectPosted(record_->ring, kFirstRead);
  Push(100, 100);
  EXPECT_EQ(Available(handle_), 100u);
}

TEST_F(RingTest, AReadCompletedAtOnceIsCommittedAndFollowedBeforePostReadReturns) {
  board_->in.completion = sim::Completion::kAtOnce;
  Push(1000);
  Repost(*board_, record_, 0, 0);
  const auto reads = Transfers(kEndpointBulkIn);
  ASSERT_GE(reads.size(), 2u);
  EXPECT_TRUE(reads[reads.size() - 2].ok);
  EXPECT_EQ(record_->write_index, 1000u);
  // room 2,096,144, rounded down to packets
  ExpectPosted(record_->ring + 1000, 2096128);
  EXPECT_EQ(Available(handle_), 1000u);
}

TEST_F(RingTest, CountsAndTheGate) {
  Push(100);
  EXPECT_EQ(QuorixNumberOfBytesAvailable(handle_, nullptr), QUORIX_OK);
  EXPECT_EQ(record_->write_index, 100u) << "a null count still commits";
  EXPECT_EQ(Transfers(kEndpointBulkIn).size(), 2u);

  std::uint32_t count = 77;
  EXPECT_EQ(QuorixNumberOfBytesAvailable(reinterpret_cast<QuorixHandle>(&count), &count),
            QUORIX_ERR_FAILED);
  EXPECT_EQ(count, 77u) << "a failed gate leaves the count alone";
}

TEST_F(RingTest, AFailedReadIsReportedUntilCloseWhileTheRingDrains) {
  Push(100);
  ASSERT_EQ(Available(handle_), 100u);
  bus().FailPending(board_->id, kEndpointBulkIn, port::error::kGenFailure);
  EXPECT_EQ(Available(handle_, 31), 0u);
  EXPECT_EQ(Available(handle_, 31), 0u);
  Bytes out(100);
  EXPECT_EQ(QuorixReadDevice(handle_, 100, out.data()), QUORIX_OK);
  EXPECT_EQ(out, Counter(0, 100));
  EXPECT_EQ(QuorixReadDevice(handle_, 1, out.data()), 31);
  EXPECT_EQ(bus().Pending(board_->id, kEndpointBulkIn), 0u) << "a failed read is not replaced";
}

// With the ring full no read is outstanding whose failure would tell of an unplug: the poll
// asks the driver instead, and gives what a failed read would, while the ring still drains.
TEST_F(RingTest, AnUnplugWhileTheRingIsFullIsReportedByTheNextPoll) {
  Push(kFirstRead);
  EXPECT_EQ(Available(handle_), kFirstRead);
  ASSERT_EQ(record_->read_deferred, 1);
  ASSERT_TRUE(bus().Unplug(board_->id));
  EXPECT_EQ(Available(handle_, static_cast<int>(port::error::kDeviceNotConnected)), 0u);
  Bytes out(100);
  EXPECT_EQ(QuorixReadDevice(handle_, 100, out.data()), QUORIX_OK);
  EXPECT_EQ(out, Counter(0, 100));
}

TEST_F(RingTest, AReadTheDriverRefusedIsNeverCommittedTwice) {
  Push(100);
  board_->in.refuse = port::error::kNotEnoughMemory;
  EXPECT_EQ(Available(handle_, 8), 0u);
  EXPECT_EQ(record_->write_index, 100u);
  // The overlapped record still shows the 100 bytes; they must not arrive again.
  const auto looks = bus().Calls(sim::Op::kOverlappedResult);
  EXPECT_EQ(Available(handle_, 8), 0u);
  EXPECT_EQ(record_->write_index, 100u);
  EXPECT_EQ(bus().Calls(sim::Op::kOverlappedResult), looks);
  Bytes out(101);
  EXPECT_EQ(QuorixReadDevice(handle_, 101, out.data()), 8);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 100), Counter(0, 100));
  EXPECT_EQ(record_->write_index, 100u);
}

// A driver that reports more than the read asked for would carry w past the ring's end or
// copy from beyond the bounce buffer; such a count is dropped like an overrun.
TEST_F(RingTest, ACountBeyondTheRequestedLengthIsAnOverrun) {
  Repost(*board_, record_, 1000, kFirstRead);
  ASSERT_EQ(record_->read_length, 512u);
  record_->read_limit = 4096;  // as if there were more room than the 512 asked for
  bus().FailPending(board_->id, kEndpointBulkIn, port::error::kOperationAborted);
  EXPECT_EQ(CommitReceived(record_, 513), QUORIX_ERR_OVERFLOW);
  EXPECT_EQ(record_->write_index, 0u);
  ExpectPosted(record_->ring, kFirstRead);
}

}  // namespace
}  // namespace quorix::test
