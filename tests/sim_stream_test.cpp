// The simulated bulk endpoints, driven through the port as the library drives them: packet
// rules, the flow-controlled source, completion modes, aborts and the virtual clock.
#include "quorix/quorix_sim.h"
#include "support/sim_test.h"

namespace quorix::test {
namespace {

class SimStreamTest : public SimTest {
 protected:
  struct Transfer {
    port::Overlapped overlapped{};
    Bytes buffer;
    bool at_once = false;
    std::uint32_t error = 0;  // of the I/O control call; 997 while pending
    std::uint32_t returned = 0;
  };

  void SetUp() override {
    SimTest::SetUp();
    board_ = &AddBoard("S");
    board_->source = sim::Source::kNone;
    board_->configuration = 1;
    driver_ = port::OpenPath(board_->path.c_str(), 0xC0000000, 3, 3, 0x40000000);
    ASSERT_NE(driver_, nullptr);
  }
  void TearDown() override {
    for (auto& transfer : transfers_) EXPECT_TRUE(port::CloseHandle(transfer->overlapped.event));
    EXPECT_TRUE(port::CloseHandle(driver_));
    SimTest::TearDown();
  }

  Transfer& Post(std::uint8_t endpoint, std::uint32_t length, Bytes data = {}) {
    auto& transfer = *transfers_.emplace_back(std::make_unique<Transfer>());
    transfer.overlapped.event = port::NewEvent(false);
    transfer.buffer = data.empty() ? Bytes(length) : std::move(data);
    SingleTransfer header{};
    header.endpoint = endpoint;
    transfer.at_once =
        port::IoControl(driver_, kIoctlDirectTransfer, &header, kHeaderSize, transfer.buffer.data(),
                        static_cast<std::uint32_t>(transfer.buffer.size()), &transfer.returned,
                        &transfer.overlapped);
    transfer.error = transfer.at_once ? 0 : port::LastError();
    return transfer;
  }
  // 996 while pending, else 0 or the transfer's error; bytes through count.
  static std::uint32_t Result(Transfer& transfer, std::uint32_t* count = nullptr) {
    std::uint32_t bytes = 0;
    const bool done = port::OverlappedResult(nullptr, &transfer.overlapped, &bytes);
    if (count != nullptr) *count = bytes;
    return done ? 0 : port::LastError();
  }
  std::uint32_t Pipe(std::uint32_t code, std::uint8_t endpoint) {
    std::uint32_t returned = 0;
    return port::IoControl(driver_, code, &endpoint, 1, nullptr, 0, &returned, nullptr)
               ? 0
               : port::LastError();
  }

  sim::Board* board_ = nullptr;
  port::Handle driver_ = nullptr;
  std::vector<std::unique_ptr<Transfer>> transfers_;
};

TEST_F(SimStreamTest, AReadEndsWhenFullOrAtAShortPacket) {
  board_->PushIn(Counter(0, 1000));  // 512 + 488
  Transfer& a = Post(0x86, 2048);
  EXPECT_EQ(a.error, port::error::kIoPending);
  std::uint32_t count = 0;
  EXPECT_EQ(Result(a, &count), 0u);
  EXPECT_EQ(count, 1000u);
  EXPECT_EQ(Bytes(a.buffer.begin(), a.buffer.begin() + 1000), Counter(0, 1000));

  board_->PushIn(Counter(0, 1024));  // two full packets end nothing
  Transfer& b = Post(0x86, 2048);
  EXPECT_EQ(Result(b), port::error::kIoIncomplete);
  board_->PushZeroLengthPacket();
  EXPECT_EQ(Result(b, &count), 0u);
  EXPECT_EQ(count, 1024u);

  board_->PushIn(Counter(0, 3000));
  Transfer& c = Post(0x86, 1024);
  EXPECT_EQ(Result(c, &count), 0u);
  EXPECT_EQ(count, 1024u);
  Transfer& d = Post(0x86, 4096);
  EXPECT_EQ(Result(d, &count), 0u);
  EXPECT_EQ(count, 3000u - 1024u) << "the rest waited for the next read";
  // A packet larger than what is left of the buffer is babble.
  board_->PushIn(Counter(0, 512));
  EXPECT_EQ(Result(Post(0x86, 100)), port::error::kGenFailure);
}

TEST_F(SimStreamTest, TheSourceRunsAtItsRateAndStallsWithoutARead) {
  board_->source = sim::Source::kCounter;
  board_->rate = 1 << 20;  // a packet every 0.48828125 ms
  board_->RestartSource(bus().NowUs());
  const std::uint64_t start = bus().NowUs();
  Transfer& a = Post(0x86, 4096);
  EXPECT_EQ(port::WaitEvent(a.overlapped.event, 100), port::kWaitObject0);
  EXPECT_EQ(bus().NowUs() - start, 3907u);  // 8 packets: 3906.25 µs, seen at the next µs
  EXPECT_EQ(a.buffer, Counter(0, 4096));

  // A second without a read fills the 2 KiB FIFO and no more; nothing is dropped.
  bus().PassTime(1000);
  Transfer& b = Post(0x86, 8192);
  EXPECT_EQ(port::WaitEvent(b.overlapped.event, 100), port::kWaitObject0);
  // The 12 packets beyond the FIFO: 5859.375 µs.
  EXPECT_EQ(bus().NowUs() - start, 3907u + 1000000u + 5860u);
  EXPECT_EQ(b.buffer, Counter(4096, 8192));

  // A wait that times out leaves what arrived meanwhile in the pending read.
  Transfer& c = Post(0x86, 1 << 20);
  EXPECT_EQ(port::WaitEvent(c.overlapped.event, 10), port::kWaitTimeout);
  EXPECT_EQ(bus().NowUs() - start, 3907u + 1000000u + 5860u + 10000u);
  EXPECT_EQ(Pipe(kIoctlAbortPipe, 0x86), 0u);
  std::uint32_t count = 0;
  EXPECT_EQ(Result(c, &count), port::error::kOperationAborted);
  EXPECT_EQ(count, 20u * 512u);  // 10 ms at the rate: 20 whole packets

  // Configuring the board restarts the pattern.
  board_->rate = sim::kRateUnlimited;
  Bytes configure(38, 0);
  configure[1] = 9;
  configure[2] = 1;
  configure[30] = 38;  // buffer offset
  std::uint32_t returned = 0;
  ASSERT_TRUE(port::IoControl(driver_, kIoctlControlTransfer, configure.data(), 38,
                              configure.data(), 38, &returned, nullptr));
  Transfer& d = Post(0x86, 1024);
  EXPECT_EQ(Result(d), 0u);
  EXPECT_EQ(d.buffer, Counter(0, 1024));
  board_->source = sim::Source::kNone;
}

TEST_F(SimStreamTest, TheFlowControlledSourceRunsOnIntoEveryQueuedRead) {
  board_->source = sim::Source::kCounter;
  board_->rate = 1 << 20;
  board_->RestartSource(bus().NowUs());
  // 100 ms is room for both reads and the FIFO: the second one full needs no wait.
  Transfer& a = Post(0x86, 4096);
  Transfer& b = Post(0x86, 4096);
  bus().PassTime(100);
  EXPECT_EQ(Result(b), 0u);
  EXPECT_EQ(Result(a), 0u);
  EXPECT_EQ(a.buffer, Counter(0, 4096));
  EXPECT_EQ(b.buffer, Counter(4096, 4096));
  board_->source = sim::Source::kNone;
}

TEST_F(SimStreamTest, AFixedRateSourceFillsQueuedReadsInOrderThenItsFifoThenDrops) {
  constexpr std::uint32_t kRate = 48000000;  // 93,750 packets a second
  constexpr std::uint32_t kRead = 64 * 1024;
  ASSERT_EQ(QuorixSimSetSource(board_->id, QUORIX_SIM_SOURCE_FIXED_RATE, kRate), QUORIX_OK);
  for (const std::uint32_t fifo : {QUORIX_SIM_FIFO_DEFAULT, 16384u}) {
    SCOPED_TRACE(fifo);
    ASSERT_EQ(QuorixSimSetBoardFifo(board_->id, fifo), QUORIX_OK);
    board_->RestartSource(bus().NowUs());
    std::uint64_t dropped = 1, dropped_before = 0;
    ASSERT_EQ(QuorixSimGetDroppedBytes(board_->id, &dropped_before), QUORIX_OK);
    // Three reads queued at once: each one full goes on into the next, and a wait for the
    // last lasts exactly as long as the source takes for all three. Nothing is lost.
    std::uint64_t start = bus().NowUs();
    Transfer* reads[3];
    for (Transfer*& read : reads) read = &Post(0x86, kRead);
    ASSERT_EQ(port::WaitEvent(reads[2]->overlapped.event, 1000), port::kWaitObject0);
    EXPECT_EQ(bus().NowUs() - start, 3ull * kRead * 1000000 / kRate);  // 4,096 µs
    std::uint64_t position = 0;
    for (Transfer* read : reads) {
      EXPECT_EQ(Result(*read), 0u);
      EXPECT_EQ(read->buffer, Counter(position, kRead));
      position += kRead;
    }
    ASSERT_EQ(QuorixSimGetDroppedBytes(board_->id, &dropped), QUORIX_OK);
    EXPECT_EQ(dropped, dropped_before);

    // A read, then 16 ms (1,500 packets) before anyone looks: the read takes the first 128
    // packets and completes; with none queued the FIFO keeps what it holds of the rest,
    // and what follows is lost.
    Transfer& a = Post(0x86, kRead);
    bus().PassTime(16);
    const std::uint64_t lost = (1500 - kRead / 512) * 512 - fifo;
    ASSERT_EQ(QuorixSimGetDroppedBytes(board_->id, &dropped), QUORIX_OK);
    EXPECT_EQ(dropped - dropped_before, lost);
    EXPECT_EQ(Result(a), 0u);
    EXPECT_EQ(a.buffer, Counter(position, kRead));
    position += kRead;
    // A read posted now gets what the FIFO kept, then only what comes after it: the gap in
    // the pattern is exactly what was dropped.
    start = bus().NowUs();
    Transfer& b = Post(0x86, kRead);
    ASSERT_EQ(port::WaitEvent(b.overlapped.event, 1000), port::kWaitObject0);
    EXPECT_EQ(bus().NowUs() - start, ((kRead - fifo) * 1000000ull + kRate - 1) / kRate);
    Bytes expected = Counter(position, fifo);
    const Bytes after = Counter(position + fifo + lost, kRead - fifo);
    expected.insert(expected.end(), after.begin(), after.end());
    EXPECT_EQ(b.buffer, expected);
  }
  EXPECT_EQ(QuorixSimSetBoardFifo(board_->id, 1000), QUORIX_ERR_FAILED) << "not whole packets";
  EXPECT_EQ(QuorixSimSetBoardFifo(99, 2048), QUORIX_ERR_FAILED);
  EXPECT_EQ(QuorixSimGetDroppedBytes(board_->id, nullptr), QUORIX_ERR_FAILED);
  EXPECT_EQ(QuorixSimGetDroppedBytes(99, nullptr), QUORIX_ERR_FAILED);
  EXPECT_EQ(QuorixSimSetSource(board_->id, QUORIX_SIM_SOURCE_FIXED_RATE,
                               QUORIX_SIM_RATE_UNLIMITED),
            QUORIX_ERR_FAILED);
  board_->source = sim::Source::kNone;
}

TEST_F(SimStreamTest, CompletionModesAbortsAndStalls) {
  board_->in.completion = sim::Completion::kAtOnce;
  board_->PushIn(Counter(0, 10));
  Transfer& a = Post(0x86, 512);
  EXPECT_TRUE(a.at_once);
  EXPECT_EQ(a.returned, 10u);
  EXPECT_EQ(port::WaitEvent(a.overlapped.event, 0), port::kWaitObject0);
  // At once only with the data at hand; otherwise pending.
  Transfer& b = Post(0x86, 512);
  EXPECT_EQ(b.error, port::error::kIoPending);
  EXPECT_EQ(Pipe(kIoctlAbortPipe, 0x86), 0u);
  EXPECT_EQ(Result(b), port::error::kOperationAborted);
  EXPECT_EQ(port::WaitEvent(b.overlapped.event, 0), port::kWaitObject0);

  board_->out.completion = sim::Completion::kHold;
  Transfer& c = Post(0x02, 4, {1, 2, 3, 4});
  EXPECT_EQ(port::WaitEvent(c.overlapped.event, 500), port::kWaitTimeout);
  EXPECT_EQ(port::WaitEvent(c.overlapped.event, port::kInfinite), port::kWaitFailed);
  EXPECT_EQ(port::LastError(), 1131u) << "a wait that could never end fails";
  EXPECT_EQ(Pipe(kIoctlAbortPipe, 0x02), 0u);
  EXPECT_EQ(Result(c), port::error::kOperationAborted);
  EXPECT_TRUE(board_->out_data.empty());

  bus().Stall(board_->id, 0x02);
  EXPECT_EQ(Post(0x02, 1, {9}).error, port::error::kGenFailure);
  EXPECT_EQ(Pipe(kIoctlResetPipe, 0x02), 0u);
  board_->out.completion = sim::Completion::kLater;
  Transfer& d = Post(0x02, 1, {9});
  EXPECT_EQ(Result(d), 0u);
  EXPECT_EQ(board_->out_data, Bytes{9});
}

TEST_F(SimStreamTest, PendingTransfersEndWithTheBoardOrTheHandle) {
  Transfer& a = Post(0x86, 512);
  port::Handle second = port::OpenPath(board_->path.c_str(), 0xC0000000, 3, 3, 0x40000000);
  std::swap(driver_, second);
  Transfer& b = Post(0x86, 512);
  std::swap(driver_, second);
  EXPECT_TRUE(port::CloseHandle(second));
  EXPECT_EQ(Result(b), port::error::kOperationAborted);
  EXPECT_EQ(Result(a), port::error::kIoIncomplete);
  bus().Unplug(board_->id);
  EXPECT_EQ(Result(a), port::error::kDeviceNotConnected);
  EXPECT_EQ(bus().Pending(board_->id, 0x86), 0u);
}

}  // namespace
}  // namespace quorix::test
