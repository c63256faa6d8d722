// Waiting without blocking: the data-ready handle, the wait that consumes nothing, and the plug
// callbacks, on the simulated bus in real time (the pump and the watcher are threads).
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <poll.h>
#endif

#include "support/sim_test.h"

namespace quorix::test {
namespace {

// A bound on waits for a state that must come, so that a fault fails the test instead of hanging.
constexpr int kMustComeMs = 30000;

// Whether the handle is ready within ms (0: now).
bool Ready(QuorixNativeHandle handle, int ms) {
#ifdef _WIN32
  return WaitForSingleObject(handle, static_cast<DWORD>(ms)) == WAIT_OBJECT_0;
#else
  pollfd entry{handle, POLLIN, 0};
  return poll(&entry, 1, ms) == 1 && (entry.revents & POLLIN) != 0;
#endif
}

class WaitTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    bus().UseVirtualClock(false);
  }
  static QuorixHandle OpenQueued(std::uint32_t reads, std::uint32_t size, std::uint32_t ring) {
    const QuorixReadQueue queue{reads, size, ring};
    QuorixHandle handle = nullptr;
    EXPECT_EQ(QuorixOpenDeviceQueued(0, nullptr, &queue, &handle), QUORIX_OK);
    return handle;
  }
  static void Push(sim::Board& board, std::uint64_t from, std::size_t count) {
    bus().Locked([&] { board.PushIn(Counter(from, count)); });
  }
  static QuorixNativeHandle ReadyHandle(QuorixHandle device) {
    QuorixNativeHandle handle{};
    EXPECT_EQ(QuorixGetReadyHandle(device, &handle), QUORIX_OK);
    return handle;
  }
};

TEST_F(WaitTest, TheReadyHandleFollowsTheBytesHeldAndTheThreshold) {
  sim::Board& board = QuietBoard();
  QuorixHandle device = OpenQueued(2, 4096, 65536);
  const QuorixNativeHandle ready = ReadyHandle(device);
  QuorixNativeHandle again{};
  ASSERT_EQ(QuorixGetReadyHandle(device, &again), QUORIX_OK);
  EXPECT_EQ(again, ready);
  EXPECT_FALSE(Ready(ready, 0));

  // The pump takes the short completion in while nobody calls: the handle alone tells.
  Push(board, 0, 100);
  ASSERT_TRUE(Ready(ready, kMustComeMs));
  std::uint32_t held = 0;
  EXPECT_EQ(QuorixWaitForBytes(device, 200, 0, &held), QUORIX_ERR_TIMEOUT);
  EXPECT_EQ(held, 100u);

  ASSERT_EQ(QuorixSetReadyThreshold(device, 200), QUORIX_OK);
  EXPECT_FALSE(Ready(ready, 0));
  Push(board, 100, 150);
  ASSERT_TRUE(Ready(ready, kMustComeMs));
  ASSERT_EQ(QuorixWaitForBytes(device, 250, kMustComeMs, &held), QUORIX_OK);
  EXPECT_EQ(held, 250u) << "the waits consumed nothing";

  Bytes got(250);
  ASSERT_EQ(QuorixReadDevice(device, 250, got.data()), QUORIX_OK);
  EXPECT_EQ(got, Counter(0, 250));
  EXPECT_FALSE(Ready(ready, 0));

  EXPECT_EQ(QuorixSetReadyThreshold(device, 0), QUORIX_ERR_FAILED);
  EXPECT_EQ(QuorixSetReadyThreshold(device, 32769), QUORIX_ERR_FAILED);
  EXPECT_EQ(QuorixWaitForBytes(device, 32769, 0, &held), QUORIX_ERR_FAILED);
  EXPECT_EQ(QuorixCloseDevice(device), QUORIX_OK);
}

TEST_F(WaitTest, AnUnplugMakesItReadyAndACloseEndsAWaitOfAnotherThread) {
  const int id = QuietBoard("U").id;
  QuorixHandle device = OpenQueued(4, 4096, 65536);
  const QuorixNativeHandle ready = ReadyHandle(device);
  std::thread waiter([&] { EXPECT_TRUE(Ready(ready, kMustComeMs)); });
  ASSERT_TRUE(bus().Unplug(id));
  waiter.join();
  std::uint32_t held = 0;
  EXPECT_NE(QuorixWaitForBytes(device, 1, kMustComeMs, &held), QUORIX_OK);
  EXPECT_EQ(QuorixCloseDevice(device), QUORIX_OK);

  QuietBoard("C");
  device = OpenQueued(4, 4096, 65536);
  int status = 1;
  std::thread wait([&] { status = QuorixWaitForBytes(device, 1, kMustComeMs, &held); });
  // Closes once the wait is inside, counted beside the pump.
  while (Record(device)->sync->users.load() < 2) std::this_thread::yield();
  EXPECT_EQ(QuorixCloseDevice(device), QUORIX_OK);
  wait.join();
  EXPECT_EQ(status, QUORIX_ERR_NOT_OPEN);
}

TEST_F(WaitTest, TheClassicReadWaitsWithoutConsumingAndHasNoReadyHandle) {
  sim::Board& board = QuietBoard();
  QuorixHandle device = Open();
  QuorixNativeHandle ready{};
  EXPECT_EQ(QuorixGetReadyHandle(device, &ready), QUORIX_ERR_FAILED);
  std::uint32_t held = 7;
  EXPECT_EQ(QuorixWaitForBytes(device, 1, 0, &held), QUORIX_ERR_TIMEOUT);
  EXPECT_EQ(held, 0u);
  std::thread pusher([&] { Push(board, 0, 300); });
  ASSERT_EQ(QuorixWaitForBytes(device, 300, kMustComeMs, &held), QUORIX_OK);
  pusher.join();
  EXPECT_EQ(held, 300u);
  EXPECT_EQ(Available(device), 300u);
  Bytes got(300);
  ASSERT_EQ(QuorixReadDevice(device, 300, got.data()), QUORIX_OK);
  EXPECT_EQ(got, Counter(0, 300));

  // After an unplug the bytes the ring kept are still held, and read, before the failure.
  Push(board, 300, 100);
  ASSERT_EQ(QuorixWaitForBytes(device, 100, kMustComeMs, &held), QUORIX_OK);
  ASSERT_TRUE(bus().Unplug(board.id));
  EXPECT_EQ(QuorixWaitForBytes(device, 1, 0, &held), QUORIX_OK);
  EXPECT_EQ(held, 100u);
  EXPECT_EQ(QuorixWaitForBytes(device, 101, 0, &held), 1167);
  EXPECT_EQ(held, 100u);
  got.resize(100);
  ASSERT_EQ(QuorixReadDevice(device, 100, got.data()), QUORIX_OK);
  EXPECT_EQ(got, Counter(300, 100));
  EXPECT_EQ(QuorixWaitForBytes(device, 1, 0, &held), 1167);
  EXPECT_EQ(held, 0u);
  EXPECT_EQ(QuorixCloseDevice(device), QUORIX_OK);
}

// What the callbacks were told, for a test to wait on.
struct Heard {
  struct Event {
    int kind;
    std::string serial;
    QuorixHandle device;
  };
  std::mutex lock;
  std::condition_variable changed;
  std::vector<Event> events;
  std::uint32_t registration = 0;
  bool unregister_inside = false;

  static void QUORIX_CALL Callback(void* context, int32_t kind, const char* serial,
                                   QuorixHandle device) {
    auto* heard = static_cast<Heard*>(context);
    if (heard->unregister_inside) {
      EXPECT_EQ(QuorixUnregisterPlugCallback(heard->registration), QUORIX_OK);
      EXPECT_EQ(QuorixUnregisterPlugCallback(heard->registration), QUORIX_ERR_FAILED);
    }
    const std::lock_guard hold(heard->lock);
    heard->events.push_back({kind, serial, device});
    heard->changed.notify_all();
  }
  // Waits until the last event is this one; returns every event so far.
  std::vector<Event> Until(int kind, const std::string& serial) {
    std::unique_lock hold(lock);
    EXPECT_TRUE(changed.wait_for(hold, std::chrono::milliseconds(kMustComeMs), [&] {
      return !events.empty() && events.back().kind == kind && events.back().serial == serial;
    })) << "no event " << kind << " " << serial;
    return events;
  }
};

using PlugTest = WaitTest;

TEST_F(PlugTest, EachArrivalAndDepartureIsReportedOnceWhoeverNoticedIt) {
  Heard heard;
  ASSERT_EQ(QuorixRegisterPlugCallback(Heard::Callback, &heard, 0, &heard.registration),
            QUORIX_OK);
  const int a = AddBoard("A").id;
  heard.Until(QUORIX_BOARD_ARRIVED, "A");
  QuorixHandle device = nullptr;
  ASSERT_EQ(QuorixOpenDeviceWithSerial("A", &device), QUORIX_OK);
  // The application's own discovery notices the unplug first; the watcher still reports it.
  ASSERT_TRUE(bus().Unplug(a));
  (void)Count();
  heard.Until(QUORIX_BOARD_LEFT, "A");
  ASSERT_TRUE(bus().Replug(a));
  heard.Until(QUORIX_BOARD_ARRIVED, "A");
  // Events come in order: once Z has arrived, nothing before it is still to come.
  AddBoard("Z");
  const auto events = heard.Until(QUORIX_BOARD_ARRIVED, "Z");
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].device, nullptr);
  EXPECT_EQ(events[1].device, device) << "the board that left is open here";
  EXPECT_EQ(events[2].kind, QUORIX_BOARD_ARRIVED);
  EXPECT_EQ(events[2].device, nullptr) << "a board that comes back is a new device";
  EXPECT_EQ(QuorixReadDevice(device, 1, &heard), QUORIX_ERR_NO_DRIVER);
  EXPECT_EQ(QuorixCloseDevice(device), QUORIX_OK);
  EXPECT_EQ(QuorixUnregisterPlugCallback(heard.registration), QUORIX_OK);
  EXPECT_EQ(QuorixUnregisterPlugCallback(heard.registration), QUORIX_ERR_FAILED);
}

TEST_F(PlugTest, EnumerationReportsThePresentBoardsAndACallbackMayUnregisterItself) {
  AddBoard("A");
  AddBoard("B");
  Heard once;
  once.unregister_inside = true;
  ASSERT_EQ(QuorixRegisterPlugCallback(Heard::Callback, &once, QUORIX_PLUG_ENUMERATE,
                                       &once.registration),
            QUORIX_OK);
  EXPECT_EQ(once.Until(QUORIX_BOARD_ARRIVED, "A").size(), 1u);

  Heard all;
  ASSERT_EQ(QuorixRegisterPlugCallback(Heard::Callback, &all, QUORIX_PLUG_ENUMERATE,
                                       &all.registration),
            QUORIX_OK);
  EXPECT_EQ(all.Until(QUORIX_BOARD_ARRIVED, "B").size(), 2u);
  AddBoard("C");
  EXPECT_EQ(all.Until(QUORIX_BOARD_ARRIVED, "C").size(), 3u);
  EXPECT_EQ(once.events.size(), 1u) << "an unregistered callback is not called again";
  EXPECT_EQ(QuorixUnregisterPlugCallback(all.registration), QUORIX_OK);

  EXPECT_EQ(QuorixRegisterPlugCallback(nullptr, &all, 0, &all.registration), QUORIX_ERR_FAILED);
  EXPECT_EQ(QuorixRegisterPlugCallback(Heard::Callback, &all, 2, &all.registration),
            QUORIX_ERR_FAILED);
}

}  // namespace
}  // namespace quorix::test
