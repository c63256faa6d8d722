// Plug and unplug on the native library: libusb's hotplug hears umockdev's udev events, and the
// port's plug watch wakes the library's watcher for each.
#include <poll.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/port.h"
#include "usb/native_fixture.h"

namespace quorix::usbtest {
namespace {

using Clock = std::chrono::steady_clock;

// The port's own watch, on a context of its own: told of a plug, of an unplug, and woken by
// another thread, and quiet otherwise.
TEST_F(NativeTest, ThePortsPlugWatchWakesForEachPlugAndUnplugAndForAWake) {
  port::Handle watch = port::OpenPlugWatch();
  ASSERT_NE(watch, nullptr) << "libusb reports no hotplug here";
  EXPECT_FALSE(port::WaitPlugChange(watch, 50)) << "a change with nothing plugged";
  EmulatedBoard& board = Plug();
  EXPECT_TRUE(port::WaitPlugChange(watch, 20000)) << "the plug";
  board.Unplug();
  EXPECT_TRUE(port::WaitPlugChange(watch, 20000)) << "the unplug";
  std::thread waker([&] { port::WakePlugWatch(watch); });
  EXPECT_TRUE(port::WaitPlugChange(watch, 60000)) << "the wake";
  waker.join();
  port::ClosePlugWatch(watch);
}

struct PlugLog {
  struct Entry {
    int event;
    std::string serial;
    QuorixHandle device;
    Clock::time_point when;
  };
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Entry> entries;

  static void QUORIX_CALL Record(void* context, int32_t event, const char* serial,
                                 QuorixHandle device) {
    auto* log = static_cast<PlugLog*>(context);
    const std::lock_guard lock(log->mutex);
    log->entries.push_back({event, serial, device, Clock::now()});
    log->changed.notify_all();
  }

  // The entry at index, once it has come (a generous limit: CI's machine is busy).
  Entry At(std::size_t index) {
    std::unique_lock lock(mutex);
    if (!changed.wait_for(lock, std::chrono::seconds(30), [&] { return entries.size() > index; }))
      return {0, "", nullptr, Clock::now()};
    return entries[index];
  }
  std::size_t Size() {
    const std::lock_guard lock(mutex);
    return entries.size();
  }
};

// A thread that waits in poll() on a ready descriptor; it notes when poll returned and how.
struct Poller {
  explicit Poller(int fd)
      : thread([this, fd] {
          pollfd entry{fd, POLLIN, 0};
          polling = true;
          const int r = poll(&entry, 1, 60000);
          revents = entry.revents;
          woke_at = Clock::now();
          result = r;
        }) {}
  // Once the thread is about to enter poll(): a close before it is inside finds the ready
  // handle still open and ready (it outlives the close), so no moment more is needed.
  void Started() {
    while (!polling.load()) std::this_thread::yield();
  }
  void Join() { thread.join(); }
  std::atomic<bool> polling{false};
  std::atomic<int> result{-2};  // -2 while poll waits
  short revents = 0;
  Clock::time_point woke_at;
  std::thread thread;
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// While a thread waits in poll() on a queued device's ready descriptor, another board comes and
// goes and then the device's own board goes: the plug callback sees each of the three once, in
// order, and the waiter wakes with the departure of its board. A close from another thread then
// ends a second wait.
TEST_F(NativeTest, PlugEventsComeOnceEachWhileAThreadPollsAReadyHandle) {
  EmulatedBoard& first = Plug();
  first.HoldIn(true);  // nothing to read: only a departure or a close makes the handle ready
  ASSERT_EQ(CountWhen(1), 1);
  const QuorixReadQueue queue{4, 64 * 1024, 1 << 20};
  QuorixHandle device = nullptr;
  ASSERT_EQ(QuorixOpenDeviceQueued(0, nullptr, &queue, &device), QUORIX_OK);
  opened_.push_back(device);
  QuorixNativeHandle fd = -1;
  ASSERT_EQ(QuorixGetReadyHandle(device, &fd), QUORIX_OK);
  PlugLog log;
  std::uint32_t registration = 0;
  ASSERT_EQ(QuorixRegisterPlugCallback(PlugLog::Record, &log, 0, &registration), QUORIX_OK);

  Poller waiter(fd);
  auto plugged_at = Clock::now();
  EmulatedBoard& second = Plug({.serial = "QX-USB-0002", .address = 6, .port = "1-2"});
  const PlugLog::Entry arrived = log.At(0);
  EXPECT_EQ(arrived.event, QUORIX_BOARD_ARRIVED);
  EXPECT_EQ(arrived.serial, "QX-USB-0002");
  EXPECT_EQ(arrived.device, nullptr);
  const double arrival_ms = Ms(arrived.when - plugged_at);

  auto unplugged_at = Clock::now();
  second.Unplug();
  const PlugLog::Entry left = log.At(1);
  EXPECT_EQ(left.event, QUORIX_BOARD_LEFT);
  EXPECT_EQ(left.serial, "QX-USB-0002");
  EXPECT_EQ(left.device, nullptr);
  const double departure_ms = Ms(left.when - unplugged_at);
  EXPECT_EQ(waiter.result.load(), -2) << "the waiter woke with no data and its board present";

  unplugged_at = Clock::now();
  first.Unplug();
  waiter.Join();
  EXPECT_EQ(waiter.result.load(), 1);
  EXPECT_TRUE(waiter.revents & POLLIN);
  const PlugLog::Entry gone = log.At(2);
  EXPECT_EQ(gone.event, QUORIX_BOARD_LEFT);
  EXPECT_EQ(gone.serial, "QX-USB-0001");
  EXPECT_EQ(gone.device, device) << "the departure of a board this process has open";
  const double wake_ms = Ms(waiter.woke_at - unplugged_at);
  EXPECT_EQ(QuorixCloseDevice(device), QUORIX_OK);
  opened_.clear();

  // Events are reported in order: once the next arrival is in, any repeat would be too.
  EmulatedBoard& third = Plug({.serial = "QX-USB-0003", .address = 7, .port = "1-3"});
  third.HoldIn(true);
  const PlugLog::Entry third_arrived = log.At(3);
  EXPECT_EQ(third_arrived.event, QUORIX_BOARD_ARRIVED);
  EXPECT_EQ(third_arrived.serial, "QX-USB-0003");
  EXPECT_EQ(log.Size(), 4u);

  ASSERT_EQ(QuorixOpenDeviceQueued(0, "QX-USB-0003", &queue, &device), QUORIX_OK);
  ASSERT_EQ(QuorixGetReadyHandle(device, &fd), QUORIX_OK);
  Poller closed(fd);
  closed.Started();
  const auto closing_at = Clock::now();
  EXPECT_EQ(QuorixCloseDevice(device), QUORIX_OK);
  closed.Join();
  EXPECT_EQ(closed.result.load(), 1);
  EXPECT_TRUE(closed.revents & POLLIN) << "a close from another thread makes the handle ready";

  EXPECT_EQ(QuorixUnregisterPlugCallback(registration), QUORIX_OK);
  std::printf("plug events after umockdev's uevent: arrival %.1f ms, departure %.1f ms; poll woke "
              "%.1f ms after its board's unplug, %.1f ms after the close\n",
              arrival_ms, departure_ms, wake_ms, Ms(closed.woke_at - closing_at));
}

}  // namespace
}  // namespace quorix::usbtest
