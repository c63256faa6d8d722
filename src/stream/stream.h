// The streaming data path: the receive ring with its one outstanding bulk-IN read, and the
// reads and writes of the application.
//
// The ring's indices live in the device record: r (read_index) is the oldest unread byte,
// w (write_index) where the next received byte goes, S the ring size. The ring is empty when
// w = r and never holds more than S - 8 bytes. The outstanding read writes only into room that
// was free when it was posted, so the application copies out of r..w meanwhile.
#pragma once

#include <cstdint>

#include "registry/device_record.h"
#include "registry/registry.h"

namespace quorix {

// Posts the next bulk-IN read on 0x86, into the ring when at least one packet of room follows
// w before the ring's end, into the bounce buffer when the room holds a packet only across the
// end. With less than a packet of room no read is posted: the read is deferred until
// ResumeRead finds room. A read the driver completes at once is committed and the next one
// posted, so on a 0 return a read is outstanding or deferred.
// 0; the Windows code with which the driver refused the read; or CommitReceived's status.
int PostRead(DeviceRecord* device);

// Posts the deferred read, if there is one and the application has made room for a packet
// since; otherwise changes nothing. 0 or PostRead's status.
int ResumeRead(DeviceRecord* device);

// Accounts for count bytes delivered by the completed read. A count beyond what the read asked
// for (a driver that delivered more than it was given room for) is an overrun: the ring is
// emptied and a new read posted, -7, or that post's failure.
int CommitReceived(DeviceRecord* device, std::uint32_t count);

// Posts a deferred read if there is room now; commits the outstanding read if it has completed
// (and posts the next), without waiting; then stores the bytes held through count (may be null). The first failure is returned;
// count then holds 0.
int PollBytesAvailable(DeviceRecord* device, std::uint32_t* count);

// Bytes held in the ring.
inline std::uint32_t BytesHeld(const DeviceRecord* device) {
  const std::uint32_t r = device->read_index, w = device->write_index;
  return w >= r ? w - r : device->ring_size - r + w;
}

// The outstanding read's result without waiting: 0 with its byte count once it completed,
// 996 while it is in progress or deferred, or its failure; a deferred read asks the driver
// whether the board is still connected, and gives its failure (1167) once it has gone. A read the driver refused reports that refusal
// again, so no completion is committed twice.
std::uint32_t LookAtRead(DeviceRecord* device, std::uint32_t* bytes);

// One read and one write at a time on a board: a second waits for the first, and gives up when
// the board closes or goes. busy is &DeviceRecord::reading or &DeviceRecord::writing.
int TakeTurn(DeviceRecord* device, BoardLock& lock, std::int32_t DeviceRecord::*busy);
void EndTurn(DeviceRecord* device, std::int32_t DeviceRecord::*busy);

// ---- Reads kept queued ----

inline constexpr std::uint32_t kMaxQueuedReads = 64;
inline constexpr std::uint32_t kMaxQueuedReadSize = 4u << 20;
inline constexpr std::uint32_t kMaxQueuedRing = 1u << 30;
inline constexpr std::uint32_t kDefaultQueuedRing = 64u << 20;

// The queue a device is opened with: reads 0 for the classic read.
struct QueueShape {
  std::uint32_t reads;
  std::uint32_t read_size;
  std::uint32_t ring_size;
};

// One read of the queue: where in the ring it goes, and the records the driver fills.
struct QueuedRead {
  port::Overlapped overlapped;  // its event is made with the queue
  SingleTransfer header;
  std::uint32_t offset;
  std::uint32_t length;
  std::int32_t done;  // completed as it was posted, with done_count bytes
  std::uint32_t done_count;
};

// Bytes taken in and not yet read: a read that completed short leaves the rest of its place
// unused, so what the ring holds is a list of pieces, in order.
struct Segment {
  std::uint32_t offset;
  std::uint32_t count;
};

struct ReadQueue {
  std::uint32_t depth;
  std::uint32_t read_size;
  std::uint32_t size;  // of the ring
  QueuedRead* slots;   // depth of them, used in turn
  std::uint32_t first;   // the oldest read posted
  std::uint32_t posted;  // reads at the board
  std::uint32_t head;    // where the next read goes
  Segment* segments;     // a circular list
  std::uint32_t segment_capacity;
  std::uint32_t segment_first;
  std::uint32_t segment_count;
  std::uint32_t held;     // bytes in the segments
  std::uint32_t failure;  // the Windows code of a read that failed or was refused: no more posts
  std::int32_t overrun;   // a completion reported more than its read asked for: -7 to report
  port::Handle waited;    // the event a waiting read sleeps on, while one does
  port::Handle pump_event;  // wakes the pump that sleeps while no read is posted
  std::int32_t pump_idle;
};

// The shape QUORIX_READ_QUEUE and QUORIX_RING_SIZE ask for; reads 0 when unset or unusable
// (said on stderr).
QueueShape QueueFromEnvironment();
// Whether the shape can be used; a zero ring size becomes the default.
bool CheckQueueShape(QueueShape& shape);
// Gives an open device its queue and posts the reads, in place of the classic first read.
// 0, or -1/8 without memory or events, or the driver's refusal.
int StartQueue(DeviceRecord* device, const QueueShape& shape);
// Starts the pump of an open queued device, if the port gives a thread.
void StartPump(DeviceRecord* device);
// Reaps the pump's thread once it has left the device (after a close or an unplug ended it).
void JoinPump(DeviceRecord* device);
// Wakes the pump so that it notices a close.
void WakePump(DeviceRecord* device);
// Frees what the queue holds; no read of it may be at the board any more.
void ReleaseQueue(DeviceRecord* device);
// Whether any read of the queue may still be in the driver's hands.
bool QueuedReadOutstanding(DeviceRecord* device);

// The queued counterparts of the poll and the read.
int PollQueued(DeviceRecord* device, std::uint32_t* count);
int ReadQueued(DeviceRecord* device, BoardLock& lock, std::uint32_t count, std::uint8_t* buffer);

// Waits, as QuorixWaitForBytes does, for count bytes in a queued device's ring.
int WaitQueued(DeviceRecord* device, BoardLock& lock, std::uint32_t count, std::uint32_t timeout_ms,
               std::uint32_t* held);

// ---- The data-ready signal ----

// Makes the device's ready signal, if it has one, say whether the application should look:
// enough bytes held, a ring too full for the next read, a failure to report, a board gone or a
// close begun. Called wherever those change, with the board's lock held (or both locks).
void UpdateReady(DeviceRecord* device);

// Statistics: a completion taken in, a read posted, a read that found no room.
void NoteCompletion(DeviceRecord* device, std::uint32_t bytes, bool none_left,
                    const port::Overlapped* overlapped);
void NotePosted(DeviceRecord* device);
void NoteNoRoom(DeviceRecord* device);

}  // namespace quorix
