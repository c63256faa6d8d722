// An emulated board behind the kernel's usbfs, for the libusb port's tests.
//
// umockdev puts a device into a test sysfs and routes every ioctl on its /dev node to this
// emulator, which answers as the kernel would with the board behind it: URBs are submitted,
// completed and reaped; discards end them with -ECONNRESET; an unplug kills them with
// -ESHUTDOWN. Control requests are answered by the simulated board's model, so the firmware
// behaves here exactly as on the simulated library. The node is a pty slave, so that closing
// the master at unplug shows libusb the POLLERR that a real disconnect does.
#pragma once

#include <umockdev.h>

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "sim/board.h"

namespace quorix::usbtest {

struct BoardOptions {
  std::string serial = "QX-USB-0001";
  int bus = 1;
  int address = 5;
  std::string port = "1-1";    // the sysfs name: bus and port path
  bool scatter_gather = true;  // false: large transfers arrive as 16 KiB URBs
};

// What a test observes of the requests that reached the board.
struct ControlSeen {
  sim::Setup setup;
  std::vector<std::uint8_t> data;  // OUT data stage
};

class EmulatedBoard {
 public:
  EmulatedBoard(UMockdevTestbed* testbed, const BoardOptions& options);
  ~EmulatedBoard();
  EmulatedBoard(const EmulatedBoard&) = delete;
  EmulatedBoard& operator=(const EmulatedBoard&) = delete;

  // Kills the URBs in flight, ends the connection and removes the device; files still open
  // on the node are answered ENODEV. The kernel fails the URBs before it wakes the node's
  // pollers and before udev hears of the removal: announce false holds both back until
  // AnnounceRemoval.
  void Unplug(bool announce = true);
  void AnnounceRemoval();
  bool Plugged() const;

  // Knobs. A held endpoint keeps its URBs pending until they are discarded.
  void HoldIn(bool hold);
  void HoldOut(bool hold);
  // The next bytes the IN source may still send; unlimited by default.
  void LimitIn(std::uint64_t bytes);
  // Marks interface 0 as claimed by another process.
  void ClaimElsewhere(bool claimed);
  // Each discarded URB lets the source fill the first IN URB still in flight, held or not, as
  // a host controller goes on with its queue while the host cancels URBs one by one.
  void ServeOnDiscard(bool serve);
  // usbfs's limit on the buffer bytes of the URBs in flight (usbfs_memory_mb): an URB beyond
  // it is refused with ENOMEM. Unlimited by default.
  void LimitMemory(std::uint64_t bytes);

  // Observations.
  std::vector<ControlSeen> Controls() const;
  void ClearControls();
  std::map<std::string, int> IoctlCounts() const;  // by usbfs request name
  std::vector<unsigned> ClearedHalts() const;
  std::vector<std::uint8_t> TakeOut();
  std::size_t PendingUrbs() const;
  std::vector<int> PendingInLengths() const;  // buffer lengths of the IN URBs in flight
  std::size_t UnreapedUrbs() const;
  int Configuration() const;
  std::uint64_t InPosition() const;  // counter-pattern position of the next IN byte
  sim::Board BoardState() const;     // a copy of the firmware model

  const std::string& node() const { return node_; }

 private:
  struct Urb {
    UMockdevIoctlData* urb = nullptr;     // the client's usbdevfs_urb
    UMockdevIoctlData* buffer = nullptr;  // its data buffer
    std::uint64_t address = 0;            // where the client keeps it
    std::uint8_t type = 0, endpoint = 0;
    std::uint32_t flags = 0;
    int length = 0;
  };
  struct Client {
    std::deque<Urb> in, out;  // pending, in submission order
    std::deque<Urb> done;     // completed, to be reaped
  };
  // Lets go of the client memory kept for one URB.
  static void Release(const Urb& urb);

  static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
  void Handle(UMockdevIoctlClient* client);
  long Submit(Client& client, UMockdevIoctlData* arg, int& error);
  long Reap(Client& client, UMockdevIoctlData* arg, int& error);
  long Discard(Client& client, std::uint64_t address, int& error);
  void Complete(Client& client, Urb urb, int status, int actual);
  void ControlUrb(Client& client, Urb urb);
  void RunIn(Client& client);
  bool ServeIn(Client& client);
  void ReleaseClaimsOfGone();
  std::uint64_t MemoryInFlight() const;

  UMockdevTestbed* testbed_;
  BoardOptions options_;
  std::string syspath_, node_;
  std::string node_file_;  // the node in the testbed's root
  UMockdevIoctlBase* handler_ = nullptr;
  int pty_master_ = -1;

  mutable std::mutex mutex_;
  bool plugged_ = false;
  bool removal_pending_ = false;
  sim::Board board_;
  int configuration_ = 1;
  std::map<UMockdevIoctlClient*, Client> clients_;
  UMockdevIoctlClient* claimant_ = nullptr;
  bool claimed_elsewhere_ = false;
  bool hold_in_ = false, hold_out_ = false;
  bool serve_on_discard_ = false;
  std::uint64_t in_budget_ = UINT64_MAX;
  std::uint64_t memory_limit_ = UINT64_MAX;
  std::uint64_t in_position_ = 0;
  std::vector<ControlSeen> controls_;
  std::map<std::string, int> counts_;
  std::vector<unsigned> cleared_;
  std::vector<std::uint8_t> out_data_;
};

// The testbed for one test: made before the library first looks at the bus.
class Testbed {
 public:
  Testbed();
  ~Testbed();
  UMockdevTestbed* get() const { return testbed_; }

 private:
  UMockdevTestbed* testbed_;
};

}  // namespace quorix::usbtest
