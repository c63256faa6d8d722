// Quorix for C++20: a thin, header-only wrapper over the C API of quorix.h. It works with
// either library (link Quorix::quorix or Quorix::quorix-sim).
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
// BytesAvailable, Read, Write, CountDevices) also have a form that reports through a
// std::error_code& and never throws.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
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
     "more data arrived than the receive ring could hold"},
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

// The Windows codes the library passes on most, with the portable condition they mean.
inline constexpr WindowsCode kWindowsCodes[] = {
    {2, "ERROR_FILE_NOT_FOUND", "file not found", std::errc::no_such_device},
    {5, "ERROR_ACCESS_DENIED", "access denied", std::errc::permission_denied},
    {8, "ERROR_NOT_ENOUGH_MEMORY", "not enough memory", std::errc::not_enough_memory},
    {31, "ERROR_GEN_FAILURE", "the board stalled the request or is not functioning",
     std::errc::io_error},
    {50, "ERROR_NOT_SUPPORTED", "not supported", std::errc::not_supported},
    {87, "ERROR_INVALID_PARAMETER", "invalid parameter", std::errc::invalid_argument},
    {121, "ERROR_SEM_TIMEOUT", "the semaphore timeout period has expired", std::errc::timed_out},
    {170, "ERROR_BUSY", "the resource is busy", std::errc::device_or_resource_busy},
    {995, "ERROR_OPERATION_ABORTED", "the I/O operation has been aborted",
     std::errc::operation_canceled},
    {1117, "ERROR_IO_DEVICE", "I/O device error", std::errc::io_error},
    {1167, "ERROR_DEVICE_NOT_CONNECTED", "the device is not connected", std::errc::no_such_device},
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

// A failed call: code() is the status in quorix::Category().
class Error : public std::system_error {
 public:
  Error(int status, const std::string& what) : std::system_error(MakeErrorCode(status), what) {}
  int status() const noexcept { return code().value(); }
};

namespace detail {
inline void Check(int status, const char* what) {
  if (status != QUORIX_OK) throw Error(status, what);
}
inline void Report(int status, std::error_code& ec) noexcept {
  ec = status == QUORIX_OK ? std::error_code() : MakeErrorCode(status);
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

// The serial number of the board at index, or nothing.
inline std::optional<std::string> SerialNumber(std::int32_t index) {
  const char* serial = QuorixGetDeviceSerialNumber(index);
  if (serial == nullptr) return std::nullopt;
  return std::string(serial);
}

// One open board; closed when destroyed. Move-only; a moved-from or default Device is empty.
class Device {
 public:
  Device() noexcept = default;
  // Takes over a handle that QuorixOpenDevice returned.
  explicit Device(QuorixHandle handle) noexcept : handle_(handle) {}
  Device(Device&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Device& operator=(Device&& other) noexcept {
    if (this != &other) {
      std::error_code ignored;
      Close(ignored);
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  ~Device() {
    std::error_code ignored;
    Close(ignored);
  }

  static Device Open(std::int32_t index) {
    QuorixHandle handle = nullptr;
    detail::Check(QuorixOpenDevice(index, &handle), "QuorixOpenDevice");
    return Device(handle);
  }
  static Device Open(std::int32_t index, std::error_code& ec) noexcept {
    QuorixHandle handle = nullptr;
    detail::Report(QuorixOpenDevice(index, &handle), ec);
    return ec ? Device() : Device(handle);
  }
  static Device OpenSerial(const std::string& serial) {
    QuorixHandle handle = nullptr;
    detail::Check(QuorixOpenDeviceWithSerial(serial.c_str(), &handle),
                  "QuorixOpenDeviceWithSerial");
    return Device(handle);
  }
  static Device OpenSerial(const std::string& serial, std::error_code& ec) noexcept {
    QuorixHandle handle = nullptr;
    detail::Report(QuorixOpenDeviceWithSerial(serial.c_str(), &handle), ec);
    return ec ? Device() : Device(handle);
  }

  void Close() {
    if (handle_ != nullptr)
      detail::Check(QuorixCloseDevice(std::exchange(handle_, nullptr)), "QuorixCloseDevice");
  }
  void Close(std::error_code& ec) noexcept {
    ec.clear();
    if (handle_ != nullptr) detail::Report(QuorixCloseDevice(std::exchange(handle_, nullptr)), ec);
  }

  explicit operator bool() const noexcept { return handle_ != nullptr; }
  QuorixHandle native_handle() const noexcept { return handle_; }

  // ---- Streaming ----

  std::uint32_t BytesAvailable() {
    std::uint32_t count = 0;
    detail::Check(QuorixNumberOfBytesAvailable(handle_, &count), "QuorixNumberOfBytesAvailable");
    return count;
  }
  std::uint32_t BytesAvailable(std::error_code& ec) noexcept {
    std::uint32_t count = 0;
    detail::Report(QuorixNumberOfBytesAvailable(handle_, &count), ec);
    return count;
  }

  // Fills the whole span (of bytes or of any trivially copyable element).
  template <typename T, std::size_t N>
  void Read(std::span<T, N> buffer) {
    const auto bytes = std::as_writable_bytes(buffer);
    detail::Check(QuorixReadDevice(handle_, Count(bytes.size()), bytes.data()), "QuorixReadDevice");
  }
  template <typename T, std::size_t N>
  void Read(std::span<T, N> buffer, std::error_code& ec) noexcept {
    const auto bytes = std::as_writable_bytes(buffer);
    if (bytes.size() > UINT32_MAX) return detail::Report(QUORIX_ERR_FAILED, ec);
    detail::Report(
        QuorixReadDevice(handle_, static_cast<std::uint32_t>(bytes.size()), bytes.data()), ec);
  }
  std::vector<std::uint8_t> Read(std::uint32_t count) {
    std::vector<std::uint8_t> data(count);
    Read(std::span(data));
    return data;
  }

  template <typename T, std::size_t N>
  void Write(std::span<T, N> data) {
    const auto bytes = std::as_bytes(data);
    detail::Check(QuorixWriteDevice(handle_, Count(bytes.size()), bytes.data()),
                  "QuorixWriteDevice");
  }
  template <typename T, std::size_t N>
  void Write(std::span<T, N> data, std::error_code& ec) noexcept {
    const auto bytes = std::as_bytes(data);
    if (bytes.size() > UINT32_MAX) return detail::Report(QUORIX_ERR_FAILED, ec);
    detail::Report(
        QuorixWriteDevice(handle_, static_cast<std::uint32_t>(bytes.size()), bytes.data()), ec);
  }

  // 0 waits without limit.
  void SetTimeout(std::chrono::milliseconds timeout) {
    detail::Check(QuorixSetTimeOut(handle_, static_cast<std::uint32_t>(timeout.count())),
                  "QuorixSetTimeOut");
  }

  // ---- Board controls ----

  void SetPortD(std::uint8_t outputs) {
    detail::Check(QuorixSetPortDOutputs(handle_, outputs), "QuorixSetPortDOutputs");
  }
  void SetPortDSequence(std::span<const std::uint8_t> outputs) {
    detail::Check(QuorixSetPortDOutputsExt(handle_, Small(outputs.size()), outputs.data()),
                  "QuorixSetPortDOutputsExt");
  }
  std::uint8_t PortD() {
    std::uint8_t outputs = 0;
    detail::Check(QuorixGetPortDOutputs(handle_, &outputs), "QuorixGetPortDOutputs");
    return outputs;
  }
  void SetPortDEnable(std::uint8_t mask) {
    detail::Check(QuorixSetPortDOutputEnable(handle_, mask), "QuorixSetPortDOutputEnable");
  }
  void SetFpgaMode(std::uint8_t mode) {
    detail::Check(QuorixSetConfFpgaMode(handle_, mode), "QuorixSetConfFpgaMode");
  }

  // ---- EEPROM: at most 255 bytes a request ----

  void ReadEeprom(std::uint16_t address, std::span<std::uint8_t> data, std::uint8_t select = 1) {
    detail::Check(QuorixReadEprom(handle_, select, address, Small(data.size()), data.data()),
                  "QuorixReadEprom");
  }
  void WriteEeprom(std::uint16_t address, std::span<const std::uint8_t> data,
                   std::uint8_t select = 1) {
    detail::Check(QuorixWriteEprom(handle_, select, address, Small(data.size()), data.data()),
                  "QuorixWriteEprom");
  }

  void SetStartupCommand(std::string_view command) {
    if (command.size() > 0xFFFF) throw Error(QUORIX_ERR_NO_SPACE, "QuorixSetStartupCommand");
    detail::Check(QuorixSetStartupCommand(handle_, static_cast<std::uint16_t>(command.size()),
                                          reinterpret_cast<const std::uint8_t*>(command.data())),
                  "QuorixSetStartupCommand");
  }

  void LoadFirmware(const std::string& path) {
    detail::Check(QuorixLoadFirmware(handle_, path.c_str()), "QuorixLoadFirmware");
  }

 private:
  // Sizes beyond what the C API takes are refused, not cut.
  static std::uint32_t Count(std::size_t size) {
    if (size > UINT32_MAX) throw Error(QUORIX_ERR_FAILED, "more than 4 GiB in one call");
    return static_cast<std::uint32_t>(size);
  }
  static std::uint8_t Small(std::size_t size) {
    if (size > 255) throw Error(QUORIX_ERR_FAILED, "more than 255 bytes in one request");
    return static_cast<std::uint8_t>(size);
  }

  QuorixHandle handle_ = nullptr;
};

}  // namespace quorix

template <>
struct std::is_error_code_enum<quorix::Status> : std::true_type {};
