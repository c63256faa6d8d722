// Opening and closing: which record an open picks, what it sends, and what a failed open or a
// close leaves behind.
#include "support/sim_test.h"

namespace quorix::test {
namespace {

using OpenCloseTest = SimTest;

QuorixHandle Unset() { return reinterpret_cast<QuorixHandle>(std::uintptr_t{0x5A5A}); }

TEST_F(OpenCloseTest, OpenConfiguresThenPostsOneReadAndOpensOnce) {
  QuietBoard("A");
  QuorixHandle handle = Open();
  ASSERT_NE(handle, nullptr);
  // Discovery's ten requests, then SET_CONFIGURATION 1, then the first read.
  const auto& wire = bus().Wire();
  ASSERT_EQ(wire.size(), 12u);
  EXPECT_EQ(wire[10].SetupBytes(), (Bytes{0x00, 0x09, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(wire[11].code, kIoctlDirectTransfer);
  EXPECT_EQ(Record(handle)->owner_pid, port::ProcessId());

  QuorixHandle again = Unset();
  EXPECT_EQ(QuorixOpenDevice(0, &again), QUORIX_ERR_ALREADY_OPEN);
  EXPECT_EQ(again, nullptr);
  EXPECT_EQ(QuorixOpenDeviceWithSerial("A", &again), QUORIX_ERR_ALREADY_OPEN);
  EXPECT_EQ(QuorixCloseDevice(handle), QUORIX_OK);
  // Opened without an out, the device is open all the same.
  EXPECT_EQ(QuorixOpenDevice(0, nullptr), QUORIX_OK);
  EXPECT_EQ(QuorixOpenDevice(0, nullptr), QUORIX_ERR_ALREADY_OPEN);
}

TEST_F(OpenCloseTest, IndicesCountOnlyTheBoardsIdentity) {
  QuietBoard("A");
  AddBoard("Y", 0x1234, 0x0001);
  QuietBoard("C");
  QuorixHandle handle = Unset();
  EXPECT_EQ(QuorixOpenDevice(-1, &handle), QUORIX_ERR_FAILED);
  EXPECT_EQ(handle, nullptr);
  handle = Unset();
  EXPECT_EQ(QuorixOpenDevice(2, &handle), QUORIX_ERR_FAILED);
  EXPECT_EQ(handle, nullptr);
  ASSERT_EQ(QuorixOpenDevice(1, &handle), QUORIX_OK);
  EXPECT_EQ(handle, HandleOfRecord(RecordOf("C")));
  EXPECT_EQ(QuorixCloseDevice(handle), QUORIX_OK);
}

TEST_F(OpenCloseTest, SerialsMatchExactlyAndFailuresLeaveTheVariable) {
  QuietBoard("QX-A1");
  QuorixHandle handle = Unset();
  for (const char* serial : {"qx-a1", "QX-A", "QX-A1 ", ""})
    EXPECT_EQ(QuorixOpenDeviceWithSerial(serial, &handle), QUORIX_ERR_FAILED) << serial;
  EXPECT_EQ(QuorixOpenDeviceWithSerial(nullptr, &handle), QUORIX_ERR_FAILED);
  EXPECT_EQ(handle, Unset());
  ASSERT_EQ(QuorixOpenDeviceWithSerial("QX-A1", &handle), QUORIX_OK);
  EXPECT_EQ(handle, HandleOfRecord(RecordOf("QX-A1")));
  QuorixHandle other = Unset();
  EXPECT_EQ(QuorixOpenDeviceWithSerial("QX-A1", &other), QUORIX_ERR_ALREADY_OPEN);
  EXPECT_EQ(other, Unset());
  EXPECT_EQ(QuorixCloseDevice(handle), QUORIX_OK);
}

// The serial the library handed out is freed by the refresh when its board has gone and come
// back; opening by it must compare what the caller asked for, not the freed text.
TEST_F(OpenCloseTest, OpeningByASerialTheLibraryGaveOutSurvivesTheRefresh) {
  sim::Board& board = QuietBoard("QX-REPLUGGED-0042");
  const char* serial = QuorixGetDeviceSerialNumber(0);
  ASSERT_STREQ(serial, "QX-REPLUGGED-0042");
  ASSERT_TRUE(bus().Unplug(board.id));
  ASSERT_TRUE(bus().Replug(board.id));
  QuorixHandle handle = Unset();
  ASSERT_EQ(QuorixOpenDeviceWithSerial(serial, &handle), QUORIX_OK);
  EXPECT_EQ(handle, HandleOfRecord(RecordOf("QX-REPLUGGED-0042")));
  EXPECT_EQ(QuorixCloseDevice(handle), QUORIX_OK);

  // The longest serial a string descriptor holds still matches; a longer text matches nothing.
  const std::string longest(126, 'L');
  QuietBoard(longest);
  ASSERT_EQ(QuorixOpenDeviceWithSerial(longest.c_str(), &handle), QUORIX_OK);
  EXPECT_EQ(QuorixCloseDevice(handle), QUORIX_OK);
  EXPECT_EQ(QuorixOpenDeviceWithSerial((longest + "L").c_str(), &handle), QUORIX_ERR_FAILED);
}

TEST_F(OpenCloseTest, ARefusedConfigurationLeavesTheDeviceClosedAndEmpty) {
  sim::Board& board = QuietBoard("A");
  board.hook = [](const sim::Setup& setup, auto) -> std::optional<sim::Reply> {
    if (setup.bRequest == 9) return sim::Reply{port::error::kGenFailure, {}};
    return std::nullopt;
  };
  ASSERT_EQ(Count(), 1);
  const std::size_t blocks = bus().LiveBlocks(), handles = bus().LiveHandles();
  QuorixHandle handle = Unset();
  EXPECT_EQ(QuorixOpenDevice(0, &handle), 31);
  EXPECT_EQ(handle, nullptr);
  EXPECT_TRUE(Transfers(kEndpointBulkIn).empty());
  const DeviceRecord* record = RecordOf("A");
  EXPECT_EQ(record->open, 0);
  EXPECT_EQ(record->owner_pid, 0u);
  EXPECT_EQ(bus().LiveBlocks(), blocks);
  EXPECT_EQ(bus().LiveHandles(), handles);
  board.hook = nullptr;
  EXPECT_EQ(QuorixOpenDevice(0, nullptr), QUORIX_OK);
}

// Mended: a first read the driver refuses undoes the open, since no handle is handed out that
// could close it.
TEST_F(OpenCloseTest, ARefusedFirstReadUndoesTheOpen) {
  sim::Board& board = QuietBoard("A");
  board.in.refuse = port::error::kNotEnoughMemory;
  ASSERT_EQ(Count(), 1);
  const std::size_t blocks = bus().LiveBlocks(), handles = bus().LiveHandles();
  QuorixHandle handle = Unset();
  EXPECT_EQ(QuorixOpenDevice(0, &handle), 8);
  EXPECT_EQ(handle, nullptr);
  const DeviceRecord* record = RecordOf("A");
  EXPECT_EQ(record->open, 0);
  EXPECT_EQ(record->owner_pid, 0u);
  EXPECT_EQ(bus().LiveBlocks(), blocks);
  EXPECT_EQ(bus().LiveHandles(), handles);
  EXPECT_TRUE(PipeRequests().empty()) << "no read was outstanding";
  board.in.refuse = 0;
  handle = Open();
  EXPECT_EQ(QuorixCloseDevice(handle), QUORIX_OK);
}

// Undoing an open whose first read overran: the new read posted after the overrun must end
// before the ring goes, also when the abort of bulk IN fails.
TEST_F(OpenCloseTest, AnOverrunOfTheFirstReadUndoesTheOpenAndEndsTheNextRead) {
  sim::Board& board = QuietBoard("A");
  board.in.completion = sim::Completion::kAtOnce;
  board.report = [](std::uint8_t endpoint, std::uint32_t moved) {
    return endpoint == kEndpointBulkIn ? moved + kRingSize : moved;
  };
  ASSERT_EQ(Count(), 1);
  board.PushIn(Counter(0, 100));
  // SET_CONFIGURATION, the first read, the read after the overrun, abort 0x02, abort 0x86.
  bus().FailNth(sim::Op::kIoControl, 5, port::error::kGenFailure);
  QuorixHandle handle = Unset();
  EXPECT_EQ(QuorixOpenDevice(0, &handle), QUORIX_ERR_OVERFLOW);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(bus().LastFailed(), sim::Op::kIoControl);
  EXPECT_EQ(bus().Pending(board.id, kEndpointBulkIn), 0u) << "a read still targets the ring";
  // The board keeps sending into nothing of ours, and opens again as a new record.
  board.report = nullptr;
  board.PushIn(Counter(0, 100));
  bus().Advance();
  EXPECT_EQ(Count(), 1);
  handle = Open();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(Available(handle), 100u);
  EXPECT_EQ(QuorixCloseDevice(handle), QUORIX_OK);
}

TEST_F(OpenCloseTest, EveryResourceOfAnOpenCanFail) {
  QuietBoard("A");
  ASSERT_EQ(Count(), 1);
  const std::size_t blocks = bus().LiveBlocks(), handles = bus().LiveHandles();
  // The refresh allocates its marks first; then the open takes the read event, the ring, the
  // bounce buffer and SET_CONFIGURATION's request.
  struct Case {
    sim::Op op;
    std::uint64_t nth;
  };
  for (const Case& c : {Case{sim::Op::kNewEvent, 1}, Case{sim::Op::kAllocate, 2},
                        Case{sim::Op::kAllocate, 3}, Case{sim::Op::kAllocate, 4}}) {
    bus().FailNth(c.op, c.nth, port::error::kNotEnoughMemory);
    EXPECT_EQ(QuorixOpenDevice(0, nullptr), QUORIX_ERR_FAILED) << static_cast<int>(c.op) << c.nth;
    bus().ClearFaults();
    EXPECT_EQ(RecordOf("A")->open, 0);
    EXPECT_EQ(bus().LiveBlocks(), blocks);
    EXPECT_EQ(bus().LiveHandles(), handles);
  }
  // Without a write event the device opens; its writes fail their wait.
  bus().FailNth(sim::Op::kNewEvent, 2, port::error::kNotEnoughMemory);
  QuorixHandle handle = Open();
  EXPECT_EQ(QuorixWriteDevice(handle, 4, "abcd"), QUORIX_ERR_FAILED);
  EXPECT_EQ(PipeRequests(),
            (std::vector<std::pair<std::uint32_t, std::uint8_t>>{{kIoctlAbortPipe, 0x02}}));
  EXPECT_EQ(QuorixCloseDevice(handle), QUORIX_OK);
}

TEST_F(OpenCloseTest, CloseEndsTheReadAndKeepsTheRecord) {
  sim::Board& board = QuietBoard("A");
  QuorixHandle handle = Open();
  bus().ClearWire();
  EXPECT_EQ(QuorixCloseDevice(handle), QUORIX_OK);
  EXPECT_EQ(PipeRequests(), PipeSequence());
  EXPECT_EQ(bus().Pending(board.id, kEndpointBulkIn), 0u);
  EXPECT_EQ(GetDeviceCount(), 1u);
  EXPECT_EQ(Record(handle)->ring, nullptr);
  EXPECT_EQ(QuorixCloseDevice(handle), QUORIX_ERR_NOT_OPEN);
  EXPECT_EQ(Open(), handle);
  EXPECT_EQ(QuorixCloseDevice(Unset()), QUORIX_ERR_FAILED);
  EXPECT_EQ(QuorixCloseDevice(handle), QUORIX_OK);
}

// The driver must not go on writing into a freed ring: when the abort of bulk IN fails, closing
// the driver handle ends the read, and the board is found anew by the next discovery.
TEST_F(OpenCloseTest, AReadThatTheAbortDidNotEndIsEndedByClosingTheDriverHandle) {
  sim::Board& board = QuietBoard("A");
  QuorixHandle handle = Open();
  bus().FailNth(sim::Op::kIoControl, 2, port::error::kGenFailure);  // abort 0x86
  EXPECT_EQ(QuorixCloseDevice(handle), QUORIX_OK);
  EXPECT_EQ(bus().Pending(board.id, kEndpointBulkIn), 0u);
  EXPECT_EQ(GetDeviceCount(), 0u) << "the record went with its driver handle";
  EXPECT_EQ(Count(), 1);
  handle = Open();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(bus().Pending(board.id, kEndpointBulkIn), 1u);
  EXPECT_EQ(QuorixCloseDevice(handle), QUORIX_OK);
}

TEST_F(OpenCloseTest, ABoardUnpluggedWhileOpenIsRemovedByItsClose) {
  sim::Board& board = QuietBoard("A");
  QuietBoard("B");
  QuorixHandle handle = Open();
  ASSERT_TRUE(bus().Unplug(board.id));
  EXPECT_EQ(bus().Pending(board.id, kEndpointBulkIn), 0u) << "the read ends with the board";
  Bytes out(4);
  // Until discovery notices, the driver handle reports the board's absence.
  EXPECT_EQ(QuorixReadDevice(handle, 4, out.data()), 1167);
  EXPECT_EQ(Count(), 2) << "still counted while open";
  EXPECT_EQ(QuorixReadDevice(handle, 4, out.data()), QUORIX_ERR_NO_DRIVER);
  // The device-required open check comes before the open flag.
  EXPECT_EQ(QuorixOpenDevice(0, nullptr), QUORIX_ERR_FAILED);

  bus().ClearWire();
  EXPECT_EQ(QuorixCloseDevice(handle), QUORIX_OK);
  EXPECT_TRUE(PipeRequests().empty());
  EXPECT_EQ(GetDeviceCount(), 1u);
  EXPECT_EQ(QuorixCloseDevice(handle), QUORIX_ERR_FAILED);
  EXPECT_EQ(QuorixReadDevice(handle, 4, out.data()), QUORIX_ERR_FAILED);
}

}  // namespace
}  // namespace quorix::test
