#include "driver/libusb/errors.h"

#include "driver/port.h"

namespace quorix::port::libusb {

namespace {

inline constexpr std::uint32_t kIoDevice = 1117;   // ERROR_IO_DEVICE
inline constexpr std::uint32_t kSemTimeout = 121;  // ERROR_SEM_TIMEOUT
inline constexpr std::uint32_t kBusy = 170;        // ERROR_BUSY

// Windows reports a stalled pipe, babble and an unexplained device failure alike as
// ERROR_GEN_FAILURE; protocol errors on the wire as ERROR_IO_DEVICE.
constexpr ErrorRow kErrors[] = {
    {LIBUSB_SUCCESS, 0, "success"},
    {LIBUSB_ERROR_IO, kIoDevice, "input/output error"},
    {LIBUSB_ERROR_INVALID_PARAM, error::kInvalidParameter, "invalid parameter"},
    {LIBUSB_ERROR_ACCESS, error::kAccessDenied, "access denied (insufficient permissions)"},
    {LIBUSB_ERROR_NO_DEVICE, error::kDeviceNotConnected, "no such device (disconnected)"},
    {LIBUSB_ERROR_NOT_FOUND, error::kFileNotFound, "entity not found"},
    {LIBUSB_ERROR_BUSY, kBusy, "resource busy (claimed elsewhere)"},
    {LIBUSB_ERROR_TIMEOUT, kSemTimeout, "operation timed out"},
    {LIBUSB_ERROR_OVERFLOW, error::kGenFailure, "overflow (babble)"},
    {LIBUSB_ERROR_PIPE, error::kGenFailure, "pipe error (stall)"},
    {LIBUSB_ERROR_INTERRUPTED, error::kOperationAborted, "system call interrupted"},
    {LIBUSB_ERROR_NO_MEM, error::kNotEnoughMemory, "insufficient memory"},
    {LIBUSB_ERROR_NOT_SUPPORTED, error::kNotSupported, "operation not supported"},
    {LIBUSB_ERROR_OTHER, error::kGenFailure, "other error"},
};

constexpr ErrorRow kTransferStatuses[] = {
    {LIBUSB_TRANSFER_COMPLETED, 0, "completed"},
    {LIBUSB_TRANSFER_ERROR, kIoDevice, "failed on the wire"},
    {LIBUSB_TRANSFER_TIMED_OUT, kSemTimeout, "timed out"},
    {LIBUSB_TRANSFER_CANCELLED, error::kOperationAborted, "cancelled"},
    {LIBUSB_TRANSFER_STALL, error::kGenFailure, "stalled"},
    {LIBUSB_TRANSFER_NO_DEVICE, error::kDeviceNotConnected, "device disconnected"},
    {LIBUSB_TRANSFER_OVERFLOW, error::kGenFailure, "overflow (babble)"},
};

std::uint32_t Look(std::span<const ErrorRow> table, int value) {
  for (const ErrorRow& row : table)
    if (row.libusb == value) return row.windows;
  return error::kGenFailure;
}

}  // namespace

std::span<const ErrorRow> ErrorTable() { return kErrors; }
std::span<const ErrorRow> TransferStatusTable() { return kTransferStatuses; }

std::uint32_t WindowsErrorOf(int error) { return Look(kErrors, error); }

std::uint32_t WindowsErrorOfTransfer(libusb_transfer_status status) {
  return Look(kTransferStatuses, status);
}

}  // namespace quorix::port::libusb
