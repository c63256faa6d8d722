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
// 996 while it is in progress or deferred, or its failure. A read the driver refused reports that refusal
// again, so no completion is committed twice.
std::uint32_t LookAtRead(DeviceRecord* device, std::uint32_t* bytes);

}  // namespace quorix
