// libusb's errors and transfer statuses as the Windows error codes that mean the same, so that
// an application handles a failure alike on every platform.
#pragma once

#include <libusb.h>

#include <cstdint>
#include <span>

namespace quorix::port::libusb {

struct ErrorRow {
  int libusb;             // a libusb_error, or a libusb_transfer_status
  std::uint32_t windows;  // the Windows error code reported for it
  const char* meaning;
};

// One row per libusb_error value.
std::span<const ErrorRow> ErrorTable();
// One row per libusb_transfer_status value.
std::span<const ErrorRow> TransferStatusTable();

// The Windows code of a libusb error (0 for LIBUSB_SUCCESS); unknown errors give 31.
std::uint32_t WindowsErrorOf(int error);
// The Windows code of a finished transfer (0 when it completed); unknown statuses give 31.
std::uint32_t WindowsErrorOfTransfer(libusb_transfer_status status);

}  // namespace quorix::port::libusb
