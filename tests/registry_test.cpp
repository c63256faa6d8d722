// The registry, the validation gate, the release routines and process attach and detach.
#include <map>

#include "support/sim_test.h"

namespace quorix::test {
namespace {

class RegistryTest : public SimTest {
 protected:
  // Boards plugged in, discovered and so in the registry in this order.
  void Discover(std::initializer_list<const char*> serials) {
    for (const char* serial : serials) ids_[serial] = AddBoard(serial).id;
    ASSERT_EQ(RefreshDevices(), QUORIX_OK);
    bus().ClearWire();
  }
  // Pipe requests per board serial.
  std::map<std::string, int> PipeRequestsPerBoard() {
    std::map<std::string, int> counts;
    for (const auto& entry : bus().Wire()) {
      if (entry.code != kIoctlAbortPipe && entry.code != kIoctlResetPipe) continue;
      for (const auto& [serial, id] : ids_)
        if (id == entry.board) ++counts[serial];
    }
    return counts;
  }

  std::map<std::string, int> ids_;
};

TEST_F(RegistryTest, GateRejectsAnythingThatIsNotARecordOfTheRegistry) {
  int somewhere = 0;
  EXPECT_EQ(ValidateDevice(nullptr, true), QUORIX_ERR_FAILED);
  EXPECT_EQ(ValidateDevice(&somewhere, false), QUORIX_ERR_FAILED);  // empty registry

  Discover({"A", "B"});
  DeviceRecord* a = RecordOf("A");
  MarkOpen(a);
  EXPECT_EQ(ValidateDevice(a, true), QUORIX_OK);
  EXPECT_EQ(ValidateDevice(nullptr, true), QUORIX_ERR_FAILED);
  EXPECT_EQ(ValidateDevice(reinterpret_cast<char*>(a) + 8, true), QUORIX_ERR_FAILED);
  // Its last byte: just past it may well be the next record, which the heap put there.
  EXPECT_EQ(ValidateDevice(reinterpret_cast<char*>(a + 1) - 1, true), QUORIX_ERR_FAILED);
  EXPECT_EQ(ValidateDevice(&somewhere, false), QUORIX_ERR_FAILED);
}

TEST_F(RegistryTest, GateChecksDriverThenOpenThenOwner) {
  Discover({"A", "B"});
  DeviceRecord* a = RecordOf("A");
  DeviceRecord* b = RecordOf("B");

  // Present, not open.
  EXPECT_EQ(ValidateDevice(a, true), QUORIX_ERR_NOT_OPEN);
  EXPECT_EQ(ValidateDevice(a, false), QUORIX_ERR_NOT_OPEN);

  // Open by another process.
  MarkOpen(b);
  b->owner_pid = port::ProcessId() + 1;
  EXPECT_EQ(ValidateDevice(b, true), QUORIX_ERR_NOT_OPEN);
  EXPECT_EQ(ValidateDevice(b, false), QUORIX_ERR_NOT_OPEN);

  // Gone while open: the driver check comes first, and close still gets through.
  MarkOpen(a);
  bus().Unplug(ids_["A"]);
  ASSERT_EQ(RefreshDevices(), QUORIX_OK);
  ASSERT_EQ(a->driver, nullptr);
  EXPECT_EQ(ValidateDevice(a, true), QUORIX_ERR_NO_DRIVER);
  EXPECT_EQ(ValidateDevice(a, false), QUORIX_OK);
}

TEST_F(RegistryTest, RemovalMovesTheLastRecordIntoTheGap) {
  Discover({"A", "B", "C", "D"});
  DeviceRecord* d = RecordOf("D");
  DeviceRecord* b = RecordOf("B");
  RemoveDeviceRecord(1);
  EXPECT_EQ(RegistrySerials(), (std::vector<std::string>{"A", "D", "C"}));
  EXPECT_EQ(GetDeviceAt(1), d);  // the record moved, its address did not
  EXPECT_EQ(GetDeviceAt(3), nullptr);

  DisposeDeviceRecord(b);
  port::Free(b);
  DeviceRecord* c = GetDeviceAt(2);
  RemoveDeviceRecord(2);  // the last: nothing moves
  EXPECT_EQ(RegistrySerials(), (std::vector<std::string>{"A", "D"}));
  DisposeDeviceRecord(c);
  port::Free(c);

  for (DeviceRecord* left : {GetDeviceAt(1), GetDeviceAt(0)}) {
    RemoveDeviceRecord(GetDeviceCount() - 1);
    DisposeDeviceRecord(left);
    port::Free(left);
  }
  EXPECT_EQ(GetDeviceCount(), 0u);
  EXPECT_EQ(gRegistry.records, nullptr);
}

TEST_F(RegistryTest, StorageThatCannotChangeKeepsEveryRecord) {
  Discover({"A", "B", "C"});
  DeviceRecord extra{};
  bus().FailNth(sim::Op::kAllocate, 1, 0);
  EXPECT_FALSE(AppendDeviceRecord(&extra));
  EXPECT_EQ(RegistrySerials(), (std::vector<std::string>{"A", "B", "C"}));

  // A shrink that fails keeps the storage; only the count changes.
  DeviceRecord* a = RecordOf("A");
  bus().FailNth(sim::Op::kAllocate, 1, 0);
  RemoveDeviceRecord(0);
  EXPECT_EQ(RegistrySerials(), (std::vector<std::string>{"C", "B"}));
  DisposeDeviceRecord(a);
  port::Free(a);
}

TEST_F(RegistryTest, ReleaseOpenDeviceResetsPipesOnlyWithADriverHandle) {
  Discover({"A", "B"});
  DeviceRecord* a = RecordOf("A");
  MarkOpen(a);
  const std::size_t blocks = bus().LiveBlocks();
  const std::size_t handles = bus().LiveHandles();
  EXPECT_EQ(ReleaseOpenDevice(FindDevicePosition(a)), QUORIX_OK);
  EXPECT_EQ(PipeRequests(), PipeSequence());
  EXPECT_EQ(a->open, 0);
  EXPECT_EQ(a->owner_pid, 0u);
  EXPECT_EQ(a->ring, nullptr);
  EXPECT_EQ(a->bounce, nullptr);
  EXPECT_EQ(a->read_overlapped.event, nullptr);
  EXPECT_EQ(a->write_overlapped.event, nullptr);
  EXPECT_EQ(bus().LiveBlocks(), blocks - 2);
  EXPECT_EQ(bus().LiveHandles(), handles - 2);
  ASSERT_NE(a->serial, nullptr);  // identity, strings and connection stay
  EXPECT_NE(a->driver, nullptr);

  DeviceRecord* b = RecordOf("B");
  MarkOpen(b);
  bus().Unplug(ids_["B"]);
  ASSERT_EQ(RefreshDevices(), QUORIX_OK);
  bus().ClearWire();
  EXPECT_EQ(ReleaseOpenDevice(FindDevicePosition(b)), QUORIX_OK);
  EXPECT_TRUE(PipeRequests().empty());
  EXPECT_EQ(b->ring, nullptr);
  EXPECT_EQ(b->read_overlapped.event, nullptr);
}

TEST_F(RegistryTest, DisposeReleasesEverythingOfAPartlyFilledRecord) {
  Discover({"A"});
  DeviceRecord* a = RecordOf("A");
  a->ring = static_cast<std::uint8_t*>(port::Allocate(16));  // left by a failed open
  RemoveDeviceRecord(0);
  DisposeDeviceRecord(a);
  EXPECT_EQ(PipeRequests(), PipeSequence());
  EXPECT_EQ(a->driver, nullptr);
  EXPECT_EQ(a->interface_path, nullptr);
  EXPECT_EQ(a->serial, nullptr);
  EXPECT_EQ(a->ring, nullptr);
  DisposeDeviceRecord(a);  // nothing is released twice
  port::Free(a);
}

TEST_F(RegistryTest, FirstAttachEmptiesTheRegistryAndRecordsOneProcess) {
  EXPECT_EQ(gProcesses.count, 1u);
  EXPECT_EQ(gProcesses.entries[0].pid, port::ProcessId());
  EXPECT_EQ(gRegistry.count, 0u);
  EXPECT_EQ(gRegistry.records, nullptr);
}

TEST_F(RegistryTest, AttachWithoutRoomRecordsNothingAndDetachThenChangesNothing) {
  bus().SetProcessId(4242);
  bus().FailNth(sim::Op::kAllocate, 1, 0);
  ProcessAttach();
  EXPECT_EQ(gProcesses.count, 1u);
  ProcessDetach();  // 4242 is not in the table
  EXPECT_EQ(gProcesses.count, 1u);
  bus().SetProcessId(std::nullopt);
}

// With nobody recorded, the detaching process is the only one whose calls built the registry:
// leaving it would leak every record, driver handle and ring at unload.
TEST_F(RegistryTest, DetachAfterAnUnrecordedAttachStillTearsDown) {
  ProcessDetach();
  bus().FailNth(sim::Op::kAllocate, 1, 0);
  ProcessAttach();
  ASSERT_EQ(gProcesses.count, 0u);
  Discover({"A", "B"});
  MarkOpen(RecordOf("A"));
  ProcessDetach();
  EXPECT_EQ(gRegistry.count, 0u);
  EXPECT_EQ(bus().LiveBlocks(), 0u);
  EXPECT_EQ(bus().LiveHandles(), 0u);
  ProcessAttach();  // as the fixture expects
}

TEST_F(RegistryTest, DetachOfAnUnknownProcessLeavesOpenDevicesOpen) {
  Discover({"A"});
  DeviceRecord* a = RecordOf("A");
  MarkOpen(a);
  bus().SetProcessId(777);
  ProcessDetach();
  bus().SetProcessId(std::nullopt);
  EXPECT_EQ(a->open, 1);
  EXPECT_NE(a->ring, nullptr);
  EXPECT_TRUE(PipeRequests().empty());
}

TEST_F(RegistryTest, DetachOfOneOfTwoProcessesReleasesOnlyItsDevices) {
  Discover({"A", "B"});
  bus().SetProcessId(900);
  ProcessAttach();
  EXPECT_EQ(gProcesses.count, 2u);
  DeviceRecord* a = RecordOf("A");
  MarkOpen(a);  // owned by 900
  bus().SetProcessId(std::nullopt);
  DeviceRecord* b = RecordOf("B");
  MarkOpen(b);  // owned by this process

  bus().SetProcessId(900);
  ProcessDetach();
  bus().SetProcessId(std::nullopt);
  EXPECT_EQ(gProcesses.count, 1u);
  EXPECT_EQ(gProcesses.entries[0].pid, port::ProcessId());
  EXPECT_EQ(a->open, 0);
  EXPECT_EQ(b->open, 1);
  EXPECT_EQ(GetDeviceCount(), 2u);
  EXPECT_EQ(PipeRequestsPerBoard(), (std::map<std::string, int>{{"A", 4}}));
}

TEST_F(RegistryTest, DetachOfTheLastProcessTearsEverythingDown) {
  Discover({"A", "B", "C", "D"});
  MarkOpen(RecordOf("A"));
  MarkOpen(RecordOf("B"));
  MarkOpen(RecordOf("D"));
  bus().Unplug(ids_["D"]);
  ASSERT_EQ(RefreshDevices(), QUORIX_OK);  // D: gone, open
  bus().ClearWire();

  ProcessDetach();
  // Open and present: released, then disposed. Closed and present: disposed. Gone: nothing.
  EXPECT_EQ(PipeRequestsPerBoard(), (std::map<std::string, int>{{"A", 8}, {"B", 8}, {"C", 4}}));
  EXPECT_EQ(gRegistry.count, 0u);
  EXPECT_EQ(gProcesses.count, 0u);
  ProcessAttach();  // for the fixture's own detach
}

}  // namespace
}  // namespace quorix::test
