// What every command of the tool shares: the global options, the open board of a command,
// failures, and the parsing of what people type.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "library.h"

namespace quorix::tool {

struct Options {
  bool simulated = false;
  std::optional<int> index;
  std::optional<std::string> serial;
  std::optional<std::uint32_t> timeout_ms;
  std::optional<int> sim_boards;          // how many simulated boards (default 1)
  std::optional<std::uint32_t> sim_rate;  // the simulated boards' IN rate, bytes per second
};

// A library call that failed, with what the tool was doing. Exit status 1.
struct CallFailed : std::runtime_error {
  CallFailed(const std::string& what, int s) : std::runtime_error(what), status(s) {}
  int status;
};

// Something the tool itself refuses or could not do (a file, a check). Exit status 1.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Arguments that make no sense. Exit status 2.
struct BadArguments : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void Check(int status, const std::string& what);

// One open board for the length of a command.
class Session {
 public:
  Session(const Api& api, const Options& options);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  QuorixHandle handle() const { return handle_; }
  // Closes now and returns the status; the destructor then has nothing left to do.
  int Close();

 private:
  const Api& api_;
  QuorixHandle handle_ = nullptr;
};

// The simulated library's boards as the options ask for them.
void PrepareSimulator(const Library& library, const Options& options);

// Decimal or 0x hexadecimal, at most limit.
std::uint32_t ParseNumber(const std::string& text, std::uint32_t limit, const std::string& what);
// Hex bytes as one string (01020304) or as separate words (01 02 0x03).
std::vector<std::uint8_t> ParseBytes(const std::vector<std::string>& words);
std::vector<std::uint8_t> ReadWholeFile(const std::string& path);

bool IsTerminal(int fd);
double Seconds();  // a monotonic clock

}  // namespace quorix::tool
