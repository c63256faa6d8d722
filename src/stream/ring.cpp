#include <cstring>

#include "driver/port.h"
#include "driver/trace.h"
#include "quorix/quorix.h"
#include "registry/registry.h"
#include "stream/stream.h"

namespace quorix {

namespace {
// The bytes just behind the read index that are never filled, so that a full ring is told
// apart from an empty one with room to spare.
constexpr std::uint32_t kGuard = 8;
}  // namespace

int PostRead(DeviceRecord* device) {
  for (;;) {
    std::memset(&device->read_header, 0, kHeaderSize);
    device->read_header.endpoint = kEndpointBulkIn;

    const std::uint32_t size = device->ring_size;
    const std::uint32_t r = device->read_index;
    const std::uint32_t w = device->write_index;
    const std::uint32_t mark = r >= kGuard ? r - kGuard : r + size - kGuard;
    const std::uint32_t room = mark >= w ? mark - w : size - w + mark;
    device->read_limit = room;
    if (room < kBounceSize) {
      // A packet would not fit: a read posted now would overrun and drop the ring. Bulk IN is
      // flow-controlled, so the board keeps its data until the application makes room.
      device->read_deferred = 1;
      NoteNoRoom(device);
      return QUORIX_OK;
    }
    device->read_deferred = 0;
    const std::uint32_t n = room < size - w ? room : size - w;

    std::uint8_t* target;
    std::uint32_t length;
    if (n >= kBounceSize) {
      target = device->ring + w;
      length = n & ~(kBounceSize - 1);
      device->bounce_flag = 0;
    } else {
      // Room for a packet, but not before the ring's end.
      target = device->bounce;
      length = kBounceSize;
      device->bounce_flag = 1;
    }
    device->read_length = length;

    (void)port::ClearEvent(device->read_overlapped.event);
    port::StampCompletion(&device->read_overlapped, 0);
    std::uint32_t returned = 0;
    if (DriverRequest(device->driver, kIoctlDirectTransfer, &device->read_header, kHeaderSize,
                      target, length, &returned, &device->read_overlapped)) {
      device->read_refused = 0;
      NotePosted(device);
      const int status = CommitReceived(device, returned);
      if (status != QUORIX_OK) return status;
      continue;
    }
    const std::uint32_t error = port::LastError();
    if (error == port::error::kIoPending) {
      device->read_refused = 0;
      NotePosted(device);
      return QUORIX_OK;
    }
    device->read_refused = error;
    return static_cast<int>(error);
  }
}

int CommitReceived(DeviceRecord* device, std::uint32_t count) {
  NoteCompletion(device, count <= device->read_length ? count : 0, true, &device->read_overlapped);
  // A count beyond what the read asked for cannot be trusted either: it would carry w past
  // the ring's end or copy from beyond the bounce buffer.
  if (count > device->read_limit || count > device->read_length) {
    device->bounce_flag = 0;
    device->read_index = 0;
    device->write_index = 0;
    const int status = PostRead(device);
    return status != QUORIX_OK ? status : QUORIX_ERR_OVERFLOW;
  }
  const std::uint32_t size = device->ring_size;
  if (device->bounce_flag == 0) {
    device->write_index += count;
    if (device->write_index == size) device->write_index = 0;
    return QUORIX_OK;
  }
  std::uint32_t copied = 0;
  while (copied < count) {
    const std::uint32_t w = device->write_index;
    const std::uint32_t piece = count - copied < size - w ? count - copied : size - w;
    std::memcpy(device->ring + w, device->bounce + copied, piece);
    copied += piece;
    device->write_index = w + piece == size ? 0 : w + piece;
  }
  device->bounce_flag = 0;
  return QUORIX_OK;
}

int ResumeRead(DeviceRecord* device) {
  return device->read_deferred != 0 ? PostRead(device) : QUORIX_OK;
}

std::uint32_t LookAtRead(DeviceRecord* device, std::uint32_t* bytes) {
  if (device->read_refused != 0) return device->read_refused;
  if (device->read_deferred != 0) {
    // No read is outstanding whose failure would tell that the board has gone: ask the driver.
    if (!port::DriverConnected(device->driver)) return port::LastError();
    return port::error::kIoIncomplete;
  }
  if (DriverResult(device->driver, &device->read_overlapped, bytes)) return 0;
  return port::LastError();
}

int PollBytesAvailable(DeviceRecord* device, std::uint32_t* count) {
  if (device->queue != nullptr) return PollQueued(device, count);
  if (count != nullptr) *count = 0;
  const int resumed = ResumeRead(device);
  if (resumed != QUORIX_OK) return resumed;
  std::uint32_t bytes = 0;
  const std::uint32_t look = LookAtRead(device, &bytes);
  if (look == 0) {
    int status = CommitReceived(device, bytes);
    if (status == QUORIX_OK) status = PostRead(device);
    // A read of another thread may be waiting for the completion just taken in, on the event
    // the next read has reset: it must look again.
    if (device->read_waiting != 0) (void)port::SignalEvent(device->read_overlapped.event);
    if (status != QUORIX_OK) return status;
  } else if (look != port::error::kIoIncomplete) {
    return static_cast<int>(look);
  }
  if (count != nullptr) *count = BytesHeld(device);
  return QUORIX_OK;
}

}  // namespace quorix

extern "C" {

QUORIX_API int QUORIX_CALL QuorixNumberOfBytesAvailable(QuorixHandle handle, uint32_t* count) {
  return quorix::OnBoard(handle, true,
                         [count](quorix::DeviceRecord* record, quorix::BoardLock&) -> int {
                           return quorix::PollBytesAvailable(record, count);
                         });
}

}  // extern "C"
