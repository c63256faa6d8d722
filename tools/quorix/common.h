// What every command of the tool shares: the global options, the open board of a command,
// failures and how they are told, the parsing of what people type, files in and out, and the
// progress line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "library.h"

namespace quorix::tool {

struct Options {
  bool simulated = false;
  std::optional<std::int32_t> index;
  std::optional<std::string> serial;
  std::optional<std::uint32_t> timeout_ms;
  std::optional<int> sim_boards;          // how many simulated boards (default 1)
  std::optional<std::uint32_t> sim_rate;  // the simulated boards' IN rate, bytes per second
  std::string sim_state;                  // --sim-state FILE
  bool json = false;
  bool trace = false;
  bool quiet = false;    // no progress lines
  bool verbose = false;  // the library and the board, on stderr
  bool probe = false;    // list: open each board to learn whether it is in use
  // stream: the reads kept queued (reads 0: the classic read); none: the environment's
  // QUORIX_READ_QUEUE decides.
  std::optional<QuorixReadQueue> read_queue;
};

// A library call that failed, with what the tool was doing. Exit status 1.
struct CallFailed : std::runtime_error {
  CallFailed(const std::string& what, int s) : std::runtime_error(what), status(s) {}
  int status;
};

// Something the tool itself refuses or could not do (a file, a check, an interruption).
// Exit status 1.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Arguments that make no sense. Exit status 2.
struct BadArguments : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A status in words: "busy: another process has this board open (Windows error 170,
// ERROR_BUSY)", "the transfer did not complete in time (QUORIX_ERR_TIMEOUT)".
std::string Explain(int status);
// The same, where the library can tell more: -1 with no board at all is "no board is plugged
// in".
std::string ExplainFailure(const Library& library, int status);
// A status's name for scripts: "QUORIX_ERR_TIMEOUT", "ERROR_BUSY", "WINDOWS_ERROR_1234".
std::string StatusCode(int status);
void Check(int status, const std::string& what);

// One open board for the length of a command. When opening fails it says why, from what the
// tool can find out: no board at all, no board at that index or with that serial number, or
// the library's status in words.
class Session {
 public:
  // Opens with options.read_queue when given (QuorixOpenDeviceQueued), else as the classic
  // calls do.
  Session(const Library& library, const Options& options);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  QuorixHandle handle() const { return handle_; }
  // Closes now and returns the status; the destructor then has nothing left to do.
  int Close();
  // Lets go of a handle that was closed elsewhere.
  void Forget() { handle_ = nullptr; }

 private:
  const Api& api_;
  QuorixHandle handle_ = nullptr;
};

// Why no board was found where one was expected; "" when the tool cannot tell more.
std::string NoBoardHint(const Library& library);

// The simulated library's boards as the options ask for them. A second Ctrl-C saves the
// state file, if any, before it ends the tool.
void PrepareSimulator(const Library& library, const Options& options);
// The simulated boards PrepareSimulator left: serial number and board number, in plug order.
struct SimBoard {
  std::string serial;
  int number;
};
const std::vector<SimBoard>& SimulatedBoards();
// Saves the simulated library's state file, if any, at the end of a command: false when the
// save failed (the library has said why on stderr).
bool SaveSimulator(const Library& library);

// ---- what people type ----

// Decimal, or hexadecimal with 0x; no sign; at most limit.
std::uint64_t ParseNumber(const std::string& text, std::uint64_t limit, const std::string& what);
// A number of bytes: a number as above, optionally followed by K, M or G (or KiB, MiB, GiB:
// 2^10, 2^20, 2^30, as dd and head read them) or KB, MB or GB (10^3, 10^6, 10^9); from least
// to most.
// stream's --read-queue (NxSIZE or off) and --ring-size: the queue to open with, or none when
// neither is given and QUORIX_READ_QUEUE is set (the library then reads it).
std::optional<QuorixReadQueue> ParseReadQueue(const std::string& queue, const std::string& ring);
std::uint64_t ParseSize(const std::string& text, std::uint64_t least, std::uint64_t most,
                        const std::string& what);
// A positive decimal number of seconds, at most most.
double ParseSeconds(const std::string& text, double most, const std::string& what);
// Hex bytes as one string (01020304) or as separate words (01 02 0x03).
std::vector<std::uint8_t> ParseHexBytes(const std::vector<std::string>& words);
// A size in words for messages: "8192", "1 MiB", "256 TiB".
std::string SizeText(std::uint64_t bytes);

// ---- files ----

// The name that means standard input (for -i, IN, FILE that is read) or standard output (for
// -o, OUT, FILE that is written) in every command; a file of that name is "./-".
inline constexpr const char* kStandardStream = "-";

// The bytes of a regular file (or of stdin for "-") of at most limit bytes, for what. Throws
// Failure that names the file and what is wrong with it: missing, unreadable, not a regular
// file, too large.
std::vector<std::uint8_t> ReadInputFile(const std::string& path, std::uint64_t limit,
                                        const std::string& what);

// An output file that is whole or absent: a regular file (or a new one) is written as
// PATH.partial beside it and renamed over PATH only by Commit; a device or FIFO is written
// directly, and "-" is stdout. Opened at once, so that a path that cannot be written fails
// before any work.
class OutputFile {
 public:
  explicit OutputFile(const std::string& path);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // False once a write has failed.
  bool Write(const void* data, std::size_t size);
  // Closes and puts the file in place; throws Failure when that fails.
  void Commit();
  // Closes and keeps what was written as PATH.partial (for a regular file; nothing for an
  // empty one), for the caller to name in its message; empty when nothing was kept.
  std::string KeepPartial();
  const std::string& path() const { return path_; }
  bool standard() const { return path_ == kStandardStream; }
  // "'PATH'", or "to stdout".
  std::string shown() const;
  // "cannot write ...: the system's reason", once a write has failed.
  std::string WriteFailure() const;

 private:
  void CloseFile();
  std::string path_;
  std::string partial_;  // empty when PATH is written directly
  std::FILE* file_ = nullptr;
  bool failed_ = false;
  int error_ = 0;
  std::uint64_t written_ = 0;
};

// ---- signals ----

// A command whose normal end is a signal (a stream without a limit) says so, and the tool then
// exits with the command's status instead of 128 + the signal's number.
void SignalIsTheEnd();
bool SignalEndedTheCommand();

// ---- time and progress ----

double Seconds();  // a monotonic clock

// Whether progress lines may be drawn at all (not with --quiet).
void ShowProgress(bool show);

// A line on stderr that is redrawn in place, at most five times a second, on a terminal only,
// and only while stdout is not a pipe: the program reading it (pv, say) may draw its own line
// on the same terminal.
class ProgressLine {
 public:
  ProgressLine();
  bool shown() const { return terminal_; }
  // Draws text when the last drawing is old enough, or when forced.
  void Show(const std::string& text, bool force = false);
  // Clears the line, so that what follows starts at its beginning.
  void Finish();

 private:
  bool terminal_;
  double last_ = -1;
  std::size_t width_ = 0;
};

}  // namespace quorix::tool
