// The application's reads and writes, and the transfer timeout that bounds their waits.
#include <cstring>

#include "driver/port.h"
#include "quorix/quorix.h"
#include "registry/registry.h"
#include "stream/stream.h"

namespace quorix {

namespace {

std::uint32_t WaitLimit(const DeviceRecord* device) {
  return device->timeout == 0 ? port::kInfinite : device->timeout;
}

// Copies one piece out of the ring, up to its end or to w, as much as is still wanted.
// Returns the bytes copied.
std::uint32_t CopyPiece(DeviceRecord* device, std::uint8_t* out, std::uint32_t wanted) {
  const std::uint32_t r = device->read_index;
  const std::uint32_t end = device->write_index >= r ? device->write_index : device->ring_size;
  const std::uint32_t piece = end - r < wanted ? end - r : wanted;
  if (piece == 0) return 0;
  std::memcpy(out, device->ring + r, piece);
  device->read_index = r + piece == device->ring_size ? 0 : r + piece;
  return piece;
}

int ReadDevice(DeviceRecord* device, std::uint32_t count, std::uint8_t* buffer) {
  std::uint32_t done = 0;
  while (done < count) {
    const std::uint32_t copied = CopyPiece(device, buffer + done, count - done);
    if (copied != 0) {
      done += copied;
      continue;
    }
    // The ring is empty, so a deferred read has room now; one the driver completes at once
    // may already have filled the ring.
    if (device->read_deferred != 0) {
      const int status = PostRead(device);
      if (status != QUORIX_OK) return status;
      continue;
    }
    // Take the outstanding read's bytes, waiting for them if need be.
    std::uint32_t bytes = 0;
    const std::uint32_t look = LookAtRead(device, &bytes);
    if (look == port::error::kIoIncomplete) {
      const std::uint32_t wait = port::WaitEvent(device->read_overlapped.event, WaitLimit(device));
      if (wait == port::kWaitTimeout) return QUORIX_ERR_TIMEOUT;
      if (wait != port::kWaitObject0) return QUORIX_ERR_FAILED;
      if (!port::OverlappedResult(device->driver, &device->read_overlapped, &bytes))
        return QUORIX_ERR_TRANSFER;
    } else if (look != 0) {
      return static_cast<int>(look);
    }
    int status = CommitReceived(device, bytes);
    if (status != QUORIX_OK) return status;
    // Before the next read is posted, so that the room it gets includes what is copied now.
    done += CopyPiece(device, buffer + done, count - done);
    status = PostRead(device);
    if (status != QUORIX_OK) return status;
  }
  return QUORIX_OK;
}

int WriteDevice(DeviceRecord* device, std::uint32_t count, const void* buffer) {
  SingleTransfer header{};
  header.endpoint = kEndpointBulkOut;
  std::uint32_t returned = 0;
  // The driver only reads the data, through the output buffer of a direct transfer.
  void* data = const_cast<void*>(buffer);
  if (port::IoControl(device->driver, kIoctlDirectTransfer, &header, kHeaderSize, data, count,
                      &returned, &device->write_overlapped)) {
    (void)PollBytesAvailable(device, nullptr);
    return QUORIX_OK;
  }
  const std::uint32_t error = port::LastError();
  if (error != port::error::kIoPending) return static_cast<int>(error);

  const std::uint32_t wait = port::WaitEvent(device->write_overlapped.event, WaitLimit(device));
  if (wait != port::kWaitObject0) {
    // The abort ends the write before it returns, so the caller's buffer is free again.
    std::uint8_t endpoint = kEndpointBulkOut;
    (void)port::IoControl(device->driver, kIoctlAbortPipe, &endpoint, 1, nullptr, 0, &returned,
                          nullptr);
    // Without it the driver would go on reading a buffer that is the caller's again.
    if (TransferOutstanding(device->driver, &device->write_overlapped)) DropConnection(device);
    return wait == port::kWaitTimeout ? QUORIX_ERR_TIMEOUT : QUORIX_ERR_FAILED;
  }
  if (!port::OverlappedResult(device->driver, &device->write_overlapped, &returned))
    return QUORIX_ERR_TRANSFER;
  // What the receive side found is not the write's business; an overrun empties the ring.
  (void)PollBytesAvailable(device, nullptr);
  return QUORIX_OK;
}

}  // namespace

}  // namespace quorix

extern "C" {

QUORIX_API int QUORIX_CALL QuorixReadDevice(QuorixHandle handle, uint32_t count, void* buffer) {
  const int gate = quorix::ValidateDevice(handle, true);
  if (gate != QUORIX_OK) return gate;
  if (count == 0) return QUORIX_OK;
  if (buffer == nullptr) return QUORIX_ERR_FAILED;
  return quorix::ReadDevice(quorix::RecordOfHandle(handle), count,
                            static_cast<std::uint8_t*>(buffer));
}

QUORIX_API int QUORIX_CALL QuorixWriteDevice(QuorixHandle handle, uint32_t count,
                                             const void* buffer) {
  const int gate = quorix::ValidateDevice(handle, true);
  if (gate != QUORIX_OK) return gate;
  if (count != 0 && buffer == nullptr) return QUORIX_ERR_FAILED;
  return quorix::WriteDevice(quorix::RecordOfHandle(handle), count, buffer);
}

QUORIX_API int QUORIX_CALL QuorixSetTimeOut(QuorixHandle handle, uint32_t milliseconds) {
  const int gate = quorix::ValidateDevice(handle, true);
  if (gate != QUORIX_OK) return gate;
  quorix::RecordOfHandle(handle)->timeout = milliseconds;
  return QUORIX_OK;
}

}  // extern "C"
