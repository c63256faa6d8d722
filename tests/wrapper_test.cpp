// The C++ wrapper over the simulated library, as a C++ application uses it.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "quorix/quorix.hpp"
#include "quorix/quorix_sim.h"

namespace {

class WrapperTest : public testing::Test {
 protected:
  void SetUp() override {
    QuorixSimReset();
    board_ = QuorixSimAddBoard("QX-CPP-0001", QUORIX_VENDOR_ID, QUORIX_PRODUCT_ID);
  }
  int board_ = 0;
};

TEST_F(WrapperTest, ADeviceClosesWhenDestroyedAndMovesItsHandle) {
  QuorixHandle handle = nullptr;
  {
    quorix::Device device = quorix::Device::Open(0);
    handle = device.native_handle();
    quorix::Device moved = std::move(device);
    EXPECT_FALSE(device);
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved.native_handle(), handle);
    EXPECT_EQ(QuorixCloseDevice(nullptr), QUORIX_ERR_FAILED);
  }
  EXPECT_EQ(QuorixCloseDevice(handle), QUORIX_ERR_NOT_OPEN) << "closed by the destructor";
  quorix::Device again = quorix::Device::OpenSerial("QX-CPP-0001");
  again.Close();
  EXPECT_FALSE(again);
  EXPECT_NO_THROW(again.Close()) << "closing an empty device does nothing";
}

TEST_F(WrapperTest, FailuresThrowOrReportTheStatus) {
  try {
    (void)quorix::Device::Open(7);
    FAIL() << "no board 7";
  } catch (const quorix::Error& error) {
    EXPECT_EQ(error.status(), QUORIX_ERR_FAILED);
    EXPECT_EQ(error.code(), quorix::Status::kFailed);
  }
  std::error_code ec;
  quorix::Device none = quorix::Device::Open(7, ec);
  EXPECT_EQ(ec, quorix::Status::kFailed);
  EXPECT_FALSE(none);

  // A read that times out, in both forms; the code compares with the portable condition.
  QuorixSimSetSource(board_, QUORIX_SIM_SOURCE_NONE, 0);
  quorix::Device device = quorix::Device::Open(0);
  device.SetTimeout(std::chrono::milliseconds(10));
  std::vector<std::uint8_t> buffer(64);
  device.Read(std::span(buffer), ec);
  EXPECT_EQ(ec, quorix::Status::kTimeout);
  EXPECT_EQ(ec, std::errc::timed_out);
  EXPECT_THROW(device.Read(std::span(buffer)), quorix::Error);
  EXPECT_EQ(quorix::Device::Open(0, ec).native_handle(), nullptr);
  EXPECT_EQ(ec, quorix::Status::kAlreadyOpen);
}

TEST_F(WrapperTest, EveryStatusHasANameAndAMessage) {
  const std::error_category& category = quorix::Category();
  EXPECT_STREQ(category.name(), "quorix");
  for (int status = 0; status >= QUORIX_ERR_NO_SPACE; --status) {
    EXPECT_EQ(quorix::StatusName(status).rfind("QUORIX_", 0), 0u) << status;
    EXPECT_FALSE(category.message(status).empty()) << status;
  }
  EXPECT_EQ(quorix::StatusName(QUORIX_ERR_TIMEOUT), "QUORIX_ERR_TIMEOUT");
  EXPECT_EQ(quorix::StatusMeaning(QUORIX_ERR_TIMEOUT), "the transfer did not complete in time");
  EXPECT_EQ(quorix::StatusName(121), "Windows error 121 (ERROR_SEM_TIMEOUT)");
  EXPECT_EQ(quorix::StatusName(4242), "Windows error 4242");
  EXPECT_EQ(quorix::StatusMeaning(4242), "");
  // Windows codes keep their number.
  const std::error_code busy = quorix::MakeErrorCode(170);
  EXPECT_EQ(busy.value(), 170);
  EXPECT_EQ(busy.message(), "Windows error 170: the resource is busy");
  EXPECT_EQ(busy, std::errc::device_or_resource_busy);
  EXPECT_EQ(quorix::MakeErrorCode(4242).message(), "Windows error 4242");
  EXPECT_NE(quorix::MakeErrorCode(4242), std::errc::io_error);
}

TEST_F(WrapperTest, SpansReachTheBoardAndTheBoardControlsWork) {
  quorix::Device device = quorix::Device::Open(0);
  EXPECT_EQ(quorix::CountDevices(), 1);
  EXPECT_EQ(quorix::SerialNumber(0), "QX-CPP-0001");
  EXPECT_EQ(quorix::SerialNumber(1), std::nullopt);

  std::vector<std::uint32_t> words(4096);  // the counter pattern, read as words
  device.Read(std::span(words));
  for (std::uint32_t i = 0; i < words.size(); ++i) ASSERT_EQ(words[i], i);
  EXPECT_EQ(device.Read(8).size(), 8u);

  const std::uint8_t command[] = {1, 2, 3};
  device.Write(std::span(command));
  std::uint8_t out[3] = {};
  std::uint32_t taken = 0;
  ASSERT_EQ(QuorixSimTakeOut(board_, out, sizeof out, &taken), 0);
  EXPECT_EQ(taken, 3u);
  EXPECT_EQ(std::memcmp(out, command, 3), 0);

  device.SetPortD(0xA5);
  EXPECT_EQ(device.PortD(), 0xA5);
  const std::uint8_t steps[] = {1, 2, 4};
  device.SetPortDSequence(steps);
  EXPECT_EQ(device.PortD(), 4);
  device.SetPortDEnable(0x0F);
  device.SetFpgaMode(2);
  std::uint8_t port_d = 0, enable = 0, mode = 0;
  QuorixSimGetBoardState(board_, &port_d, &enable, &mode);
  EXPECT_EQ(enable, 0x0F);
  EXPECT_EQ(mode, 2);

  const std::uint8_t bytes[] = {9, 8, 7};
  device.WriteEeprom(0x0040, bytes);
  std::uint8_t back[3] = {};
  device.ReadEeprom(0x0040, back);
  EXPECT_EQ(std::memcmp(back, bytes, 3), 0);
  std::vector<std::uint8_t> too_many(256);
  EXPECT_THROW(device.ReadEeprom(0, too_many), quorix::Error) << "refused, not cut to 0";

  device.LoadFirmware(QUORIX_FIRMWARE "/blink.hex");
  EXPECT_EQ(QuorixSimCpuRunning(board_), 1);
  QuorixSimClearStartupArea(board_);
  try {
    device.SetStartupCommand("go");
    FAIL();
  } catch (const quorix::Error& error) {
    EXPECT_EQ(error.code(), quorix::Status::kNoStartupArea);
  }
}

}  // namespace
