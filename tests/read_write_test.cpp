// Reads out of the ring, writes to bulk OUT, and the timeout that bounds their waits.
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "quorix/quorix_sim.h"
#include "support/sim_test.h"

namespace quorix::test {
namespace {

constexpr std::uint32_t S = kRingSize;

class ReadWriteTest : public OpenDeviceTest {
 protected:
  // Pushes count bytes of the pattern and lets the library take them into the ring.
  void Arrive(std::size_t count, std::uint64_t from = 0) {
    Push(count, from);
    ASSERT_EQ(QuorixNumberOfBytesAvailable(handle_, nullptr), QUORIX_OK);
  }
  Bytes Read(std::uint32_t count, int expected = QUORIX_OK) {
    Bytes out(count);
    EXPECT_EQ(QuorixReadDevice(handle_, count, out.data()), expected);
    return out;
  }
  std::uint64_t DriverCalls() const {
    return bus().Calls(sim::Op::kIoControl) + bus().Calls(sim::Op::kOverlappedResult) +
           bus().Calls(sim::Op::kWaitEvent);
  }
};

TEST_F(ReadWriteTest, NothingToDoTouchesNothing) {
  const auto calls = DriverCalls();
  EXPECT_EQ(QuorixReadDevice(handle_, 0, nullptr), QUORIX_OK);
  // Mended: a missing buffer is refused instead of written through.
  EXPECT_EQ(QuorixReadDevice(handle_, 10, nullptr), QUORIX_ERR_FAILED);
  EXPECT_EQ(QuorixWriteDevice(handle_, 10, nullptr), QUORIX_ERR_FAILED);
  EXPECT_EQ(DriverCalls(), calls);
  // A write of nothing goes to the driver all the same.
  EXPECT_EQ(QuorixWriteDevice(handle_, 0, nullptr), QUORIX_OK);
  EXPECT_EQ(Transfers(kEndpointBulkOut).size(), 1u);
}

TEST_F(ReadWriteTest, ReadsTheRingCanServeAskTheDriverNothing) {
  Arrive(1000);
  const auto calls = DriverCalls();
  EXPECT_EQ(Read(600), Counter(0, 600));
  EXPECT_EQ(DriverCalls(), calls);
  EXPECT_EQ(Available(handle_), 400u);
  EXPECT_EQ(Read(400), Counter(600, 400));
}

TEST_F(ReadWriteTest, AWrappedReadCopiesTwoPieces) {
  Repost(*board_, record_, S - 100, 200);
  const Bytes data = Counter(0, 300);
  std::copy(data.begin(), data.begin() + 100, record_->ring + S - 100);
  std::copy(data.begin() + 100, data.end(), record_->ring);
  EXPECT_EQ(Read(300), data);
  EXPECT_EQ(record_->read_index, 200u);
  EXPECT_EQ(record_->write_index, 200u);
}

TEST_F(ReadWriteTest, ReadsWaitForCompletionsAndTimeOutWithTheReadStillPosted) {
  Arrive(100);
  Push(50, 100);  // completes the next read
  const std::uint64_t start = bus().NowMs();
  EXPECT_EQ(Read(150), Counter(0, 150));
  EXPECT_EQ(bus().NowMs(), start) << "the completion was there: no wait";

  Arrive(100, 150);
  const Bytes partial = Read(300, QUORIX_ERR_TIMEOUT);
  EXPECT_EQ(bus().NowMs(), start + 200);
  EXPECT_EQ(Bytes(partial.begin(), partial.begin() + 100), Counter(150, 100));
  EXPECT_EQ(Available(handle_), 0u) << "copied bytes are gone from the ring";
  EXPECT_EQ(bus().Pending(board_->id, kEndpointBulkIn), 1u);

  EXPECT_EQ(QuorixSetTimeOut(handle_, 35), QUORIX_OK);
  Read(1, QUORIX_ERR_TIMEOUT);
  EXPECT_EQ(bus().NowMs(), start + 235);
  // The read outstanding all along delivers when data come.
  Push(10, 250);
  EXPECT_EQ(Read(10), Counter(250, 10));
}

TEST_F(ReadWriteTest, TimeoutZeroWaitsAsLongAsItTakes) {
  // At 1 MiB/s the first read of 2,096,640 bytes takes 1999.5 ms.
  board_->source = sim::Source::kCounter;
  board_->rate = 1 << 20;
  EXPECT_EQ(QuorixSetTimeOut(handle_, 0), QUORIX_OK);
  const std::uint64_t start = bus().NowUs();
  EXPECT_EQ(Read(4096), Counter(0, 4096));
  EXPECT_EQ(bus().NowUs(), start + 1999512);

  // A write waits for the driver; one that never ends would hang, which the simulator
  // refuses: the wait fails and the write is aborted.
  EXPECT_EQ(QuorixWriteDevice(handle_, 3, "abc"), QUORIX_OK);
  board_->out.completion = sim::Completion::kHold;
  EXPECT_EQ(QuorixWriteDevice(handle_, 3, "abc"), QUORIX_ERR_FAILED);
  EXPECT_EQ(PipeRequests().back(), std::make_pair(kIoctlAbortPipe, kEndpointBulkOut));
}

TEST_F(ReadWriteTest, AReaderThatKeepsUpLosesNothingOfAFixedRateSource) {
  // Virtual time passes only while the library waits for its read, so the read is never
  // missing for long: the pattern arrives whole, and the board drops nothing.
  ASSERT_EQ(QuorixSimSetSource(board_->id, QUORIX_SIM_SOURCE_FIXED_RATE, 48000000), QUORIX_OK);
  EXPECT_EQ(QuorixSetTimeOut(handle_, 0), QUORIX_OK);
  constexpr std::uint32_t kChunk = 64 * 1024;
  const std::uint64_t start = bus().NowUs();
  for (std::uint64_t position = 0; position < 3 * S; position += kChunk)
    ASSERT_EQ(Read(kChunk), Counter(position, kChunk)) << position;
  std::uint64_t dropped = 1;
  ASSERT_EQ(QuorixSimGetDroppedBytes(board_->id, &dropped), QUORIX_OK);
  EXPECT_EQ(dropped, 0u);
  EXPECT_GE(bus().NowUs() - start, 3 * std::uint64_t{S} * 1000000 / 48000000);
}

TEST_F(ReadWriteTest, FailuresOfTheOutstandingRead) {
  // Found after the wait: -6. Found by the first look: the driver's code.
  board_->source = sim::Source::kCounter;
  board_->in.fail = port::error::kGenFailure;
  Read(1, QUORIX_ERR_TRANSFER);
  Read(1, 31);
  EXPECT_EQ(Available(handle_, 31), 0u);
}

TEST_F(ReadWriteTest, WritesCompleteOrAreAbortedAtTheTimeout) {
  const Bytes data = Counter(0, 100);
  ASSERT_EQ(QuorixWriteDevice(handle_, 100, data.data()), QUORIX_OK);
  EXPECT_EQ(board_->out_data, data);
  Bytes header(38, 0);
  header[13] = 0x02;
  const auto writes = Transfers(kEndpointBulkOut);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].in, header);
  EXPECT_EQ(writes[0].out, data.data()) << "the caller's buffer, not a copy";
  EXPECT_EQ(writes[0].out_size, 100u);

  // Sent short: still 0.
  board_->out_accept = 10;
  EXPECT_EQ(QuorixWriteDevice(handle_, 100, data.data()), QUORIX_OK);
  EXPECT_EQ(board_->out_data.size(), 110u);

  board_->out.fail = port::error::kGenFailure;
  EXPECT_EQ(QuorixWriteDevice(handle_, 100, data.data()), QUORIX_ERR_TRANSFER);
  board_->out.fail = 0;
  board_->out.refuse = port::error::kGenFailure;
  EXPECT_EQ(QuorixWriteDevice(handle_, 100, data.data()), 31);
  board_->out.refuse = 0;

  board_->out.completion = sim::Completion::kHold;
  bus().ClearWire();
  const std::uint64_t start = bus().NowMs();
  EXPECT_EQ(QuorixWriteDevice(handle_, 100, data.data()), QUORIX_ERR_TIMEOUT);
  EXPECT_EQ(bus().NowMs(), start + 200);
  EXPECT_EQ(
      PipeRequests(),
      (std::vector<std::pair<std::uint32_t, std::uint8_t>>{{kIoctlAbortPipe, kEndpointBulkOut}}));
  EXPECT_EQ(bus().Pending(board_->id, kEndpointBulkOut), 0u) << "ended before the call returned";
  EXPECT_EQ(bus().Pending(board_->id, kEndpointBulkIn), 1u);

  board_->out.completion = sim::Completion::kAtOnce;
  EXPECT_EQ(QuorixWriteDevice(handle_, 100, data.data()), QUORIX_OK);
  EXPECT_EQ(bus().NowMs(), start + 200);
}

// The caller's buffer is theirs again when the write returns: a write that its abort did not
// end is ended by closing the driver handle, and the board is found anew.
TEST_F(ReadWriteTest, AHeldWriteThatTheAbortDidNotEndIsEndedByClosingTheDriverHandle) {
  board_->out.completion = sim::Completion::kHold;
  const Bytes data = Counter(0, 100);
  bus().FailNth(sim::Op::kIoControl, 2, port::error::kGenFailure);  // the abort of 0x02
  EXPECT_EQ(QuorixWriteDevice(handle_, 100, data.data()), QUORIX_ERR_TIMEOUT);
  EXPECT_EQ(bus().Pending(board_->id, kEndpointBulkOut), 0u);
  EXPECT_EQ(bus().Pending(board_->id, kEndpointBulkIn), 0u);
  EXPECT_EQ(QuorixWriteDevice(handle_, 100, data.data()), QUORIX_ERR_NO_DRIVER);
  EXPECT_EQ(QuorixCloseDevice(handle_), QUORIX_OK);
  EXPECT_EQ(bus().LiveHandles(), 1u) << "only the new record's driver handle";
  board_->out.completion = sim::Completion::kAtOnce;
  handle_ = Open();
  ASSERT_NE(handle_, nullptr);
  EXPECT_EQ(QuorixWriteDevice(handle_, 100, data.data()), QUORIX_OK);
  EXPECT_EQ(board_->out_data, data);
}

TEST_F(ReadWriteTest, AWriteTakesInTheReceiveSide) {
  Push(100, 0);
  EXPECT_EQ(QuorixWriteDevice(handle_, 1, "x"), QUORIX_OK);
  EXPECT_EQ(record_->write_index, 100u);
  EXPECT_EQ(Transfers(kEndpointBulkIn).size(), 2u);

  // A read deferred for want of room is posted there once the application has made room.
  Read(100);
  Repost(*board_, record_, 0, S - 512);
  ASSERT_EQ(record_->read_deferred, 1);
  Push(512, 0);
  record_->read_index = 8;
  EXPECT_EQ(QuorixWriteDevice(handle_, 1, "x"), QUORIX_OK);
  EXPECT_EQ(record_->write_index, 0u) << "the 512 bytes went to the end of the ring";
  EXPECT_EQ(Available(handle_), S - 8);

  // A driver that reports more than it was asked for: the write's poll empties the ring, and
  // the write does not tell.
  Read(600);
  board_->report = [](std::uint8_t endpoint, std::uint32_t moved) {
    return endpoint == kEndpointBulkIn ? moved + 1 : moved;
  };
  Push(512, 0);
  EXPECT_EQ(QuorixWriteDevice(handle_, 1, "x"), QUORIX_OK);
  board_->report = nullptr;
  EXPECT_EQ(Available(handle_), 0u);
  EXPECT_EQ(bus().PendingLength(board_->id, kEndpointBulkIn), S - 512);
}

TEST_F(ReadWriteTest, LoopbackReturnsWhatWasWritten) {
  board_->loopback = true;
  const Bytes data = Counter(7, 1500);
  ASSERT_EQ(QuorixWriteDevice(handle_, 1500, data.data()), QUORIX_OK);
  EXPECT_EQ(Read(1500), data);
}

TEST_F(ReadWriteTest, TheTimeoutStaysWithTheBoardAndNeedsAnOpenDevice) {
  ASSERT_EQ(QuorixSetTimeOut(handle_, 1234), QUORIX_OK);
  ASSERT_EQ(QuorixCloseDevice(handle_), QUORIX_OK);
  EXPECT_EQ(QuorixSetTimeOut(handle_, 5), QUORIX_ERR_NOT_OPEN);
  EXPECT_EQ(QuorixReadDevice(handle_, 1, record_), QUORIX_ERR_NOT_OPEN);
  EXPECT_EQ(QuorixWriteDevice(handle_, 1, "x"), QUORIX_ERR_NOT_OPEN);
  EXPECT_EQ(QuorixNumberOfBytesAvailable(handle_, nullptr), QUORIX_ERR_NOT_OPEN);
  EXPECT_EQ(Open(), handle_);
  EXPECT_EQ(record_->timeout, 1234u);
}

// Windows has no fork: a process there cannot inherit the library's state.
#ifndef _WIN32
// The gate compares process ids: a child that inherited the handle is refused.
TEST_F(ReadWriteTest, AnotherProcessIsRefused) {
  Arrive(10);
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    std::uint8_t byte = 0;
    const bool refused = QuorixReadDevice(handle_, 1, &byte) == QUORIX_ERR_NOT_OPEN &&
                         QuorixWriteDevice(handle_, 1, "x") == QUORIX_ERR_NOT_OPEN &&
                         QuorixSetTimeOut(handle_, 1) == QUORIX_ERR_NOT_OPEN &&
                         QuorixNumberOfBytesAvailable(handle_, nullptr) == QUORIX_ERR_NOT_OPEN &&
                         QuorixCloseDevice(handle_) == QUORIX_ERR_NOT_OPEN;
    _exit(refused ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Read(10), Counter(0, 10)) << "the owner goes on";
}
#endif

}  // namespace
}  // namespace quorix::test
