#include "status.h"

#include <span>
#include <string_view>

#include "quorix/quorix.h"

namespace quorix::tool {

namespace {

struct Known {
  int status;
  std::string_view name;
  std::string_view sentence;
};

constexpr Known kOwn[] = {
    {QUORIX_OK, "QUORIX_OK", "Success."},
    {QUORIX_ERR_FAILED, "QUORIX_ERR_FAILED",
     "The call failed: no such board or handle, a missing argument, no memory, or an "
     "unusable file."},
    {QUORIX_ERR_NO_DRIVER, "QUORIX_ERR_NO_DRIVER",
     "The board was unplugged while it was open; close it and open it again."},
    {QUORIX_ERR_ALREADY_OPEN, "QUORIX_ERR_ALREADY_OPEN", "The board is already open."},
    {QUORIX_ERR_NOT_OPEN, "QUORIX_ERR_NOT_OPEN",
     "The board is not open, or another process opened it."},
    {QUORIX_ERR_TIMEOUT, "QUORIX_ERR_TIMEOUT", "The transfer did not complete in time."},
    {QUORIX_ERR_TRANSFER, "QUORIX_ERR_TRANSFER", "The transfer ended in time but failed."},
    {QUORIX_ERR_OVERFLOW, "QUORIX_ERR_OVERFLOW",
     "More data arrived than the receive ring could hold; some were lost."},
    {QUORIX_ERR_NO_STARTUP_AREA, "QUORIX_ERR_NO_STARTUP_AREA",
     "The board's EEPROM holds no startup-command area."},
    {QUORIX_ERR_NO_SPACE, "QUORIX_ERR_NO_SPACE",
     "The startup command does not fit the EEPROM's space."},
};

constexpr Known kWindows[] = {
    {2, "ERROR_FILE_NOT_FOUND", "The board's device path was not found."},
    {5, "ERROR_ACCESS_DENIED",
     "Access to the board was denied; on Linux, see \"Linux permissions\" in the README."},
    {8, "ERROR_NOT_ENOUGH_MEMORY", "The system ran out of memory."},
    {31, "ERROR_GEN_FAILURE", "The board stalled the request or is not functioning."},
    {50, "ERROR_NOT_SUPPORTED", "The request is not supported."},
    {87, "ERROR_INVALID_PARAMETER", "The driver rejected a parameter of the request."},
    {121, "ERROR_SEM_TIMEOUT", "The board did not answer within the driver's timeout."},
    {170, "ERROR_BUSY", "The board is in use by another process."},
    {995, "ERROR_OPERATION_ABORTED", "The transfer was aborted."},
    {1117, "ERROR_IO_DEVICE", "An I/O error occurred on the wire."},
    {1167, "ERROR_DEVICE_NOT_CONNECTED", "The board is not connected."},
};

const Known* Find(int status) {
  const std::span<const Known> table = status > 0 ? std::span<const Known>(kWindows) : kOwn;
  for (const Known& known : table)
    if (known.status == status) return &known;
  return nullptr;
}

}  // namespace

std::string StatusName(int status) {
  const Known* known = Find(status);
  if (status > 0) {
    std::string text = "Windows error " + std::to_string(status);
    return known != nullptr ? text + " (" + std::string(known->name) + ")" : text;
  }
  return known != nullptr ? std::string(known->name) : "status " + std::to_string(status);
}

std::string StatusSentence(int status) {
  if (const Known* known = Find(status)) return std::string(known->sentence);
  return status > 0 ? "The driver reported a Windows error." : "An unknown status.";
}

}  // namespace quorix::tool
