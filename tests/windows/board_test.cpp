// KV420_FX2.dll end to end under Wine, against the kernel-mode test boards
// (board/board_driver.c): the real SetupAPI listing, CreateFileA on the boards' interface
// paths, overlapped DeviceIoControl with reads that pend and complete later or inside the
// call, events, abort and reset of real pending requests, and surprise removal. The library is
// used as an application uses it, through its 18 exports; the boards' control device shows
// what reached them.
//
// The prefix holds three boards (the test fixture of CMakeLists.txt installs them). Each test
// loads the DLL afresh and unloads it at its end, so each starts with an empty registry. One
// test runs the program again as a child that ends with boards open.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ends_itself.h"
#include "quorix/quorix.h"
#include "support/shared_library.h"
#include "test_boards.h"

namespace quorix::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kBoards = 3;
constexpr std::uint32_t kFirstRead = 2096640;  // the ring less one packet
constexpr std::uint64_t kMiB = 1 << 20;
constexpr std::uint32_t kDeviceNotConnected = 1167;
constexpr std::uint32_t kGenFailure = 31;
// Long enough for a reader thread to be waiting inside QuorixReadDevice, also where 32-bit
// Wine runs under an emulator.
constexpr auto kReaderWaits = std::chrono::seconds(2);

// Waits until the state holds, within a limit far beyond what a busy machine needs: whether it
// did.
template <typename F>
bool Await(F holds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!holds()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The exports, bound by name from the loaded module.
struct Api {
  decltype(&::QuorixCountDevices) QuorixCountDevices;
  decltype(&::QuorixGetDeviceSerialNumber) QuorixGetDeviceSerialNumber;
  decltype(&::QuorixOpenDevice) QuorixOpenDevice;
  decltype(&::QuorixOpenDeviceWithSerial) QuorixOpenDeviceWithSerial;
  decltype(&::QuorixCloseDevice) QuorixCloseDevice;
  decltype(&::QuorixNumberOfBytesAvailable) QuorixNumberOfBytesAvailable;
  decltype(&::QuorixReadDevice) QuorixReadDevice;
  decltype(&::QuorixWriteDevice) QuorixWriteDevice;
  decltype(&::QuorixSetTimeOut) QuorixSetTimeOut;
  decltype(&::QuorixSetPortDOutputs) QuorixSetPortDOutputs;
  decltype(&::QuorixSetPortDOutputsExt) QuorixSetPortDOutputsExt;
  decltype(&::QuorixGetPortDOutputs) QuorixGetPortDOutputs;
  decltype(&::QuorixSetPortDOutputEnable) QuorixSetPortDOutputEnable;
  decltype(&::QuorixSetConfFpgaMode) QuorixSetConfFpgaMode;
  decltype(&::QuorixReadEprom) QuorixReadEprom;
  decltype(&::QuorixWriteEprom) QuorixWriteEprom;
  decltype(&::QuorixSetStartupCommand) QuorixSetStartupCommand;
  decltype(&::QuorixLoadFirmware) QuorixLoadFirmware;
  decltype(&::QuorixOpenDeviceQueued) QuorixOpenDeviceQueued;
  decltype(&::QuorixGetStreamStatistics) QuorixGetStreamStatistics;
  decltype(&::QuorixGetReadyHandle) QuorixGetReadyHandle;
  decltype(&::QuorixSetReadyThreshold) QuorixSetReadyThreshold;
  decltype(&::QuorixWaitForBytes) QuorixWaitForBytes;
  decltype(&::QuorixRegisterPlugCallback) QuorixRegisterPlugCallback;
  decltype(&::QuorixUnregisterPlugCallback) QuorixUnregisterPlugCallback;

  // True when every export was found.
  bool Bind(const SharedLibrary& library) {
    bool all = true;
    auto bind = [&](auto& slot, const char* name) {
      slot = library.get<std::remove_pointer_t<std::remove_reference_t<decltype(slot)>>>(name);
      all = all && slot != nullptr;
    };
#define QUORIX_BOARD_TEST_BIND(name) bind(name, #name)
    QUORIX_BOARD_TEST_BIND(QuorixCountDevices);
    QUORIX_BOARD_TEST_BIND(QuorixGetDeviceSerialNumber);
    QUORIX_BOARD_TEST_BIND(QuorixOpenDevice);
    QUORIX_BOARD_TEST_BIND(QuorixOpenDeviceWithSerial);
    QUORIX_BOARD_TEST_BIND(QuorixCloseDevice);
    QUORIX_BOARD_TEST_BIND(QuorixNumberOfBytesAvailable);
    QUORIX_BOARD_TEST_BIND(QuorixReadDevice);
    QUORIX_BOARD_TEST_BIND(QuorixWriteDevice);
    QUORIX_BOARD_TEST_BIND(QuorixSetTimeOut);
    QUORIX_BOARD_TEST_BIND(QuorixSetPortDOutputs);
    QUORIX_BOARD_TEST_BIND(QuorixSetPortDOutputsExt);
    QUORIX_BOARD_TEST_BIND(QuorixGetPortDOutputs);
    QUORIX_BOARD_TEST_BIND(QuorixSetPortDOutputEnable);
    QUORIX_BOARD_TEST_BIND(QuorixSetConfFpgaMode);
    QUORIX_BOARD_TEST_BIND(QuorixReadEprom);
    QUORIX_BOARD_TEST_BIND(QuorixWriteEprom);
    QUORIX_BOARD_TEST_BIND(QuorixSetStartupCommand);
    QUORIX_BOARD_TEST_BIND(QuorixLoadFirmware);
    QUORIX_BOARD_TEST_BIND(QuorixOpenDeviceQueued);
    QUORIX_BOARD_TEST_BIND(QuorixGetStreamStatistics);
    QUORIX_BOARD_TEST_BIND(QuorixGetReadyHandle);
    QUORIX_BOARD_TEST_BIND(QuorixSetReadyThreshold);
    QUORIX_BOARD_TEST_BIND(QuorixWaitForBytes);
    QUORIX_BOARD_TEST_BIND(QuorixRegisterPlugCallback);
    QUORIX_BOARD_TEST_BIND(QuorixUnregisterPlugCallback);
#undef QUORIX_BOARD_TEST_BIND
    return all;
  }
};

std::uint8_t CounterByte(std::uint64_t position) {
  return static_cast<std::uint8_t>((position / 4) >> (8 * (position % 4)));
}

// Where data, which should be the counter pattern from position on, first departs from it;
// size when it does not.
std::size_t CounterBreak(const std::uint8_t* data, std::size_t size, std::uint64_t position) {
  std::size_t i = 0;
  for (; i < size && (position + i) % 4 != 0; ++i)
    if (data[i] != CounterByte(position + i)) return i;
  auto word = static_cast<std::uint32_t>((position + i) / 4);
  for (; i + 4 <= size; i += 4, ++word) {
    std::uint32_t value;
    std::memcpy(&value, data + i, 4);
    if (value != word) break;
  }
  for (; i < size; ++i)
    if (data[i] != CounterByte(position + i)) return i;
  return size;
}

// The setup stage of a control request as bytes, for comparing with the board's log.
Bytes SetupStage(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                 std::uint16_t length) {
  return {type,
          request,
          static_cast<std::uint8_t>(value),
          static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(index),
          static_cast<std::uint8_t>(index >> 8),
          static_cast<std::uint8_t>(length),
          static_cast<std::uint8_t>(length >> 8)};
}

std::vector<Bytes> SetupLog(const QxbState& state) {
  std::vector<Bytes> log;
  for (std::uint32_t i = 0; i < state.setup_count; ++i)
    log.emplace_back(state.setup_log[i].setup, state.setup_log[i].setup + 8);
  return log;
}

class BoardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    boards_ = std::make_unique<TestBoards>();
    ASSERT_EQ(boards_->Count(), kBoards);
    boards_->ResetAll();
    library_ = std::make_unique<SharedLibrary>("KV420_FX2.dll");
    ASSERT_TRUE(library_->loaded()) << library_->error();
    ASSERT_TRUE(api_.Bind(*library_));
  }

  // Unloading the library releases whatever a test left open; no board keeps a request or a
  // handle of it.
  void TearDown() override {
    if (library_) {
      EXPECT_TRUE(library_->Unload());
    }
    EXPECT_EQ(GetModuleHandleA("KV420_FX2.dll"), nullptr);
    if (!boards_) return;
    for (std::uint32_t i = 0; i < kBoards; ++i) {
      const QxbState state = Settled(i);
      EXPECT_EQ(state.pending[QXB_IN], 0u) << "board " << i;
      EXPECT_EQ(state.pending[QXB_OUT], 0u) << "board " << i;
      EXPECT_EQ(state.handles, 0u) << "board " << i;
    }
  }

  // The board's state once the handles that are being closed have reached it: Wine hands a
  // close to the driver after CloseHandle has returned.
  QxbState Settled(std::uint32_t board) {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    QxbState state = boards_->State(board);
    while (state.handles != 0 && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      state = boards_->State(board);
    }
    return state;
  }

  std::int32_t Count() {
    std::int32_t count = -1;
    EXPECT_EQ(api_.QuorixCountDevices(&count), QUORIX_OK);
    return count;
  }

  std::string Serial(std::int32_t index) {
    const char* serial = api_.QuorixGetDeviceSerialNumber(index);
    return serial != nullptr ? serial : "(none)";
  }

  QuorixHandle Open(std::int32_t index) {
    QuorixHandle handle = nullptr;
    EXPECT_EQ(api_.QuorixOpenDevice(index, &handle), QUORIX_OK) << "board index " << index;
    return handle;
  }

  std::unique_ptr<TestBoards> boards_;
  std::unique_ptr<SharedLibrary> library_;
  Api api_{};
};

// ---- discovery ----

using Discovery = BoardTest;

TEST_F(Discovery, FindsOneBoardAndReadsItsIdentityWithTenRequests) {
  boards_->Unplug(1);
  boards_->Unplug(2);
  EXPECT_EQ(Count(), 1);
  EXPECT_EQ(Serial(0), "QX-WINE-0001");
  EXPECT_EQ(api_.QuorixGetDeviceSerialNumber(1), nullptr);
  EXPECT_EQ(api_.QuorixGetDeviceSerialNumber(-1), nullptr);

  // The device descriptor, then for each string a length probe twice and the whole descriptor.
  const QxbState state = boards_->State(0);
  const std::vector<Bytes> expected = {
      SetupStage(0x80, 6, 0x0100, 0, 18), SetupStage(0x80, 6, 0x0301, 0, 1),
      SetupStage(0x80, 6, 0x0301, 0, 1),  SetupStage(0x80, 6, 0x0301, 0, 14),
      SetupStage(0x80, 6, 0x0302, 0, 1),  SetupStage(0x80, 6, 0x0302, 0, 1),
      SetupStage(0x80, 6, 0x0302, 0, 34), SetupStage(0x80, 6, 0x0303, 0, 1),
      SetupStage(0x80, 6, 0x0303, 0, 1),  SetupStage(0x80, 6, 0x0303, 0, 26)};
  EXPECT_EQ(SetupLog(state), expected);
  EXPECT_EQ(state.handles, 1u);  // the library keeps the board's driver handle

  // A known board costs no request.
  EXPECT_EQ(Count(), 1);
  EXPECT_EQ(Serial(0), "QX-WINE-0001");
  EXPECT_EQ(boards_->State(0).control_transfers, 10u);
}

TEST_F(Discovery, FindsThreeBoardsAndCountsOnlyTheBoardsIdentity) {
  EXPECT_EQ(Count(), 3);
  EXPECT_EQ(Serial(0), "QX-WINE-0001");
  EXPECT_EQ(Serial(1), "QX-WINE-0002");
  EXPECT_EQ(Serial(2), "QX-WINE-0003");
  EXPECT_EQ(api_.QuorixGetDeviceSerialNumber(3), nullptr);
  ASSERT_TRUE(library_->Unload());
  boards_->ResetAll();

  // Another product, and a vendor that differs only in its high byte, are not this board.
  boards_->Set(0, [](QxbKnobs& knobs) { knobs.product = 0xBEEE; });
  boards_->Set(2, [](QxbKnobs& knobs) { knobs.vendor = 0x00AD; });
  boards_->Set(1, [](QxbKnobs& knobs) { std::strcpy(knobs.serial, "Serial \xE9 two"); });
  library_ = std::make_unique<SharedLibrary>("KV420_FX2.dll");
  ASSERT_TRUE(api_.Bind(*library_));
  EXPECT_EQ(Count(), 1);
  EXPECT_EQ(Serial(0), "Serial \xE9 two");  // the low byte of each UTF-16 unit
  QuorixHandle handle = nullptr;
  EXPECT_EQ(api_.QuorixOpenDevice(1, &handle), QUORIX_ERR_FAILED);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(api_.QuorixOpenDeviceWithSerial("QX-WINE-0001", &handle), QUORIX_ERR_FAILED);
  // Each record read its identity, counted or not.
  for (std::uint32_t i = 0; i < kBoards; ++i) EXPECT_EQ(boards_->State(i).control_transfers, 10u);
}

TEST_F(Discovery, KeepsABoardWhoseDescriptorFailedWithoutIdentity) {
  // Board 2 stalls the device descriptor's request once.
  boards_->Set(2,
               [](QxbKnobs& knobs) { knobs.fault = {0x220020, 6, 0, 1, kStatusUnsuccessful, 0}; });
  EXPECT_EQ(Count(), 2);
  EXPECT_EQ(boards_->State(2).control_transfers, 1u);
  EXPECT_EQ(boards_->State(2).handles, 1u);  // the record stays, with its handle
  // Its identity is not read again while its interface stays listed.
  EXPECT_EQ(Count(), 2);
  EXPECT_EQ(api_.QuorixGetDeviceSerialNumber(2), nullptr);
  EXPECT_EQ(boards_->State(2).control_transfers, 1u);
}

// ---- opening and closing ----

using OpenClose = BoardTest;

TEST_F(OpenClose, OpensByIndexAndSerialOnceAndOnlyForItsOwner) {
  QuorixHandle first = Open(0);
  ASSERT_NE(first, nullptr);
  QxbState state = boards_->State(0);
  EXPECT_EQ(state.configuration, 1);
  EXPECT_EQ(state.set_configurations, 1u);
  EXPECT_EQ(SetupLog(state).back(), SetupStage(0x00, 9, 1, 0, 0));
  EXPECT_EQ(state.transfers[QXB_IN], 1u);
  EXPECT_EQ(state.last_in_length, kFirstRead);

  QuorixHandle again = reinterpret_cast<QuorixHandle>(1);
  EXPECT_EQ(api_.QuorixOpenDevice(0, &again), QUORIX_ERR_ALREADY_OPEN);
  EXPECT_EQ(again, nullptr);
  EXPECT_EQ(api_.QuorixOpenDeviceWithSerial("QX-WINE-0001", &again), QUORIX_ERR_ALREADY_OPEN);

  QuorixHandle second = nullptr;
  EXPECT_EQ(api_.QuorixOpenDeviceWithSerial("qx-wine-0002", &second), QUORIX_ERR_FAILED);
  EXPECT_EQ(api_.QuorixOpenDeviceWithSerial("QX-WINE-000", &second), QUORIX_ERR_FAILED);
  EXPECT_EQ(api_.QuorixOpenDeviceWithSerial(nullptr, &second), QUORIX_ERR_FAILED);
  ASSERT_EQ(api_.QuorixOpenDeviceWithSerial("QX-WINE-0002", &second), QUORIX_OK);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  EXPECT_EQ(boards_->State(1).configuration, 1);
  EXPECT_EQ(api_.QuorixOpenDevice(3, &again), QUORIX_ERR_FAILED);
  EXPECT_EQ(api_.QuorixOpenDevice(-1, &again), QUORIX_ERR_FAILED);

  // Closing aborts and resets both pipes once, which ends the pending read.
  EXPECT_EQ(api_.QuorixCloseDevice(first), QUORIX_OK);
  state = boards_->State(0);
  EXPECT_EQ(state.aborts[QXB_IN], 1u);
  EXPECT_EQ(state.aborts[QXB_OUT], 1u);
  EXPECT_EQ(state.resets[QXB_IN], 1u);
  EXPECT_EQ(state.resets[QXB_OUT], 1u);
  EXPECT_EQ(state.pending[QXB_IN], 0u);
  EXPECT_EQ(state.handles, 1u);  // the board is still known

  // A closed device's handle passes the gate only to be told it is not open.
  std::uint32_t count = 7;
  std::uint8_t byte = 0;
  EXPECT_EQ(api_.QuorixCloseDevice(first), QUORIX_ERR_NOT_OPEN);
  EXPECT_EQ(api_.QuorixNumberOfBytesAvailable(first, &count), QUORIX_ERR_NOT_OPEN);
  EXPECT_EQ(count, 7u);
  EXPECT_EQ(api_.QuorixReadDevice(first, 1, &byte), QUORIX_ERR_NOT_OPEN);
  EXPECT_EQ(api_.QuorixSetTimeOut(first, 10), QUORIX_ERR_NOT_OPEN);
  EXPECT_EQ(api_.QuorixGetPortDOutputs(first, &byte), QUORIX_ERR_NOT_OPEN);
  int unknown = 0;
  EXPECT_EQ(api_.QuorixCloseDevice(reinterpret_cast<QuorixHandle>(&unknown)), QUORIX_ERR_FAILED);
  EXPECT_EQ(api_.QuorixCloseDevice(nullptr), QUORIX_ERR_FAILED);
  EXPECT_EQ(boards_->State(0).aborts[QXB_IN], 1u);

  // Opened again, it is the same record.
  EXPECT_EQ(Open(0), first);
  EXPECT_EQ(boards_->State(0).set_configurations, 2u);
  EXPECT_EQ(api_.QuorixCloseDevice(first), QUORIX_OK);
  EXPECT_EQ(api_.QuorixCloseDevice(second), QUORIX_OK);
}

TEST_F(OpenClose, AReadTheAbortDidNotEndIsEndedByClosingTheHandleBeforeTheRingGoes) {
  boards_->Set(0, [](QxbKnobs& knobs) { knobs.in_paused = 1; });
  QuorixHandle handle = Open(0);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(boards_->State(0).pending[QXB_IN], 1u);
  boards_->Set(
      0, [](QxbKnobs& knobs) { knobs.fault = {0x220044, 0x86, 0, 1, kStatusUnsuccessful, 0}; });
  EXPECT_EQ(api_.QuorixCloseDevice(handle), QUORIX_OK);
  // The board saw the failed abort, then its handle closed, which ended the read.
  const QxbState state = Settled(0);
  EXPECT_EQ(state.failed, 1u);
  EXPECT_EQ(state.pending[QXB_IN], 0u);
  EXPECT_EQ(state.handles, 0u);
  // Without its connection the record went; the board comes back as a new one.
  EXPECT_EQ(Count(), 3);
  EXPECT_EQ(Serial(2), "QX-WINE-0001");
  EXPECT_EQ(boards_->State(0).control_transfers, 21u);  // identity, configuration, identity
}

// ---- requests that pend ----

using Requests = BoardTest;

// A board's driver completes a control transfer once the board has answered, so the request
// pends; so may an abort or a reset. The library waits for each of its own, although the
// driver handle is opened for overlapped I/O and a read is outstanding on it.
TEST_F(Requests, ThatPendAreWaitedForOneByOne) {
  for (std::uint32_t i = 0; i < kBoards; ++i)
    boards_->Set(i, [](QxbKnobs& knobs) { knobs.requests_later = 1; });
  EXPECT_EQ(Count(), 3);
  EXPECT_EQ(Serial(0), "QX-WINE-0001");
  EXPECT_EQ(Serial(2), "QX-WINE-0003");
  QuorixHandle handle = Open(0);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(boards_->State(0).configuration, 1);

  Bytes area(4);
  EXPECT_EQ(api_.QuorixReadEprom(handle, 1, 0x1FF8, 4, area.data()), QUORIX_OK);
  EXPECT_EQ(area, (Bytes{0xE8, 0x1F, 0xFF, 0xFF}));
  std::uint8_t outputs = 0;
  EXPECT_EQ(api_.QuorixSetPortDOutputs(handle, 0x5A), QUORIX_OK);
  EXPECT_EQ(api_.QuorixGetPortDOutputs(handle, &outputs), QUORIX_OK);
  EXPECT_EQ(outputs, 0x5A);
  // A refused request still reports its own failure.
  EXPECT_EQ(api_.QuorixReadEprom(handle, 9, 0, 4, area.data()), static_cast<int>(kGenFailure));

  // Requests on endpoint 0 while the stream runs.
  Bytes data(kMiB);
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(api_.QuorixReadDevice(handle, kMiB, data.data()), QUORIX_OK);
    ASSERT_EQ(CounterBreak(data.data(), data.size(), i * kMiB), data.size()) << "MiB " << i;
    ASSERT_EQ(api_.QuorixGetPortDOutputs(handle, &outputs), QUORIX_OK);
    ASSERT_EQ(outputs, 0x5A);
  }

  EXPECT_EQ(api_.QuorixCloseDevice(handle), QUORIX_OK);
  const QxbState state = boards_->State(0);
  EXPECT_EQ(state.aborts[QXB_IN], 1u);
  EXPECT_EQ(state.resets[QXB_OUT], 1u);
  EXPECT_EQ(state.pending[QXB_IN], 0u);
  // Identity 10, configuration 1, EEPROM 2, port D 2, the refused address 1, port D 4, close 4.
  EXPECT_EQ(state.pended_requests, 24u);
}

// ---- streaming ----

class Streaming : public BoardTest {
 protected:
  struct Figures {
    std::uint64_t bytes = 0;
    double seconds = 0;
    std::uint64_t polls = 0;
  };

  enum class Loop {
    kRead,          // read 1 MiB at a time
    kPollThenRead,  // poll until 64 KiB are held, then read 64 KiB
    kReadThenPoll,  // read 64 KiB, then poll once
  };

  // Streams total bytes of the counter pattern from board 0 and checks every byte.
  Figures Stream(std::uint64_t total, Loop loop) {
    Figures figures;
    QuorixHandle handle = Open(0);
    if (handle == nullptr) return figures;
    EXPECT_EQ(api_.QuorixSetTimeOut(handle, 5000), QUORIX_OK);
    const std::uint32_t block = loop == Loop::kRead ? kMiB : 64 * 1024;
    Bytes data(block);
    const auto start = Clock::now();
    while (figures.bytes < total) {
      std::uint32_t held = 0;
      if (loop == Loop::kPollThenRead) {
        do {
          const int status = api_.QuorixNumberOfBytesAvailable(handle, &held);
          ++figures.polls;
          if (status != QUORIX_OK) {
            ADD_FAILURE() << "poll: " << status << " at " << figures.bytes;
            return figures;
          }
        } while (held < block);
      }
      const int status = api_.QuorixReadDevice(handle, block, data.data());
      if (status != QUORIX_OK) {
        ADD_FAILURE() << "read: " << status << " at " << figures.bytes;
        return figures;
      }
      const std::size_t at = CounterBreak(data.data(), block, figures.bytes);
      if (at != block) {
        ADD_FAILURE() << "the counter pattern breaks at " << figures.bytes + at;
        return figures;
      }
      figures.bytes += block;
      if (loop == Loop::kReadThenPoll) {
        EXPECT_EQ(api_.QuorixNumberOfBytesAvailable(handle, &held), QUORIX_OK);
        ++figures.polls;
      }
    }
    figures.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(api_.QuorixCloseDevice(handle), QUORIX_OK);
    std::printf("[ figures  ] %" PRIu64 " MiB in %.2f s: %.1f MB/s, %" PRIu64 " polls\n",
                figures.bytes / kMiB, figures.seconds, figures.bytes / figures.seconds / 1e6,
                figures.polls);
    return figures;
  }
};

TEST_F(Streaming, SixtyFourMiBWithReadsThatPendAndCompleteLater) {
  Stream(64 * kMiB, Loop::kRead);
  const QxbState state = boards_->State(0);
  EXPECT_GE(state.in_bytes, 64 * kMiB);
  EXPECT_EQ(state.at_once[QXB_IN], 0u);
  EXPECT_GT(state.transfers[QXB_IN], 32u);
}

TEST_F(Streaming, SixtyFourMiBWithReadsCompletedInsideTheCall) {
  // Whole, short and zero-length completions, every other one inside the call.
  boards_->Set(0, [](QxbKnobs& knobs) {
    knobs.in_mode = QXB_IN_AT_ONCE;
    const std::uint32_t sizes[] = {QXB_WHOLE, 65536, 1000, 0, 333 * 1024 + 7, QXB_WHOLE};
    std::memcpy(knobs.in_sizes, sizes, sizeof sizes);
    knobs.in_size_count = 6;
  });
  Stream(64 * kMiB, Loop::kRead);
  const QxbState state = boards_->State(0);
  EXPECT_GT(state.at_once[QXB_IN], 10u);
  EXPECT_GT(state.transfers[QXB_IN], state.at_once[QXB_IN]);
}

TEST_F(Streaming, SixtyFourMiBPollingThenReading) {
  const Figures figures = Stream(64 * kMiB, Loop::kPollThenRead);
  EXPECT_GT(figures.polls, 1024u);
}

TEST_F(Streaming, SixtyFourMiBReadingThenPolling) { Stream(64 * kMiB, Loop::kReadThenPoll); }

// Through the DLL: a program that pauses 200 ms after every MiB falls behind a board that
// cannot wait. With the classic read the 2 MiB ring fills and the board drops; with reads kept
// queued into a larger ring, the pump keeps reads at the board and nothing is lost.
TEST_F(Streaming, ReadsKeptQueuedLoseNothingOfAFixedRateSourceWhereTheClassicReadDrops) {
  for (const bool queued : {false, true}) {
    const QuorixReadQueue queue{8, 64 * 1024, 16 * kMiB};
    QuorixHandle handle = nullptr;
    ASSERT_EQ(api_.QuorixOpenDeviceQueued(0, nullptr, queued ? &queue : nullptr, &handle),
              QUORIX_OK);
    EXPECT_EQ(api_.QuorixSetTimeOut(handle, 5000), QUORIX_OK);
    boards_->Set(0, [](QxbKnobs& knobs) {
      knobs.source = QXB_SOURCE_FIXED_RATE;
      knobs.source_rate = 2000000;
      knobs.fifo_bytes = 2048;
    });
    Bytes data(64 * 1024);
    // The first MiB settles the switch of sources; the count starts behind it.
    for (int i = 0; i < 16; ++i)
      ASSERT_EQ(api_.QuorixReadDevice(handle, 64 * 1024, data.data()), QUORIX_OK);
    const std::uint64_t dropped_before = boards_->State(0).dropped_bytes;
    // The pattern's position of the byte at p, from the 64 bytes there.
    auto where = [](const std::uint8_t* p) {
      for (std::uint32_t skip = 0; skip < 4; ++skip) {
        std::uint32_t word = 0;
        std::memcpy(&word, p + skip, 4);
        const std::uint64_t at = std::uint64_t{word} * 4 - skip;
        if (CounterBreak(p, 64, at) == 64) return at;
      }
      return std::uint64_t{0};
    };
    std::uint64_t position = 0, breaks = 0;
    const auto start = Clock::now();
    for (std::uint32_t block = 0; block < 128; ++block) {
      ASSERT_EQ(api_.QuorixReadDevice(handle, 64 * 1024, data.data()), QUORIX_OK);
      if (block == 0) position = where(data.data());
      if (CounterBreak(data.data(), data.size(), position) != data.size()) {
        ++breaks;  // the counter went on through a drop
        position = where(data.data() + data.size() - 64) - (data.size() - 64);
      }
      position += data.size();
      if (block % 16 == 15) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    QuorixStreamStatistics stats{};
    stats.size = sizeof stats;
    EXPECT_EQ(api_.QuorixGetStreamStatistics(handle, &stats), QUORIX_OK);
    // Before the close, which leaves the source without reads.
    const std::uint64_t dropped = boards_->State(0).dropped_bytes - dropped_before;
    EXPECT_EQ(api_.QuorixCloseDevice(handle), QUORIX_OK);
    boards_->Set(0, [](QxbKnobs& knobs) { knobs.source = QXB_SOURCE_PACED; });
    std::printf(
        "[ figures  ] %s, 2,000,000 B/s into a 2 KiB FIFO, 8 MiB with a 200 ms pause per "
        "MiB: %" PRIu64 " bytes dropped, %" PRIu64
        " reads with a break in the counter, %.2f MB/s, "
        "%" PRIu64 " gaps without a read\n",
        queued ? "queued 8x64K" : "classic", dropped, breaks, 8 * kMiB / seconds / 1e6, stats.gaps);
    if (queued) {
      EXPECT_EQ(dropped, 0u);
      EXPECT_EQ(breaks, 0u);
    } else {
      EXPECT_GT(dropped, 0u) << "the source is real: the classic read leaves it without a read";
    }
  }
}

TEST_F(Streaming, ShortAndZeroLengthCompletionsKeepThePattern) {
  boards_->Set(0, [](QxbKnobs& knobs) {
    const std::uint32_t sizes[] = {0, 100, 512, 3, 4096, 0, 0, 7};
    std::memcpy(knobs.in_sizes, sizes, sizeof sizes);
    knobs.in_size_count = 8;
  });
  QuorixHandle handle = Open(0);
  ASSERT_NE(handle, nullptr);
  Bytes data(100000);
  ASSERT_EQ(api_.QuorixReadDevice(handle, static_cast<std::uint32_t>(data.size()), data.data()),
            QUORIX_OK);
  EXPECT_EQ(CounterBreak(data.data(), data.size(), 0), data.size());
  // Every completion, empty or not, is followed by the next read: eight reads per 4718 bytes.
  const QxbState state = boards_->State(0);
  EXPECT_GT(state.transfers[QXB_IN], 100000u / 4718 * 8);
  EXPECT_EQ(api_.QuorixCloseDevice(handle), QUORIX_OK);
}

TEST_F(Streaming, TimesOutOnAPausedSourceWithTheReadStillPending) {
  boards_->Set(0, [](QxbKnobs& knobs) { knobs.in_paused = 1; });
  QuorixHandle handle = Open(0);
  ASSERT_NE(handle, nullptr);
  std::uint32_t held = 99;
  EXPECT_EQ(api_.QuorixNumberOfBytesAvailable(handle, &held), QUORIX_OK);
  EXPECT_EQ(held, 0u);
  Bytes data(100);
  const auto start = Clock::now();
  EXPECT_EQ(api_.QuorixReadDevice(handle, 100, data.data()), QUORIX_ERR_TIMEOUT);
  const double waited = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("[ figures  ] the read timed out after %.3f s (timeout 0.2 s)\n", waited);
  QxbState state = boards_->State(0);
  EXPECT_EQ(state.pending[QXB_IN], 1u);
  EXPECT_EQ(state.transfers[QXB_IN], 1u);  // still the read posted at open

  // The same read completes once the source runs again.
  boards_->Set(0, [](QxbKnobs& knobs) { knobs.in_paused = 0; });
  ASSERT_EQ(api_.QuorixReadDevice(handle, 100, data.data()), QUORIX_OK);
  EXPECT_EQ(CounterBreak(data.data(), 100, 0), 100u);
  EXPECT_EQ(api_.QuorixCloseDevice(handle), QUORIX_OK);
}

TEST_F(Streaming, AFailedReadIsReportedUntilTheDeviceCloses) {
  boards_->Set(0, [](QxbKnobs& knobs) { knobs.in_paused = 1; });
  QuorixHandle handle = Open(0);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(api_.QuorixSetTimeOut(handle, 10000), QUORIX_OK);
  boards_->EndPending(0, QXB_IN, kStatusDeviceDataError);  // ERROR_CRC
  std::uint32_t held = 99;
  EXPECT_EQ(api_.QuorixNumberOfBytesAvailable(handle, &held), 23);
  EXPECT_EQ(held, 0u);
  std::uint8_t byte = 0;
  EXPECT_EQ(api_.QuorixReadDevice(handle, 1, &byte), 23);
  EXPECT_EQ(api_.QuorixReadDevice(handle, 1, &byte), 23);
  EXPECT_EQ(boards_->State(0).transfers[QXB_IN], 1u);  // a failed read is not replaced
  EXPECT_EQ(api_.QuorixCloseDevice(handle), QUORIX_OK);

  // A read that fails while the library waits for it is a failed transfer.
  handle = Open(0);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(api_.QuorixSetTimeOut(handle, 10000), QUORIX_OK);
  int status = 0;
  std::thread reader([&] { status = api_.QuorixReadDevice(handle, 1, &byte); });
  std::this_thread::sleep_for(kReaderWaits);
  boards_->EndPending(0, QXB_IN, kStatusDeviceDataError);
  reader.join();
  EXPECT_EQ(status, QUORIX_ERR_TRANSFER);
  EXPECT_EQ(api_.QuorixCloseDevice(handle), QUORIX_OK);
}

// ---- writes ----

using Writes = BoardTest;

TEST_F(Writes, CompleteOrAreHeldAndAbortedOrFail) {
  QuorixHandle handle = Open(0);
  ASSERT_NE(handle, nullptr);
  Bytes data(3000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 1);

  // Pending, then completed by the board.
  ASSERT_EQ(api_.QuorixWriteDevice(handle, 3000, data.data()), QUORIX_OK);
  QxbState state = boards_->State(0);
  EXPECT_EQ(state.out_bytes, 3000u);
  EXPECT_EQ(state.at_once[QXB_OUT], 0u);
  EXPECT_EQ(boards_->Read(0, QXB_REGION_OUT, 0, 3000), data);

  // Completed inside the call; an empty write goes to the driver too.
  boards_->Set(0, [](QxbKnobs& knobs) { knobs.out_mode = QXB_OUT_AT_ONCE; });
  ASSERT_EQ(api_.QuorixWriteDevice(handle, 10, data.data()), QUORIX_OK);
  ASSERT_EQ(api_.QuorixWriteDevice(handle, 0, nullptr), QUORIX_OK);
  state = boards_->State(0);
  EXPECT_EQ(state.at_once[QXB_OUT], 2u);
  EXPECT_EQ(state.out_bytes, 3010u);
  EXPECT_EQ(state.transfers[QXB_OUT], 3u);

  // Held: the wait times out, the abort ends the write before the call returns.
  boards_->Set(0, [](QxbKnobs& knobs) { knobs.out_mode = QXB_OUT_HOLD; });
  EXPECT_EQ(api_.QuorixWriteDevice(handle, 64, data.data()), QUORIX_ERR_TIMEOUT);
  state = boards_->State(0);
  EXPECT_EQ(state.aborts[QXB_OUT], 1u);
  EXPECT_EQ(state.pending[QXB_OUT], 0u);
  EXPECT_EQ(state.out_bytes, 3010u);

  // Refused by the driver inside the call: its code; failed later: a failed transfer.
  boards_->Set(0, [](QxbKnobs& knobs) {
    knobs.out_mode = QXB_OUT_LATER;
    knobs.fault = {0x22004B, 0x02, 0, 1, kStatusIoDeviceError, 0};
  });
  EXPECT_EQ(api_.QuorixWriteDevice(handle, 64, data.data()), 1117);
  boards_->Set(
      0, [](QxbKnobs& knobs) { knobs.fault = {0x22004B, 0x02, 0, 1, kStatusIoDeviceError, 1}; });
  EXPECT_EQ(api_.QuorixWriteDevice(handle, 64, data.data()), QUORIX_ERR_TRANSFER);
  state = boards_->State(0);
  EXPECT_EQ(state.failed, 2u);
  EXPECT_EQ(state.out_bytes, 3010u);

  // And the pipe works on.
  ASSERT_EQ(api_.QuorixWriteDevice(handle, 5, data.data() + 100), QUORIX_OK);
  EXPECT_EQ(boards_->Read(0, QXB_REGION_OUT, 3010, 5),
            Bytes(data.begin() + 100, data.begin() + 105));
  // The reads went on meanwhile: each write polled the receive side.
  Bytes in(4096);
  ASSERT_EQ(api_.QuorixReadDevice(handle, 4096, in.data()), QUORIX_OK);
  EXPECT_EQ(CounterBreak(in.data(), in.size(), 0), in.size());
  EXPECT_EQ(api_.QuorixCloseDevice(handle), QUORIX_OK);
}

// ---- board services ----

using Services = BoardTest;

TEST_F(Services, PortDFpgaModeAndEeprom) {
  QuorixHandle handle = Open(1);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(api_.QuorixSetPortDOutputs(handle, 0xA5), QUORIX_OK);
  std::uint8_t outputs = 0;
  EXPECT_EQ(api_.QuorixGetPortDOutputs(handle, &outputs), QUORIX_OK);
  EXPECT_EQ(outputs, 0xA5);
  EXPECT_EQ(api_.QuorixSetPortDOutputEnable(handle, 0x0F), QUORIX_OK);
  const std::uint8_t sequence[] = {0x01, 0x02, 0x5A};
  EXPECT_EQ(api_.QuorixSetPortDOutputsExt(handle, 3, sequence), QUORIX_OK);
  EXPECT_EQ(api_.QuorixSetPortDOutputsExt(handle, 0, nullptr), QUORIX_OK);
  EXPECT_EQ(api_.QuorixSetPortDOutputsExt(handle, 3, nullptr), QUORIX_ERR_FAILED);
  EXPECT_EQ(api_.QuorixGetPortDOutputs(handle, nullptr), QUORIX_ERR_FAILED);
  EXPECT_EQ(api_.QuorixSetConfFpgaMode(handle, 2), QUORIX_OK);
  QxbState state = boards_->State(1);
  EXPECT_EQ(state.port_d, 0x5A);
  EXPECT_EQ(state.port_d_enable, 0x0F);
  EXPECT_EQ(state.port_d_writes, 3u);
  EXPECT_EQ(state.fpga_mode, 2);
  // The two refused calls sent nothing.
  const std::vector<Bytes> log = SetupLog(state);
  ASSERT_GE(log.size(), 6u);
  const std::vector<Bytes> last(log.end() - 6, log.end());
  const std::vector<Bytes> expected = {
      SetupStage(0x40, 0xB2, 0, 0, 1), SetupStage(0xC0, 0xB2, 0, 0, 1),
      SetupStage(0x40, 0xB2, 0, 1, 1), SetupStage(0x40, 0xB2, 0, 0, 3),
      SetupStage(0x40, 0xB2, 0, 0, 0), SetupStage(0x40, 0xB3, 0, 0, 1)};
  EXPECT_EQ(last, expected);

  // The EEPROM: the address travels high byte first in front of the data.
  const std::uint8_t text[] = {'h', 'e', 'l', 'l', 'o'};
  EXPECT_EQ(api_.QuorixWriteEprom(handle, 1, 0x0123, 5, text), QUORIX_OK);
  EXPECT_EQ(boards_->Read(1, QXB_REGION_EEPROM, 0x0123, 5), Bytes(text, text + 5));
  Bytes back(5);
  EXPECT_EQ(api_.QuorixReadEprom(handle, 1, 0x0123, 5, back.data()), QUORIX_OK);
  EXPECT_EQ(back, Bytes(text, text + 5));
  Bytes area(4);
  EXPECT_EQ(api_.QuorixReadEprom(handle, 1, 0x1FF8, 4, area.data()), QUORIX_OK);
  EXPECT_EQ(area, (Bytes{0xE8, 0x1F, 0xFF, 0xFF}));
  // No part answers at another select: the board stalls.
  EXPECT_EQ(api_.QuorixReadEprom(handle, 9, 0, 4, back.data()), static_cast<int>(kGenFailure));
  state = boards_->State(1);
  EXPECT_EQ(SetupLog(state).back(), SetupStage(0x40, 0xB0, 0, 9, 2));
  EXPECT_EQ(state.setup_log[state.setup_count - 1].status, kStatusUnsuccessful);

  // The startup command goes at the address the EEPROM's chain gives, after its length.
  const char command[] = "mode 1; stream";
  EXPECT_EQ(
      api_.QuorixSetStartupCommand(handle, 14, reinterpret_cast<const std::uint8_t*>(command)),
      QUORIX_OK);
  Bytes stored = boards_->Read(1, QXB_REGION_EEPROM, QXB_STARTUP_COMMAND, 16);
  EXPECT_EQ(stored,
            (Bytes{14, 0, 'm', 'o', 'd', 'e', ' ', '1', ';', ' ', 's', 't', 'r', 'e', 'a', 'm'}));
  // Without the area's marker there is nowhere to put it.
  const std::uint8_t cleared[] = {0x00};
  EXPECT_EQ(api_.QuorixWriteEprom(handle, 1, 0x1FFD, 1, cleared), QUORIX_OK);
  EXPECT_EQ(api_.QuorixSetStartupCommand(handle, 1, cleared), QUORIX_ERR_NO_STARTUP_AREA);
  EXPECT_EQ(api_.QuorixCloseDevice(handle), QUORIX_OK);
}

// The example image's data records as the FX2 must hold them.
std::vector<std::pair<std::uint16_t, Bytes>> ImageRecords(const std::string& path) {
  std::vector<std::pair<std::uint16_t, Bytes>> records;
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    if (line.size() < 11 || line[0] != ':') break;
    auto byte = [&](std::size_t at) {
      return static_cast<std::uint8_t>(std::stoul(line.substr(at, 2), nullptr, 16));
    };
    if (byte(7) != 0) break;
    Bytes data;
    for (std::uint8_t i = 0; i < byte(1); ++i) data.push_back(byte(9 + 2 * i));
    records.emplace_back(static_cast<std::uint16_t>(byte(3) << 8 | byte(5)), data);
  }
  return records;
}

TEST_F(Services, LoadsTheExampleFirmwareByteForByteWhileTheCpuIsHeldInReset) {
  QuorixHandle handle = Open(2);
  ASSERT_NE(handle, nullptr);
  const std::string image = std::string(QUORIX_TEST_DATA) + "/blink.hex";
  const auto records = ImageRecords(image);
  ASSERT_EQ(records.size(), 17u);

  const std::uint32_t before = boards_->State(2).control_transfers;
  EXPECT_EQ(api_.QuorixLoadFirmware(handle, "Z:\\nonexistent\\image.hex"), QUORIX_ERR_FAILED);
  EXPECT_EQ(boards_->State(2).control_transfers, before);

  ASSERT_EQ(api_.QuorixLoadFirmware(handle, image.c_str()), QUORIX_OK);
  const QxbState state = boards_->State(2);
  EXPECT_EQ(state.control_transfers, before + 2 + 17);
  ASSERT_EQ(state.cpu_changes, 2u);  // held, then released
  EXPECT_EQ(state.cpu_history[0], 1);
  EXPECT_EQ(state.cpu_history[1], 0);
  EXPECT_EQ(state.cpu_reset, 0);
  const std::vector<Bytes> log = SetupLog(state);
  ASSERT_GE(log.size(), 19u);
  EXPECT_EQ(log[log.size() - 19], SetupStage(0x40, 0xA0, 0xE600, 0, 1));
  EXPECT_EQ(log.back(), SetupStage(0x40, 0xA0, 0xE600, 0, 1));

  Bytes expected(QXB_PROGRAM_RAM_SIZE, 0);
  for (const auto& [address, data] : records)
    std::copy(data.begin(), data.end(), expected.begin() + address);
  EXPECT_EQ(boards_->Read(2, QXB_REGION_RAM, 0, QXB_PROGRAM_RAM_SIZE), expected);

  // A record the board refuses leaves the CPU in reset: the release is not sent.
  boards_->Set(
      2, [](QxbKnobs& knobs) { knobs.fault = {0x220020, 0xA0, 2, 1, kStatusUnsuccessful, 0}; });
  EXPECT_EQ(api_.QuorixLoadFirmware(handle, image.c_str()), static_cast<int>(kGenFailure));
  EXPECT_EQ(boards_->State(2).cpu_reset, 1);
  EXPECT_EQ(api_.QuorixCloseDevice(handle), QUORIX_OK);
}

// ---- unplugging ----

using Unplugging = BoardTest;

TEST_F(Unplugging, WhileAReadIsPendingThenClosingRemovesTheRecord) {
  boards_->Set(0, [](QxbKnobs& knobs) { knobs.in_paused = 1; });
  EXPECT_EQ(Count(), 3);
  QuorixHandle handle = Open(0);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(boards_->State(0).pending[QXB_IN], 1u);

  const QxbState gone = boards_->Unplug(0);
  EXPECT_EQ(gone.plugged, 0u);
  EXPECT_EQ(gone.pending[QXB_IN], 0u);
  // The read ended with the board's going, which the next look at it reports.
  std::uint32_t held = 99;
  EXPECT_EQ(api_.QuorixNumberOfBytesAvailable(handle, &held),
            static_cast<int>(kDeviceNotConnected));
  std::uint8_t byte = 0;
  EXPECT_EQ(api_.QuorixReadDevice(handle, 1, &byte), static_cast<int>(kDeviceNotConnected));
  // The handle's requests fail at the driver.
  EXPECT_EQ(api_.QuorixSetPortDOutputs(handle, 1), static_cast<int>(kDeviceNotConnected));

  // Discovery strips the record: still counted and named, but without a driver.
  EXPECT_EQ(Count(), 3);
  EXPECT_EQ(Serial(0), "QX-WINE-0001");
  EXPECT_EQ(Settled(0).handles, 0u);
  EXPECT_EQ(api_.QuorixReadDevice(handle, 1, &byte), QUORIX_ERR_NO_DRIVER);
  EXPECT_EQ(api_.QuorixNumberOfBytesAvailable(handle, &held), QUORIX_ERR_NO_DRIVER);
  EXPECT_EQ(api_.QuorixSetPortDOutputs(handle, 1), QUORIX_ERR_NO_DRIVER);
  EXPECT_EQ(api_.QuorixWriteDevice(handle, 1, &byte), QUORIX_ERR_NO_DRIVER);
  QuorixHandle again = nullptr;
  EXPECT_EQ(api_.QuorixOpenDevice(0, &again), QUORIX_ERR_FAILED);

  EXPECT_EQ(api_.QuorixCloseDevice(handle), QUORIX_OK);
  EXPECT_EQ(Count(), 2);
  EXPECT_EQ(Serial(0), "QX-WINE-0003");  // the last record took the removed one's place
  EXPECT_EQ(api_.QuorixCloseDevice(handle), QUORIX_ERR_FAILED);
  // Nothing reached the gone board after its going.
  EXPECT_EQ(boards_->State(0).aborts[QXB_IN], 0u);
}

TEST_F(Unplugging, AReadWaitingForTheBoardEndsAsAFailedTransfer) {
  boards_->Set(1, [](QxbKnobs& knobs) { knobs.in_paused = 1; });
  QuorixHandle handle = Open(1);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(api_.QuorixSetTimeOut(handle, 0), QUORIX_OK);  // no limit
  int status = 0;
  std::uint8_t byte = 0;
  std::thread reader([&] { status = api_.QuorixReadDevice(handle, 1, &byte); });
  std::this_thread::sleep_for(kReaderWaits);
  boards_->Unplug(1);
  reader.join();
  EXPECT_EQ(status, QUORIX_ERR_TRANSFER);
  EXPECT_EQ(Count(), 3);
  EXPECT_EQ(api_.QuorixReadDevice(handle, 1, &byte), QUORIX_ERR_NO_DRIVER);
  EXPECT_EQ(api_.QuorixCloseDevice(handle), QUORIX_OK);
  EXPECT_EQ(Count(), 2);
}

TEST_F(Unplugging, ARepluggedBoardIsANewRecordUnderANewPath) {
  QuorixHandle old = Open(0);
  ASSERT_NE(old, nullptr);
  const QxbState before = boards_->State(0);
  boards_->Unplug(0);
  EXPECT_EQ(Count(), 3);  // gone, but open
  const QxbState back = boards_->Plug(0);
  EXPECT_NE(back.port, 0u);  // another port
  EXPECT_NE(std::string(back.path), std::string(before.path));
  EXPECT_EQ(back.plugs, before.plugs + 1);

  // While the old record is open, the board has two.
  EXPECT_EQ(Count(), 4);
  EXPECT_EQ(Serial(3), "QX-WINE-0001");
  QuorixHandle fresh = Open(3);
  ASSERT_NE(fresh, nullptr);
  EXPECT_NE(fresh, old);
  Bytes data(10000);
  ASSERT_EQ(api_.QuorixReadDevice(fresh, 10000, data.data()), QUORIX_OK);
  EXPECT_EQ(CounterBreak(data.data(), data.size(), 0), data.size());
  EXPECT_EQ(api_.QuorixReadDevice(old, 1, data.data()), QUORIX_ERR_NO_DRIVER);
  EXPECT_EQ(api_.QuorixCloseDevice(old), QUORIX_OK);
  EXPECT_EQ(Count(), 3);
  EXPECT_EQ(api_.QuorixCloseDevice(fresh), QUORIX_OK);

  // Gone and back between two looks while closed: a new record is added for the new path,
  // then the old one is removed and the last record takes its place.
  boards_->Unplug(1);
  boards_->Plug(1);
  EXPECT_EQ(Count(), 3);
  EXPECT_EQ(Serial(1), "QX-WINE-0002");
  EXPECT_EQ(Serial(2), "QX-WINE-0003");
  EXPECT_EQ(boards_->State(1).control_transfers, 20u);  // the identity was read twice
}

// ---- threads ----

using Threads = BoardTest;

TEST_F(Threads, TwoBoardsStreamAtOnce) {
  QuorixHandle handles[2] = {Open(0), Open(1)};
  ASSERT_NE(handles[0], nullptr);
  ASSERT_NE(handles[1], nullptr);
  int statuses[2] = {-100, -100};
  std::uint64_t breaks[2] = {0, 0};
  auto stream = [&](int i) {
    Bytes data(kMiB);
    for (std::uint64_t at = 0; at < 16 * kMiB; at += kMiB) {
      statuses[i] = api_.QuorixReadDevice(handles[i], kMiB, data.data());
      if (statuses[i] != QUORIX_OK) return;
      breaks[i] = CounterBreak(data.data(), data.size(), at);
      if (breaks[i] != kMiB) return;
    }
  };
  std::thread other(stream, 1);
  stream(0);
  other.join();
  for (int i : {0, 1}) {
    EXPECT_EQ(statuses[i], QUORIX_OK) << "board " << i;
    EXPECT_EQ(breaks[i], kMiB) << "board " << i;
    EXPECT_EQ(api_.QuorixCloseDevice(handles[i]), QUORIX_OK);
  }
}

// While a read or write waits for the driver, the board's other calls go on, and a close from
// another thread ends the wait.
TEST_F(Threads, ACloseFromAnotherThreadEndsAWaitingReadAndWrite) {
  boards_->Set(0, [](QxbKnobs& knobs) { knobs.in_paused = 1; });
  boards_->Set(1, [](QxbKnobs& knobs) { knobs.out_mode = QXB_OUT_HOLD; });
  QuorixHandle reading = Open(0);
  QuorixHandle writing = Open(1);
  ASSERT_NE(reading, nullptr);
  ASSERT_NE(writing, nullptr);
  ASSERT_EQ(api_.QuorixSetTimeOut(reading, 0), QUORIX_OK);  // no limit
  ASSERT_EQ(api_.QuorixSetTimeOut(writing, 0), QUORIX_OK);
  int read_status = -100, write_status = -100;
  std::uint8_t byte = 0;
  const std::uint8_t command[] = {0x01, 0x02};
  std::thread reader([&] { read_status = api_.QuorixReadDevice(reading, 1, &byte); });
  std::thread writer([&] { write_status = api_.QuorixWriteDevice(writing, 2, command); });
  // The write waits once the board holds it. (The read was posted at the open: it returns -4
  // whether its call waits already or comes to the gate after the close.)
  EXPECT_TRUE(Await([&] { return boards_->State(1).pending[QXB_OUT] == 1; }));

  std::uint8_t outputs = 0;
  EXPECT_EQ(api_.QuorixSetPortDOutputs(reading, 0x33), QUORIX_OK);
  EXPECT_EQ(api_.QuorixGetPortDOutputs(writing, &outputs), QUORIX_OK);
  EXPECT_EQ(boards_->State(0).port_d, 0x33);

  EXPECT_EQ(api_.QuorixCloseDevice(reading), QUORIX_OK);
  EXPECT_EQ(api_.QuorixCloseDevice(writing), QUORIX_OK);
  reader.join();
  writer.join();
  EXPECT_EQ(read_status, QUORIX_ERR_NOT_OPEN);
  EXPECT_EQ(write_status, QUORIX_ERR_NOT_OPEN);
  for (std::uint32_t i : {0u, 1u}) {
    const QxbState state = boards_->State(i);
    EXPECT_EQ(state.pending[QXB_IN], 0u) << "board " << i;
    EXPECT_EQ(state.pending[QXB_OUT], 0u) << "board " << i;
    EXPECT_EQ(state.aborts[QXB_OUT], 1u) << "board " << i;
  }
}

// ---- reads queued on one handle ----

// What queued reads ask of the driver, asked of the board through its interface path (the DLL
// posts one read at a time): several overlapped reads pending at once on 0x86, completed in the
// order they were posted, and all of them ended by an abort, a close or an unplug.
class QueuedReads : public BoardTest {
 protected:
  static constexpr int kReads = 8;
  static constexpr DWORD kReadSize = 256 * 1024;
  static constexpr std::uint32_t kAbortPipe = 0x220044, kResetPipe = 0x22002C;

  void SetUp() override {
    BoardTest::SetUp();
    for (Read& read : reads_) read.overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ring_.resize(kReads * kReadSize);
  }
  void TearDown() override {
    Close();
    for (Read& read : reads_) CloseHandle(read.overlapped.hEvent);
    BoardTest::TearDown();
  }

  // The board's interface, opened as the DLL opens it.
  bool Open(std::uint32_t board) {
    std::string path = boards_->State(board).path;  // the kernel's form, \??\ROOT#...
    if (path.rfind("\\??\\", 0) == 0) path = "\\\\?\\" + path.substr(4);
    driver_ =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    return driver_ != INVALID_HANDLE_VALUE;
  }
  void Close() {
    if (driver_ != INVALID_HANDLE_VALUE) CloseHandle(driver_);
    driver_ = INVALID_HANDLE_VALUE;
  }

  // Posts read slot into its part of the ring: 997 when it pends, 0 when the board completed
  // it inside the call, or the error.
  DWORD Post(int slot) {
    std::uint8_t header[38] = {};
    header[13] = 0x86;  // the endpoint, after the setup stage, timeout and a reserved byte
    Read& read = reads_[slot];
    const HANDLE event = read.overlapped.hEvent;
    read.overlapped = {};
    read.overlapped.hEvent = event;
    DWORD count = 0;
    const BOOL done =
        DeviceIoControl(driver_, 0x22004B, header, sizeof header, ring_.data() + slot * kReadSize,
                        kReadSize, &count, &read.overlapped);
    return done ? 0 : GetLastError();
  }
  bool Posted(int slot) {
    const DWORD result = Post(slot);
    return result == 0 || result == ERROR_IO_PENDING;
  }
  // Waits for read slot: 0 or its error, and its count.
  DWORD Take(int slot, DWORD* count = nullptr) {
    Read& read = reads_[slot];
    if (WaitForSingleObject(read.overlapped.hEvent, 10000) != WAIT_OBJECT_0) return WAIT_TIMEOUT;
    DWORD got = 0;
    const BOOL done = GetOverlappedResult(driver_, &read.overlapped, &got, FALSE);
    if (count != nullptr) *count = got;
    return done ? 0 : GetLastError();
  }
  // Takes reads in, in order from slot first on, each count bytes of the counter pattern going
  // on from position; re-posts each when repost. Returns the position after them.
  std::uint64_t TakeInOrder(int first, int reads, std::uint64_t position, bool repost) {
    for (int i = 0; i < reads; ++i) {
      const int slot = (first + i) % kReads;
      DWORD count = 0;
      EXPECT_EQ(Take(slot, &count), 0u) << "read " << i;
      EXPECT_EQ(count, kReadSize) << "read " << i;
      const std::uint8_t* data = ring_.data() + slot * kReadSize;
      EXPECT_EQ(CounterBreak(data, count, position), count) << "read " << i << " at " << position;
      position += count;
      if (repost) {
        EXPECT_TRUE(Posted(slot)) << "read " << i;
      }
    }
    return position;
  }
  bool Pipe(std::uint32_t code) {
    std::uint8_t endpoint = 0x86;
    OVERLAPPED own{};
    own.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD count = 0;
    BOOL done = DeviceIoControl(driver_, code, &endpoint, 1, nullptr, 0, &count, &own);
    if (!done && GetLastError() == ERROR_IO_PENDING)
      done = GetOverlappedResult(driver_, &own, &count, TRUE);
    CloseHandle(own.hEvent);
    return done != FALSE;
  }
  void PostAll() {
    for (int slot = 0; slot < kReads; ++slot) {
      EXPECT_TRUE(Posted(slot)) << "read " << slot;
    }
  }
  // Every read ends with error.
  void ExpectAllEnd(DWORD error) {
    for (int slot = 0; slot < kReads; ++slot) {
      EXPECT_EQ(Take(slot), error) << "read " << slot;
    }
  }

  struct Read {
    OVERLAPPED overlapped{};
  };
  HANDLE driver_ = INVALID_HANDLE_VALUE;
  Read reads_[kReads];
  Bytes ring_;
};

// Reads that pend and complete later, and reads completed inside the call when the board has
// data at hand: with others queued, a read must not take that data ahead of them.
TEST_F(QueuedReads, CompleteInOrderAndAnAbortACloseOrAnUnplugEndsThemAll) {
  for (std::uint32_t mode : {QXB_IN_LATER, QXB_IN_AT_ONCE}) {
    SCOPED_TRACE(mode == QXB_IN_LATER ? "reads complete later" : "data at hand");
    boards_->ResetAll();
    boards_->Set(0, [&](QxbKnobs& knobs) { knobs.in_mode = mode; });
    ASSERT_TRUE(Open(0));
    PostAll();
    std::uint64_t position = TakeInOrder(0, 4 * kReads, 0, true);
    position = TakeInOrder(0, kReads, position, false);

    // An abort ends all of them; after a reset the stream goes on where it was.
    boards_->Set(0, [](QxbKnobs& knobs) { knobs.in_paused = 1; });
    PostAll();
    EXPECT_EQ(boards_->State(0).pending[QXB_IN], static_cast<std::uint32_t>(kReads));
    ASSERT_TRUE(Pipe(kAbortPipe));
    ExpectAllEnd(ERROR_OPERATION_ABORTED);
    ASSERT_TRUE(Pipe(kResetPipe));
    boards_->Set(0, [](QxbKnobs& knobs) { knobs.in_paused = 0; });
    PostAll();
    position = TakeInOrder(0, kReads, position, false);
    if (mode == QXB_IN_AT_ONCE) {
      EXPECT_GT(boards_->State(0).at_once[QXB_IN], 0u);
    }

    // So does closing the handle.
    boards_->Set(0, [](QxbKnobs& knobs) { knobs.in_paused = 1; });
    PostAll();
    Close();
    for (int slot = 0; slot < kReads; ++slot) {
      ASSERT_EQ(WaitForSingleObject(reads_[slot].overlapped.hEvent, 10000), WAIT_OBJECT_0);
      EXPECT_EQ(static_cast<std::uint32_t>(reads_[slot].overlapped.Internal), 0xC0000120u)
          << "read " << slot << " ends cancelled";
    }
  }

  // An unplug fails all of them.
  ASSERT_TRUE(Open(0));
  PostAll();
  boards_->Unplug(0);
  ExpectAllEnd(kDeviceNotConnected);
}

// The fixed-rate source fills the FIFO while no read is pending and drops what does not fit;
// a queue of reads that is never empty loses nothing, and a gap in the counter is exactly what
// was dropped.
TEST_F(QueuedReads, AFixedRateSourceDropsOnlyWhileNoReadIsPending) {
  constexpr std::uint32_t kFifo = 16384;
  ASSERT_TRUE(Open(0));
  boards_->Set(0, [](QxbKnobs& knobs) { knobs.in_paused = 1; });
  PostAll();
  // The source starts with the reads already queued.
  boards_->Set(0, [&](QxbKnobs& knobs) {
    knobs.in_paused = 0;
    knobs.source = QXB_SOURCE_FIXED_RATE;
    knobs.source_rate = 2000000;  // 8 reads hold a second of it
    knobs.fifo_bytes = kFifo;
  });
  std::uint64_t position = TakeInOrder(0, 2 * kReads, 0, true);
  EXPECT_EQ(boards_->State(0).dropped_bytes, 0u) << "reads were queued all along";
  position = TakeInOrder(0, kReads, position, false);

  // No read pending: the FIFO fills, then the source drops.
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (boards_->State(0).dropped_bytes == 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  PostAll();
  DWORD count = 0;
  ASSERT_EQ(Take(0, &count), 0u);
  ASSERT_EQ(count, kReadSize);
  EXPECT_EQ(CounterBreak(ring_.data(), kFifo, position), kFifo) << "what the FIFO held comes first";
  // Where the counter resumes: the word that starts in the first four bytes after the FIFO's.
  const std::uint8_t* after = ring_.data() + kFifo;
  std::uint64_t resumed = 0;
  for (std::uint32_t skip = 0; skip < 4; ++skip) {
    std::uint32_t word = 0;
    std::memcpy(&word, after + skip, 4);
    const std::uint64_t at = std::uint64_t{word} * 4 - skip;
    if (CounterBreak(after, 64, at) == 64) resumed = at;
  }
  const std::uint64_t dropped = boards_->State(0).dropped_bytes;
  ASSERT_GT(resumed, position + kFifo);
  EXPECT_EQ(dropped, resumed - (position + kFifo)) << "the counter goes on through the drop";
  EXPECT_EQ(CounterBreak(after, kReadSize - kFifo, resumed), kReadSize - kFifo);
  TakeInOrder(1, kReads - 1, resumed + (kReadSize - kFifo), false);
}

// ---- the quorix tool ----

// The tool as a person runs it, against the boards; its exit status and what it printed.
class Tool : public BoardTest {
 protected:
  struct Run {
    DWORD status = 0xFFFFFFFF;
    std::string output;  // stdout and stderr
  };

  void SetUp() override {
#ifndef _WIN64
    GTEST_SKIP() << "the x64 build runs the tool: a 32-bit process start costs a minute under "
                    "an emulator";
#endif
    BoardTest::SetUp();
    char folder[MAX_PATH];
    ASSERT_NE(GetTempPathA(MAX_PATH, folder), 0u);
    folder_ = std::string(folder) + "quorix-tool-test-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(folder_.c_str(), nullptr);
  }

  void TearDown() override {
    for (const std::string& file : files_) DeleteFileA(file.c_str());
    if (!folder_.empty()) RemoveDirectoryA(folder_.c_str());
    BoardTest::TearDown();
  }

  std::string File(const std::string& name) {
    files_.push_back(folder_ + "\\" + name);
    return files_.back();
  }

  // Runs quorix.exe, which lies beside this program, with the arguments; its standard output
  // goes to the file output when one is named.
  static Run Quorix(const std::string& arguments, const std::string& output = {}) {
    Run run;
    char self[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string tool(self, length);
    tool = tool.substr(0, tool.find_last_of('\\') + 1) + "quorix.exe";
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE from_tool = nullptr, to_us = nullptr;
    if (!CreatePipe(&from_tool, &to_us, &inherited, 0)) return run;
    SetHandleInformation(from_tool, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    HANDLE file = INVALID_HANDLE_VALUE;
    if (!output.empty())
      file = CreateFileA(output.c_str(), GENERIC_WRITE, 0, &inherited, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = file != INVALID_HANDLE_VALUE ? file : to_us;
    startup.hStdError = to_us;
    std::string command = "\"" + tool + "\" " + arguments;
    PROCESS_INFORMATION child{};
    const BOOL started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &child);
    CloseHandle(to_us);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (started) {
      char buffer[4096];
      DWORD got = 0;
      while (ReadFile(from_tool, buffer, sizeof buffer, &got, nullptr) && got != 0)
        run.output.append(buffer, got);
      WaitForSingleObject(child.hProcess, INFINITE);
      GetExitCodeProcess(child.hProcess, &run.status);
      CloseHandle(child.hThread);
      CloseHandle(child.hProcess);
    }
    CloseHandle(from_tool);
    return run;
  }

  static Bytes Contents(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }

  std::string folder_;
  std::vector<std::string> files_;
};

TEST_F(Tool, ListsTheBoardsAndShowsOne) {
  Run run = Quorix("--version");
  EXPECT_EQ(run.status, 0u) << run.output;
  EXPECT_NE(run.output.find("library 1.0.0.3: "), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("KV420_FX2.dll\n"), std::string::npos) << run.output;
  // Windows does not say who holds a device without opening it: list says so, and --probe
  // opens each board to find out.
  run = Quorix("list");
  EXPECT_EQ(run.status, 0u) << run.output;
  const std::string unknown = "  in use: unknown here (list --probe opens it to find out)\n";
  EXPECT_EQ(run.output, "3 boards\n  0  QX-WINE-0001" + unknown + "  1  QX-WINE-0002" + unknown +
                            "  2  QX-WINE-0003" + unknown);
  run = Quorix("list --probe");
  EXPECT_EQ(run.status, 0u) << run.output;
  EXPECT_EQ(
      run.output,
      "3 boards\n  0  QX-WINE-0001  free\n  1  QX-WINE-0002  free\n  2  QX-WINE-0003  free\n");
  run = Quorix("list --json");
  EXPECT_EQ(run.status, 0u) << run.output;
  EXPECT_NE(run.output.find("\"count\": 3"), std::string::npos) << run.output;

  run = Quorix("-s QX-WINE-0002 info");
  EXPECT_EQ(run.status, 0u) << run.output;
  EXPECT_NE(run.output.find("serial number   QX-WINE-0002\nport D outputs  0x00\n"
                            "startup area    base 0x1fe8, command at 0x1000, 0 bytes stored"),
            std::string::npos)
      << run.output;
  // The tools opened the boards and left nothing open (the fixture checks all of them).
  EXPECT_GE(Settled(1).set_configurations, 1u);
}

TEST_F(Tool, LoadsFirmwareAndUsesTheEeprom) {
  const std::string image = std::string(QUORIX_TEST_DATA) + "/blink.hex";
  // A Windows path: the tool, as Windows programs do, takes /x for an option.
  std::string windows_image = "Z:" + image;
  std::replace(windows_image.begin(), windows_image.end(), '/', '\\');
  Run run = Quorix("-d 2 firmware load \"" + windows_image + "\"");
  EXPECT_EQ(run.status, 0u) << run.output;
  EXPECT_NE(run.output.find("17 records, 174 bytes"), std::string::npos) << run.output;
  Bytes expected(QXB_PROGRAM_RAM_SIZE, 0);
  for (const auto& [address, data] : ImageRecords(image))
    std::copy(data.begin(), data.end(), expected.begin() + address);
  EXPECT_EQ(boards_->Read(2, QXB_REGION_RAM, 0, QXB_PROGRAM_RAM_SIZE), expected);
  const QxbState state = boards_->State(2);
  ASSERT_EQ(state.cpu_changes, 2u);
  EXPECT_EQ(state.cpu_history[0], 1);
  EXPECT_EQ(state.cpu_history[1], 0);

  run = Quorix("eeprom write 0x0100 68656c6c6f --verify");
  EXPECT_EQ(run.status, 0u) << run.output;
  EXPECT_EQ(boards_->Read(0, QXB_REGION_EEPROM, 0x0100, 5), (Bytes{'h', 'e', 'l', 'l', 'o'}));
  run = Quorix("eeprom read 0x1FF0 16 --hex");
  EXPECT_EQ(run.status, 0u) << run.output;
  EXPECT_EQ(run.output,
            "00001ff0  10 ff ff ff ff ff ff ff  e8 1f ff ff 01 01 ff ff  |................|\n"
            "00002000\n");
  const std::string dump = File("eeprom.bin");
  run = Quorix("eeprom read 0 8192 -o \"" + dump + "\"");
  EXPECT_EQ(run.status, 0u) << run.output;
  EXPECT_EQ(Contents(dump), boards_->Read(0, QXB_REGION_EEPROM, 0, QXB_EEPROM_SIZE));
}

TEST_F(Tool, StreamsAndChecksTheCounter) {
  const std::string capture = File("stream.bin");
  const Run run = Quorix("stream -n 4MiB --check-counter -o \"" + capture + "\"");
  EXPECT_EQ(run.status, 0u) << run.output;
  EXPECT_NE(run.output.find("captured 4194304 bytes"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("0 overruns, 0 gaps in the counter pattern"), std::string::npos)
      << run.output;
  std::printf("[ figures  ] %s", run.output.c_str());
  const Bytes data = Contents(capture);
  ASSERT_EQ(data.size(), 4u * kMiB);
  EXPECT_EQ(CounterBreak(data.data(), data.size(), 0), data.size());
  EXPECT_GE(boards_->State(0).in_bytes, 4u * kMiB);

  // To standard output when that is not a terminal, byte for byte.
  const std::string piped = File("piped.bin");
  EXPECT_EQ(Quorix("stream -n 1MiB", piped).status, 0u);
  const Bytes out = Contents(piped);
  ASSERT_EQ(out.size(), kMiB);
  EXPECT_EQ(CounterBreak(out.data(), out.size(), 0), out.size());
}

// ---- waiting without blocking ----

using Waiting = BoardTest;

// What a plug callback saw, with when it saw it.
struct PlugLog {
  struct Event {
    std::int32_t kind;
    std::string serial;
    QuorixHandle device;
    Clock::time_point at;
  };
  std::mutex lock;
  std::vector<Event> events;

  static void QUORIX_CALL Record(void* context, std::int32_t kind, const char* serial,
                                 QuorixHandle device) {
    auto* log = static_cast<PlugLog*>(context);
    const std::lock_guard guard(log->lock);
    log->events.push_back({kind, serial, device, Clock::now()});
  }
  std::size_t Size() {
    const std::lock_guard guard(lock);
    return events.size();
  }
  Event At(std::size_t i) {
    const std::lock_guard guard(lock);
    return events.at(i);
  }
};

double Milliseconds(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// A thread waiting in WaitForMultipleObjects on a queued device's ready handle wakes when data
// comes and when its board is pulled; a plug callback sees each pull and plug of the board once,
// and the times from the board's plug or unplug to the wake and to the callback are printed
// (Wine's device broadcasts tell the library, without it, it walks the listing every 250 ms).
TEST_F(Waiting, TheReadyHandleWakesAtDataAndUnplugAndEachPlugAndUnplugIsReportedOnce) {
  PlugLog log;
  std::uint32_t registration = 0;
  ASSERT_EQ(
      api_.QuorixRegisterPlugCallback(&PlugLog::Record, &log, QUORIX_PLUG_ENUMERATE, &registration),
      QUORIX_OK);
  ASSERT_TRUE(Await([&] { return log.Size() == kBoards; }));
  for (std::uint32_t i = 0; i < kBoards; ++i) {
    EXPECT_EQ(log.At(i).kind, QUORIX_BOARD_ARRIVED);
    EXPECT_EQ(log.At(i).device, nullptr);
  }

  const QuorixReadQueue queue{8, 64 * 1024, 16 * kMiB};
  // Board 1 has data once its source runs again: the handle follows the threshold.
  boards_->Set(1, [](QxbKnobs& knobs) { knobs.in_paused = 1; });
  QuorixHandle streaming = nullptr;
  ASSERT_EQ(api_.QuorixOpenDeviceQueued(1, nullptr, &queue, &streaming), QUORIX_OK);
  QuorixNativeHandle data_ready = nullptr;
  ASSERT_EQ(api_.QuorixGetReadyHandle(streaming, &data_ready), QUORIX_OK);
  ASSERT_EQ(api_.QuorixSetReadyThreshold(streaming, 256 * 1024), QUORIX_OK);
  EXPECT_EQ(WaitForSingleObject(data_ready, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  DWORD woke = WAIT_FAILED;
  std::thread data_waiter([&] { woke = WaitForMultipleObjects(1, &data_ready, FALSE, INFINITE); });
  std::this_thread::sleep_for(kReaderWaits);
  boards_->Set(1, [](QxbKnobs& knobs) { knobs.in_paused = 0; });
  data_waiter.join();
  EXPECT_EQ(woke, WAIT_OBJECT_0);
  std::uint32_t held = 0;
  EXPECT_EQ(api_.QuorixWaitForBytes(streaming, 1, 0, &held), QUORIX_OK);
  EXPECT_GE(held, 256u * 1024);
  Bytes data(held);
  ASSERT_EQ(api_.QuorixReadDevice(streaming, held, data.data()), QUORIX_OK);
  EXPECT_EQ(CounterBreak(data.data(), data.size(), 0), data.size());
  EXPECT_EQ(api_.QuorixCloseDevice(streaming), QUORIX_OK);

  // Board 0, its source paused, is pulled while a thread waits on its handle and on an event
  // of the test's; then plugged in again, pulled and plugged, five times over.
  boards_->Set(0, [](QxbKnobs& knobs) { knobs.in_paused = 1; });
  HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::vector<double> wakes, departures, arrivals;
  constexpr int kCycles = 5;
  std::size_t seen = kBoards;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    QuorixHandle handle = nullptr;
    ASSERT_EQ(api_.QuorixOpenDeviceQueued(0, "QX-WINE-0001", &queue, &handle), QUORIX_OK);
    QuorixNativeHandle ready = nullptr;
    ASSERT_EQ(api_.QuorixGetReadyHandle(handle, &ready), QUORIX_OK);
    EXPECT_EQ(WaitForSingleObject(ready, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    Clock::time_point woke_at{};
    woke = WAIT_FAILED;
    std::thread waiter([&] {
      const HANDLE objects[2] = {stop, ready};
      woke = WaitForMultipleObjects(2, objects, FALSE, INFINITE);
      woke_at = Clock::now();
    });
    std::this_thread::sleep_for(kReaderWaits);
    const auto pulled = Clock::now();
    boards_->Unplug(0);
    waiter.join();
    EXPECT_EQ(woke, WAIT_OBJECT_0 + 1);
    wakes.push_back(Milliseconds(woke_at - pulled));
    ASSERT_TRUE(Await([&] { return log.Size() == seen + 1; }));
    PlugLog::Event left = log.At(seen++);
    EXPECT_EQ(left.kind, QUORIX_BOARD_LEFT);
    EXPECT_EQ(left.serial, "QX-WINE-0001");
    EXPECT_EQ(left.device, handle);  // open in this process
    departures.push_back(Milliseconds(left.at - pulled));
    EXPECT_EQ(api_.QuorixWaitForBytes(handle, 1, 1000, &held), QUORIX_ERR_NO_DRIVER);
    EXPECT_EQ(api_.QuorixCloseDevice(handle), QUORIX_OK);

    const auto plugged = Clock::now();
    boards_->Plug(0);
    ASSERT_TRUE(Await([&] { return log.Size() == seen + 1; }));
    PlugLog::Event arrived = log.At(seen++);
    EXPECT_EQ(arrived.kind, QUORIX_BOARD_ARRIVED);
    EXPECT_EQ(arrived.serial, "QX-WINE-0001");
    EXPECT_EQ(arrived.device, nullptr);
    arrivals.push_back(Milliseconds(arrived.at - plugged));
  }
  CloseHandle(stop);
  // A last pull of another board: once it is reported, no event of the cycles came twice.
  boards_->Unplug(2);
  ASSERT_TRUE(Await([&] { return log.Size() > seen; }));
  EXPECT_EQ(log.At(seen).kind, QUORIX_BOARD_LEFT);
  EXPECT_EQ(log.At(seen).serial, "QX-WINE-0003");
  EXPECT_EQ(api_.QuorixUnregisterPlugCallback(registration), QUORIX_OK);
  EXPECT_EQ(log.Size(), seen + 1);

  auto print = [](const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    std::printf("%s: min %.1f ms, median %.1f ms, max %.1f ms over %zu\n", what, ms.front(),
                ms[ms.size() / 2], ms.back(), ms.size());
  };
  print("unplug to the ready handle's waiter waking", wakes);
  print("unplug to the plug callback's QUORIX_BOARD_LEFT", departures);
  print("plug to the plug callback's QUORIX_BOARD_ARRIVED", arrivals);
}

// A close from another thread ends a QuorixWaitForBytes that waits for a paused board.
TEST_F(Waiting, ACloseFromAnotherThreadEndsAWaitForBytes) {
  boards_->Set(2, [](QxbKnobs& knobs) { knobs.in_paused = 1; });
  const QuorixReadQueue queue{4, 64 * 1024, 4 * kMiB};
  QuorixHandle handle = nullptr;
  ASSERT_EQ(api_.QuorixOpenDeviceQueued(2, nullptr, &queue, &handle), QUORIX_OK);
  int status = 0;
  std::uint32_t held = 99;
  std::thread waiter([&] { status = api_.QuorixWaitForBytes(handle, 1, 600000, &held); });
  std::this_thread::sleep_for(kReaderWaits);
  EXPECT_EQ(api_.QuorixCloseDevice(handle), QUORIX_OK);
  waiter.join();
  EXPECT_EQ(status, QUORIX_ERR_NOT_OPEN);
  EXPECT_EQ(held, 0u);
}

// ---- unloading ----

using Unloading = BoardTest;

// The watcher, and the window thread of the port's watch, keep the DLL loaded past the
// application's FreeLibrary; once the last callback has ended itself, both go and so does it.
TEST_F(Unloading, HappensWhenTheLastPlugCallbackEndedItselfAfterTheApplicationLetGo) {
  ASSERT_TRUE(library_->Unload());
  EXPECT_EQ(UnloadsAfterItsCallbackEndsItself("KV420_FX2.dll"), "");
}

TEST_F(Unloading, ReleasesTheOpenDevicesAndEveryRecord) {
  boards_->Set(1, [](QxbKnobs& knobs) { knobs.in_paused = 1; });
  QuorixHandle a = Open(0);
  QuorixHandle b = Open(1);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  Bytes data(70000);
  ASSERT_EQ(api_.QuorixReadDevice(a, 70000, data.data()), QUORIX_OK);
  EXPECT_EQ(boards_->State(1).pending[QXB_IN], 1u);

  ASSERT_TRUE(library_->Unload());
  // The open devices are released and then disposed of: twice the abort-and-reset sequence.
  for (std::uint32_t i : {0u, 1u}) {
    const QxbState state = Settled(i);
    EXPECT_EQ(state.aborts[QXB_IN], 2u) << "board " << i;
    EXPECT_EQ(state.aborts[QXB_OUT], 2u) << "board " << i;
    EXPECT_EQ(state.resets[QXB_IN], 2u) << "board " << i;
    EXPECT_EQ(state.resets[QXB_OUT], 2u) << "board " << i;
    EXPECT_EQ(state.pending[QXB_IN], 0u) << "board " << i;
    EXPECT_EQ(state.handles, 0u) << "board " << i;
  }
  // A closed board once.
  const QxbState closed = Settled(2);
  EXPECT_EQ(closed.aborts[QXB_IN], 1u);
  EXPECT_EQ(closed.resets[QXB_OUT], 1u);
  EXPECT_EQ(closed.handles, 0u);
}

constexpr char kChildArgument[] = "--end-with-boards-open";
constexpr char kWatchingChildArgument[] = "--end-with-boards-open-watching";

// The child of the test below: opens boards 0 and 1, leaves a thread waiting in a read on
// board 1, and, watching, a plug callback registered (the watcher and the watch's window thread
// running), and ends the process without closing anything.
int EndWithBoardsOpen(bool watching) {
  // Loaded for good: the process's end detaches it.
  HMODULE module = LoadLibraryA("KV420_FX2.dll");
  if (module == nullptr) return 2;
  auto* open = reinterpret_cast<decltype(&::QuorixOpenDevice)>(
      reinterpret_cast<void*>(GetProcAddress(module, "QuorixOpenDevice")));
  auto* timeout = reinterpret_cast<decltype(&::QuorixSetTimeOut)>(
      reinterpret_cast<void*>(GetProcAddress(module, "QuorixSetTimeOut")));
  auto* read = reinterpret_cast<decltype(&::QuorixReadDevice)>(
      reinterpret_cast<void*>(GetProcAddress(module, "QuorixReadDevice")));
  QuorixHandle handles[2] = {nullptr, nullptr};
  if (open(0, &handles[0]) != QUORIX_OK || open(1, &handles[1]) != QUORIX_OK) return 3;
  if (timeout(handles[1], 0) != QUORIX_OK) return 4;
  auto* watch = reinterpret_cast<decltype(&::QuorixRegisterPlugCallback)>(
      reinterpret_cast<void*>(GetProcAddress(module, "QuorixRegisterPlugCallback")));
  std::uint32_t registration = 0;
  if (watching && watch([](void*, std::int32_t, const char*, QuorixHandle) {}, nullptr,
                        QUORIX_PLUG_ENUMERATE, &registration) != QUORIX_OK)
    return 5;
  std::thread([&] {
    std::uint8_t byte = 0;
    (void)read(handles[1], 1, &byte);
  }).detach();
  std::this_thread::sleep_for(kReaderWaits);
  return 0;
}

TEST_F(Unloading, AProcessThatEndsWithBoardsOpenAndAReadWaitingLeavesNothingBehind) {
#ifndef _WIN64
  GTEST_SKIP() << "the x64 build tries this: a 32-bit process start costs a minute under an "
                  "emulator";
#endif
  for (const bool watching : {false, true}) {
    SCOPED_TRACE(watching ? "with a plug callback registered" : "no plug callback");
    boards_->ResetAll();
    boards_->Set(1, [](QxbKnobs& knobs) { knobs.in_paused = 1; });
    char self[MAX_PATH];
    ASSERT_NE(GetModuleFileNameA(nullptr, self, MAX_PATH), 0u);
    std::string command =
        std::string("\"") + self + "\" " + (watching ? kWatchingChildArgument : kChildArgument);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &child))
        << GetLastError();
    const DWORD waited = WaitForSingleObject(child.hProcess, 60000);
    DWORD code = 99;
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    ASSERT_EQ(waited, WAIT_OBJECT_0) << "the child hangs at its end";
    EXPECT_EQ(code, 0u);
    // Board 0's pipes were aborted and reset at the detach. Board 1's read was cut short with its
    // thread: the library leaves that board to the system, whose closing of the process's
    // handles ends the read. A watcher ended inside a walk of the listing keeps the table, and
    // then the library leaves every board to the system.
    if (!watching) {
      EXPECT_GE(Settled(0).aborts[QXB_IN], 1u);
    }
    for (std::uint32_t i : {0u, 1u}) {
      const QxbState state = Settled(i);
      EXPECT_EQ(state.pending[QXB_IN], 0u) << "board " << i;
      EXPECT_EQ(state.handles, 0u) << "board " << i;
    }
  }
}

}  // namespace
}  // namespace quorix::test

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], quorix::test::kChildArgument) == 0)
    return quorix::test::EndWithBoardsOpen(false);
  if (argc == 2 && std::strcmp(argv[1], quorix::test::kWatchingChildArgument) == 0)
    return quorix::test::EndWithBoardsOpen(true);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
