// Every failure point of a set of scenarios, tried one at a time.
//
// Each scenario runs once to count the port calls (heap allocations among them) that its
// operation makes, then once per call with exactly that call failing: a port call with a
// Windows error, an allocation with null. Every run must end with a status the operation may
// give, leave the registry consistent, leave no transfer pending into memory the library gave
// back, keep an open device usable or closable, and release everything at detach.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "driver/requests.h"
#include "sim/bus.h"
#include "quorix/quorix.h"
#include "registry/device_record.h"
#include "registry/registry.h"

namespace quorix::test {
namespace {

// The code every injected port failure carries: a code no simulated path gives by itself,
// so a status that passes it through is recognisable.
constexpr std::uint32_t kInjected = 1117;  // ERROR_IO_DEVICE
constexpr int kBoards = 3;

sim::Bus& bus() { return sim::TheBus(); }

constexpr const char* kOpNames[] = {"OpenListing", "NextInterface", "DetailSize",
                                    "DetailRead",  "CloseListing",  "OpenPath",
                                    "CloseHandle", "IoControl",     "OverlappedResult",
                                    "NewEvent",    "ClearEvent",    "WaitEvent",
                                    "Allocate",    "Pause",         "Connected",
                                    "none"};
static_assert(sizeof kOpNames / sizeof kOpNames[0] == static_cast<int>(sim::Op::kCount) + 1);

struct Scenario {
  const char* name;
  // Not counted: the state the operation starts from. Sets *device when it opens one.
  std::function<void(QuorixHandle* device)> prepare;
  // The operation under test; its status.
  std::function<int(QuorixHandle* device)> run;
  // The statuses the operation may end with when one of its calls fails.
  std::set<int> allowed;
};

struct Totals {
  std::uint64_t calls = 0;
  std::uint64_t allocations = 0;
};
Totals gTotals;
// Handles of earlier runs whose close was refused: the simulated system still holds them.
std::size_t gHandlesBefore = 0;

void Start() {
  bus().Reset();
  gHandlesBefore = bus().LiveHandles();
  bus().UseVirtualClock(true);
  bus().LogWire(false);
  for (int i = 0; i < kBoards; ++i) {
    sim::BoardIdentity identity;
    identity.serial = "SWEEP-" + std::to_string(i);
    bus().AddBoard(identity).rate = sim::kRateUnlimited;
  }
  ProcessAttach();
}

// At most one record per plugged board, each path once, and no read left pending on a board
// whose device is not open: the driver would write into a freed ring.
void ExpectConsistent(const std::string& where) {
  std::set<std::string> paths;
  std::set<const DeviceRecord*> records;
  for (std::uint32_t i = 0; i < GetDeviceCount(); ++i) {
    const DeviceRecord* record = GetDeviceAt(i);
    EXPECT_TRUE(records.insert(record).second) << where << ": a record twice";
    if (const char* path = InterfacePathText(record)) {
      EXPECT_TRUE(paths.insert(path).second) << where << ": path " << path << " twice";
    }
  }
  EXPECT_LE(GetDeviceCount(), static_cast<std::uint32_t>(kBoards)) << where;
  for (sim::Board* board : bus().Listed()) {
    bool open = false;
    for (std::uint32_t i = 0; i < GetDeviceCount(); ++i) {
      const DeviceRecord* record = GetDeviceAt(i);
      const char* path = InterfacePathText(record);
      if (path != nullptr && board->path == path && record->open != 0) open = true;
    }
    if (!open) {
      EXPECT_EQ(bus().Pending(board->id, kEndpointBulkIn), 0u)
          << where << ": a read pending on board " << board->id << " with no open device";
    }
    // Every call returns with its write ended: the driver would read a buffer that is the
    // caller's again.
    EXPECT_EQ(bus().Pending(board->id, kEndpointBulkOut), 0u)
        << where << ": a write pending on board " << board->id;
  }
}

// What must hold after the operation, whatever failed: the device, if one is still open, reads
// and closes; the boards can be opened again; detaching releases every block and handle.
void Finish(QuorixHandle device, const std::string& where, std::size_t stuck_handles) {
  bus().ClearFaults();
  ExpectConsistent(where);
  if (device != nullptr) {
    std::uint8_t bytes[64];
    const int read = QuorixReadDevice(device, sizeof bytes, bytes);
    // -2: a transfer its abort did not end cost the device its driver handle.
    EXPECT_TRUE(read == QUORIX_OK || read == QUORIX_ERR_NO_DRIVER || read == QUORIX_ERR_NOT_OPEN ||
                read == QUORIX_ERR_TRANSFER || read == static_cast<int>(kInjected))
        << where << ": read after the fault gave " << read;
    const int closed = QuorixCloseDevice(device);
    EXPECT_TRUE(closed == QUORIX_OK || closed == QUORIX_ERR_NOT_OPEN || closed == QUORIX_ERR_FAILED)
        << where << ": close gave " << closed;
  }
  QuorixHandle again = nullptr;
  EXPECT_EQ(QuorixOpenDevice(0, &again), QUORIX_OK) << where << ": no board opens afterwards";
  if (again != nullptr) {
    EXPECT_EQ(QuorixCloseDevice(again), QUORIX_OK) << where;
  }
  ExpectConsistent(where + ", after reopening");
  ProcessDetach();
  EXPECT_EQ(gRegistry.count, 0u) << where;
  EXPECT_EQ(gProcesses.count, 0u) << where;
  EXPECT_EQ(bus().LiveBlocks(), 0u) << where << ": heap blocks left";
  // A handle whose close was the failing call stays open: the system refused to close it.
  EXPECT_LE(bus().LiveHandles(), gHandlesBefore + stuck_handles) << where << ": handles left";
  for (sim::Board* board : bus().Listed()) {
    EXPECT_EQ(bus().Pending(board->id, kEndpointBulkIn), 0u) << where;
    EXPECT_EQ(bus().Pending(board->id, kEndpointBulkOut), 0u) << where;
  }
}

void Sweep(const Scenario& scenario) {
  // The run without faults: what the operation costs.
  Start();
  QuorixHandle device = nullptr;
  scenario.prepare(&device);
  const std::uint64_t calls_before = bus().TotalCalls();
  const std::uint64_t allocations_before = bus().Calls(sim::Op::kAllocate);
  ASSERT_EQ(scenario.run(&device), QUORIX_OK) << scenario.name << " without faults";
  const std::uint64_t calls = bus().TotalCalls() - calls_before;
  const std::uint64_t allocations = bus().Calls(sim::Op::kAllocate) - allocations_before;
  Finish(device, std::string(scenario.name) + " without faults", 0);
  ASSERT_GT(calls, 0u) << scenario.name;

  for (std::uint64_t nth = 1; nth <= calls; ++nth) {
    Start();
    device = nullptr;
    scenario.prepare(&device);
    const std::uint64_t closes_before = bus().Calls(sim::Op::kCloseHandle);
    const std::uint64_t start = bus().TotalCalls();
    bus().FailCall(nth, kInjected);
    const int status = scenario.run(&device);
    const std::string where = std::string(scenario.name) + ", call " + std::to_string(nth) +
                              " of " + std::to_string(calls) + " (" +
                              kOpNames[static_cast<int>(bus().LastFailed())] + ") failing";
    // The operation may make fewer calls when one fails, never more than it made before the
    // failing one plus what a failure path adds; the fault must have been reached.
    EXPECT_GE(bus().TotalCalls() - start, nth) << where << ": the fault was never reached";
    EXPECT_TRUE(status == QUORIX_OK || scenario.allowed.count(status) != 0)
        << where << ": status " << status;
    const bool close_failed = bus().Calls(sim::Op::kCloseHandle) > closes_before;
    Finish(device, where, close_failed ? 1 : 0);
    if (testing::Test::HasFailure()) return;  // the first failing point says enough
  }
  gTotals.calls += calls;
  gTotals.allocations += allocations;
  std::printf("%-24s %4llu failure points (%llu allocations)\n", scenario.name,
              static_cast<unsigned long long>(calls), static_cast<unsigned long long>(allocations));
}

void OpenFirst(QuorixHandle* device) { ASSERT_EQ(QuorixOpenDevice(0, device), QUORIX_OK); }
void Discover(QuorixHandle*) {
  std::int32_t count = 0;
  ASSERT_EQ(QuorixCountDevices(&count), QUORIX_OK);
  ASSERT_EQ(count, kBoards);
}

const int kPassThrough = static_cast<int>(kInjected);

TEST(FaultSweep, Discovery) {
  Sweep({"discovery",
         [](QuorixHandle*) {},
         [](QuorixHandle*) {
           std::int32_t count = 0;
           const int status = QuorixCountDevices(&count);
           if (status != QUORIX_OK) return status;
           return QuorixGetDeviceSerialNumber(kBoards - 1) != nullptr ? int{QUORIX_OK}
                                                                      : int{QUORIX_ERR_FAILED};
         },
         {QUORIX_ERR_FAILED}});
}

TEST(FaultSweep, Open) {
  Sweep({"open",
         Discover,
         [](QuorixHandle* device) { return QuorixOpenDevice(1, device); },
         {QUORIX_ERR_FAILED, kPassThrough}});
}

TEST(FaultSweep, OpenBySerial) {
  Sweep({"open by serial",
         Discover,
         [](QuorixHandle* device) { return QuorixOpenDeviceWithSerial("SWEEP-2", device); },
         {QUORIX_ERR_FAILED, kPassThrough}});
}

TEST(FaultSweep, StreamingSession) {
  Sweep({"streaming session",
         OpenFirst,
         [](QuorixHandle* device) {
           std::vector<std::uint8_t> bytes(300000);
           std::uint32_t available = 0;
           int status = QuorixNumberOfBytesAvailable(*device, &available);
           if (status == QUORIX_OK) status = QuorixReadDevice(*device, 4096, bytes.data());
           if (status == QUORIX_OK) status = QuorixWriteDevice(*device, 64, bytes.data());
           if (status == QUORIX_OK) status = QuorixSetTimeOut(*device, 50);
           if (status == QUORIX_OK)
             status =
                 QuorixReadDevice(*device, static_cast<std::uint32_t>(bytes.size()), bytes.data());
           return status;
         },
         {QUORIX_ERR_FAILED, QUORIX_ERR_TIMEOUT, QUORIX_ERR_TRANSFER, QUORIX_ERR_OVERFLOW,
          kPassThrough}});
}

// A write the board never takes: it times out and is aborted, and the caller's buffer must be
// free when the call returns, whatever failed on the way.
TEST(FaultSweep, HeldWrite) {
  Sweep({"held write",
         [](QuorixHandle* device) {
           OpenFirst(device);
           bus().Listed().front()->out.completion = sim::Completion::kHold;
           ASSERT_EQ(QuorixSetTimeOut(*device, 20), QUORIX_OK);
         },
         [](QuorixHandle* device) {
           const std::uint8_t bytes[64] = {};
           const int status = QuorixWriteDevice(*device, sizeof bytes, bytes);
           // Timing out is what the write does here; a write that went through is the fault.
           if (status == QUORIX_ERR_TIMEOUT) return int{QUORIX_OK};
           return status == QUORIX_OK ? int{QUORIX_ERR_TRANSFER} : status;
         },
         {QUORIX_ERR_FAILED, kPassThrough}});
}

TEST(FaultSweep, BoardControls) {
  Sweep({"board controls",
         OpenFirst,
         [](QuorixHandle* device) {
           const std::uint8_t sequence[] = {1, 2, 3};
           std::uint8_t outputs = 0;
           int status = QuorixSetPortDOutputEnable(*device, 0xFF);
           if (status == QUORIX_OK) status = QuorixSetPortDOutputs(*device, 0x5A);
           if (status == QUORIX_OK) status = QuorixSetPortDOutputsExt(*device, 3, sequence);
           if (status == QUORIX_OK) status = QuorixGetPortDOutputs(*device, &outputs);
           if (status == QUORIX_OK) status = QuorixSetConfFpgaMode(*device, 1);
           return status;
         },
         {QUORIX_ERR_FAILED, kPassThrough}});
}

TEST(FaultSweep, Eeprom) {
  Sweep({"eeprom",
         OpenFirst,
         [](QuorixHandle* device) {
           std::uint8_t bytes[40] = {1, 2, 3, 4, 5};
           int status = QuorixWriteEprom(*device, sim::kEepromSelect, 0x0010, 40, bytes);
           if (status == QUORIX_OK)
             status = QuorixReadEprom(*device, sim::kEepromSelect, 0x0010, 40, bytes);
           return status;
         },
         {QUORIX_ERR_FAILED, kPassThrough}});
}

TEST(FaultSweep, StartupCommand) {
  Sweep({"startup command",
         OpenFirst,
         [](QuorixHandle* device) {
           const std::uint8_t command[] = {'m', 'o', 'd', 'e', ' ', '1'};
           return QuorixSetStartupCommand(*device, sizeof command, command);
         },
         {QUORIX_ERR_FAILED, QUORIX_ERR_NO_STARTUP_AREA, QUORIX_ERR_NO_SPACE, kPassThrough}});
}

TEST(FaultSweep, FirmwareLoad) {
  Sweep({"firmware load",
         OpenFirst,
         [](QuorixHandle* device) {
           return QuorixLoadFirmware(*device, QUORIX_TEST_DATA "/blink.hex");
         },
         {QUORIX_ERR_FAILED, kPassThrough}});
}

TEST(FaultSweep, Close) {
  Sweep({"close",
         OpenFirst,
         [](QuorixHandle* device) {
           const int status = QuorixCloseDevice(*device);
           if (status == QUORIX_OK) *device = nullptr;
           return status;
         },
         {QUORIX_ERR_FAILED}});
}

// Detach has no status: what it must do is release everything, which Finish checks after a
// second attach and detach.
TEST(FaultSweep, ProcessDetach) {
  Sweep({"process detach",
         [](QuorixHandle* device) {
           OpenFirst(device);
           QuorixHandle second = nullptr;
           ASSERT_EQ(QuorixOpenDevice(1, &second), QUORIX_OK);
         },
         [](QuorixHandle* device) {
           ProcessDetach();
           ProcessAttach();
           *device = nullptr;
           return QUORIX_OK;
         },
         {}});
}

class Report : public testing::Environment {
 public:
  void TearDown() override {
    std::printf("fault sweep: %llu failure points tried, %llu port calls and %llu allocations\n",
                static_cast<unsigned long long>(gTotals.calls),
                static_cast<unsigned long long>(gTotals.calls - gTotals.allocations),
                static_cast<unsigned long long>(gTotals.allocations));
  }
};
const auto* const kReport = testing::AddGlobalTestEnvironment(new Report);

}  // namespace
}  // namespace quorix::test
