#include "common.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace quorix::tool {

namespace {

bool HasHexPrefix(const std::string& text) {
  return text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

}  // namespace

void Check(int status, const std::string& what) {
  if (status != QUORIX_OK) throw CallFailed(what, status);
}

Session::Session(const Api& api, const Options& options) : api_(api) {
  if (options.serial) {
    Check(api.QuorixOpenDeviceWithSerial(options.serial->c_str(), &handle_),
          "opening the board with serial " + *options.serial);
  } else {
    const int index = options.index.value_or(0);
    Check(api.QuorixOpenDevice(index, &handle_), "opening board " + std::to_string(index));
  }
  if (options.timeout_ms) {
    const int status = api.QuorixSetTimeOut(handle_, *options.timeout_ms);
    if (status != QUORIX_OK) {
      (void)api.QuorixCloseDevice(handle_);
      Check(status, "setting the timeout");
    }
  }
}

Session::~Session() { (void)Close(); }

int Session::Close() {
  if (handle_ == nullptr) return QUORIX_OK;
  const int status = api_.QuorixCloseDevice(handle_);
  handle_ = nullptr;
  return status;
}

void PrepareSimulator(const Library& library, const Options& options) {
  const SimApi* sim = library.sim();
  if (sim == nullptr) {
    if (options.sim_boards || options.sim_rate)
      throw BadArguments("--sim-boards and --sim-rate need --sim");
    return;
  }
  const int boards = options.sim_boards.value_or(1);
  if (boards != 1) {
    sim->QuorixSimReset();
    for (int i = 1; i <= boards; ++i) {
      char serial[24];
      std::snprintf(serial, sizeof serial, "QX-SIM-%04d", i);
      sim->QuorixSimAddBoard(serial, QUORIX_VENDOR_ID, QUORIX_PRODUCT_ID);
    }
  }
  if (options.sim_rate)
    for (int board = 1; board <= boards; ++board)
      sim->QuorixSimSetSource(board, QUORIX_SIM_SOURCE_COUNTER, *options.sim_rate);
}

std::uint32_t ParseNumber(const std::string& text, std::uint32_t limit, const std::string& what) {
  std::size_t used = 0;
  unsigned long long value = 0;
  try {
    const bool hex = HasHexPrefix(text);
    value = std::stoull(hex ? text.substr(2) : text, &used, hex ? 16 : 10);
    if (hex) used += 2;
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || text[0] == '-' || value > limit)
    throw BadArguments(what + ": '" + text + "' is not a number from 0 to " +
                       std::to_string(limit));
  return static_cast<std::uint32_t>(value);
}

std::vector<std::uint8_t> ParseBytes(const std::vector<std::string>& words) {
  std::vector<std::uint8_t> bytes;
  if (words.size() == 1 && words[0].size() > 2 && !HasHexPrefix(words[0])) {
    const std::string& text = words[0];
    if (text.size() % 2 != 0) throw BadArguments("HEXBYTES: an odd number of digits");
    for (std::size_t i = 0; i < text.size(); i += 2)
      bytes.push_back(
          static_cast<std::uint8_t>(ParseNumber("0x" + text.substr(i, 2), 0xFF, "HEXBYTES")));
    return bytes;
  }
  for (const std::string& word : words)
    bytes.push_back(static_cast<std::uint8_t>(
        ParseNumber(HasHexPrefix(word) ? word : "0x" + word, 0xFF, "byte")));
  return bytes;
}

std::vector<std::uint8_t> ReadWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw Failure("cannot read " + path);
  return {std::istreambuf_iterator<char>(file), {}};
}

bool IsTerminal(int fd) { return isatty(fd) == 1; }

double Seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace quorix::tool
