// Discovery through the public API against the simulated bus: the requests a new board
// costs, the registry order, boards that go and come back, and every listing failure.
#include <set>

#include "support/sim_test.h"

namespace quorix::test {
namespace {

using Serials = std::vector<std::string>;

class DiscoveryTest : public SimTest {
 protected:
  static std::string Serial(std::int32_t index) {
    const char* serial = QuorixGetDeviceSerialNumber(index);
    return serial != nullptr ? serial : "(null)";
  }
};

TEST_F(DiscoveryTest, ANewBoardCostsTenRequestsAndAKnownOneNone) {
  AddBoard("ABCDEFGHIJKL");  // 12 characters: a 26-byte string descriptor
  EXPECT_EQ(Count(), 1);
  const std::vector<Bytes> expected = {
      {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00},  // device descriptor
      {0x80, 0x06, 0x01, 0x03, 0x00, 0x00, 0x01, 0x00},  // manufacturer: probe twice, read
      {0x80, 0x06, 0x01, 0x03, 0x00, 0x00, 0x01, 0x00},
      {0x80, 0x06, 0x01, 0x03, 0x00, 0x00, 0x0E, 0x00},  // "Quorix"
      {0x80, 0x06, 0x02, 0x03, 0x00, 0x00, 0x01, 0x00},  // product
      {0x80, 0x06, 0x02, 0x03, 0x00, 0x00, 0x01, 0x00},
      {0x80, 0x06, 0x02, 0x03, 0x00, 0x00, 0x22, 0x00},  // "Quorix FX2 board"
      {0x80, 0x06, 0x03, 0x03, 0x00, 0x00, 0x01, 0x00},  // serial number
      {0x80, 0x06, 0x03, 0x03, 0x00, 0x00, 0x01, 0x00},
      {0x80, 0x06, 0x03, 0x03, 0x00, 0x00, 0x1A, 0x00}};
  EXPECT_EQ(ControlSetups(), expected);
  EXPECT_EQ(bus().Wire().size(), 10u);

  const DeviceRecord* record = GetDeviceAt(0);
  EXPECT_EQ(record->vendor_id, 0xDEAD);
  EXPECT_EQ(record->product_id, 0xBEEF);
  EXPECT_EQ(record->release_number, 0x0100);
  EXPECT_STREQ(record->manufacturer, "Quorix");
  EXPECT_STREQ(record->product, "Quorix FX2 board");
  EXPECT_STREQ(record->serial, "ABCDEFGHIJKL");
  EXPECT_EQ(record->timeout, 200u);
  EXPECT_EQ(record->ring_size, 0x200000u);
  EXPECT_EQ(record->open, 0);

  ASSERT_EQ(bus().Opens().size(), 1u);
  const sim::OpenCall& open = bus().Opens()[0];
  EXPECT_EQ(open.access, 0xC0000000u);
  EXPECT_EQ(open.share, 3u);
  EXPECT_EQ(open.creation, 3u);
  EXPECT_EQ(open.flags, 0x40000000u);

  bus().ClearWire();
  EXPECT_EQ(Count(), 1);
  EXPECT_EQ(Serial(0), "ABCDEFGHIJKL");
  EXPECT_TRUE(bus().Wire().empty());
  EXPECT_EQ(bus().Opens().size(), 1u);
}

TEST_F(DiscoveryTest, NoBoardsAndOutOfRangeIndices) {
  std::int32_t count = 55;
  EXPECT_EQ(QuorixCountDevices(&count), QUORIX_OK);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(QuorixCountDevices(nullptr), QUORIX_OK);
  EXPECT_EQ(QuorixGetDeviceSerialNumber(0), nullptr);

  AddBoard("A");
  EXPECT_EQ(QuorixCountDevices(nullptr), QUORIX_OK);
  EXPECT_EQ(GetDeviceCount(), 1u);  // the refresh ran
  EXPECT_EQ(Serial(0), "A");
  EXPECT_EQ(QuorixGetDeviceSerialNumber(1), nullptr);
  EXPECT_EQ(QuorixGetDeviceSerialNumber(-1), nullptr);
  EXPECT_EQ(QuorixGetDeviceSerialNumber(INT32_MIN), nullptr);
}

TEST_F(DiscoveryTest, OnlyTheBoardsIdentityIsCountedAndIndexed) {
  AddBoard("A");
  AddBoard("X", 0x1234, 0x0001);
  AddBoard("Y", 0xDEAD, 0x0001);
  AddBoard("B");
  EXPECT_EQ(Count(), 2);
  EXPECT_EQ(Serial(0), "A");
  EXPECT_EQ(Serial(1), "B");
  EXPECT_EQ(GetDeviceCount(), 4u);
  EXPECT_EQ(FindDeviceByIndex(0x1234, 0x0001, 0), RecordOf("X"));
}

TEST_F(DiscoveryTest, UnpluggedBoardsLeaveAndTheLastTakesTheirPlace) {
  AddBoard("A");
  const int b = AddBoard("B").id;
  AddBoard("C");
  AddBoard("D");
  EXPECT_EQ(Count(), 4);
  EXPECT_EQ(RegistrySerials(), (Serials{"A", "B", "C", "D"}));

  bus().Unplug(b);
  EXPECT_EQ(Count(), 3);
  EXPECT_EQ(RegistrySerials(), (Serials{"A", "D", "C"}));
  EXPECT_EQ(Serial(1), "D");                  // index 1 now names the board that moved
  EXPECT_EQ(PipeRequests(), PipeSequence());  // the prune reset the gone board's pipes

  // An empty listing removes every closed record.
  bus().Reset();
  EXPECT_EQ(Count(), 0);
  EXPECT_EQ(GetDeviceCount(), 0u);
  EXPECT_EQ(gRegistry.records, nullptr);
}

TEST_F(DiscoveryTest, AGoneOpenRecordStaysCountedUntilItIsClosed) {
  const int a = AddBoard("A").id;
  AddBoard("B");
  ASSERT_EQ(Count(), 2);
  DeviceRecord* record = RecordOf("A");
  MarkOpen(record);

  bus().Unplug(a);
  EXPECT_EQ(Count(), 2);
  EXPECT_EQ(Serial(0), "A");
  EXPECT_EQ(record->driver, nullptr);
  EXPECT_EQ(record->interface_path, nullptr);
  EXPECT_EQ(record->open, 1);
  EXPECT_NE(record->ring, nullptr);
  EXPECT_EQ(ValidateDevice(record, true), QUORIX_ERR_NO_DRIVER);
  EXPECT_EQ(ValidateDevice(record, false), QUORIX_OK);

  // Stripping it again changes nothing and costs no request.
  bus().ClearWire();
  EXPECT_EQ(Count(), 2);
  EXPECT_TRUE(bus().Wire().empty());

  // Plugged in again while the old record is open: a second record, both counted.
  bus().Replug(a);
  EXPECT_EQ(Count(), 3);
  EXPECT_EQ(RegistrySerials(), (Serials{"A", "B", "A"}));
  EXPECT_NE(GetDeviceAt(2), record);
  EXPECT_NE(GetDeviceAt(2)->driver, nullptr);
}

TEST_F(DiscoveryTest, ARefreshThatCannotStartChangesNothing) {
  AddBoard("A");
  const int b = AddBoard("B").id;
  ASSERT_EQ(Count(), 2);
  bus().Unplug(b);

  // The marks cannot be allocated.
  std::int32_t count = 77;
  bus().FailNth(sim::Op::kAllocate, 1, 0);
  EXPECT_EQ(QuorixCountDevices(&count), QUORIX_ERR_FAILED);
  EXPECT_EQ(count, 77);
  EXPECT_EQ(GetDeviceCount(), 2u);

  // The listing cannot be had.
  bus().FailNth(sim::Op::kOpenListing, 1, 5);
  EXPECT_EQ(QuorixCountDevices(&count), QUORIX_ERR_FAILED);
  EXPECT_EQ(count, 77);
  EXPECT_EQ(GetDeviceCount(), 2u);
  bus().FailNth(sim::Op::kOpenListing, 1, 5);
  EXPECT_EQ(QuorixGetDeviceSerialNumber(0), nullptr);

  EXPECT_EQ(Count(), 1);
}

TEST_F(DiscoveryTest, AWalkThatEndsEarlyKeepsWhatItAddedAndPrunesNothing) {
  struct Case {
    const char* what;
    sim::Op op;
    std::uint64_t nth;
    std::uint32_t error;
  };
  // Each fails at the second of three interfaces: B is listed, C is new, A is gone.
  // Allocations: the marks, B's detail block, then C's detail block, record, mark and place
  // in the registry's storage.
  for (const Case& c : {
           Case{"detail size 0", sim::Op::kDetailSize, 2, 13},
           Case{"enumeration error", sim::Op::kNextInterface, 2, 87},
           Case{"detail block", sim::Op::kAllocate, 3, 0},
           Case{"record", sim::Op::kAllocate, 4, 0},
           Case{"mark", sim::Op::kAllocate, 5, 0},
           Case{"registry storage", sim::Op::kAllocate, 6, 0},
       }) {
    SCOPED_TRACE(c.what);
    bus().Reset();
    ASSERT_EQ(Count(), 0);
    const int a = AddBoard("A").id;
    AddBoard("B");
    ASSERT_EQ(Count(), 2);
    bus().Unplug(a);
    AddBoard("C");
    AddBoard("D");

    bus().FailNth(c.op, c.nth, c.error);
    const std::size_t handles = bus().LiveHandles();
    EXPECT_EQ(QuorixCountDevices(nullptr), QUORIX_ERR_FAILED);
    EXPECT_EQ(bus().LiveHandles(), handles) << "a path just opened stays open";
    EXPECT_EQ(RegistrySerials(), (Serials{"A", "B"}));  // A not pruned, C not added
    bus().ClearFaults();
  }
  // The next refresh completes the picture.
  EXPECT_EQ(Count(), 3);
  EXPECT_EQ(RegistrySerials(), (Serials{"D", "B", "C"}));
}

TEST_F(DiscoveryTest, InterfacesThatCannotBeReadOrOpenedAreSkippedAndTriedAgain) {
  AddBoard("A");
  AddBoard("B");
  AddBoard("C");
  bus().FailNth(sim::Op::kDetailRead, 1, 31);
  bus().FailNth(sim::Op::kOpenPath, 1, 5);  // B's path: A's was never reached
  EXPECT_EQ(Count(), 1);
  EXPECT_EQ(RegistrySerials(), (Serials{"C"}));
  EXPECT_EQ(Count(), 3);
  EXPECT_EQ(RegistrySerials(), (Serials{"C", "A", "B"}));
}

TEST_F(DiscoveryTest, EveryAllocationFailureEndsCleanly) {
  // Count the allocations of discovering two new boards, then fail each in turn.
  AddBoard("A");
  AddBoard("B");
  const std::uint64_t before = bus().Calls(sim::Op::kAllocate);
  ASSERT_EQ(Count(), 2);
  const std::uint64_t allocations = bus().Calls(sim::Op::kAllocate) - before;
  ASSERT_GT(allocations, 20u);

  for (std::uint64_t nth = 1; nth <= allocations; ++nth) {
    SCOPED_TRACE(nth);
    ProcessDetach();
    ProcessAttach();
    ASSERT_EQ(bus().LiveBlocks(), 1u);  // the process table's one entry
    bus().FailNth(sim::Op::kAllocate, nth, 0);
    std::int32_t count = -9;
    const int status = QuorixCountDevices(&count);
    // Failing the listing's own memory ends the refresh with -1; failing a descriptor read
    // only leaves that part of the identity unread.
    EXPECT_TRUE(status == QUORIX_OK || status == QUORIX_ERR_FAILED) << status;
    EXPECT_EQ(status == QUORIX_ERR_FAILED, GetDeviceCount() < 2u);
    // A board whose device descriptor could not be read is kept but not counted.
    std::int32_t identified = 0;
    for (std::uint32_t i = 0; i < GetDeviceCount(); ++i)
      identified += GetDeviceAt(i)->vendor_id == 0xDEAD ? 1 : 0;
    EXPECT_EQ(count, status == QUORIX_OK ? identified : -9);
    bus().ClearFaults();

    // Whatever failed, the registry ends up with each board exactly once.
    EXPECT_GE(Count(), 1);
    ASSERT_EQ(GetDeviceCount(), 2u);
    EXPECT_STRNE(InterfacePathText(GetDeviceAt(0)), InterfacePathText(GetDeviceAt(1)));
  }
}

class StringDescriptorTest : public DiscoveryTest {
 protected:
  void SetUp() override {
    DiscoveryTest::SetUp();
    board_ = &AddBoard("S");
    ASSERT_EQ(Count(), 1);
    device_ = GetDeviceAt(0);
  }
  std::string Fetch(const Bytes& descriptor) {
    board_->strings[3] = descriptor;
    char* text = FetchStringDescriptor(device_, 3);
    if (text == nullptr) return "(none)";
    std::string copy(text);
    port::Free(text);
    return copy;
  }
  sim::Board* board_ = nullptr;
  DeviceRecord* device_ = nullptr;
};

TEST_F(StringDescriptorTest, LengthsAndCodeUnits) {
  EXPECT_EQ(Fetch({0, 3}), "(none)");
  EXPECT_EQ(Fetch({1, 3}), "(none)");
  EXPECT_EQ(Fetch({2, 3}), "");
  EXPECT_EQ(Fetch({3, 3, 'x'}), "");
  EXPECT_EQ(Fetch({7, 3, 'a', 0, 'b', 0, 'c'}), "ab");  // the odd last byte is ignored
  EXPECT_EQ(Fetch(sim::StringDescriptor(u"\u0141\u20ACz")), "A\xACz");  // low bytes only
  board_->strings.erase(3);
  EXPECT_EQ(Fetch({}), "(none)");  // a request the board stalls
}

TEST_F(StringDescriptorTest, ADescriptorThatGrowsBetweenProbeAndReadIsRefused) {
  int probes = 0;
  board_->hook = [&](const sim::Setup& setup, std::span<const std::uint8_t>) {
    if (setup.wValue != 0x0303) return std::optional<sim::Reply>();
    const std::uint8_t length = ++probes <= 1 ? 6 : 10;
    return std::optional<sim::Reply>(sim::Reply{0, {length, 3, 'a', 0, 'b', 0, 'c', 0, 'd', 0}});
  };
  bus().ClearWire();
  EXPECT_EQ(Fetch({}), "(none)");
  EXPECT_EQ(ControlSetups().size(), 2u);  // both probes, no full read
}

TEST_F(StringDescriptorTest, CapacityRules) {
  board_->strings[3] = sim::StringDescriptor(std::string_view("abcd"));
  char buffer[8] = "zzzzzzz";
  EXPECT_EQ(ReadStringDescriptor(device_, 3, nullptr, buffer), QUORIX_ERR_FAILED);
  std::uint32_t capacity = 3;
  EXPECT_EQ(ReadStringDescriptor(device_, 3, &capacity, buffer), QUORIX_ERR_FAILED);
  EXPECT_EQ(capacity, 4u);
  EXPECT_STREQ(buffer, "zzzzzzz");
  capacity = 7;
  EXPECT_EQ(ReadStringDescriptor(device_, 3, &capacity, buffer), QUORIX_OK);
  EXPECT_STREQ(buffer, "abcd");
  EXPECT_EQ(capacity, 4u);
  board_->strings.erase(3);
  EXPECT_EQ(ReadStringDescriptor(device_, 3, &capacity, nullptr), 31);
}

TEST_F(DiscoveryTest, IdentityReadsThatFail) {
  // Each string is read even when an earlier one failed.
  sim::Board& partial = AddBoard("P");
  partial.strings.erase(1);
  // A board whose device descriptor cannot be read is kept but never counted nor read again.
  sim::Board& mute = AddBoard("M");
  mute.hook = [](const sim::Setup& setup, std::span<const std::uint8_t>) {
    if (setup.wValue != 0x0100) return std::optional<sim::Reply>();
    return std::optional<sim::Reply>(sim::Reply{31, {}});
  };
  EXPECT_EQ(Count(), 1);
  EXPECT_EQ(GetDeviceCount(), 2u);
  const DeviceRecord* p = GetDeviceAt(0);
  EXPECT_EQ(p->manufacturer, nullptr);
  EXPECT_STREQ(p->product, "Quorix FX2 board");
  EXPECT_STREQ(p->serial, "P");
  const DeviceRecord* m = GetDeviceAt(1);
  EXPECT_EQ(m->vendor_id, 0);
  EXPECT_EQ(m->serial, nullptr);

  bus().ClearWire();
  mute.hook = nullptr;
  EXPECT_EQ(Count(), 1);
  EXPECT_TRUE(bus().Wire().empty());

  // A short device descriptor leaves zeros, not stale bytes, in the missing fields.
  sim::Board& terse = AddBoard("T");
  terse.device_descriptor.resize(10);
  EXPECT_EQ(Count(), 1);
  const DeviceRecord* t = GetDeviceAt(2);
  EXPECT_EQ(t->vendor_id, 0xDEAD);
  EXPECT_EQ(t->product_id, 0);
  EXPECT_EQ(t->release_number, 0);
}

}  // namespace
}  // namespace quorix::test
