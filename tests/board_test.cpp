// Port D, the FPGA mode, the EEPROM and the startup command, at the wire.
#include <functional>

#include "support/sim_test.h"

namespace quorix::test {
namespace {

class BoardTest : public OpenDeviceTest {
 protected:
  void SetUp() override {
    OpenDeviceTest::SetUp();
    bus().ClearWire();
  }
  sim::Eeprom& eeprom() { return board_->eeproms.at(1); }
};

TEST_F(BoardTest, ControlsSendTheirSetupAndDataStage) {
  const std::uint8_t sequence[] = {0x11, 0x22, 0x33};
  std::uint8_t outputs = 0;
  ASSERT_EQ(QuorixSetPortDOutputs(handle_, 0x5A), QUORIX_OK);
  ASSERT_EQ(QuorixSetPortDOutputEnable(handle_, 0x5A), QUORIX_OK);
  ASSERT_EQ(QuorixSetPortDOutputsExt(handle_, 3, sequence), QUORIX_OK);
  ASSERT_EQ(QuorixGetPortDOutputs(handle_, &outputs), QUORIX_OK);
  ASSERT_EQ(QuorixSetConfFpgaMode(handle_, 0x07), QUORIX_OK);
  ASSERT_EQ(QuorixSetPortDOutputsExt(handle_, 0, nullptr), QUORIX_OK);

  const std::vector<Bytes> setups = {
      {0x40, 0xB2, 0, 0, 0, 0, 1, 0}, {0x40, 0xB2, 0, 0, 1, 0, 1, 0},
      {0x40, 0xB2, 0, 0, 0, 0, 3, 0}, {0xC0, 0xB2, 0, 0, 0, 0, 1, 0},
      {0x40, 0xB3, 0, 0, 0, 0, 1, 0}, {0x40, 0xB2, 0, 0, 0, 0, 0, 0}};
  const std::vector<Bytes> stages = {{0x5A}, {0x5A}, {0x11, 0x22, 0x33}, {0x00}, {0x07}, {}};
  const auto wire = VendorRequests();
  ASSERT_EQ(wire.size(), setups.size());
  for (std::size_t i = 0; i < wire.size(); ++i) {
    EXPECT_EQ(wire[i].SetupBytes(), setups[i]) << "request " << i;
    EXPECT_EQ(Stage(wire[i]), stages[i]) << "request " << i;
  }
  EXPECT_EQ(outputs, 0x33);  // the sequence left its last byte in the latch
  EXPECT_EQ(board_->port_d_enable, 0x5A);
  EXPECT_EQ(board_->fpga_mode, 0x07);
  EXPECT_EQ(std::vector<Bytes>(board_->port_d_writes.begin(), board_->port_d_writes.end()),
            (std::vector<Bytes>{{0x5A}, {0x11, 0x22, 0x33}, {}}));
}

TEST_F(BoardTest, MissingBuffersAndFailuresSendNothingAndLeaveTheDestination) {
  EXPECT_EQ(QuorixSetPortDOutputsExt(handle_, 2, nullptr), QUORIX_ERR_FAILED);
  EXPECT_EQ(QuorixGetPortDOutputs(handle_, nullptr), QUORIX_ERR_FAILED);
  EXPECT_TRUE(VendorRequests().empty());

  std::uint8_t outputs = 0xEE;
  bus().FailNth(sim::Op::kIoControl, 1, 121);
  EXPECT_EQ(QuorixGetPortDOutputs(handle_, &outputs), 121);
  board_->hook = [](const sim::Setup&, std::span<const std::uint8_t>) {
    return std::optional<sim::Reply>(sim::Reply{port::error::kGenFailure, {}});
  };
  EXPECT_EQ(QuorixGetPortDOutputs(handle_, &outputs), 31);
  EXPECT_EQ(outputs, 0xEE);
}

// Every call that takes a handle refuses a bad one before sending anything (the firmware
// load before it opens its file, which does not exist here).
TEST_F(BoardTest, EveryBoardCallPassesTheGateFirst) {
  std::uint8_t byte = 0;
  const std::vector<std::function<int(QuorixHandle)>> calls = {
      [](QuorixHandle h) { return QuorixSetPortDOutputs(h, 1); },
      [&](QuorixHandle h) { return QuorixSetPortDOutputsExt(h, 1, &byte); },
      [&](QuorixHandle h) { return QuorixGetPortDOutputs(h, &byte); },
      [](QuorixHandle h) { return QuorixSetPortDOutputEnable(h, 1); },
      [](QuorixHandle h) { return QuorixSetConfFpgaMode(h, 1); },
      [&](QuorixHandle h) { return QuorixReadEprom(h, 1, 0, 1, &byte); },
      [&](QuorixHandle h) { return QuorixWriteEprom(h, 1, 0, 1, &byte); },
      [&](QuorixHandle h) { return QuorixSetStartupCommand(h, 1, &byte); },
      [](QuorixHandle h) { return QuorixLoadFirmware(h, "/nonexistent.hex"); }};
  int unknown = 0x1234;
  for (const auto& call : calls) EXPECT_EQ(call(reinterpret_cast<QuorixHandle>(&unknown)), -1);
  bus().SetProcessId(4242);
  for (const auto& call : calls) EXPECT_EQ(call(handle_), QUORIX_ERR_NOT_OPEN);
  bus().SetProcessId(std::nullopt);
  ASSERT_EQ(QuorixCloseDevice(handle_), QUORIX_OK);
  bus().ClearWire();
  for (const auto& call : calls) EXPECT_EQ(call(handle_), QUORIX_ERR_NOT_OPEN);
  EXPECT_TRUE(VendorRequests().empty());
  ASSERT_EQ(QuorixOpenDevice(0, &handle_), QUORIX_OK);
  ASSERT_TRUE(bus().Unplug(board_->id));
  EXPECT_EQ(Count(), 1);  // discovery finds the board gone; its open record stays
  bus().ClearWire();
  for (const auto& call : calls) EXPECT_EQ(call(handle_), QUORIX_ERR_NO_DRIVER);
  EXPECT_TRUE(VendorRequests().empty());
}

TEST_F(BoardTest, EepromReadSetsTheAddressThenReads) {
  std::uint8_t block[4] = {};
  ASSERT_EQ(QuorixReadEprom(handle_, 1, 0x1FFC, 4, block), QUORIX_OK);
  EXPECT_EQ(Bytes(block, block + 4), (Bytes{0x01, 0x01, 0xFF, 0xFF}));
  ASSERT_EQ(QuorixReadEprom(handle_, 1, 0x0010, 0, nullptr), QUORIX_OK);
  const auto wire = VendorRequests();
  ASSERT_EQ(wire.size(), 4u);
  EXPECT_EQ(wire[0].SetupBytes(), (Bytes{0x40, 0xB0, 0, 0, 1, 0, 2, 0}));
  EXPECT_EQ(Stage(wire[0]), (Bytes{0x1F, 0xFC}));
  EXPECT_EQ(wire[1].SetupBytes(), (Bytes{0xC0, 0xB0, 0, 0, 1, 0, 4, 0}));
  EXPECT_EQ(Stage(wire[2]), (Bytes{0x00, 0x10}));
  EXPECT_EQ(wire[3].SetupBytes(), (Bytes{0xC0, 0xB0, 0, 0, 1, 0, 0, 0}));

  // A failed address request: no data read, the buffer as it was.
  bus().ClearWire();
  bus().FailNth(sim::Op::kIoControl, 1, 31);
  EXPECT_EQ(QuorixReadEprom(handle_, 1, 0x1FFC, 4, block), 31);
  EXPECT_EQ(VendorRequests().size(), 1u);
  std::uint8_t untouched[2] = {0xAB, 0xCD};
  EXPECT_EQ(QuorixReadEprom(handle_, 2, 0, 2, untouched), 31);  // no EEPROM at select 2
  EXPECT_EQ(Bytes(untouched, untouched + 2), (Bytes{0xAB, 0xCD}));
}

TEST_F(BoardTest, EepromWriteCarriesTheAddressHighByteFirst) {
  const std::uint8_t data[] = {0x0A, 0x0B};
  ASSERT_EQ(QuorixWriteEprom(handle_, 1, 0x0102, 2, data), QUORIX_OK);
  ASSERT_EQ(QuorixWriteEprom(handle_, 1, 0x0200, 0, nullptr), QUORIX_OK);
  const auto wire = VendorRequests();
  ASSERT_EQ(wire.size(), 2u);
  EXPECT_EQ(wire[0].SetupBytes(), (Bytes{0x40, 0xB0, 0, 0, 1, 0, 4, 0}));
  EXPECT_EQ(Stage(wire[0]), (Bytes{0x01, 0x02, 0x0A, 0x0B}));
  EXPECT_EQ(Stage(wire[1]), (Bytes{0x02, 0x00}));
  EXPECT_EQ(eeprom().Read(0x0101, 4), (Bytes{0xFF, 0x0A, 0x0B, 0xFF}));

  // The simulated part wraps a write within its 32-byte page, and a read follows on from it.
  const std::uint8_t across[] = {1, 2, 3, 4};
  ASSERT_EQ(QuorixWriteEprom(handle_, 1, 0x003E, 4, across), QUORIX_OK);
  EXPECT_EQ(eeprom().Read(0x0020, 2), (Bytes{3, 4}));
  EXPECT_EQ(eeprom().Read(0x003E, 4), (Bytes{1, 2, 0xFF, 0xFF}));
  EXPECT_EQ(eeprom().ReadOn(1), Bytes{0xFF});  // from 0x0022
  EXPECT_EQ(eeprom().pointer, 0x0023);

  bus().ClearWire();
  EXPECT_EQ(QuorixWriteEprom(handle_, 1, 0, 1, nullptr), QUORIX_ERR_FAILED);
  bus().FailNth(sim::Op::kAllocate, 1, 0);
  EXPECT_EQ(QuorixWriteEprom(handle_, 1, 0, 2, data), QUORIX_ERR_FAILED);
  EXPECT_TRUE(VendorRequests().empty());
}

// ---- startup command ----

// The EEPROM operations of a startup command, as (address, bytes written or count read).
struct Operation {
  bool write;
  std::uint16_t address;
  Bytes data;  // written; for a read, empty
  std::uint16_t count;
  std::uint64_t at_ms;
};

class StartupTest : public BoardTest {
 protected:
  std::vector<Operation> Operations() {
    std::vector<Operation> operations;
    const auto wire = VendorRequests();
    for (std::size_t i = 0; i < wire.size(); ++i) {
      const Bytes stage = Stage(wire[i]);
      const auto address = static_cast<std::uint16_t>(stage[0] << 8 | stage[1]);
      const bool read = i + 1 < wire.size() && wire[i + 1].in[0] == 0xC0;
      if (read) {
        operations.push_back({false, address, {}, wire[i + 1].in[6], wire[i].at_ms});
        ++i;
      } else {
        operations.push_back(
            {true, address, Bytes(stage.begin() + 2, stage.end()), 0, wire[i].at_ms});
      }
    }
    return operations;
  }
  // Sets the command address S through the default base address.
  void CommandAt(std::uint16_t at) { eeprom().Write16(sim::kStartupBase + 7, at); }
};

TEST_F(StartupTest, NoAreaStopsAfterTheFirstRead) {
  eeprom().Write(0x1FFD, Bytes{0x00});
  const std::uint64_t start = bus().NowMs();
  EXPECT_EQ(QuorixSetStartupCommand(handle_, 3, reinterpret_cast<const std::uint8_t*>("abc")),
            QUORIX_ERR_NO_STARTUP_AREA);
  const auto operations = Operations();
  ASSERT_EQ(operations.size(), 1u);
  EXPECT_EQ(operations[0].address, 0x1FFC);
  EXPECT_EQ(operations[0].count, 4);
  EXPECT_EQ(bus().NowMs() - start, 200u);

  bus().ClearWire();
  EXPECT_EQ(QuorixSetStartupCommand(handle_, 1, nullptr), QUORIX_ERR_FAILED);
  EXPECT_TRUE(VendorRequests().empty());

  // A failed read is paused after too.
  bus().FailNth(sim::Op::kIoControl, 1, 121);
  const std::uint64_t before = bus().NowMs();
  EXPECT_EQ(QuorixSetStartupCommand(handle_, 0, nullptr), 121);
  EXPECT_EQ(bus().NowMs() - before, 200u);
}

TEST_F(StartupTest, TheCommandAddressFollowsTheBase) {
  const std::uint8_t command[] = {0xC1};
  for (const auto& [base, pointer] :
       {std::pair<std::uint16_t, std::uint16_t>{0x1000, 0x1007}, {0xFFFF, 0x0006}}) {
    bus().ClearWire();
    eeprom().Write16(0x1FF8, base);
    eeprom().Write16(pointer, 0x0400);
    ASSERT_EQ(QuorixSetStartupCommand(handle_, 1, command), QUORIX_OK);
    const auto operations = Operations();
    ASSERT_EQ(operations.size(), 4u);
    EXPECT_EQ(operations[1].address, 0x1FF8);
    EXPECT_EQ(operations[2].address, pointer);
    EXPECT_EQ(operations[2].count, 2);
    EXPECT_EQ(operations[3].address, 0x0400);
    EXPECT_EQ(operations[3].data, (Bytes{0x01, 0x00, 0xC1}));
  }
}

// (address, size) of each write, and the length prefix each write at S carried.
using Piece = std::pair<std::uint16_t, std::size_t>;

TEST_F(StartupTest, TheImageGoesInSixteenBytePiecesFromSWithTheLengthLast) {
  struct Case {
    std::uint16_t length;
    std::vector<Piece> pieces;
  };
  // Up to 16 bytes of image are one request; a longer image starts with its first piece
  // holding length 0 and ends with that piece again, holding the length.
  const Case cases[] = {{0, {{0x1000, 2}}},
                        {14, {{0x1000, 16}}},
                        {15, {{0x1000, 16}, {0x1010, 1}, {0x1000, 16}}},
                        {30, {{0x1000, 16}, {0x1010, 16}, {0x1000, 16}}},
                        {31, {{0x1000, 16}, {0x1010, 16}, {0x1020, 1}, {0x1000, 16}}}};
  Bytes command(0x0102);
  for (std::size_t i = 0; i < command.size(); ++i) command[i] = static_cast<std::uint8_t>(i);
  for (const Case& c : cases) {
    bus().ClearWire();
    ASSERT_EQ(QuorixSetStartupCommand(handle_, c.length, command.data()), QUORIX_OK);
    const auto operations = Operations();
    std::vector<Piece> pieces;
    for (std::size_t k = 3; k < operations.size(); ++k)
      pieces.emplace_back(operations[k].address, operations[k].data.size());
    EXPECT_EQ(pieces, c.pieces) << "length " << c.length;
    if (pieces.size() > 1) {
      EXPECT_EQ(operations[3].data[0], 0);
      EXPECT_EQ(operations[3].data[1], 0);
      EXPECT_EQ(Bytes(operations[3].data.begin() + 2, operations[3].data.end()),
                Bytes(operations.back().data.begin() + 2, operations.back().data.end()));
    }
    EXPECT_EQ(operations.back().data[0], static_cast<std::uint8_t>(c.length));
    EXPECT_EQ(operations.back().data[1], c.length >> 8);
    EXPECT_EQ(eeprom().Read(0x1002, c.length), Bytes(command.begin(), command.begin() + c.length));
  }

  bus().ClearWire();
  ASSERT_EQ(QuorixSetStartupCommand(handle_, 0x0102, command.data()), QUORIX_OK);
  const auto operations = Operations();
  ASSERT_EQ(operations.size(), 3u + 17u + 1u);  // 260 bytes in 17 pieces, the first twice
  EXPECT_EQ(operations[19].address, 0x1100);
  EXPECT_EQ(operations[19].data.size(), 4u);
  EXPECT_EQ(eeprom().Read(0x1000, 2), (Bytes{0x02, 0x01}));
}

TEST_F(StartupTest, TheLongestCommandPausesAfterEveryOperation) {
  Bytes command(4077, 0x5C);
  const std::uint64_t start = bus().NowMs();
  EXPECT_EQ(QuorixSetStartupCommand(handle_, 4077, command.data()), QUORIX_ERR_NO_SPACE);
  EXPECT_EQ(Operations().size(), 3u);  // only the reads

  bus().ClearWire();
  const std::uint64_t begin = bus().NowMs();
  ASSERT_EQ(QuorixSetStartupCommand(handle_, 4076, command.data()), QUORIX_OK);
  const auto operations = Operations();
  ASSERT_EQ(operations.size(), 3u + 256u);  // 4,078 bytes in 255 pieces, the first twice
  EXPECT_EQ(VendorRequests().size(), 6u + 256u);
  for (std::size_t k = 0; k < operations.size(); ++k)
    ASSERT_EQ(operations[k].at_ms, begin + 200 * k) << "operation " << k;
  EXPECT_EQ(bus().NowMs() - begin, 200u * operations.size());  // 51.8 s
  const Operation& last_piece = operations[operations.size() - 2];
  EXPECT_EQ(last_piece.address + last_piece.data.size() - 1, 0x1FEDu);
  EXPECT_EQ(operations.back().address, 0x1000);
  EXPECT_EQ(eeprom().Read(0x1000, 2), (Bytes{0xEC, 0x0F}));
  EXPECT_EQ(eeprom().Read(0x1FEE, 1), Bytes{0xFF});  // never written
  EXPECT_EQ(eeprom().Read(0x1FEF, 2), (Bytes{0x00, 0x10}));
  EXPECT_EQ(begin - start, 600u);
}

TEST_F(StartupTest, TheImageMustEndBelow0x1FEF) {
  Bytes command(8173, 0x11);
  CommandAt(0);
  EXPECT_EQ(QuorixSetStartupCommand(handle_, 8173, command.data()), QUORIX_ERR_NO_SPACE);
  bus().LogWire(false);
  EXPECT_EQ(QuorixSetStartupCommand(handle_, 8172, command.data()), QUORIX_OK);
  bus().LogWire(true);
  for (std::uint16_t at : {8176, 8175, 0xFFFF}) {
    CommandAt(at);
    bus().ClearWire();
    EXPECT_EQ(QuorixSetStartupCommand(handle_, 0, nullptr), QUORIX_ERR_NO_SPACE) << at;
    EXPECT_EQ(Operations().size(), 3u);
  }
}

TEST_F(StartupTest, AFailedWriteLeavesNoCommandAndSendsNothingMore) {
  Bytes command(40, 0x77);
  // No memory for the image, after the six requests of the reads: nothing written.
  bus().FailNth(sim::Op::kAllocate, 7, 0);
  EXPECT_EQ(QuorixSetStartupCommand(handle_, 40, command.data()), QUORIX_ERR_FAILED);
  EXPECT_EQ(Operations().size(), 3u);
  bus().ClearWire();

  // The second piece is the eighth request; the first, with length 0, went before it.
  bus().FailNth(sim::Op::kIoControl, 8, 121);
  const std::uint64_t start = bus().NowMs();
  EXPECT_EQ(QuorixSetStartupCommand(handle_, 40, command.data()), 121);
  EXPECT_EQ(bus().NowMs() - start, 200u * 5);  // three reads and two writes, each paused
  EXPECT_EQ(eeprom().Read(0x1000, 16), (Bytes{0, 0, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77,
                                              0x77, 0x77, 0x77, 0x77, 0x77, 0x77}));
  EXPECT_EQ(eeprom().Read(0x1010, 1), Bytes{0xFF});
  EXPECT_EQ(VendorRequests().size(), 8u);  // nothing after the failed piece
}

// Whichever request of the call fails or meets an unplugged board, the EEPROM at S holds the
// old command untouched (nothing was written yet), no command, or the whole new one.
TEST_F(StartupTest, AnInterruptionAtAnyRequestLeavesNoCommandOrTheWholeNewOne) {
  const Bytes old_command(60, 'o');
  Bytes new_command(40);
  for (std::size_t i = 0; i < new_command.size(); ++i)
    new_command[i] = static_cast<std::uint8_t>('A' + i % 26);
  auto store_old = [&] {
    Bytes image = {60, 0};
    image.insert(image.end(), old_command.begin(), old_command.end());
    eeprom().Write(0x1000, image);
  };
  auto stored = [&]() -> Bytes {
    const Bytes prefix = eeprom().Read(0x1000, 2);
    return eeprom().Read(0x1002, static_cast<std::uint32_t>(prefix[0] | prefix[1] << 8));
  };

  store_old();
  bus().ClearWire();
  const std::uint64_t before = bus().TotalCalls();
  ASSERT_EQ(QuorixSetStartupCommand(handle_, 40, new_command.data()), QUORIX_OK);
  // Every port call of the call, allocations and pauses among them, is a place to stop.
  const std::uint64_t calls = bus().TotalCalls() - before;
  ASSERT_EQ(stored(), new_command);
  ASSERT_EQ(VendorRequests().size(), 6u + 4u);  // 3 reads, 3 pieces and the first again

  int old_left = 0, none_left = 0, new_left = 0;
  for (std::uint64_t nth = 1; nth <= calls; ++nth) {
    for (const bool unplug : {false, true}) {
      SCOPED_TRACE("port call " + std::to_string(nth) + (unplug ? ", unplugged" : ", failed"));
      store_old();
      bus().ClearWire();
      if (unplug)
        bus().UnplugAt(nth, board_->id);
      else
        bus().FailCall(nth, port::error::kDeviceNotConnected);
      const int status = QuorixSetStartupCommand(handle_, 40, new_command.data());
      bus().ClearFaults();
      const Bytes now = stored();
      if (now == old_command) {
        ++old_left;
        for (const sim::WireEntry& request : VendorRequests())
          EXPECT_FALSE(request.ok && request.in[0] == 0x40 && Stage(request).size() > 2)
              << "a piece was written";
      } else if (now.empty()) {
        ++none_left;
        EXPECT_NE(status, QUORIX_OK);
      } else {
        ++new_left;
        EXPECT_EQ(now, new_command);
      }
      if (unplug) {
        ASSERT_TRUE(bus().Replug(board_->id));
        ASSERT_EQ(QuorixCloseDevice(handle_), QUORIX_OK);
        handle_ = Open();
      }
    }
  }
  // Each outcome is reached: interruptions before the first write, between the writes, and
  // at the last pause, after the command was whole.
  EXPECT_GT(old_left, 0);
  EXPECT_GT(none_left, 0);
  EXPECT_GT(new_left, 0);
}

}  // namespace
}  // namespace quorix::test
