// The tool's commands. Each returns the exit status; failures are thrown (see common.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common.h"

namespace quorix::tool {

int List(const Library& library);
int Info(const Api& api, const Options& options);

int PortDSet(const Api& api, const Options& options, std::uint8_t value);
int PortDGet(const Api& api, const Options& options);
int PortDEnable(const Api& api, const Options& options, std::uint8_t mask);
int PortDSequence(const Api& api, const Options& options, const std::vector<std::uint8_t>& bytes);
int FpgaMode(const Api& api, const Options& options, std::uint8_t mode);

struct EepromRead {
  std::uint8_t select = 1;
  std::uint32_t address = 0, length = 0;
  std::string output;  // empty: stdout
  bool hex = false;    // dump even when stdout is not a terminal
};
int ReadEepromCommand(const Api& api, const Options& options, const EepromRead& request);

struct EepromWrite {
  std::uint8_t select = 1;
  std::uint32_t address = 0;
  std::vector<std::uint8_t> bytes;
  bool verify = false;
};
int WriteEepromCommand(const Api& api, const Options& options, const EepromWrite& request);

int SetStartup(const Api& api, const Options& options, const std::vector<std::uint8_t>& command);

struct StreamRequest {
  std::optional<std::uint64_t> bytes;
  std::optional<double> seconds;
  std::string output;  // "" none given, "-" stdout
  bool check_counter = false;
};
int Stream(const Api& api, const Options& options, const StreamRequest& request);
int Write(const Api& api, const Options& options, const std::vector<std::uint8_t>& bytes);
int Loopback(const Library& library, const Options& options, std::uint64_t bytes);

int FirmwareLoad(const Api& api, const Options& options, const std::string& path);
int FirmwareCheck(const std::string& path);
int FirmwareRepack(const std::string& in, const std::string& out);

int Demo(const Library& library, const Options& options, const std::string& firmware);

// The EEPROM's startup-command area, read through the public API.
struct StartupArea {
  bool present = false;
  std::uint16_t base = 0, command = 0, length = 0;
};
StartupArea ReadStartupArea(const Api& api, QuorixHandle handle);

// Bytes of a stream checked against the simulated board's counter pattern: 32-bit
// little-endian words counting up from 0. Every word that does not follow its predecessor is
// a gap; an overrun makes one.
class CounterCheck {
 public:
  void Take(const std::uint8_t* data, std::size_t size);
  std::uint64_t gaps() const { return gaps_; }

 private:
  void Word(std::uint32_t word);
  std::uint32_t expected_ = 0;
  std::uint8_t carry_[4] = {};
  std::size_t carried_ = 0;
  std::uint64_t gaps_ = 0;
};

// Reads the stream until the limit (bytes or seconds, or neither: until Ctrl-C) and hands
// each completed read to the sink. An overrun is counted and reading goes on; another
// failure ends the capture with its status.
struct Capture {
  std::uint64_t bytes = 0;
  std::uint64_t overruns = 0;
  double seconds = 0;
  int status = QUORIX_OK;
  bool interrupted = false;
};
using Sink = void (*)(void* context, const std::uint8_t* data, std::size_t size);
Capture CaptureStream(const Api& api, QuorixHandle handle, const StreamRequest& limits, Sink sink,
                      void* context, bool progress);
std::string Summary(const Capture& capture);

// Writes a pattern and reads it back; the first position that differs, if any.
struct LoopbackResult {
  std::uint64_t bytes = 0;
  double seconds = 0;
  std::optional<std::uint64_t> mismatch;
};
LoopbackResult RunLoopback(const Api& api, QuorixHandle handle, std::uint64_t bytes);
// On the simulated library: the boards send back what they receive, and nothing else.
void LoopSimulatedBoards(const Library& library, const Options& options);

}  // namespace quorix::tool
