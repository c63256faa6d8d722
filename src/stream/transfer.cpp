// The application's reads and writes, and the transfer timeout that bounds their waits.
#include <chrono>
#include <cstring>

#include "driver/port.h"
#include "driver/trace.h"
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

// AwaitRead's answer when, while it waited, another thread took the completion in: the ring
// holds what arrived, or the next read is deferred or was refused.
constexpr int kTakenElsewhere = 1;

// Waits, with the board's lock let go, for the outstanding read that LookAtRead found in
// progress: 0 with its byte count once it has completed; kTakenElsewhere; -5 when the transfer
// timeout ran out; -1 when the wait failed; -6 when the read failed; -4 when the device began
// closing and -2 when its connection went meanwhile.
int AwaitRead(DeviceRecord* device, BoardLock& lock, std::uint32_t* bytes) {
  const std::uint32_t limit = WaitLimit(device);
  const auto start = std::chrono::steady_clock::now();
  std::uint32_t wait_for = limit;
  for (;;) {
    device->read_waiting = 1;
    const std::uint32_t wait =
        WaitWithoutBoard(device, lock, device->read_overlapped.event, wait_for);
    device->read_waiting = 0;
    if (device->closing != 0) return QUORIX_ERR_NOT_OPEN;
    if (device->driver == nullptr) return QUORIX_ERR_NO_DRIVER;
    if (BytesHeld(device) != 0 || device->read_deferred != 0 || device->read_refused != 0)
      return kTakenElsewhere;
    if (wait == port::kWaitTimeout) return QUORIX_ERR_TIMEOUT;
    if (wait != port::kWaitObject0) return QUORIX_ERR_FAILED;
    if (DriverResult(device->driver, &device->read_overlapped, bytes)) return QUORIX_OK;
    if (port::LastError() != port::error::kIoIncomplete) return QUORIX_ERR_TRANSFER;
    // Woken while a read is in progress: another thread took a completion in and posted this
    // read, whose event it signalled. Reset the event, look once more, and wait out the rest.
    (void)port::ClearEvent(device->read_overlapped.event);
    const std::uint32_t look = LookAtRead(device, bytes);
    if (look == 0) return QUORIX_OK;
    if (look != port::error::kIoIncomplete) return QUORIX_ERR_TRANSFER;
    if (limit != port::kInfinite) {
      const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - start);
      if (waited.count() >= limit) return QUORIX_ERR_TIMEOUT;
      wait_for = limit - static_cast<std::uint32_t>(waited.count());
    }
  }
}

// A reader that drains the ring without polling would leave the board waiting from the moment
// the read that fills the ring's end completes (microseconds) until the ring is empty (tens of
// milliseconds): so after every kLookEvery bytes taken, the read looks at the driver as a poll
// does. What such a look finds wrong waits for the ring to be empty, where it is reported.
constexpr std::uint32_t kLookEvery = 64 * 1024;

void LookAhead(DeviceRecord* device) {
  if (device->read_refused != 0 || device->look_failure != 0) return;
  if (device->read_deferred != 0) {
    device->look_failure = ResumeRead(device);
    return;
  }
  std::uint32_t bytes = 0;
  if (LookAtRead(device, &bytes) != 0) return;  // in progress, or its failure waits its turn
  // An overrun empties the ring: leave it to be found where it is reported.
  if (bytes > device->read_limit || bytes > device->read_length) return;
  int status = CommitReceived(device, bytes);
  if (status == QUORIX_OK) status = PostRead(device);
  device->look_failure = status;
}

int ReadDevice(DeviceRecord* device, BoardLock& lock, std::uint32_t count, std::uint8_t* buffer) {
  std::uint32_t done = 0;
  while (done < count) {
    const std::uint32_t wanted = count - done < kLookEvery ? count - done : kLookEvery;
    const std::uint32_t copied = CopyPiece(device, buffer + done, wanted);
    if (copied != 0) {
      done += copied;
      device->read_since_look += copied;
      if (device->read_since_look >= kLookEvery) {
        device->read_since_look = 0;
        LookAhead(device);
      }
      continue;
    }
    device->read_since_look = 0;
    if (device->look_failure != 0) {
      const int failure = device->look_failure;
      device->look_failure = 0;
      return failure;
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
      const int awaited = AwaitRead(device, lock, &bytes);
      if (awaited == kTakenElsewhere) continue;
      if (awaited != QUORIX_OK) return awaited;
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

int WriteDevice(DeviceRecord* device, BoardLock& lock, std::uint32_t count, const void* buffer) {
  SingleTransfer header{};
  header.endpoint = kEndpointBulkOut;
  std::uint32_t returned = 0;
  // The driver only reads the data, through the output buffer of a direct transfer.
  void* data = const_cast<void*>(buffer);
  if (DriverRequest(device->driver, kIoctlDirectTransfer, &header, kHeaderSize, data, count,
                    &returned, &device->write_overlapped)) {
    (void)PollBytesAvailable(device, nullptr);
    return QUORIX_OK;
  }
  const std::uint32_t error = port::LastError();
  if (error != port::error::kIoPending) return static_cast<int>(error);

  // Other calls on the board go on while the write waits.
  const std::uint32_t wait =
      WaitWithoutBoard(device, lock, device->write_overlapped.event, WaitLimit(device));
  const bool closing = device->closing != 0;
  // Gone with the connection: closing the driver handle ended the write. A close that had to
  // drop it (its abort did not end the write) still reports as a close.
  if (device->driver == nullptr) return closing ? QUORIX_ERR_NOT_OPEN : QUORIX_ERR_NO_DRIVER;
  if (wait != port::kWaitObject0 || closing) {
    // The close aborted the pipes: the write ended, sent or not, and the board is no longer
    // this call's to poll.
    if (closing && !TransferOutstanding(device->driver, &device->write_overlapped))
      return DriverResult(device->driver, &device->write_overlapped, &returned)
                 ? QUORIX_OK
                 : QUORIX_ERR_NOT_OPEN;
    // The abort ends the write before it returns, so the caller's buffer is free again.
    std::uint8_t endpoint = kEndpointBulkOut;
    (void)DriverRequest(device->driver, kIoctlAbortPipe, &endpoint, 1, nullptr, 0, &returned,
                        nullptr);
    // Without it the driver would go on reading a buffer that is the caller's again.
    if (TransferOutstanding(device->driver, &device->write_overlapped))
      DropConnectionOnBoard(device, lock);
    if (closing) return QUORIX_ERR_NOT_OPEN;
    return wait == port::kWaitTimeout ? QUORIX_ERR_TIMEOUT : QUORIX_ERR_FAILED;
  }
  if (!DriverResult(device->driver, &device->write_overlapped, &returned))
    return QUORIX_ERR_TRANSFER;
  // What the receive side found is not the write's business; an overrun empties the ring.
  (void)PollBytesAvailable(device, nullptr);
  return QUORIX_OK;
}

}  // namespace

// One read and one write at a time on a board: a second waits for the first, and gives up
// when the board closes or goes.
int TakeTurn(DeviceRecord* device, BoardLock& lock, std::int32_t DeviceRecord::*busy) {
  if (device->*busy != 0) {
    Pin(device);
    device->sync->changed.wait(lock, [&] {
      return device->*busy == 0 || device->closing != 0 || device->driver == nullptr;
    });
    Unpin(device);
  }
  const int usable = BoardUsable(device, true);
  if (usable == QUORIX_OK) device->*busy = 1;
  return usable;
}

void EndTurn(DeviceRecord* device, std::int32_t DeviceRecord::*busy) {
  device->*busy = 0;
  // Whoever waits for the turn is counted inside.
  if (CallsInside(device)) device->sync->changed.notify_all();
}

}  // namespace quorix

extern "C" {

QUORIX_API int QUORIX_CALL QuorixReadDevice(QuorixHandle handle, uint32_t count, void* buffer) {
  using quorix::DeviceRecord;
  return quorix::OnBoard(handle, true, [&](DeviceRecord* device, quorix::BoardLock& lock) -> int {
    if (count == 0) return QUORIX_OK;
    if (buffer == nullptr) return QUORIX_ERR_FAILED;
    const int turn = quorix::TakeTurn(device, lock, &DeviceRecord::reading);
    if (turn != QUORIX_OK) return turn;
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    const int status = device->queue != nullptr ? quorix::ReadQueued(device, lock, count, bytes)
                                                : quorix::ReadDevice(device, lock, count, bytes);
    quorix::UpdateReady(device);
    quorix::EndTurn(device, &DeviceRecord::reading);
    return status;
  });
}

QUORIX_API int QUORIX_CALL QuorixWriteDevice(QuorixHandle handle, uint32_t count,
                                             const void* buffer) {
  using quorix::DeviceRecord;
  return quorix::OnBoard(handle, true, [&](DeviceRecord* device, quorix::BoardLock& lock) -> int {
    if (count != 0 && buffer == nullptr) return QUORIX_ERR_FAILED;
    const int turn = quorix::TakeTurn(device, lock, &DeviceRecord::writing);
    if (turn != QUORIX_OK) return turn;
    const int status = quorix::WriteDevice(device, lock, count, buffer);
    quorix::EndTurn(device, &DeviceRecord::writing);
    return status;
  });
}

QUORIX_API int QUORIX_CALL QuorixSetTimeOut(QuorixHandle handle, uint32_t milliseconds) {
  return quorix::OnBoard(handle, true,
                         [&](quorix::DeviceRecord* device, quorix::BoardLock&) -> int {
                           device->timeout = milliseconds;
                           return QUORIX_OK;
                         });
}

}  // extern "C"
