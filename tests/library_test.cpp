// The simulated library as an application loads it: its exports and its default board.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "quorix/quorix.h"
#include "quorix/quorix_sim.h"
#include "support/api_names.h"
#include "support/shared_library.h"

namespace {

struct Library : quorix::test::SharedLibrary {
  Library() : SharedLibrary(QUORIX_SIM_LIBRARY) {}
};

TEST(SimLibrary, PresentsTheDefaultBoardWithoutAnyControlCall) {
  Library library;
  ASSERT_TRUE(library.loaded()) << library.error();
  QUORIX_BIND(library, QuorixCountDevices);
  QUORIX_BIND(library, QuorixGetDeviceSerialNumber);
  ASSERT_NE(QuorixCountDevices, nullptr);
  ASSERT_NE(QuorixGetDeviceSerialNumber, nullptr);

  std::int32_t count = -1;
  EXPECT_EQ(QuorixCountDevices(&count), QUORIX_OK);
  EXPECT_EQ(count, 1);
  ASSERT_NE(QuorixGetDeviceSerialNumber(0), nullptr);
  EXPECT_EQ(std::string(QuorixGetDeviceSerialNumber(0)), "QX-SIM-0001");
  EXPECT_EQ(QuorixGetDeviceSerialNumber(1), nullptr);
  EXPECT_EQ(QuorixGetDeviceSerialNumber(-1), nullptr);
}

TEST(SimLibrary, ControlApiShapesTheBus) {
  Library library;
  ASSERT_TRUE(library.loaded()) << library.error();
  QUORIX_BIND(library, QuorixSimReset);
  QUORIX_BIND(library, QuorixSimAddBoard);
  QUORIX_BIND(library, QuorixSimUnplug);
  QUORIX_BIND(library, QuorixSimReplug);
  QUORIX_BIND(library, QuorixCountDevices);
  QUORIX_BIND(library, QuorixGetDeviceSerialNumber);
  ASSERT_TRUE(QuorixSimReset && QuorixSimAddBoard && QuorixSimUnplug && QuorixSimReplug &&
              QuorixCountDevices && QuorixGetDeviceSerialNumber);

  std::int32_t count = -1;
  EXPECT_EQ(QuorixSimReset(), QUORIX_OK);
  EXPECT_EQ(QuorixCountDevices(&count), QUORIX_OK);
  EXPECT_EQ(count, 0);

  const int a = QuorixSimAddBoard("A", 0xDEAD, 0xBEEF);
  const int b = QuorixSimAddBoard("B", 0xDEAD, 0xBEEF);
  const int other = QuorixSimAddBoard("X", 0x1234, 0x0001);
  EXPECT_GT(a, 0);
  EXPECT_EQ(QuorixSimAddBoard(nullptr, 0xDEAD, 0xBEEF), QUORIX_ERR_FAILED);
  EXPECT_EQ(QuorixCountDevices(&count), QUORIX_OK);
  EXPECT_EQ(count, 2);  // the other identity is not counted

  EXPECT_EQ(QuorixSimUnplug(a), QUORIX_OK);
  EXPECT_EQ(QuorixSimUnplug(a), QUORIX_ERR_FAILED);
  EXPECT_EQ(QuorixCountDevices(&count), QUORIX_OK);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(std::string(QuorixGetDeviceSerialNumber(0)), "B");

  EXPECT_EQ(QuorixSimReplug(a), QUORIX_OK);
  EXPECT_EQ(QuorixSimReplug(a), QUORIX_ERR_FAILED);
  EXPECT_EQ(QuorixSimReplug(9999), QUORIX_ERR_FAILED);
  EXPECT_EQ(QuorixCountDevices(&count), QUORIX_OK);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(std::string(QuorixGetDeviceSerialNumber(1)), "A");  // re-plugged boards list last
  (void)b;
  (void)other;
}

// On the real clock, as an application sees it: the default board streams the counter
// pattern, and the control API feeds and drains the bulk endpoints.
TEST(SimLibrary, StreamsFromTheDefaultBoard) {
  Library library;
  ASSERT_TRUE(library.loaded()) << library.error();
  QUORIX_BIND(library, QuorixOpenDevice);
  QUORIX_BIND(library, QuorixCloseDevice);
  QUORIX_BIND(library, QuorixReadDevice);
  QUORIX_BIND(library, QuorixWriteDevice);
  QUORIX_BIND(library, QuorixNumberOfBytesAvailable);
  QUORIX_BIND(library, QuorixSetTimeOut);
  QUORIX_BIND(library, QuorixSimPushIn);
  QUORIX_BIND(library, QuorixSimSetSource);
  QUORIX_BIND(library, QuorixSimSetLoopback);
  QUORIX_BIND(library, QuorixSimTakeOut);
  ASSERT_TRUE(QuorixOpenDevice && QuorixCloseDevice && QuorixReadDevice && QuorixWriteDevice &&
              QuorixNumberOfBytesAvailable && QuorixSetTimeOut && QuorixSimPushIn &&
              QuorixSimSetSource && QuorixSimSetLoopback && QuorixSimTakeOut);

  QuorixHandle device = nullptr;
  ASSERT_EQ(QuorixOpenDevice(0, &device), QUORIX_OK);
  // The first read fills after about 63 ms at 32 MiB/s.
  std::vector<std::uint8_t> data(8192);
  ASSERT_EQ(QuorixReadDevice(device, 8192, data.data()), QUORIX_OK);
  for (std::uint32_t word = 0; word < 2048; ++word) {
    std::uint32_t value = 0;
    std::memcpy(&value, &data[4 * word], 4);
    ASSERT_EQ(value, word);
  }

  // Stopped, with only pushed data and the loopback left. Reopened, so that no read holds
  // part of the stream from before.
  ASSERT_EQ(QuorixCloseDevice(device), QUORIX_OK);
  const int board = 1;
  ASSERT_EQ(QuorixSimSetSource(board, QUORIX_SIM_SOURCE_NONE, 0), QUORIX_OK);
  EXPECT_EQ(QuorixSimSetSource(board, 7, 0), QUORIX_ERR_FAILED);
  ASSERT_EQ(QuorixOpenDevice(0, &device), QUORIX_OK);
  std::uint32_t available = 1;
  ASSERT_EQ(QuorixNumberOfBytesAvailable(device, &available), QUORIX_OK);
  EXPECT_EQ(available, 0u);
  ASSERT_EQ(QuorixSetTimeOut(device, 20), QUORIX_OK);
  EXPECT_EQ(QuorixReadDevice(device, 1, data.data()), QUORIX_ERR_TIMEOUT);

  ASSERT_EQ(QuorixSimPushIn(board, "pushed", 6), QUORIX_OK);
  char text[7] = {};
  ASSERT_EQ(QuorixReadDevice(device, 6, text), QUORIX_OK);
  EXPECT_STREQ(text, "pushed");

  ASSERT_EQ(QuorixWriteDevice(device, 5, "kept!"), QUORIX_OK);
  std::uint32_t taken = 0;
  ASSERT_EQ(QuorixSimTakeOut(board, nullptr, 0, &taken), QUORIX_OK);
  EXPECT_EQ(taken, 5u);
  char out[8] = {};
  ASSERT_EQ(QuorixSimTakeOut(board, out, 3, &taken), QUORIX_OK);
  EXPECT_EQ(std::string(out, taken), "kep");
  ASSERT_EQ(QuorixSimTakeOut(board, out, 8, &taken), QUORIX_OK);
  EXPECT_EQ(std::string(out, taken), "t!");

  ASSERT_EQ(QuorixSimSetLoopback(board, 1), QUORIX_OK);
  ASSERT_EQ(QuorixWriteDevice(device, 4, "echo"), QUORIX_OK);
  char echo[5] = {};
  ASSERT_EQ(QuorixReadDevice(device, 4, echo), QUORIX_OK);
  EXPECT_STREQ(echo, "echo");
  EXPECT_EQ(QuorixSimPushIn(99, "x", 1), QUORIX_ERR_FAILED);
  EXPECT_EQ(QuorixSimTakeOut(board, out, 8, nullptr), QUORIX_ERR_FAILED);
  EXPECT_EQ(QuorixCloseDevice(device), QUORIX_OK);
}

// The board services against the board the control API inspects.
TEST(SimLibrary, BoardServicesReachTheDefaultBoard) {
  Library library;
  ASSERT_TRUE(library.loaded()) << library.error();
  QUORIX_BIND(library, QuorixOpenDevice);
  QUORIX_BIND(library, QuorixCloseDevice);
  QUORIX_BIND(library, QuorixSetPortDOutputsExt);
  QUORIX_BIND(library, QuorixGetPortDOutputs);
  QUORIX_BIND(library, QuorixSetPortDOutputEnable);
  QUORIX_BIND(library, QuorixSetConfFpgaMode);
  QUORIX_BIND(library, QuorixReadEprom);
  QUORIX_BIND(library, QuorixWriteEprom);
  QUORIX_BIND(library, QuorixSetStartupCommand);
  QUORIX_BIND(library, QuorixLoadFirmware);
  QUORIX_BIND(library, QuorixSimReadEeprom);
  QUORIX_BIND(library, QuorixSimWriteEeprom);
  QUORIX_BIND(library, QuorixSimClearStartupArea);
  QUORIX_BIND(library, QuorixSimReadMemory);
  QUORIX_BIND(library, QuorixSimCpuRunning);
  QUORIX_BIND(library, QuorixSimGetBoardState);
  // Bound as a binding without the header's byte type would bind it: a full register.
  auto* set_outputs_wide =
      library.get<int QUORIX_CALL(QuorixHandle, unsigned)>("QuorixSetPortDOutputs");
  ASSERT_TRUE(QuorixOpenDevice && QuorixCloseDevice && QuorixSetPortDOutputsExt &&
              QuorixGetPortDOutputs && QuorixSetPortDOutputEnable && QuorixSetConfFpgaMode &&
              QuorixReadEprom && QuorixWriteEprom && QuorixSetStartupCommand &&
              QuorixLoadFirmware && QuorixSimReadEeprom && QuorixSimWriteEeprom &&
              QuorixSimClearStartupArea && QuorixSimReadMemory && QuorixSimCpuRunning &&
              QuorixSimGetBoardState && set_outputs_wide);
  const int board = 1;
  QuorixHandle device = nullptr;
  ASSERT_EQ(QuorixOpenDevice(0, &device), QUORIX_OK);

  std::uint8_t port_d = 0, enable = 0, mode = 0;
  ASSERT_EQ(set_outputs_wide(device, 0x1A5), QUORIX_OK);
  ASSERT_EQ(QuorixSetPortDOutputEnable(device, 0x0F), QUORIX_OK);
  ASSERT_EQ(QuorixSetConfFpgaMode(device, 2), QUORIX_OK);
  ASSERT_EQ(QuorixSimGetBoardState(board, &port_d, &enable, &mode), QUORIX_OK);
  EXPECT_EQ(port_d, 0xA5);
  EXPECT_EQ(enable, 0x0F);
  EXPECT_EQ(mode, 2);
  const std::uint8_t walk[] = {1, 2, 4, 8};
  ASSERT_EQ(QuorixSetPortDOutputsExt(device, 4, walk), QUORIX_OK);
  ASSERT_EQ(QuorixGetPortDOutputs(device, &port_d), QUORIX_OK);
  EXPECT_EQ(port_d, 8);
  EXPECT_EQ(QuorixSimGetBoardState(99, nullptr, nullptr, nullptr), QUORIX_ERR_FAILED);

  // The EEPROM seen from both sides, and the startup area as the default board has it.
  std::uint8_t bytes[4] = {};
  ASSERT_EQ(QuorixWriteEprom(device, 1, 0x0100, 3, walk), QUORIX_OK);
  ASSERT_EQ(QuorixSimReadEeprom(board, 1, 0x0100, 4, bytes), QUORIX_OK);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + 4),
            (std::vector<std::uint8_t>{1, 2, 4, 0xFF}));
  ASSERT_EQ(QuorixSimWriteEeprom(board, 1, 0x1FFE, 2, "\x12\x34"), QUORIX_OK);
  ASSERT_EQ(QuorixReadEprom(device, 1, 0x1FFC, 4, bytes), QUORIX_OK);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + 4),
            (std::vector<std::uint8_t>{0x01, 0x01, 0x12, 0x34}));
  ASSERT_EQ(QuorixSimReadEeprom(board, 1, QUORIX_SIM_STARTUP_BASE + 7, 2, bytes), QUORIX_OK);
  EXPECT_EQ(bytes[0] | bytes[1] << 8, QUORIX_SIM_STARTUP_COMMAND);
  EXPECT_EQ(QuorixSimReadEeprom(board, 2, 0, 1, bytes), QUORIX_ERR_FAILED);
  ASSERT_EQ(QuorixSimClearStartupArea(board), QUORIX_OK);
  EXPECT_EQ(QuorixSetStartupCommand(device, 1, walk), QUORIX_ERR_NO_STARTUP_AREA);

  // A real image lands in the FX2's RAM and the CPU runs again.
  ASSERT_EQ(QuorixLoadFirmware(device, QUORIX_TEST_DATA "/blink.hex"), QUORIX_OK);
  std::uint8_t reset_vector[3] = {};
  ASSERT_EQ(QuorixSimReadMemory(board, 0x0000, 3, reset_vector), QUORIX_OK);
  EXPECT_EQ(std::vector<std::uint8_t>(reset_vector, reset_vector + 3),
            (std::vector<std::uint8_t>{0x02, 0x00, 0x06}));  // ljmp 0x0006
  EXPECT_EQ(QuorixSimCpuRunning(board), 1);
  EXPECT_EQ(QuorixSimReadMemory(board, 0x3FFF, 2, bytes), QUORIX_ERR_FAILED);
  EXPECT_EQ(QuorixCloseDevice(device), QUORIX_OK);
}

TEST(SimLibrary, ExportsNothingButTheApi) {
  Library library;
  ASSERT_TRUE(library.loaded()) << library.error();
  for (const char* name : quorix::test::kApiFunctions)
    EXPECT_NE(library.get<void>(name), nullptr) << name;
  // Internal routines are hidden: an application can reach only the C API.
  EXPECT_EQ(library.get<void>("_ZN6quorix14RefreshDevicesEv"), nullptr);
  EXPECT_EQ(library.get<void>("_ZN6quorix13ProcessAttachEv"), nullptr);
  EXPECT_EQ(library.get<void>("RefreshDevices"), nullptr);
}

}  // namespace
