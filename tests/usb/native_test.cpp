// The native library (libquorix.so over libusb) against emulated boards behind usbfs.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "driver/port.h"
#include "driver/requests.h"
#include "usb/native_fixture.h"

namespace quorix::usbtest {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kFirstRead = 2096640;  // the ring less one read granule, in 512s

Bytes SetupBytes(const ControlSeen& seen) {
  const sim::Setup& s = seen.setup;
  return {s.bmRequestType,
          s.bRequest,
          static_cast<std::uint8_t>(s.wValue),
          static_cast<std::uint8_t>(s.wValue >> 8),
          static_cast<std::uint8_t>(s.wIndex),
          static_cast<std::uint8_t>(s.wIndex >> 8),
          static_cast<std::uint8_t>(s.wLength),
          static_cast<std::uint8_t>(s.wLength >> 8)};
}

// Where the counter pattern first differs from data taken at position, or -1.
long long PatternBreak(const Bytes& data, std::uint64_t position) {
  for (std::size_t i = 0; i < data.size(); ++i)
    if (data[i] != sim::CounterByte(position + i)) return static_cast<long long>(i);
  return -1;
}

TEST_F(NativeTest, DiscoveryReadsTheIdentityWithTenRequestsOnce) {
  EmulatedBoard& board = Plug();
  ASSERT_EQ(CountWhen(1), 1);
  const char* serial = QuorixGetDeviceSerialNumber(0);
  ASSERT_NE(serial, nullptr);
  EXPECT_STREQ(serial, "QX-USB-0001");

  const std::vector<ControlSeen> seen = board.Controls();
  ASSERT_EQ(seen.size(), 10u);
  const std::vector<Bytes> expected = {
      {0x80, 6, 0, 1, 0, 0, 18, 0},  // device
      {0x80, 6, 1, 3, 0, 0, 1, 0},  {0x80, 6, 1, 3, 0, 0, 1, 0}, {0x80, 6, 1, 3, 0, 0, 14, 0},
      {0x80, 6, 2, 3, 0, 0, 1, 0},  {0x80, 6, 2, 3, 0, 0, 1, 0}, {0x80, 6, 2, 3, 0, 0, 34, 0},
      {0x80, 6, 3, 3, 0, 0, 1, 0},  {0x80, 6, 3, 3, 0, 0, 1, 0}, {0x80, 6, 3, 3, 0, 0, 24, 0}};
  for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(SetupBytes(seen[i]), expected[i]) << i;

  ASSERT_EQ(CountWhen(1), 1);
  EXPECT_EQ(board.Controls().size(), 10u) << "a known board costs no request";
  EXPECT_EQ(board.IoctlCounts().count("CLAIMINTERFACE"), 0u) << "listing claims nothing";
}

TEST_F(NativeTest, BoardsAreListedInPortOrderWithTheirSerials) {
  Plug({.serial = "QX-B", .address = 7, .port = "1-2"});
  Plug({.serial = "QX-A", .address = 9, .port = "1-1"});
  ASSERT_EQ(CountWhen(2), 2);
  EXPECT_STREQ(QuorixGetDeviceSerialNumber(0), "QX-A");
  EXPECT_STREQ(QuorixGetDeviceSerialNumber(1), "QX-B");
  EXPECT_EQ(QuorixGetDeviceSerialNumber(2), nullptr);
}

class NativeStreamTest : public NativeTest, public testing::WithParamInterface<bool> {};

TEST_P(NativeStreamTest, OpenConfiguresClaimsAndPostsTheFirstRead) {
  EmulatedBoard& board = Plug({.scatter_gather = GetParam()});
  ASSERT_EQ(CountWhen(1), 1);
  board.ClearControls();
  QuorixHandle handle = nullptr;
  ASSERT_EQ(QuorixOpenDevice(0, &handle), QUORIX_OK);
  opened_.push_back(handle);
  const auto counts = board.IoctlCounts();
  EXPECT_EQ(counts.at("SETCONFIGURATION"), 1);
  EXPECT_EQ(counts.at("CLAIMINTERFACE"), 1);
  EXPECT_EQ(board.Configuration(), 1);
  EXPECT_TRUE(board.Controls().empty()) << "SET_CONFIGURATION goes through usbfs's own call";
  const std::vector<int> lengths = board.PendingInLengths();
  if (GetParam()) {
    EXPECT_EQ(lengths, std::vector<int>{static_cast<int>(kFirstRead)});
  } else {
    ASSERT_EQ(lengths.size(), 128u);
    EXPECT_EQ(std::count(lengths.begin(), lengths.end(), 16384), 127);
    EXPECT_EQ(lengths.back(), 15872);
  }
}

TEST_P(NativeStreamTest, SixtyFourMebibytesOfTheCounterPatternArriveInOrder) {
  EmulatedBoard& board = Plug({.scatter_gather = GetParam()});
  QuorixHandle handle = OpenFirst(board);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(QuorixSetTimeOut(handle, 5000), QUORIX_OK);
  constexpr std::uint32_t kChunk = 3 << 19;  // 1.5 MiB: reads straddle the ring's end
  constexpr std::uint64_t kTotal = 64ull << 20;
  Bytes chunk(kChunk);
  std::uint64_t position = 0;
  while (position < kTotal) {
    const auto count =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunk, kTotal - position));
    chunk.resize(count);
    ASSERT_EQ(QuorixReadDevice(handle, count, chunk.data()), QUORIX_OK) << "at " << position;
    ASSERT_EQ(PatternBreak(chunk, position), -1) << "at " << position;
    position += count;
  }
  EXPECT_GE(board.InPosition(), kTotal);
}

INSTANTIATE_TEST_SUITE_P(UrbModes, NativeStreamTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& mode) {
                           return mode.param ? "OneScatterGatherUrb" : "ContinuationUrbs";
                         });

// The libusb port as queued reads drive it: many direct transfers in flight on one handle, each
// with an overlapped record and an event of its own. The port is this binary's own copy, on a
// libusb context of its own beside the library's.
class PortQueueTest : public NativeTest, public testing::WithParamInterface<bool> {
 protected:
  static constexpr int kReads = 8;
  static constexpr std::uint32_t kReadSize = 256 << 10;
  static constexpr std::uint32_t kTimedOut = port::kWaitTimeout;
  static constexpr int kWrite = kReads;  // the slot of the write

  void SetUp() override {
    for (port::Handle& event : events_) event = port::NewEvent(false);
    ring_.resize(kReads * kReadSize);
  }

  void TearDown() override {
    if (driver_ != nullptr) {
      EXPECT_TRUE(port::CloseHandle(driver_));
    }
    for (port::Handle event : events_) port::CloseHandle(event);
    NativeTest::TearDown();
  }

  // The first board through the port's own listing, which learns of it on libusb's hotplug
  // thread a moment after the plug.
  bool OpenDriver() {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < limit) {
      port::Handle listing = port::OpenListing();
      port::InterfaceData data{port::kInterfaceDataSize, {}, 0, 0};
      char block[256] = {};
      const std::uint32_t field = port::kDetailSizeField;
      std::memcpy(block, &field, sizeof field);
      const bool found = listing != nullptr && port::NextInterface(listing, 0, &data) &&
                         port::InterfaceDetail(listing, &data, block, sizeof block, nullptr);
      port::CloseListing(listing);
      if (found) {
        driver_ = port::OpenPath(block + port::kDetailPathOffset, 0xC0000000, 3, 3, 0x40000000);
        return driver_ != nullptr;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  // Posts request slot on the endpoint into size bytes at data: 997 when it went out.
  std::uint32_t Post(int slot, std::uint8_t endpoint, std::uint8_t* data, std::uint32_t size) {
    SingleTransfer header{};
    header.endpoint = endpoint;
    overlapped_[slot] = {};
    overlapped_[slot].event = events_[slot];
    std::uint32_t returned = 0;
    if (port::IoControl(driver_, kIoctlDirectTransfer, &header, kHeaderSize, data, size,
                        &returned, &overlapped_[slot]))
      return 0;
    return port::LastError();
  }
  std::uint32_t PostRead(int slot) {
    return Post(slot, kEndpointBulkIn, ring_.data() + slot * kReadSize, kReadSize);
  }

  // Waits for request slot and gives its result: 0 or its error, and its byte count.
  std::uint32_t Take(int slot, std::uint32_t* bytes = nullptr) {
    if (port::WaitEvent(events_[slot], 5000) != port::kWaitObject0) return kTimedOut;
    std::uint32_t count = 0;
    const bool done = port::OverlappedResult(driver_, &overlapped_[slot], &count);
    if (bytes != nullptr) *bytes = count;
    return done ? 0 : port::LastError();
  }

  bool PipeRequest(std::uint32_t code, std::uint8_t endpoint) {
    std::uint32_t returned = 0;
    return port::IoControl(driver_, code, &endpoint, 1, nullptr, 0, &returned, nullptr);
  }

  // Takes the reads in, in order; the counter pattern must run on from position through all
  // of them, and each carries the moment it completed. Returns the position after them.
  std::uint64_t TakeAllInOrder(std::uint64_t position) {
    std::uint64_t completed = 1;
    for (int slot = 0; slot < kReads; ++slot) {
      std::uint32_t bytes = 0;
      EXPECT_EQ(Take(slot, &bytes), 0u) << "read " << slot;
      EXPECT_EQ(bytes, kReadSize) << "read " << slot;
      const std::uint64_t stamp = port::CompletionStamp(&overlapped_[slot]);
      EXPECT_GE(stamp, completed) << "read " << slot;
      EXPECT_LE(stamp, port::MonotonicMicroseconds()) << "read " << slot;
      completed = stamp;
      const Bytes data(ring_.begin() + slot * kReadSize, ring_.begin() + (slot + 1) * kReadSize);
      EXPECT_EQ(PatternBreak(data, position), -1) << "read " << slot;
      position += kReadSize;
    }
    return position;
  }

  port::Handle driver_ = nullptr;
  port::Handle events_[kReads + 1] = {};
  port::Overlapped overlapped_[kReads + 1] = {};
  Bytes ring_;
};

TEST_P(PortQueueTest, ReadsQueuedOnOneHandleCompleteInOrderAndEndTogether) {
  EmulatedBoard& board = Plug({.scatter_gather = GetParam()});
  board.HoldIn(true);
  board.HoldOut(true);
  ASSERT_TRUE(OpenDriver());
  Bytes command = {1, 2, 3, 4};
  ASSERT_EQ(Post(kWrite, kEndpointBulkOut, command.data(), 4), port::error::kIoPending);
  for (int slot = 0; slot < kReads; ++slot) {
    ASSERT_EQ(PostRead(slot), port::error::kIoPending) << "read " << slot;
  }
  EXPECT_EQ(board.PendingInLengths().size(), GetParam() ? 8u : 8u * 16);

  board.HoldIn(false);
  std::uint64_t position = TakeAllInOrder(0);
  std::uint32_t bytes = 0;
  EXPECT_FALSE(port::OverlappedResult(driver_, &overlapped_[kWrite], &bytes));
  EXPECT_EQ(port::LastError(), port::error::kIoIncomplete) << "the write is still in flight";

  // An abort of 0x86 ends every read queued on it, and only those.
  board.HoldIn(true);
  for (int slot = 0; slot < kReads; ++slot) {
    ASSERT_EQ(PostRead(slot), port::error::kIoPending);
  }
  ASSERT_TRUE(PipeRequest(kIoctlAbortPipe, kEndpointBulkIn));
  for (int slot = 0; slot < kReads; ++slot) {
    EXPECT_EQ(Take(slot, &bytes), port::error::kOperationAborted) << "read " << slot;
    EXPECT_EQ(bytes, 0u);
  }
  EXPECT_EQ(board.PendingInLengths().size(), 0u);
  EXPECT_FALSE(port::OverlappedResult(driver_, &overlapped_[kWrite], &bytes));
  EXPECT_EQ(port::LastError(), port::error::kIoIncomplete);

  // After a reset the pipe streams again, on from where the last completed read ended.
  ASSERT_TRUE(PipeRequest(kIoctlResetPipe, kEndpointBulkIn));
  board.HoldIn(false);
  for (int slot = 0; slot < kReads; ++slot) {
    ASSERT_EQ(PostRead(slot), port::error::kIoPending);
  }
  position = TakeAllInOrder(position);

  // Closing the handle ends what is queued on it.
  board.HoldIn(true);
  for (int slot = 0; slot < kReads; ++slot) {
    ASSERT_EQ(PostRead(slot), port::error::kIoPending);
  }
  ASSERT_TRUE(port::CloseHandle(driver_));
  driver_ = nullptr;
  for (int slot = 0; slot <= kReads; ++slot) {
    EXPECT_EQ(Take(slot), port::error::kOperationAborted) << "request " << slot;
  }
  EXPECT_EQ(board.PendingUrbs(), 0u);
  EXPECT_EQ(board.UnreapedUrbs(), 0u);

  // An unplug fails every request in flight.
  ASSERT_TRUE(OpenDriver());
  ASSERT_EQ(Post(kWrite, kEndpointBulkOut, command.data(), 4), port::error::kIoPending);
  for (int slot = 0; slot < kReads; ++slot) {
    ASSERT_EQ(PostRead(slot), port::error::kIoPending);
  }
  board.Unplug();
  for (int slot = 0; slot <= kReads; ++slot) {
    EXPECT_EQ(Take(slot), port::error::kDeviceNotConnected) << "request " << slot;
  }
}

// The controller fills URBs while an abort cancels them one by one: the reads that still
// complete must be the oldest ones, or the stream would have a hole where an older read was
// cancelled.
TEST_P(PortQueueTest, AnAbortWhileDataArrivesEndsTheNewestReadsFirst) {
  EmulatedBoard& board = Plug({.scatter_gather = GetParam()});
  board.HoldIn(true);
  ASSERT_TRUE(OpenDriver());
  for (int slot = 0; slot < kReads; ++slot) {
    ASSERT_EQ(PostRead(slot), port::error::kIoPending);
  }
  board.ServeOnDiscard(true);
  ASSERT_TRUE(PipeRequest(kIoctlAbortPipe, kEndpointBulkIn));
  int completed = 0;
  std::uint64_t position = 0;
  for (int slot = 0; slot < kReads; ++slot) {
    std::uint32_t bytes = 0;
    const std::uint32_t result = Take(slot, &bytes);
    if (result == 0 && completed == slot) {
      const Bytes data(ring_.begin() + slot * kReadSize, ring_.begin() + (slot + 1) * kReadSize);
      EXPECT_EQ(PatternBreak(data, position), -1) << "read " << slot;
      position += bytes;
      ++completed;
      continue;
    }
    EXPECT_EQ(result, port::error::kOperationAborted) << "read " << slot << " after a cancelled one";
    EXPECT_EQ(bytes, 0u) << "read " << slot;
  }
  EXPECT_GT(completed, 0);
  EXPECT_LT(completed, kReads);
  EXPECT_EQ(board.InPosition(), position) << "bytes went to reads that were cancelled";
}

// usbfs refuses an URB beyond its memory limit. A read of one URB is refused at the post with 8;
// one cut into 16 KiB URBs fails at its completion, when libusb has taken back the URBs it had
// submitted. Either way it takes no data and the reads before it go on.
TEST_P(PortQueueTest, AReadBeyondUsbfsMemoryIsRefusedAndTheQueueGoesOn) {
  EmulatedBoard& board = Plug({.scatter_gather = GetParam()});
  board.HoldIn(true);
  board.LimitMemory(4 * kReadSize + kReadSize / 2);
  ASSERT_TRUE(OpenDriver());
  for (int slot = 0; slot < 4; ++slot) {
    ASSERT_EQ(PostRead(slot), port::error::kIoPending);
  }
  if (GetParam()) {
    EXPECT_EQ(PostRead(4), port::error::kNotEnoughMemory);
    EXPECT_NE(overlapped_[4].internal, port::kStatusPending);
  } else {
    ASSERT_EQ(PostRead(4), port::error::kIoPending);
    EXPECT_EQ(Take(4), 1117u);
  }

  board.HoldIn(false);
  std::uint64_t position = 0;
  for (int slot = 0; slot < 4; ++slot) {
    std::uint32_t bytes = 0;
    EXPECT_EQ(Take(slot, &bytes), 0u);
    const Bytes data(ring_.begin() + slot * kReadSize, ring_.begin() + (slot + 1) * kReadSize);
    EXPECT_EQ(PatternBreak(data, position), -1) << "read " << slot;
    position += bytes;
  }
  ASSERT_EQ(PostRead(4), port::error::kIoPending);
  std::uint32_t bytes = 0;
  EXPECT_EQ(Take(4, &bytes), 0u);
  const Bytes data(ring_.begin() + 4 * kReadSize, ring_.begin() + 5 * kReadSize);
  EXPECT_EQ(PatternBreak(data, position), -1) << "the refused read took no data";
}

// A connection that reported its board gone hides the board from the listing until udev's
// removal catches up; a board plugged in afterwards at the same bus, port and address (so with
// the same path) is another board, and is listed.
TEST_P(PortQueueTest, ABoardPluggedInWhereAGoneOneWasIsListed) {
  EmulatedBoard& board = Plug({.scatter_gather = GetParam()});
  board.HoldIn(true);
  ASSERT_TRUE(OpenDriver());
  ASSERT_EQ(PostRead(0), port::error::kIoPending);
  board.Unplug();
  EXPECT_EQ(Take(0), port::error::kDeviceNotConnected);
  ASSERT_TRUE(port::CloseHandle(driver_));
  driver_ = nullptr;
  boards_.clear();  // its emulator lets go of the node
  Plug({.scatter_gather = GetParam()});
  EXPECT_TRUE(OpenDriver()) << "the new board is not listed";
}

INSTANTIATE_TEST_SUITE_P(UrbModes, PortQueueTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& mode) {
                           return mode.param ? "OneScatterGatherUrb" : "ContinuationUrbs";
                         });

TEST_F(NativeTest, AReadTimeoutLeavesTheReadOutstanding) {
  EmulatedBoard& board = Plug();
  board.HoldIn(true);
  QuorixHandle handle = OpenFirst(board);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(QuorixSetTimeOut(handle, 30), QUORIX_OK);
  Bytes out(16);
  EXPECT_EQ(QuorixReadDevice(handle, 16, out.data()), QUORIX_ERR_TIMEOUT);
  EXPECT_EQ(board.PendingInLengths(), std::vector<int>{static_cast<int>(kFirstRead)});
  EXPECT_EQ(board.IoctlCounts().count("DISCARDURB"), 0u);

  board.HoldIn(false);
  ASSERT_EQ(QuorixReadDevice(handle, 16, out.data()), QUORIX_OK);
  EXPECT_EQ(PatternBreak(out, 0), -1) << "the same read delivered from the start";
}

TEST_F(NativeTest, WritesCompleteOrTimeOutAndAreAborted) {
  EmulatedBoard& board = Plug();
  board.HoldIn(true);
  QuorixHandle handle = OpenFirst(board);
  ASSERT_NE(handle, nullptr);
  const Bytes command = {0x51, 0x52, 0x53, 0x00, 0xFF};
  EXPECT_EQ(QuorixWriteDevice(handle, 5, command.data()), QUORIX_OK);
  EXPECT_EQ(board.TakeOut(), command);

  board.HoldOut(true);
  ASSERT_EQ(QuorixSetTimeOut(handle, 30), QUORIX_OK);
  EXPECT_EQ(QuorixWriteDevice(handle, 5, command.data()), QUORIX_ERR_TIMEOUT);
  EXPECT_EQ(board.IoctlCounts().at("DISCARDURB"), 1) << "the write was aborted";
  EXPECT_EQ(board.PendingUrbs(), 1u) << "only the read is left";
  EXPECT_EQ(board.UnreapedUrbs(), 0u);
  EXPECT_TRUE(board.TakeOut().empty());
}

TEST_F(NativeTest, BoardControlsEepromAndFirmwareReachTheBoard) {
  EmulatedBoard& board = Plug();
  QuorixHandle handle = OpenFirst(board);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(QuorixSetPortDOutputs(handle, 0xA5), QUORIX_OK);
  ASSERT_EQ(QuorixSetPortDOutputEnable(handle, 0x0F), QUORIX_OK);
  ASSERT_EQ(QuorixSetConfFpgaMode(handle, 2), QUORIX_OK);
  std::uint8_t latch = 0;
  ASSERT_EQ(QuorixGetPortDOutputs(handle, &latch), QUORIX_OK);
  EXPECT_EQ(latch, 0xA5);

  const Bytes written = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_EQ(QuorixWriteEprom(handle, 1, 0x0120, 8, written.data()), QUORIX_OK);
  Bytes read(8);
  ASSERT_EQ(QuorixReadEprom(handle, 1, 0x0120, 8, read.data()), QUORIX_OK);
  EXPECT_EQ(read, written);
  EXPECT_EQ(QuorixReadEprom(handle, 9, 0, 8, read.data()), 31) << "no part at select 9: stall";

  const std::vector<ControlSeen> seen = board.Controls();
  ASSERT_GE(seen.size(), 6u);
  EXPECT_EQ(SetupBytes(seen[0]), (Bytes{0x40, 0xB2, 0, 0, 0, 0, 1, 0}));
  EXPECT_EQ(seen[0].data, Bytes{0xA5});
  EXPECT_EQ(SetupBytes(seen[1]), (Bytes{0x40, 0xB2, 0, 0, 1, 0, 1, 0}));
  EXPECT_EQ(SetupBytes(seen[2]), (Bytes{0x40, 0xB3, 0, 0, 0, 0, 1, 0}));
  EXPECT_EQ(SetupBytes(seen[3]), (Bytes{0xC0, 0xB2, 0, 0, 0, 0, 1, 0}));
  EXPECT_EQ(SetupBytes(seen[4]), (Bytes{0x40, 0xB0, 0, 0, 1, 0, 10, 0}));
  EXPECT_EQ(seen[4].data, (Bytes{0x01, 0x20, 1, 2, 3, 4, 5, 6, 7, 8})) << "address high first";
  EXPECT_EQ(SetupBytes(seen[5]), (Bytes{0x40, 0xB0, 0, 0, 1, 0, 2, 0}));
  EXPECT_EQ(SetupBytes(seen[6]), (Bytes{0xC0, 0xB0, 0, 0, 1, 0, 8, 0}));

  ASSERT_EQ(QuorixLoadFirmware(handle, QUORIX_TEST_DATA "/blink.hex"), QUORIX_OK);
  const sim::Board state = board.BoardState();
  EXPECT_EQ(state.port_d_enable, 0x0F);
  EXPECT_EQ(state.fpga_mode, 2);
  EXPECT_EQ(state.cpu_history, (std::vector<bool>{true, false}));
  EXPECT_NE(state.program_ram[0], 0) << "the image landed in program RAM";
}

// A reader thread streams while this thread uses the same board: libusb may hand one thread's
// completion to the other, and neither may lose a byte or its own request.
TEST_F(NativeTest, AReaderStreamsWhileAnotherThreadUsesTheBoard) {
  EmulatedBoard& board = Plug();
  QuorixHandle handle = OpenFirst(board);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(QuorixSetTimeOut(handle, 5000), QUORIX_OK);
  constexpr std::uint64_t kTotal = 32ull << 20;
  std::atomic<bool> done{false};
  std::uint64_t position = 0;
  int status = QUORIX_OK;
  long long gap = -1;
  std::thread reader([&] {
    Bytes chunk;
    std::uint32_t size = 1;
    while (position < kTotal && status == QUORIX_OK && gap < 0) {
      size = size * 7 % (1u << 20) + 1;
      chunk.resize(size);
      status = QuorixReadDevice(handle, size, chunk.data());
      if (status == QUORIX_OK) gap = PatternBreak(chunk, position);
      position += size;
    }
    done = true;
  });
  int rounds = 0;
  while (!done) {
    const auto value = static_cast<std::uint8_t>(rounds);
    EXPECT_EQ(QuorixSetPortDOutputs(handle, value), QUORIX_OK);
    std::uint8_t latch = 0;
    EXPECT_EQ(QuorixGetPortDOutputs(handle, &latch), QUORIX_OK);
    EXPECT_EQ(latch, value);
    const Bytes written = {value, 1, 2, 3};
    Bytes read(4);
    EXPECT_EQ(QuorixWriteEprom(handle, 1, 0x0300, 4, written.data()), QUORIX_OK);
    EXPECT_EQ(QuorixReadEprom(handle, 1, 0x0300, 4, read.data()), QUORIX_OK);
    EXPECT_EQ(read, written);
    std::uint32_t held = 0;
    EXPECT_EQ(QuorixNumberOfBytesAvailable(handle, &held), QUORIX_OK);
    std::int32_t count = 0;
    EXPECT_EQ(QuorixCountDevices(&count), QUORIX_OK);
    EXPECT_EQ(QuorixSetTimeOut(handle, 5000), QUORIX_OK);
    ++rounds;
  }
  reader.join();
  EXPECT_EQ(status, QUORIX_OK);
  EXPECT_EQ(gap, -1) << "before " << position;
  EXPECT_GE(position, kTotal);
  std::printf(
      "[ figures  ] 32 MiB read in order while another thread made %d rounds of board "
      "calls\n",
      rounds);
}

// The process's resident memory, from the kernel's own account.
long ResidentKiB() {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, status) != nullptr)
    if (std::sscanf(line, "VmRSS: %ld kB", &kib) == 1) break;
  std::fclose(status);
  return kib;
}

// Every open submits a 2 MB read that the close discards and reaps; neither the library nor
// the emulator behind usbfs may keep anything of it.
TEST_F(NativeTest, TwoThousandOpensAndClosesLeaveMemoryFlat) {
  Plug().HoldIn(true);  // the reads stay pending until the close discards them
  ASSERT_EQ(CountWhen(1), 1);
  auto cycles = [](int count) {
    for (int i = 0; i < count; ++i) {
      QuorixHandle handle = nullptr;
      ASSERT_EQ(QuorixOpenDevice(0, &handle), QUORIX_OK);
      ASSERT_EQ(QuorixCloseDevice(handle), QUORIX_OK);
    }
  };
  cycles(20);  // the first ones grow the heap to its working size
  const long before = ResidentKiB();
  const auto start = std::chrono::steady_clock::now();
  cycles(2000);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const long after = ResidentKiB();
  std::printf("2000 open/close cycles in %.1f s: resident memory %ld KiB before, %ld KiB after\n",
              seconds, before, after);
  // A leak of one read buffer per cycle would be 4 GB. AddressSanitizer's quarantine holds
  // freed memory back, up to 256 MB.
#if defined(__SANITIZE_ADDRESS__)
  EXPECT_LT(after - before, 512 * 1024);
#else
  EXPECT_LT(after - before, 16 * 1024);
#endif
}

TEST_F(NativeTest, CloseAbortsAndResetsBothPipesAndReapsEveryUrb) {
  EmulatedBoard& board = Plug({.scatter_gather = false});
  board.HoldIn(true);
  QuorixHandle handle = OpenFirst(board);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(board.PendingUrbs(), 128u);
  ASSERT_EQ(QuorixCloseDevice(handle), QUORIX_OK);
  opened_.clear();
  EXPECT_EQ(board.IoctlCounts().at("DISCARDURB"), 128);
  EXPECT_EQ(board.PendingUrbs(), 0u);
  EXPECT_EQ(board.UnreapedUrbs(), 0u);
  EXPECT_EQ(board.ClearedHalts(), (std::vector<unsigned>{0x02, 0x86}));

  // Closed, the record keeps its handle; opening again works at once.
  ASSERT_EQ(QuorixOpenDevice(0, &handle), QUORIX_OK);
  opened_.push_back(handle);
}

TEST_F(NativeTest, AnUnpluggedBoardFailsItsReadAndLeavesWithItsClose) {
  EmulatedBoard& board = Plug();
  board.HoldIn(true);
  QuorixHandle handle = OpenFirst(board);
  ASSERT_NE(handle, nullptr);
  board.Unplug();
  Bytes out(4);
  EXPECT_EQ(QuorixReadDevice(handle, 4, out.data()), 1167);
  EXPECT_EQ(CountWhen(1), 1) << "still counted while open";
  EXPECT_EQ(QuorixGetDeviceSerialNumber(0), std::string("QX-USB-0001"));
  EXPECT_EQ(QuorixReadDevice(handle, 4, out.data()), QUORIX_ERR_NO_DRIVER);
  EXPECT_EQ(QuorixSetPortDOutputs(handle, 1), QUORIX_ERR_NO_DRIVER);
  EXPECT_EQ(QuorixCloseDevice(handle), QUORIX_OK);
  opened_.clear();
  EXPECT_EQ(CountWhen(0), 0);
  EXPECT_EQ(QuorixCloseDevice(handle), QUORIX_ERR_FAILED);
}

// With the ring full no read is outstanding whose failure would tell of an unplug: the poll
// asks usbfs (an ioctl that sends the board nothing) and reports the unplug at once.
TEST_F(NativeTest, AnUnplugWhileTheRingIsFullIsReportedByTheNextPoll) {
  EmulatedBoard& board = Plug();
  QuorixHandle handle = OpenFirst(board);
  ASSERT_NE(handle, nullptr);
  std::uint32_t held = 0;
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (held < kFirstRead && std::chrono::steady_clock::now() < limit)
    ASSERT_EQ(QuorixNumberOfBytesAvailable(handle, &held), QUORIX_OK);
  ASSERT_EQ(held, kFirstRead) << "the ring did not fill";
  board.Unplug();
  EXPECT_EQ(QuorixNumberOfBytesAvailable(handle, &held), 1167);
  EXPECT_EQ(held, 0u);
  Bytes out(4);
  EXPECT_EQ(QuorixReadDevice(handle, 4, out.data()), QUORIX_OK) << "what arrived stays readable";
  EXPECT_EQ(PatternBreak(out, 0), -1);
}

// On a real kernel the pending read fails a moment before udev reports the removal, and
// libusb lists the board until then: the refresh right after the failure must already treat
// the board as gone.
TEST_F(NativeTest, ABoardWhoseConnectionReportedItGoneIsNotListedBeforeUdevCatchesUp) {
  EmulatedBoard& board = Plug();
  EmulatedBoard& other = Plug({.serial = "QX-USB-0002", .address = 6, .port = "1-2"});
  board.HoldIn(true);
  ASSERT_EQ(CountWhen(2), 2);
  QuorixHandle handle = nullptr;
  ASSERT_EQ(QuorixOpenDeviceWithSerial("QX-USB-0001", &handle), QUORIX_OK);
  opened_.push_back(handle);
  board.Unplug(/*announce=*/false);
  Bytes out(4);
  EXPECT_EQ(QuorixReadDevice(handle, 4, out.data()), 1167);
  int32_t count = -1;
  ASSERT_EQ(QuorixCountDevices(&count), QUORIX_OK);
  EXPECT_EQ(count, 2) << "the gone board is counted while open";
  EXPECT_EQ(QuorixReadDevice(handle, 4, out.data()), QUORIX_ERR_NO_DRIVER);
  EXPECT_EQ(QuorixCloseDevice(handle), QUORIX_OK);
  opened_.clear();
  ASSERT_EQ(QuorixCountDevices(&count), QUORIX_OK);
  EXPECT_EQ(count, 1) << "a closed gone board is not listed again";
  EXPECT_EQ(QuorixGetDeviceSerialNumber(0), std::string("QX-USB-0002"));
  board.AnnounceRemoval();
  EXPECT_EQ(CountWhen(1), 1);
  (void)other;
}

TEST_F(NativeTest, ARepluggedBoardIsANewConnectionWhileTheOldOneStaysOpen) {
  EmulatedBoard& first = Plug();
  first.HoldIn(true);
  QuorixHandle old_handle = OpenFirst(first);
  ASSERT_NE(old_handle, nullptr);
  first.Unplug();
  Plug({.address = 6});  // same board, same port, new address
  ASSERT_EQ(CountWhen(2), 2);
  EXPECT_EQ(QuorixSetPortDOutputs(old_handle, 1), QUORIX_ERR_NO_DRIVER);
  QuorixHandle handle = nullptr;
  // The open record of the old connection comes first and is open: the new one is index 1.
  ASSERT_EQ(QuorixOpenDevice(1, &handle), QUORIX_OK);
  opened_.push_back(handle);
  EXPECT_NE(handle, old_handle);
  EXPECT_EQ(QuorixSetPortDOutputs(handle, 1), QUORIX_OK);
  EXPECT_EQ(QuorixCloseDevice(old_handle), QUORIX_OK);
  opened_.erase(opened_.begin());
  EXPECT_EQ(CountWhen(1), 1);
}

// A process of its own, which loads the library afresh on the same testbed, opens the first
// board and closes it again. Returns its exit status: the open's status, low byte.
int OpenFirstInAnotherProcess() {
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    execl("/proc/self/exe", "quorix_usb_tests", kChildOpenFlag, static_cast<char*>(nullptr));
    _exit(100);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST_F(NativeTest, AnotherProcessCannotOpenABoardThatThisOneHasClaimed) {
  EmulatedBoard& board = Plug();
  board.HoldIn(true);
  QuorixHandle handle = OpenFirst(board);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(OpenFirstInAnotherProcess(), 170 % 256) << "the open answers ERROR_BUSY";

  // Here the board works on.
  EXPECT_EQ(QuorixSetPortDOutputs(handle, 3), QUORIX_OK);
}

// Closed here, the board is another process's to open, though this one keeps its connection;
// and it streams here again after that process has gone.
TEST_F(NativeTest, AnotherProcessOpensABoardThatThisOneHasClosed) {
  EmulatedBoard& board = Plug();
  QuorixHandle handle = OpenFirst(board);
  ASSERT_NE(handle, nullptr);
  Bytes data(1024);
  ASSERT_EQ(QuorixReadDevice(handle, 1024, data.data()), QUORIX_OK);
  ASSERT_EQ(QuorixCloseDevice(handle), QUORIX_OK);
  opened_.clear();
  EXPECT_EQ(OpenFirstInAnotherProcess(), QUORIX_OK);

  ASSERT_EQ(QuorixOpenDevice(0, &handle), QUORIX_OK);
  opened_.push_back(handle);
  ASSERT_EQ(QuorixReadDevice(handle, 1024, data.data()), QUORIX_OK);
  EXPECT_EQ(data[4], 1) << "the stream starts again at the open";
}

// A child forked without exec inherits the library's table, whose libusb handles live on the
// parent's context and share its file descriptors. It must not reach the boards through them.
TEST_F(NativeTest, AForkedChildCannotUseItsParentsHandles) {
  EmulatedBoard& first = Plug();
  first.HoldIn(true);
  EmulatedBoard& second = Plug({.serial = "QX-USB-0002", .address = 6, .port = "1-2"});
  second.HoldIn(true);
  ASSERT_EQ(CountWhen(2), 2);
  QuorixHandle handle = nullptr;
  ASSERT_EQ(QuorixOpenDevice(0, &handle), QUORIX_OK);
  opened_.push_back(handle);
  second.ClearControls();

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(20);  // a hang shows as a signal, not as a stuck test
    QuorixHandle other = nullptr;
    const int status = QuorixOpenDevice(1, &other);  // closed, but found by the parent
    _exit(status == 6 && QuorixSetPortDOutputs(handle, 1) == QUORIX_ERR_NOT_OPEN ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the child got through to a board";
  EXPECT_TRUE(second.Controls().empty()) << "the child configured the parent's board";

  // Here both boards work on.
  EXPECT_EQ(QuorixSetPortDOutputs(handle, 3), QUORIX_OK);
  QuorixHandle other = nullptr;
  ASSERT_EQ(QuorixOpenDevice(1, &other), QUORIX_OK);
  opened_.push_back(other);
  EXPECT_EQ(QuorixSetPortDOutputs(other, 5), QUORIX_OK);
}

// A child forked while threads of the parent are inside calls (a read waiting on one board, a
// count going round) counts the boards and exits: the port's lock, which those threads take
// and wait on, must not keep it from either.
TEST_F(NativeTest, ForkedChildrenEndWhileParentThreadsAreInsideCalls) {
  EmulatedBoard& board = Plug();
  board.HoldIn(true);
  QuorixHandle handle = OpenFirst(board);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(QuorixSetTimeOut(handle, 0), QUORIX_OK);
  int read_status = 0;
  std::uint8_t byte = 0;
  std::thread reader([&] { read_status = QuorixReadDevice(handle, 1, &byte); });
  std::atomic<bool> stop{false};
  std::thread counter([&] {
    std::int32_t count = 0;
    while (!stop) (void)QuorixCountDevices(&count);
  });
  constexpr int kChildren = 31;
  int ended = 0;
  for (int i = 0; i < kChildren && ended == i; ++i) {
    std::fflush(nullptr);  // else the child's exit writes the parent's buffered output again
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      alarm(10);  // a hang shows as a signal
      std::int32_t count = -1;
      std::exit(QuorixCountDevices(&count) == QUORIX_OK && count == 1 ? 0 : 1);
    }
    int status = 0;
    if (waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0) ++ended;
  }
  std::printf("[ figures  ] forked children that counted and ended: %d of %d\n", ended, kChildren);
  EXPECT_EQ(ended, kChildren);
  stop = true;
  counter.join();
  EXPECT_EQ(QuorixCloseDevice(handle), QUORIX_OK);
  opened_.clear();
  reader.join();
  EXPECT_EQ(read_status, QUORIX_ERR_NOT_OPEN);
}

}  // namespace
}  // namespace quorix::usbtest

namespace quorix::usbtest {
namespace {

TEST_F(NativeTest, TheExampleApplicationRunsUnchangedOnTheNativeLibrary) {
  Plug();
  ASSERT_EQ(CountWhen(1), 1);
  // A process of its own, on the same testbed, as an application would run.
  FILE* output = popen(QUORIX_FIRST_BOARD " " QUORIX_TEST_DATA "/blink.hex 4", "r");
  ASSERT_NE(output, nullptr);
  std::string text;
  char line[256];
  while (fgets(line, sizeof line, output) != nullptr) text += line;
  EXPECT_EQ(pclose(output), 0) << text;
  EXPECT_NE(text.find("1 board found\n  0  QX-USB-0001\n"), std::string::npos) << text;
  EXPECT_NE(text.find("blink.hex loaded\nstreamed 4 MiB in "), std::string::npos) << text;
  EXPECT_NE(text.find("\nclosed\n"), std::string::npos) << text;
}

// The quorix tool as another process on this testbed: its output and exit status.
std::string Tool(const std::string& arguments) {
  const std::string command = std::string("'") + QUORIX_TOOL + "' " + arguments + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "popen failed";
  std::string output;
  char buffer[256];
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  const int status = pclose(pipe);
  return output + "exit " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + "\n";
}

// quorix list learns from sysfs which board another process has claimed, and neither
// configures nor claims a board to find out; only --probe opens them.
TEST_F(NativeTest, ToolListLearnsInUseFromSysfsWithoutOpening) {
  EmulatedBoard& free_board = Plug();
  EmulatedBoard& held = Plug({.serial = "QX-USB-0002", .address = 6, .port = "1-2"});
  held.ClaimElsewhere(true);
  const std::string listed =
      "2 boards\n  0  QX-USB-0001  free\n  1  QX-USB-0002  in use: another process has it "
      "open\nexit 0\n";
  EXPECT_EQ(Tool("list"), listed);
  for (const EmulatedBoard* board : {&free_board, &held}) {
    EXPECT_EQ(board->IoctlCounts().count("SETCONFIGURATION"), 0u) << "list configured a board";
    EXPECT_EQ(board->IoctlCounts().count("CLAIMINTERFACE"), 0u) << "list claimed a board";
  }
  EXPECT_NE(Tool("--json list").find("\"in_use\": true, \"in_use_from\": \"system\", "
                                     "\"held_by\": \"usbfs\""),
            std::string::npos);

  EXPECT_EQ(Tool("list --probe"), listed);
  EXPECT_GT(free_board.IoctlCounts().count("SETCONFIGURATION"), 0u) << "--probe opens";
}

}  // namespace
}  // namespace quorix::usbtest
