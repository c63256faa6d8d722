// Whether a board is in use, as the system tells without opening it: opening sends
// SET_CONFIGURATION and posts a read, which a real board may answer.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quorix::tool {

struct BoardUse {
  std::string serial;  // empty when the system does not publish it
  bool in_use = false;
  std::string driver;  // what holds the board's interface: "usbfs" for a program, or a driver
};

// The boards (0xDEAD:0xBEEF) in the native library's listing order, or nullopt where the
// system does not publish who holds a device (everywhere but Linux).
std::optional<std::vector<BoardUse>> BoardsInUse();

}  // namespace quorix::tool
