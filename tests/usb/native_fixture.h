// The fixture of the native library's tests: emulated boards on the one testbed, and the
// public API of libquorix.so as an application calls it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <list>
#include <memory>
#include <thread>

#include "quorix/quorix.h"
#include "usb/usbfs_board.h"

namespace quorix::usbtest {

// Run as a child process: list, open the first board and exit with the open's status.
inline constexpr const char* kChildOpenFlag = "--child-open-first";

// The process's testbed, made before the library first looks at the bus.
class Bench {
 public:
  static void Start() { testbed_ = new Testbed; }
  static void Stop() {
    delete testbed_;
    testbed_ = nullptr;
  }
  static UMockdevTestbed* get() { return testbed_->get(); }

 private:
  static inline Testbed* testbed_ = nullptr;
};

class NativeTest : public testing::Test {
 protected:
  EmulatedBoard& Plug(const BoardOptions& options = {}) {
    return *boards_.emplace_back(std::make_unique<EmulatedBoard>(Bench::get(), options));
  }

  // libusb learns of plugs and unplugs on its hotplug thread, a moment after they happen.
  static int32_t CountWhen(int32_t expected) {
    int32_t count = -1;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    do {
      if (QuorixCountDevices(&count) != QUORIX_OK) return -1;
      if (count == expected) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (std::chrono::steady_clock::now() < limit);
    return count;
  }

  QuorixHandle OpenFirst(EmulatedBoard& board) {
    if (CountWhen(1) != 1) return nullptr;
    QuorixHandle handle = nullptr;
    if (QuorixOpenDevice(0, &handle) != QUORIX_OK) return nullptr;
    opened_.push_back(handle);
    board.ClearControls();
    return handle;
  }

  void TearDown() override {
    for (QuorixHandle handle : opened_) (void)QuorixCloseDevice(handle);
    for (auto& board : boards_) board->Unplug();
    // A discovery with nothing listed drops every record and closes its libusb handle; only
    // then may the emulators go.
    EXPECT_EQ(CountWhen(0), 0);
    boards_.clear();
  }

  std::list<std::unique_ptr<EmulatedBoard>> boards_;
  std::vector<QuorixHandle> opened_;
};

}  // namespace quorix::usbtest
