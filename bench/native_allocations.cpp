// What libquorix.so.1 allocates on its data path once a device is open, against a board
// emulated behind usbfs: every allocation of the calling thread is counted through malloc and
// new, and put down to the module it comes from. The emulator and umockdev's preload, which
// stand in for the kernel, are counted apart. Figures only.
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "allocation_counter.h"
#include "quorix/quorix.h"
#include "usb/preload.h"
#include "usb/usbfs_board.h"

namespace {

constexpr std::uint32_t kRead = 64u << 10;
constexpr std::uint64_t kStream = 256ull << 20;
constexpr int kWrites = 1000;

// libusb learns of plugs and unplugs on its hotplug thread, a moment after they happen.
bool WaitForCount(std::int32_t expected) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  std::int32_t count = -1;
  while (std::chrono::steady_clock::now() < limit) {
    if (QuorixCountDevices(&count) == QUORIX_OK && count == expected) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

}  // namespace

int main(int, char** argv) {
  quorix::usbtest::EnsurePreload(argv);
  quorix::bench::AllocationCounter allocations({"libquorix.so", "libusb-1.0", "umockdev", "libglib",
                                                "libgio", "libgobject"});
  quorix::usbtest::Testbed testbed;
  quorix::usbtest::EmulatedBoard board(testbed.get(), {});
  QuorixHandle device = nullptr;
  if (!WaitForCount(1) || QuorixOpenDevice(0, &device) != QUORIX_OK) {
    std::fprintf(stderr, "native allocations: the emulated board did not open\n");
    return 1;
  }
  std::vector<std::uint8_t> buffer(kRead), command(4096, 0x5A);
  // Warm: the first reads and writes settle libusb's own bookkeeping.
  for (int i = 0; i < 64; ++i) (void)QuorixReadDevice(device, kRead, buffer.data());
  (void)QuorixWriteDevice(device, 64, command.data());

  const auto submits_before = board.IoctlCounts()["SUBMITURB"];
  allocations.Start();
  bool ok = true;
  for (std::uint64_t done = 0; ok && done < kStream; done += kRead) {
    ok = QuorixReadDevice(device, kRead, buffer.data()) == QUORIX_OK;
    std::uint32_t held = 0;
    ok = ok && QuorixNumberOfBytesAvailable(device, &held) == QUORIX_OK;
  }
  for (int i = 0; ok && i < kWrites; ++i)
    ok = QuorixWriteDevice(device, static_cast<std::uint32_t>(command.size()), command.data()) ==
         QUORIX_OK;
  allocations.Stop();
  const auto submits = board.IoctlCounts()["SUBMITURB"] - submits_before;
  QuorixCloseDevice(device);
  board.Unplug();
  // The library lets go of the board's handle only once it sees it gone; the emulator must
  // outlive that.
  (void)WaitForCount(0);
  if (!ok) {
    std::fprintf(stderr, "native allocations: a read or write failed\n");
    return 1;
  }

  auto counts = allocations.ByModule();
  const std::uint64_t harness =
      counts["umockdev"] + counts["libglib"] + counts["libgio"] + counts["libgobject"];
  std::printf("native library, emulated usbfs board: %llu MiB read in 64 KiB reads with a poll "
              "after each, %d writes of 4 KiB; %llu bulk transfers submitted\n",
              static_cast<unsigned long long>(kStream >> 20), kWrites,
              static_cast<unsigned long long>(submits));
  std::printf("allocations after open on the caller's thread: libquorix %llu, libusb-1.0 %llu "
              "(%.2f per transfer), elsewhere %llu; umockdev standing in for the kernel %llu\n",
              static_cast<unsigned long long>(counts["libquorix.so"]),
              static_cast<unsigned long long>(counts["libusb-1.0"]),
              submits != 0 ? static_cast<double>(counts["libusb-1.0"]) / submits : 0.0,
              static_cast<unsigned long long>(counts["other"]),
              static_cast<unsigned long long>(harness));
  return 0;
}
