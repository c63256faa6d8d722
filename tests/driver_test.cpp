// The request layer at the wire: the 38-byte header, the data stage and the pipe requests.
#include <cstring>

#include "support/sim_test.h"

namespace quorix::test {
namespace {

class DriverTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    board_ = &AddBoard("D1");
    ASSERT_EQ(Count(), 1);
    device_ = GetDeviceAt(0);
    bus().ClearWire();
  }

  int Vendor(std::int32_t direction, std::uint8_t request, std::uint16_t value, std::uint16_t index,
             std::uint16_t length, std::uint8_t* data) {
    const ControlRequest r{direction, kTypeVendor, kRecipientDevice, request, value, index};
    return ControlTransfer(device_, &r, length, data);
  }

  sim::Board* board_ = nullptr;
  DeviceRecord* device_ = nullptr;
};

TEST_F(DriverTest, SetConfigurationHandsTheDriverExactlyTheseBytes) {
  ASSERT_EQ(SetConfiguration(device_, 1), QUORIX_OK);
  const auto sent = Requests(kIoctlControlTransfer);
  ASSERT_EQ(sent.size(), 1u);
  const Bytes expected = {0x00, 0x09, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,  // setup stage
                          0x01, 0x00, 0x00, 0x00,                          // timeout 1 s
                          0x00, 0x00,                                      // reserved, EP0
                          0,    0,    0,    0,    0,    0,    0,    0,     // statuses
                          0,    0,    0,    0,    0,    0,    0,    0,     // isochronous
                          0x26, 0x00, 0x00, 0x00,                          // buffer offset 38
                          0x00, 0x00, 0x00, 0x00};                         // buffer length 0
  EXPECT_EQ(sent[0].in, expected);
  EXPECT_EQ(sent[0].out_size, 38u);
  EXPECT_FALSE(sent[0].overlapped);
  EXPECT_EQ(board_->configuration, 1);
}

TEST_F(DriverTest, RequestTypeBits) {
  struct Case {
    std::int32_t direction, type, recipient;
    std::uint8_t expected;
  };
  for (const Case& c :
       {Case{0, 0, 0, 0x00}, Case{1, 0, 0, 0x80}, Case{0, 2, 0, 0x40}, Case{1, 2, 0, 0xC0},
        Case{1, 1, 1, 0xA1}, Case{0, 2, 2, 0x42}, Case{1, 3, 3, 0x80}, Case{7, -1, -1, 0x00}}) {
    const ControlRequest r{c.direction, c.type, c.recipient, 0, 0, 0};
    EXPECT_EQ(RequestType(r), c.expected) << c.direction << "/" << c.type << "/" << c.recipient;
  }
}

TEST_F(DriverTest, OutRequestCarriesItsDataStageBehindTheHeader) {
  Bytes seen;
  board_->hook = [&](const sim::Setup&, std::span<const std::uint8_t> data) {
    seen.assign(data.begin(), data.end());
    return std::optional<sim::Reply>(sim::Reply{});
  };
  std::uint8_t data[3] = {0x0A, 0x0B, 0x0C};
  ASSERT_EQ(Vendor(kDirectionOut, 0xB2, 0x1234, 0x5678, 3, data), QUORIX_OK);
  const auto sent = Requests(kIoctlControlTransfer);
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_EQ(sent[0].in.size(), 41u);
  EXPECT_EQ(sent[0].SetupBytes(), (Bytes{0x40, 0xB2, 0x34, 0x12, 0x78, 0x56, 0x03, 0x00}));
  SingleTransfer header;
  std::memcpy(&header, sent[0].in.data(), sizeof header);
  EXPECT_EQ(+header.timeout, 1u);
  EXPECT_EQ(+header.endpoint, 0);
  EXPECT_EQ(+header.buffer_offset, 38u);
  EXPECT_EQ(+header.buffer_length, 3u);
  EXPECT_EQ(Bytes(sent[0].in.begin() + 38, sent[0].in.end()), (Bytes{0x0A, 0x0B, 0x0C}));
  EXPECT_EQ(seen, (Bytes{0x0A, 0x0B, 0x0C}));
}

TEST_F(DriverTest, InRequestCopiesTheFullLengthAndZerosWhatTheDeviceDidNotDeliver) {
  board_->hook = [](const sim::Setup&, std::span<const std::uint8_t>) {
    return std::optional<sim::Reply>(sim::Reply{0, {1, 2, 3}});
  };
  std::uint8_t data[8];
  std::memset(data, 0xAA, sizeof data);
  ASSERT_EQ(Vendor(kDirectionIn, 0xB2, 0, 0, 6, data), QUORIX_OK);
  // Six bytes asked, three delivered: the other three are zeros, and nothing past the length
  // is touched.
  EXPECT_EQ(Bytes(data, data + 8), (Bytes{1, 2, 3, 0, 0, 0, 0xAA, 0xAA}));
}

TEST_F(DriverTest, LengthZeroSendsTheBareHeaderWithOrWithoutABuffer) {
  board_->hook = [](const sim::Setup&, std::span<const std::uint8_t>) {
    return std::optional<sim::Reply>(sim::Reply{0, {9, 9}});
  };
  std::uint8_t data[2] = {0x55, 0x55};
  EXPECT_EQ(Vendor(kDirectionIn, 0xB3, 0, 0, 0, nullptr), QUORIX_OK);
  EXPECT_EQ(Vendor(kDirectionIn, 0xB3, 0, 0, 0, data), QUORIX_OK);
  EXPECT_EQ(Vendor(kDirectionOut, 0xB3, 0, 0, 0, data), QUORIX_OK);
  EXPECT_EQ(Bytes(data, data + 2), (Bytes{0x55, 0x55}));
  for (const auto& entry : Requests(kIoctlControlTransfer)) EXPECT_EQ(entry.in.size(), 38u);
}

TEST_F(DriverTest, ArgumentChecksComeInOrderAndSendNothing) {
  std::uint8_t byte = 0;
  EXPECT_EQ(ControlTransfer(device_, nullptr, 0, nullptr), QUORIX_ERR_FAILED);
  EXPECT_EQ(Vendor(kDirectionOut, 0xB2, 0, 0, 1, nullptr), QUORIX_ERR_FAILED);
  EXPECT_EQ(Vendor(kDirectionIn, 0xB2, 0, 0, 1, nullptr), QUORIX_ERR_FAILED);

  // Without a driver handle nothing else is looked at.
  DeviceRecord gone{};
  const ControlRequest r{kDirectionIn, kTypeVendor, kRecipientDevice, 0xB2, 0, 0};
  EXPECT_EQ(ControlTransfer(&gone, nullptr, 1, nullptr), QUORIX_ERR_NO_DRIVER);
  EXPECT_EQ(ControlTransfer(&gone, &r, 1, &byte), QUORIX_ERR_NO_DRIVER);
  EXPECT_EQ(SetConfiguration(&gone, 1), QUORIX_ERR_NO_DRIVER);
  EXPECT_TRUE(bus().Wire().empty());
}

TEST_F(DriverTest, FailuresPassTheWindowsCodeAndLeaveTheBufferAlone) {
  board_->hook = [](const sim::Setup&, std::span<const std::uint8_t>) {
    return std::optional<sim::Reply>(sim::Reply{121, {1, 2}});
  };
  std::uint8_t data[2] = {0x77, 0x77};
  EXPECT_EQ(Vendor(kDirectionIn, 0xB2, 0, 0, 2, data), 121);
  EXPECT_EQ(Bytes(data, data + 2), (Bytes{0x77, 0x77}));

  bus().FailNth(sim::Op::kIoControl, 1, 1167);
  EXPECT_EQ(SetConfiguration(device_, 1), 1167);

  // No memory for the request buffer: -1, and no request.
  bus().ClearWire();
  bus().FailNth(sim::Op::kAllocate, 1, 0);
  EXPECT_EQ(Vendor(kDirectionIn, 0xB2, 0, 0, 2, data), QUORIX_ERR_FAILED);
  EXPECT_TRUE(bus().Wire().empty());
}

TEST_F(DriverTest, ResetBulkPipesSendsAllFourInOrderEvenWhenEachFails) {
  for (int nth = 1; nth <= 4; ++nth) bus().FailNth(sim::Op::kIoControl, nth, 31);
  ResetBulkPipes(device_);
  EXPECT_EQ(PipeRequests(), PipeSequence());
  for (const auto& entry : bus().Wire()) {
    EXPECT_FALSE(entry.ok);
    EXPECT_EQ(entry.in.size(), 1u);
    EXPECT_EQ(entry.out_size, 0u);
    EXPECT_FALSE(entry.overlapped);
  }
  bus().ClearWire();
  ResetBulkPipes(device_);
  EXPECT_EQ(PipeRequests(), PipeSequence());
  for (const auto& entry : bus().Wire()) EXPECT_TRUE(entry.ok);
}

}  // namespace
}  // namespace quorix::test
