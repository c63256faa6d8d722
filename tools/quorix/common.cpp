#include "common.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "platform.h"
#include "quorix/quorix.hpp"

#if defined(QUORIX_TOOL_HAS_LIBUSB)
#include <libusb.h>
#endif

namespace quorix::tool {

namespace {

bool HasHexPrefix(const std::string& text) {
  return text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

// A serial number as a message shows it: long ones cut, control characters escaped.
std::string Shown(const std::string& text) {
  std::string shown;
  for (const char c : text.substr(0, 64)) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
      shown += escaped;
    } else {
      shown += c;
    }
  }
  if (text.size() > 64) shown += "... (" + std::to_string(text.size()) + " characters)";
  return "'" + shown + "'";
}

std::string Boards(std::int32_t count) {
  return std::to_string(count) + (count == 1 ? " board" : " boards");
}

}  // namespace

std::string Explain(int status) {
  // The tool's own handles: -4 can only mean that the device is not open (any more).
  if (status == QUORIX_ERR_NOT_OPEN) return "this device is not open (QUORIX_ERR_NOT_OPEN)";
  std::string meaning = StatusMeaning(status);
  const std::string name = StatusName(status);
  if (status <= 0) return (meaning.empty() ? "unknown status" : meaning) + " (" + name + ")";
  if (meaning.empty())
    return "the driver reported an error that the tool has no words for (" + name + ")";
  // "Windows error 170 (ERROR_BUSY)" as "Windows error 170, ERROR_BUSY".
  std::string code = name;
  const std::size_t open = code.find(" (");
  if (open != std::string::npos && code.back() == ')')
    code = code.substr(0, open) + ", " + code.substr(open + 2, code.size() - open - 3);
  return meaning + " (" + code + ")";
}

std::string ExplainFailure(const Library& library, int status) {
  // -1 covers many causes; the commonest at a bench is the board's absence, which the
  // listing tells.
  std::int32_t count = 0;
  if (status == QUORIX_ERR_FAILED && library.api().QuorixCountDevices(&count) == QUORIX_OK &&
      count == 0)
    return "no board is plugged in (QUORIX_ERR_FAILED)";
  return Explain(status);
}

std::string StatusCode(int status) {
  if (status <= 0) return StatusName(status);
  if (const detail::WindowsCode* known = detail::FindWindowsCode(status))
    return std::string(known->name);
  return "WINDOWS_ERROR_" + std::to_string(status);
}

void Check(int status, const std::string& what) {
  if (status != QUORIX_OK) throw CallFailed(what, status);
}

std::string NoBoardHint([[maybe_unused]] const Library& library) {
  std::string hint;
#if defined(QUORIX_TOOL_HAS_LIBUSB)
  if (library.sim() != nullptr) return hint;
  // Is one there that this user may not open?
  libusb_context* context = nullptr;
  if (libusb_init(&context) != 0) return hint;
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(context, &list);
  for (ssize_t i = 0; i < count; ++i) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(list[i], &descriptor) != 0) continue;
    if (descriptor.idVendor != QUORIX_VENDOR_ID || descriptor.idProduct != QUORIX_PRODUCT_ID)
      continue;
    libusb_device_handle* handle = nullptr;
    const int r = libusb_open(list[i], &handle);
    if (r == 0) {
      libusb_close(handle);
      continue;
    }
    char text[160];
    std::snprintf(text, sizeof text,
                  "\nA board (0xDEAD:0xBEEF) is on bus %u at address %u, but it cannot be opened "
                  "(%s).",
                  libusb_get_bus_number(list[i]), libusb_get_device_address(list[i]),
                  libusb_error_name(r));
    hint += text;
    if (r == LIBUSB_ERROR_ACCESS)
      hint +=
          "\nInstall the udev rule packaging/linux/60-quorix.rules (see \"Linux permissions\" "
          "in docs/install.md), then plug the board in again.";
  }
  if (count >= 0) libusb_free_device_list(list, 1);
  libusb_exit(context);
#endif
  return hint;
}

Session::Session(const Library& library, const Options& options) : api_(library.api()) {
  std::string what;
  int status = QUORIX_OK;
  if (options.serial) {
    what = "opening the board with serial number " + Shown(*options.serial);
    status = options.read_queue
                 ? api_.QuorixOpenDeviceQueued(0, options.serial->c_str(), &*options.read_queue,
                                               &handle_)
                 : api_.QuorixOpenDeviceWithSerial(options.serial->c_str(), &handle_);
  } else {
    what = "opening board " + std::to_string(options.index.value_or(0));
    status = options.read_queue ? api_.QuorixOpenDeviceQueued(options.index.value_or(0), nullptr,
                                                              &*options.read_queue, &handle_)
                                : api_.QuorixOpenDevice(options.index.value_or(0), &handle_);
  }
  if (status == QUORIX_ERR_FAILED) {
    // The library's -1 covers several causes; the listing tells which.
    std::int32_t count = 0;
    Check(api_.QuorixCountDevices(&count), "listing the boards");
    if (count == 0) throw Failure(what + " failed: no board is plugged in" + NoBoardHint(library));
    if (options.serial) {
      std::string there;
      for (std::int32_t i = 0; i < count; ++i) {
        const char* serial = api_.QuorixGetDeviceSerialNumber(i);
        there += (i == 0 ? "" : ", ") + (serial != nullptr ? Shown(serial) : "(unreadable)");
      }
      throw Failure(what + " failed: no board has that serial number; " + Boards(count) +
                    " found: " + there);
    }
    if (options.index.value_or(0) >= count)
      throw Failure(what + " failed: there is no board " +
                    std::to_string(options.index.value_or(0)) + "; " + Boards(count) +
                    " found (index 0" + (count > 1 ? " to " + std::to_string(count - 1) : "") +
                    ")");
  }
  Check(status, what);
  if (options.verbose) {
    const char* serial = options.serial ? options.serial->c_str()
                                        : api_.QuorixGetDeviceSerialNumber(options.index.value_or(0));
    std::fprintf(stderr, "quorix: opened %s (serial number %s)\n",
                 options.serial ? "the board" : ("board " + std::to_string(options.index.value_or(0))).c_str(),
                 serial != nullptr ? Shown(serial).c_str() : "unreadable");
  }
  if (options.timeout_ms) {
    status = api_.QuorixSetTimeOut(handle_, *options.timeout_ms);
    if (status != QUORIX_OK) {
      (void)Close();
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

namespace {
std::vector<SimBoard> gSimBoards;
}  // namespace

const std::vector<SimBoard>& SimulatedBoards() { return gSimBoards; }

void PrepareSimulator(const Library& library, const Options& options) {
  const SimApi* sim = library.sim();
  if (sim == nullptr) return;
  if (sim->QuorixSimStateStatus != nullptr &&
      sim->QuorixSimStateStatus() == QUORIX_SIM_STATE_REFUSED)
    throw Failure(
        "the simulated library refused its state file (the line above says why); nothing was "
        "done. Remove the file, or name another one, to start with a fresh board.");
  if (sim->QuorixSimSaveState != nullptr) platform::SaveBeforeQuitting(sim->QuorixSimSaveState);
  const int boards = options.sim_boards.value_or(1);
  if (boards != 1) {
    sim->QuorixSimReset();
    for (int i = 1; i <= boards; ++i) {
      char serial[24];
      std::snprintf(serial, sizeof serial, "QX-SIM-%04d", i);
      gSimBoards.push_back(
          {serial, sim->QuorixSimAddBoard(serial, QUORIX_VENDOR_ID, QUORIX_PRODUCT_ID)});
    }
  } else {
    gSimBoards.push_back({"QX-SIM-0001", 1});  // the board the library starts with
  }
  if (options.sim_rate)
    for (int board = 1; board <= boards; ++board)
      sim->QuorixSimSetSource(board, QUORIX_SIM_SOURCE_COUNTER, *options.sim_rate);
}

bool SaveSimulator(const Library& library) {
  const SimApi* sim = library.sim();
  return sim == nullptr || sim->QuorixSimSaveState == nullptr ||
         sim->QuorixSimSaveState() == QUORIX_OK;
}

// ---- what people type ----

namespace {

// The digits of a number at the start of text: its value, and where it ends; nullopt when
// there are none or the value does not fit 64 bits.
std::optional<std::uint64_t> LeadingNumber(const std::string& text, std::size_t* end) {
  const bool hex = HasHexPrefix(text);
  const unsigned base = hex ? 16 : 10;
  std::size_t i = hex ? 2 : 0;
  const std::size_t first = i;
  std::uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
    unsigned digit;
    if (c >= '0' && c <= '9')
      digit = static_cast<unsigned>(c - '0');
    else if (hex && c >= 'a' && c <= 'f')
      digit = static_cast<unsigned>(c - 'a' + 10);
    else
      break;
    if (value > (UINT64_MAX - digit) / base) return std::nullopt;
    value = value * base + digit;
  }
  if (i == first) return std::nullopt;
  *end = i;
  return value;
}

}  // namespace

std::uint64_t ParseNumber(const std::string& text, std::uint64_t limit, const std::string& what) {
  std::size_t end = 0;
  const std::optional<std::uint64_t> value = LeadingNumber(text, &end);
  if (!value || end != text.size() || *value > limit)
    throw BadArguments(what + ": '" + text + "' is not a number from 0 to " +
                       std::to_string(limit) + " (decimal, or hexadecimal with 0x)");
  return *value;
}

std::uint64_t ParseSize(const std::string& text, std::uint64_t least, std::uint64_t most,
                        const std::string& what) {
  // As dd and head read them: K, M, G (and KiB, MiB, GiB) count in 1024s, KB, MB, GB in 1000s.
  constexpr std::uint64_t kKibi = 1u << 10, kMebi = 1u << 20, kGibi = 1u << 30;
  static const struct {
    const char* suffix;
    std::uint64_t factor;
  } kSuffixes[] = {{"", 1},         {"K", kKibi},        {"k", kKibi},         {"M", kMebi},
                   {"G", kGibi},    {"KiB", kKibi},      {"kiB", kKibi},       {"MiB", kMebi},
                   {"GiB", kGibi},  {"KB", 1000},        {"kB", 1000},         {"MB", 1000000},
                   {"GB", 1000000000}};
  std::size_t end = 0;
  const std::optional<std::uint64_t> value = LeadingNumber(text, &end);
  if (value) {
    const std::string suffix = text.substr(end);
    for (const auto& known : kSuffixes) {
      if (suffix != known.suffix) continue;
      if (*value > most / known.factor) break;
      const std::uint64_t bytes = *value * known.factor;
      if (bytes >= least && bytes <= most) return bytes;
    }
  }
  throw BadArguments(what + ": '" + text + "' is not a size from " + SizeText(least) + " to " +
                     SizeText(most) +
                     " (a number, decimal or 0x hexadecimal, with K, M or G for 2^10, 2^20, 2^30 "
                     "as in dd, or KB, MB or GB for 10^3, 10^6, 10^9)");
}

std::optional<QuorixReadQueue> ParseReadQueue(const std::string& queue,
                                              const std::string& ring) {
  constexpr std::uint32_t kPacket = 512;
  if (queue == "off" || queue == "0") {
    if (!ring.empty()) throw BadArguments("--ring-size goes with queued reads, not --read-queue off");
    return QuorixReadQueue{0, 0, 0};
  }
  if (queue.empty() && ring.empty()) {
    const char* environment = std::getenv("QUORIX_READ_QUEUE");
    if (environment != nullptr && *environment != '\0') return std::nullopt;
  }
  QuorixReadQueue shape{16, 256 * 1024, 64u << 20};
  if (!queue.empty()) {
    const std::size_t x = queue.find_first_of("xX");
    if (x == std::string::npos)
      throw BadArguments("--read-queue: '" + queue + "' is not NxSIZE (as 16x256K) or off");
    shape.reads = static_cast<std::uint32_t>(ParseSize(queue.substr(0, x), 1, 64, "--read-queue"));
    shape.read_size =
        static_cast<std::uint32_t>(ParseSize(queue.substr(x + 1), kPacket, 4u << 20, "--read-queue"));
    if (shape.read_size % kPacket != 0)
      throw BadArguments("--read-queue: each read is a whole number of 512-byte packets");
  }
  if (!ring.empty()) {
    shape.ring_size = static_cast<std::uint32_t>(ParseSize(ring, kPacket, 1u << 30, "--ring-size"));
    if (shape.ring_size % kPacket != 0)
      throw BadArguments("--ring-size: a whole number of 512-byte packets");
  }
  const std::uint64_t least = 2ull * shape.reads * shape.read_size;
  if (shape.ring_size < least) {
    if (!ring.empty())
      throw BadArguments("--ring-size: at least twice the reads queued (" + SizeText(least) + ")");
    shape.ring_size = static_cast<std::uint32_t>(least);
  }
  return shape;
}

double ParseSeconds(const std::string& text, double most, const std::string& what) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  const bool plain =
      !text.empty() && (std::isdigit(static_cast<unsigned char>(text[0])) != 0 || text[0] == '.');
  if (!plain || errno != 0 || end != text.c_str() + text.size() || !std::isfinite(value) ||
      value <= 0 || value > most)
    throw BadArguments(what + ": '" + text + "' is not a number of seconds above 0 and at most " +
                       std::to_string(static_cast<long long>(most)));
  return value;
}

std::vector<std::uint8_t> ParseHexBytes(const std::vector<std::string>& words) {
  std::vector<std::uint8_t> bytes;
  auto hex_byte = [](const std::string& digits, const std::string& word) {
    std::size_t end = 0;
    const std::optional<std::uint64_t> value = LeadingNumber("0x" + digits, &end);
    if (digits.empty() || digits.size() > 2 || !value || end != digits.size() + 2)
      throw BadArguments("HEXBYTES: '" + word + "' is not hexadecimal bytes");
    return static_cast<std::uint8_t>(*value);
  };
  if (words.size() == 1 && words[0].size() > 2 && !HasHexPrefix(words[0])) {
    const std::string& text = words[0];
    if (text.size() % 2 != 0)
      throw BadArguments("HEXBYTES: '" + text + "' has an odd number of digits");
    for (std::size_t i = 0; i < text.size(); i += 2)
      bytes.push_back(hex_byte(text.substr(i, 2), text));
    return bytes;
  }
  for (const std::string& word : words)
    bytes.push_back(hex_byte(HasHexPrefix(word) ? word.substr(2) : word, word));
  return bytes;
}

std::string SizeText(std::uint64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
  if (bytes < 1024 || bytes % 1024 != 0) return std::to_string(bytes);
  std::uint64_t value = bytes / 1024;
  int unit = 0;
  while (value % 1024 == 0 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  return std::to_string(value) + " " + kUnits[unit];
}

// ---- files ----

std::vector<std::uint8_t> ReadInputFile(const std::string& path, std::uint64_t limit,
                                        const std::string& what) {
  std::vector<std::uint8_t> bytes;
  std::string reason;
  // "-" is standard input, whatever it is; a file named "-" is "./-".
  const bool standard = path == kStandardStream;
  const std::string name = standard ? "from stdin" : "'" + path + "'";
  switch (standard ? platform::ReadStandardInput(limit, &bytes, &reason)
                   : platform::ReadRegularFile(path, limit, &bytes, &reason)) {
    case platform::ReadResult::kRead:
      return bytes;
    case platform::ReadResult::kMissing:
    case platform::ReadResult::kUnreadable:
      throw Failure("cannot read " + what + " " + name + ": " + reason);
    case platform::ReadResult::kNotRegular:
      throw Failure(what + " " + name + " is " + reason +
                    ", not a regular file (give - to read it from stdin)");
    case platform::ReadResult::kTooLarge:
      break;
  }
  throw Failure(what + " " + name + " is larger than the " + SizeText(limit) + " it may have (" +
                reason + ")");
}

OutputFile::OutputFile(const std::string& path) : path_(path) {
  if (path == kStandardStream) {
    file_ = stdout;
    return;
  }
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (std::filesystem::is_directory(status))
    throw Failure("cannot write '" + path + "': it is a directory");
  // A device or a FIFO takes the bytes as they come; renaming over one would replace it.
  const bool direct = std::filesystem::exists(status) && !std::filesystem::is_regular_file(status);
  if (!direct) partial_ = path + ".partial";
  file_ = std::fopen(direct ? path.c_str() : partial_.c_str(), "wb");
  if (file_ == nullptr) {
    partial_.clear();
    throw Failure("cannot write '" + path + "': " + std::strerror(errno));
  }
}

OutputFile::~OutputFile() {
  CloseFile();
  if (!partial_.empty()) std::remove(partial_.c_str());
}

void OutputFile::CloseFile() {
  if (file_ == nullptr) return;
  if ((file_ == stdout ? std::fflush(file_) : std::fclose(file_)) != 0 && !failed_) {
    failed_ = true;
    error_ = errno;
  }
  file_ = nullptr;
}

bool OutputFile::Write(const void* data, std::size_t size) {
  if (failed_ || file_ == nullptr) return false;
  if (std::fwrite(data, 1, size, file_) != size) {
    failed_ = true;
    error_ = errno;
    return false;
  }
  written_ += size;
  return true;
}

void OutputFile::Commit() {
  if (file_ != nullptr && std::fflush(file_) != 0 && !failed_) {
    failed_ = true;
    error_ = errno;
  }
  CloseFile();
  if (failed_) throw Failure(WriteFailure());
  if (partial_.empty()) return;
  std::error_code error;
  std::filesystem::rename(partial_, path_, error);
  if (error) throw Failure("cannot put '" + path_ + "' in place: " + error.message());
  partial_.clear();
}

std::string OutputFile::WriteFailure() const {
  const std::string reason = error_ != 0 ? std::strerror(error_) : "the write failed";
  return "cannot write " + shown() + ": " + reason;
}

std::string OutputFile::shown() const {
  return path_ == kStandardStream ? "to stdout" : "'" + path_ + "'";
}

std::string OutputFile::KeepPartial() {
  CloseFile();
  if (partial_.empty() || written_ == 0 || failed_) return "";
  std::string kept;
  kept.swap(partial_);
  return kept;
}

// ---- signals ----

namespace {
bool gSignalIsTheEnd = false;
}  // namespace

void SignalIsTheEnd() { gSignalIsTheEnd = true; }
bool SignalEndedTheCommand() { return gSignalIsTheEnd; }

// ---- time and progress ----

double Seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

namespace {
bool gShowProgress = true;
}  // namespace

void ShowProgress(bool show) { gShowProgress = show; }

ProgressLine::ProgressLine()
    : terminal_(gShowProgress && platform::IsTerminal(platform::Stream::kError) &&
                !platform::IsPipe(platform::Stream::kOut)) {}

void ProgressLine::Show(const std::string& text, bool force) {
  if (!terminal_) return;
  const double now = Seconds();
  if (!force && last_ >= 0 && now - last_ < 0.2) return;
  last_ = now;
  const std::size_t pad = width_ > text.size() ? width_ - text.size() : 0;
  std::fprintf(stderr, "\r%s%*s", text.c_str(), static_cast<int>(pad), "");
  std::fflush(stderr);
  width_ = text.size();
}

void ProgressLine::Finish() {
  if (!terminal_ || width_ == 0) return;
  std::fprintf(stderr, "\r%*s\r", static_cast<int>(width_), "");
  std::fflush(stderr);
  width_ = 0;
}

}  // namespace quorix::tool
