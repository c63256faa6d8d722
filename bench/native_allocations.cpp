// What libquorix.so.1 allocates on its data path once a device is open, against a board
// emulated behind usbfs: every allocation of the calling thread is counted through malloc and
// new, and put down to the module it comes from. The emulator and umockdev's preload, which
// stand in for the kernel, are counted apart. Then the same for the libusb port on its own
// (linked into this program) with a queue of reads kept in flight, each re-posted as soon as
// it is taken in. Figures only.
#include <chrono>
#include <cstring>
#include <cstdio>
#include <thread>
#include <vector>

#include "allocation_counter.h"
#include "driver/port.h"
#include "driver/requests.h"
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

constexpr int kQueue = 16;
constexpr std::uint32_t kQueuedRead = 256u << 10;

// The first board through the port's own listing, on its own libusb context.
quorix::port::Handle OpenWithThePort() {
  namespace port = quorix::port;
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
    if (found) return port::OpenPath(block + port::kDetailPathOffset, 0xC0000000, 3, 3, 0x40000000);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return nullptr;
}

// Streams total bytes through a queue of kQueue reads on the port, taking each in, in order,
// and posting it again at once. False when a request fails.
bool StreamQueued(quorix::port::Handle driver, quorix::port::Handle* events,
                  quorix::port::Overlapped* records, std::uint8_t* ring, std::uint64_t total) {
  namespace port = quorix::port;
  quorix::SingleTransfer header{};
  header.endpoint = quorix::kEndpointBulkIn;
  auto post = [&](int slot) {
    records[slot] = {};
    records[slot].event = events[slot];
    std::uint32_t returned = 0;
    return !port::IoControl(driver, quorix::kIoctlDirectTransfer, &header, quorix::kHeaderSize,
                            ring + std::size_t{kQueuedRead} * slot, kQueuedRead, &returned,
                            &records[slot]) &&
           port::LastError() == port::error::kIoPending;
  };
  for (int slot = 0; slot < kQueue; ++slot)
    if (!post(slot)) return false;
  std::uint64_t taken = 0;
  for (int slot = 0; taken < total; slot = (slot + 1) % kQueue) {
    std::uint32_t bytes = 0;
    if (port::WaitEvent(events[slot], 5000) != port::kWaitObject0 ||
        !port::OverlappedResult(driver, &records[slot], &bytes) || bytes != kQueuedRead)
      return false;
    taken += bytes;
    if (!post(slot)) return false;
  }
  // The queue left in flight ends with the abort.
  std::uint8_t endpoint = quorix::kEndpointBulkIn;
  std::uint32_t returned = 0;
  return port::IoControl(driver, quorix::kIoctlAbortPipe, &endpoint, 1, nullptr, 0, &returned,
                         nullptr);
}

// The port with a queue of reads: what it allocates once its pool has grown to the queue.
bool MeasureThePortsQueue(quorix::bench::AllocationCounter& allocations,
                          quorix::usbtest::EmulatedBoard& board) {
  namespace port = quorix::port;
  port::Handle driver = OpenWithThePort();
  if (driver == nullptr) return false;
  port::Handle events[kQueue];
  port::Overlapped records[kQueue];
  for (port::Handle& event : events) event = port::NewEvent(false);
  std::vector<std::uint8_t> ring(std::size_t{kQueuedRead} * kQueue);
  // Warm: the first round grows the device's pool of transfers to the queue.
  bool ok = StreamQueued(driver, events, records, ring.data(), 2ull * kQueue * kQueuedRead);
  const auto submits_before = board.IoctlCounts()["SUBMITURB"];
  allocations.Start();
  ok = ok && StreamQueued(driver, events, records, ring.data(), kStream);
  allocations.Stop();
  const auto submits = board.IoctlCounts()["SUBMITURB"] - submits_before;
  for (port::Handle event : events) port::CloseHandle(event);
  port::CloseHandle(driver);
  if (!ok) return false;
  auto counts = allocations.ByModule();
  std::printf("libusb port alone, %d reads of %u KiB kept in flight: %llu MiB read; %llu bulk "
              "transfers submitted\n",
              kQueue, kQueuedRead >> 10, static_cast<unsigned long long>(kStream >> 20),
              static_cast<unsigned long long>(submits));
  // The port is linked into this program, whose loop above allocates nothing: what the
  // program allocates is the port's.
  const std::uint64_t harness =
      counts["umockdev"] + counts["libglib"] + counts["libgio"] + counts["libgobject"];
  std::printf("allocations after warm-up on the caller's thread: the port %llu, libusb-1.0 %llu "
              "(%.2f per transfer); umockdev standing in for the kernel %llu\n",
              static_cast<unsigned long long>(counts["other"]),
              static_cast<unsigned long long>(counts["libusb-1.0"]),
              submits != 0 ? static_cast<double>(counts["libusb-1.0"]) / submits : 0.0,
              static_cast<unsigned long long>(harness));
  return true;
}

}  // namespace

int main(int, char** argv) {
  quorix::usbtest::EnsurePreload(argv);
  quorix::bench::AllocationCounter allocations({"libquorix.so", "libusb-1.0", "umockdev", "libglib",
                                                "libgio", "libgobject"});
  quorix::usbtest::Testbed testbed;
  quorix::usbtest::EmulatedBoard board(testbed.get(), {});
  if (!MeasureThePortsQueue(allocations, board)) {
    std::fprintf(stderr, "native allocations: the port's queued reads failed\n");
    return 1;
  }
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
