// The test boards' side, as a test reads and steers it: a client of the driver's control
// device (board/board_control.h). Failures throw, so that a test stops at the first one.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "board/board_control.h"

namespace quorix::test {

// NTSTATUS values the tests give the boards to fail with.
inline constexpr std::int32_t kStatusUnsuccessful = static_cast<std::int32_t>(0xC0000001);   // 31
inline constexpr std::int32_t kStatusIoDeviceError = static_cast<std::int32_t>(0xC0000185);  // 1117
inline constexpr std::int32_t kStatusDeviceDataError = static_cast<std::int32_t>(0xC000009C);  // 23

class TestBoards {
 public:
  TestBoards()
      : control_(CreateFileA(QXB_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                             nullptr)) {
    if (control_ == INVALID_HANDLE_VALUE)
      throw std::runtime_error("no test boards (" QXB_CONTROL_PATH " does not open: " +
                               std::to_string(GetLastError()) + ")");
  }
  ~TestBoards() { CloseHandle(control_); }
  TestBoards(const TestBoards&) = delete;
  TestBoards& operator=(const TestBoards&) = delete;

  std::uint32_t Count() {
    QxbBoards boards{};
    Ask(Request(QXB_BOARDS, 0), &boards, sizeof boards);
    return boards.count;
  }

  QxbState State(std::uint32_t board) { return Command(QXB_STATE, board); }
  // Every board as it comes up, plugged into its own port (board n into port n), so that the
  // listing shows them in their order.
  void ResetAll() {
    const std::uint32_t count = Count();
    for (std::uint32_t board = 0; board < count; ++board) {
      const QxbState state = State(board);
      if (state.plugged && state.port != board) Unplug(board);
    }
    for (std::uint32_t board = 0; board < count; ++board) {
      if (!State(board).plugged) Plug(board, board);
      Command(QXB_RESET, board);
    }
  }
  QxbState Unplug(std::uint32_t board) { return Command(QXB_UNPLUG, board); }
  // Into the port, or into the free port left the longest.
  QxbState Plug(std::uint32_t board, std::uint32_t port = QXB_ANY) {
    QxbRequest request = Request(QXB_PLUG, board);
    request.address = port;
    QxbState state{};
    Ask(request, &state, sizeof state);
    return state;
  }

  // Changes some knobs: edit gets the board's present ones.
  QxbState Set(std::uint32_t board, const std::function<void(QxbKnobs&)>& edit) {
    QxbRequest request = Request(QXB_SET_KNOBS, board);
    request.knobs = State(board).knobs;
    edit(request.knobs);
    QxbState state{};
    Ask(request, &state, sizeof state);
    return state;
  }

  // Ends the endpoint's pending transfers with an NTSTATUS.
  QxbState EndPending(std::uint32_t board, QxbEndpoint endpoint, std::int32_t status) {
    QxbRequest request = Request(QXB_END_PENDING, board);
    request.region = endpoint;
    request.status = status;
    QxbState state{};
    Ask(request, &state, sizeof state);
    return state;
  }

  std::vector<std::uint8_t> Read(std::uint32_t board, QxbRegion region, std::uint32_t address,
                                 std::uint32_t length) {
    QxbRequest request = Request(QXB_READ, board);
    request.region = region;
    request.address = address;
    request.length = length;
    std::vector<std::uint8_t> bytes(length);
    const DWORD got = Ask(request, bytes.data(), static_cast<DWORD>(bytes.size()));
    bytes.resize(got);
    return bytes;
  }

 private:
  static QxbRequest Request(std::uint32_t command, std::uint32_t board) {
    QxbRequest request{};
    request.command = command;
    request.board = board;
    return request;
  }

  QxbState Command(std::uint32_t command, std::uint32_t board) {
    QxbState state{};
    Ask(Request(command, board), &state, sizeof state);
    return state;
  }

  DWORD Ask(QxbRequest request, void* answer, DWORD size) {
    DWORD returned = 0;
    if (!DeviceIoControl(control_, QXB_IOCTL_CONTROL, &request, sizeof request, answer, size,
                         &returned, nullptr))
      throw std::runtime_error("test board command " + std::to_string(request.command) +
                               " failed: " + std::to_string(GetLastError()));
    return returned;
  }

  HANDLE control_;
};

}  // namespace quorix::test
