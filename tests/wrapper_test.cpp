// The C++ wrapper over the simulated library, as a C++ application uses it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <poll.h>
#include <sys/mman.h>
#endif

#include "quorix/quorix.hpp"
#include "quorix/quorix_sim.h"

namespace {

class WrapperTest : public testing::Test {
 protected:
  void SetUp() override {
    QuorixSimReset();
    board_ = QuorixSimAddBoard("QX-CPP-0001", QUORIX_VENDOR_ID, QUORIX_PRODUCT_ID);
  }
  int board_ = 0;
};

TEST_F(WrapperTest, ADeviceClosesWhenDestroyedAndMovesItsHandle) {
  QuorixHandle handle = nullptr;
  {
    quorix::Device device = quorix::Device::Open(0);
    handle = device.native_handle();
    quorix::Device moved = std::move(device);
    EXPECT_FALSE(device);
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved.native_handle(), handle);
    EXPECT_EQ(QuorixCloseDevice(nullptr), QUORIX_ERR_FAILED);
  }
  EXPECT_EQ(QuorixCloseDevice(handle), QUORIX_ERR_NOT_OPEN) << "closed by the destructor";
  quorix::Device again = quorix::Device::OpenSerial("QX-CPP-0001");
  again.Close();
  EXPECT_FALSE(again);
  EXPECT_NO_THROW(again.Close()) << "closing an empty device does nothing";
}

TEST_F(WrapperTest, FailuresThrowOrReportTheStatus) {
  try {
    (void)quorix::Device::Open(7);
    FAIL() << "no board 7";
  } catch (const quorix::Error& error) {
    EXPECT_EQ(error.status(), QUORIX_ERR_FAILED);
    EXPECT_EQ(error.code(), quorix::Status::kFailed);
  }
  std::error_code ec;
  quorix::Device none = quorix::Device::Open(7, ec);
  EXPECT_EQ(ec, quorix::Status::kFailed);
  EXPECT_FALSE(none);

  // A read that times out, in both forms; the code compares with the portable condition.
  QuorixSimSetSource(board_, QUORIX_SIM_SOURCE_NONE, 0);
  quorix::Device device = quorix::Device::Open(0);
  device.SetTimeout(std::chrono::milliseconds(10));
  std::vector<std::uint8_t> buffer(64);
  device.Read(std::span(buffer), ec);
  EXPECT_EQ(ec, quorix::Status::kTimeout);
  EXPECT_EQ(ec, std::errc::timed_out);
  EXPECT_THROW(device.Read(std::span(buffer)), quorix::Error);
  EXPECT_EQ(quorix::Device::Open(0, ec).native_handle(), nullptr);
  EXPECT_EQ(ec, quorix::Status::kAlreadyOpen);
}

// No board, no such board, and a Device that is not open are named as such, not with the
// catch-all text of -1.
TEST_F(WrapperTest, MissingBoardsAndEmptyDevicesSaySo) {
  const auto what = [](auto&& call) -> std::string {
    try {
      call();
    } catch (const quorix::Error& error) {
      return std::to_string(error.status()) + " " + error.what();
    }
    return "no error";
  };
  EXPECT_EQ(what([] { (void)quorix::Device::Open(3); }),
            "-1 QuorixOpenDeviceQueued: there is no board 3: 1 board is plugged in (index 0)");
  EXPECT_EQ(what([] { (void)quorix::Device::OpenSerial("QX-NOBODY"); }),
            "-1 QuorixOpenDeviceQueued: no board has the serial number \"QX-NOBODY\": 1 board "
            "is plugged in");

  quorix::Device device = quorix::Device::Open(0);
  quorix::Device moved = std::move(device);
  EXPECT_EQ(what([&] { device.SetPortD(1); }), "-4 quorix::Device::SetPortD: this device is not open");
  std::vector<std::uint8_t> bytes(4);
  EXPECT_EQ(what([&] { device.Read(std::span(bytes)); }),
            "-4 quorix::Device::Read: this device is not open");
  EXPECT_EQ(what([&] { device.WriteEeprom(0, bytes); }),
            "-4 quorix::Device::WriteEeprom: this device is not open");
  moved.Close();
  EXPECT_EQ(what([&] { (void)moved.Read(4); }), "-4 quorix::Device::Read: this device is not open");
  std::error_code ec;
  EXPECT_EQ(moved.ReadUpTo(std::span(bytes), ec), 0u);
  EXPECT_EQ(ec, quorix::Status::kNotOpen);
  moved.Write(std::span(bytes), ec);
  EXPECT_EQ(ec, quorix::Status::kNotOpen);

  QuorixSimReset();
  EXPECT_EQ(what([] { (void)quorix::Device::Open(0); }),
            "-1 QuorixOpenDeviceQueued: no board is plugged in");
}

TEST_F(WrapperTest, ADeviceReadsWithQueuedReadsUnlessToldOtherwise) {
  quorix::Device device = quorix::Device::Open(0);
  EXPECT_EQ(device.Queue(), quorix::ReadQueue{});
  std::vector<std::uint32_t> words(1 << 18);
  device.Read(std::span(words));
  for (std::uint32_t i = 0; i < words.size(); ++i) ASSERT_EQ(words[i], i);
  const quorix::StreamStatistics stats = device.Statistics();
  EXPECT_GE(stats.bytes_received, words.size() * 4);
  device.Close();
  EXPECT_EQ(quorix::Device::Open(0, quorix::ReadQueue::Classic()).Queue().reads, 0u);
  EXPECT_THROW(quorix::Device::Open(0, quorix::ReadQueue{4, 1000, 0}), quorix::Error);
}

TEST_F(WrapperTest, EveryStatusHasANameAndAMessage) {
  const std::error_category& category = quorix::Category();
  EXPECT_STREQ(category.name(), "quorix");
  for (int status = 0; status >= QUORIX_ERR_NO_SPACE; --status) {
    EXPECT_EQ(quorix::StatusName(status).rfind("QUORIX_", 0), 0u) << status;
    EXPECT_FALSE(category.message(status).empty()) << status;
  }
  EXPECT_EQ(quorix::StatusName(QUORIX_ERR_TIMEOUT), "QUORIX_ERR_TIMEOUT");
  EXPECT_EQ(quorix::StatusMeaning(QUORIX_ERR_TIMEOUT), "the transfer did not complete in time");
  EXPECT_EQ(quorix::StatusName(121), "Windows error 121 (ERROR_SEM_TIMEOUT)");
  EXPECT_EQ(quorix::StatusName(4242), "Windows error 4242");
  EXPECT_EQ(quorix::StatusMeaning(4242), "");
  // Windows codes keep their number.
  const std::error_code busy = quorix::MakeErrorCode(170);
  EXPECT_EQ(busy.value(), 170);
  EXPECT_EQ(busy.message(), "Windows error 170: busy: another process has this board open");
  EXPECT_EQ(busy, std::errc::device_or_resource_busy);
  EXPECT_EQ(quorix::MakeErrorCode(4242).message(), "Windows error 4242");
  EXPECT_NE(quorix::MakeErrorCode(4242), std::errc::io_error);
}

TEST_F(WrapperTest, SpansReachTheBoardAndTheBoardControlsWork) {
  quorix::Device device = quorix::Device::Open(0);
  EXPECT_EQ(quorix::CountDevices(), 1);
  EXPECT_EQ(quorix::SerialNumber(0), "QX-CPP-0001");
  EXPECT_EQ(quorix::SerialNumber(1), std::nullopt);

  std::vector<std::uint32_t> words(4096);  // the counter pattern, read as words
  device.Read(std::span(words));
  for (std::uint32_t i = 0; i < words.size(); ++i) ASSERT_EQ(words[i], i);
  EXPECT_EQ(device.Read(8).size(), 8u);

  const std::uint8_t command[] = {1, 2, 3};
  device.Write(std::span(command));
  std::uint8_t out[3] = {};
  std::uint32_t taken = 0;
  ASSERT_EQ(QuorixSimTakeOut(board_, out, sizeof out, &taken), 0);
  EXPECT_EQ(taken, 3u);
  EXPECT_EQ(std::memcmp(out, command, 3), 0);

  device.SetPortD(0xA5);
  EXPECT_EQ(device.PortD(), 0xA5);
  const std::uint8_t steps[] = {1, 2, 4};
  device.SetPortDSequence(steps);
  EXPECT_EQ(device.PortD(), 4);
  device.SetPortDEnable(0x0F);
  device.SetFpgaMode(2);
  std::uint8_t port_d = 0, enable = 0, mode = 0;
  QuorixSimGetBoardState(board_, &port_d, &enable, &mode);
  EXPECT_EQ(enable, 0x0F);
  EXPECT_EQ(mode, 2);

  // 300 bytes from 28: requests of at most 255 bytes that never cross a 32-byte page, which
  // the part would wrap.
  std::vector<std::uint8_t> bytes(300);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
  device.WriteEeprom(28, bytes);
  std::vector<std::uint8_t> stored(300), back(300);
  ASSERT_EQ(QuorixSimReadEeprom(board_, 1, 28, 300, stored.data()), 0);
  EXPECT_EQ(stored, bytes);
  device.ReadEeprom(28, back);
  EXPECT_EQ(back, bytes);

  device.LoadFirmware(QUORIX_FIRMWARE "/blink.hex");
  EXPECT_EQ(QuorixSimCpuRunning(board_), 1);
  QuorixSimClearStartupArea(board_);
  try {
    device.SetStartupCommand("go");
    FAIL();
  } catch (const quorix::Error& error) {
    EXPECT_EQ(error.code(), quorix::Status::kNoStartupArea);
  }
}

// The receive side as these tests shape it: nothing but what they push.
class TimedReadTest : public WrapperTest {
 protected:
  void SetUp() override {
    WrapperTest::SetUp();
    QuorixSimSetSource(board_, QUORIX_SIM_SOURCE_NONE, 0);
    device_ = quorix::Device::Open(0);
    device_.SetTimeout(std::chrono::milliseconds(20));
  }
  // count bytes of a pattern that starts at first, pushed as packets ending in a short one.
  std::vector<std::uint8_t> Push(std::size_t count, std::uint8_t first) {
    std::vector<std::uint8_t> data(count);
    for (std::size_t i = 0; i < count; ++i) data[i] = static_cast<std::uint8_t>(first + i);
    EXPECT_EQ(QuorixSimPushIn(board_, data.data(), static_cast<std::uint32_t>(count)), 0);
    return data;
  }
  quorix::Device device_;
};

TEST_F(TimedReadTest, AReadThatTimesOutHandsOverTheBytesItTook) {
  const std::vector<std::uint8_t> first = Push(100, 0);
  std::vector<std::uint8_t> buffer(200, 0xEE);
  try {
    device_.Read(std::span(buffer));
    FAIL() << "only 100 of 200 bytes arrived";
  } catch (const quorix::Error& error) {
    EXPECT_EQ(error.code(), quorix::Status::kTimeout);
    EXPECT_EQ(error.transferred(), 100u);
    EXPECT_TRUE(error.partial().empty()) << "the bytes are in the caller's span";
  }
  EXPECT_TRUE(std::equal(first.begin(), first.end(), buffer.begin()));
  EXPECT_EQ(buffer[100], 0xEE) << "nothing written behind what was taken";

  // The error_code form returns the count; the vector form carries the bytes themselves.
  const std::vector<std::uint8_t> second = Push(100, 100);
  std::error_code ec;
  EXPECT_EQ(device_.Read(std::span(buffer), ec), 100u);
  EXPECT_EQ(ec, std::errc::timed_out);
  EXPECT_TRUE(std::equal(second.begin(), second.end(), buffer.begin()));
  const std::vector<std::uint8_t> third = Push(100, 200);
  try {
    (void)device_.Read(200);
    FAIL();
  } catch (const quorix::Error& error) {
    EXPECT_EQ(error.transferred(), 100u);
    EXPECT_TRUE(
        std::equal(third.begin(), third.end(), error.partial().begin(), error.partial().end()));
  }
  // Nothing was held back or dropped: the next bytes pushed are the next ones read.
  const std::vector<std::uint8_t> fourth = Push(30, 50);
  EXPECT_EQ(device_.Read(30), fourth);
}

TEST_F(TimedReadTest, ReadUpToReturnsWhatArrivedWithinTheTimeout) {
  const std::vector<std::uint8_t> sent = Push(100, 7);
  std::vector<std::uint8_t> buffer(200);
  EXPECT_EQ(device_.ReadUpTo(std::span(buffer)), 100u);
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), buffer.begin()));
  std::error_code ec;
  EXPECT_EQ(device_.ReadUpTo(std::span(buffer), ec), 0u) << "nothing arrived";
  EXPECT_FALSE(ec) << "a timeout is no error here";

  // A full span returns at once, leaving the rest for the next read.
  const std::vector<std::uint8_t> more = Push(1500, 1);  // three packets, the last one short
  EXPECT_EQ(device_.ReadUpTo(std::span(buffer)), 200u);
  EXPECT_TRUE(std::equal(more.begin(), more.begin() + 200, buffer.begin()));
  EXPECT_EQ(device_.BytesAvailable(), 1300u);
  std::vector<std::uint8_t> rest(1300);
  EXPECT_EQ(device_.ReadUpTo(std::span(rest)), 1300u);
  EXPECT_TRUE(std::equal(more.begin() + 200, more.end(), rest.begin()));

  std::vector<std::uint32_t> words(4);  // counts are bytes, whatever the element
  Push(6, 0);
  EXPECT_EQ(device_.ReadUpTo(std::span(words)), 6u);
}

TEST_F(TimedReadTest, BytesTheRingKeptAfterTheReadFailedAreStillDelivered) {
  const std::vector<std::uint8_t> sent = Push(100, 3);
  EXPECT_EQ(device_.BytesAvailable(), 100u);  // in the ring, the next read posted
  ASSERT_EQ(QuorixSimUnplug(board_), 0);      // which ends that read with 1167
  std::vector<std::uint8_t> buffer(200);
  try {
    (void)device_.ReadUpTo(std::span(buffer));
    FAIL() << "the board is gone";
  } catch (const quorix::Error& error) {
    EXPECT_EQ(error.status(), 1167);
    EXPECT_EQ(error.transferred(), 100u);
  }
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), buffer.begin()));
}

// The counter pattern at the USB 2.0 rate, read in odd sizes by both reads: every byte in
// order, none lost to the polls the reads make. Prints the rate it saw.
TEST_F(WrapperTest, ReadsFollowAStreamAtTheUsbRateWithoutAGap) {
  QuorixSimSetSource(board_, QUORIX_SIM_SOURCE_COUNTER, 53248000);
  quorix::Device device = quorix::Device::Open(0);
  device.SetTimeout(std::chrono::milliseconds(1000));
  const std::size_t total = 32u << 20;
  std::vector<std::uint8_t> buffer(100003);
  std::size_t offset = 0, mismatches = 0;
  const auto start = std::chrono::steady_clock::now();
  for (bool exact = false; offset < total; exact = !exact) {
    const std::span<std::uint8_t> piece(buffer.data(), std::min(buffer.size(), total - offset));
    std::size_t got = piece.size();
    if (exact)
      device.Read(piece);
    else
      got = device.ReadUpTo(piece);
    for (std::size_t i = 0; i < got; ++i, ++offset) {
      const auto word = static_cast<std::uint32_t>(offset / 4);
      mismatches += piece[i] != static_cast<std::uint8_t>(word >> (8 * (offset % 4)));
    }
  }
  const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(mismatches, 0u);
  std::printf("32 MiB in reads of 100,003 bytes at a 53,248,000 B/s source: %.1f MB/s\n",
              static_cast<double>(total) / seconds.count() / 1e6);
}

// A Close on another thread ends a read that waits without limit with NOT_OPEN, and the read
// reports the bytes it took; a read that begins while the close runs ends the same way. Under
// ThreadSanitizer this also checks that the Device's handle is shared without a race.
TEST_F(TimedReadTest, ACloseFromAnotherThreadEndsAReadWithNotOpen) {
  device_.SetTimeout(std::chrono::milliseconds(0));
  const std::vector<std::uint8_t> sent = Push(3, 1);
  std::vector<std::uint8_t> buffer(100);
  std::error_code ec;
  std::size_t taken = 0;
  std::thread reader([&] { taken = device_.Read(std::span(buffer), ec); });
  // The first poll takes the three bytes into the ring; it is empty again once the reader has
  // them.
  while (device_.BytesAvailable() != 0) std::this_thread::yield();
  device_.Close();
  reader.join();
  EXPECT_EQ(ec, quorix::Status::kNotOpen);
  EXPECT_EQ(taken, 3u);
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), buffer.begin()));

  for (int round = 0; round < 20; ++round) {
    quorix::Device device = quorix::Device::Open(0);
    device.SetTimeout(std::chrono::milliseconds(0));
    std::error_code read_ec;
    std::thread late([&] {
      std::uint8_t byte = 0;
      (void)device.ReadUpTo(std::span(&byte, 1), read_ec);
    });
    device.Close();
    late.join();
    EXPECT_EQ(read_ec, quorix::Status::kNotOpen) << "round " << round;
  }
}

// The wait consumes nothing, the ready handle follows the threshold, and a read then takes
// exactly what was waited for.
TEST_F(TimedReadTest, WaitForBytesConsumesNothingAndTheReadyHandleFollowsTheThreshold) {
  const quorix::NativeHandle ready = device_.ReadyHandle();
  EXPECT_EQ(device_.ReadyHandle(), ready) << "one handle for the device's life";
  device_.SetReadyThreshold(300);
  const std::vector<std::uint8_t> sent = Push(200, 5);
  EXPECT_EQ(device_.WaitForBytes(200, std::chrono::seconds(30)), 200u);
  EXPECT_EQ(device_.WaitForBytes(300, std::chrono::milliseconds(0)), 200u) << "fewer: no wait";
#if !defined(_WIN32)
  pollfd entry{ready, POLLIN, 0};
  EXPECT_EQ(poll(&entry, 1, 0), 0) << "200 bytes are below the threshold";
  const std::vector<std::uint8_t> more = Push(100, 205);
  EXPECT_EQ(poll(&entry, 1, 30000), 1);
#else
  const std::vector<std::uint8_t> more = Push(100, 205);
#endif
  EXPECT_EQ(device_.WaitForBytes(300, std::chrono::seconds(30)), 300u);
  std::vector<std::uint8_t> buffer(400);
  EXPECT_EQ(device_.ReadUpTo(std::span(buffer)), 300u);
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), buffer.begin()));
  EXPECT_TRUE(std::equal(more.begin(), more.end(), buffer.begin() + 200));

  EXPECT_THROW(device_.SetReadyThreshold(0), quorix::Error);
  // A size_t of 32 bits cannot name a threshold past the C API's range.
  constexpr std::uint64_t kPastTheRange = std::uint64_t{1} << 32;
  if (kPastTheRange <= std::numeric_limits<std::size_t>::max()) {
    EXPECT_THROW(device_.SetReadyThreshold(static_cast<std::size_t>(kPastTheRange)),
                 std::out_of_range);
  }
  EXPECT_THROW((void)device_.WaitForBytes(1, std::chrono::milliseconds(-1)), std::out_of_range);
  std::error_code ec;
  ASSERT_EQ(QuorixSimUnplug(board_), 0);
  EXPECT_EQ(device_.WaitForBytes(1, std::chrono::milliseconds(0), ec), 0u);
  EXPECT_EQ(ec.value(), 1167) << ec.message();  // the driver's word, as the poll gives it
  device_.Close();
  EXPECT_EQ(device_.WaitForBytes(1, std::chrono::milliseconds(0), ec), 0u);
  EXPECT_EQ(ec, quorix::Status::kNotOpen);
  // The classic read has no thread that would make a handle ready.
  QuorixSimReplug(board_);
  EXPECT_THROW((void)quorix::Device::Open(0, quorix::ReadQueue::Classic()).ReadyHandle(),
               quorix::Error);
}

// Events as a subscription's callback saw them, for the test to wait on.
struct Events {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<quorix::PlugEvent> seen;
  void Add(const quorix::PlugEvent& event) {
    const std::lock_guard hold(lock);
    seen.push_back(event);
    changed.notify_all();
  }
  // Waits until count events have come; a copy of them.
  std::vector<quorix::PlugEvent> Until(std::size_t count) {
    std::unique_lock hold(lock);
    EXPECT_TRUE(
        changed.wait_for(hold, std::chrono::seconds(30), [&] { return seen.size() >= count; }))
        << seen.size() << " of " << count << " events";
    return seen;
  }
};

// Arrivals and departures reach the callable once each, with the open device's handle; a
// subscription moves, ends when destroyed, and may end itself inside its own callback.
TEST_F(WrapperTest, APlugSubscriptionReportsBoardsUntilItIsDestroyed) {
  quorix::Device device = quorix::Device::Open(0);
  Events events, ending;
  std::optional<quorix::PlugSubscription> self_ending;
  {
    quorix::PlugSubscription moved([&](const quorix::PlugEvent& e) { events.Add(e); }, true);
    const quorix::PlugSubscription sub = std::move(moved);
    EXPECT_FALSE(moved);
    ASSERT_TRUE(sub);
    self_ending.emplace([&](const quorix::PlugEvent& e) {
      self_ending.reset();  // ends it, inside its own call, and frees this lambda after it
      ending.Add(e);
    });
    const auto present = events.Until(1);
    EXPECT_EQ(present[0].kind, quorix::PlugEventKind::kArrived);
    EXPECT_EQ(present[0].serial, "QX-CPP-0001");
    EXPECT_EQ(present[0].device, device.native_handle());

    const int second = QuorixSimAddBoard("QX-CPP-0002", QUORIX_VENDOR_ID, QUORIX_PRODUCT_ID);
    const auto arrived = events.Until(2);
    EXPECT_EQ(arrived[1].kind, quorix::PlugEventKind::kArrived);
    EXPECT_EQ(arrived[1].serial, "QX-CPP-0002");
    EXPECT_EQ(arrived[1].device, nullptr);
    ASSERT_EQ(QuorixSimUnplug(board_), 0);
    const auto seen = events.Until(3);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].kind, quorix::PlugEventKind::kLeft);
    EXPECT_EQ(seen[2].serial, "QX-CPP-0001");
    EXPECT_EQ(seen[2].device, device.native_handle());
    ASSERT_EQ(ending.Until(1).size(), 1u);
    EXPECT_FALSE(self_ending);
    ASSERT_EQ(QuorixSimUnplug(second), 0);
    EXPECT_EQ(events.Until(4)[3].serial, "QX-CPP-0002");
  }
  // Destroyed: nothing more is reported, to it nor to the one that ended itself.
  quorix::PlugSubscription witness([&](const quorix::PlugEvent& e) { events.Add(e); });
  ASSERT_EQ(QuorixSimReplug(board_), 0);
  const auto last = events.Until(5);
  EXPECT_EQ(last.size(), 5u);
  EXPECT_EQ(ending.Until(1).size(), 1u);
}

#if !defined(_WIN32)
TEST_F(TimedReadTest, ASpanBeyondFourGibibytesIsNotCutTo32Bits) {
  // Address space only: untouched pages cost no memory.
  const std::size_t size = (std::size_t{1} << 32) + 16;
  void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (memory == MAP_FAILED) GTEST_SKIP() << "no 4 GiB of address space";
  const std::span<std::uint8_t> huge(static_cast<std::uint8_t*>(memory), size);
  const std::vector<std::uint8_t> sent = Push(16, 9);
  EXPECT_EQ(device_.ReadUpTo(huge), 16u) << "not 4294967312, nor a read of 16 bytes refused";
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), huge.begin()));
  munmap(memory, size);
}
#endif

TEST_F(WrapperTest, ValuesBeyondWhatTheBoardTakesAreRefusedBeforeAnythingIsSent) {
  EXPECT_THROW((void)quorix::Device::Open(std::int64_t{1} << 32), std::out_of_range)
      << "not board 0";
  std::error_code ec;
  EXPECT_FALSE(quorix::Device::Open(std::int64_t{1} << 32, ec));
  EXPECT_EQ(ec, std::errc::invalid_argument);
  EXPECT_THROW((void)quorix::SerialNumber(-(std::int64_t{1} << 32)), std::out_of_range);
  const std::string with_nul("QX-CPP-0001\0junk", 16);
  EXPECT_THROW((void)quorix::Device::OpenSerial(with_nul), std::invalid_argument)
      << "not QX-CPP-0001";
  EXPECT_FALSE(quorix::Device::OpenSerial(with_nul, ec));
  EXPECT_EQ(ec, std::errc::invalid_argument);

  quorix::Device device = quorix::Device::Open(0);
  device.SetPortD(0x5A);
  try {
    device.SetPortD(300);
    FAIL() << "300 would reach the board as 44";
  } catch (const std::out_of_range& error) {
    EXPECT_STREQ(
        error.what(),
        "quorix::Device::SetPortD: port D outputs 300 is outside 0..255; nothing was sent");
  }
  EXPECT_THROW(device.SetPortD(-1), std::out_of_range);
  EXPECT_THROW(device.SetPortDEnable(256), std::out_of_range);
  EXPECT_THROW(device.SetFpgaMode(0x1FF), std::out_of_range);
  EXPECT_THROW(device.SetPortDSequence(std::vector<std::uint8_t>(256)), std::out_of_range);
  std::uint8_t port_d = 0, enable = 0, mode = 0;
  QuorixSimGetBoardState(board_, &port_d, &enable, &mode);
  EXPECT_EQ(port_d, 0x5A);
  EXPECT_EQ(enable, 0);
  EXPECT_EQ(mode, 0);

  EXPECT_THROW(device.SetTimeout(std::chrono::milliseconds(-1)), std::out_of_range);
  EXPECT_THROW(device.SetTimeout(std::chrono::milliseconds(std::int64_t{1} << 32)),
               std::out_of_range)
      << "not 0, which would wait without limit";
  device.SetTimeout(std::chrono::milliseconds(UINT32_MAX));

  // EEPROM ranges end at the part's end: 8 KiB at select 1, whose part would wrap what goes
  // beyond to address 0, over the startup command's chain; 0xFFFF at the selects the wrapper
  // does not know.
  std::vector<std::uint8_t> before(QUORIX_EEPROM_SIZE), after(QUORIX_EEPROM_SIZE);
  ASSERT_EQ(QuorixSimReadEeprom(board_, 1, 0, QUORIX_EEPROM_SIZE, before.data()), 0);
  std::vector<std::uint8_t> four(4, 0x11), page(32, 0x22);
  EXPECT_THROW(device.ReadEeprom(0x1FFF0, four), std::out_of_range) << "not 0xFFF0";
  try {
    device.WriteEeprom(0x1FF0, page);
    FAIL() << "16 of the 32 bytes would land at 0";
  } catch (const std::out_of_range& error) {
    EXPECT_STREQ(error.what(),
                 "quorix::Device::WriteEeprom: 32 bytes from address 8176 run past the end of "
                 "the 8192-byte EEPROM at select 1, where addresses wrap to 0; nothing was sent");
  }
  EXPECT_THROW(device.ReadEeprom(0x1FFE, four), std::out_of_range);
  EXPECT_THROW(device.WriteEeprom(0x2000, {}), std::out_of_range);
  EXPECT_THROW(device.WriteEeprom(0xFFFE, four, 2), std::out_of_range);
  EXPECT_THROW(device.WriteEeprom(-4, four), std::out_of_range);
  EXPECT_THROW(device.WriteEeprom(0, four, 256), std::out_of_range);
  ASSERT_EQ(QuorixSimReadEeprom(board_, 1, 0, QUORIX_EEPROM_SIZE, after.data()), 0);
  EXPECT_EQ(after, before) << "nothing written";
  std::vector<std::uint8_t> last(1);
  device.ReadEeprom(0x1FFF, last);  // the very last address is fine

  EXPECT_THROW(device.SetStartupCommand(std::string(0x10000, 'x')), std::out_of_range);
  EXPECT_THROW(device.LoadFirmware(std::string("blink.hex\0.txt", 14)), std::invalid_argument);
}

}  // namespace
