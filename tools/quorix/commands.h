// The tool's commands. Each returns the exit status; failures are thrown (see common.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common.h"

namespace quorix::tool {

// The board's own EEPROM (select 1): its size, and the top bytes that hold the chain of
// addresses to the startup command (base address, command address, the area's flag).
inline constexpr std::uint32_t kEepromSize = QUORIX_EEPROM_SIZE;
inline constexpr std::uint32_t kEepromSelect = 1;
inline constexpr std::uint32_t kChainStart = 0x1FE8;
// What a 16-bit EEPROM address reaches at another select, whose part the tool does not know.
inline constexpr std::uint32_t kAddressSpace = 0x10000;

// The size of the EEPROM at select, as far as the tool knows it.
inline std::uint32_t EepromSize(std::uint8_t select) {
  return select == kEepromSelect ? kEepromSize : kAddressSpace;
}

int List(const Library& library, const Options& options);
int Info(const Library& library, const Options& options);

int PortDSet(const Library& library, const Options& options, std::uint8_t value);
int PortDGet(const Library& library, const Options& options);
int PortDEnable(const Library& library, const Options& options, std::uint8_t mask);
int PortDSequence(const Library& library, const Options& options,
                  const std::vector<std::uint8_t>& bytes);
int FpgaMode(const Library& library, const Options& options, std::uint8_t mode);

struct EepromRead {
  std::uint8_t select = 1;
  std::uint32_t address = 0, length = 0;
  std::string output;  // empty: stdout
  bool hex = false;    // dump even when stdout is not a terminal
};
int ReadEepromCommand(const Library& library, const Options& options, const EepromRead& request);

struct EepromWrite {
  std::uint8_t select = 1;
  std::uint32_t address = 0;
  std::vector<std::string> words;  // HEXBYTES, or
  std::string file;                // -i FILE
  bool verify = false;
  bool force = false;  // into the startup-area chain too
};
int WriteEepromCommand(const Library& library, const Options& options, const EepromWrite& request);
int DumpEeprom(const Library& library, const Options& options, std::uint8_t select,
               const std::string& path);
int RestoreEeprom(const Library& library, const Options& options, std::uint8_t select,
                  const std::string& path, bool force);
// Refuses (BadArguments) a range that runs past the EEPROM's end, or that touches the
// startup-area chain without force.
void CheckEepromRange(std::uint8_t select, std::uint64_t address, std::uint64_t length, bool force,
                      const std::string& what);

int StartupGet(const Library& library, const Options& options);
// command: the text, or the bytes of file when file is not empty.
int StartupSet(const Library& library, const Options& options, const std::string& command,
               const std::string& file);
int StartupClear(const Library& library, const Options& options);

struct StreamRequest {
  std::optional<std::uint64_t> bytes;
  std::optional<double> seconds;
  std::string output;  // "" none given, "-" stdout
  bool check_counter = false;
};
int Stream(const Library& library, const Options& options, const StreamRequest& request);
int Write(const Library& library, const Options& options, const std::vector<std::string>& words,
          const std::string& file);
int Loopback(const Library& library, const Options& options, std::uint64_t bytes);

int FirmwareLoad(const Library& library, const Options& options, const std::string& path,
                 bool force);
int FirmwareCheck(const Options& options, const std::string& path);
int FirmwareRepack(const std::string& in, const std::string& out);

int Demo(const Library& library, const Options& options, const std::string& firmware);

// Prints each board that arrives or leaves, as it does, until Ctrl-C; with enumerate the
// boards present first, as arrivals. With the simulated library, lines on stdin plug and
// unplug its boards.
int Watch(const Library& library, const Options& options, bool enumerate);

// The EEPROM's startup-command area, read through the public API.
struct StartupArea {
  bool present = false;
  std::uint16_t base = 0, command = 0, length = 0;
  // The longest command that fits at this command address, and whether the stored length
  // stays inside the area.
  std::uint32_t room = 0;
  bool length_fits = false;
};
StartupArea ReadStartupArea(const Api& api, QuorixHandle handle);
// The area as "startup_area" in a JSON document: the same object in info and startup get.
class Json;
void StartupAreaJson(Json& json, const StartupArea& area);
// length bytes of the EEPROM at select from address on, in pieces of 255.
std::vector<std::uint8_t> ReadEeprom(const Api& api, QuorixHandle handle, std::uint8_t select,
                                     std::uint32_t address, std::uint32_t length);

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
// what arrives to the sink. Reading runs on a thread of its own, which waits for the board as
// long as it takes (or idle_limit_ms for each completion, when not 0: the capture then fails
// with -5); the caller's thread keeps the live line, notices Ctrl-C and the time limit, and
// stops the capture on time, closing the device when that is what ends the waiting read.
// Nothing that reached the computer is lost: the reader asks the library only for what the
// ring holds (QuorixWaitForBytes waits for more), and at the stop it takes what the ring still
// holds. An overrun is counted and reading goes on; another failure ends the capture with its
// status.
struct Capture {
  std::uint64_t bytes = 0;
  std::uint64_t overruns = 0;
  double seconds = 0;
  double first_data = -1;  // seconds until the first bytes were handed on; -1 for none
  int status = QUORIX_OK;
  bool interrupted = false;
  // The reading thread still waited for the board when the capture stopped, and the device
  // was closed to end its read: the caller's session no longer holds it.
  bool closed = false;
  // What bulk IN did, taken before the device was closed (none from an older library).
  std::optional<QuorixStreamStatistics> statistics;
};
// Takes what arrived; false when it can take no more, which ends the capture.
using Sink = bool (*)(void* context, const std::uint8_t* data, std::size_t size);
Capture CaptureStream(const Api& api, QuorixHandle handle, const StreamRequest& limits,
                      std::uint32_t idle_limit_ms, Sink sink, void* context, bool progress);
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
