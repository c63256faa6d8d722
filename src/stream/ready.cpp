// Waiting without blocking: the data-ready signal an event loop waits on, and the bounded wait
// for bytes that consumes nothing.
#include <chrono>

#include "driver/port.h"
#include "quorix/quorix.h"
#include "registry/registry.h"
#include "stream/stream.h"

namespace quorix {

namespace {

// Half the ring: a wait for more might never end, since a queued ring loses room to short
// completions and the classic ring holds at most its size less 8.
std::uint32_t MostWaitable(const DeviceRecord* device) {
  return (device->queue != nullptr ? device->queue->size : device->ring_size) / 2;
}

bool ReadyNow(const DeviceRecord* device) {
  if (device->open == 0 || device->closing != 0 || device->driver == nullptr) return true;
  const std::uint32_t threshold = device->ready_threshold == 0 ? 1 : device->ready_threshold;
  if (const ReadQueue* q = device->queue; q != nullptr)
    return q->failure != 0 || q->overrun != 0 || q->held >= threshold ||
           device->stats.ring_full_since != 0;
  return device->read_refused != 0 || device->look_failure != 0 || device->read_deferred != 0 ||
         BytesHeld(device) >= threshold;
}

// The classic read's counterpart of WaitQueued: polls as QuorixNumberOfBytesAvailable does, and
// waits on the one read's event in between.
int WaitClassic(DeviceRecord* device, BoardLock& lock, std::uint32_t count,
                std::uint32_t timeout_ms, std::uint32_t* held) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    const int status = PollBytesAvailable(device, held);
    if (status != QUORIX_OK) {
      // A failed read leaves what the ring kept, to be read before the failure: a wait that
      // reported the failure over bytes it holds would strand them.
      *held = BytesHeld(device);
      return *held >= count ? QUORIX_OK : status;
    }
    // A deferred or refused read brings nothing more until the application reads.
    if (*held >= count || device->read_deferred != 0 || device->read_refused != 0)
      return QUORIX_OK;
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
    if (static_cast<std::uint64_t>(waited) >= timeout_ms) return QUORIX_ERR_TIMEOUT;
    device->read_waiting = 1;
    const std::uint32_t wait =
        WaitWithoutBoard(device, lock, device->read_overlapped.event,
                         timeout_ms - static_cast<std::uint32_t>(waited));
    device->read_waiting = 0;
    if (device->closing != 0) return QUORIX_ERR_NOT_OPEN;
    if (device->driver == nullptr) return QUORIX_ERR_NO_DRIVER;
    if (wait == port::kWaitObject0) {
      // Woken while the read is in progress (a poll of another thread posted it again): reset
      // the event; the next poll looks at the read once more.
      std::uint32_t bytes = 0;
      if (ReadPosted(device) && LookAtRead(device, &bytes) == port::error::kIoIncomplete)
        (void)port::ClearEvent(device->read_overlapped.event);
    } else if (wait != port::kWaitTimeout) {
      return QUORIX_ERR_FAILED;
    }
  }
}

}  // namespace

void UpdateReady(DeviceRecord* device) {
  if (device->ready != nullptr) port::SetReadySignal(device->ready, ReadyNow(device));
}

}  // namespace quorix

extern "C" {

QUORIX_API int QUORIX_CALL QuorixGetReadyHandle(QuorixHandle handle, QuorixNativeHandle* out) {
  return quorix::OnBoard(handle, true, [&](quorix::DeviceRecord* device, quorix::BoardLock&) {
    // Without the pump nothing takes completions in while the application waits elsewhere.
    if (out == nullptr || device->queue == nullptr || device->pump == nullptr)
      return QUORIX_ERR_FAILED;
    if (device->ready == nullptr) {
      device->ready = quorix::port::NewReadySignal();
      if (device->ready == nullptr) return QUORIX_ERR_FAILED;
      quorix::UpdateReady(device);
    }
#ifdef _WIN32
    *out = reinterpret_cast<QuorixNativeHandle>(quorix::port::ReadySignalNative(device->ready));
#else
    *out = static_cast<QuorixNativeHandle>(quorix::port::ReadySignalNative(device->ready));
#endif
    return QUORIX_OK;
  });
}

QUORIX_API int QUORIX_CALL QuorixSetReadyThreshold(QuorixHandle handle, uint32_t bytes) {
  return quorix::OnBoard(handle, true, [&](quorix::DeviceRecord* device, quorix::BoardLock&) {
    if (bytes == 0 || bytes > quorix::MostWaitable(device)) return QUORIX_ERR_FAILED;
    device->ready_threshold = bytes;
    quorix::UpdateReady(device);
    return QUORIX_OK;
  });
}

QUORIX_API int QUORIX_CALL QuorixWaitForBytes(QuorixHandle handle, uint32_t count,
                                              uint32_t timeout_ms, uint32_t* held) {
  using quorix::DeviceRecord;
  std::uint32_t found = 0;
  const int status =
      quorix::OnBoard(handle, true, [&](DeviceRecord* device, quorix::BoardLock& lock) -> int {
        if (count == 0 || count > quorix::MostWaitable(device)) return QUORIX_ERR_FAILED;
        // A wait and a read take turns, as two reads do: both wait on the oldest read's event.
        const int turn = quorix::TakeTurn(device, lock, &DeviceRecord::reading);
        if (turn != QUORIX_OK) return turn;
        const int result = device->queue != nullptr
                               ? quorix::WaitQueued(device, lock, count, timeout_ms, &found)
                               : quorix::WaitClassic(device, lock, count, timeout_ms, &found);
        quorix::EndTurn(device, &DeviceRecord::reading);
        return result;
      });
  if (held != nullptr) *held = found;
  return status;
}

}  // extern "C"
