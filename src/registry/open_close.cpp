#include "registry/open_close.h"

#include <cstring>

#include "quorix/quorix.h"
#include "registry/discovery.h"
#include "registry/registry.h"
#include "stream/stream.h"

namespace quorix {

namespace {

constexpr std::uint8_t kConfiguration = 1;
// The most characters a string descriptor carries: 255 bytes, two of them its header.
constexpr std::size_t kLongestSerial = (255 - 2) / 2;

bool InRegistry(const DeviceRecord* record) {
  return GetDeviceCount() != 0 && FindDevicePosition(record) != GetDeviceCount();
}

}  // namespace

int OpenDeviceRecord(DeviceRecord* record, const QueueShape* given) {
  if (!InRegistry(record)) return QUORIX_ERR_FAILED;
  if (record->driver == nullptr) return QUORIX_ERR_FAILED;
  if (record->open != 0) return QUORIX_ERR_ALREADY_OPEN;
  const QueueShape shape = given != nullptr ? *given : QueueFromEnvironment();
  const bool queued = shape.reads != 0;
  // Nobody else is inside a closed record; its lock is taken because the open state changes.
  const std::lock_guard board(record->sync->lock);

  std::memset(&record->read_overlapped, 0, sizeof record->read_overlapped);
  std::memset(&record->stats, 0, sizeof record->stats);
  record->read_since_look = 0;
  record->read_overlapped.event = port::NewEvent(false);
  if (record->read_overlapped.event == nullptr) return QUORIX_ERR_FAILED;
  record->ring = static_cast<std::uint8_t*>(
      port::Allocate(queued ? shape.ring_size : record->ring_size));
  if (record->ring == nullptr) {
    // A failed attempt gives back at once what it obtained: closed records hold nothing.
    ReleaseOpenState(record);
    return QUORIX_ERR_FAILED;
  }
  record->bounce = static_cast<std::uint8_t*>(port::Allocate(kBounceSize));
  if (record->bounce == nullptr) {
    ReleaseOpenState(record);
    return QUORIX_ERR_FAILED;
  }
  record->read_index = 0;
  record->write_index = 0;
  record->read_limit = 0;
  record->bounce_flag = 0;
  record->read_refused = 0;
  record->read_deferred = 0;

  int status = SetConfiguration(record, kConfiguration);
  if (status != QUORIX_OK) {
    ReleaseOpenState(record);
    return status;
  }
  record->open = 1;
  record->owner_pid = port::ProcessId();
  std::memset(&record->write_overlapped, 0, sizeof record->write_overlapped);
  // Not checked: a write without its event fails its wait, and says so.
  record->write_overlapped.event = port::NewEvent(false);

  status = queued ? StartQueue(record, shape) : PostRead(record);
  if (status != QUORIX_OK) {
    // No handle is handed out, so nobody could close the device: undo the open. A read
    // still posted (after an overrun, or reads of a queue) must end before the ring goes.
    if (ReadPosted(record) || QueuedReadOutstanding(record)) EndBulkTransfers(record);
    ReleaseOpenState(record);
    return status;
  }
  if (queued) StartPump(record);
  UpdateReady(record);  // the signal of an earlier open, if any, now follows this one
  return QUORIX_OK;
}

int CloseDeviceRecord(DeviceRecord* record) {
  if (!InRegistry(record)) return QUORIX_ERR_FAILED;
  if (record->open == 0) return QUORIX_ERR_NOT_OPEN;
  const std::uint32_t position = FindDevicePosition(record);
  {
    const std::lock_guard board(record->sync->lock);
    if (record->closing != 0)
      ReleaseOpenState(record);  // its pipes were ended when the close began
    else
      ReleaseOpenDevice(position);
  }
  // The pump has left the device (a close waits for it as for any call inside): reap it.
  JoinPump(record);
  if (record->driver != nullptr) return QUORIX_OK;
  // The board went while the device was open; discovery already reset its pipes and closed
  // its driver handle.
  DisposeDeviceRecord(record);
  RemoveDeviceRecord(position);
  port::Free(record);
  return QUORIX_OK;
}

int OpenWithSerial(const char* serial, const QueueShape* shape, QuorixHandle* out) {
  if (serial == nullptr) return QUORIX_ERR_FAILED;
  // The text may be one that QuorixGetDeviceSerialNumber handed out, which the refresh frees
  // when its board has gone: a copy is compared. A longer text matches no board.
  char wanted[kLongestSerial + 1];
  const std::size_t length = strnlen(serial, sizeof wanted);
  const bool fits = length < sizeof wanted;
  if (fits) std::memcpy(wanted, serial, length + 1);
  const std::lock_guard registry(gRegistryLock);
  const int refreshed = RefreshDevices();
  if (refreshed != QUORIX_OK) return refreshed;
  if (!fits) return QUORIX_ERR_FAILED;
  for (std::uint32_t i = 0; i < GetDeviceCount(); ++i) {
    DeviceRecord* record = GetDeviceAt(i);
    if (record->vendor_id != QUORIX_VENDOR_ID || record->product_id != QUORIX_PRODUCT_ID) continue;
    if (record->serial == nullptr || std::strcmp(record->serial, wanted) != 0) continue;
    const int status = OpenDeviceRecord(record, shape);
    if (status == QUORIX_OK && out != nullptr) *out = HandleOfRecord(record);
    return status;
  }
  return QUORIX_ERR_FAILED;
}

}  // namespace quorix

extern "C" {

QUORIX_API int QUORIX_CALL QuorixOpenDevice(int32_t index, QuorixHandle* out) {
  if (out != nullptr) *out = nullptr;
  const std::lock_guard registry(quorix::gRegistryLock);
  // A negative index becomes an unsigned one beyond any count, so it matches nothing.
  quorix::DeviceRecord* record = quorix::FindDeviceByIndex(QUORIX_VENDOR_ID, QUORIX_PRODUCT_ID,
                                                           static_cast<std::uint32_t>(index));
  if (record == nullptr) return QUORIX_ERR_FAILED;
  const int status = quorix::OpenDeviceRecord(record);
  if (status != QUORIX_OK) return status;
  if (out != nullptr) *out = quorix::HandleOfRecord(record);
  return QUORIX_OK;
}

QUORIX_API int QUORIX_CALL QuorixOpenDeviceWithSerial(const char* serial, QuorixHandle* out) {
  return quorix::OpenWithSerial(serial, nullptr, out);
}

QUORIX_API int QUORIX_CALL QuorixOpenDeviceQueued(int32_t index, const char* serial,
                                                  const QuorixReadQueue* queue,
                                                  QuorixHandle* out) {
  if (out != nullptr) *out = nullptr;
  quorix::QueueShape shape{};
  if (queue != nullptr) {
    shape = {queue->reads, queue->read_size, queue->ring_size};
    if (shape.reads == 0) shape = {};
    if (!quorix::CheckQueueShape(shape)) return QUORIX_ERR_FAILED;
  } else {
    shape = quorix::QueueFromEnvironment();
  }
  if (serial != nullptr) return quorix::OpenWithSerial(serial, &shape, out);
  const std::lock_guard registry(quorix::gRegistryLock);
  quorix::DeviceRecord* record = quorix::FindDeviceByIndex(QUORIX_VENDOR_ID, QUORIX_PRODUCT_ID,
                                                           static_cast<std::uint32_t>(index));
  if (record == nullptr) return QUORIX_ERR_FAILED;
  const int status = quorix::OpenDeviceRecord(record, &shape);
  if (status == QUORIX_OK && out != nullptr) *out = quorix::HandleOfRecord(record);
  return status;
}

QUORIX_API int QUORIX_CALL QuorixCloseDevice(QuorixHandle handle) {
  std::unique_lock registry(quorix::gRegistryLock);
  const int refreshed = quorix::RefreshDevices();
  if (refreshed != QUORIX_OK) return refreshed;
  const int gate = quorix::ValidateDevice(handle, false);
  if (gate != QUORIX_OK) return gate;
  quorix::DeviceRecord* record = quorix::RecordOfHandle(handle);
  quorix::BoardLock board(record->sync->lock, std::try_to_lock);
  if (!board.owns_lock()) {
    // Another call has the board, perhaps for long (a startup command pauses between its
    // requests): wait for it without the registry's lock, which other boards' calls need. Pinned
    // meanwhile, the record outlives a close of another thread, which waits for this one.
    quorix::Pin(record);
    do {
      registry.unlock();
      board.lock();
      board.unlock();
      registry.lock();
    } while (!board.try_lock());
    quorix::Unpin(record);
    // Another thread may have closed it meanwhile.
    const int still = quorix::ValidateDevice(handle, false);
    if (still != QUORIX_OK) return still;
  }
  // With the board, any other call inside it is counted.
  if (quorix::CallsInside(record)) {
    // End their waits, and let them leave before anything they use goes. The record stays
    // open, and so in the registry, meanwhile; new calls are refused.
    quorix::BeginClosing(record);
    board.unlock();
    registry.unlock();
    (void)quorix::AwaitLeaving(record, quorix::port::kInfinite);
    registry.lock();
  } else {
    board.unlock();
  }
  return quorix::CloseDeviceRecord(record);
}

}  // extern "C"
