// Quorix for C++20: a thin, header-only wrapper over the C API of quorix.h. It works with
// either library (link Quorix::quorix or Quorix::quorix-sim) and needs C++20 (std::span);
// the CMake targets ask for it, and other builds pass -std=c++20.
//
//   quorix::Device board = quorix::Device::Open(0);   // throws quorix::Error
//   std::vector<std::uint8_t> data(1 << 20);
//   board.Read(std::span(data));
//   board.SetPortD(0xA5);
//   // closed when board goes out of scope
//
// Statuses are std::error_codes of quorix::Category(): the negative codes of quorix.h, and
// positive Windows error codes kept as they are. Every call that can fail throws
// quorix::Error (a std::system_error); the calls a program uses in its loops (Open, Close,
// BytesAvailable, Read, ReadUpTo, Write, CountDevices) also have a form that reports through
// a std::error_code& and never throws.
//
// Arguments are checked before anything is sent: a value the board or the C API cannot take
// (an index beyond 32 bits, port D above 255, a timeout below 0 or above 2^32 - 1 ms, an
// EEPROM range past the part's end, more than 255 bytes where one request carries them) throws
// std::out_of_range, and a serial number or path with a NUL inside std::invalid_argument,
// instead of being cut to fit. The error_code forms report std::errc::invalid_argument. Read
// and Write take spans of trivially copyable elements only, and Read a span it may fill: other
// spans do not compile.
//
// Reads lose nothing. The C API's QuorixReadDevice, when it times out, has consumed what it
// copied without saying how much; the reads here ask QuorixNumberOfBytesAvailable first and
// take only what the receive ring holds, straight into the caller's buffer, and wait for more
// inside the library with QuorixWaitForBytes, which consumes nothing (no polling, no
// spinning). So every byte they take is reported: ReadUpTo returns what arrived, and a Read
// that fails says in Error::transferred() (or in its return value) how many bytes it
// delivered.
//
// Waiting without blocking: Device::ReadyHandle() gives the descriptor (POSIX) or event
// (Windows) to put in an event loop, and quorix::PlugSubscription reports boards that arrive
// and leave while it lives.
#pragma once

// MSVC reports the standard in _MSVC_LANG; its __cplusplus says 1998 unless told otherwise.
#if (defined(_MSVC_LANG) && _MSVC_LANG < 202002L) || (!defined(_MSVC_LANG) && __cplusplus < 202002L)
#error "quorix.hpp needs C++20: compile with -std=c++20 (CMake: link Quorix::quorix, or cxx_std_20)"
#else

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "quorix/quorix.h"

namespace quorix {

// The library's own statuses; positive values are Windows error codes.
enum class Status : int {
  kOk = QUORIX_OK,
  kFailed = QUORIX_ERR_FAILED,
  kNoDriver = QUORIX_ERR_NO_DRIVER,
  kAlreadyOpen = QUORIX_ERR_ALREADY_OPEN,
  kNotOpen = QUORIX_ERR_NOT_OPEN,
  kTimeout = QUORIX_ERR_TIMEOUT,
  kTransfer = QUORIX_ERR_TRANSFER,
  kOverflow = QUORIX_ERR_OVERFLOW,
  kNoStartupArea = QUORIX_ERR_NO_STARTUP_AREA,
  kNoSpace = QUORIX_ERR_NO_SPACE,
};

struct StatusInfo {
  int code;
  std::string_view name;
  std::string_view message;
};

// Position i holds status -i.
inline constexpr std::array<StatusInfo, 10> kStatuses = {{
    {QUORIX_OK, "QUORIX_OK", "success"},
    {QUORIX_ERR_FAILED, "QUORIX_ERR_FAILED",
     "failed: unknown handle or board, missing argument, no memory, or unusable file"},
    {QUORIX_ERR_NO_DRIVER, "QUORIX_ERR_NO_DRIVER", "the board was unplugged while open"},
    {QUORIX_ERR_ALREADY_OPEN, "QUORIX_ERR_ALREADY_OPEN", "the device is already open"},
    {QUORIX_ERR_NOT_OPEN, "QUORIX_ERR_NOT_OPEN",
     "the device is not open, or another process opened it"},
    {QUORIX_ERR_TIMEOUT, "QUORIX_ERR_TIMEOUT", "the transfer did not complete in time"},
    {QUORIX_ERR_TRANSFER, "QUORIX_ERR_TRANSFER", "the transfer ended in time but failed"},
    {QUORIX_ERR_OVERFLOW, "QUORIX_ERR_OVERFLOW",
     "the driver reported more data than the read asked for; the ring was emptied"},
    {QUORIX_ERR_NO_STARTUP_AREA, "QUORIX_ERR_NO_STARTUP_AREA",
     "the EEPROM holds no startup-command area"},
    {QUORIX_ERR_NO_SPACE, "QUORIX_ERR_NO_SPACE", "the startup command does not fit the EEPROM"},
}};

namespace detail {
constexpr bool StatusesInOrder() {
  for (std::size_t i = 0; i < kStatuses.size(); ++i)
    if (kStatuses[i].code != -static_cast<int>(i)) return false;
  return true;
}
}  // namespace detail
static_assert(detail::StatusesInOrder(), "kStatuses[i] is status -i");
static_assert(kStatuses.size() == 1 - QUORIX_ERR_NO_SPACE, "every status has a name");
static_assert(static_cast<int>(Status::kTimeout) == QUORIX_ERR_TIMEOUT);
static_assert(static_cast<int>(Status::kNoSpace) == QUORIX_ERR_NO_SPACE);

namespace detail {

struct WindowsCode {
  int code;
  std::string_view name;
  std::string_view message;
  std::errc condition;
};

// The Windows codes the library passes on most, what they mean for a board, and the portable
// condition they mean.
inline constexpr WindowsCode kWindowsCodes[] = {
    {2, "ERROR_FILE_NOT_FOUND", "not found: the board's interface has gone",
     std::errc::no_such_device},
    {5, "ERROR_ACCESS_DENIED", "access denied: no permission to open the board",
     std::errc::permission_denied},
    {8, "ERROR_NOT_ENOUGH_MEMORY", "not enough memory", std::errc::not_enough_memory},
    {31, "ERROR_GEN_FAILURE", "the board stalled the request or is not functioning",
     std::errc::io_error},
    {50, "ERROR_NOT_SUPPORTED", "not supported", std::errc::not_supported},
    {87, "ERROR_INVALID_PARAMETER", "invalid parameter", std::errc::invalid_argument},
    {121, "ERROR_SEM_TIMEOUT", "timed out: the board did not answer within its second",
     std::errc::timed_out},
    {170, "ERROR_BUSY", "busy: another process has this board open",
     std::errc::device_or_resource_busy},
    {995, "ERROR_OPERATION_ABORTED", "aborted: the transfer was cancelled",
     std::errc::operation_canceled},
    {1117, "ERROR_IO_DEVICE", "I/O device error: the transfer failed on the wire",
     std::errc::io_error},
    {1167, "ERROR_DEVICE_NOT_CONNECTED", "not connected: the board was unplugged",
     std::errc::no_such_device},
};

inline const WindowsCode* FindWindowsCode(int code) {
  for (const WindowsCode& known : kWindowsCodes)
    if (known.code == code) return &known;
  return nullptr;
}

class Category final : public std::error_category {
 public:
  const char* name() const noexcept override { return "quorix"; }

  std::string message(int status) const override {
    if (status <= 0 && -status < static_cast<int>(kStatuses.size()))
      return std::string(kStatuses[static_cast<std::size_t>(-status)].message);
    if (const WindowsCode* known = FindWindowsCode(status))
      return "Windows error " + std::to_string(status) + ": " + std::string(known->message);
    return status > 0 ? "Windows error " + std::to_string(status)
                      : "unknown status " + std::to_string(status);
  }

  std::error_condition default_error_condition(int status) const noexcept override {
    switch (status) {
      case QUORIX_ERR_TIMEOUT:
        return std::errc::timed_out;
      case QUORIX_ERR_NO_DRIVER:
        return std::errc::no_such_device;
      case QUORIX_ERR_ALREADY_OPEN:
        return std::errc::device_or_resource_busy;
      case QUORIX_ERR_OVERFLOW:
        return std::errc::value_too_large;
      case QUORIX_ERR_NO_SPACE:
        return std::errc::no_space_on_device;
      default:
        break;
    }
    if (const WindowsCode* known = FindWindowsCode(status)) return known->condition;
    return {status, *this};
  }
};

}  // namespace detail

// What a status means, in a few words ("the transfer did not complete in time"); empty for a
// Windows code without an entry.
inline std::string StatusMeaning(int status) {
  if (status <= 0 && -status < static_cast<int>(kStatuses.size()))
    return std::string(kStatuses[static_cast<std::size_t>(-status)].message);
  const detail::WindowsCode* known = detail::FindWindowsCode(status);
  return known != nullptr ? std::string(known->message) : std::string();
}

// The name of a status: "QUORIX_ERR_TIMEOUT", or "Windows error 121 (ERROR_SEM_TIMEOUT)".
inline std::string StatusName(int status) {
  if (status <= 0 && -status < static_cast<int>(kStatuses.size()))
    return std::string(kStatuses[static_cast<std::size_t>(-status)].name);
  if (status < 0) return "status " + std::to_string(status);
  std::string name = "Windows error " + std::to_string(status);
  if (const detail::WindowsCode* known = detail::FindWindowsCode(status))
    name += " (" + std::string(known->name) + ")";
  return name;
}

inline const std::error_category& Category() noexcept {
  static const detail::Category category;
  return category;
}

inline std::error_code MakeErrorCode(int status) noexcept { return {status, Category()}; }
inline std::error_code make_error_code(Status status) noexcept {
  return MakeErrorCode(static_cast<int>(status));
}

// A failed call: code() is the status in quorix::Category(). A read or write that fails after
// moving data says how much it moved: transferred() bytes, into the caller's buffer or onto
// the wire; Read(count), whose buffer is its own, also hands them over in partial().
class Error : public std::system_error {
 public:
  Error(int status, const std::string& what, std::size_t transferred = 0)
      : std::system_error(MakeErrorCode(status), what), transferred_(transferred) {}
  Error(int status, const std::string& what, std::vector<std::uint8_t> partial)
      : Error(status, what, partial.size()) {
    partial_ = std::make_shared<const std::vector<std::uint8_t>>(std::move(partial));
  }
  // An error whose what() is text as it stands, for a failure the wrapper can name better
  // than the status's meaning does ("no board is plugged in", "this device is not open").
  static Error Explained(int status, std::string text) {
    Error error(status, text);
    error.text_ = std::make_shared<const std::string>(std::move(text));
    return error;
  }
  int status() const noexcept { return code().value(); }
  std::size_t transferred() const noexcept { return transferred_; }
  std::span<const std::uint8_t> partial() const noexcept {
    return partial_ ? std::span<const std::uint8_t>(*partial_) : std::span<const std::uint8_t>();
  }
  const char* what() const noexcept override {
    return text_ ? text_->c_str() : std::system_error::what();
  }

 private:
  std::size_t transferred_;
  // Shared, so that copying the exception cannot throw.
  std::shared_ptr<const std::vector<std::uint8_t>> partial_;
  std::shared_ptr<const std::string> text_;
};

// The elements that Read fills and Write sends byte for byte: trivially copyable types
// (bytes, integers, floating point, plain structs). Raw bytes would tear a std::string or any
// type that owns memory.
template <typename T>
concept TriviallyCopyable = std::is_trivially_copyable_v<T>;

namespace detail {
inline void Check(int status, const char* what) {
  if (status != QUORIX_OK) throw Error(status, what);
}
inline void Report(int status, std::error_code& ec) noexcept {
  ec = status == QUORIX_OK ? std::error_code() : MakeErrorCode(status);
}

// An argument narrowed only after it is known to fit: the C API would cut it silently.
template <typename Narrow>
Narrow Checked(std::int64_t value, const char* call, const char* name) {
  if (!std::in_range<Narrow>(value))
    throw std::out_of_range(std::string(call) + ": " + name + " " + std::to_string(value) +
                            " is outside " + std::to_string(std::numeric_limits<Narrow>::min()) +
                            ".." + std::to_string(std::numeric_limits<Narrow>::max()) +
                            "; nothing was sent");
  return static_cast<Narrow>(value);
}

// A count of bytes the C API takes in 32 bits.
inline std::uint32_t CheckedCount(std::size_t value, const char* call, const char* name) {
  if (!std::in_range<std::uint32_t>(value))
    throw std::out_of_range(std::string(call) + ": " + name + " " + std::to_string(value) +
                            " is outside 0..4294967295; nothing was sent");
  return static_cast<std::uint32_t>(value);
}

// A text the C API takes NUL-terminated would end early at a NUL inside.
inline void CheckText(std::string_view text, const char* call, const char* name) {
  if (text.find('\0') != std::string_view::npos)
    throw std::invalid_argument(std::string(call) + ": the " + name +
                                " has a NUL character inside; nothing was sent");
}

struct Moved {
  std::size_t bytes;
  int status;
};

// The calls a read that loses nothing is made of, passed in so that a program that loads the
// library at run time takes the same steps.
struct ReadCalls {
  decltype(&::QuorixNumberOfBytesAvailable) available = &::QuorixNumberOfBytesAvailable;
  decltype(&::QuorixReadDevice) read = &::QuorixReadDevice;
  decltype(&::QuorixWaitForBytes) wait = &::QuorixWaitForBytes;
};

// The longest single wait QuorixWaitForBytes takes; a wait without limit repeats it.
inline constexpr std::uint32_t kLongestWait = std::numeric_limits<std::uint32_t>::max();

// One step of a read that loses nothing: what the ring holds, up to bytes.size(), goes
// straight into the buffer. While it holds nothing, and only when wait_ms is given, the
// library waits for the first byte without consuming any (up to *wait_ms; 0 without limit).
// QuorixReadDevice is asked for no more than the ring holds (or for one byte when the wait
// says nothing more can come), so a timeout or a close ends only a wait that took nothing. When the outstanding read has
// failed, the poll reports it but the ring may still hold what arrived before: those bytes
// are delivered first, and the failure is reported, as the poll said it, once they are gone.
inline Moved TakeHeld(const ReadCalls& calls, QuorixHandle handle, std::span<std::byte> bytes,
                      std::optional<std::uint32_t> wait_ms) noexcept {
  std::uint32_t held = 0;
  const int polled = calls.available(handle, &held);
  if (polled == QUORIX_ERR_OVERFLOW) return {0, polled};
  if (polled != QUORIX_OK || held == 0) {
    if (!wait_ms) return {0, polled};
    int waited = QUORIX_OK;
    do {
      held = 0;
      waited = calls.wait(handle, 1, *wait_ms == 0 ? kLongestWait : *wait_ms, &held);
    } while (waited == QUORIX_ERR_TIMEOUT && *wait_ms == 0);
    if (held == 0 && (polled != QUORIX_OK || waited != QUORIX_OK))
      return {0, polled != QUORIX_OK ? polled : waited};
    // Nothing held, yet nothing more can come until some is read: the library's own read
    // waits for that, and delivers the byte it takes.
    if (held == 0) held = 1;
  }
  const auto piece = static_cast<std::uint32_t>(std::min<std::size_t>(held, bytes.size()));
  const int status = calls.read(handle, piece, bytes.data());
  return {status == QUORIX_OK ? piece : 0u, status};
}

// Takes up to bytes.size() bytes without losing any, step by step as above. The timeout bounds
// each wait, not the whole call. The handle is looked at before each step, so that a Close on
// another thread ends the read with NOT_OPEN between steps as within them.
inline Moved ReadHeld(const std::atomic<QuorixHandle>& device,
                      const std::atomic<std::uint32_t>& timeout_ms,
                      std::span<std::byte> bytes) noexcept {
  std::size_t taken = 0;
  do {
    const QuorixHandle handle = device.load();
    if (handle == nullptr) return {taken, QUORIX_ERR_NOT_OPEN};
    if (bytes.empty()) return {0, QuorixReadDevice(handle, 0, bytes.data())};  // the handle check
    const Moved step = TakeHeld(ReadCalls{}, handle, bytes.subspan(taken), timeout_ms.load());
    taken += step.bytes;
    if (step.status != QUORIX_OK) return {taken, step.status};
  } while (taken < bytes.size());
  return {taken, QUORIX_OK};
}

// A read fills its span: a span of const elements is a mistake to stop at compile time.
template <typename T, std::size_t N>
std::span<std::byte> Fillable(std::span<T, N> buffer) noexcept {
  if constexpr (std::is_const_v<T>) {
    static_assert(!std::is_const_v<T>,
                  "quorix::Device::Read and ReadUpTo fill the span: pass a span of non-const "
                  "elements (std::span<const T> is for Write)");
    return {};
  } else {
    return std::as_writable_bytes(buffer);
  }
}

// One QuorixWriteDevice carries a 32-bit count: larger writes go in pieces of whole 512-byte
// packets, so the packets on the wire are those of one write.
inline constexpr std::size_t kLargestWrite = 0xFFFFFE00u;

inline Moved WritePieces(QuorixHandle handle, std::span<const std::byte> bytes) noexcept {
  std::size_t sent = 0;
  do {  // a write of 0 bytes is passed on too
    const auto piece = static_cast<std::uint32_t>(std::min(bytes.size() - sent, kLargestWrite));
    const int status = QuorixWriteDevice(handle, piece, bytes.data() + sent);
    if (status != QUORIX_OK) return {sent, status};
    sent += piece;
  } while (sent < bytes.size());
  return {sent, QUORIX_OK};
}

inline std::string Transferred(const char* call, std::size_t moved, std::size_t wanted) {
  return std::string(call) + " (" + std::to_string(moved) + " of " + std::to_string(wanted) +
         " bytes transferred)";
}

inline constexpr std::size_t kLargestRequest = 255;  // one control request's count
inline constexpr std::size_t kEepromPage = 32;       // a write within a page, or the part wraps it

inline Error NotOpen(const char* method) {
  return Error::Explained(QUORIX_ERR_NOT_OPEN,
                          std::string("quorix::Device::") + method + ": this device is not open");
}

inline std::string Boards(std::int32_t count) {
  return std::to_string(count) + (count == 1 ? " board is" : " boards are") + " plugged in";
}

// Why an open that the library failed with -1 found no board, when the listing says so: none
// plugged in, no board at index, or none with serial. Nothing otherwise (the -1 had another
// cause, such as no memory).
inline std::optional<std::string> NoSuchBoard(std::optional<std::int32_t> index,
                                              const std::string* serial) {
  std::int32_t count = 0;
  if (QuorixCountDevices(&count) != QUORIX_OK) return std::nullopt;
  if (count == 0) return "no board is plugged in";
  if (index && (*index < 0 || *index >= count))
    return "there is no board " + std::to_string(*index) + ": " + Boards(count) + " (index 0" +
           (count > 1 ? " to " + std::to_string(count - 1) : std::string()) + ")";
  if (serial != nullptr) {
    for (std::int32_t i = 0; i < count; ++i) {
      const char* found = QuorixGetDeviceSerialNumber(i);
      if (found != nullptr && *serial == found) return std::nullopt;
    }
    return "no board has the serial number \"" + *serial + "\": " + Boards(count);
  }
  return std::nullopt;
}

inline void CheckOpen(int status, const char* call, std::optional<std::int32_t> index,
                      const std::string* serial) {
  if (status == QUORIX_ERR_FAILED)
    if (const std::optional<std::string> reason = NoSuchBoard(index, serial))
      throw Error::Explained(status, std::string(call) + ": " + *reason);
  Check(status, call);
}
}  // namespace detail

// The number of boards found (the library lists the driver's interfaces first).
inline std::int32_t CountDevices() {
  std::int32_t count = 0;
  detail::Check(QuorixCountDevices(&count), "QuorixCountDevices");
  return count;
}
inline std::int32_t CountDevices(std::error_code& ec) noexcept {
  std::int32_t count = 0;
  detail::Report(QuorixCountDevices(&count), ec);
  return count;
}

// The serial number of the board at index, or nothing. An index beyond 32 bits throws
// std::out_of_range.
inline std::optional<std::string> SerialNumber(std::int64_t index) {
  const char* serial = QuorixGetDeviceSerialNumber(
      detail::Checked<std::int32_t>(index, "quorix::SerialNumber", "index"));
  if (serial == nullptr) return std::nullopt;
  return std::string(serial);
}

// How a Device reads from its board (QuorixOpenDeviceQueued). The default keeps 16 reads of
// 256 KiB posted into a 64 MiB ring (about 1.2 s at the USB 2.0 rate), so that a board that
// cannot wait loses nothing while the program works on its data; Classic() is the library's
// single read.
struct ReadQueue {
  std::uint32_t reads = 16;
  std::uint32_t read_size = 256 * 1024;
  std::uint32_t ring_size = 64u << 20;
  static constexpr ReadQueue Classic() noexcept { return {0, 0, 0}; }
  friend bool operator==(const ReadQueue&, const ReadQueue&) = default;
};

// What a Device's bulk IN has done since it was opened; see QuorixStreamStatistics.
using StreamStatistics = QuorixStreamStatistics;

namespace detail {
// The queue to open with: the one given, else QUORIX_READ_QUEUE's when set (null: the library
// reads it), else the wrapper's default.
inline const QuorixReadQueue* QueueFor(const std::optional<ReadQueue>& queue,
                                       QuorixReadQueue& out) noexcept {
  if (!queue) {
    const char* environment = std::getenv("QUORIX_READ_QUEUE");
    if (environment != nullptr && *environment != '\0') return nullptr;
  }
  const ReadQueue chosen = queue.value_or(ReadQueue{});
  out = {chosen.reads, chosen.read_size, chosen.ring_size};
  return &out;
}

// The library's transfer timeout until one is set.
inline constexpr std::uint32_t kDefaultTimeoutMs = 200;

// The transfer timeouts set through a Device, by device handle. The library keeps a board's
// timeout when its device is closed and opened again, and offers no call to read it back;
// a read's wait for the first byte needs it, so the wrapper keeps the same memory.
class KnownTimeouts {
 public:
  static KnownTimeouts& Process() {
    static KnownTimeouts known;
    return known;
  }
  std::optional<std::uint32_t> Find(QuorixHandle handle) {
    const std::lock_guard hold(lock_);
    const auto found = by_handle_.find(handle);
    if (found == by_handle_.end()) return std::nullopt;
    return found->second;
  }
  void Remember(QuorixHandle handle, std::uint32_t milliseconds) {
    const std::lock_guard hold(lock_);
    by_handle_[handle] = milliseconds;
  }

 private:
  std::mutex lock_;
  std::unordered_map<QuorixHandle, std::uint32_t> by_handle_;
};
}  // namespace detail

// The native object an event loop waits on: a file descriptor (int) on Linux and macOS, an
// event HANDLE (void*) on Windows.
using NativeHandle = QuorixNativeHandle;

// One open board; closed when destroyed. Move-only; a moved-from or default Device is empty,
// and its calls fail with NOT_OPEN ("this device is not open").
// Its calls may come from several threads at once, as the C API's may (a thread streams while
// another sets port D or closes the board; a read waiting then, or starting after the close,
// fails with NOT_OPEN and says how many bytes it took). Moving, assigning and destroying it
// are not such calls. A Read or ReadUpTo is made of several library calls: give each board one
// reading thread, or two reads of one Device may interleave their pieces of the stream.
class Device {
 public:
  Device() noexcept = default;
  // Takes over a handle that QuorixOpenDevice returned. Its reads wait the timeout a Device
  // last set for this board (SetTimeout), else the library's default of 200 ms: a timeout
  // set through the C API is not seen by them, so set it with SetTimeout.
  explicit Device(QuorixHandle handle) noexcept : handle_(handle) {
    if (handle == nullptr) return;
    try {
      if (const auto known = detail::KnownTimeouts::Process().Find(handle)) {
        // The same again: a board plugged in anew may have a record at the same address.
        (void)QuorixSetTimeOut(handle, *known);
        timeout_ms_.store(*known);
      }
    } catch (...) {  // the memory's lock failed: the default stands
    }
  }
  Device(Device&& other) noexcept
      : handle_(other.handle_.exchange(nullptr)), timeout_ms_(other.timeout_ms_.load()) {}
  Device& operator=(Device&& other) noexcept {
    if (this != &other) {
      std::error_code ignored;
      Close(ignored);
      timeout_ms_.store(other.timeout_ms_.load());
      handle_.store(other.handle_.exchange(nullptr));
    }
    return *this;
  }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  ~Device() {
    std::error_code ignored;
    Close(ignored);
  }

  // Opens the board at index (0-based, among the boards CountDevices counts), reading with the
  // queue given (std::nullopt: QUORIX_READ_QUEUE when set, else ReadQueue{}). When there is
  // no such board the Error says so: "no board is plugged in", "there is no board 3: ...".
  static Device Open(std::int64_t index, std::optional<ReadQueue> queue = std::nullopt) {
    const auto checked = detail::Checked<std::int32_t>(index, "quorix::Device::Open", "index");
    QuorixHandle handle = nullptr;
    QuorixReadQueue shape{};
    detail::CheckOpen(
        QuorixOpenDeviceQueued(checked, nullptr, detail::QueueFor(queue, shape), &handle),
        "QuorixOpenDeviceQueued", checked, nullptr);
    return Device(handle);
  }
  static Device Open(std::int64_t index, std::error_code& ec) noexcept {
    return Open(index, std::nullopt, ec);
  }
  static Device Open(std::int64_t index, std::optional<ReadQueue> queue,
                     std::error_code& ec) noexcept {
    if (!std::in_range<std::int32_t>(index)) {
      ec = std::make_error_code(std::errc::invalid_argument);
      return Device();
    }
    QuorixHandle handle = nullptr;
    QuorixReadQueue shape{};
    detail::Report(QuorixOpenDeviceQueued(static_cast<std::int32_t>(index), nullptr,
                                          detail::QueueFor(queue, shape), &handle),
                   ec);
    return ec ? Device() : Device(handle);
  }
  static Device OpenSerial(const std::string& serial,
                           std::optional<ReadQueue> queue = std::nullopt) {
    detail::CheckText(serial, "quorix::Device::OpenSerial", "serial number");
    QuorixHandle handle = nullptr;
    QuorixReadQueue shape{};
    detail::CheckOpen(
        QuorixOpenDeviceQueued(0, serial.c_str(), detail::QueueFor(queue, shape), &handle),
        "QuorixOpenDeviceQueued", std::nullopt, &serial);
    return Device(handle);
  }
  static Device OpenSerial(const std::string& serial, std::error_code& ec) noexcept {
    return OpenSerial(serial, std::nullopt, ec);
  }
  static Device OpenSerial(const std::string& serial, std::optional<ReadQueue> queue,
                           std::error_code& ec) noexcept {
    if (serial.find('\0') != std::string::npos) {
      ec = std::make_error_code(std::errc::invalid_argument);
      return Device();
    }
    QuorixHandle handle = nullptr;
    QuorixReadQueue shape{};
    detail::Report(
        QuorixOpenDeviceQueued(0, serial.c_str(), detail::QueueFor(queue, shape), &handle), ec);
    return ec ? Device() : Device(handle);
  }

  // The queue the device reads with (reads 0: the classic read). Sends nothing.
  ReadQueue Queue() const {
    QuorixReadQueue shape{};
    detail::Check(QuorixGetReadQueue(Handle("Queue"), &shape), "QuorixGetReadQueue");
    return {shape.reads, shape.read_size, shape.ring_size};
  }
  // Bytes, completions, gaps without a read at the board and full-ring times since the device
  // was opened. Sends nothing and never waits.
  StreamStatistics Statistics() const {
    StreamStatistics stats{};
    stats.size = sizeof stats;
    detail::Check(QuorixGetStreamStatistics(Handle("Statistics"), &stats),
                  "QuorixGetStreamStatistics");
    return stats;
  }

  // Closes the board; an empty Device does nothing. Another thread may close the Device while
  // this one reads or writes: the read or write ends with NOT_OPEN, and the close waits for it.
  void Close() {
    if (const QuorixHandle handle = handle_.exchange(nullptr))
      detail::Check(QuorixCloseDevice(handle), "QuorixCloseDevice");
  }
  void Close(std::error_code& ec) noexcept {
    ec.clear();
    if (const QuorixHandle handle = handle_.exchange(nullptr))
      detail::Report(QuorixCloseDevice(handle), ec);
  }

  explicit operator bool() const noexcept { return handle_.load() != nullptr; }
  QuorixHandle native_handle() const noexcept { return handle_.load(); }

  // ---- Streaming ----
  // Counts are in bytes, whatever the span's element (a trivially copyable type): a read that
  // stops early may leave its last element partly written.

  // The bytes waiting in the receive ring, after taking in a completed read.
  std::uint32_t BytesAvailable() {
    std::uint32_t count = 0;
    detail::Check(QuorixNumberOfBytesAvailable(Handle("BytesAvailable"), &count),
                  "QuorixNumberOfBytesAvailable");
    return count;
  }
  std::uint32_t BytesAvailable(std::error_code& ec) noexcept {
    std::uint32_t count = 0;
    const QuorixHandle handle = handle_.load();
    detail::Report(handle != nullptr ? QuorixNumberOfBytesAvailable(handle, &count)
                                     : QUORIX_ERR_NOT_OPEN,
                   ec);
    return count;
  }

  // Fills the whole span, waiting as long as data keep arriving within the transfer timeout
  // of one another. On a failure (a timeout among them) the Error says in transferred() how
  // many bytes are at the start of the span; none of them is lost.
  template <TriviallyCopyable T, std::size_t N>
  void Read(std::span<T, N> buffer) {
    const auto bytes = detail::Fillable(buffer);
    const detail::Moved read = detail::ReadHeld(handle_, timeout_ms_, bytes);
    if (read.status != QUORIX_OK) ThrowRead(read, bytes.size());
  }
  // The same, reporting through ec; returns the bytes delivered (the span's size on success).
  template <TriviallyCopyable T, std::size_t N>
  std::size_t Read(std::span<T, N> buffer, std::error_code& ec) noexcept {
    const detail::Moved read = detail::ReadHeld(handle_, timeout_ms_, detail::Fillable(buffer));
    detail::Report(read.status, ec);
    return read.bytes;
  }
  // Reads count bytes into a vector of its own; a failed read hands what it took over in
  // Error::partial().
  std::vector<std::uint8_t> Read(std::size_t count) {
    std::vector<std::uint8_t> data(count);
    const detail::Moved read =
        detail::ReadHeld(handle_, timeout_ms_, std::as_writable_bytes(std::span(data)));
    if (read.status == QUORIX_ERR_NOT_OPEN && read.bytes == 0 && handle_.load() == nullptr)
      throw detail::NotOpen("Read");
    if (read.status != QUORIX_OK) {
      data.resize(read.bytes);
      throw Error(read.status, detail::Transferred("QuorixReadDevice", read.bytes, count),
                  std::move(data));
    }
    return data;
  }

  // Reads what arrives, up to the span's size: returns once the span is full, or when no data
  // arrived within the transfer timeout, with the number of bytes read (fewer, even 0, only
  // then). A timeout is not an error here; other failures throw, with transferred().
  template <TriviallyCopyable T, std::size_t N>
  std::size_t ReadUpTo(std::span<T, N> buffer) {
    const auto bytes = detail::Fillable(buffer);
    const detail::Moved read = detail::ReadHeld(handle_, timeout_ms_, bytes);
    if (read.status != QUORIX_OK && read.status != QUORIX_ERR_TIMEOUT)
      ThrowRead(read, bytes.size(), "ReadUpTo");
    return read.bytes;
  }
  template <TriviallyCopyable T, std::size_t N>
  std::size_t ReadUpTo(std::span<T, N> buffer, std::error_code& ec) noexcept {
    const detail::Moved read = detail::ReadHeld(handle_, timeout_ms_, detail::Fillable(buffer));
    detail::Report(read.status == QUORIX_ERR_TIMEOUT ? QUORIX_OK : read.status, ec);
    return read.bytes;
  }

  // Sends the span on bulk OUT; beyond 4 GiB in several writes. Each write waits for the
  // driver up to the transfer timeout; a failure says in transferred() how many bytes the
  // writes before it sent.
  template <TriviallyCopyable T, std::size_t N>
  void Write(std::span<T, N> data) {
    const auto bytes = std::as_bytes(data);
    const detail::Moved written = detail::WritePieces(Handle("Write"), bytes);
    if (written.status != QUORIX_OK)
      throw Error(written.status,
                  detail::Transferred("QuorixWriteDevice", written.bytes, bytes.size()),
                  written.bytes);
  }
  template <TriviallyCopyable T, std::size_t N>
  void Write(std::span<T, N> data, std::error_code& ec) noexcept {
    const QuorixHandle handle = handle_.load();
    detail::Report(handle != nullptr ? detail::WritePieces(handle, std::as_bytes(data)).status
                                     : QUORIX_ERR_NOT_OPEN,
                   ec);
  }

  // The transfer timeout, which bounds each wait of a read or write: 0 waits without limit,
  // and at most 2^32 - 1 ms. The library keeps it when the device is closed and opened again.
  void SetTimeout(std::chrono::milliseconds timeout) {
    const auto milliseconds = detail::Checked<std::uint32_t>(
        timeout.count(), "quorix::Device::SetTimeout", "timeout in milliseconds");
    const QuorixHandle handle = Handle("SetTimeout");
    detail::Check(QuorixSetTimeOut(handle, milliseconds), "QuorixSetTimeOut");
    timeout_ms_.store(milliseconds);
    detail::KnownTimeouts::Process().Remember(handle, milliseconds);
  }

  // ---- Waiting without blocking ----

  // The data-ready handle for poll/select/epoll (readable), WaitForMultipleObjects (signalled)
  // or asyncio's add_reader: ready while the ring holds at least the ready threshold of bytes
  // (SetReadyThreshold; 1 unless set), and when the device fails, its board goes or a close
  // begins. Level-triggered, and the library's: never read, write or close it; it closes
  // with the Device, so take it out of the wait set first. Only for a Device reading with
  // queued reads (the default ReadQueue), and not in the simulated library on its virtual
  // clock: otherwise Error -1.
  NativeHandle ReadyHandle() const {
    NativeHandle native{};
    detail::Check(QuorixGetReadyHandle(Handle("ReadyHandle"), &native), "QuorixGetReadyHandle");
    return native;
  }
  // How many bytes the ring must hold for ReadyHandle() to be ready: 1 to half the ring's
  // size (std::out_of_range beyond 32 bits; the library refuses the rest with -1).
  void SetReadyThreshold(std::size_t bytes) {
    const std::uint32_t checked =
        detail::CheckedCount(bytes, "quorix::Device::SetReadyThreshold", "threshold in bytes");
    detail::Check(QuorixSetReadyThreshold(Handle("SetReadyThreshold"), checked),
                  "QuorixSetReadyThreshold");
  }
  // Waits up to timeout (0: not at all) until the ring holds at least count bytes, consuming
  // nothing, and returns how many it holds: count or more, or fewer when the time ran out or
  // the ring is full (read to make room). count is 1 to half the ring's size. A failure
  // (the board gone, a failed read, an overrun, a close) throws; bytes the ring kept from
  // before a failed read are held and counted first, as a read delivers them first.
  std::uint32_t WaitForBytes(std::size_t count, std::chrono::milliseconds timeout) {
    const auto [wanted, milliseconds] = WaitArguments(count, timeout);
    std::uint32_t held = 0;
    const int status = QuorixWaitForBytes(Handle("WaitForBytes"), wanted, milliseconds, &held);
    if (status != QUORIX_OK && status != QUORIX_ERR_TIMEOUT)
      throw Error(status, "QuorixWaitForBytes");
    return held;
  }
  std::uint32_t WaitForBytes(std::size_t count, std::chrono::milliseconds timeout,
                             std::error_code& ec) noexcept {
    if (!std::in_range<std::uint32_t>(count) || !std::in_range<std::uint32_t>(timeout.count())) {
      ec = std::make_error_code(std::errc::invalid_argument);
      return 0;
    }
    const QuorixHandle handle = handle_.load();
    std::uint32_t held = 0;
    const int status = handle != nullptr
                           ? QuorixWaitForBytes(handle, static_cast<std::uint32_t>(count),
                                                static_cast<std::uint32_t>(timeout.count()), &held)
                           : QUORIX_ERR_NOT_OPEN;
    detail::Report(status == QUORIX_ERR_TIMEOUT ? QUORIX_OK : status, ec);
    return held;
  }

  // ---- Board controls: values 0 to 255 ----

  void SetPortD(std::int64_t outputs) {
    SendByte(QuorixSetPortDOutputs, outputs, "SetPortD", "port D outputs", "QuorixSetPortDOutputs");
  }
  // At most 255 values, applied in order in one request; the latch keeps the last.
  void SetPortDSequence(std::span<const std::uint8_t> outputs) {
    const auto count =
        detail::Checked<std::uint8_t>(static_cast<std::int64_t>(outputs.size()),
                                      "quorix::Device::SetPortDSequence", "number of values");
    detail::Check(QuorixSetPortDOutputsExt(Handle("SetPortDSequence"), count, outputs.data()),
                  "QuorixSetPortDOutputsExt");
  }
  std::uint8_t PortD() {
    std::uint8_t outputs = 0;
    detail::Check(QuorixGetPortDOutputs(Handle("PortD"), &outputs), "QuorixGetPortDOutputs");
    return outputs;
  }
  void SetPortDEnable(std::int64_t mask) {
    SendByte(QuorixSetPortDOutputEnable, mask, "SetPortDEnable", "port D output enables",
             "QuorixSetPortDOutputEnable");
  }
  void SetFpgaMode(std::int64_t mode) {
    SendByte(QuorixSetConfFpgaMode, mode, "SetFpgaMode", "FPGA mode", "QuorixSetConfFpgaMode");
  }

  // ---- EEPROM: any length within the part's addresses ----
  // The board's own EEPROM (select 1) has QUORIX_EEPROM_SIZE bytes (8 KiB) and wraps an
  // address past its end to 0, over the startup command's chain of addresses: a range past
  // its end throws std::out_of_range before anything is sent. At other selects, whose part
  // the wrapper does not know, ranges end at the last 16-bit address, 0xFFFF.

  // Reads data.size() bytes from address on, in requests of at most 255 bytes. A failure
  // says in transferred() how many bytes at the start of data were read.
  void ReadEeprom(std::int64_t address, std::span<std::uint8_t> data, std::int64_t select = 1) {
    const auto [start, part] = EepromRange(address, data.size(), select, "ReadEeprom");
    const QuorixHandle handle = Handle("ReadEeprom");
    for (std::size_t done = 0; done < data.size();) {
      const std::size_t piece = std::min(detail::kLargestRequest, data.size() - done);
      const int status = QuorixReadEprom(handle, part, static_cast<std::uint16_t>(start + done),
                                         static_cast<std::uint8_t>(piece), data.data() + done);
      if (status != QUORIX_OK) throw Error(status, "QuorixReadEprom", done);
      done += piece;
    }
  }
  // Writes data at address on, split so that no request crosses a 32-byte EEPROM page (a
  // part such as the 24C64 wraps a write at its page's end). A failure says in
  // transferred() how many bytes were written.
  void WriteEeprom(std::int64_t address, std::span<const std::uint8_t> data,
                   std::int64_t select = 1) {
    const auto [start, part] = EepromRange(address, data.size(), select, "WriteEeprom");
    const QuorixHandle handle = Handle("WriteEeprom");
    for (std::size_t done = 0; done < data.size();) {
      const std::size_t at = start + done;
      const std::size_t piece =
          std::min(detail::kEepromPage - at % detail::kEepromPage, data.size() - done);
      const int status = QuorixWriteEprom(handle, part, static_cast<std::uint16_t>(at),
                                          static_cast<std::uint8_t>(piece), data.data() + done);
      if (status != QUORIX_OK) throw Error(status, "QuorixWriteEprom", done);
      done += piece;
    }
  }

  // Stores the startup command in the EEPROM (at most 65,535 bytes reach the library, which
  // refuses what does not fit with QUORIX_ERR_NO_SPACE).
  void SetStartupCommand(std::string_view command) {
    const auto length =
        detail::Checked<std::uint16_t>(static_cast<std::int64_t>(command.size()),
                                       "quorix::Device::SetStartupCommand", "command length");
    detail::Check(QuorixSetStartupCommand(Handle("SetStartupCommand"), length,
                                          reinterpret_cast<const std::uint8_t*>(command.data())),
                  "QuorixSetStartupCommand");
  }

  // Loads an Intel HEX image into the FX2; the path goes to the library in the system's
  // narrow character set.
  void LoadFirmware(const std::filesystem::path& path) {
    const std::string narrow = path.string();
    detail::CheckText(narrow, "quorix::Device::LoadFirmware", "path");
    detail::Check(QuorixLoadFirmware(Handle("LoadFirmware"), narrow.c_str()),
                  "QuorixLoadFirmware");
  }

 private:
  // The handle for a call; an empty Device throws NOT_OPEN.
  QuorixHandle Handle(const char* method) const {
    const QuorixHandle handle = handle_.load();
    if (handle == nullptr) throw detail::NotOpen(method);
    return handle;
  }

  // A read that an empty Device, or a close before it began, ended says so in words.
  void ThrowRead(const detail::Moved& read, std::size_t wanted, const char* method = "Read") const {
    if (read.status == QUORIX_ERR_NOT_OPEN && read.bytes == 0 && handle_.load() == nullptr)
      throw detail::NotOpen(method);
    throw Error(read.status, detail::Transferred("QuorixReadDevice", read.bytes, wanted),
                read.bytes);
  }

  struct EepromPlace {
    std::size_t start;
    std::uint8_t select;
  };
  // The whole range must lie within the part: it would wrap what goes beyond.
  static EepromPlace EepromRange(std::int64_t address, std::size_t count, std::int64_t select,
                                 const char* name) {
    const std::string call = std::string("quorix::Device::") + name;
    const auto part = detail::Checked<std::uint8_t>(select, call.c_str(), "EEPROM select");
    const std::size_t size = part == 1 ? QUORIX_EEPROM_SIZE : 0x10000u;
    const auto start = detail::Checked<std::uint16_t>(address, call.c_str(), "EEPROM address");
    if (start >= size || count > size - start)
      throw std::out_of_range(call + ": " + std::to_string(count) + " bytes from address " +
                              std::to_string(start) + " run past the end of the " +
                              std::to_string(size) + "-byte EEPROM at select " +
                              std::to_string(part) +
                              ", where addresses wrap to 0; nothing was sent");
    return {start, part};
  }

  // A one-byte board request, with its value checked first.
  void SendByte(int(QUORIX_CALL* request)(QuorixHandle, std::uint8_t), std::int64_t value,
                const char* method, const char* name, const char* request_name) {
    const std::string call = std::string("quorix::Device::") + method;
    const auto checked = detail::Checked<std::uint8_t>(value, call.c_str(), name);
    detail::Check(request(Handle(method), checked), request_name);
  }

  struct WaitArgs {
    std::uint32_t count, milliseconds;
  };
  static WaitArgs WaitArguments(std::size_t count, std::chrono::milliseconds timeout) {
    const char* call = "quorix::Device::WaitForBytes";
    return {detail::CheckedCount(count, call, "count"),
            detail::Checked<std::uint32_t>(timeout.count(), call, "timeout in milliseconds")};
  }

  // Atomic, so that a Close on another thread may clear it while a reader looks at it.
  std::atomic<QuorixHandle> handle_{nullptr};
  // The transfer timeout the reads wait for the first byte (0: without limit).
  std::atomic<std::uint32_t> timeout_ms_{detail::kDefaultTimeoutMs};
};

// ---- Plug and unplug notifications ----

enum class PlugEventKind : std::int32_t {
  kArrived = QUORIX_BOARD_ARRIVED,
  kLeft = QUORIX_BOARD_LEFT,
};

// A board of this vendor and product that arrived or left. device is the handle of its device
// when this process has it open (a board that left: its calls then fail with NO_DRIVER until
// it is closed), else null; it stays the Device's, so never close it here.
struct PlugEvent {
  PlugEventKind kind;
  std::string serial;  // "" when it could not be read
  QuorixHandle device = nullptr;
};

// Calls a callable with each PlugEvent while it lives, on the library's watcher thread, one
// event at a time, each arrival and departure once, within about a second; with enumerate set
// it first reports every board present as arrived. The callback may call the library and the
// wrapper (open the board that arrived, close the one that left, end any subscription, its own
// included) and must not throw: an exception that leaves it ends the program
// (std::terminate), since the library's thread cannot take it. A callback that blocks delays
// every subscription's next event.
// Move-only; destroying it (or Unsubscribe) ends the subscription: from another thread once a
// call of the callback in progress has returned, so that what the callback uses may go at
// once; from inside its own callback at once, the callback being freed when it returns.
// Throws Error -1 when the library cannot watch (no thread, no memory, or the simulated
// library on its virtual clock).
class PlugSubscription {
 public:
  PlugSubscription() noexcept = default;
  template <typename Callback>
  requires std::invocable<Callback&, const PlugEvent&> &&
      (!std::same_as<std::remove_cvref_t<Callback>, PlugSubscription>)explicit PlugSubscription(
          Callback&& callback, bool enumerate = false)
      : state_(std::make_unique<State>(std::forward<Callback>(callback))) {
    detail::Check(
        QuorixRegisterPlugCallback(&Trampoline, state_.get(),
                                   enumerate ? QUORIX_PLUG_ENUMERATE : 0u, &registration_),
        "QuorixRegisterPlugCallback");
  }
  PlugSubscription(PlugSubscription&& other) noexcept
      : state_(std::move(other.state_)), registration_(std::exchange(other.registration_, 0)) {}
  PlugSubscription& operator=(PlugSubscription&& other) noexcept {
    if (this != &other) {
      Unsubscribe();
      state_ = std::move(other.state_);
      registration_ = std::exchange(other.registration_, 0);
    }
    return *this;
  }
  PlugSubscription(const PlugSubscription&) = delete;
  PlugSubscription& operator=(const PlugSubscription&) = delete;
  ~PlugSubscription() { Unsubscribe(); }

  void Unsubscribe() noexcept {
    if (registration_ == 0) return;
    (void)QuorixUnregisterPlugCallback(std::exchange(registration_, 0));
    // Inside its own callback the callable is still running: the trampoline frees it after.
    if (Running() == state_.get())
      state_.release()->orphaned = true;
    else
      state_.reset();
  }
  explicit operator bool() const noexcept { return registration_ != 0; }
  // The library's number for it (0 when empty).
  std::uint32_t registration() const noexcept { return registration_; }

 private:
  struct State {
    template <typename Callback>
    explicit State(Callback&& callback) : call(std::forward<Callback>(callback)) {}
    std::function<void(const PlugEvent&)> call;
    bool orphaned = false;  // its subscription ended inside the callback
  };
  // The state whose callback this thread runs now.
  static State*& Running() noexcept {
    thread_local State* running = nullptr;
    return running;
  }
  static void QUORIX_CALL Trampoline(void* context, std::int32_t kind, const char* serial,
                                     QuorixHandle device) noexcept {
    auto* state = static_cast<State*>(context);
    State* const outer = std::exchange(Running(), state);
    state->call(
        PlugEvent{static_cast<PlugEventKind>(kind), serial != nullptr ? serial : "", device});
    Running() = outer;
    if (state->orphaned) delete state;
  }

  std::unique_ptr<State> state_;
  std::uint32_t registration_ = 0;
};

}  // namespace quorix

template <>
struct std::is_error_code_enum<quorix::Status> : std::true_type {};

#endif  // C++20
