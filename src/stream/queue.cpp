// Reads kept queued: several bulk-IN reads posted at once into the ring and taken in in order,
// by whichever call comes first and by the pump, a thread of the library's own, so that a
// board that cannot wait always has a read to fill.
//
// The ring's place is handed out in order: head is where the next read goes, and every byte
// from the oldest one still in use (the first piece not yet read, else the oldest read posted,
// else head) up to head is taken. A read that does not fit before the ring's end goes to its
// start, and the skipped bytes stay taken until the reader passes them. At least one packet's
// room is always kept free, so that head meets the oldest byte in use only when nothing is.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/port.h"
#include "driver/trace.h"
#include "quorix/quorix.h"
#include "registry/registry.h"
#include "stream/stream.h"

namespace quorix {

namespace {

constexpr std::uint32_t kPacket = 512;
// The pump looks at its device at least this often, whatever it waits for.
constexpr std::uint32_t kPumpWaitMs = 100;
// Not an answer of the driver's: the ring had no room for the next read.
constexpr int kNoRoom = 1;

std::uint64_t Now() { return port::MonotonicMicroseconds(); }

// Counts one period of the given length into a count, a total and a longest.
void AddPeriod(std::uint64_t length, std::uint64_t& count, std::uint64_t& total,
               std::uint64_t& longest) {
  count += 1;
  total += length;
  if (length > longest) longest = length;
}

std::uint32_t OldestInUse(const ReadQueue* q) {
  if (q->segment_count != 0) return q->segments[q->segment_first].offset;
  if (q->posted != 0) return q->slots[q->first].offset;
  return q->head;
}

std::uint32_t Used(const ReadQueue* q) {
  const std::uint32_t oldest = OldestInUse(q);
  return q->head >= oldest ? q->head - oldest : q->size - oldest + q->head;
}

// Posts one read at head. 0 when posted, kNoRoom, or the driver's refusal.
int PostQueued(DeviceRecord* device) {
  ReadQueue* q = device->queue;
  std::uint32_t at = q->head;
  std::uint32_t length = q->read_size;
  std::uint32_t used = Used(q);
  if (q->size - at < length) {
    if (q->size - at >= kPacket) {
      length = (q->size - at) & ~(kPacket - 1);  // what fits before the end
    } else {
      used += q->size - at;  // the end's few bytes are skipped
      at = 0;
    }
  }
  if (used + length > q->size - kPacket) return kNoRoom;

  QueuedRead& read = q->slots[(q->first + q->posted) % q->depth];
  std::memset(&read.header, 0, kHeaderSize);
  read.header.endpoint = kEndpointBulkIn;
  read.offset = at;
  read.length = length;
  read.done = 0;
  port::StampCompletion(&read.overlapped, 0);
  (void)port::ClearEvent(read.overlapped.event);
  std::uint32_t returned = 0;
  if (DriverRequest(device->driver, kIoctlDirectTransfer, &read.header, kHeaderSize,
                    device->ring + at, length, &returned, &read.overlapped)) {
    read.done = 1;
    read.done_count = returned;
  } else if (const std::uint32_t error = port::LastError(); error != port::error::kIoPending) {
    q->failure = error;
    return static_cast<int>(error);
  }
  q->head = at + length == q->size ? 0 : at + length;
  q->posted += 1;
  NotePosted(device);
  return QUORIX_OK;
}

// Posts reads until the queue is full, the ring has no room, or the driver refuses.
int FillQueue(DeviceRecord* device) {
  ReadQueue* q = device->queue;
  const bool had_none = q->posted == 0;
  while (q->posted < q->depth && q->failure == 0) {
    const int status = PostQueued(device);
    if (status == kNoRoom) {
      NoteNoRoom(device);
      break;
    }
    if (status != QUORIX_OK) return status;
  }
  // The pump sleeps on its own event while nothing is posted: it must watch the new reads.
  if (had_none && q->posted != 0 && q->pump_idle != 0) (void)port::SignalEvent(q->pump_event);
  return QUORIX_OK;
}

void AddSegment(ReadQueue* q, std::uint32_t offset, std::uint32_t count) {
  if (q->segment_count != 0) {
    Segment& last = q->segments[(q->segment_first + q->segment_count - 1) % q->segment_capacity];
    if (last.offset + last.count == offset) {
      last.count += count;
      q->held += count;
      return;
    }
  }
  // Every piece lies in a read's place of at least a packet, so the list never runs out.
  q->segments[(q->segment_first + q->segment_count) % q->segment_capacity] = {offset, count};
  q->segment_count += 1;
  q->held += count;
}

// Takes the completed reads in, oldest first, up to the first still in progress.
void TakeIn(DeviceRecord* device) {
  ReadQueue* q = device->queue;
  while (q->posted != 0 && q->failure == 0) {
    QueuedRead& read = q->slots[q->first];
    std::uint32_t bytes = 0;
    if (read.done != 0) {
      bytes = read.done_count;
    } else if (!DriverResult(device->driver, &read.overlapped, &bytes)) {
      const std::uint32_t error = port::LastError();
      if (error != port::error::kIoIncomplete) q->failure = error;
      return;
    }
    if (bytes > read.length) {
      q->overrun = 1;  // a count that cannot be true: its data are not trusted
      bytes = 0;
    }
    if (bytes != 0) AddSegment(q, read.offset, bytes);
    q->first = (q->first + 1) % q->depth;
    q->posted -= 1;
    NoteCompletion(device, bytes, q->posted == 0, &read.overlapped);
  }
}

// Takes in what completed and posts what fits; wakes a read that waits on an event the new
// reads may have reset. The first failure to post is returned (it stays in q->failure).
int Pump(DeviceRecord* device) {
  TakeIn(device);
  const int status = FillQueue(device);
  if (device->read_waiting != 0 && device->queue->waited != nullptr)
    (void)port::SignalEvent(device->queue->waited);
  UpdateReady(device);
  return status;
}

std::uint32_t CopyQueued(DeviceRecord* device, std::uint8_t* out, std::uint32_t wanted) {
  ReadQueue* q = device->queue;
  if (q->segment_count == 0) return 0;
  Segment& piece = q->segments[q->segment_first];
  const std::uint32_t n = piece.count < wanted ? piece.count : wanted;
  std::memcpy(out, device->ring + piece.offset, n);
  piece.offset += n;
  piece.count -= n;
  q->held -= n;
  if (piece.count == 0) {
    q->segment_first = (q->segment_first + 1) % q->segment_capacity;
    q->segment_count -= 1;
  }
  return n;
}

// Resets the oldest read's event when it is signalled while the read is still in progress (a
// waiting read is woken on it after its read was posted again). True when it did.
bool ClearStaleEvent(DeviceRecord* device) {
  ReadQueue* q = device->queue;
  if (q->posted == 0 || q->slots[q->first].done != 0) return false;
  QueuedRead& read = q->slots[q->first];
  std::uint32_t bytes = 0;
  if (DriverResult(device->driver, &read.overlapped, &bytes) ||
      port::LastError() != port::error::kIoIncomplete)
    return false;
  (void)port::ClearEvent(read.overlapped.event);
  return true;
}

void PumpMain(void* argument) {
  auto* device = static_cast<DeviceRecord*>(argument);
  BoardLock lock(device->sync->lock);
  ReadQueue* q = device->queue;
  while (device->closing == 0 && device->open != 0 && device->driver != nullptr) {
    (void)Pump(device);
    port::Handle event = q->pump_event;
    if (q->posted != 0 && q->failure == 0) {
      event = q->slots[q->first].overlapped.event;
      q->pump_idle = 0;
    } else {
      // Woken when a call posts a read again, or the device closes.
      (void)port::ClearEvent(q->pump_event);
      q->pump_idle = 1;
    }
    lock.unlock();
    const std::uint32_t wait = port::WaitEvent(event, kPumpWaitMs);
    lock.lock();
    // The loop's next look follows the reset, so a completion in between is not missed.
    if (wait == port::kWaitObject0 && event != q->pump_event && device->driver != nullptr &&
        q->posted != 0 && event == q->slots[q->first].overlapped.event)
      (void)ClearStaleEvent(device);
  }
  q->pump_idle = 0;
  // Counted inside since it started, so that a close waits for it to leave.
  Unpin(device);
}

bool ParseSize(const char*& text, std::uint64_t& value, bool gigabytes) {
  if (*text < '0' || *text > '9') return false;
  value = 0;
  while (*text >= '0' && *text <= '9') {
    value = value * 10 + static_cast<std::uint64_t>(*text++ - '0');
    if (value > (1ull << 40)) return false;
  }
  switch (*text) {
    case 'K': case 'k': value <<= 10; ++text; break;
    case 'M': case 'm': value <<= 20; ++text; break;
    case 'G': case 'g':
      if (!gigabytes) return false;
      value <<= 30;
      ++text;
      break;
    default: break;
  }
  return true;
}

void Refuse(const char* name, const char* value, const char* why) {
  std::fprintf(stderr, "quorix: %s=\"%s\" is not used (%s): the device reads as classic\n",
               name, value, why);
}

}  // namespace

bool CheckQueueShape(QueueShape& shape) {
  if (shape.reads == 0) return true;
  if (shape.reads > kMaxQueuedReads) return false;
  if (shape.read_size < kPacket || shape.read_size > kMaxQueuedReadSize ||
      shape.read_size % kPacket != 0)
    return false;
  const std::uint64_t least = 2ull * shape.reads * shape.read_size;
  if (shape.ring_size == 0)
    shape.ring_size = static_cast<std::uint32_t>(least > kDefaultQueuedRing ? least
                                                                            : kDefaultQueuedRing);
  return shape.ring_size % kPacket == 0 && shape.ring_size >= least &&
         shape.ring_size <= kMaxQueuedRing;
}

QueueShape QueueFromEnvironment() {
  const char* queue = std::getenv("QUORIX_READ_QUEUE");
  if (queue == nullptr || *queue == '\0' || std::strcmp(queue, "0") == 0 ||
      std::strcmp(queue, "off") == 0)
    return {};
  QueueShape shape{};
  const char* at = queue;
  std::uint64_t reads = 0, size = 0;
  if (!ParseSize(at, reads, false) || (*at != 'x' && *at != 'X')) {
    Refuse("QUORIX_READ_QUEUE", queue, "not <reads>x<size>, as 8x256K");
    return {};
  }
  ++at;
  if (!ParseSize(at, size, false) || *at != '\0' || reads > kMaxQueuedReads ||
      size > kMaxQueuedReadSize) {
    Refuse("QUORIX_READ_QUEUE", queue, "not <reads>x<size>, as 8x256K");
    return {};
  }
  shape.reads = static_cast<std::uint32_t>(reads);
  shape.read_size = static_cast<std::uint32_t>(size);
  if (const char* ring = std::getenv("QUORIX_RING_SIZE"); ring != nullptr && *ring != '\0') {
    std::uint64_t ring_size = 0;
    const char* r = ring;
    if (!ParseSize(r, ring_size, true) || *r != '\0' || ring_size > kMaxQueuedRing) {
      Refuse("QUORIX_RING_SIZE", ring, "not a size of at most 1G, as 256M");
      return {};
    }
    shape.ring_size = static_cast<std::uint32_t>(ring_size);
  }
  if (!CheckQueueShape(shape)) {
    Refuse("QUORIX_READ_QUEUE", queue,
           "1 to 64 reads of 512 B to 4M in multiples of 512, in a ring of at least twice "
           "that and at most 1G");
    return {};
  }
  return shape;
}

int StartQueue(DeviceRecord* device, const QueueShape& shape) {
  auto* q = static_cast<ReadQueue*>(port::Allocate(sizeof(ReadQueue)));
  if (q == nullptr) return QUORIX_ERR_FAILED;
  std::memset(q, 0, sizeof *q);
  device->queue = q;
  q->depth = shape.reads;
  q->read_size = shape.read_size;
  q->size = shape.ring_size;
  q->slots = static_cast<QueuedRead*>(port::Allocate(sizeof(QueuedRead) * q->depth));
  q->segment_capacity = q->size / kPacket + 2;
  q->segments = static_cast<Segment*>(port::Allocate(sizeof(Segment) * q->segment_capacity));
  if (q->slots == nullptr || q->segments == nullptr) return QUORIX_ERR_FAILED;
  std::memset(q->slots, 0, sizeof(QueuedRead) * q->depth);
  for (std::uint32_t i = 0; i < q->depth; ++i) {
    q->slots[i].overlapped.event = port::NewEvent(false);
    if (q->slots[i].overlapped.event == nullptr) return QUORIX_ERR_FAILED;
  }
  q->pump_event = port::NewEvent(false);
  if (q->pump_event == nullptr) return QUORIX_ERR_FAILED;
  const int status = FillQueue(device);
  if (status != QUORIX_OK) return status;
  // A driver that refused the first read leaves nothing posted: the open fails with it.
  return q->failure != 0 ? static_cast<int>(q->failure) : QUORIX_OK;
}

void StartPump(DeviceRecord* device) {
  Pin(device);
  device->pump = port::StartThread(PumpMain, device);
  if (device->pump == nullptr) Unpin(device);  // the calls take the completions in alone
}

void JoinPump(DeviceRecord* device) {
  if (device->pump == nullptr) return;
  port::JoinThread(device->pump);
  device->pump = nullptr;
}

void WakePump(DeviceRecord* device) {
  if (device->queue != nullptr && device->queue->pump_event != nullptr)
    (void)port::SignalEvent(device->queue->pump_event);
}

bool QueuedReadOutstanding(DeviceRecord* device) {
  ReadQueue* q = device->queue;
  if (q == nullptr || q->slots == nullptr) return false;
  for (std::uint32_t i = 0; i < q->posted; ++i) {
    QueuedRead& read = q->slots[(q->first + i) % q->depth];
    if (read.done == 0 && TransferOutstanding(device->driver, &read.overlapped)) return true;
  }
  return false;
}

void ReleaseQueue(DeviceRecord* device) {
  ReadQueue* q = device->queue;
  if (q == nullptr) return;
  if (q->slots != nullptr)
    for (std::uint32_t i = 0; i < q->depth; ++i) CloseField(q->slots[i].overlapped.event);
  CloseField(q->pump_event);
  FreeField(q->slots);
  FreeField(q->segments);
  FreeField(device->queue);
}

int PollQueued(DeviceRecord* device, std::uint32_t* count) {
  if (count != nullptr) *count = 0;
  ReadQueue* q = device->queue;
  const int posted = Pump(device);
  if (q->overrun != 0) {
    q->overrun = 0;
    return QUORIX_ERR_OVERFLOW;
  }
  if (q->failure != 0) return static_cast<int>(q->failure);
  if (posted != QUORIX_OK) return posted;
  if (count != nullptr) *count = q->held;
  return QUORIX_OK;
}

int ReadQueued(DeviceRecord* device, BoardLock& lock, std::uint32_t count, std::uint8_t* buffer) {
  ReadQueue* q = device->queue;
  std::uint32_t done = 0;
  while (done < count) {
    const std::uint32_t copied = CopyQueued(device, buffer + done, count - done);
    if (copied != 0) {
      done += copied;
      // Room was made: a read that found none may go now.
      if (q->posted < q->depth && q->failure == 0) (void)FillQueue(device);
      continue;
    }
    // The ring is empty: take in what has completed, and wait for the oldest read if need be.
    (void)Pump(device);
    if (q->held != 0) continue;
    if (q->overrun != 0) {
      q->overrun = 0;
      return QUORIX_ERR_OVERFLOW;
    }
    if (q->failure != 0) return static_cast<int>(q->failure);
    if (q->posted == 0) return QUORIX_ERR_FAILED;  // an empty ring always has room for a read
    const std::uint32_t limit = device->timeout == 0 ? port::kInfinite : device->timeout;
    const std::uint64_t start = Now();
    for (;;) {
      std::uint32_t wait_for = limit;
      if (limit != port::kInfinite) {
        const std::uint64_t waited_ms = (Now() - start) / 1000;
        if (waited_ms >= limit) return QUORIX_ERR_TIMEOUT;
        wait_for = limit - static_cast<std::uint32_t>(waited_ms);
      }
      q->waited = q->slots[q->first].overlapped.event;
      device->read_waiting = 1;
      const std::uint32_t wait = WaitWithoutBoard(device, lock, q->waited, wait_for);
      device->read_waiting = 0;
      q->waited = nullptr;
      if (device->closing != 0) return QUORIX_ERR_NOT_OPEN;
      if (device->driver == nullptr) return QUORIX_ERR_NO_DRIVER;
      (void)Pump(device);
      if (q->held != 0 || q->overrun != 0) break;
      if (q->failure != 0) return QUORIX_ERR_TRANSFER;
      if (wait == port::kWaitTimeout) return QUORIX_ERR_TIMEOUT;
      if (wait != port::kWaitObject0) return QUORIX_ERR_FAILED;
      // Signalled, yet nothing new: another thread woke this read on the event of a read it
      // had just posted again. Reset it, and look once more for a completion in between.
      if (ClearStaleEvent(device)) {
        (void)Pump(device);
        if (q->held != 0 || q->overrun != 0) break;
        if (q->failure != 0) return QUORIX_ERR_TRANSFER;
      }
    }
  }
  return QUORIX_OK;
}

int WaitQueued(DeviceRecord* device, BoardLock& lock, std::uint32_t count, std::uint32_t timeout_ms,
               std::uint32_t* held) {
  ReadQueue* q = device->queue;
  const std::uint64_t start = Now();
  for (;;) {
    (void)Pump(device);
    *held = q->held;
    if (q->held >= count) return QUORIX_OK;
    if (q->overrun != 0) {
      q->overrun = 0;
      UpdateReady(device);
      return QUORIX_ERR_OVERFLOW;
    }
    if (q->failure != 0) return static_cast<int>(q->failure);  // as the poll reports it
    // Nothing posted although the ring is not empty of room otherwise: it is full.
    if (q->posted == 0) return QUORIX_OK;
    const std::uint64_t waited_ms = (Now() - start) / 1000;
    if (waited_ms >= timeout_ms) return QUORIX_ERR_TIMEOUT;
    q->waited = q->slots[q->first].overlapped.event;
    device->read_waiting = 1;
    const std::uint32_t wait = WaitWithoutBoard(device, lock, q->waited,
                                                timeout_ms - static_cast<std::uint32_t>(waited_ms));
    device->read_waiting = 0;
    q->waited = nullptr;
    if (device->closing != 0) return QUORIX_ERR_NOT_OPEN;
    if (device->driver == nullptr) return QUORIX_ERR_NO_DRIVER;
    if (wait == port::kWaitObject0)
      (void)ClearStaleEvent(device);  // woken on a read posted again; the next look follows
    else if (wait != port::kWaitTimeout)
      return QUORIX_ERR_FAILED;
  }
}

void NoteCompletion(DeviceRecord* device, std::uint32_t bytes, bool none_left,
                    const port::Overlapped* overlapped) {
  StreamStats& s = device->stats;
  const std::uint64_t now = Now();
  s.bytes_received += bytes;
  s.reads_completed += 1;
  s.last_completion_us = now;
  if (none_left) {
    // The board has had nothing to fill since this read completed, as far as the port tells.
    const std::uint64_t stamp = overlapped != nullptr ? port::CompletionStamp(overlapped) : 0;
    s.gap_since = stamp != 0 && stamp <= now ? stamp : now;
  }
}

void NotePosted(DeviceRecord* device) {
  StreamStats& s = device->stats;
  if (s.gap_since == 0 && s.ring_full_since == 0) return;
  const std::uint64_t now = Now();
  if (s.gap_since != 0) AddPeriod(now - s.gap_since, s.gaps, s.gap_total_us, s.gap_longest_us);
  if (s.ring_full_since != 0)
    AddPeriod(now - s.ring_full_since, s.ring_full, s.ring_full_total_us, s.ring_full_longest_us);
  s.gap_since = 0;
  s.ring_full_since = 0;
}

void NoteNoRoom(DeviceRecord* device) {
  if (device->stats.ring_full_since == 0) device->stats.ring_full_since = Now();
}

}  // namespace quorix

extern "C" {

QUORIX_API int QUORIX_CALL QuorixGetReadQueue(QuorixHandle handle, QuorixReadQueue* queue) {
  return quorix::OnBoard(handle, true, [&](quorix::DeviceRecord* device, quorix::BoardLock&) {
    if (queue == nullptr) return QUORIX_ERR_FAILED;
    const quorix::ReadQueue* q = device->queue;
    *queue = q == nullptr ? QuorixReadQueue{0, 0, device->ring_size}
                          : QuorixReadQueue{q->depth, q->read_size, q->size};
    return QUORIX_OK;
  });
}

QUORIX_API int QUORIX_CALL QuorixGetStreamStatistics(QuorixHandle handle,
                                                     QuorixStreamStatistics* stats) {
  return quorix::OnBoard(handle, true, [&](quorix::DeviceRecord* device, quorix::BoardLock&) {
    if (stats == nullptr || stats->size < 8) return QUORIX_ERR_FAILED;
    const quorix::StreamStats& s = device->stats;
    const std::uint64_t now = quorix::Now();
    QuorixStreamStatistics out{};
    out.size = sizeof out;
    out.reads_posted = device->queue != nullptr
                           ? device->queue->posted
                           : (quorix::ReadPosted(device) ? 1u : 0u);
    out.bytes_received = s.bytes_received;
    out.reads_completed = s.reads_completed;
    out.gaps = s.gaps;
    out.gap_total_us = s.gap_total_us;
    out.gap_longest_us = s.gap_longest_us;
    out.ring_full = s.ring_full;
    out.ring_full_total_us = s.ring_full_total_us;
    out.ring_full_longest_us = s.ring_full_longest_us;
    // A gap or a full ring still going on counts up to now.
    if (s.gap_since != 0)
      quorix::AddPeriod(now - s.gap_since, out.gaps, out.gap_total_us, out.gap_longest_us);
    if (s.ring_full_since != 0)
      quorix::AddPeriod(now - s.ring_full_since, out.ring_full, out.ring_full_total_us,
                        out.ring_full_longest_us);
    out.last_completion_us = s.last_completion_us;
    out.now_us = now;
    const std::uint32_t size = stats->size < sizeof out ? stats->size : sizeof out;
    std::memcpy(stats, &out, size);
    stats->size = size;
    return QUORIX_OK;
  });
}

}  // extern "C"
