// The simulated driver refuses what the real driver refuses, so that a library that passes
// against it hands the real driver well-formed requests too.
#include <cstring>

#include "support/sim_test.h"

namespace quorix::test {
namespace {

class SimBusTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    board_ = &AddBoard("S");
    driver_ = port::OpenPath(board_->path.c_str(), 0xC0000000, 3, 3, 0x40000000);
    ASSERT_NE(driver_, nullptr);
  }
  void TearDown() override {
    EXPECT_TRUE(port::CloseHandle(driver_));
    SimTest::TearDown();
  }
  std::uint32_t Control(Bytes& request, std::uint32_t out_size) {
    std::uint32_t returned = 0;
    if (port::IoControl(driver_, kIoctlControlTransfer, request.data(),
                        static_cast<std::uint32_t>(request.size()), request.data(), out_size,
                        &returned, nullptr))
      return 0;
    return port::LastError();
  }
  static Bytes Header(std::uint16_t length, std::uint32_t buffer_length, std::size_t data) {
    SingleTransfer header{};
    header.bmRequestType = 0x80;
    header.bRequest = 6;
    header.wValue = 0x0100;
    header.wLength = length;
    header.timeout = 1;
    header.buffer_offset = 38;
    header.buffer_length = buffer_length;
    Bytes bytes(38 + data);
    std::memcpy(bytes.data(), &header, sizeof header);
    return bytes;
  }

  sim::Board* board_ = nullptr;
  port::Handle driver_ = nullptr;
};

TEST_F(SimBusTest, ControlTransfersMustBeWellFramed) {
  Bytes good = Header(18, 18, 18);
  EXPECT_EQ(Control(good, 56), 0u);
  EXPECT_EQ(good[38], 18);  // the device descriptor arrived behind the header
  Bytes lying = Header(18, 17, 18);
  EXPECT_EQ(Control(lying, 56), port::error::kInvalidParameter);
  Bytes short_buffer = Header(18, 18, 10);
  EXPECT_EQ(Control(short_buffer, 48), port::error::kInvalidParameter);
  Bytes sizes_differ = Header(18, 18, 18);
  EXPECT_EQ(Control(sizes_differ, 38), port::error::kInvalidParameter);
}

TEST_F(SimBusTest, PipeRequestsAndUnknownCodes) {
  std::uint32_t returned = 0;
  std::uint8_t endpoint = 0x81;
  EXPECT_FALSE(
      port::IoControl(driver_, kIoctlAbortPipe, &endpoint, 1, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(port::LastError(), port::error::kInvalidParameter);
  EXPECT_FALSE(port::IoControl(driver_, 0x220000, &endpoint, 1, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(port::LastError(), 1u);

  // An unplugged board's handle fails every request, also once it is plugged in again: the
  // new connection has a new path and needs a new handle.
  endpoint = 0x86;
  bus().Unplug(board_->id);
  EXPECT_FALSE(
      port::IoControl(driver_, kIoctlResetPipe, &endpoint, 1, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(port::LastError(), port::error::kDeviceNotConnected);
  const std::string old_path = board_->path;
  bus().Replug(board_->id);
  EXPECT_NE(board_->path, old_path);
  EXPECT_FALSE(
      port::IoControl(driver_, kIoctlResetPipe, &endpoint, 1, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(port::OpenPath(old_path.c_str(), 0xC0000000, 3, 3, 0x40000000), nullptr);
  EXPECT_EQ(port::LastError(), port::error::kFileNotFound);
}

TEST_F(SimBusTest, ListingChecksTheRecordSizesAndEndsWith259) {
  port::Handle listing = port::OpenListing();
  ASSERT_NE(listing, nullptr);
  port::InterfaceData data{};
  data.size = 28 + 1;
  EXPECT_FALSE(port::NextInterface(listing, 0, &data));
  EXPECT_EQ(port::LastError(), port::error::kInvalidUserBuffer);
  data.size = port::kInterfaceDataSize;
  ASSERT_TRUE(port::NextInterface(listing, 0, &data));

  std::uint32_t required = 0;
  EXPECT_FALSE(port::InterfaceDetail(listing, &data, nullptr, 0, &required));
  EXPECT_EQ(port::LastError(), port::error::kInsufficientBuffer);
  EXPECT_EQ(required, 4 + board_->path.size() + 1);
  std::vector<char> block(required);
  std::uint32_t size_field = 6;
  std::memcpy(block.data(), &size_field, 4);
  EXPECT_FALSE(port::InterfaceDetail(listing, &data, block.data(), required, nullptr));
  EXPECT_EQ(port::LastError(), port::error::kInvalidUserBuffer);
  size_field = port::kDetailSizeField;
  std::memcpy(block.data(), &size_field, 4);
  ASSERT_TRUE(port::InterfaceDetail(listing, &data, block.data(), required, nullptr));
  EXPECT_EQ(std::string(block.data() + 4), board_->path);

  EXPECT_FALSE(port::NextInterface(listing, 1, &data));
  EXPECT_EQ(port::LastError(), port::error::kNoMoreItems);
  port::CloseListing(listing);
}

TEST_F(SimBusTest, VirtualTimePassesOnlyInWaitsAndPauses) {
  port::Handle event = port::NewEvent(false);
  const std::uint64_t start = bus().NowMs();
  EXPECT_EQ(port::WaitEvent(event, 200), port::kWaitTimeout);
  port::Pause(50);
  EXPECT_EQ(bus().NowMs() - start, 250u);
  EXPECT_TRUE(port::CloseHandle(event));
  EXPECT_FALSE(port::CloseHandle(event));
  EXPECT_EQ(port::LastError(), port::error::kInvalidHandle);
}

// Unplugging and re-plugging for hours keeps the bus's memory flat: the paths opened are kept
// only as far back as the tests look.
TEST_F(SimBusTest, TheOpensKeptStayBoundedAcrossReplugs) {
  for (std::size_t i = 0; i < 2 * sim::Bus::kOpensLimit; ++i) {
    ASSERT_TRUE(bus().Unplug(board_->id));
    ASSERT_TRUE(bus().Replug(board_->id));
    port::Handle again = port::OpenPath(board_->path.c_str(), 0xC0000000, 3, 3, 0x40000000);
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(port::CloseHandle(again));
  }
  EXPECT_EQ(bus().Opens().size(), sim::Bus::kOpensLimit);
  EXPECT_EQ(bus().Opens().back().path, board_->path);
}

// The board driven from outside the bus, as the usbredir board drives it: one answer per
// request, queued packets before the counter, a short packet ending the answer.
TEST(SimBoardSendIn, QueuedPacketsThenTheCounterInWholePackets) {
  sim::Board board;
  board.configuration = 1;
  std::vector<std::uint8_t> target(2048, 0xEE);
  std::uint32_t error = 99;

  // The counter, in whole packets.
  EXPECT_EQ(board.SendIn(std::span(target).first(1024), error), 1024u);
  EXPECT_EQ(error, 0u);
  for (std::size_t i = 0; i < 1024; ++i) ASSERT_EQ(target[i], sim::CounterByte(i)) << i;
  EXPECT_EQ(target[1024], 0xEE);
  EXPECT_EQ(board.source_position, 1024u);

  // A short packet ends the answer; a zero-length one is an empty answer; the counter then
  // goes on where it stopped.
  const std::uint8_t shorter[] = {1, 2, 3};
  board.PushIn(std::vector<std::uint8_t>(512, 7));
  board.PushIn(shorter);
  board.PushZeroLengthPacket();
  EXPECT_EQ(board.SendIn(target, error), 515u);
  EXPECT_EQ(target[511], 7);
  EXPECT_EQ(target[514], 3);
  EXPECT_EQ(board.SendIn(target, error), 0u);
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(board.SendIn(std::span(target).first(512), error), 512u);
  EXPECT_EQ(target[0], sim::CounterByte(1024));

  // A packet larger than the room left is babble, and costs the packet.
  board.PushIn(std::vector<std::uint8_t>(512, 1));
  EXPECT_EQ(board.SendIn(std::span(target).first(100), error), 0u);
  EXPECT_EQ(error, port::error::kGenFailure);
  EXPECT_TRUE(board.in_packets.empty());
  EXPECT_EQ(board.SendIn(std::span(target).first(1100), error), 1024u);
  EXPECT_EQ(error, port::error::kGenFailure);
  EXPECT_EQ(board.source_position, 1536u + 1536u);

  // Unconfigured, or without a source, only queued packets go.
  board.configuration = 0;
  EXPECT_EQ(board.SendIn(target, error), 0u);
  EXPECT_EQ(error, 0u);
}

}  // namespace
}  // namespace quorix::test
